// SPDX-License-Identifier: GPL-2.0 OR MIT
// The opt-in picture modes: the subsampled count of clipped pixels, the
// highlight guard's target and the robust white balance weights.
#include "PictureCtrl.h"

#include "platform.h"

namespace {

// The state shares 8 bytes with a callback table of two pointers.
static_assert(sizeof(CPictureCtrl) == 8, "CPictureCtrl must stay 8 bytes");

constexpr DDWORD kLaneOnes = 0x0101010101010101ULL;
constexpr DDWORD kLaneLow7 = 0x7F7F7F7F7F7F7F7FULL;
constexpr DDWORD kLaneEvenBytes = 0x00FF00FF00FF00FFULL;
constexpr DDWORD kAllBits = ~DDWORD{0};
// Bytes of 240 or more have their four high bits set: 240 x 17/16 = 255, so
// these are the pixels one guard step up (1/16) would clip.
constexpr DDWORD kHighNibbles = 0xF0F0F0F0F0F0F0F0ULL;
constexpr BYTE kHighLevel = 240;
// Bytes of 192 or more have their two high bits set: 192 x 4/3 = 256, so
// these are the pixels a step of 1/3 up would clip.
constexpr DDWORD kHighTwoBits = 0xC0C0C0C0C0C0C0C0ULL;
constexpr BYTE kBrightLevel = 192;
constexpr BYTE kClipLevel = 255;

// Row pairs: one in 2^k is counted, k from the height so that a frame keeps
// at least 60 row pairs (15 per area row, 4800 pixels per area of a 640 x 480
// frame): 480 lines count every 4th pair, 1080 lines every 8th. Every 8th
// pair reads 1/8 of the frame once more; the figure measured on 1920 x 1080
// with every 4th was a fifth of the whole frame's time.
constexpr DWORD kLinesPerStep = 120;
constexpr DWORD kLargestPairStep = 8;

// An area is clipped for the white balance when 1/32 (3 %) of its pixels
// are at 255: a few specular glints leave it in, a blown-out window not.
constexpr DWORD kAreaClipShift = 5;

// Settled guard evaluations in a row, with room to climb, before a step up:
// two evaluations (14 frames with the default counts) keep a passing
// highlight from making the target pump.
constexpr BYTE kClimbHold = 2;

// Robust white balance: an area is strongly coloured when its red or blue
// stands more than 3/2 or less than 2/3 of where a grey's would (half an
// octave either way); greens under 8 levels are noise more than colour; and
// fewer than 4 areas are too few to average.
constexpr DWORD kColourRatioNum = 3;
constexpr DWORD kColourRatioDen = 2;
constexpr DWORD kDarkGreen = 8;
constexpr int kFewestAreas = 4;

// 0x01 in every byte lane of word whose bits of mask are all set.
inline DDWORD LanesWithAll(DDWORD word, DDWORD mask) {
    const DDWORD missing = ~word & mask; // zero exactly in the matching lanes
    const DDWORD nonZero = ((missing & kLaneLow7) + kLaneLow7) | missing;
    return (~nonZero >> 7) & kLaneOnes;
}

// Sum of the eight byte lanes of counts (each at most 255).
inline DWORD LaneSum(DDWORD counts) {
    const DDWORD pairs = (counts & kLaneEvenBytes) + ((counts >> 8) & kLaneEvenBytes);
    return static_cast<DWORD>((pairs * 0x0001000100010001ULL) >> 48);
}

// Adds the bytes at 255, at 240 or more and at 192 or more of bytes
// [row, row + count).
#if defined(__LP64__)
// 64-bit registers: three byte-lane accumulators, no branch. A branch on
// whether a word holds a bright byte is taken at random on a picture with
// highlights, and its mispredictions cost more than the tests it saves
// (1920 x 1080 photograph, every 8th row pair: 200 us with it).
void CountRowSegment(const BYTE* row, DWORD count, DWORD* clipped, DWORD* high, DWORD* bright) {
    DDWORD clippedLanes = 0;
    DDWORD highLanes = 0;
    DDWORD brightLanes = 0;
    DWORD clippedSum = 0;
    DWORD highSum = 0;
    DWORD brightSum = 0;
    DWORD wordsInLanes = 0;
    for (; count >= 8; count -= 8, row += 8) {
        DDWORD word;
        __builtin_memcpy(&word, row, sizeof word);
        brightLanes += LanesWithAll(word, kHighTwoBits);
        highLanes += LanesWithAll(word, kHighNibbles);
        clippedLanes += LanesWithAll(word, kAllBits);
        // A lane holds 255 at most: fold before it could wrap.
        if (++wordsInLanes == 255) {
            clippedSum += LaneSum(clippedLanes);
            highSum += LaneSum(highLanes);
            brightSum += LaneSum(brightLanes);
            clippedLanes = highLanes = brightLanes = 0;
            wordsInLanes = 0;
        }
    }
    clippedSum += LaneSum(clippedLanes);
    highSum += LaneSum(highLanes);
    brightSum += LaneSum(brightLanes);
#else
// 32-bit registers: three 64-bit accumulators, or even local sums, would
// spill into the kernel stack, so only the count at 192 or more keeps lanes;
// the two others are summed on the words that hold such a byte.
void CountRowSegment(const BYTE* row, DWORD count, DWORD* clipped, DWORD* high, DWORD* bright) {
    DDWORD brightLanes = 0;
    DWORD wordsInLanes = 0;
    for (; count >= 8; count -= 8, row += 8) {
        DDWORD word;
        __builtin_memcpy(&word, row, sizeof word);
        const DDWORD brightInWord = LanesWithAll(word, kHighTwoBits);
        if (brightInWord != 0) {
            brightLanes += brightInWord;
            *high += LaneSum(LanesWithAll(word, kHighNibbles));
            *clipped += LaneSum(LanesWithAll(word, kAllBits));
        }
        if (++wordsInLanes == 255) {
            *bright += LaneSum(brightLanes);
            brightLanes = 0;
            wordsInLanes = 0;
        }
    }
    *bright += LaneSum(brightLanes);
    DWORD clippedSum = 0;
    DWORD highSum = 0;
    DWORD brightSum = 0;
#endif
    for (; count > 0; --count, ++row) {
        clippedSum += *row == kClipLevel ? 1u : 0u;
        highSum += *row >= kHighLevel ? 1u : 0u;
        brightSum += *row >= kBrightLevel ? 1u : 0u;
    }
    // Sums kept local until here: the frame's bytes may alias the counters
    // as far as the compiler knows.
    *clipped += clippedSum;
    *high += highSum;
    *bright += brightSum;
}

// Asks the processor to bring a row into the cache ahead of its use. The
// counted rows lie far apart, so the hardware's own prefetch, which follows
// a stream within a page, starts cold on every one: fetched ahead, the cache
// lines of a row come in parallel instead of one latency after another
// (1920 x 1080, out of cache: 290 us a frame without, measured in bench/).
void PrefetchRow(const BYTE* row, DWORD width) {
    constexpr DWORD kCacheLine = 64;
    for (DWORD x = 0; x < width; x += kCacheLine)
        __builtin_prefetch(row + x);
}

DWORD PairStepMask(DWORD height) {
    DWORD step = 1;
    while (step < kLargestPairStep && step * 2 * kLinesPerStep <= height)
        step *= 2;
    return step - 1;
}

// part / whole in 1/1000, 0 for an empty whole.
WORD PerMille(DWORD part, DWORD whole) {
    if (whole == 0)
        return 0;
    return static_cast<WORD>(quorvin_div_u64_u32(static_cast<DDWORD>(part) * 1000u, whole));
}

// Whether value lies within 2/3 to 3/2 of reference.
bool NearReference(DWORD value, DWORD reference) {
    return value * kColourRatioDen <= reference * kColourRatioNum &&
           value * kColourRatioNum >= reference * kColourRatioDen;
}

// Cells with a sample at 250 or more are left out of the norms: a clipped
// channel bends the colour, and a norm that leans on the brightest cells
// would lean on them most.
constexpr DWORD kNormBright = 250;
// At least 1/64 of the counted cells must be unclipped to be trusted.
constexpr DWORD kNormShareShift = 6;

// Adds the fourth powers of one row pair's unclipped cells: top holds
// colour positions 0 and 1, bottom 2 and 3; colour index i sits at position
// i ^ flip; the green is the mean of the two.
// Kept out of line: its 64-bit sums need registers that on 32-bit x86 would
// otherwise spill into the frame of the counting pass.
__attribute__((noinline)) void AddCellPowers(const BYTE* top, const BYTE* bottom, DWORD width,
                                             DWORD flip, QuorvinClipCount* count) {
    for (DWORD x = 0; x + 1 < width; x += 2) {
        const DWORD cell[4] = {top[x], top[x + 1], bottom[x], bottom[x + 1]};
        if (cell[0] >= kNormBright || cell[1] >= kNormBright || cell[2] >= kNormBright ||
            cell[3] >= kNormBright)
            continue;
        const DWORD channel[3] = {cell[0 ^ flip], (cell[1 ^ flip] + cell[2 ^ flip]) >> 1,
                                  cell[3 ^ flip]};
        for (int c = 0; c < 3; ++c) {
            const DWORD square = channel[c] * channel[c];
            count->pddwPowerSum[c] += static_cast<DDWORD>(square) * square;
        }
        ++count->dwNormCells;
    }
}

// Steps of green under 8 levels are the sensor's noise more than edges
// (after the colour gains each colour's noise is as large as its gain, so
// noise taken for edges pulls the gains back towards 1).
constexpr DWORD kEdgeStep = 8;
// The edges' weight against the norm, 0 (the norm alone) to kEdgeWeightOne
// (the geometric mean of the two), the product of three linear ramps, so
// that a small change of the frame moves the estimate a little and never
// switches it from one statistic to the other:
// - up with the share of the unclipped cells that have an edge, from 0 at
//   kEdgeShareLow/32 of them to all at kEdgeShareFull/32 (few edges are a few
//   boundaries between flat surfaces, whose differences are their colours);
// - down with the distance of the edges' red or blue from the norm's, the
//   ratio of the larger to the smaller in 1/256, from all within kEdgeNear
//   (half an octave) to 0 at kEdgeFar (2.5 times, 1.3 octaves): edges far
//   off the norm come from a few coloured objects on a plain ground;
// - up with the norm's darkest colour, from 0 at kEdgeDarkLow levels to all
//   at kEdgeDarkFull: in a colour that dark (a frame still far under its
//   exposure) the edges are steps of a few levels, mostly noise and
//   rounding.
constexpr DWORD kEdgeWeightOne = 256;
constexpr DWORD kEdgeShareLow = 1;
constexpr DWORD kEdgeShareFull = 4;
constexpr DWORD kEdgeNear = 362;
constexpr DWORD kEdgeFar = 640;
constexpr DWORD kEdgeDarkLow = 16;
constexpr DWORD kEdgeDarkFull = 32;

// Adds the absolute differences of each colour between one row pair's
// unclipped cells and the unclipped cell on their left (the same cells as
// AddCellPowers). Position p of a cell is row p / 2, column p % 2: red and
// the green of its rows share a row, blue and the other green the other,
// red and the other green a column; picked once, so that no table indexed
// at run time lands on the stack.
__attribute__((noinline)) void AddCellEdges(const BYTE* top, const BYTE* bottom, DWORD width,
                                            DWORD flip, DDWORD* sums) {
    const BYTE* redRow = (flip & 2) != 0 ? bottom : top;
    const BYTE* blueRow = (flip & 2) != 0 ? top : bottom;
    const DWORD redColumn = flip & 1;
    const DWORD blueColumn = redColumn ^ 1;
    DWORD previousRed = 0;
    DWORD previousGreen = 0;
    DWORD previousBlue = 0;
    bool previousUnclipped = false;
    for (DWORD x = 0; x + 1 < width; x += 2) {
        if (top[x] >= kNormBright || top[x + 1] >= kNormBright || bottom[x] >= kNormBright ||
            bottom[x + 1] >= kNormBright) {
            previousUnclipped = false;
            continue;
        }
        const DWORD red = redRow[x + redColumn];
        const DWORD green =
            (static_cast<DWORD>(redRow[x + blueColumn]) + blueRow[x + redColumn]) >> 1;
        const DWORD blue = blueRow[x + blueColumn];
        const DWORD greenStep =
            green > previousGreen ? green - previousGreen : previousGreen - green;
        if (previousUnclipped && greenStep >= kEdgeStep) {
            sums[0] += red > previousRed ? red - previousRed : previousRed - red;
            sums[1] += greenStep;
            sums[2] += blue > previousBlue ? blue - previousBlue : previousBlue - blue;
            ++sums[3];
        }
        previousRed = red;
        previousGreen = green;
        previousBlue = blue;
        previousUnclipped = true;
    }
}

__attribute__((always_inline)) inline void ClearCount(QuorvinClipCount* pCount) {
    pCount->dwSampled = 0;
    pCount->dwClipped = 0;
    pCount->dwHigh = 0;
    pCount->dwBright = 0;
    pCount->wClippedAreas = 0;
    pCount->dwNormCells = 0;
    pCount->pddwPowerSum[0] = pCount->pddwPowerSum[1] = pCount->pddwPowerSum[2] = 0;
}

// One area row's clipped bytes per area column, of rowsCounted rows: an area
// is clipped when 1/32 of its counted pixels are.
__attribute__((always_inline)) inline void AddAreaRow(const CAveragePixelValue* pStats,
                                                      DWORD areaRow, DWORD rowsCounted,
                                                      const DWORD* areaClipped,
                                                      QuorvinClipCount* pCount) {
    DWORD columnStart = 0;
    for (DWORD areaColumn = 0; areaColumn < 4; ++areaColumn) {
        const DWORD columnEnd = pStats->m_pdwImagePosX[areaColumn];
        const DWORD areaPixels = rowsCounted * (columnEnd - columnStart);
        if (areaPixels != 0 && (areaClipped[areaColumn] << kAreaClipShift) >= areaPixels)
            pCount->wClippedAreas |= static_cast<WORD>(1u << (4 * areaRow + areaColumn));
        pCount->dwClipped += areaClipped[areaColumn];
        pCount->dwSampled += areaPixels;
        columnStart = columnEnd;
    }
}

// Inlined into both entry points, so that the kernel stack carries one frame
// for the pass.
__attribute__((always_inline)) inline void CountFrame(const CAveragePixelValue* pStats,
                                                      bool withNorms, DWORD dwWidth, DWORD dwHeight,
                                                      const BYTE* pbyteRaw,
                                                      QuorvinClipCount* pCount) {
    ClearCount(pCount);
    if (dwWidth == 0 || dwHeight == 0)
        return;
    const WORD colorArray = pStats->m_wColorArray;
    const bool norms = withNorms && colorArray >= 2 && colorArray <= 5;
    const DWORD flip = norms ? static_cast<DWORD>(colorArray - 2) : 0;
    const DWORD pairMask = PairStepMask(dwHeight);
    PrefetchRow(pbyteRaw, dwWidth);
    if (dwHeight > 1)
        PrefetchRow(pbyteRaw + dwWidth, dwWidth);
    DWORD rowStart = 0;
    for (int areaRow = 0; areaRow < 4; ++areaRow) {
        const DWORD rowEnd = pStats->m_pdwImagePosY[areaRow];
        DWORD areaClipped[4] = {0, 0, 0, 0};
        DWORD rowsCounted = 0;
        for (DWORD y = rowStart; y < rowEnd; ++y) {
            if (((y >> 1) & pairMask) != 0)
                continue;
            ++rowsCounted;
            const BYTE* row = pbyteRaw + static_cast<DDWORD>(y) * dwWidth;
            // The same row of the next counted pair.
            const DWORD ahead = y + 2 * (pairMask + 1);
            if (ahead < dwHeight)
                PrefetchRow(pbyteRaw + static_cast<DDWORD>(ahead) * dwWidth, dwWidth);
            DWORD columnStart = 0;
            for (int areaColumn = 0; areaColumn < 4; ++areaColumn) {
                const DWORD columnEnd = pStats->m_pdwImagePosX[areaColumn];
                CountRowSegment(row + columnStart, columnEnd - columnStart,
                                &areaClipped[areaColumn], &pCount->dwHigh, &pCount->dwBright);
                columnStart = columnEnd;
            }
            if (norms && (y & 1) != 0)
                AddCellPowers(row - dwWidth, row, dwWidth, flip, pCount);
        }
        AddAreaRow(pStats, static_cast<DWORD>(areaRow), rowsCounted, areaClipped, pCount);
        rowStart = rowEnd;
    }
}

// The weight of the edges of pddwEdgeSum against the norm in norm[4] over
// dwCells unclipped cells, 0..kEdgeWeightOne; where it is not 0, the
// geometric means of the norm and of the edges scaled to the norm's green in
// pbyteMean[4], in colour index order.
DWORD EdgeWeight(DWORD dwCells, const DDWORD* pddwEdgeSum, const BYTE* norm, PBYTE pbyteMean) {
    const DWORD green = norm[1];
    if (pddwEdgeSum[1] == 0 || dwCells == 0)
        return 0;
    DWORD darkest = norm[0] < norm[3] ? norm[0] : norm[3];
    darkest = darkest < green ? darkest : green;
    if (darkest <= kEdgeDarkLow)
        return 0;
    // The share of the cells with an edge, in 1/32 of them (at most a cell
    // each, so below 2^37).
    const DDWORD share = pddwEdgeSum[3] * 32;
    const DDWORD low = static_cast<DDWORD>(dwCells) * kEdgeShareLow;
    if (share <= low)
        return 0;
    DWORD weight = kEdgeWeightOne;
    if (share < static_cast<DDWORD>(dwCells) * kEdgeShareFull) {
        // The span to 32 bits with the part above the ramp's foot, so that
        // it divides (only for frames far larger than any camera's).
        DDWORD span = static_cast<DDWORD>(dwCells) * (kEdgeShareFull - kEdgeShareLow);
        DDWORD part = (share - low) * kEdgeWeightOne;
        while ((span >> 32) != 0) {
            span >>= 1;
            part >>= 1;
        }
        weight = static_cast<DWORD>(quorvin_div_u64_u32(part, static_cast<DWORD>(span)));
    }
    if (darkest < kEdgeDarkFull)
        weight = weight * (darkest - kEdgeDarkLow) / (kEdgeDarkFull - kEdgeDarkLow);

    // The sums to 32 bits, so that the green's divides (a frame of any
    // camera's size never needs it: at most 249 levels a cell).
    DWORD shift = 0;
    while (((pddwEdgeSum[0] | pddwEdgeSum[1] | pddwEdgeSum[2]) >> shift) >> 32 != 0)
        ++shift;
    const DWORD greenEdge = static_cast<DWORD>(pddwEdgeSum[1] >> shift);
    if (greenEdge == 0)
        return 0;
    // Red (colour 0, edge sum 0), then blue (colour 3, edge sum 2); the
    // green's edge at the norm's green is the norm's green.
    for (DWORD c = 0; c < 4; c += 3) {
        const DWORD level = norm[c];
        // The colour's edge at the norm's green level (below 2^40), and its
        // geometric mean with the norm.
        const DDWORD scaled =
            quorvin_div_u64_u32((pddwEdgeSum[c == 0 ? 0 : 2] >> shift) * green, greenEdge);
        const DDWORD larger = scaled > level ? scaled : level;
        const DDWORD smaller = scaled > level ? level : scaled;
        if (smaller == 0 || larger * 256 >= smaller * kEdgeFar)
            return 0;
        const DWORD ratio =
            static_cast<DWORD>(quorvin_div_u64_u32(larger * 256, static_cast<DWORD>(smaller)));
        if (ratio > kEdgeNear)
            weight = weight * (kEdgeFar - ratio) / (kEdgeFar - kEdgeNear);
        const DWORD root = lluint_sqrt(level * scaled);
        pbyteMean[c] = static_cast<BYTE>(root > 255 ? 255 : root);
    }
    pbyteMean[1] = pbyteMean[2] = static_cast<BYTE>(green);
    return weight;
}

} // namespace

extern "C" {

void CPictureCtrl_init(CPictureCtrl* _this) {
    _this->m_byteClipBudget = 0;
    _this->m_byteTargetFloor = 0;
    _this->m_byteGuardTarget = 0;
    _this->m_byteGuardHold = 0;
    _this->m_byteRobustAWB = QUORVIN_AWB_GREY_WORLD;
    _this->m_byteReserved = 0;
    _this->m_wClipPerMille = 0;
}

void CountClippedPixels(const CAveragePixelValue* pStats, DWORD dwWidth, DWORD dwHeight,
                        const BYTE* pbyteRaw, QuorvinClipCount* pCount) {
    CountFrame(pStats, false, dwWidth, dwHeight, pbyteRaw, pCount);
}

void CountClippedAndNorms(const CAveragePixelValue* pStats, DWORD dwWidth, DWORD dwHeight,
                          const BYTE* pbyteRaw, QuorvinClipCount* pCount) {
    CountFrame(pStats, true, dwWidth, dwHeight, pbyteRaw, pCount);
}

void CountCellNorms(const CAveragePixelValue* pStats, DWORD dwWidth, DWORD dwHeight,
                    const BYTE* pbyteRaw, QuorvinClipCount* pCount) {
    pCount->dwNormCells = 0;
    pCount->pddwPowerSum[0] = pCount->pddwPowerSum[1] = pCount->pddwPowerSum[2] = 0;
    const WORD colorArray = pStats->m_wColorArray;
    if (dwWidth == 0 || dwHeight == 0 || colorArray < 2 || colorArray > 5)
        return;
    const DWORD flip = static_cast<DWORD>(colorArray - 2);
    const DWORD pairMask = PairStepMask(dwHeight);
    // The counted pairs' second rows, as CountClippedAndNorms meets them.
    const DWORD rowEnd = pStats->m_pdwImagePosY[3];
    for (DWORD y = 1; y < rowEnd; y += 2) {
        if (((y >> 1) & pairMask) != 0)
            continue;
        const BYTE* row = pbyteRaw + static_cast<DDWORD>(y) * dwWidth;
        AddCellPowers(row - dwWidth, row, dwWidth, flip, pCount);
    }
}

void CountCellEdges(const CAveragePixelValue* pStats, DWORD dwWidth, DWORD dwHeight,
                    const BYTE* pbyteRaw, DDWORD* pddwEdgeSum) {
    pddwEdgeSum[0] = pddwEdgeSum[1] = pddwEdgeSum[2] = pddwEdgeSum[3] = 0;
    const WORD colorArray = pStats->m_wColorArray;
    if (dwWidth == 0 || dwHeight == 0 || colorArray < 2 || colorArray > 5)
        return;
    const DWORD flip = static_cast<DWORD>(colorArray - 2);
    const DWORD pairMask = PairStepMask(dwHeight);
    // The counted pairs' second rows, as CountClippedAndNorms meets them.
    const DWORD rowEnd = pStats->m_pdwImagePosY[3];
    for (DWORD y = 1; y < rowEnd; y += 2) {
        if (((y >> 1) & pairMask) != 0)
            continue;
        const BYTE* row = pbyteRaw + static_cast<DDWORD>(y) * dwWidth;
        AddCellEdges(row - dwWidth, row, dwWidth, flip, pddwEdgeSum);
    }
}

void ClearClipCount(QuorvinClipCount* pCount) {
    ClearCount(pCount);
}

DWORD ClipPairMask(DWORD dwHeight) {
    return PairStepMask(dwHeight);
}

void AddClipAreaRow(const CAveragePixelValue* pStats, DWORD dwAreaRow, DWORD dwRowsCounted,
                    const DWORD* pdwClipped, QuorvinClipCount* pCount) {
    AddAreaRow(pStats, dwAreaRow, dwRowsCounted, pdwClipped, pCount);
}

BOOL NormAverage(const QuorvinClipCount* pCount, PBYTE pbyteAverage) {
    const DWORD cells = pCount->dwNormCells;
    // dwSampled counts pixels: four to a cell.
    if (cells == 0 || (cells << kNormShareShift) < pCount->dwSampled / 4)
        return FALSE;
    BYTE norm[3];
    for (int c = 0; c < 3; ++c) {
        // The fourth root of the mean fourth power: at most 249.
        const DDWORD mean = quorvin_div_u64_u32(pCount->pddwPowerSum[c], cells);
        norm[c] = static_cast<BYTE>(lluint_sqrt(lluint_sqrt(mean)));
    }
    pbyteAverage[0] = norm[0];
    pbyteAverage[1] = norm[1];
    pbyteAverage[2] = norm[1];
    pbyteAverage[3] = norm[2];
    return TRUE;
}

BOOL RobustAverage(const QuorvinClipCount* pCount, const DDWORD* pddwEdgeSum, PBYTE pbyteAverage) {
    BYTE norm[4];
    if (!NormAverage(pCount, norm))
        return FALSE;
    BYTE mean[4] = {norm[0], norm[1], norm[2], norm[3]};
    const DWORD weight = EdgeWeight(pCount->dwNormCells, pddwEdgeSum, norm, mean);
    // From the norm towards the geometric mean by the weight, rounded.
    for (int c = 0; c < 4; ++c) {
        const DWORD blend = norm[c] * (kEdgeWeightOne - weight) + mean[c] * weight;
        pbyteAverage[c] = static_cast<BYTE>((blend + kEdgeWeightOne / 2) / kEdgeWeightOne);
    }
    return TRUE;
}

BYTE GuardTarget(CPictureCtrl* _this, const CLuminanceCtrl* pLum, BYTE byteLevel,
                 const QuorvinClipCount* pCount) {
    const BYTE byteConfigured = pLum->m_byteTarget;
    const WORD wClip = PerMille(pCount->dwClipped, pCount->dwSampled);
    _this->m_wClipPerMille = wClip;
    if (_this->m_byteClipBudget == 0)
        return byteConfigured;

    // A target lowered by the driver takes the guard's place at once.
    DWORD target = _this->m_byteGuardTarget;
    if (target == 0 || target > byteConfigured)
        target = byteConfigured;
    const DWORD floorLevel =
        _this->m_byteTargetFloor < byteConfigured ? _this->m_byteTargetFloor : byteConfigured;
    const DWORD budget = _this->m_byteClipBudget;
    // The brightness counts as on the target inside the controller's resting
    // band: it does not move for less.
    const DWORD band = static_cast<DWORD>(pLum->m_byteTolerance) + pLum->m_byteThreshold;
    const DWORD level = byteLevel;
    const DWORD high = PerMille(pCount->dwHigh, pCount->dwSampled);
    const DWORD bright = PerMille(pCount->dwBright, pCount->dwSampled);

    // Hysteresis at rest: once the brightness rests on the target in force,
    // half the budget more is tolerated before a step down. Steps
    // smaller than the dead band move nothing there, and a count wandering
    // across the budget would walk the target down without moving the
    // picture.
    const DWORD distance = level > target ? level - target : target - level;
    const DWORD allowed = distance <= band ? budget + budget / 2 : budget;

    if (wClip > allowed) {
        _this->m_byteGuardHold = 0;
        // While the brightness is still coming down from above the target,
        // the exposure is already falling: wait for it. Below the target
        // (the exposure still rising), step from where the brightness is,
        // so that the target does not run ahead of the picture. Within a
        // tolerance of the resting band, step with the exposure: a clipped
        // surface holds the brightness up until its pixels leave 255, so
        // the fall slows as it nears the target, and one more evaluation
        // spent waiting is 7 frames (a white facade after the light rose
        // sixteenfold took 68 frames to settle, 59 with this).
        if (level <= target + band + pLum->m_byteTolerance) {
            const DWORD base = level < target ? level : target;
            // An eighth (1/5 octave), a quarter (0.4 octave) when four times
            // the budget is clipped within the band (from above it, the
            // brightness has still to come down).
            DWORD step = wClip >= 4 * budget && level <= target + band ? base / 4 : base / 8;
            if (step == 0)
                step = 1;
            target = base > floorLevel + step ? base - step : floorLevel;
        }
    } else if ((level + level / 3 <= target && bright > budget) ||
               (level + level / 16 + 1 <= target && high > budget)) {
        // Still climbing (from a dark start), within the budget now, but a
        // rise to the target would clip more than the budget: the pixels at
        // 192 or more clip at 4/3 of the brightness, those at 240 or more at
        // 17/16. Stop the climb well short of that (9/8 of the brightness,
        // or 1/32 above it) instead of overshooting and stepping down from
        // above one evaluation at a time later; the climb rule below raises
        // it again where the highlights allow.
        _this->m_byteGuardHold = 0;
        DWORD capped = high > budget ? level + level / 32 : level + level / 8;
        if (capped < floorLevel)
            capped = floorLevel;
        if (capped < target)
            target = capped;
    } else if (target < byteConfigured) {
        // A step up multiplies the pixels by its ratio: from the brightness
        // measured now, 4/3 clips those at 192 or more, 17/16 those at 240
        // or more. Climb by the larger step whose newly clipped pixels stay
        // within half the budget, once the brightness has settled on the
        // lowered target for two evaluations.
        if (distance > band) {
            _this->m_byteGuardHold = 0;
        } else if (++_this->m_byteGuardHold >= kClimbHold) {
            _this->m_byteGuardHold = 0;
            DWORD climbed = target;
            if (2 * bright <= budget)
                climbed = level + level / 3;
            else if (2 * high <= budget)
                climbed = level + (level >= 16 ? level / 16 : 1);
            if (climbed > byteConfigured)
                climbed = byteConfigured;
            if (climbed > target)
                target = climbed;
        }
    } else {
        _this->m_byteGuardHold = 0;
    }
    _this->m_byteGuardTarget = static_cast<BYTE>(target);
    return static_cast<BYTE>(target);
}

void RobustAreaWeights(const CWhiteBalanceCtrl* pWb, const CAveragePixelValue* pStats,
                       WORD wClippedAreas, PBYTE pbyteWeight) {
    const WORD colorArray = pStats->m_wColorArray;
    int kept = 0;
    for (int area = 0; area < 16; ++area) {
        const BYTE weight = pWb->m_pbyteAWBWeight[area];
        pbyteWeight[area] = 0;
        if (weight == 0 || colorArray < 2 || colorArray > 5)
            continue;
        // Colour index i sits at position i XOR (code - 2) for codes 2 to 5.
        const DWORD flip = static_cast<DWORD>(colorArray - 2);
        const BYTE* average = pStats->m_pbyteAverage[area];
        const DWORD red = average[0 ^ flip];
        const DWORD green = (static_cast<DWORD>(average[1 ^ flip]) + average[2 ^ flip]) >> 1;
        const DWORD blue = average[3 ^ flip];
        const DWORD greyRed = pWb->m_pwTarget[0] * green / 100;
        const DWORD greyBlue = pWb->m_pwTarget[1] * green / 100;
        if ((static_cast<DWORD>(wClippedAreas) >> area) & 1u)
            continue;
        if (green < kDarkGreen || !NearReference(red, greyRed) || !NearReference(blue, greyBlue))
            continue;
        pbyteWeight[area] = weight;
        ++kept;
    }
    if (kept < kFewestAreas) {
        for (int area = 0; area < 16; ++area)
            pbyteWeight[area] = pWb->m_pbyteAWBWeight[area];
    }
}

} // extern "C"
