// SPDX-License-Identifier: GPL-2.0 OR MIT
// The luminance controller's state, settings, per-frame gate and its loop:
// sampling, status check, dead band, choice of exposure or gain, publication
// and the end of one-shot modes.
#include "test_luminance_fake.h"

#include "fuzz/model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>

namespace {

using Bytes = std::initializer_list<BYTE>;
using Words = std::initializer_list<WORD>;

// Area statistics whose weighted brightness is `level`: every area and
// colour position holds the same value.
CAveragePixelValue stats_of(BYTE level) {
    CAveragePixelValue s;
    std::memset(&s, 0, sizeof s);
    s.m_wColorArray = 2;
    for (auto& area : s.m_pbyteAverage)
        for (BYTE& v : area)
            v = level;
    return s;
}

struct Loop : ::testing::Test {
    // Per call of the loop; the whole evaluation must stay within these.
    static constexpr int kMaxFrameClockCalls = 12;

    // Runs the loop once on a frame of `level`, checking the callback budget.
    static void frame(FakeCamera& cam, BYTE level) {
        CAveragePixelValue s = stats_of(level);
        const int clock_before = cam.frame_clock_calls;
        const int publish_before = cam.publish_calls;
        EXPECT_EQ(UpdateGainShutter(&cam.ctrl, &s), TRUE);
        EXPECT_LE(cam.frame_clock_calls - clock_before, kMaxFrameClockCalls);
        EXPECT_LE(cam.publish_calls - publish_before, 1);
    }
    // Every frame is evaluated: no skip, no averaging.
    static void evaluate_every_frame(FakeCamera& cam) {
        CLuminance_SetCtrlSpeed(&cam.ctrl, 0, 0, 0, 1);
    }
    // One evaluation; TRUE when it published.
    static bool evaluate(FakeCamera& cam, BYTE level) {
        evaluate_every_frame(cam);
        const int before = cam.publish_calls;
        frame(cam, level);
        return cam.publish_calls != before;
    }
    // One status check in `mode`: whether it corrected anything, and the
    // shutter and gain it leaves.
    static void expect_status_check(FakeCamera& cam, BYTE mode, BOOL corrected, WORD line,
                                    WORD clock, WORD gain) {
        cam.ctrl.m_byteMode = mode;
        EXPECT_EQ(mbCheckInvalidStatus(&cam.ctrl), corrected);
        EXPECT_EQ(cam.ctrl.m_wShutterLine, line);
        EXPECT_EQ(cam.ctrl.m_wShutterClock, clock);
        EXPECT_EQ(cam.ctrl.m_wCDSGain, gain);
    }

