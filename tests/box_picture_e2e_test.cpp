// box-picture's files for the box VM, checked in a simulated box before any
// VM boots: the built huecast, unchanged, given the /proc files, /dev/video
// or decoder memory that box-picture wrote, must send the colours its lights
// file names, light by light.
#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/box_fixture.h"

namespace {

struct overlay_case {
    const char *name;
    const char *chipset;
    const char *size;
    const char *picture;
};

class BoxPicture : public BoxTest, public testing::WithParamInterface<overlay_case> {
protected:
    std::string outdir;

    // Inside the box's staging directory, which goes with the box.
    void SetUp() override
    {
        BoxTest::SetUp();
        if (!IsSkipped())
            outdir = std::string(stb_box_dir(box)) + "/overlay";
    }

    std::string contents(const std::string &inside)
    {
        std::ifstream in(outdir + "/box/" + inside, std::ios::binary);
        std::ostringstream all;
        all << in.rdbuf();
        return all.str();
    }

    // The overlay's files into the simulated box, where the VM's box-setup
    // puts them.
    void place_overlay()
    {
        for (const char *file : {"fb", "stb/vmpeg/0/xres", "stb/vmpeg/0/yres"}) {
            const std::string text = contents(std::string("proc/") + file);
            ASSERT_FALSE(text.empty()) << file;
            ASSERT_EQ(stb_box_write_text(box, ("/proc/" + std::string(file)).c_str(), text), 0);
        }
        const std::string video = contents("video");
        if (!video.empty()) {
            ASSERT_EQ(stb_box_write(box, "/dev/video", video.data(), video.size()), 0);
        }
        DIR *mem = opendir((outdir + "/box/mem").c_str());
        while (const dirent *e = mem ? readdir(mem) : nullptr) {
            if (e->d_name[0] == '.')
                continue;
            const std::string bytes = contents(std::string("mem/") + e->d_name);
            const uint64_t address = strtoull(e->d_name, nullptr, 16);
            EXPECT_EQ(stb_box_mem_write(box, address, bytes.data(), bytes.size()), 0);
        }
        if (mem)
            closedir(mem);
    }

    // The lights file: light number to colour, as sent.
    std::map<int, uint32_t> reference()
    {
        std::map<int, uint32_t> colour;
        std::istringstream lines(contents("lights"));
        int light;
        std::string hex;
        while (lines >> light >> hex)
            colour[light] = uint32_t(std::stoul(hex, nullptr, 16));
        return colour;
    }
};

// catches a reference that does not match what the grabber makes of the
// overlay: lights wired to the wrong zones, colour bytes in the wrong order
// for the chipset, a Xilleon reference from the whole picture instead of the
// lines the capture samples; and overlay files that do not give the box its
// chipset, picture size or picture.
TEST_P(BoxPicture, HuecastSendsTheReference)
{
    const overlay_case &c = GetParam();
    const process_result made =
        process_run({BOX_PICTURE_PATH, c.chipset, c.size, outdir, c.picture});
    ASSERT_EQ(made.exit_status, 0) << made.err;
    place_overlay();
    const std::map<int, uint32_t> colour = reference();
    ASSERT_EQ(colour.size(), 5u) << contents("lights");

    add_light_set();
    start(HUECAST_PATH);
    ASSERT_TRUE(wait_lights(10)) << out() << err();
    const std::vector<bytes> got = lights();
    stop();
    for (size_t i = 5; i < 10; i++) {
        const int light = zone_light[i % 5];
        const uint32_t want = colour.at(light);
        EXPECT_EQ(got[i], (bytes{uint8_t(light << 4 | 0x0B), 0x03, uint8_t(want >> 16),
                                 uint8_t(want >> 8), uint8_t(want)}))
            << "light " << light;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BoxPicture,
    testing::Values(overlay_case{"PallasBars", "pallas", "720x576", "bars"},
                    overlay_case{"VulcanRandom", "vulcan", "720x480", "random:7"},
                    overlay_case{"XilleonBars1080", "xilleon", "1920x1080", "bars"},
                    overlay_case{"XilleonRandom720", "xilleon", "1280x720", "random:3"}),
    [](const testing::TestParamInfo<overlay_case> &info) { return info.param.name; });

}  // namespace
