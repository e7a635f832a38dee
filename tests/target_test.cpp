// What only the box's own architecture shows, checked on the MIPS build under
// qemu-user: the flags huecast opens /dev/mem with and the offsets it maps it
// at, as the kernel receives them (qemu's system-call trace), and that the
// register block is only ever accessed with aligned 32-bit words (MIPS32
// traps a misaligned word access, and so does qemu).
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "tests/box_fixture.h"
#include "capture/physmem.h"
#include "tests/pictures.h"

namespace {

constexpr uint32_t PAGE = 4096;  // mmap2 takes its offset in pages of 4 KiB

// A shared mapping of /dev/mem as the kernel was asked for it.
struct mem_mapping {
    uint64_t address;  // page offset x 4096
    uint64_t length;
    std::string protection, flags;
};

// What qemu's trace says huecast did with /dev/mem.
struct mem_trace {
    std::vector<std::string> open_flags;  // of every open, as qemu spells them
    std::vector<mem_mapping> mappings;    // of the descriptors open on /dev/mem
};

// The open flags of this architecture's headers, by the names qemu prints.
int flag_value(const std::string &name)
{
    static const std::map<std::string, int> flags = {
        {"O_RDONLY", O_RDONLY},   {"O_WRONLY", O_WRONLY},          {"O_RDWR", O_RDWR},
        {"O_DSYNC", O_DSYNC},     {"__O_SYNC", O_SYNC & ~O_DSYNC}, {"O_LARGEFILE", O_LARGEFILE},
        {"O_CLOEXEC", O_CLOEXEC},
    };
    const auto it = flags.find(name);
    return it != flags.end() ? it->second : -1;
}

// The value of "O_RDWR|O_LARGEFILE|O_DSYNC"; -1 for a name it does not know.
int flags_value(const std::string &spelled)
{
    int value = 0;
    std::stringstream names(spelled);
    for (std::string name; std::getline(names, name, '|');) {
        const int flag = flag_value(name);
        if (flag < 0)
            return -1;
        value |= flag;
    }
    return value;
}

mem_trace parse_trace(const std::string &err)
{
    static const std::regex open_line(
        R"(open(?:at)?\((?:AT_FDCWD,)?"/dev/mem",([A-Z_|]+)(?:,\d+)?\) = (-?\d+))");
    static const std::regex close_line(R"(\bclose\((\d+)\) = 0)");
    static const std::regex mmap_line(
        R"(\bmmap2\([^,]+,(\d+),([A-Z_|]+),([A-Z_|]+),(-?\d+),(0x[0-9a-f]+|\d+)\) = 0x)");
    mem_trace trace;
    std::set<std::string> mem_fds;
    std::stringstream lines(err);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_search(line, m, open_line)) {
            trace.open_flags.push_back(m[1]);
            if (std::stoi(m[2]) >= 0)
                mem_fds.insert(m[2]);
        } else if (std::regex_search(line, m, close_line)) {
            mem_fds.erase(m[1]);
        } else if (std::regex_search(line, m, mmap_line) && mem_fds.count(m[4])) {
            trace.mappings.push_back({std::strtoull(m[5].str().c_str(), nullptr, 0) * PAGE,
                                      std::stoull(m[1]), m[2], m[3]});
        }
    }
    return trace;
}

// Whether some mapping covers address.
bool mapped(const mem_trace &trace, uint64_t address)
{
    for (const mem_mapping &m : trace.mappings)
        if (m.address <= address && address < m.address + m.length)
            return true;
    return false;
}

class Target : public BoxTest {
protected:
    void SetUp() override
    {
        if (std::string(HUE_EMULATOR_PATH).empty())
            GTEST_SKIP() << "no emulator for this architecture";
        BoxTest::SetUp();
    }

    // huecast under qemu's system-call trace in the box until it has sent
    // frames frames; its trace.
    mem_trace trace_frames(const char *fb, const char *cpuinfo, int frames)
    {
        add_light_set();
        write_proc_fb(fb);
        if (cpuinfo != nullptr) {
            EXPECT_EQ(stb_box_write_text(box, "/proc/cpuinfo", cpuinfo), 0);
        }
        process_options options;
        options.timeout_seconds = 60;
        options.setup = stb_box_setup(box);
        child = emu_run_start({HUE_EMULATOR_PATH, "-strace", HUECAST_PATH}, options);
        EXPECT_NE(child, nullptr);
        if (child == nullptr)
            return {};
        EXPECT_TRUE(wait_lights(size_t(frames) * 5, 60)) << out();
        const process_result r = stop();
        EXPECT_EQ(r.signal, SIGKILL) << "huecast ended by itself: " << r.out;
        EXPECT_EQ(r.err.find("uncaught target signal"), std::string::npos)
            << r.err.substr(r.err.size() - 2000);
        return parse_trace(r.err);
    }

