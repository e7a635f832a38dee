// huecast's command line.
#include "huecast/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "huecast/borders.h"

namespace {

// One option with a number: its name and where and in which range it goes.
struct number_option {
    const char *name;
    int huecast_options::*field;
    int min, max;
};

constexpr number_option number_options[] = {
    {"--rate", &huecast_options::rate, RATE_MIN, RATE_MAX},
    {"--sample", &huecast_options::sample, SAMPLE_MIN, SAMPLE_MAX},
    {"--smooth", &huecast_options::smooth_ms, SMOOTH_MIN_MS, SMOOTH_MAX_MS},
};

// A whole decimal number in min .. max; false otherwise.
bool parse_int(const char *text, int min, int max, int *value)
{
    if (!text || *text < '0' || *text > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max)
        return false;
    *value = static_cast<int>(v);
    return true;
}

// The option name of arg up to "=", or all of it: whether it is name.
// *inline_value gets what follows "=", or null.
bool is_option(const char *arg, const char *name, const char **inline_value)
{
    const size_t n = strlen(name);
    if (strncmp(arg, name, n) != 0 || (arg[n] != '\0' && arg[n] != '='))
        return false;
    *inline_value = arg[n] == '=' ? arg + n + 1 : nullptr;
    return true;
}

// Applies the number option at argv[*i] (taking its value, which may be the
// next argument). 1 when applied, 0 when argv[*i] is not one, -1 when its
// value is bad (said on err).
int apply_number(int argc, char **argv, int *i, huecast_options &o, FILE *err)
{
    for (const number_option &n : number_options) {
        const char *value = nullptr;
        if (!is_option(argv[*i], n.name, &value))
            continue;
        if (!value && *i + 1 < argc)
            value = argv[++*i];
        if (parse_int(value, n.min, n.max, &(o.*n.field)))
            return 1;
        fprintf(err, "huecast: %s needs a whole number from %d to %d\n", n.name, n.min, n.max);
        return -1;
    }
    return 0;
}

}  // namespace

options_verdict parse_huecast_options(int argc, char **argv, huecast_options &o, FILE *err)
{
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (!strcmp(arg, "--help") || !strcmp(arg, "-h"))
            return options_verdict::help;
        if (!strcmp(arg, "--version"))
            return options_verdict::version;
        if (!strcmp(arg, "--borders")) {
            o.borders = true;
            continue;
        }
        const int applied = apply_number(argc, argv, &i, o, err);
        if (applied < 0)
            return options_verdict::bad;
        if (applied == 0) {
            fprintf(err, "huecast: unknown option: %s\n", arg);
            return options_verdict::bad;
        }
    }
    if (o.smooth_ms > 0 && o.rate == 0)
        o.rate = SMOOTH_DEFAULT_RATE;
    return options_verdict::run;
}

bool any_mode(const huecast_options &o)
{
    return o.rate > 0 || o.sample > 1 || o.borders || o.smooth_ms > 0;
}

void print_huecast_usage(FILE *out)
{
    fprintf(out,
            "usage: huecast [--rate N] [--sample N] [--borders] [--smooth MS]\n"
            "       huecast --help | --version\n"
            "\n"
            "Sets the five amBX lights to the colours of five vertical zones of the\n"
            "picture the box shows. Without options every pixel of every frame counts,\n"
            "as fast as the picture and the light set allow.\n"
            "\n"
            "  --rate N      at most N light frames a second (%d to %d); between frames\n"
            "                huecast sleeps, and a stop signal ends the sleep at once\n"
            "  --sample N    average every N-th pixel of every N-th row (%d to %d); only\n"
            "                those pixels are read from the decoder and converted\n"
            "  --borders     leave black bars out of the zones (letterbox, pillarbox): a\n"
            "                pixel is black when each of its bytes is at most %d (of 255);\n"
            "                bars are measured on up to %d points across each line, count\n"
            "                only as far as the opposite bar reaches, and at most a third\n"
            "                of the picture; bars are taken, or widened, once they have\n"
            "                held %d frames in a row, and narrowed or dropped once the\n"
            "                picture has reached past them for %d frames in a row; an\n"
            "                all-black picture changes nothing\n"
            "  --smooth MS   the lights move to each new colour in even steps over MS\n"
            "                milliseconds (%d to %d), one light frame per output period of\n"
            "                --rate (%d a second without it); a capture that takes longer\n"
            "                than a period delays that light frame, and the steps missed\n"
            "                meanwhile are skipped, so the colour still arrives MS after\n"
            "                it was first seen\n"
            "  --help        this text\n"
            "  --version     the version\n",
            RATE_MIN, RATE_MAX, SAMPLE_MIN, SAMPLE_MAX, BORDER_BLACK_MAX, BORDER_PROBES,
            BORDER_TAKE_FRAMES, BORDER_DROP_FRAMES, SMOOTH_MIN_MS, SMOOTH_MAX_MS,
            SMOOTH_DEFAULT_RATE);
}
