// The USB/IP wire format on one connection: the import handshake, then
// CMD_SUBMIT and CMD_UNLINK from vhci-hcd answered with the device's replies.
// Every field is big-endian except the control setup packet, which is the
// USB one (little-endian words).
#include "sim/lightset/usbip/session.h"

#include <algorithm>
#include <cerrno>

namespace {

constexpr uint16_t USBIP_VERSION = 0x0111;
constexpr uint16_t OP_REQ_IMPORT = 0x8003;
constexpr uint16_t OP_REP_IMPORT = 0x0003;

constexpr uint32_t CMD_SUBMIT = 1;
constexpr uint32_t CMD_UNLINK = 2;
constexpr uint32_t RET_SUBMIT = 3;
constexpr uint32_t RET_UNLINK = 4;
constexpr uint32_t DIR_IN = 1;

constexpr uint32_t SPEED_FULL = 2;    // the kernel's USB_SPEED_FULL
constexpr uint32_t MOST_DATA = 4096;  // far above any transfer this device takes

// URB status values as the guest's kernel numbers them: vhci-hcd hands them
// to the URB unchanged, and the box's kernel is a MIPS one, whose
// ECONNRESET differs from x86's (EPIPE is the same on both).
constexpr int32_t STATUS_STALL = -32;      // -EPIPE
constexpr int32_t STATUS_UNLINKED = -131;  // -ECONNRESET on MIPS

// Standard control requests the kernel and usbfs send on endpoint 0.
constexpr int REQ_GET_STATUS = 0;
constexpr int REQ_CLEAR_FEATURE = 1;
constexpr int REQ_GET_DESCRIPTOR = 6;
constexpr int REQ_SET_CONFIGURATION = 9;
constexpr int REQ_SET_INTERFACE = 11;
constexpr int DESCRIPTOR_DEVICE = 1;
constexpr int DESCRIPTOR_CONFIGURATION = 2;
constexpr int DESCRIPTOR_STRING = 3;
constexpr int DEVICE_DESCRIPTOR_SIZE = 18;

uint32_t get32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

int get16le(const uint8_t *p)
{
    return p[0] | p[1] << 8;
}

void put16(std::vector<uint8_t> &out, uint32_t value)
{
    out.push_back(value >> 8 & 0xFF);
    out.push_back(value & 0xFF);
}

void put32(std::vector<uint8_t> &out, uint32_t value)
{
    put16(out, value >> 16);
    put16(out, value & 0xFFFF);
}

void put_text(std::vector<uint8_t> &out, const char *text, size_t field)
{
    const size_t start = out.size();
    out.resize(start + field, 0);
    for (size_t i = 0; text[i] != '\0' && i + 1 < field; i++)
        out[start + i] = static_cast<uint8_t>(text[i]);
}

// A RET_SUBMIT for seqnum, with the IN data if any.
void ret_submit(std::vector<uint8_t> &out, uint32_t seqnum, int32_t status, const uint8_t *data,
                int length)
{
    put32(out, RET_SUBMIT);
    put32(out, seqnum);
    out.resize(out.size() + 12, 0);  // devid, direction, ep: zero in replies
    put32(out, static_cast<uint32_t>(status));
    put32(out, static_cast<uint32_t>(length));
    out.resize(out.size() + 20, 0);  // start frame, packets, errors, padding
    if (data != nullptr)
        out.insert(out.end(), data, data + length);
}

void ret_unlink(std::vector<uint8_t> &out, uint32_t seqnum, int32_t status)
{
    put32(out, RET_UNLINK);
    put32(out, seqnum);
    out.resize(out.size() + 12, 0);
    put32(out, static_cast<uint32_t>(status));
    out.resize(out.size() + 24, 0);
}

// The descriptor a GET_DESCRIPTOR asks for, cut to wLength; empty when the
// device has none of that type and index (a stall).
std::vector<uint8_t> descriptor(const emu_device &dev, int type, int index, int length)
{
    const std::vector<uint8_t> all = emu_descriptors(dev);
    std::vector<uint8_t> wanted;
    if (type == DESCRIPTOR_DEVICE)
        wanted.assign(all.begin(), all.begin() + DEVICE_DESCRIPTOR_SIZE);
    else if (type == DESCRIPTOR_CONFIGURATION)
        wanted.assign(all.begin() + DEVICE_DESCRIPTOR_SIZE, all.end());
    else if (type == DESCRIPTOR_STRING)
        wanted = emu_string_descriptor(dev, index);
    if (int(wanted.size()) > length)
        wanted.resize(length);
    return wanted;
}

// A control request to endpoint 0; its reply, if any, goes to data.
// Returns 0, or the URB status of a refused request.
int32_t control(usbip_session &s, const uint8_t *setup, std::vector<uint8_t> &data)
{
    const int type = setup[0], request = setup[1];
    const int value = get16le(setup + 2), index = get16le(setup + 4), length = get16le(setup + 6);
    if (type == 0x80 && request == REQ_GET_DESCRIPTOR) {
        data = descriptor(*s.dev, value >> 8, value & 0xFF, length);
        return data.empty() ? STATUS_STALL : 0;
    }
    if (type == 0x80 && request == REQ_GET_STATUS) {
        data.assign(std::min(length, 2), 0);  // bus-powered, no remote wake-up
        return 0;
    }
    if (type == 0x00 && request == REQ_SET_CONFIGURATION) {
        if (emu_set_configuration(*s.dev, value) != 0)
            return STATUS_STALL;
        s.configured = value != 0;
        return 0;
    }
    if (type == 0x01 && request == REQ_SET_INTERFACE)
        return emu_set_alt_setting(*s.dev, index, value) == 0 ? 0 : STATUS_STALL;
    if (type == 0x02 && request == REQ_CLEAR_FEATURE)
        return 0;  // a halt cleared: the device never halts
    return STATUS_STALL;
}

// Answers the IN transfers waiting on endpoint 0x81 for which a reply is now
// queued, oldest first.
void answer_waiting_reads(usbip_session &s, std::vector<uint8_t> &out)
{
    for (size_t i = 0; i < s.pending.size();) {
        usbip_pending &p = s.pending[i];
        uint8_t reply[MOST_DATA];
        const int length =
            (p.endpoint & 0x80) ? emu_reply(*s.dev, p.endpoint, reply, p.length) : -1;
        if (length < 0) {
            i++;
            continue;
        }
        ret_submit(out, p.seqnum, 0, reply, length);
        s.pending.erase(s.pending.begin() + static_cast<long>(i));
    }
}

// One interrupt transfer: OUT taken (or stalled: held unanswered), IN
// answered now or held until the device has a reply.
void interrupt(usbip_session &s, uint32_t seqnum, int endpoint, const uint8_t *data, int length,
               std::vector<uint8_t> &out)
{
    if (!emu_has_endpoint(*s.dev, endpoint)) {
        ret_submit(out, seqnum, STATUS_STALL, nullptr, 0);
        return;
    }
    if (endpoint & 0x80) {
        emu_read_requested(*s.dev, endpoint, length);
        s.pending.push_back({seqnum, endpoint, length});
    } else if (emu_write_stalls(*s.dev)) {
        s.pending.push_back({seqnum, endpoint, length});
        return;
    } else {
        emu_receive(*s.dev, endpoint, data, length);
        ret_submit(out, seqnum, 0, nullptr, emu_accepted(*s.dev, length));
    }
    answer_waiting_reads(s, out);
}

// A CMD_SUBMIT whose header and OUT data are at in.
void submit(usbip_session &s, const uint8_t *in, std::vector<uint8_t> &out)
{
    const uint32_t seqnum = get32(in + 4);
    const bool is_in = get32(in + 12) == DIR_IN;
    const int ep = static_cast<int>(get32(in + 16) & 0x0F);
    const int length = static_cast<int>(get32(in + 24));
    const uint8_t *data = in + USBIP_HEADER_SIZE;
    if (ep != 0) {
        interrupt(s, seqnum, ep | (is_in ? 0x80 : 0), data, length, out);
        return;
    }
    std::vector<uint8_t> reply;
    const int32_t status = control(s, in + 40, reply);
    if (!is_in)
        ret_submit(out, seqnum, status, nullptr, status == 0 ? length : 0);
    else
        ret_submit(out, seqnum, status, reply.data(),
                   status == 0 ? std::min<int>(int(reply.size()), length) : 0);
}

// A CMD_UNLINK: the URB is given back as unlinked if the device still held it.
void unlink(usbip_session &s, const uint8_t *in, std::vector<uint8_t> &out)
{
    const uint32_t target = get32(in + 20);
    auto held = std::find_if(s.pending.begin(), s.pending.end(),
                             [&](const usbip_pending &p) { return p.seqnum == target; });
    const bool found = held != s.pending.end();
    if (found)
        s.pending.erase(held);
    ret_unlink(out, get32(in + 4), found ? STATUS_UNLINKED : 0);
}

// The whole size of the command at in, or 0 when its header is incomplete;
// -1 for something that is no command.
long command_size(const uint8_t *in, size_t size)
{
    if (size < USBIP_HEADER_SIZE)
        return 0;
    const uint32_t command = get32(in);
    if (command == CMD_UNLINK)
        return USBIP_HEADER_SIZE;
    if (command != CMD_SUBMIT)
        return -1;
    const uint32_t length = get32(in + 24);
    if (length > MOST_DATA)
        return -1;
    return long(USBIP_HEADER_SIZE) + (get32(in + 12) == DIR_IN ? 0 : long(length));
}

}  // namespace

