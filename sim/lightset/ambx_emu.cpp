// The emulated amBX light set: descriptors, control requests, replies and
// the packet log. No knowledge of USB plumbing lives here.
#include "sim/lightset/ambx_emu.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace {

// Endpoints of the light set's only interface.
constexpr int EP_OUT = 0x02;    // every message from the host
constexpr int EP_REPLY = 0x81;  // replies to the start message and queries
constexpr int EP_EVENT = 0x83;  // never carries anything here

constexpr int ENDPOINT_SIZE = 64;
constexpr int CONTROL_PACKET_SIZE = 8;  // bMaxPacketSize0 of a full-speed device
constexpr int CONFIGURATION_VALUE = 1;

// The device's one string besides the language table, and that table's
// one language (US English).
constexpr uint8_t PRODUCT_STRING = 1;
constexpr char product_name[] = "amBX light set";
constexpr uint16_t LANGUAGE_US_ENGLISH = 0x0409;

// The information block: where its fields lie, how much one reply carries.
constexpr int BLOCK_MORE = 1;  // 0x3A or more: read on from offset 59
constexpr int BLOCK_POSITION = 23;
constexpr int BLOCK_KIND = 33;
constexpr int BLOCK_DESCRIPTION_LENGTH = 47;
constexpr int BLOCK_DESCRIPTION = 48;
constexpr int INFO_CHUNK = 59;

// Command nibbles of the address byte (byte 1 of a message).
constexpr int COMMAND_INFORMATION = 0x1;
constexpr int COMMAND_COLOUR = 0xB;
constexpr uint8_t SEQUENCE_FLAG = 0x40;  // in the length byte of a colour sequence

void put16(std::vector<uint8_t> &out, unsigned value)
{
    out.push_back(value & 0xFF);
    out.push_back(value >> 8 & 0xFF);
}

void add_device_descriptor(std::vector<uint8_t> &out, const emu_device &dev)
{
    out.insert(out.end(), {18, 0x01});          // bLength, DEVICE
    put16(out, 0x0110);                         // bcdUSB 1.1
    out.insert(out.end(), {0x00, 0x00, 0x00});  // class in the interface
    out.push_back(CONTROL_PACKET_SIZE);
    put16(out, dev.vendor);
    put16(out, dev.product);
    put16(out, 0x0100);                             // bcdDevice
    out.insert(out.end(), {0, PRODUCT_STRING, 0});  // a product name, no other strings
    out.push_back(1);                               // bNumConfigurations
}

void add_endpoint(std::vector<uint8_t> &out, uint8_t address)
{
    out.insert(out.end(), {7, 0x05, address, 0x03});  // ENDPOINT, interrupt
    put16(out, ENDPOINT_SIZE);
    out.push_back(1);  // bInterval: 1 ms
}

void add_configuration(std::vector<uint8_t> &out, const emu_behaviour &b)
{
    const int interfaces = b.no_interface ? 0 : 1;
    out.insert(out.end(), {9, 0x02});          // CONFIGURATION
    put16(out, 9 + interfaces * (9 + 3 * 7));  // wTotalLength 39, or 9 alone
    out.insert(out.end(), {uint8_t(interfaces), CONFIGURATION_VALUE, 0, 0x80, 50});  // 100 mA
    if (b.no_interface)
        return;
    out.insert(out.end(), {9, 0x04, uint8_t(b.interface_number), uint8_t(b.alt_setting_number), 3,
                           0xFF, 0x00, 0x00, 0});  // vendor class
    add_endpoint(out, EP_OUT);
    add_endpoint(out, EP_REPLY);
    add_endpoint(out, EP_EVENT);
}

// Byte 2 of the start message's reply counts the data bytes after it: a
// version number, 1.0.0. The host interprets nothing else.
const std::vector<uint8_t> start_reply = {0x01, 0x00, 0x03, 0x01, 0x00, 0x00};

bool is_start_message(const uint8_t *data, int length)
{
    return length == 1 && data[0] == 0x00;
}

bool is_count_query(const uint8_t *data, int length)
{
    return length == 4 && data[1] == 0xF0;
}

