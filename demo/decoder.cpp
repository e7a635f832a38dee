// The simulated video decoder: pictures into /dev/video or /dev/mem.
#include "demo/decoder.h"

#include <cerrno>

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
        return stb_box_show_video(box, p);
    if (chipset == demo_chipset::xilleon)
        return stb_box_show_xilleon(box, p);
    const bool dma = chipset == demo_chipset::brcm4380;
    return stb_box_show_broadcom(box, p, stripes_for(p.width, p.height), DEMO_LUMA_BASE,
                                 dma ? BRCM_DMA_PICTURE : DEMO_LUMA_BASE);
}
