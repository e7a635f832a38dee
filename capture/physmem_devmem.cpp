// Physical memory on the box: shared mappings of /dev/mem, whose file offset
// is the physical address. The front end opens /dev/mem synchronous, which
// makes the kernel map it uncached; the accesses here are volatile so that
// the compiler neither merges, drops nor reorders them, and a barrier before
// each store keeps the core's write buffer from passing one store by another.
#include <sys/mman.h>
#include <unistd.h>

#include <limits>

#include "capture/physmem.h"

void *phys_map(int mem, uint32_t address, size_t length, bool writable)
{
    // With a 32-bit off_t an address from 2 GiB on would turn negative and be
    // taken for another one; such an address cannot be mapped here.
    if (length == 0 || uint64_t{address} > uint64_t(std::numeric_limits<off_t>::max()))
        return nullptr;
    const int protection = writable ? PROT_READ | PROT_WRITE : PROT_READ;
    void *p = mmap(nullptr, length, protection, MAP_SHARED, mem, static_cast<off_t>(address));
    return p == MAP_FAILED ? nullptr : p;
}

void phys_unmap(void *mapping, size_t length)
{
    munmap(mapping, length);
}

uint32_t phys_read32(const void *mapping, size_t offset)
{
    const auto *at = static_cast<const unsigned char *>(mapping) + offset;
    return *reinterpret_cast<const volatile uint32_t *>(at);
}

void phys_write32(void *mapping, size_t offset, uint32_t value)
{
    __sync_synchronize();
    auto *at = static_cast<unsigned char *>(mapping) + offset;
    *reinterpret_cast<volatile uint32_t *>(at) = value;
}

void phys_pause_us(unsigned microseconds)
{
    usleep(microseconds);
}
