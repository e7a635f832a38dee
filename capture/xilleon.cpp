// The Xilleon source: the picture size from the kernel's size files, the
// picture window mapped read-only, one line in 32 of luma and chroma taken.
// The picture is the sampled one: full width, one row for every 32 picture
// lines (height / 32 rows). The capture converts it from the tile rows where
// they lie; xilleon_source copies it into planes instead.
#include "capture/convert.h"
#include "capture/physmem.h"
#include "capture/size_file.h"
#include "capture/sources.h"
#include "capture/xilleon.h"

namespace {

constexpr int32_t LINES_PER_SAMPLE = 32;

// The size files, read and checked against what the window and the planes
// can hold and what the caller's image can take.
bool read_picture_size(const char *xres_path, const char *yres_path, int64_t max_pixels,
                       int32_t *width, int32_t *height)
{
    if (!read_size_file(xres_path, width) || !read_size_file(yres_path, height))
        return false;
    if (*width < 0 || *width > XILLEON_MAX_WIDTH)
        return false;
    if (*height < XILLEON_MIN_HEIGHT || *height > XILLEON_MAX_HEIGHT)
        return false;
    const size_t luma_size = size_t(*width) * size_t(*height);
    return planes_hold_picture(*width, *height / LINES_PER_SAMPLE, luma_size,
                               size_t(*width) * size_t(*height + 1) / 2, max_pixels);
}

// How a region of tile rows (luma, or chroma) holds the sampled picture's
// rows: row r is tile line 0 of tile row r.
plane_map xilleon_plane(const unsigned char *region)
{
    return {region, XILLEON_TILE_ROW_SIZE, 7, int32_t{XILLEON_TILE_SIZE}, 0, XILLEON_HALF_LINE};
}

// The sampled picture's planes copied out of the window into planes.
bool copy_planes(const unsigned char *window, int32_t width, int32_t height, frame_planes &planes)
{
    const size_t luma_size = size_t(width) * size_t(height);
    const size_t chroma_size = size_t(width) * size_t(height + 1) / 2;
    // A width of 0 gives empty planes; a one-byte block stands in for them.
    heap_block luma(luma_size ? luma_size : 1), chroma(chroma_size ? chroma_size : 1);
    if (!luma || !chroma)
        return memory_source_failed();
    sample_picture(window, width, height, luma.get(), luma_size, chroma.get(), chroma_size);
    return hand_over(planes, width, height / LINES_PER_SAMPLE, luma, chroma);
}

// The sampled picture converted into out where it lies in the window.
bool convert_in_window(const unsigned char *window, int32_t width, int32_t height,
                       sampled_image &out)
{
    const int32_t rows = height / LINES_PER_SAMPLE;
    const plane_map luma = xilleon_plane(window);
    const plane_map chroma = xilleon_plane(window + XILLEON_CHROMA_AT);
    if (width > 0 && rows > 0 && out.step == 1)
        convert_mapped(luma, chroma, width, rows, out.image, true);
    else if (width > 0 && rows > 0)
        convert_sampled(luma, chroma, width, rows, out.step, out.image, true);
    out.width = width;
    out.height = rows;
    return true;
}

// The size files read, the window mapped, and the picture copied into
// planes or, without planes, converted into out.
bool take_picture(frame_planes *planes, sampled_image *out, int mem, int64_t max_pixels,
                  const char *xres_path, const char *yres_path)
{
    int32_t width, height;
    if (!read_picture_size(xres_path, yres_path, max_pixels, &width, &height))
        return memory_source_failed();
    phys_mapping window(mem, XILLEON_WINDOW_ADDRESS, XILLEON_WINDOW_SIZE, false);
    if (!window)
        return memory_source_failed();
    if (planes)
        return copy_planes(window.get(), width, height, *planes);
    return convert_in_window(window.get(), width, height, *out);
}

}  // namespace

bool xilleon_source(frame_planes &planes, int mem, int64_t max_pixels, const char *xres_path,
                    const char *yres_path)
{
    return take_picture(&planes, nullptr, mem, max_pixels, xres_path, yres_path);
}

bool xilleon_sampled(sampled_image &out, int mem, int64_t max_pixels, const char *xres_path,
                     const char *yres_path)
{
    return take_picture(nullptr, &out, mem, max_pixels, xres_path, yres_path);
}
