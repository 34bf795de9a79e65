// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * Area statistics: per-area, per-colour-position means of a raw frame, and
 * the weighted colour averages and brightness derived from them.
 *
 * The geometry (area boundaries and pixel counts) is computed only when the
 * frame size or the colour array code changes; a measurement is then one pass
 * over the frame, a machine word (or a vector) at a time with no per-pixel
 * colour test, followed by one division per area and colour position.
 */
#include "AveragePixelValue.h"
#include "PixelKernels.h"

/* The lane functions below are templates that the SIMD variants instantiate
 * with vector types. Each is always inlined into a function compiled for its
 * vector's instruction set, so no call ever passes a vector: the ABI notes GCC
 * gives for such signatures (at the end of the file) do not apply. */
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

/* Split lines are kept in ten-thousandths of the frame width or height. */
constexpr DWORD kSplitScale = 10000;

/* Brightness weights of red, green and blue, in ten-thousandths. */
constexpr DWORD kLumaWeightR = 2989;
constexpr DWORD kLumaWeightG = 5866;
constexpr DWORD kLumaWeightB = 1145;
constexpr DWORD kLumaScale = 10000;
static_assert(kLumaWeightR + kLumaWeightG + kLumaWeightB == kLumaScale, "weights must add up to 1");

constexpr WORD kSingleChannel = 1;

/* The record is part of the balance object's fixed layout; no pointers, so
 * the same size on 32-bit and 64-bit hosts. */
static_assert(sizeof(CAveragePixelValue) == 380, "CAveragePixelValue layout changed");

BOOL mbInitValue(CAveragePixelValue* _this) {
    for (int i = 0; i < 3; ++i) {
        const WORD wSplit = static_cast<WORD>(2500 * (i + 1));
        _this->m_pwSepalatePosX[i] = wSplit;
        _this->m_pwSepalatePosY[i] = wSplit;
    }
    _this->m_bAreaChangeFg = TRUE;
    _this->m_wColorArray = 0;
    _this->m_dwImageWidth = 0;
    _this->m_dwImageHeight = 0;
    return TRUE;
}

/*
 * floor(wSplit * dwSize / 10000), limited to dwSize. The product is split at
 * the scale (dwSize = q * 10000 + r) so that it is exact for every 32-bit size
 * without a 64-bit division: wSplit * r stays below 2^32, and wSplit * q is
 * formed in 64 bits (a multiplication, which 32-bit kernels have).
 */
DWORD SplitLinePos(WORD wSplit, DWORD dwSize) {
    const DWORD dwWhole = dwSize / kSplitScale;
    const DWORD dwPart = dwSize % kSplitScale;
    const DDWORD ddwPos = static_cast<DDWORD>(wSplit) * dwWhole + (wSplit * dwPart) / kSplitScale;
    return ddwPos > dwSize ? dwSize : static_cast<DWORD>(ddwPos);
}

/* Exclusive end of each of the four area columns (or rows) of a dimension. */
void ComputeBoundaries(const WORD pwSplit[3], DWORD dwSize, DWORD pdwPos[4]) {
    for (int i = 0; i < 3; ++i)
        pdwPos[i] = SplitLinePos(pwSplit[i], dwSize);
    pdwPos[3] = dwSize;
    if (pdwPos[0] > pdwPos[1])
        pdwPos[1] = pdwPos[0];
    if (pdwPos[1] > pdwPos[2])
        pdwPos[2] = pdwPos[1];
}

/*
 * Pixels of each colour position in the area of columns x0..x1-1 and rows
 * y0..y1-1, in closed form: of w columns, (w + 1) / 2 share the parity of x0
 * and w / 2 have the other one; rows likewise.
 */
void BayerAreaCounts(DWORD dwX0, DWORD dwX1, DWORD dwY0, DWORD dwY1, DWORD pdwCount[4]) {
    const DWORD dwW = dwX1 - dwX0;
    const DWORD dwH = dwY1 - dwY0;
    const DWORD dwWSame = (dwW + 1) / 2;
    const DWORD dwWOther = dwW / 2;
    const DWORD dwHSame = (dwH + 1) / 2;
    const DWORD dwHOther = dwH / 2;
    for (DWORD dwPos = 0; dwPos < 4; ++dwPos) {
        const DWORD dwRows = ((dwPos >> 1) == (dwY0 & 1)) ? dwHSame : dwHOther;
        const DWORD dwCols = ((dwPos & 1) == (dwX0 & 1)) ? dwWSame : dwWOther;
        pdwCount[dwPos] = dwRows * dwCols;
    }
}

