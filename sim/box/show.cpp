// Pictures into a simulated box where each decoder presents them, in the
// layouts of the one writer of decoder memory (decoder_memory.h).
#include "sim/box/stb_box.h"

int stb_box_show_video(stb_box *box, const yuv_picture &p)
{
    return stb_box_write_video(box, p.width, p.height, p.luma.data(), p.chroma.data());
}

int stb_box_show_broadcom(stb_box *box, const yuv_picture &p, const stripe_geometry &g,
                          uint32_t luma_base, uint32_t memory_at, uint8_t address_noise)
{
    const std::vector<uint8_t> block =
        picture_block(g.width, luma_base | address_noise,
                      (luma_base + g.chroma_offset) | address_noise, g.luma_rows, g.chroma_rows);
    const std::vector<uint8_t> memory = striped_memory(p, g);
    int r = stb_box_write_picture_size(box, p.width, p.height);
    if (r == 0)
        r = stb_box_mem_write(box, BRCM_BLOCK, block.data(), block.size());
    return r != 0 ? r : stb_box_mem_write(box, memory_at, memory.data(), memory.size());
}

int stb_box_show_xilleon(stb_box *box, const yuv_picture &p)
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
