// Zone colours: runs once per frame on the whole picture. Each pixel is read
// once, zone by zone and top to bottom within a zone, with additions only;
// three divisions per zone.
#include "zones.h"

uint32_t avgcolor(const unsigned char *image, int32_t x0, int32_t x1, int32_t stride, int32_t rows)
{
    if (x1 <= x0 || rows <= 0)
        return 0;
    uint32_t sum0 = 0, sum1 = 0, sum2 = 0;
    const unsigned char *row = image + 3 * x0;
    const int32_t row_bytes = 3 * (x1 - x0);
    // The row pointer only moves on while another row follows, so it never
    // points past the picture.
    for (int32_t r = 1;; ++r, row += stride) {
        for (const unsigned char *p = row, *end = row + row_bytes; p != end; p += 3) {
            sum0 += p[0];
            sum1 += p[1];
            sum2 += p[2];
        }
        if (r == rows)
            break;
    }
    const uint32_t count = static_cast<uint32_t>(rows) * static_cast<uint32_t>(x1 - x0);
    return ((sum0 / count) << 16) | ((sum1 / count) << 8) | (sum2 / count);
}

void getcolors(uint32_t colours[zone_count], const unsigned char *image, int32_t width,
               int32_t height)
{
    for (int32_t i = 0; i < zone_count; ++i)
        colours[i] = avgcolor(image, (i * width) / zone_count, ((i + 1) * width) / zone_count,
                              3 * width, height);
}
