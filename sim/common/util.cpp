// Number parsing and whole reads and writes.
#include "sim/common/util.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

// Moves size bytes at offset with one pread or pwrite after another.
template <typename Transfer>
int transfer_all(Transfer transfer, int fd, char *p, size_t size, uint64_t offset)
{
    while (size > 0) {
        const ssize_t n = transfer(fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? -errno : -EIO;
        p += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return 0;
}

}  // namespace

bool parse_number(const char *text, double low, double high, double *value)
{
    if (text == nullptr || *text == '\0')
        return false;
    char *end = nullptr;
    *value = std::strtod(text, &end);
    return *end == '\0' && *value >= low && *value <= high;
}

int pwrite_all(int fd, const void *data, size_t size, uint64_t offset)
{
    auto write_some = [](int f, char *p, size_t n, off_t at) { return pwrite(f, p, n, at); };
    return transfer_all(write_some, fd, static_cast<char *>(const_cast<void *>(data)), size,
                        offset);
}

int pread_all(int fd, void *data, size_t size, uint64_t offset)
{
    auto read_some = [](int f, char *p, size_t n, off_t at) { return pread(f, p, n, at); };
    return transfer_all(read_some, fd, static_cast<char *>(data), size, offset);
}
