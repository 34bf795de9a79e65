/* SPDX-License-Identifier: GPL-2.0 OR MIT */
// A camera driver as the balance-object tests play it: it owns every variable
// the object is bound to, the frame buffer and the object's memory.
#ifndef QUORVIN_TESTS_TEST_AWB_CAMERA_H
#define QUORVIN_TESTS_TEST_AWB_CAMERA_H

#include <AWB/AWB.h>
#include <tests/support/quorvin_camera.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace awbtest {

// The driver variables (tests/support/quorvin_camera.h), with values that a
// module write would change: 500 lines of 800 clocks, shutter 100 lines, gain
// 64.
struct Camera : QuorvinCameraVars {
    std::vector<uint8_t> frame;
    std::unique_ptr<unsigned char[]> memory;

    // capacity: frame buffer size in bytes (at least width x height).
    explicit Camera(uint32_t w = 32, uint32_t h = 32, size_t capacity = 0)
        : QuorvinCameraVars{},
          frame(capacity != 0 ? capacity : static_cast<size_t>(w) * h, uint8_t{0}),
          memory(new unsigned char[static_cast<size_t>(Quorvin_GetAWBObjectSize())]) {
        quorvin_camera_init(this, w, h, 500, 800, 100);
        gain = 64;
    }

    void* obj() { return memory.get(); }
    AWBObject& awb() { return *reinterpret_cast<AWBObject*>(memory.get()); }
    CLuminanceCtrl& lum() { return awb().m_objLuminanceCtrl; }
    CWhiteBalanceCtrl& wb() { return awb().m_objWhiteBalanceCtrl; }

    void bind(uint16_t initial_gain = 64, int trigger_version = 0) {
        quorvin_camera_bind(this, obj(), frame.data(), initial_gain, 0, trigger_version);
    }

    // A uniform RGGB scene: red, green and blue raw levels.
    void fill(uint8_t red, uint8_t green, uint8_t blue) {
        for (uint32_t y = 0; y < height; ++y) {
            for (uint32_t x = 0; x < width; ++x) {
                uint8_t v = green;
                if (y % 2 == 0 && x % 2 == 0) {
                    v = red;
                } else if (y % 2 == 1 && x % 2 == 1) {
                    v = blue;
                }
                frame[static_cast<size_t>(y) * width + x] = v;
            }
        }
    }
    void fill_grey(uint8_t level) { fill(level, level, level); }

    // The driver's colour gains R, G, B (unit 1/16) must be red, green, blue.
    void expect_colour_gains(uint16_t red, uint16_t green, uint16_t blue) const {
        EXPECT_EQ(r, red);
        EXPECT_EQ(g, green);
        EXPECT_EQ(b, blue);
    }
    // The shutter (lines, clocks) and gain variables must hold these values.
    void expect_exposure(uint16_t line, uint16_t clock, uint16_t cds_gain) const {
        EXPECT_EQ(shutter_line, line);
        EXPECT_EQ(shutter_clock, clock);
        EXPECT_EQ(gain, cds_gain);
    }
    // The shutter and gain variables must hold what the luminance controller
    // computed last: everything it computed was published.
    void expect_exposure_published() {
        expect_exposure(lum().m_wShutterLine, lum().m_wShutterClock, lum().m_wCDSGain);
    }

    // Marks the colour gains so that a write by the module shows.
    static constexpr uint16_t kUnwritten = 0xBEEF;
    void mark_colour_gains() { r = g = b = kUnwritten; }
    bool colour_gains_written() const {
        return r != kUnwritten || g != kUnwritten || b != kUnwritten;
    }
};

// Every operation that takes an object, called on the given pointer; the
// results of the int- and BOOL-returning ones are checked against the refusal.
inline void expect_all_refused(void* p) {
    std::vector<uint8_t> src(64, 7);
    BYTE target[3] = {100, 5, 5};
    EXPECT_EQ(Quorvin_ALCWBalance(p), -QUORVIN_EINVAL);
    EXPECT_EQ(Quorvin_ImageBalance(p), -QUORVIN_EINVAL);
    EXPECT_EQ(Quorvin_ColorProcessing(p), -QUORVIN_EINVAL);
    EXPECT_EQ(Quorvin_ImageProcessing(p, src.data()), -QUORVIN_EINVAL);
    EXPECT_EQ(Quorvin_SetAutoAWB(p, 1), -QUORVIN_EINVAL);
    EXPECT_EQ(Quorvin_SetAutoGain(p, 1), -QUORVIN_EINVAL);
    EXPECT_EQ(Quorvin_SetAutoExposure(p, 0x10), -QUORVIN_EINVAL);
    EXPECT_EQ(Quorvin_CLuminance_SetTarget(p, target), FALSE);
    EXPECT_EQ(Quorvin_CLuminance_SetCtrlSpeed(p, 1, 2, 3, 4), FALSE);
    Quorvin_Set_Gain(p);
    Quorvin_Set_Auto_Max_Gain(p, 1);
    Quorvin_Set_Auto_Min_Gain(p, 1);
    Quorvin_Set_Auto_Max_Shutter(p, 1);
    Quorvin_Set_Auto_Min_Shutter(p, 1);
    Quorvin_Set_Auto_Max_ShutterC(p, 1);
    Quorvin_Set_Auto_Min_ShutterC(p, 1);
    EXPECT_EQ(Quorvin_SetHighlightGuard(p, 20, 32), -QUORVIN_EINVAL);
    EXPECT_EQ(Quorvin_SetRobustAWB(p, 1), -QUORVIN_EINVAL);
    Quorvin_FreeAWBObject(p);
    EXPECT_EQ(src, std::vector<uint8_t>(64, 7));
}

} // namespace awbtest

#endif // QUORVIN_TESTS_TEST_AWB_CAMERA_H
