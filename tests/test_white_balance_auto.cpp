// Automatic white balance: the control step, its dead band, one-shot mode,
// the skip and sampling cycle, and the integer square root.
#include <AWB/WhiteBalanceCtrl.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <initializer_list>
#include <random>
#include <utility>
#include <vector>

namespace {

CWhiteBalanceCtrl Make(std::array<WORD, 4> gains = {128, 128, 128, 128}, WORD code = 2) {
    CWhiteBalanceCtrl c;
    std::memset(&c, 0xA5, sizeof c);
    CWhiteBalanceCtrl_init(&c, gains.data(), code);
    return c;
}

// Area statistics whose weighted colour averages are r, g, g, b.
CAveragePixelValue Stats(BYTE r, BYTE g, BYTE b) {
    CAveragePixelValue s;
    CAveragePixelValue_init(&s);
    s.m_wColorArray = 2;
    for (auto& area : s.m_pbyteAverage) {
        area[0] = r;
        area[1] = g;
        area[2] = g;
        area[3] = b;
    }
    return s;
}

// One evaluation with a sampling run of one frame.
void Evaluate(CWhiteBalanceCtrl& c, BYTE r, BYTE g, BYTE b) {
    c.m_byteAWBSamplingCount = 1;
    BYTE avg[4] = {r, g, g, b};
    EXPECT_EQ(mbAutoUpdateGain(&c, avg), TRUE);
}

bool TableMatches(const CWhiteBalanceCtrl& c, int k) {
    BYTE t[256];
    CWhiteBalanceCtrl scratch = Make();
    mbUpdateTable(&scratch, c.m_pwGain[k], t);
    return std::memcmp(t, c.m_ppbyteTable[k], 256) == 0;
}

} // namespace

// ---------------------------------------------------------------- control step

TEST(AutoWhiteBalance, WorkedExampleOverTenFrames) {
    CWhiteBalanceCtrl c = Make();
    CAveragePixelValue s = Stats(50, 100, 200);
    for (int frame = 1; frame <= 9; ++frame) {
        EXPECT_EQ(UpdateGain(&c, &s), TRUE);
        EXPECT_EQ(c.m_byteAWBAlredySamplingCount, frame);
        EXPECT_EQ(c.m_pwGain[0], 128);
        EXPECT_EQ(c.m_byteAWBRestSkipCount, 0);
    }
    EXPECT_EQ(c.m_pdwSumOfSamplingAWB[0], 450u);
    EXPECT_EQ(UpdateGain(&c, &s), TRUE);
    EXPECT_EQ(c.m_pwGain[0], 256);
    EXPECT_EQ(c.m_pwGain[3], 64);
    EXPECT_EQ(c.m_pwGain[1], 128);
    EXPECT_EQ(c.m_pwGain[2], 128);
    EXPECT_TRUE(TableMatches(c, 0));
    EXPECT_TRUE(TableMatches(c, 3));
    EXPECT_EQ(c.m_ppbyteTable[0][100], 200);
    EXPECT_EQ(c.m_bAWBStarted, TRUE);
    EXPECT_EQ(c.m_byteAWBRestSkipCount, 10);
    EXPECT_EQ(c.m_byteAWBAlredySamplingCount, 0);
    EXPECT_EQ(c.m_byteMode, 2);
}

TEST(AutoWhiteBalance, SampleMeansTruncate) {
    CWhiteBalanceCtrl c = Make();
    c.m_byteAWBSamplingCount = 3;
    const BYTE reds[3] = {10, 11, 11}; // mean 32 / 3 = 10
    for (BYTE r : reds) {
        BYTE avg[4] = {r, 100, 101, 100}; // green (100 + 101) >> 1 = 100
        mbAutoUpdateGain(&c, avg);
    }
    EXPECT_EQ(c.m_pdwSumOfSamplingAWB[0], 10u);
    EXPECT_EQ(c.m_pwGain[0], 1023); // 100 * 128 / 10 = 1280, limited
    EXPECT_EQ(c.m_pwGain[3], 128);  // blue on target
}

TEST(AutoWhiteBalance, ZeroAveragesDoNotDivide) {
    CWhiteBalanceCtrl c = Make();
    Evaluate(c, 0, 100, 100);
    EXPECT_EQ(c.m_pwGain[0], 129);
    EXPECT_TRUE(TableMatches(c, 0));

    c = Make({300, 128, 128, 77});
    Evaluate(c, 0, 0, 50);
    EXPECT_EQ(c.m_pwGain[0], 0);
    EXPECT_EQ(c.m_pwGain[3], 0);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(c.m_ppbyteTable[0][i], 0);
        ASSERT_EQ(c.m_ppbyteTable[3][i], 0);
    }
}

