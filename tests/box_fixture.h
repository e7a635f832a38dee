// Runs the built huecast, unchanged, in a simulated set-top box with the
// emulated light set attached, and collects the lights' messages.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <string>
#include <vector>

#include "sim/lightset/ambx_emu.h"
#include "sim/lightset/emu_usb.h"
#include "tests/pictures.h"
#include "sim/box/stb_box.h"

using bytes = std::vector<uint8_t>;

// Zone i of the picture goes to light zone_light[i].
constexpr int zone_light[5] = {0, 2, 3, 4, 1};

// The set-colour message a frame sends for zone i with the given colour,
// without its header byte.
inline bytes light_message(int zone, uint32_t colour)
{
    return {static_cast<uint8_t>(zone_light[zone] << 4 | 0x0B), 0x03,
            static_cast<uint8_t>(colour >> 16), static_cast<uint8_t>(colour >> 8),
            static_cast<uint8_t>(colour)};
}

// The five messages of one frame, in the order they are sent.
inline std::vector<bytes> frame_messages(const std::array<uint32_t, 5> &zones)
{
    std::vector<bytes> out;
    for (int i = 0; i < 5; i++)
        out.push_back(light_message(i, zones[i]));
    return out;
}

class BoxTest : public testing::Test {
protected:
    emu_testbed_ptr bed;
    emu_device *dev = nullptr;
    stb_box *box = nullptr;
    process_ptr child;

    void SetUp() override
    {
        std::string why;
        if (!stb_box_possible(&why))
            GTEST_SKIP() << why;
        bed.reset(emu_testbed_new());
        ASSERT_NE(bed, nullptr);
        box = stb_box_make();
        ASSERT_NE(box, nullptr);
        ASSERT_EQ(stb_box_make_mem(box), 0);
    }

    void TearDown() override
    {
        child.reset();
        stb_box_free(box);
    }

    void add_light_set(const emu_behaviour &behaviour = {})
    {
        dev = emu_add_device(bed.get(), 1, 2, 0x0471, 0x083F, behaviour);
        ASSERT_NE(dev, nullptr);
    }

    void start(const char *program, double timeout_s = 60)
    {
        start(std::vector<std::string>{program}, timeout_s);
    }

    // Starts a command line in the box, e.g. a program behind its emulator.
    void start(const std::vector<std::string> &argv, double timeout_s = 60)
    {
        process_options options;
        options.timeout_seconds = timeout_s;
        options.setup = stb_box_setup(box);
        child = emu_run_start(argv, options);
        ASSERT_NE(child, nullptr);
    }

    // The light messages after the open handshake, header bytes dropped.
    std::vector<bytes> lights()
    {
        std::vector<bytes> out;
        const std::vector<emu_packet> log = emu_packets(*dev);
        for (size_t i = 2; i < log.size(); i++)
            out.emplace_back(log[i].bytes.begin() + 1, log[i].bytes.end());
        return out;
    }

    // Waits until at least n light messages arrived or the program ended.
    bool wait_lights(size_t n, double timeout_s = 20)
    {
        const double until = now_seconds() + timeout_s;
        while (lights().size() < n && now_seconds() < until)
            if (!process_poll(*child, 20))
                break;
        return lights().size() >= n;
    }

    // Waits until the output (or, with wait_error, standard error) holds
    // text or the program ended.
    bool wait_output(const std::string &text, double timeout_s = 20)
    {
        return process_wait_output(*child, text, timeout_s);
    }
    bool wait_error(const std::string &text, double timeout_s = 20)
    {
        return process_wait_error(*child, text, timeout_s);
    }

    // What the program has printed so far.
    const std::string &out() const { return process_out(*child); }
    const std::string &err() const { return process_err(*child); }

    // Stops the program (if still running) and gathers the rest of its output.
    process_result stop()
    {
        process_kill(*child, SIGKILL);
        return process_finish(std::move(child));
    }

    // Waits for the program to end by itself.
    process_result finish() { return process_finish(std::move(child)); }

    void write_proc_fb(const char *text)
    {
        ASSERT_EQ(stb_box_write_text(box, "/proc/fb", text), 0);
    }

    void write_video(const yuv_picture &p) { ASSERT_EQ(stb_box_show_video(box, p), 0); }

    // A Broadcom picture: its register block, its height in yres, and its
    // striped memory at memory_at (the luma base itself, or the DMA window
    // where a BCM4380's engine would put it).
    void place_broadcom(const yuv_picture &p, const stripe_geometry &g, uint32_t memory_at,
                        uint8_t address_noise = 0)
    {
        ASSERT_EQ(stb_box_show_broadcom(box, p, g, BRCM_LUMA_BASE, memory_at, address_noise), 0);
    }

    void place_xilleon(const yuv_picture &p) { ASSERT_EQ(stb_box_show_xilleon(box, p), 0); }
};
