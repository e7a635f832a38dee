// A fresh emulated USB world per test, with the driver linked in-process.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "driver/ambx_internal.h"
#include "sim/lightset/ambx_emu.h"
#include "sim/lightset/emu_usb.h"

using bytes = std::vector<uint8_t>;

// What the driver prints for a read that timed out: libusb's -ETIMEDOUT,
// which is -110 on x86 but -145 on MIPS.
inline const std::string READ_TIMED_OUT = "Error reading data " + std::to_string(-ETIMEDOUT) + "\n";

// Runs f and returns what it printed on standard output.
inline std::string stdout_of(const std::function<void()> &f)
{
    testing::internal::CaptureStdout();
    f();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// The bytes of every packet the device received after the first skip ones.
inline std::vector<bytes> sent_to(emu_device *dev, size_t skip = 0)
{
    std::vector<bytes> out;
    for (const emu_packet &p : emu_packets(*dev))
        out.push_back(p.bytes);
    out.erase(out.begin(), out.begin() + std::min(skip, out.size()));
    return out;
}

// Whether the device's interface is claimed now.
inline bool emu_claimed(emu_device &dev)
{
    std::lock_guard<std::mutex> hold(dev.lock);
    return dev.claimed;
}

inline void emu_set_behaviour(emu_device &dev, const emu_behaviour &behaviour)
{
    std::lock_guard<std::mutex> hold(dev.lock);
    dev.behaviour = behaviour;
}

class DriverTest : public testing::Test {
protected:
    emu_testbed *bed = nullptr;
    int bus = 0;

    void SetUp() override
    {
        if (!emu_preload_active())
            GTEST_SKIP() << "umockdev's preload is not active: no emulated light set";
        bed = emu_testbed_new();
        ASSERT_NE(bed, nullptr);
        bus = emu_fresh_bus();
    }

    void TearDown() override
    {
        if (!bed)
            return;
        for (int i = 0; i < AMBX_MAX_DEVICES; i++)
            if (device_slots.slots[i].handle)
                stdout_of([i] { ambx_close(i); });
        emu_testbed_free(bed);
    }

    emu_device *add(emu_behaviour behaviour = {}, int devnum = 2, uint16_t vendor = 0x0471,
                    uint16_t product = 0x083F)
    {
        return emu_add_device(bed, bus, devnum, vendor, product, behaviour);
    }

    // Registers and opens device 0; returns what ambx_open printed.
    std::string open_first(int expected = 0)
    {
        stdout_of([] { ambx_init(); });
        int result = 99;
        std::string out = stdout_of([&] { result = ambx_open(0); });
        EXPECT_EQ(result, expected) << out;
        return out;
    }
};

// A device that is registered and opened, its handshake already logged.
class OpenDevice : public DriverTest {
protected:
    emu_device *dev = nullptr;
    size_t handshake = 0;  // packets of the open handshake

    std::vector<bytes> sent() { return sent_to(dev, handshake); }

    void SetUp() override
    {
        DriverTest::SetUp();
        if (IsSkipped())
            return;
        dev = add();
        open_first();
        handshake = emu_packets(*dev).size();
    }
};
