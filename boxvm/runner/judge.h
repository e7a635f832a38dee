// Judgements over the light set's own log: what it received, and when.
// Times are seconds after the VM was started (the runner shifts the
// device's clock to that).
#pragma once

#include <string>
#include <vector>

#include "sim/lightset/ambx_emu.h"

// The light and colour a message sets (light, 0xRRGGBB). Returns false for
// any other message (start, count query, sequence, information request).
bool message_colour(const emu_packet &packet, int *light, unsigned *colour);

// The first time at or after from at which lights 0..4 show colours, as the
// colour messages received since plugged (when the set was last powered up:
// it starts with every light unknown) set them. Returns -1 when they never do.
double lights_shown_at(const std::vector<emu_packet> &log, double plugged, double from,
                       const std::vector<unsigned> &colours);

// Whether the last five messages switch lights 0..4 to 000000, each once.
bool ends_dark(const std::vector<emu_packet> &log);

// The messages received at or after since, in order.
std::vector<emu_packet> received_since(const std::vector<emu_packet> &log, double since);

// The gaps between messages first..last (1-based) of log. Empty when log
// holds fewer than last messages.
std::vector<double> gaps(const std::vector<emu_packet> &log, int first, int last);

// The messages as emu_describe words them, one a line with its time; for
// the report when a judgement fails.
std::string describe_log(const std::vector<emu_packet> &log);