/*
 * Row-segment sums: the whole per-pixel cost of a measurement lies here.
 *
 * Bytes are summed by the parity of their address, not of their column: the
 * body of a segment is read in aligned machine words (or aligned vectors),
 * whose even bytes always sit at even addresses. All rows of one parity start
 * at addresses of one parity, so address parity is turned into column parity
 * once per area row. Sums are modulo 2^32, as the plain pair loop's are.
 * (Vector frames whose areas are wide enough take a row plan instead, further
 * down, which reads from each row's first byte and sums by column parity.)
 */
struct AddrSums {
    DWORD dwEven; /* bytes at even addresses */
    DWORD dwOdd;  /* bytes at odd addresses */
};

#define QUORVIN_PIXEL_INLINE __attribute__((always_inline)) inline

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
 * Lane accumulators. Every aligned unit w (a word or a vector) of a body is
 * added whole into vAll, and its odd bytes, isolated into 16-bit lanes, into
 * vOdd. While at most kRunUnits units have been added, no lane of vOdd, nor
 * of the even bytes' lanes, can pass 256 * 255 < 65536, and the even bytes'
 * lanes are exactly vAll - (vOdd << 8): the odd bytes' share of vAll is vOdd
 * shifted up a byte, and what either loses above the top bit is the same. A
 * fold adds the lanes into the two sums and empties the accumulator.
 *
 * An accumulator lives as long as an area row, one per area column and row
 * parity, so a fold costs once per 256 units rather than once per segment.
 */
constexpr DWORD kRunUnits = 256;

template <class L> struct Lanes {
    typename L::V vAll;
    typename L::V vOdd;
    DWORD dwUnits; /* units added since the last fold */
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
    static constexpr bool kLoadAhead = true;
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
    acc.dwUnits = 0;
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

    /* 2 * kPairs units. With bAhead, all but the last take their odd bytes
     * from OddAhead; the last is the last unit of a cache line, whose own
     * bytes are used, so that no load reaches past the line (into one that
     * may not have arrived yet, or past the buffer). */
    template <DWORD kPairs, bool bAhead> QUORVIN_PIXEL_INLINE void AddPairs(const BYTE* p) {
#pragma GCC unroll 8
        for (DWORD j = 0; j < kPairs; ++j) {
            const BYTE* const p0 = p + 2 * j * L::kBytes;
            const BYTE* const p1 = p0 + L::kBytes;
            const V w0 = L::Load(p0);
            const V w1 = L::Load(p1);
            vAll0 += w0;
            vAll1 += w1;
            if constexpr (bAhead) {
                vOdd0 += L::OddAhead(p0);
                vOdd1 += j + 1 < kPairs ? L::OddAhead(p1) : L::Odd(w1);
            } else {
                vOdd0 += L::Odd(w0);
                vOdd1 += L::Odd(w1);
            }
        }
    }
};

constexpr DWORD kLineBytes = 64;

template <class L> QUORVIN_PIXEL_INLINE void AddUnits(const BYTE* p, DWORD dwUnits, Lanes<L>& acc) {
    using V = typename L::V;
    constexpr DWORD kB = L::kBytes;
    acc.dwUnits += dwUnits;
    UnitAdder<L> add{acc.vAll, acc.vOdd, V{}, V{}};
    if constexpr (L::kLoadAhead) {
        /* Whole cache lines, each in one step; the units before the first
         * and after the last whole line one at a time. */
        constexpr DWORD kLineUnits = kLineBytes / kB;
        DWORD dwLead = static_cast<DWORD>((kLineBytes - (AddressOf(p) & (kLineBytes - 1))) &
                                          (kLineBytes - 1)) /
                       kB;
        if (dwLead > dwUnits)
            dwLead = dwUnits;
        add.AddSingles(p, dwLead);
        p += dwLead * kB;
        dwUnits -= dwLead;
        for (DWORD k = dwUnits / kLineUnits; k > 0; --k) {
            add.template AddPairs<kLineUnits / 2, true>(p);
            p += kLineBytes;
        }
        add.AddSingles(p, dwUnits % kLineUnits);
    } else {
        /* Eight units a step, every step through the same instructions: the
         * processor's prefetchers follow a load by the instruction that
         * issues it, and units left to other code (steps of four, two, one)
         * leave gaps in what each load sees, which measured up to a third
         * slower out of cache. A body that is not whole steps ends with a
         * step that overlaps the one before it; the units counted twice are
         * taken off again, exact in the lanes' sums modulo 2^16. */
        if (dwUnits < 8) {
            add.AddSingles(p, dwUnits);
        } else {
            const BYTE* const pbyteLast = p + (dwUnits - 8) * kB;
            const DWORD dwSteps = (dwUnits + 7) / 8;
            for (DWORD k = dwSteps; k > 0; --k) {
                add.template AddPairs<4, false>(k > 1 ? p : pbyteLast);
                p += 8 * kB;
            }
            UnitAdder<L> twice{V{}, V{}, V{}, V{}};
            twice.AddSingles(pbyteLast, 8 * dwSteps - dwUnits);
            add.vAll0 -= twice.vAll0;
            add.vOdd0 -= twice.vOdd0;
        }
    }
    acc.vAll = add.vAll0 + add.vAll1;
    acc.vOdd = add.vOdd0 + add.vOdd1;
}

