// The process runner of sim/ and the small utilities beside it: output as it
// comes, time-outs and group kills, the child's set-up, start failures.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "sim/common/process.h"
#include "sim/common/util.h"

namespace {

// Whether the process is gone (or a zombie that no one reaps yet).
bool process_gone(const std::string &pid)
{
    for (int i = 0; i < 200; i++, usleep(10000)) {
        std::ifstream stat("/proc/" + pid + "/stat");
        std::string text;
        if (!std::getline(stat, text) || text.find(") Z") != std::string::npos)
            return true;
    }
    return false;
}

// A program that outlives its time-out is killed, its children with it;
// catches a hanging test run or a grandchild left running.
TEST(Process, KillsAtTimeOut)
{
    process_options options;
    options.timeout_seconds = 0.3;
    const process_result r = process_run({"sh", "-c", "sleep 30 & sleep 30; echo never"}, options);
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_EQ(r.exit_status, -1);
    EXPECT_GT(r.seconds, 0.25);
    EXPECT_LT(r.seconds, 5.0) << "a grandchild kept the output open";
    EXPECT_EQ(r.out, "");
}

// On request stdout is a terminal, with plain line ends; catches a pipe
// (fully buffered output) or "\r\n" in the captured text.
TEST(Process, StdoutCanBeATerminal)
{
    process_options options;
    options.stdout_terminal = true;
    const process_result r = process_run({"sh", "-c", "test -t 1 && echo terminal"}, options);
    EXPECT_EQ(r.out, "terminal\n");
    EXPECT_EQ(r.exit_status, 0);
}

// Output is read while the program runs, and the result still holds all of
// it; catches output seen only at the end, or lost between poll and finish.
TEST(Process, OutputArrivesWhileTheProgramRuns)
{
    process_ptr child = process_start({"sh", "-c", "echo ready; sleep 30; echo late"}, {});
    ASSERT_NE(child, nullptr);
    EXPECT_TRUE(process_wait_output(*child, "ready\n", 10));
    EXPECT_EQ(process_out(*child), "ready\n");
    process_kill(*child, SIGTERM);
    const process_result r = process_finish(std::move(child));
    EXPECT_EQ(r.out, "ready\n");
    EXPECT_EQ(r.signal, SIGTERM);
    EXPECT_FALSE(r.timed_out);
}

// A program that ends leaves nothing of its process group behind, and its
// end is not held up by what it started; catches a background grandchild
// that outlives the run or keeps its output open.
TEST(Process, WhatTheProgramLeftBehindIsKilled)
{
    const process_result r = process_run({"sh", "-c", "sleep 30 & echo $!"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_FALSE(r.timed_out);
    EXPECT_LT(r.seconds, 5.0);
    ASSERT_FALSE(r.out.empty());
    EXPECT_TRUE(process_gone(std::to_string(std::atoi(r.out.c_str())))) << r.out;
}

// The environment option replaces the program's whole environment; without
// it the program gets this process's; catches a merged or ignored one.
TEST(Process, EnvironmentIsTheOptionsOrThisProcesss)
{
    const std::vector<std::string> env = {"ONLY=this"};
    process_options options;
    options.environment = &env;
    process_result r = process_run({"/bin/sh", "-c", "echo $ONLY ${HOME-none}"}, options);
    EXPECT_EQ(r.out, "this none\n") << r.err;
    setenv("HUE_PROCESS_TEST", "inherited", 1);
    r = process_run({"sh", "-c", "echo $HUE_PROCESS_TEST"});
    EXPECT_EQ(r.out, "inherited\n");
    unsetenv("HUE_PROCESS_TEST");
}

// A program that cannot be executed is reported as such, with status 127
// and a line on stderr; catches a failure mistaken for the program's own
// exit status.
TEST(Process, ExecFailureIsReported)
{
    process_ptr child = process_start({"/nonexistent/program"}, {});
    ASSERT_NE(child, nullptr);
    std::string step;
    EXPECT_EQ(process_error(*child, &step), -ENOENT);
    EXPECT_EQ(step, "exec");
    const process_result r = process_finish(std::move(child));
    EXPECT_EQ(r.error, -ENOENT);
    EXPECT_EQ(r.exit_status, 127);
    EXPECT_EQ(r.err, "cannot run /nonexistent/program\n");
    EXPECT_EQ(process_run({}).error, -EINVAL) << "no program at all";
}

int refuse_at_step_seven(const void *, int *step)
{
    *step = 7;
    return -EPERM;
}

std::string seven_words(const void *arg, int step)
{
    return std::string(static_cast<const char *>(arg)) + " " + std::to_string(step);
}

// A set-up that fails stops the child before the exec; its step is named
// by the set-up's own words; catches a program run after a failed set-up.
TEST(Process, SetupFailureNamesItsStep)
{
    process_options options;
    options.setup.run = refuse_at_step_seven;
    options.setup.step_name = seven_words;
    options.setup.arg = "enter step";
    const process_result r = process_run({"sh", "-c", "echo ran"}, options);
    EXPECT_EQ(r.error, -EPERM);
    EXPECT_EQ(r.failed_step, "enter step 7");
    EXPECT_EQ(r.exit_status, 126);
    EXPECT_EQ(r.out, "");
}

// Numbers are whole and within range; catches trailing text or an
// out-of-range value taken.
TEST(Util, ParseNumber)
{
    const struct {
        const char *text;
        bool ok;
        double value;
    } cases[] = {{"15", true, 15},    {"0.5", true, 0.5}, {"1e2", true, 100}, {"", false, 0},
                 {nullptr, false, 0}, {"3x", false, 0},   {"101", false, 0},  {"-1", false, 0}};
    for (const auto &c : cases) {
        double value = -7;
        EXPECT_EQ(parse_number(c.text, 0, 100, &value), c.ok) << (c.text ? c.text : "null");
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

// Whole reads and writes at an offset, and a read past the end; catches a
// short transfer taken for a whole one.
TEST(Util, WholeReadsAndWrites)
{
    const int fd = memfd_create("util-test", 0);
    ASSERT_GE(fd, 0);
    const std::string text(100000, 'x');
    ASSERT_EQ(pwrite_all(fd, text.data(), text.size(), 5), 0);
    std::string back(text.size(), '\0');
    ASSERT_EQ(pread_all(fd, &back[0], back.size(), 5), 0);
    EXPECT_EQ(back, text);
    EXPECT_EQ(pread_all(fd, &back[0], 10, text.size()), -EIO);
    EXPECT_EQ(pwrite_all(-1, "x", 1, 0), -EBADF);
    close(fd);
}

// The clock counts seconds; catches milliseconds or nanoseconds taken for
// seconds.
TEST(Util, ClockCountsSeconds)
{
    const double start = now_seconds();
    usleep(50000);
    const double passed = now_seconds() - start;
    EXPECT_GE(passed, 0.049);
    EXPECT_LT(passed, 2.0);
}

}  // namespace
