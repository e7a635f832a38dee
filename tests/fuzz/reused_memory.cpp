// The simulated physical memory kept across fuzz runs.
#include "tests/fuzz/reused_memory.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "sim/box/physmem_sim.h"

namespace {

constexpr int RUNS_PER_MEMORY = 4096;
constexpr uint64_t MEMORY_END = uint64_t{1} << 32;

struct reused_memory {
    int mem = -1;
    int runs = 0;
    size_t transfers = 0;  // the DMA engine's copies when the run started
    std::vector<std::pair<uint32_t, size_t>> written;  // by this run
};

reused_memory memory;

}  // namespace

int reused_memory_start()
{
    const bool copied = memory.mem >= 0 && physmem_sim_transfers().size() != memory.transfers;
    if (memory.mem < 0 || copied || ++memory.runs == RUNS_PER_MEMORY) {
        memory = reused_memory{};
        memory.mem = physmem_sim_reset();
        return memory.mem;
    }
    for (const auto &[address, size] : memory.written)
        physmem_sim_write(address, std::vector<unsigned char>(size).data(), size);
    memory.written.clear();
    return memory.mem;
}

void reused_memory_write(uint32_t address, const void *data, size_t size)
{
    size = size_t(std::min<uint64_t>(size, MEMORY_END - address));
    physmem_sim_write(address, data, size);
    memory.written.emplace_back(address, size);
}
