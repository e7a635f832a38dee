// The simulated box's scenario files: written whole (a new staging file
// renamed over the old one) or in place, read back, removed; /dev/video,
// the picture size files and /dev/mem in the forms the box's kernel gives.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/box/internal.h"
#include "capture/guards.h"
#include "sim/common/util.h"

namespace {

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

// Whether inside is a scenario path: under /dev/ or /proc/, no empty, "."
// or ".." component, none of the box's own entries.
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
int replace_staged(stb_box *box, const char *inside, const void *data, size_t size, uint64_t total)
{
    if (!valid_inside(inside))
        return -EINVAL;
    int r = box_register_file(box, inside);
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

std::vector<uint8_t> stb_video_bytes(int32_t width, int32_t height, const uint8_t *luma,
                                     const uint8_t *chroma)
{
    if (width <= 0 || height <= 0 || static_cast<int64_t>(width) * height > (1 << 26))
        return {};
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
    return picture;
}

int stb_box_write_video(stb_box *box, int32_t width, int32_t height, const uint8_t *luma,
                        const uint8_t *chroma)
{
    const std::vector<uint8_t> picture = stb_video_bytes(width, height, luma, chroma);
    if (picture.empty())
        return -EINVAL;
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