    // Status checks of the shutter alone, each on a fresh camera at gain 64
    // (which they leave): the shutter unit and pair, the mode and the
    // automatic limits (minimum and maximum, lines and clocks); whether it
    // corrected, and the shutter it leaves.
    struct ShutterCheck {
        const char* what;
        bool clock_unit;
        WORD line, clock;
        BYTE mode;
        WORD min_line, min_clock, max_line, max_clock;
        BOOL corrected;
        WORD want_line, want_clock;
    };
    static void expect_shutter_checks(std::initializer_list<ShutterCheck> checks) {
        for (const ShutterCheck& c : checks) {
            SCOPED_TRACE(c.what);
            FakeCamera cam(c.clock_unit, c.line, c.clock);
            cam.ctrl.m_wAutoMinShutterLine = c.min_line;
            cam.ctrl.m_wAutoMinShutterClock = c.min_clock;
            cam.ctrl.m_wAutoMaxShutterLine = c.max_line;
            cam.ctrl.m_wAutoMaxShutterClock = c.max_clock;
            expect_status_check(cam, c.mode, c.corrected, c.want_line, c.want_clock, 64);
        }
    }
};

// ---------------------------------------------------------------------------
// State, settings and the per-frame gate

TEST_F(Loop, InitialStateDependsOnTheShutterUnit) {
    FakeCamera clock_cam(true, 12, 34, 56);
    const CLuminanceCtrl& c = clock_cam.ctrl;
    EXPECT_EQ(c.m_bClockUnitShutterCtrl, TRUE);
    EXPECT_EQ(c.m_wAutoMinShutterLine, 0);
    EXPECT_EQ(c.m_wAutoMinShutterClock, 1);
    EXPECT_EQ(c.m_wShutterLine, 12);
    EXPECT_EQ(c.m_wShutterClock, 34);
    EXPECT_EQ(c.m_wCDSGain, 56);
    EXPECT_EQ(c.m_wIniCDSGain, 56);
    EXPECT_EQ(c.m_byteTarget, 128);
    EXPECT_EQ(c.m_byteTolerance, 5);
    EXPECT_EQ(c.m_byteThreshold, 5);
    EXPECT_EQ(c.m_byteSkipFrameCount, 3);
    EXPECT_EQ(c.m_byteAverageFrameCount, 4);
    EXPECT_EQ(c.m_wAutoMaxShutterLine, 0);
    EXPECT_EQ(c.m_wAutoMaxShutterClock, 0);
    EXPECT_EQ(c.m_wAutoMaxCDSGain, 255);
    EXPECT_EQ(c.m_wAutoMinCDSGain, 0);
    EXPECT_EQ(c.m_byteMode, QUORVIN_LUM_DEFAULT_MODE);
    for (BYTE w : c.m_pbyteWeight)
        EXPECT_EQ(w, 1);
    EXPECT_EQ(c.fops, &clock_cam.fops);
    EXPECT_EQ(clock_cam.frame_clock_calls + clock_cam.publish_calls, 0);

    FakeCamera line_cam(false);
    EXPECT_EQ(line_cam.ctrl.m_bClockUnitShutterCtrl, FALSE);
    EXPECT_EQ(line_cam.ctrl.m_wAutoMinShutterLine, 1);
    EXPECT_EQ(line_cam.ctrl.m_wAutoMinShutterClock, 0);
}

TEST_F(Loop, SettingsRoundTripAndSettersPublishUnchecked) {
    FakeCamera cam;
    BYTE target[3] = {100, 7, 9};
    EXPECT_EQ(CLuminance_SetTarget(&cam.ctrl, target), TRUE);
    BYTE back[3] = {};
    EXPECT_EQ(CLuminance_GetTarget(&cam.ctrl, back), TRUE);
    EXPECT_EQ(std::memcmp(target, back, 3), 0);

    EXPECT_EQ(CLuminance_SetCtrlSpeed(&cam.ctrl, 1, 2, 3, 4), TRUE);
    BYTE s[4] = {};
    EXPECT_EQ(CLuminance_GetCtrlSpeed(&cam.ctrl, &s[0], &s[1], &s[2], &s[3]), TRUE);
    EXPECT_EQ(s[0], 1);
    EXPECT_EQ(s[1], 2);
    EXPECT_EQ(s[2], 3);
    EXPECT_EQ(s[3], 4);

    BYTE weights[16];
    for (int i = 0; i < 16; ++i)
        weights[i] = static_cast<BYTE>(i * 3);
    EXPECT_EQ(CLuminance_SetWeight(&cam.ctrl, weights), TRUE);
    BYTE wback[16] = {};
    EXPECT_EQ(CLuminance_GetWeight(&cam.ctrl, wback), TRUE);
    EXPECT_EQ(std::memcmp(weights, wback, 16), 0);

    // Beyond the automatic maximum: stored and published as given, and the
    // callback's own result is returned.
    cam.publish_result = FALSE;
    EXPECT_EQ(CLuminance_SetShutter(&cam.ctrl, 5000, 77), FALSE);
    cam.publish_result = TRUE;
    EXPECT_EQ(CLuminance_SetCDSGain(&cam.ctrl, 999), TRUE);
    ASSERT_EQ(cam.published.size(), 2u);
    EXPECT_EQ(cam.published[0], (Published{64, 5000, 77}));
    EXPECT_EQ(cam.published[1], (Published{999, 5000, 77}));
    WORD line = 0, clock = 0, gain = 0;
    CLuminance_GetShutter(&cam.ctrl, &line, &clock);
    CLuminance_GetCDSGain(&cam.ctrl, &gain);
    EXPECT_EQ(line, 5000);
    EXPECT_EQ(clock, 77);
    EXPECT_EQ(gain, 999);
    // No setter touches the sampling state or the skip count.
    EXPECT_EQ(cam.ctrl.m_byteRestSkipCount, 0);
    EXPECT_EQ(cam.ctrl.m_byteAlreadySampleingCount, 0);
}

TEST_F(Loop, GateCountsSkipsDownWhateverTheMode) {
    FakeCamera cam;
    cam.ctrl.m_byteMode = QUORVIN_LUM_MODE(QUORVIN_LUM_MANUAL, QUORVIN_LUM_MANUAL);
    cam.ctrl.m_byteRestSkipCount = 2;
    EXPECT_EQ(CLuminance_IsAutoMode(&cam.ctrl, FALSE), FALSE);
    EXPECT_EQ(cam.ctrl.m_byteRestSkipCount, 2);
    EXPECT_EQ(CLuminance_IsAutoMode(&cam.ctrl, TRUE), FALSE);
    EXPECT_EQ(CLuminance_IsAutoMode(&cam.ctrl, TRUE), FALSE);
    EXPECT_EQ(cam.ctrl.m_byteRestSkipCount, 0);
    EXPECT_EQ(CLuminance_IsAutoMode(&cam.ctrl, TRUE), FALSE); // mode 0
    cam.ctrl.m_byteMode = 0x40;
    EXPECT_EQ(CLuminance_IsAutoMode(&cam.ctrl, TRUE), TRUE);
    EXPECT_EQ(cam.ctrl.m_byteRestSkipCount, 0);
}

// ---------------------------------------------------------------------------
// Sampling cycle

TEST_F(Loop, DefaultsPublishEverySeventhFrameAfterFourSamples) {
    FakeCamera cam(true, 100, 0);
    std::vector<int> published_at;
    for (int n = 1; n <= 30; ++n) {
        const int before = cam.publish_calls;
        if (CLuminance_IsAutoMode(&cam.ctrl, TRUE))
            frame(cam, 30);
        if (cam.publish_calls != before)
            published_at.push_back(n);
    }
    EXPECT_EQ(published_at, (std::vector<int>{4, 11, 18, 25}));
}

TEST_F(Loop, AverageOfTheSampledFramesTruncates) {
    // Exposure only, clock unit: the step is 100000 x 128 / average.
    FakeCamera cam(true, 100, 0);
    cam.ctrl.m_byteMode = QUORVIN_LUM_EXPOSURE(QUORVIN_LUM_CONTINUOUS);
    for (BYTE level : Bytes{100, 101, 102})
        frame(cam, level);
    EXPECT_EQ(cam.publish_calls, 0);
    EXPECT_EQ(cam.frame_clock_calls, 0) << "sampling frames call no callback";
    frame(cam, 104); // 407 / 4 = 101
    ASSERT_EQ(cam.published.size(), 1u);
    EXPECT_EQ(cam.published[0], (Published{64, 126, 732}));
    EXPECT_EQ(cam.ctrl.m_byteRestSkipCount, 3);
    EXPECT_EQ(cam.ctrl.m_byteAlreadySampleingCount, 0);
}

TEST_F(Loop, SkipAndAverageCountsOfZeroEvaluateEveryFrame) {
    for (BYTE average : Bytes{0, 1}) {
        FakeCamera cam(true, 100, 0);
        cam.ctrl.m_byteMode = QUORVIN_LUM_EXPOSURE(QUORVIN_LUM_CONTINUOUS);
        CLuminance_SetCtrlSpeed(&cam.ctrl, 0, 0, 0, average);
        for (int n = 0; n < 3; ++n) {
            ASSERT_EQ(CLuminance_IsAutoMode(&cam.ctrl, TRUE), TRUE);
            frame(cam, 30);
        }
        EXPECT_EQ(cam.publish_calls, 3);
    }
}

TEST_F(Loop, ModeZeroChangesNothing) {
    FakeCamera cam;
    cam.ctrl.m_byteMode = QUORVIN_LUM_MODE(QUORVIN_LUM_MANUAL, QUORVIN_LUM_MANUAL);
    cam.ctrl.m_byteRestSkipCount = 2;
    cam.ctrl.m_byteAlreadySampleingCount = 1;
    cam.ctrl.m_dwSumOfSamplingBrightness = 77;
    const CLuminanceCtrl before = cam.ctrl;
    frame(cam, 0);
    EXPECT_EQ(std::memcmp(&before, &cam.ctrl, sizeof before), 0);
    EXPECT_EQ(cam.frame_clock_calls + cam.publish_calls, 0);
}

TEST_F(Loop, LoopCountsDownSkipsWhenCalledWithoutTheGate) {
    FakeCamera cam;
    cam.ctrl.m_byteRestSkipCount = 2;
    frame(cam, 0);
    EXPECT_EQ(cam.ctrl.m_byteRestSkipCount, 1);
    EXPECT_EQ(cam.ctrl.m_byteAlreadySampleingCount, 0);
}

// ---------------------------------------------------------------------------
// Dead band with hysteresis

TEST_F(Loop, DeadBandWidensAtRest) {
    FakeCamera cam(true, 100, 0);
    cam.ctrl.m_byteMode =
        QUORVIN_LUM_GAIN(QUORVIN_LUM_CONTINUOUS); // gain only: one step per evaluation
    EXPECT_FALSE(evaluate(cam, 118));
    EXPECT_EQ(cam.ctrl.m_bAutoRunning, FALSE);
    EXPECT_FALSE(evaluate(cam, 138));
    EXPECT_TRUE(evaluate(cam, 117));
    EXPECT_EQ(cam.ctrl.m_bAutoRunning, TRUE);
    EXPECT_TRUE(evaluate(cam, 122)); // running: the band is the tolerance
    EXPECT_FALSE(evaluate(cam, 123));
    EXPECT_EQ(cam.ctrl.m_bAutoRunning, FALSE);
    EXPECT_FALSE(evaluate(cam, 118)); // at rest again
    EXPECT_EQ(cam.ctrl.m_byteMode, 0x01);
}

// ---------------------------------------------------------------------------
// The mode table

struct ModeRow {
    BYTE mode;
    bool gain_limits, exposure_limits, moves_exposure, one_shot;
};

const ModeRow kModes[] = {
    {0x01, true, false, false, false},  {0x02, true, false, false, true},
    {0x10, false, true, true, false},   {0x11, true, true, true, false},
    {0x12, true, true, true, true},     {0x20, false, true, true, true},
    {0x03, false, false, false, false}, // unnamed values: gain only, high
    {0x21, false, false, false, false}, // range, no limits, never one-shot
    {0x22, false, false, false, false}, {0xFF, false, false, false, false},
};

// Per mode: which limits the status check enforces, what a dark evaluation
// moves, and whether a settled evaluation ends the mode.
TEST_F(Loop, EachModeOfTheTable) {
    for (const ModeRow& m : kModes) {
        SCOPED_TRACE(testing::Message() << "mode 0x" << std::hex << int(m.mode));
        FakeCamera gain_low(true, 0, 0); // exposure at its maximum: no gain reset
        gain_low.ctrl.m_byteMode = m.mode;
        gain_low.ctrl.m_wAutoMinCDSGain = 100;
        EXPECT_EQ(evaluate(gain_low, 128), m.gain_limits);
        EXPECT_EQ(gain_low.ctrl.m_wCDSGain, m.gain_limits ? 100 : 64);

        FakeCamera too_long(true, 900, 0);
        too_long.ctrl.m_byteMode = m.mode;
        too_long.ctrl.m_wAutoMaxShutterLine = 500;
        EXPECT_EQ(evaluate(too_long, 128), m.exposure_limits);
        EXPECT_EQ(too_long.ctrl.m_wShutterLine, m.exposure_limits ? 500 : 900);

        // Dark: the exposure doubles (plus a clock) or the gain rises by 45.
        FakeCamera cam(true, 100, 0);
        cam.ctrl.m_byteMode = m.mode;
        EXPECT_TRUE(evaluate(cam, 40));
        EXPECT_EQ(cam.ctrl.m_wShutterLine, m.moves_exposure ? 200 : 100);
        EXPECT_EQ(cam.ctrl.m_wCDSGain, m.moves_exposure ? 64 : 64 + 45);
        EXPECT_EQ(cam.ctrl.m_byteMode, m.mode) << "a change never ends a mode";
        // Then inside the band: settled.
        EXPECT_FALSE(evaluate(cam, 128));
        EXPECT_EQ(cam.ctrl.m_byteMode, m.one_shot ? 0 : m.mode);
    }
}

TEST_F(Loop, EndedOneShotStopsTheGate) {
    FakeCamera cam(true, 100, 0);
    cam.ctrl.m_byteMode = QUORVIN_LUM_MODE(QUORVIN_LUM_CONTINUOUS, QUORVIN_LUM_ONE_SHOT);
    CLuminance_SetCtrlSpeed(&cam.ctrl, 0, 0, 2, 1);
    frame(cam, 130);
    EXPECT_EQ(cam.ctrl.m_byteMode, 0);
    EXPECT_EQ(cam.publish_calls, 0);
    EXPECT_EQ(cam.ctrl.m_byteRestSkipCount, 2);
    for (int n = 0; n < 5; ++n)
        EXPECT_EQ(CLuminance_IsAutoMode(&cam.ctrl, TRUE), FALSE);
}

TEST_F(Loop, GainOnlyModesNeverGoBelowTheReference) {
    // Bright, gain at its reference: the high range starts there.
    for (BYTE mode : Bytes{0x01, 0x02, 0x33}) {
        FakeCamera cam(true, 100, 0);
        cam.ctrl.m_byteMode = mode;
        EXPECT_FALSE(evaluate(cam, 200));
        EXPECT_EQ(cam.ctrl.m_wCDSGain, 64);
    }
    // Gain below its reference and too bright: raised to the reference.
    FakeCamera cam(true, 100, 0);
    cam.ctrl.m_byteMode = QUORVIN_LUM_GAIN(QUORVIN_LUM_CONTINUOUS);
    cam.ctrl.m_wCDSGain = 30;
    EXPECT_TRUE(evaluate(cam, 200));
    EXPECT_EQ(cam.ctrl.m_wCDSGain, 64);
}

// ---------------------------------------------------------------------------
// Status check

TEST_F(Loop, StatusCheckBringsGainInsideItsRange) {
    FakeCamera low(true, 100, 0);
    low.ctrl.m_wAutoMinCDSGain = 80;
    expect_status_check(low, 0x01, TRUE, 100, 0, 80);
    EXPECT_EQ(low.publish_calls, 0) << "the check publishes nothing itself";
    EXPECT_EQ(low.frame_clock_calls, 4);

    FakeCamera high(true, 100, 0, 300);
    expect_status_check(high, 0x02, TRUE, 100, 0, 255);

    // Through the loop it is published whatever the brightness, and that
    // average is not used for a step.
    FakeCamera loop(true, 100, 0);
    loop.ctrl.m_byteMode = QUORVIN_LUM_GAIN(QUORVIN_LUM_CONTINUOUS);
    loop.ctrl.m_wAutoMinCDSGain = 80;
    EXPECT_TRUE(evaluate(loop, 10));
    ASSERT_EQ(loop.published.size(), 1u);
    EXPECT_EQ(loop.published[0], (Published{80, 100, 0}));
    EXPECT_EQ(loop.ctrl.m_bAutoRunning, TRUE);
}

// Clock unit, whose default limits are a minimum of (0, 1), one clock, and a
// maximum of (0, 0), one whole frame. A whole frame is written here as its
// number of lines.
TEST_F(Loop, StatusCheckBringsExposureInsideItsRange) {
    expect_shutter_checks({
        {"below a minimum of 500 clocks", true, 0, 100, 0x10, 0, 500, 0, 0, TRUE, 0, 500},
        {"above a maximum of 5 lines 250", true, 7, 3, 0x20, 0, 1, 5, 250, TRUE, 5, 250},
        {"below a minimum of one frame", true, 100, 0, 0x10, 0, 0, 0, 0, TRUE, 1000, 0},
        {"inside the limits", true, 100, 0, 0x10, 0, 1, 0, 0, FALSE, 100, 0},
    });
}

TEST_F(Loop, StatusCheckLineUnitClockPart) {
    // A clock part with whole lines is taken as one whole frame.
    FakeCamera lines(false, 10, 5);
    lines.ctrl.m_byteMode = QUORVIN_LUM_EXPOSURE(QUORVIN_LUM_CONTINUOUS);
    EXPECT_TRUE(evaluate(lines, 128));
    ASSERT_EQ(lines.published.size(), 1u);
    EXPECT_EQ(lines.published[0], (Published{64, 1000, 0}));

    // No whole lines: one line, which is what it already measures.
    FakeCamera one(false, 0, 5);
    one.ctrl.m_byteMode = QUORVIN_LUM_EXPOSURE(QUORVIN_LUM_CONTINUOUS);
    EXPECT_FALSE(evaluate(one, 128));
    EXPECT_EQ(one.ctrl.m_wShutterLine, 0);
    EXPECT_EQ(one.ctrl.m_wShutterClock, 5);

    // The limit tests look at the current value, not at the adjusted one:
    // 10 lines is below a maximum of 500, so the frame stands. With the
    // limits crossed (minimum 600 lines, maximum 500), at 700 lines only the
    // maximum test holds; at 550 both hold, and the minimum, tested second,
    // wins.
    expect_shutter_checks({
        {"line unit, 10 lines 5 clocks", false, 10, 5, 0x10, 1, 0, 500, 0, TRUE, 1000, 0},
        {"crossed limits, 700 lines", true, 700, 0, 0x10, 600, 0, 500, 0, TRUE, 500, 0},
        {"crossed limits, 550 lines", true, 550, 0, 0x10, 600, 0, 500, 0, TRUE, 600, 0},
    });
}

TEST_F(Loop, StatusCheckReturnsGainToReferenceInCombinedModes) {
    // Exposure strictly inside its limits, gain off its reference: reset and
    // published without a brightness step.
    for (BYTE mode : Bytes{0x11, 0x12}) {
        FakeCamera cam(true, 100, 0, 64);
        cam.ctrl.m_byteMode = mode;
        cam.ctrl.m_wCDSGain = 90;
        EXPECT_TRUE(evaluate(cam, 20));
        ASSERT_EQ(cam.published.size(), 1u);
        EXPECT_EQ(cam.published[0], (Published{64, 100, 0}));
    }
    // At the maximum or the minimum exposure the gain may stay off it.
    FakeCamera at_max(true, 0, 0, 64);
    at_max.ctrl.m_wCDSGain = 90;
    expect_status_check(at_max, 0x11, FALSE, 0, 0, 90);
    FakeCamera at_min(true, 0, 1, 64);
    at_min.ctrl.m_wCDSGain = 40;
    expect_status_check(at_min, 0x11, FALSE, 0, 1, 40);
    // Exposure-only and gain-only modes leave it.
    for (BYTE mode : Bytes{0x01, 0x10, 0x20}) {
        FakeCamera other(true, 100, 0, 64);
        other.ctrl.m_wCDSGain = 90;
        expect_status_check(other, mode, FALSE, 100, 0, 90);
    }
}

TEST_F(Loop, ReferenceGainOutsideTheAutomaticRangeStillLetsTheExposureStep) {
    // Reference gain 64 above the automatic maximum of 50: the status check
    // clamps the gain to 50 and sets it back to 64, the record is as it was,
    // and that is no correction; each evaluation of a dark image then
    // lengthens the exposure, the gain staying at its reference.
    for (BYTE mode : Bytes{0x11, 0x12}) {
        FakeCamera cam(true, 100, 0, 64);
        cam.ctrl.m_wAutoMaxCDSGain = 50;
        expect_status_check(cam, mode, FALSE, 100, 0, 64);
        DWORD last = cam.exposure();
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(evaluate(cam, 20)) << "mode " << int{mode} << " evaluation " << i;
            EXPECT_GT(cam.exposure(), last) << "mode " << int{mode} << " evaluation " << i;
            EXPECT_EQ(cam.ctrl.m_wCDSGain, 64);
            last = cam.exposure();
        }
        ASSERT_EQ(cam.published.size(), 3u);
        EXPECT_EQ(cam.published[0], (Published{64, 200, 1}));
    }
    // Below the automatic minimum, the same: a bright image shortens it.
    FakeCamera low(true, 500, 0, 10);
    low.ctrl.m_wAutoMinCDSGain = 20;
    const DWORD before = low.exposure();
    EXPECT_TRUE(evaluate(low, 250));
    EXPECT_LT(low.exposure(), before);
    EXPECT_EQ(low.ctrl.m_wCDSGain, 10);
}

