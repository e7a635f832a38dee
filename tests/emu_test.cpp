// The emulated amBX light set under the real libusb 0.1 (through this
// build's glue), and programs run under the emulation. The device's
// protocol logic alone: emu_protocol_test.cpp.
//
// Run with "--light-one-red", this binary is instead a minimal host program
// for the light set (see light_one_red); the tests start it as a child.
#include <gtest/gtest.h>

#include <usb.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/emu_fixture.h"
#include "sim/lightset/emu_usb.h"

namespace {

// --- the device under the real libusb 0.1 -------------------------------------

std::string three_digits(int n)
{
    char text[8];
    std::snprintf(text, sizeof text, "%03d", n);
    return text;
}

// Scans the buses as a program does when it starts.
void scan()
{
    usb_init();
    usb_find_busses();
    usb_find_devices();
}

struct usb_bus *find_bus(int bus)
{
    for (struct usb_bus *b = usb_get_busses(); b != nullptr; b = b->next)
        if (b->dirname == three_digits(bus))
            return b;
    return nullptr;
}

struct usb_device *find_device(int bus, int devnum)
{
    struct usb_bus *b = find_bus(bus);
    for (struct usb_device *d = b ? b->devices : nullptr; d != nullptr; d = d->next)
        if (d->filename == three_digits(devnum))
            return d;
    return nullptr;
}

// An opened, configured and claimed device, closed at the end of its scope;
// handle is null when any step failed.
struct claimed_device {
    usb_dev_handle *handle = nullptr;

    explicit claimed_device(struct usb_device *dev)
    {
        handle = dev ? usb_open(dev) : nullptr;
        if (handle && (usb_set_configuration(handle, 1) < 0 || usb_claim_interface(handle, 0) < 0 ||
                       usb_set_altinterface(handle, 0) < 0)) {
            usb_close(handle);
            handle = nullptr;
        }
    }
    claimed_device(const claimed_device &) = delete;
    claimed_device &operator=(const claimed_device &) = delete;
    ~claimed_device()
    {
        if (handle) {
            usb_release_interface(handle, 0);
            usb_close(handle);
        }
    }
};

int write_to(usb_dev_handle *handle, bytes message)
{
    return usb_interrupt_write(handle, 0x02, reinterpret_cast<char *>(message.data()),
                               static_cast<int>(message.size()), 200);
}

// Reads from an endpoint; the libusb result, with the bytes in reply.
int read_from(usb_dev_handle *handle, int endpoint, bytes &reply, int capacity = 64)
{
    reply.assign(static_cast<size_t>(capacity), 0);
    const int result =
        usb_interrupt_read(handle, endpoint, reinterpret_cast<char *>(reply.data()), capacity, 200);
    reply.resize(result > 0 ? static_cast<size_t>(result) : 0);
    return result;
}

class EmulatedBus : public testing::Test {
protected:
    emu_testbed_ptr bed;
    int bus = 0;

    void SetUp() override
    {
        if (!emu_preload_active())
            GTEST_SKIP() << "umockdev's preload is not active: libusb cannot see emulated devices";
        bed.reset(emu_testbed_new());
        ASSERT_NE(bed, nullptr);
        bus = emu_fresh_bus();
    }

    emu_device *add(int devnum, emu_behaviour behaviour = {})
    {
        return emu_add_device(bed.get(), bus, devnum, AMBX_VENDOR, AMBX_PRODUCT, behaviour);
    }
};

// libusb's records of one light set; catches any descriptor field the
// driver reads being wrong, and the device number (from CONNECTINFO).
TEST_F(EmulatedBus, LibusbSeesTheLightSet)
{
    ASSERT_NE(add(5), nullptr);
    scan();
    struct usb_device *dev = find_device(bus, 5);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(dev->devnum, 5);
    EXPECT_EQ(dev->descriptor.idVendor, AMBX_VENDOR);
    EXPECT_EQ(dev->descriptor.idProduct, AMBX_PRODUCT);
    EXPECT_EQ(dev->descriptor.bcdUSB, 0x0110);
    ASSERT_EQ(dev->descriptor.bNumConfigurations, 1);
    const usb_config_descriptor &config = dev->config[0];
    EXPECT_EQ(config.bConfigurationValue, 1);
    EXPECT_EQ(config.wTotalLength, 39);
    ASSERT_EQ(config.bNumInterfaces, 1);
    ASSERT_EQ(config.interface[0].num_altsetting, 1);
    const usb_interface_descriptor &alt = config.interface[0].altsetting[0];
    EXPECT_EQ(alt.bInterfaceNumber, 0);
    EXPECT_EQ(alt.bAlternateSetting, 0);
    EXPECT_EQ(alt.bInterfaceClass, 0xFF);
    ASSERT_EQ(alt.bNumEndpoints, 3);
    const int addresses[3] = {0x02, 0x81, 0x83};
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(alt.endpoint[i].bEndpointAddress, addresses[i]);
        EXPECT_EQ(alt.endpoint[i].bmAttributes, 0x03) << "interrupt";
        EXPECT_EQ(alt.endpoint[i].wMaxPacketSize, 64);
    }
}

