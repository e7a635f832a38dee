// The box package's init script and maintainer scripts, run by Debian's
// busybox (its sh and start-stop-daemon, nothing else on the PATH) in a
// simulated Pallas box, starting the built huecast against the emulated
// light set.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "tests/box_fixture.h"
#include "sim/common/emulated_command.h"

namespace {

constexpr char BUSYBOX[] = "/bin/busybox";
constexpr const char *applets[] = {"sh",     "start-stop-daemon",
                                   "dd",     "wc",
                                   "mv",     "rm",
                                   "mkfifo", "kill",
                                   "cat",    "sleep",
                                   "mkdir",  "dirname"};

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool write_script(const std::string &path, const std::string &text)
{
    std::ofstream(path) << text;
    return chmod(path.c_str(), 0755) == 0;
}

class InitScript : public BoxTest {
protected:
    std::string dir;  // PATH, pid file and log, inside the staging directory
    std::vector<std::string> env;

    void SetUp() override
    {
        BoxTest::SetUp();
        if (IsSkipped())
            return;
        if (access(BUSYBOX, X_OK) != 0)
            GTEST_SKIP() << "no busybox (scripts/deps.sh installs it)";
        dir = std::string(stb_box_dir(box)) + "/init";
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir + "/bin").c_str(), 0755), 0);
        for (const char *applet : applets)
            ASSERT_EQ(symlink(BUSYBOX, (dir + "/bin/" + applet).c_str()), 0);
        add_light_set();
        write_proc_fb("0 pallasfb\n");
        write_video(bars_picture(64, 48));
        env = process_environment();
        // The box links only its first process's /proc/<pid>, which LeakSanitizer
        // needs at exit: huecast, started by the script, ends without it (its
        // leaks are checked by the huecast tests), so that its exit status stays
        // the one the script acts on.
        for (const char *name : {"PATH", "HUECAST", "IPKG_INSTROOT", "ASAN_OPTIONS"})
            for (size_t i = env.size(); i-- > 0;)
                if (env[i].rfind(std::string(name) + "=", 0) == 0)
                    env.erase(env.begin() + static_cast<std::ptrdiff_t>(i));
        env.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0");
        env.push_back("PATH=" + dir + "/bin");
        env.push_back("HUECAST=" + huecast_command());
        env.push_back("HUECAST_PIDFILE=" + dir + "/run/huecast.pid");
        env.push_back("HUECAST_LOG=" + dir + "/log/huecast.log");
        env.push_back("HUECAST_INIT=" INIT_SCRIPT_PATH);
        env.push_back("HUECAST_DEFAULTS=" + dir + "/default");
    }

    void TearDown() override
    {
        if (!dir.empty() && !pid().empty())
            kill(std::stoi(pid()), SIGKILL);  // a test that failed half-way
        BoxTest::TearDown();
    }

    // huecast, through the emulator when the tests run under one, with the
    // options it is given.
    std::string huecast_command()
    {
        const std::vector<std::string> command = emulated_command({HUECAST_PATH});
        if (command.size() == 1)
            return command[0];
        std::string text = "#!/bin/sh\nexec";
        for (const std::string &word : command)
            text += " '" + word + "'";
        const std::string wrapper = std::string(stb_box_dir(box)) + "/huecast-emulated";
        EXPECT_TRUE(write_script(wrapper, text + " \"$@\"\n"));
        return wrapper;
    }

    // Runs a script with busybox's sh in the box.
    process_result run(const char *script, const char *argument = nullptr)
    {
        process_options options;
        options.timeout_seconds = 30;
        options.environment = &env;
        options.setup = stb_box_setup(box);
        std::vector<std::string> argv = {BUSYBOX, "sh", script};
        if (argument != nullptr)
            argv.push_back(argument);
        return emu_run(argv, options);
    }
    process_result init(const char *action) { return run(INIT_SCRIPT_PATH, action); }

    // The pid file's number, "" without one.
    std::string pid()
    {
        const std::string text = read_file(dir + "/run/huecast.pid");
        return text.substr(0, text.find('\n'));
    }
    std::string log() { return read_file(dir + "/log/huecast.log"); }

    // Waits until the log holds text: the script copies huecast's output
    // into it a byte at a time, so a loaded machine sees it late.
    bool wait_log(const std::string &text)
    {
        for (double until = now_seconds() + 30; now_seconds() < until; usleep(50000))
            if (log().find(text) != std::string::npos)
                return true;
        return false;
    }

    // Waits for n more light messages than there are now.
    bool lights_grow(size_t n = 10)
    {
        const size_t wanted = emu_packets(*dev).size() + n;
        for (double until = now_seconds() + 20; now_seconds() < until; usleep(20000))
            if (emu_packets(*dev).size() >= wanted)
                return true;
        return false;
    }

    // The five messages last sent switch the lights off.
    bool lights_are_off()
    {
        const std::vector<emu_packet> log = emu_packets(*dev);
        if (log.size() < 5)
            return false;
        for (size_t k = 0; k < 5; k++) {
            const bytes &m = log[log.size() - 5 + k].bytes;
            if (m != bytes{m[0], static_cast<uint8_t>(k << 4 | 0x0B), 0x03, 0, 0, 0})
                return false;
        }
        return true;
    }

    void expect_running()
    {
        const process_result status = init("status");
        EXPECT_EQ(status.exit_status, 0) << status.out << status.err;
        EXPECT_EQ(status.out, "huecast is running (pid " + pid() + ")\n");
        EXPECT_TRUE(lights_grow()) << log();
    }

    // stop returns once the lights are off.
    void expect_stop()
    {
        const process_result stop = init("stop");
        EXPECT_EQ(stop.exit_status, 0) << stop.out << stop.err;
        EXPECT_EQ(stop.out, "Stopping huecast\n");
        EXPECT_TRUE(lights_are_off());
        EXPECT_EQ(pid(), "");
        const process_result status = init("status");
        EXPECT_EQ(status.exit_status, 3);
        EXPECT_EQ(status.out, "huecast is not running\n");
    }

    // postinst starts huecast, prerm stops it, lights off; both succeed.
    void install_then_remove()
    {
        process_result r = run(POSTINST_PATH);
        EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
        expect_running();
        r = run(PRERM_PATH);
        EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
        EXPECT_TRUE(lights_are_off());
        EXPECT_EQ(init("status").exit_status, 3);
    }
};

