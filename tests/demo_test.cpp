// huecast-demo: its simulated decoder against the boxes' memory layouts, its
// pictures, its views, and whole runs of the demo with the real huecast.
#include <gtest/gtest.h>
#include <png.h>

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

#include "demo_decoder.h"
#include "demo_png.h"
#include "demo_scene.h"
#include "demo_watch.h"
#include "demo_view.h"
#include "demo_y4m.h"
#include "pictures.h"
#include "stb_box.h"

namespace {

using bytes = std::vector<uint8_t>;

// The shared random test picture, in the decoder's picture type.
demo_picture random_demo_picture(int width, int height, unsigned seed)
{
    test_picture t = random_picture(width, height, seed);
    demo_picture p;
    p.width = t.width;
    p.height = t.height;
    p.luma = std::move(t.luma);
    p.chroma = std::move(t.chroma);
    return p;
}

// --- how the capture reads the memory, written from the layouts ---------------

// Broadcom: stripe k row r at (k * rows + r) * 64 gives plane row r, columns
// 64k.., then every 4-byte group of the plane is reversed.
bytes destripe(const bytes &memory, size_t at, int width, int rows)
{
    bytes plane(static_cast<size_t>(width) * rows);
    for (int k = 0; 64 * k < width; k++)
        for (int r = 0; r < rows; r++)
            memcpy(&plane[static_cast<size_t>(r) * width + 64 * k],
                   &memory[at + (static_cast<size_t>(k) * rows + r) * 64],
                   std::min(64, width - 64 * k));
    for (size_t i = 0; i + 4 <= plane.size(); i += 4) {
        std::swap(plane[i], plane[i + 3]);
        std::swap(plane[i + 1], plane[i + 2]);
    }
    return plane;
}

// Xilleon: tile line 0 of tile row n, the halves of odd tile rows exchanged
// back: picture line 32n of the region at region (window offset).
bytes sampled_line(const bytes &window, size_t region, int n, int width)
{
    bytes line(static_cast<size_t>(width));
    for (int column = 0; column < width; column++) {
        const int c = column % 128;
        const int stored = n % 2 ? (c < 64 ? c + 64 : c - 64) : c;
        line[column] = window[region + n * 0xF000 + (column / 128) * 0x1000 + stored];
    }
    return line;
}

bytes row_of(const bytes &plane, int width, int r)
{
    return bytes(plane.begin() + static_cast<long>(r) * width,
                 plane.begin() + static_cast<long>(r + 1) * width);
}

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

// The register block holds width, bases and stripe rows where the capture
// takes them; a field at the wrong offset or shift would garble every frame.
TEST(DemoBroadcom, RegisterBlockFields)
{
    const brcm_layout layout = brcm_layout_for(720, 576);
    const bytes block = brcm_registers(layout);
    ASSERT_EQ(block.size(), 100u);
    EXPECT_EQ(block[0x14] | block[0x15] << 8, 720);
    EXPECT_EQ(block[0x27], 0x00);  // 576 rows: 0x2400 >> 4
    EXPECT_EQ(block[0x28], 0x24);
    EXPECT_EQ((block[0x2B] | block[0x2C] << 8) >> 4, 288);
    uint32_t luma, chroma;
    memcpy(&luma, &block[0x1C], 4);
    memcpy(&chroma, &block[0x20], 4);
    EXPECT_EQ(luma, BRCM_LUMA_BASE);
    EXPECT_EQ(chroma % 4096, 0u) << "page-aligned, low 8 bits clear";
    EXPECT_GE(chroma - luma, 12u * 576 * 64) << "chroma above the 12 luma stripes";
}

// The geometry example of the layout: width 128, two luma rows. Stripe
// bytes 0-63 are row 0 columns 0-63, 64-127 row 1, 128-191 row 0 columns
// 64-127, each group of 4 reversed (plane 01 02 03 04 stored 04 03 02 01).
TEST(DemoBroadcom, StripesOfTheLayoutExample)
{
    bytes plane(256);
    for (size_t i = 0; i < plane.size(); i++)
        plane[i] = static_cast<uint8_t>(i + 1);
    const bytes stripes = brcm_stripes(plane.data(), 128, 2);
    ASSERT_EQ(stripes.size(), 256u);
    EXPECT_EQ(bytes(stripes.begin(), stripes.begin() + 4), (bytes{4, 3, 2, 1}));
    EXPECT_EQ(stripes[64 + 3], plane[128]) << "row 1, column 0";
    EXPECT_EQ(stripes[128 + 3], plane[64]) << "row 0, column 64";
    EXPECT_EQ(stripes[192], plane[128 + 64 + 3]) << "row 1, column 67";
    EXPECT_EQ(destripe(stripes, 0, 128, 2), plane);
}

// Width 720: 12 stripes, the last holding 16 columns in 64-byte rows.
TEST(DemoBroadcom, Width720HasTwelveStripes)
{
    const demo_picture p = random_demo_picture(720, 4, 3);
    const bytes stripes = brcm_stripes(p.luma.data(), 720, 4);
    EXPECT_EQ(brcm_stripe_count(720), 12);
    ASSERT_EQ(stripes.size(), 12u * 4 * 64);
    const size_t last_row0 = (11 * 4 + 0) * 64;
    EXPECT_EQ(stripes[last_row0 + 3], p.luma[704]);
    EXPECT_EQ(bytes(stripes.begin() + last_row0 + 16, stripes.begin() + last_row0 + 64), bytes(48, 0));
    EXPECT_EQ(destripe(stripes, 0, 720, 4), p.luma);
}

// A full-HD picture fits the BCM4380's DMA window; a larger extent would
// leave the copy beyond what the capture can read.
TEST(DemoBroadcom, FullHdFitsTheDmaWindow)
{
    EXPECT_LE(brcm_extent(brcm_layout_for(1920, 1080)), BRCM_DMA_ROOM);
}

// BCM7401: the register block, yres and both planes in /dev/mem read back
// into the picture the way the capture re-assembles them.
TEST_F(DecoderTest, Brcm7401PictureReadsBack)
{
    const demo_picture p = random_demo_picture(1920, 1080, 5);
    ASSERT_EQ(decoder_prepare(box, demo_chipset::brcm7401), 0);
    ASSERT_EQ(decoder_show(box, demo_chipset::brcm7401, p), 0);
    const brcm_layout layout = brcm_layout_for(1920, 1080);
    EXPECT_EQ(memory(BRCM_REGISTERS, 100), brcm_registers(layout));
    EXPECT_EQ(file("/proc/stb/vmpeg/0/yres"), "438\n");
    EXPECT_EQ(file("/proc/fb"), "0 bcmfb\n");
    const bytes stored = memory(layout.luma_base, brcm_extent(layout));
    EXPECT_EQ(destripe(stored, 0, 1920, 1080), p.luma);
    EXPECT_EQ(destripe(stored, layout.chroma_base - layout.luma_base, 1920, 540), p.chroma);
}

// BCM4380: the picture lies in the DMA window at 0x0FC01000, as the DMA copy
// leaves it; the cpuinfo names the chip.
TEST_F(DecoderTest, Brcm4380PictureInTheDmaWindow)
{
    const demo_picture p = random_demo_picture(720, 576, 6);
    ASSERT_EQ(decoder_prepare(box, demo_chipset::brcm4380), 0);
    ASSERT_EQ(decoder_show(box, demo_chipset::brcm4380, p), 0);
    const brcm_layout layout = brcm_layout_for(720, 576);
    const bytes stored = memory(BRCM_DMA_PICTURE, brcm_extent(layout));
    EXPECT_EQ(destripe(stored, 0, 720, 576), p.luma);
    EXPECT_EQ(destripe(stored, layout.chroma_base - layout.luma_base, 720, 288), p.chroma);
    EXPECT_NE(file("/proc/cpuinfo").find("Brcm4380"), std::string::npos);
}

// --- Xilleon ----------------------------------------------------------------------

// The row-fill example of the layout for width 720: tile 5 holds columns
// 640-719; an odd tile row stores columns 640-703 in bytes 64-127 and
// 704-719 in bytes 0-15.
TEST(DemoXilleon, TilesOfTheLayoutExample)
{
    const demo_picture p = random_demo_picture(720, 64, 7);
    const bytes tiles = xilleon_tiles(p.luma.data(), 720, 64);
    ASSERT_EQ(tiles.size(), 2u * 0xF000);
    const size_t tile5 = 5 * 0x1000;
    EXPECT_EQ(bytes(tiles.begin() + tile5, tiles.begin() + tile5 + 80),
              bytes(p.luma.begin() + 640, p.luma.begin() + 720));
    const size_t odd = 0xF000 + tile5, line32 = 32 * 720;
    EXPECT_EQ(bytes(tiles.begin() + odd + 64, tiles.begin() + odd + 128),
              bytes(p.luma.begin() + line32 + 640, p.luma.begin() + line32 + 704));
    EXPECT_EQ(bytes(tiles.begin() + odd, tiles.begin() + odd + 16),
              bytes(p.luma.begin() + line32 + 704, p.luma.begin() + line32 + 720));
    EXPECT_EQ(tiles[0x1000 + 5 * 128 + 7], p.luma[5 * 720 + 128 + 7]) << "tile 1, line 5";
}

// A full-HD picture in the window: the size files say 780 and 438, and the
// line the capture samples from each tile row is picture line 32n (luma)
// and chroma row 32n (chroma), up to the last tile rows it reads.
TEST_F(DecoderTest, XilleonSampledLinesReadBack)
{
    const demo_picture p = random_demo_picture(1920, 1080, 8);
    ASSERT_EQ(decoder_prepare(box, demo_chipset::xilleon), 0);
    ASSERT_EQ(decoder_show(box, demo_chipset::xilleon, p), 0);
    EXPECT_EQ(file("/proc/stb/vmpeg/0/xres"), "780\n");
    EXPECT_EQ(file("/proc/stb/vmpeg/0/yres"), "438\n");
    const bytes window = memory(XILLEON_WINDOW, 0xCA8000);
    for (int n = 0; n <= 33; n++)
        ASSERT_EQ(sampled_line(window, 0, n, 1920), row_of(p.luma, 1920, 32 * n)) << n;
    for (int n = 0; n <= 16; n++)
        ASSERT_EQ(sampled_line(window, XILLEON_CHROMA, n, 1920), row_of(p.chroma, 1920, 32 * n))
            << n;
}

// Tile row offsets for 720x576: luma tile row n at n * 0xF000 (row 16,
// picture line 512, at 0xF0000), chroma tile row n at 0xA8C000 + n * 0xF000
// (row 8, chroma row 256, at 0xB04000); below the picture nothing is written.
TEST_F(DecoderTest, XilleonTileRowOffsets)
{
    const demo_picture p = random_demo_picture(720, 576, 9);
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
    const demo_picture p = random_demo_picture(720, 576, 10);
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
    EXPECT_EQ(decoder_show(box, demo_chipset::pallas, demo_picture_make(1280, 720)), -EINVAL);
    EXPECT_EQ(file("/dev/video"), "");
}

// --- pictures -------------------------------------------------------------------------

// The bars scene moves as documented: red fills the left fifth at t = 0,
// after one second blue does; what the end-to-end checks rely on.
TEST(DemoScene, BarsSlideOneFifthASecond)
{
    demo_picture p = demo_picture_make(720, 16);
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
    demo_picture p = demo_picture_make(352, 288);
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
    ASSERT_TRUE(y4m_parse_header("W352 H288 F30000:1001 It A1:1 C420mpeg2 XYSCSS=420MPEG2", &w,
                                 &h, &fps, &error));
    EXPECT_EQ(w, 352);
    EXPECT_EQ(h, 288);
    EXPECT_NEAR(fps, 29.97, 0.01);
    EXPECT_TRUE(y4m_parse_header("W8 H6", &w, &h, &fps, &error));
    EXPECT_EQ(fps, 25);
    EXPECT_FALSE(y4m_parse_header("W8 H6 C444", &w, &h, &fps, &error));
    EXPECT_NE(error.find("4:2:0"), std::string::npos);
    EXPECT_FALSE(y4m_parse_header("W8 C420jpeg", &w, &h, &fps, &error));
}

// Writes a y4m file of frames width x height whose every plane byte is the
// frame's value (luma v, Cb v + 1, Cr v + 2).
void write_y4m(const std::string &path, int width, int height, const char *rate,
               const std::vector<std::vector<uint8_t>> &frames)
{
    std::ofstream out(path, std::ios::binary);
    out << "YUV4MPEG2 W" << width << " H" << height << " F" << rate << " Ip C420jpeg\n";
    for (const std::vector<uint8_t> &f : frames)
        out << "FRAME\n" << std::string(f.begin(), f.end());
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
    demo_picture p = demo_picture_make(8, 4);
    std::vector<int> first_luma;
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(y4m_next(&video, &error)) << error;
        y4m_scale(video, p);
        first_luma.push_back(p.luma[0]);
    }
    EXPECT_EQ(first_luma, (std::vector<int>{40, 80, 40}));
    EXPECT_EQ(bytes(p.chroma.begin(), p.chroma.begin() + 8), (bytes{41, 42, 41, 42, 51, 52, 51, 52}));
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
    EXPECT_EQ(stat_cpu_ticks("42 (hue cast) x) S 1 42 42 0 -1 4194304 10 0 0 0 7 5 0 0 20 0 1"), 12);
    EXPECT_EQ(stat_cpu_ticks("42 huecast S 1"), -1);
    EXPECT_EQ(stat_cpu_ticks("42 (huecast) S 1 42"), -1);
    EXPECT_GE(process_cpu_seconds(getpid()), 0);
}

