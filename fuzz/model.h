/* SPDX-License-Identifier: GPL-2.0 OR MIT */
// Slow, obviously correct models of what the controllers compute, for the
// fuzz targets, the robustness tests and the threaded stress test to compare
// against. Written for clarity, not speed: per-pixel loops, 64-bit where the
// controllers use narrower types only where the result cannot differ.
#ifndef QUORVIN_FUZZ_MODEL_H
#define QUORVIN_FUZZ_MODEL_H

#include "AWB/AWB.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace qmodel {

// ---------------------------------------------------------------------------
// Gain tables

// The controller's own rule (initialisation and automatic control): the
// saturated run starts at floor(32640 / gain), at most 256; gain 0 gives zeros.
inline uint8_t auto_table_entry(uint16_t gain, unsigned i) {
    if (gain == 0)
        return 0;
    uint32_t threshold = 32640u / gain;
    if (threshold > 256)
        threshold = 256;
    return i < threshold ? static_cast<uint8_t>((i * gain) >> 7) : uint8_t{255};
}

// The rule of the manual colour gains: min((i * gain) >> 7, 255).
inline uint8_t manual_table_entry(uint16_t gain, unsigned i) {
    const uint32_t v = (i * static_cast<uint32_t>(gain)) >> 7;
    return v > 255 ? uint8_t{255} : static_cast<uint8_t>(v);
}

enum class TableRule { Auto, Manual };

// The whole table of a gain by one rule.
inline void build_table(uint16_t gain, TableRule rule, uint8_t table[256]) {
    if (rule == TableRule::Manual) {
        for (unsigned i = 0; i < 256; ++i)
            table[i] = manual_table_entry(gain, i);
        return;
    }
    if (gain == 0) {
        std::memset(table, 0, 256);
        return;
    }
    // auto_table_entry() with its threshold taken once.
    const uint32_t threshold = 32640u / gain;
    for (unsigned i = 0; i < 256; ++i)
        table[i] = i < threshold ? static_cast<uint8_t>((i * gain) >> 7) : uint8_t{255};
}

inline bool table_matches(const uint8_t* table, uint16_t gain, TableRule rule) {
    // Callers check all four tables after every call: the expected tables
    // are kept, a few gains per rule (one set per thread, for the threaded
    // tests).
    struct Entry {
        bool built;
        uint16_t gain;
        uint8_t entry[256];
    };
    thread_local Entry cache[2][16];
    Entry& e = cache[rule == TableRule::Auto ? 0 : 1][gain % 16u];
    if (!e.built || e.gain != gain) {
        build_table(gain, rule, e.entry);
        e.gain = gain;
        e.built = true;
    }
    return std::memcmp(table, e.entry, 256) == 0;
}

// ---------------------------------------------------------------------------
// Area statistics

// Colour position that holds colour index c under a Bayer code 2..5.
inline unsigned position_of_index(unsigned code, unsigned c) {
    return c ^ (code - 2u);
}
inline bool is_bayer_code(unsigned code) {
    return code >= 2 && code <= 5;
}

// Area boundaries of one dimension: a quarter, a half, three quarters (each
// rounded down) and the full size.
inline void boundaries(uint32_t n, uint32_t out[4]) {
    static const uint32_t split[3] = {2500, 5000, 7500};
    for (int i = 0; i < 3; ++i) {
        out[i] = static_cast<uint32_t>(split[i] * n) / 10000u;
        if (out[i] > n)
            out[i] = n;
    }
    out[3] = n;
    if (out[0] > out[1])
        out[1] = out[0];
    if (out[1] > out[2])
        out[2] = out[1];
}

struct Stats {
    uint32_t pos_x[4];
    uint32_t pos_y[4];
    uint32_t count[16][4];
    uint64_t sum[16][4];
    uint8_t average[16][4];
};

