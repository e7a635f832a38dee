// huecast-demo's parts in-process: its simulated decoder against the decoder
// memory writer, its pictures, what it follows of huecast, its views.
// Whole runs of the demo: demo_e2e_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "demo/decoder.h"
#include "tests/demo_fixture.h"
#include "demo/png.h"
#include "demo/scene.h"
#include "demo/watch.h"
#include "demo/view.h"
#include "demo/y4m.h"
#include "tests/pictures.h"
#include "sim/box/stb_box.h"

namespace {

using bytes = std::vector<uint8_t>;

class DecoderTest : public testing::Test {
protected:
    stb_box *box = nullptr;

    void SetUp() override
    {
        box = stb_box_make();
        ASSERT_NE(box, nullptr);
    }
    void TearDown() override { stb_box_free(box); }

    bytes memory(uint32_t address, size_t size)
    {
        bytes out(size);
        EXPECT_EQ(stb_box_mem_read(box, address, out.data(), size), 0);
        return out;
    }
    std::string file(const char *inside)
    {
        std::ifstream in(stb_box_path(box, inside));
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

// --- Broadcom ---------------------------------------------------------------------

// BCM7401: the register block, yres and the striped picture in /dev/mem, as
// the decoder memory writer lays them out from the luma base; catches a
// picture or block written at the wrong address or with the wrong geometry.
TEST_F(DecoderTest, Brcm7401PictureInPlace)
{
    const yuv_picture p = random_picture(1920, 1080, 5);
    ASSERT_EQ(decoder_prepare(box, demo_chipset::brcm7401), 0);
    ASSERT_EQ(decoder_show(box, demo_chipset::brcm7401, p), 0);
    const stripe_geometry g = stripes_for(1920, 1080);
    EXPECT_EQ(memory(BRCM_BLOCK, 100),
              picture_block(1920, DEMO_LUMA_BASE, DEMO_LUMA_BASE + g.chroma_offset, g.luma_rows,
                            g.chroma_rows));
    EXPECT_EQ(file("/proc/stb/vmpeg/0/yres"), "438\n");
    EXPECT_EQ(file("/proc/fb"), "0 bcmfb\n");
    EXPECT_EQ(memory(DEMO_LUMA_BASE, stripe_extent(g)), striped_memory(p, g));
}

// BCM4380: the picture lies in the DMA window at 0x0FC01000, as the DMA copy
// leaves it; the cpuinfo names the chip; catches a picture left at the luma
// base, where nothing copies it from.
TEST_F(DecoderTest, Brcm4380PictureInTheDmaWindow)
{
    const yuv_picture p = random_picture(720, 576, 6);
    ASSERT_EQ(decoder_prepare(box, demo_chipset::brcm4380), 0);
    ASSERT_EQ(decoder_show(box, demo_chipset::brcm4380, p), 0);
    const stripe_geometry g = stripes_for(720, 576);
    EXPECT_EQ(memory(BRCM_DMA_PICTURE, stripe_extent(g)), striped_memory(p, g));
    EXPECT_NE(file("/proc/cpuinfo").find("Brcm4380"), std::string::npos);
}

// --- Xilleon ----------------------------------------------------------------------

// A full-HD picture in the window: the size files say 780 and 438, and both
// regions hold the picture's tile rows; catches planes at the wrong region.
TEST_F(DecoderTest, XilleonTileRowsInTheWindow)
{
    const yuv_picture p = random_picture(1920, 1080, 8);
    ASSERT_EQ(decoder_prepare(box, demo_chipset::xilleon), 0);
    ASSERT_EQ(decoder_show(box, demo_chipset::xilleon, p), 0);
    EXPECT_EQ(file("/proc/stb/vmpeg/0/xres"), "780\n");
    EXPECT_EQ(file("/proc/stb/vmpeg/0/yres"), "438\n");
    const bytes luma = tile_rows(p.luma.data(), 1920, 1080, 0);
    const bytes chroma = tile_rows(p.chroma.data(), 1920, 540, 0);
    EXPECT_EQ(memory(XILLEON_WINDOW, luma.size()), luma);
    EXPECT_EQ(memory(XILLEON_WINDOW + XILLEON_CHROMA, chroma.size()), chroma);
}

// Tile row offsets for 720x576: luma tile row n at n * 0xF000 (row 16,
// picture line 512, at 0xF0000), chroma tile row n at 0xA8C000 + n * 0xF000
// (row 8, chroma row 256, at 0xB04000); below the picture nothing is written.
TEST_F(DecoderTest, XilleonTileRowOffsets)
{
    const yuv_picture p = random_picture(720, 576, 9);
    ASSERT_EQ(decoder_prepare(box, demo_chipset::xilleon), 0);
    ASSERT_EQ(decoder_show(box, demo_chipset::xilleon, p), 0);
    EXPECT_EQ(memory(XILLEON_WINDOW + 0xF0000 + 0x1000, 128),
              bytes(p.luma.begin() + 512 * 720 + 128, p.luma.begin() + 512 * 720 + 256));
    EXPECT_EQ(memory(XILLEON_WINDOW + 0xB04000, 128),
              bytes(p.chroma.begin() + 256 * 720, p.chroma.begin() + 256 * 720 + 128));
    EXPECT_EQ(memory(XILLEON_WINDOW + 18 * 0xF000, 0xF000), bytes(0xF000, 0)) << "tile row 18";
    EXPECT_EQ(memory(XILLEON_WINDOW + 5 * 0x1000 + 80, 48), bytes(48, 0)) << "beyond column 719";
}

// --- Pallas, Vulcan, and sizes ------------------------------------------------------

// /dev/video: header words 720 and 576, luma, then the chroma plane.
TEST_F(DecoderTest, VideoDeviceFile)
{
    const yuv_picture p = random_picture(720, 576, 10);
    ASSERT_EQ(decoder_prepare(box, demo_chipset::vulcan), 0);
    ASSERT_EQ(decoder_show(box, demo_chipset::vulcan, p), 0);
    const std::string video = file("/dev/video");
    ASSERT_EQ(video.size(), 16u + 2 * 720 * 576);
    int32_t size[2];
    memcpy(size, video.data(), 8);
    EXPECT_EQ(size[0], 720);
    EXPECT_EQ(size[1], 576);
    EXPECT_EQ(bytes(video.begin() + 16, video.begin() + 16 + 720 * 576), p.luma);
    EXPECT_EQ(bytes(video.begin() + 16 + 720 * 576, video.begin() + 16 + 720 * 576 + 720 * 288),
              p.chroma);
    EXPECT_EQ(file("/proc/fb"), "0 vulcanfb\n");
}

// Sizes a box cannot show are refused before anything is written.
TEST_F(DecoderTest, SizeLimits)
{
    EXPECT_EQ(chipset_size_problem(demo_chipset::pallas, 720, 576), "");
    EXPECT_NE(chipset_size_problem(demo_chipset::pallas, 1280, 720), "");
    EXPECT_EQ(chipset_size_problem(demo_chipset::xilleon, 1920, 1080), "");
    EXPECT_NE(chipset_size_problem(demo_chipset::xilleon, 1936, 1080), "");
    EXPECT_NE(chipset_size_problem(demo_chipset::brcm7401, 722, 576), "");
    EXPECT_EQ(decoder_show(box, demo_chipset::pallas, black_picture(1280, 720)), -EINVAL);
    EXPECT_EQ(file("/dev/video"), "");
}

// --- pictures -------------------------------------------------------------------------

// The bars scene moves as documented: red fills the left fifth at t = 0,
// after one second blue does; what the end-to-end checks rely on.
TEST(DemoScene, BarsSlideOneFifthASecond)
{
    yuv_picture p = black_picture(720, 16);
    EXPECT_EQ(scene_draw(scene_kind::bars, 0, p), 0);
    for (int zone = 0; zone < 5; zone++) {
        const rgb c = picture_pixel(p, zone * 144 + 72, 8);
        EXPECT_NEAR(c.r, scene_bar_colours[zone].r, 3) << zone;
        EXPECT_NEAR(c.b, scene_bar_colours[zone].b, 3) << zone;
    }
    EXPECT_EQ(scene_draw(scene_kind::bars, 1.0, p), 144);
    const rgb left = picture_pixel(p, 10, 3);
    EXPECT_LT(left.r, 5);
    EXPECT_GT(left.b, 250);
}

// The cycle plays every scene in turn, and each fills the whole picture (a
// leftover row of the scene before would show).
TEST(DemoScene, CycleDrawsEveryRow)
{
    yuv_picture p = black_picture(352, 288);
    std::set<scene_kind> seen;
    for (double t = 0; t < 16; t += 1) {
        std::fill(p.luma.begin(), p.luma.end(), 1);
        std::fill(p.chroma.begin(), p.chroma.end(), 1);
        scene_draw(scene_kind::cycle, t, p);
        seen.insert(scene_at(scene_kind::cycle, t));
        EXPECT_EQ(std::count(p.luma.begin(), p.luma.end(), 1), 0) << t;
        EXPECT_EQ(std::count(p.chroma.begin(), p.chroma.end(), 1), 0) << t;
    }
    EXPECT_EQ(seen.size(), 4u);
}

// Header tags: size, a fractional frame rate, the 4:2:0 variants; other
// chroma formats are refused with advice.
TEST(DemoY4m, HeaderTags)
{
    int w, h;
    double fps;
    std::string error;
    ASSERT_TRUE(y4m_parse_header("W352 H288 F30000:1001 It A1:1 C420mpeg2 XYSCSS=420MPEG2", &w, &h,
                                 &fps, &error));
    EXPECT_EQ(w, 352);
    EXPECT_EQ(h, 288);
    EXPECT_NEAR(fps, 29.97, 0.01);
    EXPECT_TRUE(y4m_parse_header("W8 H6", &w, &h, &fps, &error));
    EXPECT_EQ(fps, 25);
    EXPECT_FALSE(y4m_parse_header("W8 H6 C444", &w, &h, &fps, &error));
    EXPECT_NE(error.find("4:2:0"), std::string::npos);
    EXPECT_FALSE(y4m_parse_header("W8 C420jpeg", &w, &h, &fps, &error));
}

// Frames come in order and start over at the end; the scaled picture takes
// its chroma pairs interleaved from the two planes.
TEST(DemoY4m, PlaysInALoopAndInterleavesChroma)
{
    const std::string path = testing::TempDir() + "demo_loop.y4m";
    std::vector<std::vector<uint8_t>> frames;
    for (uint8_t v : {40, 80}) {
        std::vector<uint8_t> f(4 * 2, v);
        f.insert(f.end(), {uint8_t(v + 1), uint8_t(v + 11)});  // Cb of the two 2x2 blocks
        f.insert(f.end(), {uint8_t(v + 2), uint8_t(v + 12)});  // Cr
        frames.push_back(f);
    }
    write_y4m(path, 4, 2, "5:1", frames);
    y4m_video video;
    std::string error;
    ASSERT_TRUE(y4m_open(path, &video, &error)) << error;
    yuv_picture p = black_picture(8, 4);
    std::vector<int> first_luma;
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(y4m_next(&video, &error)) << error;
        y4m_scale(video, p);
        first_luma.push_back(p.luma[0]);
    }
    EXPECT_EQ(first_luma, (std::vector<int>{40, 80, 40}));
    EXPECT_EQ(bytes(p.chroma.begin(), p.chroma.begin() + 8),
              (bytes{41, 42, 41, 42, 51, 52, 51, 52}));
    EXPECT_EQ(p.luma[8 * 3 + 7], 40);
    remove(path.c_str());
}

// --- following huecast ------------------------------------------------------------

// Only six-byte set-colour messages count; their light sits in the high
// nibble.
TEST(DemoWatch, SetColourMessages)
{
    int light = -1;
    uint8_t c[3];
    ASSERT_TRUE(set_colour_message({0xA1, 0x3B, 0x03, 1, 2, 3}, &light, c));
    EXPECT_EQ(light, 3);
    EXPECT_EQ(c[2], 3);
    EXPECT_FALSE(set_colour_message({0xA1, 0x3B, 0x03, 1, 2}, &light, c));
    EXPECT_FALSE(set_colour_message({0xA1, 0x3C, 0x03, 1, 2, 3}, &light, c));
    EXPECT_FALSE(set_colour_message({0xA1, 0x7B, 0x03, 1, 2, 3}, &light, c));
}

// utime and stime are fields 14 and 15 counted past a command name that
// may hold spaces and parentheses.
TEST(DemoWatch, CpuTicksFromStat)
{
    EXPECT_EQ(stat_cpu_ticks("42 (hue cast) x) S 1 42 42 0 -1 4194304 10 0 0 0 7 5 0 0 20 0 1"),
              12);
    EXPECT_EQ(stat_cpu_ticks("42 huecast S 1"), -1);
    EXPECT_EQ(stat_cpu_ticks("42 (huecast) S 1 42"), -1);
    EXPECT_GE(process_cpu_seconds(getpid()), 0);
}

// --- the PNG strip --------------------------------------------------------------------

// Two rows: each thumbnail and its five swatches land where the layout puts
// them.
TEST(DemoPng, StripLayout)
{
    yuv_picture p = black_picture(720, 576);
    scene_draw(scene_kind::bars, 0, p);
    strip_row row = {thumbnail(p, STRIP_THUMB_WIDTH), {}};
    for (int k = 0; k < 5; k++)
        row.lights[k] = {static_cast<uint8_t>(10 * k), 100, 200};
    const std::string path = testing::TempDir() + "demo_strip.png";
    std::string error;
    ASSERT_TRUE(png_write_strip(path, {row, row}, &error)) << error;
    png_picture png;
    ASSERT_TRUE(read_png(path, &png));
    EXPECT_EQ(png.width, STRIP_WIDTH);
    EXPECT_EQ(png.height, 8 + 2 * (128 + 8));
    const int y1 = STRIP_MARGIN + 128 + STRIP_GAP;
    EXPECT_TRUE(same(png.at(strip_swatch_x(3) + 5, y1 + 100), row.lights[3]));
    EXPECT_TRUE(same(png.at(STRIP_MARGIN + 10, y1 + 5), row.picture.pixels[5 * 160 + 10]));
    EXPECT_GT(png.at(STRIP_MARGIN + 10, y1 + 5).r, 240) << "the red bar";
    EXPECT_TRUE(same(png.at(strip_swatch_x(0) - 2, y1), rgb{0x20, 0x20, 0x20}));
    remove(path.c_str());
}

// --- the terminal view ------------------------------------------------------------

// The live view always has the same number of lines, each clearing its
// rest, so that redrawing it in place never leaves stale lines; the lights
// show their colour and hex value in zone order.
TEST(DemoView, TerminalViewRedrawsInPlace)
{
    yuv_picture p = black_picture(720, 576);
    scene_draw(scene_kind::bars, 0, p);
    const thumb t = thumbnail(p, 32);
    EXPECT_EQ(t.height, 26);
    view_state s;
    s.lights[0] = {255, 0, 0};
    s.lights[4] = {0, 0, 255};
    const std::string view = tty_view(s, t);
    EXPECT_EQ(std::count(view.begin(), view.end(), '\n'), tty_view_lines(t));
    EXPECT_EQ(view.find('\n'), view.find("\x1b[K\n") + 3);
    EXPECT_NE(view.find("light 0 light 2 light 3 light 4 light 1"), std::string::npos);
    EXPECT_NE(view.find("#FF0000 #000000 #000000 #000000 #0000FF"), std::string::npos);
    EXPECT_NE(view.find("\x1b[48;2;255;0;0m       "), std::string::npos);
    EXPECT_NE(view.find("\xe2\x96\x80"), std::string::npos) << "half blocks";
}

}  // namespace
