// SPDX-License-Identifier: GPL-2.0 OR MIT
// Fuzz target: the exported operations, driven the way a camera driver drives
// them. One input is a sequence of calls on one or two balance objects: frame
// sizes from 0 x 0 to a few hundred pixels, frame contents, frame timing
// (including 0 lines and 0 clocks per line), every setter with any value,
// every mode byte, manual gains with any driver value, corrected copies from a
// separate source buffer, re-initialisation, release, and calls on null and
// never-initialised objects.
//
// Next to every call runs a model of the object (fuzz/model.h); after each
// call the object, the driver's variables and the frame must agree with it.
// Any disagreement aborts. Frame bytes beyond width x height are poisoned, so
// AddressSanitizer stops any access outside the frame.
#include "AWB/AWB.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/model.h"
#include "tests/support/quorvin_camera.h"

#include <sanitizer/asan_interface.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Largest frame a run uses; the frame buffer is allocated once at this size.
constexpr uint32_t kMaxFrame = 16 * 1024;
constexpr uint32_t kMaxSide = 400;
// Work one input may do; the input ends there. A call that passes over the
// frame (a per-frame call, a correction) costs its pixels plus kCallCost, the
// time the core and the checks take whatever the frame's size, in pixels.
// It bounds the time of one run: the fuzzer favours inputs whose large frames
// reach the pixel loops' higher iteration counts, and inputs of many frames
// for the higher hit counts of every edge on the per-frame path; without a
// bound those would dominate the campaign.
constexpr size_t kCallCost = 512;
constexpr size_t kWorkBudget = 32 * 1024;
size_t g_work = 0;

using fuzz_support::bytes_differ;
using fuzz_support::check_lum_state;
using fuzz_support::Input;

// The model's gain tables, each built the first time the fuzzer's process
// needs it (32 MiB, of which only the pages of the gains used are ever
// touched): the tables are checked after every call, and most gains recur
// from input to input.
struct TableCache {
    bool built[2][65536];
    uint8_t entry[2][65536][256];
};
TableCache g_tables;

const uint8_t* expected_table(uint16_t gain, qmodel::TableRule rule) {
    const int r = rule == qmodel::TableRule::Auto ? 0 : 1;
    if (!g_tables.built[r][gain]) {
        qmodel::build_table(gain, rule, g_tables.entry[r][gain]);
        g_tables.built[r][gain] = true;
    }
    return g_tables.entry[r][gain];
}

// A weighted average the model took of the frame's statistics, with the
// weights it took it with.
struct WeightedAverage {
    uint64_t version = ~uint64_t{0}; // the frame's version it belongs to
    uint8_t weight[16];
    uint8_t value[4];
};

// A camera driver's variables for one balance object, and what the harness
// knows of them.
struct Camera : QuorvinCameraVars {
    AWBObject* obj = nullptr; // exactly Quorvin_GetAWBObjectSize() bytes
    uint8_t* frame = nullptr; // kMaxFrame bytes, poisoned beyond w x h
    bool bound = false;
    qmodel::TableRule rule[4] = {};
    // What the model computed of the frame is kept while the frame stays as
    // it is: version counts every change of its size or contents.
    uint64_t version = 0;
    uint64_t stats_version = ~uint64_t{0};
    qmodel::Stats stats;
    WeightedAverage brightness, colour;
};

// The driver before its first frame: 480 lines of 800 clocks, shutter 100
// lines, gain 0, colour gains x1.0, nothing bound, any frame size.
void reset(Camera& cam) {
    quorvin_camera_init(&cam, 0, 0, 480, 800, 100);
    cam.bound = false;
    ++cam.version;
}

// Table k of the object must be rule k applied to its gain k.
bool table_follows_gain(const Camera& cam, const CWhiteBalanceCtrl& wb, int k) {
    return !bytes_differ(wb.m_ppbyteTable[k], expected_table(wb.m_pwGain[k], cam.rule[k]), 256);
}

// Scratch for the frame a call is expected to leave.
uint8_t g_expect[kMaxFrame];

