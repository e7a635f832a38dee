// The pieces of a C++ runtime that the stand-in libusb uses (std::vector's
// memory and its error paths), for static programs that link no C++ runtime
// (static.cmake). Without exceptions, every error ends the program.
#include <cstdlib>
#include <new>

void *operator new(std::size_t size)
{
    void *memory = std::malloc(size != 0 ? size : 1);
    if (memory == nullptr)
        std::abort();
    return memory;
}

void operator delete(void *memory) noexcept
{
    std::free(memory);
}

void operator delete(void *memory, std::size_t) noexcept
{
    std::free(memory);
}

namespace std {

[[noreturn]] void __throw_bad_alloc()
{
    abort();
}

[[noreturn]] void __throw_bad_array_new_length()
{
    abort();
}

[[noreturn]] void __throw_length_error(const char *)
{
    abort();
}

}  // namespace std
