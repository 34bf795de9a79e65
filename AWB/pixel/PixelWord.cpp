// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The pixel kernels in general registers, a machine word at a time: what the
 * kernel runs where vector registers cannot be used, and the fallback of
 * every vector variant. Built the same way in both builds.
 */
#include "PixelLanes.h"
#include "PixelVariants.h"

namespace quorvin_pixel {

using namespace lanes;

namespace {

/*
 * The rule on whole words, 16-bit lanes: the even bytes of a word in one set
 * of lanes, the odd bytes in the other. Below the threshold index * gain <
 * 32640 holds (the rules FindRule accepts), so the product of a lane never
 * reaches the next one and one multiplication serves all lanes of a word. At
 * and above the threshold the lane is cleared before the multiplication and
 * set to 255 after it.
 */
struct WordRule {
    Word wGain; /* the gain, multiplied into every lane */
    Word wBias; /* 0x8000 - threshold in every lane: bit 15 set from the threshold on */
    bool bSkip; /* identity: the bytes stay as they are */
};

/* 0x0001 and 0x8000 in every 16-bit lane of a word. */
constexpr Word kLaneOne = kEvenBytes / 0xFFu;
constexpr Word kLaneTop = kLaneOne << 15;

inline WordRule MakeWordRule(const TableRule& rule) {
    const DWORD dwThreshold = static_cast<DWORD>(static_cast<short>(rule.wLimit) + 1);
    WordRule w;
    w.wGain = rule.wGain;
    w.wBias = kLaneOne * (0x8000u - dwThreshold);
    w.bSkip = rule.wGain == QUORVIN_WB_GAIN_UNITY && dwThreshold >= 255; /* 255 is 255 either way */
    return w;
}

/* lanes: bytes in the low half of 16-bit lanes; the result likewise. */
QUORVIN_PIXEL_INLINE Word ApplyWordRule(Word lanes, const WordRule& rule) {
    const Word wTop = (lanes + rule.wBias) & kLaneTop; /* 0x8000 in saturated lanes */
    const Word wSat = (wTop >> 7) - (wTop >> 15);      /* 0x00FF in saturated lanes */
    const Word wProduct = (lanes & ~wSat) * rule.wGain;
    return ((wProduct >> 7) & kEvenBytes) | wSat;
}

template <DWORD kColumns>
QUORVIN_PIXEL_INLINE DWORD RuleRowWord(const BYTE* s, PBYTE d, DWORD dwBytes, const WordRule& r0,
                                       const WordRule& r1) {
    DWORD i = 0;
    for (; i + kWordBytes <= dwBytes; i += kWordBytes) {
        Word w;
        __builtin_memcpy(&w, s + i, kWordBytes);
        Word wEven = w & kEvenBytes;
        Word wOdd = (w >> 8) & kEvenBytes;
        if (kColumns != kOddColumns)
            wEven = ApplyWordRule(wEven, r0);
        if (kColumns != kEvenColumns)
            wOdd = ApplyWordRule(wOdd, r1);
        w = wEven | (wOdd << 8);
        __builtin_memcpy(d + i, &w, kWordBytes);
    }
    return i;
}

/* Rows of one parity an accumulator takes between folds: as many as leave
 * room for the widest area column's words, at least one (a column of more
 * than kRunUnits words is added in runs, each folded, by SumSegment). */
DWORD RowsPerFold(const CAveragePixelValue* pStats) {
    DWORD dwMostUnits = 0;
    DWORD dwX0 = 0;
    for (DWORD i = 0; i < 4; ++i) {
        const DWORD dwUnits = (pStats->m_pdwImagePosX[i] - dwX0) / kWordBytes;
        dwMostUnits = dwUnits > dwMostUnits ? dwUnits : dwMostUnits;
        dwX0 = pStats->m_pdwImagePosX[i];
    }
    const DWORD dwRows = dwMostUnits == 0 ? kRunUnits : kRunUnits / dwMostUnits;
    return dwRows == 0 ? 1 : dwRows;
}

/* What an area row keeps while its rows are summed: one accumulator and one
 * pair of sums per area column and row parity. One record, not two arrays:
 * GCC gives a local array of 16 bytes or more 16-byte alignment, which on the
 * kernel's 8-byte-aligned stack costs a realigned frame. */
struct AreaRowWords {
    Lanes<WordLanes> ppAcc[4][2];
    AddrSums ppSums[4][2];
};

} // namespace

/*
 * A whole frame, area row by area row; at the end of each the address-parity
 * sums become colour-position sums and then means. One frame of its own with
 * no call below it, the deepest the statistics go on a kernel stack.
 */
void MeasureFrameWord(CAveragePixelValue* pStats, DWORD dwWidth, const BYTE* pbyteRaw) {
    /* Rows alternate in parity: after twice the rows one parity may take,
     * each parity has taken them. One count for both keeps the frame small. */
    const DWORD dwRowsPerFold = 2 * RowsPerFold(pStats);
    const BYTE* pbyteRow = pbyteRaw;
    DWORD y = 0;
    for (DWORD r = 0; r < 4; ++r) {
        AreaRowWords area = {};
        DWORD dwRowsToFold = dwRowsPerFold;
        for (; y < pStats->m_pdwImagePosY[r]; ++y) {
            const DWORD dwParity = y & 1;
            DWORD dwX0 = 0;
            for (DWORD i = 0; i < 4; ++i) {
                const DWORD dwX1 = pStats->m_pdwImagePosX[i];
                SumSegment(pbyteRow + dwX0, dwX1 - dwX0, area.ppAcc[i][dwParity],
                           area.ppSums[i][dwParity]);
                dwX0 = dwX1;
            }
            if (--dwRowsToFold == 0) {
                for (DWORD i = 0; i < 4; ++i)
                    for (DWORD dwFold = 0; dwFold < 2; ++dwFold)
                        Fold(area.ppAcc[i][dwFold], area.ppSums[i][dwFold]);
                dwRowsToFold = dwRowsPerFold;
            }
            pbyteRow += dwWidth;
        }
        for (DWORD i = 0; i < 4; ++i) {
            DWORD pdwSum[4];
            for (DWORD dwParity = 0; dwParity < 2; ++dwParity) {
                AddrSums& s = area.ppSums[i][dwParity];
                Fold(area.ppAcc[i][dwParity], s);
                /* Column parity of the bytes at even addresses: that of the
                 * rows' first addresses. */
                const DWORD dwEvenColumn =
                    static_cast<DWORD>(AddressOf(pbyteRaw) ^ (dwParity & dwWidth)) & 1;
                pdwSum[2 * dwParity + dwEvenColumn] = s.dwEven;
                pdwSum[2 * dwParity + (dwEvenColumn ^ 1)] = s.dwOdd;
            }
            StoreMeans(pStats, 4 * r + i, pdwSum);
        }
    }
}

void SumSegmentWord(const BYTE* p, DWORD n, ParitySums& s) {
    SumLoneSegment<WordLanes>(p, n, s);
}

void CorrectRowsWalk(const FrameJob& job, DWORD y0, DWORD y1) {
    for (DWORD y = y0; y < y1; ++y)
        WalkRowOf(job, y, 0);
}

void CorrectRowsWordRule(const FrameJob& job, DWORD y0, DWORD y1) {
    const DWORD dwBytes = job.dwWidth & ~DWORD{1};
    for (DWORD y = y0; y < y1; ++y) {
        const DWORD k = 2 * (y & 1);
        const WordRule r0 = MakeWordRule(job.pRule[k]);
        const WordRule r1 = MakeWordRule(job.pRule[k + 1]);
        const __SIZE_TYPE__ dwOffset = static_cast<__SIZE_TYPE__>(y) * job.dwWidth;
        const BYTE* s = job.pbyteSrc + dwOffset;
        PBYTE d = job.pbyteDst + dwOffset;
        DWORD dwColumns = (y & 1) ? job.dwOddRowColumns : job.dwEvenRowColumns;
        /* A colour whose rule is the identity keeps its bytes: not computed. */
        if (dwColumns == kBothColumns && r0.bSkip)
            dwColumns = kOddColumns;
        else if (dwColumns == kBothColumns && r1.bSkip)
            dwColumns = kEvenColumns;
        DWORD i;
        if (dwColumns == kEvenColumns)
            i = RuleRowWord<kEvenColumns>(s, d, dwBytes, r0, r1);
        else if (dwColumns == kOddColumns)
            i = RuleRowWord<kOddColumns>(s, d, dwBytes, r0, r1);
        else
            i = RuleRowWord<kBothColumns>(s, d, dwBytes, r0, r1);
        /* The last bytes, fewer than a word, by the same rules one at a
         * time (no table walk: its inlined code would deepen this frame on
         * a kernel stack); a column the job leaves alone has the identity
         * rule and gets its own byte back. wLimit is signed: -1 saturates
         * every byte. */
        for (; i < dwBytes; ++i) {
            const TableRule& rule = job.pRule[k + (i & 1)];
            const int iLimit = static_cast<short>(rule.wLimit);
            d[i] = s[i] > iLimit ? BYTE{255} : static_cast<BYTE>((s[i] * rule.wGain) >> 7);
        }
    }
}

} // namespace quorvin_pixel
