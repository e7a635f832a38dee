// The built-in scenes. Each is drawn row by row: a scene computes a few
// distinct rows and copies them down the picture, so that a full-HD frame
// costs little more than its memory copies.
#include "demo/scene.h"

#include <algorithm>
#include <cmath>
#include <cstring>

const rgb scene_bar_colours[5] = {
    {255, 0, 0}, {255, 255, 0}, {0, 255, 0}, {0, 255, 255}, {0, 0, 255}};

namespace {

constexpr double CYCLE_SCENE_SECONDS = 4;
constexpr int BANDS = 16;  // bands of equal brightness down the sweep

const std::vector<std::string> names = {"bars", "sweep", "flash", "letterbox", "cycle"};

uint8_t clamp_byte(double v)
{
    return static_cast<uint8_t>(std::lround(std::min(255.0, std::max(0.0, v))));
}

rgb scaled(rgb c, double factor)
{
    return {clamp_byte(c.r * factor), clamp_byte(c.g * factor), clamp_byte(c.b * factor)};
}

rgb mixed(rgb a, rgb b, double amount_of_b)
{
    const double k = std::min(1.0, std::max(0.0, amount_of_b));
    return {clamp_byte(a.r + (b.r - a.r) * k), clamp_byte(a.g + (b.g - a.g) * k),
            clamp_byte(a.b + (b.b - a.b) * k)};
}

// Hue in degrees, saturation and value 0..1.
rgb from_hsv(double hue, double s, double v)
{
    hue = std::fmod(std::fmod(hue, 360.0) + 360.0, 360.0) / 60.0;
    const int sector = static_cast<int>(hue);
    const double f = hue - sector, p = v * (1 - s), q = v * (1 - s * f), u = v * (1 - s * (1 - f));
    const double table[6][3] = {{v, u, p}, {q, v, p}, {p, v, u}, {p, q, v}, {u, p, v}, {v, p, q}};
    const double *c = table[sector % 6];
    return {clamp_byte(c[0] * 255), clamp_byte(c[1] * 255), clamp_byte(c[2] * 255)};
}

// Draws one row of colours over picture rows [y0, y1), y0 and y1 even. Each
// chroma pair takes the colour of its left pixel.
void fill_rows(yuv_picture &p, const std::vector<rgb> &row, int y0, int y1)
{
    std::vector<uint8_t> luma(p.width), chroma(p.width);
    for (int x = 0; x < p.width; x++) {
        uint8_t cb, cr;
        ycbcr_from_rgb(row[x], &luma[x], &cb, &cr);
        if (x % 2 == 0) {
            chroma[x] = cb;
            chroma[x + 1] = cr;
        }
    }
    for (int y = y0; y < y1; y++)
        memcpy(&p.luma[static_cast<size_t>(y) * p.width], luma.data(), luma.size());
    for (int q = y0 / 2; q < y1 / 2; q++)
        memcpy(&p.chroma[static_cast<size_t>(q) * p.width], chroma.data(), chroma.size());
}

// Rows [a, b) split into n bands of even rows (a and b even): band i's first row.
int even_split(int a, int b, int i, int n)
{
    return a + (b - a) * i / n / 2 * 2;
}

void draw_bars(yuv_picture &p, double t)
{
    const int offset = bars_offset(p.width, t), bar = p.width / 5;
    std::vector<rgb> row(p.width);
    for (int x = 0; x < p.width; x++)
        row[x] = scene_bar_colours[std::min(4, (x - offset + p.width) % p.width / bar)];
    fill_rows(p, row, 0, p.height);
}

// A rainbow that turns slowly, brightest in the middle rows.
void draw_sweep(yuv_picture &p, double t)
{
    std::vector<rgb> row(p.width);
    for (int x = 0; x < p.width; x++)
        row[x] = from_hsv(36 * t + 150.0 * x / p.width, 0.9, 1.0);
    std::vector<rgb> band(p.width);
    for (int i = 0; i < BANDS; i++) {
        const double light = 1 - std::fabs((i + 0.5) / BANDS * 2 - 1);
        for (int x = 0; x < p.width; x++)
            band[x] = scaled(row[x], 0.35 + 0.65 * light);
        fill_rows(p, band, even_split(0, p.height, i, BANDS),
                  even_split(0, p.height, i + 1, BANDS));
    }
}

// Night with a street light on the right; every 3 s lightning left of the
// middle lights up the sky and fades within half a second.
void draw_flash(yuv_picture &p, double t)
{
    const double since = std::fmod(t + 2.0, 3.0), flash = since < 0.6 ? std::exp(-since / 0.12) : 0;
    const rgb night = {6, 8, 26}, lamp = {120, 70, 10}, sky = {190, 200, 255};
    std::vector<rgb> row(p.width);
    for (int x = 0; x < p.width; x++) {
        const double u = static_cast<double>(x) / p.width;
        const double bolt = std::exp(-std::pow((u - 0.3) / 0.05, 2));
        const double glow = std::exp(-std::pow((u - 0.88) / 0.06, 2));
        row[x] = mixed(mixed(night, lamp, glow), sky, flash * (0.45 + 0.55 * bolt));
    }
    fill_rows(p, row, 0, p.height);
}

// The colour of the sunset at depth (0 top of the film, 1 bottom) and
// column u (0..1), with the sun's glow around column sun.
rgb sunset(double depth, double u, double sun)
{
    const rgb high = {40, 30, 110}, horizon = {255, 120, 40}, sea = {20, 15, 45};
    const double glow = std::exp(-std::pow((u - sun) / 0.15, 2));
    if (depth >= 0.7)
        return mixed(sea, horizon, 0.5 * glow * (1 - depth));
    return mixed(mixed(high, horizon, depth / 0.7), rgb{255, 200, 90}, 0.6 * glow);
}

// A wide film inside black bars: a sunset whose sun crosses the picture.
void draw_letterbox(yuv_picture &p, double t)
{
    const int top = even_split(0, p.height, 1, 5), bottom = even_split(0, p.height, 4, 5);
    fill_rows(p, std::vector<rgb>(p.width, rgb{0, 0, 0}), 0, top);
    fill_rows(p, std::vector<rgb>(p.width, rgb{0, 0, 0}), bottom, p.height);
    const double sun = 0.1 + 0.8 * std::fmod(t / 4.0, 1.0);
    std::vector<rgb> row(p.width);
    for (int i = 0; i < BANDS; i++) {
        const double depth = (i + 0.5) / BANDS;
        for (int x = 0; x < p.width; x++) {
            const double u = static_cast<double>(x) / p.width;
            const bool disc = std::fabs(depth - 0.55) < 0.12 && std::fabs(u - sun) < 0.05;
            row[x] = disc ? rgb{255, 230, 140} : sunset(depth, u, sun);
        }
        fill_rows(p, row, even_split(top, bottom, i, BANDS), even_split(top, bottom, i + 1, BANDS));
    }
}

}  // namespace