// 20 light sets over three buses, two near-miss devices and an empty bus:
// every one is listed once with its own identifiers; catches lost devices,
// stale records of earlier testbeds and the host's buses showing through.
TEST_F(EmulatedBus, ManyDevicesOverSeveralBuses)
{
    const int buses[3] = {bus, emu_fresh_bus(), emu_fresh_bus()};
    for (int i = 0; i < 20; i++)
        ASSERT_NE(emu_add_device(bed.get(), buses[i % 3], 2 + i / 3, AMBX_VENDOR, AMBX_PRODUCT),
                  nullptr);
    ASSERT_NE(emu_add_device(bed.get(), buses[0], 40, AMBX_VENDOR, 0x0001), nullptr);
    ASSERT_NE(emu_add_device(bed.get(), buses[1], 40, 0x1234, AMBX_PRODUCT), nullptr);
    const int empty_bus = emu_fresh_bus();
    ASSERT_EQ(emu_add_bus(bed.get(), empty_bus), 0);
    scan();
    int listed_buses = 0, light_sets = 0, strangers = 0;
    for (struct usb_bus *b = usb_get_busses(); b != nullptr; b = b->next, listed_buses++)
        for (struct usb_device *d = b->devices; d != nullptr; d = d->next) {
            const bool match =
                d->descriptor.idVendor == AMBX_VENDOR && d->descriptor.idProduct == AMBX_PRODUCT;
            (match ? light_sets : strangers)++;
            EXPECT_EQ(three_digits(d->devnum), d->filename);
        }
    EXPECT_EQ(listed_buses, 4);
    EXPECT_EQ(light_sets, 20);
    EXPECT_EQ(strangers, 2);
    ASSERT_NE(find_bus(empty_bus), nullptr);
    EXPECT_EQ(find_bus(empty_bus)->devices, nullptr);
    EXPECT_EQ(find_device(buses[1], 40)->descriptor.idVendor, 0x1234);
}

// One testbed at a time: a second is refused while the first lives and can
// be made once it is freed, also after a device was plugged in; catches a
// teardown that keeps the process's testbed taken, or two testbeds at once.
TEST(EmuTestbed, OneAtATimeAndFreedWhole)
{
    emu_testbed_ptr first(emu_testbed_new());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(emu_testbed_new(), nullptr);
    ASSERT_NE(emu_add_device(first.get(), emu_fresh_bus(), 2, AMBX_VENDOR, AMBX_PRODUCT), nullptr);
    first.reset();
    emu_testbed_ptr second(emu_testbed_new());
    EXPECT_NE(second, nullptr);
}

// A testbed without buses lists none, even after one with buses; catches
// libusb falling back to stale records or the host's /dev/bus/usb.
// (The device goes first: libusb 0.1.12 frees a vanished bus but leaks the
// device records still on it.)
TEST_F(EmulatedBus, NoBusAtAll)
{
    emu_device *dev = add(2);
    ASSERT_NE(dev, nullptr);
    scan();
    ASSERT_NE(usb_get_busses(), nullptr);
    emu_remove_device(bed.get(), dev);
    scan();
    bed.reset();
    bed.reset(emu_testbed_new());
    ASSERT_NE(bed, nullptr);
    scan();
    EXPECT_EQ(usb_get_busses(), nullptr);
}

// Addresses the bus cannot hold are refused; catches a duplicate that
// would make umockdev abort.
TEST_F(EmulatedBus, BadAddressesAreRefused)
{
    ASSERT_NE(add(2), nullptr);
    EXPECT_EQ(add(2), nullptr) << "address in use";
    EXPECT_EQ(add(0), nullptr);
    EXPECT_EQ(add(128), nullptr);
    EXPECT_EQ(emu_add_device(bed.get(), 0, 2, AMBX_VENDOR, AMBX_PRODUCT), nullptr);
    EXPECT_EQ(emu_add_device(bed.get(), 1000, 2, AMBX_VENDOR, AMBX_PRODUCT), nullptr);
    EXPECT_EQ(emu_add_bus(bed.get(), 1000), -1);
}

