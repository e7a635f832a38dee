// Picture types shared by the chipset sources, the colour conversion and the
// grabber, and the process-wide chipset code that selects a source.
#pragma once

#include <cstdint>

// Video decoder chipsets, as stored in stb_type. Any other value counts as
// STB_UNKNOWN.
enum stb_chipset : int {
    STB_UNKNOWN = 0,
    STB_PALLAS = 1,
    STB_VULCAN = 2,
    STB_XILLEON = 3,
    STB_BRCM7401 = 4,
    STB_BRCM4380 = 5,
};

// Number of entries of stb_name: one per chipset code above.
constexpr int STB_COUNT = 6;

// The box's chipset, one of the STB_ codes. Written once by the detection at
// start-up, read by every capture afterwards.
extern int stb_type;

// Display names of the chipsets, indexed by their STB_ code.
extern const char *const stb_name[STB_COUNT];

// One decoded picture in YCbCr 4:2:0 form, alive for one capture.
//
// luma: at least width * height bytes, row r at byte r * width, studio range
// (16 black, 235 white).
// chroma: one row for every two luma rows; chroma row r starts at byte
// r * width and serves luma rows 2r and 2r + 1. Byte pair k of a row (bytes
// 2k, 2k + 1: Cb, then Cr, 128 = no colour) serves luma columns 2k and 2k + 1.
// Only its first width * height / 2 bytes are guaranteed to exist.
// Both point into the blocks the source handed over (the video device's
// into its read buffer, after the header), which the capture front end frees.
struct yuv_frame {
    int32_t width;
    int32_t height;
    unsigned char *luma;
    unsigned char *chroma;
};
