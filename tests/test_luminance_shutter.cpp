// SPDX-License-Identifier: GPL-2.0 OR MIT
// The exposure step: proportional value, relative speed limit, minimum step,
// whole lines, automatic limits and the (line, clock) write.
#include "test_luminance_fake.h"

#include <gtest/gtest.h>

namespace {

struct Shutter {
    BOOL changed;
    WORD line, clock;
};

Shutter shutter_step(FakeCamera& cam, int current, int target, BYTE distance = 0) {
    cam.reset_counts();
    const BOOL changed =
        mbShutterCtrl(&cam.ctrl, current, target, distance, current < target ? TRUE : FALSE);
    EXPECT_EQ(cam.frame_clock_calls, 4);
    EXPECT_EQ(cam.publish_calls, 0);
    return {changed, cam.ctrl.m_wShutterLine, cam.ctrl.m_wShutterClock};
}

// Frame of 1000 lines of 1000 clocks, 10 lines, target 128, level 64: the
// proportional value is 20 lines in every row.
TEST(LuminanceShutter, WorkedRows) {
    struct Row {
        bool clock_unit;
        BYTE speed;
        WORD line, clock;
    };
    const Row rows[] = {
        {true, 0, 20, 0},   // bound 20 lines + 1 clock
        {true, 3, 12, 501}, // bound 12 lines + 501 clocks
        {false, 3, 13, 0},  // delta 2.5 lines cut to 2, plus one line
        {false, 0, 20, 0},  // bound 21 lines
    };
    for (const Row& r : rows) {
        FakeCamera cam(r.clock_unit, 10, 0);
        cam.ctrl.m_byteShutterCtrlSpeedLimit = r.speed;
        const Shutter s = shutter_step(cam, 64, 128);
        EXPECT_EQ(s.changed, TRUE);
        EXPECT_EQ(s.line, r.line) << "clock unit " << r.clock_unit << ", S " << int(r.speed);
        EXPECT_EQ(s.clock, r.clock) << "clock unit " << r.clock_unit << ", S " << int(r.speed);
    }
}

TEST(LuminanceShutter, LineUnitRoundsToTheNearestLineTieUp) {
    // H = 1000: 10 lines x 125 / 100 = 12.5 lines becomes 13.
    FakeCamera cam(false, 10, 0);
    EXPECT_EQ(shutter_step(cam, 100, 125).line, 13);
    // H = 10: 100 clocks x {124, 125, 126} / 100.
    struct Row {
        int target;
        WORD line;
    };
    for (const Row& r : {Row{124, 12}, Row{125, 13}, Row{126, 13}, Row{84, 8}, Row{85, 9}}) {
        FakeCamera c10(false, 10, 0);
        c10.clocks_per_line = 10;
        const Shutter s = shutter_step(c10, 100, r.target);
        EXPECT_EQ(s.line, r.line) << "target " << r.target;
        EXPECT_EQ(s.clock, 0);
    }
}

TEST(LuminanceShutter, OneFrameOrMoreIsWrittenAsZeroZero) {
    for (bool clock_unit : {true, false}) {
        FakeCamera reach(clock_unit, 500, 0); // exactly one frame
        Shutter s = shutter_step(reach, 64, 128);
        EXPECT_EQ(s.changed, TRUE);
        EXPECT_EQ(s.line, 0);
        EXPECT_EQ(s.clock, 0);
        FakeCamera pass(clock_unit, 600, 0);
        s = shutter_step(pass, 64, 128);
        EXPECT_EQ(s.line, 0);
        EXPECT_EQ(s.clock, 0);
        // Already one frame and still dark: nothing to do.
        s = shutter_step(pass, 64, 128);
        EXPECT_EQ(s.changed, FALSE);
    }
}

TEST(LuminanceShutter, SpeedLimitIsRelativeToTheExposure) {
    // Line unit, S = 1: 100 lines may grow by 50 + 1 lines, 2 lines by 1 + 1.
    FakeCamera big(false, 100, 0);
    big.ctrl.m_byteShutterCtrlSpeedLimit = 1;
    EXPECT_EQ(shutter_step(big, 10, 200).line, 151);
    FakeCamera small(false, 2, 0);
    small.ctrl.m_byteShutterCtrlSpeedLimit = 1;
    EXPECT_EQ(shutter_step(small, 10, 200).line, 4);
    // Clock unit, S = 1, falling: 10000 clocks may drop to 5000 - 1.
    FakeCamera fall(true, 10, 0);
    fall.ctrl.m_byteShutterCtrlSpeedLimit = 1;
    const Shutter s = shutter_step(fall, 200, 10);
    EXPECT_EQ(s.line, 4);
    EXPECT_EQ(s.clock, 999);
    // Line unit, S = 3, falling: the delta of 2.5 lines is cut to 2, so 10
    // lines may drop to 8 - 1 lines.
    FakeCamera fall_lines(false, 10, 0);
    fall_lines.ctrl.m_byteShutterCtrlSpeedLimit = 3;
    EXPECT_EQ(shutter_step(fall_lines, 200, 10).line, 7);
    // S = 0, falling: straight to the proportional value.
    FakeCamera fast(true, 10, 0);
    EXPECT_EQ(shutter_step(fast, 200, 10).clock, 500);
}

TEST(LuminanceShutter, AutomaticLimitsBoundTheStep) {
    FakeCamera cam(true, 10, 0);
    cam.ctrl.m_wAutoMaxShutterLine = 15;
    Shutter s = shutter_step(cam, 64, 128);
    EXPECT_EQ(s.line, 15);
    EXPECT_EQ(s.clock, 0);
    // Too bright at the minimum: the clamp gives the current value.
    FakeCamera at_min(true, 0, 1);
    s = shutter_step(at_min, 200, 100);
    EXPECT_EQ(s.changed, FALSE);
    EXPECT_EQ(s.clock, 1);
    // A black image counts as level 1 and asks for the longest step.
    FakeCamera black(true, 10, 0);
    s = shutter_step(black, 0, 128);
    EXPECT_EQ(s.line, 20);
    EXPECT_EQ(s.clock, 1);
}

TEST(LuminanceShutter, DistanceHasNoInfluence) {
    for (int d : {0, 7, 255}) {
        FakeCamera cam(true, 10, 0);
        cam.ctrl.m_byteShutterCtrlSpeedLimit = 3;
        const Shutter s = shutter_step(cam, 64, 128, static_cast<BYTE>(d));
        EXPECT_EQ(s.line, 12);
        EXPECT_EQ(s.clock, 501);
    }
}

// The product of a long exposure and the target passes 2^32; kept in 64
// bits it is clamped to the limit instead of wrapping to a short exposure.
TEST(LuminanceShutter, LongExposureTimesTargetDoesNotWrap) {
    FakeCamera cam(true, 30000, 0);
    cam.lines_per_frame = 65535;
    cam.clocks_per_line = 65535;
    cam.ctrl.m_wAutoMaxShutterLine = 60000;
    Shutter s = shutter_step(cam, 20, 200);
    EXPECT_EQ(s.changed, TRUE);
    EXPECT_EQ(s.line, 60000);
    EXPECT_EQ(s.clock, 0);

    // A shutter set beyond one frame, in line unit, slightly dark: clamped
    // to the default maximum, one frame (wrapped, it would give 467 lines).
    FakeCamera beyond(false, 65535, 0);
    s = shutter_step(beyond, 65, 66);
    EXPECT_EQ(s.changed, TRUE);
    EXPECT_EQ(s.line, 0);
    EXPECT_EQ(s.clock, 0);
}

TEST(LuminanceShutter, ZeroClocksPerLineLeavesTheShutter) {
    for (bool clock_unit : {true, false}) {
        for (int level : {0, 64, 255}) {
            FakeCamera cam(clock_unit, 10, 5);
            cam.clocks_per_line = 0;
            const Shutter s = shutter_step(cam, level, 128);
            EXPECT_EQ(s.changed, FALSE);
            EXPECT_EQ(s.line, 10);
            EXPECT_EQ(s.clock, 5);
        }
    }
}

} // namespace
