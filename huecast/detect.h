// Recognising the box's video decoder from the kernel's text files.
#pragma once

// Upper-cases line in place (POSIX locale: only a..z change). Returns line.
char *upcase_line(char *line);

// Applies the chipset tests to one upper-cased piece of /proc/fb: VULCAN,
// PALLAS, XILLEON, then BCM7401 or BCMFB, each overriding the one before.
// Returns the new chipset code (stb unchanged when nothing matches).
int match_fb_piece(const char *piece, int stb);

// Reads fb_path (and cpuinfo_path only when fb_path names a BCM7401-type
// box) in pieces of at most 255 characters and returns the chipset code; a
// file that cannot be opened counts as empty.
int detect_chipset(const char *fb_path, const char *cpuinfo_path);
