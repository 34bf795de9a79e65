// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * Area statistics: per-area, per-colour-position means of a raw frame, and
 * the weighted colour averages and brightness derived from them.
 *
 * The geometry (area boundaries and pixel counts) is computed only when the
 * frame size or the colour array code changes; a measurement is then one pass
 * over the frame (PixelDispatch.cpp and its kernels), followed by one
 * division per area and colour position.
 */
#include "AveragePixelValue.h"
#include "PixelKernels.h"

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
    quorvin_pixel::RefreshGeometry(_this, dwWidth, dwHeight, wColorArray);
    quorvin_pixel::MeasureAreas(_this, dwWidth, pbyteRaw);
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

void RefreshGeometry(CAveragePixelValue* pStats, DWORD dwWidth, DWORD dwHeight, WORD wColorArray) {
    if (pStats->m_bAreaChangeFg || dwWidth != pStats->m_dwImageWidth ||
        dwHeight != pStats->m_dwImageHeight || wColorArray != pStats->m_wColorArray)
        mbUpdateImagePosAndPixelCount(pStats, dwWidth, dwHeight, wColorArray);
}

} // namespace quorvin_pixel
