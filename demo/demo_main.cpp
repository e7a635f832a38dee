// huecast-demo: the real, unchanged huecast at work without a set-top box or
// a light set. It runs in a simulated box of the chosen chipset with the
// emulated amBX light set attached, while a simulated decoder plays a moving
// picture; the demo shows the picture and what the five lights receive.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "demo_decoder.h"
#include "demo_png.h"
#include "demo_scene.h"
#include "demo_view.h"
#include "demo_watch.h"
#include "demo_y4m.h"
#include "emu_usb.h"
#include "process.h"
#include "stb_box.h"
#include "util.h"

namespace {

const char usage[] =
    "usage: huecast-demo [OPTIONS]\n"
    "\n"
    "Runs the real huecast in a simulated set-top box, with an emulated amBX light\n"
    "set, while a simulated video decoder plays a moving picture. Shows the picture\n"
    "and the five lights as huecast sets them, huecast's light frames per second and\n"
    "its CPU time per frame, and writes a PNG strip of sampled frames and lights.\n"
    "Needs root (the box is a private mount namespace).\n"
    "\n"
    "  --chipset NAME   the box: pallas (default), vulcan, brcm7401, brcm4380, xilleon\n"
    "  --scene NAME     bars, sweep, flash, letterbox, or cycle (default: all in turn)\n"
    "  --y4m FILE       play a YUV 4:2:0 .y4m video instead, at its frame rate, looping\n"
    "  --seconds N      how long to run (default 15)\n"
    "  --fps N          frames a second of the built-in scenes (default 25)\n"
    "  --size WxH       the decoded picture (default: the box's largest, 720x576 on\n"
    "                   Pallas and Vulcan, 1920x1080 on the others)\n"
    "  --png PATH       where the strip goes (default: build/huecast-demo.png)\n"
    "  --csv PATH       also log, for every decoder frame, the lights it gave\n"
    "  --text           plain lines of text even on a terminal\n"
    "  --huecast PATH   the huecast to run (default: the one beside this program)\n"
    "  -h, --help       this text\n";

constexpr double SCENE_FPS = 25;
constexpr int STRIP_ROWS = 8;
constexpr int TTY_THUMB_WIDTH = 32;
constexpr double TTY_REDRAW_SECONDS = 0.04;
constexpr int HUECAST_LINES_SHOWN = 12;
constexpr double FIRST_LIGHTS_SECONDS = 10;  // in text mode; the rest are counted

volatile sig_atomic_t stop_requested = 0;

void on_stop_signal(int)
{
    stop_requested = 1;
}

struct demo_options {
    const chipset_info *chipset = &chipset_of(demo_chipset::pallas);
    scene_kind scene = scene_kind::cycle;
    std::string y4m, png, csv, huecast;
    double seconds = 15;
    double fps = SCENE_FPS;     // of the built-in scenes
    int width = 0, height = 0;  // 0: the box's largest
    bool text = false;
};

// --- options ------------------------------------------------------------------

std::string exe_dir()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string exe = n > 0 ? std::string(path, static_cast<size_t>(n)) : ".";
    return exe.substr(0, exe.rfind('/'));
}

bool parse_size(const char *text, int *width, int *height)
{
    char x = 0, extra = 0;
    return text && sscanf(text, "%d%c%d%c", width, &x, height, &extra) == 3 && x == 'x';
}

// Applies option argv[i] (and its value); false when it is unknown or bad.
bool apply_option(char **argv, int &i, demo_options &o)
{
    const std::string opt = argv[i];
    const char *value = argv[i + 1];
    if (opt == "--text")
        return o.text = true;
    if (!value)
        return false;
    i++;
    if (opt == "--chipset")
        return (o.chipset = chipset_by_flag(value)) != nullptr;
    if (opt == "--scene")
        return scene_by_name(value, &o.scene);
    if (opt == "--seconds")
        return parse_number(value, 0.1, 24 * 3600, &o.seconds);
    if (opt == "--fps")
        return parse_number(value, 1, 60, &o.fps);
    if (opt == "--size")
        return parse_size(value, &o.width, &o.height);
    std::string *path = opt == "--y4m" ? &o.y4m : opt == "--png" ? &o.png
                        : opt == "--csv" ? &o.csv : opt == "--huecast" ? &o.huecast : nullptr;
    return path && (*path = value, true);
}