// Writes reach the log with endpoint and exact bytes, the largest message
// included; catches lost, cut or reordered messages.
TEST_F(EmulatedBus, WritesAreLoggedExactly)
{
    emu_device *dev = add(2);
    ASSERT_NE(dev, nullptr);
    scan();
    claimed_device light_set(find_device(bus, 2));
    ASSERT_NE(light_set.handle, nullptr);
    bytes sequence(65, 0x80);
    sequence[0] = 0x21;
    EXPECT_EQ(write_to(light_set.handle, RED_ON_LIGHT_1), 6);
    EXPECT_EQ(write_to(light_set.handle, sequence), 65);
    const std::vector<emu_packet> log = emu_packets(*dev);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].endpoint, 0x02);
    EXPECT_EQ(log[0].bytes, RED_ON_LIGHT_1);
    EXPECT_EQ(log[1].bytes, sequence);
}

// Start message and count query get their replies through libusb, a short
// read gets a cut reply; catches replies lost on the way back to the client.
TEST_F(EmulatedBus, StartAndCountRepliesArrive)
{
    ASSERT_NE(add(2), nullptr);
    scan();
    claimed_device light_set(find_device(bus, 2));
    ASSERT_NE(light_set.handle, nullptr);
    bytes reply;
    ASSERT_EQ(write_to(light_set.handle, START), 1);
    EXPECT_EQ(read_from(light_set.handle, 0x81, reply), emu_start_reply_length());
    EXPECT_EQ(reply[2], emu_start_reply_byte2());
    ASSERT_EQ(write_to(light_set.handle, COUNT_QUERY), 4);
    EXPECT_EQ(read_from(light_set.handle, 0x81, reply), 4);
    EXPECT_EQ(reply, (bytes{0x21, 0xF0, 0x01, 0x05}));
    ASSERT_EQ(write_to(light_set.handle, START), 1);
    EXPECT_EQ(read_from(light_set.handle, 0x81, reply, 2), 2);
}

// An unanswered read times out after about 200 ms with -110, on 0x83 even
// with a reply waiting on 0x81, and the reply is still there afterwards;
// catches a hanging read, a reply on the wrong endpoint, or a discarded
// URB that comes back later as a reply.
TEST_F(EmulatedBus, UnansweredReadsTimeOut)
{
    ASSERT_NE(add(2), nullptr);
    scan();
    claimed_device light_set(find_device(bus, 2));
    ASSERT_NE(light_set.handle, nullptr);
    bytes reply;
    const double start = now_seconds();
    EXPECT_EQ(read_from(light_set.handle, 0x81, reply), -ETIMEDOUT);
    const double waited = now_seconds() - start;
    EXPECT_GT(waited, 0.15);
    EXPECT_LT(waited, 1.0);
    ASSERT_EQ(write_to(light_set.handle, START), 1);
    EXPECT_EQ(read_from(light_set.handle, 0x83, reply), -ETIMEDOUT);
    EXPECT_EQ(read_from(light_set.handle, 0x81, reply), emu_start_reply_length());
}

// A silent device never answers and an empty one answers with nothing;
// catches a mode that leaks into the other's behaviour.
TEST_F(EmulatedBus, SilentAndEmptyDevices)
{
    emu_behaviour silent, empty;
    silent.answer = emu_answer::silent;
    empty.answer = emu_answer::empty;
    ASSERT_NE(add(2, silent), nullptr);
    ASSERT_NE(add(3, empty), nullptr);
    scan();
    claimed_device quiet(find_device(bus, 2)), blank(find_device(bus, 3));
    ASSERT_NE(quiet.handle, nullptr);
    ASSERT_NE(blank.handle, nullptr);
    bytes reply;
    ASSERT_EQ(write_to(quiet.handle, START), 1);
    EXPECT_EQ(read_from(quiet.handle, 0x81, reply), -ETIMEDOUT);
    ASSERT_EQ(write_to(blank.handle, START), 1);
    EXPECT_EQ(read_from(blank.handle, 0x81, reply), 0);
    ASSERT_EQ(write_to(blank.handle, COUNT_QUERY), 4);
    EXPECT_EQ(read_from(blank.handle, 0x81, reply), 0);
}

