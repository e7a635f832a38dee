// The emulated light sets served to the stand-in libusb (libusb_standin.cpp)
// over a unix socket: the second glue behind emu_usb.h, for programs that
// umockdev's preload cannot serve, such as MIPS programs under qemu-user.
//
// The testbed listens on a socket in a fresh temporary directory and names
// it in AMBX_STANDIN_SOCKET, which programs started from this process
// inherit; a thread answers their requests with the protocol logic of
// ambx_emu.h. The stand-in in this process itself talks to the same thread.
#include "sim/lightset/emu_glue.h"
#include "sim/lightset/emu_usb.h"
#include "sim/lightset/standin/protocol.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

// One plugged-in (or unplugged) device. Never freed before its testbed, so
// that pointers handed to tests stay valid.
struct standin_node {
    emu_device dev;
    int id = 0;
    std::atomic<bool> plugged{true};
};

}  // namespace

struct emu_testbed {
    std::string dir;  // temporary directory holding the socket
    std::string socket_path;
    int listener = -1;
    int wake[2] = {-1, -1};  // a byte on wake[1] stops the server
    std::thread server;

    std::mutex lock;  // guards nodes, buses and next_id
    std::vector<std::unique_ptr<standin_node>> nodes;
    std::set<int> buses;
    std::set<int> gone_ids;  // ids of devices since unplugged and plugged in again
    int next_id = 1;
};

