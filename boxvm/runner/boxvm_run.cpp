// boxvm-run: one scenario in the box VM, with the emulated light set served
// to the guest over USB/IP, judged from the set's own log.
//
//   boxvm-run --kernel FILE --initrd FILE --work DIR [--append ARGS]
//             [--reference FILE] SCENARIO
// Prints each step with its time after qemu started and each measured figure
// (lights are timed from boot: the kernel's start), then
// "PASS: title" (exit status 0) or "FAIL: title: why" (1); 2 on a usage or
// set-up error. DIR receives the console, the set's log and the guest's
// huecast log of the run.
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "boxvm/runner/judge.h"
#include "boxvm/runner/scenario.h"
#include "boxvm/runner/vm.h"
#include "sim/common/util.h"
#include "sim/lightset/usbip/usbip_server.h"

namespace {

constexpr double BOOT_SECONDS = 60;      // boot until rcS has finished
constexpr double RUN_SECONDS = 120;      // one command in the guest
constexpr double POWEROFF_SECONDS = 60;  // poweroff until qemu ends
constexpr double VM_SECONDS = 900;       // the whole VM, whatever happens
const char *const HUECAST_LOG = "/var/log/huecast.log";

struct options {
    std::string kernel, initrd, work, append, reference, scenario;
};

// What the run has seen so far; times in seconds after qemu started (boot,
// events[0], is when the kernel started).
struct run_state {
    scenario sc;
    std::vector<unsigned> reference;
    emu_device dev;
    usbip_server *server = nullptr;
    box_vm vm;
    bool vm_ended = false;
    double plugged = 0;                  // last plug-in (-1e9: never)
    double events[4] = {0, -1, -1, -1};  // since_event: boot, attach, detach, run
    std::string output;                  // of the last run
    std::string failure;
};

double since_start(const run_state &r)
{
    return now_seconds() - r.vm.started;
}

// One line of the run's report, after its time since qemu started.
void say(const run_state &r, const std::string &text)
{
    std::printf("%7.2f s  %s\n", r.vm.qemu ? since_start(r) : 0.0, text.c_str());
    std::fflush(stdout);
}

// The set's log, its times after qemu started.
std::vector<emu_packet> set_log(run_state &r)
{
    std::vector<emu_packet> log = emu_packets(r.dev);
    for (emu_packet &p : log)
        p.seconds += r.dev.start - r.vm.started;
    return log;
}

// Keeps the VM's output flowing while time passes, until the deadline
// (seconds after qemu started).
void pass_time(run_state &r, double until)
{
    while (since_start(r) < until) {
        if (!r.vm_ended && !vm_pump(r.vm, 50))
            r.vm_ended = true;
        else if (r.vm_ended)
            usleep(50000);
    }
}

// The guest's huecast log: read through the agent while the VM runs, else
// what rcK kept of it at power-off.
bool huecast_log(run_state &r, std::string *text)
{
    if (r.vm_ended)
        return vm_kept_file(r.vm, HUECAST_LOG, text);
    return vm_run(r.vm, std::string("cat ") + HUECAST_LOG + " 2>/dev/null", RUN_SECONDS, text) >= 0;
}

bool fail(run_state &r, const std::string &why)
{
    r.failure = why;
    return false;
}

std::string seconds_text(double s)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", s);
    return text;
}

std::string colours_text(const std::vector<unsigned> &colours)
{
    std::string text;
    for (unsigned c : colours) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%06X", c);
        text += (text.empty() ? "" : " ") + std::string(hex);
    }
    return text;
}

const char *event_name(since_event e)
{
    static const char *const names[] = {"boot", "attach", "detach", "run"};
    return names[static_cast<int>(e)];
}

bool expect_lights(run_state &r, const step &s)
{
    const std::vector<unsigned> &colours = s.reference ? r.reference : s.colours;
    const double from = r.events[static_cast<int>(s.since)];
    if (from < 0)
        return fail(r, std::string("no ") + event_name(s.since) + " to measure from");
    for (;;) {
        const double shown = lights_shown_at(set_log(r), r.plugged, from, colours);
        if (shown >= 0 && shown - from <= s.seconds) {
            say(r, "lights " + colours_text(colours) + " " + seconds_text(shown - from) +
                       " after " + event_name(s.since));
            return true;
        }
        if (since_start(r) > from + s.seconds + 0.5 || (r.vm_ended && shown < 0))
            return fail(r, "lights not " + colours_text(colours) + " within " +
                               seconds_text(s.seconds) + " after " + event_name(s.since));
        pass_time(r, since_start(r) + 0.1);
    }
}

// The lines of text, without an empty last one.
std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool expect_log(run_state &r, const step &s)
{
    const double from = since_start(r);
    for (;;) {
        std::string text;
        if (huecast_log(r, &text) && text.find(s.text) != std::string::npos) {
            say(r, "log line \"" + s.text + "\" " + seconds_text(since_start(r) - from) +
                       " after the step began");
            return true;
        }
        if (r.vm_ended || since_start(r) > from + s.seconds)
            return fail(r, "no log line \"" + s.text + "\" within " + seconds_text(s.seconds));
        pass_time(r, since_start(r) + 0.5);
    }
}

