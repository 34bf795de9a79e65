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

// One step from `cam` must give `want`: changed or not, and the shutter.
void expect_step(FakeCamera& cam, int current, int target, const Shutter& want, BYTE distance = 0) {
    const Shutter s = shutter_step(cam, current, target, distance);
    EXPECT_EQ(s.changed, want.changed);
    EXPECT_EQ(s.line, want.line);
    EXPECT_EQ(s.clock, want.clock);
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
        SCOPED_TRACE(testing::Message() << "clock unit " << r.clock_unit << ", S " << int(r.speed));
        FakeCamera cam(r.clock_unit, 10, 0);
        cam.ctrl.m_byteShutterCtrlSpeedLimit = r.speed;
        expect_step(cam, 64, 128, {TRUE, r.line, r.clock});
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
        expect_step(reach, 64, 128, {TRUE, 0, 0});
        FakeCamera pass(clock_unit, 600, 0);
        expect_step(pass, 64, 128, {TRUE, 0, 0});
        // Already one frame and still dark: nothing to do.
        expect_step(pass, 64, 128, {FALSE, 0, 0});
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
    expect_step(fall, 200, 10, {TRUE, 4, 999});
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
    expect_step(cam, 64, 128, {TRUE, 15, 0});
    // Too bright at the minimum: the clamp gives the current value.
    FakeCamera at_min(true, 0, 1);
    expect_step(at_min, 200, 100, {FALSE, 0, 1});
    // A black image counts as level 1 and asks for the longest step.
    FakeCamera black(true, 10, 0);
    expect_step(black, 0, 128, {TRUE, 20, 1});
}

TEST(LuminanceShutter, DistanceHasNoInfluence) {
    for (int d : {0, 7, 255}) {
        FakeCamera cam(true, 10, 0);
        cam.ctrl.m_byteShutterCtrlSpeedLimit = 3;
        expect_step(cam, 64, 128, {TRUE, 12, 501}, static_cast<BYTE>(d));
    }
}

// The product of a long exposure and the target passes 2^32; kept in 64
// bits it is clamped to the limit instead of wrapping to a short exposure.
TEST(LuminanceShutter, LongExposureTimesTargetDoesNotWrap) {
    FakeCamera cam(true, 30000, 0);
    cam.lines_per_frame = 65535;
    cam.clocks_per_line = 65535;
    cam.ctrl.m_wAutoMaxShutterLine = 60000;
    expect_step(cam, 20, 200, {TRUE, 60000, 0});

    // A shutter set beyond one frame, in line unit, slightly dark: clamped
    // to the default maximum, one frame (wrapped, it would give 467 lines).
    FakeCamera beyond(false, 65535, 0);
    expect_step(beyond, 65, 66, {TRUE, 0, 0});
}

TEST(LuminanceShutter, ZeroClocksPerLineLeavesTheShutter) {
    for (bool clock_unit : {true, false}) {
        for (int level : {0, 64, 255}) {
            FakeCamera cam(clock_unit, 10, 5);
            cam.clocks_per_line = 0;
            expect_step(cam, level, 128, {FALSE, 10, 5});
        }
    }
}

} // namespace
