// Zone colours: runs once per frame on the whole picture. Each pixel is read
// once, with additions only; three divisions per zone. Where every zone is
// whole word groups (the broadcast widths), the picture is read in bands of
// a few rows, each band zone by zone; otherwise zone by zone, top to bottom
// within a zone.
//
// The bytes are summed a machine word at a time: a group of three words holds
// a whole number of pixels, and each word of a group is added into two sums
// of 16-bit lanes (its even bytes, and the word shifted down by one byte),
// which are split into the three channel sums before any lane can overflow.
// Sums modulo 2^32 do not depend on the order of the additions, so the
// result is bit for bit that of adding the bytes one by one. Zone by zone,
// the rows of a zone are asked for two rows ahead.
#include "huecast/zones.h"

#include <cstddef>
#include <cstring>

namespace {

// The word the sums run in: 4 bytes on the box, 8 on 64-bit hosts.
using lane_word = uintptr_t;
constexpr int32_t WORD_BYTES = sizeof(lane_word);
// Three words: WORD_BYTES pixels, so every group has the same byte layout.
constexpr int32_t GROUP_PIXELS = WORD_BYTES;
constexpr int32_t GROUP_BYTES = 3 * WORD_BYTES;
// Bytes 0, 2, 4, ... of a word: 0x00FF00FF...
constexpr lane_word EVEN_BYTES = ~lane_word{0} / 0xFFFF * 0xFF;
// A 16-bit lane holds the sum of at most 257 bytes (257 * 255 = 65535).
constexpr int32_t GROUPS_PER_SPLIT = 257;

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "byte k of a word is taken to be bits 8k to 8k + 7");

using channel_sums = uint32_t[3];

// Per word k of a group: the sum of its even bytes (even_k), and of the word
// shifted down by one byte (shifted_k), whose odd bytes come out once the
// even ones are known.
struct lane_sums {
    lane_word even0, even1, even2;
    lane_word shifted0, shifted1, shifted2;
};

// The channel of byte `byte` of a pixel row that starts with a pixel.
constexpr int channel_of(int32_t byte)
{
    return byte % 3;
}

// Adds the lanes of word k of the group to the channel sums.
inline void split_word(lane_word even, lane_word shifted, int32_t k, channel_sums sums)
{
    for (int32_t lane = 0; lane < WORD_BYTES; lane += 2) {
        const auto sum = static_cast<uint32_t>(even >> 8 * lane) & 0xFFFF;
        sums[channel_of(k * WORD_BYTES + lane)] += sum;
        if (lane > 0)
            shifted -= lane_word{sum} << 8 * (lane - 1);
    }
    for (int32_t lane = 1; lane < WORD_BYTES; lane += 2)
        sums[channel_of(k * WORD_BYTES + lane)] +=
            static_cast<uint32_t>(shifted >> 8 * (lane - 1)) & 0xFFFF;
}

// Adds the lanes to the channel sums; the lanes start again from 0.
void split_lanes(lane_sums &lanes, channel_sums sums)
{
    split_word(lanes.even0, lanes.shifted0, 0, sums);
    split_word(lanes.even1, lanes.shifted1, 1, sums);
    split_word(lanes.even2, lanes.shifted2, 2, sums);
    lanes = {};
}

inline lane_word load_word(const unsigned char *at)
{
    lane_word word;
    memcpy(&word, __builtin_assume_aligned(at, WORD_BYTES), WORD_BYTES);
    return word;
}

// Adds one group at a word-aligned pixel.
inline void add_group(const unsigned char *p, lane_sums &lanes)
{
    const lane_word w0 = load_word(p);
    const lane_word w1 = load_word(p + WORD_BYTES);
    const lane_word w2 = load_word(p + 2 * WORD_BYTES);
    lanes.even0 += w0 & EVEN_BYTES;
    lanes.shifted0 += w0 >> 8;
    lanes.even1 += w1 & EVEN_BYTES;
    lanes.shifted1 += w1 >> 8;
    lanes.even2 += w2 & EVEN_BYTES;
    lanes.shifted2 += w2 >> 8;
}

// Adds the groups of one row from a word-aligned pixel: pair_bytes bytes of
// them two at a step, then one more when odd.
inline void add_groups(const unsigned char *p, int32_t pair_bytes, bool odd, lane_sums &lanes)
{
    lane_sums l = lanes;
    const unsigned char *const end = p + pair_bytes;
    for (; p != end; p += 2 * GROUP_BYTES) {
        add_group(p, l);
        add_group(p + GROUP_BYTES, l);
    }
    if (odd)
        add_group(end, l);
    lanes = l;
}

