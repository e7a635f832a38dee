// Component enumeration: how many components the device has, and for each
// its information block (position, kind, description).
//
// A device's replies are not trusted: a count length or an information
// length is only believed as far as the bytes actually received reach.
#include <cstdio>
#include <cstring>

#include "driver/ambx_internal.h"

// Holds the count query and, over it, its reply (up to 64 bytes); shared by
// all devices, used only during ambx_enumerate's count phase.
unsigned char query_buffer[AMBX_REPLY_SIZE];

namespace {

constexpr int COUNT_ATTEMPTS = 2;
constexpr int MAX_COUNT_BYTES = 4;    // the count fits a 32-bit integer
constexpr int REPLY_DATA = 5;         // first information byte of a reply
constexpr int REPLY_MORE = 6;         // information byte 1: at or above the mark,
constexpr int SECOND_READ_MARK = 58;  // read on from offset 59
constexpr int SECOND_READ_OFFSET = 0x3B;

// Offsets in the information block.
constexpr int BLOCK_POSITION = 23;
constexpr int BLOCK_KIND = 33;
constexpr int BLOCK_DESCRIPTION_LENGTH = 47;
constexpr int BLOCK_DESCRIPTION = 48;

struct code_word {
    int code;  // as the block gives it
    const char *word;
    int value;  // as the caller gets it
};

constexpr code_word positions[] = {
    {2, "Left", POSITION_LEFT}, {3, "Middle", POSITION_MIDDLE}, {4, "Right", POSITION_RIGHT}};
constexpr code_word kinds[] = {
    {1, "Fan", COMPONENT_FAN}, {2, "Rumbler", COMPONENT_RUMBLER}, {3, "Light", COMPONENT_LIGHT}};
constexpr code_word UNKNOWN_CODE = {0, "Unknown", 0};

template <size_t N>
const code_word &translate(const code_word (&table)[N], int code)
{
    for (const code_word &entry : table)
        if (entry.code == code)
            return entry;
    return UNKNOWN_CODE;
}

// The count a reply of `received` bytes in query_buffer gives: 0 when it
// carries none (no length byte, no count bytes, or more than it holds),
// else the count bytes as signed bytes, most significant first.
int decode_count(int received)
{
    if (received < 3)
        return 0;
    const int n = static_cast<int8_t>(query_buffer[2]);
    if (n <= 0)
        return 0;
    if (n > MAX_COUNT_BYTES || 3 + n > received) {
        printf("Ignoring count reply: %d count bytes claimed, %d received\n", n, received - 3);
        return 0;
    }
    int64_t count = 0;
    for (int k = 0; k < n; k++)
        count = count * 256 + static_cast<int8_t>(query_buffer[3 + k]);
    return static_cast<int>(count);
}

// Count phase. Returns true with *count set, or false with *result set.
bool query_count(usb_dev_handle *handle, int *count, int *result)
{
    int capacity = AMBX_REPLY_SIZE;  // carried over to the second attempt
    for (int attempt = 0; attempt < COUNT_ATTEMPTS; attempt++) {
        const int length = put_count_query(query_buffer);
        *result = exchange_message(handle, query_buffer, length, query_buffer, &capacity);
        if (!*result)
            continue;
        *count = decode_count(capacity);
        if (*count != 0)
            return true;
    }
    return false;
}

// Sends one information request for component j (0..15) from offset
// `start` and appends the reply's information bytes to block at *filled.
// Returns the number of bytes received, or -1 when the exchange failed.
int read_information(usb_dev_handle *handle, int j, int start, unsigned char *reply,
                     unsigned char *block, int *filled)
{
    const unsigned char request[6] = {static_cast<unsigned char>(make_header(AMBX_KIND_DEFAULT)),
                                      static_cast<unsigned char>((j & 0x0F) << 4 | AMBX_CMD_INFO),
                                      0x03,
                                      0x00,
                                      static_cast<unsigned char>(start),
                                      AMBX_INFO_CHUNK};
    int received = AMBX_REPLY_SIZE;
    if (!exchange_message(handle, request, sizeof request, reply, &received))
        return -1;
    int length = static_cast<int8_t>(reply[2]) - 2;  // information bytes claimed
    if (length > received - REPLY_DATA)
        length = received - REPLY_DATA;
    if (length > AMBX_INFO_CHUNK)
        length = AMBX_INFO_CHUNK;
    if (length > 0) {
        memcpy(block + *filled, reply + REPLY_DATA, length);
        *filled += length;
    }
    return received;
}

// Whether the first reply, of `received` bytes, asks for a second read: its
// information byte 1 as a signed byte, wherever it was received, even beyond
// the information bytes its length byte claims.
bool asks_for_more(const unsigned char *reply, int received)
{
    return received > REPLY_MORE && static_cast<int8_t>(reply[REPLY_MORE]) >= SECOND_READ_MARK;
}

// Prints what the block says of component j and fills info.
void decode_block(unsigned char *block, int filled, int j, component_info *info)
{
    int length = static_cast<int8_t>(block[BLOCK_DESCRIPTION_LENGTH]);
    if (length > filled - BLOCK_DESCRIPTION)
        length = filled - BLOCK_DESCRIPTION;
    if (length < 0)
        length = 0;
    block[BLOCK_DESCRIPTION + length] = 0;

    const code_word &position = translate(positions, static_cast<int8_t>(block[BLOCK_POSITION]));
    const code_word &kind = translate(kinds, static_cast<int8_t>(block[BLOCK_KIND]));
    *info = component_info{j, kind.value, position.value};
    printf("Reported position: %s\n", position.word);
    printf("Reported type: %s\n", kind.word);
    printf("Description: %s\n", reinterpret_cast<const char *>(block + BLOCK_DESCRIPTION));
}

}  // namespace

int ambx_enumerate(int device, component_callback callback, void *user_data)
{
    if (const int error = check_index(device))
        return error;
    if (!device_slots.slots[device].handle)
        return AMBX_ERR_NOT_OPEN;
    int count = 0;
    int result = 0;
    if (!query_count(device_slots.slots[device].handle, &count, &result))
        return result;
    if (count < 0)
        return 1;

    unsigned char first[AMBX_REPLY_SIZE], second[AMBX_REPLY_SIZE];
    unsigned char block[AMBX_INFO_BLOCK];
    component_info info;
    // Components beyond 15 cannot be named: their requests would alias.
    const int walked = count < AMBX_MAX_COMPONENTS ? count : AMBX_MAX_COMPONENTS;
    for (int j = 0; j < walked; j++) {
        usb_dev_handle *handle = device_slots.slots[device].handle;
        printf("Requesting device info for device %d\n", j);
        memset(block, 0, sizeof block);  // no bytes of an earlier component
        int filled = 0;
        const int received = read_information(handle, j, 0, first, block, &filled);
        if (received < 0) {
            result = 1;
            continue;
        }
        if (asks_for_more(first, received))
            read_information(handle, j, SECOND_READ_OFFSET, second, block, &filled);
        decode_block(block, filled, j, &info);
        result = callback(&info, user_data);
        if (result == 0)
            return 0;
    }
    if (count > walked)
        printf("Stopping after component %d: %d components claimed, %d can be addressed\n",
               walked - 1, count, AMBX_MAX_COMPONENTS);
    return result;
}
