// The moving picture huecast-demo plays: a built-in scene drawn in code, or
// a .y4m file looped at its own frame rate.
#pragma once

#include <string>

#include "demo/options.h"
#include "demo/y4m.h"

// Where the frames come from, and which one is in the picture.
struct picture_source {
    scene_kind scene = scene_kind::cycle;
    bool from_file = false;
    y4m_video video;
    double fps = SCENE_FPS;
    long drawn = -1;  // the frame number now in the picture
};

// Opens what o asks to play: the scene, or the file (whose frame rate is
// kept within 1..60). false with *error.
bool source_open(const demo_options &o, picture_source &s, std::string *error);

// Draws frame n (n above the last one drawn) into p. Gives what the log
// names it by: the scene and its position, or the file's frame number.
// false with *error when the file gives no frame.
bool source_draw(picture_source &s, long n, yuv_picture &p, std::string *label, int *position,
                 std::string *error);
