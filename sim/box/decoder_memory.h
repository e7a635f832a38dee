// The video decoders' memory as a box's capture finds it, written from the
// decoders' layouts and independently of the capture code: the Broadcom
// picture register block with the striped, byte-reversed planes, and the
// Xilleon tiled picture window. The one writer of decoder memory, for the
// unit tests (into the simulated physical memory), the end-to-end tests and
// the demo (into a simulated box's /dev/mem).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/box/picture.h"

// Where the boxes keep their pictures and registers (physical addresses).
constexpr uint32_t BRCM_BLOCK = 0x10100000;          // Broadcom picture register block
constexpr uint32_t BRCM_LUMA_BASE = 0x05000000;      // where the tests' decoder keeps luma stripes
constexpr uint32_t BRCM_DMA_WINDOW = 0x0FC00000;     // BCM4380 DMA window: descriptor first
constexpr uint32_t BRCM_DMA_PICTURE = 0x0FC01000;    // the copied picture within it
constexpr uint32_t BRCM_DMA_ROOM = 0x3FF000;         // bytes from there to 0x10000000
constexpr uint32_t BRCM_DMA_REGISTERS = 0x10C02000;  // BCM4380 DMA register page
constexpr uint32_t XILLEON_WINDOW = 0x06000000;      // Xilleon tiled picture window
constexpr size_t XILLEON_WINDOW_BYTES = 0xCA8000;
constexpr size_t XILLEON_CHROMA = 0xA8C000;  // its chroma region, from its start

// Bytes of memory that no picture byte lands on: stripe padding, rows below
// the picture, tile lines and tile rows outside it.
constexpr uint8_t MEMORY_FILLER = 0xEE;

// --- Broadcom: vertical stripes 64 bytes wide ---------------------------------

struct stripe_geometry {
    int width;               // the picture's width, a multiple of 4
    int luma_rows;           // rows of a luma stripe, at least the picture's height
    int chroma_rows;         // rows of a chroma stripe, at most luma_rows
    uint32_t chroma_offset;  // from the luma base, at least the luma stripes' length
};

// Stripes of a plane width bytes wide: (width + 63) / 64.
int stripe_count(int width);

// Bytes from the luma base that the decoder's description covers.
uint32_t stripe_extent(const stripe_geometry &g);

// A geometry as a decoder would choose it for a picture: stripes of the
// height rounded up to 16 rows, half as many chroma rows, chroma from the
// next 4 KiB after the luma stripes plus gap bytes.
stripe_geometry stripes_for(int width, int height, uint32_t gap = 0);

// The plane the decoder holds: rows rows of width bytes, the picture's rows
// first, then rows of MEMORY_FILLER.
std::vector<uint8_t> stripe_plane(const std::vector<uint8_t> &picture, int width, int rows);

// extent bytes of memory from the luma base holding p as the decoder stores
// it: luma stripes (stripe k, columns 64k..64k+63, at k * rows * 64, its row
// r at r * 64 within it, 64 bytes a row even when the last stripe holds
// fewer columns), chroma stripes likewise from the chroma offset, and
// (reversed) every 4-byte group of the planes in reverse byte order, luma
// over all its rows and chroma over its first luma_rows / 2 rows. Bytes no
// picture byte lands on hold MEMORY_FILLER.
std::vector<uint8_t> striped_memory(const yuv_picture &p, const stripe_geometry &g,
                                    bool reversed = true);

// The picture register block (100 bytes) describing a picture, with noise
// in every byte and bit the decoder leaves to other uses: width at 0x14
// (16 bits), luma_word at 0x1C and chroma_word at 0x20 (32 bits, the low 8
// bits not address), luma_rows and chroma_rows in bits 4-15 of the 16-bit
// fields at 0x27 and 0x2B; all little-endian.
std::vector<uint8_t> picture_block(int width, uint32_t luma_word, uint32_t chroma_word,
                                   int luma_rows, int chroma_rows);

// --- Xilleon: tiles of 128 bytes by 32 lines ----------------------------------

// Offset within its region of byte column of line (a luma picture line, or
// a chroma row): tile row line / 32 at 0xF000 each, tile column / 128 at
// 0x1000 each within it, tile line line % 32 at 128 each within the tile;
// odd tile rows store the two 64-byte halves of a tile line exchanged.
size_t tile_offset(int line, int column);

// The tile rows holding count lines of width bytes (at most 1920) from
// lines, each byte where tile_offset puts it: (count + 31) / 32 tile rows
// of 0xF000 bytes; bytes no line lands on hold fill.
std::vector<uint8_t> tile_rows(const uint8_t *lines, int width, int count,
                               uint8_t fill = MEMORY_FILLER);

// The picture window holding p (at most 1920 wide): luma lines from the
// window's start, chroma rows (one per two lines) from XILLEON_CHROMA;
// MEMORY_FILLER elsewhere.
std::vector<uint8_t> tiled_window(const yuv_picture &p);
