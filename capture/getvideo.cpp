// The capture front end, the same on every box: open /dev/mem, let the
// chipset's source fill the planes, close /dev/mem, convert.
#include <cstdio>
#include <fcntl.h>
#include <utility>

#include "convert.h"
#include "getvideo.h"
#include "sample.h"

namespace {

constexpr char PHYSICAL_MEMORY[] = "/dev/mem";

// /dev/mem is opened read-write and synchronous; on MIPS Linux this is the
// flag value 0x12 (O_RDWR | O_DSYNC), which older MIPS headers call O_SYNC.
constexpr int PHYSICAL_MEMORY_FLAGS = O_RDWR | O_DSYNC;

// The decoded picture's size, as hexadecimal text.
constexpr char PICTURE_WIDTH_FILE[] = "/proc/stb/vmpeg/0/xres";
constexpr char PICTURE_HEIGHT_FILE[] = "/proc/stb/vmpeg/0/yres";

// Runs the source of stb_type. Returns false when it failed (having printed
// why); an unknown chipset leaves the planes empty.
bool run_source(frame_planes &planes, int mem)
{
    const int64_t max_pixels = rgb_image_size(stb_type) / 3;
    switch (stb_type) {
    case STB_BRCM7401:
    case STB_BRCM4380:
        return broadcom_source(planes, mem, stb_type, max_pixels, PICTURE_HEIGHT_FILE);
    case STB_XILLEON:
        return xilleon_source(planes, mem, max_pixels, PICTURE_WIDTH_FILE, PICTURE_HEIGHT_FILE);
    case STB_PALLAS:
    case STB_VULCAN: return video_device_source(planes, max_pixels);
    default: return true;
    }
}

// Runs the sampled source of stb_type into out. Returns false when it failed
// (having printed why); an unknown chipset gives no picture.
bool run_sampled_source(sampled_image &out, int mem)
{
    const int64_t max_pixels = rgb_image_size(stb_type) / 3;
    switch (stb_type) {
    case STB_BRCM7401:
    case STB_BRCM4380: return broadcom_sampled(out, mem, stb_type, max_pixels, PICTURE_HEIGHT_FILE);
    case STB_XILLEON:
        return xilleon_sampled(out, mem, max_pixels, PICTURE_WIDTH_FILE, PICTURE_HEIGHT_FILE);
    case STB_PALLAS:
    case STB_VULCAN: {
        frame_planes planes;
        return video_device_source(planes, max_pixels) && sample_planes(planes, out, false);
    }
    default: return true;
    }
}

}  // namespace

int32_t rgb_image_size(int stb)
{
    return stb == STB_PALLAS || stb == STB_VULCAN ? RGB_IMAGE_SD : RGB_IMAGE_HD;
}

bool hand_over(frame_planes &planes, int32_t width, int32_t height, heap_block &luma,
               heap_block &chroma)
{
    planes.width = width;
    planes.height = height;
    planes.luma = std::move(luma);
    planes.chroma = std::move(chroma);
    return true;
}

bool memory_source_failed()
{
    puts("Mainmemory: <Memmapping failed>");
    return false;
}

bool planes_hold_picture(int32_t width, int32_t height, size_t luma_size, size_t chroma_size,
                         int64_t max_pixels)
{
    if (width < 0 || height < 0)
        return false;
    const int64_t pixels = int64_t{width} * height;
    return pixels <= max_pixels && uint64_t(pixels) <= luma_size &&
           uint64_t(pixels / 2) <= chroma_size;
}

void getvideo(unsigned char *image, int32_t *width, int32_t *height)
{
    unique_fd mem(open(PHYSICAL_MEMORY, PHYSICAL_MEMORY_FLAGS));
    if (!mem.valid()) {
        puts("Mainmemory: can't open /dev/mem ");
        return;
    }
    frame_planes planes;
    if (!run_source(planes, mem.get()))
        return;
    mem.reset();
    const yuv_frame frame = {planes.width, planes.height,
                             planes.luma_at ? planes.luma_at : planes.luma.get(),
                             planes.chroma_at ? planes.chroma_at : planes.chroma.get()};
    convert_frame(&frame, image, stb_type == STB_XILLEON);
    *width = planes.width;
    *height = planes.height;
}

bool sample_planes(const frame_planes &planes, sampled_image &out, bool xilleon)
{
    out.width = planes.width;
    out.height = planes.height;
    if (planes.width <= 0 || planes.height <= 0)
        return true;
    const unsigned char *luma = planes.luma_at ? planes.luma_at : planes.luma.get();
    const unsigned char *chroma = planes.chroma_at ? planes.chroma_at : planes.chroma.get();
    convert_sampled(plain_plane(luma, planes.width), plain_plane(chroma, planes.width),
                    planes.width, planes.height, out.step, out.image, xilleon);
    return true;
}

void getvideo_sampled(unsigned char *image, int32_t *width, int32_t *height, int32_t step)
{
    if (step <= 1) {
        getvideo(image, width, height);
        return;
    }
    unique_fd mem(open(PHYSICAL_MEMORY, PHYSICAL_MEMORY_FLAGS));
    if (!mem.valid()) {
        puts("Mainmemory: can't open /dev/mem ");
        return;
    }
    sampled_image out;
    out.image = image;
    out.step = step;
    if (!run_sampled_source(out, mem.get()))
        return;
    *width = out.width;
    *height = out.height;
}
