// The light set behind umockdev: testbed, device nodes and the usbdevfs
// requests that libusb 0.1 makes on them.
#include "sim/lightset/emu_glue.h"
#include "sim/lightset/emu_usb.h"

#include <umockdev.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

namespace {

// An URB the host submitted and has not reaped yet. Holds a reference to the
// connection that submitted it and to umockdev's copy of the URB (whose
// buffer is resolved into this process).
struct urb_entry {
    UMockdevIoctlClient *client = nullptr;
    UMockdevIoctlData *urb = nullptr;
    bool stalled = false;  // an OUT transfer the device never takes

    urb_entry(UMockdevIoctlClient *c, UMockdevIoctlData *u)
        : client(static_cast<UMockdevIoctlClient *>(g_object_ref(c))), urb(u)
    {
    }
    urb_entry(urb_entry &&other) noexcept { swap(other); }
    urb_entry &operator=(urb_entry &&other) noexcept
    {
        swap(other);
        return *this;
    }
    ~urb_entry()
    {
        if (urb != nullptr)
            umockdev_ioctl_data_unref(urb);
        if (client != nullptr)
            g_object_unref(client);
    }
    void swap(urb_entry &other) noexcept
    {
        std::swap(client, other.client);
        std::swap(urb, other.urb);
        std::swap(stalled, other.stalled);
    }
    usbdevfs_urb &fields() const { return *reinterpret_cast<usbdevfs_urb *>(urb->data); }
    // Hands the URB reference to the caller.
    UMockdevIoctlData *release() { return std::exchange(urb, nullptr); }
};

}  // namespace

// One plugged-in device: protocol state plus its umockdev ioctl handler.
// Shared between the testbed and the handler's signal connection, so that a
// request still being answered on umockdev's thread never outlives it.
struct emu_node {
    emu_device dev;
    UMockdevIoctlBase *handler = nullptr;
    gulong signal_id = 0;
    std::string devnode;  // /dev/bus/usb/BBB/DDD
    std::string syspath;  // /sys/devices/...
    std::atomic<bool> plugged{false};
    std::atomic<int> plug_count{0};  // how often it was plugged in
    // Handlers of earlier plug-ins: still connected, so that handles opened
    // then keep getting ENODEV.
    std::vector<std::pair<UMockdevIoctlBase *, gulong>> retired;

    std::mutex urb_lock;
    std::vector<urb_entry> in_flight;  // guarded by urb_lock
    std::vector<urb_entry> discarded;  // guarded by urb_lock
    // URBs in flight when the device was unplugged, as the kernel gives
    // them back: still to be reaped, with no data. Guarded by urb_lock.
    std::vector<urb_entry> killed;

    ~emu_node()
    {
        in_flight.clear();
        discarded.clear();
        killed.clear();
        if (handler != nullptr)
            g_object_unref(handler);
        for (auto &old : retired)
            g_object_unref(old.first);
    }
};

struct emu_testbed {
    UMockdevTestbed *bed = nullptr;
    std::string root;
    std::vector<std::shared_ptr<emu_node>> nodes;
};

