// The built-in moving pictures of huecast-demo, drawn in code, and the
// colour arithmetic they and the demo's views share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "demo/decoder.h"

struct rgb {
    uint8_t r, g, b;
};

// BT.601 studio range, as set-top box decoders deliver it.
void ycbcr_from_rgb(rgb c, uint8_t *y, uint8_t *cb, uint8_t *cr);
rgb rgb_from_ycbcr(uint8_t y, uint8_t cb, uint8_t cr);

// The colour of picture pixel (x, y).
rgb picture_pixel(const yuv_picture &p, int x, int y);

enum class scene_kind { bars, sweep, flash, letterbox, cycle };

// Names as --scene takes them, in the order of scene_kind.
const std::vector<std::string> &scene_names();
// false for an unknown name.
bool scene_by_name(const std::string &name, scene_kind *kind);

// The scene the cycle shows at time t; any other scene is itself.
scene_kind scene_at(scene_kind kind, double t);

// Draws the scene as it is t seconds after its start into p (whose size
// stays). Returns its position, which the demo logs: the bars' offset in
// pixels for bars, -1 for the other scenes.
int scene_draw(scene_kind kind, double t, yuv_picture &p);

// --- the sliding bars -----------------------------------------------------
// Five bars of width / 5 columns, in the order of scene_bar_colours, move right by
// width / 5 columns a second and wrap around: at offset d, bar k covers
// columns (d + k * width / 5 + j) mod width for j below width / 5. At t = 0
// (and every 5 s) red fills the left fifth exactly.
extern const rgb scene_bar_colours[5];  // red, yellow, green, cyan, blue
int bars_offset(int width, double t);
