// The simulated physical memory (sim/physmem_sim.h) kept across fuzz runs.
//
// Making it afresh for every run costs more than the run: the kernel
// allocates, zeroes and frees every page a run reads. Kept, a run finds the
// pages that earlier runs read already there. It is made afresh every 4096
// runs (bounding its logs) and after a run in which the DMA engine copied;
// otherwise each run starts with what the run before wrote zeroed again, so
// that every run sees only its own input.
#pragma once

#include <cstddef>
#include <cstdint>

// Starts a run: returns the descriptor to hand over as /dev/mem, the memory
// all zeros.
int reused_memory_start();

// Writes size bytes of data at address (no further than the end of the
// 32-bit space) for this run.
void reused_memory_write(uint32_t address, const void *data, size_t size);
