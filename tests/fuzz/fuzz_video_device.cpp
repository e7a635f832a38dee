// Fuzz target: one read of /dev/video (header and planes) as the Pallas and
// Vulcan boxes' source takes it apart, then the colour conversion of the
// planes it hands over. The fuzzer's bytes are the bytes read; the
// sanitizers see any read beyond them or beyond the planes.
#include <cstdint>
#include <cstring>
#include <vector>

#include "capture/convert.h"
#include "tests/fuzz/fuzz_support.h"
#include "capture/sources.h"

// Catches planes copied beyond the bytes read, a picture larger than the
// image, and a conversion reading beyond the planes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static std::vector<unsigned char> image(RGB_IMAGE_SD);
    const int64_t max_pixels = RGB_IMAGE_SD / 3;
    // A block of exactly the bytes read: the sanitizer sees any read beyond.
    heap_block read(size);
    if (size > 0)
        memcpy(read.get(), data, size);
    frame_planes planes;
    if (!video_planes_from_read(planes, read, ssize_t(size), max_pixels)) {
        fuzz_check(!planes.luma && !planes.chroma && (read || size == 0),
                   "refused read left planes or took the buffer");
        return 0;
    }
    const int64_t pixels = int64_t{planes.width} * planes.height;
    fuzz_check(planes.width > 0 && planes.height > 0 && pixels <= max_pixels &&
                   16 + pixels + pixels / 2 <= int64_t(size),
               "planes beyond the bytes read or the image");
    const yuv_frame frame = {planes.width, planes.height, planes.luma_at, planes.chroma_at};
    convert_frame(&frame, image.data(), false);
    return 0;
}
