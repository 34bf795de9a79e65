// SPDX-License-Identifier: GPL-2.0 OR MIT
// Area statistics: grid geometry, per-area means and weighted averages.
#include <AWB/AveragePixelValue.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <random>

namespace {

// Frames are allocated at exactly width x height bytes, so that the sanitizer
// build catches any access outside them.
struct Frame {
    Frame(DWORD width, DWORD height, BYTE fill)
        : w(width), h(height), px(new BYTE[size_t{width} * height]) {
        std::memset(px.get(), fill, size_t{width} * height);
    }
    DWORD w, h;
    std::unique_ptr<BYTE[]> px;
};

CAveragePixelValue Measured(Frame& f, WORD code) {
    CAveragePixelValue s;
    std::memset(&s, 0xA5, sizeof s); // what the caller's memory might hold
    CAveragePixelValue_init(&s);
    EXPECT_EQ(UpdateAverage(&s, f.w, f.h, code, f.px.get()), TRUE);
    return s;
}

// Exact floor(split * size / 10000) boundaries in 64-bit arithmetic.
uint64_t RefBound(uint64_t size, uint64_t i) {
    return i == 3 ? size : std::min<uint64_t>(2500 * (i + 1) * size / 10000, size);
}

uint64_t AreaOf(uint64_t size, uint64_t v) {
    uint64_t i = 0;
    while (v >= RefBound(size, i))
        ++i;
    return i;
}

// Per-pixel reference for counts and means of every area and position.
void ExpectMatchesReference(Frame& f, WORD code) {
    const CAveragePixelValue s = Measured(f, code);
    uint64_t sum[16][4] = {}, count[16][4] = {};
    for (DWORD y = 0; y < f.h; ++y)
        for (DWORD x = 0; x < f.w; ++x) {
            const uint64_t a = 4 * AreaOf(f.h, y) + AreaOf(f.w, x);
            const DWORD p = code == 1 ? 0 : 2 * (y % 2) + (x % 2);
            sum[a][p] += f.px[size_t{y} * f.w + x];
            ++count[a][p];
        }
    for (int a = 0; a < 16; ++a)
        for (int p = 0; p < (code == 1 ? 1 : 4); ++p) {
            ASSERT_EQ(s.m_pdwAreaPixelCount[a][p], count[a][p])
                << f.w << "x" << f.h << " code " << code << " area " << a << " pos " << p;
            ASSERT_EQ(s.m_pbyteAverage[a][p], count[a][p] ? sum[a][p] / count[a][p] : 0)
                << f.w << "x" << f.h << " code " << code << " area " << a << " pos " << p;
        }
}

CAveragePixelValue WithAverages(WORD code, std::array<BYTE, 4> perPosition) {
    CAveragePixelValue s;
    CAveragePixelValue_init(&s);
    s.m_wColorArray = code;
    for (auto& area : s.m_pbyteAverage)
        std::copy(perPosition.begin(), perPosition.end(), area);
    return s;
}

std::array<BYTE, 4> Colour(CAveragePixelValue& s, std::array<BYTE, 16> w) {
    std::array<BYTE, 4> out = {7, 7, 7, 7};
    EXPECT_EQ(GetColorAverage(&s, w.data(), out.data()), TRUE);
    return out;
}

BYTE Brightness(CAveragePixelValue& s, std::array<BYTE, 16> w) {
    BYTE out = 7;
    EXPECT_EQ(GetBrightnessAverage(&s, w.data(), &out), TRUE);
    return out;
}

std::array<BYTE, 16> Ones() {
    std::array<BYTE, 16> w;
    w.fill(1);
    return w;
}

} // namespace

