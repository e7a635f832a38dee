// Driving the box VM (vm.h).
#include "boxvm/runner/vm.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/common/util.h"

namespace {

bool connect_agent(box_vm &vm, const std::string &path, double deadline)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    while (now_seconds() < deadline && process_poll(*vm.qemu, 0)) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        vm.agent.reset(fd);
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
            return true;
        vm.agent.reset();
        usleep(20000);
    }
    return false;
}

// Takes the agent's text up to and including marker; false while it is not there.
bool take_until(box_vm &vm, const std::string &marker, std::string *before)
{
    const size_t at = vm.agent_text.find(marker);
    if (at == std::string::npos)
        return false;
    if (before)
        *before = vm.agent_text.substr(0, at);
    vm.agent_text.erase(0, at + marker.size());
    return true;
}

}  // namespace

bool vm_start(box_vm &vm, const vm_config &config, std::string *error)
{
    unlink(config.socket_path.c_str());
    const std::vector<std::string> argv = {"qemu-system-mipsel",
                                           "-M",
                                           "malta",
                                           "-cpu",
                                           "24Kc",
                                           "-m",
                                           "256",
                                           "-no-reboot",
                                           "-vga",
                                           "none",
                                           "-display",
                                           "none",
                                           "-monitor",
                                           "none",
                                           "-kernel",
                                           config.kernel,
                                           "-initrd",
                                           config.initrd,
                                           "-append",
                                           config.append,
                                           "-serial",
                                           "stdio",
                                           "-serial",
                                           "unix:" + config.socket_path + ",server=on,wait=off",
                                           "-netdev",
                                           "user,id=net",
                                           "-device",
                                           "pcnet,netdev=net,romfile="};
    process_options options;
    options.timeout_seconds = config.timeout_seconds;
    vm.started = now_seconds();
    vm.qemu = process_start(argv, options);
    if (!vm.qemu || process_error(*vm.qemu) != 0) {
        *error = "qemu-system-mipsel did not start: " + std::string(std::strerror(errno));
        return false;
    }
    if (!connect_agent(vm, config.socket_path, now_seconds() + 10)) {
        process_poll(*vm.qemu, 100);
        *error = "no agent socket from qemu: " + process_err(*vm.qemu);
        return false;
    }
    return true;
}

bool vm_pump(box_vm &vm, int wait_ms)
{
    const bool running = process_poll(*vm.qemu, 0);
    if (vm.kernel_started == 0 && process_out(*vm.qemu).find("Linux version") != std::string::npos)
        vm.kernel_started = now_seconds();
    if (!vm.agent.valid()) {
        if (running && wait_ms > 0)
            usleep(wait_ms * 1000);
        return running;
    }
    pollfd p = {vm.agent.get(), POLLIN, 0};
    if (poll(&p, 1, running ? wait_ms : 0) > 0) {
        char buf[4096];
        const ssize_t n = read(vm.agent.get(), buf, sizeof buf);
        if (n > 0)
            vm.agent_text.append(buf, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            vm.agent.reset();
    }
    return running;
}

bool vm_wait_ready(box_vm &vm, double deadline)
{
    while (!take_until(vm, "@@agent ready\n", nullptr)) {
        if (now_seconds() > deadline || !vm_pump(vm, 50))
            return false;
    }
    return true;
}

void vm_send(box_vm &vm, const std::string &command)
{
    const std::string line = command + "\n";
    size_t done = 0;
    while (vm.agent.valid() && done < line.size()) {
        const ssize_t n = write(vm.agent.get(), line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

int vm_run(box_vm &vm, const std::string &command, double timeout_seconds, std::string *output)
{
    const std::string marker = "@@end-" + std::to_string(++vm.commands) + " ";
    // one line: the agent reads a command a line
    vm_send(vm, "( " + command + " ) < /dev/null 2>&1; echo \"" + marker + "$?\"");
    const double deadline = now_seconds() + timeout_seconds;
    std::string before;
    while (!take_until(vm, marker, &before)) {
        if (now_seconds() > deadline || !vm_pump(vm, 50))
            return -1;
    }
    while (vm.agent_text.find('\n') == std::string::npos) {
        if (now_seconds() > deadline || !vm_pump(vm, 50))
            return -1;
    }
    std::string status;
    take_until(vm, "\n", &status);
    *output = before;
    return std::atoi(status.c_str());
}

bool vm_wait_end(box_vm &vm, double timeout_seconds)
{
    const double deadline = now_seconds() + timeout_seconds;
    while (vm_pump(vm, 50)) {
        if (now_seconds() > deadline)
            return false;
    }
    return true;
}

std::string vm_console(const box_vm &vm)
{
    std::string text = process_out(*vm.qemu);
    std::string out;
    for (char c : text)
        if (c != '\r')
            out += c;
    return out;
}

bool vm_kept_file(const box_vm &vm, const std::string &path, std::string *text)
{
    const std::string console = vm_console(vm);
    const std::string begin = "@@file " + path + "\n";
    const size_t at = console.rfind(begin);
    if (at == std::string::npos)
        return false;
    const size_t start = at + begin.size();
    const size_t end = console.find("@@end-file\n", start);
    if (end == std::string::npos)
        return false;
    *text = console.substr(start, end - start);
    return true;
}
