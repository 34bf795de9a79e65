/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * Luminance controller: keeps the weighted brightness at a target by moving
 * the exposure (shutter: whole lines plus clocks within a line, in the
 * camera's units) and the analogue CDS gain (camera register units).
 *
 * Mode byte m_byteMode: high nibble exposure, low nibble gain; per nibble
 * 0 manual, 1 continuous, 2 one-shot. Byte values 0x01/0x02 move the gain
 * only, 0x10/0x20 the exposure only, 0x11/0x12 the exposure first and the
 * gain when the exposure stands at a limit; any other non-zero value moves
 * the gain only, in the high range.
 *
 * Exposure times are DWORD counts of pixel clocks: one line is H clocks
 * (clocks per line), one frame V x H (V lines per frame). The shutter pair
 * (0, 0) means one whole frame.
 *
 * Cycle: after every evaluation m_byteSkipFrameCount frames are skipped
 * (CLuminance_IsAutoMode counts them down), then m_byteAverageFrameCount
 * frames are sampled, and the last of them is evaluated: at most one change
 * of shutter or gain, published once through the callback table.
 *
 * The camera is reached only through the table given to CLuminanceCtrl_init
 * (the record's fops); it must stay valid while the record is used.
 *
 * A camera that reports 0 clocks per line: the exposure functions return the
 * clock part (clock unit) or 0 and never divide; the status check then leaves
 * the shutter as it is (it still brings the gain inside its limits), and the
 * exposure step changes nothing and returns FALSE. The gain keeps working.
 */
#ifndef QUORVIN_AWB_LUMINANCECTRL_H
#define QUORVIN_AWB_LUMINANCECTRL_H

#include "AveragePixelValue.h"
#include "win.h"

#ifdef __cplusplus
extern "C" {
#endif

struct CLuminanceCtrl;

/* Publish m_wCDSGain, m_wShutterLine and m_wShutterClock to the camera. */
typedef BOOL (*LuminanceSetShutterAndGainFn)(struct CLuminanceCtrl* _this);
/* Report lines per frame and clocks per line; must have no side effect. */
typedef BOOL (*LuminanceGetFrameClockFn)(struct CLuminanceCtrl* _this, PWORD pwLinePerFrame,
                                         PWORD pwClockPerLine);

/* One nibble of the mode byte: high nibble exposure, low nibble gain. */
enum QuorvinLumNibble {
    QUORVIN_LUM_MANUAL = 0,
    QUORVIN_LUM_CONTINUOUS = 1,
    QUORVIN_LUM_ONE_SHOT = 2,
};
/* The bits of the mode byte that hold each nibble; Quorvin_SetAutoExposure
 * keeps the exposure bits of its mode argument, Quorvin_SetAutoGain the gain
 * bits. */
enum QuorvinLumNibbleMask {
    QUORVIN_LUM_EXPOSURE_BITS = 0xF0,
    QUORVIN_LUM_GAIN_BITS = 0x0F,
};
/* A nibble in its place in the mode byte: QUORVIN_LUM_EXPOSURE(
 * QUORVIN_LUM_CONTINUOUS) is 0x10, QUORVIN_LUM_GAIN(QUORVIN_LUM_CONTINUOUS)
 * 0x01; the arguments of Quorvin_SetAutoExposure and Quorvin_SetAutoGain. */
#define QUORVIN_LUM_EXPOSURE(nibble) ((BYTE)((nibble) << 4))
#define QUORVIN_LUM_GAIN(nibble)     ((BYTE)(nibble))
/* The mode byte of an exposure and a gain nibble: QUORVIN_LUM_MODE(
 * QUORVIN_LUM_CONTINUOUS, QUORVIN_LUM_CONTINUOUS) is 0x11. */
#define QUORVIN_LUM_MODE(exposure, gain) ((BYTE)(((exposure) << 4) | (gain)))

/*
 * The controller's defaults (CLuminanceCtrl_init), for the drivers and tools
 * that show or start from them.
 * - Mode 0x11: exposure and gain both continuous, exposure first.
 * - Target 128: the middle of the 8-bit range for the weighted brightness.
 * - Tolerance 5 and threshold 5 levels: control runs while the brightness
 *   is more than 5 levels from the target, and starts from rest only beyond
 *   5 + 5 = 10 (about 4 % of the range at the default target).
 * - Speed limits 0: the fastest steps.
 * - 3 frames skipped after each evaluation, 4 averaged for the next: at
 *   30 frames/s one step about every 0.23 s, quick enough to follow a light
 *   being switched, slow enough that a step shows in the next average.
 */
enum QuorvinLumDefaults {
    QUORVIN_LUM_DEFAULT_MODE = QUORVIN_LUM_MODE(QUORVIN_LUM_CONTINUOUS, QUORVIN_LUM_CONTINUOUS),
    QUORVIN_LUM_DEFAULT_TARGET = 128,
    QUORVIN_LUM_DEFAULT_TOLERANCE = 5,
    QUORVIN_LUM_DEFAULT_THRESHOLD = 5,
    QUORVIN_LUM_DEFAULT_SPEED_LIMIT = 0,
    QUORVIN_LUM_DEFAULT_SKIP_FRAMES = 3,
    QUORVIN_LUM_DEFAULT_AVERAGE_FRAMES = 4,
};

/* The controller's only way to the camera. */
typedef struct LuminanceCtrlFOPS {
    LuminanceSetShutterAndGainFn mbpfSetShutterAndCDSGainToCamera;
    LuminanceGetFrameClockFn mbpfGetFrameClock;
} LuminanceCtrlFOPS;

typedef struct CLuminanceCtrl {
    BOOL m_bHasDigitalGain;           /* camera property; selects the unit */
    BOOL m_bClockUnitShutterCtrl;     /* TRUE: lines + clocks; FALSE: lines */
    WORD m_wCDSGain;                  /* current CDS gain */
    WORD m_wShutterLine;              /* current shutter, whole lines */
    WORD m_wShutterClock;             /* current shutter, extra clocks */
    WORD m_wDigitalGain;              /* kept, not used by the control */
    WORD m_wIniCDSGain;               /* reference gain: splits low/high range */
    WORD m_wIniDigitalGain;           /* kept, not used */
    WORD m_wIniShutterLine;           /* kept, not used */
    WORD m_wIniShutterClock;          /* kept, not used */
    BYTE m_byteMode;                  /* high nibble exposure, low nibble gain */
    BYTE m_byteTarget;                /* brightness target, 0..255 */
    BYTE m_byteTolerance;             /* dead band half-width while running */
    BYTE m_byteThreshold;             /* extra dead band while at rest */
    BYTE m_byteGainCtrlSpeedLimit;    /* 0 = fastest */
    BYTE m_byteShutterCtrlSpeedLimit; /* 0 = fastest */
    BYTE m_byteSkipFrameCount;        /* frames skipped after an evaluation */
    BYTE m_byteAverageFrameCount;     /* frames averaged per evaluation */
    WORD m_wAutoMaxShutterLine;
    WORD m_wAutoMaxShutterClock;
    WORD m_wAutoMinShutterLine;
    WORD m_wAutoMinShutterClock;
    WORD m_wAutoMaxCDSGain;
    WORD m_wAutoMinCDSGain;
    BYTE m_pbyteWeight[16];           /* area weights of the brightness */
    BOOL m_bAutoRunning;              /* last evaluation changed something */
    BYTE m_byteRestSkipCount;         /* frames still to skip */
    BYTE m_byteAlreadySampleingCount; /* frames sampled towards the average */
    DWORD m_dwSumOfSamplingBrightness;
    LuminanceCtrlFOPS* fops; /* camera callbacks, borrowed */
} CLuminanceCtrl;

void CLuminanceCtrl_init(CLuminanceCtrl* _this, WORD wIniShutterLine, WORD wIniShutterClock,
                         WORD wCDSGain, WORD wIniDigitalGain, BOOL bHasDigitalGain,
                         LuminanceCtrlFOPS* _fops);
void CLuminanceCtrl_free(CLuminanceCtrl* _this);
BOOL CLuminance_IsAutoMode(CLuminanceCtrl* _this, BOOL bDecrementSkipCount);

BOOL CLuminance_SetTarget(CLuminanceCtrl* _this, PBYTE pbyteTarget);
BOOL CLuminance_GetTarget(CLuminanceCtrl* _this, PBYTE pbyteTarget);
BOOL CLuminance_SetCtrlSpeed(CLuminanceCtrl* _this, BYTE byteShutterCtrlSpeedLimit,
                             BYTE byteGainCtrlSpeedLimit, BYTE byteSkipFrameCount,
                             BYTE byteAverageFrameCount);
BOOL CLuminance_GetCtrlSpeed(CLuminanceCtrl* _this, PBYTE pbyteShutterCtrlSpeedLimit,
                             PBYTE pbyteGainCtrlSpeedLimit, PBYTE pbyteSkipFrameCount,
                             PBYTE pbyteAverageFrameCount);
BOOL CLuminance_SetShutter(CLuminanceCtrl* _this, WORD wLine, WORD wClock);
BOOL CLuminance_GetShutter(CLuminanceCtrl* _this, PWORD pwLine, PWORD pwClock);
BOOL CLuminance_SetCDSGain(CLuminanceCtrl* _this, WORD wCDSGain);
BOOL CLuminance_GetCDSGain(CLuminanceCtrl* _this, PWORD pwCDSGain);
BOOL CLuminance_SetWeight(CLuminanceCtrl* _this, PBYTE pbyteWeight);
BOOL CLuminance_GetWeight(CLuminanceCtrl* _this, PBYTE pbyteWeight);

/* Exposure arithmetic. */
__u64 iexp8(__u8 base);  /* base^8, exact */
__u64 iexp16(__u8 base); /* base^16 modulo 2^64, exact for base <= 15 */
/* floor(log2 n) for n >= 1, -1 for n = 0 (the kernel's __ilog2_u64);
 * ilog2(iexp8(x)) is floor(8 log2 x), ilog2(iexp16(x)) floor(16 log2 x). */
int quorvin_ilog2_u64(__u64 n);
/* n / 256 floored, saturated to 0..65535. */
WORD S64s8_2_WORD(__s64 n);
/* Exposure in clocks of the current shutter, the automatic maximum and the
 * automatic minimum; each asks the frame timing once and changes nothing.
 * Clock unit: lines x H + clocks. Line unit: lines x H, and a non-zero clock
 * part means at least one line (for the minimum: one line fewer than the
 * line part, at least one). A pair worth 0 clocks stands for one frame, V x H. */
DWORD mdwGetExposureClock(CLuminanceCtrl* _this);
DWORD mdwGetMaxExposureClock(CLuminanceCtrl* _this);
DWORD mdwGetMinExposureClock(CLuminanceCtrl* _this);

/* One CDS gain step towards the target; TRUE when m_wCDSGain changed.
 * Log domain: 1460/256 gain units per eighth of an octave of target/current
 * (730/256 per sixteenth for levels up to 15); at least one unit in the
 * direction of bDarkFg; speed-limited by m_byteGainCtrlSpeedLimit in that
 * direction only; then kept in wAutoMinCDSGain..wAutoMaxCDSGain, minimum
 * tested first. byteDistanceY is not used. Calls no callback. */
BOOL mbGainCtrl(CLuminanceCtrl* _this, __u8 iCurrentY, __u8 iTargetY, BYTE byteDistanceY,
                BOOL bDarkFg, WORD wAutoMinCDSGain, WORD wAutoMaxCDSGain);
/* One exposure step towards the target; TRUE when the shutter changed.
 * new = current x iTargetY / iCurrentY (a level of 0 counts as 1, a negative
 * target as 0), formed and rounded to whole lines (line unit, a tie goes up)
 * in 64 bits, so a long exposure clamps to the limit instead of wrapping;
 * bounded by a step of current / (S + 1) plus one clock or line and by the
 * automatic limits. One frame or more is written as (0, 0). byteDistanceY
 * is not used. Calls mbpfGetFrameClock four times, never publishes. */
BOOL mbShutterCtrl(CLuminanceCtrl* _this, int iCurrentY, int iTargetY, BYTE byteDistanceY,
                   BOOL bDarkFg);
/* Brings shutter and gain back inside the limits the current mode enforces
 * (gain in 0x01, 0x02, 0x11, 0x12; exposure in 0x10, 0x11, 0x12, 0x20; in
 * 0x11 and 0x12 also the gain back to m_wIniCDSGain while the exposure is
 * strictly between its limits); TRUE when it stored a correction. Calls
 * mbpfGetFrameClock four times; publishes nothing.
 * A correction is judged by the record before and after, not by the steps:
 * in 0x11 and 0x12 with m_wIniCDSGain outside the automatic gain range, a
 * gain at its reference is first brought inside the range and then set back
 * to the reference, which leaves the record as it was and counts as no
 * correction, so the evaluation goes on to its brightness step. Counting it
 * as a correction would publish the same values on every evaluation and
 * never step the exposure again in that configuration. */
BOOL mbCheckInvalidStatus(CLuminanceCtrl* _this);
/* Per-frame loop: sample, evaluate, step, publish. FALSE only when the
 * brightness cannot be taken. One evaluation calls mbpfGetFrameClock at most
 * 12 times and mbpfSetShutterAndCDSGainToCamera at most once; a settled
 * evaluation ends the one-shot modes 0x02, 0x12 and 0x20 (mode byte 0). */
BOOL UpdateGainShutter(CLuminanceCtrl* _this, CAveragePixelValue* pobjAveragePixelValue);

#ifdef __cplusplus
}
#endif

#endif /* QUORVIN_AWB_LUMINANCECTRL_H */
