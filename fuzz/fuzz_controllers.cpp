// SPDX-License-Identifier: GPL-2.0 OR MIT
// Fuzz target: the controllers on their own, with records in any reachable
// state. Area statistics and weighted averages for every colour array code
// (1 to 5 and others), gain tables, pixel correction in place and into a
// second buffer, the white balance gate and step, the exposure arithmetic, the
// gain and exposure steps, the status check and the exposure and gain loop.
// Each result is compared with the model in fuzz/model.h; buffers are
// allocated at exactly the size the call may use.
#include "AWB/AveragePixelValue.h"
#include "AWB/LuminanceCtrl.h"
#include "AWB/WhiteBalanceCtrl.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/model.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using fuzz_support::bytes_differ;
using fuzz_support::check_lum_state;
using fuzz_support::Input;

// A buffer of exactly n bytes (AddressSanitizer guards both ends).
struct Buffer {
    explicit Buffer(size_t n) : size(n), data(static_cast<uint8_t*>(std::malloc(n ? n : 1))) {}
    ~Buffer() { std::free(data); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    size_t size;
    uint8_t* data;
};

// Colour array codes: mostly the named ones, sometimes anything.
uint16_t code_from(Input& in) {
    const uint8_t c = in.u8();
    return c < 200 ? static_cast<uint16_t>(1 + c % 5) : static_cast<uint16_t>(in.u16());
}

void fill(Input& in, uint8_t* p, size_t n) {
    const uint8_t how = in.u8() % 4;
    const uint8_t a = in.u8(), b = in.u8();
    for (size_t i = 0; i < n; ++i) {
        switch (how) {
        case 0:
            p[i] = a;
            break;
        case 1:
            p[i] = static_cast<uint8_t>(a + b * i);
            break;
        case 2:
            p[i] = (i & 1) ? a : b;
            break;
        default:
            p[i] = in.u8();
            break;
        }
    }
}

// Pixels one input may measure or correct; the input ends there, so that
// the inputs with large frames that the fuzzer favours stay affordable.
constexpr size_t kPixelBudget = 128 * 1024;
size_t g_pixels = 0;

void frame_size(Input& in, uint32_t& w, uint32_t& h) {
    in.frame_sides(w, h, 300, 65536);
    g_pixels += static_cast<size_t>(w) * h;
}

// ---------------------------------------------------------------------------
// Area statistics and weighted averages

void fuzz_statistics(Input& in) {
    CAveragePixelValue st;
    std::memset(&st, in.u8(), sizeof st);
    CAveragePixelValue_init(&st);
    for (int round = 0; round < 3; ++round) {
        uint32_t w, h;
        frame_size(in, w, h);
        const uint16_t code = code_from(in);
        Buffer frame(static_cast<size_t>(w) * h);
        fill(in, frame.data, frame.size);
        const std::vector<uint8_t> copy(frame.data, frame.data + frame.size);
        const CAveragePixelValue before = st;

        CHECK(UpdateAverage(&st, w, h, code, frame.data) == TRUE);
        CHECK(!bytes_differ(frame.data, copy.data(), frame.size)); // read only

        qmodel::Stats s;
        qmodel::measure(frame.data, w, h, code, s);
        CHECK(st.m_dwImageWidth == w && st.m_dwImageHeight == h && st.m_wColorArray == code);
        CHECK(st.m_bAreaChangeFg == FALSE);
        uint64_t total = 0;
        for (int i = 0; i < 4; ++i)
            CHECK(st.m_pdwImagePosX[i] == s.pos_x[i] && st.m_pdwImagePosY[i] == s.pos_y[i]);
        for (int a = 0; a < 16; ++a) {
            for (int p = 0; p < 4; ++p) {
                if (code == 1 && p != 0) {
                    // Not used by a single-channel frame: left as it was.
                    CHECK(st.m_pbyteAverage[a][p] == before.m_pbyteAverage[a][p]);
                    continue;
                }
                CHECK(st.m_pdwAreaPixelCount[a][p] == s.count[a][p]);
                // Each average is the floor of the mean of its own pixels.
                CHECK(st.m_pbyteAverage[a][p] == s.average[a][p]);
                total += st.m_pdwAreaPixelCount[a][p];
            }
        }
        CHECK(total == static_cast<uint64_t>(w) * h);

        // Weighted averages of this measurement, with any weights.
        uint8_t weight[16];
        fill(in, weight, 16);
        if (in.u8() & 1)
            std::memset(weight, 0, 16);
        uint8_t out[4] = {0xA5, 0xA5, 0xA5, 0xA5};
        CHECK(GetColorAverage(&st, weight, out) == TRUE);
        uint8_t want[4] = {0xA5, 0xA5, 0xA5, 0xA5};
        bool any_weight = false;
        for (uint8_t x : weight)
            any_weight |= x != 0;
        if (code == 1 || qmodel::is_bayer_code(code))
            qmodel::color_average(st.m_pbyteAverage, code, weight, want);
        else if (!any_weight)
            std::memset(want, 0, 4);
        CHECK(!bytes_differ(out, want, 4));

        uint8_t level = 0xA5;
        CHECK(GetBrightnessAverage(&st, weight, &level) == TRUE);
        if (code == 1 || qmodel::is_bayer_code(code))
            CHECK(level == qmodel::brightness(st.m_pbyteAverage, code, weight));
    }
}

// ---------------------------------------------------------------------------
// Tables and pixel correction

void fuzz_correction(Input& in) {
    CWhiteBalanceCtrl wb;
    std::memset(&wb, in.u8(), sizeof wb);
    uint16_t gains[4];
    for (uint16_t& g : gains) {
        const uint8_t kind = in.u8() % 4;
        g = kind == 0 ? 128 : kind == 1 ? static_cast<uint16_t>(in.u16() % 1024) : in.u16();
    }
    const uint16_t code = code_from(in);
    CWhiteBalanceCtrl_init(&wb, gains, code);
    CHECK(wb.m_byteMode == (code == 1 ? 0 : 2));
    for (int k = 0; k < 4; ++k) {
        CHECK(wb.m_pwGain[k] == gains[k]);
        CHECK(qmodel::table_matches(wb.m_ppbyteTable[k], gains[k], qmodel::TableRule::Auto));
    }

    // The table rule alone, into exactly 256 bytes.
    {
        const uint16_t g = in.u16();
        Buffer table(256);
        CHECK(mbUpdateTable(&wb, g, table.data) == TRUE);
        CHECK(qmodel::table_matches(table.data, g, qmodel::TableRule::Auto));
    }

    // Manual tables sometimes, as the manual colour gains build them.
    if (in.u8() & 1)
        for (int k = 0; k < 4; ++k)
            for (unsigned i = 0; i < 256; ++i)
                wb.m_ppbyteTable[k][i] = qmodel::manual_table_entry(wb.m_pwGain[k], i);
    wb.m_byteMode = in.u8() % 5;

    uint32_t w, h;
    frame_size(in, w, h);
    const uint16_t pass_code = (in.u8() & 1) ? code : code_from(in);
    const bool known = pass_code >= 1 && pass_code <= 5;
    const size_t n = static_cast<size_t>(w) * h;

    Buffer frame(n);
    fill(in, frame.data, n);
    std::vector<uint8_t> expect(frame.data, frame.data + n);
    qmodel::correct(wb, w, h, pass_code, expect.data(), expect.data());
    CHECK(ImageProcessing(&wb, w, h, pass_code, frame.data) == TRUE);
    if (known)
        CHECK(!bytes_differ(frame.data, expect.data(), n));

    Buffer src(n), dst(n);
    fill(in, src.data, n);
    fill(in, dst.data, n);
    const std::vector<uint8_t> src_copy(src.data, src.data + n);
    std::vector<uint8_t> dst_expect(dst.data, dst.data + n);
    qmodel::correct(wb, w, h, pass_code, src.data, dst_expect.data());
    CHECK(ImageCopyProcessing(&wb, w, h, pass_code, src.data, dst.data) == TRUE);
    CHECK(!bytes_differ(src.data, src_copy.data(), n)); // the source is only read
    if (known)
        CHECK(!bytes_differ(dst.data, dst_expect.data(), n));

    // Source and destination the same buffer: as the in-place pass.
    std::vector<uint8_t> same_expect(src.data, src.data + n);
    qmodel::correct(wb, w, h, pass_code, same_expect.data(), same_expect.data());
    CHECK(ImageCopyProcessing(&wb, w, h, pass_code, src.data, src.data) == TRUE);
    if (known)
        CHECK(!bytes_differ(src.data, same_expect.data(), n));
}

// ---------------------------------------------------------------------------
// Automatic white balance

void random_averages(Input& in, CAveragePixelValue& st) {
    std::memset(&st, 0, sizeof st);
    const uint8_t c = in.u8();
    st.m_wColorArray = c < 240 ? static_cast<uint16_t>(1 + c % 5) : static_cast<uint16_t>(c);
    fill(in, &st.m_pbyteAverage[0][0], 64);
}

void fuzz_white_balance(Input& in) {
    CWhiteBalanceCtrl wb;
    uint16_t gains[4];
    for (uint16_t& g : gains)
        g = (in.u8() & 1) ? static_cast<uint16_t>(in.u16() % 1024) : in.u16();
    CWhiteBalanceCtrl_init(&wb, gains, static_cast<uint16_t>(in.u8() % 6));
    wb.m_byteMode = in.u8();
    wb.m_wThreshold = in.u16();
    wb.m_pwTarget[0] = static_cast<uint16_t>(in.u16() % 2001);
    wb.m_pwTarget[1] = static_cast<uint16_t>(in.u16() % 2001);
    wb.m_byteAWBSkipCount = in.u8();
    wb.m_byteAWBSamplingCount = in.u8();
    wb.m_byteAWBAlredySamplingCount = static_cast<uint8_t>(in.u8() % 255);
    // The sums of the frames sampled so far, each frame's average at most 255.
    for (DWORD& s : wb.m_pdwSumOfSamplingAWB)
        s = in.u16() % (255u * wb.m_byteAWBAlredySamplingCount + 1u);
    wb.m_bAWBStarted = (in.u8() & 1) ? TRUE : FALSE;
    wb.m_byteAWBRestSkipCount = in.u8() % 4;
    fill(in, wb.m_pbyteAWBWeight, 16);

    for (int frame = 0; frame < 8 && !in.empty(); ++frame) {
        // The gate, asked with and without counting down.
        CWhiteBalanceCtrl model = wb;
        const bool decrement = in.u8() & 1;
        const bool due = qmodel::wb_due(model, decrement);
        CHECK((IsAutoMode(&wb, decrement ? TRUE : FALSE) != FALSE) == due);
        CHECK(wb.m_byteAWBRestSkipCount == model.m_byteAWBRestSkipCount);

        CAveragePixelValue st;
        random_averages(in, st);
        uint8_t avg[4] = {0, 0, 0, 0};
        if (st.m_wColorArray == 1 || qmodel::is_bayer_code(st.m_wColorArray))
            qmodel::color_average(st.m_pbyteAverage, st.m_wColorArray, wb.m_pbyteAWBWeight, avg);
        if (st.m_wColorArray == 1)
            avg[1] = avg[2] = avg[3] = 0;
        const CWhiteBalanceCtrl before = wb;
        model = wb;
        qmodel::wb_update(model, avg);
        CHECK(UpdateGain(&wb, &st) == TRUE);

        CHECK(wb.m_byteMode == model.m_byteMode && wb.m_bAWBStarted == model.m_bAWBStarted);
        CHECK(wb.m_byteAWBRestSkipCount == model.m_byteAWBRestSkipCount);
        CHECK(wb.m_byteAWBAlredySamplingCount == model.m_byteAWBAlredySamplingCount);
        for (int k = 0; k < 4; ++k) {
            CHECK(wb.m_pwGain[k] == model.m_pwGain[k]);
            if (wb.m_pwGain[k] != before.m_pwGain[k])
                CHECK(wb.m_pwGain[k] <= 1023); // automatic gains never above 1023
            CHECK(!bytes_differ(wb.m_ppbyteTable[k], model.m_ppbyteTable[k], 256));
        }
        if (model.m_byteAWBAlredySamplingCount != 0)
            for (int c = 0; c < 4; ++c)
                CHECK(wb.m_pdwSumOfSamplingAWB[c] == model.m_pdwSumOfSamplingAWB[c]);
        // The greens are never changed here.
        CHECK(wb.m_pwGain[1] == before.m_pwGain[1] && wb.m_pwGain[2] == before.m_pwGain[2]);
    }

    const DDWORD x = (static_cast<DDWORD>(in.u32()) << 32 | in.u32()) >> (in.u8() % 64);
    CHECK(lluint_sqrt(x) == qmodel::isqrt(x));
}

// ---------------------------------------------------------------------------
// Luminance

struct TestCamera {
    qmodel::Timing timing{480, 800};
    int publications = 0;
};
TestCamera g_camera;

BOOL publish(CLuminanceCtrl*) {
    ++g_camera.publications;
    return TRUE;
}
BOOL frame_clock(CLuminanceCtrl*, PWORD lines, PWORD clocks) {
    *lines = static_cast<WORD>(g_camera.timing.v);
    *clocks = static_cast<WORD>(g_camera.timing.h);
    return FALSE;
}
LuminanceCtrlFOPS g_fops = {publish, frame_clock};

uint8_t mode_from(Input& in) {
    static const uint8_t named[] = {0x00, 0x01, 0x02, 0x10, 0x11, 0x12, 0x20};
    const uint8_t m = in.u8();
    return m < 224 ? named[m % 7] : in.u8();
}

uint16_t word_from(Input& in) {
    switch (in.u8() % 4) {
    case 0:
        return 0;
    case 1:
        return in.u8();
    case 2:
        return static_cast<uint16_t>(in.u16() % 2048);
    default:
        return in.u16();
    }
}

// A byte, half of the time below 16: up to 15 the gain step and its speed
// limit work in sixteenths of an octave, beyond in eighths.
uint8_t small_or_any(Input& in) {
    const uint8_t b = in.u8();
    return b < 128 ? static_cast<uint8_t>(b % 16) : in.u8();
}

void random_luminance(Input& in, CLuminanceCtrl& c) {
    CLuminanceCtrl_init(&c, word_from(in), word_from(in), word_from(in), word_from(in),
                        (in.u8() & 1) ? TRUE : FALSE, &g_fops);
    c.m_byteMode = mode_from(in);
    c.m_byteTarget = in.u8();
    c.m_byteTolerance = in.u8() % 16;
    c.m_byteThreshold = in.u8() % 16;
    c.m_byteGainCtrlSpeedLimit = small_or_any(in);
    c.m_byteShutterCtrlSpeedLimit = in.u8();
    c.m_byteSkipFrameCount = in.u8() % 4;
    c.m_byteAverageFrameCount = in.u8() % 6;
    if (in.u8() & 1) {
        c.m_wAutoMaxShutterLine = word_from(in);
        c.m_wAutoMaxShutterClock = word_from(in);
        c.m_wAutoMinShutterLine = word_from(in);
        c.m_wAutoMinShutterClock = word_from(in);
        c.m_wAutoMaxCDSGain = word_from(in);
        c.m_wAutoMinCDSGain = word_from(in);
    }
    c.m_bAutoRunning = (in.u8() & 1) ? TRUE : FALSE;
    c.m_byteRestSkipCount = in.u8() % 3;
    c.m_byteAlreadySampleingCount = static_cast<uint8_t>(in.u8() % 255);
    c.m_dwSumOfSamplingBrightness = 255u * c.m_byteAlreadySampleingCount;
}

// After a status check in a mode that enforces them, gain and exposure lie
// inside their limits, where the limits are consistent and representable.
void check_limits_after_status(const CLuminanceCtrl& before, const CLuminanceCtrl& c) {
    const unsigned m = c.m_byteMode;
    const qmodel::Timing t = g_camera.timing;
    const bool cu = c.m_bClockUnitShutterCtrl != FALSE;
    if (qmodel::enforces_gain_limits(m) && c.m_wAutoMinCDSGain <= c.m_wAutoMaxCDSGain) {
        const bool at_reference = (m == 0x11 || m == 0x12) && c.m_wCDSGain == c.m_wIniCDSGain;
        CHECK(at_reference ||
              (c.m_wCDSGain >= c.m_wAutoMinCDSGain && c.m_wCDSGain <= c.m_wAutoMaxCDSGain));
    }
    if (!qmodel::enforces_exposure_limits(m) || t.v == 0 || t.h == 0)
        return;
    const qmodel::Exposure e = qmodel::exposures(before, t);
    const uint32_t limit = 65535u * t.h + (cu ? t.h - 1 : 0);
    if (e.min > e.max || e.min > limit || e.max > limit)
        return;
    // A stray clock part in line unit turns a shutter inside the limits into
    // a whole frame (or one line): not a limit correction.
    if (!cu && before.m_wShutterClock != 0 && e.cur >= e.min && e.cur <= e.max)
        return;
    const uint32_t now = qmodel::pair_clocks(cu, t, c.m_wShutterLine, c.m_wShutterClock, false);
    CHECK(now >= e.min && now <= e.max);
}

void fuzz_luminance(Input& in) {
    CLuminanceCtrl c;
    random_luminance(in, c);
    g_camera.timing.v = word_from(in);
    g_camera.timing.h = word_from(in);
    const bool h_ok = g_camera.timing.h != 0;

    // Exposure arithmetic, for any timing.
    const qmodel::Exposure e = qmodel::exposures(c, g_camera.timing);
    CHECK(mdwGetExposureClock(&c) == e.cur);
    CHECK(mdwGetMinExposureClock(&c) == e.min);
    CHECK(mdwGetMaxExposureClock(&c) == e.max);
    const uint8_t b = in.u8();
    CHECK(iexp8(b) == [b] {
        uint64_t p = 1;
        for (int i = 0; i < 8; ++i)
            p *= b;
        return p;
    }());
    CHECK(quorvin_ilog2_u64(iexp8(b)) == qmodel::e8(b));
    if (b <= 15)
        CHECK(quorvin_ilog2_u64(iexp16(b)) == qmodel::e16(b));
    const uint64_t magnitude = (static_cast<uint64_t>(in.u32()) << (in.u8() % 33)) >> 1;
    const int64_t n =
        (in.u8() & 1) ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    CHECK(S64s8_2_WORD(n) == qmodel::s64s8_to_word(n));

    // One gain step with any arguments.
    {
        CLuminanceCtrl model = c;
        const uint8_t cur = small_or_any(in), target = in.u8(), distance = in.u8();
        const bool dark = in.u8() & 1;
        const uint16_t lo = word_from(in), hi = word_from(in);
        const bool changed = qmodel::gain_step(model, cur, target, dark, lo, hi);
        CLuminanceCtrl got = c;
        CHECK((mbGainCtrl(&got, cur, target, distance, dark ? TRUE : FALSE, lo, hi) != FALSE) ==
              changed);
        CHECK(got.m_wCDSGain == model.m_wCDSGain);
        if (lo <= hi)
            CHECK(!changed || (got.m_wCDSGain >= lo && got.m_wCDSGain <= hi));
    }

    // One exposure step (the camera reports at least one clock per line).
    if (h_ok) {
        CLuminanceCtrl model = c;
        const int cur = in.u8(), target = in.u8();
        const bool dark = in.u8() & 1;
        const bool changed = qmodel::shutter_step(model, g_camera.timing, cur, target, dark);
        CLuminanceCtrl got = c;
        CHECK((mbShutterCtrl(&got, cur, target, in.u8(), dark ? TRUE : FALSE) != FALSE) == changed);
        check_lum_state(model, got);
        const uint32_t frame_clocks = g_camera.timing.v * g_camera.timing.h;
        if (changed && frame_clocks != 0 && e.min <= e.cur && e.cur <= e.max) {
            const uint32_t now =
                qmodel::pair_clocks(got.m_bClockUnitShutterCtrl != FALSE, g_camera.timing,
                                    got.m_wShutterLine, got.m_wShutterClock, false);
            CHECK((now >= e.min && now <= e.max) || (now == frame_clocks && e.max >= frame_clocks));
        }
    }

    // The status check: no division by zero clocks per line, and the limits
    // hold afterwards.
    {
        CLuminanceCtrl got = c;
        const int pubs = g_camera.publications;
        const BOOL corrected = mbCheckInvalidStatus(&got);
        CHECK(g_camera.publications == pubs); // publishes nothing itself
        if (h_ok) {
            CLuminanceCtrl model = c;
            CHECK((corrected != FALSE) == qmodel::status_check(model, g_camera.timing));
            check_lum_state(model, got);
            check_limits_after_status(c, got);
        }
    }

    // The loop over several frames.
    for (int frame = 0; frame < 12 && !in.empty(); ++frame) {
        CAveragePixelValue st;
        random_averages(in, st);
        if (!(st.m_wColorArray >= 1 && st.m_wColorArray <= 5))
            st.m_wColorArray = 2;
        if (in.u8() % 8 == 0) {
            g_camera.timing.v = word_from(in);
            g_camera.timing.h = word_from(in);
        }
        const uint8_t level =
            qmodel::brightness(st.m_pbyteAverage, st.m_wColorArray, c.m_pbyteWeight);
        CLuminanceCtrl model = c;
        const bool due = qmodel::lum_due(model, true);
        CHECK((CLuminance_IsAutoMode(&c, TRUE) != FALSE) == due);
        check_lum_state(model, c);
        const int pubs = g_camera.publications;
        const bool published =
            g_camera.timing.h != 0 && qmodel::lum_update(model, g_camera.timing, level);
        CHECK(UpdateGainShutter(&c, &st) == TRUE);
        CHECK(g_camera.publications - pubs <= 1);
        if (g_camera.timing.h != 0) {
            CHECK((g_camera.publications - pubs == 1) == published);
            check_lum_state(model, c);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    g_camera = TestCamera{};
    g_pixels = 0;
    for (int n = 0; n < 16 && !in.empty() && g_pixels < kPixelBudget; ++n) {
        switch (in.u8() % 4) {
        case 0:
            fuzz_statistics(in);
            break;
        case 1:
            fuzz_correction(in);
            break;
        case 2:
            fuzz_white_balance(in);
            break;
        default:
            fuzz_luminance(in);
            break;
        }
    }
    return 0;
}
