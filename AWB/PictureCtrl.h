/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * The two opt-in picture modes of the balance object, both off after
 * Quorvin_InitAWBObject:
 *
 *   the highlight guard: the luminance controller's target is lowered, one
 *   evaluation at a time and never below a floor, while more than a budget of
 *   the measured pixels stands at 255, and raised back towards the configured
 *   target once a step up would not clip again;
 *
 *   the robust white balance statistic: the order-4 Minkowski norm of the
 *   unclipped pixels ("shades of grey"), moved towards its geometric mean
 *   with their mean first-order edge ("grey edge") by a weight that follows
 *   the edges' count and agreement, instead of the mean of every area, with
 *   grey world over the areas neither clipped nor strongly coloured as its
 *   fallback.
 *
 * Both need a look at the pixels beyond the area means, which a cheap
 * subsampled pass takes after the area statistics (only on the frames a mode
 * needs them): in vector registers where the statistics have a vector variant
 * (pixel/PixelKernels.h, CountClippedVector), else in general registers.
 * With both modes off nothing here runs and the controllers behave exactly as
 * without them.
 */
#ifndef QUORVIN_AWB_PICTURECTRL_H
#define QUORVIN_AWB_PICTURECTRL_H

#include "AveragePixelValue.h"
#include "LuminanceCtrl.h"
#include "WhiteBalanceCtrl.h"
#include "win.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Values of CPictureCtrl.m_byteRobustAWB (Quorvin_SetRobustAWB). */
enum QuorvinRobustAwb {
    QUORVIN_AWB_GREY_WORLD = 0, /* every weighted area (the default) */
    QUORVIN_AWB_ROBUST = 1,     /* areas neither clipped nor strongly coloured */
};

/* Suggested highlight guard settings: 2 % of the pixels at 255 (20 per
 * mille), and a floor of 32 levels (2 octaves under the default target 128),
 * which keeps a night sky dark but not black. */
#define QUORVIN_GUARD_DEFAULT_BUDGET 20
#define QUORVIN_GUARD_DEFAULT_FLOOR  32

/*
 * State of the two modes. 8 bytes: it shares the object's storage of the
 * per-object callback table that no operation uses, so the object keeps its
 * size. All zero means both modes off.
 */
typedef struct CPictureCtrl {
    BYTE m_byteClipBudget;  /* guard: per mille of measured pixels allowed at 255; 0 off */
    BYTE m_byteTargetFloor; /* guard: lowest target it sets, levels 0..255 */
    BYTE m_byteGuardTarget; /* guard: target in force, levels; 0 = the configured one */
    BYTE m_byteGuardHold;   /* guard: settled evaluations in a row with room to climb */
    BYTE m_byteRobustAWB;   /* QuorvinRobustAwb */
    BYTE m_byteReserved;    /* 0 */
    WORD m_wClipPerMille;   /* 255s among the pixels of the last counted frame, per mille */
} CPictureCtrl;

/* Counts of one frame's subsampled pass. */
typedef struct QuorvinClipCount {
    DWORD dwSampled;    /* pixels looked at */
    DWORD dwClipped;    /* of them at 255 */
    DWORD dwHigh;       /* of them at 240 or more: 255 after a step of 1/16 up */
    DWORD dwBright;     /* of them at 192 or more: 255 after a step of 1/3 up */
    WORD wClippedAreas; /* bit a: at least 1/32 of area a's pixels at 255 */
    /* Only when asked for: the counted row pairs' Bayer cells with no
     * sample of 250 or more, and the sums of the fourth powers of their red,
     * green (mean of the two) and blue. */
    DWORD dwNormCells;
    DDWORD pddwPowerSum[3];
} QuorvinClipCount;

/* Puts both modes off. */
void CPictureCtrl_init(CPictureCtrl* _this);

/*
 * Counts, on every kth row pair (k the power of two up to height / 120 lines,
 * from 1 to 8, so that every area row keeps at least 15 row pairs), the
 * pixels at 255 and
 * at 240 or more, per area of the statistics' grid. The grid must be the one
 * of this frame (after UpdateAverage or its steps). Reads only, width x height
 * bytes at pbyteRaw at most.
 */
void CountClippedPixels(const CAveragePixelValue* pStats, DWORD dwWidth, DWORD dwHeight,
                        const BYTE* pbyteRaw, QuorvinClipCount* pCount);
/* The same count, plus the fourth powers of the unclipped cells. */
void CountClippedAndNorms(const CAveragePixelValue* pStats, DWORD dwWidth, DWORD dwHeight,
                          const BYTE* pbyteRaw, QuorvinClipCount* pCount);
