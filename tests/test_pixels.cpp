// SPDX-License-Identifier: GPL-2.0 OR MIT
// The pixel passes as Quorvin_ImageBalance runs them: the fused pass
// (correct and measure band by band) against the plain two passes, for every
// pair of variants this build and machine offer, every colour array code,
// frame sizes on both sides of the vector plans' limits, odd starts, and
// tables that do and do not follow a rule; each rule variant against the
// tables for every gain; and the word fallback when a chunk cannot have
// vector registers.
#include "test_pixel_paths.h"

#include <AWB/AveragePixelValue.h>
#include <AWB/WhiteBalanceCtrl.h>
#include <gtest/gtest.h>
#include <tests/support/module_user.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

using namespace pixeltest;

// The plain passes, as the module defines them.
void RefCorrect(const CWhiteBalanceCtrl& wb, DWORD w, DWORD h, WORD code, BYTE* frame) {
    if (code < 2 || code > 5 || wb.m_byteMode == 0)
        return;
    for (DWORD y = 0; y < (h & ~1u); ++y)
        for (DWORD x = 0; x < (w & ~1u); ++x) {
            BYTE& b = frame[size_t{y} * w + x];
            b = wb.m_ppbyteTable[(2 * (y % 2) + x % 2) ^ (code - 2u)][b];
        }
}

void RefMeasure(const CAveragePixelValue& geometry, const BYTE* frame, DWORD w, DWORD h, WORD code,
                BYTE average[16][4]) {
    unsigned long long sum[16][4] = {};
    for (DWORD y = 0; y < h; ++y) {
        DWORD r = 0;
        while (y >= geometry.m_pdwImagePosY[r])
            ++r;
        for (DWORD x = 0; x < w; ++x) {
            DWORD i = 0;
            while (x >= geometry.m_pdwImagePosX[i])
                ++i;
            sum[4 * r + i][code == 1 ? 0 : 2 * (y % 2) + x % 2] += frame[size_t{y} * w + x];
        }
    }
    for (int a = 0; a < 16; ++a)
        for (int p = 0; p < (code == 1 ? 1 : 4); ++p) {
            const DWORD count = geometry.m_pdwAreaPixelCount[a][p];
            average[a][p] = static_cast<BYTE>(count == 0 ? 0 : sum[a][p] / count);
        }
}

// Gains of one case, and how the tables are built: by the controller's rule,
// by the manual gains' plain rule, or by hand, following no rule.
enum class Tables { kController, kPlain, kNoRule };

CWhiteBalanceCtrl Controller(const WORD gains[4], Tables tables, BYTE mode) {
    WORD g[4] = {gains[0], gains[1], gains[2], gains[3]};
    CWhiteBalanceCtrl wb;
    CWhiteBalanceCtrl_init(&wb, g, 2);
    wb.m_byteMode = mode;
    for (int k = 0; k < 4; ++k)
        for (int i = 0; i < 256; ++i) {
            if (tables == Tables::kPlain)
                wb.m_ppbyteTable[k][i] = static_cast<BYTE>(std::min((gains[k] * i) >> 7, 255));
            else if (tables == Tables::kNoRule && k == 3)
                wb.m_ppbyteTable[k][i] = static_cast<BYTE>(255 - i);
        }
    return wb;
}

// The fused pass on an exact-size buffer at an offset, against the plain
// passes: the same frame, the same record (every byte of it).
void ExpectFusedEqualsTwoPasses(const CWhiteBalanceCtrl& wb, const BYTE* frame, DWORD w, DWORD h,
                                WORD code, DWORD offset) {
    const size_t n = size_t{w} * h;
    std::vector<BYTE> want(frame, frame + n);
    CAveragePixelValue ref;
    std::memset(&ref, 0x5A, sizeof ref);
    CAveragePixelValue_init(&ref);
    mbUpdateImagePosAndPixelCount(&ref, w, h, code);
    RefCorrect(wb, w, h, code, want.data());
    RefMeasure(ref, want.data(), w, h, code, ref.m_pbyteAverage);

    CWhiteBalanceCtrl copy = wb;
    CAveragePixelValue got;
    std::memset(&got, 0x5A, sizeof got);
    CAveragePixelValue_init(&got);
    std::unique_ptr<BYTE[]> buf(new BYTE[offset + n + 1]);
    if (n != 0)
        std::memcpy(buf.get() + offset, frame, n);
    if (!quorvin_pixel::CorrectAndMeasure(&copy, &got, w, h, code, buf.get() + offset))
        UpdateAverage(&got, w, h, code, buf.get() + offset);
    ASSERT_TRUE(std::equal(want.begin(), want.end(), buf.get() + offset))
        << w << "x" << h << " code " << int(code) << " offset " << offset;
    ASSERT_EQ(std::memcmp(&ref, &got, sizeof ref), 0)
        << w << "x" << h << " code " << int(code) << " offset " << offset;
}

std::vector<BYTE> RandomFrame(DWORD w, DWORD h, std::mt19937& rng) {
    std::vector<BYTE> f(size_t{w} * h);
    for (BYTE& b : f)
        b = static_cast<BYTE>(rng());
    return f;
}

