// The built huecast with its options, in a simulated Pallas box with the
// emulated light set: the command line, the rate, a stop during a pause,
// black bars, sampling and smoothing together.
#include <algorithm>
#include <string>

#include "tests/box_fixture.h"

namespace {

// A letterboxed picture: bars_picture with `bar` black rows at the top and
// the bottom (luma 16, chroma 128: black after conversion).
yuv_picture letterboxed(int width, int height, int bar)
{
    yuv_picture p = bars_picture(width, height);
    const yuv_picture black = black_picture(width, height);
    for (int y = 0; y < height; y++)
        if (y < bar || y >= height - bar) {
            std::copy_n(black.luma.begin() + y * width, width, p.luma.begin() + y * width);
            if (y % 2 == 0)
                std::copy_n(black.chroma.begin() + y / 2 * width, width,
                            p.chroma.begin() + y / 2 * width);
        }
    return p;
}

class Modes : public BoxTest {
protected:
    // Starts huecast with args on a Pallas box showing p.
    void start_with(const std::vector<std::string> &args, const yuv_picture &p)
    {
        add_light_set();
        write_proc_fb("0 pallasfb\n");
        write_video(p);
        std::vector<std::string> argv = {HUECAST_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        start(argv);
    }

    // The last whole frame of five light messages received so far.
    std::vector<bytes> last_frame()
    {
        const std::vector<bytes> got = lights();
        const size_t whole = got.size() / 5 * 5;
        return whole ? std::vector<bytes>(got.begin() + whole - 5, got.begin() + whole)
                     : std::vector<bytes>{};
    }

    // Waits until the last frame is `frame`; whether it came.
    bool wait_for_frame(const std::vector<bytes> &frame, double timeout_s = 30)
    {
        const double until = now_seconds() + timeout_s;
        while (last_frame() != frame && now_seconds() < until)
            if (!process_poll(*child, 20))
                break;
        return last_frame() == frame;
    }
};

struct command_row {
    std::vector<std::string> args;
    int status;
    const char *out_starts, *err_has;
};

class Command : public Modes, public testing::WithParamInterface<command_row> {};

// catches: an unknown option or bad value run anyway (or exiting 0 or 1), the
// usage on the wrong stream, --help or --version starting the light set.
TEST_P(Command, AnswersWithoutTouchingTheLights)
{
    const command_row &row = GetParam();
    start_with(row.args, bars_picture(64, 48));
    const process_result r = finish();
    EXPECT_EQ(r.exit_status, row.status) << r.out << r.err;
    EXPECT_EQ(r.out.rfind(row.out_starts, 0), 0u) << r.out;
    EXPECT_NE(r.err.find(row.err_has), std::string::npos) << r.err;
    EXPECT_TRUE(emu_packets(*dev).empty()) << "the light set stays untouched";
}

INSTANTIATE_TEST_SUITE_P(
    Modes, Command,
    testing::Values(command_row{{"--help"}, 0, "usage: huecast [--rate N]", ""},
                    command_row{{"--version"}, 0, "huecast 1.0\n", ""},
                    command_row{{"--bogus"}, 2, "", "unknown option: --bogus\nusage: huecast"},
                    command_row{{"--rate", "0"}, 2, "", "from 1 to 100\nusage: huecast"},
                    command_row{{"--sample"}, 2, "", "from 1 to 16\nusage: huecast"},
                    command_row{{"extra"}, 2, "", "usage: huecast"}));

// catches: --rate not pacing at all, pacing below its rate (a sleep of the
// whole period after a frame's own work), or catching up in bursts.
TEST_F(Modes, RateHoldsItsCount)
{
    start_with({"--rate", "10"}, bars_picture(64, 48));
    ASSERT_TRUE(wait_lights(5)) << out() << err();
    const double from = emu_packets(*dev).back().seconds;
    process_poll(*child, 3000);
    stop();
    size_t frames = 0;
    for (const emu_packet &p : emu_packets(*dev))
        frames += p.seconds > from + 0.5 && p.seconds <= from + 2.5 && p.bytes[1] == 0x0B;
    EXPECT_GE(frames, 18u) << "light 0's messages in 2 s at 10 a second";
    EXPECT_LE(frames, 21u);
}

// catches: a pause between frames that a stop signal does not cut short, or
// a stop during it that leaves the lights on.
TEST_F(Modes, StopCutsAPauseShort)
{
    start_with({"--rate", "1"}, bars_picture(64, 48));
    ASSERT_TRUE(wait_lights(5)) << out() << err();
    process_poll(*child, 200);
    const double asked = now_seconds();
    process_kill(*child, SIGTERM);
    const process_result r = finish();
    EXPECT_LT(now_seconds() - asked, 0.7) << "within the 1 s pause";
    EXPECT_EQ(r.signal, SIGTERM) << r.out;
    const std::vector<bytes> got = lights();
    ASSERT_EQ(got.size(), 10u) << "one frame, then the lights off";
    for (size_t i = 5; i < 10; i++)
        EXPECT_EQ(std::vector<uint8_t>(got[i].begin() + 2, got[i].end()), bytes(3, 0));
}

// catches: black bars averaged into the zones with --borders, bars taken at
// once, or bars kept for a picture of another size (a channel switch).
TEST_F(Modes, BordersLeaveTheBarsOut)
{
    const yuv_picture p = letterboxed(120, 96, 16);
    const std::vector<uint8_t> image = reference_image(p, false);
    start_with({"--borders"}, p);
    EXPECT_TRUE(wait_for_frame(frame_messages(reference_sampled_zones(image, 120, 1, 16, 80))))
        << out();
    const std::vector<bytes> got = lights();
    EXPECT_EQ(std::vector<bytes>(got.begin(), got.begin() + 5),
              frame_messages(reference_zones(p, false)))
        << "bars are taken only once they have held";

    // A smaller picture without bars: the bars of the old size must not cut it.
    const ycbcr reversed[5] = {bar_colours[4], bar_colours[3], bar_colours[2], bar_colours[1],
                               bar_colours[0]};
    const yuv_picture small = bars_picture(40, 30, reversed);
    const size_t before = lights().size();
    write_video(small);
    EXPECT_TRUE(wait_for_frame(frame_messages(reference_zones(small, false)), 5)) << out();
    const std::vector<bytes> after = lights();
    for (size_t i = before; i < after.size(); i++)
        EXPECT_NE(bytes(after[i].begin() + 2, after[i].end()), bytes(3, 0)) << "message " << i;
}

// catches: the modes not working together: samples taken at the wrong
// places, bars measured in samples but applied to the whole picture's rows,
// smoothing that never settles on the colours or jumps there at once.
TEST_F(Modes, BoxPresetSettlesOnTheSampledPictureInsideTheBars)
{
    // Random colours between black bars of 16 rows.
    yuv_picture p = letterboxed(120, 96, 16);
    const yuv_picture noise = random_picture(120, 96, 5);
    std::copy(noise.luma.begin() + 16 * 120, noise.luma.begin() + 80 * 120,
              p.luma.begin() + 16 * 120);
    std::copy(noise.chroma.begin() + 8 * 120, noise.chroma.begin() + 40 * 120,
              p.chroma.begin() + 8 * 120);
    const std::vector<uint8_t> image = reference_image(p, false);
    start_with({"--rate", "25", "--sample", "4", "--smooth", "200", "--borders"}, p);
    const std::vector<bytes> target =
        frame_messages(reference_sampled_zones(image, 120, 4, 16, 80));
    EXPECT_TRUE(wait_for_frame(target)) << out();
    const std::vector<bytes> got = lights();
    EXPECT_NE(std::vector<bytes>(got.begin(), got.begin() + 5), target) << "no smoothing";
}

}  // namespace
