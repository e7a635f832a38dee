// One decoded picture as a video decoder holds it: what the simulated
// decoders write, the demo draws and the tests compare against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

// YCbCr 4:2:0 with interleaved chroma. luma: width x height bytes, row r at
// r * width (16 black, 235 white). chroma: width x height / 2 bytes, row q
// at q * width serving luma rows 2q and 2q + 1 as (Cb, Cr) pairs, pair k
// serving columns 2k and 2k + 1 (128: no colour).
struct yuv_picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> luma;
    std::vector<uint8_t> chroma;
};

// A black picture of that size (luma 16, chroma 128).
inline yuv_picture black_picture(int width, int height)
{
    yuv_picture p;
    p.width = width;
    p.height = height;
    p.luma.assign(size_t(width) * size_t(height), 16);
    p.chroma.assign(size_t(width) * size_t(height) / 2, 128);
    return p;
}

// A picture of random bytes, the same for the same seed.
inline yuv_picture random_picture(int width, int height, unsigned seed)
{
    yuv_picture p = black_picture(width, height);
    std::mt19937 rng(seed);
    for (uint8_t &b : p.luma)
        b = static_cast<uint8_t>(rng());
    for (uint8_t &b : p.chroma)
        b = static_cast<uint8_t>(rng());
    return p;
}