/* Any segment: the bytes up to the first unit boundary and after the last go
 * to the sums directly, the aligned units to the accumulator, which is folded
 * into the same sums whenever it is full. */
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
    if (acc.dwUnits + dwUnits > kRunUnits) {
        /* no room: fold first, and fold in runs a body too long for one */
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

#if QUORVIN_PIXEL_SIMD
/* Vectors of 32-bit lanes, by vector size in bytes. */
template <DWORD kSize> struct WideLanes;
template <> struct WideLanes<16> { typedef unsigned int Type __attribute__((vector_size(16))); };
template <> struct WideLanes<32> { typedef unsigned int Type __attribute__((vector_size(32))); };
template <> struct WideLanes<64> { typedef unsigned int Type __attribute__((vector_size(64))); };

/* Vectors of bytes, by vector size in bytes. */
template <DWORD kSize> struct ByteLanes;
template <> struct ByteLanes<16> { typedef unsigned char Type __attribute__((vector_size(16))); };
template <> struct ByteLanes<32> { typedef unsigned char Type __attribute__((vector_size(32))); };
template <> struct ByteLanes<64> { typedef unsigned char Type __attribute__((vector_size(64))); };

/*
 * Vectors of 16-bit lanes (VH): the odd bytes are each lane's high half
 * shifted down, and vAll is added lane by lane, modulo 2^16, which gives the
 * even bytes' lanes by the same subtraction. Edges shorter than a vector go
 * through the word loop. VH is only ever used inside functions compiled for
 * its instruction set (below), into which all of this is inlined.
 */
template <class VH> struct VectorLanes {
    using V = VH;
    static constexpr DWORD kBytes = sizeof(VH);
    static QUORVIN_PIXEL_INLINE V Load(const BYTE* p) {
        V v;
        __builtin_memcpy(&v, p, kBytes);
        /* Held in a register: otherwise GCC folds the load into the
         * addition and loads the same vector again for the shift, two loads
         * a vector (measured 8 % slower in cache). Clang keeps one load, and
         * refuses wide vectors in this constraint outside a function compiled
         * for their instruction set. */
#ifndef __clang__
        __asm__("" : "+x"(v));
#endif
        return v;
    }
    static QUORVIN_PIXEL_INLINE V Odd(V v) {
        return v >> 8;
    }
    static constexpr bool kLoadAhead = false;
    static QUORVIN_PIXEL_INLINE DWORD SumLanes(V v) {
        using VW = typename WideLanes<kBytes>::Type;
        VW vw = reinterpret_cast<VW>(v);
        vw = (vw & 0xFFFF) + (vw >> 16);
        DWORD dwSum = 0;
        for (DWORD k = 0; k < kBytes / 4; ++k)
            dwSum += vw[k];
        return dwSum;
    }
    static QUORVIN_PIXEL_INLINE void SumEdge(const BYTE* p, DWORD n, AddrSums& s) {
        SumLoneSegment<WordLanes>(p, n, s);
    }
};

typedef unsigned short V8Hu __attribute__((vector_size(16)));
typedef unsigned short V16Hu __attribute__((vector_size(32)));
typedef unsigned short V32Hu __attribute__((vector_size(64)));
#endif

inline BYTE MeanOrZero(DWORD dwSum, DWORD dwCount) {
    return dwCount == 0 ? BYTE{0} : static_cast<BYTE>(dwSum / dwCount);
}

/* Means of area a from its sums by colour position. */
inline void StoreMeans(CAveragePixelValue* _this, DWORD a, const DWORD pdwSum[4]) {
    if (_this->m_wColorArray == kSingleChannel) {
        _this->m_pbyteAverage[a][0] = MeanOrZero(pdwSum[0] + pdwSum[1] + pdwSum[2] + pdwSum[3],
                                                 _this->m_pdwAreaPixelCount[a][0]);
    } else {
        for (DWORD p = 0; p < 4; ++p)
            _this->m_pbyteAverage[a][p] = MeanOrZero(pdwSum[p], _this->m_pdwAreaPixelCount[a][p]);
    }
}

/*
 * A whole frame, area row by area row. Each area row keeps one accumulator
 * and one pair of sums per area column and row parity; at its end the
 * address-parity sums become colour-position sums and then means.
 */
template <class L>
QUORVIN_PIXEL_INLINE void MeasureFrame(CAveragePixelValue* _this, DWORD dwWidth,
                                       const BYTE* pbyteRaw) {
    const BYTE* pbyteRow = pbyteRaw;
    DWORD dwY = 0;
    for (DWORD r = 0; r < 4; ++r) {
        AddrSums ppSums[4][2] = {};
        Lanes<L> ppAcc[4][2] = {};
        for (; dwY < _this->m_pdwImagePosY[r]; ++dwY) {
            const DWORD dwParity = dwY & 1;
            DWORD dwX0 = 0;
            for (DWORD i = 0; i < 4; ++i) {
                const DWORD dwX1 = _this->m_pdwImagePosX[i];
                SumSegment(pbyteRow + dwX0, dwX1 - dwX0, ppAcc[i][dwParity], ppSums[i][dwParity]);
                dwX0 = dwX1;
            }
            pbyteRow += dwWidth;
        }
        for (DWORD i = 0; i < 4; ++i) {
            const DWORD a = 4 * r + i;
            DWORD pdwSum[4];
            for (DWORD dwParity = 0; dwParity < 2; ++dwParity) {
                AddrSums& s = ppSums[i][dwParity];
                Fold(ppAcc[i][dwParity], s);
                /* Column parity of the bytes at even addresses: that of the
                 * rows' first addresses. */
                const DWORD dwEvenColumn =
                    static_cast<DWORD>(AddressOf(pbyteRaw) ^ (dwParity & dwWidth)) & 1;
                pdwSum[2 * dwParity + dwEvenColumn] = s.dwEven;
                pdwSum[2 * dwParity + (dwEvenColumn ^ 1)] = s.dwOdd;
            }
            StoreMeans(_this, a, pdwSum);
        }
    }
}

#if QUORVIN_PIXEL_SIMD
/*
 * Vector frames by a row plan, made once per frame: every row is cut the same
 * way. Vectors are loaded from each row's first byte on, so byte j of a
 * vector lies in a column of parity j & 1 on every row, whatever the row's
 * alignment. Each area column takes the whole vectors inside it; the vector
 * across a column boundary is split between the two by a byte mask. A row
 * that is not whole vectors ends with a vector reaching into the next row,
 * masked to the row's own bytes; the frame's last row copies those few bytes
 * instead, so nothing past the frame is read. Every row takes the same
 * branches, so a row costs its sums and little else: the per-segment head,
 * tail and room checks of MeasureFrame cost a tenth of the speed out of cache.
 *
 * Taken when every area column is at least a vector wide (a vector then
 * crosses at most one boundary) and a row's share of an area column, whole
 * vectors and two split ones, fits an accumulator; otherwise the frame goes
 * through MeasureFrame.
 */
template <class L> struct RowPlan {
    using V = typename L::V;
    DWORD pdwWhole[4];   /* whole vectors of each area column */
    DWORD pdwCut[3];     /* bytes of area column i in the vector across its end; 0: none */
    DWORD dwTail;        /* bytes of the row in its last, partial vector; 0: none */
    DWORD dwRowsPerFold; /* rows an accumulator takes between folds */
    V pvCut[3];          /* byte masks of those bytes */
    V vTail;
};

/* Byte mask of the first n bytes of a vector. */
template <class L> QUORVIN_PIXEL_INLINE typename L::V FirstBytes(DWORD n) {
    using VB = typename ByteLanes<L::kBytes>::Type;
    VB vIndex;
    for (DWORD j = 0; j < L::kBytes; ++j)
        vIndex[j] = static_cast<unsigned char>(j);
    return reinterpret_cast<typename L::V>(vIndex < static_cast<unsigned char>(n));
}

template <class L>
QUORVIN_PIXEL_INLINE bool MakeRowPlan(const CAveragePixelValue* _this, DWORD dwWidth,
                                      RowPlan<L>& plan) {
    constexpr DWORD kB = L::kBytes;
    DWORD dwX0 = 0;
    DWORD dwMost = 0;
    for (DWORD i = 0; i < 4; ++i) {
        const DWORD dwX1 = _this->m_pdwImagePosX[i];
        if (dwX1 - dwX0 < kB)
            return false;
        plan.pdwWhole[i] = dwX1 / kB - (dwX0 + kB - 1) / kB;
        if (plan.pdwWhole[i] > dwMost)
            dwMost = plan.pdwWhole[i];
        if (i < 3) {
            plan.pdwCut[i] = dwX1 % kB;
            plan.pvCut[i] = FirstBytes<L>(plan.pdwCut[i]);
        }
        dwX0 = dwX1;
    }
    if (dwMost + 2 > kRunUnits)
        return false;
    plan.dwTail = dwWidth % kB;
    plan.vTail = FirstBytes<L>(plan.dwTail);
    plan.dwRowsPerFold = kRunUnits / (dwMost + 2);
    return true;
}

/* The accumulators of the four area columns, for rows of one parity. */
template <class L> struct RowLanes {
    typename L::V pvAll[4];
    typename L::V pvOdd[4];
};

template <class L> QUORVIN_PIXEL_INLINE void AddVector(typename L::V v, RowLanes<L>& acc, DWORD i) {
    acc.pvAll[i] += v;
    acc.pvOdd[i] += L::Odd(v);
}

template <class L>
QUORVIN_PIXEL_INLINE void SumPlannedRow(const BYTE* p, const RowPlan<L>& plan, RowLanes<L>& acc,
                                        bool bLastRow) {
    using V = typename L::V;
    constexpr DWORD kB = L::kBytes;
    /* One copy of the loop for all four area columns: the processor's
     * prefetchers follow each load instruction, and four copies, each seeing
     * every fourth stretch of the frame, measured 20 % slower out of cache. */
#pragma GCC unroll 1
    for (DWORD i = 0; i < 4; ++i) {
        UnitAdder<L> add{acc.pvAll[i], acc.pvOdd[i], V{}, V{}};
        const DWORD n = plan.pdwWhole[i];
        for (DWORD k = n / 4; k > 0; --k) {
            add.template AddPairs<2, false>(p);
            p += 4 * kB;
        }
        add.AddSingles(p, n % 4);
        p += (n % 4) * kB;
        acc.pvAll[i] = add.vAll0 + add.vAll1;
        acc.pvOdd[i] = add.vOdd0 + add.vOdd1;
        if (i < 3 && plan.pdwCut[i] != 0) {
            const V v = L::Load(p);
            AddVector(v & plan.pvCut[i], acc, i);
            AddVector(v & ~plan.pvCut[i], acc, i + 1);
            p += kB;
        }
    }
    if (plan.dwTail != 0) {
        BYTE pbyteTail[kB];
        const BYTE* pbyteLoad = p;
        if (bLastRow) {
            for (DWORD j = 0; j < kB; ++j)
                pbyteTail[j] = j < plan.dwTail ? p[j] : BYTE{0};
            pbyteLoad = pbyteTail;
        }
        AddVector(L::Load(pbyteLoad) & plan.vTail, acc, 3);
    }
}

/* Folds the four accumulators into sums by area column; dwEven takes the
 * even columns. */
template <class L> QUORVIN_PIXEL_INLINE void FoldRow(RowLanes<L>& acc, AddrSums pSums[4]) {
    for (DWORD i = 0; i < 4; ++i) {
        Lanes<L> lanes{acc.pvAll[i], acc.pvOdd[i], 0};
        Fold(lanes, pSums[i]);
        acc.pvAll[i] = lanes.vAll;
        acc.pvOdd[i] = lanes.vOdd;
    }
}

template <class L>
QUORVIN_PIXEL_INLINE void MeasurePlannedFrame(CAveragePixelValue* _this, DWORD dwWidth,
                                              const BYTE* pbyteRaw, const RowPlan<L>& plan) {
    const DWORD dwHeight = _this->m_pdwImagePosY[3];
    const BYTE* pbyteRow = pbyteRaw;
    DWORD dwY = 0;
    for (DWORD r = 0; r < 4; ++r) {
        AddrSums ppSums[2][4] = {}; /* by row parity and area column */
        RowLanes<L> pAcc[2] = {};
        DWORD pdwRows[2] = {};
        for (; dwY < _this->m_pdwImagePosY[r]; ++dwY) {
            const DWORD dwParity = dwY & 1;
            SumPlannedRow(pbyteRow, plan, pAcc[dwParity], dwY + 1 == dwHeight);
            if (++pdwRows[dwParity] == plan.dwRowsPerFold) {
                FoldRow(pAcc[dwParity], ppSums[dwParity]);
                pdwRows[dwParity] = 0;
            }
            pbyteRow += dwWidth;
        }
        FoldRow(pAcc[0], ppSums[0]);
        FoldRow(pAcc[1], ppSums[1]);
        for (DWORD i = 0; i < 4; ++i) {
            const DWORD a = 4 * r + i;
            const DWORD pdwSum[4] = {ppSums[0][i].dwEven, ppSums[0][i].dwOdd, ppSums[1][i].dwEven,
                                     ppSums[1][i].dwOdd};
            StoreMeans(_this, a, pdwSum);
        }
    }
}

template <class L>
QUORVIN_PIXEL_INLINE void MeasureVectorFrame(CAveragePixelValue* _this, DWORD dwWidth,
                                             const BYTE* pbyteRaw) {
    RowPlan<L> plan;
    if (MakeRowPlan(_this, dwWidth, plan))
        MeasurePlannedFrame(_this, dwWidth, pbyteRaw, plan);
    else
        MeasureFrame<L>(_this, dwWidth, pbyteRaw);
}
#endif

/* Each variant twice: a frame, and (for the tests) one segment alone. */
using MeasureFn = void (*)(CAveragePixelValue*, DWORD, const BYTE*);
using SegmentFn = void (*)(const BYTE*, DWORD, AddrSums&);

/* Not inlined into UpdateAverage, so that the accumulators' stack is not
 * added to the geometry computation's. */
__attribute__((noinline)) void MeasureWordPath(CAveragePixelValue* _this, DWORD dwWidth,
                                               const BYTE* pbyteRaw) {
    MeasureFrame<WordLanes>(_this, dwWidth, pbyteRaw);
}
void SegmentWordPath(const BYTE* p, DWORD n, AddrSums& s) {
    SumLoneSegment<WordLanes>(p, n, s);
}

#if QUORVIN_PIXEL_SIMD
#define QUORVIN_VECTOR_PATHS(isa, VH, Name)                                                        \
    __attribute__((target(isa))) void Measure##Name##Path(CAveragePixelValue* _this,               \
                                                          DWORD dwWidth, const BYTE* p) {          \
        MeasureVectorFrame<VectorLanes<VH>>(_this, dwWidth, p);                                    \
    }                                                                                              \
    __attribute__((target(isa))) void Segment##Name##Path(const BYTE* p, DWORD n, AddrSums& s) {   \
        SumLoneSegment<VectorLanes<VH>>(p, n, s);                                                  \
    }
