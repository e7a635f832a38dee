// What the stand-in libusb (libusb_standin.cpp, loaded by a program in place
// of libusb-0.1.so.4) and the process that owns the emulated light sets
// (glue.cpp) say to each other.
//
// The owner listens on a unix seqpacket socket whose path it puts in the
// environment variable AMBX_STANDIN_SOCKET; programs inherit it. The stand-in
// connects on its first request. Each request is one packet, answered by one
// packet. Both ends run on the same machine and architecture, so fields are
// in native byte order.
#pragma once

#include <cstdint>

constexpr char STANDIN_SOCKET_VARIABLE[] = "AMBX_STANDIN_SOCKET";

// The largest packet either side sends: a listing of every bus and device.
constexpr int STANDIN_MAX_PACKET = 64 * 1024;

enum standin_op : int32_t {
    standin_list = 1,           // every bus and plugged-in device
    standin_open,               // a = bus, b = devnum; result: node id
    standin_set_configuration,  // a = configuration value
    standin_claim,              // a = interface
    standin_release,            // a = interface
    standin_set_alt,            // a = interface, b = alternate setting
    standin_write,              // a = endpoint; the data follow; result: bytes taken,
                                // or -EAGAIN while the device does not take them
    standin_write_wait,         // a = endpoint: that write, polled
    standin_submit_read,        // a = endpoint, b = capacity: a new IN transfer
    standin_read,               // a = endpoint, b = capacity: the same one, polled
};

struct standin_request {
    int32_t op;
    int32_t node;  // the device, as standin_open named it
    int32_t a;
    int32_t b;
    // followed by the data of a write
};

// result: 0 or more on success (a node id, a reply's length), else -errno;
// a read with no reply ready, or a write not taken, gives -EAGAIN. A read
// or write polled after its device was unplugged ends with 0 (no data), as
// the kernel gives back a transfer cut short by a disconnect; any other
// request then fails with -ENODEV. The data follow the header.
struct standin_reply {
    int32_t result;
};

// The listing is a run of entries, each an entry header and, for a device,
// its raw descriptors (device descriptor, then each configuration). A bus
// with no device on it is an entry with devnum 0.
struct standin_entry {
    int32_t bus;
    int32_t devnum;
    int32_t length;  // descriptor bytes after this header
};
