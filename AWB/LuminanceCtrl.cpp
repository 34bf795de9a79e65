// SPDX-License-Identifier: GPL-2.0 OR MIT
// Luminance controller: automatic exposure (shutter) and CDS gain.
//
// Integer only. Brightness ratios are measured in eighths (or sixteenths) of
// an octave through integer powers and the highest set bit; exposure times
// are DWORD counts of pixel clocks. The camera is reached only through the
// callback table stored in the record at initialisation.
#include "LuminanceCtrl.h"

#include "platform.h"

namespace {

// Clocks per line and lines per frame, as the camera reports them. Zeroed
// first so that a callback that writes nothing leaves no indeterminate value.
struct FrameClock {
    WORD wTotalVLine;
    WORD wTotalHClock;
};

FrameClock ReadFrameClock(CLuminanceCtrl* _this) {
    FrameClock frameClock = {0, 0};
    (void)_this->fops->mbpfGetFrameClock(_this, &frameClock.wTotalVLine, &frameClock.wTotalHClock);
    return frameClock;
}

BOOL PublishToCamera(CLuminanceCtrl* _this) {
    return _this->fops->mbpfSetShutterAndCDSGainToCamera(_this);
}

bool IsClockUnit(const CLuminanceCtrl* _this) {
    return _this->m_bClockUnitShutterCtrl != FALSE;
}

// One frame in clocks; the product of two WORDs always fits in a DWORD.
DWORD ClocksPerFrame(FrameClock frameClock) {
    return static_cast<DWORD>(frameClock.wTotalVLine) * frameClock.wTotalHClock;
}

// floor(8 * log2 value): whole eighths of an octave, -1 for 0. For values up
// to 255 through the exact 8th power; the speed limit also asks for 256 and
// 257, where the result is 64 (it stays 64 up to 2^(65/8), about 279).
int OctaveEighths(unsigned value) {
    if (value > 255u)
        return 64;
    return quorvin_ilog2_u64(iexp8(static_cast<__u8>(value)));
}

// floor(16 * log2 value): whole sixteenths of an octave, -1 for 0; values up
// to 15 only.
int OctaveSixteenths(unsigned value) {
    return quorvin_ilog2_u64(iexp16(static_cast<__u8>(value)));
}

// Value in the Q8 step domain: gain x 256 plus a change, in 64 bits.
__s64 Shift8(WORD gain, int delta) {
    return static_cast<__s64>(gain) * 256 + delta;
}

// One gain unit up or down, stopping at the ends of the 16-bit range.
WORD StepUp(WORD gain) {
    return gain == 0xFFFFu ? gain : static_cast<WORD>(gain + 1u);
}
WORD StepDown(WORD gain) {
    return gain == 0u ? gain : static_cast<WORD>(gain - 1u);
}

// Exposure of a (line, clock) pair in clocks. minimum selects the rule of the
// automatic minimum in line unit (a non-zero clock part means one line fewer
// than the line part). Never divides, so H = 0 is harmless.
DWORD PairToClocks(const CLuminanceCtrl* _this, FrameClock frameClock, WORD line, WORD clock,
                   bool minimum) {
    const DWORD clocksPerLine = frameClock.wTotalHClock;
    DWORD clocks = static_cast<DWORD>(line) * clocksPerLine;
    if (IsClockUnit(_this)) {
        clocks += clock; // at most 65535 x 65535 + 65535 = 2^32 - 1
    } else if (clock != 0) {
        if (minimum)
            clocks = line <= 1 ? clocksPerLine : static_cast<DWORD>(line - 1u) * clocksPerLine;
        else if (clocks == 0)
            clocks = clocksPerLine;
    }
    if (clocks == 0)
        clocks = ClocksPerFrame(frameClock);
    return clocks;
}

// The exposures that the exposure step and the status check start from, in
// clocks: the current shutter, the automatic maximum and minimum (in that
// order, each asking the frame timing once), then the frame timing itself (a
// fourth call). Inlined into both, so that the kernel stack carries no frame
// for it.
struct ExposureRange {
    DWORD dwCurrent;
    DWORD dwMax;
    DWORD dwMin;
    DWORD dwClocksPerLine;
    DWORD dwClocksPerFrame;
};

__attribute__((always_inline)) inline ExposureRange ReadExposureRange(CLuminanceCtrl* _this) {
    ExposureRange exposure;
    exposure.dwCurrent = mdwGetExposureClock(_this);
    exposure.dwMax = mdwGetMaxExposureClock(_this);
    exposure.dwMin = mdwGetMinExposureClock(_this);
    const FrameClock frameClock = ReadFrameClock(_this);
    exposure.dwClocksPerLine = frameClock.wTotalHClock;
    exposure.dwClocksPerFrame = ClocksPerFrame(frameClock);
    return exposure;
}

// Mode bytes whose status check enforces each kind of limit.
// Both nibbles manual: no control at all.
constexpr BYTE kLuminanceOff = QUORVIN_LUM_MODE(QUORVIN_LUM_MANUAL, QUORVIN_LUM_MANUAL);

// The modes that move the exposure only (0x10, 0x20).
bool IsExposureOnlyMode(BYTE mode) {
    return mode == QUORVIN_LUM_MODE(QUORVIN_LUM_CONTINUOUS, QUORVIN_LUM_MANUAL) ||
           mode == QUORVIN_LUM_MODE(QUORVIN_LUM_ONE_SHOT, QUORVIN_LUM_MANUAL);
}
bool IsCombinedMode(BYTE mode) {
    return mode == QUORVIN_LUM_MODE(QUORVIN_LUM_CONTINUOUS, QUORVIN_LUM_CONTINUOUS) ||
           mode == QUORVIN_LUM_MODE(QUORVIN_LUM_CONTINUOUS, QUORVIN_LUM_ONE_SHOT);
}
// 0x01, 0x02, 0x11, 0x12.
bool EnforcesGainLimits(BYTE mode) {
    return mode == QUORVIN_LUM_MODE(QUORVIN_LUM_MANUAL, QUORVIN_LUM_CONTINUOUS) ||
           mode == QUORVIN_LUM_MODE(QUORVIN_LUM_MANUAL, QUORVIN_LUM_ONE_SHOT) ||
           IsCombinedMode(mode);
}
// 0x10, 0x11, 0x12, 0x20.
bool EnforcesExposureLimits(BYTE mode) {
    return IsExposureOnlyMode(mode) || IsCombinedMode(mode);
}
bool IsOneShotMode(BYTE mode) {
    return mode == QUORVIN_LUM_MODE(QUORVIN_LUM_MANUAL, QUORVIN_LUM_ONE_SHOT) ||
           mode == QUORVIN_LUM_MODE(QUORVIN_LUM_CONTINUOUS, QUORVIN_LUM_ONE_SHOT) ||
           mode == QUORVIN_LUM_MODE(QUORVIN_LUM_ONE_SHOT, QUORVIN_LUM_MANUAL);
}

// Every setting and counter to its default; the current shutter and digital
// gain from the initial values.
void ApplyLuminanceDefaults(CLuminanceCtrl* _this) {
    _this->m_wShutterLine = _this->m_wIniShutterLine;
    _this->m_wShutterClock = _this->m_wIniShutterClock;
    _this->m_wDigitalGain = _this->m_wIniDigitalGain;
    _this->m_byteMode = QUORVIN_LUM_DEFAULT_MODE;
    _this->m_byteTarget = QUORVIN_LUM_DEFAULT_TARGET;
    _this->m_byteTolerance = QUORVIN_LUM_DEFAULT_TOLERANCE;
    _this->m_byteThreshold = QUORVIN_LUM_DEFAULT_THRESHOLD;
    _this->m_byteGainCtrlSpeedLimit = QUORVIN_LUM_DEFAULT_SPEED_LIMIT;
    _this->m_byteShutterCtrlSpeedLimit = QUORVIN_LUM_DEFAULT_SPEED_LIMIT;
    _this->m_byteSkipFrameCount = QUORVIN_LUM_DEFAULT_SKIP_FRAMES;
    _this->m_byteAverageFrameCount = QUORVIN_LUM_DEFAULT_AVERAGE_FRAMES;
    // (0, 0) is one whole frame; the minimum is one clock or one line.
    _this->m_wAutoMaxShutterLine = 0;
    _this->m_wAutoMaxShutterClock = 0;
    _this->m_wAutoMinShutterLine = IsClockUnit(_this) ? 0 : 1;
    _this->m_wAutoMinShutterClock = IsClockUnit(_this) ? 1 : 0;
    _this->m_wAutoMaxCDSGain = 0x00FF;
    _this->m_wAutoMinCDSGain = 0;
    for (BYTE& byteWeight : _this->m_pbyteWeight)
        byteWeight = 1;
    _this->m_bAutoRunning = FALSE;
    _this->m_byteRestSkipCount = 0;
    _this->m_byteAlreadySampleingCount = 0;
    _this->m_dwSumOfSamplingBrightness = 0;
}

} // namespace