TEST_F(Loop, LineUnitExposureStepWithOneClockPerLine) {
    // A line of one clock: steps are whole lines of one clock each, and the
    // step limit needs no rounding to a line. Exactly the model's steps.
    for (bool dark : {true, false}) {
        FakeCamera cam(false, 300, 0, 64);
        cam.clocks_per_line = 1;
        cam.lines_per_frame = 60000;
        cam.ctrl.m_byteMode = QUORVIN_LUM_EXPOSURE(QUORVIN_LUM_CONTINUOUS);
        for (int i = 0; i < 4; ++i) {
            CLuminanceCtrl want = cam.ctrl;
            const bool moved = qmodel::shutter_step(want, {60000, 1}, dark ? 20 : 200, 100, dark);
            EXPECT_EQ(mbShutterCtrl(&cam.ctrl, dark ? 20 : 200, 100, 0, dark ? TRUE : FALSE) !=
                          FALSE,
                      moved);
            EXPECT_EQ(cam.ctrl.m_wShutterLine, want.m_wShutterLine) << "step " << i;
            EXPECT_EQ(cam.ctrl.m_wShutterClock, 0);
        }
        if (dark)
            EXPECT_GT(cam.ctrl.m_wShutterLine, 300);
        else
            EXPECT_LT(cam.ctrl.m_wShutterLine, 300);
    }
}

