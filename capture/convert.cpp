// Colour conversion of a decoded picture into 3-byte pixels.
//
// Runs once per frame over up to 1920 x 1080 pixels on a small in-order MIPS
// core without SIMD: per 2x2 block four chroma products, per pixel one luma
// product (a multiplication is one instruction there, a table lookup three),
// three additions and three clamps (each a shift and a byte lookup); no
// division or floating point, no branch that depends on the picture, and
// nothing allocated. The one table (clamps, 812 bytes) stays in a small data
// cache. Pictures the decoder keeps in stripes or tiles are converted where
// they lie, 64 columns at a time.
#include "capture/convert.h"

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

// Every sum carries SUM_BIAS, lowest_part's distance to 0 in units of 65536,
// so that no sum is negative and its integer part (0 to 811) indexes the
// clamp table without a sign to extend.
constexpr int32_t SUM_BIAS = -lowest_part * 65536;

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

// clamp_channel(sum - SUM_BIAS) for a biased sum.
inline unsigned char clamp_sum(int32_t sum)
{
    return clamp_table[static_cast<uint32_t>(sum) >> 16];
}

// A pixel's luma product without its constant part, Y_STEP * y: one
// multiplication. The constant part, SUM_BIAS - Y_STEP * Y_ZERO, travels
// with the chroma terms of the block, so that each sum is one addition.
constexpr int32_t LUMA_CONSTANT = SUM_BIAS - Y_STEP * Y_ZERO;

inline int32_t luma_product(unsigned char luma)
{
    return Y_STEP * int32_t{luma};
}

// The chroma part of a 2x2 block's pixels, in output byte order, with the
// luma constant folded in: first and last are added to the luma product for
// bytes 0 and 2, green is subtracted from it for byte 1. Each sum is the
// biased luma table entry plus the chroma table entries, to the bit.
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
    constexpr int32_t BLUE_CONSTANT = LUMA_CONSTANT - CB_TO_B_STEP * CHROMA_ZERO;
    constexpr int32_t RED_CONSTANT = LUMA_CONSTANT - CR_TO_R_STEP * CHROMA_ZERO;
    constexpr int32_t GREEN_CONSTANT = -LUMA_CONSTANT - (CB_TO_G_STEP + CR_TO_G_STEP) * CHROMA_ZERO;
    const int32_t blue = CB_TO_B_STEP * int32_t{cb} + BLUE_CONSTANT;
    const int32_t red = CR_TO_R_STEP * int32_t{cr} + RED_CONSTANT;
    block_terms terms;
    terms.first = xilleon ? red : blue;
    terms.green = CB_TO_G_STEP * int32_t{cb} + CR_TO_G_STEP * int32_t{cr} + GREEN_CONSTANT;
    terms.last = xilleon ? blue : red;
    return terms;
}

inline void put_pixel(unsigned char *out, unsigned char luma, const block_terms &terms)
{
    const int32_t product = luma_product(luma);
    out[0] = clamp_sum(product + terms.first);
    out[1] = clamp_sum(product - terms.green);
    out[2] = clamp_sum(product + terms.last);
}

// One 2x2 block at columns x and x + 1 of two rows, coloured from one chroma
// pair. flip is 3 where the source stores each 4-byte group reversed (byte x
// at x ^ 3; a pair's Cr then precedes its Cb), else 0.
template <bool xilleon, int32_t flip>
inline void put_block(const unsigned char *luma0, const unsigned char *luma1,
                      const unsigned char *chroma, int32_t x, unsigned char *out0,
                      unsigned char *out1)
{
    const block_terms terms = terms_of_pair<xilleon>(chroma[x ^ flip], chroma[(x + 1) ^ flip]);
    put_pixel(out0 + 3 * x, luma0[x ^ flip], terms);
    put_pixel(out0 + 3 * x + 3, luma0[(x + 1) ^ flip], terms);
    put_pixel(out1 + 3 * x, luma1[x ^ flip], terms);
    put_pixel(out1 + 3 * x + 3, luma1[(x + 1) ^ flip], terms);
}

