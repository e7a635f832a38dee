// A stand-in for libusb 0.1 (libusb-0.1.so.4) for programs that cannot run
// under umockdev's preload, such as MIPS programs under qemu-user. A program
// linked against the real library finds this one first through
// LD_LIBRARY_PATH (a static program has it linked in: static.cmake);
// its USB buses are those of the emulated light sets of the process named by
// AMBX_STANDIN_SOCKET (see protocol.h and glue.cpp), and every
// request goes there.
//
// What the program sees follows libusb 0.1.12 on Linux: the same records,
// kept and merged across rescans the same way (a device is known by its bus
// directory and file name), the same results and error codes, and interrupt
// reads that poll until their time-out. Without AMBX_STANDIN_SOCKET, or once
// its owner is gone, the machine has no USB file system.
#include "sim/lightset/standin/protocol.h"
#include "sim/common/util.h"

#include <usb.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

// The list of buses: a data symbol that programs read directly.
__attribute__((visibility("default"))) struct usb_bus *usb_busses = nullptr;

struct usb_dev_handle {
    struct usb_device *device;
    int node;       // the device on the owner's side; -1: its node was missing at open
    int session;    // the connection the node belongs to
    int interface;  // claimed interface, or -1
    int altsetting;
};

namespace {

// --- the connection to the owner of the light sets ---------------------------

// Plain C locks and strings: this file is also linked into static programs
// without a C++ runtime, against a C library other than glibc.
pthread_mutex_t connection_lock = PTHREAD_MUTEX_INITIALIZER;
int connection = -1;
char connected_path[sizeof(sockaddr_un::sun_path)] = "";
int session = 0;  // counts connections, so that old handles can tell theirs went

void disconnect()
{
    if (connection >= 0)
        close(connection);
    connection = -1;
    connected_path[0] = '\0';
}

// Holds connection_lock while it exists.
struct connection_guard {
    connection_guard() { pthread_mutex_lock(&connection_lock); }
    ~connection_guard() { pthread_mutex_unlock(&connection_lock); }
    connection_guard(const connection_guard &) = delete;
    connection_guard &operator=(const connection_guard &) = delete;
};

// Connects to the socket the environment names now, if not connected to it
// already. False when there is none or it does not answer.
bool connect_owner()
{
    const char *path = std::getenv(STANDIN_SOCKET_VARIABLE);
    if (path == nullptr || *path == '\0') {
        disconnect();
        return false;
    }
    if (connection >= 0 && std::strcmp(connected_path, path) == 0)
        return true;
    disconnect();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path)
        return false;
    std::strcpy(address.sun_path, path);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return false;
    }
    connection = fd;
    std::strcpy(connected_path, path);
    session++;
    return true;
}

// Sends one request and takes its reply. Returns the owner's result, with
// the reply's data in data; -ENODEV when the owner cannot be reached.
int ask(int32_t op, int32_t node, int32_t a, int32_t b, const void *payload, int size,
        std::vector<uint8_t> *data = nullptr, int *used_session = nullptr)
{
    const connection_guard guard;
    if (!connect_owner())
        return -ENODEV;
    if (used_session != nullptr && *used_session != session)
        return -ENODEV;  // a handle from an earlier owner
    std::vector<uint8_t> packet(sizeof(standin_request) + static_cast<size_t>(size));
    const standin_request request = {op, node, a, b};
    std::memcpy(packet.data(), &request, sizeof request);
    if (size > 0)
        std::memcpy(packet.data() + sizeof request, payload, static_cast<size_t>(size));
    // One buffer for every reply (connection_lock guards it): a fresh one
    // would clear 64 KiB per request, far more than the program's own work
    // for a light message, and the frame counts of bench/ include it. A
    // plain array: static programs have no C++ runtime to destroy an object.
    static uint8_t reply[STANDIN_MAX_PACKET];
    ssize_t received = -1;
    if (send(connection, packet.data(), packet.size(), MSG_NOSIGNAL) == ssize_t(packet.size())) {
        do
            received = recv(connection, reply, sizeof reply, 0);
        while (received < 0 && errno == EINTR);
    }
    if (received < ssize_t(sizeof(standin_reply))) {
        disconnect();
        return -ENODEV;
    }
    standin_reply header;
    std::memcpy(&header, reply, sizeof header);
    if (data != nullptr)
        data->assign(reply + sizeof header, reply + received);
    return header.result;
}

