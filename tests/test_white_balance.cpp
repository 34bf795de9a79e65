// SPDX-License-Identifier: GPL-2.0 OR MIT
// White balance: initialisation, the gain table rule, frame correction, the
// automatic control step with its dead band, one-shot mode and skip and
// sampling cycle, and the integer square root.
#include <AWB/WhiteBalanceCtrl.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

CWhiteBalanceCtrl Make(std::array<WORD, 4> gains = {128, 128, 128, 128},
                       WORD code = QUORVIN_COLOR_ARRAY_RGGB) {
    CWhiteBalanceCtrl c;
    std::memset(&c, 0xA5, sizeof c); // init works on uninitialised memory
    CWhiteBalanceCtrl_init(&c, gains.data(), code);
    return c;
}

// Frames are allocated at exactly their size, so that the sanitizer build
// catches any access outside them.
using Frame = std::unique_ptr<BYTE[]>;

Frame Copy(const std::vector<BYTE>& v) {
    Frame f(new BYTE[v.size()]);
    std::copy(v.begin(), v.end(), f.get());
    return f;
}

std::vector<BYTE> Vec(const Frame& f, size_t n) {
    return {f.get(), f.get() + n};
}

// Per-pixel reference: colour index = colour position XOR (code - 2); a last
// odd column or row keeps `untouched` (the input, or the destination fill).
std::vector<BYTE> Reference(const CWhiteBalanceCtrl& c, const std::vector<BYTE>& in, DWORD w,
                            DWORD h, WORD code, int untouched = -1) {
    std::vector<BYTE> out = in;
    for (DWORD y = 0; y < h; ++y)
        for (DWORD x = 0; x < w; ++x) {
            BYTE& b = out[size_t{y} * w + x];
            if (x < (w & ~1u) && y < (h & ~1u))
                b = c.m_ppbyteTable[(2 * (y % 2) + (x % 2)) ^ DWORD(code - 2)][b];
            else if (untouched >= 0)
                b = static_cast<BYTE>(untouched);
        }
    return out;
}

// Area statistics whose weighted colour averages are r, g, g, b.
CAveragePixelValue Stats(BYTE r, BYTE g, BYTE b) {
    CAveragePixelValue s;
    CAveragePixelValue_init(&s);
    s.m_wColorArray = 2;
    for (auto& area : s.m_pbyteAverage) {
        const BYTE v[4] = {r, g, g, b};
        std::memcpy(area, v, 4);
    }
    return s;
}

// One evaluation, on a sampling run of one frame.
void Evaluate(CWhiteBalanceCtrl& c, BYTE r, BYTE g, BYTE b) {
    c.m_byteAWBSamplingCount = 1;
    BYTE avg[4] = {r, g, g, b};
    EXPECT_EQ(mbAutoUpdateGain(&c, avg), TRUE);
}

bool TablesMatchGains(const CWhiteBalanceCtrl& c) {
    CWhiteBalanceCtrl scratch = Make();
    for (int k = 0; k < 4; ++k) {
        BYTE t[256];
        mbUpdateTable(&scratch, c.m_pwGain[k], t);
        if (std::memcmp(t, c.m_ppbyteTable[k], 256) != 0)
            return false;
    }
    return true;
}

} // namespace

TEST(WhiteBalanceInit, Defaults) {
    CWhiteBalanceCtrl c = Make({100, 128, 0, 256});
    EXPECT_EQ(c.m_byteMode, QUORVIN_WB_AUTO);
    EXPECT_EQ(c.m_wThreshold, 5);
    EXPECT_EQ(c.m_pwTarget[0] + c.m_pwTarget[1], 200);
    EXPECT_EQ(c.m_byteAWBSkipCount + c.m_byteAWBSamplingCount, 20);
    EXPECT_EQ(c.m_byteAWBRestSkipCount + c.m_byteAWBAlredySamplingCount + c.m_bAWBStarted, 0);
    for (BYTE w : c.m_pbyteAWBWeight)
        EXPECT_EQ(w, 1);
    EXPECT_EQ(c.m_pwGain[3], 256);
    EXPECT_EQ(c.m_ppbyteTable[0][255], 199); // tables built from the initial gains
    EXPECT_EQ(c.m_ppbyteTable[2][255], 0);
    EXPECT_EQ(c.m_ppbyteTable[3][127], 255);
    EXPECT_EQ(Make({128, 128, 128, 128}, QUORVIN_COLOR_ARRAY_SINGLE).m_byteMode, QUORVIN_WB_OFF);
}

