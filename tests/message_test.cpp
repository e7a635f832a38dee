// Framing and output commands, checked byte for byte on the emulated device.
#include "tests/driver_fixture.h"

namespace {

// The sequence nibble runs 1..15, 0, 1 and the counter wraps at 8 bits;
// catches a signed "mod 16" on a negative counter and a missed wrap.
TEST(Header, SequenceNibbleRunsAndWraps)
{
    msg_counter = 1;
    std::vector<int> headers;
    for (int i = 0; i < 17; i++)
        headers.push_back(make_header(1));
    EXPECT_EQ(headers[0], 0x11);
    EXPECT_EQ(headers[14], 0xF1);
    EXPECT_EQ(headers[15], 0x01);
    EXPECT_EQ(headers[16], 0x11);

    msg_counter = 0x7F;
    EXPECT_EQ(make_header(1), 0xF1);
    EXPECT_EQ(msg_counter, -128);
    EXPECT_EQ(make_header(1), 0x01);  // 0x80: low nibble 0
    msg_counter = -1;                 // 0xFF
    EXPECT_EQ(make_header(2), 0xF2);
    EXPECT_EQ(msg_counter, 0);
    EXPECT_EQ(make_header(0), 0x00);
}

// The count query, as the open handshake and the enumeration both send it:
// four bytes, address 0xF0, and a message number of its own; catches a
// query that skips the numbering or carries another target or length.
TEST(CountQuery, FourBytesNumbered)
{
    msg_counter = 15;
    unsigned char first[4], second[4];
    EXPECT_EQ(put_count_query(first), 4);
    EXPECT_EQ(put_count_query(second), 4);
    EXPECT_EQ(bytes(first, first + 4), (bytes{0xF1, 0xF0, 0x01, 0x00}));
    EXPECT_EQ(bytes(second, second + 4), (bytes{0x01, 0xF0, 0x01, 0x00}));
    EXPECT_EQ(msg_counter, 17);
}

// A colour is sent red, green, blue and its top byte is ignored.
TEST(Colour, PacksThreeBytesIgnoringTopByte)
{
    unsigned char plain[3], high[3];
    EXPECT_EQ(pack_color(plain, 0x123456), 3);
    EXPECT_EQ(pack_color(high, static_cast<int>(0xFF123456)), 3);
    EXPECT_EQ(bytes(plain, plain + 3), (bytes{0x12, 0x34, 0x56}));
    EXPECT_EQ(bytes(high, high + 3), (bytes{0x12, 0x34, 0x56}));
}

// The fifth header of a colour message and the address byte of light 2;
// a light above 15 loses its high bits.
TEST_F(OpenDevice, SetLightFramesSixBytes)
{
    msg_counter = 5;
    EXPECT_EQ(ambx_set_light(0, 2, 0x00FF00), 6);
    EXPECT_EQ(ambx_set_light(0, 16, 0x7F010203), 6);
    EXPECT_EQ(sent(), (std::vector<bytes>{{0x51, 0x2B, 0x03, 0x00, 0xFF, 0x00},
                                          {0x61, 0x0B, 0x03, 0x01, 0x02, 0x03}}));
}

// Length byte and size of sequences of 8, 0, negative and 20 colours.
TEST_F(OpenDevice, SequenceLengths)
{
    const int colours[20] = {0xFF0000, 0x00FF00, 0x0000FF, 0x808080,
                             0x808000, 0x008080, 0x800080, 0x808080};
    msg_counter = 3;
    EXPECT_EQ(ambx_set_light_sequence(0, 1, 1000, colours, 8), 29);
    EXPECT_EQ(ambx_set_light_sequence(0, 4, 1000, colours, 0), 5);
    EXPECT_EQ(ambx_set_light_sequence(0, 4, 1000, colours, -3), 5);
    EXPECT_EQ(ambx_set_light_sequence(0, 0, 1000, colours, 20), 65);
    const std::vector<bytes> got = sent();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], (bytes{0x31, 0x1B, 0x5A, 0x03, 0xE8, 0xFF, 0x00, 0x00, 0x00, 0xFF,
                             0x00, 0x00, 0x00, 0xFF, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00,
                             0x00, 0x80, 0x80, 0x80, 0x00, 0x80, 0x80, 0x80, 0x80}));
    EXPECT_EQ(got[1], (bytes{0x41, 0x4B, 0x42, 0x03, 0xE8}));
    EXPECT_EQ(got[2], (bytes{0x51, 0x4B, 0x42, 0x03, 0xE8}));
    EXPECT_EQ(got[3].size(), 65u);
    EXPECT_EQ(got[3][2], 0x7E);
}

// 21 colours are refused before a header is built.
TEST_F(OpenDevice, SequenceOfTwentyOneIsRefused)
{
    const int colours[21] = {};
    msg_counter = 9;
    EXPECT_EQ(ambx_set_light_sequence(0, 1, 1000, colours, 21), AMBX_ERR_TOO_LARGE);
    EXPECT_EQ(msg_counter, 9);
    EXPECT_TRUE(sent().empty());
}

