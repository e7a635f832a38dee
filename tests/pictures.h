// Test pictures in YCbCr 4:2:0 with interleaved chroma, and the colours a
// grabber must derive from them, computed here straight from the BT.601
// integer rules, independently of the capture code.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

struct test_picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> luma;    // width * height
    std::vector<uint8_t> chroma;  // width * height / 2: (Cb, Cr) per 2x2 block
};

struct ycbcr {
    uint8_t y, cb, cr;
};

// Five bars of equal width, left to right: white, red, green, blue, grey.
constexpr ycbcr bar_colours[5] = {
    {235, 128, 128}, {81, 90, 240}, {145, 54, 34}, {41, 240, 110}, {128, 128, 128}};

inline test_picture blank_picture(int width, int height)
{
    test_picture p;
    p.width = width;
    p.height = height;
    p.luma.assign(size_t(width) * height, 16);
    p.chroma.assign(size_t(width) * height / 2, 128);
    return p;
}

// Vertical bars of the given colours, bar k over columns k*w/n .. (k+1)*w/n.
inline test_picture bars_picture(int width, int height, const ycbcr *colours = bar_colours,
                                 int count = 5)
{
    test_picture p = blank_picture(width, height);
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

inline test_picture random_picture(int width, int height, unsigned seed)
{
    test_picture p = blank_picture(width, height);
    std::mt19937 rng(seed);
    for (uint8_t &b : p.luma)
        b = static_cast<uint8_t>(rng());
    for (uint8_t &b : p.chroma)
        b = static_cast<uint8_t>(rng());
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
inline std::vector<uint8_t> reference_image(const test_picture &p, bool xilleon)
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
inline std::array<uint32_t, 5> reference_zones(const test_picture &p, bool xilleon)
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