// Every pixel visited once and added to the sum of its area and colour
// position (position 0 only for a single-channel frame). Area (r, c) covers
// the rows from pos_y[r - 1] up to pos_y[r] and the columns from pos_x[c - 1]
// up to pos_x[c] (from 0 for the first row and column of areas).
inline void measure(const uint8_t* frame, uint32_t w, uint32_t h, unsigned code, Stats& s) {
    std::memset(&s, 0, sizeof s);
    boundaries(w, s.pos_x);
    boundaries(h, s.pos_y);
    for (unsigned r = 0; r < 4; ++r) {
        for (unsigned c = 0; c < 4; ++c) {
            const unsigned a = 4 * r + c;
            for (uint32_t y = r ? s.pos_y[r - 1] : 0; y < s.pos_y[r]; ++y) {
                const uint8_t* row = frame + static_cast<size_t>(y) * w;
                // The even and the odd columns of the row.
                uint32_t n_even = 0, n_odd = 0;
                uint64_t sum_even = 0, sum_odd = 0;
                for (uint32_t x = c ? s.pos_x[c - 1] : 0; x < s.pos_x[c]; ++x) {
                    if (x & 1u) {
                        ++n_odd;
                        sum_odd += row[x];
                    } else {
                        ++n_even;
                        sum_even += row[x];
                    }
                }
                if (code == 1) {
                    s.count[a][0] += n_even + n_odd;
                    s.sum[a][0] += sum_even + sum_odd;
                } else {
                    const unsigned p = 2u * (y & 1u);
                    s.count[a][p] += n_even;
                    s.sum[a][p] += sum_even;
                    s.count[a][p + 1] += n_odd;
                    s.sum[a][p + 1] += sum_odd;
                }
            }
        }
    }
    for (int a = 0; a < 16; ++a)
        for (int p = 0; p < 4; ++p)
            s.average[a][p] =
                s.count[a][p] ? static_cast<uint8_t>(s.sum[a][p] / s.count[a][p]) : uint8_t{0};
}

// Weighted means per colour position over the 16 areas; false when the total
// weight is 0.
inline bool weighted_position_means(const uint8_t average[16][4], const uint8_t* weight,
                                    uint32_t mean[4]) {
    uint32_t total = 0;
    uint64_t sum[4] = {0, 0, 0, 0};
    for (int a = 0; a < 16; ++a) {
        total += weight[a];
        for (int p = 0; p < 4; ++p)
            sum[p] += static_cast<uint64_t>(weight[a]) * average[a][p];
    }
    for (int p = 0; p < 4; ++p)
        mean[p] = total ? static_cast<uint32_t>(sum[p] / total) : 0u;
    return total != 0;
}

// Colour averages in colour index order for codes 1..5 (one byte for code 1).
inline void color_average(const uint8_t average[16][4], unsigned code, const uint8_t* weight,
                          uint8_t out[4]) {
    uint32_t mean[4];
    weighted_position_means(average, weight, mean);
    if (code == 1) {
        out[0] = static_cast<uint8_t>(mean[0]);
        return;
    }
    for (unsigned c = 0; c < 4; ++c)
        out[c] = static_cast<uint8_t>(mean[position_of_index(code, c)]);
}

inline uint8_t brightness(const uint8_t average[16][4], unsigned code, const uint8_t* weight) {
    uint8_t c[4];
    color_average(average, code, weight, c);
    if (code == 1)
        return c[0];
    const uint32_t g = (static_cast<uint32_t>(c[1]) + c[2]) / 2;
    return static_cast<uint8_t>((2989u * c[0] + 5866u * g + 1145u * c[3]) / 10000u);
}

// ---------------------------------------------------------------------------
// Pixel correction

// dst = corrected src over the visited part (even width and height); bytes of
// a last odd column or row are left as dst held them. Other codes than 1..5
// leave dst as it is (the controller's result for them is not defined).
inline void correct(const CWhiteBalanceCtrl& wb, uint32_t w, uint32_t h, unsigned code,
                    const uint8_t* src, uint8_t* dst) {
    if (code == 1 || wb.m_byteMode == QUORVIN_WB_OFF || !is_bayer_code(code))
        return;
    for (uint32_t y = 0; y < (h & ~1u); ++y)
        for (uint32_t x = 0; x < (w & ~1u); ++x) {
            const unsigned p = 2u * (y & 1u) + (x & 1u);
            const unsigned k = position_of_index(code, p); // the mapping is its own inverse
            const size_t off = static_cast<size_t>(y) * w + x;
            dst[off] = wb.m_ppbyteTable[k][src[off]];
        }
}

// ---------------------------------------------------------------------------
// Exposure arithmetic and the luminance steps

