// SPDX-License-Identifier: GPL-2.0 OR MIT
// The virtual camera as a driver author relies on it: short scenarios at a
// small frame size, with outcomes asserted within tolerances, plus the parts
// of the sensor model and the picture code that those outcomes rest on.
#include "image_io.h"
#include "report.h"
#include "scene.h"
#include "sensor.h"
#include "simulator.h"
#include "tests/support/quorvin_camera.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace camsim;

// A scenario at 160 x 120, over `frames` frames (0: its own length).
SimConfig small(const std::string& scenario, int frames = 0) {
    SimConfig cfg;
    cfg.width = 160;
    cfg.height = 120;
    cfg.frames = frames;
    cfg.scenario = scenario;
    return cfg;
}

RunResult run(const SimConfig& cfg) {
    RunResult result;
    std::string error;
    EXPECT_TRUE(run_simulation(cfg, &result, &error)) << error;
    return result;
}

std::string temp_path(const std::string& name) {
    return ::testing::TempDir() + "camsim_" + std::to_string(getpid()) + "_" + name;
}

std::vector<std::uint8_t> read_all(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// The default scenario starts four times under-exposed with unity colour
// gains under 4200 K: within 40 frames the brightness must be at the target
// within the tolerance and within 60 frames the greys neutral within 2 %,
// without clipping more than the chart's white patch.
TEST(CamsimScenario, DefaultConvergesToTargetAndNeutralGreys) {
    const RunResult result = run(small("chart"));
    const Summary s = summarise(result);
    EXPECT_LT(result.frames.front().brightness, 64);
    EXPECT_GT(result.frames.front().grey_error, 0.2);
    ASSERT_GE(s.frames_to_target, 0);
    EXPECT_LE(s.frames_to_target, 40);
    ASSERT_GE(s.frames_to_neutral, 0);
    EXPECT_LE(s.frames_to_neutral, 60);
    EXPECT_LE(std::abs(s.final_brightness_error), s.tolerance);
    EXPECT_LT(s.final_grey_error, kNeutralError);
    EXPECT_LT(s.max_clipped_settled, 0.02);
    EXPECT_LE(s.oscillations, 1);
}

// Under Quorvin_ALCWBalance the camera applies R, G, B, whose unit of 1/16
// limits how close the greys can come: within 4 %, not 2 %.
TEST(CamsimScenario, CameraColourGainsBalanceWithinTheirResolution) {
    SimConfig cfg = small("chart");
    cfg.module.entry = Entry::Alc;
    const RunResult result = run(cfg);
    const Summary s = summarise(result);
    ASSERT_GE(s.frames_to_target, 0);
    EXPECT_LE(s.frames_to_target, 40);
    EXPECT_EQ(s.uncorrected, 0);
    for (std::size_t i = result.frames.size() - 40; i < result.frames.size(); ++i)
        EXPECT_LT(result.frames[i].grey_error, 0.04) << "frame " << i;
    // The camera used the colour gains the driver received after the frame
    // before.
    for (std::size_t i = 1; i < result.frames.size(); ++i)
        EXPECT_DOUBLE_EQ(result.frames[i].camera_rgb[2], result.frames[i - 1].b / 16.0);
}

// A 16x step up of the light: the frame clips at once, and the loop must bring
// it back within a bounded number of frames instead of clipping for ever. The
// gain comes down first, some 40 register steps per evaluation of 7 frames,
// then the exposure: about 50 frames in all.
TEST(CamsimScenario, LightsOnRecoversFromClipping) {
    const RunResult result = run(small("lights-on"));
    const Summary s = summarise(result);
    ASSERT_EQ(result.settle_from, 100);
    EXPECT_GT(result.frames[102].clipped, 0.3);
    ASSERT_GE(s.frames_to_dead_band, 0);
    EXPECT_LE(s.frames_to_dead_band, 80);
    int clipped_frames = 0;
    for (std::size_t i = 100; i < result.frames.size(); ++i)
        clipped_frames += result.frames[i].clipped > 0.05;
    EXPECT_LE(clipped_frames, 60);
    EXPECT_LT(s.final_clipped, 0.02);
    // The light is back at normal office level: no analogue gain needed.
    EXPECT_EQ(result.frames.back().gain_reg, 0);
}

// With automatic gain off (mode 0x10) in a room too dark for any exposure,
// the exposure goes to its maximum and the gain register is never touched.
TEST(CamsimScenario, ExposureOnlyModeNeverTouchesGain) {
    SimConfig cfg = small("dim-room", 120);
    cfg.module.gain_mode = 0;
    cfg.module.initial_gain = 7;
    const RunResult result = run(cfg);
    int published = 0;
    for (const FrameRecord& f : result.frames) {
        EXPECT_EQ(f.gain_reg, 7) << "frame " << f.frame;
        EXPECT_EQ(f.luminance_mode, 0x10);
        published += f.published;
    }
    EXPECT_GT(published, 0);
    EXPECT_NEAR(result.frames.back().exposure_ms, 1e3 * frame_seconds(cfg.sensor), 1e-6);
}

// The same room with gain only (mode 0x01): the shutter stays where it was.
TEST(CamsimScenario, GainOnlyModeNeverTouchesShutter) {
    SimConfig cfg = small("dim-room", 120);
    cfg.module.exposure_mode = 0;
    const RunResult result = run(cfg);
    for (const FrameRecord& f : result.frames) {
        EXPECT_EQ(f.shutter_line, 100) << "frame " << f.frame;
        EXPECT_EQ(f.shutter_clock, 0) << "frame " << f.frame;
    }
    EXPECT_GT(result.frames.back().gain_reg, 0);
}

// One-shot exposure (0x20) and one-shot white balance (3) each settle once and
// then stop: the modes fall back (0 and 1), nothing more is published, and
// the light growing 16 times later is left alone. (Lit at 400, then 6400 lux.)
TEST(CamsimScenario, OneShotModesStop) {
    SimConfig cfg = small("lights-on");
    cfg.lux_scale = 16.0;
    cfg.module.exposure_mode = 2;
    cfg.module.gain_mode = 0;
    cfg.module.awb_mode = 3;
    const RunResult result = run(cfg);
    const auto& frames = result.frames;
    int lum_done = -1, awb_done = -1;
    for (const FrameRecord& f : frames) {
        if (lum_done < 0 && f.luminance_mode == 0)
            lum_done = f.frame;
        if (awb_done < 0 && f.awb_mode == 1)
            awb_done = f.frame;
    }
    ASSERT_GE(lum_done, 0);
    ASSERT_GE(awb_done, 0);
    EXPECT_LT(lum_done, 100);
    EXPECT_LT(awb_done, 100);
    for (const FrameRecord& f : frames) {
        if (f.frame > lum_done) {
            EXPECT_EQ(f.luminance_mode, 0);
            EXPECT_FALSE(f.published) << "frame " << f.frame;
        }
        if (f.frame > awb_done) {
            EXPECT_EQ(f.awb_mode, 1);
            EXPECT_EQ(f.r, frames[static_cast<std::size_t>(awb_done)].r);
            EXPECT_EQ(f.b, frames[static_cast<std::size_t>(awb_done)].b);
        }
    }
    // Settled before the lights came on, and still at those settings after.
    EXPECT_LE(std::abs(frames[99].brightness - 128), 10);
    EXPECT_GT(frames.back().clipped, 0.3);
}

// Replaying recorded frames through the program's path gives the bytes a
// driver gets by binding an object and calling Quorvin_ImageBalance itself.
TEST(CamsimReplay, SameCorrectedBytesAsCallingTheModuleDirectly) {
    SimConfig cfg = small("illuminant-change", 140);
    cfg.width = 64;
    cfg.height = 48;
    const std::string recorded = temp_path("recorded.raw"), corrected = temp_path("corrected.raw");
    {
        std::FILE* f = std::fopen(recorded.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        RunResult result;
        std::string error;
        ASSERT_TRUE(run_simulation(cfg, &result, &error, {}, [&](const std::uint8_t* frame) {
            std::fwrite(frame, 1, 64 * 48, f);
        })) << error;
        std::fclose(f);
    }
    RunResult replayed;
    std::string error;
    ASSERT_TRUE(replay_raw(cfg, recorded, corrected, &replayed, &error)) << error;
    ASSERT_EQ(replayed.frames.size(), 140u);

    const std::vector<std::uint8_t> in = read_all(recorded), out = read_all(corrected);
    ASSERT_EQ(in.size(), out.size());
    std::vector<std::max_align_t> object(
        static_cast<std::size_t>(Quorvin_GetAWBObjectSize()) / sizeof(std::max_align_t) + 1);
    std::vector<__u8> frame(64 * 48);
    QuorvinCameraVars camera;
    quorvin_camera_init(&camera, 64, 48, 500, 800, 100);
    quorvin_camera_bind(&camera, object.data(), frame.data(), 0, 0, 0);
    std::size_t differing = 0, changed = 0;
    for (std::size_t off = 0; off < in.size(); off += frame.size()) {
        std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(off), frame.size(), frame.begin());
        Quorvin_ImageBalance(object.data());
        camera.flag = 0;
        for (std::size_t i = 0; i < frame.size(); ++i) {
            differing += frame[i] != out[off + i];
            changed += frame[i] != in[off + i];
        }
    }
    Quorvin_FreeAWBObject(object.data());
    EXPECT_EQ(differing, 0u);
    EXPECT_GT(changed, in.size() / 4); // the module really corrected them

    // Under Quorvin_ALCWBalance the frames come back as they were recorded.
    cfg.module.entry = Entry::Alc;
    ASSERT_TRUE(replay_raw(cfg, recorded, corrected, &replayed, &error)) << error;
    EXPECT_EQ(read_all(corrected), in);
    std::remove(recorded.c_str());
    std::remove(corrected.c_str());
}

TEST(CamsimReplay, RejectsAFileThatIsNotWholeFrames) {
    const std::string path = temp_path("short.raw");
    {
        std::ofstream f(path, std::ios::binary);
        f << std::string(100, '\x40');
    }
    SimConfig cfg;
    cfg.width = 8;
    cfg.height = 8;
    RunResult result;
    std::string error;
    EXPECT_FALSE(replay_raw(cfg, path, "", &result, &error));
    EXPECT_NE(error.find("whole number"), std::string::npos) << error;
    std::remove(path.c_str());
}

TEST(CamsimRun, SameSeedSameRunOtherSeedOtherNoise) {
    SimConfig cfg = small("chart", 12);
    const RunResult a = run(cfg), b = run(cfg);
    EXPECT_EQ(a.last_frame, b.last_frame);
    cfg.seed = 2;
    EXPECT_NE(run(cfg).last_frame, a.last_frame);
}

// The simulator's brightness is the module's own measure, byte for byte.
TEST(CamsimMeasure, BrightnessMatchesTheModule) {
    SimConfig cfg = small("chart", 6);
    cfg.width = 98; // areas of odd width start on odd columns
    cfg.height = 54;
    const RunResult result = run(cfg);
    CAveragePixelValue stats;
    CAveragePixelValue_init(&stats);
    std::vector<std::uint8_t> frame = result.last_frame;
    UpdateAverage(&stats, 98, 54, 2, frame.data());
    BYTE weights[16], brightness = 0;
    std::fill(std::begin(weights), std::end(weights), BYTE{1});
    GetBrightnessAverage(&stats, weights, &brightness);
    EXPECT_EQ(module_brightness(frame.data(), 98, 54), brightness);
}

TEST(CamsimSensor, ShutterPairsAsTheCameraReadsThem) {
    SensorConfig s; // 500 lines of 800 clocks
    EXPECT_EQ(exposure_clocks(s, 10, 0), 8000u);
    EXPECT_EQ(exposure_clocks(s, 10, 5), 8000u);  // line unit drops the clocks
    EXPECT_EQ(exposure_clocks(s, 0, 5), 800u);    // ...but a clock part alone is one line
    EXPECT_EQ(exposure_clocks(s, 0, 0), 400000u); // (0, 0) is one whole frame
    EXPECT_EQ(exposure_clocks(s, 900, 0), 400000u);
    s.clock_unit_shutter = true;
    EXPECT_EQ(exposure_clocks(s, 10, 5), 8005u);
    EXPECT_EQ(exposure_clocks(s, 0, 5), 5u);
    EXPECT_NEAR(frame_seconds(s), 1.0 / 30, 1e-9);
}

TEST(CamsimSensor, GainCurveIsMonotonicSixDecibelsPer64Steps) {
    EXPECT_DOUBLE_EQ(analogue_gain(0), 1.0);
    EXPECT_DOUBLE_EQ(analogue_gain(64), 2.0);
    for (std::uint16_t reg = 1; reg < 300; ++reg)
        EXPECT_GE(analogue_gain(reg), analogue_gain(static_cast<std::uint16_t>(reg - 1)));
    EXPECT_DOUBLE_EQ(analogue_gain(1000), analogue_gain(255));
}

TEST(CamsimSensor, RendersAnRggbMosaicOfTheLight) {
    // A uniform neutral scene without noise under 6500 K: green strongest,
    // red and blue in their positions, and a doubled exposure doubles it.
    Scene scene;
    scene.width = 4;
    scene.height = 4;
    scene.rgb.assign(48, 0.2f);
    SensorConfig sensor;
    sensor.noise = false;
    Rng rng(1);
    CaptureSettings settings;
    settings.exposure_s = 0.01;
    std::uint8_t raw[16], raw2[16];
    render_frame(scene, {400.0, 6500.0, 0}, settings, sensor, rng, 4, 4, raw);
    settings.exposure_s = 0.02;
    render_frame(scene, {400.0, 6500.0, 0}, settings, sensor, rng, 4, 4, raw2);
    EXPECT_GT(raw[1], raw[0]);
    EXPECT_GT(raw[4], raw[5]);
    EXPECT_EQ(raw[1], raw[4]);
    EXPECT_NEAR(raw2[1], 2 * raw[1], 1);
    settings.exposure_s = 1.0; // far past full well
    render_frame(scene, {400.0, 6500.0, 0}, settings, sensor, rng, 4, 4, raw);
    for (std::uint8_t v : raw)
        EXPECT_EQ(v, 255);
}

TEST(CamsimPictures, PngRoundTripAndSceneDecodedToLinear) {
    RgbImage image;
    image.width = 6;
    image.height = 4;
    image.pixels.assign(6 * 4 * 3, 188);
    image.pixels[0] = 10;
    const std::string path = temp_path("scene.png");
    std::string error;
    ASSERT_TRUE(write_png(path, image, &error)) << error;
    RgbImage back;
    ASSERT_TRUE(read_png(path, &back, &error)) << error;
    EXPECT_EQ(back.width, 6);
    EXPECT_EQ(back.pixels, image.pixels);
    Scene scene;
    ASSERT_TRUE(load_png_scene(path, 3, 2, &scene, &error)) << error;
    EXPECT_NEAR(scene.at(2, 1).g, srgb_to_linear(188 / 255.0), 1e-6);
    EXPECT_TRUE(scene.greys.empty());
    EXPECT_FALSE(load_png_scene(path + ".missing", 3, 2, &scene, &error));
    std::remove(path.c_str());
}

TEST(CamsimPictures, BalancedGreyViewsAsGrey) {
    std::vector<std::uint8_t> raw(8 * 8, 100);
    const RgbImage view = raw_to_view(raw.data(), 8, 8);
    for (std::size_t i = 0; i < view.pixels.size(); i += 3) {
        EXPECT_NEAR(view.pixels[i], view.pixels[i + 1], 1);
        EXPECT_NEAR(view.pixels[i + 2], view.pixels[i + 1], 1);
    }
}

} // namespace

