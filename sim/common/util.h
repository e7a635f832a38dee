// Small utilities that every part of sim/ shares: the clock, number parsing,
// and reads and writes that do not stop short.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>

// Seconds on the monotonic clock: the one time base of sim/ (the light set's
// packet log, time-outs, the demo's pace). Inline, so that the stand-in
// libusb can use it without any other part of sim/.
inline double now_seconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Parses the whole of text as a number (as strtod does) into *value.
// Returns false for a null or empty text, trailing characters, or a number
// outside low..high; *value is then unspecified.
bool parse_number(const char *text, double low, double high, double *value);

// Writes size bytes at offset, going on after short writes and EINTR.
// Returns 0, or -errno; -EIO when a write makes no progress.
int pwrite_all(int fd, const void *data, size_t size, uint64_t offset);

// Reads size bytes at offset, going on after short reads and EINTR.
// Returns 0, or -errno; -EIO when the file ends first.
int pread_all(int fd, void *data, size_t size, uint64_t offset);
