// SPDX-License-Identifier: GPL-2.0 OR MIT
#include "sensor.h"

#include <algorithm>
#include <cmath>

namespace camsim {

std::uint32_t exposure_clocks(const SensorConfig& sensor, std::uint16_t line, std::uint16_t clock) {
    const std::uint32_t h = sensor.clocks_per_line;
    const std::uint32_t frame = static_cast<std::uint32_t>(sensor.lines_per_frame) * h;
    std::uint32_t e = static_cast<std::uint32_t>(line) * h;
    if (sensor.clock_unit_shutter)
        e += clock;
    else if (clock != 0 && e == 0)
        e = h;
    if (e == 0 || e > frame)
        e = frame;
    return e;
}

double exposure_seconds(const SensorConfig& sensor, std::uint16_t line, std::uint16_t clock) {
    return exposure_clocks(sensor, line, clock) / sensor.pixel_clock_hz;
}

double frame_seconds(const SensorConfig& sensor) {
    return static_cast<double>(sensor.lines_per_frame) * sensor.clocks_per_line /
           sensor.pixel_clock_hz;
}

double analogue_gain(std::uint16_t reg) {
    return std::exp2(std::min<int>(reg, 255) / static_cast<double>(kGainStepsPerDoubling));
}

void render_frame(const Scene& scene, const Lighting& light, const CaptureSettings& settings,
                  const SensorConfig& sensor, Rng& rng, int width, int height, std::uint8_t* raw) {
    // Raw level at unity gain per unit of scene reflectance, per raw channel:
    // sensor response x illuminant x light x exposure.
    const Rgb illum = illuminant_rgb(light.kelvin);
    const double scale = sensor.sensitivity * light.lux * settings.exposure_s;
    Mat3 lit = sensor_response();
    for (auto& row : lit.m) {
        row[0] *= illum.r * scale;
        row[1] *= illum.g * scale;
        row[2] *= illum.b * scale;
    }
    const double electrons_per_level = sensor.full_well_electrons / 255.0;
    const double read_var = sensor.read_noise_electrons * sensor.read_noise_electrons;
    const int pan = std::clamp(light.pan, 0, std::max(0, scene.width - width));
    for (int y = 0; y < height; ++y) {
        const int sy = std::min(y, scene.height - 1);
        std::uint8_t* out = raw + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        for (int x = 0; x < width; ++x) {
            const int channel = (y & 1) + (x & 1); // 0 red, 1 green, 2 blue
            const Rgb refl = scene.at(std::min(x + pan, scene.width - 1), sy);
            const double* m = lit.m[channel];
            const double level = std::max(0.0, m[0] * refl.r + m[1] * refl.g + m[2] * refl.b);
            double electrons = level * electrons_per_level;
            if (sensor.noise)
                electrons += std::sqrt(electrons + read_var) * rng.normal();
            electrons = std::clamp(electrons, 0.0, sensor.full_well_electrons);
            const double adc =
                std::min(255.0, std::round(electrons / electrons_per_level * settings.gain));
            const double value = std::round(adc * settings.colour_gain[channel]);
            out[x] = static_cast<std::uint8_t>(std::min(255.0, value));
        }
    }
}

} // namespace camsim