TEST(AutoWhiteBalance, TargetsArePercentagesOfGreen) {
    CWhiteBalanceCtrl c = Make();
    c.m_pwTarget[0] = 80; // red target 80 % of green 101 = 80
    c.m_pwTarget[1] = 120;
    Evaluate(c, 100, 101, 100);    // blue target 121
    EXPECT_EQ(c.m_pwGain[0], 102); // 80 * 128 / 100
    EXPECT_EQ(c.m_pwGain[3], 154); // 121 * 128 / 100
}

TEST(AutoWhiteBalance, BalancedFrameEndsOneShot) {
    CWhiteBalanceCtrl c = Make({140, 128, 128, 90});
    c.m_byteMode = 3;
    c.m_bAWBStarted = TRUE;
    Evaluate(c, 120, 120, 120);
    EXPECT_EQ(c.m_pwGain[0], 140);
    EXPECT_EQ(c.m_pwGain[3], 90);
    EXPECT_EQ(c.m_bAWBStarted, FALSE);
    EXPECT_EQ(c.m_byteMode, 1);
    EXPECT_EQ(c.m_byteAWBRestSkipCount, 10);
}

TEST(AutoWhiteBalance, OneShotRunsUntilNothingChanges) {
    CWhiteBalanceCtrl c = Make();
    c.m_byteMode = 3;
    Evaluate(c, 50, 100, 200);
    EXPECT_EQ(c.m_byteMode, 3);
    EXPECT_EQ(c.m_pwGain[0], 256);
    // Averages measured before the new gains applied: the gains move again.
    Evaluate(c, 50, 100, 200);
    EXPECT_EQ(c.m_pwGain[0], 512);
    Evaluate(c, 100, 100, 100);
    EXPECT_EQ(c.m_byteMode, 1);
    EXPECT_EQ(c.m_pwGain[0], 512); // the gains found stay in force
    EXPECT_EQ(c.m_pwGain[3], 32);

    CWhiteBalanceCtrl z = Make({0, 128, 128, 0});
    z.m_byteMode = 3;
    Evaluate(z, 50, 100, 200); // far off target, yet 0 * anything stays 0
    EXPECT_EQ(z.m_bAWBStarted, FALSE);
    EXPECT_EQ(z.m_byteMode, 1);
}

// Idle, the distance must reach twice the threshold; running, the threshold.
TEST(AutoWhiteBalance, DeadBandHysteresis) {
    CWhiteBalanceCtrl c = Make();
    c.m_wThreshold = 15;       // band 30 idle, 15 running
    Evaluate(c, 98, 100, 100); // distance 2 levels = 20
    EXPECT_EQ(c.m_pwGain[0], 128);
    EXPECT_EQ(c.m_bAWBStarted, FALSE);
    Evaluate(c, 97, 100, 100);     // 30: starts
    EXPECT_EQ(c.m_pwGain[0], 131); // 100 * 128 / 97
    EXPECT_EQ(c.m_bAWBStarted, TRUE);
    Evaluate(c, 98, 100, 100); // 20 while running: acts
    EXPECT_EQ(c.m_pwGain[0], 133);
    Evaluate(c, 99, 100, 100); // 10: inside, stops
    EXPECT_EQ(c.m_pwGain[0], 133);
    EXPECT_EQ(c.m_bAWBStarted, FALSE);

    // Distances combine: 3 and 4 levels give 5 levels = 50, band 40 while idle.
    CWhiteBalanceCtrl d = Make();
    d.m_wThreshold = 20;
    Evaluate(d, 97, 100, 104);
    EXPECT_EQ(d.m_bAWBStarted, TRUE);
    CWhiteBalanceCtrl e = Make();
    e.m_wThreshold = 26; // band 52 > 50
    Evaluate(e, 97, 100, 104);
    EXPECT_EQ(e.m_bAWBStarted, FALSE);

    // Default threshold 5: one level is enough both idle and running.
    CWhiteBalanceCtrl f = Make();
    Evaluate(f, 99, 100, 100);
    EXPECT_EQ(f.m_pwGain[0], 129);
}

// ---------------------------------------------------------------- cycle

TEST(AutoWhiteBalanceCycle, IsAutoModeCountsDown) {
    CWhiteBalanceCtrl c = Make();
    EXPECT_EQ(IsAutoMode(&c, TRUE), TRUE);
    c.m_byteMode = 1;
    c.m_byteAWBRestSkipCount = 3;
    EXPECT_EQ(IsAutoMode(&c, FALSE), FALSE);
    EXPECT_EQ(c.m_byteAWBRestSkipCount, 3);
    EXPECT_EQ(IsAutoMode(&c, TRUE), FALSE);
    EXPECT_EQ(c.m_byteAWBRestSkipCount, 2);

    c.m_byteMode = 7; // above 3 acts as 2
    EXPECT_EQ(IsAutoMode(&c, TRUE), FALSE);
    EXPECT_EQ(IsAutoMode(&c, TRUE), FALSE);
    EXPECT_EQ(c.m_byteAWBRestSkipCount, 0);
    EXPECT_EQ(IsAutoMode(&c, TRUE), TRUE);
    EXPECT_EQ(c.m_byteAWBRestSkipCount, 0);

    CWhiteBalanceCtrl mono = Make({128, 128, 128, 128}, 1);
    for (BYTE mode : std::initializer_list<BYTE>{0, 1, 2, 3}) {
        mono.m_byteMode = mode;
        EXPECT_EQ(IsAutoMode(&mono, TRUE), FALSE);
    }
}

