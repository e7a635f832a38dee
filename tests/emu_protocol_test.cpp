// The emulated amBX light set's protocol logic alone (sim/lightset/ambx_emu.h):
// descriptors, replies, refusals and the words for each message, without
// any USB plumbing.
#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/emu_fixture.h"

namespace {

// Delivers a message and takes the reply, if the device made one.
std::optional<bytes> receive_and_reply(emu_device &dev, const bytes &message)
{
    emu_receive(dev, 0x02, message.data(), static_cast<int>(message.size()));
    bytes reply(64);
    const int length = emu_reply(dev, 0x81, reply.data(), 64);
    if (length < 0)
        return std::nullopt;
    reply.resize(static_cast<size_t>(length));
    return reply;
}

// Descriptor layout with unusual identifiers; catches swapped identifier
// bytes, a wrong total length or a missing endpoint.
TEST(EmuProtocol, DescriptorsCarryIdentifiersAndFullConfiguration)
{
    emu_device dev;
    dev.vendor = 0x1234;
    dev.product = 0xABCD;
    const bytes d = emu_descriptors(dev);
    ASSERT_EQ(d.size(), 18u + 39u);
    EXPECT_EQ((bytes{d[0], d[1], d[2], d[3]}), (bytes{18, 0x01, 0x10, 0x01}));
    EXPECT_EQ((bytes{d[8], d[9], d[10], d[11]}), (bytes{0x34, 0x12, 0xCD, 0xAB}));
    EXPECT_EQ(d[17], 1) << "one configuration";
    EXPECT_EQ((bytes{d[18], d[19], d[20], d[21]}), (bytes{9, 0x02, 39, 0}));
    EXPECT_EQ((bytes{d[27], d[28], d[31], d[32]}), (bytes{9, 0x04, 3, 0xFF}));
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(d[36 + 7 * i + 2], (bytes{0x02, 0x81, 0x83}[i])) << "endpoint " << i;
}

// What a normally answering device replies, and to what not; catches a
// reply to a colour message or a wrong count reply.
TEST(EmuProtocol, NormalDeviceAnswersQueriesOnly)
{
    emu_device dev;
    const bytes start = receive_and_reply(dev, START).value_or(bytes{});
    ASSERT_EQ(start.size(), static_cast<size_t>(emu_start_reply_length()));
    EXPECT_EQ(start[2], emu_start_reply_byte2());
    EXPECT_EQ(start.size(), 3u + start[2]) << "byte 2 counts the bytes after it";
    EXPECT_EQ(receive_and_reply(dev, COUNT_QUERY), (bytes{0x21, 0xF0, 0x01, 0x05}));
    EXPECT_EQ(receive_and_reply(dev, RED_ON_LIGHT_1), std::nullopt);
    EXPECT_EQ(receive_and_reply(dev, {0x31, 0x0B, 0x42, 0x03, 0xE8}), std::nullopt);
    EXPECT_EQ(receive_and_reply(dev, {0x41, 0x51, 0x03, 0x00, 0x00, 0x3B}), std::nullopt)
        << "there is no component 5";
    const std::vector<emu_packet> log = emu_packets(dev);
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[2].endpoint, 0x02);
    EXPECT_EQ(log[2].bytes, RED_ON_LIGHT_1);
    EXPECT_LE(log[0].seconds, log[4].seconds);
}

// Information replies carry the block in chunks of 59 bytes from the asked
// offset, byte 1 asking for a second read of a long block; catches a wrong
// length byte or a chunk taken from the wrong offset.
TEST(EmuProtocol, InformationRepliesCarryTheBlock)
{
    emu_device dev;
    dev.behaviour.components = {{1, 4, "Short"}, {3, 3, "Wall washer centre"}};
    const bytes first = receive_and_reply(dev, {0x41, 0x11, 0x03, 0x00, 0x00, 0x3B}).value();
    ASSERT_EQ(first.size(), 5u + 59);
    EXPECT_EQ(first[2], 61);
    EXPECT_EQ(first[4], 0x00);
    EXPECT_EQ(first[5 + 1], 0x3A);
    EXPECT_EQ(first[5 + 23], 3);
    EXPECT_EQ(first[5 + 33], 3);
    EXPECT_EQ(first[5 + 47], 18);
    EXPECT_EQ(std::string(first.begin() + 5 + 48, first.end()), "Wall washer");
    const bytes second = receive_and_reply(dev, {0x51, 0x11, 0x03, 0x00, 0x3B, 0x3B}).value();
    EXPECT_EQ(second[2], 2 + 7);
    EXPECT_EQ(std::string(second.begin() + 5, second.end()), " centre");

    const bytes single = receive_and_reply(dev, {0x61, 0x01, 0x03, 0x00, 0x00, 0x3B}).value();
    ASSERT_EQ(single.size(), 5u + 48 + 5);
    EXPECT_LT(single[5 + 1], 58) << "a short block needs no second read";
    EXPECT_EQ(single[5 + 33], 1);
    EXPECT_EQ(single[5 + 23], 4);
}

