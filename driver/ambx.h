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

// --- limits --------------------------------------------------------------

constexpr int AMBX_MAX_DEVICES = 16;     // slots of the device table
constexpr int AMBX_MAX_COMPONENTS = 16;  // ambx_enumerate names components 0..15 at most
constexpr int AMBX_MAX_SEQUENCE = 20;    // colours in one sequence message
constexpr int AMBX_MAX_PAYLOAD = 61;     // payload bytes of a raw request

// --- error codes ---------------------------------------------------------

constexpr int AMBX_ERR_INDEX = -1;      // device index outside 0..15
constexpr int AMBX_ERR_NO_DEVICE = -2;  // the slot holds no registered device
constexpr int AMBX_ERR_OPEN = -3;       // the slot is already open
constexpr int AMBX_ERR_USB_OPEN = -4;   // usb_open failed
constexpr int AMBX_ERR_NOT_OPEN = -7;   // the slot is not open
constexpr int AMBX_ERR_CONFIGURE = -8;  // configuration, claim or alternate setting failed
constexpr int AMBX_ERR_TOO_LARGE = -9;  // more than 20 colours or 61 payload bytes

// --- output commands (message.cpp) ---------------------------------------
// Each returns -1 for an index outside 0..15 and -7 when the slot is not
// open, sending nothing and consuming no message number.

// Sets one light. Returns the interrupt write's result: 6, or libusb's
// negative error code.
int ambx_set_light(int device, int light, int color);

// Sends a timed sequence of count colours (none when count <= 0). Returns -9
// for count > 20, else the write's result: 5 + 3 * count, or libusb's error.
int ambx_set_light_sequence(int device, int light, int step_time, const int *colours, int count);

// Sends one value byte with the caller's kind and command. Returns the
// write's result: 4, or libusb's negative error code.
int ambx_send_value(int device, int target, int value, int kind, int command);

// Sends a raw request of length (taken modulo 256) payload bytes and reads
// the reply into a scratch buffer. Returns -9 for length > 61, else 1 when a
// reply came (even an empty one), 0 when the exchange failed.
int ambx_request(int device, int target, int command, const unsigned char *payload, int length);

// --- device table, open and close (device.cpp) ---------------------------

// What every program does first: ambx_init, then ambx_open(device). Prints
// "ambx_init failed." or "ambx_open(<device>) failed." and returns -1 when
// either fails, else 0 (the device open).
int ambx_start(int device);

// Frees every slot (closing any still open), scans the USB buses and
// registers up to 16 matching devices. Never negative: the last
// register_device result, 0 when no bus exists, else a positive value.
int ambx_init();

// Opens, configures and claims the device, then runs the start handshake.
// Returns 0 once configured (whatever the handshake gives), or -1, -2, -3,
// -4, -8.
int ambx_open(int device);

// Releases and closes the device. Returns usb_close's result, or -1, -2, -7.
int ambx_close(int device);

// Returns the number of registered devices.
int ambx_device_count();

// Returns the libusb device registered in the slot (its descriptors), or
// null for an index outside 0..15 or a slot without a device.
struct usb_device *ambx_usb_device(int device);

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

// Asks the open device for its components, prints each one's position, kind
// and description, and hands it to callback. Only components 0..15 can be
// named in a request: a larger count is walked up to component 15 and then
// reported in one line. Returns -1, -2 or -7 (index,
// no device, not open); without a usable count (two attempts) 0 when the
// last exchange failed, else 1; 1 for a negative count; otherwise 0 when a
// callback stopped the walk, else the last callback's value, or 1 when the
// last component's request failed.
int ambx_enumerate(int device, component_callback callback, void *user_data);
