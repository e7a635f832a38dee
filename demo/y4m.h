// Playing a YUV4MPEG2 (.y4m) file: 4:2:0 planar video, frame by frame,
// looping, scaled to the box's picture with its chroma interleaved.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "demo/decoder.h"

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};

struct y4m_video {
    std::unique_ptr<FILE, file_closer> file;
    int width = 0;
    int height = 0;
    double fps = 25;             // F tag; 25 when absent
    long first_frame = 0;        // file offset of the first FRAME line
    std::vector<uint8_t> frame;  // the current frame: Y, then Cb, then Cr planes
};

// Opens a file and reads its header: W and H tags, F (frames per second as
// a ratio), C (420jpeg, 420mpeg2, 420paldv, 420 or absent: 4:2:0, 8 bits).
// false with *error for anything else.
bool y4m_open(const std::string &path, y4m_video *video, std::string *error);

// Reads the next frame into video->frame, starting over at the end of the
// file. false with *error when the file holds no complete frame there.
bool y4m_next(y4m_video *video, std::string *error);

// Parses a header line (without "YUV4MPEG2 " and the line end) into width,
// height and fps. false with *error when it is no 8-bit 4:2:0 video.
bool y4m_parse_header(const std::string &tags, int *width, int *height, double *fps,
                      std::string *error);

// The current frame stretched over out (whose size stays), nearest pixel;
// each chroma pair is the source chroma at the block's top-left pixel.
void y4m_scale(const y4m_video &video, yuv_picture &out);