void poison_frame(Camera& cam) {
    const size_t used = static_cast<size_t>(cam.width) * cam.height;
    ASAN_UNPOISON_MEMORY_REGION(cam.frame, kMaxFrame);
    ASAN_POISON_MEMORY_REGION(cam.frame + used, kMaxFrame - used);
}

void set_size(Camera& cam, Input& in) {
    uint32_t w, h;
    in.frame_sides(w, h, kMaxSide, kMaxFrame);
    cam.width = w;
    cam.height = h;
    ++cam.version;
    poison_frame(cam);
}

size_t frame_size(const Camera& cam) {
    return static_cast<size_t>(cam.width) * cam.height;
}

// A call that passes over the frame.
void charge(const Camera& cam) {
    g_work += kCallCost + frame_size(cam);
}

void bind(Camera& cam, Input& in) {
    cam.shutter_line = in.u16();
    cam.shutter_clock = in.u16();
    for (uint16_t& g : cam.init_gains)
        g = in.u16();
    const uint16_t initial_gain = in.u16();
    const uint16_t digital = in.u16();
    const int trigger = static_cast<int>(in.u32());
    const uint16_t line_before = cam.shutter_line, clock_before = cam.shutter_clock;
    const uint16_t gain_before = cam.gain, r = cam.r, g = cam.g, b = cam.b;
    const int flag = cam.flag;
    quorvin_camera_bind(&cam, cam.obj, cam.frame, initial_gain, digital, trigger);
    // Binding writes nothing through the bound pointers.
    CHECK(cam.shutter_line == line_before && cam.shutter_clock == clock_before);
    CHECK(cam.gain == gain_before && cam.r == r && cam.g == g && cam.b == b && cam.flag == flag);
    const AWBObject& o = *cam.obj;
    CHECK(o.magic == QUORVIN_AWB_MAGIC && o.wColorArray == 2);
    const CWhiteBalanceCtrl& wb = o.m_objWhiteBalanceCtrl;
    CHECK(wb.m_byteMode == 2 && wb.m_byteAWBRestSkipCount == 0);
    for (int k = 0; k < 4; ++k) {
        CHECK(wb.m_pwGain[k] == cam.init_gains[k]);
        cam.rule[k] = qmodel::TableRule::Auto;
        CHECK(table_follows_gain(cam, wb, k));
    }
    const CLuminanceCtrl& lum = o.m_objLuminanceCtrl;
    CHECK(lum.m_byteMode == 0x11 && lum.m_wCDSGain == initial_gain);
    CHECK(lum.m_wShutterLine == line_before && lum.m_wShutterClock == clock_before);
    CHECK((lum.m_bClockUnitShutterCtrl != FALSE) == (trigger != 0));
    cam.bound = true;
}

// The driver-side values that only a publication may change.
struct Published {
    uint16_t line, clock, gain;
    int flag;
    uint16_t r, g, b;
};
Published published(const Camera& cam) {
    return {cam.shutter_line, cam.shutter_clock, cam.gain, cam.flag, cam.r, cam.g, cam.b};
}
bool same(const Published& a, const Published& b) {
    return a.line == b.line && a.clock == b.clock && a.gain == b.gain && a.flag == b.flag &&
           a.r == b.r && a.g == b.g && a.b == b.b;
}

// The luminance record's fields, compared one by one (never the padding).
void check_lum(const CLuminanceCtrl& want, const CLuminanceCtrl& got) {
    check_lum_state(want, got);
    CHECK(got.m_bClockUnitShutterCtrl == want.m_bClockUnitShutterCtrl);
    CHECK(got.m_wIniCDSGain == want.m_wIniCDSGain);
    CHECK(got.m_byteTarget == want.m_byteTarget && got.m_byteTolerance == want.m_byteTolerance &&
          got.m_byteThreshold == want.m_byteThreshold);
    CHECK(got.m_byteGainCtrlSpeedLimit == want.m_byteGainCtrlSpeedLimit &&
          got.m_byteShutterCtrlSpeedLimit == want.m_byteShutterCtrlSpeedLimit &&
          got.m_byteSkipFrameCount == want.m_byteSkipFrameCount &&
          got.m_byteAverageFrameCount == want.m_byteAverageFrameCount);
    CHECK(got.m_wAutoMaxShutterLine == want.m_wAutoMaxShutterLine &&
          got.m_wAutoMaxShutterClock == want.m_wAutoMaxShutterClock &&
          got.m_wAutoMinShutterLine == want.m_wAutoMinShutterLine &&
          got.m_wAutoMinShutterClock == want.m_wAutoMinShutterClock &&
          got.m_wAutoMaxCDSGain == want.m_wAutoMaxCDSGain &&
          got.m_wAutoMinCDSGain == want.m_wAutoMinCDSGain);
    CHECK(!bytes_differ(got.m_pbyteWeight, want.m_pbyteWeight, 16));
    CHECK(got.fops == want.fops);
}