// Adds count pixels one byte at a time.
void add_pixels(const unsigned char *p, int32_t count, channel_sums sums)
{
    for (const unsigned char *end = p + 3 * count; p != end; p += 3) {
        sums[0] += p[0];
        sums[1] += p[1];
        sums[2] += p[2];
    }
}

// Pixels from p until the first that starts on a word boundary (3 * j bytes
// on from p is a multiple of the word size for j = -p / 3 modulo it, and 3
// is its own inverse modulo 4 and 8).
int32_t pixels_to_word(const unsigned char *p)
{
    static_assert((3 * 3) % WORD_BYTES == 1);
    return static_cast<int32_t>((0 - reinterpret_cast<uintptr_t>(p)) * 3 % WORD_BYTES);
}

// While a row is summed, the row this many rows further down is asked for:
// a zone's rows lie 3 * width bytes apart, too far apart for a processor's
// own prefetching to see them coming, and the picture has just been written
// out by the conversion.
constexpr int32_t PREFETCH_ROWS = 2;
constexpr int32_t PREFETCH_STEP = 64;  // bytes: a cache line of the larger processors

// Asks for the lines of bytes bytes from row (as addresses: a hint never
// faults, even past the picture's end).
inline void prefetch_row(const unsigned char *row, int32_t bytes)
{
    const uintptr_t start = reinterpret_cast<uintptr_t>(row);
    const int32_t lines = (bytes + PREFETCH_STEP - 1) / PREFETCH_STEP;
    const uintptr_t end = start + uintptr_t(lines) * PREFETCH_STEP;
    for (uintptr_t at = start; at != end; at += PREFETCH_STEP)
        __builtin_prefetch(reinterpret_cast<const void *>(at));
}

// Rows of groups (1 to GROUPS_PER_SPLIT of them, from a word boundary) whose
// first pixels lie stride bytes apart, in runs of as many rows as the lanes
// hold before they are split.
void add_aligned_rows(const unsigned char *row, int32_t groups, int32_t stride, int32_t rows,
                      channel_sums sums)
{
    const int32_t rows_per_split = GROUPS_PER_SPLIT / groups;
    const int32_t pair_bytes = (groups & ~1) * GROUP_BYTES;
    const bool odd = (groups & 1) != 0;
    const int32_t row_bytes = groups * GROUP_BYTES;
    for (int32_t left = rows;;) {
        const int32_t run = left < rows_per_split ? left : rows_per_split;
        lane_sums lanes = {};
        // The row pointer only moves on while another row follows, so it
        // never points past the picture.
        for (int32_t r = 1;; ++r, row += stride) {
            if (left - r >= PREFETCH_ROWS)
                prefetch_row(row + PREFETCH_ROWS * stride, row_bytes);
            add_groups(row, pair_bytes, odd, lanes);
            if (r == run)
                break;
        }
        split_lanes(lanes, sums);
        left -= run;
        if (left == 0)
            break;
        row += stride;
    }
}

// Any row of count pixels: up to GROUP_PIXELS - 1 alone to reach a word
// boundary, whole groups in lanes, then the rest alone.
void add_row(const unsigned char *p, int32_t count, channel_sums sums)
{
    const int32_t head = count < GROUP_PIXELS ? count : pixels_to_word(p);
    add_pixels(p, head, sums);
    p += 3 * head;
    count -= head;
    for (int32_t groups = count / GROUP_PIXELS; groups > 0;) {
        const int32_t now = groups < GROUPS_PER_SPLIT ? groups : GROUPS_PER_SPLIT;
        add_aligned_rows(p, now, 0, 1, sums);
        p += now * GROUP_BYTES;
        groups -= now;
    }
    add_pixels(p, count % GROUP_PIXELS, sums);
}

// How getcolors reads a picture whose zones are all whole groups from word
// boundaries: band by band, a band being as many rows as the widest zone's
// lanes hold; within a band zone by zone, row by row. A band (at most 15 KiB
// at the broadcast sizes) stays in the data cache while its zones are read,
// so nothing needs to be asked for ahead.
struct zone_bands {
    const unsigned char *first[ZONE_COUNT];  // each zone's first pixel in row 0
    int32_t pair_bytes[ZONE_COUNT];
    bool odd[ZONE_COUNT];
    int32_t band_rows;
};

// Whether every zone of the picture is whole groups (at most
// GROUPS_PER_SPLIT) from a word boundary in every row; fills plan if so.
bool plan_bands(const unsigned char *image, const int32_t bounds[ZONE_COUNT + 1], int32_t stride,
                int32_t rows, zone_bands &plan)
{
    if (rows > 1 && stride % WORD_BYTES != 0)
        return false;
    int32_t widest = 0;
    for (int32_t i = 0; i < ZONE_COUNT; ++i) {
        const int32_t columns = bounds[i + 1] - bounds[i];
        const int32_t groups = columns / GROUP_PIXELS;
        plan.first[i] = image + 3 * bounds[i];
        if (groups < 1 || groups > GROUPS_PER_SPLIT || columns % GROUP_PIXELS != 0 ||
            pixels_to_word(plan.first[i]) != 0)
            return false;
        plan.pair_bytes[i] = (groups & ~1) * GROUP_BYTES;
        plan.odd[i] = (groups & 1) != 0;
        widest = groups > widest ? groups : widest;
    }
    plan.band_rows = GROUPS_PER_SPLIT / widest;
    return true;
}

