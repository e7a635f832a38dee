// huecast: sets the five amBX lights to the colours of five vertical zones
// of the picture the set-top box is showing, frame after frame, until it is
// stopped by a signal; then it switches the lights off.
#include <cstdio>
#include <cstdlib>

#include "driver/ambx.h"
#include "huecast/detect.h"
#include "capture/getvideo.h"
#include "huecast/setbacks.h"
#include "libhue/libhue.h"
#include "huecast/zones.h"

namespace {

// Zone i of the picture, counted from the left, goes to light zone_lights[i].
constexpr int zone_lights[ZONE_COUNT] = {0, 2, 3, 4, 1};

// The smallest picture whose five zones all hold a pixel.
constexpr int32_t MIN_WIDTH = ZONE_COUNT;
constexpr int32_t MIN_HEIGHT = 1;

// Whether a width x height picture gives every zone a pixel.
bool zones_filled(int32_t width, int32_t height)
{
    return width >= MIN_WIDTH && height >= MIN_HEIGHT;
}

// One capture. getvideo writes the size only when it took a picture.
// Returns true for a picture whose zones can be averaged.
bool capture(unsigned char *image, int32_t *width, int32_t *height)
{
    int32_t frame_width = -1;
    int32_t frame_height = -1;
    getvideo(image, &frame_width, &frame_height);
    if (frame_width < 0)
        return false;
    *width = frame_width;
    *height = frame_height;
    return zones_filled(frame_width, frame_height);
}

// Sends zone i's colour to light zone_lights[i]; results[i] gets the write's result.
void show_colours(const uint32_t *colours, int *results)
{
    for (int i = 0; i < ZONE_COUNT; i++)
        results[i] = ambx_set_light(DEVICE, zone_lights[i], static_cast<int>(colours[i]));
}

// Waits ms milliseconds, cut short by a stop signal; true when the whole
// time passed. What was printed goes out first: a failing capture's line
// has no line end, and would otherwise wait in the buffer for many frames.
bool pause_ms(int ms)
{
    fflush(stdout);
    return stop_sleep(ms);
}

// The light set stopped taking colours: capture pauses, and once a second
// the driver rescans the buses and opens the first set, until one opens.
void await_light_set()
{
    puts("Light set lost: trying again every second.");
    do {
        if (!pause_ms(1000))
            stop_now(DEVICE);
        ambx_init();
    } while (ambx_open(DEVICE) != 0);
    if (stop_signal())
        stop_now(DEVICE);
    puts("Light set found again.");
}

[[noreturn]] void capture_loop(unsigned char *image)
{
    int32_t width = 0;  // no picture until the first capture succeeds
    int32_t height = 0;
    uint32_t colours[ZONE_COUNT];
    int results[ZONE_COUNT];
    int failing_frames = 0;
    int dead_light_frames = 0;
    for (;;) {
        failing_frames = capture(image, &width, &height) ? 0 : failing_frames + 1;
        if (stop_signal())
            stop_now(DEVICE);
        if (zones_filled(width, height)) {
            getcolors(colours, image, width, height);
            show_colours(colours, results);
            if (stop_signal())
                stop_now(DEVICE);
            if (light_set_lost(results, ZONE_COUNT, &dead_light_frames)) {
                await_light_set();
                dead_light_frames = 0;
            }
        }
        if (const int pause = pace_delay_ms(failing_frames))
            pause_ms(pause);
    }
}

}  // namespace

int main()
{
    // Line by line, so progress shows at once even through a pipe or a log.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    puts("Huecast Screengrabber");
    if (ambx_start(DEVICE) < 0)
        return -1;
    stb_type = detect_chipset("/proc/fb", "/proc/cpuinfo");
    if (stb_type == STB_UNKNOWN) {
        puts("Unknown STB .. quit.");
        return 1;
    }
    printf("Detected STB: %s\n", stb_name[stb_type]);
    const int32_t image_size = rgb_image_size(stb_type);
    auto *image = static_cast<unsigned char *>(malloc(image_size));
    if (!image) {
        printf("Cannot allocate the picture buffer (%d bytes).\n", image_size);
        return 1;
    }
    stop_signals_install();
    capture_loop(image);
}
