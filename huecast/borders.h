// Black bars around the picture (letterbox, pillarbox), found so that the
// zones can be taken inside them.
#pragma once

#include <cstdint>

#include "huecast/zones.h"

// A pixel is black when each of its three bytes is at most this (about 6 %
// of full scale: the black of a studio-range picture with some noise).
constexpr int BORDER_BLACK_MAX = 16;
// A line counts as black when these many points spread evenly across it
// (all its pixels when it has fewer) are black.
constexpr int32_t BORDER_PROBES = 128;
// A bar is at most this fraction (1 / n) of the picture's height or width.
constexpr int32_t BORDER_MAX_PART = 3;
// Frames in a row a new measurement must hold before it is taken: to take
// bars or make them wider, and to narrow or drop them.
constexpr int BORDER_TAKE_FRAMES = 25;
constexpr int BORDER_DROP_FRAMES = 50;

// Bars in pixels of the whole picture: rows at the top and as many at the
// bottom, columns at the left and as many at the right.
struct border_bars {
    int32_t rows = 0;
    int32_t columns = 0;
};

// Measures the bars of a sampled picture: image holds every step-th pixel of
// every step-th row of a width x height picture (ceil(width / step) x
// ceil(height / step) pixels of 3 bytes, rows without gap). A bar is the run
// of black lines from one edge; opposite bars count only as far as both
// reach, and only up to 1 / BORDER_MAX_PART of the picture, leaving an area
// of at least step * ZONE_COUNT columns. Returns false, with *bars
// untouched, when neither axis shows anything but black that far in (an
// all-black or nearly black picture says nothing about bars).
bool measure_bars(const unsigned char *image, int32_t width, int32_t height, int32_t step,
                  border_bars *bars);

// The bars in use and the measurement waiting to be taken.
struct border_state {
    border_bars taken;  // what the zones leave out
    border_bars seen;   // a differing measurement, held for `held` frames
    int held = 0;
};

// Feeds one frame's measurement (null: the frame said nothing) into s. A
// measurement within step pixels of another on both axes counts as the same
// (the smaller one is kept). It is taken once held BORDER_TAKE_FRAMES frames
// in a row when neither bar shrinks, BORDER_DROP_FRAMES when one does.
// Returns the bars in use after this frame.
border_bars track_bars(border_state &s, const border_bars *measured, int32_t step);

// The area of a width x height picture inside bars.
picture_area inside_bars(const border_bars &bars, int32_t width, int32_t height);