bool is_information_request(const uint8_t *data, int length)
{
    return length == 6 && (data[1] & 0x0F) == COMMAND_INFORMATION && data[2] == 0x03;
}

// Count reply: header and address echoed, the number of count bytes, then
// the count, most significant byte first; or a lie about their number.
std::vector<uint8_t> count_reply(const emu_behaviour &b, const uint8_t *query)
{
    const int count = b.reported_count >= 0 ? b.reported_count : int(b.components.size());
    const int n = std::clamp(b.count_bytes, 1, 4);
    std::vector<uint8_t> reply = {query[0], 0xF0, static_cast<uint8_t>(n)};
    for (int k = n - 1; k >= 0; k--)
        reply.push_back(static_cast<uint8_t>(count >> (8 * k)));
    if (b.lie == emu_lie::count_too_long)
        reply = {query[0], 0xF0, 5, 0, 0, 0, 0, static_cast<uint8_t>(count)};
    else if (b.lie == emu_lie::count_beyond_reply)
        reply = {query[0], 0xF0, 3, static_cast<uint8_t>(count)};
    return reply;
}

// A component's whole information block.
std::vector<uint8_t> information_block(const emu_component &c, emu_lie lie)
{
    const int length = static_cast<int>(c.description.size());
    std::vector<uint8_t> block(BLOCK_DESCRIPTION + length, 0);
    block[BLOCK_MORE] = block.size() > INFO_CHUNK ? 0x3A : 0x10;
    if (c.more_byte >= 0)
        block[BLOCK_MORE] = static_cast<uint8_t>(c.more_byte);
    block[BLOCK_POSITION] = static_cast<uint8_t>(c.position_code);
    block[BLOCK_KIND] = static_cast<uint8_t>(c.kind_code);
    block[BLOCK_DESCRIPTION_LENGTH] = static_cast<uint8_t>(length);
    if (lie == emu_lie::description_negative)
        block[BLOCK_DESCRIPTION_LENGTH] = 0xF0;
    if (lie == emu_lie::description_beyond)
        block[BLOCK_DESCRIPTION_LENGTH] = 120;
    std::copy(c.description.begin(), c.description.end(), block.begin() + BLOCK_DESCRIPTION);
    return block;
}

// Information reply: up to 59 block bytes from the requested offset behind
// a length byte that counts them plus 2, or a lie about that length.
std::vector<uint8_t> information_reply(const emu_behaviour &b, const uint8_t *request)
{
    const emu_component &component = b.components[request[1] >> 4];
    const std::vector<uint8_t> block = information_block(component, b.lie);
    const size_t start = std::min<size_t>(request[4], block.size());
    const size_t count = std::min<size_t>(INFO_CHUNK, block.size() - start);
    std::vector<uint8_t> reply = {request[0], request[1], static_cast<uint8_t>(count + 2), 0x00,
                                  request[4]};
    reply.insert(reply.end(), block.begin() + start, block.begin() + start + count);
    if (b.lie == emu_lie::info_length_too_big) {
        reply[2] = 100;
        reply.resize(64, 0x55);
    } else if (b.lie == emu_lie::info_beyond_reply) {
        reply[2] = 61;
        reply.resize(20, 0x55);
    } else if (b.lie == emu_lie::info_length_one) {
        reply[2] = 3;
    }
    if (component.cut_replies > 0 && int(reply.size()) > component.cut_replies)
        reply.resize(component.cut_replies);
    return reply;
}

// The reply a normally answering device queues for a message, if any.
// Set-colour messages, colour sequences and requests for components it does
// not have get none.
bool answer_for(const emu_behaviour &b, const uint8_t *data, int length,
                std::vector<uint8_t> &reply)
{
    if (is_start_message(data, length)) {
        reply = start_reply;
        return true;
    }
    if (is_count_query(data, length)) {
        reply = count_reply(b, data);
        return true;
    }
    if (is_information_request(data, length) && (data[1] >> 4) < int(b.components.size())) {
        reply = information_reply(b, data);
        return true;
    }
    return false;
}

std::string hex_bytes(const std::vector<uint8_t> &bytes)
{
    std::string text;
    char cell[4];
    for (uint8_t byte : bytes) {
        std::snprintf(cell, sizeof cell, text.empty() ? "%02X" : " %02X", byte);
        text += cell;
    }
    return text;
}

