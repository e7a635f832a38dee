// YUV4MPEG2: a text header line of space-separated tags, then for every
// frame a "FRAME" line (with optional tags) and the three planes.
#include "demo/y4m.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

constexpr char MAGIC[] = "YUV4MPEG2 ";
constexpr size_t MAX_LINE = 4096;

size_t chroma_plane(int width, int height)
{
    return static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2);
}

size_t frame_bytes(int width, int height)
{
    return static_cast<size_t>(width) * height + 2 * chroma_plane(width, height);
}

// One line up to its '\n' (not stored); false at the end of the file or
// for a line longer than MAX_LINE.
bool read_line(FILE *f, std::string *line)
{
    line->clear();
    for (int c = fgetc(f); c != EOF; c = fgetc(f)) {
        if (c == '\n')
            return true;
        if (line->size() >= MAX_LINE)
            return false;
        line->push_back(static_cast<char>(c));
    }
    return false;
}

bool parse_rate(const std::string &value, double *fps)
{
    long num = 0, den = 0;
    char colon = 0;
    std::istringstream in(value);
    if (!(in >> num >> colon >> den) || colon != ':' || num <= 0 || den <= 0)
        return false;
    *fps = static_cast<double>(num) / static_cast<double>(den);
    return true;
}

bool known_chroma(const std::string &value)
{
    for (const char *c : {"420jpeg", "420mpeg2", "420paldv", "420"})
        if (value == c)
            return true;
    return false;
}

bool apply_tag(const std::string &tag, int *width, int *height, double *fps, std::string *error)
{
    const std::string value = tag.substr(1);
    switch (tag[0]) {
    case 'W': *width = atoi(value.c_str()); return true;
    case 'H': *height = atoi(value.c_str()); return true;
    case 'F':
        if (parse_rate(value, fps))
            return true;
        *error = "bad frame rate F" + value;
        return false;
    case 'C':
        if (known_chroma(value))
            return true;
        *error = "C" + value +
                 " is not 8-bit 4:2:0; convert it first, e.g. ffmpeg -i IN "
                 "-pix_fmt yuv420p OUT.y4m";
        return false;
    default: return true;  // interlacing, aspect ratio, comments, extensions
    }
}

}  // namespace

bool y4m_parse_header(const std::string &tags, int *width, int *height, double *fps,
                      std::string *error)
{
    *width = *height = 0;
    *fps = 25;
    std::istringstream in(tags);
    std::string tag;
    while (in >> tag)
        if (!apply_tag(tag, width, height, fps, error))
            return false;
    if (*width <= 0 || *height <= 0 || *width > 8192 || *height > 8192) {
        *error = "no usable W and H tags";
        return false;
    }
    return true;
}

bool y4m_open(const std::string &path, y4m_video *video, std::string *error)
{
    video->file.reset(fopen(path.c_str(), "rb"));
    if (!video->file) {
        *error = path + ": " + strerror(errno);
        return false;
    }
    std::string line;
    if (!read_line(video->file.get(), &line) || line.compare(0, strlen(MAGIC), MAGIC) != 0) {
        *error = path + ": not a YUV4MPEG2 file";
        return false;
    }
    if (!y4m_parse_header(line.substr(strlen(MAGIC)), &video->width, &video->height, &video->fps,
                          error)) {
        *error = path + ": " + *error;
        return false;
    }
    video->first_frame = ftell(video->file.get());
    video->frame.resize(frame_bytes(video->width, video->height));
    return true;
}

bool y4m_next(y4m_video *video, std::string *error)
{
    FILE *f = video->file.get();
    std::string line;
    for (int attempt = 0; attempt < 2; attempt++) {
        if (read_line(f, &line) && line.compare(0, 5, "FRAME") == 0 &&
            fread(video->frame.data(), 1, video->frame.size(), f) == video->frame.size())
            return true;
        fseek(f, video->first_frame, SEEK_SET);  // the end, or a cut frame: loop
    }
    *error = "no complete frame in the file";
    return false;
}

void y4m_scale(const y4m_video &video, yuv_picture &out)
{
    const int sw = video.width, sh = video.height, cw = (sw + 1) / 2;
    const uint8_t *y = video.frame.data();
    const uint8_t *cb = y + static_cast<size_t>(sw) * sh;
    const uint8_t *cr = cb + chroma_plane(sw, sh);
    std::vector<int> sx(out.width);
    for (int x = 0; x < out.width; x++)
        sx[x] = static_cast<int>(static_cast<int64_t>(x) * sw / out.width);
    for (int row = 0; row < out.height; row++) {
        const int source_row = static_cast<int>(static_cast<int64_t>(row) * sh / out.height);
        uint8_t *luma = &out.luma[static_cast<size_t>(row) * out.width];
        for (int x = 0; x < out.width; x++)
            luma[x] = y[static_cast<size_t>(source_row) * sw + sx[x]];
        if (row % 2 != 0)
            continue;
        uint8_t *chroma = &out.chroma[static_cast<size_t>(row / 2) * out.width];
        const size_t from = static_cast<size_t>(source_row / 2) * cw;
        for (int x = 0; x + 1 < out.width; x += 2) {
            chroma[x] = cb[from + sx[x] / 2];
            chroma[x + 1] = cr[from + sx[x] / 2];
        }
    }
}
