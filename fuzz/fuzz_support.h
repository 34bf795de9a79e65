/* SPDX-License-Identifier: GPL-2.0 OR MIT */
// Helpers shared by the fuzz targets: invariant checks that abort, and a
// reader that decodes the fuzzer's input from the front.
#ifndef QUORVIN_FUZZ_SUPPORT_H
#define QUORVIN_FUZZ_SUPPORT_H

#include "AWB/LuminanceCtrl.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz_support {

[[noreturn]] inline void fail(const char* what, int line) {
    std::fprintf(stderr, "invariant violated (line %d): %s\n", line, what);
    std::abort();
}
#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond))                                                                               \
            ::fuzz_support::fail(#cond, __LINE__);                                                 \
    } while (0)

// memcmp that accepts the null data() of an empty vector.
inline bool bytes_differ(const void* a, const void* b, size_t n) {
    return n != 0 && std::memcmp(a, b, n) != 0;
}

// The luminance controller's running state, field by field (never the
// padding): gain, shutter, mode, the loop's counters and, while it samples,
// its brightness sum.
inline void check_lum_state(const CLuminanceCtrl& want, const CLuminanceCtrl& got) {
    CHECK(got.m_wCDSGain == want.m_wCDSGain);
    CHECK(got.m_wShutterLine == want.m_wShutterLine);
    CHECK(got.m_wShutterClock == want.m_wShutterClock);
    CHECK(got.m_byteMode == want.m_byteMode);
    CHECK(got.m_bAutoRunning == want.m_bAutoRunning);
    CHECK(got.m_byteRestSkipCount == want.m_byteRestSkipCount);
    CHECK(got.m_byteAlreadySampleingCount == want.m_byteAlreadySampleingCount);
    if (want.m_byteAlreadySampleingCount != 0)
        CHECK(got.m_dwSumOfSamplingBrightness == want.m_dwSumOfSamplingBrightness);
}

// Consumes the input from the front; an exhausted input reads as zeros.
class Input {
public:
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool empty() const { return m_pos >= m_size; }
    uint8_t u8() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
    uint32_t u32() { return static_cast<uint32_t>(u16()) | (static_cast<uint32_t>(u16()) << 16); }
    size_t take(uint8_t* out, size_t n) {
        size_t k = 0;
        for (; k < n && m_pos < m_size; ++k)
            out[k] = m_data[m_pos++];
        return k;
    }

    // Frame sides. The cost of a run grows with the frame, so most frames are
    // small (up to 66 x 10: odd sides, sides below the 4 x 4 grid, rows
    // longer than a 64-byte vector block with a tail); one in eight is a wide
    // strip (up to max_side x 4) for the row kernels that need every area
    // column wider than a block; one in 64 is large (up to max_side x
    // max_side within max_pixels).
    void frame_sides(uint32_t& w, uint32_t& h, uint32_t max_side, uint32_t max_pixels) {
        const uint8_t kind = u8();
        if (kind < 224) {
            w = u8() % 67u;
            h = u8() % 11u;
        } else if (kind < 252) {
            w = u16() % (max_side + 1);
            h = u8() % 5u;
        } else {
            w = u16() % (max_side + 1);
            h = u16() % (max_side + 1);
        }
        if (w != 0 && static_cast<uint64_t>(w) * h > max_pixels)
            h = max_pixels / w;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

} // namespace fuzz_support

#endif // QUORVIN_FUZZ_SUPPORT_H
