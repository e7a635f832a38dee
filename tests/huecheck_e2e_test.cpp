// The built huecheck, unchanged, against the emulated light set under the
// real libusb 0.1.
#include <gtest/gtest.h>

#include <csignal>

#include <string>
#include <vector>

#include "sim/lightset/ambx_emu.h"
#include "sim/lightset/emu_usb.h"
#include "tests/handshake_fixture.h"

namespace {

using bytes = std::vector<uint8_t>;

constexpr double TIMEOUT_S = 30;

// The 17 packets of a complete run: the start message, then 16 framed
// messages whose sequence nibbles run 1..15, 0.
std::vector<bytes> full_run()
{
    const int light_colours[5] = {0xFF0080, 0xFF0000, 0x00FF00, 0x0000FF, 0x80FF00};
    const bytes sequence_colours = {0xFF, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00,
                                    0xFF, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00, 0x00,
                                    0x80, 0x80, 0x80, 0x00, 0x80, 0x80, 0x80, 0x80};
    std::vector<bytes> packets = {{0x00}, {0x11, 0xF0, 0x01, 0x00}};
    int n = 2;
    auto header = [&n] { return static_cast<uint8_t>(((n++ & 0xF) << 4) | 1); };
    for (int light = 0; light < 5; light++) {
        const int c = light_colours[light];
        packets.push_back({header(), static_cast<uint8_t>(light << 4 | 0xB), 0x03,
                           static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 8),
                           static_cast<uint8_t>(c)});
    }
    for (int light = 0; light < 5; light++)
        packets.push_back({header(), static_cast<uint8_t>(light << 4 | 0xB), 0x03, 0, 0, 0});
    for (int light = 0; light < 5; light++) {
        bytes seq = {header(), static_cast<uint8_t>(light << 4 | 0xB), 0x5A, 0x03, 0xE8};
        seq.insert(seq.end(), sequence_colours.begin(), sequence_colours.end());
        packets.push_back(seq);
    }
    return packets;
}

class Huecheck : public testing::Test {
protected:
    emu_testbed *bed = nullptr;

    void SetUp() override
    {
        bed = emu_testbed_new();
        ASSERT_NE(bed, nullptr);
    }
    void TearDown() override
    {
        if (bed)
            emu_testbed_free(bed);
    }

    emu_device *add(emu_behaviour behaviour = {}, int bus = 1, int devnum = 2)
    {
        return emu_add_device(bed, bus, devnum, 0x0471, 0x083F, behaviour);
    }

    process_result run()
    {
        process_options options;
        options.timeout_seconds = TIMEOUT_S;
        return emu_run({HUECHECK_PATH}, options);
    }
};

std::vector<bytes> payloads(emu_device *dev)
{
    std::vector<bytes> out;
    for (const emu_packet &p : emu_packets(*dev)) {
        EXPECT_EQ(p.endpoint, 0x02);
        out.push_back(p.bytes);
    }
    return out;
}

// The first light comes on, then each next one about a second later.
void expect_one_second_pauses(emu_device *dev)
{
    const std::vector<emu_packet> log = emu_packets(*dev);
    ASSERT_GE(log.size(), 8u);
    for (int i = 2; i < 7; i++) {
        const double gap = log[i + 1].seconds - log[i].seconds;
        EXPECT_GT(gap, 0.95) << "after light " << i - 2;
        EXPECT_LT(gap, 1.6) << "after light " << i - 2;
    }
    EXPECT_LT(log[16].seconds - log[7].seconds, 0.5) << "switch-offs and sequences pause";
}

// A complete run on an answering device: every byte, the driver's lines,
// the pauses and exit status 0.
TEST_F(Huecheck, AnsweringDeviceGetsEveryMessage)
{
    emu_device *dev = add();
    const process_result r = run();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "Found supported controller\nConfiguration 0\n" + answered_handshake());
    EXPECT_EQ(payloads(dev), full_run());
    expect_one_second_pauses(dev);
}

// The interface the configuration names is claimed and released; a
// configuration without one gets every message, nothing claimed and nothing
// released. Catches a release of an interface that was never claimed.
TEST_F(Huecheck, InterfaceAsTheConfigurationOffersIt)
{
    emu_behaviour numbered;
    numbered.interface_number = 3;
    numbered.alt_setting_number = 2;
    emu_device *dev = add(numbered);
    process_result r = run();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Claiming interface 3\nStarting to write...\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(payloads(dev), full_run());
    EXPECT_EQ(emu_releases(*dev), std::vector<int>{3});
    emu_remove_device(bed, dev);

    emu_behaviour bare;
    bare.no_interface = true;
    dev = add(bare, 2);
    r = run();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Configuration 0\nStarting to write...\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("init done\n"), std::string::npos) << r.out;
    EXPECT_EQ(payloads(dev), full_run());
    EXPECT_EQ(emu_releases(*dev), std::vector<int>{});
}

