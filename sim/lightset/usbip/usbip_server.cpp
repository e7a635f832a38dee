// The USB/IP server: one listening socket, at most one guest connection,
// served by one thread. Callers change the plug state through a wake-up
// pipe and wait until the thread has acted on it.
#include "sim/lightset/usbip/usbip_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "sim/lightset/usbip/session.h"

namespace {

enum class link_state {
    none,      // no guest connected
    asking,    // connected, its import request not complete yet
    waiting,   // import request read, waiting for the set to be plugged in
    attached,  // the guest's vhci-hcd speaks URBs on it
};

}  // namespace

struct usbip_server {
    emu_device *dev = nullptr;
    int listen_fd = -1;
    int port = 0;
    int wake[2] = {-1, -1};
    std::thread thread;

    // Guarded by lock: what the callers want, and how far the thread got.
    mutable std::mutex lock;
    std::condition_variable acted;
    bool plugged = false;
    bool stopping = false;
    bool configured = false;
    unsigned asked = 0;  // requests from callers
    unsigned done = 0;   // requests the thread has acted on

    // The serving thread's own:
    int conn = -1;
    link_state state = link_state::none;
    std::vector<uint8_t> input;
    usbip_session session;
};

namespace {

// Sends all of out; false when the guest has gone.
bool send_all(int fd, const std::vector<uint8_t> &out)
{
    size_t sent = 0;
    while (sent < out.size()) {
        const ssize_t n = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += size_t(n);
    }
    return true;
}

void drop_connection(usbip_server &s)
{
    if (s.conn >= 0) {
        shutdown(s.conn, SHUT_RDWR);
        close(s.conn);
    }
    s.conn = -1;
    s.state = link_state::none;
    s.input.clear();
    s.session.pending.clear();
}

// Gives the waiting guest its go-ahead: from here on the set is on its bus.
void attach(usbip_server &s)
{
    std::vector<uint8_t> reply;
    usbip_import_reply(*s.dev, reply);
    emu_power_up(*s.dev);
    s.session = usbip_session{s.dev, {}, false};
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.configured = false;
    }
    if (send_all(s.conn, reply))
        s.state = link_state::attached;
    else
        drop_connection(s);
}

// Acts on the plug state the callers asked for.
void follow_plug_state(usbip_server &s, bool plugged)
{
    if (!plugged && s.state == link_state::attached)
        drop_connection(s);
    if (plugged && s.state == link_state::waiting)
        attach(s);
}

void publish_configured(usbip_server &s)
{
    std::lock_guard<std::mutex> guard(s.lock);
    s.configured = s.session.configured;
}

// Handles the bytes the guest has sent so far.
void take_input(usbip_server &s, bool plugged)
{
    if (s.state == link_state::asking) {
        if (s.input.size() < USBIP_IMPORT_REQUEST_SIZE)
            return;
        if (!usbip_is_import_request(s.input.data(), s.input.size())) {
            drop_connection(s);
            return;
        }
        s.input.erase(s.input.begin(), s.input.begin() + USBIP_IMPORT_REQUEST_SIZE);
        s.state = link_state::waiting;
        follow_plug_state(s, plugged);
    }
    if (s.state != link_state::attached)
        return;
    std::vector<uint8_t> out;
    const long taken = usbip_session_take(s.session, s.input.data(), s.input.size(), out);
    publish_configured(s);
    if (taken < 0 || !send_all(s.conn, out)) {
        drop_connection(s);
        return;
    }
    s.input.erase(s.input.begin(), s.input.begin() + taken);
}

void read_guest(usbip_server &s, bool plugged)
{
    uint8_t chunk[8192];
    const ssize_t n = recv(s.conn, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {  // the guest detached, or went away
        drop_connection(s);
        return;
    }
    s.input.insert(s.input.end(), chunk, chunk + n);
    take_input(s, plugged);
}

// A new guest connection replaces any earlier one.
void accept_guest(usbip_server &s)
{
    const int fd = accept4(s.listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    drop_connection(s);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    s.conn = fd;
    s.state = link_state::asking;
}

// Reads the callers' wishes; false once the server is to stop.
bool take_requests(usbip_server &s, bool &plugged)
{
    char drain[64];
    while (read(s.wake[0], drain, sizeof drain) > 0) {
    }
    std::lock_guard<std::mutex> guard(s.lock);
    plugged = s.plugged;
    return !s.stopping;
}

void acknowledge(usbip_server &s, unsigned seen)
{
    std::lock_guard<std::mutex> guard(s.lock);
    s.done = seen;
    s.acted.notify_all();
}

void serve(usbip_server &s)
{
    bool plugged = false;
    for (;;) {
        unsigned seen;
        {
            std::lock_guard<std::mutex> guard(s.lock);
            seen = s.asked;
        }
        const bool running = take_requests(s, plugged);
        if (running)
            follow_plug_state(s, plugged);
        else
            drop_connection(s);
        acknowledge(s, seen);
        if (!running)
            return;
        pollfd fds[3] = {{s.wake[0], POLLIN, 0}, {s.listen_fd, POLLIN, 0}, {s.conn, POLLIN, 0}};
        if (poll(fds, s.conn >= 0 ? 3 : 2, -1) < 0)
            continue;
        if (fds[1].revents & POLLIN)
            accept_guest(s);
        else if (s.conn >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)))
            read_guest(s, plugged);
    }
}

// Asks the serving thread to act on a changed wish, and waits until it has.
void ask(usbip_server *s)
{
    std::unique_lock<std::mutex> guard(s->lock);
    const unsigned mine = ++s->asked;
    const char byte = 1;
    if (write(s->wake[1], &byte, 1) < 0 && errno != EAGAIN)
        return;
    s->acted.wait(guard, [&] { return s->done >= mine; });
}

int listen_on(int port, int *bound)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), size) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    *bound = ntohs(address.sin_port);
    return fd;
}

}  // namespace

usbip_server *usbip_server_start(emu_device *dev, int port)
{
    auto *s = new usbip_server;
    s->dev = dev;
    s->session.dev = dev;
    s->listen_fd = listen_on(port, &s->port);
    if (s->listen_fd < 0 || pipe2(s->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "usbip: cannot listen on 127.0.0.1:%d: %s\n", port,
                     std::strerror(errno));
        if (s->listen_fd >= 0)
            close(s->listen_fd);
        delete s;
        return nullptr;
    }
    s->thread = std::thread(serve, std::ref(*s));
    return s;
}

int usbip_server_port(const usbip_server *server)
{
    return server->port;
}

void usbip_plug(usbip_server *server)
{
    {
        std::lock_guard<std::mutex> guard(server->lock);
        server->plugged = true;
    }
    ask(server);
}

void usbip_unplug(usbip_server *server)
{
    {
        std::lock_guard<std::mutex> guard(server->lock);
        server->plugged = false;
    }
    ask(server);
}

bool usbip_configured(const usbip_server *server)
{
    std::lock_guard<std::mutex> guard(server->lock);
    return server->configured;
}

void usbip_server_stop(usbip_server *server)
{
    if (server == nullptr)
        return;
    {
        std::lock_guard<std::mutex> guard(server->lock);
        server->stopping = true;
    }
    ask(server);
    server->thread.join();
    close(server->listen_fd);
    close(server->wake[0]);
    close(server->wake[1]);
    delete server;
}