TEST(AreaGeometry, WorkedSizes) {
    Frame vga(640, 480, 255);
    CAveragePixelValue s = Measured(vga, 2);
    const DWORD vgaX[4] = {160, 320, 480, 640}, vgaY[4] = {120, 240, 360, 480};
    EXPECT_TRUE(std::equal(vgaX, vgaX + 4, s.m_pdwImagePosX));
    EXPECT_TRUE(std::equal(vgaY, vgaY + 4, s.m_pdwImagePosY));
    for (int a = 0; a < 16; ++a)
        for (int p = 0; p < 4; ++p) {
            EXPECT_EQ(s.m_pdwAreaPixelCount[a][p], 4800u);
            EXPECT_EQ(s.m_pbyteAverage[a][p], 255); // sums of 255 do not wrap
        }

    Frame small(10, 6, 200);
    s = Measured(small, 2);
    const DWORD x[4] = {2, 5, 7, 10}, y[4] = {1, 3, 4, 6};
    EXPECT_TRUE(std::equal(x, x + 4, s.m_pdwImagePosX));
    EXPECT_TRUE(std::equal(y, y + 4, s.m_pdwImagePosY));
    const DWORD area0[4] = {1, 1, 0, 0}, area5[4] = {2, 1, 2, 1}, area8[4] = {0, 0, 1, 1};
    EXPECT_TRUE(std::equal(area0, area0 + 4, s.m_pdwAreaPixelCount[0]));
    EXPECT_TRUE(std::equal(area5, area5 + 4, s.m_pdwAreaPixelCount[5]));
    EXPECT_TRUE(std::equal(area8, area8 + 4, s.m_pdwAreaPixelCount[8]));
}

// Every small size (0 x N, 1 x N, 3 wide, 4 x 4, odd sizes) and every code
// against a per-pixel reference, on exactly sized frames.
TEST(AreaGeometry, SmallSizesMatchPerPixelReference) {
    std::mt19937 rng(12345);
    auto check = [&](DWORD w, DWORD h, std::initializer_list<int> codes) {
        Frame f(w, h, 0);
        for (size_t i = 0; i < size_t{w} * h; ++i)
            f.px[i] = static_cast<BYTE>(rng());
        for (int code : codes)
            ExpectMatchesReference(f, static_cast<WORD>(code));
    };
    for (DWORD h = 0; h <= 13; ++h)
        for (DWORD w = 0; w <= 13; ++w)
            check(w, h, {1, 2, 3, 4, 5});
    check(1, 301, {1, 2});
    check(301, 1, {1, 2});
    check(641, 479, {1, 2});
}

// The split line times the size is exact for every 32-bit size, including
// those past 572,662 where a 32-bit product would wrap.
TEST(AreaGeometry, SplitLinesExactForEveryWidth) {
    for (DWORD size : {10001u, 572662u, 572663u, 600000u, 123456789u, 0xFFFFFFFFu}) {
        CAveragePixelValue s;
        CAveragePixelValue_init(&s);
        mbUpdateImagePosAndPixelCount(&s, size, size, 2);
        for (DWORD i = 0; i < 4; ++i) {
            EXPECT_EQ(s.m_pdwImagePosX[i], RefBound(size, i)) << size;
            EXPECT_EQ(s.m_pdwImagePosY[i], RefBound(size, i)) << size;
        }
    }
    Frame row(600000, 1, 9);
    CAveragePixelValue s = Measured(row, 2);
    EXPECT_EQ(s.m_pdwImagePosX[2], 450000u);
    EXPECT_EQ(s.m_pdwAreaPixelCount[15][0], 75000u); // the single row lies in area row 3
    EXPECT_EQ(s.m_pbyteAverage[15][1], 9);
}

