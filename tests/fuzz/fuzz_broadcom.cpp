// Fuzz target: the Broadcom BCM7401 / BCM4380 source over the simulated
// physical memory: the picture register block, the height's size file and
// the striped picture memory (read in place, or copied by the DMA engine),
// then the colour conversion of the planes it hands over, and the capture
// getvideo runs, which converts the picture where the stripes lie.
//
// Input: one byte choosing the chip (bit 0: BCM4380), the 100 bytes of the
// register block, the size file's text up to a 0 byte, then picture memory
// from the block's luma base on.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/broadcom.h"
#include "capture/convert.h"
#include "capture/frame.h"
#include "tests/fuzz/fuzz_support.h"
#include "capture/sources.h"
#include "sim/box/physmem_sim.h"
#include "tests/fuzz/reused_memory.h"

namespace {

// Blocks describing planes larger than this, or (BCM4380) a chroma base this
// far beyond the luma base, are left out: every byte of them is touched in the
// simulated memory, which only slows the fuzzer down. The sizes' arithmetic
// is the same for small and large values; the unit tests take the limits.
constexpr int64_t LARGEST = 1 << 18;

bool too_large(const unsigned char *block, int stb)
{
    const brcm_picture p = parse_picture_block(block);
    const int64_t offset = int64_t{p.chroma_base} - p.luma_base;
    return int64_t{p.width} * (int64_t{p.luma_rows} + p.chroma_rows + 64) > LARGEST ||
           (stb == STB_BRCM4380 && offset > LARGEST);
}

}  // namespace

// Catches reads or writes beyond the planes, the mappings or the DMA window,
// a mapping not given back, and a picture handed over larger than the image.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static std::vector<unsigned char> image(RGB_IMAGE_HD), direct(RGB_IMAGE_HD);
    fuzz_input input = {data, size};
    const int stb = input.byte() & 1 ? STB_BRCM4380 : STB_BRCM7401;
    unsigned char block[BRCM_BLOCK_SIZE] = {};
    input.take(block, sizeof block);
    if (too_large(block, stb))
        return 0;
    const std::string yres = fuzz_file("yres", input.text());

    const int mem = reused_memory_start();
    // The block last: picture bytes from a luma base at or below it must not
    // change the block that too_large() let through.
    reused_memory_write(parse_picture_block(block).luma_base, input.data, input.size);
    reused_memory_write(BRCM_BLOCK_ADDRESS, block, sizeof block);

    const int64_t max_pixels = RGB_IMAGE_HD / 3;
    frame_planes planes;
    const bool captured = broadcom_source(planes, mem, stb, max_pixels, yres.c_str());
    fuzz_check(physmem_sim_live_mappings() == 0, "a mapping not given back");
    fuzz_check(physmem_sim_faults() == 0, "an access outside the mappings");
    if (!captured)
        return 0;
    fuzz_check(int64_t{planes.width} * planes.height <= max_pixels, "picture beyond the image");
    const yuv_frame frame = {planes.width, planes.height, planes.luma.get(), planes.chroma.get()};
    convert_frame(&frame, image.data(), false);
    // What getvideo runs over the same memory, against the planes.
    check_direct_capture(
        [&](sampled_image &out) {
            return broadcom_sampled(out, mem, stb, max_pixels, yres.c_str());
        },
        planes, image, direct);
    return 0;
}
