/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * Internal to the core: the pixel passes of the area statistics (row sums by
 * area and colour position) and of the frame correction (tables, or the
 * arithmetic rule the tables follow), the fused pass of Quorvin_ImageBalance
 * (correct and measure in one pass over memory), and the choice between
 * their variants. Not part of the module's interface and not installed; the
 * controllers call the entry points at the end.
 *
 * Every variant gives exactly the results of the plain loops: the same sums,
 * the same corrected bytes, the same untouched bytes.
 *
 * Where the code lives:
 *   PixelLanes.h     the loops shared by the variants (templates);
 *   PixelWord.cpp    machine words in general registers;
 *   PixelVector.cpp  vector registers (x86-64 and, in user space, i386):
 *                    the AVX2 statistics and the AVX2 and AVX-512
 *                    correction, compiled in the kernel as an object of
 *                    their own and run only between quorvin_vector_begin()
 *                    and quorvin_vector_end() (AWB/platform.h);
 *   PixelNeon.cpp    arm64's vector registers: the statistics and the rule
 *                    correction, an object of its own in the kernel as
 *                    well, run in the same vector sections;
 *   PixelDispatch.cpp the processor-feature probe, the one table of variants,
 *                    the choice, and the passes that cut a frame into bands;
 *   PixelVariants.h  the variants' kernels and names, for the dispatcher;
 *   PixelTestHooks.h the selectors the tests, the benchmarks and the
 *                    kernel's pixel self-test force a variant with.
 *
 * Both builds have the same variants, so that the user-space library, the
 * virtual camera, the fuzzers and the sanitizer builds run the kernel's code.
 * Only where they come from differs:
 *   user space                x86 and arm64: word and vector variants;
 *   the kernel (__KERNEL__)   word variants, plus on x86-64 and arm64 the
 *                             vector variants when Kbuild defines
 *                             QUORVIN_KERNEL_VECTORS;
 *   QUORVIN_NO_SIMD           word variants only.
 * QUORVIN_PIXEL_VECTORS stands for x86's vector variants,
 * QUORVIN_PIXEL_NEON for arm64's.
 */
#ifndef QUORVIN_AWB_PIXELKERNELS_H
#define QUORVIN_AWB_PIXELKERNELS_H

#include "../AveragePixelValue.h"
#include "../PictureCtrl.h"
#include "../WhiteBalanceCtrl.h"
#include "../win.h"

#if defined(__KERNEL__)
/* The kernel build: Kbuild defines QUORVIN_KERNEL_VECTORS on x86-64 and arm64. */
#if defined(QUORVIN_KERNEL_VECTORS) && defined(__x86_64__) && !defined(QUORVIN_NO_SIMD)
#define QUORVIN_PIXEL_VECTORS 1
#else
#define QUORVIN_PIXEL_VECTORS 0
#endif
#elif (defined(__x86_64__) || defined(__i386__)) && !defined(QUORVIN_NO_SIMD)
#define QUORVIN_PIXEL_VECTORS 1
#else
#define QUORVIN_PIXEL_VECTORS 0
#endif

#if defined(__aarch64__) && !defined(QUORVIN_NO_SIMD) &&                                           \
    (!defined(__KERNEL__) || defined(QUORVIN_KERNEL_VECTORS))
#define QUORVIN_PIXEL_NEON 1
#else
#define QUORVIN_PIXEL_NEON 0
#endif

namespace quorvin_pixel {

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

/* Bright bytes of some rows of one area row, as a vector variant's count
 * adds them up (CountRowsFn, PixelVariants.h): the bytes at 255 per area
 * column, and those at 240 or more and at 192 or more of all columns, each
 * modulo 2^32. */
struct BrightCounts {
    DWORD pdwClipped[4];
    DWORD dwHigh;
    DWORD dwBright;
};
/* The count of CountClippedPixels (PictureCtrl.h), the norms left at 0, by
 * the selected vector variant, chunk by chunk in vector sections. False,
 * with pCount left partly written, when the word variant is selected or has
 * to take the frame (no vector registers, an area column narrower than a
 * vector, an empty frame): the caller then counts in general registers
 * (CountClippedPixels), which starts afresh. */
bool CountClippedByVariant(const CAveragePixelValue* pStats, DWORD dwWidth, DWORD dwHeight,
                           const BYTE* pbyteRaw, QuorvinClipCount* pCount);
/* Inline, so that a build without vector variants (the kernel's on i386)
 * carries nothing of it on the stack. */
inline bool CountClippedVector(const CAveragePixelValue* pStats, DWORD dwWidth, DWORD dwHeight,
                               const BYTE* pbyteRaw, QuorvinClipCount* pCount) {
#if QUORVIN_PIXEL_VECTORS
    return CountClippedByVariant(pStats, dwWidth, dwHeight, pbyteRaw, pCount);
#else
    (void)pStats;
    (void)dwWidth;
    (void)dwHeight;
    (void)pbyteRaw;
    (void)pCount;
    return false;
#endif
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
