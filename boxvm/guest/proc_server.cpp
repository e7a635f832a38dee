// The FUSE side of the box's /proc: the box's files in front of the
// kernel's procfs.
#include "boxvm/guest/proc_server.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// The top's entries that name the asking process.
bool is_self_link(const std::string &path)
{
    return path == "self" || path == "thread-self";
}

std::string self_target(const std::string &path, uint32_t pid)
{
    const std::string p = std::to_string(pid);
    return path == "self" ? p : p + "/task/" + p;
}

// Where path lives: the box's copy when it has one, else the kernel's.
std::string backing(const proc_server &server, const std::string &path)
{
    const std::string boxed = server.box + "/" + path;
    struct stat st;
    return lstat(boxed.c_str(), &st) == 0 ? boxed : server.real + "/" + path;
}

std::string child_path(const std::string &dir, const char *name)
{
    return dir.empty() ? std::string(name) : dir + "/" + name;
}

uint64_t node_for(proc_server &server, const std::string &path)
{
    const auto known = server.ids.find(path);
    if (known != server.ids.end())
        return known->second;
    server.paths.push_back(path);
    return server.ids[path] = server.paths.size();
}

const std::string *path_of(const proc_server &server, uint64_t node)
{
    return node >= 1 && node <= server.paths.size() ? &server.paths[node - 1] : nullptr;
}

// The attributes of path (node id node) for the asking process pid. 0 or -errno.
int attributes(const proc_server &server, const std::string &path, uint64_t node, uint32_t pid,
               fuse_attr *attr)
{
    struct stat st;
    if (lstat(backing(server, path).c_str(), &st) != 0)
        return -errno;
    *attr = fuse_attr{};
    attr->ino = node;
    attr->mode = st.st_mode;
    attr->nlink = uint32_t(st.st_nlink);
    attr->uid = st.st_uid;
    attr->gid = st.st_gid;
    attr->rdev = uint32_t(st.st_rdev);
    attr->size = is_self_link(path) ? self_target(path, pid).size() : uint64_t(st.st_size);
    attr->blocks = uint64_t(st.st_blocks);
    attr->blksize = uint32_t(st.st_blksize);
    attr->atime = uint64_t(st.st_atime);
    attr->mtime = uint64_t(st.st_mtime);
    attr->ctime = uint64_t(st.st_ctime);
    return 0;
}

int reply_init(int fd, const fuse_request &request)
{
    const fuse_init_in *in = fuse_arg<fuse_init_in>(request);
    if (!in || in->major != FUSE_KERNEL_VERSION)
        return fuse_reply(fd, request.header.unique, -EPROTO);
    fuse_init_out out{};
    out.major = FUSE_KERNEL_VERSION;
    out.minor = std::min<uint32_t>(in->minor, FUSE_KERNEL_MINOR_VERSION);
    out.max_readahead = in->max_readahead;
    out.max_write = FUSE_CHANNEL_MAX_WRITE;
    // "echo 1 > /proc/sys/...": O_TRUNC comes with the open (and is dropped,
    // as procfs ignores it) instead of as a size change.
    out.flags = in->flags & FUSE_ATOMIC_O_TRUNC;
    out.max_background = 16;
    out.congestion_threshold = 12;
    return fuse_reply(fd, request.header.unique, 0, &out, sizeof out);
}

int reply_lookup(proc_server &server, int fd, const fuse_request &request)
{
    const std::string *dir = path_of(server, request.header.nodeid);
    if (!dir || request.arg_size == 0 || request.arg[request.arg_size - 1] != '\0')
        return fuse_reply(fd, request.header.unique, -ENOENT);
    const std::string path = child_path(*dir, reinterpret_cast<const char *>(request.arg));
    fuse_entry_out out{};
    const uint64_t node = node_for(server, path);
    const int error = attributes(server, path, node, request.header.pid, &out.attr);
    if (error != 0)
        return fuse_reply(fd, request.header.unique, error);
    out.nodeid = node;
    return fuse_reply(fd, request.header.unique, 0, &out, sizeof out);
}

int reply_getattr(const proc_server &server, int fd, const fuse_request &request)
{
    const std::string *path = path_of(server, request.header.nodeid);
    fuse_attr_out out{};
    const int error =
        path ? attributes(server, *path, request.header.nodeid, request.header.pid, &out.attr)
             : -ENOENT;
    return fuse_reply(fd, request.header.unique, error, &out, sizeof out);
}

