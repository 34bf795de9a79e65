/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * Area statistics: the frame is cut into a 4 x 4 grid of areas, and for each
 * area and each colour position of the 2 x 2 Bayer cell the mean raw value of
 * its pixels is kept. Weighted means over the areas give the colour averages
 * (white balance) and the brightness (exposure and gain).
 *
 * Colour position of pixel (x, y): 2 * (y % 2) + (x % 2), counted from the
 * frame's first byte. Area index: 4 * area row + area column.
 * Colour array codes: QuorvinColorArray below.
 */
#ifndef QUORVIN_AWB_AVERAGEPIXELVALUE_H
#define QUORVIN_AWB_AVERAGEPIXELVALUE_H

#include "win.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Colour array codes (wColorArray, m_wColorArray): the colours of the 2 x 2
 * cell at the frame's first byte, first row then second row. A Bayer code
 * QUORVIN_COLOR_ARRAY_RGGB + n puts colour index i (0 red, 1 green of the red
 * rows, 2 green of the blue rows, 3 blue) at colour position i ^ n.
 */
enum QuorvinColorArray {
    QUORVIN_COLOR_ARRAY_SINGLE = 1, /* single-channel: no colour positions */
    QUORVIN_COLOR_ARRAY_RGGB = 2,   /* R G / G B */
    QUORVIN_COLOR_ARRAY_GRBG = 3,   /* G R / B G */
    QUORVIN_COLOR_ARRAY_GBRG = 4,   /* G B / R G */
    QUORVIN_COLOR_ARRAY_BGGR = 5,   /* B G / G R */
};

typedef struct CAveragePixelValue {
    WORD m_pwSepalatePosX[3];         /* inner vertical split lines, 1/10000 of width */
    WORD m_pwSepalatePosY[3];         /* inner horizontal split lines, 1/10000 of height */
    BYTE m_pbyteAverage[16][4];       /* mean raw value [area][colour position] */
    BOOL m_bAreaChangeFg;             /* geometry must be recomputed */
    WORD m_wColorArray;               /* code the geometry was computed for */
    DWORD m_dwImageWidth;             /* width the geometry was computed for */
    DWORD m_dwImageHeight;            /* height the geometry was computed for */
    DWORD m_pdwImagePosX[4];          /* exclusive end column of each area column */
    DWORD m_pdwImagePosY[4];          /* exclusive end row of each area row */
    DWORD m_pdwAreaPixelCount[16][4]; /* pixels [area][colour position] */
} CAveragePixelValue;

void CAveragePixelValue_init(CAveragePixelValue* _this);
void CAveragePixelValue_free(CAveragePixelValue* _this);

/* Measures the frame at pbyteRaw (dwWidth x dwHeight bytes, stride dwWidth)
 * into m_pbyteAverage, recomputing the geometry first when the size or the
 * code changed. Always TRUE. */
BOOL UpdateAverage(CAveragePixelValue* _this, DWORD dwWidth, DWORD dwHeight, WORD wColorArray,
                   PBYTE pbyteRaw);
BOOL mbUpdateImagePosAndPixelCount(CAveragePixelValue* _this, DWORD dwWidth, DWORD dwHeight,
                                   WORD wColorArray);

/* Weighted colour averages in colour index order (R, Gr, Gb, B); one byte for
 * a single-channel frame. pbyteWeight: 16 area weights. The code is the one
 * recorded by the last UpdateAverage. All zero weights give zeros; for a code
 * outside 1 to 5 with some weight nothing is written. Always TRUE. */
BOOL GetColorAverage(CAveragePixelValue* _this, PBYTE pbyteWeight, PBYTE pbyteAverage);
/* Weighted brightness (2989 R + 5866 G + 1145 B) / 10000 into one byte, G
 * being the two greens' mean rounded down. For a code outside 1 to 5 the
 * colour positions are weighed in their own order (as code 2). */
BOOL GetBrightnessAverage(CAveragePixelValue* _this, PBYTE pbyteWeight, PBYTE pbyteAverage);
BOOL mbGetWeightAverage(CAveragePixelValue* _this, PBYTE pbyteWeight, PBYTE pbyteWeightAverage);

#ifdef __cplusplus
}
#endif

#endif /* QUORVIN_AWB_AVERAGEPIXELVALUE_H */
