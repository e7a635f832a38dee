// The capture front end with the video-device source, at the real paths
// inside a simulated box: a forked child enters the box and captures there.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's own count of live heap bytes (mallinfo2 knows nothing of
// its allocator).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

#include "capture/sources.h"
#include "tests/pictures.h"
#include "sim/box/stb_box.h"

namespace {

constexpr int FRAMES = 1000;
constexpr uint8_t UNTOUCHED = 0xA5;

size_t heap_in_use()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

int open_descriptors()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    while (const dirent *entry = readdir(dir))
        count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

// Counts the occurrences of text in a file.
int occurrences(const std::string &path, const std::string &text)
{
    std::string data;
    char chunk[65536];
    const int fd = open(path.c_str(), O_RDONLY);
    for (ssize_t n; fd >= 0 && (n = read(fd, chunk, sizeof chunk)) > 0;)
        data.append(chunk, n);
    if (fd >= 0)
        close(fd);
    int count = 0;
    for (size_t at = data.find(text); at != std::string::npos; at = data.find(text, at + 1))
        count++;
    return count;
}

class Getvideo : public testing::Test {
protected:
    stb_box *box = nullptr;
    std::string out_path, err_path;

    void SetUp() override
    {
        std::string why;
        if (!stb_box_possible(&why))
            GTEST_SKIP() << why;
        box = stb_box_make();
        ASSERT_NE(box, nullptr);
        ASSERT_EQ(stb_box_make_mem(box, 0x1000), 0);
        out_path = std::string(stb_box_dir(box)) + "/stdout";
        err_path = std::string(stb_box_dir(box)) + "/stderr";
    }
    void TearDown() override { stb_box_free(box); }

