// The chipset sources' contract with the capture front end: what a source
// hands over, the sources themselves, and the checks they share. For the
// capture's own sources and their tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "capture/getvideo.h"
#include "capture/guards.h"

// Planes a source hands over; both null until a source supplies them. A
// source whose planes lie elsewhere in a block it hands over (the video
// device's, after the header in its read buffer) says where in luma_at and
// chroma_at; null there means the start of luma and chroma.
struct frame_planes {
    int32_t width = 0;
    int32_t height = 0;
    heap_block luma;
    heap_block chroma;
    unsigned char *luma_at = nullptr;
    unsigned char *chroma_at = nullptr;
};

// Each source fills planes, or prints its failure and returns false. It
// delivers only a picture of at most max_pixels pixels whose planes hold what
// the conversion reads; a width or height of 0 (an empty picture, which the
// Broadcom and Xilleon decoders may report) converts to nothing.
bool video_device_source(frame_planes &planes, int64_t max_pixels);

// The planes from one read of /dev/video: the first received bytes of
// buffer, the 16-byte header (width, height) then luma and chroma. On success
// the planes take buffer over, luma_at and chroma_at pointing into it. False,
// with buffer and planes untouched, when the header is not trusted (fewer
// than 16 bytes, an empty picture, one beyond max_pixels or beyond the bytes
// received).
bool video_planes_from_read(frame_planes &planes, heap_block &buffer, ssize_t received,
                            int64_t max_pixels);

// Broadcom BCM7401 and BCM4380 (stb is the chipset code): the picture
// register block and the striped picture through mem, the open /dev/mem; the
// height from yres_path.
bool broadcom_source(frame_planes &planes, int mem, int stb, int64_t max_pixels,
                     const char *yres_path);

// Xilleon: the tiled picture window through mem, the size from xres_path and
// yres_path. The frame is the picture sampled one line in 32: its height is
// the picture height / 32.
bool xilleon_source(frame_planes &planes, int mem, int64_t max_pixels, const char *xres_path,
                    const char *yres_path);

// Gives a source's picture to planes: its size and both blocks, which are
// left empty. Returns true, what the source then returns.
bool hand_over(frame_planes &planes, int32_t width, int32_t height, heap_block &luma,
               heap_block &chroma);

// Prints the one failure line of the sources that read physical memory,
// "Mainmemory: <Memmapping failed>". Returns false, what the source then
// returns.
bool memory_source_failed();

// Whether a width x height picture (both at least 0) fits the caller's image
// of max_pixels pixels and planes of luma_size and chroma_size bytes hold
// what the conversion reads of it: width * height luma bytes and
// width * height / 2 chroma bytes.
bool planes_hold_picture(int32_t width, int32_t height, size_t luma_size, size_t chroma_size,
                         int64_t max_pixels);
