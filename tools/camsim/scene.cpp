// SPDX-License-Identifier: GPL-2.0 OR MIT
#include "scene.h"

#include "image_io.h"

#include <algorithm>
#include <cmath>

namespace camsim {
namespace {

// Reflectances of the wall behind the chart and of the chart's board. The
// chart covers a modest part of the view, as when a chart is photographed on a
// grey wall: the 18 coloured patches average to a warm colour, and a scene
// that is mostly neutral keeps that from biasing a grey-world white balance.
constexpr double kWall = 0.45;
constexpr double kBoard = 0.035;

void fill(Scene& s, const Rect& r, const Rgb& c) {
    for (int y = std::max(r.y, 0); y < std::min(r.y + r.h, s.height); ++y)
        for (int x = std::max(r.x, 0); x < std::min(r.x + r.w, s.width); ++x) {
            float* p = &s.rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(s.width) +
                               static_cast<std::size_t>(x)) *
                              3];
            p[0] = static_cast<float>(c.r);
            p[1] = static_cast<float>(c.g);
            p[2] = static_cast<float>(c.b);
        }
}

Rgb grey(double v) {
    return {v, v, v};
}

Rgb from_srgb8(const unsigned char* v) {
    return {srgb_to_linear(v[0] / 255.0), srgb_to_linear(v[1] / 255.0),
            srgb_to_linear(v[2] / 255.0)};
}

int frac(int size, double f) {
    return static_cast<int>(std::lround(size * f));
}

// Draws the chart and ramp into the width x height region starting at x0.
void draw_chart(Scene& s, int x0, int width, int height) {
    fill(s, {x0, 0, width, height}, grey(kWall));
    const Rect board{x0 + frac(width, 0.29), frac(height, 0.08), frac(width, 0.42),
                     frac(height, 0.40)};
    fill(s, board, grey(kBoard));
    const double cell_w = board.w / 6.0, cell_h = board.h / 4.0;
    const int gap_x = std::max(1, frac(width, 0.006)), gap_y = std::max(1, frac(height, 0.008));
    for (int i = 0; i < 24; ++i) {
        const int col = i % 6, row = i / 6;
        const int px = board.x + static_cast<int>(std::lround(col * cell_w)) + gap_x;
        const int py = board.y + static_cast<int>(std::lround(row * cell_h)) + gap_y;
        const Rect patch{px, py, static_cast<int>(cell_w) - 2 * gap_x,
                         static_cast<int>(cell_h) - 2 * gap_y};
        fill(s, patch, from_srgb8(kChartPatches[i].srgb));
        if (row == 3)
            s.greys.push_back(patch);
    }
    // The ramp: ten neutral steps, evenly spaced in sRGB from light grey to
    // near black.
    const Rect ramp{x0 + frac(width, 0.10), frac(height, 0.62), frac(width, 0.80),
                    frac(height, 0.24)};
    for (int i = 0; i < 10; ++i) {
        const int sx = ramp.x + static_cast<int>(std::lround(i * ramp.w / 10.0));
        const int ex = ramp.x + static_cast<int>(std::lround((i + 1) * ramp.w / 10.0));
        const Rect step{sx, ramp.y, ex - sx, ramp.h};
        fill(s, step, grey(srgb_to_linear((215.0 - 20.0 * i) / 255.0)));
        s.greys.push_back(step);
    }
}

Scene blank(int width, int height) {
    Scene s;
    s.width = width;
    s.height = height;
    s.rgb.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3, 0.0f);
    return s;
}

} // namespace

Scene make_chart_scene(int width, int height) {
    Scene s = blank(width, height);
    draw_chart(s, 0, width, height);
    return s;
}

Scene make_window_scene(int width, int height, double room_kelvin) {
    Scene s = blank(2 * width, height);
    draw_chart(s, 0, width, height);
    fill(s, {width, 0, width, height}, grey(kWall));
    // Daylight through the window, three times as bright as the wall, in the
    // colour of 6500 K relative to the room's light.
    const Rgb day = illuminant_rgb(6500.0), room = illuminant_rgb(room_kelvin);
    const Rect frame{width + frac(width, 0.02), frac(height, 0.08), frac(width, 0.50),
                     frac(height, 0.70)};
    fill(s, frame, grey(0.6));
    const int bar = std::max(1, frac(width, 0.015));
    const Rect pane{frame.x + bar, frame.y + bar, frame.w - 2 * bar, frame.h - 2 * bar};
    const double bright = 3.0 * kWall;
    fill(s, pane, {bright * day.r / room.r, bright * day.g / room.g, bright * day.b / room.b});
    fill(s, {pane.x + pane.w / 2 - bar / 2, pane.y, bar, pane.h}, grey(0.6));
    fill(s, {pane.x, pane.y + pane.h / 2 - bar / 2, pane.w, bar}, grey(0.6));
    return s;
}

bool load_png_scene(const std::string& path, int width, int height, Scene* scene,
                    std::string* error) {
    RgbImage image;
    if (!read_image(path, &image, error))
        return false;
    Scene s = blank(width, height);
    // Area-average resampling in linear light.
    std::vector<double> linear(image.pixels.size());
    for (std::size_t i = 0; i < linear.size(); ++i)
        linear[i] = srgb_to_linear(image.pixels[i] / 255.0);
    for (int y = 0; y < height; ++y) {
        const int sy0 = y * image.height / height;
        const int sy1 = std::max(sy0 + 1, (y + 1) * image.height / height);
        for (int x = 0; x < width; ++x) {
            const int sx0 = x * image.width / width;
            const int sx1 = std::max(sx0 + 1, (x + 1) * image.width / width);
            double sum[3] = {0, 0, 0};
            for (int yy = sy0; yy < sy1; ++yy)
                for (int xx = sx0; xx < sx1; ++xx)
                    for (int c = 0; c < 3; ++c)
                        sum[c] += linear[(static_cast<std::size_t>(yy) *
                                              static_cast<std::size_t>(image.width) +
                                          static_cast<std::size_t>(xx)) *
                                             3 +
                                         static_cast<std::size_t>(c)];
            const double n = static_cast<double>((sy1 - sy0) * (sx1 - sx0));
            fill(s, {x, y, 1, 1}, {sum[0] / n, sum[1] / n, sum[2] / n});
        }
    }
    *scene = std::move(s);
    return true;
}

} // namespace camsim