TEST(WhiteBalanceTable, WorkedGains) {
    struct Case {
        WORD gain;
        int index, value;
    } cases[] = {
        {0, 0, 0},       {0, 255, 0},     {128, 77, 77},   {128, 255, 255},
        {256, 126, 252}, {256, 127, 255}, {100, 255, 199}, {1023, 30, 239},
        {1023, 31, 255}, {32640, 0, 0},   {32640, 1, 255}, {32641, 0, 255},
        {65535, 0, 255}, {200, 162, 253}, {200, 163, 255}, // plain rule: 254 at 163
    };
    CWhiteBalanceCtrl c = Make({128, 128, 128, 128});
    BYTE t[256];
    for (const Case& k : cases) {
        std::memset(t, 0xA5, sizeof t);
        EXPECT_EQ(mbUpdateTable(&c, k.gain, t), TRUE);
        EXPECT_EQ(t[k.index], k.value) << "gain " << k.gain << " index " << k.index;
    }
    for (int i = 0; i < 256; ++i) { // identity and doubling, whole tables
        mbUpdateTable(&c, 128, t);
        ASSERT_EQ(t[i], i);
        mbUpdateTable(&c, 256, t);
        ASSERT_EQ(t[i], i < 127 ? 2 * i : 255);
    }
}

// Every code, several gain sets (with and without the green shortcut) and
// every small size, odd ones, 0 x N and 1 x N included: in-place and copy
// correction equal the per-pixel reference, the copy writes no byte outside
// whole 2 x 2 cells, and copying onto the source equals in-place correction.
TEST(WhiteBalanceCorrection, MatchesPerPixelReference) {
    std::mt19937 rng(99);
    const std::array<WORD, 4> gainSets[] = {
        {256, 128, 128, 64}, {200, 100, 150, 1023}, {0, 128, 129, 300}};
    for (WORD code = 2; code <= 5; code = static_cast<WORD>(code + 1))
        for (const auto& gains : gainSets)
            for (DWORD h = 0; h <= 7; ++h)
                for (DWORD w = 0; w <= 9; ++w) {
                    SCOPED_TRACE(::testing::Message()
                                 << w << "x" << h << " code " << code << " red gain " << gains[0]);
                    CWhiteBalanceCtrl c = Make(gains);
                    const size_t n = size_t{w} * h;
                    std::vector<BYTE> in(n);
                    for (BYTE& b : in)
                        b = static_cast<BYTE>(rng());

                    Frame f = Copy(in);
                    EXPECT_EQ(ImageProcessing(&c, w, h, code, f.get()), TRUE);
                    ASSERT_EQ(Vec(f, n), Reference(c, in, w, h, code));

                    Frame src = Copy(in), dest = Copy(std::vector<BYTE>(n, 0x5A));
                    EXPECT_EQ(ImageCopyProcessing(&c, w, h, code, src.get(), dest.get()), TRUE);
                    ASSERT_EQ(Vec(dest, n), Reference(c, in, w, h, code, 0x5A));
                    ASSERT_EQ(Vec(src, n), in);

                    ImageCopyProcessing(&c, w, h, code, src.get(), src.get());
                    ASSERT_EQ(Vec(src, n), Reference(c, in, w, h, code));
                }
}

TEST(WhiteBalanceCorrection, OffSingleChannelAndUnknownCodesLeaveFramesAlone) {
    const std::vector<BYTE> in(48, 200), fill(48, 0x5A);
    for (WORD code : std::initializer_list<WORD>{1, 0, 6, 0xFFFF, 2})
        for (BYTE mode : std::initializer_list<BYTE>{0, 1, 3}) {
            if (code == 2 && mode != 0)
                continue; // mode 0 leaves even a Bayer frame alone
            CWhiteBalanceCtrl c = Make({0, 0, 0, 0});
            c.m_byteMode = mode;
            Frame f = Copy(in), dest = Copy(fill);
            ImageProcessing(&c, 8, 6, code, f.get());
            ImageCopyProcessing(&c, 8, 6, code, f.get(), dest.get());
            EXPECT_EQ(Vec(f, 48), in) << code << " " << int(mode);
            EXPECT_EQ(Vec(dest, 48), fill) << code << " " << int(mode);
        }
}

