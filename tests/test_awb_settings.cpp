// SPDX-License-Identifier: GPL-2.0 OR MIT
// Correction and settings operations, and the manual colour gains.
#include "test_awb_camera.h"

#include <AWB/AWB.h>
#include <AWB/WhiteBalanceCtrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

using awbtest::Camera;

TEST(AwbSettings, ModeSettersReplaceOneNibble) {
    struct Case {
        int (*setter)(void*, BYTE);
        BYTE arg;
        BYTE expected;
    };
    const Case cases[] = {
        {&Quorvin_SetAutoGain, 0x00, 0x10},     {&Quorvin_SetAutoExposure, 0x00, 0x01},
        {&Quorvin_SetAutoExposure, 0x01, 0x01}, {&Quorvin_SetAutoGain, 0x10, 0x10},
        {&Quorvin_SetAutoGain, 0x02, 0x12},     {&Quorvin_SetAutoExposure, 0x20, 0x21},
        {&Quorvin_SetAutoGain, 0xFF, 0x1F},     {&Quorvin_SetAutoExposure, 0xFF, 0xF1},
    };
    for (const Case& c : cases) {
        Camera cam;
        cam.bind();
        ASSERT_EQ(cam.lum().m_byteMode, QUORVIN_LUM_DEFAULT_MODE);
        EXPECT_EQ(c.setter(cam.obj(), c.arg), 0);
        EXPECT_EQ(cam.lum().m_byteMode, c.expected) << "argument " << int{c.arg};
    }
}

TEST(AwbSettings, WhiteBalanceModeIsStoredWhole) {
    Camera cam;
    cam.bind();
    for (BYTE mode : {BYTE{0}, BYTE{1}, BYTE{3}, BYTE{0x47}, BYTE{2}}) {
        EXPECT_EQ(Quorvin_SetAutoAWB(cam.obj(), mode), 0);
        EXPECT_EQ(cam.wb().m_byteMode, mode);
    }
}

TEST(AwbSettings, TargetSpeedAndLimitsAreStoredUnchanged) {
    Camera cam;
    cam.bind();
    // Exactly three bytes: a read past them shows under AddressSanitizer.
    auto target = std::make_unique<BYTE[]>(3);
    target[0] = 0;
    target[1] = 200;
    target[2] = 7;
    EXPECT_EQ(Quorvin_CLuminance_SetTarget(cam.obj(), target.get()), TRUE);
    EXPECT_EQ(cam.lum().m_byteTarget, 0);
    EXPECT_EQ(cam.lum().m_byteTolerance, 200);
    EXPECT_EQ(cam.lum().m_byteThreshold, 7);

    EXPECT_EQ(Quorvin_CLuminance_SetCtrlSpeed(cam.obj(), 1, 2, 3, 4), TRUE);
    EXPECT_EQ(cam.lum().m_byteShutterCtrlSpeedLimit, 1);
    EXPECT_EQ(cam.lum().m_byteGainCtrlSpeedLimit, 2);
    EXPECT_EQ(cam.lum().m_byteSkipFrameCount, 3);
    EXPECT_EQ(cam.lum().m_byteAverageFrameCount, 4);

    Quorvin_Set_Auto_Max_Gain(cam.obj(), 10);
    Quorvin_Set_Auto_Min_Gain(cam.obj(), 500); // above the maximum: kept
    Quorvin_Set_Auto_Max_Shutter(cam.obj(), 0xFFFF);
    Quorvin_Set_Auto_Min_Shutter(cam.obj(), 3);
    Quorvin_Set_Auto_Max_ShutterC(cam.obj(), 4);
    Quorvin_Set_Auto_Min_ShutterC(cam.obj(), 5);
    EXPECT_EQ(cam.lum().m_wAutoMaxCDSGain, 10);
    EXPECT_EQ(cam.lum().m_wAutoMinCDSGain, 500);
    EXPECT_EQ(cam.lum().m_wAutoMaxShutterLine, 0xFFFF);
    EXPECT_EQ(cam.lum().m_wAutoMinShutterLine, 3);
    EXPECT_EQ(cam.lum().m_wAutoMaxShutterClock, 4);
    EXPECT_EQ(cam.lum().m_wAutoMinShutterClock, 5);

    // No setting is published to the camera, and nothing but the setting
    // changes: the counters keep their place.
    EXPECT_EQ(cam.flag, 0);
    cam.expect_exposure(100, 0, 64);
    cam.expect_colour_gains(16, 16, 16);
    EXPECT_EQ(cam.lum().m_byteRestSkipCount, 0);
    EXPECT_EQ(cam.lum().m_byteMode, QUORVIN_LUM_DEFAULT_MODE);
}

