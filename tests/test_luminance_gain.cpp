// SPDX-License-Identifier: GPL-2.0 OR MIT
// The CDS gain step: log-domain proposal, one-unit minimum step, speed limit
// chosen by the error's direction, and the range.
#include "test_luminance_fake.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

struct Step {
    BOOL changed;
    WORD gain;
};

Step gain_step(WORD gain, BYTE speed, unsigned current, unsigned target, bool dark, WORD min = 0,
               WORD max = 0xFFFF, BYTE distance = 0) {
    FakeCamera cam(true, 100, 0, gain);
    cam.ctrl.m_byteGainCtrlSpeedLimit = speed;
    const BOOL changed =
        mbGainCtrl(&cam.ctrl, static_cast<__u8>(current), static_cast<__u8>(target), distance,
                   dark ? TRUE : FALSE, min, max);
    EXPECT_EQ(cam.frame_clock_calls + cam.publish_calls, 0) << "the step calls no callback";
    return {changed, cam.ctrl.m_wCDSGain};
}

// With the error flagged as bright and S = 0 no speed limit applies, so the
// proposal itself is seen, in either direction.
TEST(LuminanceGain, ProposedChangesFollowTheOctaveRatio) {
    struct Row {
        unsigned current, target;
        int change;
    };
    const Row rows[] = {
        {64, 128, +45},  {100, 128, +17}, {120, 128, +5},  {127, 128, +5},
        {129, 128, -1},  {128, 100, -18}, {200, 128, -29}, {10, 128, +168},
        {1, 128, +319},  {0, 128, +322},  {128, 128, -1},  {15, 128, +730 * (112 - 62) / 256},
        {16, 128, +136}, // 1460 x (56 - 32)
        {128, 0, -326},  // a target of 0 asks for a large fall: 1460 x (-1 - 56)
    };
    for (const Row& r : rows) {
        const Step s = gain_step(1000, 0, r.current, r.target, false);
        EXPECT_EQ(static_cast<int>(s.gain) - 1000, r.change)
            << "C = " << r.current << ", T = " << r.target;
        EXPECT_EQ(s.changed, TRUE);
    }
}

TEST(LuminanceGain, SpeedLimitFollowsTheOctaveGridNotMonotonic) {
    struct Row {
        BYTE speed;
        int rising, falling;
    };
    // Falling with S = 0 is not limited: the full proposal of -365.
    const Row rows[] = {{0, 45, -365}, {1, 25, -46}, {2, 19, -26}, {3, 14, -20}, {4, 11, -15},
                        {5, 8, -12},   {6, 11, -9},  {7, 5, -12},  {8, 8, -6},   {9, 5, -9},
                        {10, 5, -6},   {11, 5, -6},  {12, 2, -6},  {13, 5, -3},  {14, 5, -6},
                        {15, 1, -6},   {16, 5, -1},  {17, 1, -6},  {254, 5, -1}, {255, 1, -6}};
    for (const Row& r : rows) {
        // Black image, bright target: the largest rise; and the reverse.
        const Step up = gain_step(1000, r.speed, 0, 255, true);
        EXPECT_EQ(static_cast<int>(up.gain) - 1000, r.rising) << "S = " << int(r.speed);
        const Step down = gain_step(1000, r.speed, 255, 0, false);
        EXPECT_EQ(static_cast<int>(down.gain) - 1000, r.falling) << "S = " << int(r.speed);
    }
}

TEST(LuminanceGain, LimitDependsOnTheFlagNotOnTheProposal) {
    // Flagged dark but the proposal falls (-29): the rising limit caps only
    // upward values, so the fall passes unlimited.
    EXPECT_EQ(gain_step(1000, 7, 200, 128, true).gain, 1000 - 29);
    // Flagged bright but the proposal rises (+168): no limit either.
    EXPECT_EQ(gain_step(1000, 7, 10, 128, false).gain, 1000 + 168);
}

// Steps from a gain G at a speed limit S, on levels C (current) and T
// (target) flagged dark or bright, within [min, max]: whether each changed,
// and the gain it leaves.
struct GainCase {
    const char* name;
    WORD gain;
    BYTE speed;
    unsigned current, target;
    bool dark;
    WORD min, max;
    BOOL changed;
    WORD want;
};

const GainCase kGainCases[] = {
    // Worked cases.
    {"DarkAtSpeed0", 100, 0, 64, 128, true, 0, 255, TRUE, 145},
    {"DarkAtSpeed7", 100, 7, 64, 128, true, 0, 255, TRUE, 105},
    {"BrightByOneLevel", 100, 0, 129, 128, false, 0, 255, TRUE, 99},
    // The minimum step stops at the ends of the register: the proposal
    // saturates at 0 going down, at 65535 going up, and the step stays 0.
    {"ZeroGoingDownStays", 0, 0, 200, 128, false, 0, 100, FALSE, 0},
    {"FullScaleGoingUpStays", 0xFFFF, 0, 64, 128, true, 0, 0xFFFF, FALSE, 0xFFFF},
    // A one-unit step is forced in the flagged direction.
    {"OneUnitInTheFlaggedDirection", 1000, 255, 129, 128, true, 0, 0xFFFF, TRUE, 1001},
    // The range wins over the direction: below it, raised to its minimum even
    // when the image is bright, or when the step (+2) would not reach it; a
    // step of +45 lands inside it.
    {"BelowTheRangeRaisedWhenBright", 50, 0, 200, 128, false, 60, 255, TRUE, 60},
    {"BelowTheRangeStepsInside", 50, 0, 64, 128, true, 60, 255, TRUE, 95},
    {"BelowTheRangeRaisedPastAShortStep", 50, 12, 64, 128, true, 60, 255, TRUE, 60},
    // Above the range, lowered to its maximum even when dark; at its top the
    // rise is cut back and nothing changes.
    {"AboveTheRangeLoweredWhenDark", 300, 0, 64, 128, true, 0, 255, TRUE, 255},
    {"TopOfTheRangeCutsTheRise", 255, 0, 64, 128, true, 0, 255, FALSE, 255},
};

void PrintTo(const GainCase& c, std::ostream* os) {
    *os << c.name;
}

class GainStep : public ::testing::TestWithParam<GainCase> {};

TEST_P(GainStep, ChangesAndGain) {
    const GainCase& c = GetParam();
    const Step s = gain_step(c.gain, c.speed, c.current, c.target, c.dark, c.min, c.max);
    EXPECT_EQ(s.changed, c.changed);
    EXPECT_EQ(s.gain, c.want);
}

INSTANTIATE_TEST_SUITE_P(LuminanceGain, GainStep, ::testing::ValuesIn(kGainCases),
                         [](const ::testing::TestParamInfo<GainCase>& row) {
                             return std::string(row.param.name);
                         });

TEST(LuminanceGain, RangeMinimumIsTestedFirst) {
    // An inverted range 200..100: 150 is below the minimum and above the
    // maximum at once, and the minimum wins; 249 is only above the maximum.
    EXPECT_EQ(gain_step(151, 0, 128, 129, false, 200, 100).gain, 200);
    EXPECT_EQ(gain_step(250, 0, 128, 129, false, 200, 100).gain, 100);
}

TEST(LuminanceGain, DistanceHasNoInfluence) {
    for (int d : {0, 1, 64, 255}) {
        EXPECT_EQ(gain_step(100, 3, 64, 128, true, 0, 255, static_cast<BYTE>(d)).gain, 114);
        EXPECT_EQ(gain_step(100, 3, 200, 128, false, 0, 255, static_cast<BYTE>(d)).gain, 80);
    }
}

} // namespace