// Adds rows rows of one zone from row, stride bytes apart, to sums.
void add_band(const unsigned char *row, int32_t pair_bytes, bool odd, int32_t stride, int32_t rows,
              channel_sums sums)
{
    lane_sums lanes = {};
    for (; rows > 0; --rows, row += rows > 0 ? stride : 0)
        add_groups(row, pair_bytes, odd, lanes);
    split_lanes(lanes, sums);
}

// Sums rows rows of every zone into sums, band by band.
void add_bands(const zone_bands &plan, int32_t stride, int32_t rows, channel_sums sums[ZONE_COUNT])
{
    for (int32_t top = 0; top < rows; top += plan.band_rows) {
        const int32_t band = rows - top < plan.band_rows ? rows - top : plan.band_rows;
        const std::ptrdiff_t at = std::ptrdiff_t(top) * stride;
        for (int32_t i = 0; i < ZONE_COUNT; ++i)
            add_band(plan.first[i] + at, plan.pair_bytes[i], plan.odd[i], stride, band, sums[i]);
    }
}

// A zone's sums as its packed mean colour.
uint32_t mean_colour(const channel_sums sums, int32_t columns, int32_t rows)
{
    const uint32_t count = static_cast<uint32_t>(rows) * static_cast<uint32_t>(columns);
    return ((sums[0] / count) << 16) | ((sums[1] / count) << 8) | (sums[2] / count);
}

}  // namespace

uint32_t avgcolor(const unsigned char *image, int32_t x0, int32_t x1, int32_t stride, int32_t rows)
{
    if (x1 <= x0 || rows <= 0)
        return 0;
    const unsigned char *first = image + 3 * x0;
    const int32_t columns = x1 - x0;
    const int32_t groups = columns / GROUP_PIXELS;
    channel_sums sums = {0, 0, 0};
    // Rows of whole groups from word boundaries take the short way.
    if (columns % GROUP_PIXELS == 0 && groups <= GROUPS_PER_SPLIT && pixels_to_word(first) == 0 &&
        (rows == 1 || stride % WORD_BYTES == 0))
        add_aligned_rows(first, groups, stride, rows, sums);
    else
        for (int32_t r = 0; r < rows; ++r)
            add_row(first + r * stride, columns, sums);
    return mean_colour(sums, columns, rows);
}

void getcolors(uint32_t colours[ZONE_COUNT], const unsigned char *image, int32_t width,
               int32_t height)
{
    int32_t bounds[ZONE_COUNT + 1];
    for (int32_t i = 0; i <= ZONE_COUNT; ++i)
        bounds[i] = (i * width) / ZONE_COUNT;
    zone_bands plan;
    if (height < 1 || !plan_bands(image, bounds, 3 * width, height, plan)) {
        for (int32_t i = 0; i < ZONE_COUNT; ++i)
            colours[i] = avgcolor(image, bounds[i], bounds[i + 1], 3 * width, height);
        return;
    }
    channel_sums sums[ZONE_COUNT] = {};
    add_bands(plan, 3 * width, height, sums);
    for (int32_t i = 0; i < ZONE_COUNT; ++i)
        colours[i] = mean_colour(sums[i], bounds[i + 1] - bounds[i], height);
}

namespace {

// The first sampled line at or after whole line x.
int32_t first_sample(int32_t x, int32_t step)
{
    return (x + step - 1) / step;
}

}  // namespace

void getcolors_sampled(uint32_t colours[ZONE_COUNT], const unsigned char *image, int32_t width,
                       int32_t step, const picture_area &area)
{
    const int32_t stride = 3 * first_sample(width, step);
    const int32_t top = first_sample(area.top, step);
    const int32_t rows = first_sample(area.bottom, step) - top;
    const int32_t w = area.right - area.left;
    const unsigned char *first_row = image + top * stride;
    for (int32_t i = 0; i < ZONE_COUNT; ++i) {
        const int32_t x0 = area.left + (i * w) / ZONE_COUNT;
        const int32_t x1 = area.left + ((i + 1) * w) / ZONE_COUNT;
        colours[i] =
            avgcolor(first_row, first_sample(x0, step), first_sample(x1, step), stride, rows);
    }
}
