/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * Internal to the core: the per-pixel loops of the area statistics (row
 * segment sums) and of the frame correction (table walks), and the choice
 * between their variants. Not part of the module's interface; the tests and
 * the benchmarks include it to force each variant in turn.
 *
 * Every variant gives exactly the results of the plain loops: the same sums,
 * the same corrected bytes, the same untouched bytes.
 *
 * The kernel build has only the general-register variants (a machine word at a
 * time). The user-space build on x86 adds SIMD variants, written with the
 * compiler's vector extensions inside functions compiled for their own
 * instruction set, and picks the best one the processor has at first use.
 */
#ifndef QUORVIN_AWB_PIXELKERNELS_H
#define QUORVIN_AWB_PIXELKERNELS_H

#include "win.h"

/* QUORVIN_NO_SIMD builds a user-space core with the kernel's variants only
 * (the benchmarks measure the kernel's code that way). */
#if !defined(__KERNEL__) && !defined(QUORVIN_NO_SIMD) && (defined(__x86_64__) || defined(__i386__))
#define QUORVIN_PIXEL_SIMD 1
#else
#define QUORVIN_PIXEL_SIMD 0
#endif

namespace quorvin_pixel {

/* How a row segment is summed. kAuto is the best variant available. */
enum class SumPath : int {
    kAuto = 0,
    kWord = 1,   /* machine words in general registers: the kernel's variant */
    kSse2 = 2,   /* 16-byte vectors */
    kAvx2 = 3,   /* 32-byte vectors */
    kAvx512 = 4, /* 64-byte vectors (AVX-512 BW) */
};

/*
 * How a frame is corrected. kTableWalk looks every byte up in its table; it
 * is the kernel's variant and the fallback of the
 * others. The rule variants compute each colour's table arithmetically,
 * entry = index < threshold ? (index * gain) >> 7 : 255, and are used for a
 * frame only when each of its tables is exactly reproduced by its gain and one
 * of the two thresholds the module builds tables with (floor or ceiling of
 * 32640 / gain, at most 256); otherwise the table walk runs.
 */
enum class MapPath : int {
    kAuto = 0,
    kTableWalk = 1,
    kSse2Rule = 2,
    kAvx2Rule = 3,
    kAvx512Rule = 4,
};

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
 * bytes. */
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

} // namespace quorvin_pixel

#endif /* QUORVIN_AWB_PIXELKERNELS_H */
