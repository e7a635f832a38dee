// The simulated video decoder of huecast-demo: it puts each new picture
// where the box's capture hardware presents it, so that the real huecast,
// running in a simulated box (stb_box.h), finds it there. The memory layouts
// are those of the one writer of decoder memory (decoder_memory.h).
//
//   Pallas, Vulcan  /dev/video: a 16-byte header and the two planes, the
//                   whole file replaced atomically between two reads.
//   BCM7401         /dev/mem: the picture register block at 0x10100000 and
//                   the picture in 64-byte-wide stripes from DEMO_LUMA_BASE,
//                   each 4-byte group stored in reverse order; the height in
//                   /proc/stb/vmpeg/0/yres.
//   BCM4380         the same register block; the striped picture lies in the
//                   DMA window at 0x0FC01000, where the chip's DMA engine
//                   would have copied it (the simulated engine reports every
//                   transfer as finished at once).
//   Xilleon         /dev/mem: the tiled picture window at 0x06000000
//                   (tiles of 128 bytes by 32 lines, halves of odd tile rows
//                   exchanged); the size in /proc/stb/vmpeg/0/xres and yres.
//
// Pictures in memory are written in place, as a decoder does: a capture
// that reads while a frame is being written may see parts of two frames.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/box/decoder_memory.h"

struct stb_box;

enum class demo_chipset { pallas, vulcan, brcm7401, brcm4380, xilleon };

struct chipset_info {
    demo_chipset chipset;
    const char *flag;  // "pallas", as --chipset takes it
    const char *name;  // "Pallas", as huecast announces it
    int max_width;     // the largest picture the box shows
    int max_height;
    bool bgr;             // its lights get blue first, red last
    const char *proc_fb;  // what its /proc/fb says
    const char *cpuinfo;  // what its /proc/cpuinfo says
};

// Every chipset, in the order of demo_chipset.
const std::vector<chipset_info> &chipset_list();
const chipset_info &chipset_of(demo_chipset chipset);
// nullptr for an unknown flag.
const chipset_info *chipset_by_flag(const std::string &flag);

// Why the chipset cannot show a picture of this size; "" when it can.
// Widths are multiples of 16, heights even, within the box's largest picture.
std::string chipset_size_problem(demo_chipset chipset, int width, int height);

// The box's kernel files (/proc/fb, /proc/cpuinfo) and, on the boxes that
// are read through it, a sparse /dev/mem. Call before the box is entered.
// 0 or -errno.
int decoder_prepare(stb_box *box, demo_chipset chipset);

// Where this decoder keeps a Broadcom picture's luma stripes; the stripes
// are those a decoder chooses for the picture's size (stripes_for).
constexpr uint32_t DEMO_LUMA_BASE = 0x04000000;

// Shows a picture the way the chipset presents it. 0 or -errno.
int decoder_show(stb_box *box, demo_chipset chipset, const yuv_picture &picture);
