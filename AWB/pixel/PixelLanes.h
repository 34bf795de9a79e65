/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * Internal to the pixel code (PixelWord.cpp, PixelVector.cpp): the word
 * statistics' loops, as templates over the unit they work in (a machine
 * word), the prefetch distance, the means and the table walk the vector
 * variants fall back to. Everything here is inlined into the function that
 * uses it.
 */
#ifndef QUORVIN_AWB_PIXELLANES_H
#define QUORVIN_AWB_PIXELLANES_H

#include "../win.h"
#include "PixelKernels.h"

namespace quorvin_pixel {
namespace lanes {

#define QUORVIN_PIXEL_INLINE __attribute__((always_inline)) inline

/*
 * Row-segment sums: the whole per-pixel cost of a measurement lies here.
 *
 * Bytes are summed by the parity of their address, not of their column: the
 * body of a segment is read in aligned machine words, whose even bytes always sit at even
 * addresses. All rows of one parity start at addresses of one parity, so address parity is turned
 * into column parity once per call. Sums are modulo 2^32, as the plain pair loop's are. (The vector
 * statistics cut rows instead, in PixelVector.cpp, reading from each row's first byte and summing
 * by column parity.)
 */
using AddrSums = ParitySums; /* here: dwEven the bytes at even addresses */

using Word = __UINTPTR_TYPE__; /* the machine word: 8 bytes on x86-64, 4 on i386 */
constexpr DWORD kWordBytes = sizeof(Word);
/* 0x00FF00FF...: the even bytes of a word, each in a 16-bit lane */
constexpr Word kEvenBytes = static_cast<Word>(~Word{0}) / 0xFFFFu * 0xFFu;
/* 0x0000FFFF...: the even 16-bit lanes of a word */
constexpr Word kEvenLanes = static_cast<Word>(~Word{0}) / 0xFFFFFFFFu * 0xFFFFu;

inline Word AddressOf(const BYTE* p) {
    return reinterpret_cast<Word>(p);
}

/* Bytes one by one: the short heads and tails around the aligned body. */
QUORVIN_PIXEL_INLINE void SumBytes(const BYTE* p, DWORD n, AddrSums& s) {
    DWORD dwFirst = 0;
    DWORD dwSecond = 0;
    DWORD i = 0;
    for (; i + 1 < n; i += 2) {
        dwFirst += p[i];
        dwSecond += p[i + 1];
    }
    if (i < n)
        dwFirst += p[i];
    if (AddressOf(p) & 1) {
        s.dwEven += dwSecond;
        s.dwOdd += dwFirst;
    } else {
        s.dwEven += dwFirst;
        s.dwOdd += dwSecond;
    }
}

/*
 * Lane accumulators. Every aligned unit w (a machine word) of a body is
 * added whole into vAll, and its odd bytes, isolated into 16-bit lanes, into
 * vOdd. While at most kRunUnits units have been added, no lane of vOdd, nor
 * of the even bytes' lanes, can pass 256 * 255 < 65536, and the even bytes'
 * lanes are exactly vAll - (vOdd << 8): the odd bytes' share of vAll is vOdd
 * shifted up a byte, and what either loses above the top bit is the same. A
 * fold adds the lanes into the two sums and empties the accumulator.
 *
 * An accumulator lives as long as an area row, one per area column and row
 * parity, so a fold costs once per 256 units rather than once per segment.
 * It keeps no count of its own: its owner folds it after as many rows as
 * leave room for one more (RowsPerFold in
 * PixelWord.cpp), which keeps the kernel's deepest stack frame small.
 */
constexpr DWORD kRunUnits = 256;

template <class L> struct Lanes {
    typename L::V vAll;
    typename L::V vOdd;
};

/* Machine words in general registers, the kernel's variant; vAll is a single
 * integer, modulo the word size. */
struct WordLanes {
    using V = Word;
    static constexpr DWORD kBytes = kWordBytes;
    static QUORVIN_PIXEL_INLINE V Load(const BYTE* p) {
        V v;
        __builtin_memcpy(&v, p, kBytes);
        return v;
    }
    static QUORVIN_PIXEL_INLINE V Odd(V w) { return (w >> 8) & kEvenBytes; }
    /* The same from a load one byte further on (whose last byte, the next
     * unit's first, is masked away): a load in place of the shift leaves
     * three arithmetic operations a word (add, and, add), and the word loop
     * is bound by arithmetic, not by loads. */
    static QUORVIN_PIXEL_INLINE V OddAhead(const BYTE* p) { return Load(p + 1) & kEvenBytes; }
    /* The 16-bit lanes of w, added up. */
    static QUORVIN_PIXEL_INLINE DWORD SumLanes(V w) {
        w = (w & kEvenLanes) + ((w >> 16) & kEvenLanes); /* 32-bit lanes, each < 2^17 */
        DWORD dwSum = 0;
        for (DWORD k = 0; k < kBytes; k += 4)
            dwSum += static_cast<DWORD>((w >> (8 * k)) & 0xFFFFFFFFu);
        return dwSum;
    }
    static QUORVIN_PIXEL_INLINE void SumEdge(const BYTE* p, DWORD n, AddrSums& s) {
        SumBytes(p, n, s);
    }
};

template <class L> QUORVIN_PIXEL_INLINE void Fold(Lanes<L>& acc, AddrSums& s) {
    using V = typename L::V;
    const V vEven = acc.vAll - (acc.vOdd << 8);
    s.dwEven += L::SumLanes(vEven);
    s.dwOdd += L::SumLanes(acc.vOdd);
    acc.vAll = V{};
    acc.vOdd = V{};
}

/* dwUnits aligned units from p into the accumulator, which has room for them,
 * with two independent pairs of running sums. */
template <class L> struct UnitAdder {
    using V = typename L::V;
    V vAll0, vOdd0, vAll1, vOdd1;

    /* Units one at a time. */
    QUORVIN_PIXEL_INLINE void AddSingles(const BYTE* p, DWORD dwUnits) {
        for (; dwUnits > 0; --dwUnits) {
            const V w0 = L::Load(p);
            vAll0 += w0;
            vOdd0 += L::Odd(w0);
            p += L::kBytes;
        }
    }

    /* 2 * kPairs units, all but the last taking their odd bytes from
     * OddAhead; the last is the last unit of a cache line, whose own bytes
     * are used, so that no load reaches past the line (into one that may not
     * have arrived yet, or past the buffer). */
    template <DWORD kPairs> QUORVIN_PIXEL_INLINE void AddPairs(const BYTE* p) {
#pragma GCC unroll 8
        for (DWORD j = 0; j < kPairs; ++j) {
            const BYTE* const p0 = p + 2 * j * L::kBytes;
            const BYTE* const p1 = p0 + L::kBytes;
            const V w0 = L::Load(p0);
            const V w1 = L::Load(p1);
            vAll0 += w0;
            vAll1 += w1;
            vOdd0 += L::OddAhead(p0);
            vOdd1 += j + 1 < kPairs ? L::OddAhead(p1) : L::Odd(w1);
        }
    }
};

constexpr DWORD kLineBytes = 64;

/*
 * How far ahead of the loads the pixel loops ask for frame bytes. A frame is
 * read once, front to back, mostly from memory; the processor's own
 * prefetchers keep too few lines in flight for a loop that does little work
 * a byte (the statistics add three operations a word). 1 KiB is 16 cache
 * lines, about 120 ns of reading at 8.5 GB/s, the latency of one miss to
 * memory: asked for that far ahead, a line is there when the loop comes to
 * it. Measured at 1920x1080 out of cache (kernel build), the word statistics
 * went from 0.8 to 1.0-1.1 of the 64-bit read and the AVX2 statistics from
 * 0.7 to 0.8-0.9 of the best vector read; 256 and 512 bytes gained less, 2
 * KiB no more. A prefetch never faults, so it may look past the frame's end.
 */
constexpr DWORD kPrefetchBytes = 1024;

/* The address is computed as an integer: near the frame's end it lies past
 * the frame, where pointer arithmetic would be undefined. */
QUORVIN_PIXEL_INLINE void PrefetchAhead(const BYTE* p) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): only a hint, never dereferenced
    __builtin_prefetch(reinterpret_cast<const void*>(AddressOf(p) + kPrefetchBytes));
}

