// The box VM's /dev/video (CUSE) and /proc (FUSE) servers, their request
// handling on the host: requests as the kernel words them, sent over a
// seqpacket socket pair in place of /dev/cuse and /dev/fuse (one request or
// reply per packet, as on the kernel's channel).
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "boxvm/guest/proc_server.h"
#include "boxvm/guest/video_server.h"

namespace {

using bytes = std::vector<unsigned char>;

struct reply {
    int error = 1;  // 1: no reply came
    bytes data;
};

template <class T>
bytes as_bytes(const T &value)
{
    const auto *p = reinterpret_cast<const unsigned char *>(&value);
    return bytes(p, p + sizeof value);
}

bytes release_arg(uint64_t handle)
{
    fuse_release_in in{};
    in.fh = handle;
    return as_bytes(in);
}

bytes name_arg(const char *name)
{
    return bytes(name, name + strlen(name) + 1);
}

class Channel : public testing::Test {
protected:
    int sv[2] = {-1, -1};  // the server's end, the kernel's end
    std::string dir;
    uint64_t unique = 0;

    void SetUp() override
    {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
        const int size = 4 << 20;
        setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        char tmpl[] = "/tmp/boxvm_servers_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        close(sv[0]);
        close(sv[1]);
        const std::string rm = "rm -rf '" + dir + "'";
        EXPECT_EQ(system(rm.c_str()), 0);
    }

    void write_file(const std::string &path, const bytes &content)
    {
        for (size_t slash = path.find('/', dir.size() + 1); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            mkdir(path.substr(0, slash).c_str(), 0755);
        FILE *f = fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr) << path;
        if (!content.empty())
            fwrite(content.data(), 1, content.size(), f);
        fclose(f);
    }

    // One request through handle (a server's answering function) and what
    // came back on the kernel's end.
    template <class Handle>
    reply exchange(Handle handle, uint32_t opcode, uint64_t node, const bytes &arg,
                   uint32_t pid = 1)
    {
        fuse_in_header h{};
        h.len = uint32_t(sizeof h + arg.size());
        h.opcode = opcode;
        h.unique = ++unique;
        h.nodeid = node;
        h.pid = pid;
        bytes packet = as_bytes(h);
        packet.insert(packet.end(), arg.begin(), arg.end());
        fuse_request request;
        EXPECT_TRUE(fuse_parse_request(packet.data(), packet.size(), &request));
        EXPECT_EQ(handle(sv[0], request), 0);
        std::vector<unsigned char> in(2 << 20);
        const ssize_t got = recv(sv[1], in.data(), in.size(), MSG_DONTWAIT);
        reply r;
        if (got < ssize_t(sizeof(fuse_out_header)))
            return r;
        fuse_out_header out;
        memcpy(&out, in.data(), sizeof out);
        EXPECT_EQ(out.unique, h.unique);
        EXPECT_EQ(out.len, size_t(got));
        r.error = out.error;
        r.data.assign(in.begin() + sizeof out, in.begin() + got);
        return r;
    }
};

// --- /dev/video ------------------------------------------------------------

class VideoServer : public Channel {
protected:
    video_server server;

    void SetUp() override
    {
        Channel::SetUp();
        server.picture_path = dir + "/video";
        server.device_name = "video";
    }

    reply video(uint32_t opcode, const bytes &arg = {})
    {
        auto handle = [this](int fd, const fuse_request &r) { return video_handle(server, fd, r); };
        return exchange(handle, opcode, 0, arg);
    }

    // Opens the device; its handle, or 0 when the open failed (*error).
    uint64_t open_video(int *error = nullptr)
    {
        const reply r = video(FUSE_OPEN, as_bytes(fuse_open_in{}));
        if (error)
            *error = r.error;
        fuse_open_out out{};
        if (r.error == 0 && r.data.size() == sizeof out)
            memcpy(&out, r.data.data(), sizeof out);
        return r.error == 0 ? out.fh : 0;
    }