// Two luma rows coloured from one chroma row, eight blocks a step so that the
// five pointers move once per 16 columns, then a block (flip 0) or two
// (flip 3: whole 4-byte groups) at a time. With flip 0, an odd width's last
// column takes the pair of the block to its left (width is at least 2); with
// flip 3 the width is a multiple of 4.
template <bool xilleon, int32_t flip>
void convert_row_pair(const unsigned char *luma0, const unsigned char *luma1,
                      const unsigned char *chroma, unsigned char *out0, unsigned char *out1,
                      int32_t width)
{
    constexpr int32_t STEP = 16;  // columns: eight blocks
    constexpr int32_t TAIL = flip ? 4 : 2;
    const unsigned char *const steps_end = chroma + (width & ~(STEP - 1));
    for (; chroma != steps_end; chroma += STEP) {
#pragma GCC unroll 8
        for (int32_t x = 0; x < STEP; x += 2)
            put_block<xilleon, flip>(luma0, luma1, chroma, x, out0, out1);
        luma0 += STEP;
        luma1 += STEP;
        out0 += 3 * STEP;
        out1 += 3 * STEP;
    }
    const unsigned char *const chroma_end = steps_end + (width & (STEP - TAIL));
    for (; chroma != chroma_end; chroma += TAIL) {
#pragma GCC unroll 2
        for (int32_t x = 0; x < TAIL; x += 2)
            put_block<xilleon, flip>(luma0, luma1, chroma, x, out0, out1);
        luma0 += TAIL;
        luma1 += TAIL;
        out0 += 3 * TAIL;
        out1 += 3 * TAIL;
    }
    if (!flip && (width & 1)) {
        const block_terms terms = terms_of_pair<xilleon>(chroma[-2], chroma[-1]);
        put_pixel(out0, luma0[0], terms);
        put_pixel(out1, luma1[0], terms);
    }
}

// The last row of an odd height, coloured from the chroma row of the row pair
// above it; width as for convert_row_pair.
template <bool xilleon, int32_t flip>
void convert_last_row(const unsigned char *luma, const unsigned char *chroma, unsigned char *out,
                      int32_t width)
{
    const unsigned char *const chroma_end = chroma + (width & ~1);
    for (int32_t x = 0; chroma + x != chroma_end; x += 2) {
        const block_terms terms = terms_of_pair<xilleon>(chroma[x ^ flip], chroma[(x + 1) ^ flip]);
        put_pixel(out + 3 * x, luma[x ^ flip], terms);
        put_pixel(out + 3 * x + 3, luma[(x + 1) ^ flip], terms);
    }
    if (!flip && (width & 1))
        put_pixel(out + 3 * (width - 1), luma[width - 1],
                  terms_of_pair<xilleon>(chroma[width - 3], chroma[width - 2]));
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
        convert_row_pair<xilleon, 0>(luma, luma + stride, chroma, image, image + 3 * stride, width);
        luma += 2 * stride;
        chroma += stride;
        image += 6 * stride;
    }
    if (frame->height & 1)
        convert_last_row<xilleon, 0>(luma, chroma - stride, image, width);
}

// A picture one pixel wide or one row high holds no complete chroma pair
// within its width * height / 2 chroma bytes; it is shown without colour
// (Cb = Cr = 128, whose table entries are all 0).
void convert_grey(const unsigned char *luma, unsigned char *out, std::size_t count)
{
    for (; count > 0; --count) {
        const unsigned char value = clamp_sum(luma_product(*luma++) + LUMA_CONSTANT);
        out[0] = value;
        out[1] = value;
        out[2] = value;
        out += 3;
    }
}

// --- pictures kept in stripes or tiles ---------------------------------------

constexpr int32_t SEGMENT = 64;  // columns read as one run

// Where segment start (a multiple of 64) of a row lies from the row's start.
int32_t segment_offset(const plane_map &m, int32_t start, bool odd_row)
{
    const int32_t at = (start >> m.unit_shift) * m.unit_bytes + (start & ((1 << m.unit_shift) - 1));
    return odd_row ? at ^ m.odd_row_xor : at;
}