inline int ilog2(uint64_t n) {
    return n == 0 ? -1 : 63 - __builtin_clzll(n);
}
// floor(8 log2 x), -1 for 0; 64 for 256 and 257.
inline int e8(unsigned x) {
    if (x >= 256)
        return 64;
    uint64_t p = 1;
    for (int i = 0; i < 8; ++i)
        p *= x;
    return ilog2(p);
}
// floor(16 log2 x) for x <= 15, -1 for 0.
inline int e16(unsigned x) {
    uint64_t p = 1;
    for (int i = 0; i < 16; ++i)
        p *= x;
    return ilog2(p);
}
inline uint16_t s64s8_to_word(int64_t n) {
    if (n <= 0)
        return 0;
    const int64_t q = n / 256;
    return q >= 65535 ? uint16_t{65535} : static_cast<uint16_t>(q);
}

struct Timing {
    uint32_t v; // lines per frame
    uint32_t h; // clocks per line
};

// Exposure of a shutter pair in clocks; minimum selects the rule of the
// automatic minimum in line unit.
inline uint32_t pair_clocks(bool clock_unit, Timing t, uint16_t line, uint16_t clock,
                            bool minimum) {
    uint32_t e = static_cast<uint32_t>(line) * t.h;
    if (clock_unit) {
        e += clock;
    } else if (clock != 0) {
        if (minimum)
            e = line <= 1 ? t.h : static_cast<uint32_t>(line - 1u) * t.h;
        else if (e == 0)
            e = t.h;
    }
    if (e == 0)
        e = t.v * t.h;
    return e;
}

struct Exposure {
    uint32_t cur, min, max;
};
inline Exposure exposures(const CLuminanceCtrl& c, Timing t) {
    const bool cu = c.m_bClockUnitShutterCtrl != FALSE;
    return {pair_clocks(cu, t, c.m_wShutterLine, c.m_wShutterClock, false),
            pair_clocks(cu, t, c.m_wAutoMinShutterLine, c.m_wAutoMinShutterClock, true),
            pair_clocks(cu, t, c.m_wAutoMaxShutterLine, c.m_wAutoMaxShutterClock, false)};
}

// Gain g moved by d (unit 1/256 of a gain unit), or by one unit towards up
// when the move rounds to nothing (never below 0 or above 65535).
inline uint16_t moved_gain(uint16_t g, int d, bool up) {
    const uint16_t v = s64s8_to_word(int64_t{g} * 256 + d);
    if (v != g)
        return v;
    if (up)
        return g == 65535 ? g : static_cast<uint16_t>(g + 1);
    return g == 0 ? g : static_cast<uint16_t>(g - 1);
}

// The gain change (unit 1/256) that scales the brightness by a / b: 730 per
// sixteenth of an octave while both are at most 15, 1460 per eighth beyond.
inline int gain_for_ratio(unsigned a, unsigned b) {
    return a <= 15 && b <= 15 ? 730 * (e16(a) - e16(b)) : 1460 * (e8(a) - e8(b));
}

// One gain step; returns whether the gain changed and updates c.
inline bool gain_step(CLuminanceCtrl& c, unsigned cur, unsigned target, bool dark, uint16_t lo,
                      uint16_t hi) {
    const uint16_t g = c.m_wCDSGain;
    const unsigned s = c.m_byteGainCtrlSpeedLimit;
    const int d = cur <= 15 ? 730 * (2 * e8(target) - e16(cur)) : 1460 * (e8(target) - e8(cur));
    uint16_t nv = moved_gain(g, d, dark);
    // The speed limit: the brightness rises by at most (s + 2) / (s + 1) and
    // falls to no less than s / (s + 1), which for s = 0 is no limit.
    if (dark)
        nv = std::min(nv, moved_gain(g, gain_for_ratio(s + 2, s + 1), true));
    else if (s != 0)
        nv = std::max(nv, moved_gain(g, gain_for_ratio(s, s + 1), false));
    nv = nv < lo ? lo : nv > hi ? hi : nv;
    if (nv == g)
        return false;
    c.m_wCDSGain = nv;
    return true;
}

