// The sampled conversion: the column offsets of a run of samples are worked
// out once, for even and odd luma and chroma rows, then every sampled row
// converts that run straight from the source's memory.
#include <algorithm>

#include "capture/convert.h"

namespace {

// Samples per run of columns: the offset tables are fixed-size.
constexpr int32_t RUN = 256;

// Where a run's samples lie: [luma row odd][chroma row odd].
struct run_offsets {
    sample_at at[2][2][RUN];
};

// A chroma pair serving a picture one pixel wide or one row high: no colour.
constexpr unsigned char GREY_PAIR[2] = {128, 128};

// The first column of the chroma pair serving column x: its own block's,
// the block to its left for an odd width's last column.
int32_t pair_column(int32_t x, int32_t width)
{
    return std::min(x & ~1, width / 2 * 2 - 2);
}

// The offsets of samples first .. first + count - 1.
void fill_offsets(const plane_map &luma, const plane_map &chroma, int32_t width, bool grey,
                  int32_t step, int32_t first, int32_t count, run_offsets &o)
{
    for (int32_t k = 0; k < count; ++k) {
        const int32_t x = (first + k) * step;
        const int32_t pair = grey ? 0 : pair_column(x, width);
        const int32_t luma_at[2] = {column_offset(luma, x, false), column_offset(luma, x, true)};
        const int32_t chroma_at[2] = {column_offset(chroma, pair, false),
                                      column_offset(chroma, pair, true)};
        for (int32_t odd_luma = 0; odd_luma < 2; ++odd_luma)
            for (int32_t odd_chroma = 0; odd_chroma < 2; ++odd_chroma)
                o.at[odd_luma][odd_chroma][k] = {luma_at[odd_luma], chroma_at[odd_chroma]};
    }
}

}  // namespace

void convert_sampled(const plane_map &luma, const plane_map &chroma, int32_t width, int32_t height,
                     int32_t step, unsigned char *image, bool xilleon)
{
    const bool grey = width == 1 || height == 1;
    const plane_map &pairs = grey ? plane_map{GREY_PAIR, 0, 6, 0, 0, 0} : chroma;
    const int32_t cr_step = pairs.group_xor ? -1 : 1;
    const int32_t columns = sample_count(width, step);
    const int32_t rows = sample_count(height, step);
    run_offsets o;
    for (int32_t first = 0; first < columns; first += RUN) {
        const int32_t count = std::min(RUN, columns - first);
        fill_offsets(luma, pairs, width, grey, step, first, count, o);
        for (int32_t i = 0; i < rows; ++i) {
            const int32_t r = i * step;
            const int32_t q = grey ? 0 : std::min(r / 2, height / 2 - 1);
            convert_samples(luma.base + size_t(r) * luma.row_bytes,
                            pairs.base + size_t(q) * pairs.row_bytes, o.at[r & 1][q & 1], cr_step,
                            count, image + 3 * (size_t(i) * size_t(columns) + size_t(first)),
                            xilleon);
        }
    }
}