// A strip of COLUMNS columns (a compile-time count of 2, 4 or 16) down the
// picture's row pairs: luma0 and luma1 at the strip's start in rows 0 and 1,
// chroma in chroma row 0. Luma moves luma_step bytes a row pair; chroma
// moves chroma_step bytes, then turn - chroma_step, alternately (where even
// and odd rows keep a segment at different places), else always chroma_step.
template <bool xilleon, int32_t flip, int32_t COLUMNS>
void convert_strip(const unsigned char *luma0, const unsigned char *luma1,
                   const unsigned char *chroma, size_t luma_step, int32_t chroma_step, int32_t turn,
                   unsigned char *out, size_t out_row, int32_t pairs)
{
    unsigned char *out1 = out + out_row;
    for (; pairs > 0; --pairs) {
#pragma GCC unroll 8
        for (int32_t x = 0; x < COLUMNS; x += 2)
            put_block<xilleon, flip>(luma0, luma1, chroma, x, out, out1);
        luma0 += luma_step;
        luma1 += luma_step;
        chroma += chroma_step;
        if (xilleon)
            chroma_step = turn - chroma_step;
        out += 2 * out_row;
        out1 += 2 * out_row;
    }
}

// One segment of columns (a multiple of 2, or of 4 with flip 3) down the
// picture's row pairs, a strip of 16 columns at a time, then the rest. On
// Xilleon boxes odd rows keep the segment at another place than even rows.
template <bool xilleon, int32_t flip>
void convert_segment(const plane_map &luma, const plane_map &chroma, int32_t start, int32_t columns,
                     int32_t pairs, size_t out_row, unsigned char *out)
{
    constexpr int32_t STEP = 16, TAIL = flip ? 4 : 2;
    const unsigned char *const luma0 = luma.base + segment_offset(luma, start, false);
    const unsigned char *const luma1 =
        luma.base + luma.row_bytes + segment_offset(luma, start, true);
    const int32_t even_at = segment_offset(chroma, start, false);
    const unsigned char *const chroma0 = chroma.base + even_at;
    const auto turn = static_cast<int32_t>(2 * chroma.row_bytes);
    const int32_t chroma_step =
        static_cast<int32_t>(chroma.row_bytes) + segment_offset(chroma, start, true) - even_at;
    const size_t luma_step = 2 * luma.row_bytes;
    out += 3 * size_t(start);
    int32_t x = 0;
    for (; x + STEP <= columns; x += STEP)
        convert_strip<xilleon, flip, STEP>(luma0 + x, luma1 + x, chroma0 + x, luma_step,
                                           chroma_step, turn, out + 3 * x, out_row, pairs);
    for (; x < columns; x += TAIL)
        convert_strip<xilleon, flip, TAIL>(luma0 + x, luma1 + x, chroma0 + x, luma_step,
                                           chroma_step, turn, out + 3 * x, out_row, pairs);
}

// The pixel at column x of row r, coloured from the pair at column pair of
// chroma row q.
template <bool xilleon>
void put_mapped_pixel(const plane_map &luma, const plane_map &chroma, int32_t r, int32_t x,
                      int32_t q, int32_t pair, unsigned char *out)
{
    const unsigned char *const row = chroma.base + size_t(q) * chroma.row_bytes;
    const unsigned char cb = row[column_offset(chroma, pair, q & 1)];
    const unsigned char cr = row[column_offset(chroma, pair + 1, q & 1)];
    put_pixel(out, luma.base[size_t(r) * luma.row_bytes + size_t(column_offset(luma, x, r & 1))],
              terms_of_pair<xilleon>(cb, cr));
}

// The last row of an odd height, segment by segment, from the chroma row of
// the pair above it.
template <bool xilleon, int32_t flip>
void convert_mapped_last_row(const plane_map &luma, const plane_map &chroma, int32_t width,
                             int32_t height, unsigned char *out)
{
    const int32_t r = height - 1, q = height / 2 - 1;
    const unsigned char *const luma_row = luma.base + size_t(r) * luma.row_bytes;
    const unsigned char *const chroma_row = chroma.base + size_t(q) * chroma.row_bytes;
    for (int32_t start = 0; start < (width & ~1); start += SEGMENT)
        convert_last_row<xilleon, flip>(luma_row + segment_offset(luma, start, r & 1),
                                        chroma_row + segment_offset(chroma, start, q & 1),
                                        out + 3 * size_t(start),
                                        std::min(SEGMENT, (width & ~1) - start));
}

