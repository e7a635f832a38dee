// The built huecast, unchanged, on simulated Pallas and Vulcan boxes with the
// emulated light set: the lights' messages against colours computed from the
// picture.
#include <sys/inotify.h>
#include <unistd.h>

#include "tests/box_fixture.h"

namespace {

// Every frame's five messages, in light order 0, 2, 3, 4, 1, carry the zone
// colours of the picture in /dev/video.
void expect_frames(const std::vector<bytes> &got, const yuv_picture &p, size_t frames)
{
    const std::vector<bytes> frame = frame_messages(reference_zones(p, false));
    ASSERT_GE(got.size(), frames * 5);
    for (size_t i = 0; i < frames * 5; i++)
        EXPECT_EQ(got[i], frame[i % 5]) << "message " << i;
}

// The last whole frame's five messages; a program stopped mid-frame leaves
// part of the next one after it.
std::vector<bytes> last_frame(const std::vector<bytes> &got)
{
    const size_t end = got.size() / 5 * 5;
    return end >= 5 ? std::vector<bytes>(got.begin() + static_cast<std::ptrdiff_t>(end - 5),
                                         got.begin() + static_cast<std::ptrdiff_t>(end))
                    : std::vector<bytes>();
}

using Huecast = BoxTest;

// One run on a Pallas or Vulcan box: a /proc/fb that names the chipset, a
// picture in /dev/video, and three frames of huecast's messages checked
// against it.
struct video_case {
    const char *name;
    const char *fb;
    const char *detected;  // the chipset huecast announces
    bool bars;             // the five bars, else a random picture from seed
    int width, height;
    unsigned seed;
};

const video_case video_cases[] = {
    // Five constant bars on a Pallas box: catches a light showing another bar.
    {"PallasBars720x576", "0 pallasfb\n", "Pallas", true, 720, 576, 0},
    // Random content at the NTSC size: catches rows or zones mixed up.
    {"PallasRandom720x480", "0 Pallas FB\n", "Pallas", false, 720, 480, 7},
    // Vulcan boxes take the same source: catches a Vulcan left without one.
    {"VulcanBars720x480", "0 vulcanfb\n", "Vulcan", true, 720, 480, 0},
    {"VulcanRandom720x576", "0 VULCAN\n", "Vulcan", false, 720, 576, 11},
};

class HuecastVideo : public BoxTest, public testing::WithParamInterface<video_case> {};

// Every case of video_cases (catches: beside each case).
TEST_P(HuecastVideo, LightsShowTheZones)
{
    const video_case &c = GetParam();
    const yuv_picture p =
        c.bars ? bars_picture(c.width, c.height) : random_picture(c.width, c.height, c.seed);
    add_light_set();
    write_proc_fb(c.fb);
    write_video(p);
    start(HUECAST_PATH);
    ASSERT_TRUE(wait_lights(15)) << out() << err();
    const process_result r = stop();
    EXPECT_EQ(r.out.find("Huecast Screengrabber\n"), 0u) << r.out;
    EXPECT_NE(r.out.find(std::string("Detected STB: ") + c.detected + "\n"), std::string::npos);
    EXPECT_EQ(r.err, "");
    expect_frames(lights(), p, 3);
}

INSTANTIATE_TEST_SUITE_P(Cases, HuecastVideo, testing::ValuesIn(video_cases),
                         [](const testing::TestParamInfo<video_case> &info) {
                             return std::string(info.param.name);
                         });

// A new picture size takes effect with the frame that has it.
TEST_F(Huecast, SizeChangeBetweenFrames)
{
    add_light_set();
    write_proc_fb("pallas\n");
    const yuv_picture first = bars_picture(720, 576);
    const ycbcr reversed[5] = {bar_colours[4], bar_colours[3], bar_colours[2], bar_colours[1],
                               bar_colours[0]};
    const yuv_picture second = bars_picture(352, 288, reversed);
    write_video(first);
    start(HUECAST_PATH);
    ASSERT_TRUE(wait_lights(10)) << out() << err();
    write_video(second);
    const std::vector<bytes> wanted = frame_messages(reference_zones(second, false));
    const double until = now_seconds() + 20;
    while (now_seconds() < until && lights().size() < 5000) {
        const std::vector<bytes> got = lights();
        if (got.size() >= 10 && last_frame(got) == wanted)
            break;
        process_poll(*child, 20);
    }
    stop();
    const std::vector<bytes> got = lights();
    ASSERT_GE(got.size(), 10u);
    expect_frames(got, first, 2);
    EXPECT_EQ(last_frame(got), wanted);
}

// An unknown chipset: the light set is opened first, then the program quits
// with status 1.
TEST_F(Huecast, UnknownChipsetQuits)
{
    add_light_set();
    write_proc_fb("0 VESA VGA\n");
    start(HUECAST_PATH);
    const process_result r = finish();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.out.find("init done\nUnknown STB .. quit.\n"), std::string::npos) << r.out;
    EXPECT_EQ(emu_packets(*dev).size(), 2u) << "the handshake, then nothing";
}

// No light set: exit 255 before /proc/fb is even opened.
TEST_F(Huecast, NoLightSetExits255WithoutReadingFb)
{
    write_proc_fb("pallas\n");
    const int watch = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, stb_box_path(box, "/proc/fb").c_str(), IN_OPEN), 0);
    start(HUECAST_PATH);
    const process_result r = finish();
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.out, "Huecast Screengrabber\nambx_open(0) failed.\n");
    char events[4096];
    EXPECT_LT(read(watch, events, sizeof events), 0) << "/proc/fb was opened";
    close(watch);
}

// Without /dev/mem every frame fails with its message before /dev/video is
// opened, and no light changes. Catches /dev/video opened first.
TEST_F(Huecast, NoDevMemSendsNoLights)
{
    add_light_set();
    write_proc_fb("pallas\n");
    write_video(bars_picture(720, 576));
    ASSERT_EQ(stb_box_remove(box, "/dev/mem"), 0);
    const int watch = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, stb_box_path(box, "/dev/video").c_str(), IN_OPEN), 0);
    start(HUECAST_PATH);
    ASSERT_TRUE(
        wait_output("Mainmemory: can't open /dev/mem \nMainmemory: can't open /dev/mem \n"));
    usleep(200 * 1000);
    stop();
    EXPECT_TRUE(lights().empty());
    char events[4096];
    EXPECT_LT(read(watch, events, sizeof events), 0) << "/dev/video was opened";
    close(watch);
}

// A /dev/video shorter than its header announces: "read failed" on
// standard error for every frame, and no light changes.
TEST_F(Huecast, TruncatedVideoIsRefused)
{
    add_light_set();
    write_proc_fb("vulcan\n");
    const yuv_picture p = bars_picture(720, 576);
    std::vector<uint8_t> video(16 + 720 * 576, 16);
    const int32_t size[2] = {720, 576};
    memcpy(video.data(), size, sizeof size);
    ASSERT_EQ(stb_box_write(box, "/dev/video", video.data(), video.size()), 0);
    start(HUECAST_PATH);
    const double until = now_seconds() + 10;
    while (err().size() < 24 && now_seconds() < until)
        process_poll(*child, 20);
    const process_result r = stop();
    EXPECT_EQ(r.err.substr(0, 24), "read failed\nread failed\n");
    EXPECT_TRUE(lights().empty());
}

}  // namespace
