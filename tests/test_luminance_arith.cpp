// SPDX-License-Identifier: GPL-2.0 OR MIT
// Exposure arithmetic of the luminance controller: integer powers and logs,
// the saturating step conversion, and shutter pairs turned into clocks.
#include "test_luminance_fake.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

int E8(unsigned x) {
    return quorvin_ilog2_u64(iexp8(static_cast<__u8>(x)));
}
int E16(unsigned x) {
    return quorvin_ilog2_u64(iexp16(static_cast<__u8>(x)));
}

TEST(LuminanceArith, PowersAreExactAndSixteenthWrapsFromSixteen) {
    EXPECT_EQ(iexp8(255), 17878103347812890625ull);
    EXPECT_EQ(iexp16(15), 6568408355712890625ull);
    EXPECT_EQ(iexp8(0), 0u);
    EXPECT_EQ(iexp8(1), 1u);
    EXPECT_EQ(iexp8(16), 1ull << 32);
    EXPECT_EQ(iexp16(2), 65536u);
    EXPECT_EQ(iexp16(16), 0u); // 2^64 modulo 2^64
    // Every 8th power against a plain product.
    for (unsigned b = 0; b <= 255; ++b) {
        __u64 p = 1;
        for (int i = 0; i < 8; ++i)
            p *= b;
        ASSERT_EQ(iexp8(static_cast<__u8>(b)), p) << b;
    }
}

TEST(LuminanceArith, Ilog2MatchesHighestSetBit) {
    EXPECT_EQ(quorvin_ilog2_u64(0), -1);
    EXPECT_EQ(quorvin_ilog2_u64(1), 0);
    EXPECT_EQ(quorvin_ilog2_u64(2), 1);
    EXPECT_EQ(quorvin_ilog2_u64(3), 1);
    EXPECT_EQ(quorvin_ilog2_u64(1ull << 32), 32);
    EXPECT_EQ(quorvin_ilog2_u64((1ull << 32) - 1), 31);
    EXPECT_EQ(quorvin_ilog2_u64(1ull << 63), 63);
    EXPECT_EQ(quorvin_ilog2_u64(UINT64_MAX), 63);
}

TEST(LuminanceArith, LogTableInEighthsAndSixteenths) {
    struct Row {
        unsigned x;
        int e8;
    };
    const Row rows[] = {{0, -1},  {1, 0},   {2, 8},   {3, 12},   {4, 16},   {8, 24},   {15, 31},
                        {16, 32}, {32, 40}, {64, 48}, {100, 53}, {128, 56}, {200, 61}, {255, 63}};
    for (const Row& r : rows)
        EXPECT_EQ(E8(r.x), r.e8) << "x = " << r.x;

    const Row rows16[] = {{0, -1}, {1, 0}, {2, 16}, {3, 25}, {4, 32}, {8, 48}, {15, 62}};
    for (const Row& r : rows16)
        EXPECT_EQ(E16(r.x), r.e8) << "x = " << r.x;
}

TEST(LuminanceArith, StepDomainConversionFloorsAndSaturates) {
    EXPECT_EQ(S64s8_2_WORD(INT64_MIN), 0);
    EXPECT_EQ(S64s8_2_WORD(-1), 0);
    EXPECT_EQ(S64s8_2_WORD(0), 0);
    EXPECT_EQ(S64s8_2_WORD(255), 0);
    EXPECT_EQ(S64s8_2_WORD(256), 1);
    EXPECT_EQ(S64s8_2_WORD(511), 1);
    EXPECT_EQ(S64s8_2_WORD(65535ll * 256 - 1), 65534);
    EXPECT_EQ(S64s8_2_WORD(65535ll * 256), 65535);
    EXPECT_EQ(S64s8_2_WORD(65536ll * 256), 65535);
    EXPECT_EQ(S64s8_2_WORD(INT64_MAX), 65535);
}

// The three exposure functions on the same pair: the record's current
// shutter, its automatic maximum and its automatic minimum.
struct Exposures {
    DWORD current, maximum, minimum;
};

