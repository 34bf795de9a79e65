// SPDX-License-Identifier: GPL-2.0 OR MIT
// The balance object: size, binding, release, the camera callbacks, and the
// refusal of null or never-bound objects by every exported operation.
#include "test_awb_camera.h"

#include <AWB/AWB.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using awbtest::Camera;
using awbtest::expect_all_refused;

TEST(AwbObject, SizeIsTheRecordSize) {
    EXPECT_EQ(Quorvin_GetAWBObjectSize(), static_cast<int>(sizeof(AWBObject)));
#if defined(__i386__)
    EXPECT_EQ(Quorvin_GetAWBObjectSize(), 1636);
#endif
}

TEST(AwbObject, InitBindsAndReadsOnlyTheShutterAndInitialGains) {
    Camera cam;
    std::memset(cam.obj(), 0xA5, static_cast<size_t>(Quorvin_GetAWBObjectSize()));
    cam.shutter_line = 123;
    cam.shutter_clock = 45;
    cam.gain = 77;
    cam.flag = 9;
    cam.r = 1;
    cam.g = 2;
    cam.b = 3;
    const uint16_t gains[4] = {100, 130, 140, 200};
    std::memcpy(cam.init_gains, gains, sizeof gains);
    cam.bind(/*initial_gain=*/50, /*trigger_version=*/1);

    AWBObject& o = cam.awb();
    EXPECT_EQ(static_cast<unsigned>(o.magic), 0xFAAFEBBEu);
    EXPECT_EQ(o.wColorArray, 2);
    EXPECT_EQ(o.raw_data, cam.frame.data());
    EXPECT_EQ(o.crt_totalVLines_le, &cam.vlines);
    EXPECT_EQ(o.crt_totalHClock_le, &cam.hclock);
    EXPECT_EQ(o.next_shutter_line_le, &cam.shutter_line);
    EXPECT_EQ(o.next_shutter_clock_le, &cam.shutter_clock);
    EXPECT_EQ(o.next_gain_le, &cam.gain);
    EXPECT_EQ(o.dwWidth, &cam.width);
    EXPECT_EQ(o.dwHeight, &cam.height);
    EXPECT_EQ(o.next_modif_flag21, &cam.flag);
    EXPECT_EQ(o.R, &cam.r);
    EXPECT_EQ(o.G, &cam.g);
    EXPECT_EQ(o.B, &cam.b);

    EXPECT_EQ(cam.lum().m_wShutterLine, 123);
    EXPECT_EQ(cam.lum().m_wShutterClock, 45);
    EXPECT_EQ(cam.lum().m_wCDSGain, 50);
    EXPECT_NE(cam.lum().m_bHasDigitalGain, FALSE);
    EXPECT_EQ(cam.lum().fops, &luminance_fops);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(cam.wb().m_pwGain[k], gains[k]);
    }
    EXPECT_EQ(cam.wb().m_wColorArray, 2);

    // Nothing is written through the bound pointers.
    cam.expect_exposure(123, 45, 77);
    EXPECT_EQ(cam.flag, 9);
    cam.expect_colour_gains(1, 2, 3);

    // The initial gains were copied: the driver may reuse their memory.
    cam.init_gains[0] = 999;
    EXPECT_EQ(cam.wb().m_pwGain[0], 100);
    EXPECT_EQ(cam.wb().m_pwIniGain[0], 100);
}

TEST(AwbObject, ModuleWideCallbackTable) {
    EXPECT_EQ(luminance_fops.mbpfSetShutterAndCDSGainToCamera, &SetShutterAndCDSGainToCamera);
    EXPECT_EQ(luminance_fops.mbpfGetFrameClock, &GetFrameClock);
    Camera a;
    Camera b;
    a.bind();
    b.bind();
    EXPECT_EQ(a.lum().fops, b.lum().fops);
}

TEST(AwbObject, CallbacksReachTheirOwnObjectOnly) {
    Camera a;
    Camera b;
    a.bind();
    b.bind();
    a.vlines = 600;
    a.hclock = 900;
    b.vlines = 321;
    b.hclock = 654;

    WORD lines = 0;
    WORD clocks = 0;
    EXPECT_EQ(GetFrameClock(&b.lum(), &lines, &clocks), FALSE);
    EXPECT_EQ(lines, 321);
    EXPECT_EQ(clocks, 654);

    a.lum().m_wCDSGain = 11;
    a.lum().m_wShutterLine = 22;
    a.lum().m_wShutterClock = 33;
    EXPECT_EQ(SetShutterAndCDSGainToCamera(&a.lum()), TRUE);
    EXPECT_EQ(a.gain, 11);
    EXPECT_EQ(a.shutter_line, 22);
    EXPECT_EQ(a.shutter_clock, 33);
    EXPECT_EQ(a.flag, 1);
    EXPECT_EQ(b.gain, 64);
    EXPECT_EQ(b.shutter_line, 100);
    EXPECT_EQ(b.flag, 0);

    // The same values again still announce a publication.
    a.flag = 0;
    EXPECT_EQ(luminance_fops.mbpfSetShutterAndCDSGainToCamera(&a.lum()), TRUE);
    EXPECT_EQ(a.flag, 1);
    EXPECT_EQ(a.gain, 11);
}