void fill_defaults(demo_options &o)
{
    const std::string dir = exe_dir();
    if (o.width == 0)
        o.width = o.chipset->max_width, o.height = o.chipset->max_height;
    if (o.png.empty())
        o.png = dir.substr(0, dir.rfind('/')) + "/huecast-demo.png";
    if (o.huecast.empty())
        o.huecast = dir + "/huecast";
}

// 0 to go on, else the exit status to end with.
int parse(int argc, char **argv, demo_options &o)
{
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "-h") || !strcmp(argv[i], "--help")) {
            fputs(usage, stdout);
            return -1;
        }
        if (!apply_option(argv, i, o)) {
            fprintf(stderr, "huecast-demo: bad option or value: %s\n\n%s", argv[i], usage);
            return 2;
        }
    }
    fill_defaults(o);
    const std::string problem = chipset_size_problem(o.chipset->chipset, o.width, o.height);
    if (!problem.empty())
        fprintf(stderr, "huecast-demo: --size %dx%d: %s\n", o.width, o.height, problem.c_str());
    return problem.empty() ? 0 : 2;
}

// --- the moving picture ---------------------------------------------------------

struct picture_source {
    scene_kind scene = scene_kind::cycle;
    bool from_file = false;
    y4m_video video;
    double fps = SCENE_FPS;
    long drawn = -1;  // the frame number now in the picture
};

bool source_open(const demo_options &o, picture_source &s, std::string *error)
{
    s.scene = o.scene;
    s.fps = o.fps;
    s.from_file = !o.y4m.empty();
    if (!s.from_file)
        return true;
    if (!y4m_open(o.y4m, &s.video, error))
        return false;
    s.fps = std::min(60.0, std::max(1.0, s.video.fps));
    return true;
}

// Draws frame n (n above the last one drawn) into p. Gives what the log
// names it by: the scene and its position, or the file's frame number.
bool source_draw(picture_source &s, long n, yuv_picture &p, std::string *label, int *position,
                 std::string *error)
{
    *label = s.from_file ? "y4m" : scene_names()[static_cast<size_t>(scene_at(s.scene, n / s.fps))];
    *position = static_cast<int>(n);
    if (!s.from_file) {
        *position = scene_draw(s.scene, n / s.fps, p);
    } else {
        for (; s.drawn < n; s.drawn++)  // frames the decoder fell behind on are skipped
            if (!y4m_next(&s.video, error))
                return false;
        y4m_scale(s.video, p);
    }
    s.drawn = n;
    return true;
}

// --- huecast in the box ---------------------------------------------------------

struct box_deleter {
    void operator()(stb_box *box) const { stb_box_free(box); }
};

struct rate_sample {
    double t;
    long frames;
    double cpu;
};

// Everything of one run. The members are destroyed in reverse order: huecast
// ends before the box and the light set go.
struct demo_run {
    demo_options opts;
    std::unique_ptr<stb_box, box_deleter> box;
    emu_testbed_ptr bed;
    emu_device *dev = nullptr;
    process_ptr child;
    size_t out_taken = 0;     // bytes of huecast's stdout taken in
    size_t err_taken = 0;     // and of its stderr
    bool huecast_ended = false;

    picture_source source;
    yuv_picture picture;
    std::string label;
    int position = 0;
    double shown_at = 0;  // when the frame now shown was wholly in place
    long frames_shown = 0;
    double decoder_seconds = 0;  // drawing and writing them
    double t0 = 0;  // when the picture started moving

    light_watch lights;
    std::deque<rate_sample> samples;  // the last second or so
    std::string pending_out;          // huecast's output, not yet a whole line
    std::string last_line;
    long lines = 0;

    std::unique_ptr<FILE, file_closer> csv;
    std::vector<strip_row> strip;
    bool sample_pending = false;
    thumb tty_thumb;
    bool tty = false;
    int drawn_lines = 0;
    double next_redraw = 0;
};

double elapsed(const demo_run &run)
{
    return now_seconds() - run.t0;
}

// The lights in picture zone order, as a person sees them: as they are, or
// as the last complete light frame set them.
void zone_colours(const demo_run &run, rgb out[5], bool last_frame = false)
{
    for (int i = 0; i < 5; i++)
        out[i] = light_colour(run.lights, zone_lights[i], run.opts.chipset->bgr, last_frame);
}

