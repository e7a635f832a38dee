// The simulated set-top box. The parent computes, as plain char arrays, the
// list of steps that turn a forked child into the box; the child only walks
// that list with system calls, because it may have been forked from a
// process with other threads.
#include "stb_box.h"
#include "emulated_command.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

extern char **environ;

namespace {

constexpr size_t PATH_CAP = 512;   // one step's path or link target
constexpr size_t MAX_STEPS = 128;  // mounts, directories and links of one box
constexpr size_t MAX_INSIDE = 128; // a scenario path inside the box

// Steps of the runner itself, below the box's own (0 and up) and unshare (-1).
constexpr int STEP_EXEC = -2;
constexpr int STEP_REDIRECT = -3;
constexpr int STEP_CHECK = -4;

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

// An open descriptor, closed when it goes out of scope.
class unique_fd {
public:
    explicit unique_fd(int fd = -1) : fd_(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
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

}  // namespace

int stb_box_enter_traced(const stb_box *box, int *failed_step)
{
    if (unshare(CLONE_NEWNS) != 0)
        return fail_at(failed_step, -1);
    for (size_t i = 0; i < box->nsteps; i++)
        if (run_step(box->steps[i]) != 0)
            return fail_at(failed_step, static_cast<int>(i));
    return 0;
}

int stb_box_enter(const stb_box *box)
{
    return stb_box_enter_traced(box, nullptr);
}

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

std::string stb_box_step_name(const stb_box *box, int step)
{
    if (step == -1)
        return "unshare(CLONE_NEWNS)";
    if (step == STEP_EXEC)
        return "exec";
    if (step == STEP_REDIRECT)
        return "redirect stdin, stdout and stderr";
    if (step == STEP_CHECK)
        return "read /proc/self/maps and write /dev/null inside the box";
    if (!box || step < 0 || static_cast<size_t>(step) >= box->nsteps)
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

int pwrite_all(int fd, const void *data, size_t size, uint64_t offset)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = pwrite(fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? -errno : -EIO;
        p += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
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
    char *p = static_cast<char *>(data);
    while (size > 0) {
        ssize_t n = pread(fd.get(), p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? -errno : -EIO;
        p += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return 0;
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

// --- the runner -------------------------------------------------------------

namespace {

double now_s()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// What a child that could not exec tells its parent through the report pipe.
struct child_report {
    int error;
    int step;
};

// Everything the child needs, prepared before the fork.
struct child_setup {
    const stb_box *box;
    int in, out, err, report;
    char *const *argv;
    char *const *envp;
};

[[noreturn]] void child_fail(int report, int error, int step)
{
    const child_report rep = {error, step};
    ssize_t n = write(report, &rep, sizeof rep);
    (void)n;
    _exit(127);
}

[[noreturn]] void child_main(const child_setup &c)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    setpgid(0, 0);
    if (dup2(c.in, 0) < 0 || dup2(c.out, 1) < 0 || dup2(c.err, 2) < 0)
        child_fail(c.report, -errno, STEP_REDIRECT);
    int step = 0;
    int r = c.box ? stb_box_enter_traced(c.box, &step) : 0;
    if (r != 0)
        child_fail(c.report, r, step);
    execve(c.argv[0], c.argv, c.envp);
    child_fail(c.report, -errno, STEP_EXEC);
}

std::vector<char *> c_strings(const std::vector<std::string> &strings)
{
    std::vector<char *> out;
    for (const std::string &s : strings)
        out.push_back(const_cast<char *>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

// Reads the report pipe until the exec closes it (0) or the child reports.
bool read_report(int fd, child_report *rep)
{
    ssize_t n;
    do
        n = read(fd, rep, sizeof *rep);
    while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof *rep);
}

int reap(pid_t pid, int *status)
{
    pid_t r;
    do
        r = waitpid(pid, status, 0);
    while (r < 0 && errno == EINTR);
    return r == pid ? 0 : -errno;
}

std::string read_all(int fd)
{
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0)
        return {};
    std::string s(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < s.size()) {
        ssize_t n = pread(fd, &s[got], s.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    s.resize(got);
    return s;
}

int start_failed(stb_proc *proc, const stb_box *box, int error, int step)
{
    proc->error = error;
    proc->failed_step = stb_box_step_name(box, step);
    return error;
}

int open_outputs(stb_proc *proc)
{
    proc->out = memfd_create("stb-stdout", MFD_CLOEXEC);
    proc->err = memfd_create("stb-stderr", MFD_CLOEXEC);
    return proc->out < 0 || proc->err < 0 ? -errno : 0;
}

// After the fork: wait for the exec or the child's report.
int await_exec(stb_proc *proc, const stb_box *box, int report)
{
    child_report rep;
    if (read_report(report, &rep)) {
        int status;
        reap(proc->pid, &status);
        proc->reaped = true;
        return start_failed(proc, box, rep.error, rep.step);
    }
    proc->pidfd = static_cast<int>(syscall(SYS_pidfd_open, proc->pid, 0));
    return 0;
}

// Whether the program has ended (not reaped yet), waiting at most timeout_s.
bool wait_ended(const stb_proc *proc, double timeout_s)
{
    const double deadline = now_s() + timeout_s;
    for (;;) {
        const double left = deadline - now_s();
        const int ms = left > 0 ? static_cast<int>(std::ceil(left * 1000)) : 0;
        if (proc->pidfd >= 0) {
            struct pollfd p = {proc->pidfd, POLLIN, 0};
            int n = poll(&p, 1, ms);
            if (n > 0)
                return true;
            if (n < 0 && errno != EINTR)
                return false;
        } else {
            siginfo_t si = {};
            if (waitid(P_PID, proc->pid, &si, WEXITED | WNOHANG | WNOWAIT) == 0 && si.si_pid == proc->pid)
                return true;
            usleep(ms > 0 ? 1000 : 0);
        }
        if (ms == 0)
            return false;
    }
}

void close_fd(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

}  // namespace

stb_proc::~stb_proc()
{
    if (pid > 0 && !reaped) {
        int status;
        kill(-pid, SIGKILL);
        reap(pid, &status);
    }
    close_fd(&pidfd);
    close_fd(&out);
    close_fd(&err);
}

int stb_start(stb_proc *proc, const stb_box *box, const std::vector<std::string> &argv,
              const std::vector<std::string> *env)
{
    if (argv.empty() || proc->pid > 0 || proc->out >= 0)
        return start_failed(proc, box, -EINVAL, STEP_EXEC);
    const std::vector<std::string> command = emulated_command(argv);
    const std::vector<char *> args = c_strings(command);
    const std::vector<char *> envs = env ? c_strings(*env) : std::vector<char *>();
    unique_fd in(open("/dev/null", O_RDONLY | O_CLOEXEC));
    int pipe_fds[2];
    int r = open_outputs(proc);
    if (r == 0 && (in.get() < 0 || pipe2(pipe_fds, O_CLOEXEC) != 0))
        r = -errno;
    if (r != 0)
        return start_failed(proc, box, r, STEP_REDIRECT);
    unique_fd report(pipe_fds[0]), report_w(pipe_fds[1]);
    const child_setup setup = {box, in.get(), proc->out, proc->err, report_w.get(), args.data(),
                               env ? envs.data() : environ};
    proc->started = now_s();
    const pid_t pid = fork();
    if (pid < 0)
        return start_failed(proc, box, -errno, STEP_EXEC);
    if (pid == 0)
        child_main(setup);
    proc->pid = pid;
    setpgid(pid, pid);  // also here, so that a kill never misses the group
    report_w.reset();
    return await_exec(proc, box, report.get());
}

std::string stb_proc_stdout(const stb_proc *proc)
{
    return read_all(proc->out);
}

bool stb_wait_for_output(const stb_proc *proc, const std::string &text, double timeout_s)
{
    const double deadline = now_s() + timeout_s;
    for (;;) {
        const bool ended = proc->pid <= 0 || proc->reaped || wait_ended(proc, 0);
        if (stb_proc_stdout(proc).find(text) != std::string::npos)
            return true;
        if (ended || now_s() >= deadline)
            return false;
        usleep(1000);
    }
}

stb_result stb_finish(stb_proc *proc, double timeout_s)
{
    stb_result result;
    result.error = proc->error != 0 || proc->pid > 0 ? proc->error : -ECHILD;
    result.failed_step = proc->failed_step;
    if (proc->error == 0 && proc->pid > 0 && !proc->reaped) {
        result.timed_out = !wait_ended(proc, timeout_s);
        kill(-proc->pid, SIGKILL);  // the program on time-out; whatever it left behind
        int status = 0;
        if (reap(proc->pid, &status) == 0 && WIFEXITED(status))
            result.exit_code = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            result.signal = WTERMSIG(status);
        proc->reaped = true;
        result.seconds = now_s() - proc->started;
    }
    result.out = read_all(proc->out);
    result.err = read_all(proc->err);
    return result;
}

stb_result stb_run(const stb_box *box, const std::vector<std::string> &argv, double timeout_s,
                   const std::vector<std::string> *env)
{
    stb_proc proc;
    stb_start(&proc, box, argv, env);
    return stb_finish(&proc, timeout_s);
}

// --- can boxes be made here --------------------------------------------------

namespace {

[[noreturn]] void enter_and_check(const stb_box *box, int report)
{
    int failed = 0;
    int r = stb_box_enter_traced(box, &failed);
    if (r != 0)
        child_fail(report, r, failed);
    if (access("/proc/self/maps", R_OK) != 0 || access("/dev/null", W_OK) != 0)
        child_fail(report, -errno, STEP_CHECK);
    _exit(0);
}

// Enters the box in a throw-away child and checks /proc/self and /dev/null.
int try_enter(const stb_box *box, std::string *step)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -errno;
    unique_fd report(fds[0]), report_w(fds[1]);
    const pid_t pid = fork();
    if (pid < 0)
        return -errno;
    if (pid == 0)
        enter_and_check(box, report_w.get());
    report_w.reset();
    child_report rep = {0, 0};
    const bool failed = read_report(report.get(), &rep);
    int status;
    reap(pid, &status);
    if (failed)
        *step = stb_box_step_name(box, rep.step);
    return failed ? rep.error : 0;
}

}  // namespace

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
    std::string step;
    const int r = try_enter(box, &step);
    stb_box_free(box);
    if (r != 0)
        *why = "cannot make a box here: " + step + ": " + strerror(-r);
    return r == 0;
}
