// box-picture: the box VM's picture for one chipset, as files for the
// guest's overlay, and the colours the lights must then show.
//
//   box-picture CHIPSET WIDTHxHEIGHT OUTDIR [bars|random:SEED]
//
// CHIPSET: pallas, vulcan or xilleon. The picture: five vertical bars
// (white, red, green, blue, grey; the default) or random bytes from SEED.
// Writes under OUTDIR/box/ (the guest's /box/, which box-setup reads):
//   proc/fb, proc/stb/vmpeg/0/xres and yres   the box's /proc files
//   video                                     Pallas, Vulcan: what one read
//                                             of /dev/video delivers
//   mem/06000000                              Xilleon: the decoder's picture
//                                             window, for that address
//   lights                                    the reference: five lines
//                                             "LIGHT RRGGBB", lights 0 to 4,
//                                             the colour bytes as sent
// The reference is the picture's zone colours computed from the BT.601
// integer rules, independently of the capture code; on Xilleon boxes of
// the picture as the capture samples it (one line in 32).
// Exit status 0, 1 when a file cannot be written, 2 on wrong arguments.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "sim/box/decoder_memory.h"
#include "sim/box/stb_box.h"
#include "tests/pictures.h"

namespace {

struct chipset {
    const char *name;
    const char *fb;  // a /proc/fb line that names it
    bool xilleon;    // picture in the tile window, else through /dev/video
    int max_width, max_height;
};

const chipset chipsets[] = {
    {"pallas", "0 pallasfb\n", false, 720, 576},
    {"vulcan", "0 vulcanfb\n", false, 720, 576},
    {"xilleon", "0 xilleonfb\n", true, 1920, 1080},
};

// Zone i of the picture shows on light zone_lights[i].
constexpr int zone_lights[5] = {0, 2, 3, 4, 1};

// Writes bytes to OUTDIR/box/inside, making its folders. False with a line on
// standard error when that fails.
bool put(const std::string &outdir, const std::string &inside, const void *data, size_t size)
{
    const std::string path = outdir + "/box/" + inside;
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    FILE *f = fopen(path.c_str(), "wb");
    const bool ok = f && fwrite(data, 1, size, f) == size;
    if (f && fclose(f) != 0)
        return false;
    if (!ok)
        fprintf(stderr, "box-picture: cannot write %s: %s\n", path.c_str(), strerror(errno));
    return ok;
}

bool put_text(const std::string &outdir, const std::string &inside, const std::string &text)
{
    return put(outdir, inside, text.data(), text.size());
}

// The picture size as the kernel's files give it: lower-case hexadecimal and
// a line end.
std::string hex_line(int value)
{
    char text[16];
    snprintf(text, sizeof text, "%x\n", unsigned(value));
    return text;
}

// The five lights' colours for what the capture makes of p.
std::string lights_text(const yuv_picture &p, bool xilleon)
{
    const std::array<uint32_t, 5> zones =
        reference_zones(xilleon ? sampled_picture(p) : p, xilleon);
    uint32_t light[5];
    for (int zone = 0; zone < 5; zone++)
        light[zone_lights[zone]] = zones[zone];
    std::string text;
    for (int k = 0; k < 5; k++) {
        char line[16];
        snprintf(line, sizeof line, "%d %06x\n", k, light[k] & 0xFFFFFF);
        text += line;
    }
    return text;
}

bool write_box(const chipset &c, const yuv_picture &p, const std::string &outdir)
{
    bool ok = put_text(outdir, "proc/fb", c.fb) &&
              put_text(outdir, "proc/stb/vmpeg/0/xres", hex_line(p.width)) &&
              put_text(outdir, "proc/stb/vmpeg/0/yres", hex_line(p.height));
    if (ok && c.xilleon) {
        const std::vector<uint8_t> window = tiled_window(p);
        char name[32];
        snprintf(name, sizeof name, "mem/%08x", XILLEON_WINDOW);
        ok = put(outdir, name, window.data(), window.size());
    } else if (ok) {
        const std::vector<uint8_t> video =
            stb_video_bytes(p.width, p.height, p.luma.data(), p.chroma.data());
        ok = put(outdir, "video", video.data(), video.size());
    }
    return ok && put_text(outdir, "lights", lights_text(p, c.xilleon));
}

// The picture a name asks for; false for an unknown name.
bool make_picture(const char *name, int width, int height, yuv_picture *p)
{
    unsigned seed = 0;
    char tail = 0;
    if (strcmp(name, "bars") == 0)
        *p = bars_picture(width, height);
    else if (sscanf(name, "random:%u%c", &seed, &tail) == 1)
        *p = random_picture(width, height, seed);
    else
        return false;
    return true;
}

int usage()
{
    fprintf(stderr, "usage: box-picture pallas|vulcan|xilleon WIDTHxHEIGHT OUTDIR "
                    "[bars|random:SEED]\n"
                    "  Pallas and Vulcan: at most 720x576; Xilleon: at most 1920x1080;\n"
                    "  width and height even, at least 10x2 (Xilleon: 10x64)\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 4 || argc > 5)
        return usage();
    const chipset *c = nullptr;
    for (const chipset &k : chipsets)
        if (strcmp(argv[1], k.name) == 0)
            c = &k;
    int width = 0, height = 0;
    char tail = 0;
    if (!c || sscanf(argv[2], "%dx%d%c", &width, &height, &tail) != 2)
        return usage();
    const int min_height = c->xilleon ? 64 : 2;
    if (width < 10 || height < min_height || width % 2 || height % 2 || width > c->max_width ||
        height > c->max_height)
        return usage();
    yuv_picture p;
    if (!make_picture(argc == 5 ? argv[4] : "bars", width, height, &p))
        return usage();
    return write_box(*c, p, argv[3]) ? 0 : 1;
}
