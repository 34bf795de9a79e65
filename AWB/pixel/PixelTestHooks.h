/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * For the tests, the benchmarks and the kernel's pixel self-test only: force
 * a variant of the statistics or of the correction, sum a lone row segment
 * through one, and count the vector sections. Never installed, and nothing
 * the module's interface reaches; the controllers always run the automatic
 * choice (kAuto) unless one of these changed it.
 */
#ifndef QUORVIN_AWB_PIXELTESTHOOKS_H
#define QUORVIN_AWB_PIXELTESTHOOKS_H

#include "../win.h"
#include "PixelKernels.h"
#include "PixelVariants.h"

namespace quorvin_pixel {

/* Sums of the bytes at even (dwSum0) and odd (dwSum1) offsets from a row
 * segment's first byte, modulo 2^32. */
struct PairSum {
    DWORD dwSum0;
    DWORD dwSum1;
};

/* Whether the variant can run on this build and processor (kAuto: always). */
bool SumPathAvailable(SumPath path);
/* Makes UpdateAverage use the variant (kAuto: the best available). Returns
 * false and changes nothing when it is not available. */
bool SelectSumPath(SumPath path);
/* The variant UpdateAverage uses now (never kAuto). */
SumPath ActiveSumPath();
/* One row segment of dwPixelCount bytes (any count, 0 included, any address)
 * summed by the given variant, which must be available; reads exactly those
 * bytes. Vector variants hand segments narrower than their cut of a row to the
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

/* How many chunks the vector variants have run in vector registers, and how
 * many they had to leave to the word variants (no vector registers to be
 * had), since the start. */
struct VectorUse {
    DWORD dwVectorChunks;
    DWORD dwWordChunks;
};
VectorUse VectorUseCounts();

} // namespace quorvin_pixel

#endif /* QUORVIN_AWB_PIXELTESTHOOKS_H */
