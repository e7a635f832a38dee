// Picture size files: "2d0\n" and "0x2d0\n" both read as 720.
#include <cstdio>

#include "size_file.h"

namespace {

constexpr int LINE_SIZE = 256;

}  // namespace

bool read_size_file(const char *path, int32_t *value)
{
    *value = 0;
    FILE *file = fopen(path, "r");
    if (!file)
        return false;
    char line[LINE_SIZE];
    while (fgets(line, sizeof line, file)) {
        unsigned parsed;
        // "%x" reads an unsigned number; a text like ffffffff stands for -1.
        if (sscanf(line, "%x", &parsed) == 1)
            *value = static_cast<int32_t>(parsed);
    }
    fclose(file);
    return true;
}
