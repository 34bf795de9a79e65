// SPDX-License-Identifier: GPL-2.0 OR MIT
#include "image_io.h"

#include "colour.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <png.h>
// libjpeg's header needs FILE and size_t declared first.
#include <jpeglib.h>

namespace camsim {
namespace {

std::size_t index(int x, int y, int width) {
    return static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
           static_cast<std::size_t>(x);
}

// Reflects a coordinate that left the frame back into it by whole Bayer
// cells' worth of parity: -1 becomes 1 and size becomes size - 2.
int reflect(int v, int size) {
    if (v < 0)
        v = -v;
    if (v >= size)
        v = 2 * size - 2 - v;
    return std::clamp(v, 0, size - 1);
}

} // namespace

bool read_png(const std::string& path, RgbImage* image, std::string* error) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) {
        *error = path + ": " + png.message;
        return false;
    }
    png.format = PNG_FORMAT_RGB;
    RgbImage out;
    out.width = static_cast<int>(png.width);
    out.height = static_cast<int>(png.height);
    out.pixels.resize(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, out.pixels.data(), 0, nullptr)) {
        *error = path + ": " + png.message;
        png_image_free(&png);
        return false;
    }
    *image = std::move(out);
    return true;
}

namespace {

// libjpeg reports a fatal error through this hook; it must not return, so
// it throws and read_jpeg catches.
struct JpegFailure {
    std::string message;
};
[[noreturn]] void ThrowJpegError(j_common_ptr info) {
    char message[JMSG_LENGTH_MAX];
    (*info->err->format_message)(info, message);
    throw JpegFailure{message};
}

bool read_jpeg(const std::string& path, RgbImage* image, std::string* error) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         std::fclose);
    if (!file) {
        *error = path + ": cannot open";
        return false;
    }
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    errors.error_exit = ThrowJpegError;
    try {
        jpeg_create_decompress(&info);
        jpeg_stdio_src(&info, file.get());
        jpeg_read_header(&info, TRUE);
        info.out_color_space = JCS_RGB;
        jpeg_start_decompress(&info);
        RgbImage out;
        out.width = static_cast<int>(info.output_width);
        out.height = static_cast<int>(info.output_height);
        out.pixels.resize(static_cast<std::size_t>(out.width) *
                          static_cast<std::size_t>(out.height) * 3);
        while (info.output_scanline < info.output_height) {
            JSAMPROW row = &out.pixels[static_cast<std::size_t>(info.output_scanline) *
                                       static_cast<std::size_t>(out.width) * 3];
            jpeg_read_scanlines(&info, &row, 1);
        }
        jpeg_finish_decompress(&info);
        jpeg_destroy_decompress(&info);
        *image = std::move(out);
        return true;
    } catch (const JpegFailure& failure) {
        jpeg_destroy_decompress(&info);
        *error = path + ": " + failure.message;
        return false;
    }
}

} // namespace

bool read_image(const std::string& path, RgbImage* image, std::string* error) {
    unsigned char magic[2] = {0, 0};
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        const std::size_t got = std::fread(magic, 1, 2, f);
        std::fclose(f);
        if (got == 2 && magic[0] == 0xFF && magic[1] == 0xD8)
            return read_jpeg(path, image, error);
    }
    return read_png(path, image, error);
}

RgbImage shrink(const RgbImage& image, int factor) {
    RgbImage out;
    out.width = image.width / factor;
    out.height = image.height / factor;
    out.pixels.resize(static_cast<std::size_t>(out.width) * static_cast<std::size_t>(out.height) *
                      3);
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x)
            for (int c = 0; c < 3; ++c) {
                int sum = 0;
                for (int dy = 0; dy < factor; ++dy)
                    for (int dx = 0; dx < factor; ++dx)
                        sum +=
                            image.pixels[index(x * factor + dx, y * factor + dy, image.width) * 3 +
                                         static_cast<std::size_t>(c)];
                out.pixels[index(x, y, out.width) * 3 + static_cast<std::size_t>(c)] =
                    static_cast<std::uint8_t>(sum / (factor * factor));
            }
    return out;
}

