// SPDX-License-Identifier: GPL-2.0 OR MIT
#include "simulator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace camsim {
namespace {

// Colour temperature between two values, evenly in mireds (as light mixes).
double mired_mix(double k0, double k1, double t) {
    return 1.0 / ((1.0 - t) / k0 + t / k1);
}

double ramp(int frame, int start, int end) {
    if (frame <= start)
        return 0.0;
    if (frame >= end)
        return 1.0;
    return static_cast<double>(frame - start) / (end - start);
}

int settle_at_start(int) {
    return 0;
}
int settle_at_100(int) {
    return 100;
}
int settle_after_ramp(int frames) {
    return frames * 5 / 6;
}
int settle_after_pan(int frames) {
    return frames * 2 / 3;
}

Lighting light_chart(int, int, int) {
    return {400.0, 4200.0, 0};
}
Lighting light_dim_room(int, int, int) {
    return {20.0, 2850.0, 0};
}
Lighting light_lights_on(int frame, int, int) {
    return {frame < 100 ? 25.0 : 400.0, 2850.0, 0};
}
Lighting light_sunset(int frame, int frames, int) {
    const double t = ramp(frame, 0, settle_after_ramp(frames));
    return {2000.0 * std::pow(60.0 / 2000.0, t), mired_mix(5800.0, 3000.0, t), 0};
}
Lighting light_window_pan(int frame, int frames, int width) {
    const double t = ramp(frame, frames / 5, settle_after_pan(frames));
    return {150.0, 3200.0, static_cast<int>(std::lround(0.6 * t * width))};
}
Lighting light_illuminant_change(int frame, int, int) {
    return {400.0, frame < 100 ? 2850.0 : 6500.0, 0};
}

const std::vector<Scenario> kScenarios = {
    {"chart", "the colour chart under 4200 K at 400 lux, starting under-exposed", 200, false,
     4200.0, 60, settle_at_start, light_chart},
    {"dim-room", "a dim tungsten room: 2850 K at 20 lux; needs a long exposure and gain", 240,
     false, 2850.0, 100, settle_at_start, light_dim_room},
    {"lights-on", "tungsten at 25 lux, switched to 400 lux (16x) at frame 100", 260, false, 2850.0,
     100, settle_at_100, light_lights_on},
    {"sunset", "daylight at 2000 lux fading to 60 lux and 3000 K, then holding", 360, false, 5800.0,
     100, settle_after_ramp, light_sunset},
    {"window-pan", "a tungsten-lit room; the view pans onto a bright daylight window", 300, true,
     3200.0, 150, settle_after_pan, light_window_pan},
    {"illuminant-change", "400 lux of tungsten (2850 K) replaced by daylight (6500 K) at frame 100",
     260, false, 2850.0, 200, settle_at_100, light_illuminant_change},
};

std::size_t pixel_count(int width, int height) {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
}

// Frames in a run: as asked, or the scenario's own length (one for a replay
// without a scenario).
int run_length(const SimConfig& config, const Scenario* scenario) {
    return config.frames > 0 ? config.frames : (scenario ? scenario->frames : 1);
}

// A limit the driver sets only when the user gave it; the module keeps its
// own default otherwise.
void SetIfGiven(void* obj, const std::optional<std::uint16_t>& value, void (*set)(void*, WORD)) {
    if (value)
        set(obj, *value);
}

} // namespace

const std::vector<Scenario>& scenarios() {
    return kScenarios;
}

const Scenario* find_scenario(const std::string& name) {
    for (const Scenario& s : kScenarios)
        if (name == s.name)
            return &s;
    return nullptr;
}