TEST(AwbObject, FreeKeepsTheObjectAndMayRepeat) {
    Camera cam;
    cam.bind();
    std::vector<unsigned char> before(cam.memory.get(),
                                      cam.memory.get() + Quorvin_GetAWBObjectSize());
    Quorvin_FreeAWBObject(cam.obj());
    Quorvin_FreeAWBObject(cam.obj());
    EXPECT_EQ(0, std::memcmp(before.data(), cam.obj(), before.size()));
}

TEST(AwbObject, RebindingResetsTheObject) {
    Camera cam;
    cam.bind();
    cam.fill_grey(40);
    for (int i = 0; i < 5; ++i) {
        Quorvin_ALCWBalance(cam.obj());
    }
    Quorvin_SetAutoAWB(cam.obj(), 1);
    cam.shutter_line = 7;
    cam.bind();
    EXPECT_EQ(cam.wb().m_byteMode, QUORVIN_WB_AUTO);
    EXPECT_EQ(cam.lum().m_byteRestSkipCount, 0);
    EXPECT_EQ(cam.lum().m_wShutterLine, 7);
    EXPECT_EQ(cam.lum().m_byteAlreadySampleingCount, 0);
}

TEST(AwbObjectGuards, NullObjectIsRefused) {
    expect_all_refused(nullptr);
    Quorvin_InitAWBObject(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                          nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, 0);
}

TEST(AwbObjectGuards, NeverBoundMemoryIsRefusedAndUntouched) {
    const int size = Quorvin_GetAWBObjectSize();
    for (int fill_value : {0x00, 0xA5, 0xFF}) {
        const auto fill = static_cast<unsigned char>(fill_value);
        std::vector<unsigned char> memory(static_cast<size_t>(size), fill);
        // The magic's bytes, but not all of them, do not make an object.
        memory[0] = 0xBE;
        memory[1] = 0xEB;
        expect_all_refused(memory.data());
        EXPECT_EQ(memory[0], 0xBE);
        EXPECT_EQ(memory[1], 0xEB);
        for (size_t i = 2; i < memory.size(); ++i) {
            ASSERT_EQ(memory[i], fill) << "byte " << i;
        }
    }
}

TEST(AwbObjectGuards, BindingWithANullVariableLeavesTheObjectUnbound) {
    // One null at a time in each pointer argument: the object refuses every
    // operation afterwards, even if it was bound before.
    for (int missing = 0; missing < 13; ++missing) {
        SCOPED_TRACE(missing);
        Camera cam;
        cam.bind();
        void* ptr[13] = {cam.frame.data(),   &cam.vlines, &cam.hclock, &cam.shutter_line,
                         &cam.shutter_clock, &cam.gain,   &cam.width,  &cam.height,
                         &cam.flag,          &cam.r,      &cam.g,      &cam.b,
                         cam.init_gains};
        ptr[missing] = nullptr;
        cam.r = cam.g = cam.b = 5;
        Quorvin_InitAWBObject(
            cam.obj(), static_cast<__u8*>(ptr[0]), static_cast<__u16*>(ptr[1]),
            static_cast<__u16*>(ptr[2]), static_cast<__u16*>(ptr[3]), static_cast<__u16*>(ptr[4]),
            static_cast<__u16*>(ptr[5]), static_cast<__u32*>(ptr[6]), static_cast<__u32*>(ptr[7]),
            static_cast<int*>(ptr[8]), static_cast<__u16*>(ptr[9]), static_cast<__u16*>(ptr[10]),
            static_cast<__u16*>(ptr[11]), static_cast<__u16*>(ptr[12]), 64, 0, 0);
        expect_all_refused(cam.obj());
        EXPECT_EQ(cam.r, 5);
        EXPECT_EQ(cam.flag, 0);
    }
}

TEST(AwbObjectGuards, NullArgumentsOfValidObjectsAreRefused) {
    Camera cam;
    cam.bind();
    cam.fill_grey(50);
    const std::vector<uint8_t> before = cam.frame;
    const BYTE target_before = cam.lum().m_byteTarget;
    EXPECT_EQ(Quorvin_ImageProcessing(cam.obj(), nullptr), -QUORVIN_EINVAL);
    EXPECT_EQ(Quorvin_CLuminance_SetTarget(cam.obj(), nullptr), FALSE);
    EXPECT_EQ(cam.frame, before);
    EXPECT_EQ(cam.lum().m_byteTarget, target_before);
    // The lock is free afterwards.
    EXPECT_EQ(Quorvin_SetAutoAWB(cam.obj(), 1), 0);
}

} // namespace
