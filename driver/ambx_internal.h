// The driver's insides, for its own sources and its tests: the wire
// constants, the device table and the counters, the message framing.
#pragma once

#include <cstdint>
#include <usb.h>

#include "driver/ambx.h"

// --- wire constants ------------------------------------------------------

constexpr int AMBX_VENDOR = 0x0471;
constexpr int AMBX_PRODUCT = 0x083F;

constexpr int AMBX_EP_OUT = 0x02;     // every message to the device
constexpr int AMBX_EP_REPLY = 0x81;   // every reply the driver waits for
constexpr int AMBX_EP_EVENTS = 0x83;  // drained once at open, otherwise unused

constexpr int AMBX_TIMEOUT_MS = 200;  // every read and write
constexpr int AMBX_REPLY_SIZE = 64;   // largest reply ever requested

constexpr int AMBX_KIND_DEFAULT = 1;      // kind nibble of every driver message
constexpr int AMBX_COUNT_TARGET = 0xF;    // target nibble of the count query
constexpr int AMBX_CMD_COUNT = 0x0;       // count query (address byte 0xF0)
constexpr int AMBX_CMD_INFO = 0x1;        // read component information
constexpr int AMBX_CMD_COLOUR = 0xB;      // set colour, colour sequence
constexpr int AMBX_SEQUENCE_FLAG = 0x40;  // length-byte flag of a sequence

constexpr int AMBX_SEQUENCE_SIZE = 5 + 3 * AMBX_MAX_SEQUENCE;  // 65 bytes
constexpr int AMBX_INFO_CHUNK = 59;   // information bytes one reply carries
constexpr int AMBX_INFO_BLOCK = 256;  // assembled information block

// --- process-wide state --------------------------------------------------

// One entry of the device table. Free: device null. Registered: device set,
// handle null. Open: both set.
struct device_slot {
    struct usb_device *device;  // owned by libusb
    usb_dev_handle *handle;     // open handle, or null
    int interface;              // claimed interface, -1 when none
    int configuration;          // bConfigurationValue set at open, -1 when none
    int alt_setting;            // alternate setting set at open, -1 when none
};

struct device_table {
    int count;  // registered devices, in slots 0..count-1
    device_slot slots[AMBX_MAX_DEVICES];
};

struct supported_device {
    int vendor;
    int product;
};

extern const supported_device devices;  // the one supported identifier pair
extern device_table device_slots;
extern int8_t msg_counter;  // low nibble numbers every message

// --- message framing (message.cpp) ---------------------------------------

// Writes bits 16-23, 8-15, 0-7 of color to buffer[0..2]. Returns 3.
int pack_color(unsigned char *buffer, int color);

// Returns ((msg_counter mod 16) << 4) | kind truncated to a byte, then
// advances msg_counter with 8-bit wrap.
int make_header(int kind);

// Writes the count query to buffer[0..3]: a header of the default kind
// (taking a message number), address 0xF0, length 1, value 0. Returns 4.
int put_count_query(unsigned char *buffer);

// Writes out_length bytes of out to 0x02, then reads up to *in_length bytes
// from 0x81 into in (in may be out). Returns 1 when the write was complete and
// the read gave 0 or more bytes (stored in *in_length), 0 on a short or failed
// write or a failed read (*in_length unchanged).
int exchange_message(usb_dev_handle *handle, const unsigned char *out, int out_length,
                     unsigned char *in, int *in_length);

// --- device table (device.cpp) ------------------------------------------

// Returns -1 for an index outside 0..15, -2 for a slot without a device,
// else 0.
int check_index(int device);

// Adds dev to the table. Returns 1 while another device fits, 0 once the
// table is full or for a null dev.
int register_device(struct usb_device *dev);

// --- component enumeration (enumerate.cpp) -------------------------------

extern unsigned char query_buffer[AMBX_REPLY_SIZE];
