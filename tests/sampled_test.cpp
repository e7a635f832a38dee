// The sampled capture of every decoder layout against the whole picture's
// conversion: the video device's planes, the Broadcom stripes (BCM7401 read
// in place, BCM4380 through its DMA copy) and the Xilleon tiles, over the
// simulated physical memory, at odd sizes and steps 1 to 9.
#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "capture/convert.h"
#include "capture/xilleon.h"
#include "tests/pictures.h"
#include "tests/source_fixture.h"

namespace {

constexpr uint8_t UNTOUCHED = 0xA5;

// The oracle: getvideo's whole picture, then the pixel at every step-th
// column of every step-th row.
std::vector<uint8_t> samples_of(const std::vector<uint8_t> &whole, int width, int height, int step)
{
    std::vector<uint8_t> out;
    for (int y = 0; y < height; y += step)
        for (int x = 0; x < width; x += step)
            out.insert(out.end(), whole.begin() + 3 * (size_t(y) * width + x),
                       whole.begin() + 3 * (size_t(y) * width + x) + 3);
    return out;
}

std::vector<uint8_t> random_bytes(size_t size, unsigned seed)
{
    std::vector<uint8_t> bytes(size);
    std::mt19937 rng(seed);
    for (uint8_t &b : bytes)
        b = uint8_t(rng());
    return bytes;
}

enum class layout { video, bcm7401, bcm4380, xilleon };

struct sampled_case {
    layout where;
    int width;
    int height;  // the decoder's picture (Xilleon: before its one line in 32)
};

class Sampled : public SourceTest, public testing::WithParamInterface<sampled_case> {
protected:
    std::vector<uint8_t> video;  // the video device's read: header, then planes

    // Memory of random bytes where the layout's decoder keeps its picture.
    void place(const sampled_case &c)
    {
        char text[32];
        if (c.where == layout::video) {
            video = random_bytes(16 + size_t(c.width) * c.height * 3 / 2, unsigned(c.width));
            memcpy(video.data(), &c.width, 4);
            memcpy(video.data() + 4, &c.height, 4);
        } else if (c.where == layout::xilleon) {
            const std::vector<uint8_t> window = random_bytes(XILLEON_WINDOW_SIZE, 7);
            physmem_sim_write(XILLEON_WINDOW_ADDRESS, window.data(), window.size());
            snprintf(text, sizeof text, "%x\n", unsigned(c.width));
            write_file("xres", text);
        } else {
            const stripe_geometry g = stripes_for(c.width, c.height, 0x140);
            const std::vector<uint8_t> memory = random_bytes(
                g.chroma_offset + size_t(c.width) * (g.chroma_rows + 64), unsigned(c.height));
            physmem_sim_write(BRCM_LUMA_BASE, memory.data(), memory.size());
            const std::vector<uint8_t> b =
                picture_block(c.width, BRCM_LUMA_BASE | 0x11, BRCM_LUMA_BASE + g.chroma_offset,
                              g.luma_rows, g.chroma_rows);
            physmem_sim_write(BRCM_BLOCK, b.data(), b.size());
        }
        snprintf(text, sizeof text, "%x\n", unsigned(c.height));
        write_file("yres", text);
    }

    // The whole picture as getvideo converts it, or false.
    bool whole(const sampled_case &c, frame_planes &planes, std::vector<uint8_t> &image)
    {
        bool ok;
        if (c.where == layout::video) {
            heap_block buffer(video.size());
            memcpy(buffer.get(), video.data(), video.size());
            ok = video_planes_from_read(planes, buffer, ssize_t(video.size()), HD_PIXELS);
        } else if (c.where == layout::xilleon)
            ok = xilleon_source(planes, mem, HD_PIXELS, file("xres").c_str(), file("yres").c_str());
        else
            ok = broadcom_source(planes, mem,
                                 c.where == layout::bcm7401 ? STB_BRCM7401 : STB_BRCM4380,
                                 HD_PIXELS, file("yres").c_str());
        const yuv_frame frame = {planes.width, planes.height,
                                 planes.luma_at ? planes.luma_at : planes.luma.get(),
                                 planes.chroma_at ? planes.chroma_at : planes.chroma.get()};
        image.assign(3 * size_t(std::max(planes.width, 1)) * size_t(std::max(planes.height, 1)), 0);
        convert_frame(&frame, image.data(), c.where == layout::xilleon);
        return ok;
    }

    bool sampled(const sampled_case &c, frame_planes &planes, sampled_image &out)
    {
        if (c.where == layout::video)
            return sample_planes(planes, out, false);
        if (c.where == layout::xilleon)
            return xilleon_sampled(out, mem, HD_PIXELS, file("xres").c_str(), file("yres").c_str());
        return broadcom_sampled(out, mem, c.where == layout::bcm7401 ? STB_BRCM7401 : STB_BRCM4380,
                                HD_PIXELS, file("yres").c_str());
    }
};

// Steps 1 to 9 against the oracle; catches a sample from the wrong byte of a
// stripe, tile or reversed group, a chroma pair of the wrong block (odd last
// column and row, grey pictures), a wrong size, or bytes written past the samples.
TEST_P(Sampled, EqualsTheWholePictureAtTheSamples)
{
    const sampled_case c = GetParam();
    place(c);
    frame_planes planes;
    std::vector<uint8_t> image;
    ASSERT_TRUE(whole(c, planes, image));
    for (int step = 1; step <= 9; step++) {
        const std::vector<uint8_t> want = samples_of(image, planes.width, planes.height, step);
        std::vector<uint8_t> got(want.size() + 64, UNTOUCHED);
        sampled_image out;
        out.image = got.data();
        out.step = step;
        std::string printed;
        ASSERT_TRUE(printing([&] { return sampled(c, planes, out); }, &printed)) << printed;
        EXPECT_EQ(printed, "");
        EXPECT_EQ(out.width, planes.width);
        EXPECT_EQ(out.height, planes.height);
        EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + want.size()), want) << step;
        EXPECT_EQ(std::vector<uint8_t>(got.begin() + want.size(), got.end()),
                  std::vector<uint8_t>(64, UNTOUCHED))
            << step;
        EXPECT_EQ(physmem_sim_live_mappings(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, Sampled,
    testing::Values(sampled_case{layout::video, 37, 23}, sampled_case{layout::video, 1, 9},
                    sampled_case{layout::video, 11, 1}, sampled_case{layout::video, 720, 576},
                    sampled_case{layout::bcm7401, 100, 35},  // a short last stripe
                    sampled_case{layout::bcm7401, 198, 17},  // groups across rows
                    sampled_case{layout::bcm7401, 64, 1},    // one row: grey
                    sampled_case{layout::bcm4380, 1920, 1080},
                    sampled_case{layout::bcm4380, 132, 41},
                    sampled_case{layout::xilleon, 1920, 1080},  // 33 rows
                    sampled_case{layout::xilleon, 77, 100},     // 3 rows
                    sampled_case{layout::xilleon, 1, 64},       // one column: grey
                    sampled_case{layout::xilleon, 51, 40}));    // one row: grey

}  // namespace