// A device that never answers still gets every light and sequence message.
TEST_F(Huecheck, SilentDeviceStillGetsEveryMessage)
{
    emu_behaviour silent;
    silent.answer = emu_answer::silent;
    emu_device *dev = add(silent);
    const process_result r = run();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("No response on start transactions\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("init done"), std::string::npos) << r.out;
    EXPECT_EQ(payloads(dev), full_run());
}

// Without a light set: the open fails and the program exits with 255.
TEST_F(Huecheck, NoDeviceExits255)
{
    const process_result r = run();
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.out, "ambx_open(0) failed.\n");
}

// A device that refuses its configuration, its interface or its alternate
// setting: the open fails with the driver's line and the program exits 255.
TEST_F(Huecheck, RefusedSetupExits255)
{
    const struct {
        void (*refuse)(emu_behaviour &);
        const char *line;
    } cases[] = {
        {[](emu_behaviour &b) { b.refuse_configuration = true; },
         "Error setting configuration 1\n"},
        {[](emu_behaviour &b) { b.refuse_claim = true; }, "Error claiming interface...\n"},
        {[](emu_behaviour &b) { b.refuse_alt_setting = true; },
         "Error setting active alternate setting 0\n"},
    };
    for (int i = 0; i < 3; i++) {
        emu_behaviour behaviour;
        cases[i].refuse(behaviour);
        emu_device *dev = add(behaviour, 1 + i);
        const process_result r = run();
        EXPECT_EQ(r.exit_status, 255);
        EXPECT_NE(r.out.find(cases[i].line), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("ambx_open(0) failed.\n"), std::string::npos) << r.out;
        EXPECT_TRUE(payloads(dev).empty());
        emu_remove_device(bed, dev);
    }
}

// catches: an interrupted huecheck leaving its lights lit and the set open,
// or not ending by the signal.
TEST_F(Huecheck, InterruptedSwitchesTheLightsOff)
{
    emu_device *dev = add();
    process_options options;
    options.timeout_seconds = TIMEOUT_S;
    process_ptr child = emu_run_start({HUECHECK_PATH}, options);
    ASSERT_NE(child, nullptr);
    while (emu_packets(*dev).size() < 4 && process_poll(*child, 20)) {
    }
    ASSERT_EQ(emu_packets(*dev).size(), 4u) << "the handshake and two lights";
    process_kill(*child, SIGINT);
    const process_result r = process_finish(std::move(child));
    EXPECT_EQ(r.signal, SIGINT) << r.out;
    EXPECT_LT(r.seconds, 3.0) << "the one-second pause is cut short";
    EXPECT_NE(r.out.find("Stopped by signal " + std::to_string(SIGINT) + ": lights off.\n"),
              std::string::npos)
        << r.out;
    const std::vector<bytes> got = payloads(dev);
    ASSERT_EQ(got.size(), 9u) << "two lights, then five switch-offs";
    for (uint8_t light = 0; light < 5; light++)
        EXPECT_EQ(bytes(got[4 + light].begin() + 1, got[4 + light].end()),
                  (bytes{static_cast<uint8_t>(light << 4 | 0x0B), 0x03, 0, 0, 0}));
    std::lock_guard<std::mutex> guard(dev->lock);
    EXPECT_FALSE(dev->claimed) << "the set is closed";
}

// 17 light sets over three buses: 16 are registered and only the first one
// is driven.
TEST_F(Huecheck, SeventeenDevicesDriveOnlyTheFirst)
{
    std::vector<emu_device *> all;
    for (int i = 0; i < 17; i++)
        all.push_back(add({}, 1 + i % 3, 2 + i));
    const process_result r = run();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    size_t found = 0;
    for (size_t at = r.out.find("Found supported controller"); at != std::string::npos;
         at = r.out.find("Found supported controller", at + 1))
        found++;
    EXPECT_EQ(found, 16u);
    int driven = 0;
    for (emu_device *dev : all)
        if (!emu_packets(*dev).empty()) {
            driven++;
            EXPECT_EQ(payloads(dev), full_run());
        }
    EXPECT_EQ(driven, 1);
}

}  // namespace
