/* SPDX-License-Identifier: GPL-2.0 OR MIT */
// Pictures: PNG in and out (libpng), and raw RGGB frames turned into viewable
// sRGB pictures.
#ifndef QUORVIN_CAMSIM_IMAGE_IO_H
#define QUORVIN_CAMSIM_IMAGE_IO_H

#include <cstdint>
#include <string>
#include <vector>

namespace camsim {

// 8-bit RGB, 3 bytes per pixel, row after row.
struct RgbImage {
    int width = 0, height = 0;
    std::vector<std::uint8_t> pixels;
};

// Reads any PNG (grey, palette, 16-bit, with alpha) as 8-bit RGB; alpha is
// dropped. Returns false with a message.
bool read_png(const std::string& path, RgbImage* image, std::string* error);
bool write_png(const std::string& path, const RgbImage& image, std::string* error);
// Reads a PNG or a JPEG (by the file's first bytes) as 8-bit RGB.
bool read_image(const std::string& path, RgbImage* image, std::string* error);

// Every factor x factor block of pixels averaged into one (the edge blocks
// that do not fill a whole block are dropped).
RgbImage shrink(const RgbImage& image, int factor);
// Pictures placed in rows of columns cells, each cell as large as the largest
// picture, gap pixels apart, on a dark grey ground.
RgbImage contact_sheet(const std::vector<RgbImage>& pictures, int columns, int gap);

// An RGGB raw frame (red at the first byte) demosaiced bilinearly, its balanced
// raw colours turned into sRGB by the view matrix and encoded for display.
RgbImage raw_to_view(const std::uint8_t* raw, int width, int height);

// Two pictures of the same height next to each other, with a gap of gap pixels.
RgbImage side_by_side(const RgbImage& left, const RgbImage& right, int gap);

} // namespace camsim

#endif