int current_session()
{
    const connection_guard guard;
    return connect_owner() ? session : -1;
}

// --- descriptors -------------------------------------------------------------

unsigned le16(const uint8_t *p)
{
    return p[0] | p[1] << 8;
}

void parse_device_descriptor(const uint8_t *d, usb_device_descriptor &out)
{
    out.bLength = d[0];
    out.bDescriptorType = d[1];
    out.bcdUSB = static_cast<uint16_t>(le16(d + 2));
    out.bDeviceClass = d[4];
    out.bDeviceSubClass = d[5];
    out.bDeviceProtocol = d[6];
    out.bMaxPacketSize0 = d[7];
    out.idVendor = static_cast<uint16_t>(le16(d + 8));
    out.idProduct = static_cast<uint16_t>(le16(d + 10));
    out.bcdDevice = static_cast<uint16_t>(le16(d + 12));
    out.iManufacturer = d[14];
    out.iProduct = d[15];
    out.iSerialNumber = d[16];
    out.bNumConfigurations = d[17];
}

template <typename T>
T *grow(T *array, int count)
{
    auto *bigger =
        static_cast<T *>(std::realloc(array, sizeof(T) * static_cast<size_t>(count + 1)));
    if (bigger == nullptr)
        std::abort();
    std::memset(&bigger[count], 0, sizeof(T));
    return bigger;
}

// One configuration and what it holds. An interface descriptor with the
// number of the one before is another alternate setting of it. Returns the
// configuration's length, or 0 when the bytes do not hold one.
size_t parse_configuration(const uint8_t *d, size_t available, usb_config_descriptor &config)
{
    if (available < 9 || d[1] != USB_DT_CONFIG)
        return 0;
    config.bLength = d[0];
    config.bDescriptorType = d[1];
    config.wTotalLength = static_cast<uint16_t>(le16(d + 2));
    config.bNumInterfaces = d[4];
    config.bConfigurationValue = d[5];
    config.iConfiguration = d[6];
    config.bmAttributes = d[7];
    config.MaxPower = d[8];
    const size_t total = std::min<size_t>(config.wTotalLength, available);
    int interfaces = 0;
    usb_interface_descriptor *setting = nullptr;
    for (size_t at = d[0]; at + 2 <= total && d[at] >= 2; at += d[at]) {
        const uint8_t *p = d + at;
        if (p[1] == USB_DT_INTERFACE && p[0] >= 9 && at + 9 <= total) {
            if (interfaces == 0 ||
                config.interface[interfaces - 1].altsetting[0].bInterfaceNumber != p[2]) {
                config.interface = grow(config.interface, interfaces);
                interfaces++;
            }
            usb_interface &interface = config.interface[interfaces - 1];
            interface.altsetting = grow(interface.altsetting, interface.num_altsetting);
            setting = &interface.altsetting[interface.num_altsetting++];
            *setting = {p[0], p[1], p[2], p[3], 0, p[5], p[6], p[7], p[8], nullptr, nullptr, 0};
        } else if (p[1] == USB_DT_ENDPOINT && p[0] >= 7 && at + 7 <= total && setting != nullptr) {
            setting->endpoint = grow(setting->endpoint, setting->bNumEndpoints);
            usb_endpoint_descriptor &e = setting->endpoint[setting->bNumEndpoints++];
            e.bLength = p[0];
            e.bDescriptorType = p[1];
            e.bEndpointAddress = p[2];
            e.bmAttributes = p[3];
            e.wMaxPacketSize = static_cast<uint16_t>(le16(p + 4));
            e.bInterval = p[6];
            e.bRefresh = p[0] >= 9 ? p[7] : 0;
            e.bSynchAddress = p[0] >= 9 ? p[8] : 0;
        }
    }
    return total;
}

