// ambx-emu-run: runs a program with an emulated amBX light set plugged in
// and shows, as it happens, what the lights receive.
#include "sim/lightset/emu_usb.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char usage[] =
    "usage: ambx-emu-run [OPTIONS] PROGRAM [ARGS...]\n"
    "\n"
    "Runs PROGRAM with an emulated amBX light set on an emulated USB bus\n"
    "and shows, as they arrive, the messages the lights receive. The program's own\n"
    "output passes through unchanged; lines from the lights start with \"lights>\".\n"
    "\n"
    "  --silent         the light set never answers: every read times out\n"
    "  --empty          the light set answers with empty replies\n"
    "  --refuse-config  setting the configuration fails\n"
    "  --refuse-claim   claiming the interface fails\n"
    "  --refuse-alt     setting the alternate setting fails\n"
    "  --interface N    its interface is number N (default 0)\n"
    "  --alt-setting N  that interface's alternate setting is N (default 0)\n"
    "  --no-interface   its configuration offers no interface\n"
    "  --no-device      a USB bus with no light set on it\n"
    "  --devices N      N light sets on the bus (default 1)\n"
    "  --timeout SECS   stop the program after SECS seconds (default: never)\n"
    "  -h, --help       this text\n"
    "\n"
    "The exit status is the program's (128 + N when signal N ended it).\n";

struct tool_options {
    emu_behaviour behaviour;
    int devices = 1;
    double timeout = 0;
    std::vector<std::string> program;
};

volatile sig_atomic_t stop_signal = 0;

void on_stop(int signal)
{
    stop_signal = signal;
}

// Applies one option; false for an unknown or malformed one.
bool apply_option(char **argv, int &i, tool_options &options)
{
    const std::string option = argv[i];
    double number = 0;
    if (option == "--silent")
        options.behaviour.answer = emu_answer::silent;
    else if (option == "--empty")
        options.behaviour.answer = emu_answer::empty;
    else if (option == "--refuse-config")
        options.behaviour.refuse_configuration = true;
    else if (option == "--refuse-claim")
        options.behaviour.refuse_claim = true;
    else if (option == "--refuse-alt")
        options.behaviour.refuse_alt_setting = true;
    else if (option == "--interface" && parse_number(argv[i + 1], 0, 255, &number))
        options.behaviour.interface_number = static_cast<int>(number), i++;
    else if (option == "--alt-setting" && parse_number(argv[i + 1], 0, 255, &number))
        options.behaviour.alt_setting_number = static_cast<int>(number), i++;
    else if (option == "--no-interface")
        options.behaviour.no_interface = true;
    else if (option == "--no-device")
        options.devices = 0;
    else if (option == "--devices" && parse_number(argv[i + 1], 0, 100, &number))
        options.devices = static_cast<int>(number), i++;
    else if (option == "--timeout" && parse_number(argv[i + 1], 0.001, 1e6, &number))
        options.timeout = number, i++;
    else
        return false;
    return true;
}

// Returns 0 to go on, else the exit status to end with.
int parse(int argc, char **argv, tool_options &options)
{
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            std::fputs(usage, stdout);
            return -1;
        }
        if (!apply_option(argv, i, options)) {
            std::fprintf(stderr, "ambx-emu-run: bad option %s\n\n%s", argv[i], usage);
            return 2;
        }
    }
    options.program.assign(argv + i, argv + argc);
    if (options.program.empty()) {
        std::fprintf(stderr, "ambx-emu-run: no program given\n\n%s", usage);
        return 2;
    }
    return 0;
}

const char *behaviour_words(const emu_behaviour &b)
{
    if (b.refuse_configuration)
        return "refuses its configuration";
    if (b.refuse_claim)
        return "refuses to be claimed";
    if (b.refuse_alt_setting)
        return "refuses the alternate setting";
    if (b.answer == emu_answer::silent)
        return "never answers";
    if (b.answer == emu_answer::empty)
        return "answers with empty replies";
    return "answers normally";
}

// --- what the lights receive -----------------------------------------------

struct watched_device {
    emu_device *dev;
    std::string prompt;  // "  lights> " or "  lights 2> "
    size_t shown = 0;    // packets printed so far
};

bool use_colour()
{
    const char *term = std::getenv("TERM");
    return isatty(STDOUT_FILENO) && std::getenv("NO_COLOR") == nullptr && term != nullptr &&
           std::strcmp(term, "dumb") != 0;
}

// For a set-colour message: a name for the plain colours, and a swatch in
// the colour itself on a terminal that shows it.
std::string colour_note(const emu_packet &p)
{
    if (p.bytes.size() != 6 || (p.bytes[1] & 0x0F) != 0x0B || p.bytes[2] != 0x03)
        return "";
    static const struct {
        unsigned rgb;
        const char *name;
    } names[] = {{0x000000, "off"},  {0xFF0000, "red"},    {0x00FF00, "green"},
                 {0x0000FF, "blue"}, {0xFFFFFF, "white"},  {0xFFFF00, "yellow"},
                 {0x00FFFF, "cyan"}, {0xFF00FF, "magenta"}};
    const unsigned rgb = p.bytes[3] << 16 | p.bytes[4] << 8 | p.bytes[5];
    std::string note;
    if (use_colour())
        note = " \033[48;2;" + std::to_string(p.bytes[3]) + ";" + std::to_string(p.bytes[4]) + ";" +
               std::to_string(p.bytes[5]) + "m    \033[0m";
    for (const auto &entry : names)
        if (entry.rgb == rgb)
            note += std::string(" (") + entry.name + ")";
    return note;
}

