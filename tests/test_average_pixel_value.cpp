// Area statistics: grid geometry, per-area means and weighted averages.
#include <AWB/AveragePixelValue.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <random>

namespace {

// A frame allocated at exactly width x height bytes, so that the sanitizer
// build catches any access outside it.
struct Frame {
    Frame(DWORD w, DWORD h) : width(w), height(h), bytes(new BYTE[static_cast<size_t>(w) * h]) {}
    BYTE& at(DWORD x, DWORD y) { return bytes[static_cast<size_t>(y) * width + x]; }
    size_t size() const { return static_cast<size_t>(width) * height; }
    void fill(BYTE v) { std::memset(bytes.get(), v, size()); }
    DWORD width, height;
    std::unique_ptr<BYTE[]> bytes;
};

CAveragePixelValue Fresh() {
    CAveragePixelValue s;
    std::memset(&s, 0xA5, sizeof s); // what a caller's memory might hold
    CAveragePixelValue_init(&s);
    return s;
}

void Measure(CAveragePixelValue& s, Frame& f, WORD code) {
    EXPECT_EQ(UpdateAverage(&s, f.width, f.height, code, f.bytes.get()), TRUE);
}

// Reference boundaries: the exact floor(split * size / 10000), clamped and
// made non-decreasing.
std::array<uint64_t, 4> RefBounds(uint64_t size) {
    std::array<uint64_t, 4> b{};
    for (size_t i = 0; i < 3; ++i)
        b[i] = std::min<uint64_t>(2500u * (i + 1) * size / 10000, size);
    b[3] = size;
    b[1] = std::max(b[1], b[0]);
    b[2] = std::max(b[2], b[1]);
    return b;
}

int AreaOf(const std::array<uint64_t, 4>& b, uint64_t v) {
    size_t i = 0;
    while (v >= b[i])
        ++i;
    return static_cast<int>(i);
}

// Per-pixel reference measurement of a whole frame.
struct RefStats {
    uint64_t sum[16][4] = {};
    uint64_t count[16][4] = {};
};

RefStats Reference(Frame& f, WORD code) {
    RefStats r;
    const auto bx = RefBounds(f.width), by = RefBounds(f.height);
    for (DWORD y = 0; y < f.height; ++y)
        for (DWORD x = 0; x < f.width; ++x) {
            const int a = 4 * AreaOf(by, y) + AreaOf(bx, x);
            const int p = code == 1 ? 0 : static_cast<int>(2 * (y % 2) + (x % 2));
            r.sum[a][p] += f.at(x, y);
            r.count[a][p] += 1;
        }
    return r;
}

void ExpectMatchesReference(const CAveragePixelValue& s, Frame& f, WORD code) {
    const RefStats r = Reference(f, code);
    const int positions = code == 1 ? 1 : 4;
    for (int a = 0; a < 16; ++a)
        for (int p = 0; p < positions; ++p) {
            SCOPED_TRACE(::testing::Message() << f.width << "x" << f.height << " code " << code
                                              << " area " << a << " pos " << p);
            ASSERT_EQ(s.m_pdwAreaPixelCount[a][p], r.count[a][p]);
            const uint64_t mean = r.count[a][p] ? r.sum[a][p] / r.count[a][p] : 0;
            ASSERT_EQ(s.m_pbyteAverage[a][p], mean);
        }
}

void SetAllAreas(CAveragePixelValue& s, WORD code, std::array<BYTE, 4> perPosition) {
    s.m_wColorArray = code;
    for (auto& area : s.m_pbyteAverage)
        for (size_t p = 0; p < 4; ++p)
            area[p] = perPosition[p];
}

std::array<BYTE, 16> Weights(BYTE v) {
    std::array<BYTE, 16> w;
    w.fill(v);
    return w;
}

} // namespace

// ---------------------------------------------------------------- geometry

