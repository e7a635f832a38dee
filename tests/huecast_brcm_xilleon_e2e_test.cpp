// The built huecast, unchanged, on simulated Broadcom (BCM7401, BCM4380) and
// Xilleon boxes: /dev/mem is a sparse file whose offset is the physical
// address, holding the decoder's picture as the decoder lays it out; the
// lights' messages are checked against colours computed from the picture.
#include "tests/box_fixture.h"
#include "tests/pictures.h"

namespace {

constexpr size_t FRAMES = 3;

constexpr char BCM7401_FB[] = "0 bcm7401 FB\n";
constexpr char BCM4380_FB[] = "0 bcmfb\n";
constexpr char BCM4380_CPUINFO[] = "system type\t: BCM97400\ncpu model\t: Brcm4380 V1.1\n";
constexpr char XILLEON_FB[] = "0 xilleonfb\n";

class StbHuecast : public BoxTest {
protected:
    // A Broadcom picture whose block has noise in its bases' low bytes.
    void place_noisy_broadcom(const yuv_picture &p, const stripe_geometry &g, uint32_t memory_at)
    {
        place_broadcom(p, g, memory_at, 0x77);
    }

    // The light set, the chipset's /proc files, and huecast started (with
    // --sample step when step > 1).
    void boot(const char *fb, const char *cpuinfo, int step = 1)
    {
        add_light_set();
        write_proc_fb(fb);
        if (cpuinfo) {
            ASSERT_EQ(stb_box_write_text(box, "/proc/cpuinfo", cpuinfo), 0);
        }
        if (step == 1)
            start(HUECAST_PATH);
        else
            start({HUECAST_PATH, "--sample", std::to_string(step)});
    }

