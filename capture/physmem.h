// Physical memory and device registers, as the chipset sources reach them.
//
// Two implementations of this header exist and the link picks one: on the box
// (physmem_devmem.cpp) a mapping is an mmap of /dev/mem and a register access
// a volatile 32-bit load or store; in unit tests (sim/box/physmem_sim.cpp) the
// same calls run against a simulated memory with a simulated DMA engine.
#pragma once

#include <cstddef>
#include <cstdint>

// Maps length bytes of physical memory from address, shared, through mem (the
// open /dev/mem), read-only or read-write. Returns nullptr when the mapping
// cannot be made (a length of 0 included).
void *phys_map(int mem, uint32_t address, size_t length, bool writable);

// Removes a mapping that phys_map made, with the length it was made with.
void phys_unmap(void *mapping, size_t length);

// One 32-bit access at a byte offset (a multiple of 4) of a mapping: done
// when called, in program order, never merged, cached or left out.
uint32_t phys_read32(const void *mapping, size_t offset);
void phys_write32(void *mapping, size_t offset, uint32_t value);

// Lets the given number of microseconds pass (DMA status polling, the
// decoder's settling time).
void phys_pause_us(unsigned microseconds);

// A mapping of physical memory, removed when the owner goes out of scope, so
// that every path out of a capture gives it back.
class phys_mapping {
public:
    phys_mapping(int mem, uint32_t address, size_t length, bool writable)
        : p_(phys_map(mem, address, length, writable)), length_(length)
    {
    }
    ~phys_mapping() { reset(); }
    phys_mapping(const phys_mapping &) = delete;
    phys_mapping &operator=(const phys_mapping &) = delete;

    unsigned char *get() const { return static_cast<unsigned char *>(p_); }
    explicit operator bool() const { return p_ != nullptr; }
    void reset()
    {
        if (p_)
            phys_unmap(p_, length_);
        p_ = nullptr;
    }

private:
    void *p_;
    size_t length_;
};