std::string hex_colour(const uint8_t *rgb)
{
    char text[8];
    std::snprintf(text, sizeof text, "#%02X%02X%02X", rgb[0], rgb[1], rgb[2]);
    return text;
}

std::string describe_colour(const std::vector<uint8_t> &b)
{
    return "light " + std::to_string(b[1] >> 4) + ": colour " + hex_colour(&b[3]);
}

std::string describe_sequence(const std::vector<uint8_t> &b)
{
    size_t count = (b.size() - 5) / 3;
    std::string text = "light " + std::to_string(b[1] >> 4) + ": sequence of " +
                       std::to_string(count) + (count == 1 ? " colour" : " colours") + ", step " +
                       std::to_string(b[3] << 8 | b[4]);
    for (size_t i = 0; i < count; i++)
        text += (i == 0 ? ": " : " ") + hex_colour(&b[5 + 3 * i]);
    return text;
}

std::string describe_information_request(const std::vector<uint8_t> &b)
{
    return "component " + std::to_string(b[1] >> 4) + ": information request, offset " +
           std::to_string(b[4]) + ", " + std::to_string(b[5]) + " bytes";
}

std::string describe_message(const std::vector<uint8_t> &b)
{
    const int length = static_cast<int>(b.size());
    if (length == 0)
        return "empty message";
    if (is_start_message(b.data(), length))
        return "start message";
    if (is_count_query(b.data(), length))
        return "count query";
    const int command = length >= 3 ? b[1] & 0x0F : -1;
    if (command == COMMAND_COLOUR && length == 6 && b[2] == 0x03)
        return describe_colour(b);
    if (command == COMMAND_COLOUR && length >= 5 && (b[2] & SEQUENCE_FLAG))
        return describe_sequence(b);
    if (command == COMMAND_INFORMATION && length == 6 && b[2] == 0x03)
        return describe_information_request(b);
    return "other message: " + hex_bytes(b);
}

}  // namespace

bool emu_valid_address(int bus, int devnum)
{
    return bus >= 1 && bus <= 999 && devnum >= 1 && devnum <= 127;
}

void emu_device_place(emu_device &dev, int bus, int devnum, uint16_t vendor, uint16_t product,
                      const emu_behaviour &behaviour)
{
    dev.bus = bus;
    dev.devnum = devnum;
    dev.vendor = vendor;
    dev.product = product;
    dev.behaviour = behaviour;
}

bool emu_has_endpoint(const emu_device &, int endpoint)
{
    return endpoint == EP_OUT || endpoint == EP_REPLY || endpoint == EP_EVENT;
}

int emu_configuration_value(const emu_device &)
{
    return CONFIGURATION_VALUE;
}

std::vector<emu_component> emu_default_components()
{
    return {{3, 2, "Left speaker light"},
            {3, 4, "Right speaker light"},
            {3, 2, "Washer left"},
            {3, 3, "Wall washer centre"},
            {3, 4, "Wall washer right"}};
}

std::vector<uint8_t> emu_descriptors(const emu_device &dev)
{
    std::vector<uint8_t> out;
    add_device_descriptor(out, dev);
    add_configuration(out, dev.behaviour);
    return out;
}

std::vector<uint8_t> emu_string_descriptor(const emu_device &, int index)
{
    std::vector<uint8_t> out = {0, 0x03};  // length, STRING
    if (index == 0)
        put16(out, LANGUAGE_US_ENGLISH);
    else if (index == PRODUCT_STRING)
        for (const char *c = product_name; *c != '\0'; c++)
            put16(out, static_cast<uint8_t>(*c));  // UTF-16LE
    else
        return {};
    out[0] = static_cast<uint8_t>(out.size());
    return out;
}

int emu_set_configuration(emu_device &dev, int value)
{
    std::lock_guard<std::mutex> guard(dev.lock);
    if (dev.behaviour.refuse_configuration)
        return -EBUSY;
    if (value != 0 && value != CONFIGURATION_VALUE)  // 0 unconfigures
        return -EINVAL;
    dev.configuration = value;
    return 0;
}

