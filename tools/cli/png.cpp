// Camera frames to PNG: YUYV 4:2:2 (Y0 U Y1 V per two pixels) converted with the BT.601
// limited-range equations, written as 8-bit RGB by libpng.
#include <png.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "cli.h"

namespace cli {

namespace {

unsigned char clamp(int v) { return static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v); }

void yuv_to_rgb(int y, int u, int v, unsigned char* rgb) {
    int c = y - 16, d = u - 128, e = v - 128;
    rgb[0] = clamp((298 * c + 409 * e + 128) >> 8);
    rgb[1] = clamp((298 * c - 100 * d - 208 * e + 128) >> 8);
    rgb[2] = clamp((298 * c + 516 * d + 128) >> 8);
}

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};

}  // namespace

bool write_yuyv_png(const std::string& path, const unsigned char* yuyv, int width, int height,
                    std::string& err) {
    if (width <= 0 || height <= 0 || width % 2 != 0) {
        err = "unsupported frame size";
        return false;
    }
    std::unique_ptr<FILE, FileCloser> file(fopen(path.c_str(), "wb"));
    if (!file) {
        err = "cannot create " + path;
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_write_struct(&png, &info);
        err = "out of memory";
        return false;
    }
    // Rows are converted one at a time; the vector lives outside the setjmp scope.
    std::vector<unsigned char> row(static_cast<size_t>(width) * 3);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        err = "cannot write " + path;
        return false;
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; y++) {
        const unsigned char* src = yuyv + static_cast<size_t>(y) * static_cast<size_t>(width) * 2;
        for (int x = 0; x < width; x += 2) {
            const unsigned char* p = src + x * 2;
            yuv_to_rgb(p[0], p[1], p[3], &row[static_cast<size_t>(x) * 3]);
            yuv_to_rgb(p[2], p[1], p[3], &row[static_cast<size_t>(x + 1) * 3]);
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    if (fflush(file.get()) != 0 || ferror(file.get())) {
        err = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace cli
