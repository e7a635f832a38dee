// Zone colours: zone bounds, means, packing and empty rectangles.
#include "huecast/zones.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

std::vector<unsigned char> blank_image(int width, int height)
{
    return std::vector<unsigned char>(3 * static_cast<std::size_t>(width) * height, 0);
}

// The zone that column x counts in, found by lighting only that column.
int zone_of_column(int width, int x)
{
    std::vector<unsigned char> image = blank_image(width, 1);
    image[3 * x] = 255;
    uint32_t colours[ZONE_COUNT];
    getcolors(colours, image.data(), width, 1);
    int zone = -1;
    for (int i = 0; i < ZONE_COUNT; ++i)
        if (colours[i] != 0) {
            EXPECT_EQ(zone, -1) << "column " << x << " counts in two zones";
            zone = i;
        }
    return zone;
}

// Zone bounds for the widths the grabber meets; catches rounding the bounds
// differently (704 must give 140, 141, 141, 141, 141) or overlapping zones.
TEST(GetColors, ZoneBounds)
{
    const struct {
        int width;
        int first_column[ZONE_COUNT + 1];
    } cases[] = {
        {704, {0, 140, 281, 422, 563, 704}},
        {720, {0, 144, 288, 432, 576, 720}},
        {7, {0, 1, 2, 4, 5, 7}},
        {5, {0, 1, 2, 3, 4, 5}},
    };
    for (const auto &c : cases)
        for (int zone = 0; zone < ZONE_COUNT; ++zone)
            for (int x = c.first_column[zone]; x < c.first_column[zone + 1]; ++x)
                ASSERT_EQ(zone_of_column(c.width, x), zone)
                    << "width " << c.width << " column " << x;
}

// 720x576 with alternating zone colours: any column or row counted in the
// wrong zone, or a wrong pixel count, moves a mean off its value.
TEST(GetColors, FullPictureZonesKeepTheirOwnColour)
{
    const int width = 720, height = 576;
    std::vector<unsigned char> image = blank_image(width, height);
    const unsigned char fill[ZONE_COUNT][3] = {
        {0, 250, 7}, {250, 0, 200}, {0, 250, 7}, {250, 0, 200}, {0, 250, 7}};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int b = 0; b < 3; ++b)
                image[3 * (y * width + x) + b] = fill[x / 144][b];
    uint32_t colours[ZONE_COUNT];
    getcolors(colours, image.data(), width, height);
    for (int i = 0; i < ZONE_COUNT; ++i)
        EXPECT_EQ(colours[i], uint32_t{fill[i][0]} << 16 | uint32_t{fill[i][1]} << 8 | fill[i][2])
            << i;
}

// Largest picture, all bytes 255: no sum wraps and bits 24-31 stay 0.
TEST(GetColors, AllWhiteFullHd)
{
    std::vector<unsigned char> image(3 * 1920 * 1080, 255);
    uint32_t colours[ZONE_COUNT];
    getcolors(colours, image.data(), 1920, 1080);
    for (uint32_t colour : colours)
        EXPECT_EQ(colour, 0xFFFFFFu);
}

// A single pixel in zone 2 shows in colours[2] only, its bytes kept in memory
// order; catches swapped bytes or a pixel leaking into a neighbour zone.
TEST(GetColors, PixelCountsInItsZoneOnly)
{
    std::vector<unsigned char> image = blank_image(10, 2);
    const int x = 5, y = 1;
    image[3 * (y * 10 + x) + 0] = 200;
    image[3 * (y * 10 + x) + 1] = 100;
    image[3 * (y * 10 + x) + 2] = 40;
    uint32_t colours[ZONE_COUNT];
    getcolors(colours, image.data(), 10, 2);
    EXPECT_EQ(colours[0], 0u);
    EXPECT_EQ(colours[1], 0u);
    EXPECT_EQ(colours[2], 0x32190Au);  // 200 / 4, 100 / 4, 40 / 4
    EXPECT_EQ(colours[3], 0u);
    EXPECT_EQ(colours[4], 0u);
}

// Means are cut, not rounded: 10 over 4 pixels is 2, 0 and 255 give 127.
TEST(AvgColor, MeansRoundDown)
{
    const unsigned char four[] = {0, 1, 0, 0, 2, 0, 0, 3, 0, 0, 4, 0};
    EXPECT_EQ(avgcolor(four, 0, 4, 12, 1), 2u << 8);
    const unsigned char two[] = {0, 0, 0, 255, 255, 255};
    EXPECT_EQ(avgcolor(two, 0, 2, 6, 1), 0x7F7F7Fu);
}

