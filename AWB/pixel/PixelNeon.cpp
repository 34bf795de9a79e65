// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The pixel kernels in arm64's vector registers (Advanced SIMD, "NEON"): the
 * statistics and the rule correction, the same in both builds. Written with
 * the compiler's generic vectors of 16 bytes, which it maps onto the 128-bit
 * registers, so that no header is needed. In the kernel this file is an
 * object of its own, the only one compiled without -mgeneral-regs-only
 * (Kbuild, tests/kernel/guard/guard.sh); PixelDispatch.cpp runs its entry
 * points only between quorvin_vector_begin() and quorvin_vector_end(), chunk
 * by chunk, which the kernel maps onto kernel_neon_begin() and
 * kernel_neon_end().
 *
 * Nothing here is called outside those bounds: every function of this file
 * is an entry point of the dispatch table or is inlined into one.
 */
#include "PixelLanes.h"
#include "PixelVariants.h"

#if QUORVIN_PIXEL_NEON

namespace quorvin_pixel {

using namespace lanes;

namespace {

typedef unsigned char V16Bu __attribute__((vector_size(16)));
typedef unsigned short V8Hu __attribute__((vector_size(16)));
typedef short V8Hs __attribute__((vector_size(16)));
typedef unsigned int V4Su __attribute__((vector_size(16)));

constexpr DWORD kB = 16; /* bytes of a vector */

QUORVIN_PIXEL_INLINE V16Bu LoadV(const BYTE* p) {
    V16Bu v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

/* The bytes j of a vector with j >= n (n <= 16), the others 0: masks the
 * vector across a column boundary to the part of each column. */
QUORVIN_PIXEL_INLINE V16Bu FromByte(DWORD n) {
    const V16Bu vIndex = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    return reinterpret_cast<V16Bu>(vIndex >= static_cast<unsigned char>(n));
}

/*
 * The statistics. Every row is read in vectors from its first byte on, so
 * byte j of a vector lies in a column of parity j & 1, whatever the row's
 * alignment. A row's stretch of one area column is added into a run of two
 * vectors of 16-bit lanes, vAll += v and vOdd += v >> 8 (a lane: an even
 * byte low, an odd byte high). After n vectors a lane of vOdd, and the even
 * bytes' lane vAll - (vOdd << 8), hold at most 255 * n, exact while
 * n <= 257: a run is folded into the column's sums after kRunMost vectors
 * and at the stretch's end.
 *
 * The vector that holds a column's first byte, when that byte does not
 * start a vector, is added masked to the column's bytes (its first bytes
 * belong to the column before), and so is the vector that holds the
 * column's last bytes when it ends inside one. No vector is loaded past the
 * row's end: bytes there (a row that is not whole vectors, a column
 * narrower than a vector) are added one by one. So nothing outside the
 * frame's rows is ever read, and every geometry can be planned.
 */
constexpr DWORD kRunMost = 256;

struct Run {
    V8Hu vAll;
    V8Hu vOdd;
};

QUORVIN_PIXEL_INLINE void AddRun(Run& run, V16Bu v) {
    const V8Hu vPair = reinterpret_cast<V8Hu>(v);
    run.vAll += vPair;
    run.vOdd += vPair >> 8;
}

/* The 16-bit lanes of v added up: pairs into 32-bit lanes, then the four. */
QUORVIN_PIXEL_INLINE DWORD SumLanes(V8Hu v) {
    const V4Su w = reinterpret_cast<V4Su>(v);
    const V4Su vPairs = (w & 0xFFFFu) + (w >> 16);
    return vPairs[0] + vPairs[1] + vPairs[2] + vPairs[3];
}

QUORVIN_PIXEL_INLINE void FoldRun(Run& run, ParitySums& s) {
    const V8Hu vEven = run.vAll - (run.vOdd << 8);
    s.dwEven += SumLanes(vEven);
    s.dwOdd += SumLanes(run.vOdd);
    run = Run{};
}

/* Columns x0 to x1 - 1 of a row (its first byte at pbyteRow, dwWidth bytes)
 * one by one, by column parity. */
QUORVIN_PIXEL_INLINE void SumBytesOf(const BYTE* pbyteRow, DWORD x0, DWORD x1, ParitySums& s) {
    for (DWORD x = x0; x < x1; ++x) {
        if (x & 1)
            s.dwOdd += pbyteRow[x];
        else
            s.dwEven += pbyteRow[x];
    }
}

/* Columns x0 to x1 - 1 (x0 < x1 <= dwWidth) of one row into s. */
QUORVIN_PIXEL_INLINE void SumStretch(const BYTE* pbyteRow, DWORD dwWidth, DWORD x0, DWORD x1,
                                     ParitySums& s) {
    Run run = {};
    DWORD dwVectors = 0;
    DWORD x = x0;
    if (x0 % kB != 0) {
        const DWORD dwStart = x0 - x0 % kB;
        if (dwStart + kB > x1) {
            /* the stretch ends inside the vector it starts in */
            SumBytesOf(pbyteRow, x0, x1, s);
            return;
        }
        AddRun(run, LoadV(pbyteRow + dwStart) & FromByte(x0 % kB));
        dwVectors = 1;
        x = dwStart + kB;
    }
    for (; x + kB <= x1; x += kB) {
        if (x % kLineBytes == 0)
            PrefetchAhead(pbyteRow + x);
        AddRun(run, LoadV(pbyteRow + x));
        if (++dwVectors == kRunMost) {
            FoldRun(run, s);
            dwVectors = 0;
        }
    }
    if (x < x1) {
        if (x + kB <= dwWidth)
            AddRun(run, LoadV(pbyteRow + x) & ~FromByte(x1 - x));
        else
            SumBytesOf(pbyteRow, x, x1, s); /* the row's last bytes */
    }
    FoldRun(run, s);
}

/*
 * The rule (PixelVariants.h) in vectors of eight 16-bit lanes, one pixel
 * pair per lane: even bytes the low half, odd bytes the high half. Below
 * the threshold index * gain < 32640 holds for every table the module
 * builds, so the 16-bit product is exact; at and above it the lane is
 * forced to all ones, whose low byte is 255. Used only after FindRule has
 * seen the rule reproduce each table entry by entry.
 *
 * Returns how many bytes of the row (a multiple of the vector size) were
 * done; the caller walks the rest through the tables.
 */
QUORVIN_PIXEL_INLINE DWORD RuleRow(const BYTE* s, PBYTE d, DWORD dwBytes, const TableRule& rule0,
                                   const TableRule& rule1) {
    const V8Hu vGain0 = V8Hu{} + rule0.wGain;
    const V8Hu vGain1 = V8Hu{} + rule1.wGain;
    const V8Hs vLimit0 = V8Hs{} + static_cast<short>(rule0.wLimit);
    const V8Hs vLimit1 = V8Hs{} + static_cast<short>(rule1.wLimit);
    DWORD i = 0;
    for (; i + kB <= dwBytes; i += kB) {
        if ((i & (kLineBytes - 1)) == 0)
            PrefetchAhead(s + i);
        const V8Hu v = reinterpret_cast<V8Hu>(LoadV(s + i));
        const V8Hu x0 = v & 0xFF;
        const V8Hu x1 = v >> 8;
        const V8Hu y0 =
            ((x0 * vGain0) >> 7) | reinterpret_cast<V8Hu>(reinterpret_cast<V8Hs>(x0) > vLimit0);
        const V8Hu y1 =
            ((x1 * vGain1) >> 7) | reinterpret_cast<V8Hu>(reinterpret_cast<V8Hs>(x1) > vLimit1);
        const V8Hu vOut = (y0 & 0xFF) | (y1 << 8);
        __builtin_memcpy(d + i, &vOut, kB);
    }
    return i;
}

} // namespace

/* ---- Entry points --------------------------------------------------------- */

bool SumRowsNeon(const StatsJob& job, DWORD y0, DWORD y1, AreaRowSums& sums) {
    const BYTE* pbyteRow = job.pbyteRaw + static_cast<__SIZE_TYPE__>(y0) * job.dwWidth;
    for (DWORD y = y0; y < y1; ++y) {
        DWORD x0 = 0;
        for (DWORD i = 0; i < 4; ++i) {
            const DWORD x1 = job.pdwPosX[i];
            if (x0 < x1)
                SumStretch(pbyteRow, job.dwWidth, x0, x1, sums.pp[i][y & 1]);
            x0 = x1;
        }
        pbyteRow += job.dwWidth;
    }
    return true;
}

/* Rows y0 to y1 - 1 of a correction whose tables all follow their rules,
 * each row's rules chosen by its parity; the last pairs of a row, shorter
 * than a vector, are walked through the tables, with the green shortcut's
 * columns as the table walk has them. */
void CorrectRowsNeonRule(const FrameJob& job, DWORD y0, DWORD y1) {
    const DWORD dwBytes = job.dwWidth & ~DWORD{1};
    const __SIZE_TYPE__ dwStart = static_cast<__SIZE_TYPE__>(y0) * job.dwWidth;
    const BYTE* s = job.pbyteSrc + dwStart;
    PBYTE d = job.pbyteDst + dwStart;
    for (DWORD y = y0; y < y1; ++y) {
        const DWORD k = 2 * (y & 1);
        const DWORD i = RuleRow(s, d, dwBytes, job.pRule[k], job.pRule[k + 1]);
        if (i < dwBytes)
            WalkRowOf(job, y, i);
        s += job.dwWidth;
        d += job.dwWidth;
    }
}

} // namespace quorvin_pixel

#endif /* QUORVIN_PIXEL_NEON */
