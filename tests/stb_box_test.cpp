// The simulated set-top box: what a program inside sees, live changes from
// outside, the runner, and that nothing stays behind on the host.
//
// This binary is also the small program run inside the boxes:
// "stb_box_test probe <command> ...".
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/box/stb_box.h"
#include "sim/common/util.h"

namespace {

// --- the probe: runs inside a box --------------------------------------------

// Maps the /dev/mem page holding address as the grabber does (read-write,
// synchronous, shared); nullptr on failure.
volatile uint32_t *map_word(unsigned long address, int *fd)
{
    *fd = open("/dev/mem", O_RDWR | O_SYNC);
    if (*fd < 0)
        return nullptr;
    void *page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, *fd,
                      static_cast<off_t>(address & ~4095ul));
    if (page == MAP_FAILED)
        return nullptr;
    return reinterpret_cast<volatile uint32_t *>(static_cast<char *>(page) + (address & 4095));
}

// poke ADDR VALUE ...: prints the old word at each address, then stores VALUE.
int probe_poke(int argc, char **argv)
{
    for (int i = 0; i + 1 < argc; i += 2) {
        int fd;
        volatile uint32_t *word = map_word(strtoul(argv[i], nullptr, 16), &fd);
        if (!word) {
            perror("probe poke");
            return 1;
        }
        printf("%08x\n", static_cast<unsigned>(*word));
        *word = static_cast<uint32_t>(strtoul(argv[i + 1], nullptr, 16));
        munmap(const_cast<uint32_t *>(word - ((reinterpret_cast<uintptr_t>(word) & 4095) / 4)),
               4096);
        close(fd);
    }
    return 0;
}

// wait-word ADDR VALUE: maps once, says "mapped", waits until the word reads VALUE.
int probe_wait_word(int argc, char **argv)
{
    int fd;
    volatile uint32_t *word = argc == 2 ? map_word(strtoul(argv[0], nullptr, 16), &fd) : nullptr;
    if (!word)
        return 1;
    const uint32_t want = static_cast<uint32_t>(strtoul(argv[1], nullptr, 16));
    printf("mapped\n");
    fflush(stdout);
    while (*word != want)
        usleep(1000);
    printf("seen\n");
    return 0;
}

// The file's contents up to the first line end, or "(absent)".
std::string file_state(const char *path)
{
    FILE *f = fopen(path, "r");
    if (!f)
        return "(absent)";
    char line[256] = "";
    if (!fgets(line, sizeof line, f))
        line[0] = '\0';
    fclose(f);
    line[strcspn(line, "\n")] = '\0';
    return line;
}

// watch PATH N: opens PATH anew every millisecond and prints each new state
// until it has seen N of them.
int probe_watch(int argc, char **argv)
{
    if (argc != 2)
        return 1;
    std::string last = "\x01";
    for (int seen = 0; seen < atoi(argv[1]); usleep(1000)) {
        const std::string now = file_state(argv[0]);
        if (now != last) {
            printf("%s\n", now.c_str());
            fflush(stdout);
            last = now;
            seen++;
        }
    }
    return 0;
}

int probe_main(int argc, char **argv)
{
    const std::string cmd = argc > 0 ? argv[0] : "";
    if (cmd == "poke")
        return probe_poke(argc - 1, argv + 1);
    if (cmd == "wait-word")
        return probe_wait_word(argc - 1, argv + 1);
    if (cmd == "watch")
        return probe_watch(argc - 1, argv + 1);
    if (cmd == "leak") {
        void *volatile leaked = malloc(77);
        leaked = nullptr;
        return leaked == nullptr ? 0 : 3;
    }
    fprintf(stderr, "probe: unknown command\n");
    return 2;
}

// --- the tests ---------------------------------------------------------------

std::string self_exe;  // this binary, for the probe

std::vector<std::string> probe(std::vector<std::string> args)
{
    args.insert(args.begin(), {self_exe, "probe"});
    return args;
}