QUORVIN_VECTOR_PATHS("sse2", V8Hu, Sse2)
QUORVIN_VECTOR_PATHS("avx2", V16Hu, Avx2)
QUORVIN_VECTOR_PATHS("avx512bw", V32Hu, Avx512)
#undef QUORVIN_VECTOR_PATHS
#endif

/* A variant's two entry points: a whole frame, and one segment alone. */
struct SumOps {
    MeasureFn pfnMeasure;
    SegmentFn pfnSegment;
};

SumOps SumOpsOf(quorvin_pixel::SumPath path) {
    switch (path) {
#if QUORVIN_PIXEL_SIMD
    case quorvin_pixel::SumPath::kSse2:
        return SumOps{MeasureSse2Path, SegmentSse2Path};
    case quorvin_pixel::SumPath::kAvx2:
        return SumOps{MeasureAvx2Path, SegmentAvx2Path};
    case quorvin_pixel::SumPath::kAvx512:
        return SumOps{MeasureAvx512Path, SegmentAvx512Path};
#endif
    default:
        return SumOps{MeasureWordPath, SegmentWordPath};
    }
}

quorvin_pixel::SumPath BestSumPath() {
#if QUORVIN_PIXEL_SIMD
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        return quorvin_pixel::SumPath::kAvx2;
    if (__builtin_cpu_supports("sse2"))
        return quorvin_pixel::SumPath::kSse2;
#endif
    return quorvin_pixel::SumPath::kWord;
}

