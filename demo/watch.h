// Following huecast from outside, as huecast-demo does: the colours the
// emulated light set received, and the CPU time the process has used.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/lightset/ambx_emu.h"
#include "demo/scene.h"

// huecast sends five set-colour messages per picture it takes, after the
// capture and before the next one. So the last message of a light frame
// arrives after that frame's capture ended, and the frame's capture began
// after the last message of the frame before it (or of the handshake).
struct light_watch {
    size_t seen = 0;                 // packets of the log looked at
    uint8_t bytes[5][3] = {};        // each light's last colour bytes, as sent
    long messages = 0;               // set-colour messages so far
    uint8_t frame_bytes[5][3] = {};  // the colours of the last complete light frame
    double frame_end = 0;            // when its last message arrived (util.h's clock)
    double frame_begin = 0;          // its capture began after this: the end of the one before
};

// Whether a packet is a set-colour message [header, light << 4 | 0x0B, 3,
// b0, b1, b2]; if so its light (0..4) and colour bytes.
bool set_colour_message(const std::vector<uint8_t> &packet, int *light, uint8_t colour[3]);

// Takes in the packets that arrived since the last call.
void light_watch_update(light_watch &watch, emu_device &dev);

// Frames of five light messages so far.
long light_frames(const light_watch &watch);

// Whether the last complete light frame was taken wholly from a picture that
// was in place from shown_at on: its capture began after that.
bool last_frame_taken_since(const light_watch &watch, double shown_at);

// A light's colour as shown to a person: bgr says that its bytes came blue
// first (as on every box but the Xilleon). From the last complete light
// frame when frame is true, else as the light shows it now.
rgb light_colour(const light_watch &watch, int light, bool bgr, bool frame = false);

// utime + stime, in clock ticks, from the text of /proc/<pid>/stat; -1 when
// it is not such a text. The command name may hold spaces and parentheses.
long long stat_cpu_ticks(const std::string &stat);

// CPU seconds that a process has used so far; -1 when it cannot be read.
double process_cpu_seconds(pid_t pid);
