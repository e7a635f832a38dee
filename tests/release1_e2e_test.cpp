// The box programs as the oldest boxes run them: built by the box toolchain
// (musl, MIPS32 release 1, soft float) exactly as shipped but with the
// stand-in libusb linked in, and run by qemu as a 4Kc core (release 1, no
// FPU) under Linux 2.6.18. Each run is checked against the glibc build of
// the same program or against the reference conversion, and every system
// call it made (qemu's trace) against those Linux 2.6.18 offers on MIPS o32.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "tests/box_fixture.h"

namespace {

// The last o32 system call of Linux 2.6.18 (move_pages); later ones append.
constexpr int LAST_CALL_2_6_18 = 4308;

// The list kept in the repository: a call's number, and for a call newer
// than 2.6.18 the older one the C library falls back to on ENOSYS.
struct call_list {
    std::map<std::string, int> number;
    std::map<std::string, std::string> fallback;
};

call_list read_call_list()
{
    call_list list;
    std::ifstream file(SYSCALL_LIST_PATH);
    for (std::string line; std::getline(file, line);) {
        std::stringstream fields(line.substr(0, line.find('#')));
        int number = 0;
        std::string name, word, fallback;
        if (!(fields >> number >> name))
            continue;
        if (fields >> word >> fallback && word == "or")
            list.fallback[name] = fallback;
        list.number[name] = number;
    }
    return list;
}

// Whether a kernel with calls up to LAST_CALL_2_6_18 serves name: itself,
// or the call the C library falls back to.
bool served_by_2_6_18(const call_list &list, const std::string &name)
{
    const auto it = list.number.find(name);
    if (it == list.number.end())
        return false;
    if (it->second <= LAST_CALL_2_6_18)
        return true;
    const auto fallback = list.fallback.find(name);
    return fallback != list.fallback.end() && list.number.count(fallback->second) &&
           list.number.at(fallback->second) <= LAST_CALL_2_6_18;
}

// The names of the system calls in a qemu trace ("PID name(args) = result";
// "Unknown syscall NNNN" for one qemu cannot name).
std::set<std::string> traced_calls(const std::string &path)
{
    static const std::regex call(R"(^\d+ ([A-Za-z_0-9]+)\()");
    static const std::regex unknown(R"(Unknown syscall (\d+))");
    std::set<std::string> calls;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        std::smatch m;
        if (std::regex_search(line, m, call))
            calls.insert(m[1]);
        else if (std::regex_search(line, m, unknown))
            calls.insert("syscall " + m[1].str());
    }
    return calls;
}

// The bytes of every message the device received, in order.
std::vector<bytes> payloads(emu_device *dev)
{
    std::vector<bytes> out;
    for (const emu_packet &p : emu_packets(*dev))
        out.push_back(p.bytes);
    return out;
}

// The runs of one test on the oldest box, each with a trace of its system
// calls in a file of its own.
class traced_runs {
public:
    traced_runs()
    {
        char pattern[] = "/tmp/huecast-trace-XXXXXX";
        if (mkdtemp(pattern) != nullptr)
            dir_ = pattern;
    }
    ~traced_runs()
    {
        for (const std::string &trace : traces_)
            unlink(trace.c_str());
        if (!dir_.empty())
            rmdir(dir_.c_str());
    }
    traced_runs(const traced_runs &) = delete;
    traced_runs &operator=(const traced_runs &) = delete;

    // A directory that lives as long as the runs.
    const std::string &directory() const { return dir_; }

    // The command that runs a box program on a 4Kc core under Linux 2.6.18.
    std::vector<std::string> command(const char *program)
    {
        traces_.push_back(dir_ + "/" + std::to_string(traces_.size()));
        return {HUE_EMULATOR_PATH, "-cpu", "4Kc",          "-r",   "2.6.18", "-d",
                "strace",          "-D",   traces_.back(), program};
    }

    // Every system call of every run is one Linux 2.6.18 serves; prints them.
    void expect_calls_of_2_6_18() const
    {
        const call_list list = read_call_list();
        std::set<std::string> all;
        for (const std::string &trace : traces_)
            for (const std::string &name : traced_calls(trace)) {
                EXPECT_TRUE(served_by_2_6_18(list, name)) << name << " in " << trace;
                all.insert(name);
            }
        if (traces_.empty())
            return;
        EXPECT_FALSE(all.empty()) << "no system call traced";
        std::string seen;
        for (const std::string &name : all)
            seen += " " + name;
        std::printf("system calls:%s\n", seen.c_str());
    }

private:
    std::string dir_;
    std::vector<std::string> traces_;
};

// Whether the build has qemu to run the box programs.
bool have_emulator()
{
    return !std::string(HUE_EMULATOR_PATH).empty();
}

// huecheck and hueinfo on the oldest box, and the glibc builds for reference.
class OldestBox : public testing::Test {
protected:
    emu_testbed_ptr bed;
    traced_runs runs;

    void SetUp() override
    {
        if (!have_emulator())
            GTEST_SKIP() << "no emulator for this architecture";
        bed.reset(emu_testbed_new());
        ASSERT_NE(bed, nullptr);
    }
    void TearDown() override { runs.expect_calls_of_2_6_18(); }