VirtualCamera::VirtualCamera(const SimConfig& config, Scene scene, const Scenario* scenario)
    : config_(config), scene_(std::move(scene)), scenario_(scenario), rng_(config.seed) {
    const ModuleSettings& m = config_.module;
    const std::size_t words =
        (static_cast<std::size_t>(Quorvin_GetAWBObjectSize()) + sizeof(std::max_align_t) - 1) /
        sizeof(std::max_align_t);
    storage_ = std::make_unique<std::max_align_t[]>(words);

    raw_.assign(pixel_count(config_.width, config_.height), 0);
    captured_ = raw_;
    quorvin_camera_init(
        &vars_, static_cast<__u32>(config_.width), static_cast<__u32>(config_.height),
        config_.sensor.lines_per_frame, config_.sensor.clocks_per_line,
        m.initial_shutter_line.value_or(scenario_ ? scenario_->start_shutter_line : 100));
    vars_.shutter_clock = m.initial_shutter_clock;
    vars_.gain = m.initial_gain;
    std::copy(m.initial_wb_gain.begin(), m.initial_wb_gain.end(), vars_.init_gains);
    // The camera's colour gains start where the initial white balance gains
    // put them.
    vars_.r = static_cast<__u16>(vars_.init_gains[0] >> QUORVIN_CAMERA_GAIN_SHIFT);
    vars_.g = static_cast<__u16>(vars_.init_gains[1] >> QUORVIN_CAMERA_GAIN_SHIFT);
    vars_.b = static_cast<__u16>(vars_.init_gains[3] >> QUORVIN_CAMERA_GAIN_SHIFT);
    quorvin_camera_bind(&vars_, storage_.get(), raw_.data(), m.initial_gain, m.initial_digital_gain,
                        config_.sensor.clock_unit_shutter ? 1 : 0);

    void* obj = storage_.get();
    Quorvin_SetAutoAWB(obj, m.awb_mode);
    Quorvin_SetAutoExposure(obj, QUORVIN_LUM_EXPOSURE(m.exposure_mode));
    Quorvin_SetAutoGain(obj, QUORVIN_LUM_GAIN(m.gain_mode & QUORVIN_LUM_GAIN_BITS));
    if (m.target || m.tolerance || m.threshold) {
        BYTE target[3] = {m.target.value_or(QUORVIN_LUM_DEFAULT_TARGET),
                          m.tolerance.value_or(QUORVIN_LUM_DEFAULT_TOLERANCE),
                          m.threshold.value_or(QUORVIN_LUM_DEFAULT_THRESHOLD)};
        Quorvin_CLuminance_SetTarget(obj, target);
    }
    if (m.shutter_speed || m.gain_speed || m.skip_frames || m.average_frames)
        Quorvin_CLuminance_SetCtrlSpeed(
            obj, m.shutter_speed.value_or(QUORVIN_LUM_DEFAULT_SPEED_LIMIT),
            m.gain_speed.value_or(QUORVIN_LUM_DEFAULT_SPEED_LIMIT),
            m.skip_frames.value_or(QUORVIN_LUM_DEFAULT_SKIP_FRAMES),
            m.average_frames.value_or(QUORVIN_LUM_DEFAULT_AVERAGE_FRAMES));
    SetIfGiven(obj, m.max_gain, Quorvin_Set_Auto_Max_Gain);
    SetIfGiven(obj, m.min_gain, Quorvin_Set_Auto_Min_Gain);
    SetIfGiven(obj, m.max_shutter_line, Quorvin_Set_Auto_Max_Shutter);
    SetIfGiven(obj, m.min_shutter_line, Quorvin_Set_Auto_Min_Shutter);
    SetIfGiven(obj, m.max_shutter_clock, Quorvin_Set_Auto_Max_ShutterC);
    SetIfGiven(obj, m.min_shutter_clock, Quorvin_Set_Auto_Min_ShutterC);
    if (m.highlight_guard)
        Quorvin_SetHighlightGuard(obj, m.guard_budget, m.guard_floor);
    if (m.robust_awb)
        Quorvin_SetRobustAWB(obj, QUORVIN_AWB_ROBUST);
    if (m.manual_rgb) {
        vars_.r = (*m.manual_rgb)[0];
        vars_.g = (*m.manual_rgb)[1];
        vars_.b = (*m.manual_rgb)[2];
        Quorvin_Set_Gain(obj);
    }

    sensor_line_ = vars_.shutter_line;
    sensor_clock_ = vars_.shutter_clock;
    sensor_gain_ = vars_.gain;
    program_colour_gains();
}

