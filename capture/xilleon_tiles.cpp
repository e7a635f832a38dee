// The Xilleon decoder's tiled picture window, sampled one line in 32: tile
// line 0 of every tile row, across the tiles of the row.
#include <algorithm>
#include <cstring>

#include "capture/xilleon.h"

namespace {

constexpr int32_t TILE_LINE = 128;  // bytes of a tile line
constexpr size_t TILE_SIZE = XILLEON_TILE_SIZE;
constexpr size_t TILE_ROW_SIZE = XILLEON_TILE_ROW_SIZE;
constexpr int32_t HALF_LINE = XILLEON_HALF_LINE;
constexpr int32_t LINES_PER_TILE_ROW = 32;

constexpr int32_t LUMA_TILE_ROWS = XILLEON_CHROMA_AT / TILE_ROW_SIZE;
constexpr int32_t CHROMA_TILE_ROWS = (XILLEON_WINDOW_SIZE - XILLEON_CHROMA_AT) / TILE_ROW_SIZE;
static_assert(LUMA_TILE_ROWS == 180 && CHROMA_TILE_ROWS == 36);
// The tallest picture accepted reads whole pairs of tile rows within both regions.
constexpr int32_t MOST_SAMPLED = XILLEON_MAX_HEIGHT / LINES_PER_TILE_ROW;
static_assert(2 * (MOST_SAMPLED / 2) + 2 <= LUMA_TILE_ROWS &&
              2 * (MOST_SAMPLED / 2 / 2) + 2 <= CHROMA_TILE_ROWS);

// One plane row of columns bytes (at most 1920) from tile line 0 of a tile
// row; odd tile rows have the two halves of each tile line exchanged.
void fill_row(const unsigned char *tile_row, bool odd, unsigned char *row, int32_t columns)
{
    for (int32_t x = 0; x < columns; x += TILE_LINE, tile_row += TILE_SIZE) {
        const int32_t length = std::min(TILE_LINE, columns - x);
        if (!odd) {
            memcpy(row + x, tile_row, size_t(length));
            continue;
        }
        memcpy(row + x, tile_row + HALF_LINE, size_t(std::min(length, HALF_LINE)));
        if (length > HALF_LINE)
            memcpy(row + x + HALF_LINE, tile_row, size_t(length - HALF_LINE));
    }
}

// Plane rows 0 .. 2 * (last / 2) + 1, whole pairs of tile rows up to the pair
// holding tile row last (within the region for the heights the source
// accepts). A row or part of a row beyond the plane is not written.
void sample_plane(const unsigned char *region, int32_t last, int32_t width, unsigned char *plane,
                  size_t plane_size)
{
    const size_t stride = size_t(width);
    const int32_t rows = 2 * (last / 2) + 2;
    for (int32_t r = 0; r < rows; ++r) {
        const size_t start = size_t(r) * stride;
        if (start >= plane_size)
            break;
        const auto room = static_cast<int32_t>(std::min(plane_size - start, stride));
        fill_row(region + size_t(r) * TILE_ROW_SIZE, r % 2 != 0, plane + start, room);
    }
}

}  // namespace

void sample_picture(const unsigned char *window, int32_t width, int32_t height, unsigned char *luma,
                    size_t luma_size, unsigned char *chroma, size_t chroma_size)
{
    const int32_t sampled = height / LINES_PER_TILE_ROW;
    sample_plane(window, sampled, width, luma, luma_size);
    sample_plane(window + XILLEON_CHROMA_AT, sampled / 2, width, chroma, chroma_size);
}