// ---------------------------------------------------------------------------
// State and settings

void CLuminanceCtrl_init(CLuminanceCtrl* _this, WORD wIniShutterLine, WORD wIniShutterClock,
                         WORD wCDSGain, WORD wIniDigitalGain, BOOL bHasDigitalGain,
                         LuminanceCtrlFOPS* _fops) {
    _this->m_bHasDigitalGain = bHasDigitalGain;
    _this->m_bClockUnitShutterCtrl = bHasDigitalGain;
    _this->m_wCDSGain = wCDSGain;
    _this->m_wIniCDSGain = wCDSGain;
    _this->m_wIniDigitalGain = wIniDigitalGain;
    _this->m_wIniShutterLine = wIniShutterLine;
    _this->m_wIniShutterClock = wIniShutterClock;
    _this->fops = _fops;
    ApplyLuminanceDefaults(_this);
}

void CLuminanceCtrl_free(CLuminanceCtrl* _this) {
    (void)_this;
}

BOOL CLuminance_IsAutoMode(CLuminanceCtrl* _this, BOOL bDecrementSkipCount) {
    if (_this->m_byteRestSkipCount != 0) {
        if (bDecrementSkipCount)
            --_this->m_byteRestSkipCount;
        return FALSE;
    }
    return _this->m_byteMode != kLuminanceOff ? TRUE : FALSE;
}

