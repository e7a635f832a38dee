// The Broadcom source (BCM7401, BCM4380): the picture register block tells
// where the decoder's striped picture lies; the BCM7401's is mapped and read
// in place, the BCM4380's is first copied by the chip's DMA engine into a
// fixed window. The capture converts the picture (or its samples) from the
// stripes where they lie, each 4-byte group read in reverse; broadcom_source
// re-assembles the stripes into planes instead, whose 4-byte groups are then
// byte-reversed.
#include <algorithm>

#include "capture/broadcom.h"
#include "capture/convert.h"
#include "capture/physmem.h"
#include "capture/size_file.h"
#include "capture/sources.h"

namespace {

// Picture register block fields, byte offsets.
constexpr size_t WIDTH_AT = 0x14;           // 16 bits
constexpr size_t LUMA_BASE_AT = 0x1C;       // 32 bits
constexpr size_t CHROMA_BASE_AT = 0x20;     // 32 bits
constexpr size_t LUMA_ROWS_AT = 0x27;       // 16 bits, rows in bits 4-15
constexpr size_t CHROMA_ROWS_AT = 0x2B;     // 16 bits, rows in bits 4-15
constexpr uint32_t BASE_MASK = 0xFFFFFF00;  // the low 8 bits are not address
constexpr int ROWS_SHIFT = 4;

// The chroma plane holds this many rows beyond the chroma stripe rows.
constexpr int32_t CHROMA_SPARE_ROWS = 64;

// The plane sizes that the block's fields allow fit in 32 bits, so neither
// size nor any offset within a plane can overflow.
static_assert(int64_t{0xFFFF} * ((0xFFFF >> ROWS_SHIFT) + CHROMA_SPARE_ROWS) <= INT32_MAX);

// BCM7401: the decoder needs this long after the picture is mapped.
constexpr unsigned SETTLE_US = 50000;

// BCM4380 DMA window: the descriptor at its start, the copied picture from
// its second page to its end at 0x10000000.
constexpr uint32_t DMA_WINDOW = 0x0FC00000;
constexpr size_t DMA_WINDOW_SIZE = 0x400000;
constexpr size_t DMA_PICTURE_AT = 0x1000;
constexpr uint32_t DMA_DESTINATION = DMA_WINDOW + DMA_PICTURE_AT;
constexpr int32_t DMA_CHUNK = 0x3FF000;  // room after the descriptor page

// BCM4380 DMA engine register page and its registers.
constexpr uint32_t DMA_REGISTERS = 0x10C02000;
constexpr size_t DMA_REGISTERS_SIZE = 0x1000;
constexpr size_t DMA_DESCRIPTOR_REG = 0x04;  // physical address of the descriptor
constexpr size_t DMA_START_REG = 0x08;       // 1 starts, 0 once finished
constexpr size_t DMA_MODE_REG = 0x0C;        // written before every start
constexpr size_t DMA_STATUS_REG = 0x14;      // reads 1 while the transfer runs
constexpr uint32_t DMA_START = 1;
constexpr uint32_t DMA_STOP = 0;
constexpr uint32_t DMA_MODE = 3;
constexpr uint32_t DMA_BUSY = 1;
constexpr unsigned DMA_POLL_US = 2;

// DMA descriptor: source, destination, length with bit 30 set, five zeros.
constexpr int DESCRIPTOR_WORDS = 8;
constexpr uint32_t DMA_LENGTH_FLAG = 0x40000000;

// The highest physical address + 1 of the 32-bit bus.
constexpr int64_t PHYSICAL_END = int64_t{1} << 32;

uint32_t le16(const unsigned char *at)
{
    return uint32_t{at[0]} | uint32_t{at[1]} << 8;
}

uint32_t le32(const unsigned char *at)
{
    return le16(at) | le16(at + 2) << 16;
}

// How the picture is copied, once the block's description has been found
// usable.
struct copy_plan {
    stripe_layout layout;
    int32_t extent;      // bytes from the luma base holding both planes' stripes
    size_t luma_size;    // width * luma stripe rows
    size_t chroma_size;  // width * (chroma stripe rows + 64)
};

// Copies the block out word by word into a private copy before any field is
// read, and removes its mapping.
bool read_picture_block(int mem, brcm_picture *picture)
{
    phys_mapping block(mem, BRCM_BLOCK_ADDRESS, BRCM_BLOCK_SIZE, false);
    if (!block)
        return false;
    unsigned char copy[BRCM_BLOCK_SIZE];
    for (size_t at = 0; at < BRCM_BLOCK_SIZE; at += 4) {
        const uint32_t word = phys_read32(block.get(), at);
        for (size_t i = 0; i < 4; ++i)
            copy[at + i] = static_cast<unsigned char>(word >> 8 * i);
    }
    *picture = parse_picture_block(copy);
    return true;
}

// The geometry the copy and the conversion need, or false when the block's
// description would take them outside the planes, the mapping, the physical
// address space or the BCM4380's DMA window, or the picture does not fit the
// caller's image.
bool plan_copy(const brcm_picture &p, int32_t height, int stb, int64_t max_pixels, copy_plan *plan)
{
    const int64_t stripes = (int64_t{p.width} + BRCM_STRIPE_WIDTH - 1) / BRCM_STRIPE_WIDTH;
    const int64_t luma_length = stripes * p.luma_rows * BRCM_STRIPE_WIDTH;
    const int64_t chroma_read = stripes * std::min(p.luma_rows, p.chroma_rows) * BRCM_STRIPE_WIDTH;
    const int64_t offset = int64_t{p.chroma_base} - p.luma_base;
    const int64_t extent = offset + int64_t{p.width} * (p.chroma_rows + CHROMA_SPARE_ROWS);
    if (offset < luma_length || offset + chroma_read > extent)
        return false;
    if (extent > INT32_MAX || p.luma_base + extent > PHYSICAL_END)
        return false;
    if (stb == STB_BRCM4380 && extent > DMA_CHUNK)
        return false;
    if (height < 0 || height > p.luma_rows || (int64_t{height} + 1) / 2 > p.chroma_rows)
        return false;
    plan->layout = {p.width, p.luma_rows, p.chroma_rows, static_cast<int32_t>(offset)};
    plan->extent = static_cast<int32_t>(extent);
    plan->luma_size = size_t(p.width) * size_t(p.luma_rows);
    plan->chroma_size = size_t(p.width) * size_t(p.chroma_rows + CHROMA_SPARE_ROWS);
    return planes_hold_picture(p.width, height, plan->luma_size, plan->chroma_size, max_pixels);
}

// One chunk: the descriptor complete first, then the engine started, waited
// for and stopped.
void dma_chunk(unsigned char *window, unsigned char *registers, uint32_t source, uint32_t length)
{
    const uint32_t descriptor[DESCRIPTOR_WORDS] = {
        source, DMA_DESTINATION, length | DMA_LENGTH_FLAG, 0, 0, 0, 0, 0};
    for (int i = 0; i < DESCRIPTOR_WORDS; ++i)
        phys_write32(window, 4 * size_t(i), descriptor[i]);
    phys_write32(registers, DMA_DESCRIPTOR_REG, DMA_WINDOW);
    phys_write32(registers, DMA_MODE_REG, DMA_MODE);
    phys_write32(registers, DMA_START_REG, DMA_START);
    while (phys_read32(registers, DMA_STATUS_REG) == DMA_BUSY)
        phys_pause_us(DMA_POLL_US);
    phys_write32(registers, DMA_START_REG, DMA_STOP);
}

// The decoder stores each 4-byte group of the planes in reverse order; the
// copies put them right (destripe_reversed). Chroma is reversed in every group
// that starts within its first luma stripe rows / 2 rows, a group straddling
// that limit included, as far as the plane reaches.
size_t chroma_reversed(const copy_plan &plan)
{
    const stripe_layout &l = plan.layout;
    const size_t limit = size_t(l.width) * size_t(l.luma_rows / 2);
    return std::min((limit + 3) & ~size_t{3}, plan.chroma_size);
}

// BCM7401: the picture memory mapped and read in place by use(picture).
template <class Use>
bool read_in_place(int mem, uint32_t luma_base, const copy_plan &plan, Use use)
{
    phys_mapping picture(mem, luma_base, size_t(plan.extent), false);
    if (!picture)
        return false;
    phys_pause_us(SETTLE_US);
    use(picture.get());
    return true;
}

// BCM4380: the picture copied by DMA into the window, read there by use.
template <class Use>
bool read_by_dma(int mem, uint32_t luma_base, const copy_plan &plan, Use use)
{
    phys_mapping window(mem, DMA_WINDOW, DMA_WINDOW_SIZE, true);
    if (!window)
        return false;
    phys_mapping registers(mem, DMA_REGISTERS, DMA_REGISTERS_SIZE, true);
    if (!registers)
        return false;
    dma_copy(window.get(), registers.get(), luma_base, plan.extent);
    registers.reset();
    use(window.get() + DMA_PICTURE_AT);
    return true;
}

// The striped picture, where the chipset lets it be read, given to use.
template <class Use>
bool read_picture(int mem, int stb, uint32_t luma_base, const copy_plan &plan, Use use)
{
    return stb == STB_BRCM4380 ? read_by_dma(mem, luma_base, plan, use)
                               : read_in_place(mem, luma_base, plan, use);
}

// The block read and the copy planned for a picture that the caller's image
// and the chipset can take; false when not.
bool find_picture(int mem, int stb, int64_t max_pixels, const char *yres_path,
                  brcm_picture *picture, int32_t *height, copy_plan *plan)
{
    return read_picture_block(mem, picture) && read_size_file(yres_path, height) &&
           plan_copy(*picture, *height, stb, max_pixels, plan);
}

// How a stripe plane of rows rows a stripe lies from base: its 4-byte groups
// are stored reversed.
plane_map stripe_plane(const unsigned char *base, int32_t rows)
{
    return {base, size_t(BRCM_STRIPE_WIDTH), 6, rows * BRCM_STRIPE_WIDTH, 3, 0};
}

// The planes re-assembled from the stripes and handed over, or the failure
// line printed.
bool copy_planes(frame_planes &planes, int mem, int stb, const brcm_picture &picture,
                 int32_t height, const copy_plan &plan)
{
    // A width of 0 gives empty planes; a one-byte block stands in for them.
    heap_block luma(std::max<size_t>(plan.luma_size, 1));
    heap_block chroma(std::max<size_t>(plan.chroma_size, 1));
    if (!luma || !chroma)
        return memory_source_failed();
    const auto copy = [&](const unsigned char *source) {
        destripe_reversed(source, plan.layout, luma.get(), chroma.get(), chroma_reversed(plan));
    };
    if (!read_picture(mem, stb, picture.luma_base, plan, copy))
        return memory_source_failed();
    return hand_over(planes, picture.width, height, luma, chroma);
}

}  // namespace

