// Reading requests from and writing replies to a FUSE or CUSE channel.
#include "boxvm/guest/fuse_channel.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "capture/guards.h"

bool fuse_parse_request(const unsigned char *bytes, size_t size, fuse_request *request)
{
    if (size < sizeof(fuse_in_header))
        return false;
    memcpy(&request->header, bytes, sizeof(fuse_in_header));
    if (request->header.len != size)
        return false;
    request->arg = bytes + sizeof(fuse_in_header);
    request->arg_size = size - sizeof(fuse_in_header);
    return true;
}

int fuse_next_request(int fd, unsigned char *buffer, size_t size, fuse_request *request)
{
    for (;;) {
        const ssize_t got = read(fd, buffer, size);
        if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == ENOENT))
            continue;
        if (got < 0)
            return errno == ENODEV ? 0 : -errno;
        if (got == 0)
            return 0;
        return fuse_parse_request(buffer, size_t(got), request) ? 1 : -EPROTO;
    }
}

int fuse_reply(int fd, uint64_t unique, int error, const void *a, size_t a_size, const void *b,
               size_t b_size)
{
    if (error != 0)
        a_size = b_size = 0;
    fuse_out_header header{};
    header.len = uint32_t(sizeof header + a_size + b_size);
    header.error = error;
    header.unique = unique;
    iovec parts[3] = {
        {&header, sizeof header}, {const_cast<void *>(a), a_size}, {const_cast<void *>(b), b_size}};
    const ssize_t sent = writev(fd, parts, 3);
    if (sent < 0)
        return -errno;
    return size_t(sent) == header.len ? 0 : -EIO;
}

int fuse_serve(int fd, int (*handle)(void *context, int fd, const fuse_request &request),
               void *context)
{
    heap_block buffer(FUSE_CHANNEL_BUFFER);
    if (!buffer)
        return -ENOMEM;
    for (;;) {
        fuse_request request;
        const int got = fuse_next_request(fd, buffer.get(), FUSE_CHANNEL_BUFFER, &request);
        if (got <= 0)
            return got;
        const int r = handle(context, fd, request);
        if (r != 0)
            return r;
    }
}
