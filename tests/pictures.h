// Test pictures in YCbCr 4:2:0 with interleaved chroma, and the colours a
// grabber must derive from them, computed here straight from the BT.601
// integer rules, independently of the capture code.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "sim/box/decoder_memory.h"

struct ycbcr {
    uint8_t y, cb, cr;
};

// Five bars of equal width, left to right: white, red, green, blue, grey.
constexpr ycbcr bar_colours[5] = {
    {235, 128, 128}, {81, 90, 240}, {145, 54, 34}, {41, 240, 110}, {128, 128, 128}};

// Vertical bars of the given colours, bar k over columns k*w/n .. (k+1)*w/n.
inline yuv_picture bars_picture(int width, int height, const ycbcr *colours = bar_colours,
                                int count = 5)
{
    yuv_picture p = black_picture(width, height);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            const ycbcr &c = colours[x * count / width];
            p.luma[size_t(y) * width + x] = c.y;
            // Chroma pairs exist for complete 2x2 blocks only.
            if (y % 2 == 0 && x % 2 == 0 && x + 1 < width && y + 1 < height) {
                p.chroma[size_t(y / 2) * width + x] = c.cb;
                p.chroma[size_t(y / 2) * width + x + 1] = c.cr;
            }
        }
    return p;
}

// One pixel's three bytes in memory order: red first on Xilleon boxes,
// blue first on the others.
inline std::array<uint8_t, 3> reference_pixel(ycbcr c, bool xilleon)
{
    auto clamp = [](int32_t sum) {
        const int32_t v = sum >> 16;
        return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    };
    const int32_t y = 76310 * (c.y - 16);
    const uint8_t r = clamp(y + 104635 * (c.cr - 128));
    const uint8_t g = clamp(y - 53294 * (c.cr - 128) - 25690 * (c.cb - 128));
    const uint8_t b = clamp(y + 132278 * (c.cb - 128));
    return xilleon ? std::array<uint8_t, 3>{r, g, b} : std::array<uint8_t, 3>{b, g, r};
}

// The picture's pixels, 3 bytes each, rows top to bottom (at least 2 x 2):
// each pixel from its luma and the chroma pair of its 2x2 block; the last
// column of an odd width and the last row of an odd height take the block
// to their left or above.
inline std::vector<uint8_t> reference_image(const yuv_picture &p, bool xilleon)
{
    const size_t w = size_t(p.width);
    std::vector<uint8_t> image;
    image.reserve(3 * w * size_t(p.height));
    for (size_t y = 0; y < size_t(p.height); y++)
        for (size_t x = 0; x < w; x++) {
            const size_t row = std::min(y / 2, size_t(p.height) / 2 - 1);
            const size_t pair = row * w + std::min(x & ~size_t{1}, w / 2 * 2 - 2);
            const ycbcr c = {p.luma[y * w + x], p.chroma[pair], p.chroma[pair + 1]};
            for (uint8_t b : reference_pixel(c, xilleon))
                image.push_back(b);
        }
    return image;
}

// The five packed zone colours of an even-sized picture: zone i covers the
// columns (i * width) / 5 up to (i + 1) * width / 5; means round down.
inline std::array<uint32_t, 5> reference_zones(const yuv_picture &p, bool xilleon)
{
    std::array<uint32_t, 5> out{};
    for (int zone = 0; zone < 5; zone++) {
        const int x0 = zone * p.width / 5, x1 = (zone + 1) * p.width / 5;
        uint64_t sum[3] = {};
        for (int y = 0; y < p.height; y++)
            for (int x = x0; x < x1; x++) {
                const size_t pair = size_t(y / 2) * p.width + (x & ~1);
                const ycbcr c = {p.luma[size_t(y) * p.width + x], p.chroma[pair],
                                 p.chroma[pair + 1]};
                const std::array<uint8_t, 3> px = reference_pixel(c, xilleon);
                for (int k = 0; k < 3; k++)
                    sum[k] += px[k];
            }
        const uint64_t n = uint64_t(x1 - x0) * p.height;
        out[zone] = uint32_t(sum[0] / n) << 16 | uint32_t(sum[1] / n) << 8 | uint32_t(sum[2] / n);
    }
    return out;
}