    process_result run(const std::vector<std::string> &argv)
    {
        process_options options;
        options.timeout_seconds = 60;
        return emu_run(argv, options);
    }
};

// huecast on the oldest box, in a simulated set-top box.
class OldestBoxHuecast : public BoxTest {
protected:
    traced_runs runs;

    void SetUp() override
    {
        if (!have_emulator())
            GTEST_SKIP() << "no emulator for this architecture";
        BoxTest::SetUp();
    }
    void TearDown() override
    {
        BoxTest::TearDown();
        runs.expect_calls_of_2_6_18();
    }

    // huecast on the box until it sent frames frames; checks every message
    // against the zone colours of shown, the picture as the grabber sees it.
    void expect_frames(const char *fb, const char *cpuinfo, const char *name,
                       const yuv_picture &shown, bool xilleon, size_t frames = 3)
    {
        add_light_set();
        write_proc_fb(fb);
        if (cpuinfo != nullptr) {
            ASSERT_EQ(stb_box_write_text(box, "/proc/cpuinfo", cpuinfo), 0);
        }
        start(runs.command(BOX_HUECAST_PATH), 120);
        ASSERT_TRUE(wait_lights(frames * 5, 90)) << out() << err();
        const process_result r = stop();
        EXPECT_EQ(r.out.find("Huecast Screengrabber\n"), 0u) << r.out;
        EXPECT_NE(r.out.find(std::string("Detected STB: ") + name + "\n"), std::string::npos)
            << r.out;
        EXPECT_EQ(r.err, "");
        const std::vector<bytes> frame = frame_messages(reference_zones(shown, xilleon));
        const std::vector<bytes> got = lights();
        ASSERT_GE(got.size(), frames * 5);
        for (size_t i = 0; i < frames * 5; i++)
            EXPECT_EQ(got[i], frame[i % 5]) << "message " << i;
    }
};

// --- the list itself -------------------------------------------------------------------

// Every call the list names exists in 2.6.18 or falls back to one that does;
// catches a newer call added to the list without its fall-back.
TEST(SystemCallList, EveryCallIsServedBy2_6_18)
{
    const call_list list = read_call_list();
    ASSERT_GE(list.number.size(), 10u) << SYSCALL_LIST_PATH;
    for (const auto &[name, number] : list.number) {
        EXPECT_GT(number, 4000) << name;
        EXPECT_TRUE(served_by_2_6_18(list, name)) << name << " " << number;
        EXPECT_EQ(list.fallback.count(name) != 0, number > LAST_CALL_2_6_18) << name;
    }
}

// --- huecheck and hueinfo against their glibc builds --------------------------------------

// huecheck: the same lines, exit status and 17 messages as the glibc build,
// each light a second after the one before; catches an instruction a 4Kc
// lacks, a sleep that misbehaves on the old kernel, or output lost in musl's
// buffering.
TEST_F(OldestBox, HuecheckSendsItsSeventeenMessagesWithTheirGaps)
{
    emu_device *reference = emu_add_device(bed.get(), 1, 2, 0x0471, 0x083F);
    const process_result glibc = run({HUECHECK_PATH});
    emu_remove_device(bed.get(), reference);
    emu_device *dev = emu_add_device(bed.get(), 2, 2, 0x0471, 0x083F);
    const process_result r = run(runs.command(BOX_HUECHECK_PATH));
    ASSERT_EQ(glibc.exit_status, 0) << glibc.err;
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, glibc.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(payloads(dev), payloads(reference));
    const std::vector<emu_packet> log = emu_packets(*dev);
    ASSERT_EQ(log.size(), 17u);
    for (int i = 2; i < 7; i++) {
        const double gap = log[i + 1].seconds - log[i].seconds;
        EXPECT_GT(gap, 0.95) << "after light " << i - 2;
        EXPECT_LT(gap, 1.6) << "after light " << i - 2;
    }
}

// hueinfo: five components, the long descriptions taking a second read,
// shown as the glibc build shows them; catches a difference in the C
// libraries' formatting or a second read gone wrong.
TEST_F(OldestBox, HueinfoShowsFiveComponentsLikeGlibc)
{
    emu_behaviour b;
    b.components = {{3, 2, "Left speaker light"},
                    {3, 3, "Washer"},
                    {1, 4, "Fan"},
                    {2, 3, "Rumbler in the seat"},
                    {3, 4, "Wall washer right"}};
    emu_device *reference = emu_add_device(bed.get(), 1, 2, 0x0471, 0x083F, b);
    const process_result glibc = run({HUEINFO_PATH});
    emu_remove_device(bed.get(), reference);
    emu_add_device(bed.get(), 2, 2, 0x0471, 0x083F, b);
    const process_result r = run(runs.command(BOX_HUEINFO_PATH));
    ASSERT_EQ(glibc.exit_status, 0) << glibc.err;
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, glibc.out);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Description: Rumbler in the seat\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("The light set reports 5 components:\n"), std::string::npos) << r.out;
}