std::string title(const demo_run &run)
{
    const demo_options &o = run.opts;
    const std::string what = o.y4m.empty() ? "scene " + scene_names()[static_cast<size_t>(o.scene)]
                                           : o.y4m;
    return std::string("the real huecast on a simulated ") + o.chipset->name + " box (" +
           std::to_string(o.width) + "x" + std::to_string(o.height) + "), " + what;
}

// --- per frame ------------------------------------------------------------------

// The log row and strip sample of the frame now shown, at the end of its
// turn: the colours of the last light frame huecast took from it, if one
// was taken wholly after the frame was in place, else the lights as they are.
void close_frame(demo_run &run)
{
    if (run.source.drawn < 0)
        return;
    const bool taken = last_frame_taken_since(run.lights, run.shown_at);
    rgb colours[5];
    zone_colours(run, colours, taken);
    if (run.csv) {
        fprintf(run.csv.get(), "%.3f,%ld,%s,%d,%ld,%d", run.source.drawn / run.source.fps,
                run.source.drawn, run.label.c_str(), run.position, light_frames(run.lights), taken);
        for (const rgb &c : colours)
            fprintf(run.csv.get(), ",%s", hex(c).c_str() + 1);
        fputc('\n', run.csv.get());
    }
    if (run.sample_pending)
        std::copy(colours, colours + 5, run.strip.back().lights);
    run.sample_pending = false;
}

// Whether frame n is the next one for the strip: eight evenly over the run,
// from its start.
bool strip_wants(const demo_run &run, long n)
{
    const double t = n / run.source.fps;
    const size_t k = run.strip.size();
    return k < STRIP_ROWS && t >= k * run.opts.seconds / STRIP_ROWS;
}

bool show_frame(demo_run &run, long n, std::string *error)
{
    const double started = now_seconds();
    if (!source_draw(run.source, n, run.picture, &run.label, &run.position, error))
        return false;
    const int r = decoder_show(run.box.get(), run.opts.chipset->chipset, run.picture);
    run.shown_at = now_seconds();
    run.decoder_seconds += run.shown_at - started;
    run.frames_shown++;
    if (r != 0) {
        *error = std::string("the decoder cannot write the picture: ") + strerror(-r);
        return false;
    }
    if (strip_wants(run, n)) {
        run.strip.push_back({thumbnail(run.picture, STRIP_THUMB_WIDTH), {}});
        run.sample_pending = true;
    }
    if (run.tty)
        run.tty_thumb = thumbnail(run.picture, TTY_THUMB_WIDTH);
    return true;
}

// --- huecast's output ---------------------------------------------------------------

void take_line(demo_run &run, const std::string &line)
{
    run.lines++;
    run.last_line = line;
    if (run.tty)
        return;
    if (run.lines <= HUECAST_LINES_SHOWN)
        printf("  huecast> %s\n", line.c_str());
    else if (run.lines == HUECAST_LINES_SHOWN + 1)
        printf("  huecast> ... (its further lines are counted, not shown)\n");
}

void take_output(demo_run &run, const std::string &chunk)
{
    run.pending_out += chunk;
    size_t end;
    while ((end = run.pending_out.find('\n')) != std::string::npos) {
        take_line(run, run.pending_out.substr(0, end));
        run.pending_out.erase(0, end + 1);
    }
}

// Waits up to wait_ms for huecast's output; notes when it has ended.
void follow_huecast(demo_run &run, int wait_ms)
{
    if (!process_poll(*run.child, wait_ms))
        run.huecast_ended = true;
    const std::string &out = process_out(*run.child), &err = process_err(*run.child);
    take_output(run, out.substr(run.out_taken) + err.substr(run.err_taken));
    run.out_taken = out.size();
    run.err_taken = err.size();
}

// --- what a person sees -------------------------------------------------------------

double cpu_seconds(const demo_run &run)
{
    return process_cpu_seconds(process_pid(*run.child));
}

