// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * White balance controller: colour gains (1/128 units), their lookup tables,
 * frame correction through the tables, and the automatic control of the red
 * and blue gains.
 */
#include "WhiteBalanceCtrl.h"
#include "PixelKernels.h"

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

/* Which bytes of a row's pixel pairs a pass rewrites; the others are left as
 * they are (in place) or not written (copy). */
constexpr DWORD kBothColumns = 0;
constexpr DWORD kEvenColumns = 1;
constexpr DWORD kOddColumns = 2;

/* A table that the rule entry = index < limit + 1 ? (index * gain) >> 7 : 255
 * reproduces. wLimit is the threshold minus 1, as a signed 16-bit value (-1:
 * every entry is 255). */
struct TableRule {
    WORD wGain;
    WORD wLimit;
};

/* The rule that gives every byte back unchanged (gain 1.0, no threshold):
 * what the vectors apply to the colours the green shortcut leaves alone. */
constexpr TableRule kIdentityRule = {kUnityGain, 255};

/*
 * One correction pass over a frame. pbyteSrc equals pbyteDst in place. Only
 * the first 2 * (width / 2) bytes of the first 2 * (height / 2) rows are
 * visited. Everything per colour position: position p = 2 * (row % 2) +
 * (column % 2).
 */
struct FrameJob {
    const BYTE* pbyteSrc;
    PBYTE pbyteDst;
    DWORD dwWidth;
    DWORD dwHeight;
    const BYTE* ppbyteTable[4];
    TableRule pRule[4];
    DWORD dwEvenRowColumns; /* kBothColumns, kEvenColumns or kOddColumns */
    DWORD dwOddRowColumns;
};

using Word = __UINTPTR_TYPE__; /* the machine word: 8 bytes on x86-64, 4 on i386 */
/* Read only by the vector table check, which kernel and QUORVIN_NO_SIMD builds leave out. */
[[maybe_unused]] constexpr DWORD kWordBytes = sizeof(Word);

/*
 * The table walk of one row: dwBytes (even) bytes, pair by pair, byte 2k
 * through t0 and byte 2k + 1 through t1; bytes outside kColumns are neither
 * read nor written. Each pair is read before it is written, so s may equal d.
 * Byte by byte is the fastest walk in general registers: assembling whole
 * words from looked-up bytes measured slower than the plain loop.
 */
template <DWORD kColumns>
inline void WalkRow(const BYTE* s, PBYTE d, DWORD dwBytes, const BYTE* t0, const BYTE* t1) {
    if (kColumns == kBothColumns) {
        for (DWORD i = 0; i < dwBytes; i += 2) {
            const BYTE byte0 = s[i];
            const BYTE byte1 = s[i + 1];
            d[i] = t0[byte0];
            d[i + 1] = t1[byte1];
        }
        return;
    }
    /* One column of each pair: every other byte, four at a time, all four
     * read before any is written (a write could otherwise force the next
     * reads to wait for it, s and d and the table all being bytes). */
    const DWORD dwColumn = kColumns == kEvenColumns ? 0 : 1;
    const BYTE* t = kColumns == kEvenColumns ? t0 : t1;
    const BYTE* ps = s + dwColumn;
    PBYTE pd = d + dwColumn;
    DWORD dwPairs = dwBytes >> 1;
    for (; dwPairs >= 4; dwPairs -= 4) {
        const BYTE byte0 = ps[0];
        const BYTE byte1 = ps[2];
        const BYTE byte2 = ps[4];
        const BYTE byte3 = ps[6];
        const BYTE byteOut0 = t[byte0];
        const BYTE byteOut1 = t[byte1];
        const BYTE byteOut2 = t[byte2];
        const BYTE byteOut3 = t[byte3];
        pd[0] = byteOut0;
        pd[2] = byteOut1;
        pd[4] = byteOut2;
        pd[6] = byteOut3;
        ps += 8;
        pd += 8;
    }
    for (; dwPairs > 0; --dwPairs) {
        pd[0] = t[ps[0]];
        ps += 2;
        pd += 2;
    }
}

