// huecast-demo end to end: whole runs of the demo with the real huecast in
// its simulated boxes, checked through the demo's CSV log and PNG strip.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "demo/decoder.h"
#include "tests/demo_fixture.h"
#include "demo/png.h"
#include "demo/scene.h"
#include "demo/view.h"
#include "tests/pictures.h"
#include "sim/common/process.h"
#include "sim/box/stb_box.h"

namespace {

// --- whole runs of the demo with the real huecast -------------------------------------

struct csv_row {
    long frame = 0;
    std::string scene;
    int position = 0;
    long light_frames = 0;
    bool taken = false;  // the lights are those huecast took from this frame
    rgb lights[5] = {};  // zone order
};

rgb parse_rgb(const std::string &hex)
{
    const unsigned long v = std::stoul(hex, nullptr, 16);
    return {uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

std::vector<csv_row> read_csv(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    std::vector<csv_row> rows;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream fields(line);
        for (std::string x; std::getline(fields, x, ',');)
            f.push_back(x);
        if (f.size() != 11)
            continue;
        csv_row r;
        r.frame = std::stol(f[1]);
        r.scene = f[2];
        r.position = std::stoi(f[3]);
        r.light_frames = std::stol(f[4]);
        r.taken = f[5] == "1";
        for (int k = 0; k < 5; k++)
            r.lights[k] = parse_rgb(f[6 + k]);
        rows.push_back(r);
    }
    return rows;
}

// Which of the candidate colours c is closest to.
int nearest(rgb c, const std::vector<rgb> &candidates)
{
    int best = 0, best_distance = 1 << 30;
    for (size_t i = 0; i < candidates.size(); i++) {
        const int dr = c.r - candidates[i].r, dg = c.g - candidates[i].g,
                  db = c.b - candidates[i].b;
        if (dr * dr + dg * dg + db * db < best_distance)
            best = static_cast<int>(i), best_distance = dr * dr + dg * dg + db * db;
    }
    return best;
}

const std::vector<rgb> bars(scene_bar_colours, scene_bar_colours + 5);

// The colours huecast must send for the bars at frame n of a scene at fps
// frames a second, computed from the picture with the reference rules, as
// a person sees them (red first).
std::array<rgb, 5> expected_bar_lights(long n, double fps, bool xilleon)
{
    yuv_picture p = black_picture(720, 576);
    scene_draw(scene_kind::bars, n / fps, p);
    const std::array<uint32_t, 5> zones = reference_zones(p, xilleon);
    std::array<rgb, 5> out;
    for (int i = 0; i < 5; i++) {
        const uint8_t b0 = uint8_t(zones[i] >> 16), b1 = uint8_t(zones[i] >> 8),
                      b2 = uint8_t(zones[i]);
        out[i] = xilleon ? rgb{b0, b1, b2} : rgb{b2, b1, b0};
    }
    return out;
}

// Every frame from which huecast took a light frame shows on lights 0, 2,
// 3, 4, 1 exactly the colours of its five zones; light 0 is red while the
// red bar fills the left edge (frame 0).
void expect_lights_follow_bars(const std::vector<csv_row> &rows, double fps, bool xilleon)
{
    ASSERT_GE(rows.size(), 10u) << "3 s at 4 frames/s";
    int taken = 0;
    for (const csv_row &row : rows) {
        EXPECT_EQ(row.position, bars_offset(720, row.frame / fps)) << "frame " << row.frame;
        if (!row.taken)
            continue;
        taken++;
        const std::array<rgb, 5> want = expected_bar_lights(row.frame, fps, xilleon);
        for (int zone = 0; zone < 5; zone++)
            EXPECT_EQ(hex(row.lights[zone]), hex(want[zone]))
                << "frame " << row.frame << " zone " << zone;
    }
    EXPECT_GE(taken, 3) << "frames whose lights huecast took from them";
    ASSERT_TRUE(rows[0].frame == 0 && rows[0].taken);
    EXPECT_EQ(nearest(rows[0].lights[0], bars), 0) << hex(rows[0].lights[0]);
}

// Eight rows of thumbnail and lights; the first sampled just after the
// start, with the red bar near the left; every row's swatches the colours
// the lights had at one of the frames.
void expect_png_strip(const std::string &path, const std::vector<csv_row> &rows, int width,
                      int height)
{
    png_picture strip;
    ASSERT_TRUE(read_png(path, &strip));
    const int thumb_height = 160 * height / width / 2 * 2;
    EXPECT_EQ(strip.width, STRIP_WIDTH);
    ASSERT_EQ(strip.height, STRIP_MARGIN + 8 * (thumb_height + STRIP_GAP));
    const rgb left = strip.at(STRIP_MARGIN + 30, STRIP_MARGIN + 10);
    EXPECT_EQ(nearest(left, bars), 0) << hex(left);
    std::set<std::string> seen;
    for (const csv_row &row : rows)
        seen.insert(hex(row.lights[0]) + hex(row.lights[1]) + hex(row.lights[2]) +
                    hex(row.lights[3]) + hex(row.lights[4]));
    for (int i = 0; i < 8; i++) {
        const int y = STRIP_MARGIN + i * (thumb_height + STRIP_GAP) + thumb_height / 2;
        std::string swatches;
        for (int k = 0; k < 5; k++)
            swatches += hex(strip.at(strip_swatch_x(k) + STRIP_SWATCH / 2, y));
        EXPECT_EQ(seen.count(swatches), 1u) << "row " << i << ": " << swatches;
    }
}

class DemoRun : public testing::Test {
protected:
    std::string csv, png, y4m;

    void SetUp() override
    {
        std::string why;
        if (!stb_box_possible(&why))
            GTEST_SKIP() << why;
        const std::string stem = testing::TempDir() + "demo_" + std::to_string(getpid());
        csv = stem + ".csv", png = stem + ".png", y4m = stem + ".y4m";
    }
    void TearDown() override
    {
        for (const std::string &f : {csv, png, y4m})
            remove(f.c_str());
    }

    process_result run(std::vector<std::string> args)
    {
        args.insert(args.begin(), HUECAST_DEMO_PATH);
        for (const char *a : {"--text", "--seconds", "3"})
            args.push_back(a);
        for (const std::string &a : {std::string("--csv"), csv, std::string("--png"), png})
            args.push_back(a);
        process_options options;
        options.timeout_seconds = 60;
        return process_run(args, options);
    }

    // The demo on a box, with the sliding bars on a 720x576 picture (every
    // box shows that size; larger ones slow the sanitizer build too much) at
    // 4 frames a second, so that even a BCM7401's huecast, which waits 50 ms
    // per capture, takes whole light frames from most frames: the lights
    // follow the bars exactly and the PNG strip shows it. A wrong memory
    // layout in the decoder, a swapped channel order or a wrong zone-to-light
    // order fails it.
    void run_bars(const char *flag)
    {
        const chipset_info *chipset = chipset_by_flag(flag);
        ASSERT_NE(chipset, nullptr);
        const process_result r =
            run({"--chipset", flag, "--scene", "bars", "--size", "720x576", "--fps", "4"});
        if (r.exit_status != 0 && r.out.find("Memmapping failed") != std::string::npos &&
            r.out.find("sent no light frames") != std::string::npos)
            GTEST_SKIP() << "this huecast has no capture for " << chipset->name << " boxes yet";
        ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find(std::string("Detected STB: ") + chipset->name), std::string::npos);
        EXPECT_NE(r.out.find("picture  " + png + ": 8 sampled frames"), std::string::npos) << r.out;
        const std::vector<csv_row> rows = read_csv(csv);
        expect_lights_follow_bars(rows, 4, chipset->chipset == demo_chipset::xilleon);
        expect_png_strip(png, rows, 720, 576);
    }
};

// Every box, with the sliding bars (see run_bars).
class DemoRunBars : public DemoRun, public testing::WithParamInterface<const char *> {};

TEST_P(DemoRunBars, LightsFollowTheBars)
{
    run_bars(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Boxes, DemoRunBars,
                         testing::Values("pallas", "vulcan", "brcm7401", "brcm4380", "xilleon"),
                         [](const testing::TestParamInfo<const char *> &info) {
                             return std::string(info.param);
                         });

// A y4m file of six 64x48 frames at 5 frames/s, alternately red on the
// left and blue on the right and the other way round, plays stretched to the
// box's picture, frame after frame and round again; the outer lights follow.
TEST_F(DemoRun, PlaysAY4mFile)
{
    std::vector<std::vector<uint8_t>> frames;
    const uint8_t red[3] = {81, 90, 240}, blue[3] = {41, 240, 110};
    for (int i = 0; i < 6; i++) {
        const uint8_t *left = i % 2 ? blue : red, *right = i % 2 ? red : blue;
        std::vector<uint8_t> f;
        for (int plane = 0; plane < 3; plane++) {
            const int w = plane ? 32 : 64, h = plane ? 24 : 48;
            for (int y = 0; y < h; y++)
                for (int x = 0; x < w; x++)
                    f.push_back(x < w * 3 / 8 ? left[plane] : right[plane]);
        }
        frames.push_back(f);
    }
    write_y4m(y4m, 64, 48, "5:1", frames);
    const process_result r = run({"--y4m", y4m});
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    const std::vector<rgb> red_blue = {{255, 0, 0}, {0, 0, 255}};
    int taken = 0;
    long last = 0;
    for (const csv_row &row : read_csv(csv)) {
        last = row.position;
        if (!row.taken)
            continue;
        taken++;
        const int left = row.position % 6 % 2;  // 0 red, 1 blue
        EXPECT_EQ(nearest(row.lights[0], red_blue), left) << "frame " << row.position;
        EXPECT_EQ(nearest(row.lights[4], red_blue), 1 - left) << "frame " << row.position;
    }
    EXPECT_GE(taken, 3);
    EXPECT_GE(last, 6) << "the file played round again";
}

// The lights' mean brightness (sum of channels) over the frames huecast
// took from the 6th decoder frame on (1.5 s at 4 frames a second).
double late_brightness(const std::vector<csv_row> &rows)
{
    double sum = 0;
    int n = 0;
    for (const csv_row &row : rows)
        if (row.taken && row.frame >= 6)
            for (const rgb &c : row.lights)
                sum += c.r + c.g + c.b, n++;
    return n ? sum / n : 0;
}

// catches: --huecast-options not reaching huecast, or black bars still
// averaged in with --borders: the letterbox's bars are two fifths of the
// picture, so the lights inside them are 5/3 as bright as with the bars.
TEST_F(DemoRun, BordersLeaveTheLetterboxBarsOut)
{
    process_result r = run({"--scene", "letterbox", "--fps", "4"});
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    const double exact = late_brightness(read_csv(csv));
    r = run({"--scene", "letterbox", "--fps", "4", "--huecast-options", "--sample 2 --borders"});
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("the real huecast --sample 2 --borders on"), std::string::npos) << r.out;
    const double inside = late_brightness(read_csv(csv));
    EXPECT_GT(exact, 0) << "lights taken from the frames";
    EXPECT_GT(inside, 1.4 * exact) << exact << " without the bars' black, " << inside << " with";
}

// Bad options and sizes a box cannot show end with status 2 and a word why.
TEST(DemoOptions, RefusesWhatItCannotShow)
{
    process_result r =
        process_run({HUECAST_DEMO_PATH, "--chipset", "pallas", "--size", "1280x720"});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("at most 720x576"), std::string::npos) << r.err;
    r = process_run({HUECAST_DEMO_PATH, "--chipset", "amlogic"});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("usage:"), std::string::npos);
}

}  // namespace
