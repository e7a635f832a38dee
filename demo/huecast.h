// huecast in huecast-demo's box: the emulated light set plugged in, huecast
// started with the box as its set-up, its output taken in line by line, and
// huecast stopped at the end.
#pragma once

#include <string>
#include <vector>

#include "sim/lightset/emu_usb.h"
#include "sim/common/process.h"

struct stb_box;

struct huecast_run {
    emu_testbed_ptr bed;
    emu_device *dev = nullptr;  // the light set
    process_ptr child;
    size_t out_taken = 0;  // bytes of its stdout taken in
    size_t err_taken = 0;  // and of its stderr
    std::string pending;   // output not yet a whole line
    std::string last_line;
    long lines = 0;      // whole lines so far
    bool ended = false;  // it has ended (by itself, or stopped)
};

// Plugs in the light set and starts the huecast at path with options in box,
// which must outlive it. false with *error.
bool huecast_start(huecast_run &h, const stb_box *box, const std::string &path,
                   const std::vector<std::string> &options, std::string *error);

// Waits up to wait_ms for huecast's output and notes when it has ended. Its
// new whole lines are counted, the last one kept, and appended to lines.
void huecast_follow(huecast_run &h, int wait_ms, std::vector<std::string> *lines);

// The CPU seconds huecast has used so far; -1 when they cannot be read.
double huecast_cpu_seconds(const huecast_run &h);

// Stops huecast: SIGTERM, then SIGKILL if two seconds were not enough. Its
// last lines go to lines as huecast_follow hands them. Returns how it ended.
process_result huecast_stop(huecast_run &h, std::vector<std::string> *lines);
