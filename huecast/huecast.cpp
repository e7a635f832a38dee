// huecast: sets the five amBX lights to the colours of five vertical zones
// of the picture the set-top box is showing, frame after frame, until it is
// stopped by a signal; then it switches the lights off. Its options pace,
// sample, crop and smooth the light frames; without them every pixel of
// every frame counts, as fast as the picture comes.
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "capture/getvideo.h"
#include "driver/ambx.h"
#include "huecast/borders.h"
#include "huecast/detect.h"
#include "huecast/options.h"
#include "huecast/setbacks.h"
#include "huecast/smooth.h"
#include "huecast/zones.h"
#include "libhue/libhue.h"

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

// One capture, of every pixel (step 1) or of every step-th pixel of every
// step-th row, which is all the decoder's memory is then read for. The
// capture writes the size only when it took a picture. Returns true for a
// picture whose zones can be averaged.
bool capture(unsigned char *image, int32_t *width, int32_t *height, int32_t step = 1)
{
    int32_t frame_width = -1;
    int32_t frame_height = -1;
    if (step == 1)
        getvideo(image, &frame_width, &frame_height);
    else
        getvideo_sampled(image, &frame_width, &frame_height, step);
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

// Sends a frame's colours and judges the writes: a stop signal meanwhile
// ends the program, a lost light set is waited for.
void send_frame(const uint32_t *colours, int *dead_light_frames)
{
    int results[ZONE_COUNT];
    show_colours(colours, results);
    if (stop_signal())
        stop_now(DEVICE);
    if (light_set_lost(results, ZONE_COUNT, dead_light_frames)) {
        await_light_set();
        *dead_light_frames = 0;
    }
}

[[noreturn]] void capture_loop(unsigned char *image)
{
    int32_t width = 0;  // no picture until the first capture succeeds
    int32_t height = 0;
    uint32_t colours[ZONE_COUNT];
    int failing_frames = 0;
    int dead_light_frames = 0;
    for (;;) {
        failing_frames = capture(image, &width, &height) ? 0 : failing_frames + 1;
        if (stop_signal())
            stop_now(DEVICE);
        if (zones_filled(width, height)) {
            getcolors(colours, image, width, height);
            send_frame(colours, &dead_light_frames);
        }
        if (const int pause = pace_delay_ms(failing_frames))
            pause_ms(pause);
    }
}

// --- the modes ----------------------------------------------------------

// The monotonic clock in nanoseconds.
int64_t now_ns()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

// What the modes keep from frame to frame.
struct mode_state {
    border_state borders;
    int32_t bars_width = 0;  // the picture size the bars belong to
    int32_t bars_height = 0;
    smooth_state smooth;
    int64_t next_ns = 0;  // when the next output period begins
    int64_t sent_ns = 0;  // when the last light frame went out
};

// The zone colours of a sampled picture, inside the bars in use. A picture
// of another size starts without bars.
void mode_colours(uint32_t *colours, const unsigned char *image, int32_t width, int32_t height,
                  const huecast_options &o, mode_state &m)
{
    picture_area area = {0, 0, width, height};
    if (o.borders) {
        if (width != m.bars_width || height != m.bars_height) {
            m.borders = {};
            m.bars_width = width;
            m.bars_height = height;
        }
        border_bars measured;
        const bool seen = measure_bars(image, width, height, o.sample, &measured);
        area =
            inside_bars(track_bars(m.borders, seen ? &measured : nullptr, o.sample), width, height);
    }
    getcolors_sampled(colours, image, width, o.sample, area);
}

// Smooths colours in place: the output periods since the last light frame,
// rounded, are the steps the lights take now.
void mode_smooth(uint32_t *colours, const huecast_options &o, mode_state &m)
{
    const int64_t now = now_ns();
    const int64_t period = 1000000000 / o.rate;
    const int64_t gone = m.sent_ns == 0 ? period : now - m.sent_ns;
    const int64_t elapsed = (gone + period / 2) / period;
    m.sent_ns = now;
    smooth_step(m.smooth, colours, elapsed < 1 ? 1 : static_cast<int>(elapsed), colours);
}

// Sleeps until the next output period begins. A frame that ended after it
// starts the periods afresh, without a burst of frames to catch up.
void mode_pace(const huecast_options &o, mode_state &m)
{
    const int64_t now = now_ns();
    m.next_ns = (m.next_ns == 0 ? now : m.next_ns) + 1000000000 / o.rate;
    if (m.next_ns <= now) {
        m.next_ns = now;
        return;
    }
    const int ms = static_cast<int>((m.next_ns - now + 999999) / 1000000);
    if (!pause_ms(ms))
        stop_now(DEVICE);
}

[[noreturn]] void mode_loop(unsigned char *image, const huecast_options &o)
{
    int32_t width = 0;  // no picture until the first capture succeeds
    int32_t height = 0;
    uint32_t colours[ZONE_COUNT];
    int failing_frames = 0;
    int dead_light_frames = 0;
    mode_state m;
    m.smooth.periods = o.smooth_ms > 0 ? smooth_periods(o.smooth_ms, o.rate) : 1;
    for (;;) {
        const bool good = capture(image, &width, &height, o.sample);
        failing_frames = good ? 0 : failing_frames + 1;
        if (stop_signal())
            stop_now(DEVICE);
        if (zones_filled(width, height)) {
            mode_colours(colours, image, width, height, o, m);
            if (o.smooth_ms > 0)
                mode_smooth(colours, o, m);
            send_frame(colours, &dead_light_frames);
        }
        if (const int pause = pace_delay_ms(failing_frames))
            pause_ms(pause);
        if (o.rate > 0)
            mode_pace(o, m);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    huecast_options options;
    switch (parse_huecast_options(argc, argv, options, stderr)) {
    case options_verdict::help: print_huecast_usage(stdout); return 0;
    case options_verdict::version: puts("huecast " HUECAST_VERSION); return 0;
    case options_verdict::bad: print_huecast_usage(stderr); return 2;
    case options_verdict::run: break;
    }
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
    if (any_mode(options))
        mode_loop(image, options);
    capture_loop(image);
}
