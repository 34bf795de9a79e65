// SPDX-License-Identifier: GPL-2.0 OR MIT
// The fast pixel loops (word-wide, AVX2 and NEON statistics, table walk,
// arithmetic table rule in vectors) against plain reference loops: same sums, same
// averages, same corrected bytes, same untouched bytes, for every variant this
// machine can run.
#include "test_pixel_paths.h"

#include <AWB/AveragePixelValue.h>
#include <AWB/WhiteBalanceCtrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

using namespace pixeltest;

// A buffer of exactly n bytes (the sanitizer build catches any access outside
// it), filled with random bytes.
std::unique_ptr<BYTE[]> RandomBytes(size_t n, std::mt19937& rng) {
    std::unique_ptr<BYTE[]> p(new BYTE[n == 0 ? 1 : n]);
    for (size_t i = 0; i < n; ++i)
        p[i] = static_cast<BYTE>(rng());
    return p;
}

TEST(FastPath, EveryVariantIsOfferedAndSelectable) {
    RestorePaths restore;
    EXPECT_TRUE(quorvin_pixel::SumPathAvailable(SumPath::kWord));
    EXPECT_TRUE(quorvin_pixel::MapPathAvailable(MapPath::kTableWalk));
#if defined(__aarch64__)
    // Every arm64 processor Linux runs on has Advanced SIMD.
    EXPECT_TRUE(quorvin_pixel::SumPathAvailable(SumPath::kNeon));
    EXPECT_TRUE(quorvin_pixel::MapPathAvailable(MapPath::kNeonRule));
    EXPECT_EQ(quorvin_pixel::ActiveSumPath(), SumPath::kNeon);
#endif
    for (SumPath p : EverySumPath()) {
        ASSERT_TRUE(quorvin_pixel::SelectSumPath(p));
        EXPECT_EQ(quorvin_pixel::ActiveSumPath(), p);
    }
    for (MapPath p : EveryMapPath()) {
        ASSERT_TRUE(quorvin_pixel::SelectMapPath(p));
        EXPECT_EQ(quorvin_pixel::ActiveMapPath(), p);
    }
    EXPECT_FALSE(quorvin_pixel::SelectSumPath(static_cast<SumPath>(99)));
    EXPECT_FALSE(quorvin_pixel::SelectMapPath(static_cast<MapPath>(99)));
    ASSERT_TRUE(quorvin_pixel::SelectSumPath(SumPath::kAuto));
    EXPECT_NE(quorvin_pixel::ActiveSumPath(), SumPath::kAuto);
}

// Every length from 0 to 300 at every start of a 64-byte span: heads, bodies
// and tails of every size and alignment, odd starts included.
TEST(FastPath, SegmentSumsEqualPairLoopAtEveryLengthAndStart) {
    std::mt19937 rng(1);
    const size_t kSize = 64 + 300;
    auto buf = RandomBytes(kSize, rng);
    for (SumPath path : EverySumPath())
        for (DWORD start = 0; start < 64; ++start)
            for (DWORD n = 0; start + n <= kSize && n <= 300; ++n) {
                DWORD s0 = 0, s1 = 0;
                for (DWORD i = 0; i < n; ++i)
                    (i % 2 ? s1 : s0) += buf[start + i];
                const auto sum = quorvin_pixel::SumRowSegmentPairs(path, buf.get() + start, n);
                ASSERT_EQ(sum.dwSum0, s0) << int(path) << " start " << start << " n " << n;
                ASSERT_EQ(sum.dwSum1, s1) << int(path) << " start " << start << " n " << n;
            }
}

// All-255 segments long enough to fill the lane accumulators many times over,
// and one whose sums pass 2^32 and must wrap exactly as the pair loop's do.
// 16252 and 16380: quarters of 4063 and 4095 bytes, so that the second
// quarter holds 126 and 127 whole 32-byte vectors between two split ones,
// the most one 16-bit run of the AVX2 statistics may take and one more.
TEST(FastPath, SegmentSumsOfSaturatedBytesDoNotOverflowLanesAndWrapLikeThePairLoop) {
    for (const DWORD n : {DWORD{16252}, DWORD{16380}, DWORD{70001}, DWORD{34000001}}) {
        std::vector<BYTE> buf(n + 1, 255);
        const DWORD s0 = static_cast<DWORD>(255ull * ((n + 1) / 2));
        const DWORD s1 = static_cast<DWORD>(255ull * (n / 2));
        for (SumPath path : EverySumPath())
            for (DWORD start : {0u, 1u}) {
                const auto sum = quorvin_pixel::SumRowSegmentPairs(path, buf.data() + start, n);
                EXPECT_EQ(sum.dwSum0, s0) << int(path) << " n " << n;
                EXPECT_EQ(sum.dwSum1, s1) << int(path) << " n " << n;
            }
    }
}

