// The video-device source of Pallas and Vulcan boxes: one read of
// /dev/video gives a 16-byte header (width, height as 32-bit words in the
// box's byte order, 8 unused bytes), the luma plane and the chroma plane,
// which the conversion reads where they arrived.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "capture/sources.h"

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

bool video_planes_from_read(frame_planes &planes, heap_block &buffer, ssize_t received,
                            int64_t max_pixels)
{
    if (received < VIDEO_HEADER)
        return false;
    int32_t width, height;
    memcpy(&width, buffer.get(), sizeof width);
    memcpy(&height, buffer.get() + 4, sizeof height);
    if (!header_fits(width, height, received, max_pixels))
        return false;
    // The planes stay where the read put them: no copy of the picture.
    planes.luma_at = buffer.get() + VIDEO_HEADER;
    planes.chroma_at = planes.luma_at + size_t(width) * size_t(height);
    heap_block no_chroma;
    return hand_over(planes, width, height, buffer, no_chroma);
}

bool video_device_source(frame_planes &planes, int64_t max_pixels)
{
    heap_block buffer(VIDEO_READ_SIZE);
    if (!buffer)
        return read_failed();
    // A wait for the decoder cut short by a signal is no failed picture:
    // the signal's handler decides what comes next.
    unique_fd video(open(VIDEO_DEVICE, O_RDONLY));
    if (!video.valid()) {
        if (errno != EINTR)
            printf("could not open /dev/video");
        return false;
    }
    const ssize_t received = read(video.get(), buffer.get(), VIDEO_READ_SIZE);
    if (received < 0 && errno == EINTR)
        return false;
    if (received < VIDEO_HEADER)
        return read_failed();
    video.reset();
    if (!video_planes_from_read(planes, buffer, received, max_pixels))
        return read_failed();
    return true;
}
