/*
 * White balance controller: colour gains (1/128 units), their lookup tables,
 * frame correction through the tables, and the automatic control of the red
 * and blue gains.
 */
#include "WhiteBalanceCtrl.h"

namespace {

constexpr WORD kSingleChannel = 1;
constexpr WORD kUnityGain = 128;     /* x 1.0 in 1/128 units */
constexpr DWORD kMaxAutoGain = 1023; /* the automatic control's limit, just under x 8 */
constexpr DWORD kTableMax = 255;
/* 255 * 128: a gain saturates a table from index 32640 / gain on. */
constexpr DWORD kTableFullScale = kTableMax * kUnityGain;

/* The record is part of the balance object's fixed layout; no pointers, so
 * the same size on 32-bit and 64-bit hosts. */
static_assert(sizeof(CWhiteBalanceCtrl) == 1100, "CWhiteBalanceCtrl layout changed");

BOOL mbInitValue(CWhiteBalanceCtrl* _this) {
    _this->m_byteMode = _this->m_wColorArray == kSingleChannel ? 0 : 2;
    _this->m_wThreshold = 5;
    _this->m_wTolerance = 5;
    _this->m_pwTarget[0] = 100;
    _this->m_pwTarget[1] = 100;
    _this->m_byteAWBSkipCount = 10;
    _this->m_byteAWBSamplingCount = 10;
    _this->m_bAWBStarted = FALSE;
    _this->m_byteAWBRestSkipCount = 0;
    _this->m_byteAWBAlredySamplingCount = 0;
    for (BYTE& byteWeight : _this->m_pbyteAWBWeight)
        byteWeight = 1;
    return TRUE;
}

/*
 * Per-row table walks: the whole per-pixel cost of a correction lies here, so
 * a faster variant (wider loads, vector gathers) replaces these functions and
 * keeps their contracts. dwPairs is the number of pixel pairs of the row
 * (width / 2); a last odd column is never touched.
 *
 * MapRowPairs: for k < dwPairs, p[2k] = t0[p[2k]] and p[2k+1] = t1[p[2k+1]].
 */
inline void MapRowPairs(PBYTE p, DWORD dwPairs, const BYTE* t0, const BYTE* t1) {
    for (DWORD k = 0; k < dwPairs; ++k) {
        p[0] = t0[p[0]];
        p[1] = t1[p[1]];
        p += 2;
    }
}

/* MapRowAlternate: for k < dwPairs, p[2k] = t[p[2k]]; the bytes between are
 * neither read nor written. p is the row start plus the column offset (0 or 1). */
inline void MapRowAlternate(PBYTE p, DWORD dwPairs, const BYTE* t) {
    for (DWORD k = 0; k < dwPairs; ++k) {
        p[0] = t[p[0]];
        p += 2;
    }
}

/* CopyRowPairs: for k < dwPairs, d[2k] = t0[s[2k]] and d[2k+1] = t1[s[2k+1]].
 * s may equal d (each byte is read before the byte at its offset is written);
 * no other overlap. */
inline void CopyRowPairs(const BYTE* s, PBYTE d, DWORD dwPairs, const BYTE* t0, const BYTE* t1) {
    for (DWORD k = 0; k < dwPairs; ++k) {
        const BYTE byte0 = s[0];
        const BYTE byte1 = s[1];
        d[0] = t0[byte0];
        d[1] = t1[byte1];
        s += 2;
        d += 2;
    }
}

/*
 * Bayer layout of colour array code 2 + kSwap: the colour index at colour
 * position p is p ^ kSwap (codes 2 RGGB, 3 GRBG, 4 GBRG, 5 BGGR). Red and blue
 * (indices 0 and 3) sit on the even column of even rows and the odd column of
 * odd rows for codes 2 and 5, the other way round for codes 3 and 4.
 */
template <DWORD kSwap> struct BayerLayout {
    static constexpr DWORD IndexAt(DWORD dwPos) { return dwPos ^ kSwap; }
    static constexpr DWORD kEvenRowRedBlueColumn = (kSwap == 0 || kSwap == 3) ? 0 : 1;
    static constexpr DWORD kOddRowRedBlueColumn = 1 - kEvenRowRedBlueColumn;
};

/* The four tables in colour position order, chosen once per frame. */
template <DWORD kSwap> struct PositionTables {
    explicit PositionTables(const CWhiteBalanceCtrl* _this)
        : pbyteTableColor0(_this->m_ppbyteTable[BayerLayout<kSwap>::IndexAt(0)]),
          pbyteTableColor1(_this->m_ppbyteTable[BayerLayout<kSwap>::IndexAt(1)]),
          pbyteTableColor2(_this->m_ppbyteTable[BayerLayout<kSwap>::IndexAt(2)]),
          pbyteTableColor3(_this->m_ppbyteTable[BayerLayout<kSwap>::IndexAt(3)]) {}
    const BYTE* pbyteTableColor0;
    const BYTE* pbyteTableColor1;
    const BYTE* pbyteTableColor2;
    const BYTE* pbyteTableColor3;
};

template <DWORD kSwap>
void CorrectInPlace(const CWhiteBalanceCtrl* _this, DWORD dwWidth, DWORD dwHeight, PBYTE pbyteRaw) {
    using Layout = BayerLayout<kSwap>;
    const PositionTables<kSwap> tables(_this);
    const DWORD dwXCycle = dwWidth >> 1;
    DWORD dwRestYCycle = dwHeight >> 1;
    if (dwXCycle == 0 || dwRestYCycle == 0)
        return;
    PBYTE pbyteLineStartPos = pbyteRaw;

    if (_this->m_pwGain[1] == kUnityGain && _this->m_pwGain[2] == kUnityGain) {
        /* Green tables are the identity: touch red and blue only. */
        const BYTE* pbyteEvenRowTable =
            Layout::kEvenRowRedBlueColumn == 0 ? tables.pbyteTableColor0 : tables.pbyteTableColor1;
        const BYTE* pbyteOddRowTable =
            Layout::kOddRowRedBlueColumn == 0 ? tables.pbyteTableColor2 : tables.pbyteTableColor3;
        for (; dwRestYCycle > 0; --dwRestYCycle) {
            MapRowAlternate(pbyteLineStartPos + Layout::kEvenRowRedBlueColumn, dwXCycle,
                            pbyteEvenRowTable);
            pbyteLineStartPos += dwWidth;
            MapRowAlternate(pbyteLineStartPos + Layout::kOddRowRedBlueColumn, dwXCycle,
                            pbyteOddRowTable);
            pbyteLineStartPos += dwWidth;
        }
        return;
    }

    for (; dwRestYCycle > 0; --dwRestYCycle) {
        MapRowPairs(pbyteLineStartPos, dwXCycle, tables.pbyteTableColor0, tables.pbyteTableColor1);
        pbyteLineStartPos += dwWidth;
        MapRowPairs(pbyteLineStartPos, dwXCycle, tables.pbyteTableColor2, tables.pbyteTableColor3);
        pbyteLineStartPos += dwWidth;
    }
}

template <DWORD kSwap>
void CorrectCopy(const CWhiteBalanceCtrl* _this, DWORD dwWidth, DWORD dwHeight,
                 const BYTE* pbyteRaw, PBYTE pDest) {
    const PositionTables<kSwap> tables(_this);
    const DWORD dwXCycle = dwWidth >> 1;
    DWORD dwRestYCycle = dwHeight >> 1;
    if (dwXCycle == 0 || dwRestYCycle == 0)
        return;
    const BYTE* pbyteCurPixel = pbyteRaw;
    PBYTE pDestPixel = pDest;
    for (; dwRestYCycle > 0; --dwRestYCycle) {
        CopyRowPairs(pbyteCurPixel, pDestPixel, dwXCycle, tables.pbyteTableColor0,
                     tables.pbyteTableColor1);
        pbyteCurPixel += dwWidth;
        pDestPixel += dwWidth;
        CopyRowPairs(pbyteCurPixel, pDestPixel, dwXCycle, tables.pbyteTableColor2,
                     tables.pbyteTableColor3);
        pbyteCurPixel += dwWidth;
        pDestPixel += dwWidth;
    }
}

/* Codes other than 2 to 5 (1 included) leave the frame alone. */
BOOL mbWhiteBalanceProcess(CWhiteBalanceCtrl* _this, DWORD dwWidth, DWORD dwHeight,
                           WORD wColorArray, PBYTE pbyteRaw) {
    switch (wColorArray) {
    case 2:
        CorrectInPlace<0>(_this, dwWidth, dwHeight, pbyteRaw);
        break;
    case 3:
        CorrectInPlace<1>(_this, dwWidth, dwHeight, pbyteRaw);
        break;
    case 4:
        CorrectInPlace<2>(_this, dwWidth, dwHeight, pbyteRaw);
        break;
    case 5:
        CorrectInPlace<3>(_this, dwWidth, dwHeight, pbyteRaw);
        break;
    default:
        break;
    }
    return TRUE;
}

BOOL mbWhiteBalanceCopyProcess(CWhiteBalanceCtrl* _this, DWORD dwWidth, DWORD dwHeight,
                               WORD wColorArray, PBYTE pbyteRaw, PBYTE pDest) {
    switch (wColorArray) {
    case 2:
        CorrectCopy<0>(_this, dwWidth, dwHeight, pbyteRaw, pDest);
        break;
    case 3:
        CorrectCopy<1>(_this, dwWidth, dwHeight, pbyteRaw, pDest);
        break;
    case 4:
        CorrectCopy<2>(_this, dwWidth, dwHeight, pbyteRaw, pDest);
        break;
    case 5:
        CorrectCopy<3>(_this, dwWidth, dwHeight, pbyteRaw, pDest);
        break;
    default:
        break;
    }
    return TRUE;
}

/* New gain for one colour: the current gain scaled by target over measured
 * average, limited to kMaxAutoGain. A zero average does not divide: the gain
 * then creeps up by one while green is non-zero, and drops to 0 with it. */
DWORD NewAutoGain(DWORD dwTargetAve, DWORD dwAve, DWORD dwAveG, WORD wGain) {
    DWORD dwNewGain;
    if (dwAve != 0)
        dwNewGain = (dwTargetAve * wGain) / dwAve;
    else if (dwAveG != 0)
        dwNewGain = static_cast<DWORD>(wGain) + 1;
    else
        dwNewGain = 0;
    return dwNewGain > kMaxAutoGain ? kMaxAutoGain : dwNewGain;
}

inline DWORD AbsDiff(DWORD a, DWORD b) {
    return a > b ? a - b : b - a;
}

} // namespace

