// fuse-proc: the box's /proc, the kernel's procfs with the box's own files
// in front of it (proc_server.h), mounted through FUSE.
//
//   fuse-proc BOX REAL MOUNTPOINT
//
// BOX: the box's files (e.g. /box/proc holding fb, cpuinfo, stb/vmpeg/0/xres);
// REAL: where the kernel's procfs is mounted as well (e.g. /.procfs);
// MOUNTPOINT: where the result goes, usually /proc, over the procfs there.
// Returns once the file system is mounted, its server left running in the
// background. Exit status 1 when /dev/fuse cannot be opened or the mount
// fails. The server itself never touches MOUNTPOINT: everything it reads
// comes from BOX and REAL.
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "boxvm/guest/proc_server.h"
#include "capture/guards.h"

namespace {

bool mount_channel(int channel, const char *mountpoint)
{
    const std::string options =
        "fd=" + std::to_string(channel) + ",rootmode=40555,user_id=0,group_id=0,allow_other";
    if (mount("boxproc", mountpoint, "fuse", MS_NOSUID | MS_NODEV, options.c_str()) == 0)
        return true;
    perror("fuse-proc: mount");
    return false;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: fuse-proc BOX REAL MOUNTPOINT\n");
        return 2;
    }
    unique_fd channel(open("/dev/fuse", O_RDWR | O_CLOEXEC));
    if (!channel.valid()) {
        perror("fuse-proc: /dev/fuse");
        return 1;
    }
    if (!mount_channel(channel.get(), argv[3]))
        return 1;
    const pid_t child = fork();
    if (child != 0)
        return child < 0 ? 1 : 0;
    setsid();
    proc_server server = proc_server_make(argv[1], argv[2]);
    const int r = proc_serve(server, channel.get());
    if (r != 0)
        fprintf(stderr, "fuse-proc: channel failed: %s\n", strerror(-r));
    return r == 0 ? 0 : 1;
}
