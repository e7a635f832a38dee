// Picture size files: "2d0\n" and "0x2d0\n" both read as 720.
#include <cstdio>

#include "capture/size_file.h"
#include "capture/getvideo.h"

namespace {

constexpr uint64_t HEX_MAX = 0xFFFFFFFF;

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool is_blank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

bool parse_hex32(const char *text, uint32_t *value)
{
    while (is_blank(*text))
        ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && hex_digit(text[2]) >= 0)
        text += 2;
    if (hex_digit(*text) < 0)
        return false;
    uint64_t magnitude = 0;
    for (; hex_digit(*text) >= 0; ++text) {
        magnitude = magnitude * 16 + uint64_t(hex_digit(*text));
        if (magnitude > HEX_MAX)
            return false;
    }
    *value = static_cast<uint32_t>(negative ? 0 - magnitude : magnitude);
    return true;
}

bool read_size_file(const char *path, int32_t *value)
{
    *value = 0;
    FILE *file = fopen(path, "r");
    if (!file)
        return false;
    char line[LINE_SIZE];
    while (fgets(line, sizeof line, file)) {
        uint32_t parsed;
        // A text like ffffffff stands for -1.
        if (parse_hex32(line, &parsed))
            *value = static_cast<int32_t>(parsed);
    }
    fclose(file);
    return true;
}
