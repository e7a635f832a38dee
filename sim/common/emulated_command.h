// Starting a program of the machine the tests are built for from a test
// process that itself runs under that machine's emulator (a cross build's
// tests under qemu-user): the kernel cannot start such a program by itself,
// so its command line gets the emulator in front. Elsewhere nothing changes.
#pragma once

#include <string>
#include <vector>

// argv, with the emulator in front when argv[0] (a path, or a name found in
// PATH) is an ELF program of this process's own machine and the build has an
// emulator for it.
std::vector<std::string> emulated_command(const std::vector<std::string> &argv);