    // Runs huecast for FRAMES frames and checks every message against the
    // zone colours of shown (the picture as the grabber sees it), over
    // every step-th pixel of every step-th row.
    void run_frames(const char *fb, const char *cpuinfo, const char *name, const yuv_picture &shown,
                    bool xilleon, int step = 1)
    {
        boot(fb, cpuinfo, step);
        ASSERT_TRUE(wait_lights(FRAMES * 5)) << out() << err();
        const process_result r = stop();
        const std::string detected = std::string("Detected STB: ") + name + "\n";
        EXPECT_NE(r.out.find(detected), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Mainmemory"), std::string::npos) << r.out;
        EXPECT_EQ(r.err, "");
        const std::vector<bytes> frame =
            frame_messages(step == 1 ? reference_zones(shown, xilleon)
                                     : reference_sampled_zones(reference_image(shown, xilleon),
                                                               shown.width, step, 0, shown.height));
        const std::vector<bytes> got = lights();
        ASSERT_GE(got.size(), FRAMES * 5);
        for (size_t i = 0; i < FRAMES * 5; i++)
            EXPECT_EQ(got[i], frame[i % 5]) << "message " << i;
    }

    uint32_t mem32(uint32_t address)
    {
        uint32_t value = 0;
        EXPECT_EQ(stb_box_mem_read32(box, address, &value), 0);
        return value;
    }

    // What the BCM4380 path leaves in the file: the descriptor of its one
    // chunk, the descriptor's address, the mode and the stopped engine.
    void expect_dma_left(uint32_t extent)
    {
        const uint32_t descriptor[8] = {
            BRCM_LUMA_BASE, BRCM_DMA_PICTURE, extent | 0x40000000, 0, 0, 0, 0, 0};
        for (uint32_t i = 0; i < 8; i++)
            EXPECT_EQ(mem32(BRCM_DMA_WINDOW + 4 * i), descriptor[i]) << "descriptor word " << i;
        EXPECT_EQ(mem32(BRCM_DMA_REGISTERS + 0x04), BRCM_DMA_WINDOW);
        EXPECT_EQ(mem32(BRCM_DMA_REGISTERS + 0x08), 0u);
        EXPECT_EQ(mem32(BRCM_DMA_REGISTERS + 0x0C), 3u);
    }

    // Runs huecast until it has printed the mapping message twice; no light
    // may change.
    void expect_refused(const char *fb, const char *cpuinfo)
    {
        boot(fb, cpuinfo);
        const std::string twice = "Mainmemory: <Memmapping failed>\n"
                                  "Mainmemory: <Memmapping failed>\n";
        EXPECT_TRUE(wait_output(twice)) << out();
        const process_result r = stop();
        EXPECT_EQ(r.signal, SIGKILL) << "it must still be running: " << r.out;
        EXPECT_TRUE(lights().empty());
    }
};

// --- a picture, three frames ---------------------------------------------------

enum class decoder { bcm7401, bcm4380, xilleon };

// One run: a picture as the chipset's decoder keeps it, three frames of
// huecast's messages checked against it. What each case catches is said
// beside it.
struct frames_case {
    const char *name;
    decoder chip;
    bool bars;  // the five bars, else a random picture from seed
    int width, height;
    unsigned seed;
    uint32_t gap;  // Broadcom: bytes from the page after the luma stripes to chroma
    int step = 1;  // huecast --sample step
};

const frames_case frame_cases[] = {
    // BCM7401, the picture read in place: catches any break from block to lights.
    {"Bcm7401Bars720x576", decoder::bcm7401, true, 720, 576, 0, 0x1000},
    // BCM7401, 1088 stripe rows: catches rows or stripes mixed up.
    {"Bcm7401Random1920x1080", decoder::bcm7401, false, 1920, 1080, 21, 0},
    // BCM4380, fetched by DMA: catches a wrong descriptor, register or short last stripe.
    {"Bcm4380Random720x480", decoder::bcm4380, false, 720, 480, 22, 0x800},
    // BCM4380: catches a wrong descriptor or register left behind.
    {"Bcm4380Bars1280x720", decoder::bcm4380, true, 1280, 720, 0, 0},
    // BCM4380, an extent near the window's limit: catches a refused HD frame.
    {"Bcm4380Random1920x1080", decoder::bcm4380, false, 1920, 1080, 23, 0},
    // Xilleon, one line in 32 (18 rows, red first): catches the full height or blue first.
    {"XilleonBars720x576", decoder::xilleon, true, 720, 576, 0, 0},
    // Xilleon, 15 rows: catches wrong chroma rows at an odd height.
    {"XilleonRandom720x480", decoder::xilleon, false, 720, 480, 31, 0},
    // Xilleon, whole tiles: catches tiles clipped at the width.
    {"XilleonBars1280x720", decoder::xilleon, true, 1280, 720, 0, 0},
    // Xilleon, 33 rows: catches halves left exchanged in odd tile rows.
    {"XilleonRandom1920x1080", decoder::xilleon, false, 1920, 1080, 32, 0},
    // --sample: catches samples taken from the wrong places of each layout, or
    // zones that count columns or rows the capture did not take.
    {"Bcm7401Sample8", decoder::bcm7401, false, 1920, 1080, 24, 0, 8},
    {"Bcm4380Sample3", decoder::bcm4380, false, 720, 480, 25, 0x800, 3},
    {"XilleonSample4", decoder::xilleon, false, 1920, 1080, 33, 0, 4},
};

class StbHuecastFrames : public StbHuecast, public testing::WithParamInterface<frames_case> {
protected:
    // Places the picture, runs huecast and checks its frames.
    void run_case(const frames_case &c)
    {
        const yuv_picture p =
            c.bars ? bars_picture(c.width, c.height) : random_picture(c.width, c.height, c.seed);
        if (c.chip == decoder::xilleon) {
            place_xilleon(p);
            run_frames(XILLEON_FB, nullptr, "Xilleon", sampled_picture(p), true, c.step);
            return;
        }
        const stripe_geometry g = stripes_for(c.width, c.height, c.gap);
        if (c.chip == decoder::bcm7401) {
            place_noisy_broadcom(p, g, BRCM_LUMA_BASE);
            run_frames(BCM7401_FB, nullptr, "Brcm7401", p, false, c.step);
            return;
        }
        place_noisy_broadcom(p, g, BRCM_DMA_PICTURE);
        run_frames(BCM4380_FB, BCM4380_CPUINFO, "Brcm4380", p, false, c.step);
        expect_dma_left(stripe_extent(g));
    }
};

// Every case of frame_cases (catches: beside each case).
TEST_P(StbHuecastFrames, LightsShowTheZones)
{
    run_case(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Cases, StbHuecastFrames, testing::ValuesIn(frame_cases),
                         [](const testing::TestParamInfo<frames_case> &info) {
                             return std::string(info.param.name);
                         });

// --- what huecast refuses ---------------------------------------------------------

// An extent beyond the DMA window; catches a frame read past the window, or a crash.
TEST_F(StbHuecast, Bcm4380ExtentBeyondTheWindowIsRefused)
{
    const yuv_picture p = bars_picture(1920, 1080);
    place_broadcom(p, stripes_for(1920, 1080, 0x200000), BRCM_DMA_PICTURE);
    expect_refused(BCM4380_FB, BCM4380_CPUINFO);
}

// A height the window cannot hold; catches a read past the window, or a crash.
TEST_F(StbHuecast, XilleonHeightBeyondTheWindowIsRefused)
{
    place_xilleon(bars_picture(720, 576));
    ASSERT_EQ(stb_box_write_picture_size(box, 720, 2304), 0);
    expect_refused(XILLEON_FB, nullptr);
}

}  // namespace
