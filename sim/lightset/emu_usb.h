// The emulated light set on an emulated USB bus, for the real libusb 0.1.
//
// umockdev's preload (libumockdev-preload.so.0 in LD_PRELOAD) redirects
// /dev/bus/usb to a testbed directory; each emulated device node holds the
// raw descriptors, and its usbdevfs ioctls are answered by ambx_emu.h. libusb
// in this process sees the devices when the process itself runs under the
// preload; a program started with emu_run sees them too.
//
// Only one testbed may exist at a time in a process (umockdev points the
// process at it through the UMOCKDEV_DIR environment variable).
#pragma once

#include "sim/lightset/ambx_emu.h"
#include "sim/common/process.h"

#include <memory>
#include <string>
#include <vector>

// True when this process runs under umockdev's preload, that is, when libusb
// in this process would see the emulated buses.
bool emu_preload_active();

struct emu_testbed;

// Makes an empty testbed: no USB bus at all. /dev/bus/usb and /proc/bus/usb
// exist in it but are empty, so libusb never reaches the host's buses.
// Returns nullptr while another testbed exists in this process (free that
// one first), or when umockdev cannot make the testbed.
emu_testbed *emu_testbed_new();

// Unplugs every device and removes the testbed. Pointers to its devices
// become invalid. Accepts nullptr.
void emu_testbed_free(emu_testbed *bed);

struct emu_testbed_deleter {
    void operator()(emu_testbed *bed) const { emu_testbed_free(bed); }
};
using emu_testbed_ptr = std::unique_ptr<emu_testbed, emu_testbed_deleter>;

// A bus number that no earlier call in this process returned: 101, 102, ...
// up to 999, then -1. libusb 0.1 keeps its bus and device records for the
// life of the process and reuses the record of a device whose bus and device
// numbers it already knows, old descriptors included; a test that puts its
// devices on fresh buses always sees what it added. The numbers lie above
// any real host's buses, so a node missing from the testbed never reaches a
// real device.
int emu_fresh_bus();

// Adds a bus with no device on it: libusb then lists the bus.
// Returns 0, or -1 for a bus outside 1..999 or when the bus cannot be made.
int emu_add_bus(emu_testbed *bed, int bus);

// Plugs in a light set (or, with other identifiers, a stranger device with
// the same descriptors) as /dev/bus/usb/BBB/DDD. Returns the device, owned
// by the testbed and valid until emu_testbed_free (also after
// emu_remove_device); nullptr for a bus outside 1..999, a device number
// outside 1..127, a bus and device number already in use, or when umockdev
// refuses the device. Set behaviour here; to change it later, hold the
// device's lock.
emu_device *emu_add_device(emu_testbed *bed, int bus, int devnum, uint16_t vendor, uint16_t product,
                           const emu_behaviour &behaviour = {});

// Unplugs a device: its node and sysfs entry vanish. libusb 0.1.12's
// usb_open then still returns a handle (it ignores the failed open()), but
// every request on it fails with EBADF; requests on handles opened before
// fail with ENODEV. The device's log stays readable. Unplugging twice does
// nothing.
void emu_remove_device(emu_testbed *bed, emu_device *dev);

// Plugs an unplugged device in again as devnum on its bus: its own number
// for a replug, another one for a power cycle (the kernel numbers a device
// that comes back anew). The device is powered up afresh (emu_power_up);
// handles opened before the unplug keep failing with ENODEV. Returns dev,
// or nullptr when dev is still plugged in, not this testbed's, or devnum is
// outside 1..127 or in use.
emu_device *emu_replug_device(emu_testbed *bed, emu_device *dev, int devnum);

// --- running a program under the emulation ---------------------------------

// Starts a program with the process runner (process.h) so that its libusb
// reaches the emulated light set: its environment (options.environment, or
// this process's) gains what the glue needs, umockdev's preload
// (LD_PRELOAD gains libumockdev-preload.so.0, ASAN_OPTIONS gains
// verify_asan_link_order=0) or the stand-in libusb (first in
// LD_LIBRARY_PATH, with LD_BIND_NOW=1). The program sees this process's
// testbed, if any. Returns as process_start does.
process_ptr emu_run_start(const std::vector<std::string> &argv,
                          const process_options &options = {});

// emu_run_start, then process_finish; as process_run.
process_result emu_run(const std::vector<std::string> &argv, const process_options &options = {});
