// Component enumeration against the emulated light set.
#include "tests/driver_fixture.h"

namespace {

// What the callback saw.
struct walk {
    std::vector<component_info> seen;
    int stop_at = -1;  // index whose callback returns 0
    int result = 7;    // what the other callbacks return
};

int record(const component_info *info, void *user_data)
{
    auto *w = static_cast<walk *>(user_data);
    w->seen.push_back(*info);
    return info->index == w->stop_at ? 0 : w->result;
}

class Enumerate : public OpenDevice {
protected:
    walk w;
    std::string out;

    int run(const emu_behaviour &behaviour)
    {
        emu_set_behaviour(*dev, behaviour);
        int result = -99;
        out = stdout_of([&] { result = ambx_enumerate(0, record, &w); });
        return result;
    }

    // The reads made after the open handshake's four.
    std::vector<emu_read> count_reads()
    {
        std::vector<emu_read> got = emu_reads(*dev);
        got.erase(got.begin(), got.begin() + std::min<size_t>(4, got.size()));
        return got;
    }

    // The requests sent: count queries and information requests.
    std::vector<bytes> requests()
    {
        std::vector<bytes> got = sent();
        for (bytes &b : got)
            b.erase(b.begin());  // header
        return got;
    }
};

const bytes COUNT = {0xF0, 0x01, 0x00};

bytes info_request(int j, int offset)
{
    return {static_cast<uint8_t>(j << 4 | 1), 0x03, 0x00, static_cast<uint8_t>(offset), 0x3B};
}

// Five components, read with one or two requests each, printed, handed
// over with their codes translated, and the last callback's value returned.
TEST_F(Enumerate, FiveComponents)
{
    emu_behaviour b;
    b.components = {{3, 2, "Left speaker light"},
                    {1, 3, "Fan"},
                    {2, 4, "Rumbler under the seat"},
                    {3, 3, "Washer mid"},
                    {9, 9, "Mystery"}};
    EXPECT_EQ(run(b), 7);
    EXPECT_EQ(out, "Requesting device info for device 0\n"
                   "Reported position: Left\nReported type: Light\n"
                   "Description: Left speaker light\n"
                   "Requesting device info for device 1\n"
                   "Reported position: Middle\nReported type: Fan\nDescription: Fan\n"
                   "Requesting device info for device 2\n"
                   "Reported position: Right\nReported type: Rumbler\n"
                   "Description: Rumbler under the seat\n"
                   "Requesting device info for device 3\n"
                   "Reported position: Middle\nReported type: Light\nDescription: Washer mid\n"
                   "Requesting device info for device 4\n"
                   "Reported position: Unknown\nReported type: Unknown\nDescription: Mystery\n");
    ASSERT_EQ(w.seen.size(), 5u);
    const int expected[5][3] = {{0, COMPONENT_LIGHT, POSITION_LEFT},
                                {1, COMPONENT_FAN, POSITION_MIDDLE},
                                {2, COMPONENT_RUMBLER, POSITION_RIGHT},
                                {3, COMPONENT_LIGHT, POSITION_MIDDLE},
                                {4, 0, 0}};
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(w.seen[i].index, expected[i][0]);
        EXPECT_EQ(w.seen[i].kind, expected[i][1]);
        EXPECT_EQ(w.seen[i].position, expected[i][2]);
    }
    EXPECT_EQ(requests(),
              (std::vector<bytes>{COUNT, info_request(0, 0), info_request(0, 0x3B),
                                  info_request(1, 0), info_request(2, 0), info_request(2, 0x3B),
                                  info_request(3, 0), info_request(4, 0)}));
}

// A two-byte count, most significant byte first.
TEST_F(Enumerate, TwoByteCount)
{
    emu_behaviour b;
    b.components = {{3, 2, "a"}, {3, 3, "b"}, {3, 4, "c"}};
    b.count_bytes = 2;
    EXPECT_EQ(run(b), 7);
    EXPECT_EQ(w.seen.size(), 3u);
}

// A count whose first byte is 0x85 is negative: nothing is read.
TEST_F(Enumerate, NegativeCountReadsNothing)
{
    emu_behaviour b;
    b.reported_count = 0x85;
    EXPECT_EQ(run(b), 1);
    EXPECT_TRUE(w.seen.empty());
    EXPECT_EQ(requests(), std::vector<bytes>{COUNT});
}

