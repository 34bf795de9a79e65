// White balance: initialisation, the gain table rule and frame correction.
#include <AWB/WhiteBalanceCtrl.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <random>
#include <vector>

namespace {

CWhiteBalanceCtrl Make(std::array<WORD, 4> gains, WORD code = 2) {
    CWhiteBalanceCtrl c;
    std::memset(&c, 0xA5, sizeof c); // init works on uninitialised memory
    CWhiteBalanceCtrl_init(&c, gains.data(), code);
    return c;
}

struct GainTable {
    BYTE v[256];
    int operator[](int i) const { return v[i]; }
};

GainTable Table(WORD gain) {
    GainTable t;
    std::memset(t.v, 0xA5, sizeof t.v);
    CWhiteBalanceCtrl c = Make({128, 128, 128, 128});
    EXPECT_EQ(mbUpdateTable(&c, gain, t.v), TRUE);
    return t;
}

// A buffer allocated at exactly its size, so that the sanitizer build
// catches any access outside the frame.
struct Buffer {
    explicit Buffer(size_t n) : size(n), bytes(new BYTE[n]) {}
    Buffer(const Buffer& o) : Buffer(o.size) { std::memcpy(bytes.get(), o.bytes.get(), size); }
    std::vector<BYTE> vec() const { return {bytes.get(), bytes.get() + size}; }
    size_t size;
    std::unique_ptr<BYTE[]> bytes;
};

Buffer RandomFrame(DWORD w, DWORD h, std::mt19937& rng) {
    Buffer b(static_cast<size_t>(w) * h);
    for (size_t i = 0; i < b.size; ++i)
        b.bytes[i] = static_cast<BYTE>(rng());
    return b;
}

// Per-pixel reference: the colour index of (x, y) under code 2..5 is its
// colour position XOR (code - 2); a last odd column or row is left alone.
std::vector<BYTE> ReferenceCorrection(const CWhiteBalanceCtrl& c, const Buffer& in, DWORD w,
                                      DWORD h, WORD code) {
    std::vector<BYTE> out = in.vec();
    for (DWORD y = 0; y < (h & ~1u); ++y)
        for (DWORD x = 0; x < (w & ~1u); ++x) {
            const DWORD pos = 2 * (y % 2) + (x % 2);
            const DWORD index = pos ^ static_cast<DWORD>(code - 2);
            BYTE& b = out[static_cast<size_t>(y) * w + x];
            b = c.m_ppbyteTable[index][b];
        }
    return out;
}

bool IsGreen(DWORD x, DWORD y, WORD code) {
    const DWORD index = (2 * (y % 2) + (x % 2)) ^ static_cast<DWORD>(code - 2);
    return index == 1 || index == 2;
}

} // namespace

// ---------------------------------------------------------------- init

TEST(WhiteBalanceInit, Defaults) {
    CWhiteBalanceCtrl c = Make({100, 128, 129, 256});
    EXPECT_EQ(c.m_wColorArray, 2);
    EXPECT_EQ(c.m_byteMode, 2);
    EXPECT_EQ(c.m_wThreshold, 5);
    EXPECT_EQ(c.m_wTolerance, 5);
    EXPECT_EQ(c.m_pwTarget[0], 100);
    EXPECT_EQ(c.m_pwTarget[1], 100);
    EXPECT_EQ(c.m_byteAWBSkipCount, 10);
    EXPECT_EQ(c.m_byteAWBSamplingCount, 10);
    EXPECT_EQ(c.m_byteAWBAlredySamplingCount, 0);
    EXPECT_EQ(c.m_bAWBStarted, FALSE);
    EXPECT_EQ(c.m_byteAWBRestSkipCount, 0);
    for (BYTE w : c.m_pbyteAWBWeight)
        EXPECT_EQ(w, 1);
    const WORD gains[4] = {100, 128, 129, 256};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(c.m_pwIniGain[k], gains[k]);
        EXPECT_EQ(c.m_pwGain[k], gains[k]);
        const auto t = Table(gains[k]);
        EXPECT_EQ(std::memcmp(c.m_ppbyteTable[k], t.v, 256), 0) << k;
    }
    EXPECT_EQ(Make({128, 128, 128, 128}, 1).m_byteMode, 0);
    EXPECT_EQ(Make({128, 128, 128, 128}, 5).m_byteMode, 2);
}

// ---------------------------------------------------------------- tables

