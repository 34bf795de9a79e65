// SPDX-License-Identifier: GPL-2.0 OR MIT
// The balance object: binding to the camera driver's variables, the two camera
// callbacks of the luminance controller, and every exported operation.
//
// Every operation that receives an object first checks that it is one: a null
// pointer, or memory whose first word is not the magic, is refused before
// anything is read through it or any lock is taken (int results
// -QUORVIN_EINVAL, BOOL results FALSE, the others return at once).
#include "AWB.h"

#include "AveragePixelValue.h"
#include "LuminanceCtrl.h"
#include "PictureCtrl.h"
#include "WhiteBalanceCtrl.h"
#include "pixel/PixelKernels.h"
#include "platform.h"
#include "win.h"

// The size the camera driver allocates. On 32-bit x86 (4-byte pointers, a
// 16-byte semaphore) the record is 1636 bytes; drivers built for that target
// rely on the number.
#if defined(__i386__)
static_assert(sizeof(AWBObject) == 1636, "AWBObject must be 1636 bytes on 32-bit x86");
#endif
static_assert(__builtin_offsetof(AWBObject, magic) == 0, "the magic must be the first word");
static_assert(sizeof(CPictureCtrl) <= sizeof(LuminanceCtrlFOPS),
              "the picture modes must fit the unused callback table's storage");

