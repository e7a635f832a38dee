// huecast-demo: the real, unchanged huecast at work without a set-top box or
// a light set. It runs in a simulated box of the chosen chipset with the
// emulated amBX light set attached, while a simulated decoder plays a moving
// picture; the demo shows the picture and what the five lights receive.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "demo/decoder.h"
#include "demo/huecast.h"
#include "demo/options.h"
#include "demo/png.h"
#include "demo/source.h"
#include "demo/view.h"
#include "demo/watch.h"
#include "sim/box/stb_box.h"
#include "sim/common/util.h"

namespace {

constexpr int STRIP_ROWS = 8;
constexpr int TTY_THUMB_WIDTH = 32;
constexpr double TTY_REDRAW_SECONDS = 0.04;
constexpr int HUECAST_LINES_SHOWN = 12;  // in text mode; the rest are counted
constexpr double FIRST_LIGHTS_SECONDS = 10;

volatile sig_atomic_t stop_requested = 0;

void on_stop_signal(int)
{
    stop_requested = 1;
}

struct box_deleter {
    void operator()(stb_box *box) const { stb_box_free(box); }
};

// The decoder's side: the picture on show and what it cost to put there.
struct shown_picture {
    picture_source source;
    yuv_picture picture;
    std::string label;
    int position = 0;
    double shown_at = 0;  // when the frame now shown was wholly in place
    long frames_shown = 0;
    double decoder_seconds = 0;  // drawing and writing them
};

// huecast's progress, sampled every tenth of a second for the last second.
struct rate_sample {
    double t;
    long frames;
    double cpu;
};

// What a person gets: the live view or lines of text, the CSV log, the PNG
// strip.
struct report {
    bool tty = false;
    thumb tty_thumb;
    int drawn_lines = 0;
    double next_redraw = 0;
    std::unique_ptr<FILE, file_closer> csv;
    std::vector<strip_row> strip;
    bool sample_pending = false;
};

// Everything of one run. The members are destroyed in reverse order: huecast
// ends before the box and the light set go.
struct demo_run {
    demo_options opts;
    std::unique_ptr<stb_box, box_deleter> box;
    huecast_run huecast;
    shown_picture shown;
    light_watch lights;
    std::deque<rate_sample> samples;
    report out;
    double t0 = 0;  // when the picture started moving
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

// --- per frame ------------------------------------------------------------------

// The log row and strip sample of the frame now shown, at the end of its
// turn: the colours of the last light frame huecast took from it, if one
// was taken wholly after the frame was in place, else the lights as they are.
void close_frame(demo_run &run)
{
    const shown_picture &s = run.shown;
    if (s.source.drawn < 0)
        return;
    const bool taken = last_frame_taken_since(run.lights, s.shown_at);
    rgb colours[5];
    zone_colours(run, colours, taken);
    if (run.out.csv) {
        fprintf(run.out.csv.get(), "%.3f,%ld,%s,%d,%ld,%d", s.source.drawn / s.source.fps,
                s.source.drawn, s.label.c_str(), s.position, light_frames(run.lights), taken);
        for (const rgb &c : colours)
            fprintf(run.out.csv.get(), ",%s", hex(c).c_str() + 1);
        fputc('\n', run.out.csv.get());
    }
    if (run.out.sample_pending)
        std::copy(colours, colours + 5, run.out.strip.back().lights);
    run.out.sample_pending = false;
}

// Whether frame n is the next one for the strip: eight evenly over the run,
// from its start.
bool strip_wants(const demo_run &run, long n)
{
    const double t = n / run.shown.source.fps;
    const size_t k = run.out.strip.size();
    return k < STRIP_ROWS && t >= k * run.opts.seconds / STRIP_ROWS;
}

// The strip sample and the terminal's thumbnail of the picture just shown.
void sample_frame(demo_run &run, long n)
{
    if (strip_wants(run, n)) {
        run.out.strip.push_back({thumbnail(run.shown.picture, STRIP_THUMB_WIDTH), {}});
        run.out.sample_pending = true;
    }
    if (run.out.tty)
        run.out.tty_thumb = thumbnail(run.shown.picture, TTY_THUMB_WIDTH);
}

bool show_frame(demo_run &run, long n, std::string *error)
{
    shown_picture &s = run.shown;
    const double started = now_seconds();
    if (!source_draw(s.source, n, s.picture, &s.label, &s.position, error))
        return false;
    const int r = decoder_show(run.box.get(), run.opts.chipset->chipset, s.picture);
    s.shown_at = now_seconds();
    s.decoder_seconds += s.shown_at - started;
    s.frames_shown++;
    if (r != 0) {
        *error = std::string("the decoder cannot write the picture: ") + strerror(-r);
        return false;
    }
    sample_frame(run, n);
    return true;
}

// --- huecast's output ---------------------------------------------------------------

// In text mode, huecast's first lines are shown as they come.
void show_lines(const demo_run &run, const std::vector<std::string> &lines)
{
    long number = run.huecast.lines - static_cast<long>(lines.size());
    for (const std::string &line : lines) {
        if (run.out.tty)
            return;
        if (++number <= HUECAST_LINES_SHOWN)
            printf("  huecast> %s\n", line.c_str());
        else if (number == HUECAST_LINES_SHOWN + 1)
            printf("  huecast> ... (its further lines are counted, not shown)\n");
    }
}

void follow_huecast(demo_run &run, int wait_ms)
{
    std::vector<std::string> lines;
    huecast_follow(run.huecast, wait_ms, &lines);
    show_lines(run, lines);
}

// --- what a person sees -------------------------------------------------------------

void note_progress(demo_run &run)
{
    const double t = elapsed(run);
    if (!run.samples.empty() && t < run.samples.back().t + 0.1)
        return;
    run.samples.push_back({t, light_frames(run.lights), huecast_cpu_seconds(run.huecast)});
    while (run.samples.size() > 2 && run.samples[1].t < t - 1)
        run.samples.pop_front();
}

view_state current_view(const demo_run &run)
{
    view_state s;
    s.title = demo_title(run.opts);
    s.huecast_said = run.huecast.last_line;
    s.elapsed = elapsed(run);
    s.seconds = run.opts.seconds;
    s.frame = run.shown.source.drawn;
    s.decoder_fps = run.shown.source.fps;
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
    if (run.out.drawn_lines > 0)
        screen = "\x1b[" + std::to_string(run.out.drawn_lines) + "F";
    screen += tty_view(s, run.out.tty_thumb);
    run.out.drawn_lines = tty_view_lines(run.out.tty_thumb);
    fwrite(screen.data(), 1, screen.size(), stdout);
    fflush(stdout);
}

void show(demo_run &run)
{
    if (elapsed(run) < run.out.next_redraw)
        return;
    if (run.out.tty) {
        redraw(run);
        run.out.next_redraw += TTY_REDRAW_SECONDS;
    } else {
        printf("%s\n", text_line(current_view(run)).c_str());
        fflush(stdout);
        run.out.next_redraw += 1;
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
    run.shown.picture = black_picture(run.opts.width, run.opts.height);
    return source_open(run.opts, run.shown.source, error) && show_frame(run, 0, error);
}

bool open_csv(demo_run &run, std::string *error)
{
    if (run.opts.csv.empty())
        return true;
    run.out.csv.reset(fopen(run.opts.csv.c_str(), "w"));
    if (!run.out.csv) {
        *error = run.opts.csv + ": " + strerror(errno);
        return false;
    }
    fputs("seconds,frame,scene,position,light_frames,taken,light0,light2,light3,light4,light1\n",
          run.out.csv.get());
    return true;
}

// The picture starts moving once huecast has opened the light set and sent
// the first frame's colours (or has not within a few seconds).
void await_first_lights(demo_run &run)
{
    const double until = now_seconds() + FIRST_LIGHTS_SECONDS;
    while (!stop_requested && !run.huecast.ended && light_frames(run.lights) == 0 &&
           now_seconds() < until) {
        follow_huecast(run, 20);
        light_watch_update(run.lights, *run.huecast.dev);
    }
    run.t0 = now_seconds();
}

// Runs until the time is up, a signal comes, or huecast ends.
bool play(demo_run &run, std::string *error)
{
    const picture_source &source = run.shown.source;
    await_first_lights(run);
    while (!stop_requested && !run.huecast.ended && elapsed(run) < run.opts.seconds) {
        const long due = static_cast<long>(elapsed(run) * source.fps);
        if (due > source.drawn) {
            light_watch_update(run.lights, *run.huecast.dev);
            close_frame(run);
            if (!show_frame(run, due, error))
                return false;
        }
        light_watch_update(run.lights, *run.huecast.dev);
        note_progress(run);
        show(run);
        const double next = (source.drawn + 1) / source.fps - elapsed(run);
        follow_huecast(run, std::max(1, static_cast<int>(std::min(next, 0.04) * 1000)));
    }
    light_watch_update(run.lights, *run.huecast.dev);
    close_frame(run);
    return true;
}

// Stops huecast; returns its CPU seconds, read just before.
double stop_huecast(demo_run &run)
{
    const double cpu = huecast_cpu_seconds(run.huecast);
    const bool ended_by_itself = run.huecast.ended;
    std::vector<std::string> lines;
    const process_result result = huecast_stop(run.huecast, &lines);
    show_lines(run, lines);
    if (ended_by_itself && result.exit_status >= 0)
        printf("huecast ended by itself with status %d.\n", result.exit_status);
    return cpu;
}

void print_summary(const demo_run &run, double t, double cpu)
{
    const long frames = light_frames(run.lights);
    const shown_picture &s = run.shown;
    printf("\nhuecast-demo: %.1f s of %s\n", t, demo_title(run.opts).c_str());
    printf("  decoder  %ld frames shown at %.0f frames/s, %.1f ms to draw and write each\n",
           s.frames_shown, s.source.fps, 1000 * s.decoder_seconds / s.frames_shown);
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
    const huecast_run &h = run.huecast;
    if (h.lines > HUECAST_LINES_SHOWN || run.out.tty || frames == 0)
        printf("  huecast printed %ld lines; the last: %s\n", h.lines, h.last_line.c_str());
}

void write_strip(const demo_run &run)
{
    std::string error;
    if (png_write_strip(run.opts.png, run.out.strip, &error))
        printf("  picture  %s: %zu sampled frames, each with the five lights' colours beside it\n",
               run.opts.png.c_str(), run.out.strip.size());
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

// Everything before the picture moves: the log, the box, huecast.
bool set_up(demo_run &run, std::string *error)
{
    if (!stb_box_possible(error))
        return false;
    return open_csv(run, error) && make_box(run, error) &&
           huecast_start(run.huecast, run.box.get(), run.opts.huecast, run.opts.huecast_options,
                         error);
}

int run_demo(demo_run &run)
{
    std::string error;
    if (!set_up(run, &error)) {
        fprintf(stderr, "huecast-demo: %s\n", error.c_str());
        return 1;
    }
    if (run.out.tty)
        fputs("\x1b[?25l", stdout);  // no cursor blinking through the view
    else
        printf("huecast-demo: %s, for %.0f s\n", demo_title(run.opts).c_str(), run.opts.seconds);
    run.out.next_redraw = run.out.tty ? 0 : 1;
    const bool played = play(run, &error);
    const bool huecast_ran = !run.huecast.ended;  // until we stopped it
    const double t = elapsed(run), cpu = stop_huecast(run);
    if (run.out.tty)
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
    const int status = parse_options(argc, argv, run.opts);
    if (status != 0)
        return status < 0 ? 0 : status;
    run.out.tty = isatty(STDOUT_FILENO) && !run.opts.text;
    catch_stop_signals();
    return run_demo(run);
}