// Configuration, claim and alternate setting results on one handle.
std::array<int, 3> open_steps(int bus, int devnum)
{
    struct usb_device *dev = find_device(bus, devnum);
    usb_dev_handle *handle = dev ? usb_open(dev) : nullptr;
    if (handle == nullptr)
        return {1, 1, 1};
    const std::array<int, 3> steps = {usb_set_configuration(handle, 1),
                                      usb_claim_interface(handle, 0),
                                      usb_set_altinterface(handle, 0)};
    usb_close(handle);
    return steps;
}

// Each refusal fails its own step with the kernel's code and no other;
// catches a refusal applied to the wrong request.
TEST_F(EmulatedBus, RefusalsFailTheirStep)
{
    emu_behaviour config, claim, alt;
    config.refuse_configuration = true;
    claim.refuse_claim = true;
    alt.refuse_alt_setting = true;
    ASSERT_NE(add(2, config), nullptr);
    ASSERT_NE(add(3, claim), nullptr);
    ASSERT_NE(add(4, alt), nullptr);
    scan();
    EXPECT_EQ(open_steps(bus, 2), (std::array<int, 3>{-EBUSY, 0, 0}));
    // libusb itself refuses an alternate setting without a claimed interface.
    EXPECT_EQ(open_steps(bus, 3), (std::array<int, 3>{0, -EBUSY, -EINVAL}));
    EXPECT_EQ(open_steps(bus, 4), (std::array<int, 3>{0, 0, -EINVAL}));
}

// An unplugged device's node is gone: libusb 0.1.12 still hands out a
// handle (its usb_open ignores a failed open()), but the handle has no file
// and its first request fails; an already open handle fails too, and a
// rescan drops the device but not its neighbour. Catches a node or handler
// that outlives the removal.
TEST_F(EmulatedBus, RemovedDeviceIsGone)
{
    ASSERT_NE(add(2), nullptr);
    emu_device *gone = add(3);
    ASSERT_NE(gone, nullptr);
    scan();
    struct usb_device *record = find_device(bus, 3);
    ASSERT_NE(record, nullptr);
    claimed_device held(record);
    ASSERT_NE(held.handle, nullptr);
    emu_remove_device(bed.get(), gone);
    usb_dev_handle *reopened = usb_open(record);
    if (reopened != nullptr) {
        EXPECT_EQ(usb_set_configuration(reopened, 1), -EBADF);
        usb_close(reopened);
    }
    EXPECT_EQ(write_to(held.handle, RED_ON_LIGHT_1), -ENODEV);
    EXPECT_TRUE(emu_packets(*gone).empty());
    scan();
    EXPECT_EQ(find_device(bus, 3), nullptr);
    EXPECT_NE(find_device(bus, 2), nullptr);
}

// A replugged device answers on a fresh handle, under its old number or a
// new one, while handles from before the unplug stay dead. Catches a
// replug that revives stale handles or keeps the device's old state.
TEST_F(EmulatedBus, ReplugAndPowerCycle)
{
    emu_device *dev = add(2);
    ASSERT_NE(dev, nullptr);
    for (int devnum : {2, 5}) {  // a replug, then a power cycle
        scan();
        claimed_device held(find_device(bus, dev->devnum));
        ASSERT_NE(held.handle, nullptr);
        EXPECT_EQ(emu_replug_device(bed.get(), dev, devnum), nullptr) << "still plugged in";
        emu_remove_device(bed.get(), dev);
        ASSERT_EQ(emu_replug_device(bed.get(), dev, devnum), dev);
        EXPECT_EQ(dev->devnum, devnum);
        EXPECT_FALSE(dev->claimed) << "powered up afresh";
        EXPECT_EQ(write_to(held.handle, RED_ON_LIGHT_1), -ENODEV);
        scan();
        claimed_device fresh(find_device(bus, devnum));
        ASSERT_NE(fresh.handle, nullptr);
        EXPECT_EQ(write_to(fresh.handle, RED_ON_LIGHT_1), 6);
    }
}

// A stalled write times out after its 200 ms and is not delivered; the
// next one goes through. Catches a stall that never ends or is delivered.
TEST_F(EmulatedBus, StalledWriteTimesOut)
{
    emu_behaviour stalling;
    stalling.stall_writes = 1;
    emu_device *dev = add(2, stalling);
    ASSERT_NE(dev, nullptr);
    scan();
    claimed_device light_set(find_device(bus, 2));
    ASSERT_NE(light_set.handle, nullptr);
    const double before = now_seconds();
    EXPECT_EQ(write_to(light_set.handle, RED_ON_LIGHT_1), -ETIMEDOUT);
    EXPECT_GE(now_seconds() - before, 0.19);
    EXPECT_TRUE(emu_packets(*dev).empty());
    EXPECT_EQ(write_to(light_set.handle, RED_ON_LIGHT_1), 6);
    EXPECT_EQ(emu_packets(*dev).size(), 1u);
}

