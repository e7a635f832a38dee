// The diagnostic printers' exact output.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "libhue/printers.h"

namespace {

std::string dump(const unsigned char *data, int length)
{
    testing::internal::CaptureStdout();
    hex_dump("title", data, length);
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// 16 bytes make one full line of groups, a tab and 16 dots.
TEST(HexDump, SixteenBytes)
{
    unsigned char data[16];
    for (int i = 0; i < 16; i++)
        data[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(dump(data, 16), "title\n"
                              "0000: \t  00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f"
                              "\t................\n"
                              "\n");
}

// A short last line is padded so that its characters line up.
TEST(HexDump, TwentyBytes)
{
    unsigned char data[20];
    for (int i = 0; i < 20; i++)
        data[i] = static_cast<unsigned char>(0x40 + i);
    EXPECT_EQ(dump(data, 20), "title\n"
                              "0000: \t  40 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f"
                              "\t..BCDEFGHIJKLMNO\n"
                              "0010: \t  50 51 52 53" +
                                  std::string(36, ' ') +
                                  "\tPQRS\n"
                                  "\n");
}

// Nothing but the title and the empty line for 0 or a negative length.
TEST(HexDump, EmptyAndNegative)
{
    const unsigned char data[1] = {0x41};
    EXPECT_EQ(dump(data, 0), "title\n\n");
    EXPECT_EQ(dump(data, -5), "title\n\n");
}

// The character column shows exactly 1..8 and B..y; catches an off-by-one
// at any of the four range ends.
TEST(HexDump, CharacterColumnRanges)
{
    const unsigned char data[] = {'0', '1', '8', '9', 'A', 'B', 'y', 'z', 0x7F, 0xFF};
    const std::string out = dump(data, sizeof data);
    EXPECT_NE(out.find("\t.18..By...\n"), std::string::npos) << out;
}

struct config_fixture {
    usb_endpoint_descriptor endpoints[2] = {};
    usb_interface_descriptor setting = {};
    usb_interface interface = {};
    usb_config_descriptor config = {};

    config_fixture()
    {
        endpoints[0].bEndpointAddress = 0x81;
        endpoints[0].bmAttributes = 0x03;
        endpoints[0].wMaxPacketSize = 64;
        endpoints[0].bInterval = 10;
        endpoints[1].bEndpointAddress = 0x02;
        endpoints[1].bmAttributes = 0x03;
        endpoints[1].wMaxPacketSize = 0xFFFF;
        setting.bNumEndpoints = 2;
        setting.bInterfaceClass = 255;
        setting.endpoint = endpoints;
        interface.altsetting = &setting;
        interface.num_altsetting = 1;
        config.wTotalLength = 32;
        config.bNumInterfaces = 1;
        config.bConfigurationValue = 1;
        config.bmAttributes = 0xA0;
        config.MaxPower = 50;
        config.interface = &interface;
    }
};

std::string print(const usb_config_descriptor &config)
{
    testing::internal::CaptureStdout();
    print_config_descriptor(&config);
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// One interface with two endpoints: 25 lines in the fixed format, values in
// column 24, hex fields with their h, 16-bit sizes unsigned.
TEST(ConfigDescriptor, TwoEndpointsPrint25Lines)
{
    config_fixture f;
    EXPECT_EQ(print(f.config), "  wTotalLength:         32\n"
                               "  bNumInterfaces:       1\n"
                               "  bConfigurationValue:  1\n"
                               "  iConfiguration:       0\n"
                               "  bmAttributes:         a0h\n"
                               "  MaxPower:             50\n"
                               "    bInterfaceNumber:   0\n"
                               "    bAlternateSetting:  0\n"
                               "    bNumEndpoints:      2\n"
                               "    bInterfaceClass:    255\n"
                               "    bInterfaceSubClass: 0\n"
                               "    bInterfaceProtocol: 0\n"
                               "    iInterface:         0\n"
                               "      bEndpointAddress: 81h\n"
                               "      bmAttributes:     03h\n"
                               "      wMaxPacketSize:   64\n"
                               "      bInterval:        10\n"
                               "      bRefresh:         0\n"
                               "      bSynchAddress:    0\n"
                               "      bEndpointAddress: 02h\n"
                               "      bmAttributes:     03h\n"
                               "      wMaxPacketSize:   65535\n"
                               "      bInterval:        0\n"
                               "      bRefresh:         0\n"
                               "      bSynchAddress:    0\n");
}

// An alternate setting without endpoints prints its 7 lines only, and an
// interface without alternate settings prints none.
TEST(ConfigDescriptor, EmptyGroups)
{
    config_fixture f;
    f.setting.bNumEndpoints = 0;
    std::string out = print(f.config);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 13);
    f.interface.num_altsetting = 0;
    out = print(f.config);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 6);
}

}  // namespace