// The five packed zone colours over every step-th pixel of every step-th
// row of image (width pixels of 3 bytes to a row), rows top .. bottom - 1:
// the means, rounded down, of the pixels taken, straight from their
// definition.
inline std::array<uint32_t, 5> reference_sampled_zones(const std::vector<uint8_t> &image, int width,
                                                       int step, int top, int bottom)
{
    std::array<uint32_t, 5> out{};
    for (int zone = 0; zone < 5; zone++) {
        uint64_t sum[3] = {}, n = 0;
        for (int y = top; y < bottom; y++)
            for (int x = zone * width / 5; x < (zone + 1) * width / 5; x++)
                if (x % step == 0 && y % step == 0) {
                    for (int k = 0; k < 3; k++)
                        sum[k] += image[3 * (size_t(y) * width + x) + k];
                    n++;
                }
        out[zone] = uint32_t(sum[0] / n) << 16 | uint32_t(sum[1] / n) << 8 | uint32_t(sum[2] / n);
    }
    return out;
}

// What a Xilleon box makes of p: one row for every 32 lines (row r is line
// 32r, height / 32 rows), chroma row q the chroma of line 64q. The
// conversion colours the last row of an odd height from the chroma row above
// it, so that row's own chroma is made a copy of it here.
inline yuv_picture sampled_picture(const yuv_picture &p)
{
    yuv_picture s = black_picture(p.width, p.height / 32);
    s.chroma.resize(size_t(p.width) * ((s.height + 1) / 2), 128);
    for (int r = 0; r < s.height; r++)
        memcpy(&s.luma[size_t(r) * p.width], &p.luma[size_t(32 * r) * p.width], p.width);
    for (int q = 0; q < s.height / 2; q++)
        memcpy(&s.chroma[size_t(q) * p.width], &p.chroma[size_t(32 * q) * p.width], p.width);
    if (s.height % 2 && s.height > 1)
        memcpy(&s.chroma[size_t(s.height / 2) * p.width],
               &s.chroma[size_t(s.height / 2 - 1) * p.width], p.width);
    return s;
}

// What a Broadcom box must make of the picture memory (extent bytes from
// the luma base) that g describes, derived byte by byte from the layout: the
// planes de-striped, the chroma rows the stripes lack zero, every 4-byte
// group reversed that starts below its plane's limit (chroma: width *
// (luma_rows / 2)) and ends inside the plane; the picture's first height rows.
inline yuv_picture destriped_picture(const std::vector<uint8_t> &memory, const stripe_geometry &g,
                                     int height)
{
    const size_t w = size_t(g.width);
    std::vector<uint8_t> luma(w * g.luma_rows), chroma(w * (g.chroma_rows + 64), 0);
    for (size_t r = 0; r < size_t(g.luma_rows); r++)
        for (size_t x = 0; x < w; x++) {
            const size_t at = (x / 64 * g.luma_rows + r) * 64 + x % 64;
            luma[r * w + x] = memory[at];
            if (r < size_t(g.chroma_rows))
                chroma[r * w + x] =
                    memory[g.chroma_offset + (x / 64 * g.chroma_rows + r) * 64 + x % 64];
        }
    auto reverse = [](std::vector<uint8_t> &plane, size_t limit) {
        for (size_t k = 0; k < limit && k + 4 <= plane.size(); k += 4)
            std::reverse(plane.begin() + k, plane.begin() + k + 4);
    };
    reverse(luma, luma.size());
    reverse(chroma, w * (g.luma_rows / 2));
    yuv_picture p = black_picture(g.width, height);
    std::copy(luma.begin(), luma.begin() + p.luma.size(), p.luma.begin());
    std::copy(chroma.begin(), chroma.begin() + p.chroma.size(), p.chroma.begin());
    return p;
}
