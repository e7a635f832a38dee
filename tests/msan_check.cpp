// The capture and zone code under MemorySanitizer, without GoogleTest (see
// cmake/msan.cmake): pictures through the Broadcom and Xilleon sources, the
// conversion and the zone colours, each compared with the tests' reference,
// and through the captures getvideo runs, compared with those.
// Any byte they read that nothing wrote ends the program with MemorySanitizer's
// report; a picture unlike its reference makes it exit with 1. No std::string
// here: its compiled parts in libstdc++ are not instrumented.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <unistd.h>
#include <vector>

#include "capture/broadcom.h"
#include "capture/convert.h"
#include "capture/sources.h"
#include "capture/xilleon.h"
#include "huecast/borders.h"
#include "huecast/zones.h"
#include "sim/box/physmem_sim.h"
#include "tests/pictures.h"

namespace {

int failures = 0;
char dir[] = "/tmp/hue-msan-XXXXXX";

char xres[64], yres[64];  // the size files, in dir

void check(bool ok, const char *what, const char *name)
{
    if (!ok) {
        printf("FAILED: %s, %s\n", what, name);
        failures++;
    }
}

// Writes value as hexadecimal text to path.
const char *write_hex(const char *path, int value)
{
    FILE *f = fopen(path, "w");
    fprintf(f, "%x\n", unsigned(value));
    fclose(f);
    return path;
}

// The planes as the front end converts them.
std::vector<uint8_t> convert(const frame_planes &planes, bool xilleon)
{
    const yuv_frame frame = {planes.width, planes.height, planes.luma.get(), planes.chroma.get()};
    std::vector<uint8_t> image(size_t(3) * planes.width * planes.height);
    convert_frame(&frame, image.data(), xilleon);
    return image;
}

// What getvideo runs (the picture converted where the decoder keeps it),
// whole and every third pixel of every third row, against image, the
// picture converted from the source's planes.
template <class Capture>
void direct_case(Capture capture, const std::vector<uint8_t> &image, int width, int height,
                 const char *name)
{
    for (int step : {1, 3}) {
        std::vector<uint8_t> want;
        for (int y = 0; y < height; y += step)
            for (int x = 0; x < width; x += step)
                want.insert(want.end(), &image[3 * (size_t(y) * width + x)],
                            &image[3 * (size_t(y) * width + x)] + 3);
        std::vector<uint8_t> got(want.size() + 1);
        sampled_image out;
        out.image = got.data();
        out.step = step;
        check(capture(out) && out.width == width && out.height == height, "direct capture taken",
              name);
        got.pop_back();
        check(got == want, step == 1 ? "direct pixels" : "sampled pixels", name);
    }
}

// Random picture memory that g describes, through the Broadcom source
// (BCM7401 or BCM4380), converted, against the reference; even pictures'
// zone colours too.
void broadcom_case(const stripe_geometry &g, int height, int stb)
{
    char name[64];
    snprintf(name, sizeof name, "Broadcom %dx%d/%d, chipset %d", g.width, g.luma_rows,
             g.chroma_rows, stb);
    const int mem = physmem_sim_reset();
    std::vector<uint8_t> memory(stripe_extent(g));
    std::mt19937 rng(unsigned(g.width * g.luma_rows));
    for (uint8_t &b : memory)
        b = uint8_t(rng());
    physmem_sim_write(BRCM_LUMA_BASE, memory.data(), memory.size());
    const std::vector<uint8_t> block = picture_block(
        g.width, BRCM_LUMA_BASE, BRCM_LUMA_BASE + g.chroma_offset, g.luma_rows, g.chroma_rows);
    physmem_sim_write(BRCM_BLOCK, block.data(), block.size());
    frame_planes planes;
    const bool taken = broadcom_source(planes, mem, stb, RGB_IMAGE_HD / 3, write_hex(yres, height));
    check(taken, "picture taken", name);
    if (!taken)
        return;
    const yuv_picture want = destriped_picture(memory, g, height);
    const std::vector<uint8_t> image = convert(planes, false);
    check(image == reference_image(want, false), "pixels", name);
    direct_case(
        [&](sampled_image &out) {
            return broadcom_sampled(out, mem, stb, RGB_IMAGE_HD / 3, write_hex(yres, height));
        },
        image, g.width, height, name);
    if (g.width % 2 || height % 2)
        return;
    uint32_t colours[ZONE_COUNT];
    getcolors(colours, image.data(), g.width, height);
    const std::array<uint32_t, 5> zones = reference_zones(want, false);
    check(std::equal(zones.begin(), zones.end(), colours), "zone colours", name);
    // The modes' reading of the same picture: the zones over it as a sample
    // set of step 1, and its bars (a random picture has none).
    uint32_t sampled[ZONE_COUNT];
    getcolors_sampled(sampled, image.data(), g.width, 1, {0, 0, g.width, height});
    check(std::equal(zones.begin(), zones.end(), sampled), "sampled zone colours", name);
    border_bars bars;
    check(measure_bars(image.data(), g.width, height, 1, &bars) && bars.rows == 0 &&
              bars.columns == 0,
          "no bars", name);
}

// Widths off the 4-byte grid with fewer chroma stripe rows than luma stripe
// rows / 2, the chroma reversal straddling its limit or cut at the plane's
// end, and the usual broadcast geometries.
void broadcom_cases()
{
    const struct {
        int width, luma_rows, chroma_rows, height, stb;
    } cases[] = {{6, 4, 1, 2, STB_BRCM7401},         {6, 2, 1, 2, STB_BRCM7401},
                 {66, 4, 1, 2, STB_BRCM7401},        {66, 8, 3, 6, STB_BRCM4380},
                 {127, 8, 3, 6, STB_BRCM7401},       {127, 140, 1, 2, STB_BRCM4380},
                 {720, 576, 288, 576, STB_BRCM7401}, {1920, 1088, 544, 1080, STB_BRCM4380}};
    for (const auto &c : cases) {
        const uint32_t luma_length = uint32_t(stripe_count(c.width) * c.luma_rows * 64);
        broadcom_case({c.width, c.luma_rows, c.chroma_rows, (luma_length + 0xFF) & ~0xFFu},
                      c.height, c.stb);
    }
}

// A tiled 720 x 576 picture through the Xilleon source, converted, against
// the reference of its sampled rows.
void xilleon_case()
{
    const int mem = physmem_sim_reset();
    const yuv_picture p = random_picture(720, 576, 10);
    const std::vector<uint8_t> window = tiled_window(p);
    physmem_sim_write(XILLEON_WINDOW_ADDRESS, window.data(), window.size());
    frame_planes planes;
    const bool taken =
        xilleon_source(planes, mem, RGB_IMAGE_HD / 3, write_hex(xres, 720), write_hex(yres, 576));
    check(taken, "picture taken", "Xilleon 720x576");
    if (!taken)
        return;
    const std::vector<uint8_t> image = convert(planes, true);
    check(image == reference_image(sampled_picture(p), true), "pixels", "Xilleon 720x576");
    direct_case(
        [&](sampled_image &out) {
            return xilleon_sampled(out, mem, RGB_IMAGE_HD / 3, write_hex(xres, 720),
                                   write_hex(yres, 576));
        },
        image, 720, 18, "Xilleon 720x576");
}

}  // namespace

int main()
{
    if (!mkdtemp(dir))
        return 2;
    snprintf(xres, sizeof xres, "%s/xres", dir);
    snprintf(yres, sizeof yres, "%s/yres", dir);
    broadcom_cases();
    xilleon_case();
    unlink(xres);
    unlink(yres);
    rmdir(dir);
    printf("%s\n", failures ? "msan_check: FAILED" : "msan_check: all pictures as expected");
    return failures ? 1 : 0;
}
