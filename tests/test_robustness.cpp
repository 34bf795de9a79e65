// SPDX-License-Identifier: GPL-2.0 OR MIT
// Bad input at the exported interface: what each kind gets. Every row of the
// table in docs/robustness.md names the test here that backs it.
#include "AWB/AWB.h"
#include "fuzz/model.h"
#include "test_awb_camera.h"
#include "tests/support/quorvin_camera.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// A camera driver's variables (500 lines of 800 clocks, shutter 100 lines),
// bound to one balance object; 64 guard bytes follow the frame.
struct Driver : QuorvinCameraVars {
    std::vector<uint8_t> object;
    std::vector<uint8_t> frame;

    Driver(uint32_t w, uint32_t h, uint8_t fill, int trigger = 0, uint16_t initial_gain = 64)
        : QuorvinCameraVars{}, object(static_cast<size_t>(Quorvin_GetAWBObjectSize())),
          frame(static_cast<size_t>(w) * h + 64, 0xEE) {
        quorvin_camera_init(this, w, h, 500, 800, 100);
        std::memset(frame.data(), fill, static_cast<size_t>(w) * h);
        bind(initial_gain, trigger);
    }
    void bind(uint16_t initial_gain = 64, int trigger = 0) {
        quorvin_camera_bind(this, obj(), frame.data(), initial_gain, 0, trigger);
    }
    AWBObject* obj() { return reinterpret_cast<AWBObject*>(object.data()); }
    CLuminanceCtrl& lum() { return obj()->m_objLuminanceCtrl; }
    CWhiteBalanceCtrl& wb() { return obj()->m_objWhiteBalanceCtrl; }
    // The guard bytes behind the frame are never touched.
    bool guard_intact() const {
        for (size_t i = static_cast<size_t>(width) * height; i < frame.size(); ++i)
            if (frame[i] != 0xEE)
                return false;
        return true;
    }
    void frames(int n) {
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(Quorvin_ALCWBalance(obj()), 0);
    }
};

TEST(RobustnessObject, NullAndUninitialisedObjectsAreRefusedUntouched) {
    awbtest::expect_all_refused(nullptr);
    std::vector<uint8_t> junk(static_cast<size_t>(Quorvin_GetAWBObjectSize()));
    for (size_t i = 0; i < junk.size(); ++i)
        junk[i] = static_cast<uint8_t>(i * 37 + 11);
    const std::vector<uint8_t> copy = junk;
    awbtest::expect_all_refused(junk.data());
    EXPECT_EQ(junk, copy);
}

TEST(RobustnessObject, BindingWithANullVariableLeavesTheObjectUnbound) {
    Driver d(8, 8, 100);
    uint16_t v = 0;
    Quorvin_InitAWBObject(d.obj(), d.frame.data(), &v, &v, &v, &v, &v, &d.width, &d.height, nullptr,
                          &v, &v, &v, d.init_gains, 0, 0, 0);
    awbtest::expect_all_refused(d.obj());
}

TEST(RobustnessObject, ReleasedObjectMayBeReleasedAgainAndRebound) {
    Driver d(8, 8, 100);
    Quorvin_FreeAWBObject(d.obj());
    Quorvin_FreeAWBObject(d.obj());
    d.bind();
    EXPECT_EQ(Quorvin_ALCWBalance(d.obj()), 0);
}

// Width or height 0: every operation succeeds, no byte is read or written,
// and every average is 0.
TEST(RobustnessFrame, ZeroSizedFramesAreMeasuredAsEmpty) {
    for (auto [w, h] : {std::pair<uint32_t, uint32_t>{0, 0}, {0, 7}, {7, 0}}) {
        Driver d(w, h, 0);
        d.frame.assign(64, 0xEE);
        EXPECT_EQ(Quorvin_ImageBalance(d.obj()), 0);
        EXPECT_EQ(Quorvin_ColorProcessing(d.obj()), TRUE);
        EXPECT_EQ(Quorvin_ImageProcessing(d.obj(), d.frame.data() + 32), TRUE);
        EXPECT_TRUE(d.guard_intact());
        for (auto& area : d.obj()->m_objAveragePixelValue.m_pbyteAverage)
            for (uint8_t a : area)
                EXPECT_EQ(a, 0);
    }
}