// The four tables follow the plain rule min((gain * i) >> 7, 255).
void expect_manual_tables(const CWhiteBalanceCtrl& wb) {
    for (int k = 0; k < 4; ++k) {
        for (int i = 0; i < 256; ++i) {
            const int v = (wb.m_pwGain[k] * i) >> 7;
            ASSERT_EQ(wb.m_ppbyteTable[k][i], v > 255 ? 255 : v) << "table " << k << " entry " << i;
        }
    }
}

TEST(AwbManualGains, WorkedValues) {
    Camera cam;
    cam.init_gains[0] = 999; // tables built by the other rule before
    cam.init_gains[3] = 200;
    cam.bind();

    cam.r = cam.g = cam.b = 16;
    Quorvin_Set_Gain(cam.obj());
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(cam.wb().m_pwGain[k], 128);
        for (int i = 0; i < 256; ++i) {
            ASSERT_EQ(cam.wb().m_ppbyteTable[k][i], i);
        }
    }

    cam.r = 32;
    Quorvin_Set_Gain(cam.obj());
    EXPECT_EQ(cam.wb().m_pwGain[0], 256);
    EXPECT_EQ(cam.wb().m_ppbyteTable[0][126], 252);
    EXPECT_EQ(cam.wb().m_ppbyteTable[0][127], 254) << "the controller's own rule gives 255 here";
    EXPECT_EQ(cam.wb().m_ppbyteTable[0][128], 255);
    BYTE controller_table[256];
    mbUpdateTable(&cam.wb(), 256, controller_table);
    EXPECT_EQ(controller_table[127], 255);

    for (uint16_t red : {uint16_t{0}, uint16_t{8192}}) {
        cam.r = red;
        Quorvin_Set_Gain(cam.obj());
        EXPECT_EQ(cam.wb().m_pwGain[0], 0);
        for (int i = 0; i < 256; ++i) {
            ASSERT_EQ(cam.wb().m_ppbyteTable[0][i], 0);
        }
    }

    cam.r = 8193;
    Quorvin_Set_Gain(cam.obj());
    EXPECT_EQ(cam.wb().m_pwGain[0], 8);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(cam.wb().m_ppbyteTable[0][i], i >> 4);
    }

    cam.g = 20;
    Quorvin_Set_Gain(cam.obj());
    EXPECT_EQ(cam.wb().m_pwGain[1], 160);
    EXPECT_EQ(cam.wb().m_pwGain[2], 160);
    EXPECT_EQ(cam.wb().m_ppbyteTable[1][203], 253);
    for (int i = 204; i < 256; ++i) {
        ASSERT_EQ(cam.wb().m_ppbyteTable[1][i], 255);
    }
    mbUpdateTable(&cam.wb(), 160, controller_table);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(cam.wb().m_ppbyteTable[2][i], controller_table[i]);
        ASSERT_EQ(cam.wb().m_ppbyteTable[1][i], controller_table[i]);
    }
    expect_manual_tables(cam.wb());
}

TEST(AwbManualGains, EveryDriverValueGivesItsTable) {
    Camera cam;
    cam.bind();
    for (unsigned v = 0; v < 65536; v += 97) {
        cam.r = static_cast<uint16_t>(v);
        cam.g = static_cast<uint16_t>(65535 - v);
        cam.b = static_cast<uint16_t>(v * 7);
        Quorvin_Set_Gain(cam.obj());
        EXPECT_EQ(cam.wb().m_pwGain[0], static_cast<uint16_t>(cam.r << 3));
        EXPECT_EQ(cam.wb().m_pwGain[3], static_cast<uint16_t>(cam.b << 3));
        expect_manual_tables(cam.wb());
    }
}