TEST(WhiteBalanceTable, WorkedGains) {
    auto t = Table(128);
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(t[i], i);
    t = Table(0);
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(t[i], 0);
    t = Table(256);
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(t[i], i < 127 ? 2 * i : 255) << i;
    t = Table(100);
    EXPECT_EQ(t[255], 199);
    EXPECT_EQ(t[128], 100);
    t = Table(1023);
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(t[i], i <= 30 ? (i * 1023) >> 7 : 255) << i;
    for (WORD g : std::initializer_list<WORD>{32641, 40000, 65535}) {
        t = Table(g);
        for (int i = 0; i < 256; ++i)
            EXPECT_EQ(t[i], 255) << g << " " << i;
    }
    t = Table(32640);
    EXPECT_EQ(t[0], 0);
    for (int i = 1; i < 256; ++i)
        EXPECT_EQ(t[i], 255);
}

// The saturated run starts at floor(32640 / gain), one entry before the
// plain rule would reach 255 when the gain does not divide 32640.
TEST(WhiteBalanceTable, SaturatesOneEntryEarly) {
    const auto t = Table(200);
    const BYTE expected[5] = {250, 251, 253, 255, 255};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(t[160 + i], expected[i]);
    for (DWORD g = 1; g <= 65535; g += (g < 2048 ? 1 : 97)) {
        const auto tg = Table(static_cast<WORD>(g));
        const DWORD threshold = std::min<DWORD>(32640 / g, 256);
        for (DWORD i = 0; i < 256; ++i)
            ASSERT_EQ(tg.v[i], i < threshold ? (i * g) >> 7 : 255u) << g << " " << i;
    }
}

// ---------------------------------------------------------------- correction

// Every code and every small size (odd ones, 0 x N and 1 x N included)
// against the per-pixel reference, with and without the green shortcut; the
// copy pass gives the same bytes and leaves unvisited destination bytes alone.
TEST(WhiteBalanceCorrection, MatchesPerPixelReference) {
    std::mt19937 rng(99);
    const std::array<WORD, 4> gainSets[] = {
        {256, 128, 128, 64}, {200, 100, 150, 1023}, {0, 128, 129, 300}, {90, 127, 128, 128}};
    for (WORD code = 2; code <= 5; code = static_cast<WORD>(code + 1))
        for (const auto& gains : gainSets)
            for (DWORD h = 0; h <= 7; ++h)
                for (DWORD w = 0; w <= 9; ++w) {
                    SCOPED_TRACE(::testing::Message()
                                 << w << "x" << h << " code " << code << " red gain " << gains[0]);
                    CWhiteBalanceCtrl c = Make(gains);
                    const Buffer in = RandomFrame(w, h, rng);
                    const auto expected = ReferenceCorrection(c, in, w, h, code);

                    Buffer inPlace(in);
                    EXPECT_EQ(ImageProcessing(&c, w, h, code, inPlace.bytes.get()), TRUE);
                    ASSERT_EQ(inPlace.vec(), expected);

                    Buffer dest(in.size);
                    std::memset(dest.bytes.get(), 0x5A, dest.size);
                    EXPECT_EQ(ImageCopyProcessing(&c, w, h, code, in.bytes.get(), dest.bytes.get()),
                              TRUE);
                    for (DWORD y = 0; y < h; ++y)
                        for (DWORD x = 0; x < w; ++x) {
                            const size_t i = static_cast<size_t>(y) * w + x;
                            const bool visited = x < (w & ~1u) && y < (h & ~1u);
                            ASSERT_EQ(dest.bytes[i], visited ? expected[i] : 0x5A) << x << "," << y;
                        }

                    Buffer same(in);
                    ImageCopyProcessing(&c, w, h, code, same.bytes.get(), same.bytes.get());
                    ASSERT_EQ(same.vec(), expected);
                }
}

TEST(WhiteBalanceCorrection, OddSizesTouchOnlyWholeCells) {
    CWhiteBalanceCtrl c = Make({0, 0, 0, 0}); // every visited byte becomes 0
    Buffer f(5 * 3);
    std::memset(f.bytes.get(), 200, f.size);
    ImageProcessing(&c, 5, 3, 2, f.bytes.get());
    for (DWORD y = 0; y < 3; ++y)
        for (DWORD x = 0; x < 5; ++x)
            EXPECT_EQ(f.bytes[y * 5 + x], (x < 4 && y < 2) ? 0 : 200) << x << "," << y;

    for (auto [w, h] : {std::pair<DWORD, DWORD>{1, 9}, {9, 1}, {1, 1}, {0, 4}, {4, 0}}) {
        Buffer g(static_cast<size_t>(w) * h);
        std::memset(g.bytes.get(), 200, g.size);
        ImageProcessing(&c, w, h, 2, g.bytes.get());
        for (size_t i = 0; i < g.size; ++i)
            EXPECT_EQ(g.bytes[i], 200);
    }
}