// Per-pixel reference of the averages on the record's own geometry.
void ExpectAveragesMatchReference(const CAveragePixelValue& s, const BYTE* raw, DWORD w, DWORD h,
                                  WORD code) {
    unsigned long long sum[16][4] = {};
    DWORD y0 = 0;
    for (DWORD r = 0; r < 4; ++r) {
        for (DWORD y = y0; y < s.m_pdwImagePosY[r]; ++y) {
            DWORD x0 = 0;
            for (DWORD i = 0; i < 4; ++i) {
                for (DWORD x = x0; x < s.m_pdwImagePosX[i]; ++x)
                    sum[4 * r + i][code == 1 ? 0 : 2 * (y % 2) + x % 2] += raw[size_t{y} * w + x];
                x0 = s.m_pdwImagePosX[i];
            }
        }
        y0 = s.m_pdwImagePosY[r];
    }
    for (int a = 0; a < 16; ++a)
        for (int p = 0; p < (code == 1 ? 1 : 4); ++p) {
            const DWORD count = s.m_pdwAreaPixelCount[a][p];
            ASSERT_EQ(s.m_pbyteAverage[a][p], count == 0 ? 0 : sum[a][p] / count)
                << w << "x" << h << " code " << code << " area " << a << " pos " << p;
        }
}

// Measures with every variant; the records must be identical byte for byte
// (positions a single-channel frame leaves alone included) and match the
// reference.
void ExpectAllSumPathsAgree(const BYTE* raw, DWORD w, DWORD h, WORD code,
                            const WORD* splitX = nullptr) {
    RestorePaths restore;
    std::vector<CAveragePixelValue> records;
    for (SumPath path : EverySumPath()) {
        CAveragePixelValue s;
        std::memset(&s, 0x5A, sizeof s);
        CAveragePixelValue_init(&s);
        if (splitX)
            std::memcpy(s.m_pwSepalatePosX, splitX, sizeof s.m_pwSepalatePosX);
        quorvin_pixel::SelectSumPath(path);
        UpdateAverage(&s, w, h, code, const_cast<PBYTE>(raw));
        records.push_back(s);
    }
    ExpectAveragesMatchReference(records[0], raw, w, h, code);
    for (size_t i = 1; i < records.size(); ++i)
        ASSERT_EQ(std::memcmp(&records[0], &records[i], sizeof records[0]), 0)
            << "variant " << int(EverySumPath()[i]) << " " << w << "x" << h << " code " << code;
}

TEST(FastPath, AveragesOfEverySmallFrameAtEveryAlignmentAgree) {
    std::mt19937 rng(2);
    for (DWORD h = 0; h <= 9; ++h)
        for (DWORD w = 0; w <= 41; ++w)
            for (DWORD offset = 0; offset < 4; ++offset) {
                auto buf = RandomBytes(offset + size_t{w} * h, rng);
                for (WORD code = 1; code <= 5; ++code)
                    ExpectAllSumPathsAgree(buf.get() + offset, w, h, code);
            }
}

TEST(FastPath, AveragesOfLargeRandomFramesAgree) {
    std::mt19937 rng(3);
    const DWORD sizes[][2] = {{1920, 1080}, {1283, 721}, {643, 479}, {4097, 7}};
    for (const auto& size : sizes)
        for (DWORD offset : {0u, 3u}) {
            auto buf = RandomBytes(offset + size_t{size[0]} * size[1], rng);
            for (int code : {1, 2, 5})
                ExpectAllSumPathsAgree(buf.get() + offset, size[0], size[1],
                                       static_cast<WORD>(code));
        }
}

