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
#include "PixelKernels.h"
#include "WhiteBalanceCtrl.h"
#include "platform.h"
#include "win.h"

// The size the camera driver allocates. On 32-bit x86 (4-byte pointers, a
// 16-byte semaphore) the record is 1636 bytes; drivers built for that target
// rely on the number.
#if defined(__i386__)
static_assert(sizeof(AWBObject) == 1636, "AWBObject must be 1636 bytes on 32-bit x86");
#endif
static_assert(__builtin_offsetof(AWBObject, magic) == 0, "the magic must be the first word");

namespace {

AWBObject* owner_of(CLuminanceCtrl* ctrl) {
    // The controller is always the m_objLuminanceCtrl member of a balance
    // object: step back by the member's position to reach the object.
    return reinterpret_cast<AWBObject*>(reinterpret_cast<char*>(ctrl) -
                                        __builtin_offsetof(AWBObject, m_objLuminanceCtrl));
}

// The object behind an opaque pointer, or null when the pointer is null or the
// memory was never bound by Quorvin_InitAWBObject.
AWBObject* bound_object(void* p) {
    if (p == nullptr) {
        return nullptr;
    }
    AWBObject* obj = static_cast<AWBObject*>(p);
    return obj->magic == QUORVIN_AWB_MAGIC ? obj : nullptr;
}

// Holds the object's lock for the lifetime of the guard, so that every return
// path releases it.
class ObjectLock {
public:
    explicit ObjectLock(AWBObject* obj) : m_sem(&obj->awb_lock) { quorvin_down(m_sem); }
    ~ObjectLock() { quorvin_up(m_sem); }
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;

private:
    QuorvinSemaphore* m_sem;
};

// The camera's colour gain (unit 1/16) for a controller gain (unit 1/128).
__u16 to_camera_gain(WORD gain) {
    return static_cast<__u16>(gain >> 3);
}

// Controller gain (unit 1/128) for a camera value (unit 1/16), keeping the low
// 16 bits: values of 8192 and more wrap.
WORD from_camera_gain(__u16 value) {
    return static_cast<WORD>(static_cast<unsigned>(value) << 3);
}

// Table of the manual gains: entry i = min((gain * i) >> 7, 255). Unlike the
// controller's own rule, the saturated run starts exactly where the product
// reaches 255.
void build_manual_table(WORD gain, BYTE* table) {
    for (int i = 0; i < 256; ++i) {
        const int value = (static_cast<int>(gain) * i) >> 7;
        table[i] = value > 255 ? BYTE{255} : static_cast<BYTE>(value);
    }
}

// One frame of automatic exposure, gain and white balance. kCorrectFirst
// selects the in-place correcting variant, which also asks white balance up to
// four times, so that its skip countdown runs up to four times as fast.
template <bool kCorrectFirst> int balance_frame(void* p) {
    AWBObject* obj = bound_object(p);
    if (obj == nullptr) {
        return -QUORVIN_EINVAL;
    }
    ObjectLock lock(obj);
    CWhiteBalanceCtrl* wb = &obj->m_objWhiteBalanceCtrl;
    CLuminanceCtrl* lum = &obj->m_objLuminanceCtrl;
    CAveragePixelValue* stats = &obj->m_objAveragePixelValue;

    // Both queries always run: each one advances its controller's countdown.
    bool wb_due = IsAutoMode(wb, TRUE) != FALSE;
    if constexpr (kCorrectFirst) {
        for (int query = 1; query < 4 && !wb_due; ++query) {
            wb_due = IsAutoMode(wb, TRUE) != FALSE;
        }
    }
    const bool lum_due = CLuminance_IsAutoMode(lum, TRUE) != FALSE;
    if (!wb_due && !lum_due) {
        return 0;
    }

    // The frame size is read at each frame, so a change made by the driver
    // between frames is seen at once. Correcting and measuring go together
    // in one pass over the frame: the same results as ImageProcessing
    // followed by UpdateAverage.
    bool measured = false;
    if constexpr (kCorrectFirst) {
        measured = quorvin_pixel::CorrectAndMeasure(wb, stats, *obj->dwWidth, *obj->dwHeight,
                                                    obj->wColorArray, obj->raw_data);
    }
    if (!measured) {
        UpdateAverage(stats, *obj->dwWidth, *obj->dwHeight, obj->wColorArray, obj->raw_data);
    }

    // Luminance first: its publication goes out through the callbacks.
    if (lum_due) {
        UpdateGainShutter(lum, stats);
    }
    if (wb_due) {
        UpdateGain(wb, stats);
        // Green of the blue rows (gain 2) has no camera variable.
        *obj->R = to_camera_gain(wb->m_pwGain[0]);
        *obj->G = to_camera_gain(wb->m_pwGain[1]);
        *obj->B = to_camera_gain(wb->m_pwGain[3]);
    }
    return 0;
}

} // namespace

