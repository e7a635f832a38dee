// Diagnostic printers, on standard output.
#include <cstdio>

#include "libhue/printers.h"

namespace {

constexpr int DUMP_LINE = 16;

void print_endpoint(const struct usb_endpoint_descriptor &e)
{
    printf("      bEndpointAddress: %02xh\n", e.bEndpointAddress);
    printf("      bmAttributes:     %02xh\n", e.bmAttributes);
    printf("      wMaxPacketSize:   %d\n", e.wMaxPacketSize);
    printf("      bInterval:        %d\n", e.bInterval);
    printf("      bRefresh:         %d\n", e.bRefresh);
    printf("      bSynchAddress:    %d\n", e.bSynchAddress);
}

void print_alt_setting(const struct usb_interface_descriptor &s)
{
    printf("    bInterfaceNumber:   %d\n", s.bInterfaceNumber);
    printf("    bAlternateSetting:  %d\n", s.bAlternateSetting);
    printf("    bNumEndpoints:      %d\n", s.bNumEndpoints);
    printf("    bInterfaceClass:    %d\n", s.bInterfaceClass);
    printf("    bInterfaceSubClass: %d\n", s.bInterfaceSubClass);
    printf("    bInterfaceProtocol: %d\n", s.bInterfaceProtocol);
    printf("    iInterface:         %d\n", s.iInterface);
    for (int i = 0; i < s.bNumEndpoints && s.endpoint; i++)
        print_endpoint(s.endpoint[i]);
}

// The character column shows the digits 1 to 8 and the characters B to y;
// every other byte is a dot.
char dump_char(unsigned char byte)
{
    const bool shown = (byte >= 0x31 && byte <= 0x38) || (byte >= 0x42 && byte <= 0x79);
    return shown ? static_cast<char>(byte) : '.';
}

void dump_line(int offset, const unsigned char *bytes, int n)
{
    printf("%04x: \t ", offset);
    for (int i = 0; i < n; i++)
        printf(" %02x", bytes[i]);
    for (int i = n; i < DUMP_LINE; i++)
        printf("   ");
    putchar('\t');
    for (int i = 0; i < n; i++)
        putchar(dump_char(bytes[i]));
    putchar('\n');
}

}  // namespace

void print_config_descriptor(const struct usb_config_descriptor *config)
{
    printf("  wTotalLength:         %d\n", config->wTotalLength);
    printf("  bNumInterfaces:       %d\n", config->bNumInterfaces);
    printf("  bConfigurationValue:  %d\n", config->bConfigurationValue);
    printf("  iConfiguration:       %d\n", config->iConfiguration);
    printf("  bmAttributes:         %02xh\n", config->bmAttributes);
    printf("  MaxPower:             %d\n", config->MaxPower);
    for (int i = 0; i < config->bNumInterfaces && config->interface; i++) {
        const struct usb_interface &interface = config->interface[i];
        for (int a = 0; a < interface.num_altsetting && interface.altsetting; a++)
            print_alt_setting(interface.altsetting[a]);
    }
}

void hex_dump(const char *title, const unsigned char *data, int length)
{
    printf("%s\n", title);
    for (int offset = 0; offset < length; offset += DUMP_LINE) {
        const int n = length - offset < DUMP_LINE ? length - offset : DUMP_LINE;
        dump_line(offset, data + offset, n);
    }
    putchar('\n');
}