    reply read_video(uint64_t handle, uint32_t size, uint64_t offset = 0)
    {
        fuse_read_in in{};
        in.fh = handle;
        in.size = size;
        in.offset = offset;
        return video(FUSE_READ, as_bytes(in));
    }
};

bytes numbered(size_t size)
{
    bytes b(size);
    for (size_t i = 0; i < size; i++)
        b[i] = static_cast<unsigned char>(i * 7 + i / 251);
    return b;
}

// One descriptor's reads: the kernel cuts one read() of the capture's buffer
// (1244176 bytes) into requests of at most 128 KiB, each with its offset
// from the start of that read(); the requests of separate read()s all have
// offset 0.
struct reads_case {
    const char *name;
    size_t picture;              // bytes of the picture file
    bool separate;               // each request a read() of its own
    std::vector<uint32_t> asks;  // each request's size
    std::vector<size_t> counts;  // the bytes each must deliver
};

class VideoReads : public VideoServer, public testing::WithParamInterface<reads_case> {};

// catches a read that restarts at the picture's start for every request (the
// kernel's offsets count from the start of each read(), not of the file), a
// read that does not stop short at the picture's end, and one that delivers
// more after the end.
TEST_P(VideoReads, DeliverThePictureOnceInOrder)
{
    const reads_case &c = GetParam();
    const bytes picture = numbered(c.picture);
    write_file(server.picture_path, picture);
    const uint64_t handle = open_video();
    ASSERT_NE(handle, 0u);
    size_t at = 0;
    for (size_t k = 0; k < c.asks.size(); k++) {
        const reply r = read_video(handle, c.asks[k], c.separate ? 0 : at);
        ASSERT_EQ(r.error, 0) << "request " << k;
        ASSERT_EQ(r.data.size(), c.counts[k]) << "request " << k;
        EXPECT_TRUE(std::equal(r.data.begin(), r.data.end(), picture.begin() + at))
            << "request " << k;
        at += r.data.size();
    }
}

constexpr uint32_t CHUNK = 128 * 1024;
constexpr size_t PICTURE_720x576 = 16 + 2 * 720 * 576;

INSTANTIATE_TEST_SUITE_P(
    Cases, VideoReads,
    testing::Values(reads_case{"WholePictureInChunks",
                               PICTURE_720x576,
                               false,
                               {CHUNK, CHUNK, CHUNK, CHUNK, CHUNK, CHUNK, CHUNK, CHUNK},
                               {CHUNK, CHUNK, CHUNK, CHUNK, CHUNK, CHUNK,
                                PICTURE_720x576 - 6 * CHUNK, 0}},
                    reads_case{"HeaderOnly", 16, false, {CHUNK, CHUNK}, {16, 0}},
                    reads_case{"ShortOfAHeader", 15, false, {CHUNK}, {15}},
                    reads_case{"EmptyFile", 0, false, {CHUNK}, {0}},
                    reads_case{"ReadsGoOnWhereTheLastEnded", 40, true, {16, 16, 16}, {16, 16, 8}}),
    [](const testing::TestParamInfo<reads_case> &info) { return info.param.name; });

// catches a picture read at each read instead of at the open (a reader would
// see a half-written or a mixed picture), and a missing picture that does not
// fail the open.
TEST_F(VideoServer, EachOpenTakesThePictureOfThatMoment)
{
    write_file(server.picture_path, bytes(32, 0x11));
    const uint64_t first = open_video();
    ASSERT_NE(first, 0u);
    write_file(server.picture_path, bytes(48, 0x22));
    const uint64_t second = open_video();
    ASSERT_NE(second, 0u);
    EXPECT_EQ(read_video(first, CHUNK).data, bytes(32, 0x11));
    EXPECT_EQ(read_video(second, CHUNK).data, bytes(48, 0x22));
    ASSERT_EQ(video(FUSE_RELEASE, release_arg(first)).error, 0);
    EXPECT_EQ(read_video(first, CHUNK).error, -EBADF);

    ASSERT_EQ(unlink(server.picture_path.c_str()), 0);
    int error = 0;
    EXPECT_EQ(open_video(&error), 0u);
    EXPECT_EQ(error, -ENOENT);
}

// --- /proc -------------------------------------------------------------------

class ProcServer : public Channel {
protected:
    proc_server server;

    void SetUp() override
    {
        Channel::SetUp();
        // The kernel's procfs: its own fb and cpuinfo, a process; the box's
        // fb and its stb tree.
        write_file(dir + "/real/fb", {'0', ' ', 'c', 'i', 'r', 'r', 'u', 's', '\n'});
        write_file(dir + "/real/cpuinfo", {'m', 'i', 'p', 's', '\n'});
        write_file(dir + "/real/42/stat", {'4', '2', ' ', '(', 's', 'h', ')', '\n'});
        write_file(dir + "/box/fb", {'0', ' ', 'x', 'i', 'l', 'l', 'e', 'o', 'n', 'f', 'b', '\n'});
        write_file(dir + "/box/stb/vmpeg/0/xres", {'7', '8', '0', '\n'});
        ASSERT_EQ(symlink("1", (dir + "/real/self").c_str()), 0);
        ASSERT_EQ(symlink("1/task/1", (dir + "/real/thread-self").c_str()), 0);
        server = proc_server_make(dir + "/box", dir + "/real");
    }

    reply proc(uint32_t opcode, uint64_t node, const bytes &arg = {}, uint32_t pid = 1)
    {
        auto handle = [this](int fd, const fuse_request &r) { return proc_handle(server, fd, r); };
        return exchange(handle, opcode, node, arg, pid);
    }