TEST(AreaGeometry, Vga) {
    CAveragePixelValue s = Fresh();
    Frame f(640, 480);
    f.fill(77);
    Measure(s, f, 2);
    EXPECT_EQ(s.m_pdwImagePosX[0], 160u);
    EXPECT_EQ(s.m_pdwImagePosX[1], 320u);
    EXPECT_EQ(s.m_pdwImagePosX[2], 480u);
    EXPECT_EQ(s.m_pdwImagePosX[3], 640u);
    EXPECT_EQ(s.m_pdwImagePosY[0], 120u);
    EXPECT_EQ(s.m_pdwImagePosY[1], 240u);
    EXPECT_EQ(s.m_pdwImagePosY[2], 360u);
    EXPECT_EQ(s.m_pdwImagePosY[3], 480u);
    for (int a = 0; a < 16; ++a)
        for (int p = 0; p < 4; ++p) {
            EXPECT_EQ(s.m_pdwAreaPixelCount[a][p], 4800u);
            EXPECT_EQ(s.m_pbyteAverage[a][p], 77);
        }
}

TEST(AreaGeometry, TenBySixCountsAndEmptyPositions) {
    CAveragePixelValue s = Fresh();
    Frame f(10, 6);
    f.fill(200);
    Measure(s, f, 2);
    const DWORD px[4] = {2, 5, 7, 10}, py[4] = {1, 3, 4, 6};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(s.m_pdwImagePosX[i], px[i]);
        EXPECT_EQ(s.m_pdwImagePosY[i], py[i]);
    }
    const DWORD area0[4] = {1, 1, 0, 0}, area5[4] = {2, 1, 2, 1}, area8[4] = {0, 0, 1, 1};
    DWORD total = 0;
    for (int p = 0; p < 4; ++p) {
        EXPECT_EQ(s.m_pdwAreaPixelCount[0][p], area0[p]);
        EXPECT_EQ(s.m_pdwAreaPixelCount[5][p], area5[p]);
        EXPECT_EQ(s.m_pdwAreaPixelCount[8][p], area8[p]);
    }
    for (int a = 0; a < 16; ++a)
        for (int p = 0; p < 4; ++p) {
            total += s.m_pdwAreaPixelCount[a][p];
            EXPECT_EQ(s.m_pbyteAverage[a][p], s.m_pdwAreaPixelCount[a][p] ? 200 : 0);
        }
    EXPECT_EQ(total, 60u);
}

TEST(AreaGeometry, FourByFourOnePixelPerArea) {
    CAveragePixelValue s = Fresh();
    Frame f(4, 4);
    for (DWORD y = 0; y < 4; ++y)
        for (DWORD x = 0; x < 4; ++x)
            f.at(x, y) = static_cast<BYTE>(4 * y + x);
    Measure(s, f, 2);
    for (DWORD a = 0; a < 16; ++a) {
        const DWORD pos = 2 * ((a / 4) % 2) + (a % 2);
        for (DWORD p = 0; p < 4; ++p) {
            EXPECT_EQ(s.m_pdwAreaPixelCount[a][p], p == pos ? 1u : 0u) << a << " " << p;
            EXPECT_EQ(s.m_pbyteAverage[a][p], p == pos ? a : 0u) << a << " " << p;
        }
    }
    EXPECT_EQ(s.m_pbyteAverage[5][3], 5);
    EXPECT_EQ(s.m_pbyteAverage[6][2], 6);
}

TEST(AreaGeometry, ThreeColumnsWideLeavesFirstAreaColumnEmpty) {
    CAveragePixelValue s = Fresh();
    Frame f(3, 8);
    for (DWORD y = 0; y < 8; ++y)
        for (DWORD x = 0; x < 3; ++x)
            f.at(x, y) = static_cast<BYTE>(10 * y + x + 1);
    Measure(s, f, 2);
    EXPECT_EQ(s.m_pdwImagePosX[0], 0u);
    for (int r = 0; r < 4; ++r)
        for (int p = 0; p < 4; ++p) {
            EXPECT_EQ(s.m_pdwAreaPixelCount[4 * r][p], 0u);
            EXPECT_EQ(s.m_pbyteAverage[4 * r][p], 0);
        }
    ExpectMatchesReference(s, f, 2);
}