// A picture at least 2 x 2, segment by segment; an odd width's last column
// and an odd height's last row take the pairs to their left and above.
template <bool xilleon, int32_t flip>
void convert_mapped_blocks(const plane_map &luma, const plane_map &chroma, int32_t width,
                           int32_t height, unsigned char *image)
{
    const size_t out_row = 3 * size_t(width);
    const int32_t even = width & ~1;
    for (int32_t start = 0; start < even; start += SEGMENT)
        convert_segment<xilleon, flip>(luma, chroma, start, std::min(SEGMENT, even - start),
                                       height / 2, out_row, image);
    if (height & 1)
        convert_mapped_last_row<xilleon, flip>(luma, chroma, width, height,
                                               image + (height - 1) * out_row);
    if (width & 1)
        for (int32_t r = 0; r < height; ++r)
            put_mapped_pixel<xilleon>(luma, chroma, r, width - 1, std::min(r / 2, height / 2 - 1),
                                      width - 3, image + r * out_row + out_row - 3);
}

// One sample: its luma byte and chroma pair where at says.
template <bool xilleon, int32_t cr_step>
inline void put_sample(const unsigned char *luma, const unsigned char *chroma, const sample_at &at,
                       unsigned char *out)
{
    const unsigned char *const pair = chroma + at.chroma;
    put_pixel(out, luma[at.luma], terms_of_pair<xilleon>(pair[0], pair[cr_step]));
}

// Samples of one row, two at a step, each pixel with its own chroma pair;
// Cr lies cr_step bytes after Cb.
template <bool xilleon, int32_t cr_step>
void convert_sample_row(const unsigned char *luma, const unsigned char *chroma, const sample_at *at,
                        int32_t count, unsigned char *out)
{
    for (const sample_at *const pairs_end = at + (count & ~1); at != pairs_end; at += 2) {
        put_sample<xilleon, cr_step>(luma, chroma, at[0], out);
        put_sample<xilleon, cr_step>(luma, chroma, at[1], out + 3);
        out += 6;
    }
    if (count & 1)
        put_sample<xilleon, cr_step>(luma, chroma, at[0], out);
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

void convert_samples(const unsigned char *luma, const unsigned char *chroma, const sample_at *at,
                     int32_t cr_step, int32_t count, unsigned char *out, bool xilleon)
{
    if (xilleon && cr_step < 0)
        convert_sample_row<true, -1>(luma, chroma, at, count, out);
    else if (xilleon)
        convert_sample_row<true, 1>(luma, chroma, at, count, out);
    else if (cr_step < 0)
        convert_sample_row<false, -1>(luma, chroma, at, count, out);
    else
        convert_sample_row<false, 1>(luma, chroma, at, count, out);
}

plane_map plain_plane(const unsigned char *base, int32_t width)
{
    return {base, size_t(width), 6, SEGMENT, 0, 0};
}

int32_t column_offset(const plane_map &m, int32_t x, bool odd_row)
{
    return segment_offset(m, x & ~(SEGMENT - 1), odd_row) + ((x & (SEGMENT - 1)) ^ m.group_xor);
}

void convert_mapped(const plane_map &luma, const plane_map &chroma, int32_t width, int32_t height,
                    unsigned char *image, bool xilleon)
{
    if (width <= 0 || height <= 0)
        return;
    if (width == 1 || height == 1)
        convert_sampled(luma, chroma, width, height, 1, image, xilleon);
    else if (luma.group_xor)
        convert_mapped_blocks<false, 3>(luma, chroma, width, height, image);
    else if (xilleon)
        convert_mapped_blocks<true, 0>(luma, chroma, width, height, image);
    else
        convert_mapped_blocks<false, 0>(luma, chroma, width, height, image);
}