namespace {

AWBObject* OwnerOf(CLuminanceCtrl* controller) {
    // The controller is always the m_objLuminanceCtrl member of a balance
    // object: step back by the member's position to reach the object.
    return reinterpret_cast<AWBObject*>(reinterpret_cast<char*>(controller) -
                                        __builtin_offsetof(AWBObject, m_objLuminanceCtrl));
}

// The object behind an opaque pointer, or null when the pointer is null or the
// memory was never bound by Quorvin_InitAWBObject.
AWBObject* BoundObject(void* awbObject) {
    if (awbObject == nullptr) {
        return nullptr;
    }
    AWBObject* object = static_cast<AWBObject*>(awbObject);
    return object->magic == QUORVIN_AWB_MAGIC ? object : nullptr;
}

// Holds the object's lock for the lifetime of the guard, so that every return
// path releases it.
class ObjectLock {
public:
    explicit ObjectLock(AWBObject* object) : m_sem(&object->awb_lock) { quorvin_down(m_sem); }
    ~ObjectLock() { quorvin_up(m_sem); }
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;

private:
    QuorvinSemaphore* m_sem;
};

// The preamble of every locking operation. The object is looked up first;
// memory that is not a bound object, or argumentsPresent false (a pointer
// argument the operation needs was null), gives refused at once, with nothing
// touched and no lock taken. Otherwise work(object) runs under the object's
// lock and its result is returned. Every use is inlined, so the kernel stack
// carries no frame for it.
template <typename Result, typename Work>
Result WithLockedObject(void* awbObject, Result refused, Work work, bool argumentsPresent = true) {
    AWBObject* object = BoundObject(awbObject);
    if (object == nullptr || !argumentsPresent) {
        return refused;
    }
    ObjectLock lock(object);
    return work(object);
}

static_assert(QUORVIN_WB_GAIN_UNITY >> QUORVIN_CAMERA_GAIN_SHIFT == QUORVIN_CAMERA_GAIN_UNITY,
              "x1.0 is 128 in 1/128 and 16 in 1/16");

// The camera's colour gain (1/16) for a controller gain (1/128).
__u16 ToCameraGain(WORD gain) {
    return static_cast<__u16>(gain >> QUORVIN_CAMERA_GAIN_SHIFT);
}

// Controller gain (1/128) for a camera value (1/16), keeping the low 16 bits:
// values of 8192 and more wrap.
WORD FromCameraGain(__u16 value) {
    return static_cast<WORD>(static_cast<unsigned>(value) << QUORVIN_CAMERA_GAIN_SHIFT);
}

// Table of the manual gains (1/128): entry i = min((gain * i) >> 7, 255). Unlike the
// controller's own rule, the saturated run starts exactly where the product
// reaches 255.
void BuildManualTable(WORD gain, BYTE* table) {
    for (int i = 0; i < 256; ++i) {
        const int value = (static_cast<int>(gain) * i) >> QUORVIN_WB_GAIN_SHIFT;
        table[i] = value > 255 ? BYTE{255} : static_cast<BYTE>(value);
    }
}

// Whether the luminance controller's next sample completes its average, so
// that this frame is evaluated: the count is a byte, as the loop keeps it.
bool LuminanceEvaluates(const CLuminanceCtrl* luminance) {
    const BYTE sampled = static_cast<BYTE>(luminance->m_byteAlreadySampleingCount + 1);
    return sampled >= luminance->m_byteAverageFrameCount;
}

// The colour averages of the robust statistic when too few cells are
// unclipped: grey world over the areas it keeps. Out of line, so that its
// table never adds to the counting pass's stack.
__attribute__((noinline)) void RobustAreaAverage(CWhiteBalanceCtrl* whiteBalance,
                                                 CAveragePixelValue* statistics, WORD clippedAreas,
                                                 PBYTE average) {
    BYTE weights[16];
    RobustAreaWeights(whiteBalance, statistics, clippedAreas, weights);
    for (int c = 0; c < 4; ++c)
        average[c] = 0;
    GetColorAverage(statistics, weights, average);
}

// The colour averages of the robust statistic from the frame's count: the
// norms with the edges of the same cells. Out of line, so that the edge sums
// and their pass never add to the counting pass's stack.
__attribute__((noinline)) bool RobustRunAverage(const AWBObject* object,
                                                const QuorvinClipCount* clip, PBYTE average) {
    DDWORD edges[4];
    CountCellEdges(&object->m_objAveragePixelValue, *object->dwWidth, *object->dwHeight,
                   object->raw_data, edges);
    return RobustAverage(clip, edges, average) != FALSE;
}

// Whether the white balance controller's next sample completes its run, so
// that this frame is evaluated: the count is a byte, as the controller keeps
// it.
bool WhiteBalanceEvaluates(const CWhiteBalanceCtrl* whiteBalance) {
    const BYTE sampled = static_cast<BYTE>(whiteBalance->m_byteAWBAlredySamplingCount + 1);
    return sampled >= whiteBalance->m_byteAWBSamplingCount;
}

// The controllers' steps of a frame on which an opt-in mode needs the
// subsampled pass: the guard on luminance evaluations (the evaluation runs
// with the guard's target, and the configured one is back in place before
// the lock is released), the robust statistic on the last sample of a white
// balance run (the norms and edges of the unclipped cells, or the areas when
// too few are). Kept out of line: its locals then never add to the stack of
// the pixel pass.
__attribute__((noinline)) void StepWithPictureModes(AWBObject* object, bool luminanceDue,
                                                    bool whiteBalanceDue, bool guarded,
                                                    bool robust) {
    CLuminanceCtrl* luminance = &object->m_objLuminanceCtrl;
    CWhiteBalanceCtrl* whiteBalance = &object->m_objWhiteBalanceCtrl;
    CAveragePixelValue* statistics = &object->m_objAveragePixelValue;
    QuorvinClipCount clip;
    // The vector variant's count where there is one (the counted rows in
    // vector registers, the norms apart), else the count in general
    // registers; the same counts either way.
    if (quorvin_pixel::CountClippedVector(statistics, *object->dwWidth, *object->dwHeight,
                                          object->raw_data, &clip)) {
        if (robust)
            CountCellNorms(statistics, *object->dwWidth, *object->dwHeight, object->raw_data,
                           &clip);
    } else if (robust) {
        CountClippedAndNorms(statistics, *object->dwWidth, *object->dwHeight, object->raw_data,
                             &clip);
    } else {
        CountClippedPixels(statistics, *object->dwWidth, *object->dwHeight, object->raw_data,
                           &clip);
    }

    if (guarded) {
        BYTE level = 0;
        GetBrightnessAverage(statistics, luminance->m_pbyteWeight, &level);
        // The evaluation moves the exposure by the ratio of the target to the
        // mean of its sampled frames, so the picture lands at target x this
        // frame / that mean: the guard works from the lower of the two, so
        // that a climb it caps after a darker sample does not overshoot.
        const DWORD sampled = luminance->m_byteAlreadySampleingCount;
        if (sampled != 0) {
            const DWORD mean = (luminance->m_dwSumOfSamplingBrightness + level) / (sampled + 1);
            if (mean < level)
                level = static_cast<BYTE>(mean);
        }
        const BYTE configured = luminance->m_byteTarget;
        luminance->m_byteTarget = GuardTarget(&object->m_objPictureCtrl, luminance, level, &clip);
        UpdateGainShutter(luminance, statistics);
        luminance->m_byteTarget = configured;
    } else if (luminanceDue) {
        UpdateGainShutter(luminance, statistics);
    }

    if (robust) {
        // The robust statistic of the run's last sample stands for every
        // sample of the run: the earlier ones only counted (see BalanceFrame),
        // and the sums are filled as if each had given this frame's values.
        // The frame is due and in an automatic mode (IsAutoMode), so
        // UpdateGain would go straight to this step.
        BYTE average[4];
        if (!RobustRunAverage(object, &clip, average))
            RobustAreaAverage(whiteBalance, statistics, clip.wClippedAreas, average);
        const DWORD earlier = whiteBalance->m_byteAWBAlredySamplingCount;
        for (int c = 0; c < 4; ++c)
            whiteBalance->m_pdwSumOfSamplingAWB[c] = average[c] * earlier;
        mbAutoUpdateGain(whiteBalance, average);
    } else if (whiteBalanceDue) {
        UpdateGain(whiteBalance, statistics);
    }
}

// One frame of automatic exposure, gain and white balance. kCorrectFirst
// selects the in-place correcting variant, which also asks white balance up to
// four times, so that its skip countdown runs up to four times as fast.
template <bool kCorrectFirst> int BalanceFrame(void* awbObject) {
    return WithLockedObject(awbObject, -QUORVIN_EINVAL, [](AWBObject* object) {
        CWhiteBalanceCtrl* whiteBalance = &object->m_objWhiteBalanceCtrl;
        CLuminanceCtrl* luminance = &object->m_objLuminanceCtrl;
        CAveragePixelValue* statistics = &object->m_objAveragePixelValue;

        // Both queries always run: each one advances its controller's countdown.
        bool whiteBalanceDue = IsAutoMode(whiteBalance, TRUE) != FALSE;
        if constexpr (kCorrectFirst) {
            for (int query = 1; query < 4 && !whiteBalanceDue; ++query) {
                whiteBalanceDue = IsAutoMode(whiteBalance, TRUE) != FALSE;
            }
        }
        const bool luminanceDue = CLuminance_IsAutoMode(luminance, TRUE) != FALSE;
        if (!whiteBalanceDue && !luminanceDue) {
            return 0;
        }

        // The frame size is read at each frame, so a change made by the driver
        // between frames is seen at once. Correcting and measuring go together
        // in one pass over the frame: the same results as ImageProcessing
        // followed by UpdateAverage.
        bool measured = false;
        if constexpr (kCorrectFirst) {
            measured = quorvin_pixel::CorrectAndMeasure(whiteBalance, statistics, *object->dwWidth,
                                                        *object->dwHeight, object->wColorArray,
                                                        object->raw_data);
        }
        if (!measured) {
            // UpdateAverage's two steps, written out: a kernel stack then
            // carries no frame of UpdateAverage's own above the pixel pass.
            quorvin_pixel::RefreshGeometry(statistics, *object->dwWidth, *object->dwHeight,
                                           object->wColorArray);
            quorvin_pixel::MeasureAreas(statistics, *object->dwWidth, object->raw_data);
        }

        // The opt-in modes count the pixels on the frames they use: the guard
        // on luminance evaluations, the robust statistic on the last sample
        // of a white balance run. With both off nothing more runs.
        const CPictureCtrl* picture = &object->m_objPictureCtrl;
        const bool guarded =
            luminanceDue && picture->m_byteClipBudget != 0 && LuminanceEvaluates(luminance);
        const bool robustDue = whiteBalanceDue && picture->m_byteRobustAWB == QUORVIN_AWB_ROBUST;
        const bool robust = robustDue && WhiteBalanceEvaluates(whiteBalance);
        if (guarded || robust) {
            StepWithPictureModes(object, luminanceDue, whiteBalanceDue && !robustDue, guarded,
                                 robust);
        } else {
            // Luminance first: its publication goes out through the callbacks.
            if (luminanceDue) {
                UpdateGainShutter(luminance, statistics);
            }
            if (whiteBalanceDue && !robustDue) {
                UpdateGain(whiteBalance, statistics);
            }
        }
        if (robustDue && !robust) {
            // A sample before the run's last: counted only, as the
            // controller's sampling step counts it (its sums are filled on
            // the last one).
            ++whiteBalance->m_byteAWBAlredySamplingCount;
        }
        if (whiteBalanceDue) {
            // Green of the blue rows (gain 2) has no camera variable.
            *object->R = ToCameraGain(whiteBalance->m_pwGain[0]);
            *object->G = ToCameraGain(whiteBalance->m_pwGain[1]);
            *object->B = ToCameraGain(whiteBalance->m_pwGain[3]);
        }
        return 0;
    });
}

// Replaces the nibble of the luminance mode that nibble selects
// (QUORVIN_LUM_GAIN_BITS or QUORVIN_LUM_EXPOSURE_BITS) with the same bits of
// mode; the other nibble stays, and the other bits of mode are dropped.
int SetLuminanceNibble(void* awbObject, BYTE mode, BYTE nibble) {
    return WithLockedObject(awbObject, -QUORVIN_EINVAL, [mode, nibble](AWBObject* object) {
        BYTE& luminanceMode = object->m_objLuminanceCtrl.m_byteMode;
        luminanceMode = static_cast<BYTE>((mode & nibble) | (luminanceMode & ~nibble));
        return 0;
    });
}

// Stores one automatic limit of the luminance controller unchanged (a minimum
// above its maximum included) under the lock, so that a limit never changes in
// the middle of an evaluation.
void SetLuminanceLimit(void* awbObject, WORD CLuminanceCtrl::*limit, WORD value) {
    // Nothing to return: the 0 only fills the helper's result.
    (void)WithLockedObject(awbObject, 0, [limit, value](AWBObject* object) {
        object->m_objLuminanceCtrl.*limit = value;
        return 0;
    });
}

} // namespace

