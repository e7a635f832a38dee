// /dev/video served from user space through CUSE: every open takes the
// picture file as it is at that moment (a descriptor opened before a
// replacement keeps the old picture), and reads return its bytes from where
// the last read of that descriptor ended, as many as asked while the file
// lasts: a short read at its end, 0 beyond it. A missing picture file makes
// the open fail with ENOENT. This is how the simulated box's /dev/video, a
// regular file, behaves.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "boxvm/guest/fuse_channel.h"

// One open of the device: the picture it took and where its next read starts.
struct video_open {
    std::vector<unsigned char> picture;
    size_t position = 0;
};

struct video_server {
    std::string picture_path;  // the file whose bytes the device delivers
    std::string device_name;   // the node's name under /dev, e.g. "video"
    std::map<uint64_t, video_open> opens;
    uint64_t next_handle = 1;
};

// Answers one request on the channel fd: CUSE_INIT (the device's name and a
// dynamic number), OPEN, READ, FLUSH, RELEASE; INTERRUPT gets no answer (every
// request is answered at once); any other request -ENOSYS. 0, or -errno when
// the reply could not be written (-ENOENT, an interrupted request, ignored).
int video_handle(video_server &server, int fd, const fuse_request &request);

// Serves requests from the channel until it ends. 0 when it ended, -errno
// on a failed read or reply.
int video_serve(video_server &server, int fd);
