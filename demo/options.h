// huecast-demo's command line.
#pragma once

#include <string>
#include <vector>

#include "demo/decoder.h"
#include "demo/scene.h"

// Frames a second of the built-in scenes, unless --fps says otherwise.
constexpr double SCENE_FPS = 25;

struct demo_options {
    const chipset_info *chipset = &chipset_of(demo_chipset::pallas);
    scene_kind scene = scene_kind::cycle;
    std::string y4m, png, csv, huecast;
    std::vector<std::string> huecast_options;  // passed to huecast
    double seconds = 15;
    double fps = SCENE_FPS;     // of the built-in scenes
    int width = 0, height = 0;  // 0: the box's largest
    bool text = false;
};

// Parses the command line into o and fills in what it leaves out: the box's
// largest picture, build/huecast-demo.png, the huecast beside this program.
// Returns 0 to go on, -1 when it printed the usage (--help), else the exit
// status to end with (2: a bad option or size, said on stderr).
int parse_options(int argc, char **argv, demo_options &o);

// What runs, in words: "the real huecast on a simulated Pallas box
// (720x576), scene cycle", huecast's options after its name.
std::string demo_title(const demo_options &o);
