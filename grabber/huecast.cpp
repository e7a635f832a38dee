// huecast: sets the five amBX lights to the colours of five vertical zones
// of the picture the set-top box is showing, frame after frame, for ever.
#include <cstdio>
#include <cstdlib>

#include "ambx.h"
#include "detect.h"
#include "getvideo.h"
#include "zones.h"

namespace {

constexpr int DEVICE = 0;

// Zone i of the picture, counted from the left, goes to light zone_lights[i].
constexpr int zone_lights[zone_count] = {0, 2, 3, 4, 1};

// The smallest picture whose five zones all hold a pixel.
constexpr int32_t MIN_WIDTH = zone_count;
constexpr int32_t MIN_HEIGHT = 1;

[[noreturn]] void capture_loop(unsigned char *image)
{
    int32_t width = 0;  // no picture until the first capture succeeds
    int32_t height = 0;
    uint32_t colours[zone_count];
    for (;;) {
        getvideo(image, &width, &height);
        if (width < MIN_WIDTH || height < MIN_HEIGHT)
            continue;
        getcolors(colours, image, width, height);
        for (int i = 0; i < zone_count; i++)
            ambx_set_light(DEVICE, zone_lights[i], static_cast<int>(colours[i]));
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
    capture_loop(image);
}