std::vector<std::string> sorted_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::string read_host_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool boxes_possible(std::string *why)
{
    static std::string reason;
    static const bool possible = stb_box_possible(&reason);
    *why = reason;
    return possible;
}

class Box : public testing::Test {
protected:
    stb_box *box = nullptr;

    void SetUp() override
    {
        std::string why;
        if (!boxes_possible(&why))
            GTEST_SKIP() << why;
        box = stb_box_make();
        ASSERT_NE(box, nullptr) << strerror(errno);
    }
    void TearDown() override { stb_box_free(box); }

    // A BCM7401 box showing a 4 x 2 picture.
    void full_scenario()
    {
        const uint8_t luma[8] = {16, 32, 48, 64, 80, 96, 112, 128};
        const uint8_t chroma[4] = {1, 2, 3, 4};
        ASSERT_EQ(stb_box_write_text(box, "/proc/fb", "0 bcmfb\n"), 0);
        ASSERT_EQ(stb_box_write_text(box, "/proc/cpuinfo", "system type : BCM7401\n"), 0);
        ASSERT_EQ(stb_box_write_picture_size(box, 720, 576), 0);
        ASSERT_EQ(stb_box_write_video(box, 4, 2, luma, chroma), 0);
        ASSERT_EQ(stb_box_make_mem(box), 0);
    }

    // The options that run a program in the box.
    process_options in_box(double timeout_s = 10, const std::vector<std::string> *env = nullptr)
    {
        process_options options;
        options.timeout_seconds = timeout_s;
        options.environment = env;
        options.setup = stb_box_setup(box);
        return options;
    }

    process_result run(const std::vector<std::string> &argv, double timeout_s = 10)
    {
        return process_run(argv, in_box(timeout_s));
    }
};

// The box lists exactly the scenario's files plus /dev/null and the procfs
// links; catches host /dev or /proc entries showing through.
TEST_F(Box, ListsOnlyTheScenarioFiles)
{
    full_scenario();
    process_ptr child = process_start({"/usr/bin/find", "/dev", "/proc"}, in_box());
    ASSERT_NE(child, nullptr);
    const std::string pid = std::to_string(process_pid(*child));
    process_result r = process_finish(std::move(child));
    ASSERT_EQ(r.exit_status, 0) << r.failed_step << r.err;
    const std::vector<std::string> want = sorted_lines(
        "/dev\n/dev/null\n/dev/mem\n/dev/video\n/proc\n/proc/fb\n/proc/cpuinfo\n/proc/stb\n"
        "/proc/stb/vmpeg\n/proc/stb/vmpeg/0\n/proc/stb/vmpeg/0/xres\n/proc/stb/vmpeg/0/yres\n"
        "/proc/self\n/proc/thread-self\n/proc/sys\n/proc/" +
        pid + "\n");
    EXPECT_EQ(sorted_lines(r.out), want);
}

// Reading the files inside gives the scenario's bytes, /dev/video in the
// little-endian header format; catches a wrong layout or a wrong link target.
TEST_F(Box, FilesReadInsideHoldTheScenarioBytes)
{
    full_scenario();
    process_result r = run({"/usr/bin/cat", "/proc/fb", "/proc/cpuinfo", "/proc/stb/vmpeg/0/xres",
                            "/proc/stb/vmpeg/0/yres"});
    EXPECT_EQ(r.out, "0 bcmfb\nsystem type : BCM7401\n2d0\n240\n") << r.err;

    const std::string video = run({"/usr/bin/cat", "/dev/video"}).out;
    const std::string want = std::string("\x04\0\0\0\x02\0\0\0\0\0\0\0\0\0\0\0", 16) +
                             "\x10\x20\x30\x40\x50\x60\x70\x80" +
                             "\x01\x02\x03\x04\x80\x80\x80\x80";
    EXPECT_EQ(video, want);

    r = run({"/bin/sh", "-c", "echo gone >/dev/null && echo ok"});
    EXPECT_EQ(r.out, "ok\n") << r.err;
}

