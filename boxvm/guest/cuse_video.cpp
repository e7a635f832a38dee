// cuse-video: the box's /dev/video, a character device served from user
// space through CUSE, delivering a picture file's bytes as the decoder's
// device does (video_server.h).
//
//   cuse-video PICTURE [NAME]
//
// PICTURE: the file one read delivers (header, luma, chroma); it is read
// afresh at every open, so replacing it (a new file renamed over it) shows
// a new picture from the next open on. NAME: the node under /dev (default
// "video"), which devtmpfs creates. Stays in the foreground; start it with &.
// Exit status 1 when /dev/cuse cannot be opened or the channel fails.
#include <fcntl.h>

#include <cstdio>
#include <cstring>

#include "boxvm/guest/video_server.h"
#include "capture/guards.h"

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: cuse-video PICTURE [NAME]\n");
        return 2;
    }
    video_server server;
    server.picture_path = argv[1];
    server.device_name = argc == 3 ? argv[2] : "video";
    unique_fd channel(open("/dev/cuse", O_RDWR | O_CLOEXEC));
    if (!channel.valid()) {
        perror("cuse-video: /dev/cuse");
        return 1;
    }
    const int r = video_serve(server, channel.get());
    if (r != 0)
        fprintf(stderr, "cuse-video: channel failed: %s\n", strerror(-r));
    return r == 0 ? 0 : 1;
}
