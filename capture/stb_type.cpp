// The process-wide chipset code. It lives with the capture because every
// capture reads it to pick its source; the grabber's detection only writes it.
#include "capture/frame.h"

// Detected chipset; 0 (unknown) until the detection at start-up sets it.
int stb_type = STB_UNKNOWN;

// Names printed when the grabber announces the chipset.
const char *const stb_name[STB_COUNT] = {
    "unknown", "Pallas", "Vulcan", "Xilleon", "Brcm7401", "Brcm4380",
};
