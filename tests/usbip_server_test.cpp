// The USB/IP server over a loopback connection, with the test in the part
// of the guest: its attach agent's import request, then vhci-hcd's URBs.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "sim/lightset/usbip/usbip_server.h"
#include "tests/emu_fixture.h"

namespace {

constexpr int32_t STALL = -32;      // -EPIPE
constexpr int32_t UNLINKED = -131;  // -ECONNRESET as the MIPS guest numbers it
constexpr size_t HEADER = 48;

void put32(bytes &out, uint32_t v)
{
    out.insert(out.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
}

uint32_t get32(const bytes &in, size_t at)
{
    return uint32_t(in[at]) << 24 | uint32_t(in[at + 1]) << 16 | uint32_t(in[at + 2]) << 8 |
           in[at + 3];
}

// A CMD_SUBMIT (endpoint with its direction bit; setup for endpoint 0) with
// its OUT data.
bytes submit(uint32_t seqnum, int endpoint, int length, const bytes &setup = bytes(8),
             const bytes &data = {})
{
    bytes cmd;
    for (uint32_t field : {1u, seqnum, 0x10002u, uint32_t(endpoint >> 7), uint32_t(endpoint & 15),
                           0u, uint32_t(length), 0u, 0u, 0u})
        put32(cmd, field);
    cmd.insert(cmd.end(), setup.begin(), setup.end());
    cmd.insert(cmd.end(), data.begin(), data.end());
    return cmd;
}

bytes unlink_cmd(uint32_t seqnum, uint32_t target)
{
    bytes cmd;
    for (uint32_t field : {2u, seqnum, 0x10002u, 0u, 0u, target})
        put32(cmd, field);
    cmd.resize(HEADER, 0);
    return cmd;
}

// The guest's end of one connection.
struct guest {
    int fd = -1;
    explicit guest(int port)
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~guest()
    {
        if (fd >= 0)
            close(fd);
    }
    void send_bytes(const bytes &b) { ASSERT_EQ(write(fd, b.data(), b.size()), ssize_t(b.size())); }
    void ask_import()
    {
        bytes request = {0x01, 0x11, 0x80, 0x03, 0, 0, 0, 0, '1', '-', '1'};
        request.resize(40, 0);
        send_bytes(request);
    }
    // Exactly size bytes within the time; fewer when the connection ends or
    // nothing more comes.
    bytes take(size_t size, int ms = 2000)
    {
        bytes got(size);
        size_t have = 0;
        pollfd p = {fd, POLLIN, 0};
        while (have < size && poll(&p, 1, ms) > 0) {
            const ssize_t n = read(fd, got.data() + have, size - have);
            if (n <= 0)
                break;
            have += size_t(n);
        }
        got.resize(have);
        return got;
    }
    // A RET_SUBMIT or RET_UNLINK with the data that follows it (IN replies).
    bytes ret(bool with_data)
    {
        bytes r = take(HEADER);
        if (r.size() == HEADER && with_data && get32(r, 0) == 3) {
            const bytes data = take(get32(r, 24));
            r.insert(r.end(), data.begin(), data.end());
        }
        return r;
    }
};

class UsbipServer : public testing::Test {
protected:
    emu_device dev;
    usbip_server *server = nullptr;
    void SetUp() override
    {
        server = usbip_server_start(&dev, 0);
        ASSERT_NE(server, nullptr);
    }
    void TearDown() override { usbip_server_stop(server); }
    // A guest with the set attached: its go-ahead taken.
    void attach(guest &g)
    {
        ASSERT_GE(g.fd, 0);
        g.ask_import();
        usbip_plug(server);
        ASSERT_EQ(g.take(320).size(), 320u);
    }
};

// The go-ahead comes only once the set is plugged in, and names it as the
// agent hands it to vhci-hcd (devid from bus and device number, full
// speed); catches a set attached while unplugged or under a wrong identity.
TEST_F(UsbipServer, ImportWaitsForThePlug)
{
    guest g(usbip_server_port(server));
    ASSERT_GE(g.fd, 0);
    g.ask_import();
    EXPECT_TRUE(g.take(1, 300).empty()) << "answered while unplugged";
    usbip_plug(server);
    const bytes reply = g.take(320);
    ASSERT_EQ(reply.size(), 320u);
    EXPECT_EQ(get32(reply, 0), 0x01110003u);
    EXPECT_EQ(get32(reply, 4), 0u) << "status";
    EXPECT_EQ(get32(reply, 296), uint32_t(dev.bus));
    EXPECT_EQ(get32(reply, 300), uint32_t(dev.devnum));
    EXPECT_EQ(get32(reply, 304), 2u) << "full speed";
    EXPECT_EQ(get32(reply, 308), 0x0471083Fu);
}

struct control_row {
    const char *what;
    bytes setup;
    int32_t status;
    size_t length;  // of the IN data
};

// catches descriptors cut wrongly, requests the device lacks answered
// instead of stalled (the kernel would take garbage), and refused
// configurations or alternate settings that pass.
TEST_F(UsbipServer, ControlRequestsOnEndpointZero)
{
    const control_row rows[] = {
        {"device descriptor, asked for 64", {0x80, 6, 0, 1, 0, 0, 64, 0}, 0, 18},
        {"configuration head", {0x80, 6, 0, 2, 0, 0, 9, 0}, 0, 9},
        {"whole configuration", {0x80, 6, 0, 2, 0, 0, 0xFF, 0}, 0, 39},
        {"the language table", {0x80, 6, 0, 3, 0, 0, 0xFF, 0}, 0, 4},
        {"the product name", {0x80, 6, 1, 3, 9, 4, 0xFF, 0}, 0, 30},
        {"a string the set lacks", {0x80, 6, 2, 3, 9, 4, 0xFF, 0}, STALL, 0},
        {"SET_CONFIGURATION 7", {0x00, 9, 7, 0, 0, 0, 0, 0}, STALL, 0},
        {"SET_CONFIGURATION 1", {0x00, 9, 1, 0, 0, 0, 0, 0}, 0, 0},
        {"SET_INTERFACE 0, alternate 1", {0x01, 11, 1, 0, 0, 0, 0, 0}, STALL, 0},
        {"SET_INTERFACE 0, alternate 0", {0x01, 11, 0, 0, 0, 0, 0, 0}, 0, 0},
    };
    guest g(usbip_server_port(server));
    attach(g);
    const bytes descriptors = emu_descriptors(dev);
    uint32_t seqnum = 1;
    for (const control_row &row : rows) {
        SCOPED_TRACE(row.what);
        g.send_bytes(submit(seqnum, row.setup[0] & 0x80, row.setup[6], row.setup));
        const bytes r = g.ret(true);
        ASSERT_GE(r.size(), HEADER);
        EXPECT_EQ(get32(r, 4), seqnum++);
        EXPECT_EQ(int32_t(get32(r, 20)), row.status);
        bytes expected = row.setup[3] == 3 ? emu_string_descriptor(dev, row.setup[2]) : descriptors;
        const size_t start = row.setup[3] == 2 ? 18 : 0;
        expected = bytes(expected.begin() + start, expected.begin() + start + row.length);
        EXPECT_EQ(bytes(r.begin() + HEADER, r.end()), expected);
    }
    EXPECT_TRUE(usbip_configured(server));
}

// A read waits for the reply its message makes; a read that gets none is
// given back only when unlinked, a finished one unlinks as done. Catches a
// lost reply, a read answered with nothing, and a missing RET_UNLINK (the
// guest's usbfs would wait for it for ever).
TEST_F(UsbipServer, InterruptTransfersAndUnlinks)
{
    guest g(usbip_server_port(server));
    attach(g);
    g.send_bytes(submit(1, 0x81, 64));
    g.send_bytes(submit(2, 0x83, 64));
    EXPECT_TRUE(g.take(1, 200).empty()) << "a read answered before any message";
    g.send_bytes(submit(3, 0x02, 1, bytes(8), START));
    bytes r = g.ret(false);
    ASSERT_EQ(r.size(), HEADER);
    EXPECT_EQ(get32(r, 4), 3u);
    EXPECT_EQ(get32(r, 24), 1u) << "bytes taken";
    r = g.ret(true);
    ASSERT_EQ(r.size(), HEADER + emu_start_reply_length());
    EXPECT_EQ(get32(r, 4), 1u) << "the read on 0x81";
    g.send_bytes(unlink_cmd(4, 2));
    g.send_bytes(unlink_cmd(5, 1));
    for (auto [seqnum, status] : {std::pair{4u, UNLINKED}, std::pair{5u, 0}}) {
        r = g.ret(false);
        ASSERT_EQ(r.size(), HEADER);
        EXPECT_EQ(get32(r, 0), 4u) << "RET_UNLINK";
        EXPECT_EQ(get32(r, 4), seqnum);
        EXPECT_EQ(int32_t(get32(r, 20)), status);
    }
    ASSERT_EQ(emu_packets(dev).size(), 1u);
    EXPECT_EQ(emu_packets(dev)[0].bytes, START);
}

// An unplug ends the connection (the guest kernel's disconnect); the agent's
// next import waits for the replug, which powers the set up afresh; bytes
// that are no command end the connection too. Catches an unplug the guest
// never sees and a replug that keeps the old configuration.
TEST_F(UsbipServer, UnplugReplugAndGarbage)
{
    {
        guest g(usbip_server_port(server));
        attach(g);
        g.send_bytes(submit(1, 0, 0, {0x00, 9, 1, 0, 0, 0, 0, 0}));
        EXPECT_EQ(g.ret(false).size(), HEADER);
        EXPECT_TRUE(usbip_configured(server));
        usbip_unplug(server);
        EXPECT_TRUE(g.take(1).empty()) << "still connected";
    }
    guest again(usbip_server_port(server));
    ASSERT_GE(again.fd, 0);
    again.ask_import();
    EXPECT_TRUE(again.take(1, 200).empty());
    usbip_plug(server);
    EXPECT_EQ(again.take(320).size(), 320u);
    EXPECT_FALSE(usbip_configured(server));
    EXPECT_EQ(dev.configuration, 0);
    again.send_bytes(bytes(HEADER, 0x7F));
    EXPECT_TRUE(again.take(1).empty()) << "garbage taken for commands";
}

}  // namespace
