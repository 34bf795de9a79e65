// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The pixel kernels in general registers: the statistics a machine word at a
 * time and the table walk. What runs where vector registers cannot be used,
 * and the fallback of every vector variant. Built the same way in both
 * builds.
 */
#include "PixelLanes.h"
#include "PixelVariants.h"

namespace quorvin_pixel {

using namespace lanes;

namespace {

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

} // namespace quorvin_pixel
