// The capture front end, the same on every box: open /dev/mem, let the
// chipset's source fill the planes, close /dev/mem, convert.
#include <cstdio>
#include <fcntl.h>

#include "convert.h"
#include "getvideo.h"

namespace {

constexpr char PHYSICAL_MEMORY[] = "/dev/mem";

// /dev/mem is opened read-write and synchronous; on MIPS Linux this is the
// flag value 0x12 (O_RDWR | O_DSYNC), which older MIPS headers call O_SYNC.
constexpr int PHYSICAL_MEMORY_FLAGS = O_RDWR | O_DSYNC;

// Runs the source of stb_type. Returns false when it failed (having printed
// why); an unknown chipset leaves the planes empty.
bool run_source(frame_planes &planes)
{
    const int64_t max_pixels = rgb_image_size(stb_type) / 3;
    switch (stb_type) {
    case STB_BRCM7401:
    case STB_BRCM4380:
    case STB_XILLEON:
        puts("Mainmemory: <Memmapping failed>");
        return false;
    case STB_PALLAS:
    case STB_VULCAN:
        return video_device_source(planes, max_pixels);
    default:
        return true;
    }
}

}  // namespace

int32_t rgb_image_size(int stb)
{
    return stb == STB_PALLAS || stb == STB_VULCAN ? RGB_IMAGE_SD : RGB_IMAGE_HD;
}

void getvideo(unsigned char *image, int32_t *width, int32_t *height)
{
    unique_fd mem(open(PHYSICAL_MEMORY, PHYSICAL_MEMORY_FLAGS));
    if (!mem.valid()) {
        puts("Mainmemory: can't open /dev/mem ");
        return;
    }
    frame_planes planes;
    if (!run_source(planes))
        return;
    mem.reset();
    const yuv_frame frame = {planes.width, planes.height, planes.luma.get(), planes.chroma.get()};
    convert_frame(&frame, image, stb_type == STB_XILLEON);
    *width = planes.width;
    *height = planes.height;
}
