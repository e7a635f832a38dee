// huecast's modes in-process: the command line, zones over sampled
// pictures, black bars and their hold, smoothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "huecast/borders.h"
#include "huecast/options.h"
#include "huecast/smooth.h"
#include "huecast/zones.h"

namespace {

using image_bytes = std::vector<unsigned char>;

// --- the command line --------------------------------------------------------

struct options_row {
    std::vector<const char *> args;
    options_verdict verdict;
    int rate = 0, sample = 1, smooth_ms = 0;
    bool borders = false;
};

class Options : public testing::TestWithParam<options_row> {};

// catches: an out-of-range, malformed or missing value taken (or a good one
// refused), an unknown option or stray argument let through, the "="
// form or the --smooth default rate lost.
TEST_P(Options, Parsed)
{
    const options_row &row = GetParam();
    std::vector<char *> argv = {const_cast<char *>("huecast")};
    for (const char *a : row.args)
        argv.push_back(const_cast<char *>(a));
    argv.push_back(nullptr);
    huecast_options o;
    FILE *err = tmpfile();
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(parse_huecast_options(static_cast<int>(argv.size()) - 1, argv.data(), o, err),
              row.verdict);
    const bool said = ftell(err) > 0;
    fclose(err);
    EXPECT_EQ(said, row.verdict == options_verdict::bad) << "a reason exactly when refused";
    if (row.verdict != options_verdict::run)
        return;
    EXPECT_EQ(o.rate, row.rate);
    EXPECT_EQ(o.sample, row.sample);
    EXPECT_EQ(o.smooth_ms, row.smooth_ms);
    EXPECT_EQ(o.borders, row.borders);
}

constexpr options_verdict RUN = options_verdict::run, BAD = options_verdict::bad;

INSTANTIATE_TEST_SUITE_P(
    Modes, Options,
    testing::Values(options_row{{}, RUN, 0, 1, 0, false},
                    options_row{{"--rate", "25", "--sample", "4", "--smooth", "200", "--borders"},
                                RUN,
                                25,
                                4,
                                200,
                                true},
                    options_row{{"--rate=100", "--sample=16"}, RUN, 100, 16, 0, false},
                    options_row{{"--smooth", "10000"}, RUN, 25, 1, 10000, false},
                    options_row{{"--smooth", "150", "--rate", "50"}, RUN, 50, 1, 150, false},
                    options_row{{"--rate", "0"}, BAD}, options_row{{"--rate", "101"}, BAD},
                    options_row{{"--sample", "17"}, BAD}, options_row{{"--sample", "0"}, BAD},
                    options_row{{"--smooth", "0"}, BAD}, options_row{{"--smooth", "10001"}, BAD},
                    options_row{{"--rate", "-5"}, BAD}, options_row{{"--rate", "25x"}, BAD},
                    options_row{{"--rate", ""}, BAD}, options_row{{"--rate"}, BAD},
                    options_row{{"--rate", "99999999999"}, BAD}, options_row{{"--rates", "5"}, BAD},
                    options_row{{"--borders=1"}, BAD}, options_row{{"-r"}, BAD},
                    options_row{{"25"}, BAD},
                    options_row{{"--borders", "--help"}, options_verdict::help},
                    options_row{{"--version", "--bogus"}, options_verdict::version}));

// --- zones over sampled pictures -----------------------------------------------

image_bytes random_pixels(int32_t width, int32_t height, unsigned seed)
{
    std::mt19937 random(seed);
    image_bytes image(3 * static_cast<size_t>(width) * height);
    for (unsigned char &b : image)
        b = static_cast<unsigned char>(random());
    return image;
}

// Every step-th pixel of every step-th row of a whole picture, packed.
image_bytes sampled(const image_bytes &whole, int32_t width, int32_t height, int32_t step)
{
    image_bytes out;
    for (int32_t y = 0; y < height; y += step)
        for (int32_t x = 0; x < width; x += step)
            out.insert(out.end(), &whole[3 * (size_t(y) * width + x)],
                       &whole[3 * (size_t(y) * width + x) + 3]);
    return out;
}

// The oracle: the mean, rounded down, of the whole picture's pixels at
// sampled places (x and y multiples of step) inside zone i of area.
uint32_t oracle_zone(const image_bytes &whole, int32_t width, int32_t step, const picture_area &a,
                     int i)
{
    const int32_t w = a.right - a.left;
    const int32_t x0 = a.left + i * w / 5, x1 = a.left + (i + 1) * w / 5;
    uint64_t sums[3] = {0, 0, 0}, n = 0;
    for (int32_t y = a.top; y < a.bottom; y++)
        for (int32_t x = x0; x < x1; x++)
            if (x % step == 0 && y % step == 0) {
                for (int c = 0; c < 3; c++)
                    sums[c] += whole[3 * (size_t(y) * width + x) + c];
                n++;
            }
    if (n == 0)
        return 0;
    return uint32_t(sums[0] / n) << 16 | uint32_t(sums[1] / n) << 8 | uint32_t(sums[2] / n);
}

struct sample_row {
    int32_t width, height, step;
    picture_area area;  // right 0: the whole picture
};

class SampledZones : public testing::TestWithParam<sample_row> {};

// catches: a zone that takes a sampled column just outside its bounds (off by
// one in rounding up to the next sample), rows of the wrong stride for an
// odd sampled width, an area's first row or column misplaced, or a zone
// without samples dividing by zero.
TEST_P(SampledZones, EqualTheMeanOverTheSampleSet)
{
    const sample_row &row = GetParam();
    const picture_area area = row.area.right ? row.area : picture_area{0, 0, row.width, row.height};
    const image_bytes whole = random_pixels(row.width, row.height, unsigned(row.width * row.step));
    const image_bytes samples = sampled(whole, row.width, row.height, row.step);
    uint32_t colours[ZONE_COUNT];
    getcolors_sampled(colours, samples.data(), row.width, row.step, area);
    for (int i = 0; i < ZONE_COUNT; i++)
        EXPECT_EQ(colours[i], oracle_zone(whole, row.width, row.step, area, i)) << "zone " << i;
    if (row.step == 1 && !row.area.right) {
        uint32_t exact[ZONE_COUNT];
        getcolors(exact, whole.data(), row.width, row.height);
        EXPECT_EQ(std::vector<uint32_t>(colours, colours + 5),
                  std::vector<uint32_t>(exact, exact + 5));
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, SampledZones,
                         testing::Values(sample_row{720, 576, 1, {}}, sample_row{721, 577, 4, {}},
                                         sample_row{1920, 1080, 8, {}}, sample_row{1919, 33, 8, {}},
                                         sample_row{703, 575, 3, {}}, sample_row{37, 11, 16, {}},
                                         sample_row{99, 71, 5, {13, 9, 86, 62}},
                                         sample_row{1920, 1080, 4, {0, 140, 1920, 940}},
                                         sample_row{1920, 1080, 4, {240, 0, 1680, 1080}},
                                         sample_row{723, 571, 1, {2, 3, 721, 570}}));

// --- black bars ----------------------------------------------------------------

// A width x height picture: black (bytes 0 .. black) outside area, `fill`
// inside it, sampled every step-th pixel.
image_bytes framed(int32_t width, int32_t height, int32_t step, const picture_area &area,
                   unsigned char fill, unsigned char black = BORDER_BLACK_MAX)
{
    std::mt19937 random(7);
    image_bytes whole(3 * size_t(width) * height);
    for (int32_t y = 0; y < height; y++)
        for (int32_t x = 0; x < width; x++) {
            const bool inside =
                x >= area.left && x < area.right && y >= area.top && y < area.bottom;
            for (int c = 0; c < 3; c++)
                whole[3 * (size_t(y) * width + x) + c] =
                    inside ? fill : static_cast<unsigned char>(random() % (black + 1));
        }
    return sampled(whole, width, height, step);
}

struct bars_row {
    const char *what;
    int32_t width, height, step;
    picture_area content;  // not black
    unsigned char fill;
    bool measured;
    int32_t rows = 0, columns = 0;  // the bars, exact to within step - 1 pixels more
};

void PrintTo(const bars_row &row, std::ostream *os)
{
    *os << row.what;
}

class Bars : public testing::TestWithParam<bars_row> {};

// catches: bars measured off by a line or by a sample, one-sided dark
// content taken for a bar, an all-black or nearly black picture taken as a
// huge border (the zones would average nothing), black noise up to the
// threshold breaking a bar, or a colour just above it taken for black.
TEST_P(Bars, Measured)
{
    const bars_row &row = GetParam();
    const image_bytes image = framed(row.width, row.height, row.step, row.content, row.fill);
    border_bars bars{-1, -1};
    ASSERT_EQ(measure_bars(image.data(), row.width, row.height, row.step, &bars), row.measured);
    if (!row.measured) {
        EXPECT_EQ(bars.rows, -1) << "untouched";
        return;
    }
    EXPECT_GE(bars.rows, row.rows);
    EXPECT_LT(bars.rows, row.rows + row.step);
    EXPECT_GE(bars.columns, row.columns);
    EXPECT_LT(bars.columns, row.columns + row.step);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, Bars,
    testing::Values(
        bars_row{"letterbox", 1920, 1080, 1, {0, 140, 1920, 940}, 200, true, 140, 0},
        bars_row{"letterbox sampled", 1920, 1080, 4, {0, 138, 1920, 942}, 200, true, 138, 0},
        bars_row{"pillarbox", 1920, 1080, 8, {241, 0, 1679, 1080}, 90, true, 0, 241},
        bars_row{"windowbox", 721, 577, 3, {60, 50, 661, 527}, 90, true, 50, 60},
        bars_row{"uneven bars: the narrower", 720, 576, 1, {0, 100, 720, 526}, 90, true, 50, 0},
        bars_row{"Xilleon's 33 rows", 1920, 33, 4, {0, 4, 1920, 29}, 90, true, 4, 0},
        bars_row{
            "just above black", 720, 576, 1, {0, 0, 720, 576}, BORDER_BLACK_MAX + 1, true, 0, 0},
        bars_row{"dark night sky over a lit town", 720, 576, 2, {0, 400, 720, 576}, 90, true, 0, 0},
        bars_row{"bars beyond a third", 720, 576, 1, {0, 200, 720, 376}, 90, true, 0, 0},
        bars_row{"a torch in the dark", 720, 576, 1, {300, 250, 420, 330}, 255, false},
        bars_row{"all black", 1920, 1080, 4, {0, 0, 0, 0}, 0, false}));

// catches: bars taken on the first frame (flapping with every dark scene), a
// frame of other bars not restarting the count, all-black frames counting
// for or against bars, a drop as quick as a take, jitter of a sample line
// keeping the bars from ever being taken.
TEST(Bars, TakenAndDroppedOnlyAfterTheirHold)
{
    border_state s;
    const border_bars letterbox{140, 0}, jittered{141, 0}, none{0, 0}, other{60, 0};
    for (int frame = 1; frame < BORDER_TAKE_FRAMES; frame++)
        ASSERT_EQ(track_bars(s, frame % 2 ? &letterbox : &jittered, 1).rows, 0) << frame;
    EXPECT_EQ(track_bars(s, &letterbox, 1).rows, 140);
    for (int frame = 0; frame < 3 * BORDER_DROP_FRAMES; frame++)
        ASSERT_EQ(track_bars(s, nullptr, 1).rows, 140) << "an all-black frame says nothing";
    for (int frame = 1; frame < BORDER_DROP_FRAMES; frame++)
        ASSERT_EQ(track_bars(s, &none, 1).rows, 140) << frame;
    EXPECT_EQ(track_bars(s, &other, 1).rows, 140) << "another measurement starts a new count";
    for (int frame = 1; frame < BORDER_DROP_FRAMES; frame++)
        ASSERT_EQ(track_bars(s, &none, 1).rows, 140) << frame;
    EXPECT_EQ(track_bars(s, &none, 1).rows, 0);
    EXPECT_EQ(track_bars(s, &letterbox, 1).rows, 0);
}

// --- smoothing ---------------------------------------------------------------

// catches: a way that ends short of its colour or after more than ms, a
// step rounded so that a byte overshoots, or a new colour starting from the
// old target instead of where the light is.
TEST(Smooth, ReachesTheColourWithinItsPeriods)
{
    const struct {
        int ms, rate, periods;
    } ways[] = {{200, 25, 5}, {150, 25, 4}, {1, 100, 1}, {10000, 100, 1000}, {30, 25, 1}};
    for (const auto &w : ways)
        EXPECT_EQ(smooth_periods(w.ms, w.rate), w.periods) << w.ms << " ms at " << w.rate;

    smooth_state s;
    s.periods = 5;
    const uint32_t white[5] = {0xFFFFFF, 0xFF00FF, 0x0000FF, 0x123456, 0};
    uint32_t out[5];
    std::vector<uint32_t> zone0;
    for (int frame = 0; frame < 5; frame++) {
        smooth_step(s, white, 1, out);
        zone0.push_back(out[0]);
    }
    EXPECT_EQ(zone0, (std::vector<uint32_t>{0x333333, 0x666666, 0x999999, 0xCCCCCC, 0xFFFFFF}));
    EXPECT_EQ(std::vector<uint32_t>(out, out + 5), std::vector<uint32_t>(white, white + 5));

    const uint32_t black[5] = {};
    smooth_step(s, black, 2, out);  // two periods at once
    EXPECT_EQ(out[0], 0x999999u);
    const uint32_t grey[5] = {0x808080};
    smooth_step(s, grey, 1, out);  // a new way from 0x99 to 0x80
    EXPECT_EQ(out[0], 0x949494u);
    smooth_step(s, grey, 10, out);
    EXPECT_EQ(out[0], 0x808080u);
}

}  // namespace
