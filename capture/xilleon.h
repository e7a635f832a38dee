// The Xilleon source's tile layout: picture window, tiles of 128 bytes by 32
// lines, one line sampled from every tile row.
#pragma once

#include <cstddef>
#include <cstdint>

// Picture window: 0xCA8000 bytes at physical 0x06000000; luma tiles from its
// start, chroma tiles (Cb, Cr pairs) from 0xA8C000.
constexpr uint32_t XILLEON_WINDOW_ADDRESS = 0x06000000;
constexpr size_t XILLEON_WINDOW_SIZE = 0xCA8000;
constexpr size_t XILLEON_CHROMA_AT = 0xA8C000;

// The tile layout: tiles of 128 bytes by 32 lines (0x1000 bytes), 15 of
// them left to right in a tile row; odd tile rows store the two 64-byte
// halves of each tile line exchanged.
constexpr size_t XILLEON_TILE_SIZE = 0x1000;
constexpr size_t XILLEON_TILE_ROW_SIZE = 0xF000;
constexpr int32_t XILLEON_HALF_LINE = 64;

// Picture sizes the window can hold: up to 1920 bytes a line (one tile row);
// 3 to 2303 lines (the planes must hold the first pair of rows, and the
// chroma pairs read must lie in the window's 36 chroma tile rows).
constexpr int32_t XILLEON_MAX_WIDTH = 1920;
constexpr int32_t XILLEON_MIN_HEIGHT = 3;
constexpr int32_t XILLEON_MAX_HEIGHT = 2303;

// Fills the sampled planes of a width x height picture from window (the
// mapped picture window): luma row r = tile line 0 of luma tile row r (picture
// line 32r) for rows 0..2*(T/2)+1, T = height / 32; chroma row q = tile line
// 0 of chroma tile row q for rows 0..2*(P/2)+1, P = T / 2. The size must be
// one the source accepts (width 0 to XILLEON_MAX_WIDTH, height
// XILLEON_MIN_HEIGHT to XILLEON_MAX_HEIGHT): the rows read then lie within
// the window. Writes only within luma_size and chroma_size bytes.
void sample_picture(const unsigned char *window, int32_t width, int32_t height, unsigned char *luma,
                    size_t luma_size, unsigned char *chroma, size_t chroma_size);
