/* SPDX-License-Identifier: GPL-2.0 OR MIT */
// Scenes for the virtual camera: linear-light reflectances (1.0 = a perfect
// white) in linear sRGB, with the rectangles of the neutral patches on which
// the greys' colour error is measured.
#ifndef QUORVIN_CAMSIM_SCENE_H
#define QUORVIN_CAMSIM_SCENE_H

#include "colour.h"

#include <string>
#include <vector>

namespace camsim {

struct Rect {
    int x = 0, y = 0, w = 0, h = 0;
};

struct Scene {
    int width = 0, height = 0;
    std::vector<float> rgb;  // 3 floats per pixel, row after row
    std::vector<Rect> greys; // neutral patches, in scene coordinates

    Rgb at(int x, int y) const {
        const float* p = &rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                               static_cast<std::size_t>(x)) *
                              3];
        return {p[0], p[1], p[2]};
    }
};

// The default scene, width x height: the 24-patch chart on its dark board in
// front of a light grey wall, with a ten-step neutral ramp below it.
Scene make_chart_scene(int width, int height);

// A room twice as wide as the frame: the chart scene on the left, a bright
// window (daylight seen from a room lit at room_kelvin) on the right, three
// times as bright as the wall.
Scene make_window_scene(int width, int height, double room_kelvin);

// Any PNG or JPEG as the scene: decoded from sRGB to linear light and resampled to
// width x height. No neutral patches are known. Returns false with a message.
bool load_png_scene(const std::string& path, int width, int height, Scene* scene,
                    std::string* error);

} // namespace camsim

#endif