TEST(AreaGeometry, ZeroSizedFramesReadNothingAndWriteZeros) {
    for (auto [w, h] : {std::pair<DWORD, DWORD>{0, 0}, {0, 7}, {9, 0}}) {
        for (WORD code : {WORD{1}, WORD{2}}) {
            CAveragePixelValue s = Fresh();
            std::memset(s.m_pbyteAverage, 0xEE, sizeof s.m_pbyteAverage);
            Frame f(w, h); // a zero-byte allocation: any read is caught
            Measure(s, f, code);
            for (int a = 0; a < 16; ++a) {
                EXPECT_EQ(s.m_pdwAreaPixelCount[a][0], 0u);
                EXPECT_EQ(s.m_pbyteAverage[a][0], 0);
                for (int p = 1; p < 4 && code != 1; ++p)
                    EXPECT_EQ(s.m_pbyteAverage[a][p], 0);
            }
        }
    }
}

// Every small size, odd ones and 1 x N included, for every code: counts and
// means equal a per-pixel reference, and nothing outside the frame is read
// (the frames are allocated at their exact size).
TEST(AreaGeometry, SmallSizesMatchPerPixelReference) {
    std::mt19937 rng(12345);
    for (DWORD h = 0; h <= 13; ++h)
        for (DWORD w = 0; w <= 13; ++w) {
            Frame f(w, h);
            for (size_t i = 0; i < f.size(); ++i)
                f.bytes[i] = static_cast<BYTE>(rng());
            for (WORD code = 1; code <= 5; ++code) {
                CAveragePixelValue s = Fresh();
                Measure(s, f, code);
                ExpectMatchesReference(s, f, code);
            }
        }
    for (auto [w, h] : {std::pair<DWORD, DWORD>{1, 301}, {301, 1}, {37, 23}, {641, 479}}) {
        Frame f(w, h);
        for (size_t i = 0; i < f.size(); ++i)
            f.bytes[i] = static_cast<BYTE>(rng());
        for (WORD code : {WORD{1}, WORD{2}, WORD{4}}) {
            CAveragePixelValue s = Fresh();
            Measure(s, f, code);
            ExpectMatchesReference(s, f, code);
        }
    }
}