extern "C" {

void CWhiteBalanceCtrl_init(CWhiteBalanceCtrl* _this, PWORD pwIniGain, WORD wColorArray) {
    _this->m_wColorArray = wColorArray;
    for (DWORD k = 0; k < 4; ++k)
        _this->m_pwIniGain[k] = pwIniGain[k];
    mbInitValue(_this);
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
        pbyteTable[dwPos] = static_cast<BYTE>(dwCurValue >> 7);
        dwCurValue += wGain;
    }
    for (; dwPos < 256; ++dwPos)
        pbyteTable[dwPos] = static_cast<BYTE>(dwMaxValue);
    return TRUE;
}

BOOL ImageProcessing(CWhiteBalanceCtrl* _this, DWORD dwWidth, DWORD dwHeight, WORD wColorArray,
                     PBYTE pbyteRaw) {
    if (wColorArray == kSingleChannel || _this->m_byteMode == 0)
        return TRUE;
    return mbWhiteBalanceProcess(_this, dwWidth, dwHeight, wColorArray, pbyteRaw);
}

BOOL ImageCopyProcessing(CWhiteBalanceCtrl* _this, DWORD dwWidth, DWORD dwHeight, WORD wColorArray,
                         PBYTE pbyteRaw, PBYTE pDest) {
    if (wColorArray == kSingleChannel || _this->m_byteMode == 0)
        return TRUE;
    return mbWhiteBalanceCopyProcess(_this, dwWidth, dwHeight, wColorArray, pbyteRaw, pDest);
}