    // Every open of /dev/mem asked for read-write and synchronous data, which
    // on MIPS is the value 0x12 (O_RDWR | O_DSYNC; O_SYNC would be 0x4012),
    // plus O_LARGEFILE, which the C library adds for 64-bit file offsets.
    void expect_open_flags(const mem_trace &trace, size_t at_least)
    {
        ASSERT_GE(trace.open_flags.size(), at_least);
        for (const std::string &spelled : trace.open_flags) {
            const int value = flags_value(spelled);
            EXPECT_EQ(value & ~O_LARGEFILE, 0x12) << spelled;
            EXPECT_EQ(value & ~O_LARGEFILE, O_RDWR | O_DSYNC) << spelled;
        }
    }

    // Every mapping of /dev/mem is shared and lies below 4 GiB.
    void expect_shared_mappings(const mem_trace &trace)
    {
        for (const mem_mapping &m : trace.mappings) {
            EXPECT_EQ(m.flags, "MAP_SHARED") << std::hex << m.address;
            EXPECT_LT(m.address + m.length, 0x100000000ull) << std::hex << m.address;
        }
    }
};

// Pallas: /dev/video is read, but /dev/mem is still opened at every frame,
// with the synchronous flag of this architecture; nothing of it is mapped.
// A flag spelled with the wrong value (O_SYNC, or 0x12 taken from another
// architecture's headers) fails it.
TEST_F(Target, PallasOpensDevMemSynchronous)
{
    const yuv_picture p = bars_picture(720, 576);
    write_video(p);
    const mem_trace trace = trace_frames("0 pallasfb\n", nullptr, 3);
    expect_open_flags(trace, 3);
    EXPECT_TRUE(trace.mappings.empty());
}

// BCM7401: the register block at 0x10100000 and the picture memory at its
// luma base are mapped shared at exactly those offsets (passed in pages to
// mmap2, through this architecture's off_t), and the frames go out, so no
// register access trapped. A truncated, sign-extended or unaligned offset
// fails it.
TEST_F(Target, Bcm7401MapsTheBlockAndThePicture)
{
    const yuv_picture p = bars_picture(720, 576);
    place_broadcom(p, stripes_for(720, 576, 0x1000), BRCM_LUMA_BASE);
    const mem_trace trace = trace_frames("0 bcm7401 FB\n", nullptr, 3);
    expect_open_flags(trace, 3);
    expect_shared_mappings(trace);
    EXPECT_TRUE(mapped(trace, BRCM_BLOCK));
    EXPECT_TRUE(mapped(trace, BRCM_LUMA_BASE));
    for (const mem_mapping &m : trace.mappings)
        EXPECT_TRUE(m.address == BRCM_BLOCK || m.address == BRCM_LUMA_BASE)
            << "a mapping at " << std::hex << m.address;
}

// BCM4380: also the DMA register page at 0x10C02000 and the DMA window at
// 0x0FC00000, mapped read-write.
TEST_F(Target, Bcm4380MapsTheDmaPageAndWindow)
{
    const yuv_picture p = bars_picture(720, 576);
    place_broadcom(p, stripes_for(720, 576, 0x800), BRCM_DMA_PICTURE);
    const mem_trace trace = trace_frames("0 bcmfb\n", "cpu model\t: Brcm4380 V1.1\n", 3);
    expect_open_flags(trace, 3);
    expect_shared_mappings(trace);
    EXPECT_TRUE(mapped(trace, BRCM_BLOCK));
    bool dma_page = false, dma_window = false;
    for (const mem_mapping &m : trace.mappings) {
        dma_page |= m.address == BRCM_DMA_REGISTERS && m.protection == "PROT_READ|PROT_WRITE";
        dma_window |= m.address == BRCM_DMA_WINDOW && m.protection == "PROT_READ|PROT_WRITE";
    }
    EXPECT_TRUE(dma_page);
    EXPECT_TRUE(dma_window);
}

// Xilleon: the picture window at 0x06000000, mapped read-only.
TEST_F(Target, XilleonMapsThePictureWindow)
{
    place_xilleon(bars_picture(720, 576));
    const mem_trace trace = trace_frames("0 xilleonfb\n", nullptr, 3);
    expect_open_flags(trace, 3);
    expect_shared_mappings(trace);
    ASSERT_FALSE(trace.mappings.empty());
    for (const mem_mapping &m : trace.mappings) {
        EXPECT_EQ(m.address, XILLEON_WINDOW);
        EXPECT_EQ(m.protection, "PROT_READ");
    }
}

// The premise of the runs above: here a misaligned 32-bit register read
// traps (SIGBUS), as on the box's MIPS32 core, and an aligned one does not.
// A register access made of smaller loads, or an emulator that forgives
// misaligned words, fails it.
TEST(TargetPremise, MisalignedRegisterReadTraps)
{
    void *page = mmap(nullptr, PAGE, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    phys_write32(page, 4, 0x12345678);
    EXPECT_EQ(phys_read32(page, 4), 0x12345678u);
    for (size_t offset : {size_t(1), size_t(2), size_t(6)}) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            _exit(phys_read32(page, offset) == 0x5A5A5A5A ? 3 : 0);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS)
            << "offset " << offset << ": status " << status;
    }
    munmap(page, PAGE);
}

}  // namespace
