// Message framing and the output commands.
//
// Every message to the device goes to endpoint 0x02 and starts with three
// bytes: a header (sequence nibble, kind nibble), an address
// ((target << 4) | command) and a length (bytes after the length byte).
#include <cstdio>
#include <cstring>

#include "driver/ambx_internal.h"

// Numbers every framed message: its low nibble becomes the header's
// sequence nibble (1, 2, ..., 15, 0, 1, ...). Starts at 1, never reset.
int8_t msg_counter = 1;

namespace {

// Gives the open handle of a slot. Returns 0, -1 for an index outside 0..15
// (nothing may be read from the table then) or -7 when the slot is not open.
int open_handle(int device, usb_dev_handle **handle)
{
    if (device < 0 || device >= AMBX_MAX_DEVICES)
        return AMBX_ERR_INDEX;
    *handle = device_slots.slots[device].handle;
    return *handle ? 0 : AMBX_ERR_NOT_OPEN;
}

unsigned char address_byte(int target, int command)
{
    return static_cast<unsigned char>((target << 4) | command);
}

// The first two bytes of a message: its header, which takes the next
// message number, and its address.
void put_head(unsigned char *message, int kind, int target, int command)
{
    message[0] = static_cast<unsigned char>(make_header(kind));
    message[1] = address_byte(target, command);
}

int write_message(usb_dev_handle *handle, const unsigned char *message, int length)
{
    return usb_interrupt_write(handle, AMBX_EP_OUT, reinterpret_cast<const char *>(message), length,
                               AMBX_TIMEOUT_MS);
}

// Sends a message of its head, a length byte and length (at most 3) data
// bytes. Returns open_handle's error, or the write's result.
int send_data(int device, int kind, int target, int command, const unsigned char *data, int length)
{
    usb_dev_handle *handle = nullptr;
    if (const int error = open_handle(device, &handle))
        return error;
    unsigned char message[6];
    put_head(message, kind, target, command);
    message[2] = static_cast<unsigned char>(length);
    memcpy(message + 3, data, static_cast<size_t>(length));
    return write_message(handle, message, 3 + length);
}

// The step time goes out as a signed 16-bit value: the high byte is the
// quotient by 256 truncated toward zero, the low byte the low 8 bits.
void put_step_time(unsigned char *bytes, int step_time)
{
    const int16_t t = static_cast<int16_t>(step_time & 0xFFFF);
    bytes[0] = static_cast<unsigned char>((t / 256) & 0xFF);
    bytes[1] = static_cast<unsigned char>(t & 0xFF);
}

}  // namespace

int pack_color(unsigned char *buffer, int color)
{
    buffer[0] = static_cast<unsigned char>((color >> 16) & 0xFF);
    buffer[1] = static_cast<unsigned char>((color >> 8) & 0xFF);
    buffer[2] = static_cast<unsigned char>(color & 0xFF);
    return 3;
}

int make_header(int kind)
{
    const int header = (((msg_counter & 0x0F) << 4) | kind) & 0xFF;
    msg_counter = static_cast<int8_t>(static_cast<uint8_t>(msg_counter) + 1);
    return header;
}

int put_count_query(unsigned char *buffer)
{
    put_head(buffer, AMBX_KIND_DEFAULT, AMBX_COUNT_TARGET, AMBX_CMD_COUNT);
    buffer[2] = 0x01;
    buffer[3] = 0x00;
    return 4;
}

int exchange_message(usb_dev_handle *handle, const unsigned char *out, int out_length,
                     unsigned char *in, int *in_length)
{
    if (write_message(handle, out, out_length) != out_length) {
        puts("Not all bytes sent");
        return 0;
    }
    const int received = usb_interrupt_read(handle, AMBX_EP_REPLY, reinterpret_cast<char *>(in),
                                            *in_length, AMBX_TIMEOUT_MS);
    if (received > 0) {
        *in_length = received;
        return 1;
    }
    printf("Error reading data %d\n", received);
    if (received < 0)
        return 0;
    *in_length = 0;
    return 1;
}

int ambx_set_light(int device, int light, int color)
{
    unsigned char rgb[3];
    pack_color(rgb, color);
    return send_data(device, AMBX_KIND_DEFAULT, light, AMBX_CMD_COLOUR, rgb, sizeof rgb);
}

int ambx_set_light_sequence(int device, int light, int step_time, const int *colours, int count)
{
    usb_dev_handle *handle = nullptr;
    if (const int error = open_handle(device, &handle))
        return error;
    if (count > AMBX_MAX_SEQUENCE)
        return AMBX_ERR_TOO_LARGE;
    unsigned char message[AMBX_SEQUENCE_SIZE];
    put_head(message, AMBX_KIND_DEFAULT, light, AMBX_CMD_COLOUR);
    put_step_time(message + 3, step_time);
    int length = 5;
    for (int i = 0; i < count; i++)
        length += pack_color(message + length, colours[i]);
    message[2] = static_cast<unsigned char>(((length - 3) & 0x3F) | AMBX_SEQUENCE_FLAG);
    return write_message(handle, message, length);
}

int ambx_send_value(int device, int target, int value, int kind, int command)
{
    const unsigned char byte = static_cast<unsigned char>(value & 0xFF);
    return send_data(device, kind, target, command, &byte, 1);
}

int ambx_request(int device, int target, int command, const unsigned char *payload, int length)
{
    usb_dev_handle *handle = nullptr;
    if (const int error = open_handle(device, &handle))
        return error;
    const int payload_length = length & 0xFF;
    if (payload_length > AMBX_MAX_PAYLOAD)
        return AMBX_ERR_TOO_LARGE;
    unsigned char message[AMBX_REPLY_SIZE];
    put_head(message, AMBX_KIND_DEFAULT, target, command);
    if (payload_length > 0)
        memcpy(message + 2, payload, payload_length);
    int capacity = AMBX_REPLY_SIZE;
    return exchange_message(handle, message, payload_length + 2, message, &capacity);
}