void free_configurations(struct usb_device *dev)
{
    if (dev->config == nullptr)
        return;
    for (int c = 0; c < dev->descriptor.bNumConfigurations; c++) {
        usb_config_descriptor &config = dev->config[c];
        for (int i = 0; config.interface != nullptr && i < config.bNumInterfaces; i++) {
            usb_interface &interface = config.interface[i];
            for (int s = 0; s < interface.num_altsetting; s++)
                std::free(interface.altsetting[s].endpoint);
            std::free(interface.altsetting);
        }
        std::free(config.interface);
    }
    std::free(dev->config);
    dev->config = nullptr;
}

void free_device(struct usb_device *dev)
{
    free_configurations(dev);
    std::free(dev);
}

// A device record as libusb makes it when it scans a bus directory.
struct usb_device *make_device(usb_bus *bus, int devnum, const uint8_t *d, size_t length)
{
    if (length < USB_DT_DEVICE_SIZE)
        return nullptr;
    auto *dev = static_cast<struct usb_device *>(std::calloc(1, sizeof(struct usb_device)));
    if (dev == nullptr)
        std::abort();
    std::snprintf(dev->filename, sizeof dev->filename, "%03d", devnum);
    dev->bus = bus;
    dev->devnum = static_cast<uint8_t>(devnum);
    parse_device_descriptor(d, dev->descriptor);
    const int configurations = dev->descriptor.bNumConfigurations;
    if (configurations < 1 || configurations > USB_MAXCONFIG)
        return dev;
    dev->config = static_cast<usb_config_descriptor *>(
        std::calloc(static_cast<size_t>(configurations), sizeof(usb_config_descriptor)));
    size_t at = USB_DT_DEVICE_SIZE;
    for (int c = 0; c < configurations; c++) {
        const size_t used = parse_configuration(d + at, length - at, dev->config[c]);
        if (used == 0) {
            free_configurations(dev);  // as libusb: no configurations at all
            break;
        }
        at += used;
    }
    return dev;
}

// --- lists, as libusb keeps them -------------------------------------------------

template <typename T>
void list_add(T *&head, T *item)
{
    item->prev = nullptr;
    item->next = head;
    if (head != nullptr)
        head->prev = item;
    head = item;
}

template <typename T>
void list_del(T *&head, T *item)
{
    if (item->prev != nullptr)
        item->prev->next = item->next;
    else
        head = item->next;
    if (item->next != nullptr)
        item->next->prev = item->prev;
}

// What the owner lists now: each bus with its devices' descriptors.
struct listed_device {
    int devnum;
    std::vector<uint8_t> descriptors;
};
struct listed_bus {
    int bus;
    std::vector<listed_device> devices;
};

// -ENOENT without an owner, like libusb without a USB file system.
int list_owner(std::vector<listed_bus> &buses)
{
    std::vector<uint8_t> data;
    const int result = ask(standin_list, 0, 0, 0, nullptr, 0, &data);
    if (result < 0)
        return -ENOENT;
    buses.clear();
    for (size_t at = 0; at + sizeof(standin_entry) <= data.size();) {
        standin_entry entry;
        std::memcpy(&entry, data.data() + at, sizeof entry);
        at += sizeof entry;
        if (entry.length < 0 || at + size_t(entry.length) > data.size())
            break;
        listed_bus *bus = nullptr;
        for (listed_bus &b : buses)
            if (b.bus == entry.bus)
                bus = &b;
        if (bus == nullptr) {
            buses.push_back({entry.bus, {}});
            bus = &buses.back();
        }
        if (entry.devnum > 0)
            bus->devices.push_back(
                {entry.devnum,
                 std::vector<uint8_t>(data.begin() + at, data.begin() + at + entry.length)});
        at += size_t(entry.length);
    }
    return 0;
}

// Whether a bus directory or device file name is number n.
bool named(const char *name, int n)
{
    char text[16];
    std::snprintf(text, sizeof text, "%03d", n);
    return std::strcmp(text, name) == 0;
}

