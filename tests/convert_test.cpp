// Colour conversion: numeric results, channel order, and which chroma pair and
// which bytes every picture size uses.
#include "capture/convert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace {

using pixel = std::array<int, 3>;

// The plain formula: BT.601 studio range with the fixed-point steps, by
// multiplication instead of tables, then the integer part (a floor: the shift
// is arithmetic on 64 bits) limited to 0..255.
int reference_byte(int64_t sum)
{
    return static_cast<int>(std::clamp<int64_t>(sum >> 16, 0, 255));
}

pixel reference_pixel(int y, int cb, int cr, bool xilleon)
{
    const int64_t luma = 76310 * int64_t{y - 16};
    const int red = reference_byte(luma + 104635 * int64_t{cr - 128});
    const int green = reference_byte(luma - 53294 * int64_t{cr - 128} - 25690 * int64_t{cb - 128});
    const int blue = reference_byte(luma + 132278 * int64_t{cb - 128});
    return xilleon ? pixel{red, green, blue} : pixel{blue, green, red};
}

pixel pixel_at(const unsigned char *image, int width, int x, int y)
{
    const unsigned char *p = image + 3 * (y * width + x);
    return {p[0], p[1], p[2]};
}

// Converts a 2x2 frame of one colour; all four pixels must come out equal.
pixel convert_solid(int y, int cb, int cr, bool xilleon)
{
    std::vector<unsigned char> luma(4, static_cast<unsigned char>(y));
    std::vector<unsigned char> chroma{static_cast<unsigned char>(cb),
                                      static_cast<unsigned char>(cr)};
    std::vector<unsigned char> image(12);
    const yuv_frame frame{2, 2, luma.data(), chroma.data()};
    convert_frame(&frame, image.data(), xilleon);
    for (int i = 1; i < 4; ++i)
        EXPECT_EQ(pixel_at(image.data(), 2, i % 2, i / 2), pixel_at(image.data(), 2, 0, 0));
    return pixel_at(image.data(), 2, 0, 0);
}

// Converts a width x height frame and checks every pixel and every byte
// around it. The planes hold exactly what may be read (width * height luma,
// width * height / 2 chroma) plus `slack` poison bytes; only the pairs of
// complete 2x2 blocks carry colour, every other chroma byte is poison too.
// The output has `slack` guard bytes on each side. With slack 0, ASan catches
// any access outside; with slack, the poison shows in a pixel and an
// overwritten guard fails the check.
void check_size(int width, int height, bool xilleon, std::size_t slack)
{
    SCOPED_TRACE(testing::Message()
                 << width << "x" << height << " xilleon " << xilleon << " slack " << slack);
    const std::size_t count = static_cast<std::size_t>(width) * height;
    std::vector<unsigned char> luma(count + slack, 0), chroma(count / 2 + slack);
    for (std::size_t i = 0; i < chroma.size(); ++i)
        chroma[i] = i % 2 ? 255 : 0;
    auto luma_of = [](int x, int y) { return 40 + (3 * x + 7 * y) % 180; };
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            luma[y * width + x] = static_cast<unsigned char>(luma_of(x, y));
    for (int q = 0; q < height / 2; ++q)
        for (int k = 0; k < width / 2; ++k) {
            chroma[q * width + 2 * k] = static_cast<unsigned char>(96 + 4 * k);
            chroma[q * width + 2 * k + 1] = static_cast<unsigned char>(96 + 8 * q);
        }
    std::vector<unsigned char> out(3 * count + 2 * slack, 0xA5);
    const yuv_frame frame{width, height, luma.data(), chroma.data()};
    convert_frame(&frame, out.data() + slack, xilleon);

    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const bool grey = width < 2 || height < 2;
            const int k = std::min(x / 2, width / 2 - 1), q = std::min(y / 2, height / 2 - 1);
            const pixel want =
                grey ? reference_pixel(luma_of(x, y), 128, 128, xilleon)
                     : reference_pixel(luma_of(x, y), 96 + 4 * k, 96 + 8 * q, xilleon);
            ASSERT_EQ(pixel_at(out.data() + slack, width, x, y), want) << "pixel " << x << "," << y;
        }
    for (std::size_t i = 0; i < slack; ++i) {
        ASSERT_EQ(out[i], 0xA5) << "guard before the image, byte " << i;
        ASSERT_EQ(out[slack + 3 * count + i], 0xA5) << "guard after the image, byte " << i;
    }
}

