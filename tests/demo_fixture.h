// What the demo's tests share: y4m files to play, and the PNG strip read back.
#pragma once

#include <png.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "demo/scene.h"

// Writes a y4m file of frames width x height whose every plane byte is the
// frame's value (luma v, Cb v + 1, Cr v + 2).
inline void write_y4m(const std::string &path, int width, int height, const char *rate,
                      const std::vector<std::vector<uint8_t>> &frames)
{
    std::ofstream out(path, std::ios::binary);
    out << "YUV4MPEG2 W" << width << " H" << height << " F" << rate << " Ip C420jpeg\n";
    for (const std::vector<uint8_t> &f : frames)
        out << "FRAME\n" << std::string(f.begin(), f.end());
}

// A PNG file's pixels, red, green, blue.
struct png_picture {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb_bytes;
    rgb at(int x, int y) const
    {
        const uint8_t *p = &rgb_bytes[(static_cast<size_t>(y) * width + x) * 3];
        return {p[0], p[1], p[2]};
    }
};

// Reads a PNG file as RGB; false when it cannot.
inline bool read_png(const std::string &path, png_picture *out)
{
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return false;
    image.format = PNG_FORMAT_RGB;
    out->width = static_cast<int>(image.width);
    out->height = static_cast<int>(image.height);
    out->rgb_bytes.resize(PNG_IMAGE_SIZE(image));
    return png_image_finish_read(&image, nullptr, out->rgb_bytes.data(), 0, nullptr) != 0;
}

// Whether two colours are the same.
inline bool same(rgb a, rgb b)
{
    return a.r == b.r && a.g == b.g && a.b == b.b;
}