namespace {

// The angular error: gains that make the true white grey give 0; a white of
// (1, 1, 0) against gains implying (1, 1, 1) is the angle between those two
// vectors, acos(2 / sqrt(6)) = 35.26 degrees; a gain of 0 implies nothing.
TEST(CamsimColour, IlluminantAngleOfTheColourGains) {
    const Rgb white = raw_white(4200.0);
    const double exact[3] = {3.0 / white.r, 3.0 / white.g, 3.0 / white.b};
    EXPECT_NEAR(illuminant_angle(exact, white), 0.0, 1e-6);
    const double unity[3] = {1.0, 1.0, 1.0};
    EXPECT_NEAR(illuminant_angle(unity, Rgb{1.0, 1.0, 0.0}), 35.264, 1e-3);
    const double none[3] = {1.0, 0.0, 1.0};
    EXPECT_TRUE(std::isnan(illuminant_angle(none, white)));

    // A run's trace carries the error of the gains in force: large with the
    // unity gains of the first frame under 4200 K, small once balanced.
    const RunResult result = run(small("chart"));
    EXPECT_GT(result.frames.front().angular_error, 10.0);
    EXPECT_LT(result.frames.back().angular_error, 3.0);
}

// The reference capture: at the asked brightness, with balanced greys.
TEST(CamsimColour, IdealCaptureAtTheSameBrightnessIsNeutral) {
    const Scene scene = make_chart_scene(160, 120);
    const std::vector<std::uint8_t> raw = render_ideal(scene, 2850.0, SensorConfig{}, 160, 120, 90);
    EXPECT_NEAR(module_brightness(raw.data(), 160, 120), 90, 1);
    EXPECT_LT(grey_error(raw.data(), 160, 120, scene.greys, 0), 0.02);
}

// The picture modes through the camera: the highlight guard lowers the
// target in force on a scene that clips, and the settling measures follow
// that target (the default run's measures are against the configured one).
TEST(CamsimScenario, HighlightGuardKeepsClippingWithinItsBudget) {
    SimConfig cfg = small("window-pan");
    RunResult plain = run(cfg);
    cfg.module.highlight_guard = true;
    cfg.module.robust_awb = true;
    RunResult guarded = run(cfg);
    const Summary a = summarise(plain), b = summarise(guarded);
    for (const FrameRecord& f : plain.frames)
        ASSERT_EQ(f.target_in_force, 128);
    EXPECT_LT(b.final_target_in_force, 128);
    EXPECT_LT(b.clipped_at_rest, a.clipped_at_rest);
    EXPECT_LE(b.clipped_at_rest, 0.03);
    EXPECT_EQ(b.oscillations + b.target_reversals, 0);
    ASSERT_GE(b.frames_to_dead_band, 0);
    EXPECT_LE(b.frames_to_dead_band, 60);
}

// Thumbnails and the sheet they are laid out on.
TEST(CamsimPictures, ShrinkAveragesBlocksAndSheetPlacesCells) {
    RgbImage image{4, 2, {0, 0, 0, 100, 100, 100, 10, 20, 30, 10, 20, 30,
                          0, 0, 0, 100, 100, 100, 10, 20, 30, 10, 20, 30}};
    const RgbImage half = shrink(image, 2);
    ASSERT_EQ(half.width, 2);
    ASSERT_EQ(half.height, 1);
    EXPECT_EQ(half.pixels, (std::vector<std::uint8_t>{50, 50, 50, 10, 20, 30}));
    const RgbImage sheet = contact_sheet({half, half, half}, 2, 1);
    EXPECT_EQ(sheet.width, 2 * 2 + 3);
    EXPECT_EQ(sheet.height, 2 * 1 + 3);
    EXPECT_EQ(sheet.pixels[static_cast<std::size_t>(sheet.width + 4) * 3],
              50);                  // second cell, first pixel
    EXPECT_EQ(sheet.pixels[0], 40); // the ground
}

} // namespace