    // Runs body in a child inside the box with stdout and stderr in files;
    // returns body's result (0: all checks held), or -1.
    int in_box(const std::function<int()> &body)
    {
        fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(err, 2);
            close(out);
            close(err);
            const process_setup enter = stb_box_setup(box);
            int step = 0;
            if (enter.run(enter.arg, &step) != 0)
                _exit(100);
            const int result = body();
            fflush(nullptr);
            _exit(result);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void write_raw_video(int32_t width, int32_t height, size_t plane_bytes)
    {
        std::vector<uint8_t> video(16 + plane_bytes, 0x80);
        memcpy(video.data(), &width, 4);
        memcpy(video.data() + 4, &height, 4);
        ASSERT_EQ(stb_box_write(box, "/dev/video", video.data(), video.size()), 0);
    }
};

// 1000 failing captures on a Pallas box, every other one sampled: image,
// width and height keep the previous frame, and no descriptor or heap block
// is left behind. Returns a bit per broken promise.
int failing_frames()
{
    stb_type = STB_PALLAS;
    static unsigned char image[RGB_IMAGE_SD];
    memset(image, UNTOUCHED, sizeof image);
    int32_t width = 123, height = 45;
    getvideo(image, &width, &height);  // a first failure settles stdio's buffers
    const int fds = open_descriptors();
    const size_t heap = heap_in_use();
    for (int i = 1; i < FRAMES; i++)
        if (i % 2)
            getvideo_sampled(image, &width, &height, 4);
        else
            getvideo(image, &width, &height);
    int broken = 0;
    for (unsigned char byte : image)
        if (byte != UNTOUCHED) {
            broken |= 1;
            break;
        }
    if (width != 123 || height != 45)
        broken |= 2;
    if (open_descriptors() != fds)
        broken |= 4;
    if (heap_in_use() != heap)
        broken |= 8;
    return broken;
}

// Each kind of failing frame: its one message per frame, and nothing taken
// or written; catches a leaked descriptor or plane on any failing path and
// a header that drives a copy beyond the read buffer or the image.
TEST_F(Getvideo, FailingFramesLeaveEverythingAsItWas)
{
    const int32_t huge = 1 << 16;
    const struct {
        const char *name;
        std::function<void()> scenario;
        const char *message;
        bool on_stderr;
    } cases[] = {
        {"no /dev/mem", [&] { stb_box_remove(box, "/dev/mem"); },
         "Mainmemory: can't open /dev/mem \n", false},
        {"no /dev/video", [&] { stb_box_make_mem(box, 0x1000); }, "could not open /dev/video",
         false},
        {"15 bytes", [&] { stb_box_write(box, "/dev/video", "123456789012345", 15); },
         "read failed\n", true},
        {"width 0", [&] { write_raw_video(0, 576, 720 * 576 * 2); }, "read failed\n", true},
        {"height -1", [&] { write_raw_video(720, -1, 720 * 576 * 2); }, "read failed\n", true},
        {"larger than the image", [&] { write_raw_video(720, 578, 720 * 578 * 3 / 2); },
         "read failed\n", true},
        {"planes beyond the read", [&] { write_raw_video(720, 576, 720 * 576); }, "read failed\n",
         true},
        {"32-bit overflow", [&] { write_raw_video(huge, huge, 720 * 576 * 2); }, "read failed\n",
         true},
    };
    for (const auto &c : cases) {
        c.scenario();
        EXPECT_EQ(in_box(failing_frames), 0) << c.name;
        EXPECT_EQ(occurrences(c.on_stderr ? err_path : out_path, c.message), FRAMES) << c.name;
    }
}

// Pixel (x, y) takes the chroma pair of its 2x2 block, or of the last
// complete block to its left or above; without any block it is grey.
std::array<uint8_t, 3> expected_pixel(const yuv_picture &p, int x, int y)
{
    ycbcr c = {p.luma[size_t(y) * p.width + x], 128, 128};
    if (p.width >= 2 && p.height >= 2) {
        const int px = std::min(x / 2, p.width / 2 - 1), py = std::min(y / 2, p.height / 2 - 1);
        c.cb = p.chroma[size_t(py) * p.width + 2 * px];
        c.cr = p.chroma[size_t(py) * p.width + 2 * px + 1];
    }
    return reference_pixel(c, false);
}

// A picture from /dev/video: the size reported and every pixel converted,
// odd sizes included, then every third pixel of every third row sampled;
// catches planes taken from the wrong offsets.
TEST_F(Getvideo, PictureFromVideoDevice)
{
    for (const auto &[w, h] : {std::pair{720, 576}, std::pair{7, 3}, std::pair{1, 1}}) {
        const yuv_picture p = bars_picture(w, h);
        ASSERT_EQ(stb_box_write_video(box, w, h, p.luma.data(), p.chroma.data()), 0);
        const int result = in_box([&] {
            stb_type = STB_VULCAN;
            static unsigned char image[RGB_IMAGE_SD];
            int32_t width = 0, height = 0;
            getvideo(image, &width, &height);
            if (width != w || height != h)
                return 1;
            for (int y = 0; y < h; y++)
                for (int x = 0; x < w; x++)
                    if (memcmp(image + 3 * (y * w + x), expected_pixel(p, x, y).data(), 3))
                        return 2;
            width = height = 0;
            getvideo_sampled(image, &width, &height, 3);
            if (width != w || height != h)
                return 3;
            unsigned char *sample = image;
            for (int y = 0; y < h; y += 3)
                for (int x = 0; x < w; x += 3, sample += 3)
                    if (memcmp(sample, expected_pixel(p, x, y).data(), 3))
                        return 4;
            return 0;
        });
        EXPECT_EQ(result, 0) << w << "x" << h;
    }
}

// An unknown chipset opens and closes /dev/mem, reads nothing and reports
// an empty picture without touching the image.
TEST_F(Getvideo, UnknownChipsetReportsEmptyPicture)
{
    const int result = in_box([] {
        stb_type = 9;
        static unsigned char image[16];
        memset(image, UNTOUCHED, sizeof image);
        int32_t width = 5, height = 5;
        const int fds = open_descriptors();
        getvideo(image, &width, &height);
        if (width != 0 || height != 0 || open_descriptors() != fds)
            return 1;
        for (unsigned char byte : image)
            if (byte != UNTOUCHED)
                return 2;
        return 0;
    });
    EXPECT_EQ(result, 0);
}

// One read of /dev/video whose chroma plane ends exactly at the last byte
// read is taken, one byte fewer is refused with the planes left empty and
// the buffer kept; catches an off-by-one in how far the header is trusted.
TEST(VideoRead, PlanesEndingAtTheLastByteRead)
{
    const int32_t header[4] = {6, 4, 0, 0};
    const size_t received = 16 + 24 + 12;
    heap_block read(received);
    memcpy(read.get(), header, sizeof header);
    for (size_t i = 16; i < received; i++)
        read.get()[i] = static_cast<unsigned char>(i);
    unsigned char *const bytes = read.get();

    frame_planes refused;
    EXPECT_FALSE(video_planes_from_read(refused, read, ssize_t(received) - 1, 24));
    EXPECT_FALSE(video_planes_from_read(refused, read, ssize_t(received), 23));
    EXPECT_FALSE(refused.luma || refused.chroma);
    ASSERT_EQ(read.get(), bytes);
    frame_planes taken;
    ASSERT_TRUE(video_planes_from_read(taken, read, ssize_t(received), 24));
    EXPECT_EQ(taken.width, 6);
    EXPECT_EQ(taken.height, 4);
    EXPECT_EQ(taken.luma.get(), bytes);
    EXPECT_EQ(taken.luma_at, bytes + 16);
    EXPECT_EQ(taken.chroma_at, bytes + 40);
}

}  // namespace
