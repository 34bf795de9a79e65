// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The pixel kernels in vector registers (x86): the AVX2 statistics and the
 * AVX2 and AVX-512 correction, the same in both builds. In the kernel this
 * file is an object of its own, the only one allowed vector registers
 * (Kbuild, tests/kernel/guard/guard.sh); PixelDispatch.cpp runs its entry
 * points only between quorvin_vector_begin() and quorvin_vector_end(), chunk
 * by chunk, in user space as in the kernel.
 *
 * Nothing here is called outside those bounds: every function of this file
 * is an entry point of the dispatch table or is inlined into one.
 */
/* The lane functions are templates instantiated with vector types. Each is
 * always inlined into a function compiled for its vector's instruction set,
 * so no call ever passes a vector: the ABI notes GCC gives for such
 * signatures do not apply. */
#pragma GCC diagnostic ignored "-Wpsabi"

#include "PixelLanes.h"
#include "PixelVariants.h"

#if QUORVIN_PIXEL_VECTORS

namespace quorvin_pixel {

using namespace lanes;

namespace {

typedef unsigned short V16Hu __attribute__((vector_size(32)));
typedef unsigned short V32Hu __attribute__((vector_size(64)));

/*
 * The cut of every row into kB-byte vectors, made once per call: every row is
 * cut the same way. Vectors are loaded from each row's first byte on, so byte
 * j of a vector lies in a column of parity j & 1 on every row, whatever the
 * row's alignment. Each area column takes the whole vectors inside it; the
 * vector across a column boundary is split between the two by a byte mask. A
 * row that is not whole vectors ends with a vector reaching into the next
 * row, masked to the row's own bytes; the frame's last row takes those few
 * bytes one by one instead, so nothing past the frame is read. Every row
 * takes the same branches, so a row costs its sums and little else.
 *
 * MakeRowCuts is false when an area column is narrower than a vector (a
 * vector then crosses at most one boundary); such frames go to the word
 * variant. dwMost, dwFewest: the most and the fewest whole vectors of a
 * column.
 */
template <DWORD kB> struct RowCuts {
    DWORD pdwWhole[4]; /* whole vectors of each area column */
    DWORD pdwCut[3];   /* bytes of area column i in the vector across its end; 0: none */
    DWORD dwTail;      /* bytes of the row in its last, partial vector; 0: none */
    DWORD dwMost;
    DWORD dwFewest;
};

template <DWORD kB> QUORVIN_PIXEL_INLINE bool MakeRowCuts(const StatsJob& job, RowCuts<kB>& cuts) {
    DWORD dwX0 = 0;
    cuts.dwMost = 0;
    cuts.dwFewest = ~DWORD{0};
    for (DWORD i = 0; i < 4; ++i) {
        const DWORD dwX1 = job.pdwPosX[i];
        if (dwX1 - dwX0 < kB)
            return false;
        cuts.pdwWhole[i] = dwX1 / kB - (dwX0 + kB - 1) / kB;
        if (cuts.pdwWhole[i] > cuts.dwMost)
            cuts.dwMost = cuts.pdwWhole[i];
        if (cuts.pdwWhole[i] < cuts.dwFewest)
            cuts.dwFewest = cuts.pdwWhole[i];
        if (i < 3)
            cuts.pdwCut[i] = dwX1 % kB;
        dwX0 = dwX1;
    }
    cuts.dwTail = job.dwWidth % kB;
    return true;
}

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
        if ((i & (kLineBytes - 1)) == 0)
            PrefetchAhead(s + i);
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

/* Rows y0 to y1 - 1 of a correction whose tables all follow their rules. Every
 * row goes through one and the same loop, its rules chosen by its parity: the
 * processor's prefetchers follow a load by the instruction that issues it,
 * and a separate loop for even and for odd rows, each seeing every other row,
 * measured a third of the speed out of cache. The last pairs of a row,
 * shorter than a vector, are walked through the tables, with the green
 * shortcut's columns as the table walk has them. */
template <class VH> QUORVIN_PIXEL_INLINE void RuleRows(const FrameJob& job, DWORD y0, DWORD y1) {
    const DWORD dwBytes = job.dwWidth & ~DWORD{1};
    const __SIZE_TYPE__ dwStart = static_cast<__SIZE_TYPE__>(y0) * job.dwWidth;
    const BYTE* s = job.pbyteSrc + dwStart;
    PBYTE d = job.pbyteDst + dwStart;
    for (DWORD y = y0; y < y1; ++y) {
        const DWORD k = 2 * (y & 1);
        const DWORD i = RuleRow<VH>(s, d, dwBytes, job.pRule[k], job.pRule[k + 1]);
        if (i < dwBytes)
            WalkRowOf(job, y, i);
        s += job.dwWidth;
        d += job.dwWidth;
    }
}

/*
 * The statistics: rows cut as above, the sums of each area column kept in
 * one register: a vector of eight 32-bit lanes, lane 2k
 * the total T and lane 2k + 1 the odd bytes' sum O of the bytes at offsets
 * 8k to 8k + 7 of every vector added (even bytes: T - O). The lanes wrap
 * modulo 2^32 independently, as the sums they end in do. Eight accumulators
 * (four area columns, two row parities) stay in registers, so a call needs
 * no stack for them.
 *
 * A vector is added to its column's accumulator in one of two ways, one
 * for the whole frame (SadRows<kRuns>):
 * - by psadbw (SadPack): the sums of each 8-byte group's bytes and of its
 *   odd bytes (v shifted down a byte in 16-bit lanes), six instructions a
 *   vector;
 * - in runs (kRuns): a row's stretch of an area column is added first into
 *   two vectors of 16-bit lanes, vAll += v and vOdd += v >> 8 (three
 *   instructions a vector), folded into the column's accumulator at the
 *   stretch's end (FoldRun, about ten instructions). A lane of vOdd, and the
 *   even bytes' lane vAll - (vOdd << 8), hold at most 255 * n after n
 *   vectors, and the fold's pmaddwd takes them as signed, so a run takes at
 *   most 128 vectors (255 * 128 = 32640 < 32768): kRunMost whole vectors,
 *   one split vector carried in from the column before and one split or
 *   tail vector at the end.
 * Runs pay from kRunsFrom whole vectors in every area column on: measured
 * in cache (cycles a byte, the kernel's build), psadbw against runs, 0.095
 * and 0.098 at 640 bytes a row (5 vectors a column), 0.084 and 0.082 at 768
 * (6), 0.073 and 0.059 at 1920 (15). Frames with wider columns (over 4032
 * bytes, rows of 16 Ki and more) go by psadbw.
 */
typedef char V32Qi __attribute__((vector_size(32)));
typedef short V16Hi __attribute__((vector_size(32)));
typedef int V8Si __attribute__((vector_size(32)));
typedef unsigned int V8Su __attribute__((vector_size(32)));
typedef unsigned long long V4Du __attribute__((vector_size(32)));

constexpr DWORD kRunMost = 126;
constexpr DWORD kRunsFrom = 6;

/* The run of one area column's stretch of a row. */
struct SadRun {
    V16Hu vAll;
    V16Hu vOdd;
};

__attribute__((target("avx2"))) QUORVIN_PIXEL_INLINE void AddRun(SadRun& run, V16Hu v) {
    run.vAll += v;
    run.vOdd += v >> 8;
}

/* The run as an accumulator's lanes: pairs of 32-bit lanes of the even
 * bytes' and the odd bytes' sums by pmaddwd, then T and O of each 64-bit lane
 * by one shift and addition each, and the two interleaved. */
__attribute__((target("avx2"))) QUORVIN_PIXEL_INLINE V8Su FoldRun(const SadRun& run) {
    const V16Hi vOnes = V16Hi{} + 1;
    const V16Hu vEven = run.vAll - (run.vOdd << 8);
    const V8Si vOdd32 = __builtin_ia32_pmaddwd256(reinterpret_cast<V16Hi>(run.vOdd), vOnes);
    const V8Si vTotal32 = __builtin_ia32_pmaddwd256(reinterpret_cast<V16Hi>(vEven), vOnes) + vOdd32;
    const V4Du vT = reinterpret_cast<V4Du>(vTotal32);
    const V4Du vO = reinterpret_cast<V4Du>(vOdd32);
    return reinterpret_cast<V8Su>(__builtin_ia32_pblendd256(
        reinterpret_cast<V8Si>(vT + (vT >> 32)), reinterpret_cast<V8Si>(vO + (vO << 32)), 0xAA));
}

/* One vector's lanes directly, by psadbw, as 64-bit lanes T + (O << 32): the
 * sums of a few vectors added so carry nothing from T into O, and GCC then
 * adds their O before one shift (7 % faster in cache than a shift each). */
__attribute__((target("avx2"))) QUORVIN_PIXEL_INLINE V4Du SadPack(V16Hu v) {
    const V32Qi vZero = {};
    const V4Du vTotal =
        reinterpret_cast<V4Du>(__builtin_ia32_psadbw256(reinterpret_cast<V32Qi>(v), vZero));
    const V4Du vOdd = reinterpret_cast<V4Du>(
        __builtin_ia32_psadbw256(reinterpret_cast<V32Qi>(static_cast<V16Hu>(v >> 8)), vZero));
    return vTotal + (vOdd << 32);
}

__attribute__((target("avx2"))) QUORVIN_PIXEL_INLINE V8Su AsLanes(V4Du v) {
    return reinterpret_cast<V8Su>(v);
}

/* Lanes 2k (T) and 2k + 1 (O), into a column's sums: even columns T - O, odd
 * columns O, modulo 2^32. */
__attribute__((target("avx2"))) QUORVIN_PIXEL_INLINE void FoldSad(const V8Su& vAcc, ParitySums& s) {
    DWORD dwTotal = 0;
    DWORD dwOdd = 0;
    for (DWORD k = 0; k < 4; ++k) {
        dwTotal += vAcc[2 * k];
        dwOdd += vAcc[2 * k + 1];
    }
    s.dwEven += dwTotal - dwOdd;
    s.dwOdd += dwOdd;
}

/* (Everything the statistics' rows call is compiled for AVX2 itself: a call that
 * passes a 32-byte vector must be between functions of one instruction set.) */
__attribute__((target("avx2"))) QUORVIN_PIXEL_INLINE V16Hu FirstBytes32(DWORD n) {
    typedef unsigned char V32Bu __attribute__((vector_size(32)));
    /* Made where it is used: GCC would otherwise make the row tail's mask
     * once before the rows and, short of registers, keep it on the stack,
     * whose 32-byte slot realigns the frame (160 bytes of stack, not 128). */
    __asm__ volatile("" : "+r"(n));
    V32Bu vIndex;
    for (DWORD j = 0; j < 32; ++j)
        vIndex[j] = static_cast<unsigned char>(j);
    return reinterpret_cast<V16Hu>(vIndex < static_cast<unsigned char>(n));
}

__attribute__((target("avx2"))) QUORVIN_PIXEL_INLINE V16Hu LoadV(const BYTE* p) {
    V16Hu v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

/* Rows y0 to y1 - 1 into the four columns' sums, row by row: the
 * accumulators of the row's parity are a0 to a3, the other parity's b0 to
 * b3, and the two sets change places after every row, so that every row goes
 * through the same instructions. */
template <bool kRuns>
__attribute__((target("avx2"))) QUORVIN_PIXEL_INLINE void
SadRows(const StatsJob& job, const RowCuts<32>& plan, DWORD y0, DWORD y1, AreaRowSums& sums) {
    constexpr DWORD kB = 32;
    V8Su a0 = {};
    V8Su a1 = {};
    V8Su a2 = {};
    V8Su a3 = {};
    V8Su b0 = {};
    V8Su b1 = {};
    V8Su b2 = {};
    V8Su b3 = {};
    const BYTE* pbyteRow = job.pbyteRaw + static_cast<__SIZE_TYPE__>(y0) * job.dwWidth;
    for (DWORD y = y0; y < y1; ++y) {
        const BYTE* p = pbyteRow;
        /* The run of the current column, with the part of a split vector
         * carried to the next one (kRuns). */
        SadRun run = {};
        /* One copy of the column loop for all four columns: the processor's
         * prefetchers follow each load instruction, and four copies, each
         * seeing every fourth stretch of the frame, measured 20 % slower out
         * of cache. The accumulators turn round one place a column and are
         * back in their places after four. */
#pragma GCC unroll 1
        for (DWORD i = 0; i < 4; ++i) {
            V8Su vCur = a0;
            DWORD k = plan.pdwWhole[i];
            for (; k >= 2; k -= 2) {
                PrefetchAhead(p);
                if constexpr (kRuns) {
                    AddRun(run, LoadV(p));
                    AddRun(run, LoadV(p + kB));
                } else {
                    vCur += AsLanes(SadPack(LoadV(p)) + SadPack(LoadV(p + kB)));
                }
                p += 2 * kB;
            }
            if (k != 0) {
                if constexpr (kRuns)
                    AddRun(run, LoadV(p));
                else
                    vCur += AsLanes(SadPack(LoadV(p)));
                p += kB;
            }
            if (i < 3 && plan.pdwCut[i] != 0) {
                /* The split vector: its first bytes end this column, the
                 * others begin the next one. */
                const V16Hu v = LoadV(p);
                const V16Hu vCut = FirstBytes32(plan.pdwCut[i]);
                if constexpr (kRuns) {
                    AddRun(run, v & vCut);
                    vCur += FoldRun(run);
                    run = SadRun{v & ~vCut, static_cast<V16Hu>(v & ~vCut) >> 8};
                } else {
                    vCur += AsLanes(SadPack(v & vCut));
                    a1 += AsLanes(SadPack(v & ~vCut));
                }
                p += kB;
            } else {
                if (i == 3 && plan.dwTail != 0) {
                    if (y + 1 == job.dwHeight) {
                        /* The frame's last bytes, byte by byte: a vector load
                         * would read past the frame. p - row start is a
                         * multiple of kB, so byte j is in a column of j's
                         * parity. */
                        ParitySums& s = sums.pp[3][y & 1];
                        for (DWORD j = 0; j < plan.dwTail; ++j) {
                            if (j & 1)
                                s.dwOdd += p[j];
                            else
                                s.dwEven += p[j];
                        }
                    } else if constexpr (kRuns) {
                        AddRun(run, LoadV(p) & FirstBytes32(plan.dwTail));
                    } else {
                        vCur += AsLanes(SadPack(LoadV(p) & FirstBytes32(plan.dwTail)));
                    }
                }
                if constexpr (kRuns) {
                    vCur += FoldRun(run);
                    run = SadRun{};
                }
            }
            a0 = a1;
            a1 = a2;
            a2 = a3;
            a3 = vCur;
        }
        const V8Su t0 = a0;
        const V8Su t1 = a1;
        const V8Su t2 = a2;
        const V8Su t3 = a3;
        a0 = b0;
        a1 = b1;
        a2 = b2;
        a3 = b3;
        b0 = t0;
        b1 = t1;
        b2 = t2;
        b3 = t3;
        pbyteRow += job.dwWidth;
    }
    /* a: the parity of row y1, b: that of row y1 - 1 */
    const DWORD dwParityA = y1 & 1;
    FoldSad(a0, sums.pp[0][dwParityA]);
    FoldSad(a1, sums.pp[1][dwParityA]);
    FoldSad(a2, sums.pp[2][dwParityA]);
    FoldSad(a3, sums.pp[3][dwParityA]);
    FoldSad(b0, sums.pp[0][dwParityA ^ 1]);
    FoldSad(b1, sums.pp[1][dwParityA ^ 1]);
    FoldSad(b2, sums.pp[2][dwParityA ^ 1]);
    FoldSad(b3, sums.pp[3][dwParityA ^ 1]);
}

/*
 * The bright-byte count of the picture modes: per area column, the bytes at
 * 255, at 240 or more and at 192 or more, each compared in byte lanes and
 * added into byte lanes (a lane holds 255 at most: a stretch of at most
 * kBrightRunMost vectors is folded by psadbw). The vectors of a column are
 * loaded from its first byte on; its last bytes, fewer than a vector, by the
 * vector that ends at its end, the bytes it shares with the one before
 * masked away, so that nothing outside the column, and so nothing past the
 * frame, is read. Columns narrower than a vector go to the word count.
 */
typedef unsigned char V32Bu __attribute__((vector_size(32)));
typedef signed char V32Bs __attribute__((vector_size(32)));

constexpr DWORD kBrightRunMost = 254;

struct BrightLanes {
    V32Bu vClipped;
    V32Bu vHigh;
    V32Bu vBright;
};

/* Lanes of vKeep all ones count, the others not. */
__attribute__((target("avx2"))) QUORVIN_PIXEL_INLINE void AddBright(BrightLanes& l, V32Bu v,
                                                                    V32Bu vKeep) {
    l.vClipped -= reinterpret_cast<V32Bu>(v == 255) & vKeep;
    l.vHigh -= reinterpret_cast<V32Bu>(v >= 240) & vKeep;
    l.vBright -= reinterpret_cast<V32Bu>(v >= 192) & vKeep;
}

__attribute__((target("avx2"))) QUORVIN_PIXEL_INLINE V4Du SumByteLanes(V32Bu v) {
    return reinterpret_cast<V4Du>(__builtin_ia32_psadbw256(reinterpret_cast<V32Qi>(v), V32Qi{}));
}

__attribute__((target("avx2"))) QUORVIN_PIXEL_INLINE DWORD SumLanes64(V4Du v) {
    return static_cast<DWORD>(v[0] + v[1] + v[2] + v[3]);
}

/* All ones in the lanes from n on. */
__attribute__((target("avx2"))) QUORVIN_PIXEL_INLINE V32Bu LanesFrom(DWORD n) {
    __asm__ volatile("" : "+r"(n));
    V32Bu vIndex;
    for (DWORD j = 0; j < 32; ++j)
        vIndex[j] = static_cast<unsigned char>(j);
    return reinterpret_cast<V32Bu>(vIndex >= static_cast<unsigned char>(n));
}

__attribute__((target("avx2"))) QUORVIN_PIXEL_INLINE V32Bu LoadB(const BYTE* p) {
    V32Bu v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

/* The counted rows of [y0, y1); the prefetch asks for the next counted
 * row's lines, which lie far ahead of the hardware's own stream. */
__attribute__((target("avx2"))) QUORVIN_PIXEL_INLINE void
CountBrightRows(const StatsJob& job, DWORD y0, DWORD y1, DWORD dwPairMask, BrightCounts& counts) {
    constexpr DWORD kB = 32;
    const V32Bu vAll = V32Bu{} + 255;
    V4Du vHighSum = {};
    V4Du vBrightSum = {};
    const DWORD dwAhead = 2 * (dwPairMask + 1);
    for (DWORD y = y0; y < y1; ++y) {
        if (((y >> 1) & dwPairMask) != 0)
            continue;
        const BYTE* pbyteRow = job.pbyteRaw + static_cast<__SIZE_TYPE__>(y) * job.dwWidth;
        if (y + dwAhead < job.dwHeight) {
            const BYTE* pbyteAhead = pbyteRow + static_cast<__SIZE_TYPE__>(dwAhead) * job.dwWidth;
            for (DWORD x = 0; x < job.dwWidth; x += kLineBytes)
                __builtin_prefetch(pbyteAhead + x);
        }
        DWORD dwX0 = 0;
#pragma GCC unroll 1
        for (DWORD i = 0; i < 4; ++i) {
            const DWORD dwX1 = job.pdwPosX[i];
            const BYTE* p = pbyteRow + dwX0;
            DWORD k = (dwX1 - dwX0) / kB;
            const DWORD dwRest = (dwX1 - dwX0) % kB;
            DWORD dwClipped = 0;
            for (;;) {
                DWORD dwRun = k < kBrightRunMost ? k : kBrightRunMost;
                k -= dwRun;
                BrightLanes l = {V32Bu{}, V32Bu{}, V32Bu{}};
                for (; dwRun > 0; --dwRun, p += kB)
                    AddBright(l, LoadB(p), vAll);
                if (k == 0 && dwRest != 0)
                    AddBright(l, LoadB(pbyteRow + dwX1 - kB), LanesFrom(kB - dwRest));
                dwClipped += SumLanes64(SumByteLanes(l.vClipped));
                vHighSum += SumByteLanes(l.vHigh);
                vBrightSum += SumByteLanes(l.vBright);
                if (k == 0)
                    break;
            }
            counts.pdwClipped[i] += dwClipped;
            dwX0 = dwX1;
        }
    }
    counts.dwHigh += SumLanes64(vHighSum);
    counts.dwBright += SumLanes64(vBrightSum);
}

} // namespace

/* ---- Entry points --------------------------------------------------------- */

__attribute__((target("avx2"))) bool SumRowsAvx2(const StatsJob& job, DWORD y0, DWORD y1,
                                                 AreaRowSums& sums) {
    RowCuts<32> plan;
    if (!MakeRowCuts(job, plan))
        return false;
    if (plan.dwFewest >= kRunsFrom && plan.dwMost <= kRunMost)
        SadRows<true>(job, plan, y0, y1, sums);
    else
        SadRows<false>(job, plan, y0, y1, sums);
    return true;
}

__attribute__((target("avx2"))) bool CountRowsAvx2(const StatsJob& job, DWORD y0, DWORD y1,
                                                   DWORD dwPairMask, BrightCounts& counts) {
    DWORD dwX0 = 0;
    for (DWORD i = 0; i < 4; ++i) {
        if (job.pdwPosX[i] - dwX0 < 32)
            return false;
        dwX0 = job.pdwPosX[i];
    }
    CountBrightRows(job, y0, y1, dwPairMask, counts);
    return true;
}

__attribute__((target("avx2"))) void CorrectRowsAvx2Rule(const FrameJob& job, DWORD y0, DWORD y1) {
    RuleRows<V16Hu>(job, y0, y1);
}

__attribute__((target("avx512bw"))) void CorrectRowsAvx512Rule(const FrameJob& job, DWORD y0,
                                                               DWORD y1) {
    RuleRows<V32Hu>(job, y0, y1);
}

} // namespace quorvin_pixel

#endif /* QUORVIN_PIXEL_VECTORS */
