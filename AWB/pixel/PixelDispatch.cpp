// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The pixel passes as the controllers see them: one processor-feature probe,
 * one table of variants for the statistics and the correction, the choice
 * between them, and the drivers that run a variant over a frame, area row by
 * area row and band by band, with the vector registers taken and given back
 * around each chunk (by the kernel; in user space the two calls cost
 * nothing).
 *
 * General registers only: this file runs in both builds outside any vector
 * section, and only calls into PixelVector.cpp and PixelNeon.cpp between
 * quorvin_vector_begin() and quorvin_vector_end().
 */
#include "../platform.h"
#include "PixelKernels.h"
#include "PixelLanes.h"
#include "PixelTestHooks.h"
#include "PixelVariants.h"

namespace quorvin_pixel {

namespace {

/*
 * Bytes of frame one vector section covers at most. The kernel holds off
 * preemption between kernel_fpu_begin() and kernel_fpu_end(); a section of
 * 64 KiB corrected in place reads and writes 128 KiB, 13 us at 10 GB/s and
 * 43 us at a slow 3 GB/s, inside the 50 us a section may last. A whole
 * 1920x1080 frame takes 32 sections; taking and giving back the registers
 * costs well under a microsecond each once the task's own state is saved.
 */
constexpr DWORD kChunkBytes = 64 * 1024;

/*
 * Bytes of frame the fused pass corrects before it measures them: small
 * enough to be still in the second-level cache (1 MiB and more on the
 * processors this runs on) when the statistics read them back, large enough
 * that the accumulators' fold at the end of each band costs little (a 64 KiB
 * band of 1920-byte rows holds 34 rows, against 4 folds of a whole area row).
 */
constexpr DWORD kBandBytes = 64 * 1024;

/* 255 * 128: a gain (1/128) saturates a table from index 32640 / gain on. */
constexpr DWORD kTableFullScale = 255 * QUORVIN_WB_GAIN_UNITY;

/* One variant per row: what it needs of the processor (a vector variant runs
 * only between quorvin_vector_begin() and _end(), chunk by chunk), and its
 * statistics and correction kernels (either may be missing; the word variant
 * measures whole frames, MeasureFrameWord), and the count of bright bytes
 * that goes with its statistics (missing: the picture modes count in general
 * registers, PictureCtrl.cpp). */
struct Variant {
    DWORD dwFeature; /* QUORVIN_VECTOR_* bits; 0: the word variant */
    SumPath sum;
    SumRowsFn pfnSumRows;
    MapPath map;
    CorrectRowsFn pfnCorrect; /* a rule variant, or the table walk */
    CountRowsFn pfnCountRows;
};

constexpr Variant kVariants[] = {
    {0, SumPath::kWord, nullptr, MapPath::kTableWalk, CorrectRowsWalk, nullptr},
#if QUORVIN_PIXEL_VECTORS
    {QUORVIN_VECTOR_AVX2, SumPath::kAvx2, SumRowsAvx2, MapPath::kAvx2Rule, CorrectRowsAvx2Rule,
     CountRowsAvx2},
    {QUORVIN_VECTOR_AVX512BW, SumPath::kAuto, nullptr, MapPath::kAvx512Rule, CorrectRowsAvx512Rule,
     nullptr},
#endif
#if QUORVIN_PIXEL_NEON
    {QUORVIN_VECTOR_NEON, SumPath::kNeon, SumRowsNeon, MapPath::kNeonRule, CorrectRowsNeonRule,
     nullptr},
#endif
};

/* The automatic choices, best first (a build has the variants of one
 * architecture only). The correction prefers AVX-512 where the host allows
 * it (the kernel keeps a processor that prefers 256-bit registers to AVX2). */
constexpr SumPath kSumPreference[] = {SumPath::kAvx2, SumPath::kNeon};
constexpr MapPath kMapPreference[] = {MapPath::kAvx512Rule, MapPath::kAvx2Rule, MapPath::kNeonRule};

/* The probe: the instruction sets the host allows, once. 0 until probed;
 * the top bit marks a probe made. */
DWORD g_dwFeatures = 0;
constexpr DWORD kProbed = 0x80000000u;

__attribute__((always_inline)) inline DWORD Features() {
    DWORD dwFeatures = __atomic_load_n(&g_dwFeatures, __ATOMIC_RELAXED);
    if (dwFeatures == 0) {
#if QUORVIN_PIXEL_VECTORS || QUORVIN_PIXEL_NEON
        dwFeatures = quorvin_vector_features() | kProbed;
#else
        dwFeatures = kProbed;
#endif
        __atomic_store_n(&g_dwFeatures, dwFeatures, __ATOMIC_RELAXED);
    }
    return dwFeatures;
}

__attribute__((always_inline)) inline bool Runs(const Variant& v) {
    return (Features() & v.dwFeature) == v.dwFeature;
}

/* Whether the variant runs in vector sections: every variant but the word
 * one. */
__attribute__((always_inline)) inline bool InSections(const Variant& v) {
    return v.dwFeature != 0;
}

/* The two choices the dispatcher makes, statistics and correction, and
 * what differs between them: which variants stand for a path, the
 * preference order, the path when no variant is there, and the slot that
 * holds the choice (0 until the first use picks one; relaxed atomics: every
 * value is a complete choice, and all choices give the same results). */
int g_iSumPath = 0;
int g_iMapPath = 0;

template <class Path> struct Choice;

template <> struct Choice<SumPath> {
    static constexpr SumPath kNone = SumPath::kWord;
    static constexpr const SumPath* Preference() { return kSumPreference; }
    static constexpr DWORD kPreferenceCount = sizeof kSumPreference / sizeof kSumPreference[0];
    static int* Slot() { return &g_iSumPath; }
    static bool Serves(const Variant& v, SumPath path) {
        return v.sum != SumPath::kAuto && v.sum == path;
    }
};

template <> struct Choice<MapPath> {
    static constexpr MapPath kNone = MapPath::kTableWalk;
    static constexpr const MapPath* Preference() { return kMapPreference; }
    static constexpr DWORD kPreferenceCount = sizeof kMapPreference / sizeof kMapPreference[0];
    static int* Slot() { return &g_iMapPath; }
    static bool Serves(const Variant& v, MapPath path) {
        return v.pfnCorrect != nullptr && v.map == path;
    }
};

/* The variant that runs a path on this processor; nullptr if none. */
template <class Path> __attribute__((always_inline)) inline const Variant* VariantOf(Path path) {
    for (const Variant& v : kVariants)
        if (Choice<Path>::Serves(v, path) && Runs(v))
            return &v;
    return nullptr;
}

template <class Path> Path BestPath() {
    for (DWORD i = 0; i < Choice<Path>::kPreferenceCount; ++i)
        if (VariantOf(Choice<Path>::Preference()[i]) != nullptr)
            return Choice<Path>::Preference()[i];
    return Choice<Path>::kNone;
}

/* The path in use; the first use picks the best one. */
template <class Path> __attribute__((always_inline)) inline Path ActivePath() {
    int iPath = __atomic_load_n(Choice<Path>::Slot(), __ATOMIC_RELAXED);
    if (iPath == 0) {
        iPath = static_cast<int>(BestPath<Path>());
        __atomic_store_n(Choice<Path>::Slot(), iPath, __ATOMIC_RELAXED);
    }
    return static_cast<Path>(iPath);
}

template <class Path> bool PathAvailable(Path path) {
    return path == Path::kAuto || VariantOf(path) != nullptr;
}

template <class Path> bool SelectPath(Path path) {
    if (!PathAvailable(path))
        return false;
    if (path == Path::kAuto)
        path = BestPath<Path>();
    __atomic_store_n(Choice<Path>::Slot(), static_cast<int>(path), __ATOMIC_RELAXED);
    return true;
}

/* How often a chunked variant ran in vector registers, and how often it had
 * to leave a chunk to the word variant. */
DWORD g_dwVectorChunks = 0;
DWORD g_dwWordChunks = 0;

/* The word variant: the word statistics and the table walk. */
const Variant& kWordVariant = kVariants[0];

/* Rows of one area row through a vector statistics variant, chunk by chunk
 * in vector sections. False when the variant cannot plan them or a chunk
 * could not have vector registers: the frame then goes to the word variant. */
bool SumRowsBy(const Variant& v, const StatsJob& job, DWORD y0, DWORD y1, DWORD dwChunkRows,
               AreaRowSums& sums) {
    for (DWORD y = y0; y < y1; y += dwChunkRows) {
        const DWORD yEnd = y1 - y > dwChunkRows ? y + dwChunkRows : y1;
        if (!quorvin_vector_begin()) {
            __atomic_add_fetch(&g_dwWordChunks, 1, __ATOMIC_RELAXED);
            return false;
        }
        const bool bDone = v.pfnSumRows(job, y, yEnd, sums);
        quorvin_vector_end();
        if (!bDone)
            return false;
        __atomic_add_fetch(&g_dwVectorChunks, 1, __ATOMIC_RELAXED);
    }
    return true;
}

DWORD RowsPer(DWORD dwBytes, DWORD dwWidth) {
    return dwWidth == 0 || dwWidth >= dwBytes ? 1 : dwBytes / dwWidth;
}

/* The means of area row r from its sums. */
void StoreAreaMeans(CAveragePixelValue* pStats, DWORD r, const AreaRowSums& sums) {
    for (DWORD i = 0; i < 4; ++i) {
        const DWORD pdwSum[4] = {sums.pp[i][0].dwEven, sums.pp[i][0].dwOdd, sums.pp[i][1].dwEven,
                                 sums.pp[i][1].dwOdd};
        lanes::StoreMeans(pStats, 4 * r + i, pdwSum);
    }
}

StatsJob MakeStatsJob(const CAveragePixelValue* pStats, DWORD dwWidth, const BYTE* pbyteRaw) {
    StatsJob job;
    job.pbyteRaw = pbyteRaw;
    job.dwWidth = dwWidth;
    job.dwHeight = pStats->m_pdwImagePosY[3];
    job.pdwPosX = pStats->m_pdwImagePosX;
    return job;
}

/* Whether the rule (gain, threshold) gives the table, entry by entry. Every
 * rule variant computes exactly this: below the threshold index * gain <
 * 32640, so 16-bit lanes hold the product. */
bool RuleGivesTable(WORD wGain, DWORD dwThreshold, const BYTE* pbyteTable) {
    for (DWORD i = 0; i < 256; ++i) {
        const DWORD dwEntry = i < dwThreshold ? (i * wGain) >> QUORVIN_WB_GAIN_SHIFT : 255;
        if (pbyteTable[i] != dwEntry)
            return false;
    }
    return true;
}

/* The two thresholds the module builds tables with: floor(32640 / gain) (the
 * controller's tables) and ceil(32640 / gain) (the manual gains' plain
 * min((index * gain) >> 7, 255)), both at most 256; 256 for gain 0. */
bool FindRule(WORD wGain, const BYTE* pbyteTable, TableRule& rule) {
    DWORD dwFloor = 256;
    DWORD dwCeil = 256;
    if (wGain != 0) {
        dwFloor = kTableFullScale / wGain;
        dwCeil = (kTableFullScale + wGain - 1) / wGain;
        dwFloor = dwFloor > 256 ? 256 : dwFloor;
        dwCeil = dwCeil > 256 ? 256 : dwCeil;
    }
    rule.wGain = wGain;
    const DWORD pdwThreshold[2] = {dwFloor, dwCeil};
    for (DWORD k = 0; k < (dwCeil == dwFloor ? 1u : 2u); ++k) {
        if (RuleGivesTable(wGain, pdwThreshold[k], pbyteTable)) {
            rule.wLimit = static_cast<WORD>(pdwThreshold[k] - 1);
            return true;
        }
    }
    return false;
}

/* The rule that gives every byte back unchanged (gain 1.0, no threshold):
 * what the rule variants apply to the colours the green shortcut leaves
 * alone. */
constexpr TableRule kIdentityRule = {QUORVIN_WB_GAIN_UNITY, 255};

/*
 * The job of a correction: the four tables in colour position order, the
 * green shortcut (in place, both green gains at unity: only red and blue
 * bytes are rewritten). Arrangement dwSwap (ArrangementOf) puts colour index
 * p ^ dwSwap at colour position p; red and blue sit on the even column of
 * even rows for RGGB and BGGR (dwSwap 0 and 3), on the odd one for GRBG and
 * GBRG.
 */
FrameJob MakeFrameJob(const CWhiteBalanceCtrl* pWb, DWORD dwWidth, DWORD dwHeight, DWORD dwSwap,
                      const BYTE* pbyteSrc, PBYTE pbyteDst, bool bInPlace) {
    FrameJob job;
    job.pbyteSrc = pbyteSrc;
    job.pbyteDst = pbyteDst;
    job.dwWidth = dwWidth;
    job.dwHeight = dwHeight;
    for (DWORD p = 0; p < 4; ++p) {
        job.ppbyteTable[p] = pWb->m_ppbyteTable[p ^ dwSwap];
        job.pRule[p] = kIdentityRule;
    }
    const bool bGreenShortcut = bInPlace && pWb->m_pwGain[1] == QUORVIN_WB_GAIN_UNITY &&
                                pWb->m_pwGain[2] == QUORVIN_WB_GAIN_UNITY;
    const bool bRedBlueEven = dwSwap == 0 || dwSwap == 3;
    if (bGreenShortcut) {
        job.dwEvenRowColumns = bRedBlueEven ? kEvenColumns : kOddColumns;
        job.dwOddRowColumns = bRedBlueEven ? kOddColumns : kEvenColumns;
    } else {
        job.dwEvenRowColumns = kBothColumns;
        job.dwOddRowColumns = kBothColumns;
    }
    return job;
}

/* The correction variant for the job: the selected rule variant when every
 * table it would stand for follows its gain's rule (filling the job's
 * rules), else the table walk. */
__attribute__((always_inline)) inline const Variant& ChooseCorrection(const CWhiteBalanceCtrl* pWb,
                                                                      DWORD dwSwap, FrameJob& job) {
    const Variant* v = VariantOf(ActivePath<MapPath>());
    if (v == nullptr || v->map == MapPath::kTableWalk)
        return kWordVariant;
    const bool bGreenShortcut = job.dwEvenRowColumns != kBothColumns;
    for (DWORD p = 0; p < 4; ++p) {
        const DWORD dwIndex = p ^ dwSwap;
        if (bGreenShortcut && (dwIndex == 1 || dwIndex == 2))
            continue; /* not rewritten: the rule variants write these bytes back unchanged */
        if (!FindRule(pWb->m_pwGain[dwIndex], job.ppbyteTable[p], job.pRule[p]))
            return kWordVariant;
    }
    return *v;
}

/* Rows y0 to y1 - 1 corrected, in chunks when the variant runs in vector
 * sections. */
void CorrectRowsBy(const Variant& v, const FrameJob& job, DWORD y0, DWORD y1) {
    if (!InSections(v)) {
        v.pfnCorrect(job, y0, y1);
        return;
    }
    const DWORD dwChunkRows = RowsPer(kChunkBytes, job.dwWidth);
    for (DWORD y = y0; y < y1; y += dwChunkRows) {
        const DWORD yEnd = y1 - y > dwChunkRows ? y + dwChunkRows : y1;
        if (quorvin_vector_begin()) {
            v.pfnCorrect(job, y, yEnd);
            quorvin_vector_end();
            __atomic_add_fetch(&g_dwVectorChunks, 1, __ATOMIC_RELAXED);
        } else {
            __atomic_add_fetch(&g_dwWordChunks, 1, __ATOMIC_RELAXED);
            kWordVariant.pfnCorrect(job, y, yEnd); /* the word path's correction */
        }
    }
}

} // namespace

/* ---- The passes ------------------------------------------------------------ */

namespace {

/* The frame by a vector statistics variant; false: left to the word
 * variant, which measures it again whole. */
bool MeasureByVariant(const Variant& v, CAveragePixelValue* pStats, DWORD dwWidth,
                      const BYTE* pbyteRaw) {
    const StatsJob job = MakeStatsJob(pStats, dwWidth, pbyteRaw);
    const DWORD dwChunkRows = RowsPer(kChunkBytes, dwWidth);
    DWORD y = 0;
    for (DWORD r = 0; r < 4; ++r) {
        AreaRowSums sums = {};
        const DWORD y1 = pStats->m_pdwImagePosY[r];
        if (!SumRowsBy(v, job, y, y1, dwChunkRows, sums))
            return false;
        StoreAreaMeans(pStats, r, sums);
        y = y1;
    }
    return true;
}

} // namespace

/* Band by band, the band's rows corrected and then measured, in one vector
 * section each: only a vector statistics variant takes the fused pass. */
DWORD CorrectAndMeasureBands(CWhiteBalanceCtrl* pWb, CAveragePixelValue* pStats, DWORD dwWidth,
                             DWORD dwHeight, WORD wColorArray, PBYTE pbyteRaw) {
    const Variant* pSum = VariantOf(ActivePath<SumPath>());
    if (pSum == nullptr || pSum->pfnSumRows == nullptr)
        return 0;
    const DWORD dwSwap = ArrangementOf(wColorArray);
    const Variant& sum = *pSum;
    FrameJob job = MakeFrameJob(pWb, dwWidth, dwHeight, dwSwap, pbyteRaw, pbyteRaw, true);
    const Variant& correct = ChooseCorrection(pWb, dwSwap, job);
    const StatsJob stats = MakeStatsJob(pStats, dwWidth, pbyteRaw);
    const DWORD dwCorrectedRows = dwHeight & ~DWORD{1};
    const DWORD dwBandRows = RowsPer(kBandBytes, dwWidth);
    DWORD y = 0;
    for (DWORD r = 0; r < 4; ++r) {
        AreaRowSums sums = {};
        const DWORD y1 = pStats->m_pdwImagePosY[r];
        while (y < y1) {
            const DWORD yEnd = y1 - y > dwBandRows ? y + dwBandRows : y1;
            const DWORD yCorrectEnd = yEnd < dwCorrectedRows ? yEnd : dwCorrectedRows;
            if (!quorvin_vector_begin()) {
                __atomic_add_fetch(&g_dwWordChunks, 1, __ATOMIC_RELAXED);
                return y < dwCorrectedRows ? y : dwCorrectedRows;
            }
            if (y < yCorrectEnd)
                correct.pfnCorrect(job, y, yCorrectEnd);
            const bool bMeasured = sum.pfnSumRows(stats, y, yEnd, sums);
            quorvin_vector_end();
            __atomic_add_fetch(&g_dwVectorChunks, 1, __ATOMIC_RELAXED);
            if (!bMeasured)
                return yCorrectEnd > y ? yCorrectEnd : (y < dwCorrectedRows ? y : dwCorrectedRows);
            y = yEnd;
        }
        StoreAreaMeans(pStats, r, sums);
    }
    return kAllRows;
}

/* ---- The passes ------------------------------------------------------------ */

void CorrectInPlaceFrom(const CWhiteBalanceCtrl* pWb, DWORD dwWidth, DWORD dwHeight,
                        WORD wColorArray, PBYTE pbyteRaw, DWORD y0) {
    CorrectFrameFrom(pWb, dwWidth, dwHeight, ArrangementOf(wColorArray), pbyteRaw, pbyteRaw, true,
                     y0);
}

bool MeasureFrameVector(CAveragePixelValue* pStats, DWORD dwWidth, const BYTE* pbyteRaw) {
    const Variant* v = VariantOf(ActivePath<SumPath>());
    return v != nullptr && v->pfnSumRows != nullptr &&
           MeasureByVariant(*v, pStats, dwWidth, pbyteRaw);
}

/* Area row by area row; the counted rows lie one pair in dwPairMask + 1
 * apart, so a section spans as many rows as hold about kChunkBytes of counted
 * bytes. */
bool CountClippedByVariant(const CAveragePixelValue* pStats, DWORD dwWidth, DWORD dwHeight,
                           const BYTE* pbyteRaw, QuorvinClipCount* pCount) {
    const Variant* v = VariantOf(ActivePath<SumPath>());
    if (v == nullptr || v->pfnCountRows == nullptr || dwWidth == 0 || dwHeight == 0)
        return false;
    ClearClipCount(pCount);
    const DWORD dwPairMask = ClipPairMask(dwHeight);
    const StatsJob job = MakeStatsJob(pStats, dwWidth, pbyteRaw);
    const DWORD dwSpan = RowsPer(kChunkBytes, dwWidth) * (dwPairMask + 1);
    DWORD y0 = 0;
    for (DWORD r = 0; r < 4; ++r) {
        const DWORD y1 = pStats->m_pdwImagePosY[r];
        BrightCounts counts = {{0, 0, 0, 0}, 0, 0};
        for (DWORD y = y0; y < y1; y += dwSpan) {
            const DWORD yEnd = y1 - y > dwSpan ? y + dwSpan : y1;
            if (!quorvin_vector_begin()) {
                __atomic_add_fetch(&g_dwWordChunks, 1, __ATOMIC_RELAXED);
                return false;
            }
            const bool bDone = v->pfnCountRows(job, y, yEnd, dwPairMask, counts);
            quorvin_vector_end();
            if (!bDone)
                return false;
            __atomic_add_fetch(&g_dwVectorChunks, 1, __ATOMIC_RELAXED);
        }
        DWORD dwRows = 0;
        for (DWORD y = y0; y < y1; ++y)
            dwRows += ((y >> 1) & dwPairMask) == 0 ? 1u : 0u;
        pCount->dwHigh += counts.dwHigh;
        pCount->dwBright += counts.dwBright;
        AddClipAreaRow(pStats, r, dwRows, counts.pdwClipped, pCount);
        y0 = y1;
    }
    return true;
}

void CorrectFrameFrom(const CWhiteBalanceCtrl* pWb, DWORD dwWidth, DWORD dwHeight, DWORD dwSwap,
                      const BYTE* pbyteSrc, PBYTE pbyteDst, bool bInPlace, DWORD y0) {
    FrameJob job = MakeFrameJob(pWb, dwWidth, dwHeight, dwSwap, pbyteSrc, pbyteDst, bInPlace);
    CorrectRowsBy(ChooseCorrection(pWb, dwSwap, job), job, y0, dwHeight & ~DWORD{1});
}

/* ---- Choice, probe and test entry points ------------------------------------ */

bool SumPathAvailable(SumPath path) {
    return PathAvailable(path);
}

bool SelectSumPath(SumPath path) {
    return SelectPath(path);
}

SumPath ActiveSumPath() {
    return ActivePath<SumPath>();
}

bool MapPathAvailable(MapPath path) {
    return PathAvailable(path);
}

bool SelectMapPath(MapPath path) {
    return SelectPath(path);
}

MapPath ActiveMapPath() {
    return ActivePath<MapPath>();
}

bool RuleReproducesTable(MapPath path, WORD wGain, const BYTE* pbyteTable) {
    if (path == MapPath::kAuto)
        path = ActiveMapPath();
    TableRule rule;
    return path != MapPath::kTableWalk && VariantOf(path) != nullptr &&
           FindRule(wGain, pbyteTable, rule);
}

/* A segment through a statistics variant: as one row of a frame whose four
 * area columns share it; variants that cannot plan it leave it to the word
 * variant, as they leave such frames. */
PairSum SumRowSegmentPairs(SumPath path, const BYTE* pbyteSeg, DWORD dwPixelCount) {
    if (path == SumPath::kAuto)
        path = ActiveSumPath();
    const Variant* v = VariantOf(path);
    if (v == nullptr || v->pfnSumRows == nullptr)
        v = &kWordVariant;
    StatsJob job;
    job.pbyteRaw = pbyteSeg;
    job.dwWidth = dwPixelCount;
    job.dwHeight = 1;
    const DWORD dwQuarter = dwPixelCount / 4;
    const DWORD pdwPosX[4] = {dwQuarter, 2 * dwQuarter, 3 * dwQuarter, dwPixelCount};
    job.pdwPosX = pdwPosX;
    AreaRowSums sums = {};
    if (v->pfnSumRows == nullptr || !SumRowsBy(*v, job, 0, 1, 1, sums)) {
        ParitySums s{0, 0};
        SumSegmentWord(pbyteSeg, dwPixelCount, s);
        if (reinterpret_cast<__UINTPTR_TYPE__>(pbyteSeg) & 1)
            return PairSum{s.dwOdd, s.dwEven};
        return PairSum{s.dwEven, s.dwOdd};
    }
    PairSum result{0, 0};
    for (DWORD i = 0; i < 4; ++i) {
        result.dwSum0 += sums.pp[i][0].dwEven;
        result.dwSum1 += sums.pp[i][0].dwOdd;
    }
    return result;
}

VectorUse VectorUseCounts() {
    return VectorUse{__atomic_load_n(&g_dwVectorChunks, __ATOMIC_RELAXED),
                     __atomic_load_n(&g_dwWordChunks, __ATOMIC_RELAXED)};
}

} // namespace quorvin_pixel