struct example {
    int y, cb, cr;
    pixel xilleon, others;
};

// Studio-range anchors, BT.601 primaries and the extreme sums, both channel
// orders; catches a wrong table, a rounding or mis-sized clamp, Cb/Cr read the
// wrong way round or red and blue written in the wrong places.
TEST(ConvertFrame, NumericExamples)
{
    const example examples[] = {
        {16, 128, 128, {0, 0, 0}, {0, 0, 0}},
        {235, 128, 128, {255, 255, 255}, {255, 255, 255}},
        {0, 128, 128, {0, 0, 0}, {0, 0, 0}},
        {255, 128, 128, {255, 255, 255}, {255, 255, 255}},
        {100, 128, 128, {97, 97, 97}, {97, 97, 97}},
        {128, 128, 128, {130, 130, 130}, {130, 130, 130}},
        {81, 90, 240, {254, 0, 0}, {0, 0, 254}},
        {41, 240, 110, {0, 0, 255}, {255, 0, 0}},
        {145, 54, 34, {0, 255, 0}, {0, 255, 0}},
        {16, 240, 240, {178, 0, 226}, {226, 0, 178}},
        // The extreme sums: table ends on both sides of every channel.
        {0, 0, 0, {0, 135, 0}, {0, 135, 0}},
        {255, 255, 255, {255, 125, 255}, {255, 125, 255}},
        {255, 0, 0, {73, 255, 19}, {19, 255, 73}},
        {0, 255, 255, {184, 0, 237}, {237, 0, 184}},
    };
    for (const example &e : examples) {
        SCOPED_TRACE(testing::Message() << "Y " << e.y << " Cb " << e.cb << " Cr " << e.cr);
        EXPECT_EQ(convert_solid(e.y, e.cb, e.cr, true), e.xilleon);
        EXPECT_EQ(convert_solid(e.y, e.cb, e.cr, false), e.others);
    }
}

// Every (Y, Cb, Cr) of 256^3, in both channel orders, through convert_frame
// itself: per Cr value a 512 x 128 picture whose block (k, q) has Cb = k and
// the four lumas 4q .. 4q + 3. Catches any input on which the conversion's
// tables, products, bias or clamp part from the formula.
TEST(ConvertFrame, EveryInputMatchesTheFormula)
{
    constexpr int width = 512, height = 128;
    std::vector<unsigned char> luma(width * height), chroma(width * height / 2);
    std::vector<unsigned char> image(3 * width * height), want(image.size());
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            luma[y * width + x] = static_cast<unsigned char>(4 * (y / 2) + 2 * (y % 2) + x % 2);
    const yuv_frame frame{width, height, luma.data(), chroma.data()};
    for (bool xilleon : {false, true})
        for (int cr = 0; cr < 256; ++cr) {
            for (int q = 0; q < height / 2; ++q)
                for (int k = 0; k < width / 2; ++k) {
                    chroma[q * width + 2 * k] = static_cast<unsigned char>(k);
                    chroma[q * width + 2 * k + 1] = static_cast<unsigned char>(cr);
                }
            convert_frame(&frame, image.data(), xilleon);
            for (int i = 0; i < width * height; ++i) {
                const pixel p = reference_pixel(luma[i], i % width / 2, cr, xilleon);
                for (int b = 0; b < 3; ++b)
                    want[3 * i + b] = static_cast<unsigned char>(p[b]);
            }
            if (image == want)
                continue;
            const auto at =
                std::mismatch(image.begin(), image.end(), want.begin()).first - image.begin();
            const int i = static_cast<int>(at / 3);
            FAIL() << "Y " << int(luma[i]) << " Cb " << i % width / 2 << " Cr " << cr << " xilleon "
                   << xilleon << ": byte " << at % 3 << " is " << int(image[at]) << ", not "
                   << int(want[at]);
        }
}

