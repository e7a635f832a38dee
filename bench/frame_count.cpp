// Runs a command (huecast under an instruction counter) in a simulated box
// of one chipset, with the emulated light set attached and the decoder
// showing one picture at the chipset's largest size, until the light set
// has received the messages of the given number of frames; then stops it.
// The counter writes its own results; this only sets the scene.
//
//   frame_count CHIPSET PICTURE FRAMES COMMAND...
//
// CHIPSET: pallas, vulcan, brcm7401, brcm4380 or xilleon; PICTURE: random or
// smooth. Exits 0 once the frames are done, 1 on a failure (said on stderr).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/lightset/emu_usb.h"
#include "sim/box/stb_box.h"
#include "sim/common/util.h"

namespace {

struct chipset {
    const char *name;
    const char *fb;       // /proc/fb
    const char *cpuinfo;  // /proc/cpuinfo, or nullptr
    int width, height;    // the largest picture of the box family
};

constexpr chipset chipsets[] = {
    {"pallas", "0 pallasfb\n", nullptr, 720, 576},
    {"vulcan", "0 vulcanfb\n", nullptr, 720, 576},
    {"brcm7401", "0 bcm7401 FB\n", nullptr, 1920, 1080},
    {"brcm4380", "0 bcmfb\n", "cpu model\t: Brcm4380 V1.1\n", 1920, 1080},
    {"xilleon", "0 xilleonfb\n", nullptr, 1920, 1080},
};

// Seconds a frame may take at most, under the slowest counter (callgrind).
constexpr double FRAME_TIMEOUT_S = 120;

// Gentle gradients in studio range, as in most broadcast pictures.
yuv_picture smooth_picture(int width, int height)
{
    yuv_picture p = black_picture(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            p.luma[size_t(y) * width + x] = uint8_t(16 + 219 * (x + y) / (width + height));
    for (int y = 0; y < height / 2; ++y)
        for (int x = 0; x + 1 < width; x += 2) {
            p.chroma[size_t(y) * width + x] = uint8_t(64 + 128 * x / width);
            p.chroma[size_t(y) * width + x + 1] = uint8_t(64 + 256 * y / height);
        }
    return p;
}

bool fail(const char *what)
{
    fprintf(stderr, "frame_count: %s\n", what);
    return false;
}

// Puts the picture where the chipset's decoder keeps it, as the end-to-end
// tests do.
bool place_picture(stb_box *box, const chipset &c, const yuv_picture &p)
{
    if (stb_box_make_mem(box) != 0)
        return fail("no /dev/mem");
    int r;
    if (!strcmp(c.name, "pallas") || !strcmp(c.name, "vulcan"))
        r = stb_box_show_video(box, p);
    else if (!strcmp(c.name, "xilleon"))
        r = stb_box_show_xilleon(box, p);
    else
        r = stb_box_show_broadcom(box, p, stripes_for(p.width, p.height), BRCM_LUMA_BASE,
                                  !strcmp(c.name, "brcm4380") ? BRCM_DMA_PICTURE : BRCM_LUMA_BASE);
    return r == 0 || fail("cannot put the picture into the box");
}

bool write_proc(stb_box *box, const chipset &c)
{
    if (stb_box_write_text(box, "/proc/fb", c.fb) != 0)
        return fail("cannot write /proc/fb");
    return !c.cpuinfo || stb_box_write_text(box, "/proc/cpuinfo", c.cpuinfo) == 0;
}

// Runs the command until the light set has seen frames frames (five light
// messages each, after the two of the open handshake).
bool run_frames(stb_box *box, emu_device *dev, const std::vector<std::string> &command,
                size_t frames)
{
    process_options options;
    options.timeout_seconds = 0;
    options.setup = stb_box_setup(box);
    process_ptr child = emu_run_start(command, options);
    if (!child)
        return fail("cannot start the command");
    const double until = now_seconds() + FRAME_TIMEOUT_S * double(frames + 1);
    while (emu_packets(*dev).size() < 2 + 5 * frames && now_seconds() < until)
        if (!process_poll(*child, 50))
            break;
    const bool done = emu_packets(*dev).size() >= 2 + 5 * frames;
    process_kill(*child, SIGKILL);
    const process_result r = process_finish(std::move(child));
    if (!done)
        fprintf(stderr, "frame_count: the program ended or stalled early\n%s%s", r.out.c_str(),
                r.err.c_str());
    return done;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: frame_count CHIPSET random|smooth FRAMES COMMAND...\n");
        return 2;
    }
    const chipset *c = nullptr;
    for (const chipset &candidate : chipsets)
        if (!strcmp(candidate.name, argv[1]))
            c = &candidate;
    const bool smooth = !strcmp(argv[2], "smooth");
    const long frames = strtol(argv[3], nullptr, 10);
    if (!c || (!smooth && strcmp(argv[2], "random")) || frames < 1) {
        fprintf(stderr, "frame_count: unknown chipset or picture, or no frames\n");
        return 2;
    }
    const yuv_picture p =
        smooth ? smooth_picture(c->width, c->height) : random_picture(c->width, c->height, 20240);
    emu_testbed_ptr bed(emu_testbed_new());
    stb_box *box = stb_box_make();
    emu_device *dev = bed ? emu_add_device(bed.get(), 1, 2, 0x0471, 0x083F) : nullptr;
    bool ok = box && dev && place_picture(box, *c, p) && write_proc(box, *c) &&
              run_frames(box, dev, std::vector<std::string>(argv + 4, argv + argc), size_t(frames));
    if (!box || !dev)
        ok = fail("cannot make the box or the light set (needs root)");
    stb_box_free(box);
    return ok ? 0 : 1;
}