// --- the shipped programs, with their own libusb ------------------------------------------

// Each shipped program on a USB file system holding one light set as the
// kernel lists it (a bus directory, a file of raw descriptors): it finds the
// set and fails to configure it, the file being no device node, then ends;
// catches a call of libusb's scan of the buses that 2.6.18 lacks.
TEST_F(OldestBox, ShippedProgramsScanTheBusesWithOldCalls)
{
    const std::string usbfs = runs.directory() + "/usbfs";
    ASSERT_EQ(mkdir(usbfs.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((usbfs + "/001").c_str(), 0755), 0);
    const emu_device light_set;
    const std::vector<uint8_t> descriptors = emu_descriptors(light_set);
    std::ofstream(usbfs + "/001/002")
        .write(reinterpret_cast<const char *>(descriptors.data()),
               std::streamsize(descriptors.size()));
    ASSERT_EQ(setenv("USB_DEVFS_PATH", usbfs.c_str(), 1), 0);
    const std::string found = "Found supported controller\nConfiguration 0\n"
                              "Error setting configuration 1\nambx_open(0) failed.\n";
    for (const char *program : {"huecast", "huecheck", "hueinfo"}) {
        const std::string path = std::string(BOX_SHIPPED_DIR) + "/" + program;
        const process_result r = run(runs.command(path.c_str()));
        const std::string banner =
            program == std::string("huecast") ? "Huecast Screengrabber\n" : "";
        EXPECT_EQ(r.out, banner + found) << program;
        EXPECT_EQ(r.exit_status, 255) << program;
    }
    unsetenv("USB_DEVFS_PATH");
    unlink((usbfs + "/001/002").c_str());
    rmdir((usbfs + "/001").c_str());
    rmdir(usbfs.c_str());
}

// --- huecast on each chipset --------------------------------------------------------------

// Pallas, /dev/video: catches the conversion or zones computed differently
// without an FPU.
TEST_F(OldestBoxHuecast, OnPallas)
{
    const yuv_picture p = random_picture(720, 576, 41);
    write_video(p);
    expect_frames("0 pallasfb\n", nullptr, "Pallas", p, false);
}

// Vulcan, /dev/video at the NTSC size; catches a picture size read wrong.
TEST_F(OldestBoxHuecast, OnVulcan)
{
    const yuv_picture p = bars_picture(720, 480);
    write_video(p);
    expect_frames("0 vulcanfb\n", nullptr, "Vulcan", p, false);
}

// BCM7401: the picture in place in /dev/mem; catches a mapping or register
// read that an old kernel or a release-1 core would refuse.
TEST_F(OldestBoxHuecast, OnBcm7401)
{
    const yuv_picture p = random_picture(720, 576, 42);
    place_broadcom(p, stripes_for(720, 576, 0x1000), BRCM_LUMA_BASE);
    expect_frames("0 bcm7401 FB\n", nullptr, "Brcm7401", p, false);
}

// BCM4380: the picture fetched by the DMA engine; catches a descriptor or
// register write that does not reach the engine.
TEST_F(OldestBoxHuecast, OnBcm4380)
{
    const yuv_picture p = random_picture(720, 480, 43);
    place_broadcom(p, stripes_for(720, 480, 0x800), BRCM_DMA_PICTURE);
    expect_frames("0 bcmfb\n", "cpu model\t: Brcm4380 V1.1\n", "Brcm4380", p, false);
}

// Xilleon: one line in 32 of the tiled window; catches tiles or chroma rows
// taken from the wrong place.
TEST_F(OldestBoxHuecast, OnXilleon)
{
    const yuv_picture p = random_picture(720, 576, 44);
    place_xilleon(p);
    expect_frames("0 xilleonfb\n", nullptr, "Xilleon", sampled_picture(p), true);
}

// The box-friendly preset on Pallas: catches the modes' clock, pauses or
// sampled capture calling what a release-1 core or 2.6.18 lacks, or the
// smoothed lights not settling on the sampled picture's colours.
TEST_F(OldestBoxHuecast, BoxPresetOnPallas)
{
    const yuv_picture p = random_picture(720, 576, 45);
    write_video(p);
    add_light_set();
    write_proc_fb("0 pallasfb\n");
    std::vector<std::string> command = runs.command(BOX_HUECAST_PATH);
    for (const char *option : {"--rate", "25", "--sample", "4", "--smooth", "200", "--borders"})
        command.push_back(option);
    start(command, 120);
    // From black to the colours in 5 steps, 25 a second: settled by frame 5.
    ASSERT_TRUE(wait_lights(8 * 5, 90)) << out() << err();
    const process_result r = stop();
    EXPECT_EQ(r.err, "");
    const std::vector<bytes> got = lights();
    const std::vector<bytes> settled =
        frame_messages(reference_sampled_zones(reference_image(p, false), 720, 4, 0, 576));
    EXPECT_NE(std::vector<bytes>(got.begin(), got.begin() + 5), settled) << "smoothed";
    EXPECT_EQ(std::vector<bytes>(got.begin() + 35, got.begin() + 40), settled);
}

}  // namespace
