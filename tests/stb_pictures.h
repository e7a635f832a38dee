// Test pictures placed where the Broadcom and Xilleon decoders keep them:
// striped, byte-reversed memory and the tiled picture window, written from
// the decoders' memory layouts, independently of the capture code.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "pictures.h"

// Bytes of memory that no picture byte lands on: stripe padding, rows below
// the picture, tile lines and tile rows outside it.
// Where the boxes keep their pictures and registers (physical addresses).
constexpr uint32_t BLOCK = 0x10100000;           // Broadcom picture register block
constexpr uint32_t LUMA_BASE = 0x05000000;       // where these tests put the luma stripes
constexpr uint32_t DMA_WINDOW = 0x0FC00000;      // BCM4380 DMA window: descriptor first
constexpr uint32_t DMA_PICTURE = 0x0FC01000;     // the copied picture within it
constexpr uint32_t DMA_REGISTERS = 0x10C02000;   // BCM4380 DMA register page
constexpr uint32_t XILLEON_WINDOW = 0x06000000;  // Xilleon tiled picture window

constexpr uint8_t MEMORY_FILLER = 0xEE;

// --- Broadcom: vertical stripes 64 bytes wide ---------------------------------

struct stripe_geometry {
    int width;               // the picture's width, a multiple of 4
    int luma_rows;           // rows of a luma stripe, at least the picture's height
    int chroma_rows;         // rows of a chroma stripe, at most luma_rows
    uint32_t chroma_offset;  // from the luma base, at least the luma stripes' length
};

inline int stripe_count(int width)
{
    return (width + 63) / 64;
}

// Bytes from the luma base that the decoder's description covers.
inline uint32_t stripe_extent(const stripe_geometry &g)
{
    return g.chroma_offset + uint32_t(g.width) * uint32_t(g.chroma_rows + 64);
}

// A geometry as a decoder would choose it for a picture: stripes of the
// height rounded up to 16 rows, half as many chroma rows, chroma from the
// next 4 KiB after the luma stripes plus gap bytes.
inline stripe_geometry stripes_for(int width, int height, uint32_t gap = 0)
{
    stripe_geometry g;
    g.width = width;
    g.luma_rows = (height + 15) / 16 * 16;
    g.chroma_rows = g.luma_rows / 2;
    const uint32_t luma_length = uint32_t(stripe_count(width)) * g.luma_rows * 64;
    g.chroma_offset = (luma_length + 0xFFF) / 0x1000 * 0x1000 + gap;
    return g;
}

// Reverses each whole 4-byte group of the first length bytes.
inline void reverse_each_word(std::vector<uint8_t> &plane, size_t length)
{
    for (size_t k = 0; k + 4 <= length && k + 4 <= plane.size(); k += 4) {
        std::swap(plane[k], plane[k + 3]);
        std::swap(plane[k + 1], plane[k + 2]);
    }
}

// The plane the decoder holds: rows rows of width bytes, the picture's rows
// first, then filler rows.
inline std::vector<uint8_t> stripe_plane(const std::vector<uint8_t> &picture, int width, int rows)
{
    std::vector<uint8_t> plane(size_t(width) * rows, MEMORY_FILLER);
    memcpy(plane.data(), picture.data(), std::min(plane.size(), picture.size()));
    return plane;
}

// Stores a plane as stripes: stripe k (columns 64k..64k+63) at k * rows * 64,
// its row r at r * 64 within it, 64 bytes a row even when the last stripe
// holds fewer columns.
inline void store_stripes(std::vector<uint8_t> &memory, size_t at,
                          const std::vector<uint8_t> &plane, int width, int rows)
{
    for (int k = 0; k < stripe_count(width); k++)
        for (int r = 0; r < rows; r++)
            memcpy(&memory[at + (size_t(k) * rows + r) * 64], &plane[size_t(r) * width + 64 * k],
                   std::min(64, width - 64 * k));
}

// extent bytes of memory from the luma base holding p as the decoder stores
// it: luma stripes, chroma stripes from the chroma offset, and (reversed)
// every 4-byte group of the planes in reverse byte order, luma over all
// its rows and chroma over its first luma_rows / 2 rows.
inline std::vector<uint8_t> striped_memory(const test_picture &p, const stripe_geometry &g,
                                           bool reversed = true)
{
    assert(g.width == p.width && g.width % 4 == 0 && g.luma_rows >= p.height &&
           g.chroma_rows <= g.luma_rows);
    std::vector<uint8_t> luma = stripe_plane(p.luma, g.width, g.luma_rows);
    std::vector<uint8_t> chroma = stripe_plane(p.chroma, g.width, g.chroma_rows);
    if (reversed) {
        reverse_each_word(luma, luma.size());
        reverse_each_word(chroma, size_t(g.width) * (g.luma_rows / 2));
    }
    std::vector<uint8_t> memory(stripe_extent(g), MEMORY_FILLER);
    store_stripes(memory, 0, luma, g.width, g.luma_rows);
    store_stripes(memory, g.chroma_offset, chroma, g.width, g.chroma_rows);
    return memory;
}

