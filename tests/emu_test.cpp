// The emulated amBX light set: its protocol logic alone, then the device
// under the real libusb 0.1 through umockdev, then running programs under
// the emulation.
//
// Run with "--light-one-red", this binary is instead a minimal host program
// for the light set (see light_one_red); the tests start it as a child.
#include <gtest/gtest.h>

#include <usb.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "ambx_emu.h"
#include "emu_usb.h"

namespace {

using bytes = std::vector<uint8_t>;

constexpr uint16_t AMBX_VENDOR = 0x0471;
constexpr uint16_t AMBX_PRODUCT = 0x083F;
const bytes START = {0x00};
const bytes COUNT_QUERY = {0x21, 0xF0, 0x01, 0x00};
const bytes RED_ON_LIGHT_1 = {0x11, 0x1B, 0x03, 0xFF, 0x00, 0x00};

// --- protocol logic alone ----------------------------------------------------

// Delivers a message and takes the reply, if the device made one.
std::optional<bytes> receive_and_reply(emu_device &dev, const bytes &message)
{
    emu_receive(dev, 0x02, message.data(), static_cast<int>(message.size()));
    bytes reply(64);
    const int length = emu_reply(dev, 0x81, reply.data(), 64);
    if (length < 0)
        return std::nullopt;
    reply.resize(static_cast<size_t>(length));
    return reply;
}

// Descriptor layout with unusual identifiers; catches swapped identifier
// bytes, a wrong total length or a missing endpoint.
TEST(EmuProtocol, DescriptorsCarryIdentifiersAndFullConfiguration)
{
    emu_device dev;
    dev.vendor = 0x1234;
    dev.product = 0xABCD;
    const bytes d = emu_descriptors(dev);
    ASSERT_EQ(d.size(), 18u + 39u);
    EXPECT_EQ((bytes{d[0], d[1], d[2], d[3]}), (bytes{18, 0x01, 0x10, 0x01}));
    EXPECT_EQ((bytes{d[8], d[9], d[10], d[11]}), (bytes{0x34, 0x12, 0xCD, 0xAB}));
    EXPECT_EQ(d[17], 1) << "one configuration";
    EXPECT_EQ((bytes{d[18], d[19], d[20], d[21]}), (bytes{9, 0x02, 39, 0}));
    EXPECT_EQ((bytes{d[27], d[28], d[31], d[32]}), (bytes{9, 0x04, 3, 0xFF}));
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(d[36 + 7 * i + 2], (bytes{0x02, 0x81, 0x83}[i])) << "endpoint " << i;
}

// What a normally answering device replies, and to what not; catches a
// reply to a colour message or a wrong count reply.
TEST(EmuProtocol, NormalDeviceAnswersQueriesOnly)
{
    emu_device dev;
    const bytes start = receive_and_reply(dev, START).value_or(bytes{});
    ASSERT_EQ(start.size(), static_cast<size_t>(emu_start_reply_length()));
    EXPECT_EQ(start[2], emu_start_reply_byte2());
    EXPECT_EQ(start.size(), 3u + start[2]) << "byte 2 counts the bytes after it";
    EXPECT_EQ(receive_and_reply(dev, COUNT_QUERY), (bytes{0x21, 0xF0, 0x01, 0x05}));
    EXPECT_EQ(receive_and_reply(dev, RED_ON_LIGHT_1), std::nullopt);
    EXPECT_EQ(receive_and_reply(dev, {0x31, 0x0B, 0x42, 0x03, 0xE8}), std::nullopt);
    EXPECT_EQ(receive_and_reply(dev, {0x41, 0x51, 0x03, 0x00, 0x00, 0x3B}), std::nullopt)
        << "there is no component 5";
    const std::vector<emu_packet> log = emu_packets(dev);
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[2].endpoint, 0x02);
    EXPECT_EQ(log[2].bytes, RED_ON_LIGHT_1);
    EXPECT_LE(log[0].seconds, log[4].seconds);
}

// Information replies carry the block in chunks of 59 bytes from the asked
// offset, byte 1 asking for a second read of a long block; catches a wrong
// length byte or a chunk taken from the wrong offset.
TEST(EmuProtocol, InformationRepliesCarryTheBlock)
{
    emu_device dev;
    dev.behaviour.components = {{1, 4, "Short"}, {3, 3, "Wall washer centre"}};
    const bytes first = receive_and_reply(dev, {0x41, 0x11, 0x03, 0x00, 0x00, 0x3B}).value();
    ASSERT_EQ(first.size(), 5u + 59);
    EXPECT_EQ(first[2], 61);
    EXPECT_EQ(first[4], 0x00);
    EXPECT_EQ(first[5 + 1], 0x3A);
    EXPECT_EQ(first[5 + 23], 3);
    EXPECT_EQ(first[5 + 33], 3);
    EXPECT_EQ(first[5 + 47], 18);
    EXPECT_EQ(std::string(first.begin() + 5 + 48, first.end()), "Wall washer");
    const bytes second = receive_and_reply(dev, {0x51, 0x11, 0x03, 0x00, 0x3B, 0x3B}).value();
    EXPECT_EQ(second[2], 2 + 7);
    EXPECT_EQ(std::string(second.begin() + 5, second.end()), " centre");

    const bytes single = receive_and_reply(dev, {0x61, 0x01, 0x03, 0x00, 0x00, 0x3B}).value();
    ASSERT_EQ(single.size(), 5u + 48 + 5);
    EXPECT_LT(single[5 + 1], 58) << "a short block needs no second read";
    EXPECT_EQ(single[5 + 33], 1);
    EXPECT_EQ(single[5 + 23], 4);
}

