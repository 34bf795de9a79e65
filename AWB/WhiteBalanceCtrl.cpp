// SPDX-License-Identifier: GPL-2.0 OR MIT
// White balance controller: colour gains (1/128), their lookup tables,
// frame correction through the tables, and the automatic control of the red
// and blue gains.
#include "WhiteBalanceCtrl.h"
#include "pixel/PixelKernels.h"

namespace {

static_assert(QUORVIN_WB_GAIN_UNITY == 1 << QUORVIN_WB_GAIN_SHIFT, "x1.0 is 128 in 1/128");

constexpr DWORD kMaxAutoGain = 1023; // 1/128: the automatic control's limit, just under x8
constexpr DWORD kTableMax = 255;
// 255 * 128: a gain saturates a table from index 32640 / gain on.
constexpr DWORD kTableFullScale = kTableMax * QUORVIN_WB_GAIN_UNITY;

// The record is part of the balance object's fixed layout; no pointers, so
// the same size on 32-bit and 64-bit hosts.
static_assert(sizeof(CWhiteBalanceCtrl) == 1100, "CWhiteBalanceCtrl layout changed");

// Every setting and counter to its default; the mode from the colour array
// code (a single-channel camera has no white balance).
void ApplyWhiteBalanceDefaults(CWhiteBalanceCtrl* _this) {
    _this->m_byteMode =
        _this->m_wColorArray == QUORVIN_COLOR_ARRAY_SINGLE ? QUORVIN_WB_OFF : QUORVIN_WB_AUTO;
    _this->m_wThreshold = QUORVIN_WB_DEFAULT_THRESHOLD;
    _this->m_wTolerance = QUORVIN_WB_DEFAULT_TOLERANCE;
    _this->m_pwTarget[0] = QUORVIN_WB_DEFAULT_TARGET_PERCENT;
    _this->m_pwTarget[1] = QUORVIN_WB_DEFAULT_TARGET_PERCENT;
    _this->m_byteAWBSkipCount = QUORVIN_WB_DEFAULT_SKIP_FRAMES;
    _this->m_byteAWBSamplingCount = QUORVIN_WB_DEFAULT_SAMPLE_FRAMES;
    _this->m_bAWBStarted = FALSE;
    _this->m_byteAWBRestSkipCount = 0;
    _this->m_byteAWBAlredySamplingCount = 0;
    for (BYTE& byteWeight : _this->m_pbyteAWBWeight)
        byteWeight = QUORVIN_WB_DEFAULT_AREA_WEIGHT;
}

// The correction of ImageProcessing (source and destination the same frame,
// inPlace) and of ImageCopyProcessing. The source may equal the destination:
// every variant reads each word (or vector) before writing the one at its
// offset. Frames are left alone in mode 0 and for codes other than the Bayer
// ones (the single-channel code included); Bayer code
// QUORVIN_COLOR_ARRAY_RGGB + n is the kernels' arrangement n.
void CorrectThroughTables(const CWhiteBalanceCtrl* _this, DWORD width, DWORD height,
                          WORD colorArray, const BYTE* source, PBYTE destination, bool inPlace) {
    if (_this->m_byteMode == QUORVIN_WB_OFF || !quorvin_pixel::IsBayerCode(colorArray))
        return;
    quorvin_pixel::CorrectFrame(_this, width, height, quorvin_pixel::ArrangementOf(colorArray),
                                source, destination, inPlace);
}

// New gain for one colour: the current gain scaled by target over measured
// average, limited to kMaxAutoGain. A zero average does not divide: the gain
// then creeps up by one while green is non-zero, and drops to 0 with it.
DWORD NewAutoGain(DWORD target, DWORD average, DWORD greenAverage, WORD gain) {
    DWORD newGain;
    if (average != 0)
        newGain = (target * gain) / average;
    else if (greenAverage != 0)
        newGain = static_cast<DWORD>(gain) + 1;
    else
        newGain = 0;
    return newGain > kMaxAutoGain ? kMaxAutoGain : newGain;
}

inline DWORD AbsDiff(DWORD first, DWORD second) {
    return first > second ? first - second : second - first;
}

} // namespace