// ---------------------------------------------------------------------------
// Exposure first, then gain

TEST_F(Loop, CombinedModeUsesExposureFirstThenGainAndBack) {
    FakeCamera cam(true, 100, 0, 64);
    ASSERT_EQ(cam.ctrl.m_byteMode, 0x11);
    // Going dark: the exposure doubles (plus a clock) up to one frame ...
    WORD last_line = 100;
    int steps = 0;
    while (cam.ctrl.m_wShutterLine != 0 || cam.ctrl.m_wShutterClock != 0) {
        ASSERT_TRUE(evaluate(cam, 20));
        ASSERT_EQ(cam.ctrl.m_wCDSGain, 64) << "the gain waits for the exposure";
        if (cam.ctrl.m_wShutterLine != 0) {
            ASSERT_GT(cam.ctrl.m_wShutterLine, last_line);
        }
        last_line = cam.ctrl.m_wShutterLine;
        ASSERT_LT(++steps, 10);
    }
    // ... then the gain rises in the high range.
    EXPECT_TRUE(evaluate(cam, 20));
    EXPECT_EQ(cam.ctrl.m_wCDSGain, 64 + 45);
    EXPECT_TRUE(evaluate(cam, 20));
    EXPECT_EQ(cam.ctrl.m_wCDSGain, 64 + 90);
    EXPECT_EQ(cam.ctrl.m_wShutterLine, 0);

    // Brighter again: the gain comes back to its reference first ...
    for (WORD gain : Words{125, 96, 67, 64}) {
        EXPECT_TRUE(evaluate(cam, 200));
        EXPECT_EQ(cam.ctrl.m_wCDSGain, gain);
        EXPECT_EQ(cam.ctrl.m_wShutterLine, 0);
        EXPECT_EQ(cam.ctrl.m_wShutterClock, 0);
    }
    // ... and only then does the exposure shorten.
    EXPECT_TRUE(evaluate(cam, 200));
    EXPECT_EQ(cam.ctrl.m_wCDSGain, 64);
    EXPECT_EQ(cam.ctrl.m_wShutterLine, 640);
}