BOOL CLuminance_SetTarget(CLuminanceCtrl* _this, PBYTE pbyteTarget) {
    _this->m_byteTarget = pbyteTarget[0];
    _this->m_byteTolerance = pbyteTarget[1];
    _this->m_byteThreshold = pbyteTarget[2];
    return TRUE;
}

BOOL CLuminance_GetTarget(CLuminanceCtrl* _this, PBYTE pbyteTarget) {
    pbyteTarget[0] = _this->m_byteTarget;
    pbyteTarget[1] = _this->m_byteTolerance;
    pbyteTarget[2] = _this->m_byteThreshold;
    return TRUE;
}

BOOL CLuminance_SetCtrlSpeed(CLuminanceCtrl* _this, BYTE byteShutterCtrlSpeedLimit,
                             BYTE byteGainCtrlSpeedLimit, BYTE byteSkipFrameCount,
                             BYTE byteAverageFrameCount) {
    _this->m_byteShutterCtrlSpeedLimit = byteShutterCtrlSpeedLimit;
    _this->m_byteGainCtrlSpeedLimit = byteGainCtrlSpeedLimit;
    _this->m_byteSkipFrameCount = byteSkipFrameCount;
    _this->m_byteAverageFrameCount = byteAverageFrameCount;
    return TRUE;
}