VirtualCamera::~VirtualCamera() {
    Quorvin_FreeAWBObject(storage_.get());
}

Lighting VirtualCamera::lighting_at(int frame) const {
    const int frames = run_length(config_, scenario_);
    Lighting light = scenario_ ? scenario_->lighting(frame, frames, config_.width) : Lighting{};
    if (config_.lux_scale)
        light.lux *= *config_.lux_scale;
    if (config_.kelvin)
        light.kelvin = *config_.kelvin;
    return light;
}

void VirtualCamera::apply_due_settings() {
    while (!pending_.empty() && pending_.front().frame <= frame_) {
        sensor_line_ = pending_.front().line;
        sensor_clock_ = pending_.front().clock;
        sensor_gain_ = pending_.front().gain;
        pending_.pop_front();
    }
}

void VirtualCamera::program_colour_gains() {
    if (config_.module.entry != Entry::Alc)
        return;
    camera_rgb_[0] = vars_.r / 16.0;
    camera_rgb_[1] = vars_.g / 16.0;
    camera_rgb_[2] = vars_.b / 16.0;
}

FrameRecord VirtualCamera::capture() {
    const Lighting light = lighting_at(frame_);
    apply_due_settings();
    CaptureSettings settings;
    settings.exposure_s = exposure_seconds(config_.sensor, sensor_line_, sensor_clock_);
    settings.gain = analogue_gain(sensor_gain_);
    std::copy(std::begin(camera_rgb_), std::end(camera_rgb_), settings.colour_gain);
    render_frame(scene_, light, settings, config_.sensor, rng_, config_.width, config_.height,
                 raw_.data());
    return run_frame(light);
}

FrameRecord VirtualCamera::replay(const std::uint8_t* recorded) {
    apply_due_settings();
    std::copy_n(recorded, raw_.size(), raw_.begin());
    return run_frame(Lighting{0.0, 0.0, 0});
}

