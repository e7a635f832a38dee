// The decoders' memory layouts, written byte by byte from their description.
#include "sim/box/decoder_memory.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

constexpr int STRIPE = 64;  // bytes of a stripe row
constexpr size_t PAGE = 0x1000;
constexpr int TILE_LINE = 128;             // bytes of a tile line
constexpr int TILE_LINES = 32;             // lines of a tile row
constexpr size_t TILE_BYTES = 0x1000;      // one tile: 32 lines of 128 bytes
constexpr size_t TILE_ROW_BYTES = 0xF000;  // 15 tiles, left to right

// Reverses each whole 4-byte group of the first length bytes.
void reverse_each_word(std::vector<uint8_t> &plane, size_t length)
{
    for (size_t k = 0; k + 4 <= length && k + 4 <= plane.size(); k += 4) {
        std::swap(plane[k], plane[k + 3]);
        std::swap(plane[k + 1], plane[k + 2]);
    }
}

// Stores a plane of rows rows as stripes from at.
void store_stripes(std::vector<uint8_t> &memory, size_t at, const std::vector<uint8_t> &plane,
                   int width, int rows)
{
    for (int k = 0; k < stripe_count(width); k++)
        for (int r = 0; r < rows; r++)
            memcpy(&memory[at + (size_t(k) * rows + r) * STRIPE],
                   &plane[size_t(r) * width + STRIPE * k], std::min(STRIPE, width - STRIPE * k));
}

void put_le(std::vector<uint8_t> &block, size_t at, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; i++)
        block[at + i] = uint8_t(value >> 8 * i);
}

}  // namespace

int stripe_count(int width)
{
    return (width + STRIPE - 1) / STRIPE;
}

uint32_t stripe_extent(const stripe_geometry &g)
{
    return g.chroma_offset + uint32_t(g.width) * uint32_t(g.chroma_rows + STRIPE);
}

stripe_geometry stripes_for(int width, int height, uint32_t gap)
{
    stripe_geometry g;
    g.width = width;
    g.luma_rows = (height + 15) / 16 * 16;
    g.chroma_rows = g.luma_rows / 2;
    const uint32_t luma_length = uint32_t(stripe_count(width)) * g.luma_rows * STRIPE;
    g.chroma_offset = uint32_t((luma_length + PAGE - 1) / PAGE * PAGE) + gap;
    return g;
}

std::vector<uint8_t> stripe_plane(const std::vector<uint8_t> &picture, int width, int rows)
{
    std::vector<uint8_t> plane(size_t(width) * rows, MEMORY_FILLER);
    memcpy(plane.data(), picture.data(), std::min(plane.size(), picture.size()));
    return plane;
}

std::vector<uint8_t> striped_memory(const yuv_picture &p, const stripe_geometry &g, bool reversed)
{
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

std::vector<uint8_t> picture_block(int width, uint32_t luma_word, uint32_t chroma_word,
                                   int luma_rows, int chroma_rows)
{
    std::vector<uint8_t> block(100);
    for (size_t i = 0; i < block.size(); i++)
        block[i] = uint8_t(0x93 * i + 0x35);
    put_le(block, 0x14, uint32_t(width), 2);
    put_le(block, 0x1C, luma_word, 4);
    put_le(block, 0x20, chroma_word, 4);
    // Bits 0-3 of the row fields are not theirs: the noise stays.
    put_le(block, 0x27, uint32_t(luma_rows) << 4 | (block[0x27] & 0x0F), 2);
    put_le(block, 0x2B, uint32_t(chroma_rows) << 4 | (block[0x2B] & 0x0F), 2);
    return block;
}

size_t tile_offset(int line, int column)
{
    const int tile_row = line / TILE_LINES, tile = column / TILE_LINE, c = column % TILE_LINE;
    const int half = TILE_LINE / 2;
    const int stored = tile_row % 2 ? (c < half ? c + half : c - half) : c;
    return size_t(tile_row) * TILE_ROW_BYTES + size_t(tile) * TILE_BYTES +
           size_t(line % TILE_LINES) * TILE_LINE + size_t(stored);
}

std::vector<uint8_t> tile_rows(const uint8_t *lines, int width, int count, uint8_t fill)
{
    const size_t rows = size_t(count + TILE_LINES - 1) / TILE_LINES;
    std::vector<uint8_t> region(rows * TILE_ROW_BYTES, fill);
    // A run of bytes within one half of a tile line stays together.
    for (int y = 0; y < count; y++)
        for (int x = 0; x < width;) {
            const int run = std::min(64 - x % 64, width - x);
            memcpy(&region[tile_offset(y, x)], lines + size_t(y) * width + x, size_t(run));
            x += run;
        }
    return region;
}

std::vector<uint8_t> tiled_window(const yuv_picture &p)
{
    std::vector<uint8_t> window(XILLEON_WINDOW_BYTES, MEMORY_FILLER);
    const std::vector<uint8_t> luma = tile_rows(p.luma.data(), p.width, p.height);
    const std::vector<uint8_t> chroma = tile_rows(p.chroma.data(), p.width, p.height / 2);
    std::copy_n(luma.begin(), std::min(luma.size(), XILLEON_CHROMA), window.begin());
    std::copy_n(chroma.begin(), std::min(chroma.size(), XILLEON_WINDOW_BYTES - XILLEON_CHROMA),
                window.begin() + XILLEON_CHROMA);
    return window;
}
