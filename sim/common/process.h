// The one process runner of sim/: starts a program as a child in its own
// process group, captures its standard output and standard error, kills the
// whole group at a time-out, and reports how it ended.
//
// The light-set runner (emu_run in emu_usb.h) adds the environment that
// lets the program reach the emulated light set; the simulated set-top box
// (stb_box.h) enters the box in the child's set-up; the demo runs huecast
// with both. A program of this process's own machine is started through the
// emulator when the tests run under one (emulated_command.h).
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

// Work done in the forked child right before the exec, e.g. entering a
// simulated box.
struct process_setup {
    // In the child: system calls only, no allocation (it may have been forked
    // from a process with other threads). Returns 0, or -errno with *step set
    // to the number of the step that failed.
    int (*run)(const void *arg, int *step) = nullptr;
    // In the parent: words for a step that run reported as failed.
    std::string (*step_name)(const void *arg, int step) = nullptr;
    const void *arg = nullptr;
};

struct process_options {
    double timeout_seconds = 10;   // the group is killed (SIGKILL) after this; 0: never
    bool stdout_terminal = false;  // stdout is a pseudo-terminal, so that the
                                   // program's stdio flushes every line
    // The program's whole environment; nullptr: this process's.
    const std::vector<std::string> *environment = nullptr;
    process_setup setup;
};

struct process_result {
    int error = 0;            // 0, or -errno when the set-up or the exec failed,
                              // or when no process could be started
    std::string failed_step;  // with error: "exec", or the set-up's words
    int exit_status = -1;     // 0..255 when the program exited, else -1
    int signal = 0;           // the signal that ended it, else 0
    bool timed_out = false;   // killed (SIGKILL) at the time-out
    std::string out, err;     // everything it wrote to stdout and stderr
    double seconds = 0;       // from the fork until it ended
};

struct process;
struct process_deleter {
    // Kills a program still running (SIGKILL to its group), reaps it.
    void operator()(process *child) const;
};
using process_ptr = std::unique_ptr<process, process_deleter>;

// This process's environment, one "NAME=value" string each.
std::vector<std::string> process_environment();

// Starts argv[0] (searched in PATH when it holds no slash) with argv, in its
// own process group, with standard input from /dev/null. Returns once the
// child has executed the program or failed to: nullptr with errno set when
// argv is empty (EINVAL) or the pipes or the process cannot be made;
// otherwise the process, whose process_error tells whether the set-up or the
// exec failed (the child then ends with status 126 or 127 and a line on
// stderr).
process_ptr process_start(const std::vector<std::string> &argv, const process_options &options);

// The child's process id (also the id of its process group).
pid_t process_pid(const process &child);

// 0, or -errno when the set-up or the exec failed; *step then gets which
// step, in words.
int process_error(const process &child, std::string *step = nullptr);

// Waits up to wait_ms for output or the end, reads what arrived, and kills
// the group once the time-out has passed. Once the program has ended, what
// is left of its process group is killed. Returns true while the program
// runs or output is left to read, false once it has ended and both streams
// are drained.
bool process_poll(process &child, int wait_ms);

// Everything read from the program's stdout and stderr so far.
const std::string &process_out(const process &child);
const std::string &process_err(const process &child);

// Polls until stdout holds text. Returns false when the program ended or
// timeout_seconds passed first.
bool process_wait_output(process &child, const std::string &text, double timeout_seconds);

// Sends a signal to the program's process group, unless it has ended.
void process_kill(process &child, int signal);

// Waits for the program to end (killing it at its time-out), reaps it and
// reads the rest of its output.
process_result process_finish(process_ptr child);

// process_start, then process_finish. A program that could not be started
// at all gives error -errno (failed step "start") and a line in err.
process_result process_run(const std::vector<std::string> &argv,
                           const process_options &options = {});
