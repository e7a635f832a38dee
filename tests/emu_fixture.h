// What the emulated light set's tests share: the driver's identifiers and
// the messages they send.
#pragma once

#include <cstdint>
#include <vector>

#include "driver/ambx_internal.h"
#include "sim/lightset/ambx_emu.h"

using bytes = std::vector<uint8_t>;

const bytes START = {0x00};
const bytes COUNT_QUERY = {0x21, 0xF0, 0x01, 0x00};
const bytes RED_ON_LIGHT_1 = {0x11, 0x1B, 0x03, 0xFF, 0x00, 0x00};