    // The node of path, looked up one name at a time from the top; 0 when a
    // lookup failed.
    uint64_t lookup(const std::string &path, fuse_attr *attr = nullptr, uint32_t pid = 1)
    {
        uint64_t node = FUSE_ROOT_ID;
        for (size_t from = 0; from <= path.size();) {
            const size_t slash = std::min(path.find('/', from), path.size());
            const reply r =
                proc(FUSE_LOOKUP, node, name_arg(path.substr(from, slash - from).c_str()), pid);
            fuse_entry_out out{};
            if (r.error != 0 || r.data.size() != sizeof out)
                return 0;
            memcpy(&out, r.data.data(), sizeof out);
            node = out.nodeid;
            if (attr)
                *attr = out.attr;
            from = slash + 1;
        }
        return node;
    }

    // The whole text of path through OPEN, READ and RELEASE.
    std::string contents(const std::string &path)
    {
        const uint64_t node = lookup(path);
        const reply opened = proc(FUSE_OPEN, node, as_bytes(fuse_open_in{}));
        fuse_open_out out{};
        if (opened.error != 0 || opened.data.size() != sizeof out)
            return "(open failed)";
        memcpy(&out, opened.data.data(), sizeof out);
        EXPECT_TRUE(out.open_flags & FOPEN_DIRECT_IO) << "procfs files have no size";
        fuse_read_in in{};
        in.fh = out.fh;
        in.size = 4096;
        const reply r = proc(FUSE_READ, node, as_bytes(in));
        proc(FUSE_RELEASE, node, release_arg(out.fh));
        return std::string(r.data.begin(), r.data.end());
    }

    // The names of a directory, read size bytes at a time.
    std::vector<std::string> listing(const std::string &path, uint32_t size)
    {
        const uint64_t node = path.empty() ? FUSE_ROOT_ID : lookup(path);
        const reply opened = proc(FUSE_OPENDIR, node, as_bytes(fuse_open_in{}));
        fuse_open_out out{};
        EXPECT_EQ(opened.error, 0);
        memcpy(&out, opened.data.data(), std::min(opened.data.size(), sizeof out));
        std::vector<std::string> names;
        for (uint64_t offset = 0;;) {
            fuse_read_in in{};
            in.fh = out.fh;
            in.size = size;
            in.offset = offset;
            const reply r = proc(FUSE_READDIR, node, as_bytes(in));
            if (r.error != 0 || r.data.empty())
                break;
            for (size_t at = 0; at + FUSE_NAME_OFFSET <= r.data.size();) {
                fuse_dirent d;
                memcpy(&d, r.data.data() + at, FUSE_NAME_OFFSET);
                names.emplace_back(
                    reinterpret_cast<const char *>(r.data.data() + at + FUSE_NAME_OFFSET),
                    d.namelen);
                offset = d.off;
                at += FUSE_DIRENT_ALIGN(FUSE_NAME_OFFSET + d.namelen);
            }
        }
        proc(FUSE_RELEASEDIR, node, release_arg(out.fh));
        return names;
    }
};

// catches the kernel's file shown where the box has its own, a box path
// (/proc/stb) not found below the top, the kernel's files lost behind the
// box's, and a missing name that does not fail.
TEST_F(ProcServer, BoxFilesInFrontOfTheKernels)
{
    EXPECT_EQ(contents("fb"), "0 xilleonfb\n");
    EXPECT_EQ(contents("stb/vmpeg/0/xres"), "780\n");
    EXPECT_EQ(contents("cpuinfo"), "mips\n");
    EXPECT_EQ(contents("42/stat"), "42 (sh)\n");
    EXPECT_EQ(lookup("stb/vmpeg/1"), 0u);
    EXPECT_EQ(lookup("43"), 0u);
}

// catches a listing that repeats or drops entries across READDIR requests
// (a full /proc takes several), and one that shows a name twice when both
// sides have it.
TEST_F(ProcServer, ListingsMergeAndPage)
{
    for (uint32_t size : {4096u, 40u}) {
        std::vector<std::string> names = listing("", size);
        names.erase(std::remove_if(names.begin(), names.end(),
                                   [](const std::string &n) { return n == "." || n == ".."; }),
                    names.end());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names,
                  (std::vector<std::string>{"42", "cpuinfo", "fb", "self", "stb", "thread-self"}))
            << "read " << size << " bytes at a time";
    }
}

// catches "self" answered with the server's own process: busybox and the
// programs read /proc/self/... and must find themselves.
TEST_F(ProcServer, SelfIsTheAskingProcess)
{
    fuse_attr attr{};
    const uint64_t self = lookup("self", &attr, 4242);
    ASSERT_NE(self, 0u);
    EXPECT_TRUE(S_ISLNK(attr.mode));
    const reply target = proc(FUSE_READLINK, self, {}, 4242);
    EXPECT_EQ(std::string(target.data.begin(), target.data.end()), "4242");
    const reply thread = proc(FUSE_READLINK, lookup("thread-self", nullptr, 77), {}, 77);
    EXPECT_EQ(std::string(thread.data.begin(), thread.data.end()), "77/task/77");
}

}  // namespace