brcm_picture parse_picture_block(const unsigned char *block)
{
    brcm_picture p;
    p.width = static_cast<int32_t>(le16(block + WIDTH_AT));
    p.luma_base = le32(block + LUMA_BASE_AT) & BASE_MASK;
    p.chroma_base = le32(block + CHROMA_BASE_AT) & BASE_MASK;
    p.luma_rows = static_cast<int32_t>(le16(block + LUMA_ROWS_AT) >> ROWS_SHIFT);
    p.chroma_rows = static_cast<int32_t>(le16(block + CHROMA_ROWS_AT) >> ROWS_SHIFT);
    return p;
}

void dma_copy(unsigned char *window, unsigned char *registers, uint32_t source, int32_t extent)
{
    int64_t done = 0;
    int64_t remaining = extent;
    uint32_t length = DMA_CHUNK;
    while (done < extent) {
        done += DMA_CHUNK;
        if (extent < done)
            length = static_cast<uint32_t>(remaining);  // the last chunk: what is left
        dma_chunk(window, registers, source, length);
        remaining -= DMA_CHUNK;
        source += DMA_CHUNK;
    }
}

bool broadcom_source(frame_planes &planes, int mem, int stb, int64_t max_pixels,
                     const char *yres_path)
{
    brcm_picture picture;
    int32_t height;
    copy_plan plan;
    if (!find_picture(mem, stb, max_pixels, yres_path, &picture, &height, &plan))
        return memory_source_failed();
    return copy_planes(planes, mem, stb, picture, height, plan);
}

bool broadcom_sampled(sampled_image &out, int mem, int stb, int64_t max_pixels,
                      const char *yres_path)
{
    brcm_picture picture;
    int32_t height;
    copy_plan plan;
    if (!find_picture(mem, stb, max_pixels, yres_path, &picture, &height, &plan))
        return memory_source_failed();
    const int32_t width = picture.width;
    if (width % 4 != 0) {
        frame_planes planes;
        return copy_planes(planes, mem, stb, picture, height, plan) &&
               sample_planes(planes, out, false);
    }
    const stripe_layout &l = plan.layout;
    const auto sample = [&](const unsigned char *source) {
        const plane_map luma = stripe_plane(source, l.luma_rows);
        const plane_map chroma =
            stripe_plane(source + l.chroma_offset, std::min(l.luma_rows, l.chroma_rows));
        if (width <= 0 || height <= 0)
            return;
        if (out.step == 1)
            convert_mapped(luma, chroma, width, height, out.image, false);
        else
            convert_sampled(luma, chroma, width, height, out.step, out.image, false);
    };
    if (!read_picture(mem, stb, picture.luma_base, plan, sample))
        return memory_source_failed();
    out.width = width;
    out.height = height;
    return true;
}