TEST(AreaGeometry, RecomputedOnlyWhenSizeOrCodeChanges) {
    Frame f(8, 8, 1), wider(10, 8, 1), taller(8, 10, 1);
    CAveragePixelValue s = Measured(f, 2);
    EXPECT_EQ(s.m_bAreaChangeFg, FALSE);
    // A marker in the stored counts survives the same inputs, and goes as
    // soon as width, height or code changes, or after init.
    const auto marked = [&](Frame& g, WORD code) {
        s.m_pdwAreaPixelCount[15][3] = 1000;
        UpdateAverage(&s, g.w, g.h, code, g.px.get());
        return s.m_pdwAreaPixelCount[15][3] == 1000;
    };
    EXPECT_TRUE(marked(f, 2));
    EXPECT_FALSE(marked(wider, 2));
    EXPECT_FALSE(marked(taller, 2));
    EXPECT_FALSE(marked(taller, 3));
    EXPECT_TRUE(marked(taller, 3));
    CAveragePixelValue_init(&s);
    s.m_dwImageWidth = 8;
    s.m_dwImageHeight = 10;
    s.m_wColorArray = 3;
    EXPECT_FALSE(marked(taller, 3));
}

TEST(AreaAverages, SingleChannelKeepsOtherPositions) {
    Frame f(8, 8, 0);
    for (DWORD i = 0; i < 64; ++i)
        f.px[i] = static_cast<BYTE>(10 * (2 * ((i / 8) % 2) + i % 2) + 10); // 10, 20 / 30, 40
    CAveragePixelValue s = Measured(f, 2);
    UpdateAverage(&s, 8, 8, 1, f.px.get());
    for (auto& area : s.m_pbyteAverage) {
        const BYTE expected[4] = {25, 20, 30, 40}; // position 0: (10+20+30+40) / 4
        EXPECT_TRUE(std::equal(expected, expected + 4, area));
    }
}

TEST(WeightedAverage, Weights) {
    CAveragePixelValue s = WithAverages(2, {10, 20, 30, 40});
    EXPECT_EQ(Colour(s, {}), (std::array<BYTE, 4>{0, 0, 0, 0}));
    EXPECT_EQ(Brightness(s, {}), 0);

    for (int a = 0; a < 16; ++a)
        s.m_pbyteAverage[a][0] = static_cast<BYTE>(a * 17); // mean 127.5 rounds down
    s.m_pbyteAverage[7][1] = 36;                            // (15 * 20 + 36) / 16 = 21
    EXPECT_EQ(Colour(s, Ones()), (std::array<BYTE, 4>{127, 21, 30, 40}));

    std::array<BYTE, 16> one{};
    one[7] = 255;
    EXPECT_EQ(Colour(s, one), (std::array<BYTE, 4>{119, 36, 30, 40}));

    s = WithAverages(2, {4, 4, 4, 4});
    auto centre = Ones();
    for (int a : {5, 6, 9, 10}) {
        centre[size_t(a)] = 3;
        s.m_pbyteAverage[a][0] = 100;
    }
    EXPECT_EQ(Colour(s, centre)[0], 52); // (12 * 100 + 12 * 4) / 24
}

TEST(WeightedAverage, ColourOrderFollowsCode) {
    const std::array<BYTE, 4> expected[4] = {
        {10, 20, 30, 40}, {20, 10, 40, 30}, {30, 40, 10, 20}, {40, 30, 20, 10}};
    for (WORD code = 2; code <= 5; code = static_cast<WORD>(code + 1)) {
        CAveragePixelValue s = WithAverages(code, {10, 20, 30, 40});
        EXPECT_EQ(Colour(s, Ones()), expected[code - 2]) << code;
    }
}

TEST(WeightedAverage, Brightness) {
    struct Case {
        WORD code;
        std::array<BYTE, 4> avg;
        BYTE expected;
    } cases[] = {
        {2, {100, 150, 151, 50}, 123}, {2, {255, 255, 255, 255}, 255},
        {2, {0, 0, 1, 0}, 0},          {2, {200, 0, 0, 0}, 59}, // 2989 exactly, not 2990
        {5, {200, 0, 0, 0}, 22},                                // code 5: blue at position 0, 1145
        {2, {0, 255, 254, 0}, 148},    // greens averaged and rounded down first
        {1, {91, 1, 2, 3}, 91},        // single channel: the weighted mean itself
        {0, {100, 150, 151, 50}, 123}, // unknown codes: positions in their own order
        {6, {80, 80, 80, 80}, 80},
    };
    for (const Case& c : cases) {
        CAveragePixelValue s = WithAverages(c.code, c.avg);
        EXPECT_EQ(Brightness(s, Ones()), c.expected) << c.code << " " << int(c.avg[0]);
    }
}