template <DWORD kEvenRow, DWORD kOddRow> void WalkFrame(const FrameJob& job) {
    const DWORD dwBytes = job.dwWidth & ~DWORD{1};
    const BYTE* s = job.pbyteSrc;
    PBYTE d = job.pbyteDst;
    for (DWORD dwRestYCycle = job.dwHeight >> 1; dwRestYCycle > 0; --dwRestYCycle) {
        WalkRow<kEvenRow>(s, d, dwBytes, job.ppbyteTable[0], job.ppbyteTable[1]);
        s += job.dwWidth;
        d += job.dwWidth;
        WalkRow<kOddRow>(s, d, dwBytes, job.ppbyteTable[2], job.ppbyteTable[3]);
        s += job.dwWidth;
        d += job.dwWidth;
    }
}

void WalkFrameAny(const FrameJob& job) {
    if (job.dwEvenRowColumns == kEvenColumns)
        WalkFrame<kEvenColumns, kOddColumns>(job);
    else if (job.dwEvenRowColumns == kOddColumns)
        WalkFrame<kOddColumns, kEvenColumns>(job);
    else
        WalkFrame<kBothColumns, kBothColumns>(job);
}

/* Rule variants: whether one table follows its gain's rule (filling the
 * rule), and the pass over a frame whose tables all do. */
struct RuleOps {
    bool (*pfnFindRule)(WORD wGain, const BYTE* pbyteTable, TableRule& rule);
    void (*pfnFrame)(const FrameJob& job);
};

#if QUORVIN_PIXEL_SIMD
/*
 * The rule in vectors of 16-bit lanes (VH: a vector of unsigned short), one
 * pixel per lane: even bytes are a lane's low half, odd bytes its high half.
 * Below the threshold index * gain < 32640 holds for every table the module
 * builds, so the 16-bit product is exact; at and above it the lane is forced
 * to all ones, whose low byte is 255. Whatever the gain, the variant is used
 * only after FindRule has seen it reproduce the table entry by entry.
 * Everything here is inlined into functions compiled for VH's instruction set.
 *
 * The vectors of a row: returns how many bytes (a multiple of the vector
 * size) were done; the caller walks the rest through the tables.
 */
template <class VH>
__attribute__((always_inline)) inline DWORD
RuleRow(const BYTE* s, PBYTE d, DWORD dwBytes, const TableRule& rule0, const TableRule& rule1) {
    typedef short VS __attribute__((vector_size(sizeof(VH))));
    constexpr DWORD kVecBytes = sizeof(VH);
    const VH vGain0 = VH{} + rule0.wGain;
    const VH vGain1 = VH{} + rule1.wGain;
    const VS vLimit0 = VS{} + static_cast<short>(rule0.wLimit);
    const VS vLimit1 = VS{} + static_cast<short>(rule1.wLimit);
    DWORD i = 0;
    for (; i + kVecBytes <= dwBytes; i += kVecBytes) {
        VH v;
        __builtin_memcpy(&v, s + i, kVecBytes);
        const VH x0 = v & 0xFF;
        const VH x1 = v >> 8;
        const VH y0 =
            ((x0 * vGain0) >> 7) | reinterpret_cast<VH>(reinterpret_cast<VS>(x0) > vLimit0);
        const VH y1 =
            ((x1 * vGain1) >> 7) | reinterpret_cast<VH>(reinterpret_cast<VS>(x1) > vLimit1);
        const VH vOut = (y0 & 0xFF) | (y1 << 8);
        __builtin_memcpy(d + i, &vOut, kVecBytes);
    }
    return i;
}

/* Every row through one and the same loop, the rules of each row chosen by
 * its parity: the processor's prefetchers follow a load by the instruction
 * that issues it, and a separate loop for even and for odd rows, each seeing
 * every other row, measured a third of the speed out of cache. The last
 * pairs of a row, shorter than a vector, are walked through the tables, with
 * the green shortcut's columns as the table walk has them. */
