// Smoothing: straight ways from colour to colour, one step per output
// period.
#include "huecast/smooth.h"

namespace {

// Byte shift of the colour at progress done / periods from a to b.
uint32_t between(uint32_t a, uint32_t b, int shift, int done, int periods)
{
    const int from = static_cast<int>((a >> shift) & 0xFF);
    const int to = static_cast<int>((b >> shift) & 0xFF);
    return static_cast<uint32_t>(from + (to - from) * done / periods) << shift;
}

// Where a light on its way shows now.
uint32_t position(const smooth_light &l, int periods)
{
    return between(l.from, l.to, 16, l.done, periods) | between(l.from, l.to, 8, l.done, periods) |
           between(l.from, l.to, 0, l.done, periods);
}

}  // namespace

int smooth_periods(int ms, int rate)
{
    const int periods = static_cast<int>((int64_t{ms} * rate + 999) / 1000);
    return periods > 0 ? periods : 1;
}

void smooth_step(smooth_state &s, const uint32_t target[ZONE_COUNT], int elapsed,
                 uint32_t out[ZONE_COUNT])
{
    for (int i = 0; i < ZONE_COUNT; ++i) {
        smooth_light &l = s.zone[i];
        if (target[i] != l.to) {
            l.from = position(l, s.periods);
            l.to = target[i];
            l.done = 0;
        }
        l.done = l.done + elapsed < s.periods ? l.done + elapsed : s.periods;
        out[i] = position(l, s.periods);
    }
}