void check_wb(const Camera& cam, const CWhiteBalanceCtrl& want, const CWhiteBalanceCtrl& got) {
    CHECK(got.m_wColorArray == want.m_wColorArray);
    CHECK(got.m_byteMode == want.m_byteMode);
    CHECK(got.m_wThreshold == want.m_wThreshold && got.m_wTolerance == want.m_wTolerance);
    for (int k = 0; k < 4; ++k) {
        CHECK(got.m_pwGain[k] == want.m_pwGain[k]);
        // Table k always follows gain k, by the rule that last built it.
        CHECK(table_follows_gain(cam, got, k));
    }
    CHECK(got.m_pwTarget[0] == want.m_pwTarget[0] && got.m_pwTarget[1] == want.m_pwTarget[1]);
    CHECK(!bytes_differ(got.m_pbyteAWBWeight, want.m_pbyteAWBWeight, 16));
    CHECK(got.m_byteAWBSkipCount == want.m_byteAWBSkipCount &&
          got.m_byteAWBSamplingCount == want.m_byteAWBSamplingCount);
    CHECK(got.m_byteAWBAlredySamplingCount == want.m_byteAWBAlredySamplingCount);
    CHECK(got.m_bAWBStarted == want.m_bAWBStarted);
    CHECK(got.m_byteAWBRestSkipCount == want.m_byteAWBRestSkipCount);
    if (want.m_byteAWBAlredySamplingCount != 0)
        for (int c = 0; c < 4; ++c)
            CHECK(got.m_pdwSumOfSamplingAWB[c] == want.m_pdwSumOfSamplingAWB[c]);
}

// The statistics must be those of the frame as it is now.
void check_stats(Camera& cam) {
    qmodel::Stats& s = cam.stats;
    if (cam.stats_version != cam.version) {
        qmodel::measure(cam.frame, cam.width, cam.height, 2, s);
        cam.stats_version = cam.version;
    }
    const CAveragePixelValue& st = cam.obj->m_objAveragePixelValue;
    CHECK(st.m_dwImageWidth == cam.width && st.m_dwImageHeight == cam.height);
    CHECK(st.m_wColorArray == 2 && st.m_bAreaChangeFg == FALSE);
    static_assert(sizeof st.m_pdwImagePosX == sizeof s.pos_x, "positions compared whole");
    static_assert(sizeof st.m_pdwAreaPixelCount == sizeof s.count, "counts compared whole");
    static_assert(sizeof st.m_pbyteAverage == sizeof s.average, "averages compared whole");
    CHECK(!bytes_differ(st.m_pdwImagePosX, s.pos_x, sizeof s.pos_x));
    CHECK(!bytes_differ(st.m_pdwImagePosY, s.pos_y, sizeof s.pos_y));
    CHECK(!bytes_differ(st.m_pdwAreaPixelCount, s.count, sizeof s.count));
    CHECK(!bytes_differ(st.m_pbyteAverage, s.average, sizeof s.average));
}

// The model's brightness level (colour false) or colour averages of the
// statistics check_stats last confirmed, taken again only when the frame or
// the weights have changed since.
const uint8_t* weighted_average(Camera& cam, WeightedAverage& memo, const uint8_t* weight,
                                bool colour) {
    if (memo.version != cam.stats_version || bytes_differ(memo.weight, weight, 16)) {
        if (colour)
            qmodel::color_average(cam.stats.average, 2, weight, memo.value);
        else
            memo.value[0] = qmodel::brightness(cam.stats.average, 2, weight);
        std::memcpy(memo.weight, weight, 16);
        memo.version = cam.stats_version;
    }
    return memo.value;
}