template <class L> QUORVIN_PIXEL_INLINE void AddUnits(const BYTE* p, DWORD dwUnits, Lanes<L>& acc) {
    using V = typename L::V;
    constexpr DWORD kB = L::kBytes;
    UnitAdder<L> add{acc.vAll, acc.vOdd, V{}, V{}};
    /* Whole cache lines, each in one step; the units before the first and
     * after the last whole line one at a time. */
    constexpr DWORD kLineUnits = kLineBytes / kB;
    DWORD dwLead =
        static_cast<DWORD>((kLineBytes - (AddressOf(p) & (kLineBytes - 1))) & (kLineBytes - 1)) /
        kB;
    if (dwLead > dwUnits)
        dwLead = dwUnits;
    add.AddSingles(p, dwLead);
    p += dwLead * kB;
    dwUnits -= dwLead;
    for (DWORD k = dwUnits / kLineUnits; k > 0; --k) {
        PrefetchAhead(p);
        add.template AddPairs<kLineUnits / 2>(p);
        p += kLineBytes;
    }
    add.AddSingles(p, dwUnits % kLineUnits);
    acc.vAll = add.vAll0 + add.vAll1;
    acc.vOdd = add.vOdd0 + add.vOdd1;
}

/* Any segment: the bytes up to the first unit boundary and after the last go
 * to the sums directly, the aligned units to the accumulator. The
 * accumulator has room for the segment's units (its owner folds it in time),
 * unless they are more than kRunUnits: such a body is added in runs, each
 * folded into the same sums. */