// --- the PNG strip --------------------------------------------------------------------

struct png_picture {
    int width = 0, height = 0;
    bytes rgb_bytes;
    rgb at(int x, int y) const
    {
        const uint8_t *p = &rgb_bytes[(static_cast<size_t>(y) * width + x) * 3];
        return {p[0], p[1], p[2]};
    }
};

bool read_png(const std::string &path, png_picture *out)
{
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return false;
    image.format = PNG_FORMAT_RGB;
    out->width = static_cast<int>(image.width);
    out->height = static_cast<int>(image.height);
    out->rgb_bytes.resize(PNG_IMAGE_SIZE(image));
    return png_image_finish_read(&image, nullptr, out->rgb_bytes.data(), 0, nullptr) != 0;
}

bool same(rgb a, rgb b)
{
    return a.r == b.r && a.g == b.g && a.b == b.b;
}

// Two rows: each thumbnail and its five swatches land where the layout puts
// them.
TEST(DemoPng, StripLayout)
{
    demo_picture p = demo_picture_make(720, 576);
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
    demo_picture p = demo_picture_make(720, 576);
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

// --- whole runs of the demo with the real huecast -------------------------------------

struct csv_row {
    long frame = 0;
    std::string scene;
    int position = 0;
    long light_frames = 0;
    bool taken = false;  // the lights are those huecast took from this frame
    rgb lights[5] = {};  // zone order
};

rgb parse_rgb(const std::string &hex)
{
    const unsigned long v = std::stoul(hex, nullptr, 16);
    return {uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

std::vector<csv_row> read_csv(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    std::vector<csv_row> rows;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream fields(line);
        for (std::string x; std::getline(fields, x, ',');)
            f.push_back(x);
        if (f.size() != 11)
            continue;
        csv_row r;
        r.frame = std::stol(f[1]);
        r.scene = f[2];
        r.position = std::stoi(f[3]);
        r.light_frames = std::stol(f[4]);
        r.taken = f[5] == "1";
        for (int k = 0; k < 5; k++)
            r.lights[k] = parse_rgb(f[6 + k]);
        rows.push_back(r);
    }
    return rows;
}

// Which of the candidate colours c is closest to.
int nearest(rgb c, const std::vector<rgb> &candidates)
{
    int best = 0, best_distance = 1 << 30;
    for (size_t i = 0; i < candidates.size(); i++) {
        const int dr = c.r - candidates[i].r, dg = c.g - candidates[i].g, db = c.b - candidates[i].b;
        if (dr * dr + dg * dg + db * db < best_distance)
            best = static_cast<int>(i), best_distance = dr * dr + dg * dg + db * db;
    }
    return best;
}

const std::vector<rgb> bars(scene_bar_colours, scene_bar_colours + 5);

// The colours huecast must send for the bars at frame n of a scene at fps
// frames a second, computed from the picture with the reference rules, as
// a person sees them (red first).
std::array<rgb, 5> expected_bar_lights(long n, double fps, bool xilleon)
{
    demo_picture p = demo_picture_make(720, 576);
    scene_draw(scene_kind::bars, n / fps, p);
    test_picture t;
    t.width = p.width, t.height = p.height, t.luma = p.luma, t.chroma = p.chroma;
    const std::array<uint32_t, 5> zones = reference_zones(t, xilleon);
    std::array<rgb, 5> out;
    for (int i = 0; i < 5; i++) {
        const uint8_t b0 = uint8_t(zones[i] >> 16), b1 = uint8_t(zones[i] >> 8), b2 = uint8_t(zones[i]);
        out[i] = xilleon ? rgb{b0, b1, b2} : rgb{b2, b1, b0};
    }
    return out;
}

// Every frame from which huecast took a light frame shows on lights 0, 2,
// 3, 4, 1 exactly the colours of its five zones; light 0 is red while the
// red bar fills the left edge (frame 0).
void expect_lights_follow_bars(const std::vector<csv_row> &rows, double fps, bool xilleon)
{
    ASSERT_GE(rows.size(), 10u) << "3 s at 4 frames/s";
    int taken = 0;
    for (const csv_row &row : rows) {
        EXPECT_EQ(row.position, bars_offset(720, row.frame / fps)) << "frame " << row.frame;
        if (!row.taken)
            continue;
        taken++;
        const std::array<rgb, 5> want = expected_bar_lights(row.frame, fps, xilleon);
        for (int zone = 0; zone < 5; zone++)
            EXPECT_EQ(hex(row.lights[zone]), hex(want[zone])) << "frame " << row.frame << " zone " << zone;
    }
    EXPECT_GE(taken, 3) << "frames whose lights huecast took from them";
    ASSERT_TRUE(rows[0].frame == 0 && rows[0].taken);
    EXPECT_EQ(nearest(rows[0].lights[0], bars), 0) << hex(rows[0].lights[0]);
}

// Eight rows of thumbnail and lights; the first sampled just after the
// start, with the red bar near the left; every row's swatches the colours
// the lights had at one of the frames.
void expect_png_strip(const std::string &path, const std::vector<csv_row> &rows, int width,
                      int height)
{
    png_picture strip;
    ASSERT_TRUE(read_png(path, &strip));
    const int thumb_height = 160 * height / width / 2 * 2;
    EXPECT_EQ(strip.width, STRIP_WIDTH);
    ASSERT_EQ(strip.height, STRIP_MARGIN + 8 * (thumb_height + STRIP_GAP));
    const rgb left = strip.at(STRIP_MARGIN + 30, STRIP_MARGIN + 10);
    EXPECT_EQ(nearest(left, bars), 0) << hex(left);
    std::set<std::string> seen;
    for (const csv_row &row : rows)
        seen.insert(hex(row.lights[0]) + hex(row.lights[1]) + hex(row.lights[2]) +
                    hex(row.lights[3]) + hex(row.lights[4]));
    for (int i = 0; i < 8; i++) {
        const int y = STRIP_MARGIN + i * (thumb_height + STRIP_GAP) + thumb_height / 2;
        std::string swatches;
        for (int k = 0; k < 5; k++)
            swatches += hex(strip.at(strip_swatch_x(k) + STRIP_SWATCH / 2, y));
        EXPECT_EQ(seen.count(swatches), 1u) << "row " << i << ": " << swatches;
    }
}

class DemoRun : public testing::Test {
protected:
    std::string csv, png, y4m;

    void SetUp() override
    {
        std::string why;
        if (!stb_box_possible(&why))
            GTEST_SKIP() << why;
        const std::string stem = testing::TempDir() + "demo_" + std::to_string(getpid());
        csv = stem + ".csv", png = stem + ".png", y4m = stem + ".y4m";
    }
    void TearDown() override
    {
        for (const std::string &f : {csv, png, y4m})
            remove(f.c_str());
    }

    process_result run(std::vector<std::string> args)
    {
        args.insert(args.begin(), HUECAST_DEMO_PATH);
        for (const char *a : {"--text", "--seconds", "3"})
            args.push_back(a);
        for (const std::string &a : {std::string("--csv"), csv, std::string("--png"), png})
            args.push_back(a);
        process_options options;
        options.timeout_seconds = 60;
        return process_run(args, options);
    }

    // The demo on a box, with the sliding bars on a 720x576 picture (every
    // box shows that size; larger ones slow the sanitizer build too much) at
    // 4 frames a second, so that even a BCM7401's huecast, which waits 50 ms
    // per capture, takes whole light frames from most frames: the lights
    // follow the bars exactly and the PNG strip shows it. A wrong memory
    // layout in the decoder, a swapped channel order or a wrong zone-to-light
    // order fails it.
    void run_bars(const char *flag)
    {
        const chipset_info *chipset = chipset_by_flag(flag);
        ASSERT_NE(chipset, nullptr);
        const process_result r =
            run({"--chipset", flag, "--scene", "bars", "--size", "720x576", "--fps", "4"});
        if (r.exit_status != 0 && r.out.find("Memmapping failed") != std::string::npos &&
            r.out.find("sent no light frames") != std::string::npos)
            GTEST_SKIP() << "this huecast has no capture for " << chipset->name << " boxes yet";
        ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find(std::string("Detected STB: ") + chipset->name), std::string::npos);
        EXPECT_NE(r.out.find("picture  " + png + ": 8 sampled frames"), std::string::npos)
            << r.out;
        const std::vector<csv_row> rows = read_csv(csv);
        expect_lights_follow_bars(rows, 4, chipset->chipset == demo_chipset::xilleon);
        expect_png_strip(png, rows, 720, 576);
    }
};

// Each box, with the sliding bars (see run_bars).
TEST_F(DemoRun, PallasBars) { run_bars("pallas"); }
TEST_F(DemoRun, VulcanBars) { run_bars("vulcan"); }
TEST_F(DemoRun, Brcm7401Bars) { run_bars("brcm7401"); }
TEST_F(DemoRun, Brcm4380Bars) { run_bars("brcm4380"); }
TEST_F(DemoRun, XilleonBars) { run_bars("xilleon"); }

// A y4m file of six 64x48 frames at 5 frames/s, alternately red on the
// left and blue on the right and the other way round, plays stretched to the
// box's picture, frame after frame and round again; the outer lights follow.
TEST_F(DemoRun, PlaysAY4mFile)
{
    std::vector<std::vector<uint8_t>> frames;
    const uint8_t red[3] = {81, 90, 240}, blue[3] = {41, 240, 110};
    for (int i = 0; i < 6; i++) {
        const uint8_t *left = i % 2 ? blue : red, *right = i % 2 ? red : blue;
        std::vector<uint8_t> f;
        for (int plane = 0; plane < 3; plane++) {
            const int w = plane ? 32 : 64, h = plane ? 24 : 48;
            for (int y = 0; y < h; y++)
                for (int x = 0; x < w; x++)
                    f.push_back(x < w * 3 / 8 ? left[plane] : right[plane]);
        }
        frames.push_back(f);
    }
    write_y4m(y4m, 64, 48, "5:1", frames);
    const process_result r = run({"--y4m", y4m});
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    const std::vector<rgb> red_blue = {{255, 0, 0}, {0, 0, 255}};
    int taken = 0;
    long last = 0;
    for (const csv_row &row : read_csv(csv)) {
        last = row.position;
        if (!row.taken)
            continue;
        taken++;
        const int left = row.position % 6 % 2;  // 0 red, 1 blue
        EXPECT_EQ(nearest(row.lights[0], red_blue), left) << "frame " << row.position;
        EXPECT_EQ(nearest(row.lights[4], red_blue), 1 - left) << "frame " << row.position;
    }
    EXPECT_GE(taken, 3);
    EXPECT_GE(last, 6) << "the file played round again";
}

// Bad options and sizes a box cannot show end with status 2 and a word why.
TEST(DemoOptions, RefusesWhatItCannotShow)
{
    process_result r = process_run({HUECAST_DEMO_PATH, "--chipset", "pallas", "--size", "1280x720"});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("at most 720x576"), std::string::npos) << r.err;
    r = process_run({HUECAST_DEMO_PATH, "--chipset", "amlogic"});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("usage:"), std::string::npos);
}

}  // namespace