// Silent and empty devices; catches a silent device that still queues
// replies, or an empty one that answers colour messages.
TEST(EmuProtocol, SilentAndEmptyModes)
{
    emu_device silent;
    silent.behaviour.answer = emu_answer::silent;
    EXPECT_EQ(receive_and_reply(silent, START), std::nullopt);
    EXPECT_EQ(receive_and_reply(silent, COUNT_QUERY), std::nullopt);
    EXPECT_EQ(emu_packets(silent).size(), 2u) << "a silent device still logs";

    emu_device empty;
    empty.behaviour.answer = emu_answer::empty;
    EXPECT_EQ(receive_and_reply(empty, START), bytes{});
    EXPECT_EQ(receive_and_reply(empty, COUNT_QUERY), bytes{});
    EXPECT_EQ(receive_and_reply(empty, RED_ON_LIGHT_1), std::nullopt);
}

// Replies come in order, one per read, truncated to the read's capacity,
// and never on 0x83; catches a reply read twice or handed to 0x83.
TEST(EmuProtocol, RepliesAreQueuedAndTruncated)
{
    emu_device dev;
    emu_receive(dev, 0x02, START.data(), 1);
    emu_receive(dev, 0x02, COUNT_QUERY.data(), 4);
    uint8_t buf[64];
    EXPECT_EQ(emu_reply(dev, 0x83, buf, 64), -1);
    EXPECT_EQ(emu_reply(dev, 0x81, buf, 2), 2) << "start reply cut to 2 bytes";
    EXPECT_EQ(emu_reply(dev, 0x81, buf, 64), 4);
    EXPECT_EQ(buf[3], 5);
    EXPECT_EQ(emu_reply(dev, 0x81, buf, 64), -1);
}

// Control requests: refusals per behaviour and invalid values; catches a
// refusal that is ignored or an invalid interface accepted.
TEST(EmuProtocol, ControlRequests)
{
    emu_device dev;
    EXPECT_EQ(emu_set_configuration(dev, 1), 0);
    EXPECT_EQ(emu_set_configuration(dev, 2), -EINVAL);
    EXPECT_EQ(emu_claim_interface(dev, 1), -ENOENT);
    EXPECT_EQ(emu_release_interface(dev, 0), -EINVAL) << "not claimed yet";
    EXPECT_EQ(emu_claim_interface(dev, 0), 0);
    EXPECT_TRUE(dev.claimed);
    EXPECT_EQ(emu_set_alt_setting(dev, 0, 1), -EINVAL);
    EXPECT_EQ(emu_set_alt_setting(dev, 0, 0), 0);
    EXPECT_EQ(emu_release_interface(dev, 0), 0);
    EXPECT_FALSE(dev.claimed);

    emu_device refusing;
    refusing.behaviour = {emu_answer::normal, true, true, true};
    EXPECT_EQ(emu_set_configuration(refusing, 1), -EBUSY);
    EXPECT_EQ(emu_claim_interface(refusing, 0), -EBUSY);
    EXPECT_EQ(emu_set_alt_setting(refusing, 0, 0), -EINVAL);
    EXPECT_FALSE(refusing.claimed);
}

// One line in words per kind of packet; catches misread addresses, step
// times or colours, and non-message bytes described as messages.
TEST(EmuProtocol, DescribeEachKindOfMessage)
{
    const std::vector<std::pair<bytes, std::string>> cases = {
        {START, "start message"},
        {{0x11, 0xF0, 0x01, 0x00}, "count query"},
        {{0x51, 0x2B, 0x03, 0x00, 0xFF, 0x00}, "light 2: colour #00FF00"},
        {{0x61, 0x0B, 0x48, 0x03, 0xE8, 0xFF, 0x00, 0x00, 0x12, 0x34, 0x56},
         "light 0: sequence of 2 colours, step 1000: #FF0000 #123456"},
        {{0x71, 0x4B, 0x42, 0x00, 0x0A}, "light 4: sequence of 0 colours, step 10"},
        {{0x81, 0x31, 0x03, 0x00, 0x3B, 0x3B},
         "component 3: information request, offset 59, 59 bytes"},
        {{0x91, 0x25, 0x01, 0x7F}, "other message: 91 25 01 7F"},
        {{0x00, 0x00}, "other message: 00 00"},
        {{}, "empty message"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(emu_describe({0x02, c.first, 0}), c.second);
    EXPECT_EQ(emu_describe({0x01, START, 0}), "endpoint 0x01: start message");
}

}  // namespace