/* The selected variant; 0 until the first use picks one. Relaxed atomics:
 * every value is a complete choice, and all choices give the same sums. */
int g_iSumPath = 0;

/* Colour position that holds colour index dwIndex under a Bayer code 2..5
 * (each mapping is its own inverse, so it also gives the index at a position). */
constexpr DWORD PositionOfIndex(WORD wColorArray, DWORD dwIndex) {
    return dwIndex ^ static_cast<DWORD>(wColorArray - 2);
}

constexpr bool IsBayerCode(WORD wColorArray) {
    return wColorArray >= 2 && wColorArray <= 5;
}

/* Weighted means per colour position (position order), and the total weight.
 * Means are 0 when the total weight is 0. */
DWORD WeightedPositionMeans(const CAveragePixelValue* _this, const BYTE* pbyteWeight,
                            DWORD pdwMean[4]) {
    DWORD dwTotalWeight = 0;
    DWORD pdwResult[4] = {};
    for (DWORD a = 0; a < 16; ++a) {
        const DWORD dwWeight = pbyteWeight[a];
        dwTotalWeight += dwWeight;
        for (DWORD p = 0; p < 4; ++p)
            pdwResult[p] += dwWeight * _this->m_pbyteAverage[a][p];
    }
    for (DWORD p = 0; p < 4; ++p)
        pdwMean[p] = dwTotalWeight == 0 ? 0 : pdwResult[p] / dwTotalWeight;
    return dwTotalWeight;
}

} // namespace