// Owners and modes stay as procfs has them; anything else (times, a size)
// changes nothing, as in procfs.
int reply_setattr(const proc_server &server, int fd, const fuse_request &request)
{
    const fuse_setattr_in *in = fuse_arg<fuse_setattr_in>(request);
    if (in && in->valid & (FATTR_MODE | FATTR_UID | FATTR_GID))
        return fuse_reply(fd, request.header.unique, -EPERM);
    return reply_getattr(server, fd, request);
}

int reply_readlink(const proc_server &server, int fd, const fuse_request &request)
{
    const std::string *path = path_of(server, request.header.nodeid);
    if (!path)
        return fuse_reply(fd, request.header.unique, -ENOENT);
    if (is_self_link(*path)) {
        const std::string target = self_target(*path, request.header.pid);
        return fuse_reply(fd, request.header.unique, 0, target.data(), target.size());
    }
    char target[4096];
    const ssize_t n = readlink(backing(server, *path).c_str(), target, sizeof target);
    return fuse_reply(fd, request.header.unique, n < 0 ? -errno : 0, target, size_t(n));
}

int reply_open(const proc_server &server, int fd, const fuse_request &request)
{
    const fuse_open_in *in = fuse_arg<fuse_open_in>(request);
    const std::string *path = path_of(server, request.header.nodeid);
    if (!in || !path)
        return fuse_reply(fd, request.header.unique, -ENOENT);
    const int file =
        open(backing(server, *path).c_str(), int(in->flags & O_ACCMODE) | O_CLOEXEC | O_NOCTTY);
    if (file < 0)
        return fuse_reply(fd, request.header.unique, -errno);
    fuse_open_out out{};
    out.fh = uint64_t(file);
    // procfs files have no size: every read must come here.
    out.open_flags = FOPEN_DIRECT_IO;
    return fuse_reply(fd, request.header.unique, 0, &out, sizeof out);
}

int reply_read(int fd, const fuse_request &request, unsigned char *scratch, size_t room)
{
    const fuse_read_in *in = fuse_arg<fuse_read_in>(request);
    if (!in)
        return fuse_reply(fd, request.header.unique, -EINVAL);
    const ssize_t n =
        pread(int(in->fh), scratch, std::min<size_t>(in->size, room), off_t(in->offset));
    return fuse_reply(fd, request.header.unique, n < 0 ? -errno : 0, scratch, size_t(n));
}

int reply_write(int fd, const fuse_request &request)
{
    const fuse_write_in *in = fuse_arg<fuse_write_in>(request);
    if (!in || request.arg_size < sizeof *in + in->size)
        return fuse_reply(fd, request.header.unique, -EINVAL);
    const ssize_t n = pwrite(int(in->fh), request.arg + sizeof *in, in->size, off_t(in->offset));
    fuse_write_out out{};
    out.size = uint32_t(n < 0 ? 0 : n);
    return fuse_reply(fd, request.header.unique, n < 0 ? -errno : 0, &out, sizeof out);
}

int reply_release(int fd, const fuse_request &request)
{
    const fuse_release_in *in = fuse_arg<fuse_release_in>(request);
    if (in)
        close(int(in->fh));
    return fuse_reply(fd, request.header.unique, 0);
}

// Adds the entries of the directory at where that are not yet in *entries.
void add_listing(const std::string &where, std::vector<proc_entry> *entries)
{
    DIR *dir = opendir(where.c_str());
    if (!dir)
        return;
    while (const dirent *e = readdir(dir)) {
        const auto same = [&](const proc_entry &k) { return k.name == e->d_name; };
        if (std::none_of(entries->begin(), entries->end(), same))
            entries->push_back({e->d_name, e->d_type});
    }
    closedir(dir);
}

int reply_opendir(proc_server &server, int fd, const fuse_request &request)
{
    const std::string *path = path_of(server, request.header.nodeid);
    if (!path)
        return fuse_reply(fd, request.header.unique, -ENOENT);
    std::vector<proc_entry> entries;
    add_listing(server.box + "/" + *path, &entries);
    add_listing(server.real + "/" + *path, &entries);
    if (entries.empty())
        return fuse_reply(fd, request.header.unique, -ENOENT);
    const uint64_t handle = server.next_listing++;
    server.listings[handle] = std::move(entries);
    fuse_open_out out{};
    out.fh = handle;
    return fuse_reply(fd, request.header.unique, 0, &out, sizeof out);
}