// With both green gains at unity the greens are neither mapped nor written.
// The green tables are zeroed here (which gains of 128 never build), so any
// pass through them would show; with one green gain off unity they apply.
TEST(WhiteBalanceCorrection, GreenShortcutNeverTouchesGreens) {
    std::mt19937 rng(3);
    std::vector<BYTE> in(9 * 7);
    for (BYTE& b : in)
        b = static_cast<BYTE>(rng() | 1); // never 0, so zeroed greens would show
    for (WORD code = 2; code <= 5; code = static_cast<WORD>(code + 1)) {
        CWhiteBalanceCtrl c = Make({300, 128, 128, 200}); // red and blue never map to 0
        std::memset(c.m_ppbyteTable[1], 0, 256);
        std::memset(c.m_ppbyteTable[2], 0, 256);
        const auto withTables = Reference(c, in, 9, 7, code);
        Frame f = Copy(in);
        ImageProcessing(&c, 9, 7, code, f.get());
        for (size_t i = 0; i < in.size(); ++i) {
            const bool green = withTables[i] == 0;
            ASSERT_EQ(f[i], green ? in[i] : withTables[i]) << "code " << code << " byte " << i;
        }
        c.m_pwGain[2] = 129;
        Frame g = Copy(in);
        ImageProcessing(&c, 9, 7, code, g.get());
        EXPECT_EQ(Vec(g, in.size()), withTables);
    }
}

TEST(AutoWhiteBalance, WorkedExampleOverTenFrames) {
    CWhiteBalanceCtrl c = Make();
    CAveragePixelValue s = Stats(50, 100, 200);
    for (int frame = 1; frame <= 9; ++frame) {
        EXPECT_EQ(UpdateGain(&c, &s), TRUE);
        EXPECT_EQ(c.m_byteAWBAlredySamplingCount, frame);
    }
    EXPECT_EQ(c.m_pwGain[0], 128);
    EXPECT_EQ(UpdateGain(&c, &s), TRUE);
    EXPECT_EQ(c.m_pwGain[0], 256);
    EXPECT_EQ(c.m_pwGain[3], 64);
    EXPECT_EQ(c.m_pwGain[1] + c.m_pwGain[2], 256);
    EXPECT_TRUE(TablesMatchGains(c));
    EXPECT_EQ(c.m_bAWBStarted, TRUE);
    EXPECT_EQ(c.m_byteAWBRestSkipCount, 10);
    EXPECT_EQ(c.m_byteAWBAlredySamplingCount, 0);
}

namespace {

// Single evaluations from given gains and state: the new red and blue gains
// and whether a run is under way; the tables follow the gains and the skip
// count restarts.
struct StepCase {
    const char* name;
    WORD gainR, gainB, threshold;
    BOOL started;
    BYTE r, g, b;
    WORD newR, newB;
    BOOL nowStarted;
};

void PrintTo(const StepCase& k, std::ostream* os) {
    *os << k.name;
}

// Gains are limited to 1023, and zero averages never divide.
const StepCase kLimitSteps[] = {
    {"Limit", 128, 128, 5, FALSE, 10, 100, 100, 1023, 128, TRUE},
    {"RedZero", 128, 128, 5, FALSE, 0, 100, 100, 129, 128, TRUE},
    {"RedAndGreenZero", 300, 77, 5, FALSE, 0, 0, 50, 0, 0, TRUE},
    {"Balanced", 140, 90, 5, TRUE, 120, 120, 120, 140, 90, FALSE},
    {"NoChange", 0, 0, 5, FALSE, 50, 100, 200, 0, 0, FALSE},
};

// The dead band is twice the threshold while idle ...
const StepCase kIdleSteps[] = {
    {"TwoLevels", 128, 128, 15, FALSE, 98, 100, 100, 128, 128, FALSE},
    {"ThreeLevels", 128, 128, 15, FALSE, 97, 100, 100, 131, 128, TRUE},
    {"DefaultBandOneLevel", 128, 128, 5, FALSE, 99, 100, 100, 129, 128, TRUE},
};

// ... and the threshold while running ...
const StepCase kRunningSteps[] = {
    {"TwoLevels", 131, 128, 15, TRUE, 98, 100, 100, 133, 128, TRUE},
    {"OneLevel", 133, 128, 15, TRUE, 99, 100, 100, 133, 128, FALSE},
};

// ... and it holds the red and blue errors together.
const StepCase kSummedSteps[] = {
    {"ThreeAndFourMakeFiveLevels", 128, 128, 25, FALSE, 97, 100, 104, 131, 123, TRUE},
    {"FiveLevelsInBand52", 128, 128, 26, FALSE, 97, 100, 104, 128, 128, FALSE},
};

std::string StepName(const ::testing::TestParamInfo<StepCase>& row) {
    return row.param.name;
}

} // namespace