// catches: a script that does not start huecast detached with its pid file,
// starts a second one, returns from stop before the lights are off, writes
// anything after the stop line, or fails when there is nothing to stop.
TEST_F(InitScript, StartStatusStopRestart)
{
    const process_result start = init("start");
    ASSERT_EQ(start.exit_status, 0) << start.out << start.err;
    expect_running();
    const std::string first = pid();
    EXPECT_EQ(init("start").out, "huecast is already running\n");
    EXPECT_EQ(pid(), first);
    expect_stop();
    EXPECT_NE(log().find("Huecast Screengrabber\n"), std::string::npos) << log();
    // The stop line is the last: nothing of the supervising shell after it
    // (its report of a job ended by a signal).
    const std::string stop_line = "Stopped by signal 15: lights off.\n";
    EXPECT_EQ(log().substr(log().size() - std::min(log().size(), stop_line.size())), stop_line)
        << log();

    const process_result again = init("stop");
    EXPECT_EQ(again.exit_status, 0);
    EXPECT_EQ(again.out, "huecast is not running\n");

    EXPECT_EQ(init("restart").exit_status, 0);
    expect_running();
    const std::string second = pid();
    const size_t before = emu_packets(*dev).size();
    EXPECT_EQ(init("restart").exit_status, 0);
    expect_running();
    EXPECT_NE(pid(), second);
    const std::vector<emu_packet> log = emu_packets(*dev);
    bool off_between = false;
    for (size_t i = before; i + 5 <= log.size() && !off_between; i++)
        off_between = log[i].bytes.size() == 6 && log[i].bytes[1] == 0x0B && log[i].bytes[3] == 0 &&
                      log[i].bytes[4] == 0 && log[i].bytes[5] == 0 &&
                      log[i + 4].bytes.size() == 6 && log[i + 4].bytes[1] == 0x4B;
    EXPECT_TRUE(off_between) << "restart switched the lights off before starting again";
    expect_stop();
}

// catches: a log that grows without end.
TEST_F(InitScript, LogStaysBounded)
{
    env.push_back("HUECAST_LOG_MAX=120");
    ASSERT_EQ(init("start").exit_status, 0);
    expect_running();
    expect_stop();
    const std::string old = read_file(dir + "/log/huecast.log.old");
    EXPECT_LE(log().size(), 120u);
    EXPECT_EQ(old.size(), 120u);
    EXPECT_NE((old + log()).find("Stopped by signal 15: lights off.\n"), std::string::npos)
        << old << log();
}

size_t count_of(const std::string &text, const std::string &line)
{
    size_t n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
        n++;
    return n;
}

constexpr char NO_SET_LINE[] =
    "No light set: huecast starts again every 1 s until one is plugged in.\n";

