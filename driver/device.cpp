// The device table: discovery, open with the start handshake, and close.
#include <cstdio>
#include <cstring>

#include "driver/ambx_internal.h"

// The only device the driver supports: the amBX light set.
const supported_device devices = {AMBX_VENDOR, AMBX_PRODUCT};

// Registered devices in the order ambx_init found them; ambx_init sets every
// slot free before it scans.
device_table device_slots;

namespace {

constexpr int DRAIN_REPLY_SIZE = 32;           // first discarded read at open, on 0x81
constexpr int DRAIN_EVENTS_SIZE = 64;          // second discarded read at open, on 0x83
constexpr unsigned char START_MESSAGE = 0x00;  // 1 byte, no header

void free_slot(device_slot &slot)
{
    slot.handle = nullptr;
    slot.interface = -1;
    slot.configuration = -1;
    slot.alt_setting = -1;
}

// A second ambx_init must not leak the handles of the first: libusb may
// free the device records of a rescan, but an open handle stays valid.
void reset_table()
{
    for (device_slot &slot : device_slots.slots) {
        if (slot.handle) {
            if (slot.interface >= 0)
                usb_release_interface(slot.handle, slot.interface);
            usb_close(slot.handle);
        }
        free_slot(slot);
        slot.device = nullptr;
    }
    device_slots.count = 0;
}

bool is_supported(const struct usb_device *dev)
{
    return dev->descriptor.idVendor == devices.vendor &&
           dev->descriptor.idProduct == devices.product;
}

// Gives the slot back to the registered state after a failed open.
int abandon_open(device_slot &slot)
{
    usb_close(slot.handle);
    slot.handle = nullptr;
    return AMBX_ERR_CONFIGURE;
}

// Claims the first interface with its first alternate setting, when the
// configuration offers one; otherwise both stay -1, so that nothing counts
// as held and close releases nothing. Returns 0 or -8 (handle closed).
int claim_first_interface(device_slot &slot, const usb_config_descriptor &config, int *interface,
                          int *alt_setting)
{
    *interface = -1;
    *alt_setting = -1;
    if (config.bNumInterfaces == 0 || !config.interface || config.interface[0].num_altsetting < 1)
        return 0;
    const usb_interface_descriptor &setting = config.interface[0].altsetting[0];
    *interface = setting.bInterfaceNumber;
    *alt_setting = setting.bAlternateSetting;
    printf("Claiming interface %d\n", *interface);
    if (usb_claim_interface(slot.handle, *interface) < 0) {
        puts("Error claiming interface...");
        return abandon_open(slot);
    }
    if (usb_set_altinterface(slot.handle, *alt_setting) < 0) {
        printf("Error setting active alternate setting %d\n", *alt_setting);
        usb_release_interface(slot.handle, *interface);
        return abandon_open(slot);
    }
    return 0;
}

// Drains both IN endpoints, sends the start message and the count query.
// The outcome is only reported: a silent device stays open.
void start_handshake(usb_dev_handle *handle)
{
    unsigned char buffer[AMBX_REPLY_SIZE] = {};
    puts("Starting to write...");
    usb_interrupt_read(handle, AMBX_EP_REPLY, reinterpret_cast<char *>(buffer), DRAIN_REPLY_SIZE,
                       AMBX_TIMEOUT_MS);
    usb_interrupt_read(handle, AMBX_EP_EVENTS, reinterpret_cast<char *>(buffer), DRAIN_EVENTS_SIZE,
                       AMBX_TIMEOUT_MS);

    memset(buffer, 0, sizeof buffer);  // an empty reply must not show drained bytes
    buffer[0] = START_MESSAGE;
    int received = AMBX_REPLY_SIZE;
    if (exchange_message(handle, buffer, 1, buffer, &received))
        printf("success, received count=%d, data length=%d\n", received,
               static_cast<int8_t>(buffer[2]));
    else
        puts("No response on start transactions");

    const int length = put_count_query(buffer);
    received = AMBX_REPLY_SIZE;
    if (exchange_message(handle, buffer, length, buffer, &received)) {
        printf("Received %d bytes in response\n", received);
        puts("init done");
    }
}

}  // namespace

int ambx_init()
{
    reset_table();
    usb_init();
    usb_find_busses();
    usb_find_devices();
    usb_get_busses();

    int result = 0;
    int buses = 0;
    for (struct usb_bus *bus = usb_busses; bus; bus = bus->next) {
        buses++;
        for (struct usb_device *dev = bus->devices; dev; dev = dev->next) {
            if (!is_supported(dev))
                continue;
            result = register_device(dev);
            if (result == 0)
                return 0;
        }
    }
    // Nothing registered: 0 without any bus, else the number of buses.
    return device_slots.count > 0 ? result : buses;
}

int check_index(int device)
{
    if (device < 0 || device >= AMBX_MAX_DEVICES)
        return AMBX_ERR_INDEX;
    return device_slots.slots[device].device ? 0 : AMBX_ERR_NO_DEVICE;
}

int register_device(struct usb_device *dev)
{
    if (!dev)
        return 0;
    puts("Found supported controller");
    for (int i = 0; i < dev->descriptor.bNumConfigurations; i++)
        printf("Configuration %d\n", i);
    device_slot &slot = device_slots.slots[device_slots.count];
    free_slot(slot);
    slot.device = dev;
    device_slots.count++;
    return device_slots.count < AMBX_MAX_DEVICES ? 1 : 0;
}

int ambx_open(int device)
{
    if (const int error = check_index(device))
        return error;
    device_slot &slot = device_slots.slots[device];
    if (slot.handle)
        return AMBX_ERR_OPEN;
    slot.handle = usb_open(slot.device);
    if (!slot.handle)
        return AMBX_ERR_USB_OPEN;

    // libusb leaves config null for a device without a configuration.
    const usb_config_descriptor *config = slot.device->config;
    const int value = config ? config->bConfigurationValue : -1;
    if (!config || usb_set_configuration(slot.handle, value) < 0) {
        printf("Error setting configuration %d\n", value);
        return abandon_open(slot);
    }
    int interface = -1;
    int alt_setting = -1;
    if (const int error = claim_first_interface(slot, *config, &interface, &alt_setting))
        return error;
    slot.alt_setting = alt_setting;
    slot.interface = interface;
    slot.configuration = value;
    start_handshake(slot.handle);
    return 0;
}

int ambx_start(int device)
{
    if (ambx_init() < 0) {
        puts("ambx_init failed.");
        return -1;
    }
    if (ambx_open(device) < 0) {
        printf("ambx_open(%d) failed.\n", device);
        return -1;
    }
    return 0;
}

int ambx_close(int device)
{
    if (const int error = check_index(device))
        return error;
    device_slot &slot = device_slots.slots[device];
    if (!slot.handle)
        return AMBX_ERR_NOT_OPEN;
    if (slot.interface >= 0)
        usb_release_interface(slot.handle, slot.interface);
    const int result = usb_close(slot.handle);
    free_slot(slot);
    return result;
}

int ambx_device_count()
{
    return device_slots.count;
}

struct usb_device *ambx_usb_device(int device)
{
    return check_index(device) == 0 ? device_slots.slots[device].device : nullptr;
}

int ambx_device_status(int device)
{
    if (const int error = check_index(device))
        return error;
    const device_slot &slot = device_slots.slots[device];
    return (slot.handle ? 1 : 0) | (slot.interface >= 0 ? 2 : 0);
}
