// The Broadcom source against the simulated physical memory: the picture
// register block, de-striping and byte reversal, the BCM4380's DMA copy, the
// descriptions it refuses, and mappings given back on every path.
#include <malloc.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <tuple>

#include "capture/broadcom.h"
#include "capture/convert.h"
#include "capture/physmem.h"
#include "capture/size_file.h"
#include "tests/source_fixture.h"
#include "tests/pictures.h"

namespace {

constexpr uint8_t SENTINEL = 0x5A;

// --- the block ----------------------------------------------------------------

// Fields from their own bytes; catches word reads of odd offsets, a missing mask or shift.
TEST(BrcmBlock, FieldsTakenFromTheirBytes)
{
    std::vector<uint8_t> block = picture_block(720, 0x040000A5, 0x0405A0FF, 0, 288);
    block[0x27] = 0x00;
    block[0x28] = 0x24;
    brcm_picture p = parse_picture_block(block.data());
    EXPECT_EQ(p.width, 720);
    EXPECT_EQ(p.luma_base, 0x04000000u);
    EXPECT_EQ(p.chroma_base, 0x0405A000u);
    EXPECT_EQ(p.luma_rows, 576);
    EXPECT_EQ(p.chroma_rows, 288);

    block = picture_block(0xFFFF, 0xFFFFFFFF, 0x000000FF, 4095, 4095);
    p = parse_picture_block(block.data());
    EXPECT_EQ(p.width, 65535);
    EXPECT_EQ(p.luma_base, 0xFFFFFF00u);
    EXPECT_EQ(p.chroma_base, 0u);
    EXPECT_EQ(p.luma_rows, 4095);
    EXPECT_EQ(p.chroma_rows, 4095);
}

// --- de-striping and reversal ---------------------------------------------------

// 720, 1280, 1920 wide through writer and back; catches a short last stripe, stray writes.
TEST(BrcmStripes, RoundTripAtBroadcastWidths)
{
    for (const auto &[w, h] : {std::pair{720, 576}, std::pair{1280, 720}, std::pair{1920, 1080}}) {
        const yuv_picture p = random_picture(w, h, unsigned(w));
        const stripe_geometry g = stripes_for(w, h, 0x300);
        const std::vector<uint8_t> memory = striped_memory(p, g, false);
        std::vector<uint8_t> luma(size_t(w) * g.luma_rows + 64, SENTINEL);
        std::vector<uint8_t> chroma(size_t(w) * (g.chroma_rows + 64), SENTINEL);
        destripe(memory.data(), {w, g.luma_rows, g.chroma_rows, int32_t(g.chroma_offset)},
                 luma.data(), chroma.data());
        std::vector<uint8_t> want = stripe_plane(p.luma, w, g.luma_rows);
        want.resize(luma.size(), SENTINEL);
        EXPECT_EQ(luma, want) << w;
        want = stripe_plane(p.chroma, w, g.chroma_rows);
        want.resize(chroma.size(), SENTINEL);
        EXPECT_EQ(chroma, want) << w;
    }
}

// Chroma rows above luma rows, or none; catches chroma rows written beyond those copied.
TEST(BrcmStripes, ChromaRowsLimitedByLumaRows)
{
    std::vector<uint8_t> source(256 + 5 * 64);
    for (size_t i = 0; i < source.size(); i++)
        source[i] = uint8_t(i * 167 + 13);
    std::vector<uint8_t> luma(256, SENTINEL), chroma(3 * 128, SENTINEL);
    destripe(source.data(), {128, 2, 3, 256}, luma.data(), chroma.data());
    EXPECT_EQ(memcmp(&chroma[0], &source[256], 64), 0);
    EXPECT_EQ(memcmp(&chroma[128], &source[256 + 64], 64), 0);
    EXPECT_EQ(memcmp(&chroma[64], &source[256 + 128], 64), 0);
    EXPECT_EQ(memcmp(&chroma[192], &source[256 + 192], 64), 0);
    EXPECT_EQ(std::vector<uint8_t>(chroma.begin() + 256, chroma.end()),
              std::vector<uint8_t>(128, SENTINEL));

    std::vector<uint8_t> untouched(128, SENTINEL);
    destripe(source.data(), {128, 2, 0, 256}, luma.data(), untouched.data());
    EXPECT_EQ(untouched, std::vector<uint8_t>(128, SENTINEL));
}

// 4-byte groups reversed, a 1-3 byte tail kept; catches a reversal past the given length.
TEST(BrcmStripes, ReversalOfWholeGroupsOnly)
{
    std::vector<uint8_t> b = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    reverse_groups(b.data(), b.size());
    EXPECT_EQ(b, (std::vector<uint8_t>{4, 3, 2, 1, 8, 7, 6, 5, 9, 10, 11}));
    reverse_groups(b.data(), 3);
    EXPECT_EQ(b[0], 4);
}

// The one-pass copy against de-striping then reversing: widths whose groups
// line up with the stripes (one pass) and not (two), chroma rows copied but
// not reversed and reversed but not copied (zeroed), planes off a word
// boundary; catches a group reversed twice or not at all, a row of the wrong
// kind, or an unfilled byte left as the heap had it.
TEST(BrcmStripes, OnePassEqualsDestripeThenReversal)
{
    const struct {
        stripe_layout layout;
        size_t chroma_reversed_rows;
        size_t plane_offset;
    } cases[] = {
        {{1920, 1088, 544, 1920 * 1088}, 544, 0},  // HD: one pass, all rows both
        {{720, 576, 288, 12 * 576 * 64}, 288, 0},  // short last stripe
        {{128, 6, 6, 2 * 6 * 64}, 3, 0},           // chroma rows beyond the reversed ones
        {{128, 8, 2, 2 * 8 * 64}, 4, 0},           // reversed rows beyond the copied ones
        {{130, 4, 2, 3 * 4 * 64}, 2, 0},           // width not a multiple of 4: two passes
        {{128, 4, 2, 2 * 4 * 64}, 2, 1},           // planes off a word boundary: two passes
    };
    for (const auto &c : cases) {
        const stripe_layout &l = c.layout;
        const size_t stripes = size_t(l.width + 63) / 64;
        std::vector<uint8_t> source(size_t(l.chroma_offset) + stripes * size_t(l.chroma_rows) * 64);
        for (size_t i = 0; i < source.size(); i++)
            source[i] = uint8_t(i * 167 + i / 251);
        const size_t luma_size = size_t(l.width) * size_t(l.luma_rows);
        const size_t chroma_size =
            size_t(l.width) * std::max(size_t(l.chroma_rows), c.chroma_reversed_rows);
        const size_t chroma_reversed = size_t(l.width) * c.chroma_reversed_rows;
        std::vector<uint8_t> want_luma(luma_size + 8, SENTINEL);
        std::vector<uint8_t> want_chroma(chroma_size + 8, SENTINEL);
        std::vector<uint8_t> luma = want_luma, chroma = want_chroma;
        uint8_t *const wl = want_luma.data() + c.plane_offset;
        uint8_t *const wc = want_chroma.data() + c.plane_offset;
        destripe(source.data(), l, wl, wc);
        const size_t filled = size_t(l.width) * size_t(std::min(l.luma_rows, l.chroma_rows));
        if (filled < chroma_reversed)
            std::fill(wc + filled, wc + chroma_reversed, 0);  // nothing the decoder gave
        reverse_groups(wl, luma_size);
        reverse_groups(wc, chroma_reversed);
        destripe_reversed(source.data(), l, luma.data() + c.plane_offset,
                          chroma.data() + c.plane_offset, chroma_reversed);
        EXPECT_EQ(luma, want_luma) << l.width << " x " << l.luma_rows;
        EXPECT_EQ(chroma, want_chroma) << l.width << " x " << l.luma_rows;
    }
}

// --- the DMA copy ------------------------------------------------------------------

class BrcmDma : public SourceTest {
protected:
    // The window and the register page mapped as the source maps them.
    using engine_body = std::function<void(unsigned char *window, unsigned char *registers)>;
    void with_engine(int busy_polls, const engine_body &body)
    {
        physmem_sim_options options;
        options.busy_polls = busy_polls;
        mem = physmem_sim_reset(options);
        phys_mapping window(mem, BRCM_DMA_WINDOW, 0x400000, true);
        phys_mapping registers(mem, BRCM_DMA_REGISTERS, 0x1000, true);
        ASSERT_TRUE(window && registers);
        body(window.get(), registers.get());
    }
};

// Descriptor, registers, polls with 2 us pauses, stop; catches any change of order or value.
TEST_F(BrcmDma, OneChunkInOrder)
{
    std::vector<uint8_t> picture(0x100000);
    for (size_t i = 0; i < picture.size(); i++)
        picture[i] = uint8_t(i * 31 + i / 4096);
    with_engine(2, [&](unsigned char *window, unsigned char *registers) {
        physmem_sim_write(BRCM_LUMA_BASE, picture.data(), picture.size());
        dma_copy(window, registers, BRCM_LUMA_BASE, 0x100000);
    });
    using k = sim_event_kind;
    const std::vector<std::tuple<k, uint32_t, uint32_t>> want = {
        {k::write, BRCM_DMA_WINDOW, BRCM_LUMA_BASE},
        {k::write, BRCM_DMA_WINDOW + 4, 0x0FC01000},
        {k::write, BRCM_DMA_WINDOW + 8, 0x40100000},
        {k::write, BRCM_DMA_WINDOW + 12, 0},
        {k::write, BRCM_DMA_WINDOW + 16, 0},
        {k::write, BRCM_DMA_WINDOW + 20, 0},
        {k::write, BRCM_DMA_WINDOW + 24, 0},
        {k::write, BRCM_DMA_WINDOW + 28, 0},
        {k::write, BRCM_DMA_REGISTERS + 4, BRCM_DMA_WINDOW},
        {k::write, BRCM_DMA_REGISTERS + 12, 3},
        {k::write, BRCM_DMA_REGISTERS + 8, 1},
        {k::read, BRCM_DMA_REGISTERS + 20, 1},
        {k::pause, 0, 2},
        {k::read, BRCM_DMA_REGISTERS + 20, 1},
        {k::pause, 0, 2},
        {k::read, BRCM_DMA_REGISTERS + 20, 0},
        {k::write, BRCM_DMA_REGISTERS + 8, 0}};
    std::vector<std::tuple<k, uint32_t, uint32_t>> got;
    for (const sim_event &e : physmem_sim_events())
        if (e.kind != k::map && e.kind != k::unmap)
            got.emplace_back(e.kind, e.address, e.value);
    EXPECT_EQ(got, want);
    std::vector<uint8_t> copied(picture.size());
    physmem_sim_read(0x0FC01000, copied.data(), copied.size());
    EXPECT_EQ(copied, picture);
}

// Chunk sources and lengths, idle engine unpaused; catches off-by-ones at 0x3FF000.
TEST_F(BrcmDma, ChunksOfAtMost0x3FF000)
{
    const struct {
        int32_t extent;
        std::vector<uint32_t> lengths;
    } cases[] = {{0x3FF000, {0x3FF000}},
                 {0x100000, {0x100000}},
                 {0x3FF001, {0x3FF000, 1}},
                 {0x900000, {0x3FF000, 0x3FF000, 0x102000}},
                 {0, {}},
                 {-4096, {}}};
    for (const auto &c : cases) {
        with_engine(0, [&](unsigned char *window, unsigned char *registers) {
            dma_copy(window, registers, BRCM_LUMA_BASE, c.extent);
        });
        const std::vector<sim_transfer> &t = physmem_sim_transfers();
        ASSERT_EQ(t.size(), c.lengths.size()) << c.extent;
        for (size_t i = 0; i < t.size(); i++) {
            EXPECT_EQ(t[i].source, BRCM_LUMA_BASE + 0x3FF000 * i) << c.extent;
            EXPECT_EQ(t[i].destination, 0x0FC01000u) << c.extent;
            EXPECT_EQ(t[i].length_word, c.lengths[i] | 0x40000000) << c.extent;
        }
        EXPECT_EQ(events_of(sim_event_kind::read).size(), c.lengths.size());
        EXPECT_TRUE(events_of(sim_event_kind::pause).empty());
    }
}

// --- the whole source ----------------------------------------------------------------

class Broadcom : public SourceTest {
protected:
    frame_planes planes;
    std::string out;