FrameRecord VirtualCamera::run_frame(const Lighting& light) {
    FrameRecord rec;
    rec.frame = frame_;
    rec.lux = light.lux;
    rec.kelvin = light.kelvin;
    rec.pan = light.pan;
    rec.shutter_line = sensor_line_;
    rec.shutter_clock = sensor_clock_;
    rec.gain_reg = sensor_gain_;
    rec.exposure_ms = 1e3 * exposure_seconds(config_.sensor, sensor_line_, sensor_clock_);
    rec.gain = analogue_gain(sensor_gain_);
    std::copy(std::begin(camera_rgb_), std::end(camera_rgb_), rec.camera_rgb);
    captured_ = raw_;

    if (config_.module.entry == Entry::Alc)
        Quorvin_ALCWBalance(storage_.get());
    else
        Quorvin_ImageBalance(storage_.get());

    // The driver's side of the flag: hand the new shutter and gain to the
    // sensor, which exposes with them `latency` frames from now, and clear it.
    if (vars_.flag != 0) {
        rec.published = true;
        pending_.push_back({frame_ + std::max(1, config_.latency), vars_.shutter_line,
                            vars_.shutter_clock, vars_.gain});
        vars_.flag = 0;
    }
    // Colour gains go to the camera at once and apply from the next frame.
    program_colour_gains();
    rec.r = vars_.r;
    rec.g = vars_.g;
    rec.b = vars_.b;
    if (config_.module.entry == Entry::Image) {
        const CWhiteBalanceCtrl& wb = object().m_objWhiteBalanceCtrl;
        const bool unity =
            wb.m_pwGain[0] == QUORVIN_WB_GAIN_UNITY && wb.m_pwGain[1] == QUORVIN_WB_GAIN_UNITY &&
            wb.m_pwGain[2] == QUORVIN_WB_GAIN_UNITY && wb.m_pwGain[3] == QUORVIN_WB_GAIN_UNITY;
        rec.uncorrected = wb.m_byteMode != QUORVIN_WB_OFF && !unity && raw_ == captured_;
    }

    const int w = config_.width, h = config_.height;
    rec.brightness = module_brightness(raw_.data(), w, h);
    rec.grey_error = grey_error(raw_.data(), w, h, scene_.greys, light.pan);
    rec.clipped = static_cast<double>(std::count(raw_.begin(), raw_.end(), 255)) /
                  static_cast<double>(std::max<std::size_t>(1, raw_.size()));
    const BYTE guard_target = object().m_objPictureCtrl.m_byteGuardTarget;
    rec.target_in_force = object().m_objPictureCtrl.m_byteClipBudget != 0 && guard_target != 0
                              ? guard_target
                              : object().m_objLuminanceCtrl.m_byteTarget;
    // The gains that apply to the next frame: the module's tables, or the
    // camera's colour gains under Quorvin_ALCWBalance.
    double gains[3];
    if (config_.module.entry == Entry::Image) {
        const WORD* g = object().m_objWhiteBalanceCtrl.m_pwGain;
        gains[0] = g[0];
        gains[1] = (g[1] + g[2]) / 2.0;
        gains[2] = g[3];
    } else {
        std::copy(std::begin(camera_rgb_), std::end(camera_rgb_), gains);
    }
    rec.angular_error = light.kelvin > 0 ? illuminant_angle(gains, raw_white(light.kelvin))
                                         : std::numeric_limits<double>::quiet_NaN();
    rec.luminance_mode = object().m_objLuminanceCtrl.m_byteMode;
    rec.awb_mode = object().m_objWhiteBalanceCtrl.m_byteMode;
    ++frame_;
    return rec;
}

int module_brightness(const std::uint8_t* raw, int width, int height) {
    if (width <= 0 || height <= 0)
        return 0;
    const auto w = static_cast<std::uint32_t>(width), h = static_cast<std::uint32_t>(height);
    const std::uint32_t bx[5] = {0, 2500 * w / 10000, 5000 * w / 10000, 7500 * w / 10000, w};
    const std::uint32_t by[5] = {0, 2500 * h / 10000, 5000 * h / 10000, 7500 * h / 10000, h};
    std::uint32_t area_sum[4] = {0, 0, 0, 0};
    for (int ay = 0; ay < 4; ++ay)
        for (int ax = 0; ax < 4; ++ax) {
            std::uint32_t sum[4] = {0, 0, 0, 0}, count[4] = {0, 0, 0, 0};
            for (std::uint32_t y = by[ay]; y < by[ay + 1]; ++y)
                for (std::uint32_t x = bx[ax]; x < bx[ax + 1]; ++x) {
                    const std::uint32_t p = 2 * (y & 1) + (x & 1);
                    sum[p] += raw[static_cast<std::size_t>(y) * w + x];
                    ++count[p];
                }
            for (int p = 0; p < 4; ++p)
                area_sum[p] += count[p] ? sum[p] / count[p] : 0;
        }
    const std::uint32_t red = area_sum[0] / 16, blue = area_sum[3] / 16;
    const std::uint32_t green = (area_sum[1] / 16 + area_sum[2] / 16) / 2;
    return static_cast<int>((2989 * red + 5866 * green + 1145 * blue) / 10000);
}

Rgb raw_white(double kelvin) {
    return sensor_response().apply(illuminant_rgb(kelvin));
}

