// huecheck: lights each amBX light in turn, switches them off, then plays an
// eight-colour sequence on every light. Interrupted, it switches them off.
#include <cstdio>

#include "driver/ambx.h"
#include "libhue/libhue.h"

namespace {

constexpr int STEP_TIME = 1000;

// One colour per light, lit one after another.
constexpr int test_colours[LIGHT_COUNT] = {0xFF0080, 0xFF0000, 0x00FF00, 0x0000FF, 0x80FF00};

constexpr int sequence[] = {0xFF0000, 0x00FF00, 0x0000FF, 0x808080,
                            0x808000, 0x008080, 0x800080, 0x808080};
constexpr int SEQUENCE_LENGTH = sizeof sequence / sizeof sequence[0];

// Between steps: an interruption ends the test with the lights off.
void check_stop()
{
    if (stop_signal())
        stop_now(DEVICE);
}

}  // namespace

int main()
{
    // Line by line, so progress shows at once even through a pipe or a log.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (ambx_start(DEVICE) < 0)
        return -1;
    stop_signals_install();
    for (int light = 0; light < LIGHT_COUNT; light++) {
        ambx_set_light(DEVICE, light, test_colours[light]);
        check_stop();
        stop_sleep(1000);
        check_stop();
    }
    lights_off(DEVICE);
    for (int light = 0; light < LIGHT_COUNT; light++) {
        check_stop();
        ambx_set_light_sequence(DEVICE, light, STEP_TIME, sequence, SEQUENCE_LENGTH);
    }
    check_stop();
    ambx_close(DEVICE);
    return 0;
}
