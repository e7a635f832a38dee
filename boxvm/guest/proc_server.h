// The box's /proc served from user space through FUSE: the kernel's own
// procfs (mounted elsewhere) with the box's files in front of it. The kernel
// of the box VM has no /proc/stb and its own /proc/fb and /proc/cpuinfo;
// this file system shows the box's, and everything else of the kernel's
// procfs as it is, so that busybox (ps, pidof, start-stop-daemon, mount)
// keeps working. Nothing is cached by the kernel: every lookup, attribute
// and read comes here and so follows the processes as they come and go.
//
// A path is served from the box's folder when it exists there, else from
// the kernel's procfs; directories present in both list the box's entries
// first, then the kernel's others. "self" and "thread-self" at the top are
// the asking process's own (its pid from the request), not the server's.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "boxvm/guest/fuse_channel.h"

struct proc_entry {
    std::string name;
    uint32_t type;  // DT_* of the entry
};

struct proc_server {
    std::string box;   // the box's files, e.g. /box/proc
    std::string real;  // the kernel's procfs, e.g. /.procfs
    // Node ids: id n is paths[n - 1], a path relative to the top ("" is the
    // top, "stb/vmpeg"); ids stay valid for the server's life.
    std::vector<std::string> paths;
    std::map<std::string, uint64_t> ids;
    // Open directories: their listing, taken at the open.
    std::map<uint64_t, std::vector<proc_entry>> listings;
    uint64_t next_listing = 1;
};

// A server over the box's folder and the kernel's procfs, with its top as
// node 1.
proc_server proc_server_make(const std::string &box, const std::string &real);

// Answers one request on the channel fd (INIT, LOOKUP, GETATTR, SETATTR, READLINK,
// OPEN, READ, WRITE, FLUSH, RELEASE, OPENDIR, READDIR, RELEASEDIR, STATFS,
// ACCESS; FORGET and INTERRUPT need no answer; any other request -ENOSYS).
// 0, or -errno when the reply could not be written (-ENOENT, an interrupted
// request, ignored).
int proc_handle(proc_server &server, int fd, const fuse_request &request);

// Serves requests from the channel until it ends. 0 when it ended, -errno
// on a failed read or reply.
int proc_serve(proc_server &server, int fd);