BOOL CLuminance_GetCtrlSpeed(CLuminanceCtrl* _this, PBYTE pbyteShutterCtrlSpeedLimit,
                             PBYTE pbyteGainCtrlSpeedLimit, PBYTE pbyteSkipFrameCount,
                             PBYTE pbyteAverageFrameCount) {
    *pbyteShutterCtrlSpeedLimit = _this->m_byteShutterCtrlSpeedLimit;
    *pbyteGainCtrlSpeedLimit = _this->m_byteGainCtrlSpeedLimit;
    *pbyteSkipFrameCount = _this->m_byteSkipFrameCount;
    *pbyteAverageFrameCount = _this->m_byteAverageFrameCount;
    return TRUE;
}

BOOL CLuminance_SetShutter(CLuminanceCtrl* _this, WORD wLine, WORD wClock) {
    _this->m_wShutterLine = wLine;
    _this->m_wShutterClock = wClock;
    return PublishToCamera(_this);
}

BOOL CLuminance_GetShutter(CLuminanceCtrl* _this, PWORD pwLine, PWORD pwClock) {
    *pwLine = _this->m_wShutterLine;
    *pwClock = _this->m_wShutterClock;
    return TRUE;
}

BOOL CLuminance_SetCDSGain(CLuminanceCtrl* _this, WORD wCDSGain) {
    _this->m_wCDSGain = wCDSGain;
    return PublishToCamera(_this);
}

BOOL CLuminance_GetCDSGain(CLuminanceCtrl* _this, PWORD pwCDSGain) {
    *pwCDSGain = _this->m_wCDSGain;
    return TRUE;
}

BOOL CLuminance_SetWeight(CLuminanceCtrl* _this, PBYTE pbyteWeight) {
    for (int i = 0; i < 16; ++i)
        _this->m_pbyteWeight[i] = pbyteWeight[i];
    return TRUE;
}

BOOL CLuminance_GetWeight(CLuminanceCtrl* _this, PBYTE pbyteWeight) {
    for (int i = 0; i < 16; ++i)
        pbyteWeight[i] = _this->m_pbyteWeight[i];
    return TRUE;
}

// ---------------------------------------------------------------------------
// Exposure arithmetic

__u64 iexp8(__u8 base) {
    const WORD result16 = static_cast<WORD>(base * base);
    const DWORD result32 = static_cast<DWORD>(result16) * result16;
    return static_cast<__u64>(result32) * result32;
}

__u64 iexp16(__u8 base) {
    const __u64 u64Power8 = iexp8(base);
    return u64Power8 * u64Power8; // wraps modulo 2^64 from base 16 upward
}

int quorvin_ilog2_u64(__u64 n) {
    return n == 0 ? -1 : 63 - __builtin_clzll(n);
}

WORD S64s8_2_WORD(__s64 n) {
    if (n <= 0)
        return 0;
    const __s64 s64Quotient = n >> 8;
    return s64Quotient >= 0xFFFF ? static_cast<WORD>(0xFFFFu) : static_cast<WORD>(s64Quotient);
}

DWORD mdwGetExposureClock(CLuminanceCtrl* _this) {
    const FrameClock frameClock = ReadFrameClock(_this);
    return PairToClocks(_this, frameClock, _this->m_wShutterLine, _this->m_wShutterClock, false);
}

DWORD mdwGetMaxExposureClock(CLuminanceCtrl* _this) {
    const FrameClock frameClock = ReadFrameClock(_this);
    return PairToClocks(_this, frameClock, _this->m_wAutoMaxShutterLine,
                        _this->m_wAutoMaxShutterClock, false);
}

DWORD mdwGetMinExposureClock(CLuminanceCtrl* _this) {
    const FrameClock frameClock = ReadFrameClock(_this);
    return PairToClocks(_this, frameClock, _this->m_wAutoMinShutterLine,
                        _this->m_wAutoMinShutterClock, true);
}

