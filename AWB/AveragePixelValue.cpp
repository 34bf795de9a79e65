// SPDX-License-Identifier: GPL-2.0 OR MIT
// Area statistics: per-area, per-colour-position means of a raw frame, and
// the weighted colour averages and brightness derived from them.
//
// The geometry (area boundaries and pixel counts) is computed only when the
// frame size or the colour array code changes; a measurement is then one pass
// over the frame (PixelDispatch.cpp and its kernels), followed by one
// division per area and colour position.
#include "AveragePixelValue.h"
#include "pixel/PixelKernels.h"

namespace {

// Split lines are kept in ten-thousandths of the frame width or height.
constexpr DWORD kSplitScale = 10000;

// Brightness weights of red, green and blue, in ten-thousandths.
constexpr DWORD kLumaWeightR = 2989;
constexpr DWORD kLumaWeightG = 5866;
constexpr DWORD kLumaWeightB = 1145;
constexpr DWORD kLumaScale = 10000;
static_assert(kLumaWeightR + kLumaWeightG + kLumaWeightB == kLumaScale, "weights must add up to 1");

// The record is part of the balance object's fixed layout; no pointers, so
// the same size on 32-bit and 64-bit hosts.
static_assert(sizeof(CAveragePixelValue) == 380, "CAveragePixelValue layout changed");

// Four equal area columns and rows (split lines at 2500, 5000 and 7500
// ten-thousandths), and no geometry yet: the first measurement computes it.
void ApplyAreaDefaults(CAveragePixelValue* _this) {
    for (int i = 0; i < 3; ++i) {
        const WORD split = static_cast<WORD>(2500 * (i + 1));
        _this->m_pwSepalatePosX[i] = split;
        _this->m_pwSepalatePosY[i] = split;
    }
    _this->m_bAreaChangeFg = TRUE;
    _this->m_wColorArray = 0;
    _this->m_dwImageWidth = 0;
    _this->m_dwImageHeight = 0;
}

// floor(split * size / 10000), limited to size. The product is split at the
// scale (size = q * 10000 + r) so that it is exact for every 32-bit size
// without a 64-bit division: split * r stays below 2^32, and split * q is
// formed in 64 bits (a multiplication, which 32-bit kernels have).
DWORD SplitLinePos(WORD split, DWORD size) {
    const DWORD whole = size / kSplitScale;
    const DWORD part = size % kSplitScale;
    const DDWORD position = static_cast<DDWORD>(split) * whole + (split * part) / kSplitScale;
    return position > size ? size : static_cast<DWORD>(position);
}

// Exclusive end of each of the four area columns (or rows) of a dimension.
void ComputeBoundaries(const WORD splits[3], DWORD size, DWORD ends[4]) {
    for (int i = 0; i < 3; ++i)
        ends[i] = SplitLinePos(splits[i], size);
    ends[3] = size;
    if (ends[0] > ends[1])
        ends[1] = ends[0];
    if (ends[1] > ends[2])
        ends[2] = ends[1];
}

// Pixels of each colour position in the area of columns x0..x1-1 and rows
// y0..y1-1, in closed form: of w columns, (w + 1) / 2 share the parity of x0
// and w / 2 have the other one; rows likewise.
void BayerAreaCounts(DWORD x0, DWORD x1, DWORD y0, DWORD y1, DWORD counts[4]) {
    const DWORD width = x1 - x0;
    const DWORD height = y1 - y0;
    const DWORD columnsSame = (width + 1) / 2;
    const DWORD columnsOther = width / 2;
    const DWORD rowsSame = (height + 1) / 2;
    const DWORD rowsOther = height / 2;
    for (DWORD position = 0; position < 4; ++position) {
        const DWORD rows = ((position >> 1) == (y0 & 1)) ? rowsSame : rowsOther;
        const DWORD columns = ((position & 1) == (x0 & 1)) ? columnsSame : columnsOther;
        counts[position] = rows * columns;
    }
}

// Colour position that holds the given colour index under a Bayer code
// (each mapping is its own inverse, so it also gives the index at a position).
constexpr DWORD PositionOfIndex(WORD colorArray, DWORD index) {
    return index ^ quorvin_pixel::ArrangementOf(colorArray);
}

// Weighted means per colour position (position order), and the total weight.
// Means are 0 when the total weight is 0.
DWORD WeightedPositionMeans(const CAveragePixelValue* _this, const BYTE* weights, DWORD means[4]) {
    DWORD totalWeight = 0;
    DWORD sums[4] = {};
    for (DWORD a = 0; a < 16; ++a) {
        const DWORD weight = weights[a];
        totalWeight += weight;
        for (DWORD p = 0; p < 4; ++p)
            sums[p] += weight * _this->m_pbyteAverage[a][p];
    }
    for (DWORD p = 0; p < 4; ++p)
        means[p] = totalWeight == 0 ? 0 : sums[p] / totalWeight;
    return totalWeight;
}

} // namespace

extern "C" {

void CAveragePixelValue_init(CAveragePixelValue* _this) {
    ApplyAreaDefaults(_this);
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
            if (wColorArray == QUORVIN_COLOR_ARRAY_SINGLE)
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
    if (wColorArray == QUORVIN_COLOR_ARRAY_SINGLE) {
        pbyteWeightAverage[0] = static_cast<BYTE>(pdwMean[0]);
    } else if (dwTotalWeight == 0) {
        for (DWORD c = 0; c < 4; ++c)
            pbyteWeightAverage[c] = 0;
    } else if (quorvin_pixel::IsBayerCode(wColorArray)) {
        for (DWORD c = 0; c < 4; ++c)
            pbyteWeightAverage[c] = static_cast<BYTE>(pdwMean[PositionOfIndex(wColorArray, c)]);
    }
    // any other code: nothing is written
    return TRUE;
}

BOOL GetColorAverage(CAveragePixelValue* _this, PBYTE pbyteWeight, PBYTE pbyteAverage) {
    return mbGetWeightAverage(_this, pbyteWeight, pbyteAverage);
}

BOOL GetBrightnessAverage(CAveragePixelValue* _this, PBYTE pbyteWeight, PBYTE pbyteAverage) {
    if (_this->m_wColorArray == QUORVIN_COLOR_ARRAY_SINGLE)
        return mbGetWeightAverage(_this, pbyteWeight, pbyteAverage);

    BYTE pbyteColor[4];
    const BOOL bResult = mbGetWeightAverage(_this, pbyteWeight, pbyteColor);
    if (!quorvin_pixel::IsBayerCode(_this->m_wColorArray)) {
        // Unknown code: colour averages are undefined, so the positions are
        // weighed in their own order (as QUORVIN_COLOR_ARRAY_RGGB). A grey scene still gives its
        // true brightness, and nothing uninitialised is read.
        DWORD pdwMean[4];
        WeightedPositionMeans(_this, pbyteWeight, pdwMean);
        for (DWORD p = 0; p < 4; ++p)
            pbyteColor[p] = static_cast<BYTE>(pdwMean[p]);
    }
    const DWORD dwGreen = (static_cast<DWORD>(pbyteColor[1]) + pbyteColor[2]) / 2;
    const DWORD dwBrightness =
        (kLumaWeightR * pbyteColor[0] + kLumaWeightG * dwGreen + kLumaWeightB * pbyteColor[3]) /
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
