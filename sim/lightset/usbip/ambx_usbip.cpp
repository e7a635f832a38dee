// ambx-usbip: serves an emulated amBX light set over USB/IP to a guest
// kernel, plugs and unplugs it on command, and shows what the lights receive.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "sim/lightset/usbip/usbip_server.h"

namespace {

const char usage[] =
    "usage: ambx-usbip [--port N] [--plugged] [--silent] [--stall-writes N]\n"
    "\n"
    "Serves an emulated amBX light set over USB/IP on 127.0.0.1:N (default: a\n"
    "free port), for a guest kernel's vhci-hcd reached through qemu's user\n"
    "network (the guest's attach agent connects to 10.0.2.2:N). Prints\n"
    "\"listening on 127.0.0.1:N\", then one line per event and per message the\n"
    "lights receive, each after its time in seconds since the start.\n"
    "\n"
    "Commands on standard input, one a line: plug, unplug, quit (or end of input).\n"
    "\n"
    "  --port N    listen on port N\n"
    "  --plugged   start with the set plugged in (default: unplugged)\n"
    "  --silent    the light set never answers: every read times out\n"
    "  --stall-writes N  the first N messages are never taken: their writes time out\n"
    "  -h, --help  this text\n";

struct tool_options {
    int port = 0;
    bool plugged = false;
    emu_behaviour behaviour;
};

// Parses the options; false (after a line on standard error) for a bad one.
bool parse_options(int argc, char **argv, tool_options &options)
{
    for (int i = 1; i < argc; i++) {
        const std::string option = argv[i];
        double number = 0;
        if (option == "--port" && i + 1 < argc && parse_number(argv[i + 1], 0, 65535, &number))
            options.port = static_cast<int>(number), i++;
        else if (option == "--plugged")
            options.plugged = true;
        else if (option == "--silent")
            options.behaviour.answer = emu_answer::silent;
        else if (option == "--stall-writes" && i + 1 < argc &&
                 parse_number(argv[i + 1], 0, 1e9, &number))
            options.behaviour.stall_writes = static_cast<int>(number), i++;
        else {
            std::fprintf(stderr, "ambx-usbip: bad option %s\n%s", argv[i], usage);
            return false;
        }
    }
    return true;
}

void event(const emu_device &dev, const char *what)
{
    std::printf("%9.3f %s\n", now_seconds() - dev.start, what);
    std::fflush(stdout);
}

// Prints the messages received since the last call, and the configuration
// once the guest's kernel has set it.
void show_news(emu_device &dev, usbip_server *server, size_t &shown, bool &configured)
{
    const std::vector<emu_packet> log = emu_packets(dev);
    for (; shown < log.size(); shown++)
        std::printf("%9.3f %s\n", log[shown].seconds, emu_describe(log[shown]).c_str());
    if (usbip_configured(server) != configured) {
        configured = !configured;
        event(dev, configured ? "configured" : "unconfigured");
    }
    std::fflush(stdout);
}

// Acts on one command line; false for quit.
bool command(emu_device &dev, usbip_server *server, const std::string &line)
{
    if (line == "plug") {
        usbip_plug(server);
        event(dev, "plugged");
    } else if (line == "unplug") {
        usbip_unplug(server);
        event(dev, "unplugged");
    } else if (line == "quit") {
        return false;
    } else if (!line.empty()) {
        std::fprintf(stderr, "ambx-usbip: unknown command %s (plug, unplug, quit)\n", line.c_str());
    }
    return true;
}

// Reads the commands that standard input holds; false at quit or its end.
bool read_commands(emu_device &dev, usbip_server *server, std::string &pending)
{
    char chunk[256];
    const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
    if (n <= 0)
        return false;
    pending.append(chunk, size_t(n));
    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (!command(dev, server, line))
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && (!std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help"))) {
        std::fputs(usage, stdout);
        return 0;
    }
    tool_options options;
    if (!parse_options(argc, argv, options))
        return 2;
    emu_device dev;
    dev.behaviour = options.behaviour;
    usbip_server *server = usbip_server_start(&dev, options.port);
    if (server == nullptr)
        return 1;
    std::printf("listening on 127.0.0.1:%d\n", usbip_server_port(server));
    if (options.plugged)
        command(dev, server, "plug");
    size_t shown = 0;
    bool configured = false;
    std::string pending;
    for (bool running = true; running;) {
        pollfd input = {STDIN_FILENO, POLLIN, 0};
        if (poll(&input, 1, 20) > 0)
            running = read_commands(dev, server, pending);
        show_news(dev, server, shown, configured);
    }
    usbip_server_stop(server);
    return 0;
}