// ---------------------------------------------------------------------------
// Gain step, in the log domain: the brightness ratio target / current counted
// in eighths of an octave (OctaveEighths) becomes a gain change at a fixed
// number of gain units per eighth, in Q8.

// 1460 / 256 = 5.703125 gain units per eighth of an octave, 45.625 per
// doubling of the brightness. Current 64, target 128: 56 - 48 = 8 eighths,
// 1460 * 8 / 256 = +45 units; current 128, target 100: 3 eighths down, -18.
constexpr int kGainPerEighth_256 = 1460;
// The same scale per sixteenth of an octave, 730 / 256 = 2.8515625 units,
// for dark current levels (15 or less) where sixteenth powers still fit in
// 64 bits, at twice the resolution; the target's eighths are doubled to
// match. Current 10, target 128: 730 * (2 * 56 - 53) / 256 = +168 units.
constexpr int kGainPerSixteenth_256 = kGainPerEighth_256 / 2;
static_assert(kGainPerSixteenth_256 == 730, "half the eighths' scale");

BOOL mbGainCtrl(CLuminanceCtrl* _this, __u8 iCurrentY, __u8 iTargetY, BYTE byteDistanceY,
                BOOL bDarkFg, WORD wAutoMinCDSGain, WORD wAutoMaxCDSGain) {
    (void)byteDistanceY;
    const WORD wGain = _this->m_wCDSGain;
    // S in the comments below.
    const DWORD dwSpeedLimit = _this->m_byteGainCtrlSpeedLimit;

    // Proposed change, from the brightness ratio target / current.
    int iDelta;
    if (iCurrentY <= 15)
        iDelta =
            kGainPerSixteenth_256 * (2 * OctaveEighths(iTargetY) - OctaveSixteenths(iCurrentY));
    else
        iDelta = kGainPerEighth_256 * (OctaveEighths(iTargetY) - OctaveEighths(iCurrentY));
    const __s64 s64NewSetValue_shift8 = Shift8(wGain, iDelta);
    WORD wNewSetValue = S64s8_2_WORD(s64NewSetValue_shift8);

    // At least one unit in the direction of the error.
    if (wNewSetValue == wGain)
        wNewSetValue = bDarkFg ? StepUp(wGain) : StepDown(wGain);

    if (bDarkFg) {
        // Rising: brightness may grow by at most (S + 2) / (S + 1).
        int iLimitDelta;
        if (dwSpeedLimit <= 13)
            iLimitDelta = kGainPerSixteenth_256 *
                          (OctaveSixteenths(dwSpeedLimit + 2) - OctaveSixteenths(dwSpeedLimit + 1));
        else
            iLimitDelta = kGainPerEighth_256 *
                          (OctaveEighths(dwSpeedLimit + 2) - OctaveEighths(dwSpeedLimit + 1));
        const __s64 s64LimitSetValue_shift8 = Shift8(wGain, iLimitDelta);
        WORD wLimitSetValue = S64s8_2_WORD(s64LimitSetValue_shift8);
        if (wLimitSetValue == wGain)
            wLimitSetValue = StepUp(wGain);
        if (wNewSetValue > wLimitSetValue)
            wNewSetValue = wLimitSetValue;
    } else if (dwSpeedLimit != 0) {
        // Falling: brightness may drop to no less than S / (S + 1).
        int iLimitDelta;
        if (dwSpeedLimit <= 14)
            iLimitDelta = kGainPerSixteenth_256 *
                          (OctaveSixteenths(dwSpeedLimit) - OctaveSixteenths(dwSpeedLimit + 1));
        else
            iLimitDelta = kGainPerEighth_256 *
                          (OctaveEighths(dwSpeedLimit) - OctaveEighths(dwSpeedLimit + 1));
        const __s64 s64LimitSetValue_shift8 = Shift8(wGain, iLimitDelta);
        WORD wLimitSetValue = S64s8_2_WORD(s64LimitSetValue_shift8);
        if (wLimitSetValue == wGain)
            wLimitSetValue = StepDown(wGain);
        if (wNewSetValue < wLimitSetValue)
            wNewSetValue = wLimitSetValue;
    }

    // The range wins over the direction; the minimum is tested first.
    if (wNewSetValue < wAutoMinCDSGain)
        wNewSetValue = wAutoMinCDSGain;
    else if (wNewSetValue > wAutoMaxCDSGain)
        wNewSetValue = wAutoMaxCDSGain;

    if (wNewSetValue == wGain)
        return FALSE;
    _this->m_wCDSGain = wNewSetValue;
    return TRUE;
}

