// Fuzz target: the Xilleon source over the simulated physical memory: the
// width and height size files and the tiled picture window, then the colour
// conversion of the sampled planes it hands over.
//
// Input: the width file's text up to a 0 byte, the height file's text up to
// a 0 byte, then the picture window's luma tiles from their start; the same
// bytes also fill the chroma tiles from theirs.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "convert.h"
#include "fuzz_support.h"
#include "getvideo.h"
#include "physmem_sim.h"
#include "xilleon.h"

namespace {

// The simulated memory is made afresh only every so many runs: in between, a
// run finds the window's pages that earlier runs read already there, which
// spares the kernel allocating and zeroing up to 1620 pages a run. Each run
// first zeroes what the one before wrote, so that it sees only its own input.
constexpr int RUNS_PER_MEMORY = 4096;

struct reused_memory {
    int mem = -1;
    int runs = 0;
    size_t written = 0;  // bytes the last run wrote at the start of each region
};

reused_memory memory;

void write_regions(const void *data, size_t size)
{
    physmem_sim_write(XILLEON_WINDOW_ADDRESS, data, std::min(size, XILLEON_CHROMA_AT));
    physmem_sim_write(XILLEON_WINDOW_ADDRESS + XILLEON_CHROMA_AT, data,
                      std::min(size, XILLEON_WINDOW_SIZE - XILLEON_CHROMA_AT));
}

// The simulated memory with the window holding picture bytes from the start of
// both the luma and the chroma tiles, and zeros everywhere else.
int memory_holding(const uint8_t *picture, size_t size)
{
    if (memory.mem < 0 || ++memory.runs == RUNS_PER_MEMORY) {
        memory = reused_memory{physmem_sim_reset(), 0, 0};
    } else {
        write_regions(std::vector<unsigned char>(memory.written).data(), memory.written);
    }
    write_regions(picture, size);
    memory.written = size;
    return memory.mem;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_stdout();
    return 0;
}

// Catches reads beyond the picture window, writes beyond the sampled planes, a
// mapping not given back, and a sampled picture larger than the image.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static std::vector<unsigned char> image(RGB_IMAGE_HD);
    fuzz_input input = {data, size};
    const std::string xres = fuzz_file("xres", input.text());
    const std::string yres = fuzz_file("yres", input.text());

    const int mem = memory_holding(input.data, input.size);

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
    return 0;
}
