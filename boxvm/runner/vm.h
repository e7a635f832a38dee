// The box VM as the runner drives it: qemu-system-mipsel with the console
// on its standard output and a command shell (rcS's agent) on the guest's
// second serial line, reached through a Unix socket.
#pragma once

#include <string>

#include "capture/guards.h"
#include "sim/common/process.h"

struct vm_config {
    std::string kernel, initrd;    // the kernel and the initramfs to boot
    std::string append;            // the kernel's arguments
    std::string socket_path;       // where qemu puts the agent's socket
    double timeout_seconds = 600;  // qemu is killed after this
};

struct box_vm {
    process_ptr qemu;
    unique_fd agent;
    std::string agent_text;     // read from the agent, not yet taken
    double started = 0;         // when qemu was started (now_seconds)
    double kernel_started = 0;  // when the kernel's first line reached the console; 0: not yet
    int commands = 0;           // commands sent, numbering their end markers
};

// Starts qemu and connects to the agent's socket. Returns false with *error
// when qemu cannot start or its socket does not appear within 10 s.
bool vm_start(box_vm &vm, const vm_config &config, std::string *error);

// Reads what the console and the agent sent, waiting up to wait_ms for the
// agent. Returns false once qemu has ended.
bool vm_pump(box_vm &vm, int wait_ms);

// Waits until the agent says it is ready (rcS has finished), at most until
// the deadline (now_seconds). Returns false when it does not.
bool vm_wait_ready(box_vm &vm, double deadline);

// Runs one command line in the guest's shell, its standard input from
// /dev/null. Returns its exit status with *output (stdout and stderr), or -1
// when the VM ended or timeout_seconds passed first.
int vm_run(box_vm &vm, const std::string &command, double timeout_seconds, std::string *output);

// Sends a command line without waiting for its end (poweroff).
void vm_send(box_vm &vm, const std::string &command);

// Waits up to timeout_seconds for qemu to end. Returns whether it did.
bool vm_wait_end(box_vm &vm, double timeout_seconds);

// Everything the console showed so far, without carriage returns.
std::string vm_console(const box_vm &vm);

// The text the guest kept of a file at its power-off (rcK prints each log
// between "@@file PATH" and "@@end-file" lines). Returns false when the
// console holds none.
bool vm_kept_file(const box_vm &vm, const std::string &path, std::string *text);