    void write_height(int height)
    {
        char text[32];
        snprintf(text, sizeof text, "%x\n", unsigned(height));
        write_file("yres", text);
    }

    void place_block(int width, uint32_t luma_word, uint32_t chroma_word, int luma_rows,
                     int chroma_rows)
    {
        const std::vector<uint8_t> b =
            picture_block(width, luma_word, chroma_word, luma_rows, chroma_rows);
        physmem_sim_write(BRCM_BLOCK_ADDRESS, b.data(), b.size());
    }

    // p striped at luma_base (low bytes of the block's base words noisy), its
    // block, and its height in yres.
    void place(const yuv_picture &p, const stripe_geometry &g, uint32_t luma_base = BRCM_LUMA_BASE)
    {
        const std::vector<uint8_t> memory = striped_memory(p, g);
        physmem_sim_write(luma_base, memory.data(), memory.size());
        place_block(g.width, luma_base | 0xA5, (luma_base + g.chroma_offset) | 0x3C, g.luma_rows,
                    g.chroma_rows);
        write_height(p.height);
    }

    bool capture(int stb)
    {
        planes = frame_planes();
        return printing(
            [&] { return broadcom_source(planes, mem, stb, HD_PIXELS, file("yres").c_str()); },
            &out);
    }

    void expect_picture(const yuv_picture &p, const stripe_geometry &g)
    {
        EXPECT_EQ(planes.width, p.width);
        EXPECT_EQ(planes.height, p.height);
        ASSERT_TRUE(planes.luma && planes.chroma);
        const std::vector<uint8_t> luma = stripe_plane(p.luma, p.width, g.luma_rows);
        EXPECT_EQ(memcmp(planes.luma.get(), luma.data(), luma.size()), 0);
        const std::vector<uint8_t> chroma = stripe_plane(p.chroma, p.width, g.chroma_rows);
        EXPECT_EQ(memcmp(planes.chroma.get(), chroma.data(), chroma.size()), 0);
    }
};

using mapping_event = std::tuple<sim_event_kind, uint32_t, size_t, bool>;
constexpr sim_event_kind MAP = sim_event_kind::map, UNMAP = sim_event_kind::unmap;

// Mappings made and removed, in order: kind, address, length, writable.
std::vector<mapping_event> mappings()
{
    std::vector<mapping_event> out;
    for (const sim_event &e : physmem_sim_events())
        if (e.kind == MAP || e.kind == UNMAP)
            out.emplace_back(e.kind, e.address, e.length, e.writable);
    return out;
}

// BCM7401 mappings, 50 ms pause and planes; catches wrong mappings, layout or reversal.
TEST_F(Broadcom, Bcm7401ReadsThePictureInPlace)
{
    const yuv_picture p = random_picture(720, 576, 1);
    const stripe_geometry g = stripes_for(720, 576, 0x2000);
    place(p, g);
    ASSERT_TRUE(capture(STB_BRCM7401)) << out;
    EXPECT_EQ(out, "");
    expect_picture(p, g);
    const std::vector<mapping_event> want = {{MAP, BRCM_BLOCK_ADDRESS, 100, false},
                                             {UNMAP, BRCM_BLOCK_ADDRESS, 100, false},
                                             {MAP, BRCM_LUMA_BASE, stripe_extent(g), false},
                                             {UNMAP, BRCM_LUMA_BASE, stripe_extent(g), false}};
    EXPECT_EQ(mappings(), want);
    const std::vector<sim_event> reads = events_of(sim_event_kind::read);
    ASSERT_EQ(reads.size(), 25u);
    for (uint32_t i = 0; i < 25; i++)
        EXPECT_EQ(reads[i].address, BRCM_BLOCK_ADDRESS + 4 * i);
    const std::vector<sim_event> &all = physmem_sim_events();
    const auto picture_map = std::find_if(all.begin(), all.end(), [](const sim_event &e) {
        return e.kind == sim_event_kind::map && e.address == BRCM_LUMA_BASE;
    });
    ASSERT_NE(picture_map + 1, all.end());
    EXPECT_EQ(picture_map[1].kind, sim_event_kind::pause);
    EXPECT_EQ(picture_map[1].value, 50000u);
    EXPECT_TRUE(events_of(sim_event_kind::write).empty());
    EXPECT_EQ(physmem_sim_live_mappings(), 0);
    EXPECT_EQ(physmem_sim_faults(), 0);
}

// BCM4380 mapping order, one transfer, planes from the window; catches reading memory directly.
TEST_F(Broadcom, Bcm4380CopiesByDma)
{
    physmem_sim_options options;
    options.busy_polls = 3;
    mem = physmem_sim_reset(options);
    const yuv_picture p = random_picture(1920, 1080, 2);
    const stripe_geometry g = stripes_for(1920, 1080);
    place(p, g);
    ASSERT_TRUE(capture(STB_BRCM4380)) << out;
    expect_picture(p, g);
    const std::vector<mapping_event> want = {
        {MAP, BRCM_BLOCK_ADDRESS, 100, false},      {UNMAP, BRCM_BLOCK_ADDRESS, 100, false},
        {MAP, BRCM_DMA_WINDOW, 0x400000, true},     {MAP, BRCM_DMA_REGISTERS, 0x1000, true},
        {UNMAP, BRCM_DMA_REGISTERS, 0x1000, false}, {UNMAP, BRCM_DMA_WINDOW, 0x400000, false}};
    EXPECT_EQ(mappings(), want);
    ASSERT_EQ(physmem_sim_transfers().size(), 1u);
    EXPECT_EQ(physmem_sim_transfers()[0].source, BRCM_LUMA_BASE);
    EXPECT_EQ(physmem_sim_transfers()[0].length_word, stripe_extent(g) | 0x40000000);
    EXPECT_EQ(events_of(sim_event_kind::pause).size(), 3u);
    EXPECT_EQ(physmem_sim_live_mappings(), 0);
}

// Width 0: BCM7401 still pauses, BCM4380 starts no transfer; catches either skipped.
TEST_F(Broadcom, EmptyPictureStillPausesOnBcm7401)
{
    place_block(0, BRCM_LUMA_BASE, BRCM_LUMA_BASE + 0x1000, 16, 8);
    write_height(0);
    ASSERT_TRUE(capture(STB_BRCM7401)) << out;
    EXPECT_EQ(planes.width, 0);
    ASSERT_EQ(events_of(sim_event_kind::pause).size(), 1u);
    EXPECT_EQ(events_of(sim_event_kind::pause)[0].value, 50000u);

    mem = physmem_sim_reset();
    place_block(0, BRCM_LUMA_BASE, BRCM_LUMA_BASE, 16, 8);
    ASSERT_TRUE(capture(STB_BRCM4380)) << out;
    EXPECT_EQ(planes.width, 0);
    EXPECT_TRUE(physmem_sim_transfers().empty());
    EXPECT_EQ(physmem_sim_live_mappings(), 0);
}

// Chroma reversal clipped to its plane; under ASan/valgrind catches the overrun.
TEST_F(Broadcom, ChromaReversalStaysInsideThePlane)
{
    const yuv_picture p = random_picture(64, 20, 5);
    const stripe_geometry g = {64, 400, 10, 400 * 64};
    place(p, g);
    ASSERT_TRUE(capture(STB_BRCM7401)) << out;
    expect_picture(p, g);
}

// Widths off the 4-byte grid, fewer chroma stripe rows than luma rows / 2,
// chroma reversal straddling its limit or cut at the plane's end, against the
// reference pixel for pixel; the heap filled with non-zero bytes. Catches
// never-copied chroma bytes reaching the picture, and a straddling group left
// unreversed.
TEST_F(Broadcom, ChromaOffTheWordGridConvertsFromDecoderBytesOnly)
{
    const struct {
        int width, luma_rows, chroma_rows, height;
    } cases[] = {{6, 4, 1, 2},   {6, 2, 1, 2},   {66, 4, 1, 2},   {66, 8, 3, 6},
                 {127, 8, 3, 6}, {127, 2, 1, 2}, {127, 140, 1, 2}};
    mallopt(M_PERTURB, 0x11);  // fresh heap blocks read 0xEE; ASan fills its own
    for (const auto &c : cases) {
        const std::string name = std::to_string(c.width) + "x" + std::to_string(c.luma_rows) + "/" +
                                 std::to_string(c.chroma_rows);
        mem = physmem_sim_reset();
        const uint32_t luma_length = uint32_t(stripe_count(c.width) * c.luma_rows * 64);
        const stripe_geometry g = {c.width, c.luma_rows, c.chroma_rows,
                                   (luma_length + 0xFF) &
                                       ~0xFFu};  // the base's low byte is not address
        std::vector<uint8_t> memory(stripe_extent(g));
        std::mt19937 rng(unsigned(c.width * c.luma_rows));
        for (uint8_t &b : memory)
            b = uint8_t(rng());
        physmem_sim_write(BRCM_LUMA_BASE, memory.data(), memory.size());
        place_block(c.width, BRCM_LUMA_BASE, BRCM_LUMA_BASE + g.chroma_offset, c.luma_rows,
                    c.chroma_rows);
        write_height(c.height);
        ASSERT_TRUE(capture(STB_BRCM7401)) << name << out;
        const yuv_frame frame = {planes.width, planes.height, planes.luma.get(),
                                 planes.chroma.get()};
        std::vector<uint8_t> image(size_t(3) * c.width * c.height);
        convert_frame(&frame, image.data(), false);
        EXPECT_EQ(image, reference_image(destriped_picture(memory, g, c.height), false)) << name;
    }
    mallopt(M_PERTURB, 0);
}

// Extent 0x3FF000 taken, 256 bytes more refused on BCM4380 only; catches an off-by-one.
TEST_F(Broadcom, DmaWindowLimit)
{
    const yuv_picture p = random_picture(1920, 1080, 4);
    stripe_geometry g = stripes_for(1920, 1080);
    g.chroma_offset = 0x3FF000 - 1920 * (g.chroma_rows + 64);
    place(p, g);
    ASSERT_TRUE(capture(STB_BRCM4380)) << out;
    ASSERT_EQ(physmem_sim_transfers().size(), 1u);
    EXPECT_EQ(physmem_sim_transfers()[0].length_word, 0x3FF000u | 0x40000000);

    mem = physmem_sim_reset();
    g.chroma_offset += 0x100;
    place(p, g);
    EXPECT_FALSE(capture(STB_BRCM4380));
    EXPECT_EQ(out, MAPPING_FAILED);
    ASSERT_TRUE(capture(STB_BRCM7401)) << out;
    expect_picture(p, g);
}

// Each broken description refused, all given back; catches a missing check.
TEST_F(Broadcom, HostileDescriptionsAreRefused)
{
    constexpr uint32_t L = BRCM_LUMA_BASE;
    constexpr uint32_t SD = 0x6C000;  // 720 x 576: 12 stripes of 576 rows, chroma right after
    constexpr uint32_t TOP = 0xFFF80000;
    const struct {
        const char *name;
        int width;
        uint32_t luma_word, chroma_word;
        int luma_rows, chroma_rows;
        const char *yres;  // nullptr: no such file
        int stb;
    } cases[] = {
        {"negative height", 720, L, L + SD, 576, 288, "ffffffff\n", STB_BRCM7401},
        {"height above luma rows", 720, L, L + SD, 576, 296, "250\n", STB_BRCM7401},
        {"no width, height above luma rows", 0, L, L + 0x1000, 16, 9, "11\n", STB_BRCM7401},
        {"odd height above chroma rows", 720, L, L + SD, 576, 287, "23f\n", STB_BRCM4380},
        {"chroma inside luma stripes", 720, L, L + SD - 0x100, 576, 288, "240\n", STB_BRCM7401},
        {"chroma below luma", 720, L, L - 0x100000, 576, 288, "240\n", STB_BRCM4380},
        {"chroma stripes beyond extent", 16, L, L + 576 * 64, 576, 288, "240\n", STB_BRCM7401},
        {"beyond 4 GiB", 720, TOP, TOP + SD, 576, 288, "240\n", STB_BRCM7401},
        {"larger than the image", 4096, L, L + 64 * 608 * 64, 608, 304, "260\n", STB_BRCM7401},
        {"no yres", 720, L, L + SD, 576, 288, nullptr, STB_BRCM7401},
        {"luma base not on a page", 720, L + 0x100, L + 0x100 + SD, 576, 288, "240\n",
         STB_BRCM7401},
    };
    for (const auto &c : cases) {
        mem = physmem_sim_reset();
        remove(file("yres").c_str());
        place_block(c.width, c.luma_word, c.chroma_word, c.luma_rows, c.chroma_rows);
        if (c.yres)
            write_file("yres", c.yres);
        EXPECT_FALSE(capture(c.stb)) << c.name;
        EXPECT_EQ(out, MAPPING_FAILED) << c.name;
        EXPECT_FALSE(planes.luma || planes.chroma) << c.name;
        EXPECT_EQ(physmem_sim_live_mappings(), 0) << c.name;
        EXPECT_EQ(physmem_sim_faults(), 0) << c.name;
        EXPECT_TRUE(physmem_sim_transfers().empty()) << c.name;
    }
}

// Each mapping refused in turn on both chips; catches a mapping leaked on a failing path.
TEST_F(Broadcom, EveryMappingGivenBackOnEveryPath)
{
    const yuv_picture p = random_picture(720, 480, 6);
    const stripe_geometry g = stripes_for(720, 480);
    for (const auto &[stb, maps] : {std::pair{STB_BRCM7401, 2}, std::pair{STB_BRCM4380, 3}}) {
        for (int n = 1; n <= maps; n++) {
            physmem_sim_options options;
            options.refuse_map = n;
            mem = physmem_sim_reset(options);
            place(p, g);
            EXPECT_FALSE(capture(stb)) << stb << " " << n;
            EXPECT_EQ(out, MAPPING_FAILED);
            EXPECT_EQ(physmem_sim_live_mappings(), 0) << stb << " " << n;
            EXPECT_EQ(mapping_attempts(), n) << stb << " " << n;
            EXPECT_FALSE(planes.luma || planes.chroma);
        }
        mem = physmem_sim_reset();
        place(p, g);
        EXPECT_TRUE(capture(stb)) << out;
        EXPECT_EQ(mapping_attempts(), maps) << stb;
    }
}

// --- the size files ------------------------------------------------------------------

class SizeFile : public SourceTest {
protected:
    int32_t read(const std::string &text)
    {
        write_file("size", text);
        int32_t value = 12345;
        EXPECT_TRUE(read_size_file(file("size").c_str(), &value));
        return value;
    }
};

// Hex text, last parsing piece wins, missing file reported; catches decimal or first-wins.
TEST_F(SizeFile, LastHexadecimalLineWins)
{
    EXPECT_EQ(read("240\n"), 576);
    EXPECT_EQ(read("1e0\n"), 480);
    EXPECT_EQ(read("2d0\n240\n"), 576);
    EXPECT_EQ(read("0x2d0\n"), 720);
    EXPECT_EQ(read("240\nnone\n"), 576);
    EXPECT_EQ(read(""), 0);
    EXPECT_EQ(read("ffffffff\n"), -1);
    EXPECT_EQ(read(std::string(255, ' ') + "1e0\n"), 480);
    int32_t value = 7;
    EXPECT_FALSE(read_size_file(file("absent").c_str(), &value));
}

// Numbers beyond 32 bits count as no number, here as on the 32-bit box;
// catches sscanf's undefined result (720 on x86-64, -1 on MIPS).
TEST_F(SizeFile, OutOfRangeCountsAsUnreadable)
{
    EXPECT_EQ(read("1000002d0\n"), 0);
    EXPECT_EQ(read("240\n1000002d0\n"), 576);
    EXPECT_EQ(read("fffffffff\n"), 0);
    EXPECT_EQ(read("0x100000000\n240\n"), 576);
    EXPECT_EQ(read("0000000000002d0\n"), 720);
    EXPECT_EQ(read(" -1\n"), -1);
    EXPECT_EQ(read("+2d0 lines\n"), 720);
    EXPECT_EQ(read("0xg\n"), 0);
}

}  // namespace