// Files missing from the scenario, or removed before the run, do not exist
// inside; catches dangling links or host files showing through.
TEST_F(Box, AbsentFilesAreAbsent)
{
    ASSERT_EQ(stb_box_write_text(box, "/proc/fb", "xilleonfb\n"), 0);
    ASSERT_EQ(stb_box_write_text(box, "/dev/video", "short"), 0);
    ASSERT_EQ(stb_box_remove(box, "/dev/video"), 0);
    process_result r = run({"/bin/sh", "-c",
                            "for f in /dev/mem /dev/video /proc/cpuinfo /proc/stb /proc/meminfo "
                            "/dev/zero /proc/fb; do test -e $f && echo $f; done; ls -A /dev"});
    EXPECT_EQ(r.out, "/proc/fb\nnull\n") << r.err;
}

// /proc/self, /proc/sys and the entering process's /proc/<pid> work inside;
// catches a box in which the sanitizers, valgrind or qemu could not start.
TEST_F(Box, ProcSelfWorksInside)
{
    char readlink_path[PATH_MAX];
    ASSERT_NE(realpath("/usr/bin/readlink", readlink_path), nullptr);
    process_result r = run({"/usr/bin/readlink", "/proc/self/exe"});
    EXPECT_EQ(r.out, std::string(readlink_path) + "\n") << r.err;

    r = run({"/bin/sh", "-c",
             "grep '^Name:' /proc/self/status; cat /proc/sys/kernel/ostype; "
             "grep -c '\\[stack\\]' /proc/self/maps; test -d /proc/$$/task && echo ok"});
    EXPECT_EQ(r.out, "Name:\tgrep\nLinux\n1\nok\n") << r.err;
}

// Shared mappings of /dev/mem at the addresses the grabber uses see what the
// parent wrote, and the program's stores land in the staging file.
TEST_F(Box, MemMappingsAreSharedBothWays)
{
    ASSERT_EQ(stb_box_make_mem(box), 0);
    const uint64_t addresses[4] = {0x10100000, 0x0FC00000, 0x10C02000, 0x06000000};
    std::vector<std::string> args = {"poke"};
    for (uint32_t i = 0; i < 4; i++) {
        ASSERT_EQ(stb_box_mem_write32(box, addresses[i] + 4 * i, 0x11110000 + i), 0);
        char a[32], v[32];
        snprintf(a, sizeof a, "%llx", static_cast<unsigned long long>(addresses[i] + 4 * i));
        snprintf(v, sizeof v, "%x", 0xA0000000 + i);
        args.insert(args.end(), {a, v});
    }
    process_result r = run(probe(args));
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "11110000\n11110001\n11110002\n11110003\n");
    for (uint32_t i = 0; i < 4; i++) {
        uint32_t word = 0;
        ASSERT_EQ(stb_box_mem_read32(box, addresses[i] + 4 * i, &word), 0);
        EXPECT_EQ(word, 0xA0000000 + i) << std::hex << addresses[i];
    }
}

// A /dev/mem of a chosen size ends there: the last word maps, the next page
// raises SIGBUS, and the helpers refuse it; catches a size that is ignored.
TEST_F(Box, MemEndsAtItsSize)
{
    ASSERT_EQ(stb_box_make_mem(box, 0x10C03000), 0);
    process_result r = run(probe({"poke", "10c02ffc", "1"}));
    EXPECT_EQ(r.exit_status, 0) << r.err;

    std::vector<std::string> env = process_environment();
    const char *asan = getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":handle_sigbus=0");
    r = process_run(probe({"poke", "10c03000", "1"}), in_box(10, &env));
    EXPECT_EQ(r.signal, SIGBUS) << r.exit_status << r.err;
    EXPECT_EQ(stb_box_mem_write32(box, 0x10C03000, 1), -ERANGE);
    uint32_t word;
    EXPECT_EQ(stb_box_mem_read32(box, 0x10C02FFE, &word), -ERANGE);
}

