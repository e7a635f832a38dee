// The PNG strip, through libpng's simplified interface.
#include "demo/png.h"

#include <png.h>

#include <cstring>

namespace {

struct canvas {
    int width, height;
    std::vector<uint8_t> bytes;  // RGB, row by row

    void fill(int x0, int y0, int w, int h, rgb c)
    {
        for (int y = y0; y < y0 + h; y++)
            for (int x = x0; x < x0 + w; x++) {
                uint8_t *p = &bytes[(static_cast<size_t>(y) * width + x) * 3];
                p[0] = c.r, p[1] = c.g, p[2] = c.b;
            }
    }
};

void draw_row(canvas &c, const strip_row &row, int y0)
{
    const thumb &t = row.picture;
    for (int y = 0; y < t.height; y++)
        for (int x = 0; x < t.width; x++)
            c.fill(STRIP_MARGIN + x, y0 + y, 1, 1, t.pixels[static_cast<size_t>(y) * t.width + x]);
    for (int k = 0; k < 5; k++)
        c.fill(strip_swatch_x(k), y0, STRIP_SWATCH, t.height, row.lights[k]);
}

}  // namespace

bool png_write_strip(const std::string &path, const std::vector<strip_row> &rows,
                     std::string *error)
{
    if (rows.empty() || rows[0].picture.width != STRIP_THUMB_WIDTH) {
        *error = "no sampled frames to draw";
        return false;
    }
    const int row_height = rows[0].picture.height;
    canvas c{
        STRIP_WIDTH, STRIP_MARGIN + static_cast<int>(rows.size()) * (row_height + STRIP_GAP), {}};
    c.bytes.assign(static_cast<size_t>(c.width) * c.height * 3, STRIP_BACKGROUND);
    for (size_t i = 0; i < rows.size(); i++)
        draw_row(c, rows[i], STRIP_MARGIN + static_cast<int>(i) * (row_height + STRIP_GAP));
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(c.width);
    image.height = static_cast<png_uint_32>(c.height);
    image.format = PNG_FORMAT_RGB;
    if (png_image_write_to_file(&image, path.c_str(), 0, c.bytes.data(), 0, nullptr))
        return true;
    *error = path + ": " + image.message;
    return false;
}
