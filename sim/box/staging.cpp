// The simulated box's staging directory: made, laid out and removed; and
// whether boxes can be made here at all.
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/box/internal.h"
#include "capture/guards.h"

namespace {

bool under(const std::string &path, const char *top)
{
    return path == top || starts_with(path, (std::string(top) + "/").c_str());
}

// $TMPDIR, unless the box would cover it.
std::string staging_base()
{
    const char *env = getenv("TMPDIR");
    char real[PATH_MAX];
    if (env && env[0] == '/' && realpath(env, real) && !under(real, "/dev") &&
        !under(real, "/proc"))
        return real;
    return realpath("/tmp", real) ? real : "/tmp";
}

int make_empty_file(const std::string &path)
{
    unique_fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    return fd.get() < 0 ? -errno : 0;
}

int make_layout(stb_box *box)
{
    const std::string s = box->dir;
    if (chmod(box->dir, 0755) != 0)
        return -errno;
    for (const char *sub : {"/dev", "/proc", "/procfs"})
        if (mkdir((s + sub).c_str(), 0755) != 0)
            return -errno;
    int r = make_empty_file(s + "/null");
    return r != 0 ? r : box_store_steps(box);
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    remove(path);
    return 0;
}

}  // namespace

stb_box *stb_box_make()
{
    const std::string tmpl = staging_base() + "/stb_box.XXXXXX";
    if (tmpl.size() >= PATH_CAP - MAX_INSIDE - 32) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    stb_box *box = new stb_box();
    snprintf(box->dir, PATH_CAP, "%s", tmpl.c_str());
    if (!mkdtemp(box->dir)) {
        delete box;
        return nullptr;
    }
    int r = make_layout(box);
    if (r != 0) {
        stb_box_free(box);
        errno = -r;
        return nullptr;
    }
    return box;
}

void stb_box_free(stb_box *box)
{
    if (!box)
        return;
    // FTW_MOUNT: never descend into anything mounted below S.
    nftw(box->dir, remove_entry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
    delete box;
}

const char *stb_box_dir(const stb_box *box)
{
    return box->dir;
}

std::string stb_box_path(const stb_box *box, const char *inside)
{
    return std::string(box->dir) + inside;
}

// --- can boxes be made here --------------------------------------------------

bool stb_box_possible(std::string *why)
{
    if (geteuid() != 0) {
        *why = "a box needs root (mount namespaces, mounts); euid is " + std::to_string(geteuid());
        return false;
    }
    stb_box *box = stb_box_make();
    if (!box) {
        *why = std::string("cannot make a staging directory: ") + strerror(errno);
        return false;
    }
    // qemu, valgrind and the sanitizers need /proc/self; every program /dev/null.
    process_options options;
    options.setup = stb_box_setup(box);
    const process_result r =
        process_run({"/bin/sh", "-c", "test -r /proc/self/maps && test -w /dev/null"}, options);
    stb_box_free(box);
    if (r.error != 0)
        *why = "cannot make a box here: " + r.failed_step + ": " + strerror(-r.error);
    else if (r.exit_status != 0)
        *why = "cannot read /proc/self/maps or write /dev/null inside a box";
    return r.error == 0 && r.exit_status == 0;
}
