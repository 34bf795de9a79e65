// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The camera behind quorvin_vcam (drivers/vcam/vcam_core.c) in user space, on
 * the library: the sensor model, the binding contract as the driver keeps
 * it, the controls' mapping onto the module, and the closed loop that the
 * kernel test then checks through V4L2. Brightness is measured as the VM's
 * vcam-tool measures captured frames.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "AWB/AWB.h"
#include "vcam_core.h"

namespace {

struct Camera {
    std::vector<unsigned char> awb;
    std::vector<unsigned char> raw;
    std::unique_ptr<vcam_core> c{new vcam_core()};

    explicit Camera(int entry, unsigned light = 100)
        : awb(vcam_core_awb_size()), raw(VCAM_MAX_WIDTH * VCAM_MAX_HEIGHT) {
        vcam_core_init(c.get(), awb.data(), raw.data(), entry);
        vcam_core_set_format(c.get(), 320, 240); // the loop does not depend on it
        c->light = light;
    }
    ~Camera() { vcam_core_free(c.get()); }

    void manual() {
        vcam_core_set_auto_exposure(c.get(), 0);
        vcam_core_set_auto_gain(c.get(), 0);
        vcam_core_set_auto_wb(c.get(), 0);
    }
    // Runs n frames; the brightness of the last.
    unsigned frames(int n) {
        for (int i = 0; i < n; ++i)
            vcam_core_frame(c.get());
        return luma();
    }
    // Channel means R, G, B over the frame.
    void means(unsigned m[3]) const {
        unsigned long long s[3] = {0, 0, 0};
        unsigned long n[3] = {0, 0, 0};
        for (unsigned y = 0; y < c->height; ++y)
            for (unsigned x = 0; x < c->width; ++x) {
                const unsigned ch = (y & 1) + (x & 1);
                s[ch] += raw[y * c->width + x];
                ++n[ch];
            }
        for (int i = 0; i < 3; ++i)
            m[i] = static_cast<unsigned>(s[i] / n[i]);
    }
    unsigned luma() const {
        unsigned m[3];
        means(m);
        return (2989 * m[0] + 5866 * m[1] + 1145 * m[2]) / 10000;
    }
    unsigned char pixel(unsigned x, unsigned y) const { return raw[y * c->width + x]; }
};

// First frame from which every frame stays within target +- band, having
// reached target +- tolerance there; -1 if none within n frames. Also
// records the brightness of every frame.
int settle(Camera& cam, int n, int target, std::vector<unsigned>* trace = nullptr) {
    std::vector<unsigned> l;
    for (int i = 0; i < n; ++i)
        l.push_back(cam.frames(1));
    if (trace)
        *trace = l;
    const int band = VCAM_TOLERANCE + VCAM_THRESHOLD;
    int from = -1;
    for (size_t i = l.size(); i-- > 0;) {
        const int error = std::abs(static_cast<int>(l[i]) - target);
        if (error > band)
            break;
        if (error <= VCAM_TOLERANCE)
            from = static_cast<int>(i);
    }
    return from;
}

TEST(VcamSensor, ExposureAndGainScaleTheSignalAndWhiteSaturatesAt255) {
    Camera cam(VCAM_ENTRY_ALC);
    cam.manual();
    vcam_core_set_exposure(cam.c.get(), 20);
    const unsigned l20 = cam.frames(3);
    vcam_core_set_exposure(cam.c.get(), 40);
    const unsigned l40 = cam.frames(3);
    EXPECT_NEAR(l40, 2 * l20, l20 / 10 + 1);
    vcam_core_set_gain(cam.c.get(), 64); // one octave: x2
    EXPECT_NEAR(cam.frames(3), 2 * l40, l40 / 10 + 1);

    // No exposure is longer than the frame: (0, 0), the frame and anything
    // beyond it give the same picture.
    const __u32 frame = 800u * VCAM_CLOCKS_PER_LINE;
    EXPECT_EQ(vcam_core_exposure_clocks(cam.c.get(), 0, 0), frame);
    EXPECT_EQ(vcam_core_exposure_clocks(cam.c.get(), 5000, 0), frame);
    EXPECT_EQ(vcam_core_exposure_clocks(cam.c.get(), 799, 999), frame - 1);
    vcam_core_set_gain(cam.c.get(), 0);
    vcam_core_set_exposure(cam.c.get(), 333);
    const unsigned lframe = cam.frames(3);
    vcam_core_set_exposure(cam.c.get(), VCAM_EXPOSURE_MAX);
    EXPECT_EQ(cam.frames(3), lframe);

    // Far too much light: the brightest grey step reads 255 everywhere,
    // noise and all.
    cam.c->light = VCAM_LIGHT_MAX;
    cam.frames(1);
    for (unsigned y = cam.c->height - 8; y < cam.c->height; ++y)
        for (unsigned x = cam.c->width - 16; x < cam.c->width; ++x)
            ASSERT_EQ(cam.pixel(x, y), 255) << x << "," << y;
    EXPECT_EQ(vcam_core_gain_q10(255), vcam_core_gain_q10(1000)); // register saturates
}

TEST(VcamSensor, NoiseIsSmallDeterministicAndVariesByFrame) {
    Camera a(VCAM_ENTRY_ALC), b(VCAM_ENTRY_ALC);
    a.manual();
    b.manual();
    vcam_core_set_exposure(a.c.get(), 30); // nothing saturates
    vcam_core_set_exposure(b.c.get(), 30);
    a.frames(3);
    b.frames(3);
    EXPECT_EQ(a.raw, b.raw);
    // Inside one patch the red samples differ by at most 2 x 2 levels, and
    // they do differ.
    unsigned lo = 255, hi = 0;
    for (unsigned y = 10; y < 100; y += 2)
        for (unsigned x = 10; x < 40; x += 2) {
            lo = std::min<unsigned>(lo, a.pixel(x, y));
            hi = std::max<unsigned>(hi, a.pixel(x, y));
        }
    EXPECT_GT(hi, lo);
    EXPECT_LE(hi - lo, 2u * VCAM_NOISE_AMPL);
    const std::vector<unsigned char> before = a.raw;
    a.frames(1);
    EXPECT_NE(a.raw, before);
}

TEST(VcamSensor, ShutterAndGainReachTheSecondFrameColourGainsTheNext) {
    Camera cam(VCAM_ENTRY_ALC);
    cam.manual();
    const unsigned base = cam.frames(3);
    vcam_core_set_exposure(cam.c.get(), 200);
    EXPECT_EQ(cam.frames(1), base); // frame n + 1: already being exposed
    EXPECT_GT(cam.frames(1), base + 20);
    const unsigned longer = cam.luma();
    vcam_core_set_gain(cam.c.get(), 32);
    EXPECT_EQ(cam.frames(1), longer);
    EXPECT_GT(cam.frames(1), longer + 10);

    unsigned m0[3], m1[3];
    vcam_core_set_exposure(cam.c.get(), 20); // nothing saturates
    vcam_core_set_gain(cam.c.get(), 0);
    cam.frames(3);
    cam.means(m0);
    vcam_core_set_balance(cam.c.get(), 8, 16); // the sensor halves red
    cam.frames(1);
    cam.means(m1);
    EXPECT_NEAR(m1[0], m0[0] / 2, 3u);
    EXPECT_NEAR(m1[2], m0[2], 3u);
}

TEST(VcamBinding, PublicationsReachTheSensorAndTheFlagIsCleared) {
    Camera cam(VCAM_ENTRY_IMAGE, 10);
    int seen = 0;
    for (int i = 0; i < 60; ++i) {
        const __u32 before = cam.c->publications;
        cam.frames(1);
        EXPECT_EQ(cam.c->new_exposure, 0);
        if (cam.c->publications != before) {
            ++seen;
            EXPECT_EQ(cam.c->pipe[1].line, cam.c->shutter_line);
            EXPECT_EQ(cam.c->pipe[1].clock, cam.c->shutter_clock);
            EXPECT_EQ(cam.c->pipe[1].gain, cam.c->gain);
            const vcam_regs published = cam.c->pipe[1];
            cam.frames(2);
            EXPECT_EQ(cam.c->applied.line, published.line);
            EXPECT_EQ(cam.c->applied.gain, published.gain);
            i += 2;
        }
    }
    EXPECT_GE(seen, 3);
}

TEST(VcamBinding, AManualHalfKeepsWhatTheApplicationSet) {
    Camera cam(VCAM_ENTRY_IMAGE, 10); // dark: the module wants more gain
    vcam_core_set_auto_gain(cam.c.get(), 0);
    vcam_core_set_gain(cam.c.get(), 20);
    cam.frames(120);
    EXPECT_GT(cam.c->publications, 0u);
    EXPECT_EQ(cam.c->applied.gain, 20);
    EXPECT_EQ(vcam_core_gain(cam.c.get()), 20u);
    EXPECT_EQ(cam.c->applied.line, 0); // the exposure went to a whole frame
}

TEST(VcamLoop, FromADarkStartTheBrightnessSettlesAndSettlesAgainAfterALightChange) {
    for (int entry : {VCAM_ENTRY_IMAGE, VCAM_ENTRY_ALC}) {
        SCOPED_TRACE(entry == VCAM_ENTRY_ALC ? "alc" : "image");
        Camera cam(entry, 10);
        std::vector<unsigned> trace;
        const int first = settle(cam, 150, 128, &trace);
        EXPECT_LT(trace[0], 40u);
        EXPECT_GE(first, 0);
        EXPECT_LE(first, 60);
        cam.c->light = 100;
        const int again = settle(cam, 150, 128, &trace);
        EXPECT_GT(trace[0], 200u);
        EXPECT_GE(again, 0);
        EXPECT_LE(again, 80);
    }
}

// The picture modes the driver turns on by default: from a dark start the
// loop settles on the target in force, which the guard lowers (never below
// its floor) while the scene's brightest grey clips, leaving at most about
// its budget at 255; a rebinding (an automatic half switched back on) keeps
// both modes, and turning the guard off brings the configured target back.
TEST(VcamLoop, WithThePictureModesTheBrightnessSettlesOnALowerTargetUnclipped) {
    const auto clippedPerMille = [](const Camera& cam) {
        unsigned clipped = 0;
        for (unsigned y = 0; y < cam.c->height; ++y)
            for (unsigned x = 0; x < cam.c->width; ++x)
                clipped += cam.pixel(x, y) == 255;
        return clipped * 1000 / (cam.c->width * cam.c->height);
    };
    for (int entry : {VCAM_ENTRY_IMAGE, VCAM_ENTRY_ALC}) {
        SCOPED_TRACE(entry == VCAM_ENTRY_ALC ? "alc" : "image");
        Camera cam(entry, 10), plain(entry, 10);
        vcam_core_set_highlight_guard(cam.c.get(), 1);
        vcam_core_set_robust_wb(cam.c.get(), 1);
        plain.frames(150);
        EXPECT_GT(clippedPerMille(plain), 20u) << "more than the budget clips at 128";
        cam.frames(100);
        const unsigned rest = cam.luma();
        EXPECT_GE(rest, unsigned{QUORVIN_GUARD_DEFAULT_FLOOR});
        EXPECT_LT(rest, 128u - VCAM_TOLERANCE);
        EXPECT_LE(clippedPerMille(cam), 30u);
        Camera fresh(entry, 10);
        vcam_core_set_highlight_guard(fresh.c.get(), 1);
        vcam_core_set_robust_wb(fresh.c.get(), 1);
        const int first = settle(fresh, 150, static_cast<int>(rest));
        EXPECT_GE(first, 0);
        EXPECT_LE(first, 60);

        // Rebinding resets the object's modes: the core sets them again.
        vcam_core_set_auto_gain(cam.c.get(), 0);
        vcam_core_set_auto_gain(cam.c.get(), 1);
        const auto& picture = reinterpret_cast<const AWBObject*>(cam.awb.data())->m_objPictureCtrl;
        EXPECT_EQ(picture.m_byteClipBudget, QUORVIN_GUARD_DEFAULT_BUDGET);
        EXPECT_EQ(picture.m_byteTargetFloor, QUORVIN_GUARD_DEFAULT_FLOOR);
        EXPECT_EQ(picture.m_byteRobustAWB, QUORVIN_AWB_ROBUST);
        cam.frames(60);
        EXPECT_LE(clippedPerMille(cam), 30u);
        vcam_core_set_highlight_guard(cam.c.get(), 0);
        vcam_core_set_robust_wb(cam.c.get(), 0);
        EXPECT_EQ(picture.m_byteClipBudget, 0);
        EXPECT_EQ(picture.m_byteRobustAWB, QUORVIN_AWB_GREY_WORLD);
        EXPECT_GE(settle(cam, 150, 128), 0);
    }
}

TEST(VcamLoop, TwoCamerasRunningTogetherDoNotInterfere) {
    Camera a(VCAM_ENTRY_IMAGE, 10), b(VCAM_ENTRY_ALC, 400), alone(VCAM_ENTRY_IMAGE, 10);
    vcam_core_set_target(b.c.get(), 96);
    std::vector<unsigned> la, lb, lalone;
    for (int i = 0; i < 150; ++i) {
        la.push_back(a.frames(1));
        lb.push_back(b.frames(1));
        lalone.push_back(alone.frames(1));
    }
    EXPECT_EQ(la, lalone);
    EXPECT_NEAR(la.back(), 128u, 10u);
    EXPECT_NEAR(lb.back(), 96u, 10u);
}

TEST(VcamControls, ReturningToAutoStartsFromWhatTheCameraHas) {
    Camera cam(VCAM_ENTRY_IMAGE, 100);
    ASSERT_GE(settle(cam, 120, 128), 0);
    vcam_core_set_auto_exposure(cam.c.get(), 0);
    vcam_core_set_exposure(cam.c.get(), 300); // 30 ms: far too bright
    cam.frames(5);
    EXPECT_GT(cam.luma(), 200u);
    vcam_core_set_auto_exposure(cam.c.get(), 1);
    // The object starts again from the sensor's 30 ms ...
    EXPECT_EQ(vcam_core_exposure_clocks(cam.c.get(), cam.c->shutter_line, cam.c->shutter_clock),
              300u * VCAM_CLOCKS_PER_100US);
    EXPECT_EQ(vcam_core_exposure(cam.c.get()), 300u);
    // ... and its first step goes down from there.
    const __u32 before = cam.c->publications;
    while (cam.c->publications == before)
        cam.frames(1);
    EXPECT_LT(vcam_core_exposure(cam.c.get()), 300u);
    EXPECT_GE(settle(cam, 120, 128), 0);

    // The same for the gain, and the target survives the rebinding.
    vcam_core_set_target(cam.c.get(), 100);
    vcam_core_set_auto_gain(cam.c.get(), 0);
    vcam_core_set_gain(cam.c.get(), 40);
    cam.frames(5);
    vcam_core_set_auto_gain(cam.c.get(), 1);
    EXPECT_EQ(cam.c->gain, 40);
    EXPECT_GE(settle(cam, 150, 100), 0);
}

TEST(VcamControls, ExposureReadsThePublishedShutterWithinTheControlRange) {
    Camera cam(VCAM_ENTRY_IMAGE, 10);
    cam.frames(60); // dark: the module asks for a whole frame, (0, 0)
    EXPECT_EQ(cam.c->shutter_line, 0);
    EXPECT_EQ(vcam_core_exposure(cam.c.get()), 333u); // 1/30 s
    vcam_core_set_fps(cam.c.get(), 15);
    EXPECT_EQ(vcam_core_exposure(cam.c.get()), static_cast<__u32>(VCAM_EXPOSURE_MAX));
    vcam_core_set_auto_exposure(cam.c.get(), 0);
    vcam_core_set_exposure(cam.c.get(), 0);
    EXPECT_EQ(vcam_core_exposure(cam.c.get()), 1u);
    vcam_core_set_exposure(cam.c.get(), 123);
    EXPECT_EQ(vcam_core_exposure(cam.c.get()), 123u);
}

TEST(VcamControls, OneShotWhiteBalanceMovesRedAndBlueThenHolds) {
    Camera cam(VCAM_ENTRY_IMAGE, 100);
    vcam_core_set_auto_wb(cam.c.get(), 0);
    vcam_core_set_balance(cam.c.get(), 16, 16);
    cam.frames(60);
    EXPECT_EQ(cam.c->r, 16);
    EXPECT_EQ(cam.c->b, 16);
    vcam_core_do_white_balance(cam.c.get());
    cam.frames(150);
    // Warm light: less red, more blue.
    EXPECT_LT(cam.c->r, 16);
    EXPECT_GT(cam.c->b, 16);
    const __u16 r = cam.c->r, b = cam.c->b;
    cam.c->light = 30; // a new scene level does not restart it
    cam.frames(100);
    EXPECT_EQ(cam.c->r, r);
    EXPECT_EQ(cam.c->b, b);
}

} // namespace