// ---------------------------------------------------------------------------
// Exposure step: proportional in the linear domain, new = current x target /
// level, bounded by a relative speed limit, a minimum step and the automatic
// limits. Intermediate values are 64-bit so that a long exposure times the
// target cannot wrap.

BOOL mbShutterCtrl(CLuminanceCtrl* _this, int iCurrentY, int iTargetY, BYTE byteDistanceY,
                   BOOL bDarkFg) {
    (void)byteDistanceY;
    const ExposureRange exposure = ReadExposureRange(_this);
    const DWORD dwCurrentExposureTime = exposure.dwCurrent;
    const DWORD dwUserMaxExposureTime = exposure.dwMax;
    const DWORD dwUserMinExposureTime = exposure.dwMin;
    const DWORD dwH = exposure.dwClocksPerLine;
    const DWORD dwCameraMaxExposureTime = exposure.dwClocksPerFrame;

    // A camera reporting no clocks per line gives no way to express an
    // exposure as lines and clocks: the shutter stays as it is.
    if (dwH == 0)
        return FALSE;

    const bool bClockUnit = IsClockUnit(_this);
    const DWORD dwSpeedLimit = _this->m_byteShutterCtrlSpeedLimit;

    // Speed limit relative to the current exposure, and the minimum step.
    DWORD dwLimitDeltaTime = dwCurrentExposureTime / (dwSpeedLimit + 1u);
    DWORD dwMinimumStep = 1;
    if (!bClockUnit) {
        dwMinimumStep = dwH;
        if (dwH > 1)
            dwLimitDeltaTime -= dwLimitDeltaTime % dwH;
    }

    // Bounds of this step, in 64 bits (the upper sum may pass 2^32).
    __u64 u64Lower;
    __u64 u64Upper;
    if (bDarkFg) {
        u64Upper = static_cast<__u64>(dwCurrentExposureTime) + dwLimitDeltaTime + dwMinimumStep;
        if (u64Upper >= dwUserMaxExposureTime)
            u64Upper = dwUserMaxExposureTime;
        u64Lower = dwUserMinExposureTime;
    } else {
        const DWORD dwSlowest = dwCurrentExposureTime - dwLimitDeltaTime; // delta <= current
        u64Lower = dwMinimumStep < dwSlowest ? dwSlowest - dwMinimumStep : dwMinimumStep;
        if (u64Lower <= dwUserMinExposureTime)
            u64Lower = dwUserMinExposureTime;
        u64Upper = dwUserMaxExposureTime;
    }

    // Proportional value. A level of 0 counts as 1; a negative target as 0.
    const DWORD dwLevel = iCurrentY > 0 ? static_cast<DWORD>(iCurrentY) : 1u;
    const DWORD dwTarget = iTargetY > 0 ? static_cast<DWORD>(iTargetY) : 0u;
    __u64 u64New =
        quorvin_div_u64_u32(static_cast<__u64>(dwCurrentExposureTime) * dwTarget, dwLevel);
    if (!bClockUnit) {
        // Nearest whole line; a tie goes up.
        const __u64 u64Remainder = u64New - quorvin_div_u64_u32(u64New, dwH) * dwH;
        u64New = 2 * u64Remainder < dwH ? u64New - u64Remainder : u64New - u64Remainder + dwH;
    }

    // Clamp; both bounds fit in 32 bits, and so does the result.
    __u64 u64Result;
    if (u64New <= u64Lower)
        u64Result = u64Lower;
    else
        u64Result = u64New < u64Upper ? u64New : u64Upper;
    const DWORD dwResult = static_cast<DWORD>(u64Result);

    if (dwResult == dwCurrentExposureTime)
        return FALSE;

    if (dwResult >= dwCameraMaxExposureTime) {
        // The camera's whole-frame setting.
        _this->m_wShutterLine = 0;
        _this->m_wShutterClock = 0;
    } else {
        // Below one frame, so the quotient is below the lines per frame.
        _this->m_wShutterLine = static_cast<WORD>(dwResult / dwH);
        _this->m_wShutterClock = static_cast<WORD>(bClockUnit ? dwResult % dwH : 0u);
    }
    return TRUE;
}

