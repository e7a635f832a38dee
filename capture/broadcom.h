// The Broadcom BCM7401 / BCM4380 source's parts: the picture register block,
// the striped picture layout and the BCM4380's DMA copy.
#pragma once

#include <cstddef>
#include <cstdint>

// Picture register block: 100 bytes at physical 0x10100000.
constexpr uint32_t BRCM_BLOCK_ADDRESS = 0x10100000;
constexpr size_t BRCM_BLOCK_SIZE = 100;

// What the block says about the picture.
struct brcm_picture {
    int32_t width;         // pixels, also luma bytes per row (bytes 0x14-0x15)
    uint32_t luma_base;    // physical address of the luma stripes (word 0x1C)
    uint32_t chroma_base;  // physical address of the chroma stripes (word 0x20)
    int32_t luma_rows;     // rows of a luma stripe, 0..4095 (bytes 0x27-0x28)
    int32_t chroma_rows;   // rows of a chroma stripe, 0..4095 (bytes 0x2B-0x2C)
};

// Takes the fields from a copy of the block, byte by byte (two of them start
// at odd offsets), in the box's little-endian order.
brcm_picture parse_picture_block(const unsigned char *block);

// The striped picture from the luma base. Luma: vertical stripes 64 bytes
// wide, stripe k holding columns 64k..64k+63 in luma_rows rows of 64 bytes,
// stripe after stripe; the last stripe may hold fewer columns but still takes
// 64 bytes a row. Chroma: rows of 64 bytes one after the other from
// chroma_offset, stripe after stripe, chroma_rows rows a stripe.
struct stripe_layout {
    int32_t width;
    int32_t luma_rows;
    int32_t chroma_rows;
    int32_t chroma_offset;
};

// Re-assembles the stripes into planes whose rows lie width bytes apart:
// luma rows 0..luma_rows-1 into luma (width * luma_rows bytes), chroma rows
// 0..min(luma_rows, chroma_rows)-1 into chroma. Reads source bytes below
// chroma_offset + 64 * stripes * min(luma_rows, chroma_rows).
void destripe(const unsigned char *source, const stripe_layout &layout, unsigned char *luma,
              unsigned char *chroma);

// Reverses the bytes of each whole 4-byte group of the first length bytes
// (b0 b1 b2 b3 becomes b3 b2 b1 b0); up to 3 trailing bytes stay as they are.
void reverse_groups(unsigned char *plane, size_t length);

// destripe, then the chroma bytes from the end of the rows it filled up to
// chroma_reversed zeroed (no byte the decoder did not provide may move into a
// row the conversion reads), then reverse_groups over luma's first
// width * luma_rows bytes and chroma's first chroma_reversed bytes (which
// chroma must hold): the same
// planes, made in one pass where the 4-byte groups of the stripes are those of
// the planes (a width that is a multiple of 4, word-aligned source, planes
// and chroma offset, whole chroma rows reversed), else in two.
void destripe_reversed(const unsigned char *source, const stripe_layout &layout,
                       unsigned char *luma, unsigned char *chroma, size_t chroma_reversed);

// BCM4380: has the DMA engine copy extent bytes from physical address
// source into the DMA window at 0x0FC01000, in chunks of at most 0x3FF000
// bytes that all land there; window and registers are the mappings of the
// DMA window (0x0FC00000) and the DMA register page (0x10C02000). An extent
// of 0 or less copies nothing.
void dma_copy(unsigned char *window, unsigned char *registers, uint32_t source, int32_t extent);
