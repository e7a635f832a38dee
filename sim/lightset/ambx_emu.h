// The emulated amBX light set: what the device answers to what.
//
// This file knows the device's protocol and nothing of how the host reaches
// it. A glue (umockdev's usbdevfs emulation, or a stand-in libusb) calls the
// emu_* entry points for each USB request; tests read the packet log.
// All entry points lock the device, so a glue may call them from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "sim/common/util.h"

enum class emu_answer {
    normal,  // answers the start message, the count query and information requests
    silent,  // never answers: every read times out
    empty,   // answers every request with a zero-length reply
};

// One component as its information block describes it.
struct emu_component {
    int kind_code;            // 1 fan, 2 rumbler, 3 light
    int position_code;        // 2 left, 3 middle, 4 right
    std::string description;  // more than 11 characters need a second read
    int cut_replies = 0;      // replies about it cut to this many bytes, their
                              // length byte unchanged; 0: whole replies
    int more_byte = -1;       // block byte 1 as sent; -1: 0x3A when the block
                              // needs a second read, else 0x10
};

// The five lights of a usual set: two speaker lights and a wall washer.
std::vector<emu_component> emu_default_components();

// Replies that claim more than they hold, to try the host's limits.
enum class emu_lie {
    none,
    count_too_long,        // count length 5: more count bytes than fit 32 bits
    count_beyond_reply,    // count length 3, but one count byte sent
    info_length_too_big,   // information length byte 100 in a 64-byte reply
    info_beyond_reply,     // information length byte 61 in a 20-byte reply
    description_negative,  // description length byte 0xF0 (-16)
    description_beyond,    // description length 120, beyond the block
    info_length_one,       // information length byte 3 (one byte), whole reply sent
};

struct emu_behaviour {
    emu_answer answer = emu_answer::normal;
    bool refuse_configuration = false;  // SETCONFIGURATION fails (EBUSY)
    bool refuse_claim = false;          // CLAIMINTERFACE fails (EBUSY)
    bool refuse_alt_setting = false;    // SETINTERFACE fails (EINVAL)
    int interface_number = 0;           // bInterfaceNumber of its one interface
    int alt_setting_number = 0;         // bAlternateSetting of that interface
    bool no_interface = false;          // its configuration offers no interface
    int accept_at_most = 0;             // OUT transfers take at most this many
                                        // bytes (a short write); 0: all
    int stall_writes = 0;               // the next this many OUT transfers are
                                        // never taken: the host's write times
                                        // out (a device that stops answering)
    std::vector<emu_component> components = emu_default_components();
    int reported_count = -1;  // the count the device claims; -1: its components'
    int count_bytes = 1;      // bytes of the count in its reply, 1..4
    emu_lie lie = emu_lie::none;
};

// One transfer the host made to the device.
struct emu_packet {
    int endpoint;  // 0x02 for every message the host sends
    std::vector<uint8_t> bytes;
    double seconds;  // since the device was made
};

// One IN transfer the host asked for: where, and for how many bytes.
struct emu_read {
    int endpoint;
    int capacity;
    bool operator==(const emu_read &o) const
    {
        return endpoint == o.endpoint && capacity == o.capacity;
    }
};

struct emu_device {
    int bus = 1;     // bus number, 1..999
    int devnum = 1;  // device number on the bus, 1..127
    uint16_t vendor = 0x0471;
    uint16_t product = 0x083F;
    emu_behaviour behaviour;
    double start = now_seconds();  // when the device was made (util.h's clock)

    // Guarded by lock:
    std::mutex lock;
    std::vector<emu_packet> log;                // every OUT transfer, in order
    std::vector<emu_read> reads;                // every IN transfer asked for
    std::vector<std::vector<uint8_t>> pending;  // replies queued on 0x81
    int configuration = 0;
    bool claimed = false;
    std::vector<int> releases;  // every interface the host released
};

// --- what the device is: the one place that describes it to both glues ----

// Whether a bus (1..999) and device number (1..127) can hold a device.
bool emu_valid_address(int bus, int devnum);

// Gives a new device its place on a bus, its identifiers and its behaviour.
void emu_device_place(emu_device &dev, int bus, int devnum, uint16_t vendor, uint16_t product,
                      const emu_behaviour &behaviour);

// Whether the device has the endpoint: 0x02 (OUT), 0x81 and 0x83 (IN).
bool emu_has_endpoint(const emu_device &dev, int endpoint);

// The bConfigurationValue of the device's one configuration.
int emu_configuration_value(const emu_device &dev);

// Raw descriptors as the device node presents them: the 18-byte device
// descriptor, then the 39-byte configuration (one interface, three
// interrupt endpoints 0x02 OUT, 0x81 IN, 0x83 IN of 64 bytes), or with
// no_interface the 9-byte configuration alone.
std::vector<uint8_t> emu_descriptors(const emu_device &dev);

// The string descriptor of that index as GET_DESCRIPTOR gives it: 0 the
// language table (US English), 1 the product name (the device descriptor's
// iProduct); empty for any other index (the device has no such string).
std::vector<uint8_t> emu_string_descriptor(const emu_device &dev, int index);

// Control requests. Each returns 0, or a negative errno to report: an
// interface or alternate setting other than the described one is refused.
int emu_set_configuration(emu_device &dev, int value);
int emu_claim_interface(emu_device &dev, int interface);
int emu_release_interface(emu_device &dev, int interface);
int emu_set_alt_setting(emu_device &dev, int interface, int alt_setting);

// An OUT transfer: logs it and queues whatever reply the device makes.
void emu_receive(emu_device &dev, int endpoint, const uint8_t *data, int length);

// Whether the OUT transfer being submitted is never taken (stall_writes),
// counting it off. A stalled transfer is not logged.
bool emu_write_stalls(emu_device &dev);

// The device is powered up again (plugged back in): it forgets its
// configuration, claim and queued replies; its log and behaviour stay.
void emu_power_up(emu_device &dev);

// How many of an OUT transfer's length bytes the device takes.
int emu_accepted(emu_device &dev, int length);

// An IN transfer of up to capacity bytes. Returns the reply's length (0 for
// an empty reply) with its bytes in buf, or -1 when nothing is ready, in which
// case the host's read keeps waiting until it times out.
int emu_reply(emu_device &dev, int endpoint, uint8_t *buf, int capacity);

// The normal replies' sizes, for tests of what the host reports about them:
// the start message's reply (bytes, and its byte 2, the data length) and the
// count query's reply (bytes).
int emu_start_reply_length();
int emu_start_reply_byte2();
int emu_count_reply_length();

// The host asked for an IN transfer (logged once per transfer, however
// often the glue polls emu_reply for it).
void emu_read_requested(emu_device &dev, int endpoint, int capacity);

// A copy of the log, safe to take while the host is still talking.
std::vector<emu_packet> emu_packets(emu_device &dev);

// A copy of the interface numbers the host asked to release, in order,
// whether the device accepted them or not.
std::vector<int> emu_releases(emu_device &dev);

// A copy of the IN transfers asked for, in order.
std::vector<emu_read> emu_reads(emu_device &dev);

// One line in words for a packet, e.g. "light 2: colour #00FF00".
std::string emu_describe(const emu_packet &packet);