// While the program runs, an atomic replacement is seen by its next open and
// a removal makes the file vanish; catches links that pin the old inode.
TEST_F(Box, ReplacementsAreSeenByTheNextOpen)
{
    ASSERT_EQ(stb_box_write_text(box, "/proc/fb", "first\n"), 0);
    process_ptr child = process_start(probe({"watch", "/proc/fb", "3"}), in_box());
    ASSERT_NE(child, nullptr);
    ASSERT_TRUE(process_wait_output(*child, "first\n", 10)) << process_err(*child);
    ASSERT_EQ(stb_box_write_text(box, "/proc/fb", "second\n"), 0);
    ASSERT_TRUE(process_wait_output(*child, "second\n", 10));
    ASSERT_EQ(stb_box_remove(box, "/proc/fb"), 0);
    process_result r = process_finish(std::move(child));
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, "first\nsecond\n(absent)\n") << r.err;
}

// A word the parent writes into /dev/mem shows up in a mapping the program
// made before; catches a copy instead of the shared file.
TEST_F(Box, MemWritesReachALiveMapping)
{
    ASSERT_EQ(stb_box_make_mem(box), 0);
    process_ptr child = process_start(probe({"wait-word", "10100010", "cafef00d"}), in_box());
    ASSERT_NE(child, nullptr);
    ASSERT_TRUE(process_wait_output(*child, "mapped\n", 10)) << process_err(*child);
    ASSERT_EQ(stb_box_mem_write32(box, 0x10100010, 0xCAFEF00D), 0);
    process_result r = process_finish(std::move(child));
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, "mapped\nseen\n") << r.err;
}

// After runs that end, fail and time out, the test process's mounts are as
// before and the staging directory is gone; catches mounts leaking to the host.
TEST_F(Box, NothingStaysOnTheHost)
{
    const std::string before = read_host_file("/proc/self/mountinfo");
    full_scenario();
    const std::string dir = stb_box_dir(box);
    EXPECT_EQ(run({"/usr/bin/true"}).exit_status, 0);
    EXPECT_TRUE(run({"/usr/bin/sleep", "30"}, 0.2).timed_out);
    EXPECT_EQ(run({"/nonexistent"}).error, -ENOENT);
    stb_box_free(box);
    box = nullptr;
    EXPECT_EQ(read_host_file("/proc/self/mountinfo"), before);
    struct stat st;
    EXPECT_NE(stat(dir.c_str(), &st), 0);
}

// The runner keeps stdout, stderr, exit status and environment apart, with
// and without a box; catches crossed streams or a lost status.
TEST_F(Box, RunnerReportsWhatTheProgramDid)
{
    const std::vector<std::string> env = {"GREETING=hello"};
    const std::vector<std::string> argv = {"/bin/sh", "-c",
                                           "echo $GREETING; echo oops >&2; exit 3"};
    process_options plain;
    plain.environment = &env;
    for (const process_options &options : {plain, in_box(10, &env)}) {
        process_result r = process_run(argv, options);
        EXPECT_EQ(r.error, 0);
        EXPECT_EQ(r.exit_status, 3);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.out, "hello\n");
        EXPECT_EQ(r.err, "oops\n");
    }
}

// A box that cannot be entered and a program that cannot be executed are
// reported with the failing step; catches failures mistaken for exit 127.
TEST_F(Box, StartFailuresNameTheStep)
{
    process_result r = run({"/no/such/program"});
    EXPECT_EQ(r.error, -ENOENT);
    EXPECT_EQ(r.failed_step, "exec");
    ASSERT_EQ(rmdir((std::string(stb_box_dir(box)) + "/procfs").c_str()), 0);
    r = run({"/usr/bin/true"});
    EXPECT_EQ(r.error, -ENOENT);
    EXPECT_NE(r.failed_step.find("mount procfs on"), std::string::npos) << r.failed_step;
}