// One exposure step, with exact (64-bit) intermediates; H >= 1.
inline bool shutter_step(CLuminanceCtrl& c, Timing t, int cur_y, int target_y, bool dark) {
    const bool cu = c.m_bClockUnitShutterCtrl != FALSE;
    const Exposure e = exposures(c, t);
    const uint64_t cam_max = uint64_t{t.v} * t.h;
    const uint64_t s = c.m_byteShutterCtrlSpeedLimit;
    uint64_t delta = e.cur / (s + 1);
    const uint64_t step = cu ? 1 : t.h;
    if (!cu && t.h > 1)
        delta -= delta % t.h;
    uint64_t lo, hi;
    if (dark) {
        hi = e.cur + delta + step;
        if (hi >= e.max)
            hi = e.max;
        lo = e.min;
    } else {
        const uint64_t d = e.cur - delta;
        lo = step < d ? d - step : step;
        if (lo <= e.min)
            lo = e.min;
        hi = e.max;
    }
    const uint64_t level = cur_y > 0 ? static_cast<uint64_t>(cur_y) : 1;
    const uint64_t target = target_y > 0 ? static_cast<uint64_t>(target_y) : 0;
    uint64_t nv = e.cur * target / level;
    if (!cu) {
        const uint64_t r = nv % t.h;
        nv = 2 * r < t.h ? nv - r : nv - r + t.h;
    }
    const uint64_t res = nv <= lo ? lo : (nv < hi ? nv : hi);
    if (res == e.cur)
        return false;
    if (res >= cam_max) {
        c.m_wShutterLine = 0;
        c.m_wShutterClock = 0;
    } else {
        c.m_wShutterLine = static_cast<uint16_t>(res / t.h);
        c.m_wShutterClock = cu ? static_cast<uint16_t>(res % t.h) : uint16_t{0};
    }
    return true;
}

inline bool enforces_gain_limits(unsigned m) {
    return m == QUORVIN_LUM_MODE(QUORVIN_LUM_MANUAL, QUORVIN_LUM_CONTINUOUS) ||
           m == QUORVIN_LUM_MODE(QUORVIN_LUM_MANUAL, QUORVIN_LUM_ONE_SHOT) ||
           m == QUORVIN_LUM_MODE(QUORVIN_LUM_CONTINUOUS, QUORVIN_LUM_CONTINUOUS) ||
           m == QUORVIN_LUM_MODE(QUORVIN_LUM_CONTINUOUS, QUORVIN_LUM_ONE_SHOT);
}
inline bool enforces_exposure_limits(unsigned m) {
    return m == QUORVIN_LUM_MODE(QUORVIN_LUM_CONTINUOUS, QUORVIN_LUM_MANUAL) ||
           m == QUORVIN_LUM_MODE(QUORVIN_LUM_CONTINUOUS, QUORVIN_LUM_CONTINUOUS) ||
           m == QUORVIN_LUM_MODE(QUORVIN_LUM_CONTINUOUS, QUORVIN_LUM_ONE_SHOT) ||
           m == QUORVIN_LUM_MODE(QUORVIN_LUM_ONE_SHOT, QUORVIN_LUM_MANUAL);
}

// The status check for H >= 1, with the 16-bit truncation of the rewritten
// line count that the controller's record imposes.
inline bool status_check(CLuminanceCtrl& c, Timing t) {
    const unsigned m = c.m_byteMode;
    const bool cu = c.m_bClockUnitShutterCtrl != FALSE;
    const CLuminanceCtrl before = c;
    if (enforces_gain_limits(m)) {
        if (c.m_wCDSGain < c.m_wAutoMinCDSGain)
            c.m_wCDSGain = c.m_wAutoMinCDSGain;
        else if (c.m_wCDSGain > c.m_wAutoMaxCDSGain)
            c.m_wCDSGain = c.m_wAutoMaxCDSGain;
    }
    const Exposure e = exposures(c, t);
    uint32_t nv = e.cur;
    if (enforces_exposure_limits(m)) {
        if (!cu && c.m_wShutterClock != 0)
            nv = c.m_wShutterLine != 0 ? t.v * t.h : t.h;
        if (e.cur > e.max)
            nv = e.max;
        if (e.cur < e.min)
            nv = e.min;
        if (nv != e.cur) {
            c.m_wShutterLine = static_cast<uint16_t>(nv / t.h);
            c.m_wShutterClock = cu ? static_cast<uint16_t>(nv % t.h) : uint16_t{0};
        }
    }
    if ((m == QUORVIN_LUM_MODE(QUORVIN_LUM_CONTINUOUS, QUORVIN_LUM_CONTINUOUS) ||
         m == QUORVIN_LUM_MODE(QUORVIN_LUM_CONTINUOUS, QUORVIN_LUM_ONE_SHOT)) &&
        nv != e.min && nv != e.max && c.m_wCDSGain != c.m_wIniCDSGain)
        c.m_wCDSGain = c.m_wIniCDSGain;
    return c.m_wCDSGain != before.m_wCDSGain || c.m_wShutterLine != before.m_wShutterLine ||
           c.m_wShutterClock != before.m_wShutterClock;
}