extern "C" {

void CWhiteBalanceCtrl_init(CWhiteBalanceCtrl* _this, PWORD pwIniGain, WORD wColorArray) {
    _this->m_wColorArray = wColorArray;
    for (DWORD k = 0; k < 4; ++k)
        _this->m_pwIniGain[k] = pwIniGain[k];
    ApplyWhiteBalanceDefaults(_this);
    for (DWORD k = 0; k < 4; ++k) {
        _this->m_pwGain[k] = _this->m_pwIniGain[k];
        mbUpdateTable(_this, _this->m_pwGain[k], _this->m_ppbyteTable[k]);
    }
}

void CWhiteBalanceCtrl_free(CWhiteBalanceCtrl* _this) {
    (void)_this;
}

BOOL mbUpdateTable(CWhiteBalanceCtrl* _this, WORD wGain, PBYTE pbyteTable) {
    (void)_this;
    DWORD dwPos = 0;
    if (wGain == 0) {
        for (; dwPos < 256; ++dwPos)
            pbyteTable[dwPos] = 0;
        return TRUE;
    }
    const DWORD dwMaxValue = kTableMax;
    DWORD dwThreshold = kTableFullScale / wGain;
    if (dwThreshold > 256)
        dwThreshold = 256;
    DWORD dwCurValue = 0;
    for (; dwPos < dwThreshold; ++dwPos) {
        pbyteTable[dwPos] = static_cast<BYTE>(dwCurValue >> QUORVIN_WB_GAIN_SHIFT);
        dwCurValue += wGain;
    }
    for (; dwPos < 256; ++dwPos)
        pbyteTable[dwPos] = static_cast<BYTE>(dwMaxValue);
    return TRUE;
}

BOOL ImageProcessing(CWhiteBalanceCtrl* _this, DWORD dwWidth, DWORD dwHeight, WORD wColorArray,
                     PBYTE pbyteRaw) {
    CorrectThroughTables(_this, dwWidth, dwHeight, wColorArray, pbyteRaw, pbyteRaw, true);
    return TRUE;
}

BOOL ImageCopyProcessing(CWhiteBalanceCtrl* _this, DWORD dwWidth, DWORD dwHeight, WORD wColorArray,
                         PBYTE pbyteRaw, PBYTE pDest) {
    CorrectThroughTables(_this, dwWidth, dwHeight, wColorArray, pbyteRaw, pDest, false);
    return TRUE;
}

BOOL IsAutoMode(CWhiteBalanceCtrl* _this, BOOL bDecrementSkipCount) {
    const bool bAuto =
        _this->m_wColorArray != QUORVIN_COLOR_ARRAY_SINGLE && _this->m_byteMode >= QUORVIN_WB_AUTO;
    if (bAuto && _this->m_byteAWBRestSkipCount == 0)
        return TRUE;
    if (bDecrementSkipCount && _this->m_byteAWBRestSkipCount > 0)
        --_this->m_byteAWBRestSkipCount;
    return FALSE;
}

BOOL UpdateGain(CWhiteBalanceCtrl* _this, CAveragePixelValue* pobjAveragePixelValue) {
    if (_this->m_byteMode < QUORVIN_WB_AUTO)
        return TRUE;
    if (_this->m_byteAWBRestSkipCount > 0) {
        --_this->m_byteAWBRestSkipCount;
        return TRUE;
    }
    BYTE pbyteAverageColor[4] = {0, 0, 0, 0};
    if (!GetColorAverage(pobjAveragePixelValue, _this->m_pbyteAWBWeight, pbyteAverageColor))
        return FALSE;
    mbAutoUpdateGain(_this, pbyteAverageColor);
    return TRUE;
}

BOOL mbAutoUpdateGain(CWhiteBalanceCtrl* _this, PBYTE pbyteAverage) {
    DWORD* pdwSum = _this->m_pdwSumOfSamplingAWB;
    for (DWORD c = 0; c < 4; ++c) {
        if (_this->m_byteAWBAlredySamplingCount == 0)
            pdwSum[c] = pbyteAverage[c];
        else
            pdwSum[c] += pbyteAverage[c];
    }
    const BYTE byteSampled = static_cast<BYTE>(_this->m_byteAWBAlredySamplingCount + 1);
    _this->m_byteAWBAlredySamplingCount = byteSampled;
    if (byteSampled < _this->m_byteAWBSamplingCount)
        return TRUE;

    for (DWORD c = 0; c < 4; ++c)
        pdwSum[c] /= byteSampled;
    _this->m_byteAWBAlredySamplingCount = 0;
    const DWORD dwAveR = pdwSum[0];
    const DWORD dwAveG = (pdwSum[1] + pdwSum[2]) >> 1;
    const DWORD dwAveB = pdwSum[3];

    const DWORD dwTargetAveR = (_this->m_pwTarget[0] * dwAveG) / 100;
    const DWORD dwTargetAveB = (_this->m_pwTarget[1] * dwAveG) / 100;

    const DDWORD ddwDistanceR = AbsDiff(dwAveR, dwTargetAveR);
    const DDWORD ddwDistanceB = AbsDiff(dwAveB, dwTargetAveB);
    // tenths of a grey level, truncated to a whole level first
    const DWORD dwDistance =
        10 * lluint_sqrt(ddwDistanceR * ddwDistanceR + ddwDistanceB * ddwDistanceB);

    // Hysteresis: starting needs twice the band that keeps control going.
    const DWORD dwNotControlRange =
        _this->m_bAWBStarted ? _this->m_wThreshold : 2u * _this->m_wThreshold;
    BOOL bUpdateFg = FALSE;
    if (dwNotControlRange > dwDistance) {
        _this->m_bAWBStarted = FALSE;
    } else {
        const DWORD dwNewGainR = NewAutoGain(dwTargetAveR, dwAveR, dwAveG, _this->m_pwGain[0]);
        const DWORD dwNewGainB = NewAutoGain(dwTargetAveB, dwAveB, dwAveG, _this->m_pwGain[3]);
        if (dwNewGainR != _this->m_pwGain[0]) {
            _this->m_pwGain[0] = static_cast<WORD>(dwNewGainR);
            mbUpdateTable(_this, _this->m_pwGain[0], _this->m_ppbyteTable[0]);
            bUpdateFg = TRUE;
        }
        if (dwNewGainB != _this->m_pwGain[3]) {
            _this->m_pwGain[3] = static_cast<WORD>(dwNewGainB);
            mbUpdateTable(_this, _this->m_pwGain[3], _this->m_ppbyteTable[3]);
            bUpdateFg = TRUE;
        }
        _this->m_bAWBStarted = bUpdateFg;
    }

    // One-shot: once an evaluation changes nothing, the gains stay fixed.
    if (_this->m_byteMode == QUORVIN_WB_ONE_SHOT && !bUpdateFg)
        _this->m_byteMode = QUORVIN_WB_FIXED;
    _this->m_byteAWBRestSkipCount = _this->m_byteAWBSkipCount;
    return TRUE;
}

// Bit by bit, two bits of x per step from the highest even bit down: root
// holds the root found so far (shifted), remainder what is left of x.
DWORD lluint_sqrt(DDWORD x) {
    DDWORD remainder = x;
    DDWORD root = 0;
    DDWORD bit = 1ULL << 62;
    while (bit > remainder)
        bit >>= 2;
    while (bit != 0) {
        if (remainder >= root + bit) {
            remainder -= root + bit;
            root += 2 * bit;
        }
        root >>= 1;
        bit >>= 2;
    }
    return static_cast<DWORD>(root);
}

} // extern "C"