// A count of 0 is asked twice, the second time for at most the bytes of the
// first reply (64 again after a failed one); catches a third attempt, a
// callback without components, or the capacity reset for the second attempt.
TEST_F(Enumerate, ZeroCountTwice)
{
    emu_behaviour b;
    b.components.clear();
    EXPECT_EQ(run(b), 1);
    EXPECT_TRUE(w.seen.empty());
    EXPECT_EQ(requests(), (std::vector<bytes>{COUNT, COUNT}));
    EXPECT_EQ(out, "");
    EXPECT_EQ(count_reads(), (std::vector<emu_read>{{0x81, 64}, {0x81, 4}}));
}

// Two unanswered count queries end the walk with 0.
TEST_F(Enumerate, SilentDeviceGivesZero)
{
    emu_behaviour b;
    b.answer = emu_answer::silent;
    EXPECT_EQ(run(b), 0);
    EXPECT_TRUE(w.seen.empty());
    EXPECT_EQ(out, READ_TIMED_OUT + READ_TIMED_OUT);
    EXPECT_EQ(requests(), (std::vector<bytes>{COUNT, COUNT}));
    EXPECT_EQ(count_reads(), (std::vector<emu_read>{{0x81, 64}, {0x81, 64}}));
}

// A count beyond 16 is walked up to component 15, the last the address
// byte can name, and reported in one line; 16 exactly needs no line.
// Catches a walk into aliased requests (the callback stops it at 40).
TEST_F(Enumerate, HugeCountStopsAfterComponent15)
{
    const struct {
        int count, count_bytes;
        const char *line;
    } cases[] = {
        {16, 1, ""},
        {17, 2, "Stopping after component 15: 17 components claimed, 16 can be addressed\n"},
        {0x7F7F7F7F, 4,
         "Stopping after component 15: 2139062143 components claimed, 16 can be addressed\n"},
    };
    for (const auto &c : cases) {
        emu_behaviour b;
        b.components.assign(16, {3, 3, "short"});
        b.reported_count = c.count;
        b.count_bytes = c.count_bytes;
        w = walk{};
        w.stop_at = 40;
        const size_t before = sent().size();
        EXPECT_EQ(run(b), 7) << c.count;
        ASSERT_EQ(w.seen.size(), 16u) << c.count;
        EXPECT_EQ(w.seen.back().index, 15);
        std::vector<bytes> want = {COUNT};
        for (int j = 0; j < 16; j++)
            want.push_back(info_request(j, 0));
        std::vector<bytes> got = requests();
        EXPECT_EQ(std::vector<bytes>(got.begin() + before, got.end()), want) << c.count;
        const std::string last = out.substr(out.rfind("Description: short\n") + 19);
        EXPECT_EQ(last, c.line) << c.count;
    }
}

// The second read is decided on reply byte 6 (information byte 1) as a
// signed byte, 58 or more, wherever that byte was received: also when the
// length byte claims fewer bytes; not when the reply ends before it.
// Catches a decision on the assembled block, or an unsigned comparison.
TEST_F(Enumerate, SecondReadDecidedOnReplyByte6)
{
    const struct {
        int more_byte;
        emu_lie lie;
        int cut_replies;
        bool second_read;
    } cases[] = {
        {57, emu_lie::none, 0, false},
        {58, emu_lie::none, 0, true},
        {0x7F, emu_lie::none, 0, true},
        {0x80, emu_lie::none, 0, false},
        {0xFF, emu_lie::none, 0, false},
        {58, emu_lie::info_length_one, 0, true},
        {57, emu_lie::info_length_one, 0, false},
        {58, emu_lie::none, 6, false},
        {58, emu_lie::none, 7, true},
    };
    for (const auto &c : cases) {
        emu_behaviour b;
        b.components = {{3, 2, "Left", c.cut_replies, c.more_byte}};
        b.lie = c.lie;
        w = walk{};
        const size_t before = sent().size();
        EXPECT_EQ(run(b), 7);
        std::vector<bytes> want = {COUNT, info_request(0, 0)};
        if (c.second_read)
            want.push_back(info_request(0, 0x3B));
        const std::vector<bytes> got = requests();
        EXPECT_EQ(std::vector<bytes>(got.begin() + before, got.end()), want)
            << c.more_byte << " " << static_cast<int>(c.lie) << " " << c.cut_replies;
    }
}

