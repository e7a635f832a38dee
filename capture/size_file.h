// The decoder's picture size as the kernel publishes it: hexadecimal text in
// /proc/stb/vmpeg/0/xres and yres.
#pragma once

#include <cstdint>

// Reads path in pieces of at most 255 characters (one line, or part of a
// longer one) and parses each with "%x" into *value, which starts at 0: the
// last piece that parses wins, a file without a number gives 0. Returns false
// when the file cannot be opened.
bool read_size_file(const char *path, int32_t *value);
