// The decoder's picture size as the kernel publishes it: hexadecimal text in
// /proc/stb/vmpeg/0/xres and yres.
#pragma once

#include <cstdint>

// Parses the hexadecimal number at the start of text: optional blanks, an
// optional sign, an optional 0x, then hex digits up to the first other
// character. A minus sign negates modulo 2^32. Returns false, leaving *value
// alone, when no digit follows or the digits exceed 0xFFFFFFFF; the same on
// 32- and 64-bit machines.
bool parse_hex32(const char *text, uint32_t *value);

// Reads path in pieces of at most 255 characters (one line, or part of a
// longer one) and parses each with parse_hex32 into *value, which starts at 0:
// the last piece that parses wins, a file without a number gives 0, a
// number out of range counts as no number. Returns false when the file
// cannot be opened.
bool read_size_file(const char *path, int32_t *value);