// Odd sizes and 1-pixel frames: exact statistics, the last odd column and row
// stay uncorrected, nothing outside the frame is touched.
TEST(RobustnessFrame, OddAndOnePixelFramesStayInsideTheFrame) {
    for (auto [w, h] : {std::pair<uint32_t, uint32_t>{5, 3}, {1, 1}, {1, 9}, {9, 1}, {3, 3}}) {
        Driver d(w, h, 0);
        for (size_t i = 0; i < static_cast<size_t>(w) * h; ++i)
            d.frame[i] = static_cast<uint8_t>(40 + 13 * i);
        d.r = 32; // red x2
        Quorvin_Set_Gain(d.obj());
        std::vector<uint8_t> want(d.frame.begin(),
                                  d.frame.begin() + static_cast<std::ptrdiff_t>(w * h));
        qmodel::correct(d.wb(), w, h, 2, want.data(), want.data());
        EXPECT_EQ(Quorvin_ImageBalance(d.obj()), 0);
        EXPECT_TRUE(std::equal(want.begin(), want.end(), d.frame.begin()));
        EXPECT_TRUE(d.guard_intact());
        qmodel::Stats s;
        qmodel::measure(d.frame.data(), w, h, 2, s);
        EXPECT_EQ(0, std::memcmp(s.average, d.obj()->m_objAveragePixelValue.m_pbyteAverage, 64));
        if (w < 2 || h < 2) { // nothing to correct in a frame without a whole cell
            EXPECT_EQ(d.frame[0], 40);
        }
    }
}

// A 12-megapixel frame of 255s: no sum wraps, every average is 255.
TEST(RobustnessFrame, VeryLargeFramesAverageExactly) {
    Driver d(4000, 3000, 255);
    EXPECT_EQ(Quorvin_ALCWBalance(d.obj()), 0);
    for (auto& area : d.obj()->m_objAveragePixelValue.m_pbyteAverage)
        for (uint8_t a : area)
            EXPECT_EQ(a, 255);
    EXPECT_TRUE(d.guard_intact());
}

// The camera reports 0 clocks per line: nothing divides by it; the shutter
// is never rewritten, but the gain still follows the brightness.
TEST(RobustnessTiming, ZeroClocksPerLineNeverRewritesTheShutter) {
    for (int trigger : {0, 1}) {
        Driver d(16, 16, 10, trigger);
        d.hclock = 0;
        d.shutter_line = 7;
        d.shutter_clock = 3;
        d.bind(64, trigger);
        for (int mode : {0x11, 0x10, 0x01, 0x20}) {
            d.lum().m_byteMode = static_cast<BYTE>(mode);
            d.frames(40);
            EXPECT_EQ(d.lum().m_wShutterLine, 7);
            EXPECT_EQ(d.lum().m_wShutterClock, 3);
        }
        EXPECT_GT(d.lum().m_wCDSGain, 64); // the dark frame raised the gain
    }
}

// 0 lines per frame: a whole frame is 0 clocks, below the one-line minimum.
// Nothing fails; the status check moves the shutter between the whole-frame
// setting (0, 0) and one line at every evaluation.
TEST(RobustnessTiming, ZeroLinesPerFrameIsHarmless) {
    Driver d(16, 16, 10);
    d.vlines = 0;
    Quorvin_SetAutoGain(d.obj(), 0);
    int changes = 0;
    for (int i = 0; i < 70; ++i) {
        const uint16_t before = d.lum().m_wShutterLine;
        d.frames(1);
        if (i >= 3) { // from the first evaluation on
            EXPECT_LE(d.lum().m_wShutterLine, 1);
        }
        EXPECT_EQ(d.lum().m_wShutterClock, 0);
        changes += d.lum().m_wShutterLine != before;
    }
    EXPECT_EQ(changes, 10); // one per evaluation, every 7 frames
}

