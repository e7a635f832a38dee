// The built huecast, unchanged, in a simulated Pallas box with the emulated
// light set, when the living room gets in the way: stopped by a signal, the
// light set unplugged, power-cycled or not answering, the picture dead.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "tests/box_fixture.h"

namespace {

// The five lights switched off, lights 0 to 4, headers dropped.
std::vector<bytes> lights_off()
{
    std::vector<bytes> out;
    for (uint8_t light = 0; light < 5; light++)
        out.push_back({static_cast<uint8_t>(light << 4 | 0x0B), 0x03, 0, 0, 0});
    return out;
}

// Whether the five messages of frame appear in a row among got.
bool holds_frame(const std::vector<bytes> &got, const std::vector<bytes> &frame)
{
    for (size_t i = 0; i + frame.size() <= got.size(); i++)
        if (std::equal(frame.begin(), frame.end(), got.begin() + static_cast<std::ptrdiff_t>(i)))
            return true;
    return false;
}

size_t count_of(const std::string &text, const std::string &line)
{
    size_t n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
        n++;
    return n;
}

// CPU seconds (user and system) the process has used so far; -1 when gone.
double cpu_seconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t end = text.rfind(')');
    if (end == std::string::npos)
        return -1;
    unsigned long user = 0, system = 0;
    if (std::sscanf(text.c_str() + end + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                    &user, &system) != 2)
        return -1;
    return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

class Setbacks : public BoxTest {
protected:
    const yuv_picture picture = bars_picture(64, 48);

    void start_with_picture()
    {
        add_light_set();
        write_proc_fb("0 pallasfb\n");
        write_video(picture);
        start(HUECAST_PATH);
        ASSERT_TRUE(wait_lights(10)) << out() << err();
    }

    // Device time: the clock of the packets' time stamps.
    double device_now() const { return now_seconds() - dev->start; }

    // The set-colour messages logged from device time since on, headers dropped.
    std::vector<bytes> lights_since(double since)
    {
        std::vector<bytes> out;
        for (const emu_packet &p : emu_packets(*dev))
            if (p.seconds >= since && p.bytes.size() == 6 && (p.bytes[1] & 0x0F) == 0x0B)
                out.emplace_back(p.bytes.begin() + 1, p.bytes.end());
        return out;
    }

    // Waits until frame has been sent since device time since; the device
    // time it arrived, or -1.
    double wait_frame_since(const std::vector<bytes> &frame, double since, double timeout_s = 20)
    {
        const double until = now_seconds() + timeout_s;
        while (now_seconds() < until) {
            if (holds_frame(lights_since(since), frame))
                return device_now();
            if (!process_poll(*child, 10))
                break;
        }
        return -1;
    }

    void set_stalls(int writes)
    {
        std::lock_guard<std::mutex> guard(dev->lock);
        dev->behaviour.stall_writes = writes;
    }
    int stalls_left()
    {
        std::lock_guard<std::mutex> guard(dev->lock);
        return dev->behaviour.stall_writes;
    }

