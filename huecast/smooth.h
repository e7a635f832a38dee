// Smoothing: the lights move to each new zone colour in even steps instead
// of jumping there.
#pragma once

#include <cstdint>

#include "huecast/zones.h"

// One light's way from one colour to the next, counted in output periods.
struct smooth_light {
    uint32_t from = 0;  // the lights start switched off
    uint32_t to = 0;
    int done = 0;  // periods gone since the way began
};

struct smooth_state {
    int periods = 1;  // periods a whole way takes
    smooth_light zone[ZONE_COUNT];
};

// The periods of a way of ms milliseconds at rate light frames a second
// (both at least 1): rounded up, so the lights arrive within ms; at least 1.
int smooth_periods(int ms, int rate);

// Feeds the zone colours of a frame, `elapsed` output periods (at least 1)
// after the previous light frame, and writes the colours to send now to
// out. A zone whose colour changed starts a new way from where its light is
// now; after s.periods periods a light shows its zone's colour exactly.
// Each of the three bytes moves on its own, rounded toward its start.
void smooth_step(smooth_state &s, const uint32_t target[ZONE_COUNT], int elapsed,
                 uint32_t out[ZONE_COUNT]);