// The split line times the size is exact for every 32-bit size, including
// those where a 32-bit product would wrap (above 572,662).
TEST(AreaGeometry, SplitLinesExactForEveryWidth) {
    for (DWORD size : {0u, 1u, 3u, 9999u, 10000u, 10001u, 572662u, 572663u, 600000u, 1000003u,
                       123456789u, 0x7FFFFFFFu, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
        CAveragePixelValue s = Fresh();
        mbUpdateImagePosAndPixelCount(&s, size, size, 2);
        const auto ref = RefBounds(size);
        for (size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(s.m_pdwImagePosX[i], ref[i]) << size << " " << i;
            EXPECT_EQ(s.m_pdwImagePosY[i], ref[i]) << size << " " << i;
        }
    }
    // A width past the 32-bit limit, measured for real: a one-row frame.
    CAveragePixelValue s = Fresh();
    Frame f(600000, 1);
    f.fill(9);
    Measure(s, f, 2);
    EXPECT_EQ(s.m_pdwImagePosX[2], 450000u);
    EXPECT_EQ(s.m_pdwAreaPixelCount[15][0], 75000u); // one row: it lies in area row 3
    EXPECT_EQ(s.m_pbyteAverage[15][1], 9);
}

TEST(AreaGeometry, RecomputedOnlyWhenSizeOrCodeChanges) {
    CAveragePixelValue s = Fresh();
    Frame f(8, 8), g(10, 8), h(8, 10);
    f.fill(1);
    g.fill(1);
    h.fill(1);
    Measure(s, f, 2);
    EXPECT_EQ(s.m_bAreaChangeFg, FALSE);
    EXPECT_EQ(s.m_dwImageWidth, 8u);
    EXPECT_EQ(s.m_dwImageHeight, 8u);
    EXPECT_EQ(s.m_wColorArray, 2);

    // A marker in the stored geometry survives a call with the same inputs...
    s.m_pdwAreaPixelCount[15][3] = 1000;
    Measure(s, f, 2);
    EXPECT_EQ(s.m_pdwAreaPixelCount[15][3], 1000u);
    // ...and is replaced as soon as width, height or code changes.
    Measure(s, g, 2);
    EXPECT_EQ(s.m_pdwAreaPixelCount[15][3], 2u); // columns 7 and 9 of row 7
    for (auto [frame, code] : {std::pair<Frame*, WORD>{&h, 2}, {&h, 3}}) {
        s.m_pdwAreaPixelCount[15][3] = 1000;
        Measure(s, *frame, code);
        EXPECT_NE(s.m_pdwAreaPixelCount[15][3], 1000u);
    }
    // Initialisation forces a recomputation, even for the recorded inputs.
    CAveragePixelValue_init(&s);
    s.m_dwImageWidth = 8;
    s.m_dwImageHeight = 10;
    s.m_wColorArray = 3;
    s.m_pdwAreaPixelCount[15][3] = 1000;
    Measure(s, h, 3);
    EXPECT_NE(s.m_pdwAreaPixelCount[15][3], 1000u);
}

// ---------------------------------------------------------------- averages

TEST(AreaAverages, RoundDownAndNeverWrap) {
    CAveragePixelValue s = Fresh();
    Frame f(640, 480);
    f.fill(255);
    Measure(s, f, 2);
    for (auto& area : s.m_pbyteAverage)
        for (BYTE v : area)
            EXPECT_EQ(v, 255);

    Frame g(16, 16); // area 0 is columns 0..3, rows 0..3: four pixels at position 0
    g.fill(0);
    g.at(0, 0) = 1;
    g.at(2, 0) = 2;
    g.at(0, 2) = 1;
    g.at(2, 2) = 2;
    g.at(1, 1) = 255;
    CAveragePixelValue t = Fresh();
    Measure(t, g, 2);
    EXPECT_EQ(t.m_pdwAreaPixelCount[0][0], 4u);
    EXPECT_EQ(t.m_pbyteAverage[0][0], 1);  // 6 / 4
    EXPECT_EQ(t.m_pbyteAverage[0][3], 63); // 255 / 4
    Measure(t, g, 1);
    EXPECT_EQ(t.m_pdwAreaPixelCount[0][0], 16u);
    EXPECT_EQ(t.m_pbyteAverage[0][0], 16); // 261 / 16
}

TEST(AreaAverages, BayerCodesShareCountsAndAverages) {
    Frame f(37, 22);
    std::mt19937 rng(7);
    for (size_t i = 0; i < f.size(); ++i)
        f.bytes[i] = static_cast<BYTE>(rng());
    CAveragePixelValue base = Fresh();
    Measure(base, f, 2);
    for (WORD code : std::initializer_list<WORD>{3, 4, 5}) {
        CAveragePixelValue s = Fresh();
        Measure(s, f, code);
        EXPECT_EQ(s.m_wColorArray, code);
        EXPECT_EQ(std::memcmp(s.m_pdwAreaPixelCount, base.m_pdwAreaPixelCount,
                              sizeof s.m_pdwAreaPixelCount),
                  0);
        EXPECT_EQ(std::memcmp(s.m_pbyteAverage, base.m_pbyteAverage, sizeof s.m_pbyteAverage), 0);
    }
}

TEST(AreaAverages, SingleChannelKeepsOtherPositions) {
    CAveragePixelValue s = Fresh();
    Frame f(8, 8);
    for (DWORD y = 0; y < 8; ++y)
        for (DWORD x = 0; x < 8; ++x)
            f.at(x, y) = static_cast<BYTE>(10 * (2 * (y % 2) + (x % 2)) + 10);
    Measure(s, f, 2);
    Measure(s, f, 1);
    for (int a = 0; a < 16; ++a) {
        EXPECT_EQ(s.m_pdwAreaPixelCount[a][0], 4u);
        EXPECT_EQ(s.m_pbyteAverage[a][0], 25); // (10 + 20 + 30 + 40) / 4
        EXPECT_EQ(s.m_pbyteAverage[a][1], 20);
        EXPECT_EQ(s.m_pbyteAverage[a][2], 30);
        EXPECT_EQ(s.m_pbyteAverage[a][3], 40);
    }
}

// ---------------------------------------------------------------- weights

TEST(WeightedAverage, ZeroWeightsGiveZero) {
    CAveragePixelValue s = Fresh();
    SetAllAreas(s, 2, {10, 20, 30, 40});
    auto w = Weights(0);
    BYTE out[4] = {9, 9, 9, 9};
    EXPECT_EQ(GetColorAverage(&s, w.data(), out), TRUE);
    for (BYTE v : out)
        EXPECT_EQ(v, 0);
    BYTE b = 9;
    EXPECT_EQ(GetBrightnessAverage(&s, w.data(), &b), TRUE);
    EXPECT_EQ(b, 0);

    s.m_wColorArray = 1;
    BYTE one[4] = {9, 9, 9, 9};
    EXPECT_EQ(GetColorAverage(&s, w.data(), one), TRUE);
    EXPECT_EQ(one[0], 0);
    EXPECT_EQ(one[1], 9);
}

TEST(WeightedAverage, UnitWeightsArePlainMeans) {
    CAveragePixelValue s = Fresh();
    SetAllAreas(s, 2, {0, 0, 0, 0});
    s.m_pbyteAverage[7][0] = 10; // 10 / 16 rounds down to 0
    for (int a = 0; a < 16; ++a)
        s.m_pbyteAverage[a][3] = static_cast<BYTE>(a * 17); // mean of 0..255 step 17 = 127.5
    auto w = Weights(1);
    BYTE out[4];
    GetColorAverage(&s, w.data(), out);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[3], 127);
}

