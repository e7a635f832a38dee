// YCbCr 4:2:0 to 3-byte pixels: BT.601 studio range (luma 16..235, chroma
// centred on 128) in 16.16 fixed point, integers only.
#pragma once

#include <array>
#include <cstdint>

#include "frame.h"

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

// Converts count samples of one picture row into out (3 bytes each, byte
// order as convert_frame): sample k has its luma byte at luma[luma_at[k]],
// its chroma pair's Cb at chroma[chroma_at[k]] and its Cr cr_step bytes
// after that (1, or -1 where the decoder stores 4-byte groups reversed). Each
// pixel is the one convert_frame makes from the same luma byte and pair.
void convert_samples(const unsigned char *luma, const int32_t *luma_at, const unsigned char *chroma,
                     const int32_t *chroma_at, int32_t cr_step, int32_t count, unsigned char *out,
                     bool xilleon);