extern "C" {

void CAveragePixelValue_init(CAveragePixelValue* _this) {
    mbInitValue(_this);
}

void CAveragePixelValue_free(CAveragePixelValue* _this) {
    (void)_this;
}

BOOL mbUpdateImagePosAndPixelCount(CAveragePixelValue* _this, DWORD dwWidth, DWORD dwHeight,
                                   WORD wColorArray) {
    ComputeBoundaries(_this->m_pwSepalatePosX, dwWidth, _this->m_pdwImagePosX);
    ComputeBoundaries(_this->m_pwSepalatePosY, dwHeight, _this->m_pdwImagePosY);

    DWORD dwY0 = 0;
    for (DWORD r = 0; r < 4; ++r) {
        const DWORD dwY1 = _this->m_pdwImagePosY[r];
        DWORD dwX0 = 0;
        for (DWORD i = 0; i < 4; ++i) {
            const DWORD dwX1 = _this->m_pdwImagePosX[i];
            DWORD* pdwCount = _this->m_pdwAreaPixelCount[4 * r + i];
            if (wColorArray == kSingleChannel)
                pdwCount[0] = (dwX1 - dwX0) * (dwY1 - dwY0);
            else
                BayerAreaCounts(dwX0, dwX1, dwY0, dwY1, pdwCount);
            dwX0 = dwX1;
        }
        dwY0 = dwY1;
    }

    _this->m_dwImageWidth = dwWidth;
    _this->m_dwImageHeight = dwHeight;
    _this->m_bAreaChangeFg = FALSE;
    _this->m_wColorArray = wColorArray;
    return TRUE;
}

BOOL UpdateAverage(CAveragePixelValue* _this, DWORD dwWidth, DWORD dwHeight, WORD wColorArray,
                   PBYTE pbyteRaw) {
    if (_this->m_bAreaChangeFg || dwWidth != _this->m_dwImageWidth ||
        dwHeight != _this->m_dwImageHeight || wColorArray != _this->m_wColorArray)
        mbUpdateImagePosAndPixelCount(_this, dwWidth, dwHeight, wColorArray);

    SumOpsOf(quorvin_pixel::ActiveSumPath()).pfnMeasure(_this, dwWidth, pbyteRaw);
    return TRUE;
}

BOOL mbGetWeightAverage(CAveragePixelValue* _this, PBYTE pbyteWeight, PBYTE pbyteWeightAverage) {
    DWORD pdwMean[4];
    const DWORD dwTotalWeight = WeightedPositionMeans(_this, pbyteWeight, pdwMean);
    const WORD wColorArray = _this->m_wColorArray;
    if (wColorArray == kSingleChannel) {
        pbyteWeightAverage[0] = static_cast<BYTE>(pdwMean[0]);
    } else if (dwTotalWeight == 0) {
        for (DWORD c = 0; c < 4; ++c)
            pbyteWeightAverage[c] = 0;
    } else if (IsBayerCode(wColorArray)) {
        for (DWORD c = 0; c < 4; ++c)
            pbyteWeightAverage[c] = static_cast<BYTE>(pdwMean[PositionOfIndex(wColorArray, c)]);
    }
    /* any other code: nothing is written */
    return TRUE;
}

BOOL GetColorAverage(CAveragePixelValue* _this, PBYTE pbyteWeight, PBYTE pbyteAverage) {
    return mbGetWeightAverage(_this, pbyteWeight, pbyteAverage);
}

BOOL GetBrightnessAverage(CAveragePixelValue* _this, PBYTE pbyteWeight, PBYTE pbyteAverage) {
    if (_this->m_wColorArray == kSingleChannel)
        return mbGetWeightAverage(_this, pbyteWeight, pbyteAverage);

    BYTE pbyteTmp[4];
    const BOOL bResult = mbGetWeightAverage(_this, pbyteWeight, pbyteTmp);
    if (!IsBayerCode(_this->m_wColorArray)) {
        /* Unknown code: colour averages are undefined, so the positions are
         * weighed in their own order (as code 2). A grey scene still gives its
         * true brightness, and nothing uninitialised is read. */
        DWORD pdwMean[4];
        WeightedPositionMeans(_this, pbyteWeight, pdwMean);
        for (DWORD p = 0; p < 4; ++p)
            pbyteTmp[p] = static_cast<BYTE>(pdwMean[p]);
    }
    const DWORD dwGreen = (static_cast<DWORD>(pbyteTmp[1]) + pbyteTmp[2]) / 2;
    const DWORD dwBrightness =
        (kLumaWeightR * pbyteTmp[0] + kLumaWeightG * dwGreen + kLumaWeightB * pbyteTmp[3]) /
        kLumaScale;
    pbyteAverage[0] = static_cast<BYTE>(dwBrightness);
    return bResult;
}

} // extern "C"

