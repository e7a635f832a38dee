// How emu_run starts a program so that it reaches the emulated light set.
// Each glue defines these: umockdev's (umockdev/umockdev_glue.cpp) adds its
// preload; the stand-in libusb's (standin/standin_glue.cpp) puts the
// stand-in first in the library path and, for a program of an emulated
// machine, the emulator in front (which the process runner does).
#pragma once

#include <string>
#include <vector>

// The program's whole environment: base, plus what the glue needs.
std::vector<std::string> emu_glue_environment(const std::vector<std::string> &base);

// Removes every NAME=... entry from env. Returns the value of the last one,
// "" when there was none. (emu_run.cpp, for both glues.)
std::string emu_take_variable(std::vector<std::string> &env, const char *name);
