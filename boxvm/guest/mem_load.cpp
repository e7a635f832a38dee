// mem-load: puts a file's bytes into physical memory through /dev/mem, as a
// video decoder leaves its picture there.
//
//   mem-load ADDRESS FILE
//
// ADDRESS: the physical address (hexadecimal with 0x, or decimal) where the
// file's first byte goes, page-aligned. The memory is mapped shared and
// synchronous, as the capture maps it, written, and read back. Exit status 0
// when every byte reads back as written, 1 otherwise (with a line saying
// why), 2 on wrong arguments.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "capture/guards.h"

namespace {

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
    if (argc != 3 || !end || *end || at % 4096 != 0) {
        fprintf(stderr, "usage: mem-load ADDRESS FILE (ADDRESS page-aligned)\n");
        return 2;
    }
    std::vector<unsigned char> bytes;
    if (!read_whole(argv[2], &bytes) || bytes.empty()) {
        fprintf(stderr, "mem-load: cannot read %s\n", argv[2]);
        return 1;
    }
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
