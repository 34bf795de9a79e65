// SPDX-License-Identifier: GPL-2.0 OR MIT
// The per-frame loop end to end, through the exported operations and the
// driver's variables only (the object's fields are read to check a
// precondition, never written).
#include "test_awb_camera.h"

#include <AWB/AWB.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

namespace {

using awbtest::Camera;
using FrameCall = int (*)(void*);

void luminance_off(Camera& cam) {
    ASSERT_EQ(Quorvin_SetAutoGain(cam.obj(), 0), 0);
    ASSERT_EQ(Quorvin_SetAutoExposure(cam.obj(), 0), 0);
}

// Frames (1-based) on which white balance ran, i.e. on which R, G and B were
// written, over `frames` calls; refill() prepares each frame.
std::vector<int> white_balance_frames(Camera& cam, FrameCall call, int frames,
                                      const std::function<void()>& refill) {
    std::vector<int> ran;
    for (int f = 1; f <= frames; ++f) {
        refill();
        cam.mark_colour_gains();
        EXPECT_EQ(call(cam.obj()), 0);
        if (cam.colour_gains_written()) {
            ran.push_back(f);
        }
    }
    return ran;
}

std::vector<int> range(int first, int last) {
    std::vector<int> v;
    for (int i = first; i <= last; ++i) {
        v.push_back(i);
    }
    return v;
}

std::vector<int> concat(std::initializer_list<std::vector<int>> parts) {
    std::vector<int> v;
    for (const auto& p : parts) {
        v.insert(v.end(), p.begin(), p.end());
    }
    return v;
}

TEST(AwbFrames, FirstCallAfterBindingRunsBothControllers) {
    for (FrameCall call : {&Quorvin_ALCWBalance, &Quorvin_ImageBalance}) {
        Camera cam;
        cam.init_gains[0] = 200;
        cam.bind();
        cam.fill_grey(100);
        cam.mark_colour_gains();
        EXPECT_EQ(call(cam.obj()), 0);
        EXPECT_EQ(cam.lum().m_byteAlreadySampleingCount, 1);
        EXPECT_EQ(cam.wb().m_byteAWBAlredySamplingCount, 1);
        cam.expect_colour_gains(25, 16, 16);
        EXPECT_EQ(cam.flag, 0) << "one sample is not yet an evaluation";
    }
}

TEST(AwbFrames, LuminancePublishesEverySevenFramesAtASteadyWrongBrightness) {
    for (FrameCall call : {&Quorvin_ALCWBalance, &Quorvin_ImageBalance}) {
        Camera cam;
        cam.bind();
        ASSERT_EQ(Quorvin_SetAutoAWB(cam.obj(), 1), 0);
        std::vector<int> published;
        for (int f = 1; f <= 40; ++f) {
            cam.fill_grey(60);
            EXPECT_EQ(call(cam.obj()), 0);
            if (cam.flag != 0) {
                EXPECT_EQ(cam.flag, 1);
                published.push_back(f);
                cam.expect_exposure_published();
                cam.flag = 0; // the driver has sent the values
            }
        }
        EXPECT_EQ(published, (std::vector<int>{4, 11, 18, 25, 32, 39}));
        EXPECT_GT(cam.gain, 64) << "a dark scene raises the gain once the exposure is at its top";
    }
}

TEST(AwbFrames, WhiteBalanceRunsTenOfEveryTwentyFramesUnderALCWBalance) {
    Camera cam;
    cam.init_gains[2] = 200; // green of the blue rows: never published
    cam.bind();
    luminance_off(cam);
    cam.fill(50, 100, 200);
    std::vector<BYTE> first_frame(cam.frame);
    std::vector<int> seen_r;
    std::vector<int> ran;
    for (int f = 1; f <= 70; ++f) {
        cam.mark_colour_gains();
        EXPECT_EQ(Quorvin_ALCWBalance(cam.obj()), 0);
        if (cam.colour_gains_written()) {
            ran.push_back(f);
            EXPECT_EQ(cam.g, 16);
            if (f % 10 == 0) {
                seen_r.push_back(cam.r * 1000 + cam.b);
            }
        }
        EXPECT_EQ(cam.frame, first_frame) << "ALCWBalance never alters the frame";
    }
    EXPECT_EQ(ran, concat({range(1, 10), range(21, 30), range(41, 50), range(61, 70)}));
    // Uncorrected frames keep the same cast: the gains keep moving by target
    // over average, up to 1023 (published as 127).
    EXPECT_EQ(seen_r, (std::vector<int>{32008, 64004, 127002, 127001}));
}

TEST(AwbFrames, WhiteBalanceRunsFasterUnderImageBalance) {
    Camera cam;
    cam.bind();
    luminance_off(cam);
    std::vector<int> ran =
        white_balance_frames(cam, &Quorvin_ImageBalance, 50, [&] { cam.fill(50, 100, 200); });
    // Ten sampled frames, then the countdown of 10 is used up in two calls.
    EXPECT_EQ(ran, concat({range(1, 10), range(13, 22), range(25, 34), range(37, 46), {49, 50}}));
    // Frames are corrected before they are measured: after one step the
    // corrected scene is balanced and the gains stay.
    cam.expect_colour_gains(32, 16, 8);
}

TEST(AwbFrames, RestCountOfThreeRunsUnderImageBalanceOnly) {
    Camera alc;
    Camera image;
    for (Camera* cam : {&alc, &image}) {
        cam->bind();
        luminance_off(*cam);
        cam->fill(50, 100, 200);
        for (int f = 0; f < 17; ++f) { // evaluation at frame 10, then 7 skipped
            Quorvin_ALCWBalance(cam->obj());
        }
        ASSERT_EQ(cam->wb().m_byteAWBRestSkipCount, 3);
        cam->mark_colour_gains();
    }
    Quorvin_ALCWBalance(alc.obj());
    Quorvin_ImageBalance(image.obj());
    EXPECT_FALSE(alc.colour_gains_written());
    EXPECT_EQ(alc.wb().m_byteAWBRestSkipCount, 2);
    EXPECT_TRUE(image.colour_gains_written());
    EXPECT_EQ(image.wb().m_byteAWBRestSkipCount, 0);
    EXPECT_EQ(image.wb().m_byteAWBAlredySamplingCount, 1);
}

TEST(AwbFrames, FramesAreCorrectedOnlyWhenAControllerIsDue) {
    Camera cam;
    cam.bind();
    cam.r = 32; // red x2, the others x1
    Quorvin_Set_Gain(cam.obj());
    ASSERT_EQ(Quorvin_SetAutoAWB(cam.obj(), 1), 0); // fixed gains: tables apply, no control
    for (int f = 1; f <= 11; ++f) {
        cam.fill_grey(40);
        Quorvin_ImageBalance(cam.obj());
        cam.flag = 0;
        // Luminance samples frames 1-4 and 8-11 and skips 5-7.
        const bool due = f <= 4 || f >= 8;
        EXPECT_EQ(cam.frame[0], due ? 80 : 40) << "frame " << f;
        EXPECT_EQ(cam.frame[1], 40);
        EXPECT_EQ(cam.frame[cam.width + 1], 40);
    }
}

TEST(AwbFrames, NothingIsReadOrWrittenWhileBothControllersAreManual) {
    for (BYTE wb_mode : {BYTE{0}, BYTE{1}}) {
        Camera cam;
        cam.bind();
        cam.r = 32;
        Quorvin_Set_Gain(cam.obj());
        luminance_off(cam);
        ASSERT_EQ(Quorvin_SetAutoAWB(cam.obj(), wb_mode), 0);
        cam.fill_grey(40);
        const std::vector<uint8_t> frame = cam.frame;
        for (int f = 0; f < 30; ++f) {
            cam.mark_colour_gains();
            EXPECT_EQ(Quorvin_ImageBalance(cam.obj()), 0);
            EXPECT_EQ(Quorvin_ALCWBalance(cam.obj()), 0);
            EXPECT_FALSE(cam.colour_gains_written());
        }
        EXPECT_EQ(cam.frame, frame);
        EXPECT_EQ(cam.flag, 0);
        cam.expect_exposure(100, 0, 64);
        EXPECT_EQ(cam.awb().m_objAveragePixelValue.m_dwImageWidth, 0u) << "never measured";
    }
}

TEST(AwbFrames, OnlyLuminanceFramesPublishOnlyShutterAndGain) {
    Camera cam;
    cam.bind();
    ASSERT_EQ(Quorvin_SetAutoAWB(cam.obj(), 1), 0);
    cam.fill_grey(200);
    for (int f = 1; f <= 4; ++f) {
        cam.mark_colour_gains();
        cam.shutter_line = cam.shutter_clock = cam.gain = 0x5555;
        Quorvin_ALCWBalance(cam.obj());
        EXPECT_FALSE(cam.colour_gains_written());
        if (f < 4) { // sampling only
            EXPECT_EQ(cam.flag, 0);
            cam.expect_exposure(0x5555, 0x5555, 0x5555);
        }
    }
    EXPECT_EQ(cam.flag, 1);
    cam.expect_exposure_published();
    EXPECT_LT(cam.shutter_line, 100) << "a bright scene shortens the exposure";
}

TEST(AwbFrames, OnlyWhiteBalanceFramesWriteOnlyTheColourGains) {
    for (FrameCall call : {&Quorvin_ALCWBalance, &Quorvin_ImageBalance}) {
        Camera cam;
        cam.bind();
        luminance_off(cam);
        cam.shutter_line = cam.shutter_clock = cam.gain = 0x5555;
        cam.flag = 7;
        std::vector<int> ran = white_balance_frames(cam, call, 30, [&] { cam.fill(50, 100, 200); });
        EXPECT_FALSE(ran.empty());
        EXPECT_EQ(cam.flag, 7);
        cam.expect_exposure(0x5555, 0x5555, 0x5555);
    }
}

TEST(AwbFrames, ManualGainsComeBackThroughThePerFrameCall) {
    Camera cam;
    cam.bind();
    luminance_off(cam);
    cam.r = 20;
    cam.g = 24;
    cam.b = 12;
    Quorvin_Set_Gain(cam.obj());
    // A grey scene: the automatic step finds nothing to change.
    std::vector<int> ran =
        white_balance_frames(cam, &Quorvin_ALCWBalance, 30, [&] { cam.fill_grey(90); });
    EXPECT_EQ(ran, concat({range(1, 10), range(21, 30)}));
    cam.expect_colour_gains(20, 24, 12);

    // A value of 8192 or more wraps in the shift: 8193 comes back as 1.
    cam.r = 8193;
    cam.g = 16;
    cam.b = 16;
    Quorvin_Set_Gain(cam.obj());
    ran = white_balance_frames(cam, &Quorvin_ALCWBalance, 11, [] {});
    EXPECT_EQ(ran, std::vector<int>{11}) << "frames 31-40 are skipped";
    EXPECT_EQ(cam.r, 1);
}

TEST(AwbFrames, TwoObjectsStayIndependent) {
    Camera bright;
    Camera dark;
    bright.bind();
    dark.bind();
    for (int f = 1; f <= 10; ++f) {
        bright.fill(220, 200, 180);
        dark.fill(15, 30, 60);
        Quorvin_ALCWBalance(bright.obj());
        Quorvin_ImageBalance(dark.obj());
        if (f == 3) {
            EXPECT_EQ(bright.flag, 0);
            EXPECT_EQ(dark.flag, 0);
        }
    }
    EXPECT_EQ(bright.flag, 1);
    EXPECT_EQ(dark.flag, 1);
    EXPECT_LT(bright.shutter_line, 100);
    EXPECT_GT(dark.shutter_line, 100);
    bright.expect_exposure_published();
    dark.expect_exposure_published();
    // Each one's colour gains follow its own scene.
    EXPECT_LT(bright.r, 16);
    EXPECT_GT(bright.b, 16);
    EXPECT_GT(dark.r, 16);
    EXPECT_LT(dark.b, 16);
}

TEST(AwbFrames, AFrameSizeChangeIsSeenAtTheNextCall) {
    Camera cam(16, 16, 32 * 32);
    cam.bind();
    cam.r = 32;
    Quorvin_Set_Gain(cam.obj());
    ASSERT_EQ(Quorvin_SetAutoAWB(cam.obj(), 1), 0);
    std::fill(cam.frame.begin(), cam.frame.end(), uint8_t{40});
    Quorvin_ImageBalance(cam.obj());
    EXPECT_EQ(cam.awb().m_objAveragePixelValue.m_dwImageWidth, 16u);
    EXPECT_EQ(cam.frame[16 * 16 - 1], 40);
    EXPECT_EQ(cam.frame[16 * 16], 40) << "bytes past a 16 x 16 frame are not touched";
    EXPECT_EQ(cam.frame[16 * 16 - 16 * 2], 80);

    cam.width = 32;
    cam.height = 24;
    cam.fill_grey(40);
    Quorvin_ImageBalance(cam.obj());
    EXPECT_EQ(cam.awb().m_objAveragePixelValue.m_dwImageWidth, 32u);
    EXPECT_EQ(cam.awb().m_objAveragePixelValue.m_dwImageHeight, 24u);
    EXPECT_EQ(cam.frame[22 * 32 + 30], 80) << "red of the last row pair";
    EXPECT_EQ(cam.frame[32 * 24], 40) << "bytes past a 32 x 24 frame are not touched";
}

} // namespace