// The lane accumulators live across the rows of an area row and are folded
// only when full: saturated frames, and frames bright at one colour position
// only, tall enough that every accumulator fills many times over, at widths
// whose segments are whole words and cache lines, odd, or longer than one
// accumulator's room (8400: 2100-byte segments), at aligned and odd starts.
TEST(FastPath, AveragesOfSaturatedTallFramesAgree) {
    const DWORD sizes[][2] = {{1920, 96}, {1928, 70}, {2056, 41}, {8400, 6}, {1283, 75}, {64, 700}};
    for (const auto& size : sizes) {
        const DWORD w = size[0], h = size[1];
        for (DWORD bright = 0; bright < 5; ++bright)
            for (DWORD offset : {0u, 1u}) {
                std::vector<BYTE> buf(offset + size_t{w} * h);
                for (DWORD y = 0; y < h; ++y)
                    for (DWORD x = 0; x < w; ++x)
                        buf[offset + size_t{y} * w + x] =
                            bright == 4 || 2 * (y % 2) + x % 2 == bright ? 255 : 0;
                for (int code : {1, 2})
                    ExpectAllSumPathsAgree(buf.data() + offset, w, h, static_cast<WORD>(code));
            }
    }
}

// The frame's last bytes, after the last whole vector of the last row, are
// read byte by byte (a vector load would pass the frame's end): frames dark
// but for those bytes, at widths that leave 1 to 31 of them, so that a byte
// counted in the wrong colour position shows in the means.
TEST(FastPath, AveragesOfTheFramesLastBytesAgree) {
    for (const DWORD w : {DWORD{129}, DWORD{158}, DWORD{1283}, DWORD{1951}})
        for (const DWORD h : {DWORD{2}, DWORD{3}, DWORD{9}})
            for (DWORD offset : {0u, 1u}) {
                std::vector<BYTE> buf(offset + size_t{w} * h, 0);
                for (DWORD i = 1; i <= 40; ++i)
                    buf[buf.size() - i] = static_cast<BYTE>(250 - 3 * i);
                for (int code : {1, 2, 4})
                    ExpectAllSumPathsAgree(buf.data() + offset, w, h, static_cast<WORD>(code));
            }
}

// Split lines at which every area column holds one whole vector (of 16, 32
// or 64 bytes), and the two vectors split at its ends overlap in byte
// positions, so that those positions take two additions a row besides the
// whole vector's: an accumulator that took one row more than its room between
// folds would overflow on saturated frames.
TEST(FastPath, AveragesWithSplitVectorsSharingBytesAgree) {
    struct Case {
        DWORD w;
        WORD splitX[3];
    };
    const Case cases[] = {
        {115, {1740, 5044, 7305}}, {230, {1740, 5044, 7348}}, {460, {1740, 5044, 7370}}};
    const DWORD h = 1040;
    for (const Case& c : cases)
        for (DWORD bright = 0; bright < 5; ++bright) {
            std::vector<BYTE> buf(size_t{c.w} * h);
            for (DWORD y = 0; y < h; ++y)
                for (DWORD x = 0; x < c.w; ++x)
                    buf[size_t{y} * c.w + x] =
                        bright == 4 || 2 * (y % 2) + x % 2 == bright ? 255 : 0;
            for (int code : {1, 2})
                ExpectAllSumPathsAgree(buf.data(), c.w, h, static_cast<WORD>(code), c.splitX);
        }
}

// All-255 frames 10000 bytes wide (a split is then a column): the second area
// column holds 126, then 127, whole 32-byte vectors between a split vector
// carried in from the first column (bytes 8 to 31) and one at its end (bytes
// 0 to 15), so the 16-bit lanes of bytes 8 to 15 take two vectors more. At
// 126 that is the most one run of the AVX2 statistics may hold
// (255 * 128 < 32768); at 127 the frame must go another way. At 5416 the
// column is a 16-byte vector masked at each end around 257 whole ones, one
// more than the NEON statistics' 16-bit run may take (255 * 257 < 65536
// holds, 255 * 259 does not): the run must be folded inside the column.
TEST(FastPath, AveragesOfSaturatedColumnsAtTheRunLimitAgree) {
    const DWORD w = 10000;
    const DWORD h = 3;
    const std::vector<BYTE> buf(size_t{w} * h, 255);
    for (const WORD second : {WORD{5360}, WORD{5392}, WORD{5416}}) {
        const WORD splitX[3] = {1288, second, 7680};
        for (WORD code : {WORD{1}, WORD{2}})
            ExpectAllSumPathsAgree(buf.data(), w, h, code, splitX);
    }
}