TEST(WeightedAverage, SingleAreaAndCentreWeighting) {
    CAveragePixelValue s = Fresh();
    for (int a = 0; a < 16; ++a)
        for (int p = 0; p < 4; ++p)
            s.m_pbyteAverage[a][p] = static_cast<BYTE>(a * 16 + p);
    s.m_wColorArray = 2;
    for (size_t only = 0; only < 16; ++only) {
        auto w = Weights(0);
        w[only] = 255;
        BYTE out[4];
        GetColorAverage(&s, w.data(), out);
        for (int p = 0; p < 4; ++p)
            EXPECT_EQ(out[p], s.m_pbyteAverage[only][p]);
    }

    SetAllAreas(s, 2, {4, 4, 4, 4});
    auto w = Weights(1);
    for (size_t a : {5u, 6u, 9u, 10u}) {
        w[a] = 3;
        for (int p = 0; p < 4; ++p)
            s.m_pbyteAverage[a][p] = 100;
    }
    s.m_pbyteAverage[0][0] = 28; // total weight 24: (12*100 + 11*4 + 28) / 24 = 53
    BYTE out[4];
    GetColorAverage(&s, w.data(), out);
    EXPECT_EQ(out[0], 53);
    EXPECT_EQ(out[1], 52); // (12*100 + 12*4) / 24
}

