// The built hueinfo, unchanged, against the emulated light set.
#include <gtest/gtest.h>

#include <string>

#include "sim/lightset/ambx_emu.h"
#include "sim/lightset/emu_usb.h"

namespace {

class Hueinfo : public testing::Test {
protected:
    emu_testbed_ptr bed{emu_testbed_new()};
    emu_device *dev = nullptr;

    process_result run(const emu_behaviour *behaviour)
    {
        if (behaviour) {
            dev = emu_add_device(bed.get(), 1, 2, 0x0471, 0x083F, *behaviour);
            EXPECT_NE(dev, nullptr);
        }
        process_options options;
        options.timeout_seconds = 30;
        return emu_run({HUEINFO_PATH}, options);
    }
};

// The configuration as libusb lists it, every component's lines, and a
// summary line per component; long descriptions take a second read.
TEST_F(Hueinfo, ShowsConfigurationAndComponents)
{
    emu_behaviour b;
    b.components = {{3, 2, "Left speaker light"},
                    {3, 3, "Washer mid"},
                    {1, 4, "Fan"},
                    {2, 3, "Rumbler"},
                    {3, 4, "Wall washer right"}};
    const process_result r = run(&b);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.out.find("init done\nUSB configuration:\n"
                         "  wTotalLength:         39\n"
                         "  bNumInterfaces:       1\n"
                         "  bConfigurationValue:  1\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("      bEndpointAddress: 83h\n"), std::string::npos);
    EXPECT_NE(r.out.find("Requesting device info for device 0\n"
                         "Reported position: Left\nReported type: Light\n"
                         "Description: Left speaker light\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("The light set reports 5 components:\n"
                         "  component 0: light, left\n"
                         "  component 1: light, middle\n"
                         "  component 2: fan, right\n"
                         "  component 3: rumbler, middle\n"
                         "  component 4: light, right\n"),
              std::string::npos)
        << r.out;
}

// A configuration without an interface: shown as such, its components
// still listed, nothing released at the end. Catches a printer or driver
// that relies on an interface, or a release of one never claimed.
TEST_F(Hueinfo, ConfigurationWithoutInterface)
{
    emu_behaviour b;
    b.no_interface = true;
    const process_result r = run(&b);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out.find("Claiming interface"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("init done\nUSB configuration:\n"
                         "  wTotalLength:         9\n"
                         "  bNumInterfaces:       0\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("The light set reports 5 components:\n"), std::string::npos) << r.out;
    EXPECT_EQ(emu_releases(*dev), std::vector<int>{});
}

// A light set claiming more components than requests can name: components
// 0 to 15 listed, the claim reported, a normal end. Catches a walk that
// never ends (the run's time-out would stop it).
TEST_F(Hueinfo, HugeCountListsSixteen)
{
    emu_behaviour b;
    b.components.assign(16, {3, 3, "Washer"});
    b.reported_count = 0x7F7F7F7F;
    b.count_bytes = 4;
    const process_result r = run(&b);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.out.find("Description: Washer\n"
                         "Stopping after component 15: 2139062143 components claimed, "
                         "16 can be addressed\n"
                         "The light set reports 16 components:\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  component 15: light, middle\n"), std::string::npos) << r.out;
}

// A silent light set opens but reports nothing; the program still ends well.
TEST_F(Hueinfo, SilentDeviceReportsNoComponents)
{
    emu_behaviour b;
    b.answer = emu_answer::silent;
    const process_result r = run(&b);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.out.find("The light set reported no components.\n"), std::string::npos) << r.out;
}

TEST_F(Hueinfo, NoDeviceExits255)
{
    const process_result r = run(nullptr);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.out, "ambx_open(0) failed.\n");
}

// Lying replies end in a normal exit; in the sanitizer build any access
// outside a buffer would end the program with an error instead.
TEST_F(Hueinfo, LyingRepliesEndWell)
{
    for (emu_lie lie :
         {emu_lie::count_too_long, emu_lie::count_beyond_reply, emu_lie::info_length_too_big,
          emu_lie::info_beyond_reply, emu_lie::description_negative, emu_lie::description_beyond}) {
        emu_behaviour b;
        b.lie = lie;
        const process_result r = run(&b);
        EXPECT_EQ(r.exit_status, 0) << static_cast<int>(lie) << r.err;
        EXPECT_EQ(r.err, "") << static_cast<int>(lie);
        bed.reset();
        bed.reset(emu_testbed_new());
    }
}

}  // namespace