TEST_F(Loop, CombinedModeTooBrightAtMinimumLowersTheGain) {
    FakeCamera cam(true, 0, 1, 64); // one clock, the default minimum
    EXPECT_TRUE(evaluate(cam, 250));
    EXPECT_EQ(cam.ctrl.m_wCDSGain, 64 - 40); // low range, 1460 x (56 - 63)
    EXPECT_EQ(cam.ctrl.m_wShutterClock, 1);
    // Still bright, gain below its reference: lower still, in the low range.
    EXPECT_TRUE(evaluate(cam, 250));
    EXPECT_EQ(cam.ctrl.m_wCDSGain, 0);
    // Now too dark with the gain below its reference: it rises first,
    // at most to the reference.
    EXPECT_TRUE(evaluate(cam, 20));
    EXPECT_EQ(cam.ctrl.m_wCDSGain, 45);
    EXPECT_TRUE(evaluate(cam, 20));
    EXPECT_EQ(cam.ctrl.m_wCDSGain, 64);
    EXPECT_EQ(cam.ctrl.m_wShutterClock, 1);
}

// ---------------------------------------------------------------------------
// Camera reporting no clocks per line, and the callback table

TEST_F(Loop, ZeroClocksPerLineNeverDividesAndLeavesTheShutter) {
    for (bool clock_unit : {true, false}) {
        for (BYTE mode : Bytes{0x10, 0x11, 0x12, 0x20}) {
            FakeCamera cam(clock_unit, 10, 5, 64);
            cam.clocks_per_line = 0;
            cam.ctrl.m_byteMode = mode;
            cam.ctrl.m_wAutoMaxShutterLine = 5; // would be rewritten otherwise
            cam.ctrl.m_wAutoMinShutterClock = 9;
            for (BYTE level : Bytes{0, 20, 128, 250})
                evaluate(cam, level);
            EXPECT_EQ(cam.ctrl.m_wShutterLine, 10);
            EXPECT_EQ(cam.ctrl.m_wShutterClock, 5);
        }
    }
}

TEST_F(Loop, EachControllerCallsOnlyItsOwnTable) {
    FakeCamera a(true, 100, 0);
    FakeCamera b(false, 100, 0);
    b.lines_per_frame = 2000;
    evaluate(a, 20);
    EXPECT_GT(a.frame_clock_calls, 0);
    EXPECT_EQ(a.publish_calls, 1);
    EXPECT_EQ(b.frame_clock_calls + b.publish_calls, 0);
    evaluate(b, 20);
    EXPECT_EQ(a.publish_calls, 1);
    EXPECT_EQ(b.publish_calls, 1);
}

TEST_F(Loop, OneEvaluationStaysWithinTheCallbackBudget) {
    // The longest path: status check, choice and exposure step.
    FakeCamera cam(true, 100, 0);
    evaluate(cam, 20);
    EXPECT_EQ(cam.frame_clock_calls, 4 + 2 + 4);
    EXPECT_EQ(cam.publish_calls, 1);
}

} // namespace
