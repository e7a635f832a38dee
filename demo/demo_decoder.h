// The simulated video decoder of huecast-demo: it puts each new picture
// where the box's capture hardware presents it, so that the real huecast,
// running in a simulated box (stb_box.h), finds it there.
//
//   Pallas, Vulcan  /dev/video: a 16-byte header and the two planes, the
//                   whole file replaced atomically between two reads.
//   BCM7401         /dev/mem: the picture register block at 0x10100000 and
//                   the picture in 64-byte-wide stripes, each 4-byte group
//                   stored in reverse order; the height in
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

struct stb_box;

// One decoded picture, YCbCr 4:2:0 with interleaved chroma: luma is width x
// height bytes, row r at r * width; chroma is height / 2 rows of width
// bytes, row q serving luma rows 2q and 2q + 1, as (Cb, Cr) pairs, pair k
// serving columns 2k and 2k + 1.
struct demo_picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> luma;
    std::vector<uint8_t> chroma;
};

// A black picture (luma 16, chroma 128).
demo_picture demo_picture_make(int width, int height);

enum class demo_chipset { pallas, vulcan, brcm7401, brcm4380, xilleon };

struct chipset_info {
    demo_chipset chipset;
    const char *flag;     // "pallas", as --chipset takes it
    const char *name;     // "Pallas", as huecast announces it
    int max_width;        // the largest picture the box shows
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

// Shows a picture the way the chipset presents it. 0 or -errno.
int decoder_show(stb_box *box, demo_chipset chipset, const demo_picture &picture);

// --- Broadcom picture memory -------------------------------------------------

constexpr uint32_t BRCM_REGISTERS = 0x10100000;     // the picture register block
constexpr uint32_t BRCM_REGISTERS_SIZE = 100;
constexpr uint32_t BRCM_DMA_PICTURE = 0x0FC01000;   // where the DMA copy lands
constexpr uint32_t BRCM_DMA_ROOM = 0x3FF000;        // bytes from there to 0x10000000
constexpr uint32_t BRCM_LUMA_BASE = 0x04000000;     // where this decoder keeps its picture
constexpr int BRCM_STRIPE = 64;                     // stripe width in bytes

struct brcm_layout {
    int width = 0;
    int luma_rows = 0;     // rows of each luma stripe: the picture height
    int chroma_rows = 0;   // rows of each chroma stripe: half of it
    uint32_t luma_base = BRCM_LUMA_BASE;
    uint32_t chroma_base = 0;  // page-aligned, right after the luma stripes
};

brcm_layout brcm_layout_for(int width, int height);
int brcm_stripe_count(int width);
// Bytes from the luma base that the capture reads (maps or has copied).
uint32_t brcm_extent(const brcm_layout &layout);
// The register block: width, bases and stripe rows at their offsets.
std::vector<uint8_t> brcm_registers(const brcm_layout &layout);
// A plane in stripes: stripe k, row r at (k * rows + r) * 64, holding
// columns 64k.. of plane row r with every 4-byte group reversed. The width
// is a multiple of 4.
std::vector<uint8_t> brcm_stripes(const uint8_t *plane, int width, int rows);

// --- Xilleon picture window --------------------------------------------------

constexpr uint32_t XILLEON_WINDOW = 0x06000000;
constexpr uint32_t XILLEON_CHROMA = 0xA8C000;    // the chroma region, from the window
constexpr int XILLEON_TILE_ROW = 0xF000;         // 15 tiles of 4096 bytes
constexpr int XILLEON_LINES = 32;                // lines of a tile row

// A plane of rows lines, width bytes each, as tile rows one after the other:
// tile row n, tile k, tile line l at n * 0xF000 + k * 0x1000 + l * 128
// holds columns 128k..128k+127 of plane line 32n + l, its two 64-byte
// halves exchanged when n is odd.
std::vector<uint8_t> xilleon_tiles(const uint8_t *plane, int width, int rows);
