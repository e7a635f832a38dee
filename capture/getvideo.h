// The capture front end: one decoded picture per call, as 3-byte pixels.
#pragma once

#include <cstdint>

#include "frame.h"
#include "guards.h"

// Sizes of the caller's picture buffer: the largest picture of each box
// family, 3 bytes a pixel.
constexpr int32_t RGB_IMAGE_SD = 720 * 576 * 3;     // Pallas and Vulcan
constexpr int32_t RGB_IMAGE_HD = 1920 * 1080 * 3;   // every other chipset

// The picture buffer size for a chipset code.
int32_t rgb_image_size(int stb);

// Captures the picture the decoder shows now into image (rgb_image_size
// (stb_type) bytes) and stores its size in *width and *height. A failed
// capture prints one line and leaves image, *width and *height untouched.
// Every descriptor, mapping and heap block it takes is given back before it
// returns.
void getvideo(unsigned char *image, int32_t *width, int32_t *height);

// --- chipset sources ----------------------------------------------------
// Planes a source hands over; both null until a source supplies them.
struct frame_planes {
    int32_t width = 0;
    int32_t height = 0;
    heap_block luma;
    heap_block chroma;
};

// Each source fills planes, or prints its failure and returns false. It
// delivers only a picture of 1 to max_pixels pixels whose planes hold what
// the conversion reads.
bool video_device_source(frame_planes &planes, int64_t max_pixels);
