// mem-load: puts a file's bytes into physical memory through /dev/mem, as a
// video decoder leaves its picture there.
//
//   mem-load ADDRESS FILE
//
// ADDRESS: the physical address (hexadecimal with 0x, or decimal) where the
// file's first byte goes, page-aligned. Every page there must be kept from
// the kernel (reserved at boot, memmap=SIZE$ADDRESS), or the kernel could hand
// it out and overwrite the picture at any time: /proc/kpageflags tells. The
// memory is mapped shared and synchronous, as the capture maps it, written,
// and read back. Exit status 0 when every byte reads back as written, 1
// otherwise (with a line saying why), 2 on wrong arguments.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "capture/guards.h"

namespace {

constexpr unsigned long PAGE = 4096;
// The page flag of /proc/kpageflags for memory the kernel keeps its hands off.
constexpr int KPF_RESERVED_BIT = 32;

// Whether every page of size bytes from physical address at is reserved.
// False with a line on standard error when one is not, or when the flags
// cannot be read.
bool kept_from_kernel(unsigned long at, size_t size)
{
    unique_fd flags(open("/proc/kpageflags", O_RDONLY | O_CLOEXEC));
    for (unsigned long page = at / PAGE; page < (at + size + PAGE - 1) / PAGE; page++) {
        uint64_t word = 0;
        if (!flags.valid() || pread(flags.get(), &word, sizeof word, off_t(page * 8)) != 8) {
            fprintf(stderr, "mem-load: cannot read /proc/kpageflags\n");
            return false;
        }
        if (!(word >> KPF_RESERVED_BIT & 1)) {
            fprintf(stderr,
                    "mem-load: 0x%08lx is the kernel's memory: boot with memmap=0x%zx$0x%08lx\n",
                    page * PAGE, size, at);
            return false;
        }
    }
    return true;
}

bool read_whole(const char *path, std::vector<unsigned char> *bytes)
{
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0)
        return false;
    bytes->resize(size_t(st.st_size));
    size_t done = 0;
    while (done < bytes->size()) {
        const ssize_t got = read(fd.get(), bytes->data() + done, bytes->size() - done);
        if (got <= 0 && !(got < 0 && errno == EINTR))
            return false;
        done += size_t(got > 0 ? got : 0);
    }
    return true;
}

// Writes bytes at physical address at and compares them. 0, or a failing
// step's name.
const char *load(unsigned long at, const std::vector<unsigned char> &bytes)
{
    unique_fd mem(open("/dev/mem", O_RDWR | O_SYNC | O_CLOEXEC));
    if (!mem.valid())
        return "open /dev/mem";
    void *p = mmap(nullptr, bytes.size(), PROT_READ | PROT_WRITE, MAP_SHARED, mem.get(), off_t(at));
    if (p == MAP_FAILED)
        return "mmap";
    memcpy(p, bytes.data(), bytes.size());
    const bool same = memcmp(p, bytes.data(), bytes.size()) == 0;
    munmap(p, bytes.size());
    return same ? nullptr : "read back";
}

}  // namespace

int main(int argc, char **argv)
{
    char *end = nullptr;
    const unsigned long at = argc == 3 ? strtoul(argv[1], &end, 0) : 0;
    if (argc != 3 || !end || *end || at % PAGE != 0) {
        fprintf(stderr, "usage: mem-load ADDRESS FILE (ADDRESS page-aligned)\n");
        return 2;
    }
    std::vector<unsigned char> bytes;
    if (!read_whole(argv[2], &bytes) || bytes.empty()) {
        fprintf(stderr, "mem-load: cannot read %s\n", argv[2]);
        return 1;
    }
    if (!kept_from_kernel(at, bytes.size()))
        return 1;
    errno = 0;
    const char *failed = load(at, bytes);
    if (failed) {
        fprintf(stderr, "mem-load: %s at 0x%lx failed%s%s\n", failed, at, errno ? ": " : "",
                errno ? strerror(errno) : "");
        return 1;
    }
    printf("mem-load: %zu bytes at 0x%08lx\n", bytes.size(), at);
    return 0;
}
