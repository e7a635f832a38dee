// The fake libusb 0.1 of the driver's fuzz target.
#include "tests/fuzz/fake_usb.h"

#include <usb.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "driver/ambx_internal.h"
#include "tests/fuzz/fuzz_support.h"

struct usb_dev_handle {
    struct usb_device *device;
    std::vector<int> claimed;
};

struct usb_bus *usb_busses = nullptr;

namespace {

constexpr int FAILED = -110;  // what libusb gives on a time-out
constexpr uint16_t FOREIGN_PRODUCT = 0x0001;

struct fake_bus {
    fuzz_input *script = nullptr;
    usb_bus bus{};
    std::vector<std::unique_ptr<struct usb_device>> devices;
    usb_config_descriptor config{};
    std::vector<usb_interface> interfaces;
    std::vector<usb_interface_descriptor> settings;
    std::vector<std::unique_ptr<usb_dev_handle>> handles;
    int light_sets = 0;
};

fake_bus fake;

uint8_t next_byte()
{
    return fake.script ? fake.script->byte(0xFF) : 0xFF;
}

int status_answer()
{
    return next_byte() < 0x80 ? 0 : FAILED;
}

void add_device(uint16_t product)
{
    auto dev = std::make_unique<struct usb_device>();
    dev->bus = &fake.bus;
    dev->descriptor.idVendor = AMBX_VENDOR;
    dev->descriptor.idProduct = product;
    if (!fake.devices.empty()) {
        fake.devices.back()->next = dev.get();
        dev->prev = fake.devices.back().get();
    }
    fake.devices.push_back(std::move(dev));
}

// The one configuration every light set shares, sized exactly as it says.
void lay_out_configuration(uint8_t shape, fuzz_input &input)
{
    fake.config = usb_config_descriptor{};
    fake.config.bNumInterfaces = (shape >> 4) & 3;
    const uint8_t configurations = input.byte();
    fake.config.bConfigurationValue = input.byte();
    usb_interface_descriptor setting{};
    setting.bInterfaceNumber = input.byte();
    setting.bAlternateSetting = input.byte();
    fake.settings.assign(shape & 0x80 ? 0 : 1, setting);
    fake.interfaces.assign(fake.config.bNumInterfaces, usb_interface{});
    for (usb_interface &interface : fake.interfaces) {
        interface.altsetting = fake.settings.empty() ? nullptr : fake.settings.data();
        interface.num_altsetting = int(fake.settings.size());
    }
    fake.config.interface =
        fake.interfaces.empty() || shape & 0x40 ? nullptr : fake.interfaces.data();
    for (const auto &dev : fake.devices) {
        dev->descriptor.bNumConfigurations = configurations;
        dev->config = shape & 0x08 ? nullptr : &fake.config;
    }
}

usb_dev_handle &checked(usb_dev_handle *handle)
{
    const bool open = std::any_of(fake.handles.begin(), fake.handles.end(),
                                  [&](const auto &h) { return h.get() == handle; });
    fuzz_check(open, "call with a handle that is not open");
    return *handle;
}

// The driver promises size bytes to send, or room for size bytes: every one
// is read, or read and written back, so that the sanitizer sees a smaller
// buffer.
void touch(const char *bytes, int size)
{
    for (int i = 0; i < size; ++i)
        static_cast<void>(static_cast<const volatile char *>(bytes)[i]);
}

void touch(char *bytes, int size)
{
    for (int i = 0; i < size; ++i) {
        const char kept = static_cast<volatile char *>(bytes)[i];
        static_cast<volatile char *>(bytes)[i] = kept;
    }
}

}  // namespace

void fake_usb_load(fuzz_input &input)
{
    fake.handles.clear();
    fake.devices.clear();
    fake.script = &input;
    const uint8_t shape = input.byte();
    if (shape & 0x04)
        add_device(FOREIGN_PRODUCT);
    fake.light_sets = shape & 3;
    for (int i = 0; i < fake.light_sets; ++i)
        add_device(AMBX_PRODUCT);
    lay_out_configuration(shape, input);
    fake.bus = usb_bus{};
    fake.bus.devices = fake.devices.empty() ? nullptr : fake.devices.front().get();
}

int fake_usb_light_sets()
{
    return fake.light_sets;
}

int fake_usb_open_handles()
{
    return int(fake.handles.size());
}

int fake_usb_claimed_interfaces()
{
    int claimed = 0;
    for (const auto &h : fake.handles)
        claimed += int(h->claimed.size());
    return claimed;
}

// --- the libusb 0.1 calls -----------------------------------------------------

void usb_init()
{
}

int usb_find_busses()
{
    return 1;
}

int usb_find_devices()
{
    return int(fake.devices.size());
}

struct usb_bus *usb_get_busses()
{
    usb_busses = &fake.bus;
    return usb_busses;
}

usb_dev_handle *usb_open(struct usb_device *dev)
{
    const bool ours = std::any_of(fake.devices.begin(), fake.devices.end(),
                                  [&](const auto &d) { return d.get() == dev; });
    fuzz_check(ours, "usb_open of a device not on the bus");
    if (next_byte() == 0xFF)
        return nullptr;
    fake.handles.push_back(std::make_unique<usb_dev_handle>(usb_dev_handle{dev, {}}));
    return fake.handles.back().get();
}

int usb_close(usb_dev_handle *dev)
{
    checked(dev);
    fake.handles.erase(std::find_if(fake.handles.begin(), fake.handles.end(),
                                    [&](const auto &h) { return h.get() == dev; }));
    return 0;
}

int usb_set_configuration(usb_dev_handle *dev, int)
{
    checked(dev);
    return status_answer();
}

int usb_claim_interface(usb_dev_handle *dev, int interface)
{
    usb_dev_handle &h = checked(dev);
    const int result = status_answer();
    if (result == 0)
        h.claimed.push_back(interface);
    return result;
}

int usb_set_altinterface(usb_dev_handle *dev, int)
{
    checked(dev);
    return status_answer();
}

int usb_release_interface(usb_dev_handle *dev, int interface)
{
    usb_dev_handle &h = checked(dev);
    const auto it = std::find(h.claimed.begin(), h.claimed.end(), interface);
    fuzz_check(it != h.claimed.end(), "release of an interface not claimed");
    h.claimed.erase(it);
    return 0;
}

int usb_interrupt_write(usb_dev_handle *dev, int ep, const char *bytes, int size, int timeout)
{
    checked(dev);
    fuzz_check(ep == AMBX_EP_OUT && timeout == AMBX_TIMEOUT_MS, "write endpoint or time-out");
    fuzz_check(size >= 1 && size <= AMBX_SEQUENCE_SIZE, "write size");
    touch(bytes, size);
    const uint8_t answer = next_byte();
    if (answer >= 0x80)
        return FAILED;
    return answer == 0 ? size : std::min(answer - 1, size);
}

int usb_interrupt_read(usb_dev_handle *dev, int ep, char *bytes, int size, int timeout)
{
    checked(dev);
    fuzz_check((ep == AMBX_EP_REPLY || ep == AMBX_EP_EVENTS) && timeout == AMBX_TIMEOUT_MS,
               "read endpoint or time-out");
    fuzz_check(size >= 0 && size <= AMBX_REPLY_SIZE, "read size");
    touch(bytes, size);
    const uint8_t answer = next_byte();
    if (answer >= 0x80 || !fake.script)
        return FAILED;
    const int length = std::min<int>(answer, size);
    std::vector<char> reply(size_t(length), 0);
    fake.script->take(reply.data(), reply.size());
    std::copy(reply.begin(), reply.end(), bytes);
    return length;
}
