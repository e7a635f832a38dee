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

// --- the captures getvideo runs ------------------------------------------
// Where a capture goes: image takes the samples (as getvideo_sampled says;
// step 1: the whole picture) of a picture whose size a source that succeeds
// stores in width and height (the size getvideo would report; 0 x 0 when
// there is no picture).
struct sampled_image {
    unsigned char *image = nullptr;
    int32_t step = 1;  // at least 1
    int32_t width = 0;
    int32_t height = 0;
};

// Samples of the planes a source handed over (luma_at and chroma_at as
// there), converted as getvideo converts them. Returns true.
bool sample_planes(const frame_planes &planes, sampled_image &out, bool xilleon);

// Like broadcom_source and xilleon_source, with the same checks, mappings,
// pauses and failure lines, but converting the picture (or only its samples)
// into out straight from where it lies in the decoder's memory: nothing is
// copied. Broadcom pictures whose width is not a multiple of 4 are the
// exception: their byte-reversed groups run across rows, so they are
// re-assembled whole and converted from there. Each returns true once out
// holds the picture (or no picture: width 0), else prints its failure and
// returns false with image untouched. These are what getvideo runs; the
// sources above hand over plain planes.
bool broadcom_sampled(sampled_image &out, int mem, int stb, int64_t max_pixels,
                      const char *yres_path);
bool xilleon_sampled(sampled_image &out, int mem, int64_t max_pixels, const char *xres_path,
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
