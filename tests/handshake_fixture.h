// What the driver prints while it opens a light set that answers normally:
// the lines of its start handshake, which every program prints too.
#pragma once

#include <string>

#include "sim/lightset/ambx_emu.h"

// From "Claiming interface 0" to "init done", with the reply sizes of the
// emulated light set.
inline std::string answered_handshake()
{
    std::string lines = "Claiming interface 0\nStarting to write...\n";
    lines += "success, received count=" + std::to_string(emu_start_reply_length());
    lines += ", data length=" + std::to_string(emu_start_reply_byte2()) + "\n";
    lines += "Received " + std::to_string(emu_count_reply_length()) + " bytes in response\n";
    return lines + "init done\n";
}
