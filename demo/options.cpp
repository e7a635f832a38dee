// huecast-demo's command line.
#include "demo/options.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <sstream>

#include "sim/common/util.h"

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
    "  --huecast-options \"...\"\n"
    "                   huecast's own options, e.g. \"--rate 25 --sample 4 --borders\"\n"
    "                   (default: none, its exact mode)\n"
    "  -h, --help       this text\n";

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

// The words of text, split at blanks, appended to words; true.
bool split_words(const char *text, std::vector<std::string> *words)
{
    std::istringstream in(text);
    for (std::string word; in >> word;)
        words->push_back(word);
    return true;
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
    if (opt == "--huecast-options")
        return split_words(value, &o.huecast_options);
    std::string *path = opt == "--y4m"       ? &o.y4m
                        : opt == "--png"     ? &o.png
                        : opt == "--csv"     ? &o.csv
                        : opt == "--huecast" ? &o.huecast
                                             : nullptr;
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

}  // namespace

int parse_options(int argc, char **argv, demo_options &o)
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

std::string demo_title(const demo_options &o)
{
    const std::string what =
        o.y4m.empty() ? "scene " + scene_names()[static_cast<size_t>(o.scene)] : o.y4m;
    std::string options;
    for (const std::string &word : o.huecast_options)
        options += " " + word;
    return std::string("the real huecast") + options + " on a simulated " + o.chipset->name +
           " box (" + std::to_string(o.width) + "x" + std::to_string(o.height) + "), " + what;
}
