// What the fuzz targets share.
#include "tests/fuzz/fuzz_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <vector>

namespace {

std::string private_dir;
std::vector<std::string> written;

void remove_private_dir()
{
    for (const std::string &path : written)
        unlink(path.c_str());
    rmdir(private_dir.c_str());
}

const std::string &make_private_dir()
{
    if (!private_dir.empty())
        return private_dir;
    struct stat st;
    std::string tmpl =
        stat("/dev/shm", &st) == 0 ? "/dev/shm/hue-fuzz-XXXXXX" : "/tmp/hue-fuzz-XXXXXX";
    fuzz_check(mkdtemp(tmpl.data()) != nullptr, "cannot make a private directory");
    private_dir = tmpl;
    atexit(remove_private_dir);
    return private_dir;
}

}  // namespace

uint8_t fuzz_input::byte(uint8_t otherwise)
{
    if (size == 0)
        return otherwise;
    size--;
    return *data++;
}

std::string fuzz_input::text()
{
    const auto *end = static_cast<const uint8_t *>(memchr(data, 0, size));
    const size_t length = end ? size_t(end - data) : size;
    std::string piece(reinterpret_cast<const char *>(data), length);
    const size_t used = end ? length + 1 : length;
    data += used;
    size -= used;
    return piece;
}

size_t fuzz_input::take(void *out, size_t n)
{
    n = n < size ? n : size;
    if (n > 0)
        memcpy(out, data, n);
    data += n;
    size -= n;
    return n;
}

std::string fuzz_file(const char *name, const std::string &text)
{
    const std::string path = make_private_dir() + "/" + name;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    fuzz_check(fd >= 0, "cannot write a file");
    const bool complete = write(fd, text.data(), text.size()) == ssize_t(text.size());
    close(fd);
    fuzz_check(complete, "cannot write a file");
    if (std::find(written.begin(), written.end(), path) == written.end())
        written.push_back(path);
    return path;
}

void fuzz_check(bool ok, const char *what)
{
    if (ok)
        return;
    fprintf(stderr, "fuzz check failed: %s\n", what);
    abort();
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fflush(stdout);
    const int null = open("/dev/null", O_WRONLY);
    fuzz_check(null >= 0 && dup2(null, STDOUT_FILENO) >= 0, "cannot silence standard output");
    close(null);
    return 0;
}
