/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * Internal to the core: the pixel passes of the area statistics (row sums by
 * area and colour position) and of the frame correction (tables, or the
 * arithmetic rule the tables follow), the fused pass of Quorvin_ImageBalance
 * (correct and measure in one pass over memory), and the choice between
 * their variants. Not part of the module's interface; the controllers call
 * the entry points at the end, the tests and the benchmarks include it to
 * force each variant in turn.
 *
 * Every variant gives exactly the results of the plain loops: the same sums,
 * the same corrected bytes, the same untouched bytes.
 *
 * Where the code lives:
 *   PixelLanes.h     the loops shared by the variants (templates);
 *   PixelWord.cpp    machine words in general registers (both builds);
 *   PixelVector.cpp  vector registers: every x86 variant in user space; in
 *                    the kernel only its chunked variants (AVX2 statistics,
 *                    AVX2 and AVX-512 correction), compiled as an object
 *                    of their own and run only between quorvin_vector_begin()
 *                    and quorvin_vector_end() (AWB/platform.h);
 *   PixelDispatch.cpp the processor-feature probe, the one table of variants,
 *                    the choice, and the passes that cut a frame into bands.
 *
 * Builds:
 *   user space (default)      word variants and every x86 vector variant;
 *   the kernel (__KERNEL__)   word variants, plus on x86-64 the chunked
 *                             vector variants when Kbuild defines
 *                             QUORVIN_KERNEL_VECTORS;
 *   QUORVIN_KERNEL_PIXELS     a user-space build with exactly the kernel's
 *                             variants (word and chunked vector), for tests and
 *                             benchmarks of the kernel's code;
 *   QUORVIN_NO_SIMD           word variants only (a kernel whose processor
 *                             or context gives no vector registers).
 */
#ifndef QUORVIN_AWB_PIXELKERNELS_H
#define QUORVIN_AWB_PIXELKERNELS_H

#include "../AveragePixelValue.h"
#include "../WhiteBalanceCtrl.h"
#include "../win.h"

#if (defined(__x86_64__) || defined(__i386__)) && !defined(QUORVIN_NO_SIMD)
#if defined(__KERNEL__)
/* The kernel build: Kbuild defines QUORVIN_KERNEL_VECTORS on x86-64 only. */
#if defined(QUORVIN_KERNEL_VECTORS) && defined(__x86_64__)
#define QUORVIN_PIXEL_KERNEL_SET 1
#define QUORVIN_PIXEL_VECTORS    1
#else
#define QUORVIN_PIXEL_KERNEL_SET 1
#define QUORVIN_PIXEL_VECTORS    0
#endif
#elif defined(QUORVIN_KERNEL_PIXELS)
#define QUORVIN_PIXEL_KERNEL_SET 1
#define QUORVIN_PIXEL_VECTORS    1
#else
#define QUORVIN_PIXEL_KERNEL_SET 0
#define QUORVIN_PIXEL_VECTORS    1
#endif
#else
#define QUORVIN_PIXEL_KERNEL_SET 1
#define QUORVIN_PIXEL_VECTORS    0
#endif

/* Kept for the code that asks whether the user-space vector variants exist. */
#define QUORVIN_PIXEL_SIMD (QUORVIN_PIXEL_VECTORS && !QUORVIN_PIXEL_KERNEL_SET)