    // Unplugs the light set, waits for huecast to notice, plugs it in again
    // as devnum with a new picture on show; the lights must follow that.
    void lose_and_return(int devnum)
    {
        start_with_picture();
        emu_remove_device(bed.get(), dev);
        ASSERT_TRUE(wait_output("Light set lost: trying again every second.\n")) << out();
        process_poll(*child, 1500);
        const ycbcr reversed[5] = {bar_colours[4], bar_colours[3], bar_colours[2], bar_colours[1],
                                   bar_colours[0]};
        const yuv_picture second = bars_picture(64, 48, reversed);
        write_video(second);
        const double replugged = device_now();
        ASSERT_EQ(emu_replug_device(bed.get(), dev, devnum), dev);
        ASSERT_TRUE(wait_output("Light set found again.\n")) << out();
        const double following =
            wait_frame_since(frame_messages(reference_zones(second, false)), replugged);
        ASSERT_GE(following, 0) << out();
        std::printf("replug to lights following: %.2f s\n", following - replugged);
        EXPECT_LT(following - replugged, 5.0);
        const process_result r = stop();
        EXPECT_EQ(count_of(r.out, "Light set lost"), 1u) << r.out;
        EXPECT_EQ(count_of(r.out, "Light set found again."), 1u) << r.out;
        EXPECT_EQ(r.err, "");
    }
};

class StopSignal : public Setbacks, public testing::WithParamInterface<int> {};

// catches: a stop signal leaving the lights on the last frame's colours, the
// device left open, or the process not ending by that signal.
TEST_P(StopSignal, LightsOffThenEndsBySignal)
{
    const int signal = GetParam();
    start_with_picture();
    process_kill(*child, signal);
    const process_result r = finish();
    EXPECT_EQ(r.signal, signal) << "status " << r.exit_status << "\n" << r.out;
    const std::string line = "Stopped by signal " + std::to_string(signal) + ": lights off.\n";
    ASSERT_GE(r.out.size(), line.size());
    EXPECT_EQ(r.out.substr(r.out.size() - line.size()), line) << r.out;
    EXPECT_EQ(r.err, "");
    const std::vector<bytes> got = lights();
    ASSERT_GE(got.size(), 5u);
    EXPECT_EQ(std::vector<bytes>(got.end() - 5, got.end()), lights_off());
    std::lock_guard<std::mutex> guard(dev->lock);
    EXPECT_FALSE(dev->claimed) << "the interface is released when the device is closed";
}

INSTANTIATE_TEST_SUITE_P(Setbacks, StopSignal, testing::Values(SIGTERM, SIGINT, SIGHUP));

// catches: a read of /dev/video that waits for the decoder holding up the
// stop (a handler with SA_RESTART), or the interrupted read reported as a
// failed picture.
TEST_F(Setbacks, StopCutsShortABlockedVideoRead)
{
    start_with_picture();
    // /dev/video becomes a pipe with a writer that never writes: the next
    // read waits for ever.
    const std::string video = stb_box_path(box, "/dev/video");
    const std::string fifo = video + ".fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int writer = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(rename(fifo.c_str(), video.c_str()), 0);
    size_t sent = lights().size();
    for (int quiet = 0; quiet < 3;) {  // no new light message for 3 polls: blocked
        process_poll(*child, 100);
        quiet = lights().size() == sent ? quiet + 1 : 0;
        sent = lights().size();
    }
    const double asked = now_seconds();
    process_kill(*child, SIGTERM);
    const process_result r = finish();
    close(writer);
    EXPECT_LT(now_seconds() - asked, 2.0);
    EXPECT_EQ(r.signal, SIGTERM) << r.out;
    EXPECT_EQ(r.err, "") << "no failure line for the interrupted read";
    EXPECT_EQ(r.out.find("could not open"), std::string::npos) << r.out;
    const std::vector<bytes> got = lights();
    ASSERT_GE(got.size(), 5u);
    EXPECT_EQ(std::vector<bytes>(got.end() - 5, got.end()), lights_off());
}

// catches: "lights off." claimed for a stop whose switch-off writes failed
// (the light set is gone), so that the log says the lights are off when
// they may still be lit.
TEST_F(Setbacks, StopWhileLostSaysTheLightsWereNotSwitchedOff)
{
    start_with_picture();
    emu_remove_device(bed.get(), dev);
    ASSERT_TRUE(wait_output("Light set lost: trying again every second.\n")) << out();
    process_kill(*child, SIGTERM);
    const process_result r = finish();
    EXPECT_EQ(r.signal, SIGTERM) << "status " << r.exit_status << "\n" << r.out;
    const std::string line = "Stopped by signal 15: the lights could not be switched off (error -";
    const size_t at = r.out.rfind(line);
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(r.out.find(").", at)), ").\n") << "the last line" << r.out;
    EXPECT_EQ(r.out.find("lights off."), std::string::npos) << r.out;
}

// catches: writes on the stale handle of an unplugged set going on for ever,
// a reconnect that never rescans the buses, or one that does not resume the
// capture.
TEST_F(Setbacks, UnpluggedThenReplugged)
{
    lose_and_return(2);
}

// catches: a reconnect that only retries the old bus address, not the new
// device number a power-cycled set comes back with.
TEST_F(Setbacks, PowerCycledUnderANewDeviceNumber)
{
    lose_and_return(3);
}

