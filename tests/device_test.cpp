// The device table, discovery, open with its handshake, and close, on the
// emulated light set under the real libusb 0.1.
#include "tests/driver_fixture.h"
#include "tests/handshake_fixture.h"

namespace {

const bytes START_MESSAGE = {0x00};

// What an answering device's handshake prints after the claim.
std::string handshake_lines()
{
    return "Starting to write...\nsuccess, received count=" +
           std::to_string(emu_start_reply_length()) +
           ", data length=" + std::to_string(emu_start_reply_byte2()) + "\nReceived " +
           std::to_string(emu_count_reply_length()) + " bytes in response\ninit done\n";
}

// One device: its registration lines, and the handshake's lines and bytes
// with an answering device.
TEST_F(DriverTest, OneDeviceRegistersAndOpens)
{
    emu_device *dev = add();
    int result = -99;
    EXPECT_EQ(stdout_of([&] { result = ambx_init(); }),
              "Found supported controller\nConfiguration 0\n");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(ambx_device_count(), 1);
    EXPECT_EQ(ambx_device_status(0), 0);

    msg_counter = 1;
    EXPECT_EQ(stdout_of([&] { result = ambx_open(0); }), answered_handshake());
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ambx_device_status(0), 3);
    EXPECT_EQ(sent_to(dev), (std::vector<bytes>{START_MESSAGE, {0x11, 0xF0, 0x01, 0x00}}));
    // Two reads drained and discarded, then one reply to each message.
    EXPECT_EQ(emu_reads(*dev),
              (std::vector<emu_read>{{0x81, 32}, {0x83, 64}, {0x81, 64}, {0x81, 64}}));
    const device_slot &slot = device_slots.slots[0];
    EXPECT_EQ(slot.configuration, 1);
    EXPECT_EQ(slot.interface, 0);
    EXPECT_EQ(slot.alt_setting, 0);
}