BOOL IsAutoMode(CWhiteBalanceCtrl* _this, BOOL bDecrementSkipCount) {
    const bool bAuto = _this->m_wColorArray != kSingleChannel && _this->m_byteMode >= 2;
    if (bAuto && _this->m_byteAWBRestSkipCount == 0)
        return TRUE;
    if (bDecrementSkipCount && _this->m_byteAWBRestSkipCount > 0)
        --_this->m_byteAWBRestSkipCount;
    return FALSE;
}

BOOL UpdateGain(CWhiteBalanceCtrl* _this, CAveragePixelValue* pobjAveragePixelValue) {
    if (_this->m_byteMode < 2)
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
    const BYTE n = static_cast<BYTE>(_this->m_byteAWBAlredySamplingCount + 1);
    _this->m_byteAWBAlredySamplingCount = n;
    if (n < _this->m_byteAWBSamplingCount)
        return TRUE;

    for (DWORD c = 0; c < 4; ++c)
        pdwSum[c] /= n;
    _this->m_byteAWBAlredySamplingCount = 0;
    const DWORD dwAveR = pdwSum[0];
    const DWORD dwAveG = (pdwSum[1] + pdwSum[2]) >> 1;
    const DWORD dwAveB = pdwSum[3];

    const DWORD dwTargetAveR = (_this->m_pwTarget[0] * dwAveG) / 100;
    const DWORD dwTargetAveB = (_this->m_pwTarget[1] * dwAveG) / 100;

    const DDWORD ddwDistanceR = AbsDiff(dwAveR, dwTargetAveR);
    const DDWORD ddwDistanceB = AbsDiff(dwAveB, dwTargetAveB);
    /* tenths of a grey level, truncated to a whole level first */
    const DWORD dwDistance =
        10 * lluint_sqrt(ddwDistanceR * ddwDistanceR + ddwDistanceB * ddwDistanceB);

    /* Hysteresis: starting needs twice the band that keeps control going. */
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

    /* One-shot: once an evaluation changes nothing, the gains stay fixed. */
    if (_this->m_byteMode == 3 && !bUpdateFg)
        _this->m_byteMode = 1;
    _this->m_byteAWBRestSkipCount = _this->m_byteAWBSkipCount;
    return TRUE;
}

DWORD lluint_sqrt(DDWORD x) {
    DDWORD op = x;
    DDWORD res = 0;
    DDWORD one = 1ULL << 62;
    while (one > op)
        one >>= 2;
    while (one != 0) {
        if (op >= res + one) {
            op -= res + one;
            res += 2 * one;
        }
        res >>= 1;
        one >>= 2;
    }
    return static_cast<DWORD>(res);
}

} // extern "C"