bool usbip_is_import_request(const uint8_t *in, size_t size)
{
    return size >= USBIP_IMPORT_REQUEST_SIZE && (in[2] << 8 | in[3]) == OP_REQ_IMPORT;
}

void usbip_import_reply(const emu_device &dev, std::vector<uint8_t> &out)
{
    const std::vector<uint8_t> all = emu_descriptors(dev);
    put16(out, USBIP_VERSION);
    put16(out, OP_REP_IMPORT);
    put32(out, 0);  // status: the device is there
    put_text(out, "/sys/devices/platform/ambx-emu/usb1/1-1", 256);
    put_text(out, "1-1", 32);
    put32(out, static_cast<uint32_t>(dev.bus));
    put32(out, static_cast<uint32_t>(dev.devnum));
    put32(out, SPEED_FULL);
    put16(out, dev.vendor);
    put16(out, dev.product);
    put16(out, static_cast<uint32_t>(all[12] | all[13] << 8));  // bcdDevice
    out.insert(out.end(), {all[4], all[5], all[6]});            // class, subclass, protocol
    out.insert(out.end(), {static_cast<uint8_t>(emu_configuration_value(dev)), all[17],
                           all[DEVICE_DESCRIPTOR_SIZE + 4]});  // configurations, interfaces
}

long usbip_session_take(usbip_session &session, const uint8_t *in, size_t size,
                        std::vector<uint8_t> &out)
{
    size_t taken = 0;
    for (;;) {
        const long whole = command_size(in + taken, size - taken);
        if (whole < 0)
            return -1;
        if (whole == 0 || size_t(whole) > size - taken)
            return long(taken);
        if (get32(in + taken) == CMD_SUBMIT)
            submit(session, in + taken, out);
        else
            unlink(session, in + taken, out);
        taken += size_t(whole);
    }
}