// Integer square root by search, for comparison with the bit-by-bit one.
inline uint32_t isqrt(uint64_t x) {
    uint64_t lo = 0, hi = 0xFFFFFFFFull;
    while (lo < hi) {
        const uint64_t mid = lo + (hi - lo + 1) / 2;
        if (mid * mid <= x)
            lo = mid;
        else
            hi = mid - 1;
    }
    return static_cast<uint32_t>(lo);
}

// ---------------------------------------------------------------------------
// The controllers' per-frame steps

// The white balance frame gate.
inline bool wb_due(CWhiteBalanceCtrl& wb, bool decrement) {
    const bool automatic = wb.m_wColorArray != 1 && wb.m_byteMode >= QUORVIN_WB_AUTO;
    if (automatic && wb.m_byteAWBRestSkipCount == 0)
        return true;
    if (decrement && wb.m_byteAWBRestSkipCount > 0)
        --wb.m_byteAWBRestSkipCount;
    return false;
}

// The luminance frame gate.
inline bool lum_due(CLuminanceCtrl& c, bool decrement) {
    if (c.m_byteRestSkipCount != 0) {
        if (decrement)
            --c.m_byteRestSkipCount;
        return false;
    }
    return c.m_byteMode != 0;
}

// One sampling step of automatic white balance with the frame's colour
// averages in colour index order. Expects a sampling count of at most 254.
inline void wb_update(CWhiteBalanceCtrl& wb, const uint8_t avg[4]) {
    if (wb.m_byteMode < QUORVIN_WB_AUTO)
        return;
    if (wb.m_byteAWBRestSkipCount > 0) {
        --wb.m_byteAWBRestSkipCount;
        return;
    }
    for (int c = 0; c < 4; ++c)
        wb.m_pdwSumOfSamplingAWB[c] =
            wb.m_byteAWBAlredySamplingCount == 0 ? avg[c] : wb.m_pdwSumOfSamplingAWB[c] + avg[c];
    const uint8_t n = static_cast<uint8_t>(wb.m_byteAWBAlredySamplingCount + 1);
    wb.m_byteAWBAlredySamplingCount = n;
    if (n < wb.m_byteAWBSamplingCount)
        return;
    wb.m_byteAWBAlredySamplingCount = 0;
    for (int c = 0; c < 4; ++c)
        wb.m_pdwSumOfSamplingAWB[c] /= n;
    const uint64_t ave_r = wb.m_pdwSumOfSamplingAWB[0];
    const uint64_t ave_g = (wb.m_pdwSumOfSamplingAWB[1] + wb.m_pdwSumOfSamplingAWB[2]) >> 1;
    const uint64_t ave_b = wb.m_pdwSumOfSamplingAWB[3];
    const uint64_t t_r = wb.m_pwTarget[0] * ave_g / 100;
    const uint64_t t_b = wb.m_pwTarget[1] * ave_g / 100;
    const uint64_t d_r = ave_r > t_r ? ave_r - t_r : t_r - ave_r;
    const uint64_t d_b = ave_b > t_b ? ave_b - t_b : t_b - ave_b;
    const uint64_t distance = 10ull * isqrt(d_r * d_r + d_b * d_b);
    const uint64_t band = wb.m_bAWBStarted ? wb.m_wThreshold : 2ull * wb.m_wThreshold;
    bool changed = false;
    if (band > distance) {
        wb.m_bAWBStarted = FALSE;
    } else {
        auto new_gain = [&](uint64_t target, uint64_t ave, uint16_t gain) {
            uint64_t g = ave ? target * gain / ave : (ave_g ? gain + 1ull : 0ull);
            return static_cast<uint16_t>(g > 1023 ? 1023 : g);
        };
        const uint16_t g_r = new_gain(t_r, ave_r, wb.m_pwGain[0]);
        const uint16_t g_b = new_gain(t_b, ave_b, wb.m_pwGain[3]);
        const int index[2] = {0, 3};
        const uint16_t gain[2] = {g_r, g_b};
        for (int i = 0; i < 2; ++i) {
            const int k = index[i];
            if (gain[i] != wb.m_pwGain[k]) {
                wb.m_pwGain[k] = gain[i];
                for (unsigned e = 0; e < 256; ++e)
                    wb.m_ppbyteTable[k][e] = auto_table_entry(gain[i], e);
                changed = true;
            }
        }
        wb.m_bAWBStarted = changed ? TRUE : FALSE;
    }
    if (wb.m_byteMode == QUORVIN_WB_ONE_SHOT && !changed)
        wb.m_byteMode = QUORVIN_WB_FIXED;
    wb.m_byteAWBRestSkipCount = wb.m_byteAWBSkipCount;
}