TEST(AutoWhiteBalanceCycle, UpdateGainOutsideAutoOrDuringCountdown) {
    CWhiteBalanceCtrl c = Make();
    CAveragePixelValue s = Stats(50, 100, 200);
    c.m_byteMode = 1;
    EXPECT_EQ(UpdateGain(&c, &s), TRUE);
    EXPECT_EQ(c.m_byteAWBAlredySamplingCount, 0);
    c.m_byteMode = 2;
    c.m_byteAWBRestSkipCount = 2;
    EXPECT_EQ(UpdateGain(&c, &s), TRUE);
    EXPECT_EQ(c.m_byteAWBRestSkipCount, 1);
    EXPECT_EQ(c.m_byteAWBAlredySamplingCount, 0);
}

// Frame by frame as the balance object drives it: ten sampled frames, an
// evaluation, ten skipped frames, and so on.
TEST(AutoWhiteBalanceCycle, SkipAndSampleCycle) {
    CWhiteBalanceCtrl c = Make();
    CAveragePixelValue s = Stats(100, 100, 100);
    std::vector<int> evaluations, sampled;
    for (int frame = 1; frame <= 60; ++frame) {
        if (!IsAutoMode(&c, TRUE))
            continue;
        sampled.push_back(frame);
        UpdateGain(&c, &s);
        if (c.m_byteAWBRestSkipCount == c.m_byteAWBSkipCount)
            evaluations.push_back(frame);
    }
    EXPECT_EQ(evaluations, (std::vector<int>{10, 30, 50}));
    EXPECT_EQ(sampled.size(), 30u);

    // A sampling count of 0 or 1 evaluates on every sampled frame.
    for (BYTE count : std::initializer_list<BYTE>{0, 1}) {
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

TEST(AutoWhiteBalanceCycle, ModeChangeDoesNotResetSampling) {
    CWhiteBalanceCtrl c = Make();
    CAveragePixelValue s = Stats(50, 100, 200);
    for (int i = 0; i < 4; ++i)
        UpdateGain(&c, &s);
    c.m_byteMode = 1;
    UpdateGain(&c, &s);
    c.m_byteMode = 2;
    for (int i = 0; i < 5; ++i)
        UpdateGain(&c, &s);
    EXPECT_EQ(c.m_pwGain[0], 128);
    EXPECT_EQ(c.m_byteAWBAlredySamplingCount, 9);
    UpdateGain(&c, &s);
    EXPECT_EQ(c.m_pwGain[0], 256);
}

// ---------------------------------------------------------------- sqrt

TEST(IntegerSquareRoot, EdgeValues) {
    const std::pair<DDWORD, DWORD> cases[] = {{0, 0},
                                              {1, 1},
                                              {3, 1},
                                              {4, 2},
                                              {15, 3},
                                              {16, 4},
                                              {12500, 111},
                                              {~0ULL, 4294967295u},
                                              {0xFFFFFFFE00000001ULL, 4294967295u},
                                              {0xFFFFFFFE00000000ULL, 4294967294u},
                                              {1ULL << 62, 1u << 31},
                                              {(1ULL << 62) - 1, (1u << 31) - 1}};
    for (auto [x, r] : cases)
        EXPECT_EQ(lluint_sqrt(x), r) << x;
}

TEST(IntegerSquareRoot, SweepAgainstDefinition) {
    // r * r <= x < (r + 1)^2, in 64 bits without overflow (also on 32-bit hosts).
    auto check = [](DDWORD x) {
        const DDWORD r = lluint_sqrt(x);
        ASSERT_LE(r * r, x) << x;
        if (r < 0xFFFFFFFFu) {
            ASSERT_GT((r + 1) * (r + 1), x) << x;
        }
    };
    for (DDWORD x = 0; x < 100000; ++x)
        check(x);
    for (DDWORD k = 1; k < (1ULL << 32); k = k * 3 + 1) {
        check(k * k - 1);
        check(k * k);
        check(k * k + 1);
    }
    std::mt19937_64 rng(42);
    for (int i = 0; i < 200000; ++i)
        check(rng() >> (i % 64));
}