TEST(AwbManualGains, OnlyGainsAndTablesChange) {
    Camera cam;
    cam.bind();
    ASSERT_EQ(Quorvin_SetAutoAWB(cam.obj(), 3), 0);
    cam.fill_grey(80);
    for (int f = 0; f < 4; ++f) {
        Quorvin_ALCWBalance(cam.obj());
    }
    const CWhiteBalanceCtrl before = cam.wb();
    cam.r = 20;
    cam.g = 18;
    cam.b = 12;
    Quorvin_Set_Gain(cam.obj());
    const CWhiteBalanceCtrl& after = cam.wb();
    EXPECT_EQ(after.m_byteMode, QUORVIN_WB_ONE_SHOT);
    EXPECT_EQ(after.m_byteAWBAlredySamplingCount, before.m_byteAWBAlredySamplingCount);
    EXPECT_EQ(after.m_byteAWBRestSkipCount, before.m_byteAWBRestSkipCount);
    EXPECT_EQ(after.m_bAWBStarted, before.m_bAWBStarted);
    EXPECT_EQ(cam.r, 20) << "Set_Gain only reads the driver's values";
}

class AwbCorrection : public ::testing::Test {
protected:
    Camera cam{8, 4};
    void SetUp() override {
        cam.bind();
        cam.r = 32; // red x2
        cam.b = 8;  // blue x0.5
        Quorvin_Set_Gain(cam.obj());
        cam.fill(50, 60, 70);
    }
};

TEST_F(AwbCorrection, ColorProcessingFollowsTheWhiteBalanceMode) {
    ASSERT_EQ(Quorvin_SetAutoAWB(cam.obj(), 1), 0); // no control, still correction
    EXPECT_EQ(Quorvin_ColorProcessing(cam.obj()), TRUE);
    EXPECT_EQ(cam.frame[0], 100);
    EXPECT_EQ(cam.frame[1], 60);
    EXPECT_EQ(cam.frame[8 + 1], 35);

    ASSERT_EQ(Quorvin_SetAutoAWB(cam.obj(), 0), 0); // no correction either
    const std::vector<uint8_t> corrected = cam.frame;
    EXPECT_EQ(Quorvin_ColorProcessing(cam.obj()), TRUE);
    EXPECT_EQ(cam.frame, corrected);
}

TEST_F(AwbCorrection, ImageProcessingWritesACorrectedCopyIntoTheBoundBuffer) {
    std::vector<uint8_t> src = cam.frame;
    std::fill(cam.frame.begin(), cam.frame.end(), uint8_t{1});
    EXPECT_EQ(Quorvin_ImageProcessing(cam.obj(), src.data()), TRUE);
    EXPECT_EQ(cam.frame[0], 100);
    EXPECT_EQ(cam.frame[1], 60);
    EXPECT_EQ(cam.frame[8 + 1], 35);
    EXPECT_EQ(src[0], 50) << "the source is only read";

    // Mode 0: no copy at all.
    ASSERT_EQ(Quorvin_SetAutoAWB(cam.obj(), 0), 0);
    std::fill(cam.frame.begin(), cam.frame.end(), uint8_t{1});
    EXPECT_EQ(Quorvin_ImageProcessing(cam.obj(), src.data()), TRUE);
    EXPECT_EQ(cam.frame, std::vector<uint8_t>(cam.frame.size(), 1));
}

TEST_F(AwbCorrection, InPlaceCopyEqualsColorProcessing) {
    Camera other{8, 4};
    other.bind();
    other.r = 32;
    other.b = 8;
    Quorvin_Set_Gain(other.obj());
    other.fill(50, 60, 70);
    EXPECT_EQ(Quorvin_ImageProcessing(cam.obj(), cam.frame.data()), TRUE);
    EXPECT_EQ(Quorvin_ColorProcessing(other.obj()), TRUE);
    EXPECT_EQ(cam.frame, other.frame);
}

} // namespace