// The frame a correction from src by the tables of wb leaves, into g_expect;
// a new version of the frame when it differs.
void expect_correction(Camera& cam, const CWhiteBalanceCtrl& wb, const uint8_t* src) {
    const size_t n = frame_size(cam);
    std::memcpy(g_expect, cam.frame, n);
    qmodel::correct(wb, cam.width, cam.height, 2, src, g_expect);
    if (bytes_differ(g_expect, cam.frame, n))
        ++cam.version;
}

// One per-frame call, Quorvin_ALCWBalance or (correct_first) Quorvin_ImageBalance.
void frame_call(Camera& cam, bool correct_first) {
    const size_t n = frame_size(cam);
    charge(cam);
    AWBObject& o = *cam.obj;
    const CWhiteBalanceCtrl wb_before = o.m_objWhiteBalanceCtrl;
    CWhiteBalanceCtrl wb = wb_before;
    CLuminanceCtrl lum = o.m_objLuminanceCtrl;
    const Published pub_before = published(cam);

    bool wb_run = qmodel::wb_due(wb, true);
    for (int q = 1; correct_first && q < 4 && !wb_run; ++q)
        wb_run = qmodel::wb_due(wb, true);
    const bool lum_run = qmodel::lum_due(lum, true);
    if ((wb_run || lum_run) && correct_first)
        expect_correction(cam, wb_before, cam.frame);
    else
        std::memcpy(g_expect, cam.frame, n);

    const int rc = correct_first ? Quorvin_ImageBalance(&o) : Quorvin_ALCWBalance(&o);
    CHECK(rc == 0);
    CHECK(!bytes_differ(cam.frame, g_expect, n));
    CHECK(o.magic == QUORVIN_AWB_MAGIC);

    const bool timing_ok = cam.hclock != 0;
    bool lum_published = false;
    if (wb_run || lum_run) {
        check_stats(cam);
        if (lum_run && timing_ok) {
            const uint8_t level = *weighted_average(cam, cam.brightness, lum.m_pbyteWeight, false);
            lum_published = qmodel::lum_update(lum, {cam.vlines, cam.hclock}, level);
        }
        if (wb_run)
            qmodel::wb_update(wb, weighted_average(cam, cam.colour, wb.m_pbyteAWBWeight, true));
    }
    for (int k : {0, 3})
        if (wb.m_pwGain[k] != wb_before.m_pwGain[k]) {
            CHECK(wb.m_pwGain[k] <= 1023); // automatic gains stay below x8
            cam.rule[k] = qmodel::TableRule::Auto;
        }
    check_wb(cam, wb, o.m_objWhiteBalanceCtrl);

    const CLuminanceCtrl& got = o.m_objLuminanceCtrl;
    if (!lum_run || timing_ok) {
        check_lum(lum, got);
    } else {
        // Zero clocks per line: no expectation beyond a sane record.
        CHECK(got.m_byteRestSkipCount == got.m_byteSkipFrameCount ||
              got.m_byteAlreadySampleingCount != 0 || got.m_byteMode == 0);
    }

    // The driver's variables: colour gains when white balance ran, shutter,
    // gain and the flag only through a publication, and the flag only ever 1.
    Published want = pub_before;
    if (wb_run) {
        want.r = static_cast<uint16_t>(wb.m_pwGain[0] >> 3);
        want.g = static_cast<uint16_t>(wb.m_pwGain[1] >> 3);
        want.b = static_cast<uint16_t>(wb.m_pwGain[3] >> 3);
    }
    const Published now = published(cam);
    if (lum_run && !timing_ok) {
        lum_published = now.flag != pub_before.flag || now.gain != pub_before.gain ||
                        now.line != pub_before.line || now.clock != pub_before.clock;
    }
    if (lum_published) {
        want.gain = got.m_wCDSGain;
        want.line = got.m_wShutterLine;
        want.clock = got.m_wShutterClock;
        want.flag = 1;
    }
    CHECK(same(want, now));
}

void check_untouched_driver(const Camera& cam, const Published& before) {
    CHECK(same(before, published(cam)));
}