int emu_claim_interface(emu_device &dev, int interface)
{
    std::lock_guard<std::mutex> guard(dev.lock);
    if (dev.behaviour.refuse_claim)
        return -EBUSY;
    if (dev.behaviour.no_interface || interface != dev.behaviour.interface_number)
        return -ENOENT;
    dev.claimed = true;
    return 0;
}

int emu_release_interface(emu_device &dev, int interface)
{
    std::lock_guard<std::mutex> guard(dev.lock);
    dev.releases.push_back(interface);
    if (interface != dev.behaviour.interface_number || !dev.claimed)
        return -EINVAL;
    dev.claimed = false;
    return 0;
}

int emu_set_alt_setting(emu_device &dev, int interface, int alt_setting)
{
    std::lock_guard<std::mutex> guard(dev.lock);
    const emu_behaviour &b = dev.behaviour;
    if (b.refuse_alt_setting || interface != b.interface_number ||
        alt_setting != b.alt_setting_number)
        return -EINVAL;
    return 0;
}

void emu_receive(emu_device &dev, int endpoint, const uint8_t *data, int length)
{
    if (data == nullptr || length < 0)
        length = 0;
    std::lock_guard<std::mutex> guard(dev.lock);
    dev.log.push_back(
        {endpoint, std::vector<uint8_t>(data, data + length), now_seconds() - dev.start});
    std::vector<uint8_t> reply;
    if (endpoint != EP_OUT || !answer_for(dev.behaviour, data, length, reply))
        return;
    if (dev.behaviour.answer == emu_answer::normal)
        dev.pending.push_back(reply);
    else if (dev.behaviour.answer == emu_answer::empty)
        dev.pending.emplace_back();
}

bool emu_write_stalls(emu_device &dev)
{
    std::lock_guard<std::mutex> guard(dev.lock);
    if (dev.behaviour.stall_writes <= 0)
        return false;
    dev.behaviour.stall_writes--;
    return true;
}

void emu_power_up(emu_device &dev)
{
    std::lock_guard<std::mutex> guard(dev.lock);
    dev.configuration = 0;
    dev.claimed = false;
    dev.pending.clear();
}

int emu_accepted(emu_device &dev, int length)
{
    std::lock_guard<std::mutex> guard(dev.lock);
    const int most = dev.behaviour.accept_at_most;
    return most > 0 && most < length ? most : length;
}

int emu_reply(emu_device &dev, int endpoint, uint8_t *buf, int capacity)
{
    std::lock_guard<std::mutex> guard(dev.lock);
    if (endpoint != EP_REPLY || dev.pending.empty())
        return -1;
    std::vector<uint8_t> reply = std::move(dev.pending.front());
    dev.pending.erase(dev.pending.begin());
    const int length = std::min(static_cast<int>(reply.size()), std::max(capacity, 0));
    std::copy_n(reply.begin(), length, buf);
    return length;
}

int emu_start_reply_length()
{
    return static_cast<int>(start_reply.size());
}

int emu_start_reply_byte2()
{
    return start_reply[2];
}

int emu_count_reply_length()
{
    const uint8_t query[4] = {0x11, 0xF0, 0x01, 0x00};
    return static_cast<int>(count_reply(emu_behaviour{}, query).size());
}

void emu_read_requested(emu_device &dev, int endpoint, int capacity)
{
    std::lock_guard<std::mutex> guard(dev.lock);
    dev.reads.push_back({endpoint, capacity});
}

std::vector<emu_read> emu_reads(emu_device &dev)
{
    std::lock_guard<std::mutex> guard(dev.lock);
    return dev.reads;
}

std::vector<int> emu_releases(emu_device &dev)
{
    std::lock_guard<std::mutex> guard(dev.lock);
    return dev.releases;
}

std::vector<emu_packet> emu_packets(emu_device &dev)
{
    std::lock_guard<std::mutex> guard(dev.lock);
    return dev.log;
}

std::string emu_describe(const emu_packet &packet)
{
    std::string text = describe_message(packet.bytes);
    if (packet.endpoint == EP_OUT)
        return text;
    char prefix[24];
    std::snprintf(prefix, sizeof prefix, "endpoint 0x%02X: ", packet.endpoint & 0xFF);
    return prefix + text;
}