TEST(WeightedAverage, SingleChannelAndUnknownCodesWriteOnlyWhatIsDefined) {
    CAveragePixelValue s = WithAverages(1, {90, 1, 2, 3});
    EXPECT_EQ(Colour(s, Ones()), (std::array<BYTE, 4>{90, 7, 7, 7}));
    EXPECT_EQ(Colour(s, {}), (std::array<BYTE, 4>{0, 7, 7, 7}));
    for (WORD code : {WORD{0}, WORD{6}, WORD{0xFFFF}}) {
        s = WithAverages(code, {90, 1, 2, 3});
        EXPECT_EQ(Colour(s, Ones()), (std::array<BYTE, 4>{7, 7, 7, 7}));
        EXPECT_EQ(Colour(s, {}), (std::array<BYTE, 4>{0, 0, 0, 0}));
    }
}

TEST(AreaGrid, SplitsOutOfOrderOrBeyondTheFrameStillPartitionIt) {
    // Split lines are the record's own fields; a caller may store any value.
    // Lines past the frame stop at its edge and a line before its left
    // neighbour moves up to it, so every pixel still lies in exactly one
    // area (empty areas included) and the frame is never read outside.
    Frame f(40, 20, 0);
    for (DWORD i = 0; i < f.w * f.h; ++i)
        f.px[i] = static_cast<BYTE>(i % 251);
    CAveragePixelValue s;
    CAveragePixelValue_init(&s);
    const WORD x_split[3] = {9000, 3000, 12000}; // 36, 12 -> 36, 48 -> 40
    const WORD y_split[3] = {60000, 1000, 0};    // 20 (the edge), then 20, 20
    std::copy(x_split, x_split + 3, s.m_pwSepalatePosX);
    std::copy(y_split, y_split + 3, s.m_pwSepalatePosY);
    s.m_bAreaChangeFg = TRUE;
    ASSERT_EQ(UpdateAverage(&s, f.w, f.h, 2, f.px.get()), TRUE);
    EXPECT_EQ(s.m_bAreaChangeFg, FALSE);
    EXPECT_EQ((std::array<DWORD, 4>{s.m_pdwImagePosX[0], s.m_pdwImagePosX[1], s.m_pdwImagePosX[2],
                                    s.m_pdwImagePosX[3]}),
              (std::array<DWORD, 4>{36, 36, 40, 40}));
    EXPECT_EQ((std::array<DWORD, 4>{s.m_pdwImagePosY[0], s.m_pdwImagePosY[1], s.m_pdwImagePosY[2],
                                    s.m_pdwImagePosY[3]}),
              (std::array<DWORD, 4>{20, 20, 20, 20}));
    // All rows are in area row 0: columns 0..35 in area 0, 36..39 in area 2.
    uint64_t sum[4] = {}, count[4] = {};
    for (DWORD y = 0; y < f.h; ++y)
        for (DWORD x = 36; x < f.w; ++x) {
            const DWORD p = 2 * (y % 2) + (x % 2);
            sum[p] += f.px[size_t{y} * f.w + x];
            ++count[p];
        }
    for (int a = 0; a < 16; ++a)
        for (int p = 0; p < 4; ++p) {
            const DWORD want = a == 0 ? 36 * 20 / 4 : a == 2 ? 4 * 20 / 4 : 0;
            EXPECT_EQ(s.m_pdwAreaPixelCount[a][p], want) << "area " << a << " position " << p;
            if (a == 2) {
                EXPECT_EQ(s.m_pbyteAverage[a][p], sum[p] / count[p]) << "position " << p;
            }
        }
}
