/* SPDX-License-Identifier: GPL-2.0 OR MIT */
// A fake camera for the luminance controller tests: serves a frame timing,
// counts every callback and records what was published.
#ifndef QUORVIN_TESTS_TEST_LUMINANCE_FAKE_H
#define QUORVIN_TESTS_TEST_LUMINANCE_FAKE_H

#include <AWB/LuminanceCtrl.h>

#include <type_traits>
#include <vector>

struct Published {
    WORD gain;
    WORD line;
    WORD clock;
    bool operator==(const Published& o) const {
        return gain == o.gain && line == o.line && clock == o.clock;
    }
};

struct FakeCamera;

// The controller with a pointer to its camera right behind it; a standard
// layout record, so the controller's address is the holder's.
struct FakeHolder {
    CLuminanceCtrl ctrl;
    FakeCamera* cam;
};

static_assert(std::is_standard_layout<FakeHolder>::value, "the holder is stepped back to");

struct FakeCamera {
    FakeHolder holder{};
    CLuminanceCtrl& ctrl = holder.ctrl;
    WORD lines_per_frame = 1000;
    WORD clocks_per_line = 1000;
    BOOL publish_result = TRUE;
    int frame_clock_calls = 0;
    int publish_calls = 0;
    std::vector<Published> published;

    static FakeCamera* from(CLuminanceCtrl* c) { return reinterpret_cast<FakeHolder*>(c)->cam; }
    static BOOL Publish(CLuminanceCtrl* c) {
        FakeCamera* cam = from(c);
        ++cam->publish_calls;
        cam->published.push_back({c->m_wCDSGain, c->m_wShutterLine, c->m_wShutterClock});
        return cam->publish_result;
    }
    static BOOL FrameClock(CLuminanceCtrl* c, PWORD pwLinePerFrame, PWORD pwClockPerLine) {
        FakeCamera* cam = from(c);
        ++cam->frame_clock_calls;
        *pwLinePerFrame = cam->lines_per_frame;
        *pwClockPerLine = cam->clocks_per_line;
        return FALSE; // as the balance object's own callback does
    }

    LuminanceCtrlFOPS fops = {&FakeCamera::Publish, &FakeCamera::FrameClock};

    // clock_unit selects the shutter unit; line, clock the current shutter.
    explicit FakeCamera(bool clock_unit = true, WORD line = 100, WORD clock = 0, WORD gain = 64) {
        holder.cam = this;
        CLuminanceCtrl_init(&ctrl, line, clock, gain, 0, clock_unit ? TRUE : FALSE, &fops);
    }
    FakeCamera(const FakeCamera&) = delete;
    FakeCamera& operator=(const FakeCamera&) = delete;

    void reset_counts() {
        frame_clock_calls = 0;
        publish_calls = 0;
        published.clear();
    }
    DWORD exposure() { return mdwGetExposureClock(&ctrl); }
};

#endif