// Calls on a null pointer and on memory that was never initialised: refused,
// and nothing is touched.
void invalid_calls(Input& in) {
    std::vector<uint8_t> junk(static_cast<size_t>(Quorvin_GetAWBObjectSize()));
    in.take(junk.data(), junk.size()); // the bytes the input no longer has stay 0
    if (junk.size() >= 4 && !bytes_differ(junk.data(), "\xBE\xEB\xAF\xFA", 4))
        junk[0] ^= 1; // never the magic by accident
    const std::vector<uint8_t> copy = junk;
    uint8_t src[4] = {1, 2, 3, 4};
    uint8_t target[3] = {1, 2, 3};
    for (void* p : {static_cast<void*>(nullptr), static_cast<void*>(junk.data())}) {
        const uint8_t v = in.u8();
        CHECK(Quorvin_ALCWBalance(p) == -QUORVIN_EINVAL);
        CHECK(Quorvin_ImageBalance(p) == -QUORVIN_EINVAL);
        CHECK(Quorvin_ColorProcessing(p) == -QUORVIN_EINVAL);
        CHECK(Quorvin_ImageProcessing(p, src) == -QUORVIN_EINVAL);
        CHECK(Quorvin_SetAutoAWB(p, v) == -QUORVIN_EINVAL);
        CHECK(Quorvin_SetAutoGain(p, v) == -QUORVIN_EINVAL);
        CHECK(Quorvin_SetAutoExposure(p, v) == -QUORVIN_EINVAL);
        CHECK(Quorvin_CLuminance_SetTarget(p, target) == FALSE);
        CHECK(Quorvin_CLuminance_SetCtrlSpeed(p, v, v, v, v) == FALSE);
        Quorvin_Set_Gain(p);
        Quorvin_Set_Auto_Max_Gain(p, v);
        Quorvin_Set_Auto_Min_Gain(p, v);
        Quorvin_Set_Auto_Max_Shutter(p, v);
        Quorvin_Set_Auto_Min_Shutter(p, v);
        Quorvin_Set_Auto_Max_ShutterC(p, v);
        Quorvin_Set_Auto_Min_ShutterC(p, v);
        Quorvin_FreeAWBObject(p);
    }
    CHECK(junk == copy);
}

