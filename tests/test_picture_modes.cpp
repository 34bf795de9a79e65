// SPDX-License-Identifier: GPL-2.0 OR MIT
// The opt-in picture modes: the subsampled count of clipped pixels, the
// highlight guard in a closed loop with a simple sensor, the robust white
// balance weights, and their exported switches.
#include "test_awb_camera.h"
#include "test_pixel_paths.h"

#include <AWB/PictureCtrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <utility>
#include <vector>

namespace {

using awbtest::Camera;

// The count a plain loop gives: every row of each kth row pair, k as the
// pass chooses it from the height.
QuorvinClipCount PlainCount(const CAveragePixelValue& stats, uint32_t width, uint32_t height,
                            const std::vector<uint8_t>& frame) {
    uint32_t pairStep = 1;
    while (pairStep < 8 && pairStep * 2 * 120 <= height)
        pairStep *= 2;
    QuorvinClipCount count{};
    uint32_t rowStart = 0;
    for (int areaRow = 0; areaRow < 4; ++areaRow) {
        uint32_t columnStart = 0;
        for (int areaColumn = 0; areaColumn < 4; ++areaColumn) {
            uint32_t sampled = 0;
            uint32_t clipped = 0;
            for (uint32_t y = rowStart; y < stats.m_pdwImagePosY[areaRow]; ++y) {
                if ((y / 2) % pairStep != 0)
                    continue;
                for (uint32_t x = columnStart; x < stats.m_pdwImagePosX[areaColumn]; ++x) {
                    const uint8_t v = frame[static_cast<size_t>(y) * width + x];
                    ++sampled;
                    clipped += v == 255 ? 1u : 0u;
                    count.dwHigh += v >= 240 ? 1u : 0u;
                    count.dwBright += v >= 192 ? 1u : 0u;
                }
            }
            if (sampled != 0 && clipped * 32 >= sampled)
                count.wClippedAreas =
                    static_cast<WORD>(count.wClippedAreas | 1u << (4 * areaRow + areaColumn));
            count.dwSampled += sampled;
            count.dwClipped += clipped;
            columnStart = stats.m_pdwImagePosX[areaColumn];
        }
        rowStart = stats.m_pdwImagePosY[areaRow];
    }
    return count;
}

// Word-wise counting against the plain loop: odd widths and boundaries (word
// tails), segments long enough to fold the byte lanes, heights that sample
// every, every 2nd, every 4th and every 8th row pair, and bytes either side of 240
// and 255.
TEST(ClipCount, MatchesPlainLoop) {
    struct Size {
        uint32_t width, height;
    } sizes[] = {{1, 1},     {3, 5},     {10, 6},   {37, 29},
                 {100, 300}, {640, 480}, {8200, 8}, {1921, 1080}};
    std::mt19937 rng(7);
    const uint8_t levels[] = {0, 1, 128, 191, 192, 239, 240, 241, 254, 255, 255};
    for (const Size& size : sizes) {
        std::vector<uint8_t> frame(static_cast<size_t>(size.width) * size.height);
        for (uint8_t& v : frame)
            v = levels[rng() % sizeof levels];
        // A block of 255s in one corner, so that some areas are clipped and
        // some are not.
        for (uint32_t y = 0; y < size.height / 3; ++y)
            for (uint32_t x = 0; x < size.width / 3; ++x)
                frame[static_cast<size_t>(y) * size.width + x] = 255;
        CAveragePixelValue stats;
        CAveragePixelValue_init(&stats);
        UpdateAverage(&stats, size.width, size.height, 2, frame.data());

        QuorvinClipCount got;
        CountClippedPixels(&stats, size.width, size.height, frame.data(), &got);
        const QuorvinClipCount want = PlainCount(stats, size.width, size.height, frame);
        SCOPED_TRACE(testing::Message() << size.width << " x " << size.height);
        EXPECT_EQ(got.dwSampled, want.dwSampled);
        EXPECT_EQ(got.dwClipped, want.dwClipped);
        EXPECT_EQ(got.dwHigh, want.dwHigh);
        EXPECT_EQ(got.dwBright, want.dwBright);
        EXPECT_EQ(got.wClippedAreas, want.wClippedAreas);
    }
    CAveragePixelValue stats;
    CAveragePixelValue_init(&stats);
    UpdateAverage(&stats, 0, 0, 2, nullptr);
    QuorvinClipCount empty;
    CountClippedPixels(&stats, 0, 0, nullptr, &empty);
    EXPECT_EQ(empty.dwSampled, 0u);
    EXPECT_EQ(empty.wClippedAreas, 0u);
}

// The count by every statistics variant against the plain loop: areas
// narrower and wider than a vector (the vector count then takes the frame or
// leaves it to the word loop), column ends inside a vector (the last vector
// of a column shares bytes with the one before), columns longer than a
// byte lane holds (runs of 254 vectors and more, all at 255), frames starting
// at every address parity, every row pair counted and every 2nd, 4th, 8th.
// Each frame is a buffer of exactly its bytes, so that the sanitizer build
// catches a read past its end. The norms are then added by the loop of their
// own, as the controllers' step does, and must equal those of the word pass.
TEST(ClipCount, EveryVariantMatchesThePlainLoop) {
    pixeltest::RestorePaths restore;
    struct Size {
        uint32_t width, height;
    } sizes[] = {{1, 1},       {127, 3},   {128, 5},
                 {131, 9},     {200, 250}, {647, 483},
                 {1921, 1081}, {32513, 4}, {4 * 255 * 32 + 64, 3}};
    const uint8_t levels[] = {0, 1, 128, 191, 192, 239, 240, 241, 254, 255, 255};
    std::mt19937 rng(11);
    for (const Size& size : sizes)
        for (uint32_t start = 0; start<4; start += size.width> 2000 ? 3 : 1) {
            const size_t bytes = static_cast<size_t>(size.width) * size.height;
            std::unique_ptr<uint8_t[]> buffer(new uint8_t[start + bytes]);
            uint8_t* raw = buffer.get() + start;
            std::vector<uint8_t> frame(bytes);
            for (uint8_t& v : frame)
                v = size.height <= 4 ? 255 : levels[rng() % sizeof levels];
            for (uint32_t y = 0; y < size.height / 3; ++y)
                for (uint32_t x = 0; x < size.width / 3; ++x)
                    frame[static_cast<size_t>(y) * size.width + x] = 255;
            std::copy(frame.begin(), frame.end(), raw);
            CAveragePixelValue stats;
            CAveragePixelValue_init(&stats);
            UpdateAverage(&stats, size.width, size.height, 2, raw);
            const QuorvinClipCount want = PlainCount(stats, size.width, size.height, frame);
            QuorvinClipCount words;
            CountClippedAndNorms(&stats, size.width, size.height, raw, &words);
            for (quorvin_pixel::SumPath path : pixeltest::EverySumPath()) {
                ASSERT_TRUE(quorvin_pixel::SelectSumPath(path));
                SCOPED_TRACE(testing::Message() << size.width << " x " << size.height << " at +"
                                                << start << ", variant " << static_cast<int>(path));
                QuorvinClipCount got;
                const bool vector =
                    quorvin_pixel::CountClippedVector(&stats, size.width, size.height, raw, &got);
                // A vector count wherever the AVX2 statistics are selected
                // and every area column holds a vector (the NEON variant
                // leaves the count to the word loop).
                uint32_t narrowest = size.width;
                for (int i = 0; i < 4; ++i)
                    narrowest = std::min<uint32_t>(
                        narrowest, stats.m_pdwImagePosX[i] - (i ? stats.m_pdwImagePosX[i - 1] : 0));
                EXPECT_EQ(vector, path == quorvin_pixel::SumPath::kAvx2 && narrowest >= 32);
                if (!vector)
                    continue;
                EXPECT_EQ(got.dwSampled, want.dwSampled);
                EXPECT_EQ(got.dwClipped, want.dwClipped);
                EXPECT_EQ(got.dwHigh, want.dwHigh);
                EXPECT_EQ(got.dwBright, want.dwBright);
                EXPECT_EQ(got.wClippedAreas, want.wClippedAreas);
                EXPECT_EQ(got.dwNormCells, 0u);
                CountCellNorms(&stats, size.width, size.height, raw, &got);
                EXPECT_EQ(got.dwNormCells, words.dwNormCells);
                for (int c = 0; c < 3; ++c)
                    EXPECT_EQ(got.pddwPowerSum[c], words.pddwPowerSum[c]);
            }
        }
}

// Vector registers refused, at the first section or later in the frame: the
// vector count gives up and the modes count in general registers, so that a
// closed loop with both modes on runs exactly as with the word variant.
TEST(ClipCount, RefusedVectorSectionsLeaveTheSameLoop) {
    pixeltest::RestorePaths restore;
    if (!quorvin_pixel::SumPathAvailable(quorvin_pixel::SumPath::kAvx2))
        GTEST_SKIP() << "no AVX2";
    struct Run {
        uint16_t shutter, gain, r, b;
        WORD clip;
        BYTE target;
    };
    const auto run = [](quorvin_pixel::SumPath path, int grants) {
        quorvin_pixel::SelectSumPath(path);
        Camera cam(640, 480);
        cam.bind();
        EXPECT_EQ(Quorvin_SetHighlightGuard(cam.obj(), 20, 32), 0);
        EXPECT_EQ(Quorvin_SetRobustAWB(cam.obj(), QUORVIN_AWB_ROBUST), 0);
        std::vector<Run> runs;
        for (int i = 0; i < 40; ++i) {
            // A warm scene with a window that clips more as the exposure rises.
            for (uint32_t y = 0; y < cam.height; ++y)
                for (uint32_t x = 0; x < cam.width; ++x) {
                    const uint32_t base = (x < 200 && y < 160) ? 220 : 40 + (x & 1) * 30 + y / 8;
                    const uint32_t level = base * cam.shutter_line / 100;
                    cam.frame[y * cam.width + x] = static_cast<uint8_t>(level > 255 ? 255 : level);
                }
            quorvin_user_vector_grants = grants;
            Quorvin_ImageBalance(cam.obj());
            quorvin_user_vector_grants = -1;
            runs.push_back(Run{cam.shutter_line, cam.gain, cam.r, cam.b,
                               cam.awb().m_objPictureCtrl.m_wClipPerMille,
                               cam.awb().m_objPictureCtrl.m_byteGuardTarget});
            cam.flag = 0;
        }
        return runs;
    };
    const std::vector<Run> words = run(quorvin_pixel::SumPath::kWord, -1);
    for (int grants : {-1, 0, 3, 10}) {
        const quorvin_pixel::VectorUse before = quorvin_pixel::VectorUseCounts();
        const std::vector<Run> vectors = run(quorvin_pixel::SumPath::kAvx2, grants);
        const quorvin_pixel::VectorUse after = quorvin_pixel::VectorUseCounts();
        EXPECT_EQ(after.dwWordChunks > before.dwWordChunks, grants >= 0) << grants;
        for (size_t i = 0; i < words.size(); ++i) {
            SCOPED_TRACE(testing::Message() << "grants " << grants << ", frame " << i);
            EXPECT_EQ(vectors[i].shutter, words[i].shutter);
            EXPECT_EQ(vectors[i].gain, words[i].gain);
            EXPECT_EQ(vectors[i].r, words[i].r);
            EXPECT_EQ(vectors[i].b, words[i].b);
            EXPECT_EQ(vectors[i].clip, words[i].clip);
            EXPECT_EQ(vectors[i].target, words[i].target);
        }
    }
    // A count refused after its first section gives up.
    quorvin_pixel::SelectSumPath(quorvin_pixel::SumPath::kAvx2);
    std::vector<uint8_t> frame(640 * 480, 255);
    CAveragePixelValue stats;
    CAveragePixelValue_init(&stats);
    UpdateAverage(&stats, 640, 480, 2, frame.data());
    QuorvinClipCount count;
    quorvin_user_vector_grants = 1;
    EXPECT_FALSE(quorvin_pixel::CountClippedVector(&stats, 640, 480, frame.data(), &count));
    quorvin_user_vector_grants = -1;
    EXPECT_TRUE(quorvin_pixel::CountClippedVector(&stats, 640, 480, frame.data(), &count));
    EXPECT_EQ(count.wClippedAreas, 0xFFFF);

    // The loop did count: the window clipped and the guard moved.
    EXPECT_GT(std::max_element(words.begin(), words.end(),
                               [](const Run& a, const Run& b) { return a.clip < b.clip; })
                  ->clip,
              20);
}

// A sensor for the closed loop: every pixel's level is its reflectance times
// the shutter lines / 100, clipped at 255; published settings apply to the
// next frame. highlight: reflectance of the brightest 1/8 of the pixels
// (the others have 60).
struct Loop {
    Camera cam{64, 64};
    uint8_t highlight = 200;

