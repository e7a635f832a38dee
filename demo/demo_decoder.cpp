// The simulated video decoder: pictures into /dev/video or /dev/mem.
#include "demo_decoder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "stb_box.h"

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

constexpr uint32_t PAGE = 4096;

void put16(std::vector<uint8_t> &block, size_t at, uint32_t value)
{
    block[at] = static_cast<uint8_t>(value);
    block[at + 1] = static_cast<uint8_t>(value >> 8);
}

void put32(std::vector<uint8_t> &block, size_t at, uint32_t value)
{
    put16(block, at, value);
    put16(block, at + 2, value >> 16);
}

bool uses_video_device(demo_chipset chipset)
{
    return chipset == demo_chipset::pallas || chipset == demo_chipset::vulcan;
}

// The register block and both striped planes, at base (the luma base, or
// where the DMA copy lands).
int show_brcm(stb_box *box, const demo_picture &p, uint32_t base)
{
    const brcm_layout layout = brcm_layout_for(p.width, p.height);
    const std::vector<uint8_t> registers = brcm_registers(layout);
    const std::vector<uint8_t> luma = brcm_stripes(p.luma.data(), p.width, layout.luma_rows);
    const std::vector<uint8_t> chroma = brcm_stripes(p.chroma.data(), p.width, layout.chroma_rows);
    const uint32_t chroma_at = base + (layout.chroma_base - layout.luma_base);
    int r = stb_box_write_picture_size(box, p.width, p.height);
    if (r == 0)
        r = stb_box_mem_write(box, BRCM_REGISTERS, registers.data(), registers.size());
    if (r == 0)
        r = stb_box_mem_write(box, base, luma.data(), luma.size());
    return r != 0 ? r : stb_box_mem_write(box, chroma_at, chroma.data(), chroma.size());
}

int show_xilleon(stb_box *box, const demo_picture &p)
{
    const std::vector<uint8_t> luma = xilleon_tiles(p.luma.data(), p.width, p.height);
    const std::vector<uint8_t> chroma = xilleon_tiles(p.chroma.data(), p.width, p.height / 2);
    int r = stb_box_write_picture_size(box, p.width, p.height);
    if (r == 0)
        r = stb_box_mem_write(box, XILLEON_WINDOW, luma.data(), luma.size());
    return r != 0 ? r
                  : stb_box_mem_write(box, XILLEON_WINDOW + XILLEON_CHROMA, chroma.data(),
                                      chroma.size());
}

// Stores 4 bytes in reverse order (widths are multiples of 16).
void store_reversed(uint8_t *to, const uint8_t *from)
{
    uint32_t word;
    memcpy(&word, from, 4);
    word = __builtin_bswap32(word);
    memcpy(to, &word, 4);
}

// Copies up to 64 bytes of plane columns [from, from + 64) clipped to the
// width into out.
void copy_half(uint8_t *out, const uint8_t *line, int width, int from)
{
    if (from < width)
        memcpy(out, line + from, static_cast<size_t>(std::min(64, width - from)));
}

}  // namespace

demo_picture demo_picture_make(int width, int height)
{
    demo_picture p;
    p.width = width;
    p.height = height;
    p.luma.assign(static_cast<size_t>(width) * height, 16);
    p.chroma.assign(static_cast<size_t>(width) * (height / 2), 128);
    return p;
}

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

int decoder_show(stb_box *box, demo_chipset chipset, const demo_picture &p)
{
    if (!chipset_size_problem(chipset, p.width, p.height).empty())
        return -EINVAL;
    if (uses_video_device(chipset))
        return stb_box_write_video(box, p.width, p.height, p.luma.data(), p.chroma.data());
    if (chipset == demo_chipset::xilleon)
        return show_xilleon(box, p);
    const bool dma = chipset == demo_chipset::brcm4380;
    return show_brcm(box, p, dma ? BRCM_DMA_PICTURE : BRCM_LUMA_BASE);
}

// --- Broadcom -----------------------------------------------------------------

int brcm_stripe_count(int width)
{
    return (width + BRCM_STRIPE - 1) / BRCM_STRIPE;
}

brcm_layout brcm_layout_for(int width, int height)
{
    brcm_layout layout;
    layout.width = width;
    layout.luma_rows = height;
    layout.chroma_rows = height / 2;
    const uint32_t luma_bytes =
        static_cast<uint32_t>(brcm_stripe_count(width) * height * BRCM_STRIPE);
    layout.chroma_base = layout.luma_base + (luma_bytes + PAGE - 1) / PAGE * PAGE;
    return layout;
}

uint32_t brcm_extent(const brcm_layout &layout)
{
    return layout.chroma_base - layout.luma_base +
           static_cast<uint32_t>(layout.width * (layout.chroma_rows + 64));
}

std::vector<uint8_t> brcm_registers(const brcm_layout &layout)
{
    std::vector<uint8_t> block(BRCM_REGISTERS_SIZE, 0);
    put16(block, 0x14, static_cast<uint32_t>(layout.width));
    put32(block, 0x1C, layout.luma_base);
    put32(block, 0x20, layout.chroma_base);
    // Stripe rows sit in bits 4-15 of 16-bit fields at odd offsets.
    put16(block, 0x27, static_cast<uint32_t>(layout.luma_rows) << 4);
    put16(block, 0x2B, static_cast<uint32_t>(layout.chroma_rows) << 4);
    return block;
}

std::vector<uint8_t> brcm_stripes(const uint8_t *plane, int width, int rows)
{
    const int stripes = brcm_stripe_count(width);
    std::vector<uint8_t> out(static_cast<size_t>(stripes) * rows * BRCM_STRIPE, 0);
    for (int k = 0; k < stripes; k++) {
        const int x = k * BRCM_STRIPE;
        const int length = std::min(BRCM_STRIPE, width - x);
        for (int r = 0; r < rows; r++) {
            uint8_t *to = &out[(static_cast<size_t>(k) * rows + r) * BRCM_STRIPE];
            const uint8_t *from = plane + static_cast<size_t>(r) * width + x;
            for (int c = 0; c < length; c += 4)  // the capture reverses each 4-byte group
                store_reversed(to + c, from + c);
        }
    }
    return out;
}

// --- Xilleon ------------------------------------------------------------------

std::vector<uint8_t> xilleon_tiles(const uint8_t *plane, int width, int rows)
{
    const int tile_rows = (rows + XILLEON_LINES - 1) / XILLEON_LINES;
    std::vector<uint8_t> out(static_cast<size_t>(tile_rows) * XILLEON_TILE_ROW, 0);
    for (int line = 0; line < rows; line++) {
        const int n = line / XILLEON_LINES;
        const bool exchanged = n % 2 == 1;
        const uint8_t *from = plane + static_cast<size_t>(line) * width;
        uint8_t *row = &out[static_cast<size_t>(n) * XILLEON_TILE_ROW +
                            (line % XILLEON_LINES) * 128];
        for (int k = 0; k * 128 < width; k++) {
            uint8_t *tile_line = row + k * 0x1000;
            copy_half(tile_line + (exchanged ? 64 : 0), from, width, 128 * k);
            copy_half(tile_line + (exchanged ? 0 : 64), from, width, 128 * k + 64);
        }
    }
    return out;
}