namespace quorvin_pixel {

bool SumPathAvailable(SumPath path) {
    switch (path) {
    case SumPath::kAuto:
    case SumPath::kWord:
        return true;
#if QUORVIN_PIXEL_SIMD
    case SumPath::kSse2:
        __builtin_cpu_init();
        return __builtin_cpu_supports("sse2");
    case SumPath::kAvx2:
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2");
    case SumPath::kAvx512:
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512bw");
#endif
    default:
        return false;
    }
}

bool SelectSumPath(SumPath path) {
    if (!SumPathAvailable(path))
        return false;
    if (path == SumPath::kAuto)
        path = BestSumPath();
    __atomic_store_n(&g_iSumPath, static_cast<int>(path), __ATOMIC_RELAXED);
    return true;
}

SumPath ActiveSumPath() {
    int iPath = __atomic_load_n(&g_iSumPath, __ATOMIC_RELAXED);
    if (iPath == 0) {
        iPath = static_cast<int>(BestSumPath());
        __atomic_store_n(&g_iSumPath, iPath, __ATOMIC_RELAXED);
    }
    return static_cast<SumPath>(iPath);
}

PairSum SumRowSegmentPairs(SumPath path, const BYTE* pbyteSeg, DWORD dwPixelCount) {
    if (path == SumPath::kAuto)
        path = ActiveSumPath();
    AddrSums s{0, 0};
    SumOpsOf(path).pfnSegment(pbyteSeg, dwPixelCount, s);
    if (AddressOf(pbyteSeg) & 1)
        return PairSum{s.dwOdd, s.dwEven};
    return PairSum{s.dwEven, s.dwOdd};
}

} // namespace quorvin_pixel
