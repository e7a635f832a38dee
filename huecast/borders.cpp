// Black bars: measured on a handful of points per line, taken and dropped
// only once a measurement has held for a while, so that the zones do not
// jump with every dark frame.
#include "huecast/borders.h"

namespace {

bool black_pixel(const unsigned char *p)
{
    return p[0] <= BORDER_BLACK_MAX && p[1] <= BORDER_BLACK_MAX && p[2] <= BORDER_BLACK_MAX;
}

// A line of count pixels from first, pitch bytes apart: whether every probe
// point on it is black.
bool black_line(const unsigned char *first, int32_t count, int32_t pitch)
{
    const int32_t stride = (count + BORDER_PROBES - 1) / BORDER_PROBES;
    for (int32_t i = 0; i < count; i += stride)
        if (!black_pixel(first + i * pitch))
            return false;
    return true;
}

// One axis of a sampled picture: `lines` lines of `count` pixels, line k
// starting line_pitch bytes after line k - 1, its pixels pixel_pitch bytes
// apart; line k is line k * step of a picture `whole` lines long. The bar
// taken from both ends (in whole lines), or -1 when either end shows
// nothing but black up to `limit` lines in.
int32_t measure_axis(const unsigned char *image, int32_t lines, int32_t count, int32_t line_pitch,
                     int32_t pixel_pitch, int32_t step, int32_t whole, int32_t limit)
{
    int32_t first = 0;
    while (first * step <= limit && black_line(image + first * line_pitch, count, pixel_pitch))
        first++;
    int32_t last = lines - 1;
    while (last >= 0 && whole - (last * step + 1) <= limit &&
           black_line(image + last * line_pitch, count, pixel_pitch))
        last--;
    if (first * step > limit || last < 0 || whole - (last * step + 1) > limit)
        return -1;
    const int32_t top = first * step;
    const int32_t bottom = whole - (last * step + 1);
    return top < bottom ? top : bottom;
}

int32_t ceil_div(int32_t a, int32_t b)
{
    return (a + b - 1) / b;
}

int32_t distance(int32_t a, int32_t b)
{
    return a > b ? a - b : b - a;
}

bool near(const border_bars &a, const border_bars &b, int32_t step)
{
    return distance(a.rows, b.rows) <= step && distance(a.columns, b.columns) <= step;
}

}  // namespace

bool measure_bars(const unsigned char *image, int32_t width, int32_t height, int32_t step,
                  border_bars *bars)
{
    const int32_t columns = ceil_div(width, step);
    const int32_t rows = ceil_div(height, step);
    const int32_t row_bytes = 3 * columns;
    int32_t limit_x = width / BORDER_MAX_PART;
    if (width - 2 * limit_x < ZONE_COUNT * step)
        limit_x = (width - ZONE_COUNT * step) / 2 > 0 ? (width - ZONE_COUNT * step) / 2 : 0;
    const int32_t v =
        measure_axis(image, rows, columns, row_bytes, 3, step, height, height / BORDER_MAX_PART);
    const int32_t h = measure_axis(image, columns, rows, 3, row_bytes, step, width, limit_x);
    if (v < 0 && h < 0)
        return false;
    bars->rows = v < 0 ? 0 : v;
    bars->columns = h < 0 ? 0 : h;
    return true;
}

border_bars track_bars(border_state &s, const border_bars *measured, int32_t step)
{
    if (!measured)
        return s.taken;
    if (near(*measured, s.taken, step)) {
        s.held = 0;
        return s.taken;
    }
    if (s.held > 0 && near(*measured, s.seen, step)) {
        s.held++;
        if (measured->rows < s.seen.rows)
            s.seen.rows = measured->rows;
        if (measured->columns < s.seen.columns)
            s.seen.columns = measured->columns;
    } else {
        s.seen = *measured;
        s.held = 1;
    }
    const bool shrinks = s.seen.rows < s.taken.rows || s.seen.columns < s.taken.columns;
    if (s.held >= (shrinks ? BORDER_DROP_FRAMES : BORDER_TAKE_FRAMES)) {
        s.taken = s.seen;
        s.held = 0;
    }
    return s.taken;
}

picture_area inside_bars(const border_bars &bars, int32_t width, int32_t height)
{
    return {bars.columns, bars.rows, width - bars.columns, height - bars.rows};
}
