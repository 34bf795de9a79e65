/* SPDX-License-Identifier: GPL-2.0 OR MIT */
// The sensor model of the virtual camera: frame timing, exposure from the
// shutter pair, the analogue gain curve of the CDS gain register, noise,
// full-well saturation, 8-bit conversion and the RGGB colour filter mosaic.
#ifndef QUORVIN_CAMSIM_SENSOR_H
#define QUORVIN_CAMSIM_SENSOR_H

#include "colour.h"
#include "rng.h"
#include "scene.h"

#include <cstdint>

namespace camsim {

struct SensorConfig {
    // Frame timing: lines per frame (active lines plus blanking), pixel
    // clocks per line and the pixel clock. The defaults give 30 frames/s.
    std::uint16_t lines_per_frame = 500;
    std::uint16_t clocks_per_line = 800;
    double pixel_clock_hz = 12e6;
    // Clock-unit shutter (lines plus clocks) when true, whole lines when false.
    bool clock_unit_shutter = false;
    // Raw level (0..255 at unity gain) of a perfect white lit by 1 lux for
    // 1 second, in the green channel.
    double sensitivity = 85.0;
    // Electrons at full well (it fills 255 at unity gain) and read noise.
    double full_well_electrons = 8000.0;
    double read_noise_electrons = 3.0;
    bool noise = true;
};

// Exposure in pixel clocks for a shutter pair as the camera reads it: in clock
// unit lines x clocks-per-line + clocks, in line unit whole lines (a clock
// part alone means one line); (0, 0) is one whole frame, and nothing exposes
// for longer than one frame.
std::uint32_t exposure_clocks(const SensorConfig& sensor, std::uint16_t line, std::uint16_t clock);
double exposure_seconds(const SensorConfig& sensor, std::uint16_t line, std::uint16_t clock);
double frame_seconds(const SensorConfig& sensor);

// The analogue gain of the CDS gain register: 2^(register / 64), six decibels
// every 64 steps, from x1.0 at 0 to x15.8 at 255. The register has 8 bits;
// larger values act as 255.
double analogue_gain(std::uint16_t reg);
constexpr int kGainStepsPerDoubling = 64;

// What lights the frame: scene illuminance (lux), colour temperature (K) and
// the horizontal offset of the view into a scene wider than the frame.
struct Lighting {
    double lux = 400.0;
    double kelvin = 5000.0;
    int pan = 0;
};

// The camera's settings for one frame.
struct CaptureSettings {
    double exposure_s = 0.01;
    double gain = 1.0;
    // The camera's own red, green and blue gains (x1.0 = 1), applied to the
    // digitised values; under in-module correction they stay at 1.
    double colour_gain[3] = {1.0, 1.0, 1.0};
};

// Renders one raw RGGB frame of width x height bytes (red at the first byte)
// from the scene. Deterministic for a given generator state.
void render_frame(const Scene& scene, const Lighting& light, const CaptureSettings& settings,
                  const SensorConfig& sensor, Rng& rng, int width, int height, std::uint8_t* raw);

} // namespace camsim

#endif
