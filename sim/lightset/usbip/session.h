// One USB/IP connection's traffic, apart from its socket: the import
// handshake and the URBs of an attached device, answered from emu_device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/lightset/ambx_emu.h"

// An OP_REQ_IMPORT: what the attach agent sends before anything else.
constexpr size_t USBIP_IMPORT_REQUEST_SIZE = 40;
// An OP_REP_IMPORT: the go-ahead, with the device's identity.
constexpr size_t USBIP_IMPORT_REPLY_SIZE = 320;
// Every CMD_* and RET_* header.
constexpr size_t USBIP_HEADER_SIZE = 48;

// A URB the device has not answered yet: an IN transfer waiting for a
// reply, or an OUT transfer the device never takes.
struct usbip_pending {
    uint32_t seqnum;
    int endpoint;  // with the direction bit, as 0x81
    int length;
};

struct usbip_session {
    emu_device *dev = nullptr;
    std::vector<usbip_pending> pending;
    bool configured = false;  // a SET_CONFIGURATION to a non-zero value succeeded
};

// Whether the size bytes at in begin with a well-formed OP_REQ_IMPORT.
bool usbip_is_import_request(const uint8_t *in, size_t size);

// Appends the OP_REP_IMPORT that lets the guest attach dev at full speed.
void usbip_import_reply(const emu_device &dev, std::vector<uint8_t> &out);

// Answers the complete commands at the front of in (size bytes), appending
// RET_SUBMIT and RET_UNLINK messages to out. Returns how many bytes it took
// (a command not yet complete is left for the next call), or -1 when the
// bytes are no USB/IP command stream (the connection should be dropped).
long usbip_session_take(usbip_session &session, const uint8_t *in, size_t size,
                        std::vector<uint8_t> &out);