// Plain pair-loop correction, as the module defines it.
void RefCorrect(const CWhiteBalanceCtrl& wb, DWORD w, DWORD h, WORD code, const BYTE* src,
                BYTE* dst, bool inPlace) {
    if (code < 2 || code > 5 || wb.m_byteMode == 0)
        return;
    const DWORD swap = code - 2u;
    const bool shortcut = inPlace && wb.m_pwGain[1] == 128 && wb.m_pwGain[2] == 128;
    for (DWORD y = 0; y < (h & ~1u); ++y)
        for (DWORD x = 0; x < (w & ~1u); ++x) {
            const DWORD index = (2 * (y % 2) + x % 2) ^ swap;
            if (shortcut && (index == 1 || index == 2))
                continue;
            const size_t at = size_t{y} * w + x;
            dst[at] = wb.m_ppbyteTable[index][src[at]];
        }
}

void ManualTable(WORD gain, BYTE* table) {
    for (int i = 0; i < 256; ++i)
        table[i] = static_cast<BYTE>(std::min((gain * i) >> 7, 255));
}

// Corrects in place and by copy (distinct and equal buffers) with every
// variant; frames with guard bytes around them must equal the reference.
void ExpectAllMapPathsAgree(const CWhiteBalanceCtrl& wb, const BYTE* frame, DWORD w, DWORD h,
                            WORD code, DWORD offset) {
    RestorePaths restore;
    const size_t n = size_t{w} * h;
    std::vector<BYTE> ref(frame, frame + n);
    RefCorrect(wb, w, h, code, frame, ref.data(), true);
    std::vector<BYTE> refCopy(n, 0xC3);
    RefCorrect(wb, w, h, code, frame, refCopy.data(), false);
    std::vector<BYTE> refSame(frame, frame + n);
    RefCorrect(wb, w, h, code, frame, refSame.data(), false);
    for (MapPath path : EveryMapPath()) {
        quorvin_pixel::SelectMapPath(path);
        CWhiteBalanceCtrl copy = wb;
        std::unique_ptr<BYTE[]> buf(new BYTE[offset + n]);
        std::memcpy(buf.get() + offset, frame, n);
        ImageProcessing(&copy, w, h, code, buf.get() + offset);
        ASSERT_TRUE(std::equal(ref.begin(), ref.end(), buf.get() + offset))
            << "in place, variant " << int(path) << " " << w << "x" << h << " code " << code;
        std::unique_ptr<BYTE[]> dst(new BYTE[offset + n]);
        std::memset(dst.get() + offset, 0xC3, n);
        ImageCopyProcessing(&copy, w, h, code, const_cast<PBYTE>(frame), dst.get() + offset);
        ASSERT_TRUE(std::equal(refCopy.begin(), refCopy.end(), dst.get() + offset))
            << "copy, variant " << int(path) << " " << w << "x" << h << " code " << code;
        std::memcpy(buf.get() + offset, frame, n);
        ImageCopyProcessing(&copy, w, h, code, buf.get() + offset, buf.get() + offset);
        ASSERT_TRUE(std::equal(refSame.begin(), refSame.end(), buf.get() + offset))
            << "copy onto itself, variant " << int(path) << " " << w << "x" << h;
    }
}

// Gains of both table rules, the green shortcut, and tables no rule explains.
CWhiteBalanceCtrl Controller(WORD r, WORD gr, WORD gb, WORD b, int tableKind) {
    WORD gains[4] = {r, gr, gb, b};
    CWhiteBalanceCtrl wb;
    CWhiteBalanceCtrl_init(&wb, gains, 2);
    if (tableKind == 1) // a manual table for blue
        ManualTable(gains[3], wb.m_ppbyteTable[3]);
    if (tableKind == 2) // a table that follows neither rule
        wb.m_ppbyteTable[3][77] ^= 1;
    if (tableKind == 3) // green tables that are not the identity under unity gains
        wb.m_ppbyteTable[1][10] = 99;
    return wb;
}

