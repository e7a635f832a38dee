// The simulated set-top box. The parent computes, as plain char arrays, the
// list of steps that turn a forked child into the box; the child only walks
// that list with system calls, because it may have been forked from a
// process with other threads.
#include "stb_box.h"

#include <fcntl.h>
#include <ftw.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "guards.h"
#include "util.h"

namespace {

constexpr size_t PATH_CAP = 512;   // one step's path or link target
constexpr size_t MAX_STEPS = 128;  // mounts, directories and links of one box
constexpr size_t MAX_INSIDE = 128; // a scenario path inside the box

constexpr int STEP_UNSHARE = -1;  // before the box's own steps (0 and up)

enum step_kind {
    STEP_PRIVATE_ROOT,   // stop mount events from propagating to the host
    STEP_BIND,           // bind-mount source on path
    STEP_TMPFS,          // empty tmpfs on path
    STEP_PROCFS,         // procfs on path
    STEP_TOUCH,          // empty file at path, a mount point for a bind
    STEP_MKDIR,          // directory at path
    STEP_SYMLINK,        // path -> source
    STEP_LINK_IF_STAGED, // path -> source, when source exists
    STEP_LINK_OWN_PID,   // path<pid> -> source<pid>
};

struct step_plan {
    int kind;
    std::string path, source;
};

}  // namespace

struct stb_box_step {
    int kind;
    char path[PATH_CAP];
    char source[PATH_CAP];
};

struct stb_box {
    char dir[PATH_CAP];              // the staging directory S
    std::vector<std::string> files;  // scenario paths ever written, in order
    size_t nsteps = 0;
    stb_box_step steps[MAX_STEPS];
};

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

