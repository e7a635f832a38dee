// Bus numbering shared by both glues of the emulated light set (umockdev's
// and the stand-in libusb's).
#include "sim/lightset/emu_usb.h"

#include <atomic>

int emu_fresh_bus()
{
    static std::atomic<int> next{101};
    const int bus = next++;
    return bus <= 999 ? bus : -1;
}
