// The simulated physical memory and DMA engine behind capture/physmem.h.
#include "sim/box/physmem_sim.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "sim/box/decoder_memory.h"
#include "capture/physmem.h"
#include "sim/common/util.h"

namespace {

constexpr uint64_t MEMORY_SIZE = uint64_t{1} << 32;

// The DMA engine's registers, by physical address.
constexpr uint32_t DMA_DESCRIPTOR_REG = BRCM_DMA_REGISTERS + 0x04;
constexpr uint32_t DMA_START_REG = BRCM_DMA_REGISTERS + 0x08;
constexpr uint32_t DMA_STATUS_REG = BRCM_DMA_REGISTERS + 0x14;
// Bits 30 and 31 of the descriptor's length word are flags.
constexpr uint32_t DMA_LENGTH_MASK = 0x3FFFFFFF;

struct live_mapping {
    unsigned char *host;
    size_t length;
    uint32_t address;
};

struct simulation {
    int fd = -1;
    physmem_sim_options options;
    int maps = 0;
    int busy_left = 0;
    int faults = 0;
    std::vector<live_mapping> live;
    std::vector<sim_event> events;
    std::vector<sim_transfer> transfers;
};

simulation sim;

void fail(const char *what)
{
    perror(what);
    abort();
}

// The live mapping holding the 4 bytes at host, or nullptr.
const live_mapping *find_mapping(const void *host)
{
    const auto *p = static_cast<const unsigned char *>(host);
    for (const live_mapping &m : sim.live)
        if (p >= m.host && p + 4 <= m.host + m.length)
            return &m;
    return nullptr;
}

// Copies length bytes of memory from source to destination, as the engine
// would over the bus.
void copy_memory(uint64_t source, uint64_t destination, uint64_t length)
{
    std::vector<unsigned char> buffer(1 << 20);
    while (length > 0) {
        const size_t n = size_t(std::min<uint64_t>(length, buffer.size()));
        if (source + n > MEMORY_SIZE || destination + n > MEMORY_SIZE)
            fail("DMA beyond the memory");
        if (pread_all(sim.fd, buffer.data(), n, source) != 0 ||
            pwrite_all(sim.fd, buffer.data(), n, destination) != 0)
            fail("DMA copy");
        source += n;
        destination += n;
        length -= n;
    }
}

// A write of 1 to the start register: the engine reads the descriptor whose
// address register 0x04 holds and copies at once.
void start_engine()
{
    const uint32_t descriptor = physmem_sim_read32(DMA_DESCRIPTOR_REG);
    const sim_transfer t = {physmem_sim_read32(descriptor), physmem_sim_read32(descriptor + 4),
                            physmem_sim_read32(descriptor + 8)};
    sim.transfers.push_back(t);
    copy_memory(t.source, t.destination, t.length_word & DMA_LENGTH_MASK);
    sim.busy_left = sim.options.busy_polls;
}

uint32_t physical(const live_mapping &m, const void *host)
{
    return m.address + uint32_t(static_cast<const unsigned char *>(host) - m.host);
}

}  // namespace

// --- capture/physmem.h ------------------------------------------------------

void *phys_map(int mem, uint32_t address, size_t length, bool writable)
{
    const bool refused = ++sim.maps == sim.options.refuse_map;
    void *p = MAP_FAILED;
    if (!refused && length > 0)
        p = mmap(nullptr, length, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, mem,
                 off_t(address));
    if (p == MAP_FAILED) {
        sim.events.push_back({sim_event_kind::refused_map, address, 0, length, writable});
        return nullptr;
    }
    sim.live.push_back({static_cast<unsigned char *>(p), length, address});
    sim.events.push_back({sim_event_kind::map, address, 0, length, writable});
    return p;
}

void phys_unmap(void *mapping, size_t length)
{
    const auto it = std::find_if(sim.live.begin(), sim.live.end(), [&](const live_mapping &m) {
        return m.host == mapping && m.length == length;
    });
    if (it == sim.live.end()) {
        sim.faults++;
        return;
    }
    sim.events.push_back({sim_event_kind::unmap, it->address, 0, length, false});
    munmap(mapping, length);
    sim.live.erase(it);
}

uint32_t phys_read32(const void *mapping, size_t offset)
{
    const void *at = static_cast<const unsigned char *>(mapping) + offset;
    const live_mapping *m = find_mapping(at);
    if (!m || offset % 4 != 0) {
        sim.faults++;
        return 0;
    }
    const uint32_t address = physical(*m, at);
    uint32_t value = *static_cast<const volatile uint32_t *>(at);
    if (address == DMA_STATUS_REG) {
        value = sim.busy_left > 0 ? 1 : 0;
        if (sim.busy_left > 0)
            sim.busy_left--;
    }
    sim.events.push_back({sim_event_kind::read, address, value, 4, false});
    return value;
}

void phys_write32(void *mapping, size_t offset, uint32_t value)
{
    void *at = static_cast<unsigned char *>(mapping) + offset;
    const live_mapping *m = find_mapping(at);
    if (!m || offset % 4 != 0) {
        sim.faults++;
        return;
    }
    const uint32_t address = physical(*m, at);
    *static_cast<volatile uint32_t *>(at) = value;
    sim.events.push_back({sim_event_kind::write, address, value, 4, false});
    if (address == DMA_START_REG && value == 1)
        start_engine();
}

void phys_pause_us(unsigned microseconds)
{
    sim.events.push_back({sim_event_kind::pause, 0, microseconds, 0, false});
}

// --- the test's side ----------------------------------------------------------

int physmem_sim_reset(const physmem_sim_options &options)
{
    for (const live_mapping &m : sim.live)
        munmap(m.host, m.length);
    if (sim.fd >= 0)
        close(sim.fd);
    sim = simulation{};
    sim.options = options;
    sim.fd = memfd_create("physical-memory", 0);
    if (sim.fd < 0 || ftruncate(sim.fd, off_t(MEMORY_SIZE)) != 0)
        fail("simulated memory");
    return sim.fd;
}

void physmem_sim_write(uint32_t address, const void *data, size_t size)
{
    if (address + uint64_t{size} > MEMORY_SIZE || pwrite_all(sim.fd, data, size, address) != 0)
        fail("physmem_sim_write");
}

void physmem_sim_read(uint32_t address, void *data, size_t size)
{
    if (address + uint64_t{size} > MEMORY_SIZE || pread_all(sim.fd, data, size, address) != 0)
        fail("physmem_sim_read");
}

void physmem_sim_write32(uint32_t address, uint32_t value)
{
    const unsigned char bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                                    uint8_t(value >> 24)};
    physmem_sim_write(address, bytes, 4);
}

uint32_t physmem_sim_read32(uint32_t address)
{
    unsigned char b[4];
    physmem_sim_read(address, b, 4);
    return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

const std::vector<sim_event> &physmem_sim_events()
{
    return sim.events;
}

const std::vector<sim_transfer> &physmem_sim_transfers()
{
    return sim.transfers;
}

int physmem_sim_live_mappings()
{
    return int(sim.live.size());
}

int physmem_sim_faults()
{
    return sim.faults;
}