// Clamp edges: cut not rounded, 16777215 still 255, -1 already 0; catches an
// off-by-one limit or a logical instead of arithmetic shift.
TEST(ClampChannel, Boundaries)
{
    EXPECT_EQ(clamp_channel(16777215), 255);
    EXPECT_EQ(clamp_channel(16777216), 255);
    EXPECT_EQ(clamp_channel(INT32_MAX), 255);
    EXPECT_EQ(clamp_channel(16711680), 255);
    EXPECT_EQ(clamp_channel(16711679), 254);
    EXPECT_EQ(clamp_channel(6410040), 97);
    EXPECT_EQ(clamp_channel(65536), 1);
    EXPECT_EQ(clamp_channel(65535), 0);
    EXPECT_EQ(clamp_channel(0), 0);
    EXPECT_EQ(clamp_channel(-1), 0);
    EXPECT_EQ(clamp_channel(INT32_MIN), 0);
}

// The binding end entries of the five tables; catches a wrong step or zero
// index, or a table computed from the decimal coefficients.
TEST(ConvertTables, EndEntries)
{
    EXPECT_EQ(y_to_rgb[0], -1220960);
    EXPECT_EQ(y_to_rgb[255], 18238090);
    EXPECT_EQ(cr_to_r[0], -13393280);
    EXPECT_EQ(cr_to_r[255], 13288645);
    EXPECT_EQ(cr_to_g[0], -6821632);
    EXPECT_EQ(cr_to_g[255], 6768338);
    EXPECT_EQ(cb_to_g[0], -3288320);
    EXPECT_EQ(cb_to_g[255], 3262630);
    EXPECT_EQ(cb_to_b[0], -16931584);
    EXPECT_EQ(cb_to_b[255], 16799306);
}

// Every pixel of even and odd sizes takes its own luma and its block's pair
// (odd last column/row: the neighbour block's; one pixel wide or high: grey),
// with nothing read or written outside; catches chroma row/column indexing
// faults, row drift with odd widths and overruns on the last row or column.
TEST(ConvertFrame, EverySizeUsesItsBlocksChromaAndStaysInBounds)
{
    const int sizes[][2] = {{1, 1}, {1, 5}, {6, 1}, {2, 2}, {3, 2}, {2, 3},   {3, 3},
                            {5, 4}, {4, 5}, {7, 3}, {3, 7}, {8, 6}, {33, 17}, {32, 16}};
    for (const auto &size : sizes)
        for (bool xilleon : {false, true})
            for (std::size_t slack : {std::size_t{0}, std::size_t{16}})
                check_size(size[0], size[1], xilleon, slack);
}

// A width or height of 0 or less writes nothing and reads no plane; catches a
// loop that runs once or a negative size turned into a huge count.
TEST(ConvertFrame, EmptyOrNegativeSizeWritesNothing)
{
    unsigned char luma[1] = {235}, chroma[1] = {128};
    const int sizes[][2] = {{0, 0}, {0, 4}, {4, 0}, {-2, 2}, {2, -2}, {-1, -1}};
    for (const auto &size : sizes) {
        std::vector<unsigned char> out(64, 0xA5);
        const yuv_frame frame{size[0], size[1], luma, chroma};
        convert_frame(&frame, out.data(), false);
        EXPECT_EQ(out, std::vector<unsigned char>(64, 0xA5)) << size[0] << "x" << size[1];
    }
}

}  // namespace