double illuminant_angle(const double gains[3], const Rgb& white) {
    if (!(gains[0] > 0 && gains[1] > 0 && gains[2] > 0))
        return std::numeric_limits<double>::quiet_NaN();
    const double implied[3] = {1.0 / gains[0], 1.0 / gains[1], 1.0 / gains[2]};
    const double truth[3] = {white.r, white.g, white.b};
    double dot = 0, a = 0, b = 0;
    for (int c = 0; c < 3; ++c) {
        dot += implied[c] * truth[c];
        a += implied[c] * implied[c];
        b += truth[c] * truth[c];
    }
    const double cosine = std::clamp(dot / std::sqrt(a * b), -1.0, 1.0);
    return std::acos(cosine) * 180.0 / 3.14159265358979323846;
}

std::vector<std::uint8_t> render_ideal(const Scene& scene, double kelvin,
                                       const SensorConfig& sensor, int width, int height,
                                       int brightness) {
    SensorConfig quiet = sensor;
    quiet.noise = false;
    const Rgb white = raw_white(kelvin);
    CaptureSettings settings;
    settings.colour_gain[0] = white.g / white.r;
    settings.colour_gain[1] = 1.0;
    settings.colour_gain[2] = white.g / white.b;
    const Lighting light{1.0, kelvin, 0};
    std::vector<std::uint8_t> raw(static_cast<std::size_t>(width) *
                                  static_cast<std::size_t>(height));
    Rng rng(1);
    // Bisection on the exposure, in octaves: the brightness grows with it.
    double lo = -20.0, hi = 20.0;
    for (int i = 0; i < 40; ++i) {
        const double mid = 0.5 * (lo + hi);
        settings.exposure_s = std::exp2(mid);
        render_frame(scene, light, settings, quiet, rng, width, height, raw.data());
        if (module_brightness(raw.data(), width, height) < brightness)
            lo = mid;
        else
            hi = mid;
    }
    settings.exposure_s = std::exp2(hi);
    render_frame(scene, light, settings, quiet, rng, width, height, raw.data());
    return raw;
}

double grey_error(const std::uint8_t* raw, int width, int height, const std::vector<Rect>& greys,
                  int pan) {
    double total = 0.0;
    int used = 0;
    for (const Rect& r : greys) {
        // Measure the middle of the patch, away from its edges (demosaic and
        // optics would blur them in a real camera).
        const int inset_x = std::max(1, r.w / 5), inset_y = std::max(1, r.h / 5);
        const int x0 = r.x - pan + inset_x, x1 = r.x - pan + r.w - inset_x;
        const int y0 = r.y + inset_y, y1 = r.y + r.h - inset_y;
        if (x0 < 0 || y0 < 0 || x1 > width || y1 > height || x1 - x0 < 2 || y1 - y0 < 2)
            continue;
        double sum[3] = {0, 0, 0};
        long count[3] = {0, 0, 0}, clipped = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) {
                const int v = raw[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                                  static_cast<std::size_t>(x)];
                const int c = (y & 1) + (x & 1);
                sum[c] += v;
                ++count[c];
                clipped += v >= 250;
            }
        const double rm = sum[0] / static_cast<double>(count[0]);
        const double gm = sum[1] / static_cast<double>(count[1]);
        const double bm = sum[2] / static_cast<double>(count[2]);
        const long n = count[0] + count[1] + count[2];
        // Too dark for 8-bit values to tell colour, or clipped.
        if (gm < 40.0 || std::max({rm, gm, bm}) > 235.0 || clipped * 100 > n)
            continue;
        total += std::max(std::fabs(rm / gm - 1.0), std::fabs(bm / gm - 1.0));
        ++used;
    }
    return used ? total / used : std::numeric_limits<double>::quiet_NaN();
}