// A minimum above its maximum is stored unchanged; the status check then
// raises the gain to the minimum, which wins.
TEST(RobustnessLimits, GainMinimumAboveMaximumEndsAtTheMinimum) {
    Driver d(16, 16, 128);
    Quorvin_Set_Auto_Max_Gain(d.obj(), 100);
    Quorvin_Set_Auto_Min_Gain(d.obj(), 200);
    EXPECT_EQ(d.lum().m_wAutoMinCDSGain, 200);
    EXPECT_EQ(d.lum().m_wAutoMaxCDSGain, 100);
    Quorvin_SetAutoExposure(d.obj(), 0);
    d.frames(8);
    EXPECT_EQ(d.lum().m_wCDSGain, 200);
    EXPECT_EQ(d.gain, 200);
    EXPECT_EQ(d.flag, 1);
}

TEST(RobustnessLimits, ShutterMinimumAboveMaximumAlternatesBetweenThem) {
    Driver d(16, 16, 10);
    Quorvin_Set_Auto_Max_Shutter(d.obj(), 50);
    Quorvin_Set_Auto_Min_Shutter(d.obj(), 300);
    Quorvin_SetAutoGain(d.obj(), 0);
    // Each evaluation's status check finds the shutter outside one of the two
    // limits and moves it to the other; every 7 frames it is published.
    std::vector<uint16_t> seen;
    for (int i = 0; i < 4; ++i) {
        d.frames(7);
        seen.push_back(d.lum().m_wShutterLine);
        EXPECT_EQ(d.shutter_line, d.lum().m_wShutterLine);
    }
    EXPECT_EQ(seen, (std::vector<uint16_t>{300, 50, 300, 50}));
}

// Target 0 only ever darkens, target 255 only ever brightens.
TEST(RobustnessTarget, TargetsZeroAndFullScaleMoveOneWay) {
    for (uint8_t target : {uint8_t{0}, uint8_t{255}}) {
        Driver d(16, 16, 128, 1, 128);
        d.shutter_line = 100;
        uint8_t t[3] = {target, 0, 0};
        ASSERT_EQ(Quorvin_CLuminance_SetTarget(d.obj(), t), TRUE);
        Quorvin_Set_Auto_Max_Gain(d.obj(), 1000);
        uint32_t last_exposure = 100u * 800u, last_gain = 128;
        for (int i = 0; i < 300; ++i) {
            d.frames(1);
            const qmodel::Exposure e = qmodel::exposures(d.lum(), {d.vlines, d.hclock});
            if (target == 0) {
                EXPECT_LE(e.cur, last_exposure);
                EXPECT_LE(d.lum().m_wCDSGain, last_gain);
            } else {
                EXPECT_GE(e.cur, last_exposure);
                EXPECT_GE(d.lum().m_wCDSGain, last_gain);
            }
            last_exposure = e.cur;
            last_gain = d.lum().m_wCDSGain;
        }
        const qmodel::Exposure e = qmodel::exposures(d.lum(), {d.vlines, d.hclock});
        EXPECT_EQ(e.cur, target == 0 ? e.min : e.max);
    }
}