template <class VH> __attribute__((always_inline)) inline void RuleFrame(const FrameJob& job) {
    const DWORD dwBytes = job.dwWidth & ~DWORD{1};
    const DWORD dwRows = job.dwHeight & ~DWORD{1};
    const BYTE* s = job.pbyteSrc;
    PBYTE d = job.pbyteDst;
    for (DWORD y = 0; y < dwRows; ++y) {
        const DWORD k = 2 * (y & 1);
        const DWORD i = RuleRow<VH>(s, d, dwBytes, job.pRule[k], job.pRule[k + 1]);
        if (i < dwBytes) {
            const BYTE* t0 = job.ppbyteTable[k];
            const BYTE* t1 = job.ppbyteTable[k + 1];
            const DWORD dwColumns = (y & 1) ? job.dwOddRowColumns : job.dwEvenRowColumns;
            if (dwColumns == kEvenColumns)
                WalkRow<kEvenColumns>(s + i, d + i, dwBytes - i, t0, t1);
            else if (dwColumns == kOddColumns)
                WalkRow<kOddColumns>(s + i, d + i, dwBytes - i, t0, t1);
            else
                WalkRow<kBothColumns>(s + i, d + i, dwBytes - i, t0, t1);
        }
        s += job.dwWidth;
        d += job.dwWidth;
    }
}

/* The bytes 0 to 255, to run a rule over every table index. */
struct ByteRamp {
    BYTE pbyte[256];
};
constexpr ByteRamp MakeByteRamp() {
    ByteRamp ramp{};
    for (DWORD i = 0; i < 256; ++i)
        ramp.pbyte[i] = static_cast<BYTE>(i);
    return ramp;
}
constexpr ByteRamp kByteRamp = MakeByteRamp();

/* Whether the rule (gain, threshold) run by this variant gives the table. */
template <class VH>
__attribute__((always_inline)) inline bool RuleGivesTable(const TableRule& rule,
                                                          const BYTE* pbyteTable) {
    BYTE pbyteOut[256];
    static_assert(256 % sizeof(VH) == 0, "the ramp is whole vectors");
    RuleRow<VH>(kByteRamp.pbyte, pbyteOut, 256, rule, rule);
    Word wDiff = 0;
    for (DWORD i = 0; i < 256; i += kWordBytes) {
        Word w0;
        Word w1;
        __builtin_memcpy(&w0, pbyteOut + i, kWordBytes);
        __builtin_memcpy(&w1, pbyteTable + i, kWordBytes);
        wDiff |= w0 ^ w1;
    }
    return wDiff == 0;
}

/* The two thresholds the module builds tables with: floor(32640 / gain) (the
 * controller's tables) and ceil(32640 / gain) (the manual gains' plain
 * min((index * gain) >> 7, 255)), both at most 256; 256 for gain 0. */
template <class VH>
__attribute__((always_inline)) inline bool FindRule(WORD wGain, const BYTE* pbyteTable,
                                                    TableRule& rule) {
    DWORD dwFloor = 256;
    DWORD dwCeil = 256;
    if (wGain != 0) {
        dwFloor = kTableFullScale / wGain;
        dwCeil = (kTableFullScale + wGain - 1) / wGain;
        dwFloor = dwFloor > 256 ? 256 : dwFloor;
        dwCeil = dwCeil > 256 ? 256 : dwCeil;
    }
    rule.wGain = wGain;
    rule.wLimit = static_cast<WORD>(dwFloor - 1);
    if (RuleGivesTable<VH>(rule, pbyteTable))
        return true;
    if (dwCeil == dwFloor)
        return false;
    rule.wLimit = static_cast<WORD>(dwCeil - 1);
    return RuleGivesTable<VH>(rule, pbyteTable);
}

typedef unsigned short V8Hu __attribute__((vector_size(16)));
typedef unsigned short V16Hu __attribute__((vector_size(32)));
typedef unsigned short V32Hu __attribute__((vector_size(64)));