// A callback returning 0 stops the walk before the next request.
TEST_F(Enumerate, CallbackStopsTheWalk)
{
    w.stop_at = 0;
    EXPECT_EQ(run({}), 0);
    EXPECT_EQ(w.seen.size(), 1u);
    EXPECT_EQ(requests(), (std::vector<bytes>{COUNT, info_request(0, 0), info_request(0, 0x3B)}));
}

// An unanswered information request skips its component; when it is the
// last one, the result is 1.
TEST_F(Enumerate, UnansweredLastComponentGivesOne)
{
    emu_behaviour b;
    b.components = {{3, 2, "only one"}};
    b.reported_count = 2;
    EXPECT_EQ(run(b), 1);
    ASSERT_EQ(w.seen.size(), 1u);
    EXPECT_NE(out.find("Requesting device info for device 1\n" + READ_TIMED_OUT),
              std::string::npos);
}

// Every request builds its own header: 1 + 2 message numbers here.
TEST_F(Enumerate, EveryRequestConsumesAMessageNumber)
{
    emu_behaviour b;
    b.components = {{3, 2, "Left speaker light"}};
    msg_counter = 3;
    run(b);
    EXPECT_EQ(msg_counter, 6);
    const std::vector<bytes> got = sent();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0][0], 0x31);
    EXPECT_EQ(got[1][0], 0x41);
    EXPECT_EQ(got[2][0], 0x51);
}

// Index checks and a registered device that is not open.
TEST_F(Enumerate, NeedsAnOpenDevice)
{
    EXPECT_EQ(ambx_enumerate(-1, record, &w), AMBX_ERR_INDEX);
    EXPECT_EQ(ambx_enumerate(16, record, &w), AMBX_ERR_INDEX);
    EXPECT_EQ(ambx_enumerate(1, record, &w), AMBX_ERR_NO_DEVICE);
    stdout_of([] { ambx_close(0); });
    EXPECT_EQ(ambx_enumerate(0, record, &w), AMBX_ERR_NOT_OPEN);
    EXPECT_TRUE(sent().empty());
}

// Replies that claim more than they hold are believed only as far as their
// bytes reach (run under the sanitizers, an overrun would abort).
TEST_F(Enumerate, LyingRepliesStayWithinTheirBytes)
{
    const struct {
        emu_lie lie;
        int result;
        size_t components;
        const char *line;  // a line the walk must print
    } cases[] = {
        {emu_lie::count_too_long, 1, 0,
         "Ignoring count reply: 5 count bytes claimed, 5 received\n"},
        {emu_lie::count_beyond_reply, 1, 0,
         "Ignoring count reply: 3 count bytes claimed, 1 received\n"},
        {emu_lie::info_length_too_big, 7, 1, "Description: Left speaker light\n"},
        {emu_lie::info_beyond_reply, 7, 1, "Description: \n"},
        {emu_lie::description_negative, 7, 1, "Description: \n"},
        {emu_lie::description_beyond, 7, 1, "Description: Left speaker light\n"},
    };
    for (const auto &c : cases) {
        emu_behaviour b;
        b.components = {{3, 2, "Left speaker light"}};
        b.lie = c.lie;
        w = walk{};
        EXPECT_EQ(run(b), c.result) << static_cast<int>(c.lie);
        EXPECT_EQ(w.seen.size(), c.components) << static_cast<int>(c.lie);
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
    }
}

// A component's block never shows bytes of the component before it: a
// reply cut short leaves its fields unknown, not inherited.
TEST_F(Enumerate, NoBytesOfAnEarlierComponent)
{
    emu_behaviour b;
    b.components = {{3, 2, "Left speaker light"}, {1, 4, "Right fan", 20}};
    EXPECT_EQ(run(b), 7);
    ASSERT_EQ(w.seen.size(), 2u);
    EXPECT_EQ(w.seen[0].position, POSITION_LEFT);
    EXPECT_EQ(w.seen[1].kind, 0);
    EXPECT_EQ(w.seen[1].position, 0);
    EXPECT_NE(out.find("device 1\nReported position: Unknown\nReported type: Unknown\n"
                       "Description: \n"),
              std::string::npos)
        << out;
}

}  // namespace
