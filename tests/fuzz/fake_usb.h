// A fake of the libusb 0.1 calls the driver makes, linked in libusb's place.
// One bus holds the light sets (and perhaps a foreign device first); their
// descriptors and every answer come from a script of the fuzzer's bytes:
//
//   byte 0   bits 0-1: light sets on the bus (0-3); bit 2: a foreign device
//            before them; bit 3: no configuration; bits 4-5: interfaces
//            (0-3); bit 6: a null interface array; bit 7: no alternate
//            setting in interface 0
//   byte 1-4 bNumConfigurations, bConfigurationValue, bInterfaceNumber,
//            bAlternateSetting
//   then, one call after another:
//   usb_open                 0xFF fails, any other byte gives a handle
//   set configuration, claim,
//   alternate setting        below 0x80 succeeds, else fails
//   usb_interrupt_write      0 writes all, 1..0x7F writes byte-1 at most,
//                            0x80 and above fails
//   usb_interrupt_read       0..0x7F gives that many bytes (at most the size
//                            asked for), taken from the script; 0x80 and
//                            above fails
// Once the script is spent every call fails.
//
// The fake also holds the driver to libusb's rules, aborting (a finding) on
// a call with a handle it did not open or has closed, a release of an
// interface not claimed, an endpoint, size or time-out the driver never
// uses, or a read buffer smaller than the size asked for.
#pragma once

#include <cstddef>
#include <cstdint>

struct fuzz_input;

// Lays out the bus from the script's first bytes; the calls then take the
// rest. input must outlive the calls. Handles of an earlier script count as
// closed.
void fake_usb_load(fuzz_input &input);

// Light sets the bus holds.
int fake_usb_light_sets();

// Handles open now, and interfaces claimed on them.
int fake_usb_open_handles();
int fake_usb_claimed_interfaces();
