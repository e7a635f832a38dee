// Per-frame cost of the colour conversion and the zone averaging, timed in the
// same run as libyuv's NV12ToRGB24 as a yardstick. For even sizes NV12 (luma
// plane, then Cb,Cr pairs for every 2x2 block, rows `width` bytes apart) is
// our frame layout, and libyuv's RGB24 (B, G, R in memory) is our non-Xilleon
// byte order, so both do the same work. libyuv runs once with its portable C
// rows (MaskCpuFlags(1)) and once with the SIMD rows of this CPU
// (MaskCpuFlags(-1)); the box itself has no SIMD. Beside them, the capture
// steps of the Broadcom source (de-striping and byte reversal) and of the
// Xilleon source (sampling one line in 32 of the tiled window).
#include <benchmark/benchmark.h>
#include <libyuv/convert_argb.h>
#include <libyuv/cpu_id.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/broadcom.h"
#include "capture/convert.h"
#include "capture/xilleon.h"
#include "huecast/zones.h"

namespace {

struct picture_size {
    int width, height;
};

// The largest picture of the standard-definition boxes and of the others.
constexpr picture_size sizes[] = {{720, 576}, {1920, 1080}};

struct picture {
    std::vector<unsigned char> luma, chroma, image;
    yuv_frame frame;
};

// Random bytes: no two neighbouring pixels alike, many clamped channels.
void fill_random(picture &pic)
{
    uint32_t state = 0x9E3779B9u;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return static_cast<unsigned char>(state >> 24);
    };
    for (unsigned char &b : pic.luma)
        b = next();
    for (unsigned char &b : pic.chroma)
        b = next();
}

// Gentle gradients in studio range, as in most broadcast pictures.
void fill_smooth(picture &pic, int width, int height)
{
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            pic.luma[y * width + x] =
                static_cast<unsigned char>(16 + 219 * (x + y) / (width + height));
    for (int y = 0; y < height / 2; ++y)
        for (int x = 0; x < width; x += 2) {
            pic.chroma[y * width + x] = static_cast<unsigned char>(64 + 128 * x / width);
            pic.chroma[y * width + x + 1] = static_cast<unsigned char>(64 + 256 * y / height);
        }
}

picture make_picture(picture_size size, bool smooth)
{
    const std::size_t count = static_cast<std::size_t>(size.width) * size.height;
    picture pic{std::vector<unsigned char>(count),
                std::vector<unsigned char>(count / 2),
                std::vector<unsigned char>(3 * count),
                {}};
    if (smooth)
        fill_smooth(pic, size.width, size.height);
    else
        fill_random(pic);
    pic.frame = yuv_frame{size.width, size.height, pic.luma.data(), pic.chroma.data()};
    return pic;
}

void set_pixels(benchmark::State &state, picture_size size)
{
    state.SetItemsProcessed(state.iterations() * size.width * size.height);
}

void bench_convert(benchmark::State &state, picture_size size, bool smooth)
{
    picture pic = make_picture(size, smooth);
    for (auto _ : state) {
        convert_frame(&pic.frame, pic.image.data(), false);
        benchmark::ClobberMemory();
    }
    set_pixels(state, size);
}

void bench_getcolors(benchmark::State &state, picture_size size, bool smooth)
{
    picture pic = make_picture(size, smooth);
    convert_frame(&pic.frame, pic.image.data(), false);
    uint32_t colours[ZONE_COUNT];
    for (auto _ : state) {
        getcolors(colours, pic.image.data(), size.width, size.height);
        benchmark::DoNotOptimize(colours);
    }
    set_pixels(state, size);
}

// What one frame costs the grabber after capture: conversion, then zones.
void bench_frame(benchmark::State &state, picture_size size, bool smooth)
{
    picture pic = make_picture(size, smooth);
    uint32_t colours[ZONE_COUNT];
    for (auto _ : state) {
        convert_frame(&pic.frame, pic.image.data(), false);
        getcolors(colours, pic.image.data(), size.width, size.height);
        benchmark::DoNotOptimize(colours);
    }
    set_pixels(state, size);
}

