/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * The balance object: one per camera. The camera driver allocates
 * Quorvin_GetAWBObjectSize() bytes, binds them to its own variables with
 * Quorvin_InitAWBObject and calls Quorvin_ALCWBalance or Quorvin_ImageBalance
 * once per captured frame. New shutter and gain values arrive in the bound
 * variables with *next_modif_flag21 set to 1 (the driver clears it); new
 * colour gains arrive in *R, *G, *B in units of 1/16 (16 = x1.0).
 *
 * Every operation on an object except Quorvin_InitAWBObject and
 * Quorvin_FreeAWBObject holds the object's lock (awb_lock) for its whole
 * duration, so they never overlap on one object; they may sleep waiting for
 * it. The driver reads what the module wrote after the call returns.
 *
 * Given a null object or memory that Quorvin_InitAWBObject never initialised,
 * every operation except Quorvin_GetAWBObjectSize and Quorvin_InitAWBObject
 * touches nothing and takes no lock: int results are -QUORVIN_EINVAL, BOOL
 * results FALSE. The same holds for a null pSrc or pbyteTarget. Binding with
 * any null pointer leaves the object unbound, so that it is refused later.
 */
#ifndef QUORVIN_AWB_AWB_H
#define QUORVIN_AWB_AWB_H

#include "AveragePixelValue.h"
#include "LuminanceCtrl.h"
#include "PictureCtrl.h"
#include "WhiteBalanceCtrl.h"
#include "platform.h"
#include "win.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Scale of the camera's colour gains *R, *G, *B: 1/16, so
 * QUORVIN_CAMERA_GAIN_UNITY = 16 is x1.0. A white balance gain (1/128) is
 * published as gain >> QUORVIN_CAMERA_GAIN_SHIFT and loaded back as
 * value << QUORVIN_CAMERA_GAIN_SHIFT. */
enum QuorvinCameraGainScale {
    QUORVIN_CAMERA_GAIN_SHIFT = 3,
    QUORVIN_CAMERA_GAIN_UNITY = 16,
};

/* Bit pattern of AWBObject.magic once the object is initialised. */
#define QUORVIN_AWB_MAGIC ((int)0xFAAFEBBEu)
/* The kernel's EINVAL; invalid objects get its negative. */
#define QUORVIN_EINVAL 22

typedef struct AWBObject {
    int magic;
    CAveragePixelValue m_objAveragePixelValue;
    CWhiteBalanceCtrl m_objWhiteBalanceCtrl;
    CLuminanceCtrl m_objLuminanceCtrl;
    /* The per-object callback table is never set or read (luminance_fops
     * serves every object); its storage holds the opt-in picture modes, so
     * the object keeps its size. */
    union {
        LuminanceCtrlFOPS m_luminanceFOps;
        CPictureCtrl m_objPictureCtrl;
    };
    __u8* raw_data;            /* frame, width x height bytes */
    __u16* crt_totalVLines_le; /* lines per frame */
    __u16* crt_totalHClock_le; /* clocks per line */
    __u16* next_shutter_line_le;
    __u16* next_shutter_clock_le;
    __u16* next_gain_le;
    __u16 wColorArray; /* always QUORVIN_COLOR_ARRAY_RGGB */
    __u32* dwWidth;
    __u32* dwHeight;
    int* next_modif_flag21; /* set to 1 after shutter and gain are written */
    __u16* R;
    __u16* G;
    __u16* B;
    QuorvinSemaphore awb_lock;
} AWBObject;

/* The module-wide callback table every luminance controller is bound to. */
extern LuminanceCtrlFOPS luminance_fops;
BOOL SetShutterAndCDSGainToCamera(struct CLuminanceCtrl* _this);
BOOL GetFrameClock(struct CLuminanceCtrl* _this, PWORD pwLinePerFrame, PWORD pwClockPerLine);

/* Bytes the driver allocates for one object: sizeof(AWBObject), 1636 on
 * 32-bit x86. */
int Quorvin_GetAWBObjectSize(void);
/* Binds and initialises an object. Reads only *next_shutter_line_le,
 * *next_shutter_clock_le (the initial shutter) and the four initial white
 * balance gains at pw_init_gain_le (unit 1/128, copied); writes nothing
 * through the bound pointers. A non-zero trigger_version means a camera with
 * digital gain, whose shutter is controlled to the clock. */
void Quorvin_InitAWBObject(void* AWBObject, __u8* raw_data, __u16* crt_totalVLines_le,
                           __u16* crt_totalHClock_le, __u16* next_shutter_line_le,
                           __u16* next_shutter_clock_le, __u16* next_gain_le, __u32* width,
                           __u32* height, int* next_modif_flag21, __u16* R, __u16* G, __u16* B,
                           __u16* pw_init_gain_le, __u16 initial_gain, __u16 initial_digital_gain,
                           int trigger_version);
void Quorvin_FreeAWBObject(void* AWBObject);

int Quorvin_ALCWBalance(void* AWBObject);
int Quorvin_ImageBalance(void* AWBObject);

int Quorvin_ColorProcessing(void* AWBObject);
int Quorvin_ImageProcessing(void* AWBObject, void* pSrc);
int Quorvin_SetAutoAWB(void* AWBObject, BYTE mode);
int Quorvin_SetAutoGain(void* AWBObject, BYTE mode);
int Quorvin_SetAutoExposure(void* AWBObject, BYTE mode);
BOOL Quorvin_CLuminance_SetTarget(void* AWBObject, PBYTE pbyteTarget);
BOOL Quorvin_CLuminance_SetCtrlSpeed(void* AWBObject, BYTE byteShutterCtrlSpeedLimit,
                                     BYTE byteGainCtrlSpeedLimit, BYTE byteSkipFrameCount,
                                     BYTE byteAverageFrameCount);