namespace {

std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char *pattern, ...)
{
    char text[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

// umockdev's device records take hex digits in upper case only.
std::string upper_hex(const std::vector<uint8_t> &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

// --- answering usbdevfs requests (on umockdev's thread) ---------------------

gboolean finish(UMockdevIoctlClient *client, int result)
{
    if (result < 0)
        umockdev_ioctl_client_complete(client, -1, -result);
    else
        umockdev_ioctl_client_complete(client, result, 0);
    return TRUE;
}

// The structure the ioctl's argument points to, copied into this process.
// Returns a reference, or nullptr when it cannot be read.
UMockdevIoctlData *resolve_arg(UMockdevIoctlClient *client, size_t size)
{
    return umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, nullptr);
}

// Reads the unsigned int argument of SETCONFIGURATION, CLAIMINTERFACE and
// RELEASEINTERFACE; -1 when it cannot be read.
int uint_arg(UMockdevIoctlClient *client)
{
    UMockdevIoctlData *data = resolve_arg(client, sizeof(unsigned int));
    if (data == nullptr)
        return -1;
    unsigned int value;
    std::memcpy(&value, data->data, sizeof value);
    umockdev_ioctl_data_unref(data);
    return static_cast<int>(value);
}

gboolean connect_info(emu_node &node, UMockdevIoctlClient *client)
{
    UMockdevIoctlData *data = resolve_arg(client, sizeof(usbdevfs_connectinfo));
    if (data == nullptr)
        return finish(client, -EFAULT);
    usbdevfs_connectinfo info{};
    info.devnum = node.dev.devnum;
    info.slow = 0;  // full speed
    std::memcpy(data->data, &info, sizeof info);
    finish(client, 0);
    umockdev_ioctl_data_unref(data);
    return TRUE;
}

gboolean set_interface(emu_node &node, UMockdevIoctlClient *client)
{
    UMockdevIoctlData *data = resolve_arg(client, sizeof(usbdevfs_setinterface));
    if (data == nullptr)
        return finish(client, -EFAULT);
    usbdevfs_setinterface request;
    std::memcpy(&request, data->data, sizeof request);
    umockdev_ioctl_data_unref(data);
    return finish(client, emu_set_alt_setting(node.dev, static_cast<int>(request.interface),
                                              static_cast<int>(request.altsetting)));
}

// 0 when the light set accepts the URB, else the kernel's refusal.
int check_urb(const emu_device &dev, const usbdevfs_urb &urb)
{
    // usbfs runs a bulk URB on an interrupt endpoint as an interrupt transfer.
    if (urb.type != USBDEVFS_URB_TYPE_INTERRUPT && urb.type != USBDEVFS_URB_TYPE_BULK)
        return -EINVAL;
    if (!emu_has_endpoint(dev, urb.endpoint))
        return -ENOENT;
    return urb.buffer_length < 0 ? -EINVAL : 0;
}

// Resolves the URB's data buffer, so that urb.buffer points at a local copy.
bool resolve_buffer(UMockdevIoctlData *urb_data)
{
    const auto &urb = *reinterpret_cast<usbdevfs_urb *>(urb_data->data);
    if (urb.buffer_length == 0)
        return true;
    UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(
        urb_data, offsetof(usbdevfs_urb, buffer), urb.buffer_length, nullptr);
    if (buffer == nullptr)
        return false;
    umockdev_ioctl_data_unref(buffer);  // the URB keeps its own reference
    return true;
}

// An OUT URB is delivered at once; every URB then waits to be reaped.
gboolean submit_urb(emu_node &node, UMockdevIoctlClient *client)
{
    UMockdevIoctlData *urb_data = resolve_arg(client, sizeof(usbdevfs_urb));
    if (urb_data == nullptr)
        return finish(client, -EFAULT);
    const auto &urb = *reinterpret_cast<usbdevfs_urb *>(urb_data->data);
    int result = check_urb(node.dev, urb);
    if (result == 0 && !resolve_buffer(urb_data))
        result = -EFAULT;
    if (result < 0) {
        umockdev_ioctl_data_unref(urb_data);
        return finish(client, result);
    }
    const bool out = (urb.endpoint & 0x80) == 0;
    const bool stalled = out && emu_write_stalls(node.dev);
    if (out && !stalled)
        emu_receive(node.dev, urb.endpoint, static_cast<const uint8_t *>(urb.buffer),
                    urb.buffer_length);
    else if (!out)
        emu_read_requested(node.dev, urb.endpoint, urb.buffer_length);
    {
        std::lock_guard<std::mutex> guard(node.urb_lock);
        node.in_flight.emplace_back(client, urb_data);
        node.in_flight.back().stalled = stalled;
    }
    return finish(client, 0);
}

// Completes an URB if the device has something for it: OUT URBs unless
// stalled, IN URBs once a reply is pending (never on 0x83).
bool try_complete(emu_device &dev, const urb_entry &entry)
{
    if (entry.stalled)
        return false;
    usbdevfs_urb &urb = entry.fields();
    int length = emu_accepted(dev, urb.buffer_length);
    if (urb.endpoint & 0x80) {
        length =
            emu_reply(dev, urb.endpoint, static_cast<uint8_t *>(urb.buffer), urb.buffer_length);
        if (length < 0)
            return false;
    }
    urb.actual_length = length;
    urb.status = 0;
    return true;
}

// Drops URBs of connections that have gone (a program that exited mid-transfer).
void forget_vanished(std::vector<urb_entry> &urbs)
{
    for (size_t i = urbs.size(); i-- > 0;)
        if (!umockdev_ioctl_client_get_connected(urbs[i].client))
            urbs.erase(urbs.begin() + static_cast<ptrdiff_t>(i));
}

// The next URB of this connection that is ready to be reaped, as a
// reference; discarded ones first, with status -ENOENT. nullptr if none.
UMockdevIoctlData *take_reapable(emu_node &node, UMockdevIoctlClient *client)
{
    std::lock_guard<std::mutex> guard(node.urb_lock);
    forget_vanished(node.discarded);
    forget_vanished(node.in_flight);
    for (auto it = node.discarded.begin(); it != node.discarded.end(); ++it) {
        if (it->client != client)
            continue;
        it->fields().status = -ENOENT;
        it->fields().actual_length = 0;
        UMockdevIoctlData *urb = it->release();
        node.discarded.erase(it);
        return urb;
    }
    for (auto it = node.in_flight.begin(); it != node.in_flight.end(); ++it) {
        if (it->client != client || !try_complete(node.dev, *it))
            continue;
        UMockdevIoctlData *urb = it->release();
        node.in_flight.erase(it);
        return urb;
    }
    return nullptr;
}

// Hands a reaped URB (a reference the call takes) to the client.
gboolean hand_over(UMockdevIoctlClient *client, UMockdevIoctlData *urb)
{
    UMockdevIoctlData *slot = resolve_arg(client, sizeof(void *));
    if (slot == nullptr) {
        umockdev_ioctl_data_unref(urb);
        return finish(client, -EFAULT);
    }
    umockdev_ioctl_data_set_ptr(slot, 0, urb);
    finish(client, 0);
    umockdev_ioctl_data_unref(slot);
    umockdev_ioctl_data_unref(urb);
    return TRUE;
}

// REAPURB and REAPURBNDELAY alike: nothing ready gives EAGAIN, never a wait.
gboolean reap_urb(emu_node &node, UMockdevIoctlClient *client)
{
    UMockdevIoctlData *urb = take_reapable(node, client);
    if (urb == nullptr)
        return finish(client, -EAGAIN);
    return hand_over(client, urb);
}

// The unplug cuts every URB of the node short. Needs urb_lock.
void kill_in_flight(emu_node &node)
{
    for (auto *urbs : {&node.in_flight, &node.discarded})
        for (auto &entry : *urbs)
            node.killed.push_back(std::move(entry));
    node.in_flight.clear();
    node.discarded.clear();
}

// A reap after the unplug: the client's URBs that the unplug cut short, one
// by one, with no data; then ENODEV, as usbfs answers on a vanished device.
gboolean reap_killed(emu_node &node, UMockdevIoctlClient *client)
{
    UMockdevIoctlData *urb = nullptr;
    {
        std::lock_guard<std::mutex> guard(node.urb_lock);
        if (!node.plugged)
            kill_in_flight(node);  // the unplug may be under way
        forget_vanished(node.killed);
        auto it = std::find_if(node.killed.begin(), node.killed.end(),
                               [&](const urb_entry &entry) { return entry.client == client; });
        if (it != node.killed.end()) {
            it->fields().status = -ESHUTDOWN;
            it->fields().actual_length = 0;
            urb = it->release();
            node.killed.erase(it);
        }
    }
    return urb != nullptr ? hand_over(client, urb) : finish(client, -ENODEV);
}

// The argument of DISCARDURB is the URB's address in the client.
gboolean discard_urb(emu_node &node, UMockdevIoctlClient *client)
{
    gulong address = 0;
    std::memcpy(&address, umockdev_ioctl_client_get_arg(client)->data, sizeof address);
    std::lock_guard<std::mutex> guard(node.urb_lock);
    for (auto it = node.in_flight.begin(); it != node.in_flight.end(); ++it) {
        if (it->client == client && it->urb->client_addr == address) {
            node.discarded.push_back(std::move(*it));
            node.in_flight.erase(it);
            return finish(client, 0);
        }
    }
    return finish(client, -EINVAL);
}

gboolean answer(emu_node &node, UMockdevIoctlClient *client, gulong request)
{
    switch (request) {
    case USBDEVFS_CONNECTINFO: return connect_info(node, client);
    case USBDEVFS_SETCONFIGURATION:
        return finish(client, emu_set_configuration(node.dev, uint_arg(client)));
    case USBDEVFS_CLAIMINTERFACE:
        return finish(client, emu_claim_interface(node.dev, uint_arg(client)));
    case USBDEVFS_RELEASEINTERFACE:
        return finish(client, emu_release_interface(node.dev, uint_arg(client)));
    case USBDEVFS_SETINTERFACE: return set_interface(node, client);
    case USBDEVFS_SUBMITURB: return submit_urb(node, client);
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: return reap_urb(node, client);
    case USBDEVFS_DISCARDURB: return discard_urb(node, client);
    default: return FALSE;  // umockdev answers ENOTTY
    }
}

// What a handler answers for: the node, as plugged in for the nth time.
struct handler_ref {
    std::shared_ptr<emu_node> node;
    int plug_count;
};

gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
{
    const auto &ref = *static_cast<handler_ref *>(data);
    emu_node &node = *ref.node;
    const gulong request = umockdev_ioctl_client_get_request(client);
    const bool reap = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
    if (!node.plugged || node.plug_count != ref.plug_count)  // a handle outliving its device
        return reap ? reap_killed(node, client) : finish(client, -ENODEV);
    return answer(node, client, request);
}

void release_node(gpointer data, GClosure *)
{
    delete static_cast<handler_ref *>(data);
}

// --- devices in the testbed --------------------------------------------------

std::string device_record(const emu_node &node)
{
    const emu_device &d = node.dev;
    std::string record = "P: " + node.syspath.substr(4) + "\n";
    record +=
        format("N: bus/usb/%03d/%03d=", d.bus, d.devnum) + upper_hex(emu_descriptors(d)) + "\n";
    record += format("E: DEVNAME=%s\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n", node.devnode.c_str());
    record += format("E: PRODUCT=%x/%x/100\nE: TYPE=0/0/0\n", d.vendor, d.product);
    record += format("E: BUSNUM=%03d\nE: DEVNUM=%03d\n", d.bus, d.devnum);
    record +=
        format("E: MAJOR=189\nE: MINOR=%d\nE: SUBSYSTEM=usb\n", (d.bus - 1) * 128 + d.devnum - 1);
    record += format("A: idVendor=%04x\\n\nA: idProduct=%04x\\n\n", d.vendor, d.product);
    record +=
        format("A: bcdDevice=0100\\n\nA: bConfigurationValue=%d\\n\nA: bNumConfigurations=1\\n\n",
               emu_configuration_value(d));
    record += format("A: busnum=%d\\n\nA: devnum=%d\\n\nA: speed=12\\n\n", d.bus, d.devnum);
    return record;
}

// Connects the device's ioctl handler to its node. umockdev must know the
// handler before the node appears, or a fast client finds no one answering.
bool attach_handler(emu_testbed &bed, const std::shared_ptr<emu_node> &node)
{
    node->handler = umockdev_ioctl_base_new();
    node->signal_id = g_signal_connect_data(node->handler, "handle-ioctl", G_CALLBACK(on_ioctl),
                                            new handler_ref{node, node->plug_count + 1},
                                            release_node, G_CONNECT_AFTER);
    if (umockdev_testbed_attach_ioctl(bed.bed, node->devnode.c_str(), node->handler, nullptr)) {
        node->plug_count++;
        return true;
    }
    g_signal_handler_disconnect(node->handler, node->signal_id);
    node->signal_id = 0;
    return false;
}

// Removes the node and sysfs entry and stops answering on the node.
void unplug(emu_testbed &bed, emu_node &node)
{
    if (!node.plugged.exchange(false))
        return;
    umockdev_testbed_remove_device(bed.bed, node.syspath.c_str());
    unlink((bed.root + node.devnode).c_str());
    umockdev_testbed_detach_ioctl(bed.bed, node.devnode.c_str(), nullptr);
    std::lock_guard<std::mutex> guard(node.urb_lock);
    kill_in_flight(node);
}

bool address_in_use(const emu_testbed &bed, int bus, int devnum)
{
    for (const auto &node : bed.nodes)
        if (node->plugged && node->dev.bus == bus && node->dev.devnum == devnum)
            return true;
    return false;
}

// Names the node after its bus and device number.
void name_node(emu_node &node)
{
    node.devnode = format("/dev/bus/usb/%03d/%03d", node.dev.bus, node.dev.devnum);
    node.syspath = format("/sys/devices/platform/ambx-emu/usb%d/%d-%d", node.dev.bus, node.dev.bus,
                          node.dev.devnum);
}

// Attaches the node's handler and makes the node appear. False when
// umockdev refuses it (the node then stays unplugged).
bool plug(emu_testbed &bed, const std::shared_ptr<emu_node> &node)
{
    if (!attach_handler(bed, node))
        return false;
    node->plugged = true;
    GError *error = nullptr;
    if (umockdev_testbed_add_from_string(bed.bed, device_record(*node).c_str(), &error))
        return true;
    std::fprintf(stderr, "emulated light set: %s\n", error->message);
    g_error_free(error);
    node->plugged = false;
    umockdev_testbed_detach_ioctl(bed.bed, node->devnode.c_str(), nullptr);
    return false;
}

bool make_dirs(const std::string &path)
{
    return g_mkdir_with_parents(path.c_str(), 0755) == 0;
}

}  // namespace

bool emu_preload_active()
{
    const char *preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

emu_testbed *emu_glue_make_testbed()
{
    auto bed = std::make_unique<emu_testbed>();
    bed->bed = umockdev_testbed_new();
    if (bed->bed == nullptr)
        return nullptr;
    gchar *root = umockdev_testbed_get_root_dir(bed->bed);
    bed->root = root;
    g_free(root);
    if (!make_dirs(bed->root + "/dev/bus/usb") || !make_dirs(bed->root + "/proc/bus/usb")) {
        emu_glue_free_testbed(bed.release());
        return nullptr;
    }
    return bed.release();
}

void emu_glue_free_testbed(emu_testbed *bed)
{
    for (auto &node : bed->nodes) {
        unplug(*bed, *node);
        if (node->signal_id != 0)
            g_signal_handler_disconnect(node->handler, node->signal_id);
        for (auto &old : node->retired)
            g_signal_handler_disconnect(old.first, old.second);
    }
    g_object_unref(bed->bed);
    delete bed;
}

int emu_add_bus(emu_testbed *bed, int bus)
{
    if (bed == nullptr || !emu_valid_address(bus, 1))
        return -1;
    return make_dirs(bed->root + format("/dev/bus/usb/%03d", bus)) ? 0 : -1;
}

emu_device *emu_add_device(emu_testbed *bed, int bus, int devnum, uint16_t vendor, uint16_t product,
                           const emu_behaviour &behaviour)
{
    if (bed == nullptr || !emu_valid_address(bus, devnum) || address_in_use(*bed, bus, devnum))
        return nullptr;
    auto node = std::make_shared<emu_node>();
    emu_device_place(node->dev, bus, devnum, vendor, product, behaviour);
    name_node(*node);
    bed->nodes.push_back(node);
    return plug(*bed, node) ? &node->dev : nullptr;
}

void emu_remove_device(emu_testbed *bed, emu_device *dev)
{
    if (bed == nullptr)
        return;
    for (auto &node : bed->nodes)
        if (&node->dev == dev)
            unplug(*bed, *node);
}

emu_device *emu_replug_device(emu_testbed *bed, emu_device *dev, int devnum)
{
    if (bed == nullptr || dev == nullptr || !emu_valid_address(dev->bus, devnum))
        return nullptr;
    for (auto &node : bed->nodes) {
        if (&node->dev != dev || node->plugged || address_in_use(*bed, dev->bus, devnum))
            continue;
        node->retired.emplace_back(node->handler, node->signal_id);
        node->handler = nullptr;
        {
            std::lock_guard<std::mutex> guard(node->urb_lock);
            node->in_flight.clear();
            node->discarded.clear();
        }
        emu_power_up(node->dev);
        node->dev.devnum = devnum;
        name_node(*node);
        return plug(*bed, node) ? dev : nullptr;
    }
    return nullptr;
}

// --- running a program under the preload (emu_glue.h) -------------------------

namespace {

// A colon-separated list with item added, unless it already names key.
std::string with_item(const std::string &list, const char *key, const std::string &item,
                      bool in_front)
{
    if (list.empty())
        return item;
    if (list.find(key) != std::string::npos)
        return list;
    return in_front ? item + ":" + list : list + ":" + item;
}

}  // namespace

// The preload must come first; ASan would then refuse to start.
std::vector<std::string> emu_glue_environment(const std::vector<std::string> &base)
{
    std::vector<std::string> env = base;
    const std::string preload = emu_take_variable(env, "LD_PRELOAD");
    const std::string asan = emu_take_variable(env, "ASAN_OPTIONS");
    env.push_back("LD_PRELOAD=" +
                  with_item(preload, "libumockdev-preload", "libumockdev-preload.so.0", true));
    env.push_back("ASAN_OPTIONS=" +
                  with_item(asan, "verify_asan_link_order", "verify_asan_link_order=0", false));
    return env;
}
