// The PNG strip of huecast-demo: one row per sampled frame, the frame's
// thumbnail on the left and the five lights' colours beside it, in the
// order of the picture zones they show.
#pragma once

#include <string>
#include <vector>

#include "demo/view.h"

struct strip_row {
    thumb picture;
    rgb lights[5];  // zone order: lights 0, 2, 3, 4, 1
};

// Layout, in pixels. Row i starts at y = STRIP_MARGIN + i * (thumb height +
// STRIP_GAP); its thumbnail at x = STRIP_MARGIN, swatch k at
// strip_swatch_x(k), as high as the thumbnail.
constexpr int STRIP_THUMB_WIDTH = 160;
constexpr int STRIP_MARGIN = 8;
constexpr int STRIP_GAP = 8;
constexpr int STRIP_SWATCH = 48;
constexpr int STRIP_BACKGROUND = 0x20;  // grey level between the parts

constexpr int strip_swatch_x(int k)
{
    return STRIP_MARGIN + STRIP_THUMB_WIDTH + 2 * STRIP_GAP + k * (STRIP_SWATCH + STRIP_GAP);
}
constexpr int STRIP_WIDTH = strip_swatch_x(5) - STRIP_GAP + STRIP_MARGIN;

// Writes the strip (rows of equal thumbnails). false with *error.
bool png_write_strip(const std::string &path, const std::vector<strip_row> &rows,
                     std::string *error);
