// What the box's files share inside the box library: the box itself, and
// the steps that turn a child into it (steps.cpp).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "sim/box/stb_box.h"

constexpr size_t PATH_CAP = 512;    // one step's path or link target
constexpr size_t MAX_STEPS = 128;   // mounts, directories and links of one box
constexpr size_t MAX_INSIDE = 128;  // a scenario path inside the box

// One step, in plain char arrays: the child walks them without allocating.
struct stb_box_step {
    int kind;
    char path[PATH_CAP];
    char source[PATH_CAP];
};

struct stb_box {
    char dir[PATH_CAP];              // the staging directory S
    std::vector<std::string> files;  // scenario paths ever written, in order
    size_t nsteps = 0;
    stb_box_step steps[MAX_STEPS];
};

// Whether s begins with prefix.
bool starts_with(const std::string &s, const char *prefix);

// Computes the box's steps from its scenario paths. 0, or -ENOSPC or
// -ENAMETOOLONG (the steps stay as they were).
int box_store_steps(stb_box *box);

// Adds a scenario path to the box's steps, once. 0 or -errno.
int box_register_file(stb_box *box, const char *inside);
