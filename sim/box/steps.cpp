// The steps that turn a forked child into the simulated box. The parent
// computes them, as plain char arrays, from the scenario paths; the child
// only walks that list with system calls, because it may have been forked
// from a process with other threads.
#include "sim/box/internal.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

namespace {

constexpr int STEP_UNSHARE = -1;  // before the box's own steps (0 and up)

enum step_kind {
    STEP_PRIVATE_ROOT,    // stop mount events from propagating to the host
    STEP_BIND,            // bind-mount source on path
    STEP_TMPFS,           // empty tmpfs on path
    STEP_PROCFS,          // procfs on path
    STEP_TOUCH,           // empty file at path, a mount point for a bind
    STEP_MKDIR,           // directory at path
    STEP_SYMLINK,         // path -> source
    STEP_LINK_IF_STAGED,  // path -> source, when source exists
    STEP_LINK_OWN_PID,    // path<pid> -> source<pid>
};

struct step_plan {
    int kind;
    std::string path, source;
};

}  // namespace

// --- child side: system calls only ------------------------------------------

namespace {

int fail_at(int *failed_step, int step)
{
    int error = errno;
    if (failed_step)
        *failed_step = step;
    return -error;
}

// Appends the decimal digits of n to the string in buf.
bool append_number(char *buf, size_t cap, long n)
{
    char digits[24];
    int len = 0;
    do {
        digits[len++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n > 0);
    size_t at = strlen(buf);
    if (at + len >= cap)
        return false;
    while (len > 0)
        buf[at++] = digits[--len];
    buf[at] = '\0';
    return true;
}

int link_own_pid(const stb_box_step &step)
{
    char path[PATH_CAP], source[PATH_CAP];
    memcpy(path, step.path, PATH_CAP);
    memcpy(source, step.source, PATH_CAP);
    const long pid = getpid();
    if (!append_number(path, PATH_CAP, pid) || !append_number(source, PATH_CAP, pid)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return symlink(source, path);
}

int link_if_staged(const stb_box_step &step)
{
    struct stat st;
    if (stat(step.source, &st) != 0)
        return errno == ENOENT ? 0 : -1;
    return symlink(step.source, step.path);
}

int touch(const char *path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    close(fd);
    return 0;
}

int run_step(const stb_box_step &step)
{
    const unsigned long quiet = MS_NOSUID | MS_NOEXEC;
    switch (step.kind) {
    case STEP_PRIVATE_ROOT: return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    case STEP_BIND: return mount(step.source, step.path, nullptr, MS_BIND, nullptr);
    case STEP_TMPFS: return mount("tmpfs", step.path, "tmpfs", quiet, "mode=755");
    case STEP_PROCFS: return mount("proc", step.path, "proc", quiet | MS_NODEV, nullptr);
    case STEP_TOUCH: return touch(step.path);
    case STEP_MKDIR: return mkdir(step.path, 0755);
    case STEP_SYMLINK: return symlink(step.source, step.path);
    case STEP_LINK_IF_STAGED: return link_if_staged(step);
    case STEP_LINK_OWN_PID: return link_own_pid(step);
    }
    errno = EINVAL;
    return -1;
}

// The process runner's set-up: the child becomes the box.
int enter(const void *arg, int *failed_step)
{
    const stb_box *box = static_cast<const stb_box *>(arg);
    if (unshare(CLONE_NEWNS) != 0)
        return fail_at(failed_step, STEP_UNSHARE);
    for (size_t i = 0; i < box->nsteps; i++)
        if (run_step(box->steps[i]) != 0)
            return fail_at(failed_step, static_cast<int>(i));
    return 0;
}

}  // namespace

// --- parent side: the list of steps -----------------------------------------

bool starts_with(const std::string &s, const char *prefix)
{
    return s.compare(0, strlen(prefix), prefix) == 0;
}

namespace {

// Directories and links for the scenario files under prefix ("/dev/", "/proc/").
void tree_steps(const stb_box *box, const char *prefix, std::vector<step_plan> *out)
{
    std::set<std::string> made;
    for (const std::string &file : box->files) {
        if (!starts_with(file, prefix))
            continue;
        for (size_t slash = file.find('/', strlen(prefix)); slash != std::string::npos;
             slash = file.find('/', slash + 1)) {
            if (made.insert(file.substr(0, slash)).second)
                out->push_back({STEP_MKDIR, file.substr(0, slash), ""});
        }
        out->push_back({STEP_LINK_IF_STAGED, file, box->dir + file});
    }
}

// /dev first: once /proc is covered, /proc/self only works through the links.
std::vector<step_plan> box_steps(const stb_box *box)
{
    const std::string s = box->dir;
    std::vector<step_plan> steps = {
        {STEP_PRIVATE_ROOT, "/", ""},
        {STEP_BIND, s + "/null", "/dev/null"},
        {STEP_TMPFS, "/dev", ""},
        {STEP_TOUCH, "/dev/null", ""},
        {STEP_BIND, "/dev/null", s + "/null"},
    };
    tree_steps(box, "/dev/", &steps);
    steps.push_back({STEP_PROCFS, s + "/procfs", ""});
    steps.push_back({STEP_TMPFS, "/proc", ""});
    for (const char *name : {"self", "thread-self", "sys"})
        steps.push_back({STEP_SYMLINK, std::string("/proc/") + name, s + "/procfs/" + name});
    steps.push_back({STEP_LINK_OWN_PID, "/proc/", s + "/procfs/"});
    tree_steps(box, "/proc/", &steps);
    return steps;
}

}  // namespace

int box_store_steps(stb_box *box)
{
    const std::vector<step_plan> steps = box_steps(box);
    if (steps.size() > MAX_STEPS)
        return -ENOSPC;
    for (const step_plan &s : steps)
        if (s.path.size() >= PATH_CAP - 24 || s.source.size() >= PATH_CAP - 24)
            return -ENAMETOOLONG;  // 24: room for a pid
    for (size_t i = 0; i < steps.size(); i++) {
        box->steps[i].kind = steps[i].kind;
        snprintf(box->steps[i].path, PATH_CAP, "%s", steps[i].path.c_str());
        snprintf(box->steps[i].source, PATH_CAP, "%s", steps[i].source.c_str());
    }
    box->nsteps = steps.size();
    return 0;
}

int box_register_file(stb_box *box, const char *inside)
{
    for (const std::string &f : box->files)
        if (f == inside)
            return 0;
    box->files.push_back(inside);
    int r = box_store_steps(box);
    if (r != 0) {
        box->files.pop_back();
        box_store_steps(box);
    }
    return r;
}

namespace {

// Words for a step of enter.
std::string step_name(const void *arg, int step)
{
    const stb_box *box = static_cast<const stb_box *>(arg);
    if (step == STEP_UNSHARE)
        return "unshare(CLONE_NEWNS)";
    if (step < 0 || static_cast<size_t>(step) >= box->nsteps)
        return "step " + std::to_string(step);
    const stb_box_step &s = box->steps[step];
    const std::string path = s.path, source = s.source;
    switch (s.kind) {
    case STEP_PRIVATE_ROOT: return "make / private";
    case STEP_BIND: return "bind-mount " + source + " on " + path;
    case STEP_TMPFS: return "mount tmpfs on " + path;
    case STEP_PROCFS: return "mount procfs on " + path;
    case STEP_TOUCH: return "create " + path;
    case STEP_MKDIR: return "mkdir " + path;
    case STEP_LINK_OWN_PID: return "symlink " + path + "<pid> -> " + source + "<pid>";
    default: return "symlink " + path + " -> " + source;
    }
}

}  // namespace

process_setup stb_box_setup(const stb_box *box)
{
    process_setup setup;
    setup.run = enter;
    setup.step_name = step_name;
    setup.arg = box;
    return setup;
}