// As many entries from in->offset on as fit in in->size bytes; an entry's
// offset is the position after it.
int reply_readdir(const proc_server &server, int fd, const fuse_request &request,
                  unsigned char *scratch, size_t room)
{
    const fuse_read_in *in = fuse_arg<fuse_read_in>(request);
    const auto listing = in ? server.listings.find(in->fh) : server.listings.end();
    if (listing == server.listings.end())
        return fuse_reply(fd, request.header.unique, -EBADF);
    const std::vector<proc_entry> &entries = listing->second;
    size_t used = 0;
    room = std::min<size_t>(room, in->size);
    for (size_t k = size_t(in->offset); k < entries.size(); k++) {
        const size_t record = FUSE_DIRENT_ALIGN(FUSE_NAME_OFFSET + entries[k].name.size());
        if (used + record > room)
            break;
        memset(scratch + used, 0, record);
        fuse_dirent d{k + 1000, k + 1, uint32_t(entries[k].name.size()), entries[k].type};
        memcpy(scratch + used, &d, FUSE_NAME_OFFSET);
        memcpy(scratch + used + FUSE_NAME_OFFSET, entries[k].name.data(), entries[k].name.size());
        used += record;
    }
    return fuse_reply(fd, request.header.unique, 0, scratch, used);
}

int reply_releasedir(proc_server &server, int fd, const fuse_request &request)
{
    const fuse_release_in *in = fuse_arg<fuse_release_in>(request);
    if (in)
        server.listings.erase(in->fh);
    return fuse_reply(fd, request.header.unique, 0);
}

int reply_statfs(const proc_server &server, int fd, const fuse_request &request)
{
    struct statvfs vfs;
    fuse_statfs_out out{};
    if (statvfs(server.real.c_str(), &vfs) == 0) {
        out.st.bsize = uint32_t(vfs.f_bsize);
        out.st.frsize = uint32_t(vfs.f_frsize);
        out.st.namelen = uint32_t(vfs.f_namemax);
    }
    return fuse_reply(fd, request.header.unique, 0, &out, sizeof out);
}

}  // namespace

proc_server proc_server_make(const std::string &box, const std::string &real)
{
    proc_server server;
    server.box = box;
    server.real = real;
    node_for(server, "");
    return server;
}

int proc_handle(proc_server &server, int fd, const fuse_request &request)
{
    static unsigned char scratch[FUSE_CHANNEL_MAX_WRITE];
    const uint64_t unique = request.header.unique;
    int r;
    switch (request.header.opcode) {
    case FUSE_INIT: r = reply_init(fd, request); break;
    case FUSE_LOOKUP: r = reply_lookup(server, fd, request); break;
    case FUSE_GETATTR: r = reply_getattr(server, fd, request); break;
    case FUSE_SETATTR: r = reply_setattr(server, fd, request); break;
    case FUSE_READLINK: r = reply_readlink(server, fd, request); break;
    case FUSE_OPEN: r = reply_open(server, fd, request); break;
    case FUSE_READ: r = reply_read(fd, request, scratch, sizeof scratch); break;
    case FUSE_WRITE: r = reply_write(fd, request); break;
    case FUSE_RELEASE: r = reply_release(fd, request); break;
    case FUSE_OPENDIR: r = reply_opendir(server, fd, request); break;
    case FUSE_READDIR: r = reply_readdir(server, fd, request, scratch, sizeof scratch); break;
    case FUSE_RELEASEDIR: r = reply_releasedir(server, fd, request); break;
    case FUSE_STATFS: r = reply_statfs(server, fd, request); break;
    case FUSE_FLUSH:
    case FUSE_ACCESS: r = fuse_reply(fd, unique, 0); break;
    case FUSE_FORGET:
    case FUSE_BATCH_FORGET:
    case FUSE_INTERRUPT: return 0;
    default: r = fuse_reply(fd, unique, -ENOSYS); break;
    }
    return r == -ENOENT ? 0 : r;
}

int proc_serve(proc_server &server, int fd)
{
    return fuse_serve(
        fd,
        [](void *context, int channel, const fuse_request &request) {
            return proc_handle(*static_cast<proc_server *>(context), channel, request);
        },
        &server);
}
