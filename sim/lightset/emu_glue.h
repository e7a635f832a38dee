// What each glue defines behind emu_usb.h besides the devices: making and
// freeing its testbed, and how emu_run starts a program so that it reaches
// the emulated light set. Each glue defines these: umockdev's (umockdev/umockdev_glue.cpp) adds its
// preload; the stand-in libusb's (standin/glue.cpp) puts the
// stand-in first in the library path and, for a program of an emulated
// machine, the emulator in front (which the process runner does).
#pragma once

#include <string>
#include <vector>

struct emu_testbed;

// The glue's empty testbed; nullptr when it cannot be made (nothing is left
// behind then). emu_testbed_new calls it, once no other testbed exists.
emu_testbed *emu_glue_make_testbed();

// Unplugs every device and frees the testbed (emu_testbed_free).
void emu_glue_free_testbed(emu_testbed *bed);

// The program's whole environment: base, plus what the glue needs.
std::vector<std::string> emu_glue_environment(const std::vector<std::string> &base);

// Removes every NAME=... entry from env. Returns the value of the last one,
// "" when there was none. (emu_run.cpp, for both glues.)
std::string emu_take_variable(std::vector<std::string> &env, const char *name);
