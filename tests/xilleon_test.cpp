// The Xilleon source against the simulated physical memory: the tile
// layout, which rows of the window are sampled, the limits of planes and
// window, the sizes it refuses.
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <tuple>
#include <utility>

#include "tests/source_fixture.h"
#include "tests/pictures.h"
#include "capture/xilleon.h"

namespace {

constexpr uint8_t SENTINEL = 0x5A;

// --- sampling -----------------------------------------------------------------------

// Planes filled with a sentinel, sampled from a window holding a random
// picture.
struct sampled {
    std::vector<uint8_t> window, luma, chroma;
};

sampled sample(int width, int height, size_t extra = 0)
{
    sampled s;
    s.window = tiled_window(random_picture(std::min(width, 1920), height, unsigned(height)));
    s.luma.assign(size_t(width) * height + extra, SENTINEL);
    s.chroma.assign(size_t(width) * (height + 1) / 2 + extra, SENTINEL);
    sample_picture(s.window.data(), width, height, s.luma.data(), s.luma.size() - extra,
                   s.chroma.data(), s.chroma.size() - extra);
    return s;
}

// The plane the source should produce: the given number of rows, row r
// being line 0 of tile row r of the region (columns below 1920), then the
// sentinel.
std::vector<uint8_t> expected_plane(const std::vector<uint8_t> &window, size_t region, int width,
                                    int rows, size_t size)
{
    std::vector<uint8_t> plane(size, SENTINEL);
    for (int r = 0; r < rows; r++)
        for (int x = 0; x < std::min(width, 1920); x++)
            plane[size_t(r) * width + x] = window[region + tile_offset(32 * r, x)];
    return plane;
}

// Rows filled per size with halves put back; catches a pair short or long, halves exchanged.
TEST(XilleonSampling, RowsFilledPerSize)
{
    const std::tuple<int, int, int, int> sizes[] = {
        {720, 576, 20, 10}, {720, 480, 16, 8}, {1920, 1080, 34, 18}, {1280, 720, 24, 12},
        {720, 20, 2, 2},    {720, 3, 2, 2},    {1920, 2303, 72, 36}};
    for (const auto &[w, h, luma_rows, chroma_rows] : sizes) {
        const sampled s = sample(w, h);
        const size_t chroma_at = XILLEON_CHROMA;
        EXPECT_EQ(s.luma, expected_plane(s.window, 0, w, luma_rows, s.luma.size()))
            << w << "x" << h;
        EXPECT_EQ(s.chroma, expected_plane(s.window, chroma_at, w, chroma_rows, s.chroma.size()))
            << w << "x" << h;
    }
}

// Width 0 writes nothing; catches a row written for an empty picture.
TEST(XilleonSampling, WidthZeroWritesNothing)
{
    const sampled empty = sample(0, 576, 64);
    EXPECT_EQ(empty.luma, std::vector<uint8_t>(64, SENTINEL));
}

// Planes too small for the rows sampled; catches writes past a plane's end.
TEST(XilleonSampling, StaysInsideThePlanes)
{
    std::vector<uint8_t> window = tiled_window(random_picture(720, 64, 9));
    std::vector<uint8_t> luma(720 + 100 + 64, SENTINEL), chroma(64, SENTINEL);
    sample_picture(window.data(), 720, 64, luma.data(), 720 + 100, chroma.data(), 0);
    std::vector<uint8_t> want = expected_plane(window, 0, 720, 2, 2 * 720);
    std::fill(want.begin() + 820, want.end(), SENTINEL);
    want.resize(luma.size(), SENTINEL);
    EXPECT_EQ(luma, want);
    EXPECT_EQ(chroma, std::vector<uint8_t>(64, SENTINEL));
}

// The largest picture the source accepts, guard page after the window;
// catches reads outside the window.
TEST(XilleonSampling, NeverReadsPastTheWindow)
{
    const size_t size = XILLEON_WINDOW_BYTES + 4096;
    auto *window = static_cast<uint8_t *>(
        mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(window, MAP_FAILED);
    ASSERT_EQ(mprotect(window + XILLEON_WINDOW_BYTES, 4096, PROT_NONE), 0);
    const int height = XILLEON_MAX_HEIGHT;
    std::vector<uint8_t> luma(size_t(1920) * height), chroma(size_t(1920) * (height + 1) / 2);
    sample_picture(window, 1920, height, luma.data(), luma.size(), chroma.data(), chroma.size());
    munmap(window, size);
}

// --- the whole source -------------------------------------------------------------------

class Xilleon : public SourceTest {
protected:
    frame_planes planes;
    std::string out;

    void write_size(int width, int height)
    {
        char text[32];
        snprintf(text, sizeof text, "%x\n", unsigned(width));
        write_file("xres", text);
        snprintf(text, sizeof text, "%x\n", unsigned(height));
        write_file("yres", text);
    }

    bool capture()
    {
        planes = frame_planes();
        return printing(
            [&] {
                return xilleon_source(planes, mem, HD_PIXELS, file("xres").c_str(),
                                      file("yres").c_str());
            },
            &out);
    }
};

// 720 x 576 gives 720 x 18 sampled, one read-only mapping; catches the full height reported.
TEST_F(Xilleon, DeliversTheSampledPicture)
{
    const yuv_picture p = random_picture(720, 576, 10);
    const std::vector<uint8_t> window = tiled_window(p);
    physmem_sim_write(XILLEON_WINDOW_ADDRESS, window.data(), window.size());
    write_size(720, 576);
    ASSERT_TRUE(capture()) << out;
    EXPECT_EQ(out, "");
    EXPECT_EQ(planes.width, 720);
    EXPECT_EQ(planes.height, 18);
    const yuv_picture s = sampled_picture(p);
    EXPECT_EQ(memcmp(planes.luma.get(), s.luma.data(), s.luma.size()), 0);
    EXPECT_EQ(memcmp(planes.chroma.get(), s.chroma.data(), s.chroma.size()), 0);
    const std::vector<sim_event> &events = physmem_sim_events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(events[0].kind == sim_event_kind::map && events[0].address == 0x06000000 &&
                events[0].length == 0xCA8000 && !events[0].writable);
    EXPECT_EQ(events[1].kind, sim_event_kind::unmap);
    EXPECT_EQ(physmem_sim_live_mappings(), 0);
}

// Size limits taken or refused before mapping; catches a missing limit.
TEST_F(Xilleon, SizesOutsideTheWindowAreRefused)
{
    write_size(1920, 2303);
    EXPECT_TRUE(capture()) << out;
    EXPECT_EQ(planes.height, 71);
    write_size(0, 3);
    EXPECT_TRUE(capture()) << out;
    EXPECT_EQ(planes.width, 0);
    EXPECT_EQ(planes.height, 0);
    const std::pair<const char *, const char *> refused[] = {
        {"781\n", "240\n"}, {"ffffffff\n", "240\n"}, {"2d0\n", "900\n"}, {"2d0\n", "2\n"},
        {"2d0\n", ""},      {"2d0\n", nullptr},      {nullptr, "240\n"}};
    for (const auto &[xres, yres] : refused) {
        mem = physmem_sim_reset();
        remove(file("xres").c_str());
        remove(file("yres").c_str());
        if (xres)
            write_file("xres", xres);
        if (yres)
            write_file("yres", yres);
        EXPECT_FALSE(capture()) << (xres ? xres : "none") << (yres ? yres : "none");
        EXPECT_EQ(out, MAPPING_FAILED);
        EXPECT_EQ(mapping_attempts(), 0);
        EXPECT_FALSE(planes.luma || planes.chroma);
    }
}

// A refused window mapping: message, nothing left mapped; catches a leak or silence.
TEST_F(Xilleon, RefusedMappingIsReported)
{
    physmem_sim_options options;
    options.refuse_map = 1;
    mem = physmem_sim_reset(options);
    write_size(720, 576);
    EXPECT_FALSE(capture());
    EXPECT_EQ(out, MAPPING_FAILED);
    EXPECT_EQ(physmem_sim_live_mappings(), 0);
    EXPECT_FALSE(planes.luma || planes.chroma);
}

}  // namespace
