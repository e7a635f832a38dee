// Component enumeration: how many components the device has, and for each
// its information block (position, kind, description).
//
// A device's replies are not trusted: a count length or an information
// length is only believed as far as the bytes actually received reach.
#include <cstdio>
#include <cstring>

#include "ambx.h"

namespace {

constexpr int COUNT_ATTEMPTS = 2;
constexpr int MAX_COUNT_BYTES = 4;    // the count fits a 32-bit integer
constexpr int REPLY_DATA = 5;         // first information byte of a reply
constexpr int SECOND_READ_MARK = 58;  // information byte 1 at or above: read on
constexpr int SECOND_READ_OFFSET = 0x3B;

// Offsets in the information block.
constexpr int BLOCK_MORE = 1;
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

// Sends one information request for component j from offset `start` and
// appends the reply's information bytes to block at *filled. Returns the
// exchange's result.
int read_information(usb_dev_handle *handle, int j, int start, unsigned char *reply,
                     unsigned char *block, int *filled)
{
    const unsigned char request[6] = {static_cast<unsigned char>(make_header(AMBX_KIND_DEFAULT)),
                                      static_cast<unsigned char>((j << 4) | AMBX_CMD_INFO),
                                      0x03,
                                      0x00,
                                      static_cast<unsigned char>(start),
                                      AMBX_INFO_CHUNK};
    int received = AMBX_REPLY_SIZE;
    if (!exchange_message(handle, request, sizeof request, reply, &received))
        return 0;
    int length = static_cast<int8_t>(reply[2]) - 2;  // information bytes claimed
    if (length > received - REPLY_DATA)
        length = received - REPLY_DATA;
    if (length > AMBX_INFO_CHUNK)
        length = AMBX_INFO_CHUNK;
    if (length > 0) {
        memcpy(block + *filled, reply + REPLY_DATA, length);
        *filled += length;
    }
    return 1;
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
    for (int j = 0; j < count; j++) {
        usb_dev_handle *handle = device_slots.slots[device].handle;
        printf("Requesting device info for device %d\n", j);
        memset(block, 0, sizeof block);  // no bytes of an earlier component
        int filled = 0;
        if (!read_information(handle, j, 0, first, block, &filled)) {
            result = 1;
            continue;
        }
        if (static_cast<int8_t>(block[BLOCK_MORE]) >= SECOND_READ_MARK)
            read_information(handle, j, SECOND_READ_OFFSET, second, block, &filled);
        decode_block(block, filled, j, &info);
        result = callback(&info, user_data);
        if (result == 0)
            return 0;
    }
    return result;
}