TEST(WeightedAverage, ColourOrderFollowsCode) {
    CAveragePixelValue s = Fresh();
    auto w = Weights(1);
    const std::array<BYTE, 4> expected[] = {
        {10, 20, 30, 40}, {20, 10, 40, 30}, {30, 40, 10, 20}, {40, 30, 20, 10}};
    for (WORD code = 2; code <= 5; ++code) {
        SetAllAreas(s, code, {10, 20, 30, 40});
        BYTE out[4] = {};
        GetColorAverage(&s, w.data(), out);
        for (size_t c = 0; c < 4; ++c)
            EXPECT_EQ(out[c], expected[code - 2][c]) << "code " << code << " colour " << c;
    }
}

TEST(WeightedAverage, BrightnessWeights) {
    CAveragePixelValue s = Fresh();
    auto w = Weights(1);
    BYTE b = 0;
    SetAllAreas(s, 2, {100, 150, 151, 50});
    GetBrightnessAverage(&s, w.data(), &b);
    EXPECT_EQ(b, 123);
    SetAllAreas(s, 2, {255, 255, 255, 255});
    GetBrightnessAverage(&s, w.data(), &b);
    EXPECT_EQ(b, 255);
    SetAllAreas(s, 2, {0, 0, 1, 0});
    GetBrightnessAverage(&s, w.data(), &b);
    EXPECT_EQ(b, 0);
    // Only red: 2989 * 200 / 10000 = 59 (a rounding division or 2990 gives 60).
    SetAllAreas(s, 2, {200, 0, 0, 0});
    GetBrightnessAverage(&s, w.data(), &b);
    EXPECT_EQ(b, 59);
    // Only blue, code 5 puts blue at position 0: 1145 * 200 / 10000 = 22.
    SetAllAreas(s, 5, {200, 0, 0, 0});
    GetBrightnessAverage(&s, w.data(), &b);
    EXPECT_EQ(b, 22);
    // The green mean is rounded down before it is weighted: 5866 * 254 / 10000
    // = 148, where weighting the exact 254.5 would give 149.
    SetAllAreas(s, 2, {0, 255, 254, 0});
    GetBrightnessAverage(&s, w.data(), &b);
    EXPECT_EQ(b, 148);
}

TEST(WeightedAverage, SingleChannelWritesOneByte) {
    CAveragePixelValue s = Fresh();
    SetAllAreas(s, 1, {90, 1, 2, 3});
    s.m_pbyteAverage[0][0] = 106; // (15*90 + 106) / 16 = 91
    auto w = Weights(1);
    BYTE c[4] = {7, 7, 7, 7}, b[4] = {7, 7, 7, 7};
    GetColorAverage(&s, w.data(), c);
    GetBrightnessAverage(&s, w.data(), b);
    EXPECT_EQ(c[0], 91);
    EXPECT_EQ(b[0], 91);
    EXPECT_EQ(c[1], 7);
    EXPECT_EQ(b[1], 7);
}

// Codes outside 1 to 5: the colour average leaves the caller's bytes alone,
// and the brightness weighs the positions in their own order (as code 2), so
// it is defined and a grey scene keeps its brightness.
TEST(WeightedAverage, UnknownCodeIsDefined) {
    auto w = Weights(1);
    for (WORD code : std::initializer_list<WORD>{0, 6, 0xFFFF}) {
        CAveragePixelValue s = Fresh();
        SetAllAreas(s, code, {100, 150, 151, 50});
        BYTE c[4] = {1, 2, 3, 4};
        EXPECT_EQ(GetColorAverage(&s, w.data(), c), TRUE);
        EXPECT_EQ(c[0], 1);
        EXPECT_EQ(c[3], 4);
        BYTE b = 0;
        EXPECT_EQ(GetBrightnessAverage(&s, w.data(), &b), TRUE);
        EXPECT_EQ(b, 123);
        SetAllAreas(s, code, {80, 80, 80, 80});
        GetBrightnessAverage(&s, w.data(), &b);
        EXPECT_EQ(b, 80);
    }
}