// One call of the exposure and gain loop with the frame's brightness level;
// H >= 1. Returns true when it published shutter and gain.
inline bool lum_update(CLuminanceCtrl& c, Timing t, uint8_t level) {
    if (c.m_byteMode == 0)
        return false;
    if (c.m_byteRestSkipCount != 0) {
        --c.m_byteRestSkipCount;
        return false;
    }
    c.m_dwSumOfSamplingBrightness =
        c.m_byteAlreadySampleingCount == 0 ? level : c.m_dwSumOfSamplingBrightness + level;
    c.m_byteAlreadySampleingCount = static_cast<uint8_t>(c.m_byteAlreadySampleingCount + 1);
    if (c.m_byteAlreadySampleingCount < c.m_byteAverageFrameCount)
        return false;
    const uint32_t n = c.m_byteAlreadySampleingCount;
    c.m_byteAlreadySampleingCount = 0;
    const uint32_t avg = c.m_dwSumOfSamplingBrightness / n;
    bool publish = false;
    if (status_check(c, t)) {
        publish = true;
    } else {
        const unsigned target = c.m_byteTarget;
        const bool dark = avg < target;
        const unsigned distance = avg > target ? avg - target : target - avg;
        unsigned band = c.m_byteTolerance;
        if (!c.m_bAutoRunning)
            band += c.m_byteThreshold;
        if (distance > band) {
            const unsigned m = c.m_byteMode;
            const uint16_t g = c.m_wCDSGain, ini = c.m_wIniCDSGain;
            const Exposure e = exposures(c, t);
            bool exposure = false, low = false;
            if (m == QUORVIN_LUM_MODE(QUORVIN_LUM_CONTINUOUS, QUORVIN_LUM_MANUAL) ||
                m == QUORVIN_LUM_MODE(QUORVIN_LUM_ONE_SHOT, QUORVIN_LUM_MANUAL)) {
                exposure = true;
            } else if (m == QUORVIN_LUM_MODE(QUORVIN_LUM_CONTINUOUS, QUORVIN_LUM_CONTINUOUS) ||
                       m == QUORVIN_LUM_MODE(QUORVIN_LUM_CONTINUOUS, QUORVIN_LUM_ONE_SHOT)) {
                if (g < ini)
                    low = true;
                else if (dark)
                    exposure = e.cur != e.max;
                else if (g == ini)
                    (e.cur == e.min ? low : exposure) = true;
            }
            if (exposure)
                publish = shutter_step(c, t, static_cast<int>(avg), static_cast<int>(target), dark);
            else if (low)
                publish = gain_step(c, avg, target, dark, c.m_wAutoMinCDSGain, ini);
            else
                publish = gain_step(c, avg, target, dark, ini, c.m_wAutoMaxCDSGain);
        }
    }
    if (publish) {
        c.m_bAutoRunning = TRUE;
    } else {
        if (c.m_byteMode == QUORVIN_LUM_MODE(QUORVIN_LUM_MANUAL, QUORVIN_LUM_ONE_SHOT) ||
            c.m_byteMode == QUORVIN_LUM_MODE(QUORVIN_LUM_CONTINUOUS, QUORVIN_LUM_ONE_SHOT) ||
            c.m_byteMode == QUORVIN_LUM_MODE(QUORVIN_LUM_ONE_SHOT, QUORVIN_LUM_MANUAL))
            c.m_byteMode = QUORVIN_LUM_MODE(QUORVIN_LUM_MANUAL, QUORVIN_LUM_MANUAL);
        c.m_bAutoRunning = FALSE;
    }
    c.m_byteRestSkipCount = c.m_byteSkipFrameCount;
    return publish;
}

} // namespace qmodel

#endif // QUORVIN_FUZZ_MODEL_H