/* Only the fourth powers of the unclipped cells (dwNormCells and
 * pddwPowerSum, the rest of pCount as it is): with a count taken apart, the
 * norms of CountClippedAndNorms. */
void CountCellNorms(const CAveragePixelValue* pStats, DWORD dwWidth, DWORD dwHeight,
                    const BYTE* pbyteRaw, QuorvinClipCount* pCount);
/* The first-order edges of the same cells, in pddwEdgeSum[4]: per colour
 * (red, green, blue) the sum of the absolute differences, in levels,
 * between an unclipped cell of the counted row pairs and the unclipped cell
 * on its left, over the pairs whose green differs by 8 levels or more (less
 * is the sensor's noise), and [3] the number of such pairs. A pass of its
 * own, run apart from the count, so that its sums never add to the counting
 * pass's stack. */
void CountCellEdges(const CAveragePixelValue* pStats, DWORD dwWidth, DWORD dwHeight,
                    const BYTE* pbyteRaw, DDWORD* pddwEdgeSum);

/* The parts of the count a vector variant's count shares (pixel/PixelKernels.h,
 * CountClippedVector): all of pCount to 0; the mask of the counted row pairs,
 * row y counted when ((y / 2) & mask) == 0; and one area row's clipped bytes
 * per area column, of dwRowsCounted rows, added to pCount (the clipped areas,
 * the clipped and sampled totals). */
void ClearClipCount(QuorvinClipCount* pCount);
DWORD ClipPairMask(DWORD dwHeight);
void AddClipAreaRow(const CAveragePixelValue* pStats, DWORD dwAreaRow, DWORD dwRowsCounted,
                    const DWORD* pdwClipped, QuorvinClipCount* pCount);

/*
 * The colour averages of the robust statistic, in colour index order, into
 * pbyteAverage[4]: per colour the fourth root of the mean fourth power over
 * the unclipped cells counted by CountClippedAndNorms (the Minkowski norm of
 * order 4 of the "shades of grey" estimate, which leans on the brighter
 * surfaces without taking the single brightest). FALSE, with nothing
 * written, when fewer than 1/64 of the counted cells are unclipped (the
 * caller then weighs the areas).
 */
BOOL NormAverage(const QuorvinClipCount* pCount, PBYTE pbyteAverage);

/*
 * The colour averages the robust statistic balances on, in colour index
 * order, into pbyteAverage[4]: per colour the norm of NormAverage moved
 * towards its geometric mean with the edges of CountCellEdges scaled to the
 * norm's green (the edge estimate's colour at the norm's level). The norm
 * leans on the bright surfaces and is misled when they share one colour;
 * the edges lean on the changes between surfaces and are misled when a few
 * coloured objects stand on a plain ground: the mean of the two halves
 * either error. How far, in 1/256, is the product of three linear ramps:
 * the share of the unclipped cells with an edge, from none at 1/32 to all
 * at 1/8 (fewer are a few boundaries between flat surfaces, whose
 * differences are their colours); the larger ratio of the edges' red or
 * blue to the norm's, all within half an octave, none at 2.5 times (such
 * edges are coloured objects' boundaries); the norm's darkest colour, none
 * at 16 levels, all at 32 (a frame far under its exposure: the edges there
 * are mostly noise). None when a colour has no edge. Ramps, not switches:
 * a small change of the frame moves the estimate a little, so that the
 * colour gains, and the exposure that follows them, do not swing between
 * evaluations. FALSE, with nothing written, when NormAverage is.
 */
BOOL RobustAverage(const QuorvinClipCount* pCount, const DDWORD* pddwEdgeSum, PBYTE pbyteAverage);

/*
 * One step of the highlight guard, for a luminance evaluation on this frame:
 * moves m_byteGuardTarget by the clipped shares of pCount and the frame's
 * brightness byteLevel (0..255) and returns the target the evaluation must
 * use. Returns the configured target while the guard is off.
 */
BYTE GuardTarget(CPictureCtrl* _this, const CLuminanceCtrl* pLum, BYTE byteLevel,
                 const QuorvinClipCount* pCount);

/*
 * The area weights of the robust statistic: pbyteWeight[a] = the white
 * balance weight of area a, or 0 for an area that is clipped (bit a of
 * wClippedAreas), too dark to tell its colour (green under 8 levels), or
 * strongly coloured (red or blue more than 3/2 or less than 2/3 of where the
 * controller's targets put a grey). When fewer than 4 weighted areas remain,
 * every area keeps its weight (plain grey world).
 */
void RobustAreaWeights(const CWhiteBalanceCtrl* pWb, const CAveragePixelValue* pStats,
                       WORD wClippedAreas, PBYTE pbyteWeight);

#ifdef __cplusplus
}
#endif

#endif /* QUORVIN_AWB_PICTURECTRL_H */