__attribute__((target("sse2"))) bool FindRuleSse2(WORD wGain, const BYTE* t, TableRule& rule) {
    return FindRule<V8Hu>(wGain, t, rule);
}
__attribute__((target("sse2"))) void RuleFrameSse2(const FrameJob& job) {
    RuleFrame<V8Hu>(job);
}
__attribute__((target("avx2"))) bool FindRuleAvx2(WORD wGain, const BYTE* t, TableRule& rule) {
    return FindRule<V16Hu>(wGain, t, rule);
}
__attribute__((target("avx2"))) void RuleFrameAvx2(const FrameJob& job) {
    RuleFrame<V16Hu>(job);
}
__attribute__((target("avx512bw"))) bool FindRuleAvx512(WORD wGain, const BYTE* t,
                                                        TableRule& rule) {
    return FindRule<V32Hu>(wGain, t, rule);
}
__attribute__((target("avx512bw"))) void RuleFrameAvx512(const FrameJob& job) {
    RuleFrame<V32Hu>(job);
}
#endif

/* The selected variant; 0 until the first use picks one. */
int g_iMapPath = 0;

quorvin_pixel::MapPath BestMapPath() {
#if QUORVIN_PIXEL_SIMD
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512bw"))
        return quorvin_pixel::MapPath::kAvx512Rule;
    if (__builtin_cpu_supports("avx2"))
        return quorvin_pixel::MapPath::kAvx2Rule;
    if (__builtin_cpu_supports("sse2"))
        return quorvin_pixel::MapPath::kSse2Rule;
#endif
    return quorvin_pixel::MapPath::kTableWalk;
}

/* The rule variant's operations; both null for the table walk. */
RuleOps RuleOpsOf(quorvin_pixel::MapPath path) {
    switch (path) {
#if QUORVIN_PIXEL_SIMD
    case quorvin_pixel::MapPath::kSse2Rule:
        return RuleOps{FindRuleSse2, RuleFrameSse2};
    case quorvin_pixel::MapPath::kAvx2Rule:
        return RuleOps{FindRuleAvx2, RuleFrameAvx2};
    case quorvin_pixel::MapPath::kAvx512Rule:
        return RuleOps{FindRuleAvx512, RuleFrameAvx512};
#endif
    default:
        return RuleOps{nullptr, nullptr};
    }
}

/*
 * One correction pass: the four tables in colour position order, the green
 * shortcut (in place, both green gains at unity: only red and blue bytes are
 * rewritten), then the rule variant when every table it would stand for
 * follows its gain's rule, else the table walk.
 */
template <DWORD kSwap>
void Correct(const CWhiteBalanceCtrl* _this, DWORD dwWidth, DWORD dwHeight, const BYTE* pbyteSrc,
             PBYTE pbyteDst, bool bInPlace) {
    using Layout = BayerLayout<kSwap>;
    if ((dwWidth >> 1) == 0 || (dwHeight >> 1) == 0)
        return;
    FrameJob job;
    job.pbyteSrc = pbyteSrc;
    job.pbyteDst = pbyteDst;
    job.dwWidth = dwWidth;
    job.dwHeight = dwHeight;
    for (DWORD p = 0; p < 4; ++p)
        job.ppbyteTable[p] = _this->m_ppbyteTable[Layout::IndexAt(p)];
    const bool bGreenShortcut =
        bInPlace && _this->m_pwGain[1] == kUnityGain && _this->m_pwGain[2] == kUnityGain;
    if (bGreenShortcut) {
        job.dwEvenRowColumns = Layout::kEvenRowRedBlueColumn == 0 ? kEvenColumns : kOddColumns;
        job.dwOddRowColumns = Layout::kOddRowRedBlueColumn == 0 ? kEvenColumns : kOddColumns;
    } else {
        job.dwEvenRowColumns = kBothColumns;
        job.dwOddRowColumns = kBothColumns;
    }

    const RuleOps ops = RuleOpsOf(quorvin_pixel::ActiveMapPath());
    bool bRules = ops.pfnFrame != nullptr;
    for (DWORD p = 0; p < 4 && bRules; ++p) {
        job.pRule[p] = kIdentityRule;
        const DWORD dwIndex = Layout::IndexAt(p);
        const bool bGreen = dwIndex == 1 || dwIndex == 2;
        if (bGreenShortcut && bGreen)
            continue; /* not rewritten: the vectors write these bytes back unchanged */
        bRules = ops.pfnFindRule(_this->m_pwGain[dwIndex], job.ppbyteTable[p], job.pRule[p]);
    }
    if (bRules)
        ops.pfnFrame(job);
    else
        WalkFrameAny(job);
}