/* Loads the white balance gains from *R, *G (both greens) and *B, each
 * shifted left by 3 and kept to 16 bits, and rebuilds the four tables as
 * min((gain * i) >> 7, 255). */
void Quorvin_Set_Gain(void* AWBObject);
void Quorvin_Set_Auto_Max_Gain(void* AWBObject, WORD _wAutoMaxCDSGain);
void Quorvin_Set_Auto_Min_Gain(void* AWBObject, WORD _wAutoMinCDSGain);
void Quorvin_Set_Auto_Max_Shutter(void* AWBObject, WORD _wAutoMaxShutterLine);
void Quorvin_Set_Auto_Min_Shutter(void* AWBObject, WORD _wAutoMinShutterLine);
void Quorvin_Set_Auto_Max_ShutterC(void* AWBObject, WORD _wAutoMaxShutterClock);
void Quorvin_Set_Auto_Min_ShutterC(void* AWBObject, WORD _wAutoMinShutterClock);

/*
 * The highlight guard of automatic exposure and gain, off after
 * Quorvin_InitAWBObject. byteClipBudget is the share of the measured pixels
 * allowed at 255, per mille (20 = 2 %; 0 puts the guard off); byteTargetFloor
 * the lowest brightness target the guard may set (levels 0..255; suggested
 * QUORVIN_GUARD_DEFAULT_BUDGET and QUORVIN_GUARD_DEFAULT_FLOOR).
 *
 * While on, each luminance evaluation also counts the frame's pixels at 255
 * (after correction under Quorvin_ImageBalance, as captured under
 * Quorvin_ALCWBalance; every 2nd row pair from 240 lines, every 4th from 480,
 * every 8th from 960). While more than the budget is clipped, the target the
 * evaluation uses steps down by 1/8 (1/4 beyond four times the budget) from
 * the lower of the target and the measured brightness (the lower of the
 * frame's and the mean of the frames the evaluation sampled, which the
 * exposure step divides by), never below the floor. While the brightness is
 * still falling from above it waits, until the brightness is at most twice
 * the tolerance plus the threshold above the target, and from there steps
 * by 1/8 with the exposure. Once the brightness rests within the dead band
 * (tolerance + threshold) of the target in force, it steps down only beyond
 * 3/2 of the budget (hysteresis: a count wandering across the budget moves
 * nothing). While the brightness still
 * climbs towards the target within the budget, a target that would clip
 * more than the budget is cut short: to 9/8 of the brightness when the
 * pixels at 192 or more (those 4/3 would clip) exceed the budget and the
 * target is 4/3 of the brightness or more, to 1/32 above it when those at
 * 240 or more (17/16) do and the target is 17/16 of it or more. Once the
 * brightness has settled for two evaluations within the budget, it climbs
 * towards the configured target: to 4/3 of the measured brightness when the
 * pixels at 192 or more (those 4/3 would clip) are at most half the budget,
 * else to 17/16 when those at 240 or more are. The target, tolerance and
 * threshold set with Quorvin_CLuminance_SetTarget, the speed limits and frame
 * counts keep their meaning; the guard only lowers the target in force.
 * Setting the guard, even to the same values, restarts it at the configured
 * target. Takes the lock; returns 0, or -QUORVIN_EINVAL for an invalid object.
 */
int Quorvin_SetHighlightGuard(void* AWBObject, BYTE byteClipBudget, BYTE byteTargetFloor);
/*
 * The statistic of automatic white balance: QUORVIN_AWB_GREY_WORLD (0, after
 * Quorvin_InitAWBObject) averages every weighted area; QUORVIN_AWB_ROBUST (1)
 * takes, on the last sample of each white balance run (for the whole run),
 * the fourth root of the mean fourth power of red, green and blue over the
 * Bayer cells of the counted row pairs (as for the highlight guard) that have
 * no sample at 250 or more (a Minkowski norm, "shades of grey", which leans
 * on the brighter surfaces and leaves clipped ones out), and moves it
 * towards its geometric mean, colour by colour, with the mean absolute
 * difference of each colour between such a cell and the unclipped cell on
 * its left where the green steps by 8 levels or more, scaled to the norm's
 * green (first-order "grey edge", which leans on the changes between
 * surfaces). How far goes by a weight, the product of three linear ramps,
 * so that the estimate never switches between the two: from none at 1/32
 * of the cells with such a step to all at 1/8; from all while the edges'
 * red and blue lie within half an octave of the norm's to none at 2.5 times
 * off; from none while a colour of the norm is at 16 levels or under to all
 * at 32. When fewer than 1/64 of the cells are unclipped it
 * averages the areas that are neither clipped (1/32 of their pixels at 255)
 * nor dark (green under 8) nor half an octave off grey, or every area when
 * fewer than 4 remain. The gain rule, dead band, counts and limits are the
 * same; the area weights apply to the fallback only. Takes the lock; returns
 * 0, or -QUORVIN_EINVAL (nothing changed) for an invalid object or another
 * mode.
 */
int Quorvin_SetRobustAWB(void* AWBObject, BYTE mode);

/* Module load and unload, defined by each host's platform layer: nothing to
 * set up or tear down; init returns 0. */
int usb_QuorvinUSB_init(void);
void usb_QuorvinUSB_exit(void);

#ifdef __cplusplus
}
#endif

#endif /* QUORVIN_AWB_AWB_H */