namespace {

bool starts_with(const std::string &s, const char *prefix)
{
    return s.compare(0, strlen(prefix), prefix) == 0;
}

bool all_digits(const std::string &s)
{
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// The components after /dev/ or /proc/; empty when the path is no scenario path.
std::vector<std::string> inside_components(const char *inside)
{
    const std::string p = inside ? inside : "";
    std::vector<std::string> parts;
    size_t at = starts_with(p, "/dev/") ? 5 : starts_with(p, "/proc/") ? 6 : 0;
    if (at == 0 || p.size() > MAX_INSIDE)
        return {};
    for (;;) {
        size_t slash = p.find('/', at);
        std::string part = p.substr(at, slash == std::string::npos ? slash : slash - at);
        if (part.empty() || part == "." || part == "..")
            return {};
        parts.push_back(part);
        if (slash == std::string::npos)
            return parts;
        at = slash + 1;
    }
}

bool valid_inside(const char *inside)
{
    const std::vector<std::string> parts = inside_components(inside);
    if (parts.empty())
        return false;
    if (starts_with(inside, "/dev/"))
        return parts[0] != "null";
    const std::string &top = parts[0];
    return top != "self" && top != "thread-self" && top != "sys" && !all_digits(top);
}

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

int store_steps(stb_box *box)
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

// Adds a scenario path to the box's steps once.
int register_file(stb_box *box, const char *inside)
{
    for (const std::string &f : box->files)
        if (f == inside)
            return 0;
    box->files.push_back(inside);
    int r = store_steps(box);
    if (r != 0) {
        box->files.pop_back();
        store_steps(box);
    }
    return r;
}

}  // namespace

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

// --- parent side: the staging directory -------------------------------------

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
    if (env && env[0] == '/' && realpath(env, real) && !under(real, "/dev") && !under(real, "/proc"))
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
    return r != 0 ? r : store_steps(box);
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

// --- parent side: scenario content ------------------------------------------

namespace {

int make_parents(const stb_box *box, const std::string &path)
{
    for (size_t slash = path.find('/', strlen(box->dir) + 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (mkdir(path.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST)
            return -errno;
    }
    return 0;
}

int fill_new_file(int fd, const void *data, size_t size, uint64_t total)
{
    int r = pwrite_all(fd, data, size, 0);
    if (r == 0 && total > size && ftruncate(fd, static_cast<off_t>(total)) != 0)
        r = -errno;
    if (r == 0 && fchmod(fd, 0644) != 0)
        r = -errno;
    return r;
}

// A new staging file with data, then zeros up to total bytes, renamed over
// the old one so that an open inside the box sees either the old or the new.
int replace_staged(stb_box *box, const char *inside, const void *data, size_t size,
                   uint64_t total)
{
    if (!valid_inside(inside))
        return -EINVAL;
    int r = register_file(box, inside);
    const std::string path = stb_box_path(box, inside);
    if (r == 0)
        r = make_parents(box, path);
    if (r != 0)
        return r;
    std::string tmp = path.substr(0, path.rfind('/')) + "/.staging.XXXXXX";
    unique_fd fd(mkstemp(tmp.data()));
    if (fd.get() < 0)
        return -errno;
    r = fill_new_file(fd.get(), data, size, total);
    if (r == 0 && rename(tmp.c_str(), path.c_str()) != 0)
        r = -errno;
    if (r != 0)
        unlink(tmp.c_str());
    return r;
}

uint64_t file_size(const std::string &path, int *error)
{
    struct stat st;
    *error = stat(path.c_str(), &st) == 0 ? 0 : -errno;
    return *error == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

int mem_bounds(const stb_box *box, uint64_t address, size_t size)
{
    int error;
    const uint64_t end = file_size(stb_box_path(box, "/dev/mem"), &error);
    if (error != 0)
        return error;
    return address > end || size > end - address ? -ERANGE : 0;
}

}  // namespace

int stb_box_write(stb_box *box, const char *inside, const void *data, size_t size)
{
    return replace_staged(box, inside, data, size, size);
}

int stb_box_write_text(stb_box *box, const char *inside, const std::string &text)
{
    return stb_box_write(box, inside, text.data(), text.size());
}

int stb_box_write_at(stb_box *box, const char *inside, uint64_t offset, const void *data,
                     size_t size)
{
    if (!valid_inside(inside))
        return -EINVAL;
    unique_fd fd(open(stb_box_path(box, inside).c_str(), O_WRONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return -errno;
    return pwrite_all(fd.get(), data, size, offset);
}

int stb_box_read_at(const stb_box *box, const char *inside, uint64_t offset, void *data,
                    size_t size)
{
    if (!valid_inside(inside))
        return -EINVAL;
    unique_fd fd(open(stb_box_path(box, inside).c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return -errno;
    return pread_all(fd.get(), data, size, offset);
}

int stb_box_remove(stb_box *box, const char *inside)
{
    if (!valid_inside(inside))
        return -EINVAL;
    return unlink(stb_box_path(box, inside).c_str()) == 0 ? 0 : -errno;
}

int stb_box_write_picture_size(stb_box *box, int width, int height)
{
    char text[32];
    snprintf(text, sizeof text, "%x\n", static_cast<unsigned>(width));
    int r = stb_box_write_text(box, "/proc/stb/vmpeg/0/xres", text);
    snprintf(text, sizeof text, "%x\n", static_cast<unsigned>(height));
    return r != 0 ? r : stb_box_write_text(box, "/proc/stb/vmpeg/0/yres", text);
}

int stb_box_write_video(stb_box *box, int32_t width, int32_t height, const uint8_t *luma,
                        const uint8_t *chroma)
{
    if (width <= 0 || height <= 0 || static_cast<int64_t>(width) * height > (1 << 26))
        return -EINVAL;
    const size_t plane = static_cast<size_t>(width) * static_cast<size_t>(height);
    std::vector<uint8_t> picture(16 + 2 * plane, 0x80);
    for (int i = 0; i < 4; i++) {
        picture[i] = static_cast<uint8_t>(static_cast<uint32_t>(width) >> (8 * i));
        picture[4 + i] = static_cast<uint8_t>(static_cast<uint32_t>(height) >> (8 * i));
        picture[8 + i] = picture[12 + i] = 0;
    }
    memcpy(picture.data() + 16, luma, plane);
    if (plane / 2 > 0)  // a one-pixel picture has no chroma at all
        memcpy(picture.data() + 16 + plane, chroma, plane / 2);
    return stb_box_write(box, "/dev/video", picture.data(), picture.size());
}

int stb_box_make_mem(stb_box *box, uint64_t size)
{
    return replace_staged(box, "/dev/mem", nullptr, 0, size);
}

int stb_box_mem_write(stb_box *box, uint64_t address, const void *data, size_t size)
{
    int r = mem_bounds(box, address, size);
    return r != 0 ? r : stb_box_write_at(box, "/dev/mem", address, data, size);
}

int stb_box_mem_read(const stb_box *box, uint64_t address, void *data, size_t size)
{
    int r = mem_bounds(box, address, size);
    return r != 0 ? r : stb_box_read_at(box, "/dev/mem", address, data, size);
}

int stb_box_mem_write32(stb_box *box, uint64_t address, uint32_t value)
{
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return stb_box_mem_write(box, address, bytes, 4);
}

int stb_box_mem_read32(const stb_box *box, uint64_t address, uint32_t *value)
{
    uint8_t b[4];
    int r = stb_box_mem_read(box, address, b, 4);
    if (r == 0)
        *value = b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
    return r;
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
