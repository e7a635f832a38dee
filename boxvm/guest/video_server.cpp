// The CUSE side of the box's /dev/video: requests in, picture bytes out.
#include "boxvm/guest/video_server.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "capture/guards.h"

namespace {

// The whole file at path into *bytes. 0 or -errno.
int read_file(const std::string &path, std::vector<unsigned char> *bytes)
{
    unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return -errno;
    bytes->clear();
    unsigned char chunk[65536];
    for (;;) {
        const ssize_t got = read(fd.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -errno;
        if (got == 0)
            return 0;
        bytes->insert(bytes->end(), chunk, chunk + got);
    }
}

int reply_init(const video_server &server, int fd, const fuse_request &request)
{
    const cuse_init_in *in = fuse_arg<cuse_init_in>(request);
    if (!in || in->major != FUSE_KERNEL_VERSION)
        return fuse_reply(fd, request.header.unique, -EPROTO);
    cuse_init_out out{};
    out.major = FUSE_KERNEL_VERSION;
    out.minor = std::min<uint32_t>(in->minor, FUSE_KERNEL_MINOR_VERSION);
    out.max_read = FUSE_CHANNEL_MAX_WRITE;
    out.max_write = FUSE_CHANNEL_MAX_WRITE;
    const std::string info = "DEVNAME=" + server.device_name;
    return fuse_reply(fd, request.header.unique, 0, &out, sizeof out, info.c_str(),
                      info.size() + 1);
}

int reply_open(video_server &server, int fd, const fuse_request &request)
{
    video_open opened;
    const int error = read_file(server.picture_path, &opened.picture);
    if (error != 0)
        return fuse_reply(fd, request.header.unique, error);
    const uint64_t handle = server.next_handle++;
    server.opens[handle] = std::move(opened);
    fuse_open_out out{};
    out.fh = handle;
    return fuse_reply(fd, request.header.unique, 0, &out, sizeof out);
}

int reply_read(video_server &server, int fd, const fuse_request &request)
{
    const fuse_read_in *in = fuse_arg<fuse_read_in>(request);
    const auto open = in ? server.opens.find(in->fh) : server.opens.end();
    if (open == server.opens.end())
        return fuse_reply(fd, request.header.unique, -EBADF);
    video_open &o = open->second;
    const size_t from = std::min(o.position, o.picture.size());
    const size_t count = std::min<size_t>(in->size, o.picture.size() - from);
    o.position = from + count;
    return fuse_reply(fd, request.header.unique, 0, o.picture.data() + from, count);
}

int reply_release(video_server &server, int fd, const fuse_request &request)
{
    const fuse_release_in *in = fuse_arg<fuse_release_in>(request);
    if (in)
        server.opens.erase(in->fh);
    return fuse_reply(fd, request.header.unique, 0);
}

}  // namespace

int video_handle(video_server &server, int fd, const fuse_request &request)
{
    int r;
    switch (request.header.opcode) {
    case CUSE_INIT: r = reply_init(server, fd, request); break;
    case FUSE_OPEN: r = reply_open(server, fd, request); break;
    case FUSE_READ: r = reply_read(server, fd, request); break;
    case FUSE_FLUSH: r = fuse_reply(fd, request.header.unique, 0); break;
    case FUSE_RELEASE: r = reply_release(server, fd, request); break;
    case FUSE_INTERRUPT: return 0;
    default: r = fuse_reply(fd, request.header.unique, -ENOSYS); break;
    }
    return r == -ENOENT ? 0 : r;
}

int video_serve(video_server &server, int fd)
{
    return fuse_serve(
        fd,
        [](void *context, int channel, const fuse_request &request) {
            return video_handle(*static_cast<video_server *>(context), channel, request);
        },
        &server);
}