// The step time is a signed 16-bit value whose high byte truncates toward
// zero; catches an arithmetic shift (which rounds down) and a missing cut.
TEST_F(OpenDevice, StepTimeBytes)
{
    const struct {
        int step;
        uint8_t high, low;
    } cases[] = {{1000, 0x03, 0xE8},  {0, 0x00, 0x00},       {32767, 0x7F, 0xFF},
                 {-1, 0x00, 0xFF},    {-1000, 0xFD, 0x18},   {-256, 0xFF, 0x00},
                 {40000, 0x9D, 0x40}, {0x12345, 0x23, 0x45}, {-32768, 0x80, 0x00}};
    for (const auto &c : cases)
        ambx_set_light_sequence(0, 0, c.step, nullptr, 0);
    const std::vector<bytes> got = sent();
    ASSERT_EQ(got.size(), std::size(cases));
    for (size_t i = 0; i < got.size(); i++) {
        EXPECT_EQ(got[i][3], cases[i].high) << "step " << cases[i].step;
        EXPECT_EQ(got[i][4], cases[i].low) << "step " << cases[i].step;
    }
}

// A single value carries the caller's kind nibble and the value's low byte.
TEST_F(OpenDevice, SendValueCarriesKindAndLowByte)
{
    msg_counter = 2;
    EXPECT_EQ(ambx_send_value(0, 3, 0x1FF, 6, 0x5), 4);
    EXPECT_EQ(sent(), (std::vector<bytes>{{0x26, 0x35, 0x01, 0xFF}}));
}

// Raw requests: 61 payload bytes send 63, 62 are refused, 256 counts as 0;
// an unanswered request fails and an answered one succeeds.
TEST_F(OpenDevice, RawRequestLimits)
{
    unsigned char payload[64];
    for (int i = 0; i < 64; i++)
        payload[i] = static_cast<unsigned char>(i + 1);
    msg_counter = 1;
    std::string out = stdout_of([&] {
        EXPECT_EQ(ambx_request(0, 2, 7, payload, 61), 0);  // no reply: times out
        EXPECT_EQ(ambx_request(0, 2, 7, payload, 62), AMBX_ERR_TOO_LARGE);
        EXPECT_EQ(ambx_request(0, 2, 7, payload, 256), 0);
    });
    const std::vector<bytes> got = sent();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].size(), 63u);
    EXPECT_EQ(got[0][0], 0x11);
    EXPECT_EQ(got[0][1], 0x27);
    EXPECT_EQ(bytes(got[0].begin() + 2, got[0].end()), bytes(payload, payload + 61));
    EXPECT_EQ(got[1], (bytes{0x21, 0x27}));
    EXPECT_EQ(out, READ_TIMED_OUT + READ_TIMED_OUT);

    const unsigned char count_payload[] = {0x01, 0x00};
    EXPECT_EQ(ambx_request(0, 0xF, 0x0, count_payload, 2), 1);  // the count query
}

// A write the device takes only in part: the output commands report the
// count, an exchange reports the failure and reads no reply.
TEST_F(OpenDevice, ShortWrites)
{
    emu_behaviour partial;
    partial.accept_at_most = 3;
    emu_set_behaviour(*dev, partial);
    const size_t reads = emu_reads(*dev).size();
    EXPECT_EQ(ambx_set_light(0, 1, 0x123456), 3);
    const unsigned char payload[2] = {0x01, 0x00};
    int result = -99;
    EXPECT_EQ(stdout_of([&] { result = ambx_request(0, 0xF, 0x0, payload, 2); }),
              "Not all bytes sent\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(emu_reads(*dev).size(), reads);
}

// Output commands on a slot that is not open, or outside the table, send
// nothing and consume no message number; catches reading slot 16 or -1.
TEST_F(DriverTest, CommandsNeedAnOpenSlotInRange)
{
    emu_device *dev = add();
    stdout_of([] { ambx_init(); });
    const int colours[1] = {0};
    const unsigned char payload[1] = {0};
    msg_counter = 4;
    for (int device : {0, 1, 15}) {
        EXPECT_EQ(ambx_set_light(device, 0, 0xFFFFFF), AMBX_ERR_NOT_OPEN);
        EXPECT_EQ(ambx_set_light_sequence(device, 0, 1000, colours, 99), AMBX_ERR_NOT_OPEN);
        EXPECT_EQ(ambx_send_value(device, 0, 1, 1, 1), AMBX_ERR_NOT_OPEN);
        EXPECT_EQ(ambx_request(device, 0, 1, payload, 99), AMBX_ERR_NOT_OPEN);
    }
    for (int device : {-1, 16, 1 << 20}) {
        EXPECT_EQ(ambx_set_light(device, 0, 0xFFFFFF), AMBX_ERR_INDEX);
        EXPECT_EQ(ambx_set_light_sequence(device, 0, 1000, colours, 1), AMBX_ERR_INDEX);
        EXPECT_EQ(ambx_send_value(device, 0, 1, 1, 1), AMBX_ERR_INDEX);
        EXPECT_EQ(ambx_request(device, 0, 1, payload, 1), AMBX_ERR_INDEX);
    }
    EXPECT_EQ(msg_counter, 4);
    EXPECT_TRUE(sent_to(dev).empty());
}

}  // namespace
