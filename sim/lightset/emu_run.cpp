// Running an unchanged program under the emulation (umockdev's preload, or
// the stand-in libusb: emu_glue.h), so that its libusb finds the emulated
// light set; its output is captured.
#include "emu_glue.h"
#include "emu_usb.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Owns one file descriptor; -1 when closed.
struct fd_guard {
    int fd = -1;

    fd_guard() = default;
    explicit fd_guard(int descriptor) : fd(descriptor) {}
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
    ~fd_guard() { reset(); }
    void reset(int descriptor = -1)
    {
        if (fd >= 0)
            close(fd);
        fd = descriptor;
    }
};

}  // namespace

struct emu_child {
    pid_t pid = -1;
    fd_guard out, err;       // read ends of the program's stdout and stderr
    double start = 0;
    double deadline = 0;     // 0: none
    double end = 0;
    bool timed_out = false;
    bool reaped = false;
    int wait_status = 0;
};

namespace {

std::vector<char *> pointers(std::vector<std::string> &strings)
{
    std::vector<char *> list;
    for (std::string &s : strings)
        list.push_back(&s[0]);
    list.push_back(nullptr);
    return list;
}

bool set_cloexec(int fd)
{
    return fd >= 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

bool open_pipe(fd_guard &read_end, fd_guard &write_end)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return false;
    read_end.reset(ends[0]);
    write_end.reset(ends[1]);
    return true;
}

// A pseudo-terminal whose slave end the program gets as stdout; output
// post-processing is off, so lines keep their plain "\n".
bool open_terminal(fd_guard &master, fd_guard &slave)
{
    master.reset(posix_openpt(O_RDWR | O_NOCTTY));
    char name[64];
    if (!set_cloexec(master.fd) || grantpt(master.fd) != 0 || unlockpt(master.fd) != 0 ||
        ptsname_r(master.fd, name, sizeof name) != 0)
        return false;
    slave.reset(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios settings;
    if (slave.fd < 0 || tcgetattr(slave.fd, &settings) != 0)
        return false;
    settings.c_oflag &= ~OPOST;
    return tcsetattr(slave.fd, TCSANOW, &settings) == 0;
}

// In the forked child: only async-signal-safe calls from here on.
[[noreturn]] void exec_child(char *const *argv, char *const *envp, int in, int out, int err,
                             const emu_run_options &options)
{
    setpgid(0, 0);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    close_range(3, ~0U, 0);
    if (options.child_setup && options.child_setup(options.child_arg) != 0) {
        const char message[] = "cannot set up the child\n";
        (void)!write(2, message, sizeof message - 1);
        _exit(126);
    }
    execvpe(argv[0], argv, envp);
    const char message[] = "cannot run ";
    (void)!write(2, message, sizeof message - 1);
    (void)!write(2, argv[0], std::strlen(argv[0]));
    (void)!write(2, "\n", 1);
    _exit(127);
}

void signal_group(pid_t pid, int signal)
{
    if (kill(-pid, signal) != 0)  // before the child has made its group
        kill(pid, signal);
}

void enforce_deadline(emu_child &child)
{
    if (child.reaped || child.timed_out || child.deadline == 0 || emu_now() < child.deadline)
        return;
    child.timed_out = true;
    signal_group(child.pid, SIGKILL);
}

// Waits up to wait_ms for the program to end; true once it is reaped.
bool reap(emu_child &child, int wait_ms)
{
    const double until = emu_now() + wait_ms / 1000.0;
    while (!child.reaped) {
        if (waitpid(child.pid, &child.wait_status, WNOHANG) == child.pid) {
            child.reaped = true;
            child.end = emu_now();
            break;
        }
        enforce_deadline(child);
        if (emu_now() >= until)
            break;
        usleep(2000);
    }
    return child.reaped;
}

// Reads what one stream has ready; closes it at its end (EIO for a terminal).
void drain(fd_guard &stream, std::string &text)
{
    char buffer[16384];
    const ssize_t length = read(stream.fd, buffer, sizeof buffer);
    if (length > 0)
        text.append(buffer, static_cast<size_t>(length));
    else if (length == 0 || (errno != EINTR && errno != EAGAIN))
        stream.reset();
}

int bounded_wait(const emu_child &child, int wait_ms)
{
    if (child.deadline == 0 || child.timed_out)
        return wait_ms;
    const int left = static_cast<int>((child.deadline - emu_now()) * 1000) + 1;
    return std::max(0, std::min(wait_ms, left));
}

}  // namespace

void emu_child_deleter::operator()(emu_child *child) const
{
    if (child->pid > 0 && !child->reaped) {
        signal_group(child->pid, SIGKILL);
        while (waitpid(child->pid, &child->wait_status, 0) < 0 && errno == EINTR) {
        }
    }
    delete child;
}

emu_child_ptr emu_run_start(const std::vector<std::string> &argv, const emu_run_options &options)
{
    if (argv.empty())
        return nullptr;
    std::vector<std::string> args = emu_glue_command(argv), env = emu_glue_environment();
    std::vector<char *> arg_list = pointers(args), env_list = pointers(env);
    emu_child_ptr child(new emu_child);
    fd_guard in(open("/dev/null", O_RDONLY | O_CLOEXEC)), out, err;
    const bool opened = options.stdout_terminal ? open_terminal(child->out, out)
                                                : open_pipe(child->out, out);
    if (in.fd < 0 || !opened || !open_pipe(child->err, err))
        return nullptr;
    child->start = emu_now();
    if (options.timeout_seconds > 0)
        child->deadline = child->start + options.timeout_seconds;
    child->pid = fork();
    if (child->pid == 0)
        exec_child(arg_list.data(), env_list.data(), in.fd, out.fd, err.fd, options);
    if (child->pid < 0)
        return nullptr;
    setpgid(child->pid, 0);  // also here, so that a kill right away finds the group
    return child;
}

bool emu_run_poll(emu_child &child, int wait_ms, std::string &out, std::string &err)
{
    enforce_deadline(child);
    if (child.out.fd < 0 && child.err.fd < 0)
        return !reap(child, wait_ms);
    pollfd streams[2] = {{child.out.fd, POLLIN, 0}, {child.err.fd, POLLIN, 0}};
    if (poll(streams, 2, bounded_wait(child, wait_ms)) <= 0)
        return true;
    if (streams[0].revents != 0)
        drain(child.out, out);
    if (streams[1].revents != 0)
        drain(child.err, err);
    return true;
}

void emu_run_kill(emu_child &child, int signal)
{
    if (!child.reaped)
        signal_group(child.pid, signal);
}

emu_run_result emu_run_finish(emu_child_ptr child)
{
    emu_run_result result;
    while (emu_run_poll(*child, 100, result.out, result.err)) {
    }
    result.timed_out = child->timed_out;
    result.seconds = child->end - child->start;
    if (WIFEXITED(child->wait_status))
        result.exit_status = WEXITSTATUS(child->wait_status);
    else if (WIFSIGNALED(child->wait_status))
        result.signal = WTERMSIG(child->wait_status);
    return result;
}

emu_run_result emu_run(const std::vector<std::string> &argv, const emu_run_options &options)
{
    emu_child_ptr child = emu_run_start(argv, options);
    if (child == nullptr) {
        emu_run_result result;
        result.err = "cannot start " + (argv.empty() ? std::string("(no program)") : argv[0]) + "\n";
        return result;
    }
    return emu_run_finish(std::move(child));
}