// Rectangles without pixels return 0 without dividing or reading (the image
// pointer is null); a narrow picture leaves its empty zones at 0.
TEST(AvgColor, EmptyRectangleGivesZero)
{
    EXPECT_EQ(avgcolor(nullptr, 3, 3, 30, 4), 0u);
    EXPECT_EQ(avgcolor(nullptr, 4, 3, 30, 4), 0u);
    EXPECT_EQ(avgcolor(nullptr, 0, 3, 30, 0), 0u);
    EXPECT_EQ(avgcolor(nullptr, 0, 3, 30, -1), 0u);

    const unsigned char image[] = {9, 9, 9, 60, 60, 60, 30, 30, 30};
    uint32_t colours[ZONE_COUNT];
    getcolors(colours, image, 3, 1);  // zones 0..0, 0..1, 1..1, 1..2, 2..3
    const uint32_t want[ZONE_COUNT] = {0, 0x090909, 0, 0x3C3C3C, 0x1E1E1E};
    for (int i = 0; i < ZONE_COUNT; ++i)
        EXPECT_EQ(colours[i], want[i]) << i;
    getcolors(colours, nullptr, 720, 0);
    for (uint32_t colour : colours)
        EXPECT_EQ(colour, 0u);
}

// The plain loop: three 32-bit sums, one pixel at a time, row by row.
uint32_t plain_avgcolor(const unsigned char *image, int x0, int x1, int stride, int rows)
{
    uint32_t sum[3] = {0, 0, 0};
    for (int y = 0; y < rows; ++y)
        for (int x = x0; x < x1; ++x)
            for (int b = 0; b < 3; ++b)
                sum[b] += image[std::ptrdiff_t(y) * stride + 3 * x + b];
    const uint32_t n = uint32_t(rows) * uint32_t(x1 - x0);
    return (sum[0] / n) << 16 | (sum[1] / n) << 8 | sum[2] / n;
}

// size bytes of noise, the same for the same seed.
std::vector<unsigned char> noise(std::size_t size, uint32_t seed)
{
    std::vector<unsigned char> bytes(size);
    for (unsigned char &b : bytes) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        b = static_cast<unsigned char>(seed >> 24);
    }
    return bytes;
}

// The grabber's widths and heights (and odd ones), with the picture starting
// on and off a word boundary: every zone equals the plain loop's. Catches
// bytes added to the wrong channel, pixels left out or added twice around
// the word-aligned middle of a row, and lanes split too late or not at all.
TEST(GetColors, EveryGeometryMatchesThePlainLoop)
{
    for (int width : {5, 7, 704, 718, 720, 1920})
        for (int height : {1, 2, 3, 576, 1080}) {
            const std::size_t size = 3 * std::size_t(width) * height;
            const std::vector<unsigned char> bytes =
                noise(size + 8, uint32_t(width * 7919 + height));
            for (std::size_t offset : {0, 1, 2, 3, 5}) {
                const unsigned char *image = bytes.data() + offset;
                uint32_t colours[ZONE_COUNT];
                getcolors(colours, image, width, height);
                for (int i = 0; i < ZONE_COUNT; ++i)
                    ASSERT_EQ(colours[i], plain_avgcolor(image, i * width / 5, (i + 1) * width / 5,
                                                         3 * width, height))
                        << width << "x" << height << " at offset " << offset << ", zone " << i;
                if (height > 3)
                    break;  // the offsets of the tall pictures are those of the short ones
            }
        }
}

// Rows longer than the lanes hold (1028 pixels fill 32-bit lanes, 2056
// 64-bit ones), all at 255 or noise, with strides that move each row's start
// against the word boundary; catches a lane that wraps at the limit or a row
// split in the wrong place.
TEST(AvgColor, LongRowsAndOddStridesMatchThePlainLoop)
{
    for (int columns : {1027, 1028, 1029, 2055, 2056, 2057, 3001})
        for (int stride_extra : {0, 1, 4})
            for (bool white : {true, false}) {
                const int stride = 3 * columns + stride_extra, rows = 5;
                std::vector<unsigned char> image =
                    noise(std::size_t(stride) * rows, uint32_t(columns));
                if (white)
                    image.assign(image.size(), 255);
                ASSERT_EQ(avgcolor(image.data(), 0, columns, stride, rows),
                          plain_avgcolor(image.data(), 0, columns, stride, rows))
                    << columns << " columns, stride " << stride << (white ? ", white" : ", noise");
            }
}

}  // namespace
