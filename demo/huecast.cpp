// huecast in the demo's box, followed from outside.
#include "demo/huecast.h"

#include <csignal>

#include "demo/watch.h"
#include "sim/box/stb_box.h"

namespace {

constexpr int STOP_POLLS = 100;  // of 20 ms: two seconds for huecast to end

// Takes in a chunk of output; whole lines go to lines.
void take_output(huecast_run &h, const std::string &chunk, std::vector<std::string> *lines)
{
    h.pending += chunk;
    size_t end;
    while ((end = h.pending.find('\n')) != std::string::npos) {
        h.last_line = h.pending.substr(0, end);
        h.lines++;
        lines->push_back(h.last_line);
        h.pending.erase(0, end + 1);
    }
}

// Output that arrived since the last call, stdout first.
std::string new_output(huecast_run &h, const std::string &out, const std::string &err)
{
    std::string chunk = out.substr(h.out_taken) + err.substr(h.err_taken);
    h.out_taken = out.size();
    h.err_taken = err.size();
    return chunk;
}

}  // namespace

bool huecast_start(huecast_run &h, const stb_box *box, const std::string &path,
                   const std::vector<std::string> &options, std::string *error)
{
    h.bed.reset(emu_testbed_new());
    h.dev = h.bed ? emu_add_device(h.bed.get(), 1, 2, 0x0471, 0x083F) : nullptr;
    if (!h.dev) {
        *error = "cannot make the emulated light set (umockdev)";
        return false;
    }
    process_options run;
    run.timeout_seconds = 0;
    run.setup = stb_box_setup(box);
    std::vector<std::string> argv = {path};
    argv.insert(argv.end(), options.begin(), options.end());
    h.child = emu_run_start(argv, run);
    if (!h.child)
        *error = "cannot start " + path;
    return h.child != nullptr;
}

void huecast_follow(huecast_run &h, int wait_ms, std::vector<std::string> *lines)
{
    if (!process_poll(*h.child, wait_ms))
        h.ended = true;
    take_output(h, new_output(h, process_out(*h.child), process_err(*h.child)), lines);
}

double huecast_cpu_seconds(const huecast_run &h)
{
    return process_cpu_seconds(process_pid(*h.child));
}

process_result huecast_stop(huecast_run &h, std::vector<std::string> *lines)
{
    process_kill(*h.child, SIGTERM);
    for (int i = 0; i < STOP_POLLS && !h.ended; i++)
        huecast_follow(h, 20, lines);
    process_kill(*h.child, SIGKILL);
    process_result result = process_finish(std::move(h.child));
    take_output(h, new_output(h, result.out, result.err), lines);
    h.ended = true;
    return result;
}