// catches: a huecast that found no light set at boot never started again
// (no lights until someone restarts it by hand), and a log that records
// every try instead of the first.
TEST_F(InitScript, LightSetPluggedInAfterStart)
{
    emu_remove_device(bed.get(), dev);
    env.push_back("HUECAST_RETRY=1");
    ASSERT_EQ(init("start").exit_status, 0);
    ASSERT_TRUE(wait_log(NO_SET_LINE)) << log();
    usleep(2500000);  // two more tries at least
    EXPECT_EQ(init("status").exit_status, 0) << "still supervised";
    EXPECT_EQ(count_of(log(), "ambx_open(0) failed.\n"), 1u) << log();
    EXPECT_EQ(count_of(log(), NO_SET_LINE), 1u) << log();
    ASSERT_EQ(emu_replug_device(bed.get(), dev, 2), dev);
    EXPECT_TRUE(lights_grow()) << log();
    EXPECT_TRUE(wait_log("Detected STB: Pallas\n")) << log();
    EXPECT_EQ(count_of(log(), "Huecast Screengrabber\n"), 2u) << log();
    expect_stop();
}

// catches: a stop that ends huecast but not its supervision (huecast back
// a second later), and an unknown chipset (exit status 1) tried again.
TEST_F(InitScript, StopEndsSupervisionAndOnlyAMissingSetIsRetried)
{
    emu_remove_device(bed.get(), dev);
    env.push_back("HUECAST_RETRY=1");
    ASSERT_EQ(init("start").exit_status, 0);
    ASSERT_TRUE(wait_log(NO_SET_LINE)) << log();
    const process_result stop = init("stop");
    EXPECT_EQ(stop.out, "Stopping huecast\n");
    EXPECT_EQ(init("status").exit_status, 3);
    ASSERT_EQ(emu_replug_device(bed.get(), dev, 2), dev);
    usleep(2500000);
    EXPECT_EQ(count_of(log(), "Huecast Screengrabber\n"), 1u) << log();
    EXPECT_TRUE(emu_packets(*dev).empty()) << "nothing started huecast again";

    write_proc_fb("0 otherfb\n");
    ASSERT_EQ(init("start").exit_status, 0);
    for (double until = now_seconds() + 20;
         now_seconds() < until && init("status").exit_status == 0;)
        usleep(100000);
    EXPECT_TRUE(wait_log("Unknown STB .. quit.\n")) << log();
    usleep(1500000);  // a retry would have come after 1 s
    EXPECT_EQ(count_of(log(), "Unknown STB .. quit.\n"), 1u) << log();
    EXPECT_EQ(init("status").exit_status, 3);
}

// catches: maintainer scripts that do not enable huecast at boot where
// update-rc.d exists, fail or skip the start where it does not, or leave it
// running or enabled after removal.
TEST_F(InitScript, MaintainerScripts)
{
    const std::string calls = dir + "/update-rc.d.calls";
    ASSERT_TRUE(write_script(dir + "/bin/update-rc.d",
                             "#!" + std::string(BUSYBOX) + " sh\necho \"$@\" >> " + calls + "\n"));
    install_then_remove();
    EXPECT_EQ(read_file(calls), "huecast defaults\n-f huecast remove\n");
    ASSERT_EQ(unlink((dir + "/bin/update-rc.d").c_str()), 0);
    install_then_remove();
}

// Light frames sent over two seconds by huecast started with a settings file.
class InitOptions : public InitScript,
                    public testing::WithParamInterface<std::pair<const char *, int>> {};

// catches: HUECAST_OPTIONS not read from the settings file or not passed to
// huecast (at most 2 frames a second here), or the shipped file, whose
// options are all commented out, leaving huecast with options (or none to
// run at all).
TEST_P(InitOptions, PassedFromTheSettingsFile)
{
    const std::string settings = GetParam().first;
    const int most_frames = GetParam().second;
    std::ofstream(dir + "/default") << (settings.empty() ? read_file(DEFAULTS_PATH) : settings);
    ASSERT_EQ(init("start").exit_status, 0);
    ASSERT_TRUE(lights_grow(5)) << log();
    const size_t before = emu_packets(*dev).size();
    usleep(2000000);
    const size_t frames = (emu_packets(*dev).size() - before) / 5;
    expect_stop();
    if (most_frames > 0)
        EXPECT_LE(frames, size_t(most_frames)) << log();
    else
        EXPECT_GT(frames, 20u) << log();
    EXPECT_EQ(log().find("usage"), std::string::npos) << log();
}

INSTANTIATE_TEST_SUITE_P(InitScript, InitOptions,
                         testing::Values(std::make_pair("HUECAST_OPTIONS=\"--rate 2\"\n", 5),
                                         std::make_pair("", 0)));

}  // namespace
