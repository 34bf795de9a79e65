/* SPDX-License-Identifier: GPL-2.0 OR MIT */
// The virtual camera: a USB camera and its driver around one balance object.
// The driver owns the variables the object is bound to, calls the per-frame
// operation once per captured frame, hands published shutter and gain to the
// sensor after the sensor's latency, clears the flag, and (under
// Quorvin_ALCWBalance) programs the camera's colour gains from R, G, B.
#ifndef QUORVIN_CAMSIM_SIMULATOR_H
#define QUORVIN_CAMSIM_SIMULATOR_H

#include "scene.h"
#include "sensor.h"

#include <AWB/AWB.h>
#include <tests/support/quorvin_camera.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace camsim {

// Which per-frame operation the driver calls: Quorvin_ALCWBalance (the camera
// applies the colour gains) or Quorvin_ImageBalance (the module corrects the
// frame in place and the camera's colour gains stay at x1.0).
enum class Entry { Alc, Image };

// Every setting the module offers. Unset optionals keep the module's defaults.
struct ModuleSettings {
    Entry entry = Entry::Image;
    std::uint8_t awb_mode = QUORVIN_WB_AUTO;             // QuorvinWbMode
    std::uint8_t exposure_mode = QUORVIN_LUM_CONTINUOUS; // QuorvinLumNibble
    std::uint8_t gain_mode = QUORVIN_LUM_CONTINUOUS;     // QuorvinLumNibble
    std::optional<std::uint8_t> target, tolerance, threshold;
    std::optional<std::uint8_t> shutter_speed, gain_speed, skip_frames, average_frames;
    std::optional<std::uint16_t> max_gain, min_gain;
    std::optional<std::uint16_t> max_shutter_line, min_shutter_line;
    std::optional<std::uint16_t> max_shutter_clock, min_shutter_clock;
    // The camera's registers when the object is bound; an unset shutter line
    // takes the scenario's starting exposure.
    std::optional<std::uint16_t> initial_shutter_line;
    std::uint16_t initial_shutter_clock = 0;
    std::uint16_t initial_gain = 0;
    std::uint16_t initial_digital_gain = 0;
    // Initial white balance gains (1/128), colour index order R Gr Gb B.
    std::array<std::uint16_t, 4> initial_wb_gain = {QUORVIN_WB_GAIN_UNITY, QUORVIN_WB_GAIN_UNITY,
                                                    QUORVIN_WB_GAIN_UNITY, QUORVIN_WB_GAIN_UNITY};
    // Manual colour gains in the driver's 1/16, loaded with
    // Quorvin_Set_Gain after binding.
    std::optional<std::array<std::uint16_t, 3>> manual_rgb;
    // The opt-in picture modes: the highlight guard (budget per mille of
    // pixels at 255, lowest target) and the robust white balance statistic.
    bool highlight_guard = false;
    std::uint8_t guard_budget = QUORVIN_GUARD_DEFAULT_BUDGET;
    std::uint8_t guard_floor = QUORVIN_GUARD_DEFAULT_FLOOR;
    bool robust_awb = false;

    // The luminance mode byte: exposure nibble high, gain nibble low.
    std::uint8_t luminance_mode() const {
        return QUORVIN_LUM_MODE(exposure_mode, gain_mode & QUORVIN_LUM_GAIN_BITS);
    }
    std::uint8_t effective_target() const { return target.value_or(QUORVIN_LUM_DEFAULT_TARGET); }
    std::uint8_t effective_tolerance() const {
        return tolerance.value_or(QUORVIN_LUM_DEFAULT_TOLERANCE);
    }
    std::uint8_t effective_threshold() const {
        return threshold.value_or(QUORVIN_LUM_DEFAULT_THRESHOLD);
    }
};

// A named lighting story over the frames.
struct Scenario {
    const char* name;
    const char* description;
    int frames;                       // default length
    bool window_scene;                // the wide room with a window, for pans
    double room_kelvin;               // light of the room (for the window scene)
    std::uint16_t start_shutter_line; // camera exposure when the driver starts
    int (*settle_from)(int frames);   // frame from which the light stays as it ends
    Lighting (*lighting)(int frame, int frames, int width);
};
const std::vector<Scenario>& scenarios();
const Scenario* find_scenario(const std::string& name);

struct SimConfig {
    int width = 640, height = 480;
    int frames = 0; // 0: the scenario's own length
    std::uint64_t seed = 1;
    int latency = 2; // frames from a publication to the first frame exposed with it (>= 1)
    std::string scenario = "chart";
    std::string scene_png; // own scene instead of the chart
    std::optional<double> lux_scale, kelvin;
    SensorConfig sensor;
    ModuleSettings module;
};

