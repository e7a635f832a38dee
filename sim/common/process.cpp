// The process runner: fork, set-up, exec, time-out, group kill, output.
#include "sim/common/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sim/common/emulated_command.h"
#include "capture/guards.h"
#include "sim/common/util.h"

extern char **environ;

struct process {
    pid_t pid = -1;
    unique_fd out, err;  // read ends of the program's stdout and stderr
    std::string out_text, err_text;
    int error = 0;  // as process_error reports it
    std::string failed_step;
    double start = 0;
    double deadline = 0;  // 0: none
    double end = 0;
    bool timed_out = false;
    bool reaped = false;
    int wait_status = 0;
};

namespace {

// The steps of the runner itself, below those of a set-up (0 and up).
constexpr int STEP_EXEC = -100;
constexpr int STEP_REDIRECT = -101;

// What a child that cannot run the program tells its parent before it ends.
struct child_report {
    int error;
    int step;
};

// Once the program has ended, output that takes longer than this to arrive
// belongs to a process that left the group: it is not waited for.
constexpr double DRAIN_SECONDS = 1;

std::vector<char *> pointers(std::vector<std::string> &strings)
{
    std::vector<char *> list;
    for (std::string &s : strings)
        list.push_back(&s[0]);
    list.push_back(nullptr);
    return list;
}

bool open_pipe(unique_fd &read_end, unique_fd &write_end)
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
bool open_terminal(unique_fd &master, unique_fd &slave)
{
    master.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    char name[64];
    if (!master.valid() || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0 ||
        ptsname_r(master.get(), name, sizeof name) != 0)
        return false;
    slave.reset(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios settings;
    if (!slave.valid() || tcgetattr(slave.get(), &settings) != 0)
        return false;
    settings.c_oflag &= ~OPOST;
    return tcsetattr(slave.get(), TCSANOW, &settings) == 0;
}

// Everything the child needs, prepared before the fork.
struct child_plan {
    char *const *argv;
    char *const *envp;
    int in, out, err, report;
    const process_setup *setup;
};

void write_text(const char *text)
{
    (void)!write(2, text, strlen(text));
}

[[noreturn]] void child_fail(int report_fd, int error, int step, int status, const char *what,
                             const char *name)
{
    const child_report report = {error, step};
    (void)!write(report_fd, &report, sizeof report);
    write_text(what);
    write_text(name);
    write_text("\n");
    _exit(status);
}

// In the forked child: only async-signal-safe calls from here on. The
// report pipe becomes descriptor 3; every other one above 2 is closed.
[[noreturn]] void exec_child(const child_plan &c)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    setpgid(0, 0);
    if (dup2(c.in, 0) < 0 || dup2(c.out, 1) < 0 || dup2(c.err, 2) < 0 || dup2(c.report, 3) < 0)
        child_fail(c.report, -errno, STEP_REDIRECT, 126, "cannot redirect ", c.argv[0]);
    fcntl(3, F_SETFD, FD_CLOEXEC);
    close_range(4, ~0U, 0);
    int step = 0;
    const int error = c.setup->run ? c.setup->run(c.setup->arg, &step) : 0;
    if (error != 0)
        child_fail(3, error, step, 126, "cannot set up the child for ", c.argv[0]);
    execvpe(c.argv[0], c.argv, c.envp);
    child_fail(3, -errno, STEP_EXEC, 127, "cannot run ", c.argv[0]);
}

std::string step_words(const process_setup &setup, int step)
{
    if (step == STEP_EXEC)
        return "exec";
    if (step == STEP_REDIRECT)
        return "redirect stdin, stdout and stderr";
    return setup.step_name ? setup.step_name(setup.arg, step) : "step " + std::to_string(step);
}

// After the fork: reads the report pipe until the exec closes it or the
// child reports why it could not run the program.
void await_exec(process &child, const process_setup &setup, int report)
{
    child_report r;
    ssize_t n;
    do
        n = read(report, &r, sizeof r);
    while (n < 0 && errno == EINTR);
    if (n != ssize_t(sizeof r))
        return;
    child.error = r.error;
    child.failed_step = step_words(setup, r.step);
}

void signal_group(pid_t pid, int signal)
{
    if (kill(-pid, signal) != 0)  // before the child has made its group
        kill(pid, signal);
}

void enforce_deadline(process &child)
{
    if (child.reaped || child.timed_out || child.deadline == 0 || now_seconds() < child.deadline)
        return;
    child.timed_out = true;
    signal_group(child.pid, SIGKILL);
}

// Reaps the program if it has ended, after killing what is left of its
// group (the unreaped program keeps the group's id from being reused), so
// that no grandchild outlives it or keeps its streams open.
bool try_reap(process &child)
{
    if (child.reaped)
        return true;
    siginfo_t info = {};
    if (waitid(P_PID, child.pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
        info.si_pid != child.pid)
        return false;
    child.end = now_seconds();
    kill(-child.pid, SIGKILL);
    while (waitpid(child.pid, &child.wait_status, 0) < 0 && errno == EINTR) {
    }
    child.reaped = true;
    return true;
}

// Reads what one stream has ready; closes it at its end (EIO for a terminal).
void drain(unique_fd &stream, std::string &text)
{
    char buffer[16384];
    const ssize_t length = read(stream.get(), buffer, sizeof buffer);
    if (length > 0)
        text.append(buffer, static_cast<size_t>(length));
    else if (length == 0 || (errno != EINTR && errno != EAGAIN))
        stream.reset();
}

// How long a poll may wait: up to wait_ms, but not past the deadline.
int bounded_wait(const process &child, int wait_ms)
{
    if (child.deadline == 0 || child.timed_out || child.reaped)
        return wait_ms;
    const int left = static_cast<int>((child.deadline - now_seconds()) * 1000) + 1;
    return std::max(0, std::min(wait_ms, left));
}

// Without open streams: waits up to wait_ms for the program to end.
bool wait_for_end(process &child, int wait_ms)
{
    const double until = now_seconds() + wait_ms / 1000.0;
    while (!try_reap(child)) {
        enforce_deadline(child);
        if (now_seconds() >= until)
            return true;
        usleep(2000);
    }
    return false;
}

// Gives up on streams that a process outside the group keeps open.
void give_up_streams(process &child)
{
    if (child.reaped && now_seconds() > child.end + DRAIN_SECONDS) {
        child.out.reset();
        child.err.reset();
    }
}

}  // namespace

void process_deleter::operator()(process *child) const
{
    if (child->pid > 0 && !child->reaped) {
        signal_group(child->pid, SIGKILL);
        while (waitpid(child->pid, &child->wait_status, 0) < 0 && errno == EINTR) {
        }
    }
    delete child;
}

std::vector<std::string> process_environment()
{
    std::vector<std::string> env;
    for (char **entry = environ; *entry != nullptr; ++entry)
        env.emplace_back(*entry);
    return env;
}

process_ptr process_start(const std::vector<std::string> &argv, const process_options &options)
{
    if (argv.empty()) {
        errno = EINVAL;
        return nullptr;
    }
    std::vector<std::string> args = emulated_command(argv);
    std::vector<std::string> env =
        options.environment ? *options.environment : process_environment();
    const std::vector<char *> arg_list = pointers(args), env_list = pointers(env);
    process_ptr child(new process);
    unique_fd in(open("/dev/null", O_RDONLY | O_CLOEXEC)), out, err, report, report_w;
    const bool opened =
        options.stdout_terminal ? open_terminal(child->out, out) : open_pipe(child->out, out);
    if (!in.valid() || !opened || !open_pipe(child->err, err) || !open_pipe(report, report_w))
        return nullptr;
    const child_plan plan = {arg_list.data(), env_list.data(), in.get(),      out.get(),
                             err.get(),       report_w.get(),  &options.setup};
    child->start = now_seconds();
    if (options.timeout_seconds > 0)
        child->deadline = child->start + options.timeout_seconds;
    child->pid = fork();
    if (child->pid == 0)
        exec_child(plan);
    if (child->pid < 0)
        return nullptr;
    setpgid(child->pid, 0);  // also here, so that a kill right away finds the group
    report_w.reset();
    await_exec(*child, options.setup, report.get());
    return child;
}

pid_t process_pid(const process &child)
{
    return child.pid;
}

int process_error(const process &child, std::string *step)
{
    if (step)
        *step = child.failed_step;
    return child.error;
}

bool process_poll(process &child, int wait_ms)
{
    enforce_deadline(child);
    try_reap(child);
    give_up_streams(child);
    if (!child.out.valid() && !child.err.valid())
        return wait_for_end(child, wait_ms);
    pollfd streams[2] = {{child.out.get(), POLLIN, 0}, {child.err.get(), POLLIN, 0}};
    if (poll(streams, 2, bounded_wait(child, wait_ms)) <= 0)
        return true;
    if (streams[0].revents != 0)
        drain(child.out, child.out_text);
    if (streams[1].revents != 0)
        drain(child.err, child.err_text);
    return true;
}

const std::string &process_out(const process &child)
{
    return child.out_text;
}

const std::string &process_err(const process &child)
{
    return child.err_text;
}

namespace {

// Polls until stream (one of child's) holds text, the program ended or the
// time passed.
bool wait_text(process &child, const std::string &stream, const std::string &text,
               double timeout_seconds)
{
    const double until = now_seconds() + timeout_seconds;
    while (stream.find(text) == std::string::npos && now_seconds() < until)
        if (!process_poll(child, 20))
            break;
    return stream.find(text) != std::string::npos;
}

}  // namespace

bool process_wait_output(process &child, const std::string &text, double timeout_seconds)
{
    return wait_text(child, child.out_text, text, timeout_seconds);
}

bool process_wait_error(process &child, const std::string &text, double timeout_seconds)
{
    return wait_text(child, child.err_text, text, timeout_seconds);
}

void process_kill(process &child, int signal)
{
    if (!child.reaped)
        signal_group(child.pid, signal);
}

process_result process_finish(process_ptr child)
{
    while (process_poll(*child, 100)) {
    }
    process_result result;
    result.error = child->error;
    result.failed_step = child->failed_step;
    result.timed_out = child->timed_out;
    result.seconds = child->end - child->start;
    if (WIFEXITED(child->wait_status))
        result.exit_status = WEXITSTATUS(child->wait_status);
    else if (WIFSIGNALED(child->wait_status))
        result.signal = WTERMSIG(child->wait_status);
    result.out = std::move(child->out_text);
    result.err = std::move(child->err_text);
    return result;
}

process_result process_run(const std::vector<std::string> &argv, const process_options &options)
{
    process_ptr child = process_start(argv, options);
    if (child != nullptr)
        return process_finish(std::move(child));
    const int error = errno;  // as process_start left it
    process_result result;
    result.error = error != 0 ? -error : -ECHILD;
    result.failed_step = "start";
    result.err = "cannot start " + (argv.empty() ? std::string("(no program)") : argv[0]) + "\n";
    return result;
}