void step(Camera* cams, Input& in) {
    const uint8_t op = in.u8();
    Camera& cam = cams[(op >> 7) & 1];
    const unsigned kind = op & 0x7F;
    if (!cam.bound && kind % 24 != 0 && kind % 24 != 23) {
        bind(cam, in);
        return;
    }
    AWBObject* o = cam.obj;
    const Published pub = published(cam);
    switch (kind % 24) {
    case 0: // (re)bind
        bind(cam, in);
        break;
    case 1: { // release; the object is bound again before further use
        Quorvin_FreeAWBObject(o);
        Quorvin_FreeAWBObject(o);
        check_untouched_driver(cam, pub);
        cam.bound = false;
        break;
    }
    case 2: // the driver changes the frame size
        set_size(cam, in);
        break;
    case 3: { // new frame contents
        const size_t n = frame_size(cam);
        const uint8_t mode = in.u8();
        ++cam.version;
        if (mode % 3 == 0) {
            std::memset(cam.frame, in.u8(), n);
        } else if (mode % 3 == 1) {
            // a + b i + the row of pixel i
            const uint8_t a = in.u8(), b = in.u8();
            for (size_t i = 0, row = 0; row < cam.height; ++row)
                for (uint32_t x = 0; x < cam.width; ++x, ++i)
                    cam.frame[i] = static_cast<uint8_t>(a + b * i + row);
        } else {
            const size_t got = in.take(cam.frame, n);
            for (size_t i = got; i < n; ++i)
                cam.frame[i] = cam.frame[i - got];
        }
        break;
    }
    case 4: // frame timing, 0 lines and 0 clocks included
        cam.vlines = in.u16();
        cam.hclock = (in.u8() & 1) ? static_cast<uint16_t>(in.u16() % 2048) : in.u16();
        break;
    case 5:
    case 6:
    case 7:
        frame_call(cam, kind % 24 == 6);
        break;
    case 8: { // several frames in a row, to get through the skip counts
        unsigned n = 1 + in.u8() % 12u;
        if (frame_size(cam) > 4096) // large frames one at a time, within the budget
            n = 1;
        const bool correct_first = in.u8() & 1;
        for (unsigned i = 0; i < n; ++i)
            frame_call(cam, correct_first);
        break;
    }
    case 9: { // in-place correction
        charge(cam);
        expect_correction(cam, o->m_objWhiteBalanceCtrl, cam.frame);
        CHECK(Quorvin_ColorProcessing(o) == TRUE);
        CHECK(!bytes_differ(cam.frame, g_expect, frame_size(cam)));
        check_untouched_driver(cam, pub);
        break;
    }
    case 10: { // corrected copy from a separate source of exactly the frame size
        charge(cam);
        const size_t n = frame_size(cam);
        uint8_t* src = static_cast<uint8_t*>(std::malloc(n ? n : 1));
        for (size_t i = 0; i < n; ++i)
            src[i] = static_cast<uint8_t>(in.u8() ^ (i * 7));
        static uint8_t src_copy[kMaxFrame];
        std::memcpy(src_copy, src, n);
        expect_correction(cam, o->m_objWhiteBalanceCtrl, src);
        CHECK(Quorvin_ImageProcessing(o, src) == TRUE);
        CHECK(!bytes_differ(cam.frame, g_expect, n));
        CHECK(!bytes_differ(src, src_copy, n));
        std::free(src);
        check_untouched_driver(cam, pub);
        break;
    }
    case 11: { // corrected copy onto itself
        charge(cam);
        expect_correction(cam, o->m_objWhiteBalanceCtrl, cam.frame);
        CHECK(Quorvin_ImageProcessing(o, cam.frame) == TRUE);
        CHECK(!bytes_differ(cam.frame, g_expect, frame_size(cam)));
        break;
    }
    case 12: {
        const uint8_t mode = in.u8();
        CHECK(Quorvin_SetAutoAWB(o, mode) == 0);
        CHECK(o->m_objWhiteBalanceCtrl.m_byteMode == mode);
        check_untouched_driver(cam, pub);
        break;
    }
    case 13:
    case 14: { // the gain's half of the luminance mode (low four bits) or the exposure's (high)
        const bool gain = kind % 24 == 13;
        const unsigned half = gain ? 0x0Fu : 0xF0u;
        const uint8_t mode = in.u8(), old = o->m_objLuminanceCtrl.m_byteMode;
        CHECK((gain ? Quorvin_SetAutoGain(o, mode) : Quorvin_SetAutoExposure(o, mode)) == 0);
        CHECK(o->m_objLuminanceCtrl.m_byteMode == ((mode & half) | (old & (0xFFu ^ half))));
        check_untouched_driver(cam, pub);
        break;
    }
    case 15: { // target, tolerance, threshold: exactly three bytes are read
        uint8_t* t = static_cast<uint8_t*>(std::malloc(3));
        t[0] = in.u8();
        t[1] = in.u8();
        t[2] = in.u8();
        CHECK(Quorvin_CLuminance_SetTarget(o, t) == TRUE);
        const CLuminanceCtrl& l = o->m_objLuminanceCtrl;
        CHECK(l.m_byteTarget == t[0] && l.m_byteTolerance == t[1] && l.m_byteThreshold == t[2]);
        std::free(t);
        check_untouched_driver(cam, pub);
        break;
    }
    case 16: {
        const uint8_t s = in.u8(), gs = in.u8(), skip = in.u8(), avg = in.u8();
        CHECK(Quorvin_CLuminance_SetCtrlSpeed(o, s, gs, skip, avg) == TRUE);
        const CLuminanceCtrl& l = o->m_objLuminanceCtrl;
        CHECK(l.m_byteShutterCtrlSpeedLimit == s && l.m_byteGainCtrlSpeedLimit == gs &&
              l.m_byteSkipFrameCount == skip && l.m_byteAverageFrameCount == avg);
        check_untouched_driver(cam, pub);
        break;
    }
    case 17: { // manual colour gains, any driver value
        cam.r = in.u16();
        cam.g = in.u16();
        cam.b = in.u16();
        const Published with_gains = published(cam);
        const CWhiteBalanceCtrl before = o->m_objWhiteBalanceCtrl;
        Quorvin_Set_Gain(o);
        const CWhiteBalanceCtrl& wb = o->m_objWhiteBalanceCtrl;
        const uint16_t want[4] = {
            static_cast<uint16_t>(cam.r << 3), static_cast<uint16_t>(cam.g << 3),
            static_cast<uint16_t>(cam.g << 3), static_cast<uint16_t>(cam.b << 3)};
        for (int k = 0; k < 4; ++k) {
            CHECK(wb.m_pwGain[k] == want[k]);
            cam.rule[k] = qmodel::TableRule::Manual;
            CHECK(qmodel::table_matches(wb.m_ppbyteTable[k], want[k], cam.rule[k]));
        }
        CHECK(wb.m_byteMode == before.m_byteMode && wb.m_bAWBStarted == before.m_bAWBStarted);
        CHECK(wb.m_byteAWBRestSkipCount == before.m_byteAWBRestSkipCount);
        CHECK(wb.m_byteAWBAlredySamplingCount == before.m_byteAWBAlredySamplingCount);
        check_untouched_driver(cam, with_gains);
        break;
    }
    case 18:
    case 19: { // one automatic limit, any value (a minimum above its maximum included)
        struct Limit {
            void (*set)(void*, WORD);
            WORD CLuminanceCtrl::*field;
        };
        static const Limit limits[6] = {
            {Quorvin_Set_Auto_Max_Gain, &CLuminanceCtrl::m_wAutoMaxCDSGain},
            {Quorvin_Set_Auto_Min_Gain, &CLuminanceCtrl::m_wAutoMinCDSGain},
            {Quorvin_Set_Auto_Max_Shutter, &CLuminanceCtrl::m_wAutoMaxShutterLine},
            {Quorvin_Set_Auto_Min_Shutter, &CLuminanceCtrl::m_wAutoMinShutterLine},
            {Quorvin_Set_Auto_Max_ShutterC, &CLuminanceCtrl::m_wAutoMaxShutterClock},
            {Quorvin_Set_Auto_Min_ShutterC, &CLuminanceCtrl::m_wAutoMinShutterClock}};
        const Limit& limit = limits[in.u8() % 6];
        const uint16_t v = (in.u8() & 1) ? static_cast<uint16_t>(in.u8()) : in.u16();
        limit.set(o, v);
        CHECK(o->m_objLuminanceCtrl.*limit.field == v);
        check_untouched_driver(cam, pub);
        break;
    }
    case 20: // the driver sends the values and clears the flag, or writes its own
        cam.flag = (in.u8() & 1) ? 0 : static_cast<int>(in.u32());
        cam.shutter_line = in.u16();
        cam.shutter_clock = in.u16();
        cam.gain = in.u16();
        break;
    case 21: // the driver writes its colour gains without asking for them
        cam.r = in.u16();
        cam.g = in.u16();
        cam.b = in.u16();
        break;
    case 22:
        CHECK(Quorvin_GetAWBObjectSize() == static_cast<int>(sizeof(AWBObject)));
        break;
    default:
        invalid_calls(in);
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Camera cams[2];
    static bool ready = false;
    if (!ready) {
        for (Camera& c : cams) {
            c.obj = static_cast<AWBObject*>(
                std::malloc(static_cast<size_t>(Quorvin_GetAWBObjectSize())));
            c.frame = static_cast<uint8_t*>(std::malloc(kMaxFrame));
        }
        ready = true;
    }
    // Every input reaches the core at least here, so that the fuzzer starts
    // even from an empty corpus.
    CHECK(Quorvin_GetAWBObjectSize() == static_cast<int>(sizeof(AWBObject)));
    Input in(data, size);
    for (Camera& c : cams) {
        // A fresh driver for every input: no state carries over between runs
        // (the expected tables are the model's, whatever the object).
        reset(c);
        std::memset(c.obj, 0, sizeof(AWBObject));
        set_size(c, in);
        std::memset(c.frame, 0x80, frame_size(c));
    }
    g_work = 0;
    for (int n = 0; n < 64 && !in.empty() && g_work < kWorkBudget; ++n)
        step(cams, in);
    return 0;
}