    Loop() {
        cam.bind();
        cam.fill_grey(60);
    }
    void render() {
        for (uint32_t y = 0; y < cam.height; ++y)
            for (uint32_t x = 0; x < cam.width; ++x) {
                const uint32_t reflectance = (x % 8 == 3) ? highlight : 60u;
                const uint32_t level = reflectance * cam.shutter_line / 100;
                cam.frame[y * cam.width + x] = static_cast<uint8_t>(level > 255 ? 255 : level);
            }
    }
    // Runs n frames; returns the share of pixels at 255 in the last one, per
    // mille.
    int run(int n) {
        for (int i = 0; i < n; ++i) {
            render();
            Quorvin_ALCWBalance(cam.obj());
            cam.flag = 0;
        }
        render();
        int clipped = 0;
        for (uint8_t v : cam.frame)
            clipped += v == 255 ? 1 : 0;
        return clipped * 1000 / static_cast<int>(cam.frame.size());
    }
    const CPictureCtrl& picture() { return cam.awb().m_objPictureCtrl; }
};

TEST(HighlightGuard, OffLeavesTheHighlightsClipped) {
    Loop loop;
    EXPECT_GT(loop.run(300), 100) << "the mean alone is driven to 128: 1/8 of the frame clips";
    EXPECT_EQ(loop.cam.lum().m_byteTarget, 128);
    EXPECT_EQ(loop.picture().m_byteGuardTarget, 0);
}

TEST(HighlightGuard, LowersTheTargetUntilWithinBudgetThenHoldsAndClimbsBack) {
    Loop loop;
    ASSERT_EQ(Quorvin_SetHighlightGuard(loop.cam.obj(), 20, 32), 0);
    EXPECT_LE(loop.run(200), 20);
    const BYTE lowered = loop.picture().m_byteGuardTarget;
    EXPECT_LT(lowered, 128);
    EXPECT_GE(lowered, 32);
    EXPECT_EQ(loop.cam.lum().m_byteTarget, 128) << "the configured target stays";

    // At rest: no step down, no step up, no publication.
    loop.run(1);
    loop.cam.flag = 0;
    for (int i = 0; i < 140; ++i) {
        loop.run(1);
        EXPECT_EQ(loop.picture().m_byteGuardTarget, lowered) << "frame " << i;
        EXPECT_EQ(loop.cam.flag, 0) << "frame " << i;
    }

    // The highlights leave the scene: the target climbs back all the way.
    loop.highlight = 60;
    loop.run(400);
    EXPECT_EQ(loop.picture().m_byteGuardTarget, 128);
    EXPECT_NEAR(loop.cam.shutter_line * 60 / 100, 128, 10);
}

// A climb from a dark start under a light that dips for three frames of
// every seven: the evaluation's sampled frames average darker than the frame
// it evaluates on, and the exposure moves by the ratio of the target to that
// average. The guard caps the climb from the darker of the two, so the
// picture does not overshoot the cap into the highlights.
TEST(HighlightGuard, CapsTheClimbFromTheSampledMean) {
    Loop loop;
    loop.highlight = 150;
    loop.cam.shutter_line = 40;
    ASSERT_EQ(Quorvin_SetHighlightGuard(loop.cam.obj(), 20, 32), 0);
    int worst = 0;
    for (int i = 0; i < 300; ++i) {
        loop.render();
        if (i % 7 < 3) {
            for (uint8_t& v : loop.cam.frame)
                v = static_cast<uint8_t>(v * 3 / 4);
        }
        int clipped = 0;
        for (uint8_t v : loop.cam.frame)
            clipped += v == 255 ? 1 : 0;
        if (i >= 20)
            worst = std::max(worst, clipped * 1000 / static_cast<int>(loop.cam.frame.size()));
        Quorvin_ALCWBalance(loop.cam.obj());
        loop.cam.flag = 0;
    }
    // Without the mean, the climb lands at 4/3 of the cap: 1/8 clipped.
    EXPECT_LE(worst, 20) << "no frame beyond the budget once the climb is capped";
    EXPECT_LT(loop.picture().m_byteGuardTarget, 128);
}

TEST(HighlightGuard, NeverGoesBelowTheFloorNorAboveTheTarget) {
    Loop loop;
    loop.highlight = 255; // clips at any exposure that shows the scene
    ASSERT_EQ(Quorvin_SetHighlightGuard(loop.cam.obj(), 20, 100), 0);
    loop.run(300);
    EXPECT_EQ(loop.picture().m_byteGuardTarget, 100);

    // A configured target below the floor wins over the floor.
    BYTE target[3] = {90, 5, 5};
    ASSERT_EQ(Quorvin_CLuminance_SetTarget(loop.cam.obj(), target), TRUE);
    loop.run(100);
    EXPECT_EQ(loop.picture().m_byteGuardTarget, 90);
}

// One guard step at a time, from given counts (per mille of 1000 sampled
// pixels) and brightness, budget 20, floor 32, target 128, dead band 5 + 5:
// the climb from a dark start stops short of a target that would clip; at
// rest half the budget more is tolerated (a count wandering across the
// budget moves nothing); off the target, and beyond that at rest, the target
// steps down, by a quarter from four times the budget.
TEST(HighlightGuard, StepsFromTheCountsWithHysteresisAtRest) {
    const auto step = [](BYTE guardTarget, BYTE level, DWORD clipped, DWORD high, DWORD bright) {
        CLuminanceCtrl lum{};
        lum.m_byteTarget = 128;
        lum.m_byteTolerance = 5;
        lum.m_byteThreshold = 5;
        CPictureCtrl picture;
        CPictureCtrl_init(&picture);
        picture.m_byteClipBudget = 20;
        picture.m_byteTargetFloor = 32;
        picture.m_byteGuardTarget = guardTarget;
        QuorvinClipCount count{};
        count.dwSampled = 1000;
        count.dwClipped = clipped;
        count.dwHigh = high;
        count.dwBright = bright;
        return static_cast<int>(GuardTarget(&picture, &lum, level, &count));
    };
    // Climbing at 60: nothing near the top keeps the target; more than the
    // budget at 192 or more (a rise by 4/3 clips them) stops it at 9/8,
    // more at 240 or more (a rise by 17/16) at 1/32 above.
    EXPECT_EQ(step(0, 60, 0, 5, 10), 128);
    EXPECT_EQ(step(0, 60, 0, 5, 30), 67);
    EXPECT_EQ(step(0, 60, 5, 25, 30), 61);
    // Never below the floor.
    EXPECT_EQ(step(0, 20, 0, 25, 30), 32);
    // At rest on a lowered target: up to 30 per mille holds, beyond steps
    // 1/8, and from 80 per mille 1/4.
    EXPECT_EQ(step(100, 100, 25, 40, 60), 100);
    EXPECT_EQ(step(100, 100, 30, 40, 60), 100);
    EXPECT_EQ(step(100, 100, 31, 40, 60), 88);
    EXPECT_EQ(step(100, 100, 40, 50, 60), 88);
    EXPECT_EQ(step(100, 100, 80, 90, 100), 75);
    // Off the target, below it (still rising): the budget itself, stepped
    // from the brightness.
    EXPECT_EQ(step(100, 80, 25, 40, 60), 70);
    // Above it (already falling): wait; within the band and a tolerance
    // more, step with the exposure, by an eighth of the target even from
    // four times the budget.
    EXPECT_EQ(step(100, 120, 60, 80, 90), 100);
    EXPECT_EQ(step(100, 116, 90, 95, 99), 100);
    EXPECT_EQ(step(100, 115, 90, 95, 99), 88);
    EXPECT_EQ(step(100, 111, 60, 80, 90), 88);
    EXPECT_EQ(step(100, 110, 90, 95, 99), 75);
}

TEST(HighlightGuard, OffAgainGivesTheDefaultLoopBitForBit) {
    Loop plain;
    Loop switched;
    ASSERT_EQ(Quorvin_SetHighlightGuard(switched.cam.obj(), 20, 32), 0);
    ASSERT_EQ(Quorvin_SetRobustAWB(switched.cam.obj(), QUORVIN_AWB_ROBUST), 0);
    ASSERT_EQ(Quorvin_SetHighlightGuard(switched.cam.obj(), 0, 32), 0);
    ASSERT_EQ(Quorvin_SetRobustAWB(switched.cam.obj(), QUORVIN_AWB_GREY_WORLD), 0);
    for (int i = 0; i < 120; ++i) {
        plain.run(1);
        switched.run(1);
        ASSERT_EQ(plain.cam.shutter_line, switched.cam.shutter_line) << "frame " << i;
        ASSERT_EQ(plain.cam.gain, switched.cam.gain) << "frame " << i;
        ASSERT_EQ(plain.cam.r, switched.cam.r) << "frame " << i;
        ASSERT_EQ(plain.cam.b, switched.cam.b) << "frame " << i;
    }
}

// One area per colour case: grey areas stay in, strongly coloured, clipped
// and dark ones go out, unweighted ones stay out.
TEST(RobustWhiteBalance, LeavesOutColouredClippedAndDarkAreas) {
    CWhiteBalanceCtrl wb;
    WORD gains[4] = {128, 128, 128, 128};
    CWhiteBalanceCtrl_init(&wb, gains, 2);
    CAveragePixelValue stats;
    CAveragePixelValue_init(&stats);
    stats.m_wColorArray = 2;
    for (auto& area : stats.m_pbyteAverage) {
        area[0] = 100; // red
        area[1] = area[2] = 100;
        area[3] = 100; // blue
    }
    const auto set = [&stats](int area, uint8_t red, uint8_t green, uint8_t blue) {
        stats.m_pbyteAverage[area][0] = red;
        stats.m_pbyteAverage[area][1] = stats.m_pbyteAverage[area][2] = green;
        stats.m_pbyteAverage[area][3] = blue;
    };
    set(1, 151, 100, 100); // red just beyond 3/2
    set(2, 150, 100, 100); // red at 3/2: kept
    set(3, 100, 100, 66);  // blue under 2/3
    set(4, 100, 100, 67);  // blue just over 2/3: kept
    set(5, 7, 7, 7);       // too dark
    wb.m_pbyteAWBWeight[6] = 0;
    wb.m_pbyteAWBWeight[7] = 9;
    BYTE weights[16];
    RobustAreaWeights(&wb, &stats, 1u << 8, weights);
    const BYTE want[16] = {1, 0, 1, 0, 1, 0, 0, 9, 0, 1, 1, 1, 1, 1, 1, 1};
    for (int area = 0; area < 16; ++area)
        EXPECT_EQ(weights[area], want[area]) << "area " << area;

    // Red and blue targets other than 100 % move where a grey is.
    wb.m_pwTarget[0] = 150;
    RobustAreaWeights(&wb, &stats, 0, weights);
    EXPECT_EQ(weights[1], 1) << "151 is a grey's red at a target of 150 %";
    EXPECT_EQ(weights[0], 1) << "100 is 2/3 of 150: still in";

    // Fewer than four areas left: every area counts as weighted.
    for (auto& area : stats.m_pbyteAverage)
        area[0] = 250;
    RobustAreaWeights(&wb, &stats, 0, weights);
    for (int area = 0; area < 16; ++area)
        EXPECT_EQ(weights[area], wb.m_pbyteAWBWeight[area]) << "area " << area;
}

// The norms of the unclipped cells against a plain computation: cells with
// a sample at 250 or more are left out, the green is the mean of the two,
// each colour of each code lands in its own sum; the fourth root of the mean
// comes back in colour index order, and nothing when too few cells are
// unclipped. The edges of the same cells against the same computation: a
// cell counts where its green steps by 8 levels or more from the unclipped
// cell on its left, a clipped cell breaks the chain.
TEST(RobustWhiteBalance, NormsOfTheUnclippedCells) {
    const uint32_t width = 64, height = 64;
    std::vector<uint8_t> frame(width * height);
    std::mt19937 rng(3);
    for (uint8_t& v : frame)
        v = static_cast<uint8_t>(rng() % 256);
    for (WORD code = 2; code <= 5; ++code) {
        CAveragePixelValue stats;
        CAveragePixelValue_init(&stats);
        UpdateAverage(&stats, width, height, code, frame.data());
        QuorvinClipCount got;
        CountClippedAndNorms(&stats, width, height, frame.data(), &got);
        const uint32_t flip = code - 2u;
        uint64_t sums[3] = {0, 0, 0};
        uint64_t edges[4] = {0, 0, 0, 0}; // red, green, blue, edges counted
        uint32_t cells = 0;
        for (uint32_t y = 0; y + 1 < height; y += 2) {
            bool left = false; // the cell on the left unclipped
            int64_t previous[3] = {0, 0, 0};
            for (uint32_t x = 0; x + 1 < width; x += 2) {
                const uint32_t cell[4] = {frame[y * width + x], frame[y * width + x + 1],
                                          frame[(y + 1) * width + x],
                                          frame[(y + 1) * width + x + 1]};
                if (*std::max_element(cell, cell + 4) >= 250) {
                    left = false;
                    continue;
                }
                const uint64_t channel[3] = {cell[0 ^ flip], (cell[1 ^ flip] + cell[2 ^ flip]) / 2,
                                             cell[3 ^ flip]};
                // An edge where the green steps by 8 levels or more.
                const bool edge =
                    left && std::abs(static_cast<int64_t>(channel[1]) - previous[1]) >= 8;
                edges[3] += edge ? 1 : 0;
                for (int c = 0; c < 3; ++c) {
                    sums[c] += channel[c] * channel[c] * channel[c] * channel[c];
                    if (edge)
                        edges[c] += static_cast<uint64_t>(
                            std::abs(static_cast<int64_t>(channel[c]) - previous[c]));
                    previous[c] = static_cast<int64_t>(channel[c]);
                }
                left = true;
                ++cells;
            }
        }
        SCOPED_TRACE(testing::Message() << "code " << code);
        EXPECT_EQ(got.dwNormCells, cells);
        DDWORD gotEdges[4] = {1, 1, 1, 1};
        CountCellEdges(&stats, width, height, frame.data(), gotEdges);
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(got.pddwPowerSum[c], sums[c]);
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(gotEdges[c], edges[c]);
        BYTE average[4];
        ASSERT_EQ(NormAverage(&got, average), TRUE);
        for (int c = 0; c < 3; ++c) {
            const double root = std::pow(static_cast<double>(sums[c]) / cells, 0.25);
            EXPECT_NEAR(average[c == 0 ? 0 : c == 1 ? 1 : 3], root, 1.0);
        }
        EXPECT_EQ(average[1], average[2]);
    }

    // Counting only: no norms. Nearly all cells clipped: no average.
    CAveragePixelValue stats;
    CAveragePixelValue_init(&stats);
    UpdateAverage(&stats, width, height, 2, frame.data());
    QuorvinClipCount plain;
    CountClippedPixels(&stats, width, height, frame.data(), &plain);
    EXPECT_EQ(plain.dwNormCells, 0u);
    std::fill(frame.begin(), frame.end(), uint8_t{255});
    frame[0] = frame[1] = frame[width] = frame[width + 1] = 100; // one cell of 1024
    UpdateAverage(&stats, width, height, 2, frame.data());
    QuorvinClipCount clipped;
    CountClippedAndNorms(&stats, width, height, frame.data(), &clipped);
    EXPECT_EQ(clipped.dwNormCells, 1u);
    BYTE untouched[4] = {7, 7, 7, 7};
    EXPECT_EQ(NormAverage(&clipped, untouched), FALSE);
    EXPECT_EQ(untouched[0], 7);
}

// The norms' and the edges' passes of their own take only a non-empty frame
// of a Bayer code (2 to 5): anything else leaves them empty, whatever the
// caller's sums held before.
TEST(RobustWhiteBalance, SeparatePassesNeedABayerFrame) {
    const uint32_t width = 64, height = 64;
    std::vector<uint8_t> frame(width * height);
    for (uint32_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<uint8_t>((i / 2) % 2 != 0 ? 150 : 60); // an edge every cell
    struct Case {
        uint32_t width, height;
        WORD code;
        bool counts;
    };
    const Case cases[] = {{width, height, 2, true},
                          {0, height, 2, false},
                          {width, 0, 2, false},
                          {width, height, 1, false},
                          {width, height, 6, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " code " << c.code);
        CAveragePixelValue stats;
        CAveragePixelValue_init(&stats);
        UpdateAverage(&stats, width, height, 2, frame.data());
        stats.m_wColorArray = c.code;
        QuorvinClipCount norms{};
        norms.dwNormCells = 9;
        norms.pddwPowerSum[0] = norms.pddwPowerSum[1] = norms.pddwPowerSum[2] = 9;
        CountCellNorms(&stats, c.width, c.height, frame.data(), &norms);
        DDWORD edges[4] = {9, 9, 9, 9};
        CountCellEdges(&stats, c.width, c.height, frame.data(), edges);
        EXPECT_EQ(norms.dwNormCells != 0, c.counts);
        EXPECT_EQ(norms.pddwPowerSum[0] != 0, c.counts);
        EXPECT_EQ(edges[3] != 0, c.counts);
        EXPECT_EQ(edges[1] != 0, c.counts);
    }
}

// The counts of the norms' pass over `cells` cells all of one colour.
QuorvinClipCount UniformNorms(uint64_t red, uint64_t green, uint64_t blue, uint32_t cells = 1) {
    QuorvinClipCount c{};
    c.dwSampled = 4 * cells;
    c.dwNormCells = cells;
    c.pddwPowerSum[0] = red * red * red * red * cells;
    c.pddwPowerSum[1] = green * green * green * green * cells;
    c.pddwPowerSum[2] = blue * blue * blue * blue * cells;
    return c;
}

// The statistic the robust mode balances on: from the norm towards the
// geometric mean of the norm and of the edges scaled to the norm's green, by
// a weight that grows with the share of cells with an edge and with the
// norm's darkest colour, and shrinks as the edges' red or blue move away
// from the norm's. Bright surfaces of one colour pulling the norm their way
// are met half way by the edges; edges far off the norm, none in a colour,
// too few or in a colour too dark leave the norm alone; without a norm
// nothing is written.
TEST(RobustWhiteBalance, BlendsTheNormTowardsTheEdges) {
    const auto expectColour = [](const BYTE* got, int red, int green, int blue) {
        EXPECT_EQ(got[0], red);
        EXPECT_EQ(got[1], green);
        EXPECT_EQ(got[2], green);
        EXPECT_EQ(got[3], blue);
    };
    BYTE average[4];
    // A warm norm within half an octave of grey edges: the geometric mean
    // whole, at the norm's green.
    const QuorvinClipCount warm = UniformNorms(130, 100, 80);
    const DDWORD grey[4] = {3000, 3000, 3000, 1};
    ASSERT_EQ(RobustAverage(&warm, grey, average), TRUE);
    expectColour(average, 114, 100, 89);

    // Edges as coloured as the norm: the same colour.
    const QuorvinClipCount same = UniformNorms(160, 120, 90);
    const DDWORD alike[4] = {1600, 1200, 900, 1};
    ASSERT_EQ(RobustAverage(&same, alike, average), TRUE);
    expectColour(average, 160, 120, 90);

    // Sums beyond 32 bits (a frame far larger than any camera's) scale down.
    const DDWORD huge[4] = {3ULL << 40, 3ULL << 40, 3ULL << 40, 1};
    ASSERT_EQ(RobustAverage(&warm, huge, average), TRUE);
    expectColour(average, 114, 100, 89);

    // Edges 2.5 times or more off the norm (a red object's boundary on a grey
    // ground), none in a colour, from 1/32 of the cells or fewer, or with a
    // colour of the norm at 16 levels or under: the norm alone.
    const DDWORD boundary[4] = {1000, 3000, 3000, 1};
    const DDWORD noBlue[4] = {500, 500, 0, 1};
    // (The green's sum lost when the sums come down to 32 bits.)
    const DDWORD greenLost[4] = {1ULL << 40, 1, 1ULL << 40, 1};
    const QuorvinClipCount fewEdges = UniformNorms(130, 100, 80, 32);
    const QuorvinClipCount darkBlue = UniformNorms(40, 30, 16);
    const std::pair<const QuorvinClipCount*, const DDWORD*> normAlone[] = {{&warm, boundary},
                                                                           {&warm, noBlue},
                                                                           {&warm, greenLost},
                                                                           {&fewEdges, grey},
                                                                           {&darkBlue, grey}};
    for (const auto& [norms, edges] : normAlone) {
        BYTE norm[4];
        ASSERT_EQ(NormAverage(norms, norm), TRUE);
        ASSERT_EQ(RobustAverage(norms, edges, average), TRUE);
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(average[c], norm[c]) << "colour " << c;
    }

    // A bright red norm with redder edges: the mean stops at 255.
    const QuorvinClipCount bright = UniformNorms(240, 100, 100);
    const DDWORD redder[4] = {300, 100, 100, 1};
    ASSERT_EQ(RobustAverage(&bright, redder, average), TRUE);
    expectColour(average, 255, 100, 100);

    // Halfway up the share ramp (an edge at 1/16 of the cells) the weight
    // is a third, also for a count of cells whose ramp spans more than 32
    // bits (no camera's; the count's own total left at 0 so that the norm
    // is trusted).
    const QuorvinClipCount someEdges = UniformNorms(130, 100, 80, 32);
    const DDWORD someGrey[4] = {3000, 3000, 3000, 2};
    BYTE third[4];
    ASSERT_EQ(RobustAverage(&someEdges, someGrey, third), TRUE);
    EXPECT_LT(third[0], 130);
    EXPECT_GT(third[0], 114);
    const uint32_t many = 0x60000000u;
    QuorvinClipCount manyCells = UniformNorms(130, 100, 80, many);
    manyCells.dwSampled = 0;
    const DDWORD manyGrey[4] = {3000, 3000, 3000, many / 16};
    ASSERT_EQ(RobustAverage(&manyCells, manyGrey, average), TRUE);
    for (int c = 0; c < 4; ++c)
        EXPECT_EQ(average[c], third[c]) << "colour " << c;

    // Too few unclipped cells: nothing written, as NormAverage.
    QuorvinClipCount clipped = warm;
    clipped.dwSampled = 4 * 65;
    BYTE untouched[4] = {7, 7, 7, 7};
    EXPECT_EQ(RobustAverage(&clipped, grey, untouched), FALSE);
    EXPECT_EQ(untouched[0], 7);
    EXPECT_EQ(untouched[3], 7);
}

// No threshold switches the statistic: as the share of cells with an edge,
// the edges' distance from the norm or the norm's darkest colour moves in
// small steps across its whole ramp, the estimate moves from one end to the
// other in steps of a level or two. A switch would jump by the
// whole difference between the norm and the geometric mean (16 levels of red
// here) and make the colour gains, and with them the exposure, swing between
// evaluations.
TEST(RobustWhiteBalance, EstimateMovesSmoothlyAcrossEachRamp) {
    // Red and blue of the estimate along a ramp: from `first` to `last` in
    // steps of at most `step` levels.
    const auto expectSmooth = [](const std::vector<std::pair<int, int>>& colours,
                                 std::pair<int, int> first, std::pair<int, int> last, int step) {
        ASSERT_FALSE(colours.empty());
        EXPECT_EQ(colours.front(), first);
        EXPECT_EQ(colours.back(), last);
        for (size_t i = 1; i < colours.size(); ++i) {
            SCOPED_TRACE(testing::Message() << "step " << i);
            EXPECT_LE(std::abs(colours[i].first - colours[i - 1].first), step);
            EXPECT_LE(std::abs(colours[i].second - colours[i - 1].second), step);
        }
    };
    BYTE average[4];

    // The share of the 3200 cells with a grey edge, from 1/32 to 1/8.
    const QuorvinClipCount warm = UniformNorms(130, 100, 80, 3200);
    std::vector<std::pair<int, int>> reds; // red and blue
    for (DDWORD edges = 100; edges <= 400; edges += 10) {
        const DDWORD sums[4] = {3000 * edges, 3000 * edges, 3000 * edges, edges};
        ASSERT_EQ(RobustAverage(&warm, sums, average), TRUE);
        reds.emplace_back(average[0], average[3]);
    }
    expectSmooth(reds, {130, 80}, {114, 89}, 2);

    // The edges' red from half an octave under the norm's (the grey edges'
    // red at 92 levels where the norm's green is 100) to 2.5 times under it.
    reds.clear();
    const QuorvinClipCount one = UniformNorms(130, 100, 80, 1);
    for (DDWORD red = 920; red >= 520; red -= 10) {
        const DDWORD sums[4] = {red, 1000, 1000, 1};
        ASSERT_EQ(RobustAverage(&one, sums, average), TRUE);
        reds.emplace_back(average[0], average[3]);
    }
    expectSmooth(reds, {109, 89}, {130, 80}, 2);

    // The norm's blue from 16 to 32 levels, red and green 8 above it (grey
    // edges): from the norm alone to the geometric mean.
    reds.clear();
    for (uint64_t blue = 16; blue <= 32; ++blue) {
        const QuorvinClipCount dark = UniformNorms(blue + 8, blue + 8, blue, 1);
        const DDWORD sums[4] = {1000, 1000, 1000, 1};
        ASSERT_EQ(RobustAverage(&dark, sums, average), TRUE);
        reds.emplace_back(average[0], average[3]);
    }
    expectSmooth(reds, {24, 16}, {40, 35}, 2);
}

// Greys beside a darker, strongly red quarter under in-module correction:
// grey world tints the greys, the norm, which leans on the brighter greys,
// keeps them near neutral.
TEST(RobustWhiteBalance, KeepsGreysNeutralBesideADarkerColouredArea) {
    const auto settle = [](bool robust) {
        Camera cam(64, 64);
        cam.bind();
        Quorvin_SetAutoExposure(cam.obj(), 0x00);
        Quorvin_SetAutoGain(cam.obj(), 0x00);
        if (robust) {
            EXPECT_EQ(Quorvin_SetRobustAWB(cam.obj(), QUORVIN_AWB_ROBUST), 0);
        }
        for (int i = 0; i < 400; ++i) {
            for (uint32_t y = 0; y < cam.height; ++y)
                for (uint32_t x = 0; x < cam.width; ++x) {
                    const bool red = x < 32 && y < 32;
                    const uint32_t col = (y % 2) * 2 + (x % 2);
                    const int raw[4] = {red ? 100 : 120, red ? 10 : 100, red ? 10 : 100,
                                        red ? 8 : 70};
                    cam.frame[y * cam.width + x] = static_cast<uint8_t>(raw[col]);
                }
            Quorvin_ImageBalance(cam.obj());
        }
        // A grey area's red and blue after correction (its green is 100).
        const auto& stats = cam.awb().m_objAveragePixelValue;
        return std::make_pair(stats.m_pbyteAverage[15][0], stats.m_pbyteAverage[15][3]);
    };
    const auto greyWorld = settle(false);
    const auto [robustRed, robustBlue] = settle(true);
    EXPECT_LT(greyWorld.first, 85) << "grey world tints the greys";
    EXPECT_NEAR(robustRed, 100, 5);
    EXPECT_NEAR(robustBlue, 100, 5);
}

TEST(PictureModes, OffAfterBindingAndSwitchedUnderTheRules) {
    Camera cam;
    std::memset(cam.obj(), 0x5A, static_cast<size_t>(Quorvin_GetAWBObjectSize()));
    cam.bind();
    const CPictureCtrl& picture = cam.awb().m_objPictureCtrl;
    EXPECT_EQ(picture.m_byteClipBudget, 0);
    EXPECT_EQ(picture.m_byteRobustAWB, QUORVIN_AWB_GREY_WORLD);
    EXPECT_EQ(picture.m_byteGuardTarget, 0);

    EXPECT_EQ(Quorvin_SetRobustAWB(cam.obj(), 2), -QUORVIN_EINVAL);
    EXPECT_EQ(picture.m_byteRobustAWB, QUORVIN_AWB_GREY_WORLD) << "a refused mode changes nothing";
    EXPECT_EQ(Quorvin_SetRobustAWB(cam.obj(), QUORVIN_AWB_ROBUST), 0);
    EXPECT_EQ(picture.m_byteRobustAWB, QUORVIN_AWB_ROBUST);

    EXPECT_EQ(Quorvin_SetHighlightGuard(cam.obj(), 25, 40), 0);
    EXPECT_EQ(picture.m_byteClipBudget, 25);
    EXPECT_EQ(picture.m_byteTargetFloor, 40);
    cam.awb().m_objPictureCtrl.m_byteGuardTarget = 77;
    EXPECT_EQ(Quorvin_SetHighlightGuard(cam.obj(), 25, 40), 0);
    EXPECT_EQ(picture.m_byteGuardTarget, 0) << "setting the guard restarts it";

    for (void* p : {static_cast<void*>(nullptr), static_cast<void*>(cam.frame.data())}) {
        EXPECT_EQ(Quorvin_SetHighlightGuard(p, 20, 32), -QUORVIN_EINVAL);
        EXPECT_EQ(Quorvin_SetRobustAWB(p, 1), -QUORVIN_EINVAL);
    }
}

} // namespace
