// Reduction of a picture to the five colours of its vertical zones.
#pragma once

#include <cstdint>

#include "libhue/libhue.h"

// Number of vertical zones, one per light.
constexpr int ZONE_COUNT = LIGHT_COUNT;

// Mean colour of the rectangle of columns x0 <= x < x1 and rows 0 .. rows - 1
// of a picture of 3-byte pixels whose rows lie stride bytes apart; image
// points to byte 0 of pixel 0 of row 0. Returns the means of bytes 0, 1 and 2
// (rounded down) in bits 16-23, 8-15 and 0-7. The byte sums are 32-bit, so a
// rectangle may hold at most 16,843,009 pixels. A rectangle without pixels
// (x1 <= x0 or rows <= 0) gives 0 and reads nothing.
uint32_t avgcolor(const unsigned char *image, int32_t x0, int32_t x1, int32_t stride, int32_t rows);

// Cuts a width x height picture of 3-byte pixels (rows 3 * width bytes, no
// gap) into five full-height zones, zone i being the columns from
// (i * width) / 5 up to (i + 1) * width / 5, and writes each zone's mean
// colour (as avgcolor) to colours[i], left to right. Zones without pixels
// (width below 5, height below 1) give 0.
void getcolors(uint32_t colours[ZONE_COUNT], const unsigned char *image, int32_t width,
               int32_t height);

// Part of a picture: columns left .. right - 1, rows top .. bottom - 1.
struct picture_area {
    int32_t left, top, right, bottom;
};

// The zone colours of a sampled picture: image holds every step-th pixel of
// every step-th row (columns and rows 0, step, 2 * step, ...) of a picture
// width pixels wide, ceil(width / step) pixels of 3 bytes to a row, rows
// without gap. The zones cut area (inside the picture) as
// getcolors cuts a whole picture: zone i is the columns from
// area.left + (i * w) / 5 up to area.left + ((i + 1) * w) / 5, w being the
// area's width, over the area's rows. colours[i] is the mean (as avgcolor)
// of the sampled pixels in zone i; 0 when it holds none. With step 1 and
// the whole picture as area, this is getcolors.
void getcolors_sampled(uint32_t colours[ZONE_COUNT], const unsigned char *image, int32_t width,
                       int32_t step, const picture_area &area);