class AutoWhiteBalanceStep : public ::testing::TestWithParam<StepCase> {};

TEST_P(AutoWhiteBalanceStep, GainsAndRun) {
    const StepCase& k = GetParam();
    CWhiteBalanceCtrl c = Make({k.gainR, 128, 128, k.gainB});
    c.m_wThreshold = k.threshold;
    c.m_bAWBStarted = k.started;
    Evaluate(c, k.r, k.g, k.b);
    EXPECT_EQ(c.m_pwGain[0], k.newR);
    EXPECT_EQ(c.m_pwGain[3], k.newB);
    EXPECT_EQ(c.m_bAWBStarted, k.nowStarted);
    EXPECT_TRUE(TablesMatchGains(c));
    EXPECT_EQ(c.m_byteAWBRestSkipCount, 10);
}

INSTANTIATE_TEST_SUITE_P(Limits, AutoWhiteBalanceStep, ::testing::ValuesIn(kLimitSteps), StepName);
INSTANTIATE_TEST_SUITE_P(IdleBand, AutoWhiteBalanceStep, ::testing::ValuesIn(kIdleSteps), StepName);
INSTANTIATE_TEST_SUITE_P(RunningBand, AutoWhiteBalanceStep, ::testing::ValuesIn(kRunningSteps),
                         StepName);
INSTANTIATE_TEST_SUITE_P(SummedErrors, AutoWhiteBalanceStep, ::testing::ValuesIn(kSummedSteps),
                         StepName);

// Targets are truncated percentages of green; a sampling run averages its
// frames, truncating.
TEST(AutoWhiteBalance, TargetsAndSamplingAverage) {
    CWhiteBalanceCtrl c = Make();
    c.m_pwTarget[0] = 80;  // 80 % of green 101 = 80
    c.m_pwTarget[1] = 120; // 121
    Evaluate(c, 100, 101, 100);
    EXPECT_EQ(c.m_pwGain[0], 102); // 80 * 128 / 100
    EXPECT_EQ(c.m_pwGain[3], 154); // 121 * 128 / 100

    c = Make();
    c.m_byteAWBSamplingCount = 3;
    for (BYTE r : {BYTE{10}, BYTE{11}, BYTE{11}}) { // mean 32 / 3 = 10
        BYTE avg[4] = {r, 100, 100, 100};
        mbAutoUpdateGain(&c, avg);
    }
    EXPECT_EQ(c.m_pdwSumOfSamplingAWB[0], 10u);
}

TEST(AutoWhiteBalance, OneShotRunsUntilNothingChanges) {
    CWhiteBalanceCtrl c = Make();
    c.m_byteMode = QUORVIN_WB_ONE_SHOT;
    Evaluate(c, 50, 100, 200);
    Evaluate(c, 50, 100, 200);
    EXPECT_EQ(c.m_byteMode, QUORVIN_WB_ONE_SHOT);
    Evaluate(c, 100, 100, 100);
    EXPECT_EQ(c.m_byteMode, QUORVIN_WB_FIXED);
    EXPECT_EQ(c.m_pwGain[0], 512); // the gains found stay in force
    EXPECT_EQ(c.m_pwGain[3], 32);
}

