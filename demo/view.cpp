// The live terminal view and the text lines.
#include "demo/view.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr int PANEL_LINES = 9;  // lines of the panel beside the thumbnail
constexpr int HEADER_LINES = 3;
constexpr char UPPER_HALF[] = "\xe2\x96\x80";  // ▀
constexpr char RESET[] = "\x1b[0m";
constexpr char CLEAR_LINE[] = "\x1b[K\n";

std::string colour_code(int layer, rgb c)
{
    char code[32];
    snprintf(code, sizeof code, "\x1b[%d;2;%d;%d;%dm", layer, c.r, c.g, c.b);
    return code;
}

std::string printf_string(const char *pattern, double a, double b = 0)
{
    char text[160];
    snprintf(text, sizeof text, pattern, a, b);
    return text;
}

// Text row i of the thumbnail: picture rows 2i (upper half) and 2i + 1.
std::string thumb_line(const thumb &t, int i)
{
    if (2 * i + 1 >= t.height)
        return std::string(static_cast<size_t>(t.width), ' ');
    std::string line;
    for (int x = 0; x < t.width; x++)
        line += colour_code(38, t.pixels[2 * i * t.width + x]) +
                colour_code(48, t.pixels[(2 * i + 1) * t.width + x]) + UPPER_HALF;
    return line + RESET;
}

std::string light_blocks(const view_state &s)
{
    std::string line;
    for (const rgb &c : s.lights)
        line += colour_code(48, c) + "       " + RESET + " ";
    return line;
}

std::string huecast_numbers(const view_state &s)
{
    std::string line = printf_string("huecast  %6.1f light frames/s", s.huecast_fps);
    if (s.cpu_ms >= 0)
        line += printf_string("   %.2f ms CPU per frame", s.cpu_ms);
    return line;
}

std::string panel_line(const view_state &s, int i)
{
    std::string line;
    switch (i) {
    case 0:
        for (int light : zone_lights)
            line += "light " + std::to_string(light) + " ";
        return line;
    case 1:
    case 2:
    case 3: return light_blocks(s);
    case 4:
        for (const rgb &c : s.lights)
            line += hex(c) + " ";
        return line;
    case 6: return huecast_numbers(s);
    case 7:
        return printf_string("decoder  frame %.0f at %.0f frames/s", static_cast<double>(s.frame),
                             s.decoder_fps);
    case 8: return printf_string("%5.1f s of %.0f s   Ctrl-C stops", s.elapsed, s.seconds);
    default: return "";
    }
}

}  // namespace

thumb thumbnail(const yuv_picture &p, int width)
{
    thumb t;
    t.width = width;
    t.height = std::max(2, (width * p.height / p.width + 1) / 2 * 2);
    t.pixels.resize(static_cast<size_t>(t.width) * t.height);
    for (int y = 0; y < t.height; y++)
        for (int x = 0; x < t.width; x++)
            t.pixels[static_cast<size_t>(y) * t.width + x] = picture_pixel(
                p, (2 * x + 1) * p.width / (2 * t.width), (2 * y + 1) * p.height / (2 * t.height));
    return t;
}

std::string hex(rgb c)
{
    char text[8];
    snprintf(text, sizeof text, "#%02X%02X%02X", c.r, c.g, c.b);
    return text;
}

int tty_view_lines(const thumb &picture)
{
    return HEADER_LINES + std::max(PANEL_LINES, picture.height / 2);
}

std::string tty_view(const view_state &s, const thumb &picture)
{
    std::string out = "\x1b[1m" + s.title + RESET + CLEAR_LINE;
    out += "huecast says: " + s.huecast_said + CLEAR_LINE + CLEAR_LINE;
    for (int i = HEADER_LINES; i < tty_view_lines(picture); i++)
        out += thumb_line(picture, i - HEADER_LINES) + "   " + panel_line(s, i - HEADER_LINES) +
               CLEAR_LINE;
    return out;
}

std::string text_line(const view_state &s)
{
    std::string line =
        printf_string("%5.1f s  frame %4.0f  lights", s.elapsed, static_cast<double>(s.frame));
    for (int i = 0; i < 5; i++)
        line += " " + std::to_string(zone_lights[i]) + " " + hex(s.lights[i]);
    line += printf_string("  huecast %.1f frames/s", s.huecast_fps);
    if (s.cpu_ms >= 0)
        line += printf_string(", %.2f ms CPU per frame", s.cpu_ms);
    return line;
}
