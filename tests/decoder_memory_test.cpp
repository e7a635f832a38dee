// The one writer of decoder memory (sim/box/decoder_memory.h) against the
// decoders' layout examples: every test of the capture, the end-to-end runs
// and the demo rest on it, so a writer that agrees with a wrong layout
// would hide a wrong capture.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sim/box/decoder_memory.h"
#include "tests/pictures.h"

namespace {

using bytes = std::vector<uint8_t>;

// --- Broadcom ---------------------------------------------------------------------

// The writer against the 128-wide layout example; catches a writer agreeing with a wrong layout.
TEST(BrcmWriter, MatchesTheLayoutExample)
{
    yuv_picture p = random_picture(128, 2, 3);
    const stripe_geometry g = {128, 2, 1, 256};
    std::vector<uint8_t> m = striped_memory(p, g, false);
    ASSERT_EQ(m.size(), 256u + 128 * 65);
    const uint8_t *luma = p.luma.data(), *chroma = p.chroma.data();
    EXPECT_EQ(memcmp(&m[0], luma, 64), 0) << "luma row 0, columns 0-63";
    EXPECT_EQ(memcmp(&m[64], luma + 128, 64), 0) << "luma row 1, columns 0-63";
    EXPECT_EQ(memcmp(&m[128], luma + 64, 64), 0) << "luma row 0, columns 64-127";
    EXPECT_EQ(memcmp(&m[192], luma + 192, 64), 0) << "luma row 1, columns 64-127";
    EXPECT_EQ(memcmp(&m[256], chroma, 64), 0) << "chroma row 0, bytes 0-63";
    EXPECT_EQ(memcmp(&m[320], chroma + 64, 64), 0) << "chroma row 0, bytes 64-127";

    p.luma[0] = 1, p.luma[1] = 2, p.luma[2] = 3, p.luma[3] = 4;
    m = striped_memory(p, g, true);
    EXPECT_EQ(std::vector<uint8_t>(m.begin(), m.begin() + 4), (std::vector<uint8_t>{4, 3, 2, 1}));
    // Reversed groups keep their stripe places.
    EXPECT_EQ(m[64 + 3], p.luma[128]) << "row 1, column 0";
    EXPECT_EQ(m[128 + 3], p.luma[64]) << "row 0, column 64";
    EXPECT_EQ(m[192], p.luma[128 + 64 + 3]) << "row 1, column 67";
}

// Width 720: 12 stripes, the last holding 16 columns in 64-byte rows; catches
// a short last stripe packed tighter than 64 bytes a row.
TEST(BrcmWriter, Width720HasTwelveStripes)
{
    const yuv_picture p = random_picture(720, 4, 3);
    const stripe_geometry g = {720, 4, 2, 12 * 4 * 64};
    const bytes m = striped_memory(p, g, true);
    EXPECT_EQ(stripe_count(720), 12);
    const size_t last_row0 = (11 * 4 + 0) * 64;
    EXPECT_EQ(m[last_row0 + 3], p.luma[704]);
    EXPECT_EQ(bytes(m.begin() + last_row0 + 16, m.begin() + last_row0 + 64),
              bytes(48, MEMORY_FILLER));
}

// The register block a decoder writes for its own 720 x 576 geometry holds
// width, bases and stripe rows where the capture takes them; a field at
// the wrong offset or shift would garble every frame.
TEST(BrcmWriter, RegisterBlockFields)
{
    const stripe_geometry g = stripes_for(720, 576);
    const bytes block =
        picture_block(720, 0x04000000, 0x04000000 + g.chroma_offset, g.luma_rows, g.chroma_rows);
    ASSERT_EQ(block.size(), 100u);
    EXPECT_EQ(block[0x14] | block[0x15] << 8, 720);
    EXPECT_EQ(block[0x27] & 0xF0, 0x00);  // 576 rows: 0x2400 >> 4
    EXPECT_EQ(block[0x28], 0x24);
    EXPECT_EQ((block[0x2B] | block[0x2C] << 8) >> 4, 288);
    uint32_t luma, chroma;
    memcpy(&luma, &block[0x1C], 4);
    memcpy(&chroma, &block[0x20], 4);
    EXPECT_EQ(luma, 0x04000000u);
    EXPECT_EQ(chroma % 4096, 0u) << "page-aligned, low 8 bits clear";
    EXPECT_GE(chroma - luma, 12u * 576 * 64) << "chroma above the 12 luma stripes";
}

// A full-HD picture's stripes fit the BCM4380's DMA window; a larger extent
// would leave the copy beyond what the capture can read.
TEST(BrcmWriter, FullHdFitsTheDmaWindow)
{
    EXPECT_LE(stripe_extent(stripes_for(1920, 1080)), BRCM_DMA_ROOM);
}

// --- Xilleon ----------------------------------------------------------------------

// The tile writer against the layout examples; catches a writer agreeing with a wrong layout.
TEST(XilleonWriter, MatchesTheLayoutExamples)
{
    EXPECT_EQ(tile_offset(0, 640), 0x5000u);
    EXPECT_EQ(tile_offset(0, 719), 0x5000u + 79);
    EXPECT_EQ(tile_offset(32, 640), 0xF000u + 0x5000 + 64);
    EXPECT_EQ(tile_offset(32, 703), 0xF000u + 0x5000 + 127);
    EXPECT_EQ(tile_offset(32, 704), 0xF000u + 0x5000);
    EXPECT_EQ(tile_offset(32, 719), 0xF000u + 0x5000 + 15);
    EXPECT_EQ(tile_offset(1, 0), 128u);
    // Tile rows 19 and 9 are odd: their first stored byte is column 64.
    EXPECT_EQ(tile_offset(19 * 32, 64), 0x11D000u);
    EXPECT_EQ(XILLEON_CHROMA + tile_offset(9 * 32, 64), 0xB13000u);
    EXPECT_EQ(tile_offset(31, 1919), 14 * 0x1000u + 31 * 128 + 127);
}

// The row-fill example of the layout for width 720: tile 5 holds columns
// 640-719; an odd tile row stores columns 640-703 in bytes 64-127 and
// 704-719 in bytes 0-15; catches halves placed without the exchange.
TEST(XilleonWriter, TileRowsOfTheLayoutExample)
{
    const yuv_picture p = random_picture(720, 64, 7);
    const bytes tiles = tile_rows(p.luma.data(), 720, 64, 0);
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
    EXPECT_EQ(tiles[tile5 + 80], 0) << "beyond column 719: the fill";
}

// The whole window: both regions hold their tile rows, the rest the filler;
// catches chroma written at the wrong region or luma spilling into it.
TEST(XilleonWriter, WindowHoldsBothRegions)
{
    const yuv_picture p = random_picture(256, 64, 8);
    const bytes window = tiled_window(p);
    ASSERT_EQ(window.size(), XILLEON_WINDOW_BYTES);
    const bytes luma = tile_rows(p.luma.data(), 256, 64);
    const bytes chroma = tile_rows(p.chroma.data(), 256, 32);
    EXPECT_EQ(bytes(window.begin(), window.begin() + long(luma.size())), luma);
    EXPECT_EQ(bytes(window.begin() + long(XILLEON_CHROMA),
                    window.begin() + long(XILLEON_CHROMA + chroma.size())),
              chroma);
    EXPECT_EQ(window[luma.size()], MEMORY_FILLER);
    EXPECT_EQ(window.back(), MEMORY_FILLER);
}

}  // namespace
