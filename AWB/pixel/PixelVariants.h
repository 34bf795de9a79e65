/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * Internal to the pixel code: the kernels of every variant, as the dispatch
 * table of PixelDispatch.cpp holds them.
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

using SumRowsFn = bool (*)(const StatsJob& job, DWORD y0, DWORD y1, AreaRowSums& sums);
using CorrectRowsFn = void (*)(const FrameJob& job, DWORD y0, DWORD y1);

/* PixelWord.cpp: the word variant measures whole frames (MeasureFrameWord,
 * PixelKernels.h) */
void SumSegmentWord(const BYTE* p, DWORD n, ParitySums& s); /* by address parity */
void CorrectRowsWalk(const FrameJob& job, DWORD y0, DWORD y1);
void CorrectRowsWordRule(const FrameJob& job, DWORD y0, DWORD y1);

#if QUORVIN_PIXEL_VECTORS
/* PixelVector.cpp: the chunked variants (the kernel's), run between
 * quorvin_vector_begin() and quorvin_vector_end() */
bool SumRowsAvx2Chunked(const StatsJob& job, DWORD y0, DWORD y1, AreaRowSums& sums);
void CorrectRowsAvx2Rule(const FrameJob& job, DWORD y0, DWORD y1);
void CorrectRowsAvx512Rule(const FrameJob& job, DWORD y0, DWORD y1);
#if !QUORVIN_PIXEL_KERNEL_SET
/* user space only */
bool SumRowsSse2(const StatsJob& job, DWORD y0, DWORD y1, AreaRowSums& sums);
bool SumRowsAvx2(const StatsJob& job, DWORD y0, DWORD y1, AreaRowSums& sums);
bool SumRowsAvx512(const StatsJob& job, DWORD y0, DWORD y1, AreaRowSums& sums);
void CorrectRowsSse2Rule(const FrameJob& job, DWORD y0, DWORD y1);
#endif
#endif

} // namespace quorvin_pixel

#endif /* QUORVIN_AWB_PIXELVARIANTS_H */
