// The capture front end, the same on every box: open /dev/mem, let the
// chipset's source convert the picture (or every step-th pixel of every
// step-th row) from where the decoder keeps it, close /dev/mem.
#include <cstdio>
#include <fcntl.h>
#include <utility>

#include "capture/convert.h"
#include "capture/sources.h"

namespace {

constexpr char PHYSICAL_MEMORY[] = "/dev/mem";

// /dev/mem is opened read-write and synchronous; on MIPS Linux this is the
// flag value 0x12 (O_RDWR | O_DSYNC), which older MIPS headers call O_SYNC.
constexpr int PHYSICAL_MEMORY_FLAGS = O_RDWR | O_DSYNC;

// The decoded picture's size, as hexadecimal text.
constexpr char PICTURE_WIDTH_FILE[] = "/proc/stb/vmpeg/0/xres";
constexpr char PICTURE_HEIGHT_FILE[] = "/proc/stb/vmpeg/0/yres";

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

bool sample_planes(const frame_planes &planes, sampled_image &out, bool xilleon)
{
    out.width = planes.width;
    out.height = planes.height;
    if (planes.width <= 0 || planes.height <= 0)
        return true;
    const yuv_frame frame = {planes.width, planes.height,
                             planes.luma_at ? planes.luma_at : planes.luma.get(),
                             planes.chroma_at ? planes.chroma_at : planes.chroma.get()};
    if (out.step == 1)
        convert_frame(&frame, out.image, xilleon);
    else
        convert_sampled(plain_plane(frame.luma, frame.width),
                        plain_plane(frame.chroma, frame.width), frame.width, frame.height, out.step,
                        out.image, xilleon);
    return true;
}

namespace {

// The capture of both entry points: every step-th pixel of every step-th
// row (all of them for step 1).
void capture(unsigned char *image, int32_t *width, int32_t *height, int32_t step)
{
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

}  // namespace

void getvideo(unsigned char *image, int32_t *width, int32_t *height)
{
    capture(image, width, height, 1);
}

void getvideo_sampled(unsigned char *image, int32_t *width, int32_t *height, int32_t step)
{
    capture(image, width, height, step > 1 ? step : 1);
}