namespace quorvin_pixel {

/* How the area statistics are summed. kAuto is the best variant available. */
enum class SumPath : int {
    kAuto = 0,
    kWord = 1,   /* machine words in general registers: the kernel's variant */
    kSse2 = 2,   /* 16-byte vectors, 16-bit lane accumulators in memory */
    kAvx2 = 3,   /* 32-byte vectors, likewise */
    kAvx512 = 4, /* 64-byte vectors (AVX-512 BW), likewise */
    /* The kernel's vector variant: 32-byte vectors summed in runs of 16-bit
     * lanes and folded into accumulators that stay in registers (a kernel
     * stack has no room for the lane accumulators in memory), the frame cut
     * into chunks of kChunkBytes. */
    kAvx2Chunked = 5,
};

/*
 * How a frame is corrected. kTableWalk looks every byte up in its table; it
 * is the fallback of the others. The rule variants compute each colour's
 * table arithmetically, entry = index < threshold ? (index * gain) >> 7 : 255,
 * and are used for a frame only when each of its tables is exactly reproduced
 * by its gain and one of the two thresholds the module builds tables with
 * (floor or ceiling of 32640 / gain, at most 256); otherwise the table walk
 * runs.
 */
enum class MapPath : int {
    kAuto = 0,
    kTableWalk = 1,
    kSse2Rule = 2,
    kAvx2Rule = 3,
    kAvx512Rule = 4,
    kWordRule = 5, /* the rule on whole machine words: the kernel's word variant */
};

/* Sums of the bytes at even (dwSum0) and odd (dwSum1) offsets from a row
 * segment's first byte, modulo 2^32. */
struct PairSum {
    DWORD dwSum0;
    DWORD dwSum1;
};

/* Whether wColorArray is one of the four Bayer codes, QUORVIN_COLOR_ARRAY_RGGB
 * to QUORVIN_COLOR_ARRAY_BGGR. */
constexpr bool IsBayerCode(WORD wColorArray) {
    return wColorArray >= QUORVIN_COLOR_ARRAY_RGGB && wColorArray <= QUORVIN_COLOR_ARRAY_BGGR;
}
/* The arrangement n of a Bayer code QUORVIN_COLOR_ARRAY_RGGB + n (0 to 3):
 * colour index i lies at colour position i ^ n. */
constexpr DWORD ArrangementOf(WORD wColorArray) {
    return static_cast<DWORD>(wColorArray - QUORVIN_COLOR_ARRAY_RGGB);
}

/* Whether the variant can run on this build and processor (kAuto: always). */
bool SumPathAvailable(SumPath path);
/* Makes UpdateAverage use the variant (kAuto: the best available). Returns
 * false and changes nothing when it is not available. */
bool SelectSumPath(SumPath path);
/* The variant UpdateAverage uses now (never kAuto). */
SumPath ActiveSumPath();
/* One row segment of dwPixelCount bytes (any count, 0 included, any address)
 * summed by the given variant, which must be available; reads exactly those
 * bytes. Vector variants hand segments narrower than their row plan to the
 * word variant, as they do with frames. */
PairSum SumRowSegmentPairs(SumPath path, const BYTE* pbyteSeg, DWORD dwPixelCount);

bool MapPathAvailable(MapPath path);
/* Makes ImageProcessing and ImageCopyProcessing use the variant (kAuto: the
 * best available). Returns false and changes nothing when not available. */
bool SelectMapPath(MapPath path);
MapPath ActiveMapPath();
/* Whether the rule variant path (available, not kTableWalk) reproduces the
 * 256-entry table pbyteTable from wGain exactly, so that a frame whose tables
 * all pass would be corrected by it. */
bool RuleReproducesTable(MapPath path, WORD wGain, const BYTE* pbyteTable);

/* How many chunks the chunked variants have run in vector registers, and how
 * many they had to leave to the word variants (no vector registers to be
 * had), since the start; for the kernel's self-test and the tests. */
struct VectorUse {
    DWORD dwVectorChunks;
    DWORD dwWordChunks;
};
VectorUse VectorUseCounts();

/* ---- Between the controllers and the pixel code ----------------------- */

/*
 * A colour's table as an arithmetic rule: entry = index <= limit ?
 * (index * gain) >> 7 : 255. wLimit is the threshold minus 1, as a signed
 * 16-bit value (0xFFFF: every entry is 255).
 */
struct TableRule {
    WORD wGain;
    WORD wLimit;
};

/* Which bytes of a row's pixel pairs a correction rewrites; the others are
 * left as they are (in place) or not written (copy). */
constexpr DWORD kBothColumns = 0;
constexpr DWORD kEvenColumns = 1;
constexpr DWORD kOddColumns = 2;

/*
 * One correction of a frame. pbyteSrc equals pbyteDst in place. Only the
 * first 2 * (width / 2) bytes of the first 2 * (height / 2) rows are visited.
 * Everything per colour position: position p = 2 * (row % 2) + (column % 2).
 */
struct FrameJob {
    const BYTE* pbyteSrc;
    PBYTE pbyteDst;
    DWORD dwWidth;
    DWORD dwHeight;
    const BYTE* ppbyteTable[4];
    TableRule pRule[4];     /* valid when the pass runs a rule variant */
    DWORD dwEvenRowColumns; /* kBothColumns, kEvenColumns or kOddColumns */
    DWORD dwOddRowColumns;
};

/* What the statistics kernels read: the frame and its area column ends. */
struct StatsJob {
    const BYTE* pbyteRaw;
    DWORD dwWidth;
    DWORD dwHeight;       /* rows of the frame: nothing past its last row is read */
    const DWORD* pdwPosX; /* exclusive end column of each of the 4 area columns */
};

/* Sums of the bytes of even and of odd columns, modulo 2^32. */
struct ParitySums {
    DWORD dwEven;
    DWORD dwOdd;
};

/* Sums of one area row: [area column][row parity]; colour position
 * 2 * row parity + column parity. */
struct AreaRowSums {
    ParitySums pp[4][2];
};

/* Recomputes the area geometry when the size or the code changed
 * (AveragePixelValue.cpp; UpdateAverage's first step). */
void RefreshGeometry(CAveragePixelValue* pStats, DWORD dwWidth, DWORD dwHeight, WORD wColorArray);
/* The word variant's measurement of a whole frame (PixelWord.cpp). */
void MeasureFrameWord(CAveragePixelValue* pStats, DWORD dwWidth, const BYTE* pbyteRaw);
/* The measurement by the selected vector variant; false, having stored
 * nothing that counts, when the word variant is selected or has to take the
 * frame (a geometry the vector variant cannot plan, no vector registers). */
bool MeasureFrameVector(CAveragePixelValue* pStats, DWORD dwWidth, const BYTE* pbyteRaw);

/* Measures the frame into m_pbyteAverage; the geometry must be current.
 * Inline, so that a kernel stack carries no frame for the choice. */
inline void MeasureAreas(CAveragePixelValue* pStats, DWORD dwWidth, const BYTE* pbyteRaw) {
    if (!MeasureFrameVector(pStats, dwWidth, pbyteRaw))
        MeasureFrameWord(pStats, dwWidth, pbyteRaw);
}

/* The correction of ImageProcessing (pbyteSrc == pbyteDst, bInPlace) and of
 * ImageCopyProcessing, for arrangement dwSwap (ArrangementOf), rows y0 on. */
void CorrectFrameFrom(const CWhiteBalanceCtrl* pWb, DWORD dwWidth, DWORD dwHeight, DWORD dwSwap,
                      const BYTE* pbyteSrc, PBYTE pbyteDst, bool bInPlace, DWORD y0);
inline void CorrectFrame(const CWhiteBalanceCtrl* pWb, DWORD dwWidth, DWORD dwHeight, DWORD dwSwap,
                         const BYTE* pbyteSrc, PBYTE pbyteDst, bool bInPlace) {
    if ((dwWidth >> 1) != 0 && (dwHeight >> 1) != 0)
        CorrectFrameFrom(pWb, dwWidth, dwHeight, dwSwap, pbyteSrc, pbyteDst, bInPlace, 0);
}

/* The fused pass: a frame that ImageProcessing corrects (a Bayer code,
 * white balance on, width and height at least 2, geometry current), band by
 * band, each band corrected and then measured while it is still in the
 * cache. Returns kAllRows when the frame is corrected and measured;
 * otherwise (the word variant's statistics, or a band that could not be
 * planned or could not have vector registers) the rows corrected so far. */
constexpr DWORD kAllRows = ~DWORD{0};
DWORD CorrectAndMeasureBands(CWhiteBalanceCtrl* pWb, CAveragePixelValue* pStats, DWORD dwWidth,
                             DWORD dwHeight, WORD wColorArray, PBYTE pbyteRaw);
/* The in-place correction from row y0 on (Bayer code wColorArray). */
void CorrectInPlaceFrom(const CWhiteBalanceCtrl* pWb, DWORD dwWidth, DWORD dwHeight,
                        WORD wColorArray, PBYTE pbyteRaw, DWORD y0);

/* ImageProcessing followed by UpdateAverage, in one pass over memory where
 * the statistics have a vector variant: the same results as the two calls.
 * Returns false when the frame still has to be measured (ImageProcessing
 * left it as it is, or corrected it without the fused pass): the caller then
 * calls UpdateAverage. Inline, so that a kernel stack carries no frame for
 * it. */
inline bool CorrectAndMeasure(CWhiteBalanceCtrl* pWb, CAveragePixelValue* pStats, DWORD dwWidth,
                              DWORD dwHeight, WORD wColorArray, PBYTE pbyteRaw) {
    if (!IsBayerCode(wColorArray) || pWb->m_byteMode == QUORVIN_WB_OFF || (dwWidth >> 1) == 0 ||
        (dwHeight >> 1) == 0)
        return false; /* ImageProcessing leaves the frame as it is */
    RefreshGeometry(pStats, dwWidth, dwHeight, wColorArray);
    const DWORD y = CorrectAndMeasureBands(pWb, pStats, dwWidth, dwHeight, wColorArray, pbyteRaw);
    if (y == kAllRows)
        return true;
    /* the two passes, the correction from where the fused pass stopped */
    CorrectInPlaceFrom(pWb, dwWidth, dwHeight, wColorArray, pbyteRaw, y);
    return false;
}

} // namespace quorvin_pixel

#endif /* QUORVIN_AWB_PIXELKERNELS_H */