// One frame as the driver saw it.
struct FrameRecord {
    int frame = 0;
    double lux = 0, kelvin = 0;
    int pan = 0;
    // Sensor settings this frame was exposed with.
    std::uint16_t shutter_line = 0, shutter_clock = 0, gain_reg = 0;
    double exposure_ms = 0, gain = 1;
    double camera_rgb[3] = {1, 1, 1}; // colour gains the camera applied (x1.0 = 1)
    // The driver's R, G, B after the call (1/16).
    std::uint16_t r = 0, g = 0, b = 0;
    bool published = false; // next_modif_flag21 was set by this call
    // Quorvin_ImageBalance returned the frame as captured although the gains
    // are not all x1.0: no controller was due on it, so it was not corrected.
    bool uncorrected = false;
    // Measured on the frame as delivered (after in-place correction).
    int brightness = 0;    // the module's own brightness measure, 0..255
    double grey_error = 0; // mean colour error of the usable greys (0.01 = 1 %), NaN if none
    double clipped = 0;    // fraction of pixels at 255
    // The brightness target the luminance controller works to after the
    // call: the configured one, or the highlight guard's.
    int target_in_force = 0;
    // Degrees between the illuminant the colour gains in force imply (the
    // light they would make grey) and the sensor's true raw response to the
    // light; NaN for a replay, whose light is unknown.
    double angular_error = 0;
    std::uint8_t luminance_mode = 0, awb_mode = 0; // the object's modes after the call
};

class VirtualCamera {
public:
    // Binds a balance object to this driver's variables and applies the
    // module settings. The scene may be empty for a replay.
    VirtualCamera(const SimConfig& config, Scene scene, const Scenario* scenario);
    ~VirtualCamera();
    VirtualCamera(const VirtualCamera&) = delete;
    VirtualCamera& operator=(const VirtualCamera&) = delete;

    // Renders the next frame through the sensor and runs the driver's frame.
    FrameRecord capture();
    // Runs the driver's frame on a recorded raw frame instead of the sensor.
    FrameRecord replay(const std::uint8_t* recorded);

    // The frame buffer as delivered after the last call (width x height).
    const std::vector<std::uint8_t>& frame() const { return raw_; }
    // The frame as the sensor produced it, before any in-place correction.
    const std::vector<std::uint8_t>& captured() const { return captured_; }
    const AWBObject& object() const { return *object_ptr(); }
    int width() const { return static_cast<int>(vars_.width); }
    int height() const { return static_cast<int>(vars_.height); }

private:
    struct Pending {
        int frame;
        std::uint16_t line, clock, gain;
    };
    AWBObject* object_ptr() const { return reinterpret_cast<AWBObject*>(storage_.get()); }
    Lighting lighting_at(int frame) const;
    // Hands the sensor the published settings whose latency has run out.
    void apply_due_settings();
    // Under Quorvin_ALCWBalance the camera applies the driver's R, G, B.
    void program_colour_gains();
    FrameRecord run_frame(const Lighting& light);

    SimConfig config_;
    Scene scene_;
    const Scenario* scenario_;
    Rng rng_;
    int frame_ = 0;
    std::unique_ptr<std::max_align_t[]> storage_;

    // The frame buffer and the driver's variables bound to the object.
    std::vector<std::uint8_t> raw_;
    std::vector<std::uint8_t> captured_;
    QuorvinCameraVars vars_ = {};

    // The camera's registers in force and the values waiting for latency.
    std::uint16_t sensor_line_ = 0, sensor_clock_ = 0, sensor_gain_ = 0;
    double camera_rgb_[3] = {1, 1, 1};
    std::deque<Pending> pending_;
};

// The result of a simulated run.
struct RunResult {
    std::vector<FrameRecord> frames;
    // The first frame and the last one the module did not leave uncorrected,
    // as delivered.
    std::vector<std::uint8_t> first_frame, last_frame;
    int width = 0, height = 0;
    int settle_from = 0;
    int target = 128, tolerance = 5, threshold = 5;
    std::string scenario;
};

// Runs a whole scenario. progress(done, total) is called after every frame.
bool run_simulation(const SimConfig& config, RunResult* result, std::string* error,
                    const std::function<void(int, int)>& progress = {},
                    const std::function<void(const std::uint8_t*)>& record_frame = {});

// Feeds recorded raw frames (config.width x config.height bytes each, back to
// back) through the module and writes each frame as the driver holds it after
// the call: corrected in place under Quorvin_ImageBalance, unchanged under
// Quorvin_ALCWBalance. The out path may be empty.
bool replay_raw(const SimConfig& config, const std::string& in_path, const std::string& out_path,
                RunResult* result, std::string* error,
                const std::function<void(int, int)>& progress = {});

// The brightness the module measures with its default weights: the 4 x 4 grid
// of per-area, per-colour means (each truncated), their plain mean, then the
// luma weighting of red, the mean green and blue.
int module_brightness(const std::uint8_t* raw, int width, int height);

// The sensor's raw red, green and blue for a perfect white under a black
// body of this temperature (relative; the ratios are what matter).
Rgb raw_white(double kelvin);

// Degrees between the illuminant implied by colour gains (red, green, blue,
// any common unit; a grey times the gains comes out grey) and a raw white.
// NaN when a gain is not positive.
double illuminant_angle(const double gains[3], const Rgb& white);

// The scene as a perfectly white-balanced camera of the same sensor, without
// noise, captures it under this light, exposed so that the module's
// brightness measure gives brightness (as near as the exposure allows).
std::vector<std::uint8_t> render_ideal(const Scene& scene, double kelvin,
                                       const SensorConfig& sensor, int width, int height,
                                       int brightness);

// Mean colour error of the neutral patches that lie in the view, are not
// clipped and not too dark: per patch max(|R/G - 1|, |B/G - 1|) of its mean
// raw values. NaN when no patch qualifies.
double grey_error(const std::uint8_t* raw, int width, int height, const std::vector<Rect>& greys,
                  int pan);

} // namespace camsim

#endif
