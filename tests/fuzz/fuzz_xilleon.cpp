// Fuzz target: the Xilleon source over the simulated physical memory: the
// width and height size files and the tiled picture window, then the colour
// conversion of the sampled planes it hands over, and the capture getvideo
// runs, which converts the picture where the tiles lie.
//
// Input: the width file's text up to a 0 byte, the height file's text up to
// a 0 byte, then the picture window's luma tiles from their start; the same
// bytes also fill the chroma tiles from theirs.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/convert.h"
#include "tests/fuzz/fuzz_support.h"
#include "capture/sources.h"
#include "sim/box/physmem_sim.h"
#include "tests/fuzz/reused_memory.h"
#include "capture/xilleon.h"

// Catches reads beyond the picture window, writes beyond the sampled planes, a
// mapping not given back, and a sampled picture larger than the image.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static std::vector<unsigned char> image(RGB_IMAGE_HD), direct(RGB_IMAGE_HD);
    fuzz_input input = {data, size};
    const std::string xres = fuzz_file("xres", input.text());
    const std::string yres = fuzz_file("yres", input.text());

    const int mem = reused_memory_start();
    reused_memory_write(XILLEON_WINDOW_ADDRESS, input.data,
                        std::min(input.size, XILLEON_CHROMA_AT));
    reused_memory_write(XILLEON_WINDOW_ADDRESS + XILLEON_CHROMA_AT, input.data,
                        std::min(input.size, XILLEON_WINDOW_SIZE - XILLEON_CHROMA_AT));

    const int64_t max_pixels = RGB_IMAGE_HD / 3;
    frame_planes planes;
    const bool captured = xilleon_source(planes, mem, max_pixels, xres.c_str(), yres.c_str());
    fuzz_check(physmem_sim_live_mappings() == 0, "a mapping not given back");
    fuzz_check(physmem_sim_faults() == 0, "an access outside the mappings");
    if (!captured)
        return 0;
    fuzz_check(planes.width >= 0 && planes.width <= XILLEON_MAX_WIDTH && planes.height >= 0 &&
                   int64_t{planes.width} * planes.height <= max_pixels,
               "sampled picture beyond the window or the image");
    const yuv_frame frame = {planes.width, planes.height, planes.luma.get(), planes.chroma.get()};
    convert_frame(&frame, image.data(), true);
    // What getvideo runs over the same window, against the planes.
    check_direct_capture(
        [&](sampled_image &out) {
            return xilleon_sampled(out, mem, max_pixels, xres.c_str(), yres.c_str());
        },
        planes, image, direct);
    return 0;
}
