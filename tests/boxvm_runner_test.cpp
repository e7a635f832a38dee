// The box VM runner's two halves that need no VM: reading scenario files,
// and the judgements over the light set's log.
#include <gtest/gtest.h>

#include "boxvm/runner/judge.h"
#include "boxvm/runner/scenario.h"

namespace {

using bytes = std::vector<uint8_t>;

emu_packet colour_message(double seconds, int light, unsigned c)
{
    return {0x02,
            {0x51, static_cast<uint8_t>(light << 4 | 0xB), 0x03, static_cast<uint8_t>(c >> 16),
             static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c)},
            seconds};
}

// Lights 0..4 set to colours[0..4] at t, t+0.01, ...
void add_frame(std::vector<emu_packet> &log, double t, const std::vector<unsigned> &colours)
{
    for (int i = 0; i < 5; i++)
        log.push_back(colour_message(t + 0.01 * i, i, colours[i]));
}

const std::vector<unsigned> REF = {0x102030, 0x405060, 0x708090, 0xA0B0C0, 0xD0E0F0};
const std::vector<unsigned> OFF(5, 0);

// catches steps read into the wrong fields: the "at" prefix, quoted text,
// colour lists, the event a lights judgement measures from, 1-based gaps
TEST(BoxvmScenario, ReadsEachKindOfStep)
{
    scenario sc;
    std::string error;
    ASSERT_TRUE(scenario_parse("# Replug: lights again\n# more words\n"
                               "picture pallas 720x576\n"
                               "component light left Left speaker light\n"
                               "\n"
                               "boot with-set\n"
                               "at 15.5 attach\n"
                               "at detach+3 run /etc/init.d/huecast stop; echo \"done\"\n"
                               "expect lights reference within 7 after attach\n"
                               "expect lights off within 2 after run\n"
                               "expect lights 010203 #0A0B0C 000000 FFFFFF 123456 within 1 "
                               "after detach\n"
                               "expect log \"Light set lost\" within 5\n"
                               "expect received 5 \"information request, offset 0,\"\n"
                               "expect gaps 3 8 1.0 0.1\n",
                               &sc, &error))
        << error;
    EXPECT_EQ(sc.title, "Replug: lights again");
    EXPECT_EQ(sc.picture, "pallas 720x576");
    ASSERT_EQ(sc.components.size(), 1u);
    EXPECT_EQ(sc.components[0].description, "Left speaker light");
    EXPECT_EQ(sc.components[0].kind_code, 3);
    EXPECT_EQ(sc.components[0].position_code, 2);
    ASSERT_EQ(sc.steps.size(), 9u);
    EXPECT_TRUE(sc.steps[0].with_set);
    EXPECT_EQ(sc.steps[1].kind, step_kind::attach);
    EXPECT_DOUBLE_EQ(sc.steps[1].at, 15.5);
    EXPECT_EQ(sc.steps[2].command, "/etc/init.d/huecast stop; echo \"done\"");
    EXPECT_EQ(sc.steps[2].at_since, since_event::detach);
    EXPECT_DOUBLE_EQ(sc.steps[2].at, 3);
    EXPECT_TRUE(sc.steps[3].reference);
    EXPECT_EQ(sc.steps[3].since, since_event::attach);
    EXPECT_EQ(sc.steps[4].colours, OFF);
    EXPECT_EQ(sc.steps[5].colours,
              (std::vector<unsigned>{0x010203, 0x0A0B0C, 0, 0xFFFFFF, 0x123456}));
    EXPECT_EQ(sc.steps[6].text, "Light set lost");
    EXPECT_DOUBLE_EQ(sc.steps[6].seconds, 5);
    EXPECT_EQ(sc.steps[7].count, 5);
    EXPECT_EQ(sc.steps[8].first, 3);
    EXPECT_EQ(sc.steps[8].last, 8);
    EXPECT_DOUBLE_EQ(sc.steps[8].tolerance, 0.1);
    EXPECT_EQ(sc.steps[8].line, 14);
}