void bench_libyuv(benchmark::State &state, picture_size size, bool smooth, int cpu_flags)
{
    picture pic = make_picture(size, smooth);
    libyuv::MaskCpuFlags(cpu_flags);
    for (auto _ : state) {
        libyuv::NV12ToRGB24(pic.luma.data(), size.width, pic.chroma.data(), size.width,
                            pic.image.data(), 3 * size.width, size.width, size.height);
        benchmark::ClobberMemory();
    }
    libyuv::MaskCpuFlags(-1);
    set_pixels(state, size);
}

void bench_libyuv_c(benchmark::State &state, picture_size size, bool smooth)
{
    bench_libyuv(state, size, smooth, 1);
}

void bench_libyuv_simd(benchmark::State &state, picture_size size, bool smooth)
{
    bench_libyuv(state, size, smooth, -1);
}

// Broadcom capture after the DMA copy or mapping: the striped picture (stripe
// rows = height rounded up to 16, chroma from the next 4 KiB) re-assembled
// into planes with the 4-byte reversal of luma and chroma, as a frame does.
void bench_destripe(benchmark::State &state, picture_size size, bool smooth)
{
    const int32_t luma_rows = (size.height + 15) / 16 * 16, chroma_rows = luma_rows / 2;
    const int32_t stripes = (size.width + 63) / 64;
    const int32_t offset = (stripes * luma_rows * 64 + 0xFFF) / 0x1000 * 0x1000;
    const stripe_layout layout = {size.width, luma_rows, chroma_rows, offset};
    const int32_t extent = offset + size.width * (chroma_rows + 64);
    picture pic = make_picture({size.width, (extent + size.width - 1) / size.width}, smooth);
    std::vector<unsigned char> luma(std::size_t(size.width) * luma_rows);
    std::vector<unsigned char> chroma(std::size_t(size.width) * (chroma_rows + 64));
    const std::size_t chroma_reversed = std::size_t(size.width) * (luma_rows / 2);
    for (auto _ : state) {
        destripe_reversed(pic.luma.data(), layout, luma.data(), chroma.data(),
                          std::min(chroma_reversed, chroma.size()));
        benchmark::ClobberMemory();
    }
    set_pixels(state, size);
}

// Xilleon capture: one line in 32 of luma and chroma out of the tiled
// picture window into the planes.
void bench_xilleon_sample(benchmark::State &state, picture_size size, bool)
{
    std::vector<unsigned char> window(XILLEON_WINDOW_SIZE, 0x80);
    std::vector<unsigned char> luma(std::size_t(size.width) * size.height);
    std::vector<unsigned char> chroma(std::size_t(size.width) * (size.height + 1) / 2);
    for (auto _ : state) {
        sample_picture(window.data(), size.width, size.height, luma.data(), luma.size(),
                       chroma.data(), chroma.size());
        benchmark::ClobberMemory();
    }
    set_pixels(state, size);
}

using bench_function = void (*)(benchmark::State &, picture_size, bool);

// Names read "<what>/<width>x<height>/<random|smooth>"; bench/run.sh relies
// on them.
void register_all()
{
    const struct {
        const char *name;
        bench_function function;
    } benches[] = {{"convert", bench_convert},
                   {"getcolors", bench_getcolors},
                   {"frame", bench_frame},
                   {"libyuv_c", bench_libyuv_c},
                   {"libyuv_simd", bench_libyuv_simd},
                   {"destripe", bench_destripe},
                   {"xilleon_sample", bench_xilleon_sample}};
    for (picture_size size : sizes)
        for (bool smooth : {false, true})
            for (const auto &b : benches) {
                const std::string name = std::string(b.name) + "/" + std::to_string(size.width) +
                                         "x" + std::to_string(size.height) +
                                         (smooth ? "/smooth" : "/random");
                benchmark::RegisterBenchmark(name.c_str(), b.function, size, smooth)
                    ->Unit(benchmark::kMicrosecond);
            }
}

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    register_all();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
