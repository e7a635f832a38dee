// Chipset detection from /proc/fb and /proc/cpuinfo texts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/inotify.h>
#include <unistd.h>

#include "huecast/detect.h"
#include "capture/frame.h"

namespace {

class Detect : public testing::Test {
protected:
    std::string dir;
    std::string fb, cpuinfo;

    void SetUp() override
    {
        char tmpl[] = "/tmp/hue-detect-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        fb = dir + "/fb";
        cpuinfo = dir + "/cpuinfo";
    }
    void TearDown() override
    {
        unlink(fb.c_str());
        unlink(cpuinfo.c_str());
        rmdir(dir.c_str());
    }
    static void write(const std::string &path, const std::string &text)
    {
        std::ofstream(path) << text;
    }
    int detect(const std::string &fb_text, const std::string &cpuinfo_text = "")
    {
        write(fb, fb_text);
        write(cpuinfo, cpuinfo_text);
        return detect_chipset(fb.c_str(), cpuinfo.c_str());
    }
};

// Patterns are found in any case; catches a case-sensitive search.
TEST_F(Detect, AnyCase)
{
    EXPECT_EQ(detect("0 xilleonfb\n"), STB_XILLEON);
    EXPECT_EQ(detect("0 Pallas FB\n"), STB_PALLAS);
    EXPECT_EQ(detect("vUlCaN\n"), STB_VULCAN);
    EXPECT_EQ(detect("0 bcmfb\n", "cpu model\t: Brcm4380 V1.1\n"), STB_BRCM4380);
    EXPECT_EQ(detect("0 BCM7401\n", "cpu model\t: BMIPS3300\n"), STB_BRCM7401);
}

// The last match wins across lines and, within a line, the later test;
// catches a detection that stops at the first match.
TEST_F(Detect, LastMatchWins)
{
    EXPECT_EQ(detect("0 BCM7401\n1 pallas\n", "BRCM4380\n"), STB_PALLAS);
    EXPECT_EQ(detect("0 PALLAS\n1 BCMFB\n", "brcm4380\n"), STB_BRCM4380);
    EXPECT_EQ(detect("0 PALLAS\n1 BCMFB\n", "BMIPS\n"), STB_BRCM7401);
    EXPECT_EQ(detect("vulcan and pallas\n"), STB_PALLAS);
    EXPECT_EQ(detect("pallas and xilleon\n"), STB_XILLEON);
    EXPECT_EQ(detect("xilleon\nnothing here\n"), STB_XILLEON);
    EXPECT_EQ(detect("XILLEON\n", "BRCM4380\n"), STB_XILLEON);
}

// No pattern, an empty file or a missing file give an unknown box.
TEST_F(Detect, UnknownBoxes)
{
    EXPECT_EQ(detect("0 VESA VGA\n"), STB_UNKNOWN);
    EXPECT_EQ(detect(""), STB_UNKNOWN);
    EXPECT_EQ(detect_chipset((dir + "/missing").c_str(), cpuinfo.c_str()), STB_UNKNOWN);
    write(fb, "BCMFB\n");
    EXPECT_EQ(detect_chipset(fb.c_str(), (dir + "/missing").c_str()), STB_BRCM7401);
}

// A pattern cut by the 255-character piece boundary is not found, one that
// lies wholly in the second piece is; catches whole-line reading.
TEST_F(Detect, PiecesOf255Characters)
{
    EXPECT_EQ(detect(std::string(250, 'x') + "XILLEON" + std::string(43, 'x') + "\n"), STB_UNKNOWN);
    EXPECT_EQ(detect(std::string(255, 'x') + "XILLEON\n"), STB_XILLEON);
    EXPECT_EQ(detect(std::string(248, 'x') + "XILLEON\n"), STB_XILLEON);
}

// /proc/cpuinfo is opened only on a BCM7401-type box; catches a detection
// that reads it for every chipset.
TEST_F(Detect, CpuinfoReadOnlyForBroadcom)
{
    const struct {
        const char *fb;
        bool opened;
    } cases[] = {{"xilleonfb\n", false},
                 {"PALLAS\n", false},
                 {"none\n", false},
                 {"BCM7401\n1 pallas\n", false},
                 {"bcmfb\n", true}};
    for (const auto &c : cases) {
        write(fb, c.fb);
        write(cpuinfo, "BRCM4380\n");
        const int watch = inotify_init1(IN_NONBLOCK);
        ASSERT_GE(watch, 0);
        ASSERT_GE(inotify_add_watch(watch, cpuinfo.c_str(), IN_OPEN), 0);
        detect_chipset(fb.c_str(), cpuinfo.c_str());
        char events[4096];
        EXPECT_EQ(read(watch, events, sizeof events) > 0, c.opened) << c.fb;
        close(watch);
    }
}

// Upper-casing changes only a..z, in place.
TEST(UpcaseLine, OnlyAsciiLetters)
{
    char line[] = "bcm7401 Fb-\xe4\xb5z{}`@\n";
    EXPECT_EQ(upcase_line(line), line);
    EXPECT_STREQ(line, "BCM7401 FB-\xe4\xb5Z{}`@\n");
}

}  // namespace