// A request on an open handle: -EBADF when the handle has no device node.
int ask_handle(usb_dev_handle *handle, int32_t op, int32_t a, int32_t b,
               const void *payload = nullptr, int size = 0, std::vector<uint8_t> *data = nullptr)
{
    if (handle == nullptr)
        return -EINVAL;
    if (handle->node < 0)
        return -EBADF;
    return ask(op, handle->node, a, b, payload, size, data, &handle->session);
}

char error_text[256] = "";

int record_error(int result, const char *what)
{
    if (result < 0)
        std::snprintf(error_text, sizeof error_text, "%s: %s", what, std::strerror(-result));
    return result;
}

}  // namespace

// --- libusb 0.1 ----------------------------------------------------------------

// Lets the emulation's owner tell that this process's libusb is the stand-in.
STANDIN_EXPORT int ambx_standin_present(void)
{
    return 1;
}

STANDIN_EXPORT void usb_init(void)
{
}

STANDIN_EXPORT void usb_set_debug(int)
{
}

STANDIN_EXPORT char *usb_strerror(void)
{
    return error_text;
}

STANDIN_EXPORT struct usb_bus *usb_get_busses(void)
{
    return usb_busses;
}

// Known buses stay (with their device records); vanished ones are dropped
// (their device records are not freed, as in libusb 0.1.12); new ones are
// added at the front. Returns the number of changes.
STANDIN_EXPORT int usb_find_busses(void)
{
    std::vector<listed_bus> listed;
    const int result = list_owner(listed);
    if (result < 0)
        return record_error(result, "no USB file system");
    int changes = 0;
    for (usb_bus *bus = usb_busses, *next = nullptr; bus != nullptr; bus = next) {
        next = bus->next;
        bool found = false;
        for (size_t i = 0; i < listed.size() && !found; i++)
            if (named(bus->dirname, listed[i].bus)) {
                listed.erase(listed.begin() + static_cast<ptrdiff_t>(i));
                found = true;
            }
        if (!found) {
            list_del(usb_busses, bus);
            std::free(bus);
            changes++;
        }
    }
    for (const listed_bus &b : listed) {
        auto *bus = static_cast<usb_bus *>(std::calloc(1, sizeof(usb_bus)));
        if (bus == nullptr)
            std::abort();
        std::snprintf(bus->dirname, sizeof bus->dirname, "%03d", b.bus);
        bus->location = static_cast<uint32_t>(b.bus);
        list_add(usb_busses, bus);
        changes++;
    }
    return changes;
}

// Per known bus: records of vanished devices are freed, known ones kept
// unchanged (old descriptors included), new ones added at the front.
STANDIN_EXPORT int usb_find_devices(void)
{
    std::vector<listed_bus> listed;
    if (list_owner(listed) < 0)
        listed.clear();  // every bus directory is gone: its devices vanish
    int changes = 0;
    for (usb_bus *bus = usb_busses; bus != nullptr; bus = bus->next) {
        std::vector<listed_device> now;
        for (const listed_bus &b : listed)
            if (named(bus->dirname, b.bus))
                now = b.devices;
        for (struct usb_device *dev = bus->devices, *next = nullptr; dev != nullptr; dev = next) {
            next = dev->next;
            bool found = false;
            for (size_t i = 0; i < now.size() && !found; i++)
                if (named(dev->filename, now[i].devnum)) {
                    now.erase(now.begin() + static_cast<ptrdiff_t>(i));
                    found = true;
                }
            if (!found) {
                list_del(bus->devices, dev);
                free_device(dev);
                changes++;
            }
        }
        for (const listed_device &d : now) {
            struct usb_device *dev =
                make_device(bus, d.devnum, d.descriptors.data(), d.descriptors.size());
            if (dev == nullptr)
                continue;
            list_add(bus->devices, dev);
            changes++;
        }
    }
    return changes;
}

STANDIN_EXPORT struct usb_device *usb_device(usb_dev_handle *dev)
{
    return dev != nullptr ? dev->device : nullptr;
}

