// Runs a chipset source in-process against the simulated physical memory
// (sim/box/physmem_sim.h), with its size files in a private directory, and
// collects what it printed.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "capture/sources.h"
#include "sim/box/physmem_sim.h"

constexpr char MAPPING_FAILED[] = "Mainmemory: <Memmapping failed>\n";

// The largest picture the caller's image holds on Broadcom and Xilleon boxes.
constexpr int64_t HD_PIXELS = RGB_IMAGE_HD / 3;

class SourceTest : public testing::Test {
protected:
    int mem = -1;
    std::string dir;
    std::vector<std::string> files;

    void SetUp() override
    {
        mem = physmem_sim_reset();
        char name[] = "/tmp/hue-source-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }

    void TearDown() override
    {
        for (const std::string &f : files)
            remove(f.c_str());
        remove(dir.c_str());
    }

    // A file of the private directory; written when text is given.
    std::string file(const char *name) { return dir + "/" + name; }
    void write_file(const char *name, const std::string &text)
    {
        const std::string path = file(name);
        FILE *f = fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(text.c_str(), f);
        fclose(f);
        files.push_back(path);
    }

    // Runs capture with standard output collected in *out.
    template <class F>
    bool printing(F capture, std::string *out)
    {
        testing::internal::CaptureStdout();
        const bool ok = capture();
        fflush(stdout);
        *out = testing::internal::GetCapturedStdout();
        return ok;
    }
};

// The events of one kind, in order.
inline std::vector<sim_event> events_of(sim_event_kind kind)
{
    std::vector<sim_event> out;
    for (const sim_event &e : physmem_sim_events())
        if (e.kind == kind)
            out.push_back(e);
    return out;
}

// How many mapping attempts were made (made or refused).
inline int mapping_attempts()
{
    return int(events_of(sim_event_kind::map).size() +
               events_of(sim_event_kind::refused_map).size());
}