Exposures all_three(FakeCamera& cam, WORD line, WORD clock) {
    CLuminanceCtrl& c = cam.ctrl;
    c.m_wShutterLine = c.m_wAutoMaxShutterLine = c.m_wAutoMinShutterLine = line;
    c.m_wShutterClock = c.m_wAutoMaxShutterClock = c.m_wAutoMinShutterClock = clock;
    return {mdwGetExposureClock(&c), mdwGetMaxExposureClock(&c), mdwGetMinExposureClock(&c)};
}

// The exposure of pairs (line, clock) in a frame of 1000 lines of 800 clocks:
// as the current shutter and as the automatic maximum `cur_or_max`, as the
// automatic minimum `min`.
struct PairExposure {
    WORD line, clock;
    DWORD cur_or_max, min;
};

template <size_t N> void expect_pair_exposures(bool clock_unit, const PairExposure (&rows)[N]) {
    FakeCamera cam(clock_unit);
    cam.lines_per_frame = 1000;
    cam.clocks_per_line = 800;
    for (const PairExposure& r : rows) {
        const Exposures e = all_three(cam, r.line, r.clock);
        EXPECT_EQ(e.current, r.cur_or_max) << r.line << "," << r.clock;
        EXPECT_EQ(e.maximum, r.cur_or_max) << r.line << "," << r.clock;
        EXPECT_EQ(e.minimum, r.min) << r.line << "," << r.clock;
    }
}

TEST(LuminanceArith, ExposureOfPairsInClockUnit) {
    constexpr DWORD kLongest = 65535u * 800u + 65535u;
    const PairExposure rows[] = {{0, 0, 800000, 800000}, {0, 7, 7, 7},
                                 {1, 0, 800, 800},       {5, 0, 4000, 4000},
                                 {5, 7, 4007, 4007},     {3, 1, 2401, 2401},
                                 {1, 1, 801, 801},       {65535, 65535, kLongest, kLongest}};
    expect_pair_exposures(true, rows);
}

TEST(LuminanceArith, ExposureOfPairsInLineUnit) {
    const PairExposure rows[] = {
        {0, 0, 800000, 800000}, // one frame
        {0, 7, 800, 800},       // a clock part marks at least one line
        {1, 0, 800, 800},       {1, 1, 800, 800},
        {5, 0, 4000, 4000},     {5, 7, 4000, 3200}, // the minimum is one line fewer
        {3, 1, 2400, 1600},     {2, 9, 1600, 800},
    };
    expect_pair_exposures(false, rows);
}

TEST(LuminanceArith, DefaultLimitsAreOneFrameAndOneClockOrLine) {
    FakeCamera clock_cam(true);
    EXPECT_EQ(mdwGetMaxExposureClock(&clock_cam.ctrl), 1000000u);
    EXPECT_EQ(mdwGetMinExposureClock(&clock_cam.ctrl), 1u);
    FakeCamera line_cam(false);
    EXPECT_EQ(mdwGetMaxExposureClock(&line_cam.ctrl), 1000000u);
    EXPECT_EQ(mdwGetMinExposureClock(&line_cam.ctrl), 1000u);
}

TEST(LuminanceArith, ExposureFunctionsAskTheTimingOnceAndChangeNothing) {
    FakeCamera cam(true, 12, 34, 56);
    const CLuminanceCtrl before = cam.ctrl;
    mdwGetExposureClock(&cam.ctrl);
    mdwGetMaxExposureClock(&cam.ctrl);
    mdwGetMinExposureClock(&cam.ctrl);
    EXPECT_EQ(cam.frame_clock_calls, 3);
    EXPECT_EQ(cam.publish_calls, 0);
    EXPECT_EQ(std::memcmp(&before, &cam.ctrl, sizeof before), 0);
}

TEST(LuminanceArith, ZeroClocksPerLineGivesClockPartOrZero) {
    FakeCamera clock_cam(true);
    clock_cam.clocks_per_line = 0;
    EXPECT_EQ(all_three(clock_cam, 5, 7).current, 7u);
    EXPECT_EQ(all_three(clock_cam, 5, 0).maximum, 0u);
    FakeCamera line_cam(false);
    line_cam.clocks_per_line = 0;
    const Exposures e = all_three(line_cam, 5, 7);
    EXPECT_EQ(e.current, 0u);
    EXPECT_EQ(e.maximum, 0u);
    EXPECT_EQ(e.minimum, 0u);
}

} // namespace