template <class L>
QUORVIN_PIXEL_INLINE void SumSegment(const BYTE* p, DWORD n, Lanes<L>& acc, AddrSums& s) {
    constexpr DWORD kB = L::kBytes;
    DWORD dwHead = static_cast<DWORD>((kB - (AddressOf(p) & (kB - 1))) & (kB - 1));
    if (dwHead > n)
        dwHead = n;
    if (dwHead != 0) {
        L::SumEdge(p, dwHead, s);
        p += dwHead;
        n -= dwHead;
    }
    DWORD dwUnits = n / kB;
    if (dwUnits > kRunUnits) {
        Fold(acc, s);
        for (; dwUnits > kRunUnits; dwUnits -= kRunUnits) {
            AddUnits(p, kRunUnits, acc);
            Fold(acc, s);
            p += kRunUnits * kB;
        }
    }
    if (dwUnits != 0) {
        AddUnits(p, dwUnits, acc);
        p += dwUnits * kB;
    }
    if (n % kB != 0)
        L::SumEdge(p, n % kB, s);
}

/* One segment on its own, with an accumulator of its own. */
template <class L> QUORVIN_PIXEL_INLINE void SumLoneSegment(const BYTE* p, DWORD n, AddrSums& s) {
    Lanes<L> acc{};
    SumSegment(p, n, acc, s);
    Fold(acc, s);
}

inline BYTE MeanOrZero(DWORD dwSum, DWORD dwCount) {
    return dwCount == 0 ? BYTE{0} : static_cast<BYTE>(dwSum / dwCount);
}

/* The means of area a from its sums by colour position; a single-channel
 * frame keeps them all under position 0. */
QUORVIN_PIXEL_INLINE void StoreMeans(CAveragePixelValue* pStats, DWORD a, const DWORD pdwSum[4]) {
    if (pStats->m_wColorArray == QUORVIN_COLOR_ARRAY_SINGLE) {
        pStats->m_pbyteAverage[a][0] = MeanOrZero(pdwSum[0] + pdwSum[1] + pdwSum[2] + pdwSum[3],
                                                  pStats->m_pdwAreaPixelCount[a][0]);
    } else {
        for (DWORD p = 0; p < 4; ++p)
            pStats->m_pbyteAverage[a][p] = MeanOrZero(pdwSum[p], pStats->m_pdwAreaPixelCount[a][p]);
    }
}

/*
 * The table walk of one row: dwBytes (even) bytes, pair by pair, byte 2k
 * through t0 and byte 2k + 1 through t1; bytes outside kColumns are neither
 * read nor written. Each pair is read before it is written, so s may equal d.
 * Byte by byte is the fastest walk in general registers: assembling whole
 * words from looked-up bytes measured slower than the plain loop.
 */
template <DWORD kColumns>
QUORVIN_PIXEL_INLINE void WalkRow(const BYTE* s, PBYTE d, DWORD dwBytes, const BYTE* t0,
                                  const BYTE* t1) {
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

/* Row y of a correction through the tables, bytes dwFrom (even) to the end of
 * the row's pixel pairs, with the columns the job rewrites on that row. */
QUORVIN_PIXEL_INLINE void WalkRowOf(const FrameJob& job, DWORD y, DWORD dwFrom) {
    const DWORD dwBytes = job.dwWidth & ~DWORD{1};
    const DWORD k = 2 * (y & 1);
    const BYTE* t0 = job.ppbyteTable[k];
    const BYTE* t1 = job.ppbyteTable[k + 1];
    const __SIZE_TYPE__ dwOffset = static_cast<__SIZE_TYPE__>(y) * job.dwWidth + dwFrom;
    const BYTE* s = job.pbyteSrc + dwOffset;
    PBYTE d = job.pbyteDst + dwOffset;
    const DWORD dwColumns = (y & 1) ? job.dwOddRowColumns : job.dwEvenRowColumns;
    if (dwColumns == kEvenColumns)
        WalkRow<kEvenColumns>(s, d, dwBytes - dwFrom, t0, t1);
    else if (dwColumns == kOddColumns)
        WalkRow<kOddColumns>(s, d, dwBytes - dwFrom, t0, t1);
    else
        WalkRow<kBothColumns>(s, d, dwBytes - dwFrom, t0, t1);
}

} // namespace lanes
} // namespace quorvin_pixel

#endif /* QUORVIN_AWB_PIXELLANES_H */
