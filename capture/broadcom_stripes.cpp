// The Broadcom decoder's striped picture memory, re-assembled into plain
// planes, and the 4-byte byte-order reversal of those planes. Runs once per
// frame over up to 30 stripes of 1088 rows, so both are done in one pass
// where the stripes allow it.
#include <algorithm>
#include <cstring>

#include "capture/broadcom.h"

namespace {

// Copies rows of one stripe: rows of length bytes, 64 bytes apart in the
// source, stride bytes apart in the plane.
void copy_stripe_rows(unsigned char *plane, size_t stride, const unsigned char *source,
                      int32_t rows, size_t length)
{
    for (int32_t r = 0; r < rows; ++r) {
        memcpy(plane, source, length);
        plane += stride;
        source += BRCM_STRIPE_WIDTH;
    }
}

// Same for a full stripe; the fixed length lets the copy be inlined.
void copy_full_stripe_rows(unsigned char *plane, size_t stride, const unsigned char *source,
                           int32_t rows)
{
    for (int32_t r = 0; r < rows; ++r) {
        memcpy(plane, source, BRCM_STRIPE_WIDTH);
        plane += stride;
        source += BRCM_STRIPE_WIDTH;
    }
}

void copy_rows(unsigned char *plane, size_t stride, const unsigned char *source, int32_t rows,
               size_t length)
{
    if (length == BRCM_STRIPE_WIDTH)
        copy_full_stripe_rows(plane, stride, source, rows);
    else
        copy_stripe_rows(plane, stride, source, rows, length);
}

// b0 b1 b2 b3 becomes b3 b2 b1 b0: the bytes of each half swapped, then the
// halves (eight operations where the processor has no byte swap of its own).
inline uint32_t reversed(uint32_t word)
{
    const uint32_t swapped = (word >> 8 & 0x00FF00FFu) | (word & 0x00FF00FFu) << 8;
    return swapped >> 16 | swapped << 16;
}

// One 4-byte group copied reversed, both ends word-aligned.
inline void copy_group_reversed(const unsigned char *from, unsigned char *to)
{
    uint32_t word;
    memcpy(&word, __builtin_assume_aligned(from, 4), 4);
    word = reversed(word);
    memcpy(__builtin_assume_aligned(to, 4), &word, 4);
}

// copy_rows with each 4-byte group reversed on the way, for rows of a
// multiple of 4 bytes at word-aligned places of the source and the plane.
void copy_rows_reversed(unsigned char *plane, size_t stride, const unsigned char *source,
                        int32_t rows, size_t length)
{
    for (int32_t r = 0; r < rows; ++r) {
        if (length == BRCM_STRIPE_WIDTH) {
#pragma GCC unroll 16
            for (size_t i = 0; i < BRCM_STRIPE_WIDTH; i += 4)
                copy_group_reversed(source + i, plane + i);
        } else
            for (size_t i = 0; i < length; i += 4)
                copy_group_reversed(source + i, plane + i);
        plane += stride;
        source += BRCM_STRIPE_WIDTH;
    }
}

// Whether the stripes' 4-byte groups are the planes' own: every row and
// stripe starts at a multiple of 4 in the plane, and so do the source's rows
// (the mapping and the chroma offset are word-aligned).
bool groups_line_up(const unsigned char *source, const stripe_layout &layout,
                    const unsigned char *luma, const unsigned char *chroma, size_t chroma_reversed)
{
    const auto aligned = [](const void *p) { return reinterpret_cast<uintptr_t>(p) % 4 == 0; };
    return layout.width > 0 && layout.width % 4 == 0 && layout.chroma_offset % 4 == 0 &&
           chroma_reversed % size_t(layout.width) == 0 && aligned(source) && aligned(luma) &&
           aligned(chroma);
}

// Chroma bytes from filled up to reach (the reversal's reach) hold nothing the
// decoder provided: fewer chroma stripe rows than the reversal covers, or the
// group straddling its limit. They are zeroed, so that no byte the decoder did
// not provide moves into a row the conversion reads.
void clear_unfilled(unsigned char *chroma, size_t filled, size_t reach)
{
    if (filled < reach)
        memset(chroma + filled, 0, reach - filled);
}

}  // namespace

void destripe(const unsigned char *source, const stripe_layout &layout, unsigned char *luma,
              unsigned char *chroma)
{
    const size_t stride = size_t(std::max(layout.width, 0));
    const int32_t chroma_rows = std::min(layout.luma_rows, layout.chroma_rows);
    const size_t luma_stripe = size_t(layout.luma_rows) * BRCM_STRIPE_WIDTH;
    const size_t chroma_stripe = size_t(std::max(chroma_rows, 0)) * BRCM_STRIPE_WIDTH;
    const unsigned char *chroma_source = source + layout.chroma_offset;
    for (int32_t x = 0; x < layout.width; x += BRCM_STRIPE_WIDTH) {
        const size_t length = size_t(std::min(BRCM_STRIPE_WIDTH, layout.width - x));
        copy_rows(luma + x, stride, source, layout.luma_rows, length);
        copy_rows(chroma + x, stride, chroma_source, chroma_rows, length);
        source += luma_stripe;
        chroma_source += chroma_stripe;
    }
}

void reverse_groups(unsigned char *plane, size_t length)
{
    unsigned char *const end = plane + (length & ~size_t{3});
    for (; plane != end; plane += 4) {
        uint32_t word;
        memcpy(&word, plane, 4);
        word = reversed(word);
        memcpy(plane, &word, 4);
    }
}

void destripe_reversed(const unsigned char *source, const stripe_layout &layout,
                       unsigned char *luma, unsigned char *chroma, size_t chroma_reversed)
{
    const size_t stride = size_t(std::max(layout.width, 0));
    const int32_t chroma_rows = std::max(std::min(layout.luma_rows, layout.chroma_rows), 0);
    const size_t filled = stride * size_t(chroma_rows);
    if (!groups_line_up(source, layout, luma, chroma, chroma_reversed)) {
        destripe(source, layout, luma, chroma);
        clear_unfilled(chroma, filled, chroma_reversed);
        reverse_groups(luma, stride * size_t(std::max(layout.luma_rows, 0)));
        reverse_groups(chroma, chroma_reversed);
        return;
    }
    const auto reversed_rows = static_cast<int32_t>(chroma_reversed / stride);
    const int32_t both = std::min(chroma_rows, reversed_rows);
    const size_t luma_stripe = size_t(layout.luma_rows) * BRCM_STRIPE_WIDTH;
    const size_t chroma_stripe = size_t(chroma_rows) * BRCM_STRIPE_WIDTH;
    const unsigned char *chroma_source = source + layout.chroma_offset;
    for (int32_t x = 0; x < layout.width; x += BRCM_STRIPE_WIDTH) {
        const size_t length = size_t(std::min(BRCM_STRIPE_WIDTH, layout.width - x));
        copy_rows_reversed(luma + x, stride, source, layout.luma_rows, length);
        copy_rows_reversed(chroma + x, stride, chroma_source, both, length);
        copy_rows(chroma + x + both * stride, stride, chroma_source + both * BRCM_STRIPE_WIDTH,
                  chroma_rows - both, length);
        source += luma_stripe;
        chroma_source += chroma_stripe;
    }
    // Rows the reversal covers but the stripes did not fill: zeroed, which
    // reversed stays zero.
    clear_unfilled(chroma, filled, chroma_reversed);
}