// Silent and empty devices; catches a silent device that still queues
// replies, or an empty one that answers colour messages.
TEST(EmuProtocol, SilentAndEmptyModes)
{
    emu_device silent;
    silent.behaviour.answer = emu_answer::silent;
    EXPECT_EQ(receive_and_reply(silent, START), std::nullopt);
    EXPECT_EQ(receive_and_reply(silent, COUNT_QUERY), std::nullopt);
    EXPECT_EQ(emu_packets(silent).size(), 2u) << "a silent device still logs";

    emu_device empty;
    empty.behaviour.answer = emu_answer::empty;
    EXPECT_EQ(receive_and_reply(empty, START), bytes{});
    EXPECT_EQ(receive_and_reply(empty, COUNT_QUERY), bytes{});
    EXPECT_EQ(receive_and_reply(empty, RED_ON_LIGHT_1), std::nullopt);
}

// Replies come in order, one per read, truncated to the read's capacity,
// and never on 0x83; catches a reply read twice or handed to 0x83.
TEST(EmuProtocol, RepliesAreQueuedAndTruncated)
{
    emu_device dev;
    emu_receive(dev, 0x02, START.data(), 1);
    emu_receive(dev, 0x02, COUNT_QUERY.data(), 4);
    uint8_t buf[64];
    EXPECT_EQ(emu_reply(dev, 0x83, buf, 64), -1);
    EXPECT_EQ(emu_reply(dev, 0x81, buf, 2), 2) << "start reply cut to 2 bytes";
    EXPECT_EQ(emu_reply(dev, 0x81, buf, 64), 4);
    EXPECT_EQ(buf[3], 5);
    EXPECT_EQ(emu_reply(dev, 0x81, buf, 64), -1);
}

// Control requests: refusals per behaviour and invalid values; catches a
// refusal that is ignored or an invalid interface accepted.
TEST(EmuProtocol, ControlRequests)
{
    emu_device dev;
    EXPECT_EQ(emu_set_configuration(dev, 1), 0);
    EXPECT_EQ(emu_set_configuration(dev, 2), -EINVAL);
    EXPECT_EQ(emu_claim_interface(dev, 1), -ENOENT);
    EXPECT_EQ(emu_release_interface(dev, 0), -EINVAL) << "not claimed yet";
    EXPECT_EQ(emu_claim_interface(dev, 0), 0);
    EXPECT_TRUE(dev.claimed);
    EXPECT_EQ(emu_set_alt_setting(dev, 0, 1), -EINVAL);
    EXPECT_EQ(emu_set_alt_setting(dev, 0, 0), 0);
    EXPECT_EQ(emu_release_interface(dev, 0), 0);
    EXPECT_FALSE(dev.claimed);

    emu_device refusing;
    refusing.behaviour = {emu_answer::normal, true, true, true};
    EXPECT_EQ(emu_set_configuration(refusing, 1), -EBUSY);
    EXPECT_EQ(emu_claim_interface(refusing, 0), -EBUSY);
    EXPECT_EQ(emu_set_alt_setting(refusing, 0, 0), -EINVAL);
    EXPECT_FALSE(refusing.claimed);
}

// One line in words per kind of packet; catches misread addresses, step
// times or colours, and non-message bytes described as messages.
TEST(EmuProtocol, DescribeEachKindOfMessage)
{
    const std::vector<std::pair<bytes, std::string>> cases = {
        {START, "start message"},
        {{0x11, 0xF0, 0x01, 0x00}, "count query"},
        {{0x51, 0x2B, 0x03, 0x00, 0xFF, 0x00}, "light 2: colour #00FF00"},
        {{0x61, 0x0B, 0x48, 0x03, 0xE8, 0xFF, 0x00, 0x00, 0x12, 0x34, 0x56},
         "light 0: sequence of 2 colours, step 1000: #FF0000 #123456"},
        {{0x71, 0x4B, 0x42, 0x00, 0x0A}, "light 4: sequence of 0 colours, step 10"},
        {{0x81, 0x31, 0x03, 0x00, 0x3B, 0x3B}, "component 3: information request, offset 59, 59 bytes"},
        {{0x91, 0x25, 0x01, 0x7F}, "other message: 91 25 01 7F"},
        {{0x00, 0x00}, "other message: 00 00"},
        {{}, "empty message"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(emu_describe({0x02, c.first, 0}), c.second);
    EXPECT_EQ(emu_describe({0x01, START, 0}), "endpoint 0x01: start message");
}

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
    const int result = usb_interrupt_read(handle, endpoint, reinterpret_cast<char *>(reply.data()),
                                          capacity, 200);
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
        ASSERT_NE(emu_add_device(bed.get(), buses[i % 3], 2 + i / 3, AMBX_VENDOR, AMBX_PRODUCT), nullptr);
    ASSERT_NE(emu_add_device(bed.get(), buses[0], 40, AMBX_VENDOR, 0x0001), nullptr);
    ASSERT_NE(emu_add_device(bed.get(), buses[1], 40, 0x1234, AMBX_PRODUCT), nullptr);
    const int empty_bus = emu_fresh_bus();
    ASSERT_EQ(emu_add_bus(bed.get(), empty_bus), 0);
    scan();
    int listed_buses = 0, light_sets = 0, strangers = 0;
    for (struct usb_bus *b = usb_get_busses(); b != nullptr; b = b->next, listed_buses++)
        for (struct usb_device *d = b->devices; d != nullptr; d = d->next) {
            const bool match = d->descriptor.idVendor == AMBX_VENDOR && d->descriptor.idProduct == AMBX_PRODUCT;
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
    const std::array<int, 3> steps = {usb_set_configuration(handle, 1), usb_claim_interface(handle, 0),
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
