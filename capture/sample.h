// The sampled capture's common part: where a chipset's planes keep a
// sample's bytes, and the conversion of every step-th column of every
// step-th row straight from there.
#pragma once

#include <cstddef>
#include <cstdint>

// Where the bytes of one plane lie. Byte x of plane row r is at
//   base + r * row_bytes + offset,  offset = (c >> unit_shift) * unit_bytes
//                                            + (c & (2^unit_shift - 1)),
// c = x ^ group_xor, and the offset ^ odd_row_xor on odd rows. Plain planes:
// row_bytes = width, unit_bytes = 2^unit_shift, no xor. Broadcom stripes:
// rows 64 bytes apart, stripes of 64 columns unit_bytes apart, group_xor 3
// (4-byte groups stored reversed). Xilleon tile rows: rows a tile row
// apart, tiles of 128 columns, odd_row_xor 64 (odd tile rows store the
// halves of a tile line exchanged).
struct plane_map {
    const unsigned char *base;
    size_t row_bytes;
    int32_t unit_shift;
    int32_t unit_bytes;
    int32_t group_xor;
    int32_t odd_row_xor;
};

// A plain plane: rows width bytes apart from base.
plane_map plain_plane(const unsigned char *base, int32_t width);

// Converts the samples of a width x height picture (both at least 1) as
// convert_frame would convert its pixels (byte order by xilleon, chroma by
// its 2x2 block rules, grey when one pixel wide or one row high): columns
// 0, step, 2 * step, ... of rows 0, step, 2 * step, ... into image, rows of
// ceil(width / step) pixels, top to bottom, no gap. Reads luma bytes of the
// sampled pixels and the chroma pairs they take, nothing else; within a
// 4-byte group stored reversed, a pair's Cr is the byte before its Cb.
void convert_sampled(const plane_map &luma, const plane_map &chroma, int32_t width, int32_t height,
                     int32_t step, unsigned char *image, bool xilleon);

// Samples along one dimension: ceil(size / step) for a size of at least 1.
constexpr int32_t sample_count(int32_t size, int32_t step)
{
    return 1 + (size - 1) / step;
}