extern "C" {

// Every luminance controller of the module reaches its camera through this one
// table; constant-initialised, so it is ready before any code runs.
LuminanceCtrlFOPS luminance_fops = {SetShutterAndCDSGainToCamera, GetFrameClock};

// Publishes shutter and gain; the flag goes last, and is set even when the
// values did not change. Runs under the object's lock.
BOOL SetShutterAndCDSGainToCamera(struct CLuminanceCtrl* _this) {
    AWBObject* obj = owner_of(_this);
    *obj->next_gain_le = _this->m_wCDSGain;
    *obj->next_shutter_line_le = _this->m_wShutterLine;
    *obj->next_shutter_clock_le = _this->m_wShutterClock;
    *obj->next_modif_flag21 = 1;
    return TRUE;
}

// Reports the camera's current lines per frame and clocks per line. The
// controller never tests the result, which is always FALSE.
BOOL GetFrameClock(struct CLuminanceCtrl* _this, PWORD pwLinePerFrame, PWORD pwClockPerLine) {
    AWBObject* obj = owner_of(_this);
    *pwLinePerFrame = *obj->crt_totalVLines_le;
    *pwClockPerLine = *obj->crt_totalHClock_le;
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
    AWBObject* obj = static_cast<AWBObject*>(awb_object);
    // Every bound variable is used by some operation; an object missing one
    // stays unbound (no magic), so every later operation refuses it instead of
    // writing through a null pointer.
    if (raw_data == nullptr || crt_totalVLines_le == nullptr || crt_totalHClock_le == nullptr ||
        next_shutter_line_le == nullptr || next_shutter_clock_le == nullptr ||
        next_gain_le == nullptr || width == nullptr || height == nullptr ||
        next_modif_flag21 == nullptr || R == nullptr || G == nullptr || B == nullptr ||
        pw_init_gain_le == nullptr) {
        obj->magic = 0;
        return;
    }

    // The initial gains are copied first: the driver may reuse that memory.
    WORD ini_gain[4];
    for (int k = 0; k < 4; ++k) {
        ini_gain[k] = pw_init_gain_le[k];
    }

    obj->magic = QUORVIN_AWB_MAGIC;
    obj->wColorArray = 2; // R G / G B, red at the frame's first byte

    obj->raw_data = raw_data;
    obj->crt_totalVLines_le = crt_totalVLines_le;
    obj->crt_totalHClock_le = crt_totalHClock_le;
    obj->next_shutter_line_le = next_shutter_line_le;
    obj->next_shutter_clock_le = next_shutter_clock_le;
    obj->next_gain_le = next_gain_le;
    obj->next_modif_flag21 = next_modif_flag21;
    obj->dwHeight = height;
    obj->dwWidth = width;
    obj->R = R;
    obj->G = G;
    obj->B = B;

    quorvin_sema_init(&obj->awb_lock, 1);

    CAveragePixelValue_init(&obj->m_objAveragePixelValue);
    CWhiteBalanceCtrl_init(&obj->m_objWhiteBalanceCtrl, ini_gain, obj->wColorArray);
    CLuminanceCtrl_init(&obj->m_objLuminanceCtrl, *next_shutter_line_le, *next_shutter_clock_le,
                        initial_gain, initial_digital_gain, trigger_version != 0 ? TRUE : FALSE,
                        &luminance_fops);
}

void Quorvin_FreeAWBObject(void* awb_object) {
    AWBObject* obj = bound_object(awb_object);
    if (obj == nullptr) {
        return;
    }
    CAveragePixelValue_free(&obj->m_objAveragePixelValue);
    CWhiteBalanceCtrl_free(&obj->m_objWhiteBalanceCtrl);
    CLuminanceCtrl_free(&obj->m_objLuminanceCtrl);
}

int Quorvin_ALCWBalance(void* awb_object) {
    return balance_frame<false>(awb_object);
}

int Quorvin_ImageBalance(void* awb_object) {
    return balance_frame<true>(awb_object);
}

int Quorvin_ColorProcessing(void* awb_object) {
    AWBObject* obj = bound_object(awb_object);
    if (obj == nullptr) {
        return -QUORVIN_EINVAL;
    }
    ObjectLock lock(obj);
    return ImageProcessing(&obj->m_objWhiteBalanceCtrl, *obj->dwWidth, *obj->dwHeight,
                           obj->wColorArray, obj->raw_data);
}

int Quorvin_ImageProcessing(void* awb_object, void* pSrc) {
    AWBObject* obj = bound_object(awb_object);
    if (obj == nullptr || pSrc == nullptr) {
        return -QUORVIN_EINVAL;
    }
    ObjectLock lock(obj);
    return ImageCopyProcessing(&obj->m_objWhiteBalanceCtrl, *obj->dwWidth, *obj->dwHeight,
                               obj->wColorArray, static_cast<PBYTE>(pSrc), obj->raw_data);
}

int Quorvin_SetAutoAWB(void* awb_object, BYTE mode) {
    AWBObject* obj = bound_object(awb_object);
    if (obj == nullptr) {
        return -QUORVIN_EINVAL;
    }
    ObjectLock lock(obj);
    obj->m_objWhiteBalanceCtrl.m_byteMode = mode;
    return 0;
}

// The gain setting is the low nibble of the luminance mode; the high nibble of
// mode is dropped.
int Quorvin_SetAutoGain(void* awb_object, BYTE mode) {
    AWBObject* obj = bound_object(awb_object);
    if (obj == nullptr) {
        return -QUORVIN_EINVAL;
    }
    ObjectLock lock(obj);
    BYTE& lum_mode = obj->m_objLuminanceCtrl.m_byteMode;
    lum_mode = static_cast<BYTE>((mode & 0x0F) | (lum_mode & 0xF0));
    return 0;
}

// The exposure setting is the high nibble of the luminance mode and arrives
// already in place (0x10, 0x20); the low nibble of mode is dropped.
int Quorvin_SetAutoExposure(void* awb_object, BYTE mode) {
    AWBObject* obj = bound_object(awb_object);
    if (obj == nullptr) {
        return -QUORVIN_EINVAL;
    }
    ObjectLock lock(obj);
    BYTE& lum_mode = obj->m_objLuminanceCtrl.m_byteMode;
    lum_mode = static_cast<BYTE>((mode & 0xF0) | (lum_mode & 0x0F));
    return 0;
}

// Target, tolerance and threshold change together, never in the middle of an
// evaluation.
BOOL Quorvin_CLuminance_SetTarget(void* awb_object, PBYTE pbyteTarget) {
    AWBObject* obj = bound_object(awb_object);
    if (obj == nullptr || pbyteTarget == nullptr) {
        return FALSE;
    }
    ObjectLock lock(obj);
    return CLuminance_SetTarget(&obj->m_objLuminanceCtrl, pbyteTarget);
}

BOOL Quorvin_CLuminance_SetCtrlSpeed(void* awb_object, BYTE byteShutterCtrlSpeedLimit,
                                     BYTE byteGainCtrlSpeedLimit, BYTE byteSkipFrameCount,
                                     BYTE byteAverageFrameCount) {
    AWBObject* obj = bound_object(awb_object);
    if (obj == nullptr) {
        return FALSE;
    }
    ObjectLock lock(obj);
    return CLuminance_SetCtrlSpeed(&obj->m_objLuminanceCtrl, byteShutterCtrlSpeedLimit,
                                   byteGainCtrlSpeedLimit, byteSkipFrameCount,
                                   byteAverageFrameCount);
}

// Manual colour gains from the camera's R, G, B (unit 1/16): both greens take
// G. The tables are complete before the lock is released, so no frame is ever
// corrected with a half-built table.
void Quorvin_Set_Gain(void* awb_object) {
    AWBObject* obj = bound_object(awb_object);
    if (obj == nullptr) {
        return;
    }
    ObjectLock lock(obj);
    CWhiteBalanceCtrl* wb = &obj->m_objWhiteBalanceCtrl;
    const WORD green = from_camera_gain(*obj->G);
    wb->m_pwGain[0] = from_camera_gain(*obj->R);
    wb->m_pwGain[1] = green;
    wb->m_pwGain[2] = green;
    wb->m_pwGain[3] = from_camera_gain(*obj->B);
    for (int k = 0; k < 4; ++k) {
        build_manual_table(wb->m_pwGain[k], wb->m_ppbyteTable[k]);
    }
}

// The automatic limits. Each is stored unchanged (a minimum above its maximum
// included) under the lock, so a limit never changes in the middle of an
// evaluation.
#define QUORVIN_LIMIT_SETTER(name, field)                                                          \
    void name(void* awb_object, WORD value) {                                                      \
        AWBObject* obj = bound_object(awb_object);                                                 \
        if (obj == nullptr) {                                                                      \
            return;                                                                                \
        }                                                                                          \
        ObjectLock lock(obj);                                                                      \
        obj->m_objLuminanceCtrl.field = value;                                                     \
    }

QUORVIN_LIMIT_SETTER(Quorvin_Set_Auto_Max_Gain, m_wAutoMaxCDSGain)
QUORVIN_LIMIT_SETTER(Quorvin_Set_Auto_Min_Gain, m_wAutoMinCDSGain)
QUORVIN_LIMIT_SETTER(Quorvin_Set_Auto_Max_Shutter, m_wAutoMaxShutterLine)
QUORVIN_LIMIT_SETTER(Quorvin_Set_Auto_Min_Shutter, m_wAutoMinShutterLine)
QUORVIN_LIMIT_SETTER(Quorvin_Set_Auto_Max_ShutterC, m_wAutoMaxShutterClock)
QUORVIN_LIMIT_SETTER(Quorvin_Set_Auto_Min_ShutterC, m_wAutoMinShutterClock)

#undef QUORVIN_LIMIT_SETTER

} // extern "C"