TEST(WhiteBalanceCorrection, OffSingleChannelAndUnknownCodesLeaveFramesAlone) {
    std::mt19937 rng(5);
    const Buffer in = RandomFrame(8, 6, rng);
    for (WORD code : std::initializer_list<WORD>{1, 0, 6, 0xFFFF})
        for (BYTE mode : std::initializer_list<BYTE>{0, 1, 2}) {
            CWhiteBalanceCtrl c = Make({0, 0, 0, 0});
            c.m_byteMode = mode;
            Buffer f(in);
            EXPECT_EQ(ImageProcessing(&c, 8, 6, code, f.bytes.get()), TRUE);
            EXPECT_EQ(f.vec(), in.vec());
            Buffer dest(in.size);
            std::memset(dest.bytes.get(), 0x5A, dest.size);
            EXPECT_EQ(ImageCopyProcessing(&c, 8, 6, code, in.bytes.get(), dest.bytes.get()), TRUE);
            for (size_t i = 0; i < dest.size; ++i)
                ASSERT_EQ(dest.bytes[i], 0x5A);
        }
    // Mode 0 leaves even a Bayer frame alone, whatever the gains.
    CWhiteBalanceCtrl c = Make({0, 0, 0, 0});
    c.m_byteMode = 0;
    Buffer f(in);
    ImageProcessing(&c, 8, 6, 2, f.bytes.get());
    EXPECT_EQ(f.vec(), in.vec());
}

TEST(WhiteBalanceCorrection, BgrRedGainExample) {
    CWhiteBalanceCtrl c = Make({256, 128, 128, 128});
    Buffer f(4 * 4);
    for (size_t i = 0; i < f.size; ++i)
        f.bytes[i] = static_cast<BYTE>(100 + 9 * i); // 100..235
    const auto before = f.vec();
    ImageProcessing(&c, 4, 4, 5, f.bytes.get());
    for (DWORD y = 0; y < 4; ++y)
        for (DWORD x = 0; x < 4; ++x) {
            const size_t i = y * 4 + x;
            const bool red = (x % 2) == 1 && (y % 2) == 1;
            const int v = before[i];
            EXPECT_EQ(f.bytes[i], red ? (v < 127 ? 2 * v : 255) : v) << x << "," << y;
        }
}

// With both green gains at unity the green bytes are neither read through a
// table nor written. The green tables are replaced here by all zeros (which
// gains of 128 never build): any pass through them would show in the frame.
TEST(WhiteBalanceCorrection, GreenShortcutNeverTouchesGreens) {
    std::mt19937 rng(3);
    for (WORD code = 2; code <= 5; code = static_cast<WORD>(code + 1)) {
        CWhiteBalanceCtrl c = Make({300, 128, 128, 50});
        std::memset(c.m_ppbyteTable[1], 0, 256);
        std::memset(c.m_ppbyteTable[2], 0, 256);
        const Buffer in = RandomFrame(9, 7, rng);
        Buffer f(in);
        ImageProcessing(&c, 9, 7, code, f.bytes.get());
        const auto withTables = ReferenceCorrection(c, in, 9, 7, code);
        for (DWORD y = 0; y < 7; ++y)
            for (DWORD x = 0; x < 9; ++x) {
                const size_t i = y * 9 + x;
                if (IsGreen(x, y, code) || x == 8 || y == 6)
                    ASSERT_EQ(f.bytes[i], in.bytes[i]) << "code " << code << " " << x << "," << y;
                else
                    ASSERT_EQ(f.bytes[i], withTables[i]) << "code " << code << " " << x << "," << y;
            }

        // One green gain off unity: the green tables are applied again.
        c.m_pwGain[2] = 129;
        Buffer g(in);
        ImageProcessing(&c, 9, 7, code, g.bytes.get());
        EXPECT_EQ(g.vec(), withTables);
    }
}
