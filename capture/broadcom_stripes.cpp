// The Broadcom decoder's striped picture memory, re-assembled into plain
// planes, and the 4-byte byte-order reversal of those planes. Runs once per
// frame over up to 30 stripes of 1088 rows.
#include <algorithm>
#include <cstring>

#include "broadcom.h"

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
        word = word >> 24 | (word >> 8 & 0xFF00) | (word << 8 & 0xFF0000) | word << 24;
        memcpy(plane, &word, 4);
    }
}