void show_new_packets(watched_device &w, double run_start)
{
    const std::vector<emu_packet> packets = emu_packets(*w.dev);
    for (; w.shown < packets.size(); w.shown++) {
        const emu_packet &p = packets[w.shown];
        std::printf("%s[%6.3f s] %s%s\n", w.prompt.c_str(), w.dev->start + p.seconds - run_start,
                    emu_describe(p).c_str(), colour_note(p).c_str());
    }
}

void show_all(std::vector<watched_device> &devices, double run_start)
{
    for (watched_device &w : devices)
        show_new_packets(w, run_start);
}

// Prints the program's complete lines; a partial line waits for its end.
void pass_through(std::string &pending, const std::string &chunk)
{
    pending += chunk;
    const size_t end = pending.rfind('\n');
    if (end == std::string::npos)
        return;
    std::fwrite(pending.data(), 1, end + 1, stdout);
    pending.erase(0, end + 1);
}

// Prints what is left of the program's output once it has ended.
void flush_rest(std::string &pending, const std::string &chunk)
{
    pending += chunk;
    if (pending.empty())
        return;
    if (pending.back() != '\n')
        pending += '\n';
    std::fwrite(pending.data(), 1, pending.size(), stdout);
    pending.clear();
}

// --- running ---------------------------------------------------------------

std::vector<watched_device> plug_in(emu_testbed *bed, const tool_options &options)
{
    std::vector<watched_device> devices;
    emu_add_bus(bed, 1);
    for (int i = 0; i < options.devices; i++) {
        emu_device *dev = emu_add_device(bed, 1, 2 + i, 0x0471, 0x083F, options.behaviour);
        if (dev == nullptr)
            break;
        const std::string prompt =
            options.devices == 1 ? "  lights> " : "  lights " + std::to_string(i + 1) + "> ";
        devices.push_back({dev, prompt, 0});
    }
    return devices;
}

void announce(const std::vector<watched_device> &devices, const tool_options &options)
{
    if (devices.empty())
        std::printf("  lights> no light set plugged in (an empty USB bus 001)\n");
    for (const watched_device &w : devices)
        std::printf("%samBX light set on bus 001 device %03d, %s\n", w.prompt.c_str(),
                    w.dev->devnum, behaviour_words(options.behaviour));
    std::fflush(stdout);
}

// Follows the program until it ends, forwarding a stop signal to it once.
process_result follow(process_ptr child, std::vector<watched_device> &devices, double run_start)
{
    std::string pending;
    size_t out_shown = 0, err_shown = 0;
    bool forwarded = false;
    while (process_poll(*child, 20)) {
        // Output wakes the poll at once, so packets already logged came first.
        show_all(devices, run_start);
        pass_through(pending, process_out(*child).substr(out_shown));
        out_shown = process_out(*child).size();
        std::fputs(process_err(*child).c_str() + err_shown, stderr);
        err_shown = process_err(*child).size();
        if (stop_signal != 0 && !forwarded) {
            process_kill(*child, stop_signal);
            forwarded = true;
        }
    }
    process_result result = process_finish(std::move(child));
    show_all(devices, run_start);
    flush_rest(pending, result.out.substr(out_shown));
    std::fputs(result.err.c_str() + err_shown, stderr);
    return result;
}

int summarise(const process_result &result, const std::vector<watched_device> &devices,
              const std::string &program)
{
    size_t received = 0;
    for (const watched_device &w : devices)
        received += w.shown;
    std::printf("  lights> %zu message%s received; %s ", received, received == 1 ? "" : "s",
                program.c_str());
    if (result.timed_out)
        std::printf("was stopped at the time-out after %.1f s\n", result.seconds);
    else if (result.signal != 0)
        std::printf("was ended by signal %d (%s) after %.1f s\n", result.signal,
                    strsignal(result.signal), result.seconds);
    else
        std::printf("exited with status %d after %.1f s\n", result.exit_status, result.seconds);
    return result.signal != 0 ? 128 + result.signal : result.exit_status;
}

// Runs the program with the lights watched; returns the tool's exit status.
int run_program(const tool_options &options, std::vector<watched_device> &devices)
{
    std::signal(SIGINT, on_stop);
    std::signal(SIGTERM, on_stop);
    process_options run;
    run.timeout_seconds = options.timeout;
    run.stdout_terminal = true;  // so that the program's lines come as printed
    const double run_start = now_seconds();
    process_ptr child = emu_run_start(options.program, run);
    if (child == nullptr) {
        std::fprintf(stderr, "ambx-emu-run: cannot start %s\n", options.program[0].c_str());
        return 1;
    }
    const process_result result = follow(std::move(child), devices, run_start);
    const std::string &program = options.program[0];
    return summarise(result, devices, program.substr(program.rfind('/') + 1));
}

}  // namespace

int main(int argc, char **argv)
{
    tool_options options;
    const int parsed = parse(argc, argv, options);
    if (parsed != 0)
        return parsed < 0 ? 0 : parsed;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    emu_testbed_ptr bed(emu_testbed_new());
    if (bed == nullptr) {
        std::fprintf(stderr, "ambx-emu-run: cannot make the emulated USB bus\n");
        return 1;
    }
    std::vector<watched_device> devices = plug_in(bed.get(), options);
    announce(devices, options);
    return run_program(options, devices);
}