void ycbcr_from_rgb(rgb c, uint8_t *y, uint8_t *cb, uint8_t *cr)
{
    *y = clamp_byte(16 + (65.481 * c.r + 128.553 * c.g + 24.966 * c.b) / 255);
    *cb = clamp_byte(128 + (-37.797 * c.r - 74.203 * c.g + 112.0 * c.b) / 255);
    *cr = clamp_byte(128 + (112.0 * c.r - 93.786 * c.g - 18.214 * c.b) / 255);
}

rgb rgb_from_ycbcr(uint8_t y, uint8_t cb, uint8_t cr)
{
    const double l = 1.164 * (y - 16), u = cb - 128.0, v = cr - 128.0;
    return {clamp_byte(l + 1.596 * v), clamp_byte(l - 0.813 * v - 0.392 * u),
            clamp_byte(l + 2.017 * u)};
}

rgb picture_pixel(const yuv_picture &p, int x, int y)
{
    const size_t pair = static_cast<size_t>(y / 2) * p.width + (x & ~1);
    return rgb_from_ycbcr(p.luma[static_cast<size_t>(y) * p.width + x], p.chroma[pair],
                          p.chroma[pair + 1]);
}

const std::vector<std::string> &scene_names()
{
    return names;
}

bool scene_by_name(const std::string &name, scene_kind *kind)
{
    for (size_t i = 0; i < names.size(); i++)
        if (names[i] == name) {
            *kind = static_cast<scene_kind>(i);
            return true;
        }
    return false;
}

scene_kind scene_at(scene_kind kind, double t)
{
    if (kind != scene_kind::cycle)
        return kind;
    return static_cast<scene_kind>(static_cast<int>(t / CYCLE_SCENE_SECONDS) % 4);
}

int scene_draw(scene_kind kind, double t, yuv_picture &p)
{
    const scene_kind now = scene_at(kind, t);
    if (kind == scene_kind::cycle)
        t = std::fmod(t, CYCLE_SCENE_SECONDS);
    switch (now) {
    case scene_kind::bars: draw_bars(p, t); return bars_offset(p.width, t);
    case scene_kind::sweep: draw_sweep(p, t); break;
    case scene_kind::flash: draw_flash(p, t); break;
    default: draw_letterbox(p, t); break;
    }
    return -1;
}

int bars_offset(int width, double t)
{
    return static_cast<int>(std::floor(t * (width / 5))) % width;
}