// ---------------------------------------------------------------------------
// Loop

BOOL mbCheckInvalidStatus(CLuminanceCtrl* _this) {
    const BYTE byteMode = _this->m_byteMode;
    const WORD wOldGain = _this->m_wCDSGain;
    const WORD wOldLine = _this->m_wShutterLine;
    const WORD wOldClock = _this->m_wShutterClock;

    // a. Gain inside its automatic range.
    if (EnforcesGainLimits(byteMode)) {
        if (_this->m_wCDSGain < _this->m_wAutoMinCDSGain)
            _this->m_wCDSGain = _this->m_wAutoMinCDSGain;
        else if (_this->m_wCDSGain > _this->m_wAutoMaxCDSGain)
            _this->m_wCDSGain = _this->m_wAutoMaxCDSGain;
    }

    // b. Exposure and its limits in clocks.
    const ExposureRange exposure = ReadExposureRange(_this);
    const DWORD dwH = exposure.dwClocksPerLine;
    DWORD dwNewShutterClock = exposure.dwCurrent;

    // c. Exposure inside its automatic range. Without clocks per line the
    // shutter cannot be rewritten, so it is left as it is.
    if (EnforcesExposureLimits(byteMode) && dwH != 0) {
        if (!IsClockUnit(_this) && _this->m_wShutterClock != 0)
            dwNewShutterClock = _this->m_wShutterLine != 0 ? exposure.dwClocksPerFrame : dwH;
        if (exposure.dwCurrent > exposure.dwMax)
            dwNewShutterClock = exposure.dwMax;
        if (exposure.dwCurrent < exposure.dwMin)
            dwNewShutterClock = exposure.dwMin;
        if (dwNewShutterClock != exposure.dwCurrent) {
            // A whole frame is written as its number of lines here.
            _this->m_wShutterLine = static_cast<WORD>(dwNewShutterClock / dwH);
            _this->m_wShutterClock =
                static_cast<WORD>(IsClockUnit(_this) ? dwNewShutterClock % dwH : 0u);
        }
    }

    // d. In the combined modes the gain leaves its reference only while the
    // exposure stands at a limit.
    if (IsCombinedMode(byteMode) && dwNewShutterClock != exposure.dwMin &&
        dwNewShutterClock != exposure.dwMax && _this->m_wCDSGain != _this->m_wIniCDSGain)
        _this->m_wCDSGain = _this->m_wIniCDSGain;

    return (_this->m_wCDSGain != wOldGain || _this->m_wShutterLine != wOldLine ||
            _this->m_wShutterClock != wOldClock)
               ? TRUE
               : FALSE;
}

