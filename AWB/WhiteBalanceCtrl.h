/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * White balance controller: four colour gains (unit 1/128, 128 = x1.0) with a
 * 256-entry lookup table each, in colour index order (0 red, 1 green of the
 * red rows, 2 green of the blue rows, 3 blue); frame correction through the
 * tables; automatic control of the red and blue gains.
 *
 * Modes (m_byteMode): QuorvinWbMode below.
 */
#ifndef QUORVIN_AWB_WHITEBALANCECTRL_H
#define QUORVIN_AWB_WHITEBALANCECTRL_H

#include "AveragePixelValue.h"
#include "win.h"

#ifdef __cplusplus
extern "C" {
#endif

/* White balance modes, m_byteMode (values above 3 act as 2). */
enum QuorvinWbMode {
    QUORVIN_WB_OFF = 0,      /* frames are not corrected, the gains stay */
    QUORVIN_WB_FIXED = 1,    /* the tables correct frames, the gains stay */
    QUORVIN_WB_AUTO = 2,     /* the tables correct frames, the control runs */
    QUORVIN_WB_ONE_SHOT = 3, /* as QUORVIN_WB_AUTO until an evaluation changes
                              * nothing, then QUORVIN_WB_FIXED */
};

/* Scale of the white balance gains (m_pwGain, m_pwIniGain): 1/128, so
 * QUORVIN_WB_GAIN_UNITY = 1 << QUORVIN_WB_GAIN_SHIFT = 128 is x1.0 and table
 * entry i is (i * gain) >> QUORVIN_WB_GAIN_SHIFT. */
enum QuorvinWbGainScale {
    QUORVIN_WB_GAIN_SHIFT = 7,
    QUORVIN_WB_GAIN_UNITY = 128,
};

/*
 * The controller's defaults (CWhiteBalanceCtrl_init), for the drivers and
 * tools that show or start from them.
 * - Dead band 5: tenths of a grey level, the distance of the red and blue
 *   averages from their targets below which no step is made (10 to start
 *   from rest); the distance is truncated to whole levels first, so a 0.5
 *   level band means "exactly on target" at whole-level resolution.
 * - Targets 100 %: red and blue averages equal to the green average.
 * - 10 frames skipped after each evaluation, 10 averaged for the next: at
 *   30 frames/s one step of the gains about every 0.67 s.
 */
enum QuorvinWbDefaults {
    QUORVIN_WB_DEFAULT_THRESHOLD = 5,
    QUORVIN_WB_DEFAULT_TOLERANCE = 5,
    QUORVIN_WB_DEFAULT_TARGET_PERCENT = 100,
    QUORVIN_WB_DEFAULT_SKIP_FRAMES = 10,
    QUORVIN_WB_DEFAULT_SAMPLE_FRAMES = 10,
    QUORVIN_WB_DEFAULT_AREA_WEIGHT = 1,
};

typedef struct CWhiteBalanceCtrl {
    WORD m_wColorArray;                /* colour array code of the frames */
    BYTE m_byteMode;                   /* white balance mode, see above */
    WORD m_wThreshold;                 /* dead band, tenths of a grey level */
    WORD m_wTolerance;                 /* kept, not read */
    WORD m_pwGain[4];                  /* current gains, 1/128 */
    WORD m_pwTarget[2];                /* red, blue target in % of green */
    WORD m_pwIniGain[4];               /* initial gains */
    BYTE m_pbyteAWBWeight[16];         /* area weights of the colour average */
    BYTE m_byteAWBSkipCount;           /* frames skipped after an evaluation */
    BYTE m_byteAWBSamplingCount;       /* frames averaged per evaluation */
    BYTE m_ppbyteTable[4][256];        /* table k always matches m_pwGain[k] */
    DWORD m_pdwSumOfSamplingAWB[4];    /* running sums, then means */
    BYTE m_byteAWBAlredySamplingCount; /* frames sampled in this run */
    BOOL m_bAWBStarted;                /* last evaluation changed a gain */
    BYTE m_byteAWBRestSkipCount;       /* frames still to skip */
} CWhiteBalanceCtrl;

void CWhiteBalanceCtrl_init(CWhiteBalanceCtrl* _this, PWORD pwIniGain, WORD wColorArray);
void CWhiteBalanceCtrl_free(CWhiteBalanceCtrl* _this);

/* Corrects the frame in place through the tables, the colour array code
 * taken from wColorArray. Always TRUE; leaves the frame untouched for code 1,
 * for codes outside 1 to 5 and in mode 0. A last odd column or row is left as
 * it is. With both green gains at 128 the green bytes are not touched. */
BOOL ImageProcessing(CWhiteBalanceCtrl* _this, DWORD dwWidth, DWORD dwHeight, WORD wColorArray,
                     PBYTE pbyteRaw);
/* Writes the corrected source frame to pDest (same geometry; pDest may equal
 * pbyteRaw, no other overlap). Always TRUE; writes nothing for code 1, for
 * codes outside 1 to 5 or in mode 0; bytes of a last odd column or row of
 * pDest are not written. */
BOOL ImageCopyProcessing(CWhiteBalanceCtrl* _this, DWORD dwWidth, DWORD dwHeight, WORD wColorArray,
                         PBYTE pbyteRaw, PBYTE pDest);
/* Table rule of the automatic control: entry i = (i * wGain) >> 7 below
 * floor(32640 / wGain) (at most 256), 255 from there on; all 0 for gain 0.
 * This saturates one entry earlier than min((i * wGain) >> 7, 255) when the
 * gain is 128 or more and does not divide 32640 (kept as it is). */
BOOL mbUpdateTable(CWhiteBalanceCtrl* _this, WORD wGain, PBYTE pbyteTable);

/* TRUE when white balance wants this frame; otherwise counts the rest skip
 * count down (when asked) and returns FALSE. */
BOOL IsAutoMode(CWhiteBalanceCtrl* _this, BOOL bDecrementSkipCount);
/* Samples the frame's weighted colour averages (m_pbyteAWBWeight); on the
 * last frame of a sampling run moves the red and blue gains by target over
 * measured average (limit 1023) outside the dead band, rebuilds their
 * tables and reloads the skip countdown. Counts the countdown down itself
 * when called during one. TRUE unless GetColorAverage fails. */
BOOL UpdateGain(CWhiteBalanceCtrl* _this, CAveragePixelValue* pobjAveragePixelValue);
/* The sampling and control step; pbyteAverage: R, Gr, Gb, B. Always TRUE. */
BOOL mbAutoUpdateGain(CWhiteBalanceCtrl* _this, PBYTE pbyteAverage);

/* floor(sqrt(x)) for every 64-bit x. */
DWORD lluint_sqrt(DDWORD x);

#ifdef __cplusplus
}
#endif

#endif /* QUORVIN_AWB_WHITEBALANCECTRL_H */