/* Codes other than 2 to 5 (1 included) leave the frame alone. */
BOOL mbWhiteBalanceProcess(CWhiteBalanceCtrl* _this, DWORD dwWidth, DWORD dwHeight,
                           WORD wColorArray, PBYTE pbyteRaw) {
    switch (wColorArray) {
    case 2:
        Correct<0>(_this, dwWidth, dwHeight, pbyteRaw, pbyteRaw, true);
        break;
    case 3:
        Correct<1>(_this, dwWidth, dwHeight, pbyteRaw, pbyteRaw, true);
        break;
    case 4:
        Correct<2>(_this, dwWidth, dwHeight, pbyteRaw, pbyteRaw, true);
        break;
    case 5:
        Correct<3>(_this, dwWidth, dwHeight, pbyteRaw, pbyteRaw, true);
        break;
    default:
        break;
    }
    return TRUE;
}

/* pbyteRaw may equal pDest: the walks read each word (or vector) before
 * writing the one at its offset. */
BOOL mbWhiteBalanceCopyProcess(CWhiteBalanceCtrl* _this, DWORD dwWidth, DWORD dwHeight,
                               WORD wColorArray, PBYTE pbyteRaw, PBYTE pDest) {
    switch (wColorArray) {
    case 2:
        Correct<0>(_this, dwWidth, dwHeight, pbyteRaw, pDest, false);
        break;
    case 3:
        Correct<1>(_this, dwWidth, dwHeight, pbyteRaw, pDest, false);
        break;
    case 4:
        Correct<2>(_this, dwWidth, dwHeight, pbyteRaw, pDest, false);
        break;
    case 5:
        Correct<3>(_this, dwWidth, dwHeight, pbyteRaw, pDest, false);
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

namespace quorvin_pixel {

bool MapPathAvailable(MapPath path) {
    switch (path) {
    case MapPath::kAuto:
    case MapPath::kTableWalk:
        return true;
#if QUORVIN_PIXEL_SIMD
    case MapPath::kSse2Rule:
        __builtin_cpu_init();
        return __builtin_cpu_supports("sse2");
    case MapPath::kAvx2Rule:
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2");
    case MapPath::kAvx512Rule:
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512bw");
#endif
    default:
        return false;
    }
}

bool SelectMapPath(MapPath path) {
    if (!MapPathAvailable(path))
        return false;
    if (path == MapPath::kAuto)
        path = BestMapPath();
    __atomic_store_n(&g_iMapPath, static_cast<int>(path), __ATOMIC_RELAXED);
    return true;
}

MapPath ActiveMapPath() {
    int iPath = __atomic_load_n(&g_iMapPath, __ATOMIC_RELAXED);
    if (iPath == 0) {
        iPath = static_cast<int>(BestMapPath());
        __atomic_store_n(&g_iMapPath, iPath, __ATOMIC_RELAXED);
    }
    return static_cast<MapPath>(iPath);
}

bool RuleReproducesTable(MapPath path, WORD wGain, const BYTE* pbyteTable) {
    if (path == MapPath::kAuto)
        path = ActiveMapPath();
    const RuleOps ops = RuleOpsOf(path);
    TableRule rule;
    return ops.pfnFindRule != nullptr && ops.pfnFindRule(wGain, pbyteTable, rule);
}

} // namespace quorvin_pixel
