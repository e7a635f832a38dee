// The rules for a dead picture and a light set that went away.
#include "huecast/setbacks.h"

#include <cerrno>

int pace_delay_ms(int failures)
{
    if (failures < PACE_FREE_FAILURES)
        return 0;
    int delay = PACE_FIRST_MS;
    for (int n = PACE_FREE_FAILURES; n < failures && delay < PACE_LONGEST_MS; n++)
        delay *= 2;
    return delay < PACE_LONGEST_MS ? delay : PACE_LONGEST_MS;
}

bool light_set_lost(const int *results, int count, int *dead_frames)
{
    int failed = 0;
    bool gone = false;
    for (int i = 0; i < count; i++) {
        failed += results[i] < 0;
        gone = gone || results[i] == -ENODEV;
    }
    *dead_frames = count > 0 && failed == count ? *dead_frames + 1 : 0;
    return gone || *dead_frames >= LOST_AFTER_FRAMES;
}