BOOL UpdateGainShutter(CLuminanceCtrl* _this, CAveragePixelValue* pobjAveragePixelValue) {
    const BOOL bReval = TRUE;
    if (_this->m_byteMode == kLuminanceOff)
        return bReval;
    if (_this->m_byteRestSkipCount != 0) {
        --_this->m_byteRestSkipCount;
        return bReval;
    }

    // Sample this frame's weighted brightness.
    BYTE byteAverageLevel = 0;
    if (!GetBrightnessAverage(pobjAveragePixelValue, _this->m_pbyteWeight, &byteAverageLevel))
        return FALSE;
    if (_this->m_byteAlreadySampleingCount == 0)
        _this->m_dwSumOfSamplingBrightness = byteAverageLevel;
    else
        _this->m_dwSumOfSamplingBrightness += byteAverageLevel;
    ++_this->m_byteAlreadySampleingCount;
    if (_this->m_byteAlreadySampleingCount < _this->m_byteAverageFrameCount)
        return bReval;

    // Evaluate the average of the sampled frames.
    const DWORD dwSampled = _this->m_byteAlreadySampleingCount; // at least 1
    _this->m_byteAlreadySampleingCount = 0;
    const DWORD dwAverage = _this->m_dwSumOfSamplingBrightness / dwSampled;
    const int iAverageBrightnessLevel = static_cast<int>(dwAverage);

    BOOL bUpdateFg = FALSE;
    if (mbCheckInvalidStatus(_this)) {
        bUpdateFg = TRUE; // a correction is published; this average is not used
    } else {
        const BYTE byteTarget = _this->m_byteTarget;
        const BYTE byteLevel = static_cast<BYTE>(dwAverage);
        const BOOL bDarkFg = dwAverage < byteTarget ? TRUE : FALSE;
        const BYTE byteDistance = static_cast<BYTE>(
            byteLevel > byteTarget ? byteLevel - byteTarget : byteTarget - byteLevel);

        // Dead band, wider while control is at rest (hysteresis).
        WORD wThreshold = _this->m_byteTolerance;
        if (!_this->m_bAutoRunning)
            wThreshold = static_cast<WORD>(wThreshold + _this->m_byteThreshold);

        if (byteDistance > wThreshold) {
            bool bALCFg = false;
            bool bLowGain = false;
            const BYTE byteMode = _this->m_byteMode;
            const WORD wGain = _this->m_wCDSGain;
            const WORD wIni = _this->m_wIniCDSGain;
            if (IsExposureOnlyMode(byteMode)) {
                bALCFg = true;
            } else if (IsCombinedMode(byteMode)) {
                // Exposure first; the gain leaves its reference only while
                // the exposure stands at the limit in the error's direction,
                // and returns to it before the exposure moves again.
                if (bDarkFg) {
                    if (wGain < wIni)
                        bLowGain = true;
                    else if (mdwGetExposureClock(_this) != mdwGetMaxExposureClock(_this))
                        bALCFg = true;
                } else {
                    if (wGain < wIni)
                        bLowGain = true;
                    else if (wGain == wIni) {
                        if (mdwGetExposureClock(_this) == mdwGetMinExposureClock(_this))
                            bLowGain = true;
                        else
                            bALCFg = true;
                    }
                }
            }

            if (bALCFg)
                bUpdateFg = mbShutterCtrl(_this, iAverageBrightnessLevel, byteTarget, byteDistance,
                                          bDarkFg);
            else if (bLowGain)
                bUpdateFg = mbGainCtrl(_this, byteLevel, byteTarget, byteDistance, bDarkFg,
                                       _this->m_wAutoMinCDSGain, wIni);
            else
                bUpdateFg = mbGainCtrl(_this, byteLevel, byteTarget, byteDistance, bDarkFg, wIni,
                                       _this->m_wAutoMaxCDSGain);
        }
    }

    if (bUpdateFg) {
        (void)PublishToCamera(_this);
        _this->m_bAutoRunning = TRUE;
    } else {
        // Settled: a one-shot mode ends here, both nibbles cleared.
        if (IsOneShotMode(_this->m_byteMode))
            _this->m_byteMode = kLuminanceOff;
        _this->m_bAutoRunning = FALSE;
    }
    _this->m_byteRestSkipCount = _this->m_byteSkipFrameCount;
    return bReval;
}