// A transfer in flight when the set is pulled out ends at once with no
// bytes and no error: the kernel gives back the URB that the disconnect
// killed, and libusb 0.1 passes on its length, not its status. The next
// transfer fails with -ENODEV. Catches an emulation that fails the transfer
// in flight, or keeps it waiting until its time-out.
TEST_F(EmulatedBus, TransferInFlightAtUnplugEndsEmpty)
{
    for (const bool read : {true, false}) {
        SCOPED_TRACE(read ? "a read waiting for a reply" : "a write the set does not take");
        emu_behaviour stalling;
        stalling.stall_writes = 1;
        emu_device *dev = add(2, stalling);
        ASSERT_NE(dev, nullptr);
        scan();
        claimed_device light_set(find_device(bus, 2));
        ASSERT_NE(light_set.handle, nullptr);
        int result = 1;
        const double start = now_seconds();
        std::thread transfer([&] {
            char buffer[64] = {0x11, 0x1B, 0x03};
            result = read ? usb_interrupt_read(light_set.handle, 0x81, buffer, 64, 3000)
                          : usb_interrupt_write(light_set.handle, 0x02, buffer, 6, 3000);
        });
        usleep(300 * 1000);
        emu_remove_device(bed.get(), dev);
        transfer.join();
        EXPECT_EQ(result, 0);
        EXPECT_LT(now_seconds() - start, 1.5) << "waited for the time-out";
        EXPECT_EQ(write_to(light_set.handle, RED_ON_LIGHT_1), -ENODEV);
    }
}

// --- running programs under the emulation --------------------------------------

std::string self_path()
{
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return std::string(path, length > 0 ? static_cast<size_t>(length) : 0);
}

// Output streams, exit status and the preload in the child's environment;
// catches mixed-up streams, a lost status or a child outside the emulation.
TEST(EmuRun, CapturesStreamsStatusAndEnvironment)
{
    const process_result r = emu_run({"sh", "-c", "echo \"$LD_PRELOAD\"; echo err >&2; exit 3"});
    EXPECT_EQ(r.exit_status, 3);
    EXPECT_EQ(r.signal, 0);
    EXPECT_FALSE(r.timed_out);
    EXPECT_NE(r.out.find("libumockdev-preload.so.0"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "err\n");
    EXPECT_EQ(emu_run({"/nonexistent/program"}).exit_status, 127);
}

// An unchanged program in a child process finds the light set and talks to
// it; catches a child that does not see the testbed or whose transfers do
// not reach this process's device.
TEST(EmuRun, ChildProgramTalksToTheLightSet)
{
    emu_testbed_ptr bed(emu_testbed_new());
    ASSERT_NE(bed, nullptr);
    emu_device *dev = emu_add_device(bed.get(), emu_fresh_bus(), 2, AMBX_VENDOR, AMBX_PRODUCT);
    ASSERT_NE(dev, nullptr);
    const process_result r = emu_run({self_path(), "--light-one-red"});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "start reply: " + std::to_string(emu_start_reply_length()) +
                         " bytes\ncolour sent: 6 bytes\n");
    std::vector<bytes> sent;
    for (const emu_packet &p : emu_packets(*dev))
        sent.push_back(p.bytes);
    EXPECT_EQ(sent, (std::vector<bytes>{START, RED_ON_LIGHT_1}));
}

// A minimal host program: on the first light set libusb finds, send the
// start message, read its reply, then switch light 1 to red. Exits 0, or 1
// without a light set, 2 when it cannot be opened.
int light_one_red()
{
    scan();
    struct usb_device *found = nullptr;
    for (struct usb_bus *b = usb_get_busses(); b && !found; b = b->next)
        for (struct usb_device *d = b->devices; d && !found; d = d->next)
            if (d->descriptor.idVendor == AMBX_VENDOR && d->descriptor.idProduct == AMBX_PRODUCT)
                found = d;
    if (found == nullptr)
        return std::puts("no light set"), 1;
    claimed_device light_set(found);
    if (light_set.handle == nullptr)
        return std::puts("cannot open the light set"), 2;
    bytes reply;
    write_to(light_set.handle, START);
    std::printf("start reply: %d bytes\n", read_from(light_set.handle, 0x81, reply));
    std::printf("colour sent: %d bytes\n", write_to(light_set.handle, RED_ON_LIGHT_1));
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--light-one-red") == 0)
        return light_one_red();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
