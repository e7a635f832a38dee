// Fuzz target: chipset detection over the kernel's /proc/fb and
// /proc/cpuinfo texts. Input: the /proc/fb text up to a 0 byte, then the
// /proc/cpuinfo text.
#include <cstdint>
#include <string>

#include "huecast/detect.h"
#include "capture/frame.h"
#include "tests/fuzz/fuzz_support.h"

// Catches a read beyond a piece of text and a chipset code outside the known
// ones.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input input = {data, size};
    const std::string fb = fuzz_file("fb", input.text());
    const std::string cpuinfo = fuzz_file("cpuinfo", input.text());
    const int stb = detect_chipset(fb.c_str(), cpuinfo.c_str());
    fuzz_check(stb >= STB_UNKNOWN && stb < STB_COUNT, "chipset code");
    return 0;
}