// Keeps a sample of huecast's progress every tenth of a second, for the
// last second or so.
void note_progress(demo_run &run)
{
    const double t = elapsed(run);
    if (!run.samples.empty() && t < run.samples.back().t + 0.1)
        return;
    run.samples.push_back({t, light_frames(run.lights), cpu_seconds(run)});
    while (run.samples.size() > 2 && run.samples[1].t < t - 1)
        run.samples.pop_front();
}

view_state current_view(const demo_run &run)
{
    view_state s;
    s.title = title(run);
    s.huecast_said = run.last_line;
    s.elapsed = elapsed(run);
    s.seconds = run.opts.seconds;
    s.frame = run.source.drawn;
    s.decoder_fps = run.source.fps;
    zone_colours(run, s.lights);
    s.light_frames = light_frames(run.lights);
    if (run.samples.size() < 2)
        return s;
    const rate_sample &a = run.samples.front(), &b = run.samples.back();
    s.huecast_fps = (b.frames - a.frames) / (b.t - a.t);
    if (a.cpu >= 0 && b.cpu >= 0 && b.frames > a.frames)
        s.cpu_ms = 1000 * (b.cpu - a.cpu) / static_cast<double>(b.frames - a.frames);
    return s;
}

void redraw(demo_run &run)
{
    const view_state s = current_view(run);
    std::string screen;
    if (run.drawn_lines > 0)
        screen = "\x1b[" + std::to_string(run.drawn_lines) + "F";
    screen += tty_view(s, run.tty_thumb);
    run.drawn_lines = tty_view_lines(run.tty_thumb);
    fwrite(screen.data(), 1, screen.size(), stdout);
    fflush(stdout);
}

void show(demo_run &run)
{
    if (elapsed(run) < run.next_redraw)
        return;
    if (run.tty) {
        redraw(run);
        run.next_redraw += TTY_REDRAW_SECONDS;
    } else {
        printf("%s\n", text_line(current_view(run)).c_str());
        fflush(stdout);
        run.next_redraw += 1;
    }
}

// --- the run ------------------------------------------------------------------------

bool make_box(demo_run &run, std::string *error)
{
    run.box.reset(stb_box_make());
    int r = run.box ? decoder_prepare(run.box.get(), run.opts.chipset->chipset) : -errno;
    if (r != 0) {
        *error = std::string("cannot make the simulated box: ") + strerror(-r);
        return false;
    }
    run.picture = black_picture(run.opts.width, run.opts.height);
    return source_open(run.opts, run.source, error) && show_frame(run, 0, error);
}

bool start_huecast(demo_run &run, std::string *error)
{
    run.bed.reset(emu_testbed_new());
    run.dev = run.bed ? emu_add_device(run.bed.get(), 1, 2, 0x0471, 0x083F) : nullptr;
    if (!run.dev) {
        *error = "cannot make the emulated light set (umockdev)";
        return false;
    }
    process_options options;
    options.timeout_seconds = 0;
    options.setup = stb_box_setup(run.box.get());
    run.child = emu_run_start({run.opts.huecast}, options);
    if (!run.child)
        *error = "cannot start " + run.opts.huecast;
    return run.child != nullptr;
}

bool open_csv(demo_run &run, std::string *error)
{
    if (run.opts.csv.empty())
        return true;
    run.csv.reset(fopen(run.opts.csv.c_str(), "w"));
    if (!run.csv) {
        *error = run.opts.csv + ": " + strerror(errno);
        return false;
    }
    fputs("seconds,frame,scene,position,light_frames,taken,light0,light2,light3,light4,light1\n",
          run.csv.get());
    return true;
}

// The picture starts moving once huecast has opened the light set and sent
// the first frame's colours (or has not within a few seconds).
void await_first_lights(demo_run &run)
{
    const double until = now_seconds() + FIRST_LIGHTS_SECONDS;
    while (!stop_requested && !run.huecast_ended && light_frames(run.lights) == 0 &&
           now_seconds() < until) {
        follow_huecast(run, 20);
        light_watch_update(run.lights, *run.dev);
    }
    run.t0 = now_seconds();
}