// Every pair of variants, every code (1 and an unknown one measure only),
// modes off and on, sizes narrower than every vector plan, just wide enough,
// and tall enough for many bands per area row; tables of both rules, the green
// shortcut, and a table that follows no rule (the walk takes the frame).
TEST(FusedPass, EqualsTheTwoPassesForEveryVariantCodeAndSize) {
    RestorePaths restore;
    std::mt19937 rng(11);
    const DWORD sizes[][2] = {{0, 0},   {1, 9},    {9, 1},      {5, 3},     {13, 7},   {127, 5},
                              {128, 9}, {257, 70}, {1283, 121}, {64, 1100}, {4100, 37}};
    const WORD gains[][4] = {{230, 140, 150, 310}, {200, 128, 128, 260}, {0, 1023, 64, 40000}};
    for (const auto& size : sizes) {
        const std::vector<BYTE> frame = RandomFrame(size[0], size[1], rng);
        const bool large = size_t{size[0]} * size[1] > 20000; // fewer cases, same variants
        for (SumPath sum : EverySumPath())
            for (MapPath map : EveryMapPath()) {
                ASSERT_TRUE(quorvin_pixel::SelectSumPath(sum));
                ASSERT_TRUE(quorvin_pixel::SelectMapPath(map));
                for (const auto& g : gains)
                    for (Tables tables : {Tables::kController, Tables::kPlain, Tables::kNoRule})
                        for (WORD code : {WORD{1}, WORD{2}, WORD{3}, WORD{4}, WORD{5}, WORD{7}})
                            for (BYTE mode : {BYTE{0}, BYTE{2}}) {
                                if (mode == 0 && (code != 2 || tables != Tables::kController))
                                    continue;
                                if (large && (&g != gains || (code != 2 && code != 5) ||
                                              tables == Tables::kPlain))
                                    continue;
                                const CWhiteBalanceCtrl wb = Controller(g, tables, mode);
                                const DWORD offset = static_cast<DWORD>(rng() % 4);
                                SCOPED_TRACE(testing::Message()
                                             << "sum " << int(sum) << " map " << int(map));
                                ExpectFusedEqualsTwoPasses(wb, frame.data(), size[0], size[1], code,
                                                           offset);
                            }
            }
    }
}

// Saturated tall frames through the fused pass: the band folds and the
// psadbw lanes see full sums (what only a wrong bound would overflow).
TEST(FusedPass, SaturatedTallFramesAgree) {
    RestorePaths restore;
    const WORD gains[4] = {256, 128, 128, 1023};
    for (const DWORD w : {1920u, 8400u, 200u})
        for (SumPath sum : EverySumPath()) {
            quorvin_pixel::SelectSumPath(sum);
            const DWORD h = 1024 * 1024 / w;
            const std::vector<BYTE> frame(size_t{w} * h, 255);
            ExpectFusedEqualsTwoPasses(Controller(gains, Tables::kController, 2), frame.data(), w,
                                       h, 2, 0);
        }
}

// Each rule variant against the tables, for every gain the controller or the
// manual gains can give, both rules.
TEST(RuleVariants, EqualTheTablesForEveryGain) {
    RestorePaths restore;
    std::mt19937 rng(12);
    const DWORD w = 67, h = 6;
    const std::vector<BYTE> frame = RandomFrame(w, h, rng);
    for (MapPath path : EveryMapPath()) {
        if (path == MapPath::kTableWalk)
            continue;
        ASSERT_TRUE(quorvin_pixel::SelectMapPath(path));
        for (DWORD gain = 0; gain <= 1100; gain += gain < 300 ? 1 : 7)
            for (Tables tables : {Tables::kController, Tables::kPlain}) {
                const WORD g = static_cast<WORD>(gain);
                const WORD gains[4] = {g, static_cast<WORD>(1100 - gain), 128, g};
                const CWhiteBalanceCtrl wb = Controller(gains, tables, QUORVIN_WB_AUTO);
                for (int k = 0; k < 4; ++k)
                    ASSERT_TRUE(
                        quorvin_pixel::RuleReproducesTable(path, gains[k], wb.m_ppbyteTable[k]))
                        << "variant " << int(path) << " gain " << gains[k];
                std::vector<BYTE> want = frame, got = frame;
                RefCorrect(wb, w, h, QUORVIN_COLOR_ARRAY_RGGB, want.data());
                CWhiteBalanceCtrl copy = wb;
                ImageProcessing(&copy, w, h, QUORVIN_COLOR_ARRAY_RGGB, got.data());
                ASSERT_EQ(want, got) << "variant " << int(path) << " gain " << gain;
            }
    }
}

// A chunk that cannot have vector registers goes to the word variants, at the
// first chunk or in the middle of a frame, with the same results; the counts
// show which ran.
TEST(VectorSections, RefusedChunksFallBackToTheWordVariants) {
    RestorePaths restore;
    const std::vector<SumPath> vectors = AvailablePaths({SumPath::kAvx2, SumPath::kNeon});
    if (vectors.empty())
        GTEST_SKIP() << "no vector statistics";
    quorvin_pixel::SelectSumPath(vectors.front());
    std::mt19937 rng(13);
    const DWORD w = 1920, h = 200; // 6 chunks of 34 rows
    const std::vector<BYTE> frame = RandomFrame(w, h, rng);
    const WORD gains[4] = {230, 140, 150, 310};
    const CWhiteBalanceCtrl wb = Controller(gains, Tables::kController, 2);
    for (int grants : {-1, 0, 1, 4}) {
        quorvin_user_vector_grants = grants;
        const quorvin_pixel::VectorUse before = quorvin_pixel::VectorUseCounts();
        ExpectFusedEqualsTwoPasses(wb, frame.data(), w, h, 2, 1);
        const quorvin_pixel::VectorUse after = quorvin_pixel::VectorUseCounts();
        EXPECT_EQ(after.dwWordChunks > before.dwWordChunks, grants >= 0) << grants;
        EXPECT_EQ(after.dwVectorChunks > before.dwVectorChunks, grants != 0) << grants;
        quorvin_user_vector_grants = -1;
    }
}

} // namespace
