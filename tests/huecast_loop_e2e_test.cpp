// The built huecast, unchanged, in simulated boxes: what its capture loop
// does with failed captures, pictures too small for five zones, and pictures
// larger than its picture buffer.
#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>

#include "tests/box_fixture.h"
#include "tests/pictures.h"
#include "sim/common/util.h"

namespace {

class HuecastLoop : public BoxTest {
protected:
    // Waits until the box file has been opened n times since watch was made
    // (an inotify descriptor watching its staging file), or the program ended.
    bool wait_opens(int watch, int n, double timeout_s = 20)
    {
        const double until = now_seconds() + timeout_s;
        int opens = 0;
        alignas(inotify_event) char events[4096];
        while (opens < n && now_seconds() < until) {
            for (ssize_t got = read(watch, events, sizeof events); got > 0;
                 got = read(watch, events, sizeof events))
                for (ssize_t at = 0; at < got;
                     at += ssize_t(sizeof(inotify_event)) +
                           reinterpret_cast<inotify_event *>(events + at)->len)
                    opens++;
            if (!process_poll(*child, 20))
                break;
        }
        return opens >= n;
    }

    // Every whole frame of lights (at least one) set to the zone colours of p.
    void expect_only_frames_of(const yuv_picture &p)
    {
        const std::vector<bytes> frame = frame_messages(reference_zones(p, false));
        const std::vector<bytes> got = lights();
        ASSERT_GE(got.size(), 5u);
        for (size_t i = 0; i < got.size() / 5 * 5; i++)
            EXPECT_EQ(got[i], frame[i % 5]) << "message " << i;
    }
};

// Once captures fail, every frame sends the last good frame's colours
// again. Catches the size (or picture) given up after a failed capture.
TEST_F(HuecastLoop, FailedCaptureRepeatsThePreviousColours)
{
    add_light_set();
    write_proc_fb("pallas\n");
    const yuv_picture p = bars_picture(720, 576);
    write_video(p);
    start(HUECAST_PATH);
    ASSERT_TRUE(wait_lights(5)) << out() << err();
    // From now on /dev/video holds less than its header announces.
    std::vector<uint8_t> truncated(16 + 720 * 576, 16);
    const int32_t size[2] = {720, 576};
    memcpy(truncated.data(), size, sizeof size);
    ASSERT_EQ(stb_box_write(box, "/dev/video", truncated.data(), truncated.size()), 0);
    ASSERT_TRUE(wait_error("read failed\nread failed\n")) << err();
    const size_t failing = lights().size();
    EXPECT_TRUE(wait_lights(failing + 10)) << "no lights after failed captures";
    stop();
    expect_only_frames_of(p);
}

// A picture narrower than 5 pixels is captured but sets no light; 5 x 1,
// the smallest with a pixel in every zone, sets all five. Catches the limit
// off by one, or zones made of no pixel.
TEST_F(HuecastLoop, PicturesBelow5x1SetNoLights)
{
    add_light_set();
    write_proc_fb("vulcan\n");
    write_video(bars_picture(4, 2));
    const int watch = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, stb_box_path(box, "/dev/video").c_str(), IN_OPEN), 0);
    start(HUECAST_PATH);
    EXPECT_TRUE(wait_opens(watch, 3)) << "4 x 2 pictures captured";
    close(watch);
    EXPECT_TRUE(lights().empty());

    yuv_picture smallest = black_picture(5, 1);
    smallest.luma = {16, 70, 125, 180, 235};
    write_video(smallest);
    ASSERT_TRUE(wait_lights(5)) << out() << err();
    const process_result r = stop();
    EXPECT_EQ(r.err, "");
    std::array<uint32_t, 5> greys;
    for (int i = 0; i < 5; i++) {
        const std::array<uint8_t, 3> px = reference_pixel({smallest.luma[i], 128, 128}, false);
        greys[i] = uint32_t(px[0]) << 16 | uint32_t(px[1]) << 8 | px[2];
    }
    const std::vector<bytes> got = lights();
    EXPECT_EQ(std::vector<bytes>(got.begin(), got.begin() + 5), frame_messages(greys));
}

// Pallas and Vulcan boxes hold 720 x 576 pixels (1,244,160 bytes): a 768 x
// 576 picture is refused, then a 720 x 576 one taken whole. Catches the
// picture buffer sized for the other family.
TEST_F(HuecastLoop, PallasBufferHolds720x576)
{
    add_light_set();
    write_proc_fb("pallas\n");
    write_video(bars_picture(768, 576));
    start(HUECAST_PATH);
    ASSERT_TRUE(wait_error("read failed\nread failed\n")) << out() << err();
    EXPECT_TRUE(lights().empty());
    const yuv_picture p = random_picture(720, 576, 41);
    write_video(p);
    ASSERT_TRUE(wait_lights(10)) << out() << err();
    stop();
    expect_only_frames_of(p);
}

// Other boxes hold 1920 x 1080 pixels (6,220,800 bytes): the same stripes
// announced as 1088 rows high are refused, as 1080 rows taken whole.
// Catches a buffer sized for 720 x 576, or one larger than the program has.
TEST_F(HuecastLoop, BroadcomBufferHolds1920x1080)
{
    add_light_set();
    write_proc_fb("0 bcm7401 FB\n");
    const yuv_picture p = random_picture(1920, 1080, 42);
    const stripe_geometry g = stripes_for(1920, 1080);
    ASSERT_EQ(g.luma_rows, 1088);
    place_broadcom(p, g, BRCM_LUMA_BASE);
    ASSERT_EQ(stb_box_write_picture_size(box, 1920, 1088), 0);
    start(HUECAST_PATH);
    const std::string refused = "Mainmemory: <Memmapping failed>\n";
    ASSERT_TRUE(wait_output(refused + refused)) << out() << err();
    EXPECT_TRUE(lights().empty());
    ASSERT_EQ(stb_box_write_picture_size(box, 1920, 1080), 0);
    ASSERT_TRUE(wait_lights(10)) << out() << err();
    stop();
    expect_only_frames_of(p);
}

}  // namespace
