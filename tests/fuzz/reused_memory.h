// The simulated physical memory (sim/physmem_sim.h) kept across fuzz runs.
//
// Making it afresh for every run costs more than the run: the kernel
// allocates, zeroes and frees every page a run reads. Kept, a run finds the
// pages that earlier runs read already there. It is made afresh every 4096
// runs (bounding its logs) and after a run in which the DMA engine copied;
// otherwise each run starts with what the run before wrote zeroed again, so
// that every run sees only its own input.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "capture/sources.h"
#include "sim/box/physmem_sim.h"
#include "tests/fuzz/fuzz_support.h"

// Starts a run: returns the descriptor to hand over as /dev/mem, the memory
// all zeros.
int reused_memory_start();

// Writes size bytes of data at address (no further than the end of the
// 32-bit space) for this run.
void reused_memory_write(uint32_t address, const void *data, size_t size);

// What getvideo runs over the same memory as a planes source: take(out), the
// picture converted where it lies, whole and every third pixel, into direct.
// It must give back every mapping, stay inside them and report the planes'
// size; whole, its pixels must be image, the planes' conversion.
template <class Take>
void check_direct_capture(Take take, const frame_planes &planes,
                          const std::vector<unsigned char> &image,
                          std::vector<unsigned char> &direct)
{
    for (int32_t step : {1, 3}) {
        sampled_image out;
        out.image = direct.data();
        out.step = step;
        const bool taken = take(out);
        fuzz_check(physmem_sim_live_mappings() == 0, "a mapping not given back");
        fuzz_check(physmem_sim_faults() == 0, "an access outside the mappings");
        fuzz_check(taken && out.width == planes.width && out.height == planes.height,
                   "the direct capture unlike the planes'");
        fuzz_check(step > 1 || std::equal(image.begin(),
                                          image.begin() + 3 * int64_t{out.width} * out.height,
                                          direct.begin()),
                   "direct pixels unlike the planes' conversion");
    }
}
