// A box VM scenario: one small text file of steps, one step a line
// (boxvm/README.md describes each). The runner (boxvm_run.cpp) carries them
// out in order against the VM and the emulated light set.
#pragma once

#include <string>
#include <vector>

#include "sim/lightset/ambx_emu.h"

enum class step_kind {
    boot,      // boots the VM; with_set: the set is plugged in from the start
    attach,    // plugs the set in
    detach,    // pulls it out
    run,       // a command line in the guest's shell; must end with status 0
    wait,      // seconds pass
    poweroff,  // the guest powers off through busybox init; the VM ends
    expect,    // a judgement (expect_kind)
};

enum class expect_kind {
    lights,     // the five lights show colours within seconds after an event
    log,        // the guest's huecast log holds a line with text, within seconds
    log_ends,   // the log's last line holds text
    output,     // the last run's output holds text
    messages,   // the set received count messages since the last run began
    received,   // count of them are described with text (emu_describe)
    gaps,       // messages first..last since the last run: each gap seconds ± tolerance
    ends_dark,  // the last five messages switch lights 0..4 to 000000
};

// What a lights judgement measures from.
enum class since_event { boot, attach, detach, run };

struct step {
    step_kind kind = step_kind::wait;
    int line = 0;    // in the scenario file, for messages
    double at = -1;  // start no earlier than this many seconds after at_since; -1: at once
    since_event at_since = since_event::boot;
    bool with_set = false;
    std::string command;  // run
    double seconds = 0;   // wait; expect: within this long (lights, log); gaps: the gap
    expect_kind expect = expect_kind::lights;
    std::string text;               // log, log_ends, output, received
    bool reference = false;         // lights: the picture's reference colours
    std::vector<unsigned> colours;  // lights: otherwise these five, 0xRRGGBB
    since_event since = since_event::boot;
    int count = 0;            // messages, received
    int first = 0, last = 0;  // gaps: 1-based message numbers
    double tolerance = 0;     // gaps
};

struct scenario {
    std::string title;                      // its first comment line
    std::string picture;                    // "CHIPSET WIDTHxHEIGHT", or empty
    std::vector<emu_component> components;  // the set's; empty: the usual five
    std::vector<step> steps;
};

// Parses a scenario's text. Returns false with *error ("line N: what") on
// the first line it cannot take; a scenario must boot before anything else.
bool scenario_parse(const std::string &text, scenario *out, std::string *error);

// The five colours of a reference file: the first five words of the form
// RRGGBB or #RRGGBB, in order (lights 0..4). Returns false when it holds fewer.
bool reference_parse(const std::string &text, std::vector<unsigned> *colours);
