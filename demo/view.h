// What huecast-demo shows a person: in a terminal a live view redrawn in
// place (24-bit colour), otherwise plain lines of text; and a PNG strip of
// sampled frames with the lights' colours beside each.
#pragma once

#include <string>
#include <vector>

#include "demo/scene.h"

// A small copy of a picture, sampled at the centres of its cells.
struct thumb {
    int width = 0;
    int height = 0;
    std::vector<rgb> pixels;  // row by row
};

// width pixels wide, as high as the picture's shape gives (even, at least 2).
thumb thumbnail(const yuv_picture &p, int width);

// "#RRGGBB"
std::string hex(rgb c);

// What the views show at one moment.
struct view_state {
    std::string title;         // the chipset, picture size and what plays
    std::string huecast_said;  // huecast's latest line of output
    double elapsed = 0;        // seconds since the picture started
    double seconds = 0;        // how long the demo runs
    long frame = 0;            // decoder frames shown
    double decoder_fps = 0;
    rgb lights[5] = {};      // in picture zone order: lights 0, 2, 3, 4, 1
    long light_frames = 0;   // complete frames of five light messages so far
    double huecast_fps = 0;  // light frames a second, lately
    double cpu_ms = -1;      // huecast's CPU time per light frame, lately; <0 unknown
};

// The lights in the order of the zones they show.
constexpr int zone_lights[5] = {0, 2, 3, 4, 1};

// The live view: lines that each end with "clear to end of line" and a
// line end. Always as many lines for a given thumbnail height.
std::string tty_view(const view_state &state, const thumb &picture);
int tty_view_lines(const thumb &picture);

// One line of text, for a log.
std::string text_line(const view_state &state);