// The programs' start: the first device opened, or the line that says why
// not; catches a start that goes on without a device, or says nothing.
TEST_F(DriverTest, StartOpensTheFirstDeviceOrSaysWhyNot)
{
    int result = 99;
    EXPECT_EQ(stdout_of([&] { result = ambx_start(0); }), "ambx_open(0) failed.\n");
    EXPECT_EQ(result, -1);
    add();
    const std::string out = stdout_of([&] { result = ambx_start(0); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out.find("Found supported controller\n"), 0u) << out;
    EXPECT_NE(out.find("init done\n"), std::string::npos) << out;
    EXPECT_EQ(ambx_device_status(0), 3);
}

// A silent device is still opened: both exchanges time out and are reported.
TEST_F(DriverTest, SilentDeviceStillOpens)
{
    emu_behaviour silent;
    silent.answer = emu_answer::silent;
    emu_device *dev = add(silent);
    msg_counter = 1;
    EXPECT_EQ(open_first(), "Claiming interface 0\n"
                            "Starting to write...\n" +
                                READ_TIMED_OUT + "No response on start transactions\n" +
                                READ_TIMED_OUT);
    EXPECT_EQ(ambx_device_status(0), 3);
    EXPECT_EQ(sent_to(dev), (std::vector<bytes>{START_MESSAGE, {0x11, 0xF0, 0x01, 0x00}}));
}

// Empty replies count as success with nothing received; catches a stale
// data length shown from bytes that were never received.
TEST_F(DriverTest, EmptyRepliesSucceedWithZeroBytes)
{
    emu_behaviour empty;
    empty.answer = emu_answer::empty;
    add(empty);
    EXPECT_EQ(open_first(), "Claiming interface 0\n"
                            "Starting to write...\n"
                            "Error reading data 0\n"
                            "success, received count=0, data length=0\n"
                            "Error reading data 0\n"
                            "Received 0 bytes in response\n"
                            "init done\n");
}

// Open, open again, close, close again, reopen: the slot's states and codes;
// catches a second open that talks to the device.
TEST_F(DriverTest, SlotStatesAndCodes)
{
    emu_device *dev = add();
    open_first();
    const size_t after_open = emu_packets(*dev).size();
    EXPECT_EQ(ambx_open(0), AMBX_ERR_OPEN);
    EXPECT_EQ(emu_packets(*dev).size(), after_open);
    EXPECT_EQ(ambx_close(0), 0);
    EXPECT_EQ(ambx_device_status(0), 0);
    EXPECT_EQ(ambx_close(0), AMBX_ERR_NOT_OPEN);
    const device_slot &slot = device_slots.slots[0];
    EXPECT_EQ(slot.interface, -1);
    EXPECT_EQ(slot.configuration, -1);
    EXPECT_EQ(slot.alt_setting, -1);
    EXPECT_NE(slot.device, nullptr);
    stdout_of([] { EXPECT_EQ(ambx_open(0), 0); });
    EXPECT_EQ(ambx_device_status(0), 3);
}

// Indices outside the table and empty slots, for every entry point that
// starts with the index check.
TEST_F(DriverTest, IndexAndEmptySlotCodes)
{
    add();
    stdout_of([] { ambx_init(); });
    for (int device : {-1, 16}) {
        EXPECT_EQ(check_index(device), AMBX_ERR_INDEX);
        EXPECT_EQ(ambx_open(device), AMBX_ERR_INDEX);
        EXPECT_EQ(ambx_close(device), AMBX_ERR_INDEX);
        EXPECT_EQ(ambx_device_status(device), AMBX_ERR_INDEX);
    }
    EXPECT_EQ(check_index(0), 0);
    EXPECT_EQ(check_index(1), AMBX_ERR_NO_DEVICE);
    EXPECT_EQ(ambx_open(1), AMBX_ERR_NO_DEVICE);
    EXPECT_EQ(ambx_close(15), AMBX_ERR_NO_DEVICE);
    EXPECT_EQ(ambx_device_status(1), AMBX_ERR_NO_DEVICE);
}

// Devices that match only the vendor or only the product are not taken;
// a bus without a match gives a positive result and open gives -2.
TEST_F(DriverTest, PartialMatchesAreNotRegistered)
{
    add({}, 2, 0x0471, 0x0001);
    add({}, 3, 0x1234, 0x083F);
    int result = -99;
    EXPECT_EQ(stdout_of([&] { result = ambx_init(); }), "");
    EXPECT_GT(result, 0);
    EXPECT_EQ(ambx_device_count(), 0);
    EXPECT_EQ(ambx_open(0), AMBX_ERR_NO_DEVICE);
}

// Without any USB bus, init gives 0 and nothing is registered.
TEST_F(DriverTest, NoBusGivesZero)
{
    int result = -99;
    EXPECT_EQ(stdout_of([&] { result = ambx_init(); }), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ambx_device_count(), 0);
    EXPECT_EQ(ambx_open(0), AMBX_ERR_NO_DEVICE);
}

// 17 matches over three buses among strangers: the first 16 in libusb's
// bus order are registered, in that order, and the walk stops there.
TEST_F(DriverTest, SeventeenDevicesFillTheTable)
{
    const int buses[3] = {bus, emu_fresh_bus(), emu_fresh_bus()};
    for (int i = 0; i < 17; i++)
        emu_add_device(bed, buses[i % 3], 2 + i, 0x0471, 0x083F, {});
    emu_add_device(bed, buses[0], 40, 0x0471, 0x0002, {});
    emu_add_device(bed, buses[1], 41, 0x0002, 0x083F, {});

    int result = -99;
    const std::string out = stdout_of([&] { result = ambx_init(); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ambx_device_count(), 16);

    std::vector<struct usb_device *> expected;
    for (struct usb_bus *b = usb_busses; b; b = b->next)
        for (struct usb_device *d = b->devices; d; d = d->next)
            if (d->descriptor.idVendor == 0x0471 && d->descriptor.idProduct == 0x083F)
                expected.push_back(d);
    ASSERT_EQ(expected.size(), 17u);
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(device_slots.slots[i].device, expected[i]) << "slot " << i;

    std::string lines;
    for (int i = 0; i < 16; i++)
        lines += "Found supported controller\nConfiguration 0\n";
    EXPECT_EQ(out, lines);
}

// register_device ignores a null device and answers 0 once slot 15 is taken
// (ambx_init stops there).
TEST_F(DriverTest, RegisterDeviceLimits)
{
    stdout_of([] { ambx_init(); });
    EXPECT_EQ(register_device(nullptr), 0);
    EXPECT_EQ(ambx_device_count(), 0);

    struct usb_device fake = {};
    fake.descriptor.bNumConfigurations = 2;
    int last = -1;
    const std::string out = stdout_of([&] {
        for (int i = 0; i < 16; i++)
            last = register_device(&fake);
    });
    EXPECT_EQ(last, 0);
    std::string lines;
    for (int i = 0; i < 16; i++)
        lines += "Found supported controller\nConfiguration 0\nConfiguration 1\n";
    EXPECT_EQ(out, lines);
    EXPECT_EQ(ambx_device_count(), 16);
    stdout_of([] { ambx_init(); });  // leaves no fake device in the table
}

// Each refused step of the open returns -8, prints its line, closes the
// handle and leaves the slot registered so that a later open can succeed.
TEST_F(DriverTest, RefusedSetupLeavesSlotRegistered)
{
    struct {
        void (*refuse)(emu_behaviour &);
        const char *output;
    } cases[] = {
        {[](emu_behaviour &b) { b.refuse_configuration = true; },
         "Error setting configuration 1\n"},
        {[](emu_behaviour &b) { b.refuse_claim = true; },
         "Claiming interface 0\nError claiming interface...\n"},
        {[](emu_behaviour &b) { b.refuse_alt_setting = true; },
         "Claiming interface 0\nError setting active alternate setting 0\n"},
    };
    for (const auto &c : cases) {
        emu_behaviour behaviour;
        c.refuse(behaviour);
        emu_device *dev = emu_add_device(bed, emu_fresh_bus(), 2, 0x0471, 0x083F, behaviour);
        EXPECT_EQ(open_first(AMBX_ERR_CONFIGURE), c.output);
        const device_slot &slot = device_slots.slots[0];
        EXPECT_EQ(slot.handle, nullptr);
        EXPECT_EQ(slot.interface, -1);
        EXPECT_EQ(ambx_device_status(0), 0);
        EXPECT_TRUE(sent_to(dev).empty());
        EXPECT_FALSE(emu_claimed(*dev)) << "interface left claimed";

        emu_set_behaviour(*dev, {});
        stdout_of([] { EXPECT_EQ(ambx_open(0), 0); });
        stdout_of([] { ambx_close(0); });
        emu_remove_device(bed, dev);
    }
}

// The interface and alternate setting its configuration names, released at
// close; a configuration without an interface: nothing claimed, held or
// released. Catches numbers taken as 0, and an interface counted as held
// when none was claimed.
TEST_F(DriverTest, InterfaceAsTheConfigurationOffersIt)
{
    emu_behaviour numbered;
    numbered.interface_number = 2;
    numbered.alt_setting_number = 1;
    emu_device *dev = add(numbered);
    EXPECT_EQ(open_first(), "Claiming interface 2\n" + handshake_lines());
    EXPECT_EQ(device_slots.slots[0].interface, 2);
    EXPECT_EQ(device_slots.slots[0].alt_setting, 1);
    EXPECT_EQ(ambx_device_status(0), 3);
    EXPECT_TRUE(emu_claimed(*dev));
    EXPECT_EQ(stdout_of([] { EXPECT_EQ(ambx_close(0), 0); }), "");
    EXPECT_FALSE(emu_claimed(*dev));
    emu_remove_device(bed, dev);

    emu_behaviour bare;
    bare.no_interface = true;
    dev = emu_add_device(bed, emu_fresh_bus(), 2, 0x0471, 0x083F, bare);
    EXPECT_EQ(open_first(), handshake_lines());
    const device_slot &slot = device_slots.slots[0];
    EXPECT_EQ(slot.interface, -1);
    EXPECT_EQ(slot.alt_setting, -1);
    EXPECT_EQ(slot.configuration, 1);
    EXPECT_EQ(ambx_device_status(0), 1);
    EXPECT_FALSE(emu_claimed(*dev));
    EXPECT_EQ(sent_to(dev).size(), 2u) << "the handshake still runs";
    EXPECT_EQ(stdout_of([] { EXPECT_EQ(ambx_close(0), 0); }), "");
    EXPECT_EQ(ambx_device_status(0), 0);
}

// A device that vanished between discovery and open: libusb 0.1 still
// hands out a handle, so the open fails at the configuration with -8 and
// the slot stays registered, its handle closed.
TEST_F(DriverTest, VanishedDeviceFailsToConfigure)
{
    emu_device *dev = add();
    stdout_of([] { ambx_init(); });
    emu_remove_device(bed, dev);
    int result = 0;
    EXPECT_EQ(stdout_of([&] { result = ambx_open(0); }), "Error setting configuration 1\n");
    EXPECT_EQ(result, AMBX_ERR_CONFIGURE);
    EXPECT_EQ(device_slots.slots[0].handle, nullptr);
    EXPECT_EQ(ambx_device_status(0), 0);
}

// A second init closes what the first opened and rebuilds the table.
TEST_F(DriverTest, SecondInitStartsOver)
{
    emu_device *dev = add();
    open_first();
    EXPECT_TRUE(emu_claimed(*dev));
    stdout_of([] { EXPECT_EQ(ambx_init(), 1); });
    EXPECT_FALSE(emu_claimed(*dev));
    EXPECT_EQ(ambx_device_status(0), 0);
    EXPECT_EQ(ambx_device_count(), 1);
}

}  // namespace
