// How emu_run starts a program so that it reaches the emulated light set.
// Each glue defines these: umockdev's (umockdev/umockdev_glue.cpp) adds its
// preload; the stand-in libusb's (standin/standin_glue.cpp) puts the
// stand-in first in the library path and, for a program of an emulated
// machine, the emulator in front.
#pragma once

#include <string>
#include <vector>

// The command line that runs the program argv names.
std::vector<std::string> emu_glue_command(const std::vector<std::string> &argv);

// The program's whole environment: this process's, plus what the glue needs.
std::vector<std::string> emu_glue_environment();
