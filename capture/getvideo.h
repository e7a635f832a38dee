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

// Like getvideo, but takes only the pixels of every step-th column of every step-th row
// (columns 0, step, 2*step, ...; rows likewise), step >= 1: image receives
// ceil(width / step) x ceil(height / step) pixels of 3 bytes, rows top to bottom with no gap,
// each exactly the pixel getvideo would have produced at that place; *width and *height
// receive the whole picture's size, as getvideo reports it. A failed capture prints what
// getvideo prints and leaves all three untouched. step 1 is getvideo.
void getvideo_sampled(unsigned char *image, int32_t *width, int32_t *height, int32_t step);
