// SPDX-License-Identifier: GPL-2.0 OR MIT
#include "colour.h"

#include <algorithm>
#include <cmath>

namespace camsim {

Mat3 Mat3::operator*(const Mat3& o) const {
    Mat3 r;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k)
                r.m[i][j] += m[i][k] * o.m[k][j];
    return r;
}

Mat3 Mat3::inverse() const {
    const auto& a = m;
    const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                       a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                       a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    Mat3 r;
    r.m[0][0] = (a[1][1] * a[2][2] - a[1][2] * a[2][1]) / det;
    r.m[0][1] = (a[0][2] * a[2][1] - a[0][1] * a[2][2]) / det;
    r.m[0][2] = (a[0][1] * a[1][2] - a[0][2] * a[1][1]) / det;
    r.m[1][0] = (a[1][2] * a[2][0] - a[1][0] * a[2][2]) / det;
    r.m[1][1] = (a[0][0] * a[2][2] - a[0][2] * a[2][0]) / det;
    r.m[1][2] = (a[0][2] * a[1][0] - a[0][0] * a[1][2]) / det;
    r.m[2][0] = (a[1][0] * a[2][1] - a[1][1] * a[2][0]) / det;
    r.m[2][1] = (a[0][1] * a[2][0] - a[0][0] * a[2][1]) / det;
    r.m[2][2] = (a[0][0] * a[1][1] - a[0][1] * a[1][0]) / det;
    return r;
}

double srgb_to_linear(double v) {
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

double linear_to_srgb(double v) {
    v = std::clamp(v, 0.0, 1.0);
    return v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
}

Rgb illuminant_rgb(double kelvin) {
    // Chromaticity of the Planckian locus by the usual cubic approximation.
    const double t = std::clamp(kelvin, 1667.0, 25000.0);
    const double t1 = 1e3 / t, t2 = t1 * t1, t3 = t2 * t1;
    const double x = t <= 4000.0 ? -0.2661239 * t3 - 0.2343589 * t2 + 0.8776956 * t1 + 0.179910
                                 : -3.0258469 * t3 + 2.1070379 * t2 + 0.2226347 * t1 + 0.240390;
    double y;
    if (t <= 2222.0)
        y = -1.1063814 * x * x * x - 1.34811020 * x * x + 2.18555832 * x - 0.20219683;
    else if (t <= 4000.0)
        y = -0.9549476 * x * x * x - 1.37418593 * x * x + 2.09137015 * x - 0.16748867;
    else
        y = 3.0817580 * x * x * x - 5.87338670 * x * x + 3.75112997 * x - 0.37001483;
    const double cx = x / y, cy = 1.0, cz = (1.0 - x - y) / y;
    Rgb c{3.2406 * cx - 1.5372 * cy - 0.4986 * cz, -0.9689 * cx + 1.8758 * cy + 0.0415 * cz,
          0.0557 * cx - 0.2040 * cy + 1.0570 * cz};
    c.r = std::max(c.r, 0.0);
    c.g = std::max(c.g, 0.0);
    c.b = std::max(c.b, 0.0);
    const double luminance = 0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b;
    return {c.r / luminance, c.g / luminance, c.b / luminance};
}

const Mat3& sensor_response() {
    static const Mat3 response{{{0.42, 0.11, 0.02}, {0.08, 0.82, 0.10}, {0.01, 0.14, 0.55}}};
    return response;
}

const Mat3& view_matrix() {
    static const Mat3 view = [] {
        const Rgb white = sensor_response().apply(illuminant_rgb(6500.0));
        Mat3 balance;
        balance.m[0][0] = white.g / white.r;
        balance.m[1][1] = 1.0;
        balance.m[2][2] = white.g / white.b;
        // Balanced raw of a white: (g, g, g) of the unbalanced green; the
        // inverse maps it back to the illuminant, which is near (1, 1, 1).
        Mat3 forward = balance * sensor_response();
        Mat3 inv = forward.inverse();
        // Normalise each row to sum 1 so that every neutral stays neutral.
        for (auto& row : inv.m) {
            const double sum = row[0] + row[1] + row[2];
            for (double& v : row)
                v /= sum;
        }
        return inv;
    }();
    return view;
}

// The published 8-bit sRGB values of the 24-patch chart, row by row.
const ChartPatch kChartPatches[24] = {
    {"dark skin", {115, 82, 68}},     {"light skin", {194, 150, 130}},
    {"blue sky", {98, 122, 157}},     {"foliage", {87, 108, 67}},
    {"blue flower", {133, 128, 177}}, {"bluish green", {103, 189, 170}},
    {"orange", {214, 126, 44}},       {"purplish blue", {80, 91, 166}},
    {"moderate red", {193, 90, 99}},  {"purple", {94, 60, 108}},
    {"yellow green", {157, 188, 64}}, {"orange yellow", {224, 163, 46}},
    {"blue", {56, 61, 150}},          {"green", {70, 148, 73}},
    {"red", {175, 54, 60}},           {"yellow", {231, 199, 31}},
    {"magenta", {187, 86, 149}},      {"cyan", {8, 133, 161}},
    {"white", {243, 243, 242}},       {"neutral 8", {200, 200, 200}},
    {"neutral 6.5", {160, 160, 160}}, {"neutral 5", {122, 122, 121}},
    {"neutral 3.5", {85, 85, 85}},    {"black", {52, 52, 52}},
};

} // namespace camsim