extern "C" {

// Every luminance controller of the module reaches its camera through this one
// table; constant-initialised, so it is ready before any code runs.
LuminanceCtrlFOPS luminance_fops = {SetShutterAndCDSGainToCamera, GetFrameClock};

// Publishes shutter and gain; the flag goes last, and is set even when the
// values did not change. Runs under the object's lock.
BOOL SetShutterAndCDSGainToCamera(struct CLuminanceCtrl* _this) {
    AWBObject* object = OwnerOf(_this);
    *object->next_gain_le = _this->m_wCDSGain;
    *object->next_shutter_line_le = _this->m_wShutterLine;
    *object->next_shutter_clock_le = _this->m_wShutterClock;
    *object->next_modif_flag21 = 1;
    return TRUE;
}

// Reports the camera's current lines per frame and clocks per line. The
// controller never tests the result, which is always FALSE.
BOOL GetFrameClock(struct CLuminanceCtrl* _this, PWORD pwLinePerFrame, PWORD pwClockPerLine) {
    AWBObject* object = OwnerOf(_this);
    *pwLinePerFrame = *object->crt_totalVLines_le;
    *pwClockPerLine = *object->crt_totalHClock_le;
    return FALSE;
}

int Quorvin_GetAWBObjectSize(void) {
    return static_cast<int>(sizeof(AWBObject));
}

void Quorvin_InitAWBObject(void* awb_object, __u8* raw_data, __u16* crt_totalVLines_le,
                           __u16* crt_totalHClock_le, __u16* next_shutter_line_le,
                           __u16* next_shutter_clock_le, __u16* next_gain_le, __u32* width,
                           __u32* height, int* next_modif_flag21, __u16* R, __u16* G, __u16* B,
                           __u16* pw_init_gain_le, __u16 initial_gain, __u16 initial_digital_gain,
                           int trigger_version) {
    if (awb_object == nullptr) {
        return;
    }
    AWBObject* object = static_cast<AWBObject*>(awb_object);
    // Every bound variable is used by some operation; an object missing one
    // stays unbound (no magic), so every later operation refuses it instead of
    // writing through a null pointer.
    if (raw_data == nullptr || crt_totalVLines_le == nullptr || crt_totalHClock_le == nullptr ||
        next_shutter_line_le == nullptr || next_shutter_clock_le == nullptr ||
        next_gain_le == nullptr || width == nullptr || height == nullptr ||
        next_modif_flag21 == nullptr || R == nullptr || G == nullptr || B == nullptr ||
        pw_init_gain_le == nullptr) {
        object->magic = 0;
        return;
    }

    // The initial gains are copied first: the driver may reuse that memory.
    WORD initialGains[4];
    for (int k = 0; k < 4; ++k) {
        initialGains[k] = pw_init_gain_le[k];
    }

    object->magic = QUORVIN_AWB_MAGIC;
    object->wColorArray = QUORVIN_COLOR_ARRAY_RGGB; // red at the frame's first byte

    object->raw_data = raw_data;
    object->crt_totalVLines_le = crt_totalVLines_le;
    object->crt_totalHClock_le = crt_totalHClock_le;
    object->next_shutter_line_le = next_shutter_line_le;
    object->next_shutter_clock_le = next_shutter_clock_le;
    object->next_gain_le = next_gain_le;
    object->next_modif_flag21 = next_modif_flag21;
    object->dwHeight = height;
    object->dwWidth = width;
    object->R = R;
    object->G = G;
    object->B = B;

    quorvin_sema_init(&object->awb_lock, 1);

    CAveragePixelValue_init(&object->m_objAveragePixelValue);
    CWhiteBalanceCtrl_init(&object->m_objWhiteBalanceCtrl, initialGains, object->wColorArray);
    CLuminanceCtrl_init(&object->m_objLuminanceCtrl, *next_shutter_line_le, *next_shutter_clock_le,
                        initial_gain, initial_digital_gain, trigger_version != 0 ? TRUE : FALSE,
                        &luminance_fops);
    CPictureCtrl_init(&object->m_objPictureCtrl);
}

void Quorvin_FreeAWBObject(void* awb_object) {
    AWBObject* object = BoundObject(awb_object);
    if (object == nullptr) {
        return;
    }
    CAveragePixelValue_free(&object->m_objAveragePixelValue);
    CWhiteBalanceCtrl_free(&object->m_objWhiteBalanceCtrl);
    CLuminanceCtrl_free(&object->m_objLuminanceCtrl);
}

int Quorvin_ALCWBalance(void* awb_object) {
    return BalanceFrame<false>(awb_object);
}

int Quorvin_ImageBalance(void* awb_object) {
    return BalanceFrame<true>(awb_object);
}

int Quorvin_ColorProcessing(void* awb_object) {
    return WithLockedObject(awb_object, -QUORVIN_EINVAL, [](AWBObject* object) {
        return ImageProcessing(&object->m_objWhiteBalanceCtrl, *object->dwWidth, *object->dwHeight,
                               object->wColorArray, object->raw_data);
    });
}

int Quorvin_ImageProcessing(void* awb_object, void* pSrc) {
    return WithLockedObject(
        awb_object, -QUORVIN_EINVAL,
        [pSrc](AWBObject* object) {
            return ImageCopyProcessing(&object->m_objWhiteBalanceCtrl, *object->dwWidth,
                                       *object->dwHeight, object->wColorArray,
                                       static_cast<PBYTE>(pSrc), object->raw_data);
        },
        pSrc != nullptr);
}

int Quorvin_SetAutoAWB(void* awb_object, BYTE mode) {
    return WithLockedObject(awb_object, -QUORVIN_EINVAL, [mode](AWBObject* object) {
        object->m_objWhiteBalanceCtrl.m_byteMode = mode;
        return 0;
    });
}

// The gain setting is the low nibble of the luminance mode; the high nibble of
// mode is dropped.
int Quorvin_SetAutoGain(void* awb_object, BYTE mode) {
    return SetLuminanceNibble(awb_object, mode, QUORVIN_LUM_GAIN_BITS);
}

// The exposure setting is the high nibble of the luminance mode and arrives
// already in place (QUORVIN_LUM_EXPOSURE(), 0x10 or 0x20); the low nibble of
// mode is dropped.
int Quorvin_SetAutoExposure(void* awb_object, BYTE mode) {
    return SetLuminanceNibble(awb_object, mode, QUORVIN_LUM_EXPOSURE_BITS);
}

// Target, tolerance and threshold change together, never in the middle of an
// evaluation.
BOOL Quorvin_CLuminance_SetTarget(void* awb_object, PBYTE pbyteTarget) {
    return WithLockedObject(
        awb_object, FALSE,
        [pbyteTarget](AWBObject* object) {
            return CLuminance_SetTarget(&object->m_objLuminanceCtrl, pbyteTarget);
        },
        pbyteTarget != nullptr);
}

BOOL Quorvin_CLuminance_SetCtrlSpeed(void* awb_object, BYTE byteShutterCtrlSpeedLimit,
                                     BYTE byteGainCtrlSpeedLimit, BYTE byteSkipFrameCount,
                                     BYTE byteAverageFrameCount) {
    return WithLockedObject(awb_object, FALSE, [&](AWBObject* object) {
        return CLuminance_SetCtrlSpeed(&object->m_objLuminanceCtrl, byteShutterCtrlSpeedLimit,
                                       byteGainCtrlSpeedLimit, byteSkipFrameCount,
                                       byteAverageFrameCount);
    });
}

// Manual colour gains from the camera's R, G, B (1/16): both greens take
// G. The tables are complete before the lock is released, so no frame is ever
// corrected with a half-built table.
void Quorvin_Set_Gain(void* awb_object) {
    // Nothing to return: the 0 only fills the helper's result.
    (void)WithLockedObject(awb_object, 0, [](AWBObject* object) {
        CWhiteBalanceCtrl* whiteBalance = &object->m_objWhiteBalanceCtrl;
        const WORD green = FromCameraGain(*object->G);
        whiteBalance->m_pwGain[0] = FromCameraGain(*object->R);
        whiteBalance->m_pwGain[1] = green;
        whiteBalance->m_pwGain[2] = green;
        whiteBalance->m_pwGain[3] = FromCameraGain(*object->B);
        for (int k = 0; k < 4; ++k) {
            BuildManualTable(whiteBalance->m_pwGain[k], whiteBalance->m_ppbyteTable[k]);
        }
        return 0;
    });
}

void Quorvin_Set_Auto_Max_Gain(void* awb_object, WORD value) {
    SetLuminanceLimit(awb_object, &CLuminanceCtrl::m_wAutoMaxCDSGain, value);
}

void Quorvin_Set_Auto_Min_Gain(void* awb_object, WORD value) {
    SetLuminanceLimit(awb_object, &CLuminanceCtrl::m_wAutoMinCDSGain, value);
}

void Quorvin_Set_Auto_Max_Shutter(void* awb_object, WORD value) {
    SetLuminanceLimit(awb_object, &CLuminanceCtrl::m_wAutoMaxShutterLine, value);
}

void Quorvin_Set_Auto_Min_Shutter(void* awb_object, WORD value) {
    SetLuminanceLimit(awb_object, &CLuminanceCtrl::m_wAutoMinShutterLine, value);
}

void Quorvin_Set_Auto_Max_ShutterC(void* awb_object, WORD value) {
    SetLuminanceLimit(awb_object, &CLuminanceCtrl::m_wAutoMaxShutterClock, value);
}

void Quorvin_Set_Auto_Min_ShutterC(void* awb_object, WORD value) {
    SetLuminanceLimit(awb_object, &CLuminanceCtrl::m_wAutoMinShutterClock, value);
}

int Quorvin_SetHighlightGuard(void* awb_object, BYTE byteClipBudget, BYTE byteTargetFloor) {
    return WithLockedObject(awb_object, -QUORVIN_EINVAL,
                            [byteClipBudget, byteTargetFloor](AWBObject* object) {
                                CPictureCtrl* picture = &object->m_objPictureCtrl;
                                picture->m_byteClipBudget = byteClipBudget;
                                picture->m_byteTargetFloor = byteTargetFloor;
                                picture->m_byteGuardTarget = 0;
                                picture->m_byteGuardHold = 0;
                                return 0;
                            });
}

int Quorvin_SetRobustAWB(void* awb_object, BYTE mode) {
    if (mode != QUORVIN_AWB_GREY_WORLD && mode != QUORVIN_AWB_ROBUST) {
        return -QUORVIN_EINVAL;
    }
    return WithLockedObject(awb_object, -QUORVIN_EINVAL, [mode](AWBObject* object) {
        object->m_objPictureCtrl.m_byteRobustAWB = mode;
        return 0;
    });
}

} // extern "C"