// A time-out kills the program and everything it started, so the namespace
// ends; catches a surviving grandchild that would keep the box alive.
TEST_F(Box, TimeOutKillsTheWholeProgram)
{
    process_result r = run({"/bin/sh", "-c", "sleep 30 & echo $!; wait"}, 0.3);
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_LT(r.seconds, 5);
    const std::string stat_path = "/proc/" + std::to_string(atoi(r.out.c_str())) + "/stat";
    bool gone = false;
    for (int i = 0; i < 200 && !gone; i++, usleep(10000)) {
        const std::string st = read_host_file(stat_path);
        gone = st.empty() || st.find(") Z") != std::string::npos;
    }
    EXPECT_TRUE(gone) << "grandchild " << r.out << " still runs";
}

// Setup plus teardown of a box, measured around /usr/bin/true against the
// same run without a box; catches a box that hangs on the way out.
TEST_F(Box, SetupAndTeardownAreQuick)
{
    full_scenario();
    const int runs = 20;
    double boxed = 0, plain = 0;
    for (int i = 0; i < runs; i++) {
        process_result b = run({"/usr/bin/true"});
        process_result p = process_run({"/usr/bin/true"});
        ASSERT_EQ(b.exit_status, 0) << b.failed_step;
        boxed += b.seconds;
        plain += p.seconds;
    }
    const double t0 = now_seconds();
    stb_box *scratch = stb_box_make();
    ASSERT_NE(scratch, nullptr);
    ASSERT_EQ(stb_box_make_mem(scratch), 0);
    stb_box_free(scratch);
    const double staging = now_seconds() - t0;
    printf("box run %.2f ms, plain run %.2f ms (mean of %d); staging make+free %.2f ms\n",
           1000 * boxed / runs, 1000 * plain / runs, runs, 1000 * staging);
    EXPECT_LT(boxed / runs, 1.0);
}

// Under AddressSanitizer, LeakSanitizer still works inside the box (it needs
// /proc/self/maps and /proc/<pid>/task); catches a missing procfs link.
TEST_F(Box, LeakSanitizerWorksInside)
{
#ifndef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "needs the AddressSanitizer build (-DHUE_SANITIZE=ON)";
#endif
    process_result r = run(probe({"leak"}), 30);
    EXPECT_NE(r.exit_status, 0);
    EXPECT_NE(r.err.find("detected memory leaks"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("fatal error"), std::string::npos) << r.err;
}

// valgrind runs a program to its end inside the box; catches a box whose
// /proc lacks what valgrind reads at start-up.
TEST_F(Box, ValgrindWorksInside)
{
    if (access("/usr/bin/valgrind", X_OK) != 0)
        GTEST_SKIP() << "valgrind is not installed";
    full_scenario();
    process_result r =
        run({"/usr/bin/valgrind", "-q", "--error-exitcode=9", "/usr/bin/cat", "/proc/fb"}, 60);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "0 bcmfb\n");
}

// Scenario paths outside /dev and /proc, with "..", or on the box's own
// entries are refused; catches writes escaping the staging directory.
TEST(BoxPaths, BadScenarioPathsAreRefused)
{
    stb_box *box = stb_box_make();
    ASSERT_NE(box, nullptr);
    for (const char *bad : {"/etc/passwd", "/dev/../etc/x", "/dev/", "/proc//fb", "/dev/null",
                            "/proc/self/x", "/proc/sys", "/proc/1234", "dev/mem"})
        EXPECT_EQ(stb_box_write_text(box, bad, "x"), -EINVAL) << bad;
    EXPECT_EQ(stb_box_write_text(box, "/proc/stb/vmpeg/1/xres", "x"), 0);
    EXPECT_EQ(stb_box_mem_write32(box, 0, 1), -ENOENT);
    stb_box_free(box);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "probe") == 0)
        return probe_main(argc - 2, argv + 2);
    char exe[PATH_MAX];
    self_exe = realpath("/proc/self/exe", exe) ? exe : argv[0];
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