TEST(FastPath, CorrectionOfEverySmallFrameAtEveryAlignmentAgrees) {
    std::mt19937 rng(4);
    const WORD gainSets[][4] = {
        {200, 128, 128, 300}, {1023, 90, 170, 0}, {128, 128, 128, 128}, {65535, 128, 129, 1}};
    for (const auto& g : gainSets)
        for (int kind = 0; kind < 4; ++kind) {
            const CWhiteBalanceCtrl wb = Controller(g[0], g[1], g[2], g[3], kind);
            for (DWORD h = 0; h <= 5; ++h)
                for (DWORD w = 0; w <= 70; ++w) {
                    auto frame = RandomBytes(size_t{w} * h, rng);
                    for (WORD code = 1; code <= 6; ++code)
                        ExpectAllMapPathsAgree(wb, frame.get(), w, h, code, (w + h) % 4);
                }
        }
}

TEST(FastPath, CorrectionOfLargeRandomFramesAgrees) {
    std::mt19937 rng(5);
    const DWORD sizes[][2] = {{1920, 1080}, {1283, 721}, {202, 3}};
    for (const auto& size : sizes)
        for (int kind = 0; kind < 4; ++kind) {
            const WORD r = static_cast<WORD>(rng() % 1100);
            const WORD b = static_cast<WORD>(rng() % 1100);
            auto frame = RandomBytes(size_t{size[0]} * size[1], rng);
            const WORD code = static_cast<WORD>(2 + kind); // every code once per size
            ExpectAllMapPathsAgree(Controller(r, 128, 128, b, kind), frame.get(), size[0], size[1],
                                   code, 1);
            ExpectAllMapPathsAgree(Controller(r, 140, 128, b, kind), frame.get(), size[0], size[1],
                                   code, 0);
        }
    CWhiteBalanceCtrl off = Controller(300, 300, 300, 300, 0);
    off.m_byteMode = 0;
    auto frame = RandomBytes(64 * 8, rng);
    ExpectAllMapPathsAgree(off, frame.get(), 64, 8, 2, 0);
}

// A different entry that is never 255, so that it cannot turn one rule's table
// into the other's (they differ at most in one entry, 254 against 255).
void Spoil(BYTE& entry) {
    entry = static_cast<BYTE>(entry < 128 ? entry + 64 : entry - 64);
}

// Every gain: the controller's and the manual gains' tables are both
// reproduced by each rule variant, and a one-entry change to either is not.
TEST(FastPath, RuleVariantsReproduceBothTableRulesForEveryGain) {
    for (MapPath path : EveryMapPath()) {
        if (path == MapPath::kTableWalk)
            continue;
        for (DWORD g = 0; g <= 0xFFFF; ++g) {
            const WORD gain = static_cast<WORD>(g);
            BYTE table[256];
            mbUpdateTable(nullptr, gain, table);
            ASSERT_TRUE(quorvin_pixel::RuleReproducesTable(path, gain, table))
                << "controller table, gain " << g << " variant " << int(path);
            Spoil(table[g % 256]);
            ASSERT_FALSE(quorvin_pixel::RuleReproducesTable(path, gain, table)) << g;
            ManualTable(gain, table);
            ASSERT_TRUE(quorvin_pixel::RuleReproducesTable(path, gain, table))
                << "manual table, gain " << g << " variant " << int(path);
            Spoil(table[255 - g % 256]);
            ASSERT_FALSE(quorvin_pixel::RuleReproducesTable(path, gain, table)) << g;
        }
    }
}

// Every gain through whole frames: a frame that holds every byte value at
// every colour position, red on the controller's rule, blue on the manual
// rule, greens at neighbouring gains.
TEST(FastPath, CorrectionAgreesForEveryGain) {
    const DWORD w = 64, h = 16; // 256 pixels per colour position
    std::vector<BYTE> frame(w * h);
    for (DWORD y = 0; y < h; ++y)
        for (DWORD x = 0; x < w; ++x)
            frame[y * w + x] = static_cast<BYTE>((y / 2) * 32 + x / 2);
    for (DWORD g = 0; g <= 0xFFFF; g += (g < 2048 ? 1 : 7)) {
        const WORD gain = static_cast<WORD>(g);
        CWhiteBalanceCtrl wb = Controller(gain, static_cast<WORD>(g ^ 1), 128, gain, 1);
        ExpectAllMapPathsAgree(wb, frame.data(), w, h, 2, 0);
    }
}

} // namespace
