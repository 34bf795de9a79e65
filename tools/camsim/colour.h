/* SPDX-License-Identifier: GPL-2.0 OR MIT */
// Colour science of the virtual camera: sRGB transfer functions, the colour of
// a black-body illuminant, the sensor's channel responses and the matrix that
// turns white-balanced raw values back into sRGB for viewing.
#ifndef QUORVIN_CAMSIM_COLOUR_H
#define QUORVIN_CAMSIM_COLOUR_H

namespace camsim {

struct Rgb {
    double r = 0.0, g = 0.0, b = 0.0;
};

struct Mat3 {
    double m[3][3] = {};

    Rgb apply(const Rgb& v) const {
        return {m[0][0] * v.r + m[0][1] * v.g + m[0][2] * v.b,
                m[1][0] * v.r + m[1][1] * v.g + m[1][2] * v.b,
                m[2][0] * v.r + m[2][1] * v.g + m[2][2] * v.b};
    }
    Mat3 operator*(const Mat3& o) const;
    Mat3 inverse() const;
};

// sRGB encoded value (0..1) to linear light and back.
double srgb_to_linear(double v);
double linear_to_srgb(double v);

// Linear-sRGB colour of a black body at this temperature (1667..25000 K,
// clamped), scaled to a luminance of 1, so that a grey card of reflectance k
// under it has luminance k whatever the colour of the light.
Rgb illuminant_rgb(double kelvin);

// The sensor's channel responses: linear sRGB radiance to raw red, green and
// blue. Green-heavy with some crosstalk, as real colour filter arrays are: a
// white under 6500 K gives raw red and blue at roughly 0.55 and 0.70 of green.
const Mat3& sensor_response();

// White-balanced raw to linear sRGB, for pictures only: the inverse of the
// sensor response after the daylight white balance, so neutrals stay neutral.
const Mat3& view_matrix();

// One patch of the 24-patch colour chart: name and published 8-bit sRGB.
struct ChartPatch {
    const char* name;
    unsigned char srgb[3];
};
extern const ChartPatch kChartPatches[24];

} // namespace camsim

#endif