// As libusb 0.1.12 on Linux, a device whose node cannot be opened still
// gets a handle; every request on it then fails with EBADF.
STANDIN_EXPORT usb_dev_handle *usb_open(struct usb_device *dev)
{
    if (dev == nullptr || dev->bus == nullptr)
        return nullptr;
    auto *handle = static_cast<usb_dev_handle *>(std::calloc(1, sizeof(usb_dev_handle)));
    if (handle == nullptr)
        return nullptr;
    handle->device = dev;
    handle->interface = -1;
    handle->altsetting = -1;
    handle->session = current_session();
    const int node = ask(standin_open, 0, std::atoi(dev->bus->dirname), std::atoi(dev->filename),
                         nullptr, 0, nullptr, &handle->session);
    handle->node = node >= 0 ? node : -1;
    return handle;
}

STANDIN_EXPORT int usb_close(usb_dev_handle *dev)
{
    std::free(dev);
    return 0;
}

STANDIN_EXPORT int usb_set_configuration(usb_dev_handle *dev, int configuration)
{
    return record_error(ask_handle(dev, standin_set_configuration, configuration, 0),
                        "could not set config");
}

STANDIN_EXPORT int usb_claim_interface(usb_dev_handle *dev, int interface)
{
    const int result = ask_handle(dev, standin_claim, interface, 0);
    if (result == 0)
        dev->interface = interface;
    return record_error(result, "could not claim interface");
}

STANDIN_EXPORT int usb_release_interface(usb_dev_handle *dev, int interface)
{
    const int result = ask_handle(dev, standin_release, interface, 0);
    if (result == 0)
        dev->interface = -1;
    return record_error(result, "could not release interface");
}

// libusb itself refuses an alternate setting before an interface is claimed.
STANDIN_EXPORT int usb_set_altinterface(usb_dev_handle *dev, int alternate)
{
    if (dev == nullptr || dev->interface < 0)
        return record_error(-EINVAL, "no interface claimed");
    const int result = ask_handle(dev, standin_set_alt, dev->interface, alternate);
    if (result == 0)
        dev->altsetting = alternate;
    return record_error(result, "could not set alternate setting");
}

// The device takes an OUT transfer at once: the bytes it took (a short
// write ends the transfer, as in libusb), or the refusal of its submission.
// A transfer it does not take is polled until the time-out (none when
// timeout is 0), then -ETIMEDOUT; an unplug meanwhile ends it with 0.
STANDIN_EXPORT int usb_interrupt_write(usb_dev_handle *dev, int ep, const char *bytes, int size,
                                       int timeout)
{
    if (size < 0 || (size > 0 && bytes == nullptr))
        return record_error(-EINVAL, "error submitting URB");
    const double deadline = now_seconds() + timeout / 1000.0;
    int result = ask_handle(dev, standin_write, ep, 0, bytes, size);
    while (result == -EAGAIN) {
        if (timeout > 0 && now_seconds() >= deadline)
            return record_error(-ETIMEDOUT, "timeout");
        usleep(1000);
        result = ask_handle(dev, standin_write_wait, ep, 0);
    }
    return record_error(result, "error submitting URB");
}

// Polls for a reply until the time-out (none when timeout is 0), as libusb
// polls its URB; then -ETIMEDOUT. An empty reply reads as 0 bytes.
STANDIN_EXPORT int usb_interrupt_read(usb_dev_handle *dev, int ep, char *bytes, int size,
                                      int timeout)
{
    if (size < 0 || (size > 0 && bytes == nullptr))
        return record_error(-EINVAL, "error submitting URB");
    const double deadline = now_seconds() + timeout / 1000.0;
    std::vector<uint8_t> reply;
    for (int32_t op = standin_submit_read;; op = standin_read) {
        const int result = ask_handle(dev, op, ep | USB_ENDPOINT_IN, size, nullptr, 0, &reply);
        if (result >= 0) {
            const size_t length = std::min<size_t>(reply.size(), size_t(size));
            if (length > 0)
                std::memcpy(bytes, reply.data(), length);
            return static_cast<int>(length);
        }
        if (result != -EAGAIN)
            return record_error(result, "error reaping URB");
        if (timeout > 0 && now_seconds() >= deadline)
            return record_error(-ETIMEDOUT, "timeout");
        usleep(1000);
    }
}
