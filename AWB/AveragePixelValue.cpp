/*
 * Area statistics: per-area, per-colour-position means of a raw frame, and
 * the weighted colour averages and brightness derived from them.
 *
 * The geometry (area boundaries and pixel counts) is computed only when the
 * frame size or the colour array code changes; a measurement is then one pass
 * over the frame with one load and one addition per pixel, followed by one
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

/*
 * Row-segment sums: the whole per-pixel cost of a measurement lies here.
 *
 * A segment's bytes are summed by the parity of their address, not of their
 * offset: the body of a segment is read in aligned machine words (or aligned
 * vectors), whose even bytes always sit at even addresses. The caller turns
 * address parity into offset parity with the parity of the segment's start.
 * Sums are modulo 2^32, as the plain pair loop's are.
 */
struct AddrSums {
    DWORD dwEven; /* bytes at even addresses */
    DWORD dwOdd;  /* bytes at odd addresses */
};

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
inline void SumBytes(const BYTE* p, DWORD n, AddrSums& s) {
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

/* The 16-bit lanes of a word, added up. */
inline DWORD FoldLanes(Word w) {
    w = (w & kEvenLanes) + ((w >> 16) & kEvenLanes); /* 32-bit lanes, each < 2^18 */
    DWORD dwSum = 0;
    for (DWORD k = 0; k < kWordBytes; k += 4)
        dwSum += static_cast<DWORD>((w >> (8 * k)) & 0xFFFFFFFFu);
    return dwSum;
}

/*
 * Any segment, a machine word at a time: bytes up to the first word boundary,
 * then aligned words, then the last bytes.
 *
 * Of each word only the odd bytes are isolated, into 16-bit lanes (wOdd); the
 * word itself is added whole (wAll, modulo the word size). Up to 257 words
 * keep every lane of wOdd and of the even bytes' lanes below 65536 (257 * 255
 * = 65535), and then wAll - (wOdd << 8) is exactly the even bytes' lanes: the
 * odd bytes' contribution to wAll is wOdd shifted up a byte, and what either
 * loses above the word's top bit is the same. Two independent pairs of
 * accumulators take alternate words; a run of at most 256 words ends in one
 * fold of the lanes into the sums.
 */
constexpr DWORD kRunWords = 256;

inline void SumWords(const BYTE* p, DWORD n, AddrSums& s) {
    DWORD dwHead =
        static_cast<DWORD>((kWordBytes - (AddressOf(p) & (kWordBytes - 1))) & (kWordBytes - 1));
    if (dwHead > n)
        dwHead = n;
    SumBytes(p, dwHead, s);
    p += dwHead;
    n -= dwHead;

    DWORD dwWords = n / kWordBytes;
    while (dwWords > 0) {
        const DWORD dwRun = dwWords < kRunWords ? dwWords : kRunWords;
        dwWords -= dwRun;
        Word wAll0 = 0;
        Word wOdd0 = 0;
        Word wAll1 = 0;
        Word wOdd1 = 0;
        for (DWORD k = dwRun >> 1; k > 0; --k) {
            Word w0;
            Word w1;
            __builtin_memcpy(&w0, p, kWordBytes);
            __builtin_memcpy(&w1, p + kWordBytes, kWordBytes);
            wAll0 += w0;
            wOdd0 += (w0 >> 8) & kEvenBytes;
            wAll1 += w1;
            wOdd1 += (w1 >> 8) & kEvenBytes;
            p += 2 * kWordBytes;
        }
        if (dwRun & 1) {
            Word w0;
            __builtin_memcpy(&w0, p, kWordBytes);
            wAll0 += w0;
            wOdd0 += (w0 >> 8) & kEvenBytes;
            p += kWordBytes;
        }
        const Word wOdd = wOdd0 + wOdd1;
        const Word wEven = static_cast<Word>(wAll0 + wAll1 - (wOdd << 8));
        s.dwEven += FoldLanes(wEven);
        s.dwOdd += FoldLanes(wOdd);
    }
    SumBytes(p, n % kWordBytes, s);
}

using SumFn = void (*)(const BYTE*, DWORD, AddrSums&);

void SumWordPath(const BYTE* p, DWORD n, AddrSums& s) {
    SumWords(p, n, s);
}

#if QUORVIN_PIXEL_SIMD
/* Vectors of 32-bit lanes, by vector size in bytes. */
template <DWORD kBytes> struct WideLanes;
template <> struct WideLanes<16> { typedef unsigned int Type __attribute__((vector_size(16))); };
template <> struct WideLanes<32> { typedef unsigned int Type __attribute__((vector_size(32))); };
template <> struct WideLanes<64> { typedef unsigned int Type __attribute__((vector_size(64))); };

/*
 * The same in vectors (VH: a vector of unsigned short): the odd bytes are
 * each 16-bit lane's high half shifted down, and the vectors are added whole
 * in 64-bit lanes, so that the even bytes' lanes come out by the same
 * subtraction as in the word loop. Heads and tails shorter than a vector go
 * through the word loop. VH is only ever used inside functions compiled for
 * its instruction set (below), into which this is inlined.
 */
template <class VH>
__attribute__((always_inline)) inline void SumVectors(const BYTE* p, DWORD n, AddrSums& s) {
    constexpr DWORD kVecBytes = sizeof(VH);
    constexpr DWORD kLanes = kVecBytes / 2;
    using VW = typename WideLanes<kVecBytes>::Type;
    typedef unsigned long long VQ __attribute__((vector_size(kVecBytes)));
    DWORD dwHead =
        static_cast<DWORD>((kVecBytes - (AddressOf(p) & (kVecBytes - 1))) & (kVecBytes - 1));
    if (dwHead > n)
        dwHead = n;
    SumWords(p, dwHead, s);
    p += dwHead;
    n -= dwHead;

    DWORD dwVectors = n / kVecBytes;
    while (dwVectors > 0) {
        const DWORD dwRun = dwVectors < kRunWords ? dwVectors : kRunWords;
        dwVectors -= dwRun;
        VQ vAll0 = {};
        VH vOdd0 = {};
        VQ vAll1 = {};
        VH vOdd1 = {};
        for (DWORD k = dwRun >> 1; k > 0; --k) {
            VH v0;
            VH v1;
            __builtin_memcpy(&v0, p, kVecBytes);
            __builtin_memcpy(&v1, p + kVecBytes, kVecBytes);
            vAll0 += reinterpret_cast<VQ>(v0);
            vOdd0 += v0 >> 8;
            vAll1 += reinterpret_cast<VQ>(v1);
            vOdd1 += v1 >> 8;
            p += 2 * kVecBytes;
        }
        if (dwRun & 1) {
            VH v0;
            __builtin_memcpy(&v0, p, kVecBytes);
            vAll0 += reinterpret_cast<VQ>(v0);
            vOdd0 += v0 >> 8;
            p += kVecBytes;
        }
        const VH vOdd = vOdd0 + vOdd1;
        const VQ vEven = vAll0 + vAll1 - (reinterpret_cast<VQ>(vOdd) << 8);
        /* 16-bit lanes to 32-bit lanes, then across */
        VW vwEven = reinterpret_cast<VW>(vEven);
        VW vwOdd = reinterpret_cast<VW>(vOdd);
        vwEven = (vwEven & 0xFFFF) + (vwEven >> 16);
        vwOdd = (vwOdd & 0xFFFF) + (vwOdd >> 16);
        DWORD dwEven = 0;
        DWORD dwOdd = 0;
        for (DWORD k = 0; k < kLanes / 2; ++k) {
            dwEven += vwEven[k];
            dwOdd += vwOdd[k];
        }
        s.dwEven += dwEven;
        s.dwOdd += dwOdd;
    }
    SumWords(p, n % kVecBytes, s);
}

typedef unsigned short V8Hu __attribute__((vector_size(16)));
typedef unsigned short V16Hu __attribute__((vector_size(32)));
typedef unsigned short V32Hu __attribute__((vector_size(64)));

__attribute__((target("sse2"))) void SumSse2Path(const BYTE* p, DWORD n, AddrSums& s) {
    SumVectors<V8Hu>(p, n, s);
}
__attribute__((target("avx2"))) void SumAvx2Path(const BYTE* p, DWORD n, AddrSums& s) {
    SumVectors<V16Hu>(p, n, s);
}
__attribute__((target("avx512bw"))) void SumAvx512Path(const BYTE* p, DWORD n, AddrSums& s) {
    SumVectors<V32Hu>(p, n, s);
}
#endif

/* The selected variant; 0 until the first use picks one. Relaxed atomics:
 * every value is a complete choice, and all choices give the same sums. */
int g_iSumPath = 0;

SumFn SumFnOf(quorvin_pixel::SumPath path) {
    switch (path) {
#if QUORVIN_PIXEL_SIMD
    case quorvin_pixel::SumPath::kSse2:
        return SumSse2Path;
    case quorvin_pixel::SumPath::kAvx2:
        return SumAvx2Path;
    case quorvin_pixel::SumPath::kAvx512:
        return SumAvx512Path;
#endif
    default:
        return SumWordPath;
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

inline quorvin_pixel::PairSum ToPairSum(const BYTE* pbyteSeg, const AddrSums& s) {
    if (AddressOf(pbyteSeg) & 1)
        return quorvin_pixel::PairSum{s.dwOdd, s.dwEven};
    return quorvin_pixel::PairSum{s.dwEven, s.dwOdd};
}

/* SumRowSegmentPairs: adds the bytes at even offsets from pbyteSeg into
 * dwSum0 and those at odd offsets into dwSum1 (dwPixelCount bytes, any count,
 * 0 included); reads exactly those bytes. */
inline quorvin_pixel::PairSum SumRowSegmentPairs(SumFn fn, const BYTE* pbyteSeg,
                                                 DWORD dwPixelCount) {
    AddrSums s{0, 0};
    fn(pbyteSeg, dwPixelCount, s);
    return ToPairSum(pbyteSeg, s);
}

/* SumRowSegment: the plain sum of dwPixelCount bytes from pbyteSeg. */
inline DWORD SumRowSegment(SumFn fn, const BYTE* pbyteSeg, DWORD dwPixelCount) {
    AddrSums s{0, 0};
    fn(pbyteSeg, dwPixelCount, s);
    return s.dwEven + s.dwOdd;
}

inline BYTE MeanOrZero(DWORD dwSum, DWORD dwCount) {
    return dwCount == 0 ? BYTE{0} : static_cast<BYTE>(dwSum / dwCount);
}

/* Bayer frame: the colour position of a row segment's bytes follows from the
 * parity of its row and of its first column, so no pixel needs a colour test. */
void MeasureBayer(CAveragePixelValue* _this, DWORD dwWidth, const BYTE* pbyteRaw, SumFn fn) {
    const BYTE* pbyteRow = pbyteRaw;
    DWORD dwY = 0;
    for (DWORD r = 0; r < 4; ++r) {
        DWORD ppdwLineSum[4][4] = {};
        for (; dwY < _this->m_pdwImagePosY[r]; ++dwY) {
            const DWORD dwYStartColor = 2 * (dwY & 1);
            DWORD dwCurXStart = 0;
            for (DWORD i = 0; i < 4; ++i) {
                const DWORD dwCurXEnd = _this->m_pdwImagePosX[i];
                const quorvin_pixel::PairSum sum =
                    SumRowSegmentPairs(fn, pbyteRow + dwCurXStart, dwCurXEnd - dwCurXStart);
                ppdwLineSum[i][dwYStartColor + (dwCurXStart & 1)] += sum.dwSum0;
                ppdwLineSum[i][dwYStartColor + ((dwCurXStart + 1) & 1)] += sum.dwSum1;
                dwCurXStart = dwCurXEnd;
            }
            pbyteRow += dwWidth;
        }
        for (DWORD i = 0; i < 4; ++i) {
            const DWORD a = 4 * r + i;
            for (DWORD p = 0; p < 4; ++p)
                _this->m_pbyteAverage[a][p] =
                    MeanOrZero(ppdwLineSum[i][p], _this->m_pdwAreaPixelCount[a][p]);
        }
    }
}

/* Single-channel frame: one mean per area, kept at colour position 0. */
void MeasureSingleChannel(CAveragePixelValue* _this, DWORD dwWidth, const BYTE* pbyteRaw,
                          SumFn fn) {
    const BYTE* pbyteRow = pbyteRaw;
    DWORD dwY = 0;
    for (DWORD r = 0; r < 4; ++r) {
        DWORD pdwLineSum[4] = {};
        for (; dwY < _this->m_pdwImagePosY[r]; ++dwY) {
            DWORD dwCurXStart = 0;
            for (DWORD i = 0; i < 4; ++i) {
                const DWORD dwCurXEnd = _this->m_pdwImagePosX[i];
                pdwLineSum[i] += SumRowSegment(fn, pbyteRow + dwCurXStart, dwCurXEnd - dwCurXStart);
                dwCurXStart = dwCurXEnd;
            }
            pbyteRow += dwWidth;
        }
        for (DWORD i = 0; i < 4; ++i) {
            const DWORD a = 4 * r + i;
            _this->m_pbyteAverage[a][0] =
                MeanOrZero(pdwLineSum[i], _this->m_pdwAreaPixelCount[a][0]);
        }
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
    if (_this->m_bAreaChangeFg || dwWidth != _this->m_dwImageWidth ||
        dwHeight != _this->m_dwImageHeight || wColorArray != _this->m_wColorArray)
        mbUpdateImagePosAndPixelCount(_this, dwWidth, dwHeight, wColorArray);

    const SumFn fn = SumFnOf(quorvin_pixel::ActiveSumPath());
    if (wColorArray == kSingleChannel)
        MeasureSingleChannel(_this, dwWidth, pbyteRaw, fn);
    else
        MeasureBayer(_this, dwWidth, pbyteRaw, fn);
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
    return ::SumRowSegmentPairs(SumFnOf(path), pbyteSeg, dwPixelCount);
}

} // namespace quorvin_pixel
