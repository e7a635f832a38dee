// The video-device source of Pallas and Vulcan boxes: one read of
// /dev/video gives a 16-byte header (width, height as 32-bit words in the
// box's byte order, 8 unused bytes), the luma plane and the chroma plane.
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

#include "getvideo.h"

namespace {

constexpr char VIDEO_DEVICE[] = "/dev/video";
constexpr int32_t VIDEO_HEADER = 16;
constexpr int32_t VIDEO_READ_SIZE = VIDEO_HEADER + 720 * 576 * 3;  // 0x12FC10

bool read_failed()
{
    static const char message[] = "read failed\n";
    if (write(STDERR_FILENO, message, sizeof message - 1) < 0) {
        // Nothing more can be said when standard error is gone.
    }
    return false;
}

// The header is trusted only when its picture is non-empty, fits the
// caller's image, and its planes (luma, and the half-size chroma the
// conversion reads) lie within the bytes actually read.
bool header_fits(int32_t width, int32_t height, ssize_t received, int64_t max_pixels)
{
    if (width <= 0 || height <= 0)
        return false;
    const int64_t pixels = int64_t{width} * height;
    return pixels <= max_pixels && VIDEO_HEADER + pixels + pixels / 2 <= received;
}

}  // namespace

bool video_planes_from_read(frame_planes &planes, const unsigned char *buffer, ssize_t received,
                            int64_t max_pixels)
{
    if (received < VIDEO_HEADER)
        return false;
    int32_t width, height;
    memcpy(&width, buffer, sizeof width);
    memcpy(&height, buffer + 4, sizeof height);
    if (!header_fits(width, height, received, max_pixels))
        return false;
    const size_t luma_size = size_t(width) * size_t(height);
    const size_t chroma_size = luma_size / 2;
    heap_block luma(luma_size), chroma(chroma_size + 1);
    if (!luma || !chroma)
        return false;
    memcpy(luma.get(), buffer + VIDEO_HEADER, luma_size);
    memcpy(chroma.get(), buffer + VIDEO_HEADER + luma_size, chroma_size);
    planes.width = width;
    planes.height = height;
    planes.luma = std::move(luma);
    planes.chroma = std::move(chroma);
    return true;
}

bool video_device_source(frame_planes &planes, int64_t max_pixels)
{
    heap_block buffer(VIDEO_READ_SIZE);
    if (!buffer)
        return read_failed();
    unique_fd video(open(VIDEO_DEVICE, O_RDONLY));
    if (!video.valid()) {
        printf("could not open /dev/video");
        return false;
    }
    const ssize_t received = read(video.get(), buffer.get(), VIDEO_READ_SIZE);
    if (received < VIDEO_HEADER)
        return read_failed();
    video.reset();
    if (!video_planes_from_read(planes, buffer.get(), received, max_pixels))
        return read_failed();
    return true;
}