TEST(AutoWhiteBalanceCycle, IsAutoModeAndUpdateGainCountDown) {
    CWhiteBalanceCtrl c = Make();
    EXPECT_EQ(IsAutoMode(&c, TRUE), TRUE);
    c.m_byteMode = QUORVIN_WB_FIXED;
    c.m_byteAWBRestSkipCount = 3;
    EXPECT_EQ(IsAutoMode(&c, FALSE), FALSE);
    EXPECT_EQ(c.m_byteAWBRestSkipCount, 3);
    EXPECT_EQ(IsAutoMode(&c, TRUE), FALSE);
    EXPECT_EQ(c.m_byteAWBRestSkipCount, 2);
    CAveragePixelValue s = Stats(50, 100, 200);
    EXPECT_EQ(UpdateGain(&c, &s), TRUE); // mode 1: nothing happens
    EXPECT_EQ(c.m_byteAWBRestSkipCount, 2);
    c.m_byteMode = 7;                    // above 3 acts as 2
    EXPECT_EQ(UpdateGain(&c, &s), TRUE); // counts down, samples nothing
    EXPECT_EQ(c.m_byteAWBRestSkipCount, 1);
    EXPECT_EQ(c.m_byteAWBAlredySamplingCount, 0);
    EXPECT_EQ(IsAutoMode(&c, TRUE), FALSE);
    EXPECT_EQ(IsAutoMode(&c, TRUE), TRUE);

    CWhiteBalanceCtrl mono = Make({128, 128, 128, 128}, 1);
    for (BYTE mode = 0; mode <= 3; ++mode) {
        mono.m_byteMode = mode;
        EXPECT_EQ(IsAutoMode(&mono, TRUE), FALSE);
    }
}

// Frame by frame as the balance object drives it: ten sampled frames, an
// evaluation, ten skipped frames, and so on; a mode change pauses a run.
TEST(AutoWhiteBalanceCycle, SkipAndSampleCycle) {
    CWhiteBalanceCtrl c = Make();
    CAveragePixelValue s = Stats(100, 100, 100);
    std::vector<int> evaluations;
    for (int frame = 1; frame <= 60; ++frame) {
        if (frame == 5)
            c.m_byteMode = QUORVIN_WB_FIXED;
        if (frame == 7)
            c.m_byteMode = QUORVIN_WB_AUTO;
        if (IsAutoMode(&c, TRUE) && (UpdateGain(&c, &s), c.m_byteAWBRestSkipCount == 10))
            evaluations.push_back(frame);
    }
    EXPECT_EQ(evaluations, (std::vector<int>{12, 32, 52}));

    for (BYTE count : {BYTE{0}, BYTE{1}}) { // every sampled frame evaluates
        CWhiteBalanceCtrl d = Make();
        d.m_byteAWBSamplingCount = count;
        d.m_byteAWBSkipCount = 0;
        for (int frame = 0; frame < 3; ++frame) {
            ASSERT_EQ(IsAutoMode(&d, TRUE), TRUE);
            UpdateGain(&d, &s);
            EXPECT_EQ(d.m_byteAWBAlredySamplingCount, 0);
        }
    }
}

TEST(IntegerSquareRoot, EdgesAndSweep) {
    const DDWORD xs[] = {0, 1, 3, 4, 15, 16, 12500, ~0ULL, 0xFFFFFFFE00000000ULL, 1ULL << 62};
    const DWORD roots[] = {0, 1, 1, 2, 3, 4, 111, 4294967295u, 4294967294u, 1u << 31};
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(lluint_sqrt(xs[i]), roots[i]) << xs[i];

    // r * r <= x < (r + 1)^2, in 64 bits without overflow (also on 32-bit hosts).
    auto check = [](DDWORD x) {
        const DDWORD r = lluint_sqrt(x);
        ASSERT_LE(r * r, x) << x;
        if (r < 0xFFFFFFFFu) {
            ASSERT_GT((r + 1) * (r + 1), x) << x;
        }
    };
    for (DDWORD x = 0; x < 70000; ++x)
        check(x);
    for (DDWORD k = 1; k < (1ULL << 32); k = k * 3 + 1) {
        check(k * k - 1);
        check(k * k);
    }
    std::mt19937_64 rng(42);
    for (int i = 0; i < 100000; ++i)
        check(rng() >> (i % 64));
}
