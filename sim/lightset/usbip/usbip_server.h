// The emulated light set on a guest kernel's USB bus: a USB/IP server over
// an emu_device, the third glue beside umockdev's and the stand-in libusb's.
//
// The guest's attach agent connects, asks to import the device (OP_REQ_IMPORT)
// and gets its answer only while the set is plugged in; it then hands the
// socket to vhci-hcd, whose URBs (CMD_SUBMIT, CMD_UNLINK) the server answers
// from the device's protocol logic. The device's packet log (emu_packets) is
// the time-stamped record of everything the guest sent.
#pragma once

#include "sim/lightset/ambx_emu.h"

struct usbip_server;

// Serves dev to a guest kernel's vhci-hcd over USB/IP. Listens on 127.0.0.1:port
// (port 0: any free port; usbip_server_port tells which), which the guest reaches
// as 10.0.2.2:port through qemu's user network. The device starts unplugged.
// Returns nullptr (with a line on standard error) when it cannot listen.
// dev must outlive the server.
usbip_server *usbip_server_start(emu_device *dev, int port);

// The TCP port the server listens on.
int usbip_server_port(const usbip_server *server);

// Plugs the set in: the guest's attach agent, connected and waiting, attaches it
// to vhci-hcd and the kernel enumerates it (a new device number each time).
// The device is powered up afresh (emu_power_up). Plugging twice does nothing.
void usbip_plug(usbip_server *server);

// Pulls it out: the USB/IP connection is closed; the guest kernel sees a disconnect.
// Transfers in flight are never answered. Returns once the connection is closed.
void usbip_unplug(usbip_server *server);

// Whether the guest kernel has configured it (SET_CONFIGURATION seen since the last plug).
bool usbip_configured(const usbip_server *server);

// Closes every connection, stops serving and frees the server; nullptr is ignored.
void usbip_server_stop(usbip_server *server);