// Mode values the controllers do not name: white balance values above 3 act
// as continuous automatic; luminance values outside the named set move the
// gain only and enforce no limit; setters drop the other nibble.
TEST(RobustnessModes, UnnamedModeValuesActAsDocumented) {
    Driver d(16, 16, 60);
    for (size_t i = 0; i < 256; i += 2)
        d.frame[i] = 30; // red positions darker than green
    ASSERT_EQ(Quorvin_SetAutoAWB(d.obj(), 200), 0);
    d.frames(11);
    EXPECT_GT(d.wb().m_pwGain[0], 128); // automatic white balance ran
    EXPECT_EQ(d.wb().m_byteMode, 200);

    // Luminance 0x33: a minimum gain above the current one is not enforced
    // (0x01 would raise the gain to it), and the shutter never moves.
    for (int mode : {0x33, 0x01}) {
        Driver l(16, 16, 200);
        l.lum().m_byteMode = static_cast<BYTE>(mode);
        Quorvin_Set_Auto_Min_Gain(l.obj(), 100);
        l.frames(21);
        EXPECT_EQ(l.lum().m_wCDSGain, mode == 0x33 ? 64 : 100);
        EXPECT_EQ(l.lum().m_wShutterLine, 100);
    }
    Driver l(16, 16, 10);
    l.lum().m_byteMode = 0x33;

    ASSERT_EQ(Quorvin_SetAutoExposure(l.obj(), 0x01), 0);
    EXPECT_EQ(l.lum().m_byteMode, 0x03);
    ASSERT_EQ(Quorvin_SetAutoGain(l.obj(), 0xF0), 0);
    EXPECT_EQ(l.lum().m_byteMode, 0x00);
}

// Speed 255 limits each evaluation to the smallest steps; average count 0
// evaluates every sampled frame. With the exposure held, the gain moves at
// most one eighth-octave step (6) but a step on every frame; with the gain
// held, the shutter moves one line per frame.
TEST(RobustnessSpeed, SlowestSpeedAndZeroAverageCount) {
    struct Case {
        int (*hold)(void*, BYTE); // the mode setter that stops the other control
        BYTE gain_speed;
        WORD CLuminanceCtrl::*moved;
        int least, most; // its step per frame
    };
    for (const Case& c : {Case{&Quorvin_SetAutoExposure, 255, &CLuminanceCtrl::m_wCDSGain, 1, 6},
                          Case{&Quorvin_SetAutoGain, 0, &CLuminanceCtrl::m_wShutterLine, 1, 1}}) {
        Driver d(16, 16, 10);
        c.hold(d.obj(), 0);
        ASSERT_EQ(Quorvin_CLuminance_SetCtrlSpeed(d.obj(), 255, c.gain_speed, 0, 0), TRUE);
        for (int i = 0; i < 20; ++i) {
            const int before = d.lum().*c.moved;
            d.frames(1);
            EXPECT_LE(d.lum().*c.moved - before, c.most);
            EXPECT_GE(d.lum().*c.moved - before, c.least);
        }
    }
}

// Driver values of 8192 and above lose their high bits (gain = value x 8
// modulo 65536); the tables follow the truncated gain.
TEST(RobustnessGains, DriverGainsFrom8192WrapAndTheTablesFollow) {
    Driver d(8, 8, 100);
    d.r = 8192;
    d.g = 8193;
    d.b = 65535;
    Quorvin_Set_Gain(d.obj());
    const CWhiteBalanceCtrl& wb = d.wb();
    EXPECT_EQ(wb.m_pwGain[0], 0);
    EXPECT_EQ(wb.m_pwGain[1], 8);
    EXPECT_EQ(wb.m_pwGain[2], 8);
    EXPECT_EQ(wb.m_pwGain[3], 65528);
    for (int k = 0; k < 4; ++k)
        EXPECT_TRUE(
            qmodel::table_matches(wb.m_ppbyteTable[k], wb.m_pwGain[k], qmodel::TableRule::Manual));
    EXPECT_EQ(wb.m_ppbyteTable[3][0], 0);
    EXPECT_EQ(wb.m_ppbyteTable[3][1], 255);
    // The next automatic evaluation limits blue to 1023; red, at gain 0 in a
    // frame whose red is not black, stays 0 (0 x target / average).
    for (size_t y = 0; y < 8; ++y)
        for (size_t x = 0; x < 8; ++x)
            d.frame[8 * y + x] = (y % 2 == 0 && x % 2 == 0) ? 50 : (y % 2 && x % 2) ? 200 : 100;
    d.frames(10);
    EXPECT_EQ(wb.m_pwGain[0], 0);
    EXPECT_EQ(wb.m_pwGain[3], 1023);
    EXPECT_EQ(d.b, 1023 >> 3);
}

} // namespace
