// Colour conversion of a decoded picture into 3-byte pixels.
//
// Runs once per frame over up to 1920 x 1080 pixels on a small in-order MIPS
// core without SIMD: per 2x2 block four chroma products, per pixel one luma
// lookup, three additions and three clamps (each a shift and a byte lookup);
// no multiplication, division or floating point per pixel, no branch that
// depends on the picture, and nothing allocated. The two tables (luma terms,
// 1 KiB, and clamps, 812 bytes) stay in a small data cache.
#include "convert.h"

#include <algorithm>
#include <cstddef>

namespace {

// Every sum the conversion forms lies in [lowest_sum, highest_sum]: the tables
// rise with their index, so the extremes come from their end entries.
constexpr int32_t lowest_sum = std::min(y_to_rgb[0] + std::min(cb_to_b[0], cr_to_r[0]),
                                        y_to_rgb[0] - (cb_to_g[255] + cr_to_g[255]));
constexpr int32_t highest_sum = std::max(y_to_rgb[255] + std::max(cb_to_b[255], cr_to_r[255]),
                                         y_to_rgb[255] - (cb_to_g[0] + cr_to_g[0]));
constexpr int32_t lowest_part = lowest_sum >> 16;
constexpr int32_t highest_part = highest_sum >> 16;
static_assert(lowest_part == -277 && highest_part == 534);

// The luma table with lowest_part's distance to 0 added to every entry in
// units of 65536, so that no sum is negative and its integer part
// (0 to 811) indexes the clamp table without a sign to extend.
constexpr int32_t SUM_BIAS = -lowest_part * 65536;

constexpr channel_table make_biased_luma_table()
{
    channel_table table{};
    for (int32_t i = 0; i < 256; ++i)
        table[i] = y_to_rgb[i] + SUM_BIAS;
    return table;
}

constexpr channel_table luma_terms = make_biased_luma_table();

// clamp_channel for every integer part a sum can have (-277 to 534), at
// that part + 277, so that the hot loop clamps with one byte load instead of
// compares and selects.
using clamp_table_type = std::array<unsigned char, highest_part - lowest_part + 1>;

constexpr clamp_table_type make_clamp_table()
{
    clamp_table_type table{};
    for (int32_t part = lowest_part; part <= highest_part; ++part)
        table[part - lowest_part] = clamp_channel(part * 65536);
    return table;
}

constexpr clamp_table_type clamp_table = make_clamp_table();

// clamp_channel(sum - SUM_BIAS) for a sum of a biased luma term and chroma
// terms.
inline unsigned char clamp_sum(int32_t sum)
{
    return clamp_table[static_cast<uint32_t>(sum) >> 16];
}

// The chroma part of a 2x2 block's pixels, in output byte order: first and
// last are added to the luma term for bytes 0 and 2, green is subtracted from
// it for byte 1.
struct block_terms {
    int32_t first;
    int32_t green;
    int32_t last;
};

// Terms of one chroma pair (Cb, Cr): the chroma tables' entries, taken from
// their rule (four multiplications a block, none a pixel, and no tables to
// keep in the data cache). Red and blue change places on Xilleon boxes; the
// chroma bytes themselves are read the same way on every box.
template <bool xilleon>
inline block_terms terms_of_pair(unsigned char cb, unsigned char cr)
{
    const int32_t cb_offset = int32_t{cb} - CHROMA_ZERO;
    const int32_t cr_offset = int32_t{cr} - CHROMA_ZERO;
    const int32_t blue = CB_TO_B_STEP * cb_offset;
    const int32_t red = CR_TO_R_STEP * cr_offset;
    block_terms terms;
    terms.first = xilleon ? red : blue;
    terms.green = CB_TO_G_STEP * cb_offset + CR_TO_G_STEP * cr_offset;
    terms.last = xilleon ? blue : red;
    return terms;
}

inline void put_pixel(unsigned char *out, unsigned char luma, const block_terms &terms)
{
    const int32_t luma_term = luma_terms[luma];
    out[0] = clamp_sum(luma_term + terms.first);
    out[1] = clamp_sum(luma_term - terms.green);
    out[2] = clamp_sum(luma_term + terms.last);
}

// One 2x2 block: the pixels at column 0 and 1 of two rows, coloured from one
// chroma pair.
template <bool xilleon>
inline void put_block(const unsigned char *luma0, const unsigned char *luma1,
                      const unsigned char *chroma, unsigned char *out0, unsigned char *out1)
{
    const block_terms terms = terms_of_pair<xilleon>(chroma[0], chroma[1]);
    put_pixel(out0, luma0[0], terms);
    put_pixel(out0 + 3, luma0[1], terms);
    put_pixel(out1, luma1[0], terms);
    put_pixel(out1 + 3, luma1[1], terms);
}

// Two luma rows coloured from one chroma row, eight blocks a step so that the
// five pointers move once per 32 pixels. An odd width's last column takes the
// pair of the block to its left (width is at least 2).
template <bool xilleon>
void convert_row_pair(const unsigned char *luma0, const unsigned char *luma1,
                      const unsigned char *chroma, unsigned char *out0, unsigned char *out1,
                      int32_t width)
{
    constexpr int32_t STEP = 16;  // columns: eight blocks
    const unsigned char *const steps_end = chroma + (width & ~(STEP - 1));
    for (; chroma != steps_end; chroma += STEP) {
#pragma GCC unroll 8
        for (int32_t x = 0; x < STEP; x += 2)
            put_block<xilleon>(luma0 + x, luma1 + x, chroma + x, out0 + 3 * x, out1 + 3 * x);
        luma0 += STEP;
        luma1 += STEP;
        out0 += 3 * STEP;
        out1 += 3 * STEP;
    }
    const unsigned char *const chroma_end = steps_end + (width & (STEP - 2));
    for (; chroma != chroma_end; chroma += 2) {
        put_block<xilleon>(luma0, luma1, chroma, out0, out1);
        luma0 += 2;
        luma1 += 2;
        out0 += 6;
        out1 += 6;
    }
    if (width & 1) {
        const block_terms terms = terms_of_pair<xilleon>(chroma[-2], chroma[-1]);
        put_pixel(out0, luma0[0], terms);
        put_pixel(out1, luma1[0], terms);
    }
}

// The last row of an odd height, coloured from the chroma row of the row pair
// above it.
template <bool xilleon>
void convert_last_row(const unsigned char *luma, const unsigned char *chroma, unsigned char *out,
                      int32_t width)
{
    const unsigned char *const chroma_end = chroma + (width & ~1);
    for (; chroma != chroma_end; chroma += 2) {
        const unsigned char y0 = luma[0], y1 = luma[1];
        const block_terms terms = terms_of_pair<xilleon>(chroma[0], chroma[1]);
        put_pixel(out, y0, terms);
        put_pixel(out + 3, y1, terms);
        luma += 2;
        out += 6;
    }
    if (width & 1)
        put_pixel(out, luma[0], terms_of_pair<xilleon>(chroma[-2], chroma[-1]));
}

// A picture at least 2 x 2. Chroma rows 0 .. height / 2 - 1 are read, each up
// to byte 2 * (width / 2) - 1, so the last byte read lies below
// (height / 2) * width <= width * height / 2.
template <bool xilleon>
void convert_blocks(const yuv_frame *frame, unsigned char *image)
{
    const int32_t width = frame->width;
    const std::ptrdiff_t stride = width;
    const unsigned char *luma = frame->luma;
    const unsigned char *chroma = frame->chroma;
    for (int32_t pairs = frame->height / 2; pairs > 0; --pairs) {
        convert_row_pair<xilleon>(luma, luma + stride, chroma, image, image + 3 * stride, width);
        luma += 2 * stride;
        chroma += stride;
        image += 6 * stride;
    }
    if (frame->height & 1)
        convert_last_row<xilleon>(luma, chroma - stride, image, width);
}

// A picture one pixel wide or one row high holds no complete chroma pair
// within its width * height / 2 chroma bytes; it is shown without colour
// (Cb = Cr = 128, whose table entries are all 0).
void convert_grey(const unsigned char *luma, unsigned char *out, std::size_t count)
{
    for (; count > 0; --count) {
        const unsigned char value = clamp_sum(luma_terms[*luma++]);
        out[0] = value;
        out[1] = value;
        out[2] = value;
        out += 3;
    }
}

// Samples of one row, each pixel with its own chroma pair; Cr lies cr_step
// bytes after Cb.
template <bool xilleon, int32_t cr_step>
void convert_sample_row(const unsigned char *luma, const int32_t *luma_at,
                        const unsigned char *chroma, const int32_t *chroma_at, int32_t count,
                        unsigned char *out)
{
    for (const int32_t *const end = luma_at + count; luma_at != end; ++luma_at, ++chroma_at) {
        const unsigned char *const pair = chroma + *chroma_at;
        put_pixel(out, luma[*luma_at], terms_of_pair<xilleon>(pair[0], pair[cr_step]));
        out += 3;
    }
}

}  // namespace

void convert_frame(const yuv_frame *frame, unsigned char *image, bool xilleon)
{
    const int32_t width = frame->width;
    const int32_t height = frame->height;
    if (width <= 0 || height <= 0)
        return;
    if (width == 1 || height == 1)
        convert_grey(frame->luma, image,
                     static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    else if (xilleon)
        convert_blocks<true>(frame, image);
    else
        convert_blocks<false>(frame, image);
}

void convert_samples(const unsigned char *luma, const int32_t *luma_at, const unsigned char *chroma,
                     const int32_t *chroma_at, int32_t cr_step, int32_t count, unsigned char *out,
                     bool xilleon)
{
    if (xilleon && cr_step < 0)
        convert_sample_row<true, -1>(luma, luma_at, chroma, chroma_at, count, out);
    else if (xilleon)
        convert_sample_row<true, 1>(luma, luma_at, chroma, chroma_at, count, out);
    else if (cr_step < 0)
        convert_sample_row<false, -1>(luma, luma_at, chroma, chroma_at, count, out);
    else
        convert_sample_row<false, 1>(luma, luma_at, chroma, chroma_at, count, out);
}