bool expect_log_ends(run_state &r, const step &s)
{
    std::string text;
    if (!huecast_log(r, &text))
        return fail(r, "the guest's huecast log cannot be read");
    const std::vector<std::string> lines = lines_of(text);
    if (lines.empty() || lines.back().find(s.text) == std::string::npos)
        return fail(r, "the log's last line is \"" + (lines.empty() ? "" : lines.back()) +
                           "\", not \"" + s.text + "\"");
    say(r, "the log ends with \"" + lines.back() + "\"");
    return true;
}

bool expect_counts(run_state &r, const step &s)
{
    const std::vector<emu_packet> since = received_since(set_log(r), r.events[3]);
    int count = static_cast<int>(since.size());
    if (s.expect == expect_kind::received) {
        count = 0;
        for (const emu_packet &p : since)
            count += emu_describe(p).find(s.text) != std::string::npos;
    }
    say(r, std::to_string(count) + " messages" +
               (s.expect == expect_kind::received ? " \"" + s.text + "\"" : "") +
               " since the run began");
    if (count != s.count)
        return fail(r, std::to_string(count) + " messages, not " + std::to_string(s.count));
    return true;
}

bool expect_gaps(run_state &r, const step &s)
{
    const std::vector<double> g = gaps(received_since(set_log(r), r.events[3]), s.first, s.last);
    if (g.empty())
        return fail(r, "fewer than " + std::to_string(s.last) + " messages since the run began");
    std::string figures;
    bool within = true;
    for (double gap : g) {
        figures += (figures.empty() ? "" : ", ") + seconds_text(gap);
        within = within && std::fabs(gap - s.seconds) <= s.tolerance;
    }
    say(r, "gaps between messages " + std::to_string(s.first) + " and " + std::to_string(s.last) +
               ": " + figures);
    if (!within)
        return fail(r,
                    "a gap is not " + seconds_text(s.seconds) + " ± " + seconds_text(s.tolerance));
    return true;
}

bool expect(run_state &r, const step &s)
{
    switch (s.expect) {
    case expect_kind::lights: return expect_lights(r, s);
    case expect_kind::log: return expect_log(r, s);
    case expect_kind::log_ends: return expect_log_ends(r, s);
    case expect_kind::output:
        if (r.output.find(s.text) == std::string::npos)
            return fail(r, "the run's output lacks \"" + s.text + "\"");
        say(r, "the run's output holds \"" + s.text + "\"");
        return true;
    case expect_kind::messages:
    case expect_kind::received: return expect_counts(r, s);
    case expect_kind::gaps: return expect_gaps(r, s);
    case expect_kind::ends_dark:
        if (!ends_dark(set_log(r)))
            return fail(r, "the last five messages do not switch lights 0..4 off");
        say(r, "the last five messages switch lights 0..4 off");
        return true;
    }
    return false;
}

bool run_command(run_state &r, const step &s)
{
    if (r.vm_ended)
        return fail(r, "the VM has ended");
    r.events[3] = since_start(r);
    const int status = vm_run(r.vm, s.command, RUN_SECONDS, &r.output);
    say(r, "ran `" + s.command +
               "`: " + (status < 0 ? "no end" : "status " + std::to_string(status)) + ", " +
               seconds_text(since_start(r) - r.events[3]));
    for (const std::string &line : lines_of(r.output))
        std::printf("           | %s\n", line.c_str());
    return status == 0 ||
           fail(r, "`" + s.command + "` ended with status " + std::to_string(status));
}

bool boot(run_state &r, const step &s, const options &o)
{
    const double plugged = now_seconds();
    if (s.with_set)
        usbip_plug(r.server);
    vm_config config{o.kernel, o.initrd, o.append, o.work + "/agent.sock", VM_SECONDS};
    config.append +=
        " boxvm.agent=ttyS1 boxvm.usbip=" + std::to_string(usbip_server_port(r.server));
    if (s.with_set)
        config.append += " boxvm.plugged";
    std::string error;
    if (!vm_start(r.vm, config, &error))
        return fail(r, error);
    r.plugged = s.with_set ? plugged - r.vm.started : -1e9;
    if (!vm_wait_ready(r.vm, now_seconds() + BOOT_SECONDS))
        return fail(r, "the box was not up within " + seconds_text(BOOT_SECONDS));
    // Boot is where the box's own clock starts (its uptime 0). Before it,
    // qemu starts and the kernel sets itself up, which an emulated core on a
    // busy machine stretches to seconds and a box does in a moment.
    std::string uptime;
    if (vm_run(r.vm, "cat /proc/uptime", RUN_SECONDS, &uptime) != 0)
        return fail(r, "no /proc/uptime from the box");
    r.events[0] = since_start(r) - std::atof(uptime.c_str());
    say(r, "box up, " + seconds_text(since_start(r) - r.events[0]) +
               " after boot (the kernel started " +
               seconds_text(r.vm.kernel_started - r.vm.started) + " after qemu, its clock " +
               seconds_text(r.events[0]) + " after qemu)");
    return true;
}

