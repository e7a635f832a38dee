// The emulator in front of programs of this process's own machine, when the
// build runs its tests under one (HUE_TEST_EMULATOR, empty otherwise).
#include "sim/common/emulated_command.h"

#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The ELF machine of a file; -1 when it is no ELF file.
int elf_machine(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    unsigned char header[EI_NIDENT + 4];
    const bool read_all = read(fd, header, sizeof header) == ssize_t(sizeof header);
    close(fd);
    if (!read_all || std::memcmp(header, ELFMAG, SELFMAG) != 0)
        return -1;
    // e_machine follows e_type, both in the file's own byte order.
    const unsigned char *m = header + EI_NIDENT + 2;
    return header[EI_DATA] == ELFDATA2MSB ? m[0] << 8 | m[1] : m[1] << 8 | m[0];
}

// argv[0] as execvp would find it.
std::string find_program(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return name;
    const char *path = std::getenv("PATH");
    const std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        const std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return name;
}

}  // namespace

std::vector<std::string> emulated_command(const std::vector<std::string> &argv)
{
    const std::string emulator = HUE_TEST_EMULATOR;
    if (emulator.empty() || argv.empty())
        return argv;
    // Under qemu-user, /proc/self/exe is the emulated program, not qemu.
    const int own = elf_machine("/proc/self/exe");
    if (own < 0 || elf_machine(find_program(argv[0])) != own)
        return argv;
    std::vector<std::string> command = {emulator};
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}