// Runs until the time is up, a signal comes, or huecast ends.
bool play(demo_run &run, std::string *error)
{
    await_first_lights(run);
    while (!stop_requested && !run.huecast_ended && elapsed(run) < run.opts.seconds) {
        const long due = static_cast<long>(elapsed(run) * run.source.fps);
        if (due > run.source.drawn) {
            light_watch_update(run.lights, *run.dev);
            close_frame(run);
            if (!show_frame(run, due, error))
                return false;
        }
        light_watch_update(run.lights, *run.dev);
        note_progress(run);
        show(run);
        const double next = (run.source.drawn + 1) / run.source.fps - elapsed(run);
        follow_huecast(run, std::max(1, static_cast<int>(std::min(next, 0.04) * 1000)));
    }
    light_watch_update(run.lights, *run.dev);
    close_frame(run);
    return true;
}

// Stops huecast; returns its CPU seconds, read just before.
double stop_huecast(demo_run &run)
{
    const double cpu = cpu_seconds(run);
    const bool ended_by_itself = run.huecast_ended;
    process_kill(*run.child, SIGTERM);
    for (int i = 0; i < 100 && !run.huecast_ended; i++)
        follow_huecast(run, 20);
    process_kill(*run.child, SIGKILL);  // if two seconds were not enough
    const process_result result = process_finish(std::move(run.child));
    take_output(run, result.out.substr(run.out_taken) + result.err.substr(run.err_taken));
    if (ended_by_itself && result.exit_status >= 0)
        printf("huecast ended by itself with status %d.\n", result.exit_status);
    return cpu;
}

void print_summary(const demo_run &run, double t, double cpu)
{
    const long frames = light_frames(run.lights);
    printf("\nhuecast-demo: %.1f s of %s\n", t, title(run).c_str());
    printf("  decoder  %ld frames shown at %.0f frames/s, %.1f ms to draw and write each\n",
           run.frames_shown, run.source.fps, 1000 * run.decoder_seconds / run.frames_shown);
    printf("  huecast  %ld light frames, %.1f light frames/s", frames, t > 0 ? frames / t : 0);
    if (cpu >= 0 && frames > 0)
        printf(", %.2f ms CPU per frame (%.2f s CPU in all)", 1000 * cpu / frames, cpu);
    printf("\n  lights   ");
    rgb colours[5];
    zone_colours(run, colours);
    for (int i = 0; i < 5; i++)
        printf("%d %s  ", zone_lights[i], hex(colours[i]).c_str());
    printf("(left to right, in the order of the picture zones they show)\n");
    if (frames == 0)
        printf("  huecast sent no light frames; its last line may tell why\n");
    if (run.lines > HUECAST_LINES_SHOWN || run.tty || frames == 0)
        printf("  huecast printed %ld lines; the last: %s\n", run.lines, run.last_line.c_str());
}

void write_strip(const demo_run &run)
{
    std::string error;
    if (png_write_strip(run.opts.png, run.strip, &error))
        printf("  picture  %s: %zu sampled frames, each with the five lights' colours beside it\n",
               run.opts.png.c_str(), run.strip.size());
    else
        printf("  picture  not written: %s\n", error.c_str());
}

void catch_stop_signals()
{
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaction(s, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int run_demo(demo_run &run)
{
    std::string error, why;
    if (!stb_box_possible(&why)) {
        fprintf(stderr, "huecast-demo: %s\n", why.c_str());
        return 1;
    }
    if (!open_csv(run, &error) || !make_box(run, &error) || !start_huecast(run, &error)) {
        fprintf(stderr, "huecast-demo: %s\n", error.c_str());
        return 1;
    }
    if (run.tty)
        fputs("\x1b[?25l", stdout);  // no cursor blinking through the view
    else
        printf("huecast-demo: %s, for %.0f s\n", title(run).c_str(), run.opts.seconds);
    run.next_redraw = run.tty ? 0 : 1;
    const bool played = play(run, &error);
    const bool huecast_ran = !run.huecast_ended;  // until we stopped it
    const double t = elapsed(run), cpu = stop_huecast(run);
    if (run.tty)
        fputs("\x1b[?25h", stdout);
    print_summary(run, t, cpu);
    write_strip(run);
    if (!played)
        fprintf(stderr, "huecast-demo: %s\n", error.c_str());
    return played && huecast_ran && light_frames(run.lights) > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    demo_run run;
    const int status = parse(argc, argv, run.opts);
    if (status != 0)
        return status < 0 ? 0 : status;
    run.tty = isatty(STDOUT_FILENO) && !run.opts.text;
    catch_stop_signals();
    return run_demo(run);
}