bool carry_out(run_state &r, const step &s, const options &o)
{
    if (s.at >= 0) {
        const double event = r.events[static_cast<int>(s.at_since)];
        if (event < 0)
            return fail(r, std::string("no ") + event_name(s.at_since) + " to wait from");
        pass_time(r, event + s.at);
    }
    switch (s.kind) {
    case step_kind::boot: return boot(r, s, o);
    case step_kind::attach:
        usbip_plug(r.server);
        r.plugged = r.events[1] = since_start(r);
        say(r, "set attached");
        return true;
    case step_kind::detach:
        usbip_unplug(r.server);
        r.events[2] = since_start(r);
        say(r, "set detached");
        return true;
    case step_kind::run: return run_command(r, s);
    case step_kind::wait: pass_time(r, since_start(r) + s.seconds); return true;
    case step_kind::poweroff:
        vm_send(r.vm, "poweroff");
        r.vm_ended = vm_wait_end(r.vm, POWEROFF_SECONDS);
        say(r, r.vm_ended ? "powered off" : "still running");
        return r.vm_ended || fail(r, "no power-off within " + seconds_text(POWEROFF_SECONDS));
    case step_kind::expect: return expect(r, s);
    }
    return false;
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path) << text;
}

// What the run leaves in the work folder, for a person to look at.
void keep_records(run_state &r, const options &o)
{
    if (!r.vm.qemu)
        return;
    write_file(o.work + "/console.txt", vm_console(r.vm));
    write_file(o.work + "/lightset.txt", describe_log(set_log(r)));
    std::string text;
    if (huecast_log(r, &text))
        write_file(o.work + "/huecast.log", text);
    if (!r.vm_ended && vm_run(r.vm, "dmesg", RUN_SECONDS, &text) == 0)
        write_file(o.work + "/dmesg.txt", text);
}

bool read_file(const std::string &path, std::string *text)
{
    std::ifstream in(path);
    std::ostringstream all;
    all << in.rdbuf();
    *text = all.str();
    return static_cast<bool>(in);
}

bool parse_options(int argc, char **argv, options *o)
{
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        std::string *target = a == "--kernel"      ? &o->kernel
                              : a == "--initrd"    ? &o->initrd
                              : a == "--work"      ? &o->work
                              : a == "--append"    ? &o->append
                              : a == "--reference" ? &o->reference
                                                   : nullptr;
        if (target && i + 1 < argc)
            *target = argv[++i];
        else if (!target && o->scenario.empty() && a[0] != '-')
            o->scenario = a;
        else
            return false;
    }
    return !o->kernel.empty() && !o->initrd.empty() && !o->work.empty() && !o->scenario.empty();
}

// Reads the scenario and the reference, places the set. Returns false with a
// line on stderr.
bool prepare(run_state &r, const options &o)
{
    std::string text, error;
    if (!read_file(o.scenario, &text) || !scenario_parse(text, &r.sc, &error)) {
        std::fprintf(stderr, "boxvm-run: %s: %s\n", o.scenario.c_str(),
                     error.empty() ? "cannot be read" : error.c_str());
        return false;
    }
    if (!o.reference.empty() &&
        (!read_file(o.reference, &text) || !reference_parse(text, &r.reference))) {
        std::fprintf(stderr, "boxvm-run: %s holds no five colours\n", o.reference.c_str());
        return false;
    }
    emu_behaviour behaviour;
    if (!r.sc.components.empty())
        behaviour.components = r.sc.components;
    emu_device_place(r.dev, 1, 2, 0x0471, 0x083F, behaviour);
    r.server = usbip_server_start(&r.dev, 0);
    return r.server != nullptr;
}

}  // namespace

int main(int argc, char **argv)
{
    options o;
    if (!parse_options(argc, argv, &o)) {
        std::fprintf(stderr, "usage: boxvm-run --kernel FILE --initrd FILE --work DIR "
                             "[--append ARGS] [--reference FILE] SCENARIO\n");
        return 2;
    }
    run_state r;
    if (!prepare(r, o))
        return 2;
    std::printf("scenario: %s\n", r.sc.title.c_str());
    int failed_line = 0;
    for (const step &s : r.sc.steps)
        if (!carry_out(r, s, o)) {
            failed_line = s.line;
            break;
        }
    keep_records(r, o);
    usbip_server_stop(r.server);
    if (failed_line) {
        std::printf("FAIL: %s: line %d: %s (records in %s)\n", r.sc.title.c_str(), failed_line,
                    r.failure.c_str(), o.work.c_str());
        return 1;
    }
    std::printf("PASS: %s\n", r.sc.title.c_str());
    return 0;
}