// catches: one stray time-out, or two whole frames of them, taken for a
// lost light set.
TEST_F(Setbacks, TimeOutsShortOfTheRuleAreNoLoss)
{
    start_with_picture();
    set_stalls(1);
    const double after = device_now();
    ASSERT_NE(wait_frame_since(frame_messages(reference_zones(picture, false)), after), -1);
    EXPECT_EQ(stalls_left(), 0) << "the write did time out";
    set_stalls(10);  // two whole frames at most
    const double later = device_now();
    while (stalls_left() > 0 && process_poll(*child, 50)) {
    }
    ASSERT_NE(wait_frame_since(frame_messages(reference_zones(picture, false)), later), -1);
    const process_result r = stop();
    EXPECT_EQ(r.out.find("Light set lost"), std::string::npos) << r.out;
}

// catches: a light set that stops answering (time-outs, still on the bus)
// never counted as lost, and so never opened again.
TEST_F(Setbacks, ThreeSilentFramesAreALoss)
{
    start_with_picture();
    set_stalls(20);  // at least three whole frames
    ASSERT_TRUE(wait_output("Light set lost: trying again every second.\n", 30)) << out();
    ASSERT_TRUE(wait_output("Light set found again.\n", 30)) << out();
    const double back = device_now();
    ASSERT_NE(wait_frame_since(frame_messages(reference_zones(picture, false)), back), -1);
    stop();
}

// catches: a dead picture's failure lines, which have no line end, kept in
// the output buffer until it fills (minutes of an empty log, and all of it
// lost when the process is killed) instead of going out before each pause.
TEST_F(Setbacks, DeadPictureLinesGoOutBeforeEachPause)
{
    add_light_set();
    write_proc_fb("0 vulcanfb\n");  // and no /dev/video
    start(HUECAST_PATH);
    std::string lines;
    for (int n = 0; n < 26; n++)  // the 26th failing frame follows the first pause
        lines += "could not open /dev/video";
    EXPECT_TRUE(wait_output(lines, 6)) << out();
    stop();
}

// catches: a dead picture tried at full speed for ever (a line and a busy CPU
// per frame), a back-off that starts too early, does not double, or passes
// the 1 s ceiling, and one that is kept after the picture comes back.
TEST_F(Setbacks, DeadPictureBacksOffThenFullSpeed)
{
    add_light_set();
    write_proc_fb("0 pallasfb\n");
    const uint8_t dead_header[16] = {};  // a stopped decoder: 0 x 0
    ASSERT_EQ(stb_box_write(box, "/dev/video", dead_header, sizeof dead_header), 0);
    start(HUECAST_PATH);
    constexpr size_t frames = 34;  // 25 free, 6 growing waits, 3 at the ceiling
    std::vector<double> at;        // when each failing frame's line came
    double cpu_at_ceiling = 0, wall_at_ceiling = 0;
    while (at.size() < frames && process_poll(*child, 5)) {
        const size_t lines = count_of(err(), "read failed\n");
        while (at.size() < lines && at.size() < frames)
            at.push_back(now_seconds());
        if (at.size() == 31 && wall_at_ceiling == 0) {
            wall_at_ceiling = now_seconds();
            cpu_at_ceiling = cpu_seconds(process_pid(*child));
        }
    }
    ASSERT_EQ(at.size(), frames) << err();
    const double cpu_share =
        (cpu_seconds(process_pid(*child)) - cpu_at_ceiling) / (now_seconds() - wall_at_ceiling);
    std::printf("dead picture at the ceiling: %.1f %% CPU\n", 100 * cpu_share);
    EXPECT_LT(cpu_share, 0.2);
    EXPECT_LT(at[24] - at[0], 5.0) << "the first 25 failing frames at full speed";
    const double waits[] = {0.020, 0.040, 0.080, 0.160, 0.320, 0.640, 1.0, 1.0, 1.0};
    for (size_t n = 25; n < frames; n++) {
        const double gap = at[n] - at[n - 1];
        EXPECT_GE(gap, waits[n - 25] * 0.9) << "after failing frame " << n;
        EXPECT_LT(gap, waits[n - 25] + 0.5) << "after failing frame " << n;
    }

    write_video(picture);
    ASSERT_TRUE(wait_lights(5, 5)) << err();
    const size_t first = lights().size();
    process_poll(*child, 1000);
    const size_t frames_in_a_second = (lights().size() - first) / 5;
    std::printf("frames in the second after the picture came back: %zu\n", frames_in_a_second);
    EXPECT_GE(frames_in_a_second, 5u) << "full speed again";
    stop();
}

}  // namespace
