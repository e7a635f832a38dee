// The capture front end: one decoded picture per call, as 3-byte pixels.
#pragma once

#include <cstdint>

#include "capture/frame.h"

// Sizes of the caller's picture buffer: the largest picture of each box
// family, 3 bytes a pixel.
constexpr int32_t RGB_IMAGE_SD = 720 * 576 * 3;    // Pallas and Vulcan
constexpr int32_t RGB_IMAGE_HD = 1920 * 1080 * 3;  // every other chipset

// Longest piece of the kernel's text files read at once, with its
// terminating NUL: 255 characters (the picture size files, and /proc/fb and
// /proc/cpuinfo in the chipset detection).
constexpr int LINE_SIZE = 256;

// The picture buffer size for a chipset code.
int32_t rgb_image_size(int stb);

// Captures the picture the decoder shows now into image (rgb_image_size
// (stb_type) bytes) and stores its size in *width and *height. A failed
// capture prints one line and leaves image, *width and *height untouched.
// Every descriptor, mapping and heap block it takes is given back before it
// returns.
void getvideo(unsigned char *image, int32_t *width, int32_t *height);
