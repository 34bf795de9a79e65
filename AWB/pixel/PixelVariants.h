/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * Internal to the pixel code: the names of the variants and the kernels of
 * each, as the dispatch table of PixelDispatch.cpp holds them.
 *
 * Statistics: SumRows* add rows y0 to y1 - 1, all of one area row, into the
 * area row's sums; false (and nothing done) when the variant cannot plan
 * rows of this geometry, whose frames then go to the word variant, which
 * measures whole frames (MeasureFrameWord).
 * Correction: CorrectRows* correct rows y0 to y1 - 1 (all below
 * 2 * (height / 2)); the rule variants only when every table of the job
 * follows its rule (pRule).
 */
#ifndef QUORVIN_AWB_PIXELVARIANTS_H
#define QUORVIN_AWB_PIXELVARIANTS_H

#include "../win.h"
#include "PixelKernels.h"

namespace quorvin_pixel {

/* How the area statistics are summed. kAuto is the best variant available. */
enum class SumPath : int {
    kAuto = 0,
    kWord = 1, /* machine words in general registers, whole frames */
    /* 32-byte vectors summed in runs of 16-bit lanes and folded into
     * accumulators that stay in registers (a kernel stack has no room for
     * lane accumulators in memory), the frame cut into chunks of 64 KiB,
     * each between quorvin_vector_begin() and quorvin_vector_end(). */
    kAvx2 = 2,
    /* arm64: 16-byte vectors summed in runs of 16-bit lanes, each row's
     * stretch of an area column folded into the sums at its end, in the
     * same chunks and sections as kAvx2. */
    kNeon = 3,
};

/*
 * How a frame is corrected. kTableWalk looks every byte up in its table; it
 * is the fallback of the others. The rule variants compute each colour's
 * table arithmetically, entry = index < threshold ? (index * gain) >> 7 : 255,
 * in 16-bit vector lanes, and are used for a frame only when each of its
 * tables is exactly reproduced by its gain and one of the two thresholds the
 * module builds tables with (floor or ceiling of 32640 / gain, at most 256);
 * otherwise the table walk runs.
 */
enum class MapPath : int {
    kAuto = 0,
    kTableWalk = 1,
    kAvx2Rule = 2,
    kAvx512Rule = 3,
    kNeonRule = 4, /* arm64, 16-byte vectors */
};

using SumRowsFn = bool (*)(const StatsJob& job, DWORD y0, DWORD y1, AreaRowSums& sums);
using CorrectRowsFn = void (*)(const FrameJob& job, DWORD y0, DWORD y1);
/* Adds the bright-byte counts of the rows y of [y0, y1) (all of one area
 * row) whose pair index (y / 2) & dwPairMask is 0 (CountClippedVector,
 * PixelKernels.h); false (and nothing added) when the variant cannot plan
 * rows of this geometry. */
using CountRowsFn = bool (*)(const StatsJob& job, DWORD y0, DWORD y1, DWORD dwPairMask,
                             BrightCounts& counts);

/* PixelWord.cpp: the word variant measures whole frames (MeasureFrameWord,
 * PixelKernels.h) */
void SumSegmentWord(const BYTE* p, DWORD n, ParitySums& s); /* by address parity */
void CorrectRowsWalk(const FrameJob& job, DWORD y0, DWORD y1);

#if QUORVIN_PIXEL_VECTORS
/* PixelVector.cpp, run between quorvin_vector_begin() and
 * quorvin_vector_end() */
bool SumRowsAvx2(const StatsJob& job, DWORD y0, DWORD y1, AreaRowSums& sums);
bool CountRowsAvx2(const StatsJob& job, DWORD y0, DWORD y1, DWORD dwPairMask, BrightCounts& counts);
void CorrectRowsAvx2Rule(const FrameJob& job, DWORD y0, DWORD y1);
void CorrectRowsAvx512Rule(const FrameJob& job, DWORD y0, DWORD y1);
#endif

#if QUORVIN_PIXEL_NEON
/* PixelNeon.cpp, run between quorvin_vector_begin() and
 * quorvin_vector_end() */
bool SumRowsNeon(const StatsJob& job, DWORD y0, DWORD y1, AreaRowSums& sums);
void CorrectRowsNeonRule(const FrameJob& job, DWORD y0, DWORD y1);
#endif

} // namespace quorvin_pixel

#endif /* QUORVIN_AWB_PIXELVARIANTS_H */
