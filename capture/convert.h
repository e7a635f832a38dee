// YCbCr 4:2:0 to 3-byte pixels: BT.601 studio range (luma 16..235, chroma
// centred on 128) in 16.16 fixed point, integers only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "capture/frame.h"

// One 16.16 fixed-point product per sample byte.
using channel_table = std::array<int32_t, 256>;

// The products' steps: each coefficient times 65536, rounded to the nearest
// integer (luma 1.1644, Cr to red 1.5966, Cr to green 0.8132, Cb to green
// 0.3920, Cb to blue 2.0184). These approximate the BT.601 matrix; the
// integer steps, not the decimals, define the output.
constexpr int32_t Y_STEP = 76310;
constexpr int32_t CR_TO_R_STEP = 104635;
constexpr int32_t CR_TO_G_STEP = 53294;
constexpr int32_t CB_TO_G_STEP = 25690;
constexpr int32_t CB_TO_B_STEP = 132278;
// The sample values whose products are 0: black luma, colourless chroma.
constexpr int32_t Y_ZERO = 16;
constexpr int32_t CHROMA_ZERO = 128;

// Entry i = step * (i - zero).
constexpr channel_table make_channel_table(int32_t step, int32_t zero)
{
    channel_table table{};
    for (int32_t i = 0; i < 256; ++i)
        table[i] = step * (i - zero);
    return table;
}

// The luma table, which the conversion looks up once per pixel. The chroma
// products are taken once per 2x2 block straight from their rule,
// step * (value - 128), which is exactly the entry a table would hold; their
// tables are spelled out for reference only.
inline constexpr channel_table y_to_rgb = make_channel_table(Y_STEP, Y_ZERO);
inline constexpr channel_table cr_to_r = make_channel_table(CR_TO_R_STEP, CHROMA_ZERO);
inline constexpr channel_table cr_to_g = make_channel_table(CR_TO_G_STEP, CHROMA_ZERO);
inline constexpr channel_table cb_to_g = make_channel_table(CB_TO_G_STEP, CHROMA_ZERO);
inline constexpr channel_table cb_to_b = make_channel_table(CB_TO_B_STEP, CHROMA_ZERO);

// A 16.16 sum to a byte: the integer part, cut (not rounded), limited to
// 0..255. Sums of one luma and two chroma entries stay within +-35037396, so
// they never overflow before they get here.
constexpr unsigned char clamp_channel(int32_t sum)
{
    int32_t value = sum >> 16;
    if (value < 0)
        value = 0;
    if (value > 255)
        value = 255;
    return static_cast<unsigned char>(value);
}

// Converts the frame's width * height pixels into image (3 * width * height
// bytes, rows top to bottom, no gap). Byte order per pixel: red, green, blue
// when xilleon is true, else blue, green, red.
//
// Chroma comes in one pair per complete 2x2 block: (width / 2) * (height / 2)
// pairs. A pixel takes the pair of its own block; the last column of an odd
// width and the last row of an odd height have no block of their own and take
// the pair of the block to their left or above. A picture one pixel wide or
// one row high has no complete block and is converted as grey from its luma.
// Reads only luma bytes 0 .. width * height - 1 and chroma bytes below
// width * height / 2; a width or height of 0 or less writes nothing.
void convert_frame(const yuv_frame *frame, unsigned char *image, bool xilleon);

// --- pictures kept in stripes or tiles -------------------------------------
// Where the bytes of one plane lie: columns come in segments of 64. Segment
// start (a multiple of 64) of row r begins at
//   base + r * row_bytes + at,  at = (start >> unit_shift) * unit_bytes
//                                    + (start & (2^unit_shift - 1)),
// with at ^ odd_row_xor on odd rows; byte x of the segment lies x ^ group_xor
// bytes after that. unit_shift is at least 6. Plain planes: row_bytes =
// width, unit_bytes = 64, no xor. Broadcom stripes: rows 64 bytes apart,
// stripes of 64 columns unit_bytes apart, group_xor 3 (4-byte groups stored
// reversed). Xilleon tile rows: rows a tile row apart, tiles of 128 columns,
// odd_row_xor 64 (odd tile rows store the halves of a tile line exchanged).
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

// Where byte x of a row lies from the row's start, on an even or odd row.
int32_t column_offset(const plane_map &m, int32_t x, bool odd_row);

// convert_frame for a width x height picture whose planes lie as luma and
// chroma say, read where they lie. Both maps have the same group_xor; when it
// is 3 the width is a multiple of 4 and xilleon is false (no Xilleon decoder
// reverses its groups).
void convert_mapped(const plane_map &luma, const plane_map &chroma, int32_t width, int32_t height,
                    unsigned char *image, bool xilleon);

// Converts the samples of a width x height picture (both at least 1) as
// convert_frame would convert its pixels (byte order by xilleon, chroma by
// its 2x2 block rules, grey when one pixel wide or one row high): columns
// 0, step, 2 * step, ... of rows 0, step, 2 * step, ... into image, rows of
// ceil(width / step) pixels, top to bottom, no gap. Reads the luma bytes of
// the sampled pixels and the chroma pairs they take, nothing else.
void convert_sampled(const plane_map &luma, const plane_map &chroma, int32_t width, int32_t height,
                     int32_t step, unsigned char *image, bool xilleon);

// Samples along one dimension: ceil(size / step) for a size of at least 1.
constexpr int32_t sample_count(int32_t size, int32_t step)
{
    return 1 + (size - 1) / step;
}

// Where a sample's bytes lie from the starts of its luma row and of the
// chroma row that serves it: its luma byte, and its chroma pair's Cb.
struct sample_at {
    int32_t luma;
    int32_t chroma;
};

// Converts count samples of one picture row into out (3 bytes each, byte
// order as convert_frame): sample k has its luma byte at luma[at[k].luma],
// its chroma pair's Cb at chroma[at[k].chroma] and its Cr cr_step bytes
// after that (1, or -1 where the decoder stores 4-byte groups reversed). Each
// pixel is the one convert_frame makes from the same luma byte and pair.
void convert_samples(const unsigned char *luma, const unsigned char *chroma, const sample_at *at,
                     int32_t cr_step, int32_t count, unsigned char *out, bool xilleon);