namespace {

void put(std::vector<uint8_t> &out, const void *data, size_t size)
{
    const auto *bytes = static_cast<const uint8_t *>(data);
    out.insert(out.end(), bytes, bytes + size);
}

// Every bus (also one without devices), then every plugged-in device.
std::vector<uint8_t> listing(emu_testbed &bed)
{
    std::vector<uint8_t> out;
    std::lock_guard<std::mutex> guard(bed.lock);
    for (int bus : bed.buses) {
        const standin_entry entry = {bus, 0, 0};
        put(out, &entry, sizeof entry);
    }
    for (const auto &node : bed.nodes) {
        if (!node->plugged)
            continue;
        const std::vector<uint8_t> descriptors = emu_descriptors(node->dev);
        const standin_entry entry = {node->dev.bus, node->dev.devnum, int32_t(descriptors.size())};
        put(out, &entry, sizeof entry);
        put(out, descriptors.data(), descriptors.size());
    }
    return out;
}

int open_node(emu_testbed &bed, int bus, int devnum)
{
    std::lock_guard<std::mutex> guard(bed.lock);
    for (const auto &node : bed.nodes)
        if (node->plugged && node->dev.bus == bus && node->dev.devnum == devnum)
            return node->id;
    return -ENOENT;  // no such node
}

// The device a request names; nullptr when there is none. A device that has
// been unplugged since it was opened answers ENODEV, as a vanished USB device.
standin_node *find_node(emu_testbed &bed, int id)
{
    std::lock_guard<std::mutex> guard(bed.lock);
    for (const auto &node : bed.nodes)
        if (node->id == id)
            return node.get();
    return nullptr;
}

int answer(emu_testbed &bed, const standin_request &request, const uint8_t *payload, int size,
           std::vector<uint8_t> &data)
{
    if (request.op == standin_list) {
        data = listing(bed);
        return 0;
    }
    if (request.op == standin_open)
        return open_node(bed, request.a, request.b);
    const bool in_flight = request.op == standin_read || request.op == standin_write_wait;
    standin_node *node = find_node(bed, request.node);
    if (node == nullptr) {
        std::lock_guard<std::mutex> guard(bed.lock);
        if (bed.gone_ids.count(request.node) == 0)
            return -EBADF;
        return in_flight ? 0 : -ENODEV;
    }
    if (!node->plugged)
        return in_flight ? 0 : -ENODEV;  // a transfer the unplug cut short
    emu_device &dev = node->dev;
    switch (request.op) {
    case standin_set_configuration: return emu_set_configuration(dev, request.a);
    case standin_claim: return emu_claim_interface(dev, request.a);
    case standin_release: return emu_release_interface(dev, request.a);
    case standin_set_alt: return emu_set_alt_setting(dev, request.a, request.b);
    case standin_write:
        if (!emu_has_endpoint(dev, request.a) || (request.a & 0x80) != 0)
            return -ENOENT;
        if (emu_write_stalls(dev))
            return -EAGAIN;  // never taken: the stand-in waits out its time-out
        emu_receive(dev, request.a, payload, size);
        return emu_accepted(dev, size);
    case standin_write_wait: return -EAGAIN;
    case standin_submit_read:
    case standin_read: {
        if (!emu_has_endpoint(dev, request.a) || (request.a & 0x80) == 0 || request.b < 0)
            return -ENOENT;
        if (request.op == standin_submit_read)
            emu_read_requested(dev, request.a, request.b);
        data.resize(static_cast<size_t>(request.b));
        const int length = emu_reply(dev, request.a, data.data(), request.b);
        data.resize(length > 0 ? static_cast<size_t>(length) : 0);
        return length < 0 ? -EAGAIN : length;
    }
    default: return -ENOTTY;
    }
}

// Answers one request on a client connection; false once it has gone.
bool serve_one(emu_testbed &bed, int client, std::vector<uint8_t> &packet)
{
    packet.resize(STANDIN_MAX_PACKET);
    const ssize_t received = recv(client, packet.data(), packet.size(), 0);
    if (received < 0 && errno == EINTR)
        return true;
    if (received < ssize_t(sizeof(standin_request)))
        return false;
    standin_request request;
    std::memcpy(&request, packet.data(), sizeof request);
    std::vector<uint8_t> data;
    const standin_reply header = {answer(bed, request, packet.data() + sizeof request,
                                         int(received - ssize_t(sizeof request)), data)};
    std::vector<uint8_t> reply;
    put(reply, &header, sizeof header);
    put(reply, data.data(), data.size());
    return send(client, reply.data(), reply.size(), MSG_NOSIGNAL) == ssize_t(reply.size());
}

void serve(emu_testbed *bed)
{
    std::vector<int> clients;
    std::vector<uint8_t> packet;
    for (;;) {
        std::vector<pollfd> watched = {{bed->wake[0], POLLIN, 0}, {bed->listener, POLLIN, 0}};
        for (int client : clients)
            watched.push_back({client, POLLIN, 0});
        if (poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (watched[0].revents != 0)
            break;
        if (watched[1].revents & POLLIN) {
            const int client = accept4(bed->listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0)
                clients.push_back(client);
        }
        for (size_t i = 2; i < watched.size(); i++) {
            if (watched[i].revents == 0 || serve_one(*bed, watched[i].fd, packet))
                continue;
            close(watched[i].fd);
            for (size_t k = 0; k < clients.size(); k++)
                if (clients[k] == watched[i].fd)
                    clients.erase(clients.begin() + static_cast<ptrdiff_t>(k));
        }
    }
    for (int client : clients)
        close(client);
}

// A directory for the socket whose path fits a unix socket address: under
// $TMPDIR when that is short enough, else under /tmp.
std::string make_socket_dir()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string base = tmp != nullptr && *tmp == '/' && std::strlen(tmp) < 60 ? tmp : "/tmp";
    std::string pattern = base + "/ambx-usb-XXXXXX";
    return mkdtemp(&pattern[0]) != nullptr ? pattern : std::string();
}

bool start_server(emu_testbed &bed)
{
    bed.dir = make_socket_dir();
    if (bed.dir.empty())
        return false;
    bed.socket_path = bed.dir + "/socket";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (bed.socket_path.size() >= sizeof address.sun_path)
        return false;
    std::strcpy(address.sun_path, bed.socket_path.c_str());
    bed.listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (bed.listener < 0 ||
        bind(bed.listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(bed.listener, 64) != 0 || pipe2(bed.wake, O_CLOEXEC) != 0)
        return false;
    bed.server = std::thread(serve, &bed);
    return setenv(STANDIN_SOCKET_VARIABLE, bed.socket_path.c_str(), 1) == 0;
}

void stop_server(emu_testbed &bed)
{
    if (bed.server.joinable()) {
        const char stop = 1;
        (void)!write(bed.wake[1], &stop, 1);
        bed.server.join();
    }
    for (int fd : {bed.listener, bed.wake[0], bed.wake[1]})
        if (fd >= 0)
            close(fd);
    if (!bed.socket_path.empty())
        unlink(bed.socket_path.c_str());
    if (!bed.dir.empty())
        rmdir(bed.dir.c_str());
    const char *named = std::getenv(STANDIN_SOCKET_VARIABLE);
    if (named != nullptr && bed.socket_path == named)
        unsetenv(STANDIN_SOCKET_VARIABLE);
}

}  // namespace

// --- emu_usb.h ------------------------------------------------------------------

bool emu_preload_active()
{
    return dlsym(RTLD_DEFAULT, "ambx_standin_present") != nullptr;
}

emu_testbed *emu_glue_make_testbed()
{
    auto bed = std::make_unique<emu_testbed>();
    if (!start_server(*bed)) {
        emu_glue_free_testbed(bed.release());
        return nullptr;
    }
    return bed.release();
}

void emu_glue_free_testbed(emu_testbed *bed)
{
    stop_server(*bed);
    delete bed;
}

int emu_add_bus(emu_testbed *bed, int bus)
{
    if (bed == nullptr || !emu_valid_address(bus, 1))
        return -1;
    std::lock_guard<std::mutex> guard(bed->lock);
    bed->buses.insert(bus);
    return 0;
}

emu_device *emu_add_device(emu_testbed *bed, int bus, int devnum, uint16_t vendor, uint16_t product,
                           const emu_behaviour &behaviour)
{
    if (bed == nullptr || !emu_valid_address(bus, devnum))
        return nullptr;
    std::lock_guard<std::mutex> guard(bed->lock);
    for (const auto &node : bed->nodes)
        if (node->plugged && node->dev.bus == bus && node->dev.devnum == devnum)
            return nullptr;
    auto node = std::make_unique<standin_node>();
    node->id = bed->next_id++;
    emu_device_place(node->dev, bus, devnum, vendor, product, behaviour);
    bed->buses.insert(bus);
    bed->nodes.push_back(std::move(node));
    return &bed->nodes.back()->dev;
}

void emu_remove_device(emu_testbed *bed, emu_device *dev)
{
    if (bed == nullptr)
        return;
    std::lock_guard<std::mutex> guard(bed->lock);
    for (const auto &node : bed->nodes)
        if (&node->dev == dev)
            node->plugged = false;
}

// A device plugged in again gets a new id: handles on the old one stay dead.
emu_device *emu_replug_device(emu_testbed *bed, emu_device *dev, int devnum)
{
    if (bed == nullptr || dev == nullptr || !emu_valid_address(dev->bus, devnum))
        return nullptr;
    std::lock_guard<std::mutex> guard(bed->lock);
    standin_node *found = nullptr;
    for (const auto &node : bed->nodes) {
        if (node->plugged && node->dev.bus == dev->bus && node->dev.devnum == devnum)
            return nullptr;
        if (&node->dev == dev && !node->plugged)
            found = node.get();
    }
    if (found == nullptr)
        return nullptr;
    bed->gone_ids.insert(found->id);
    found->id = bed->next_id++;
    emu_power_up(found->dev);
    found->dev.devnum = devnum;
    found->plugged = true;
    return dev;
}

// --- emu_glue.h -----------------------------------------------------------------

// The stand-in comes first in the library path; LD_BIND_NOW makes a
// function the stand-in lacks fail at start, not at its first call.
std::vector<std::string> emu_glue_environment(const std::vector<std::string> &base)
{
    std::vector<std::string> env = base;
    const std::string rest = emu_take_variable(env, "LD_LIBRARY_PATH");
    emu_take_variable(env, "LD_BIND_NOW");
    std::string libraries = AMBX_STANDIN_DIR;
    if (!rest.empty() && rest != AMBX_STANDIN_DIR && rest.rfind(AMBX_STANDIN_DIR ":", 0) != 0)
        libraries += ":" + rest;
    else if (!rest.empty())
        libraries = rest;
    env.push_back("LD_LIBRARY_PATH=" + libraries);
    env.push_back("LD_BIND_NOW=1");
    return env;
}
