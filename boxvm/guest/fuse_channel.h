// The kernel's FUSE and CUSE channels (/dev/fuse, /dev/cuse) as the box's
// stand-in servers use them: one request per read of the channel, one reply
// per write.
#pragma once

#include <linux/fuse.h>

#include <cstddef>
#include <cstdint>

// Bytes a read of the channel needs: the kernel refuses reads smaller than
// its largest request (a header, arguments and max_write bytes of data).
constexpr size_t FUSE_CHANNEL_BUFFER = 256 * 1024;
// The largest write the servers accept, announced at their INIT reply.
constexpr uint32_t FUSE_CHANNEL_MAX_WRITE = 128 * 1024;

// One request as read from the channel; arg points into the read buffer.
struct fuse_request {
    fuse_in_header header;
    const unsigned char *arg;
    size_t arg_size;
};

// Reads the next request into buffer (size bytes). 1 with *request filled;
// 0 when the channel has ended (the file system unmounted, the device gone,
// end of file); -errno on any other failure. Interrupted reads are retried.
// -EPROTO when the bytes read do not form a request.
int fuse_next_request(int fd, unsigned char *buffer, size_t size, fuse_request *request);

// Serves the channel until it ends: each request goes to handle(context,
// fd, request), which returns 0 to go on. 0 when the channel ended, else the
// failing read's or handler's -errno (-ENOMEM without a read buffer).
int fuse_serve(int fd, int (*handle)(void *context, int fd, const fuse_request &request),
               void *context);

// Takes request's bytes apart (the header's length must match size). False
// for fewer bytes than a header or a length that disagrees.
bool fuse_parse_request(const unsigned char *bytes, size_t size, fuse_request *request);

// Replies to request unique with error 0 and the bytes of a then b (either
// may be empty), or with a negative errno and no bytes. 0, or -errno when the
// kernel refuses it; -ENOENT means the request was interrupted and is gone,
// which the servers ignore.
int fuse_reply(int fd, uint64_t unique, int error, const void *a = nullptr, size_t a_size = 0,
               const void *b = nullptr, size_t b_size = 0);

// The argument of request as a T, or nullptr when fewer bytes came.
template <class T>
const T *fuse_arg(const fuse_request &request)
{
    return request.arg_size >= sizeof(T) ? reinterpret_cast<const T *>(request.arg) : nullptr;
}