RgbImage contact_sheet(const std::vector<RgbImage>& pictures, int columns, int gap) {
    int cell_w = 0, cell_h = 0;
    for (const RgbImage& p : pictures) {
        cell_w = std::max(cell_w, p.width);
        cell_h = std::max(cell_h, p.height);
    }
    const int count = static_cast<int>(pictures.size());
    const int rows = (count + columns - 1) / columns;
    RgbImage out;
    out.width = columns * cell_w + (columns + 1) * gap;
    out.height = rows * cell_h + (rows + 1) * gap;
    out.pixels.assign(
        static_cast<std::size_t>(out.width) * static_cast<std::size_t>(out.height) * 3, 40);
    for (int i = 0; i < count; ++i) {
        const RgbImage& p = pictures[static_cast<std::size_t>(i)];
        const int x0 = gap + (i % columns) * (cell_w + gap);
        const int y0 = gap + (i / columns) * (cell_h + gap);
        for (int y = 0; y < p.height; ++y)
            std::copy_n(&p.pixels[index(0, y, p.width) * 3], static_cast<std::size_t>(p.width) * 3,
                        &out.pixels[index(x0, y0 + y, out.width) * 3]);
    }
    return out;
}

bool write_png(const std::string& path, const RgbImage& image, std::string* error) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(image.width);
    png.height = static_cast<png_uint_32>(image.height);
    png.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&png, path.c_str(), 0, image.pixels.data(), 0, nullptr)) {
        *error = path + ": " + png.message;
        return false;
    }
    return true;
}

RgbImage raw_to_view(const std::uint8_t* raw, int width, int height) {
    RgbImage out;
    out.width = width;
    out.height = height;
    out.pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    if (width < 2 || height < 2)
        return out;
    std::uint8_t encode[4096];
    for (int i = 0; i < 4096; ++i)
        encode[i] = static_cast<std::uint8_t>(std::lround(255.0 * linear_to_srgb(i / 4095.0)));
    const Mat3& view = view_matrix();
    auto px = [&](int x, int y) -> double {
        return raw[index(reflect(x, width), reflect(y, height), width)];
    };
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double cross = (px(x - 1, y) + px(x + 1, y) + px(x, y - 1) + px(x, y + 1)) / 4;
            const double diag =
                (px(x - 1, y - 1) + px(x + 1, y - 1) + px(x - 1, y + 1) + px(x + 1, y + 1)) / 4;
            const double horiz = (px(x - 1, y) + px(x + 1, y)) / 2;
            const double vert = (px(x, y - 1) + px(x, y + 1)) / 2;
            const double self = px(x, y);
            Rgb c;
            switch ((y & 1) * 2 + (x & 1)) {
            case 0:
                c = {self, cross, diag};
                break; // red site
            case 1:
                c = {horiz, self, vert};
                break; // green of a red row
            case 2:
                c = {vert, self, horiz};
                break; // green of a blue row
            default:
                c = {diag, cross, self};
                break; // blue site
            }
            c = view.apply({c.r / 255.0, c.g / 255.0, c.b / 255.0});
            std::uint8_t* o = &out.pixels[index(x, y, width) * 3];
            const double channels[3] = {c.r, c.g, c.b};
            for (int k = 0; k < 3; ++k)
                o[k] =
                    encode[static_cast<int>(std::lround(std::clamp(channels[k], 0.0, 1.0) * 4095))];
        }
    return out;
}

RgbImage side_by_side(const RgbImage& left, const RgbImage& right, int gap) {
    RgbImage out;
    out.width = left.width + gap + right.width;
    out.height = std::max(left.height, right.height);
    out.pixels.assign(
        static_cast<std::size_t>(out.width) * static_cast<std::size_t>(out.height) * 3, 255);
    auto blit = [&](const RgbImage& img, int x0) {
        for (int y = 0; y < img.height; ++y)
            std::copy_n(&img.pixels[index(0, y, img.width) * 3],
                        static_cast<std::size_t>(img.width) * 3,
                        &out.pixels[index(x0, y, out.width) * 3]);
    };
    blit(left, 0);
    blit(right, left.width + gap);
    return out;
}

} // namespace camsim
