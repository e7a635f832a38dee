// Diagnostic printers for a light set's USB descriptors and for raw bytes.
#pragma once

#include <usb.h>

// Prints one configuration with its interfaces, alternate settings and
// endpoints, as libusb 0.1 lists them, one field a line, values in column 24.
void print_config_descriptor(const struct usb_config_descriptor *config);

// Prints title, then length bytes of data as lines of offset, 16 hex bytes
// and a character column, then an empty line. Nothing but the title and the
// empty line for a length of 0 or less.
void hex_dump(const char *title, const unsigned char *data, int length);
