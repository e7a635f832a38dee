// Driver for the amBX light set (USB 0471:083F) over libusb 0.1.
//
// Callers address a device by its index in the process-wide device table
// (0..15, in the order ambx_init found the devices). Every operation is a
// synchronous interrupt transfer with a 200 ms time-out; nothing runs in the
// background and the driver is not thread-safe.
//
// Return values: negative numbers are the driver's error codes below; other
// results are described at each declaration.
#pragma once

#include <cstdint>
#include <usb.h>

// --- wire constants ------------------------------------------------------

constexpr int AMBX_VENDOR = 0x0471;
constexpr int AMBX_PRODUCT = 0x083F;

constexpr int AMBX_EP_OUT = 0x02;     // every message to the device
constexpr int AMBX_EP_REPLY = 0x81;   // every reply the driver waits for
constexpr int AMBX_EP_EVENTS = 0x83;  // drained once at open, otherwise unused

constexpr int AMBX_TIMEOUT_MS = 200;  // every read and write
constexpr int AMBX_REPLY_SIZE = 64;   // largest reply ever requested

constexpr int AMBX_KIND_DEFAULT = 1;  // kind nibble of every driver message
constexpr int AMBX_CMD_COUNT = 0x0;   // count query (address byte 0xF0)
constexpr int AMBX_CMD_INFO = 0x1;    // read component information
constexpr int AMBX_CMD_COLOUR = 0xB;  // set colour, colour sequence
constexpr int AMBX_SEQUENCE_FLAG = 0x40;  // length-byte flag of a sequence

constexpr int AMBX_MAX_DEVICES = 16;
constexpr int AMBX_MAX_SEQUENCE = 20;  // colours in one sequence message
constexpr int AMBX_MAX_PAYLOAD = 61;   // payload bytes of a raw request
constexpr int AMBX_SEQUENCE_SIZE = 5 + 3 * AMBX_MAX_SEQUENCE;  // 65 bytes

// --- error codes ---------------------------------------------------------

constexpr int AMBX_ERR_INDEX = -1;       // device index outside 0..15
constexpr int AMBX_ERR_NO_DEVICE = -2;   // the slot holds no registered device
constexpr int AMBX_ERR_OPEN = -3;        // the slot is already open
constexpr int AMBX_ERR_USB_OPEN = -4;    // usb_open failed
constexpr int AMBX_ERR_NOT_OPEN = -7;    // the slot is not open
constexpr int AMBX_ERR_CONFIGURE = -8;   // configuration, claim or alternate setting failed
constexpr int AMBX_ERR_TOO_LARGE = -9;   // more than 20 colours or 61 payload bytes

// --- process-wide state --------------------------------------------------

// One entry of the device table. Free: device null. Registered: device set,
// handle null. Open: both set.
struct device_slot {
    struct usb_device *device;   // owned by libusb
    usb_dev_handle *handle;      // open handle, or null
    int interface;               // claimed interface, -1 when none
    int configuration;           // bConfigurationValue set at open, -1 when none
    int alt_setting;             // alternate setting set at open, -1 when none
};

struct device_table {
    int count;                   // registered devices, in slots 0..count-1
    device_slot slots[AMBX_MAX_DEVICES];
};

struct supported_device {
    int vendor;
    int product;
};

extern const supported_device devices;  // the one supported identifier pair
extern device_table device_slots;
extern int8_t msg_counter;              // low nibble numbers every message

// --- message framing (message.cpp) ---------------------------------------

// Writes bits 16-23, 8-15, 0-7 of color to buffer[0..2]. Returns 3.
int pack_color(unsigned char *buffer, int color);

// Returns ((msg_counter mod 16) << 4) | kind truncated to a byte, then
// advances msg_counter with 8-bit wrap.
int make_header(int kind);

// Writes out_length bytes of out to 0x02, then reads up to *in_length bytes
// from 0x81 into in (in may be out). Returns 1 when the write was complete and
// the read gave 0 or more bytes (stored in *in_length), 0 on a short or failed
// write or a failed read (*in_length unchanged).
int exchange_message(usb_dev_handle *handle, const unsigned char *out, int out_length,
                     unsigned char *in, int *in_length);

// --- output commands (message.cpp) ---------------------------------------
// Each returns -1 for an index outside 0..15 and -7 when the slot is not
// open, sending nothing and consuming no message number.

// Sets one light. Returns the interrupt write's result: 6, or libusb's
// negative error code.
int ambx_set_light(int device, int light, int color);

// Sends a timed sequence of count colours (none when count <= 0). Returns -9
// for count > 20, else the write's result: 5 + 3 * count, or libusb's error.
int ambx_set_light_sequence(int device, int light, int step_time, const int *colours,
                            int count);

// Sends one value byte with the caller's kind and command. Returns the
// write's result: 4, or libusb's negative error code.
int ambx_send_value(int device, int target, int value, int kind, int command);

// Sends a raw request of length (taken modulo 256) payload bytes and reads
// the reply into a scratch buffer. Returns -9 for length > 61, else 1 when a
// reply came (even an empty one), 0 when the exchange failed.
int ambx_request(int device, int target, int command, const unsigned char *payload,
                 int length);

// --- device table, open and close (device.cpp) ---------------------------

// Frees every slot (closing any still open), scans the USB buses and
// registers up to 16 matching devices. Never negative: the last
// register_device result, 0 when no bus exists, else a positive value.
int ambx_init();

// Returns -1 for an index outside 0..15, -2 for a slot without a device,
// else 0.
int check_index(int device);

// Adds dev to the table. Returns 1 while another device fits, 0 once the
// table is full or for a null dev.
int register_device(struct usb_device *dev);

// Opens, configures and claims the device, then runs the start handshake.
// Returns 0 once configured (whatever the handshake gives), or -1, -2, -3,
// -4, -8.
int ambx_open(int device);

// Releases and closes the device. Returns usb_close's result, or -1, -2, -7.
int ambx_close(int device);

// Returns the number of registered devices.
int ambx_device_count();

// Returns bit 0 when open and bit 1 when an interface is held, or -1, -2.
int ambx_device_status(int device);

// --- component enumeration (enumerate.cpp) -------------------------------

enum component_kind { COMPONENT_LIGHT = 0, COMPONENT_FAN = 1, COMPONENT_RUMBLER = 2 };
enum component_position { POSITION_LEFT = 0, POSITION_MIDDLE = 1, POSITION_RIGHT = 2 };

// One component as handed to the caller; valid only during the callback.
struct component_info {
    int index;     // 0 .. count - 1
    int kind;      // component_kind
    int position;  // component_position
};

// Called once per component; returning 0 stops the walk.
typedef int (*component_callback)(const component_info *info, void *user_data);

constexpr int AMBX_INFO_CHUNK = 59;     // information bytes one reply carries
constexpr int AMBX_INFO_BLOCK = 256;    // assembled information block

extern unsigned char query_buffer[AMBX_REPLY_SIZE];

// Asks the open device for its components, prints each one's position, kind
// and description, and hands it to callback. Only components 0..15 can be
// named in a request: a larger count is walked up to component 15 and then
// reported in one line. Returns -1, -2 or -7 (index,
// no device, not open); without a usable count (two attempts) 0 when the
// last exchange failed, else 1; 1 for a negative count; otherwise 0 when a
// callback stopped the walk, else the last callback's value, or 1 when the
// last component's request failed.
int ambx_enumerate(int device, component_callback callback, void *user_data);
