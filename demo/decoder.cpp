// The simulated video decoder: pictures into /dev/video or /dev/mem.
#include "demo/decoder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim/box/stb_box.h"

namespace {

const std::vector<chipset_info> chipsets = {
    {demo_chipset::pallas, "pallas", "Pallas", 720, 576, true, "0 pallasfb\n",
     "system type\t\t: Pallas set-top box\ncpu model\t\t: MIPS 4KEc V4.8\n"},
    {demo_chipset::vulcan, "vulcan", "Vulcan", 720, 576, true, "0 vulcanfb\n",
     "system type\t\t: Vulcan set-top box\ncpu model\t\t: MIPS 4KEc V4.8\n"},
    {demo_chipset::brcm7401, "brcm7401", "Brcm7401", 1920, 1080, true, "0 bcmfb\n",
     "system type\t\t: BCM97401\ncpu model\t\t: Brcm4350 V8.0\n"},
    {demo_chipset::brcm4380, "brcm4380", "Brcm4380", 1920, 1080, true, "0 bcmfb\n",
     "system type\t\t: BCM97405\ncpu model\t\t: Brcm4380 V3.3\n"},
    {demo_chipset::xilleon, "xilleon", "Xilleon", 1920, 1080, false, "0 xilleonfb\n",
     "system type\t\t: Xilleon set-top box\ncpu model\t\t: MIPS 4KEc V6.8\n"},
};

bool uses_video_device(demo_chipset chipset)
{
    return chipset == demo_chipset::pallas || chipset == demo_chipset::vulcan;
}

// The register block and the striped memory of the picture at base (the
// luma base, or where the DMA copy lands).
int show_brcm(stb_box *box, const yuv_picture &p, uint32_t base)
{
    const stripe_geometry g = stripes_for(p.width, p.height);
    const std::vector<uint8_t> block = picture_block(
        p.width, DEMO_LUMA_BASE, DEMO_LUMA_BASE + g.chroma_offset, g.luma_rows, g.chroma_rows);
    const std::vector<uint8_t> memory = striped_memory(p, g);
    int r = stb_box_write_picture_size(box, p.width, p.height);
    if (r == 0)
        r = stb_box_mem_write(box, BRCM_BLOCK, block.data(), block.size());
    return r != 0 ? r : stb_box_mem_write(box, base, memory.data(), memory.size());
}

// The tile rows of both planes; the rest of the window stays as it is.
int show_xilleon(stb_box *box, const yuv_picture &p)
{
    const std::vector<uint8_t> luma = tile_rows(p.luma.data(), p.width, p.height, 0);
    const std::vector<uint8_t> chroma = tile_rows(p.chroma.data(), p.width, p.height / 2, 0);
    int r = stb_box_write_picture_size(box, p.width, p.height);
    if (r == 0)
        r = stb_box_mem_write(box, XILLEON_WINDOW, luma.data(), luma.size());
    return r != 0 ? r
                  : stb_box_mem_write(box, XILLEON_WINDOW + XILLEON_CHROMA, chroma.data(),
                                      chroma.size());
}

}  // namespace

const std::vector<chipset_info> &chipset_list()
{
    return chipsets;
}

const chipset_info &chipset_of(demo_chipset chipset)
{
    return chipsets[static_cast<size_t>(chipset)];
}

const chipset_info *chipset_by_flag(const std::string &flag)
{
    for (const chipset_info &c : chipsets)
        if (flag == c.flag)
            return &c;
    return nullptr;
}

std::string chipset_size_problem(demo_chipset chipset, int width, int height)
{
    const chipset_info &c = chipset_of(chipset);
    if (width < 16 || height < 2 || width % 16 != 0 || height % 2 != 0)
        return "the width must be a multiple of 16 and the height even";
    if (width > c.max_width || height > c.max_height)
        return std::string("a ") + c.name + " box shows at most " + std::to_string(c.max_width) +
               "x" + std::to_string(c.max_height);
    return "";
}

int decoder_prepare(stb_box *box, demo_chipset chipset)
{
    const chipset_info &c = chipset_of(chipset);
    int r = stb_box_write_text(box, "/proc/fb", c.proc_fb);
    if (r == 0)
        r = stb_box_write_text(box, "/proc/cpuinfo", c.cpuinfo);
    return r != 0 ? r : stb_box_make_mem(box);
}

int decoder_show(stb_box *box, demo_chipset chipset, const yuv_picture &p)
{
    if (!chipset_size_problem(chipset, p.width, p.height).empty())
        return -EINVAL;
    if (uses_video_device(chipset))
        return stb_box_write_video(box, p.width, p.height, p.luma.data(), p.chroma.data());
    if (chipset == demo_chipset::xilleon)
        return show_xilleon(box, p);
    const bool dma = chipset == demo_chipset::brcm4380;
    return show_brcm(box, p, dma ? BRCM_DMA_PICTURE : DEMO_LUMA_BASE);
}
