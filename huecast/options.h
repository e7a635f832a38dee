// huecast's command line: the modes a box owner may choose. Without options
// huecast averages every pixel of every frame, as fast as the picture comes.
#pragma once

#include <cstdio>

// Ranges of the option values.
constexpr int RATE_MIN = 1;  // light frames a second
constexpr int RATE_MAX = 100;
constexpr int SAMPLE_MIN = 1;  // every N-th pixel of every N-th row
constexpr int SAMPLE_MAX = 16;
constexpr int SMOOTH_MIN_MS = 1;
constexpr int SMOOTH_MAX_MS = 10000;

// The steady output rate of --smooth when no --rate is given.
constexpr int SMOOTH_DEFAULT_RATE = 25;

struct huecast_options {
    int rate = 0;    // at most this many light frames a second; 0: no pacing
    int sample = 1;  // 1: every pixel
    bool borders = false;
    int smooth_ms = 0;  // 0: the lights jump to each new colour
};

// What the command line asks for.
enum class options_verdict { run, help, version, bad };

// Parses argv[1 .. argc - 1] into o: "--rate N", "--sample N", "--borders",
// "--smooth MS", "--help", "--version"; a value may also follow "=". A
// missing, malformed or out-of-range value, an unknown option or any other
// argument is bad: the reason goes to err (one line). help and version win
// over everything after them. With --smooth and no --rate, o.rate becomes
// SMOOTH_DEFAULT_RATE.
options_verdict parse_huecast_options(int argc, char **argv, huecast_options &o, FILE *err);

// Prints the usage, the options and their ranges to out.
void print_huecast_usage(FILE *out);

// Whether o asks for anything but the exact mode.
bool any_mode(const huecast_options &o);