bool run_simulation(const SimConfig& config, RunResult* result, std::string* error,
                    const std::function<void(int, int)>& progress,
                    const std::function<void(const std::uint8_t*)>& record_frame) {
    const Scenario* scenario = find_scenario(config.scenario);
    if (!scenario) {
        *error = "unknown scenario \"" + config.scenario + "\"";
        return false;
    }
    if (config.width < 8 || config.height < 8 || config.width % 2 || config.height % 2) {
        *error = "frame size must be even and at least 8 x 8";
        return false;
    }
    Scene scene;
    if (!config.scene_png.empty()) {
        if (!load_png_scene(config.scene_png, config.width, config.height, &scene, error))
            return false;
    } else if (scenario->window_scene) {
        scene = make_window_scene(config.width, config.height, scenario->room_kelvin);
    } else {
        scene = make_chart_scene(config.width, config.height);
    }
    const int frames = run_length(config, scenario);
    VirtualCamera camera(config, std::move(scene), scenario);
    RunResult out;
    out.width = config.width;
    out.height = config.height;
    out.settle_from = std::min(scenario->settle_from(frames), frames - 1);
    out.target = config.module.effective_target();
    out.tolerance = config.module.effective_tolerance();
    out.threshold = config.module.effective_threshold();
    out.scenario = scenario->name;
    out.frames.reserve(static_cast<std::size_t>(frames));
    for (int i = 0; i < frames; ++i) {
        out.frames.push_back(camera.capture());
        if (record_frame)
            record_frame(camera.captured().data());
        if (i == 0)
            out.first_frame = camera.frame();
        // The picture of the end shows the last frame the module corrected.
        if (!out.frames.back().uncorrected || out.last_frame.empty())
            out.last_frame = camera.frame();
        if (progress)
            progress(i + 1, frames);
    }
    *result = std::move(out);
    return true;
}

bool replay_raw(const SimConfig& config, const std::string& in_path, const std::string& out_path,
                RunResult* result, std::string* error,
                const std::function<void(int, int)>& progress) {
    if (config.width < 2 || config.height < 2) {
        *error = "--raw needs the frame size (--size WxH)";
        return false;
    }
    std::FILE* in = std::fopen(in_path.c_str(), "rb");
    if (!in) {
        *error = in_path + ": cannot open";
        return false;
    }
    std::fseek(in, 0, SEEK_END);
    const long bytes = std::ftell(in);
    std::fseek(in, 0, SEEK_SET);
    const std::size_t frame_bytes = pixel_count(config.width, config.height);
    if (bytes <= 0 || static_cast<std::size_t>(bytes) % frame_bytes != 0) {
        std::fclose(in);
        *error = in_path + ": size is not a whole number of " + std::to_string(config.width) +
                 " x " + std::to_string(config.height) + " frames";
        return false;
    }
    std::FILE* out = nullptr;
    if (!out_path.empty() && !(out = std::fopen(out_path.c_str(), "wb"))) {
        std::fclose(in);
        *error = out_path + ": cannot create";
        return false;
    }
    const int frames = static_cast<int>(static_cast<std::size_t>(bytes) / frame_bytes);
    VirtualCamera camera(config, Scene{}, nullptr);
    RunResult res;
    res.width = config.width;
    res.height = config.height;
    res.target = config.module.effective_target();
    res.tolerance = config.module.effective_tolerance();
    res.threshold = config.module.effective_threshold();
    res.scenario = "replay";
    std::vector<std::uint8_t> buffer(frame_bytes);
    bool ok = true;
    for (int i = 0; i < frames && ok; ++i) {
        if (std::fread(buffer.data(), 1, frame_bytes, in) != frame_bytes) {
            *error = in_path + ": read error";
            ok = false;
            break;
        }
        res.frames.push_back(camera.replay(buffer.data()));
        if (out && std::fwrite(camera.frame().data(), 1, frame_bytes, out) != frame_bytes) {
            *error = out_path + ": write error";
            ok = false;
        }
        if (i == 0)
            res.first_frame = camera.frame();
        if (progress)
            progress(i + 1, frames);
    }
    res.last_frame = camera.frame();
    std::fclose(in);
    if (out && std::fclose(out) != 0 && ok) {
        *error = out_path + ": write error";
        ok = false;
    }
    if (ok)
        *result = std::move(res);
    return ok;
}

} // namespace camsim
