// A simulated physical memory for unit tests of the chipset sources: the
// implementation of capture/physmem.h that tests link instead of /dev/mem.
//
// Memory is a sparse 4 GiB memory file whose offset is the physical address;
// phys_map really maps it (shared), so mappings alias one another and the
// test's own reads and writes, a touch beyond a mapping faults, and an
// unmapped mapping is gone. On top of that the simulation
//   - logs every mapping, unmapping, 32-bit access and pause, in order;
//   - counts live mappings;
//   - can refuse the n-th mapping;
//   - has a DMA engine with the BCM4380's registers at 0x10C02000: writing 1
//     to 0x08 makes it copy at once what the descriptor (at the address in
//     0x04) asks for, after which its status register 0x14 reads 1 for a
//     chosen number of polls, then 0.
// State is process-wide; tests run one after another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct physmem_sim_options {
    int busy_polls = 0;  // status reads 1 this many times after each start
    int refuse_map = 0;  // the n-th mapping (counted from 1) fails; 0: none
};

enum class sim_event_kind { map, refused_map, unmap, read, write, pause };

// One thing the code under test did. map, refused_map, unmap: address and
// length of the mapping (writable for map); read, write: the physical
// address of the 32-bit access and its value; pause: value microseconds.
struct sim_event {
    sim_event_kind kind;
    uint32_t address;
    uint32_t value;
    size_t length;
    bool writable;
};

// A transfer the DMA engine carried out: the descriptor's first three words.
struct sim_transfer {
    uint32_t source;
    uint32_t destination;
    uint32_t length_word;  // length with the flag bits as written
};

// Starts afresh: new all-zero memory, empty logs, the given behaviour.
// Returns the descriptor to hand to the code under test as /dev/mem.
int physmem_sim_reset(const physmem_sim_options &options = {});

// The test's own view of memory.
void physmem_sim_write(uint32_t address, const void *data, size_t size);
void physmem_sim_read(uint32_t address, void *data, size_t size);
void physmem_sim_write32(uint32_t address, uint32_t value);
uint32_t physmem_sim_read32(uint32_t address);

const std::vector<sim_event> &physmem_sim_events();
const std::vector<sim_transfer> &physmem_sim_transfers();

// Mappings made and not yet removed.
int physmem_sim_live_mappings();

// Accesses outside any live mapping, misaligned, or unmaps of something not
// mapped (with that length); none in correct code.
int physmem_sim_faults();