// catches a scenario that would run half-understood: each bad line is
// refused, and the error names its line
TEST(BoxvmScenario, RefusesBadLines)
{
    const struct {
        const char *text;
        const char *error;
    } rows[] = {
        {"attach\n", "line 1:"},                           // nothing booted
        {"boot with-set\nboot without-set\n", "line 2:"},  // a second boot
        {"boot sometimes\n", "line 1:"},                   // neither kind
        {"boot with-set\nplug\n", "line 2:"},              // no such step
        {"boot with-set\nexpect lights 1 2 3 4 within 2 after boot\n", "line 2:"},
        {"boot with-set\nexpect lights off within 2 after lunch\n", "line 2:"},
        {"boot with-set\nexpect log \"Light set lost within 5\n", "line 2:"},
        {"boot with-set\nexpect gaps 8 3 1.0 0.1\n", "line 2:"},  // backwards
        {"boot with-set\nat soon run true\n", "line 2:"},
        {"boot with-set\nat lunch+3 run true\n", "line 2:"},
        {"component lamp left Lamp\nboot with-set\n", "line 1:"},
        {"# only words\n", "no boot step"},
    };
    for (const auto &row : rows) {
        scenario sc;
        std::string error;
        EXPECT_FALSE(scenario_parse(row.text, &sc, &error)) << row.text;
        EXPECT_EQ(error.rfind(row.error, 0), 0u) << row.text << " gave " << error;
    }
}

// catches lights judged from what the set showed before it was last
// plugged in, a time taken from the wrong message, and a state already
// reached before the event not counting
TEST(BoxvmJudge, LightsShownAt)
{
    std::vector<emu_packet> log;
    add_frame(log, 1.0, REF);  // before the replug at 5
    add_frame(log, 6.0, OFF);  // after it
    add_frame(log, 7.0, REF);
    const struct {
        double plugged, from;
        std::vector<unsigned> colours;
        double shown;
    } rows[] = {
        {0, 0, REF, 1.04},                       // the last of the five messages
        {0, 2, REF, 2},                          // shown before from: at from
        {5, 5, REF, 7.04},                       // the frame before the replug does not count
        {5, 6.5, OFF, 6.5}, {5, 7.02, OFF, -1},  // lights 0 and 1 changed away before from
        {8, 8, REF, -1},                         // nothing since the last plug
    };
    for (const auto &row : rows)
        EXPECT_DOUBLE_EQ(lights_shown_at(log, row.plugged, row.from, row.colours), row.shown)
            << "plugged " << row.plugged << " from " << row.from;
    std::vector<emu_packet> partial;
    for (int i = 0; i < 4; i++)
        partial.push_back(colour_message(1, i, REF[i]));
    EXPECT_EQ(lights_shown_at(partial, 0, 0, REF), -1) << "light 4 never set";
}

// catches a stop that leaves a light on, switches one light twice, or
// sends something after the lights went dark
TEST(BoxvmJudge, EndsDark)
{
    std::vector<emu_packet> good;
    add_frame(good, 1, REF);
    add_frame(good, 2, OFF);
    EXPECT_TRUE(ends_dark(good));

    std::vector<emu_packet> one_on = good;
    one_on[8] = colour_message(2.03, 3, 0x000001);
    std::vector<emu_packet> twice = good;
    twice[9] = colour_message(2.04, 3, 0);
    std::vector<emu_packet> after = good;
    after.push_back({0x02, bytes{0x00}, 3});
    std::vector<emu_packet> short_log(good.begin() + 6, good.end());
    for (const auto *log : {&one_on, &twice, &after, &short_log})
        EXPECT_FALSE(ends_dark(*log)) << describe_log(*log);
}

// catches gaps counted from the wrong message (numbers are 1-based) and a
// log cut short
TEST(BoxvmJudge, GapsBetweenNumberedMessages)
{
    std::vector<emu_packet> log;
    for (double t : {0.0, 0.1, 1.1, 2.3, 2.4})
        log.push_back({0x02, bytes{0x00}, t});
    const std::vector<double> g = gaps(log, 2, 4);
    ASSERT_EQ(g.size(), 2u);
    EXPECT_NEAR(g[0], 1.0, 1e-9);
    EXPECT_NEAR(g[1], 1.2, 1e-9);
    EXPECT_TRUE(gaps(log, 3, 6).empty());
    EXPECT_EQ(received_since(log, 1.1).size(), 3u);
}

// catches a reference read from the wrong words, or taken with too few
TEST(BoxvmScenario, ReferenceColours)
{
    std::vector<unsigned> c;
    ASSERT_TRUE(
        reference_parse("# lights 0..4\n102030 #405060\n708090\nA0B0C0 d0e0f0 111111\n", &c));
    EXPECT_EQ(c, REF);
    EXPECT_FALSE(reference_parse("102030 405060 708090 A0B0C0 12345\n", &c));
}

}  // namespace