// What a Broadcom box must make of the picture memory (extent bytes from
// the luma base) that g describes, derived byte by byte from the layout: the
// planes de-striped, the chroma rows the stripes lack zero, every 4-byte
// group reversed that starts below its plane's limit (chroma: width *
// (luma_rows / 2)) and ends inside the plane; the picture's first height rows.
inline test_picture destriped_picture(const std::vector<uint8_t> &memory,
                                      const stripe_geometry &g, int height)
{
    const size_t w = size_t(g.width);
    std::vector<uint8_t> luma(w * g.luma_rows), chroma(w * (g.chroma_rows + 64), 0);
    for (size_t r = 0; r < size_t(g.luma_rows); r++)
        for (size_t x = 0; x < w; x++) {
            const size_t at = (x / 64 * g.luma_rows + r) * 64 + x % 64;
            luma[r * w + x] = memory[at];
            if (r < size_t(g.chroma_rows))
                chroma[r * w + x] = memory[g.chroma_offset +
                                           (x / 64 * g.chroma_rows + r) * 64 + x % 64];
        }
    auto reverse = [](std::vector<uint8_t> &plane, size_t limit) {
        for (size_t k = 0; k < limit && k + 4 <= plane.size(); k += 4)
            std::reverse(plane.begin() + k, plane.begin() + k + 4);
    };
    reverse(luma, luma.size());
    reverse(chroma, w * (g.luma_rows / 2));
    test_picture p = blank_picture(g.width, height);
    std::copy(luma.begin(), luma.begin() + p.luma.size(), p.luma.begin());
    std::copy(chroma.begin(), chroma.begin() + p.chroma.size(), p.chroma.begin());
    return p;
}

// The Broadcom picture register block (100 bytes) describing a picture, with
// noise in every byte and bit the decoder leaves to other uses.
inline std::vector<uint8_t> picture_block(int width, uint32_t luma_word, uint32_t chroma_word,
                                          int luma_rows, int chroma_rows)
{
    std::vector<uint8_t> block(100);
    for (size_t i = 0; i < block.size(); i++)
        block[i] = uint8_t(0x93 * i + 0x35);
    auto put = [&](size_t at, uint32_t value, int bytes) {
        for (int i = 0; i < bytes; i++)
            block[at + i] = uint8_t(value >> 8 * i);
    };
    put(0x14, uint32_t(width), 2);
    put(0x1C, luma_word, 4);
    put(0x20, chroma_word, 4);
    // Rows in bits 4-15 of 16-bit fields at odd offsets; bits 0-3 are not theirs.
    put(0x27, uint32_t(luma_rows) << 4 | (block[0x27] & 0x0F), 2);
    put(0x2B, uint32_t(chroma_rows) << 4 | (block[0x2B] & 0x0F), 2);
    return block;
}

// --- Xilleon: tiles of 128 bytes by 32 lines -----------------------------------

constexpr size_t TILE_WINDOW_SIZE = 0xCA8000;
constexpr size_t TILE_CHROMA_REGION = 0xA8C000;

// Offset within its region of byte column of line (a luma picture line, or
// a chroma row): tile row line / 32 at 0xF000 each, tile column / 128 at
// 0x1000 each within it, tile line line % 32 at 128 each within the tile;
// odd tile rows store the two 64-byte halves of a tile line exchanged.
inline size_t tile_offset(int line, int column)
{
    const int tile_row = line / 32, tile = column / 128, c = column % 128;
    const int stored = tile_row % 2 ? (c < 64 ? c + 64 : c - 64) : c;
    return size_t(tile_row) * 0xF000 + size_t(tile) * 0x1000 + size_t(line % 32) * 128 + stored;
}

// Stores lines of width bytes in a region, each byte where tile_offset puts
// it; a run of bytes that tile_offset keeps together is stored at once.
inline void store_tiles(uint8_t *region, const uint8_t *lines, int width, int count)
{
    for (int y = 0; y < count; y++)
        for (int x = 0; x < width;) {
            const int run = std::min(64 - x % 64, width - x);
            memcpy(region + tile_offset(y, x), lines + size_t(y) * width + x, run);
            x += run;
        }
}

// The picture window holding p (at most 1920 wide): luma lines in the luma
// region, chroma rows (one per two lines) in the chroma region.
inline std::vector<uint8_t> tiled_window(const test_picture &p)
{
    std::vector<uint8_t> window(TILE_WINDOW_SIZE, MEMORY_FILLER);
    store_tiles(window.data(), p.luma.data(), p.width, p.height);
    store_tiles(window.data() + TILE_CHROMA_REGION, p.chroma.data(), p.width, p.height / 2);
    return window;
}

// What a Xilleon box makes of p: one row for every 32 lines (row r is line
// 32r, height / 32 rows), chroma row q the chroma of line 64q. The
// conversion colours the last row of an odd height from the chroma row above
// it, so that row's own chroma is made a copy of it here.
inline test_picture sampled_picture(const test_picture &p)
{
    test_picture s = blank_picture(p.width, p.height / 32);
    s.chroma.resize(size_t(p.width) * ((s.height + 1) / 2), 128);
    for (int r = 0; r < s.height; r++)
        memcpy(&s.luma[size_t(r) * p.width], &p.luma[size_t(32 * r) * p.width], p.width);
    for (int q = 0; q < s.height / 2; q++)
        memcpy(&s.chroma[size_t(q) * p.width], &p.chroma[size_t(32 * q) * p.width], p.width);
    if (s.height % 2 && s.height > 1)
        memcpy(&s.chroma[size_t(s.height / 2) * p.width],
               &s.chroma[size_t(s.height / 2 - 1) * p.width], p.width);
    return s;
}
