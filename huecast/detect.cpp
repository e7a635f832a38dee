// Chipset detection. Each file is read in fgets pieces of at most 255
// characters; a pattern is found only within one piece, and the last match
// wins.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "huecast/detect.h"
#include "capture/getvideo.h"

namespace {

// The only test on /proc/cpuinfo: a BCM4380 among BCM7401-type boxes.
int match_cpuinfo_piece(const char *piece, int stb)
{
    return strstr(piece, "BRCM4380") ? STB_BRCM4380 : stb;
}

// Upper-cases each piece of path and folds it into stb with the tests of
// /proc/cpuinfo or of /proc/fb.
int scan_file(const char *path, int stb, bool cpuinfo)
{
    FILE *file = fopen(path, "r");
    if (!file)
        return stb;
    char line[LINE_SIZE];
    while (fgets(line, sizeof line, file))
        stb = cpuinfo ? match_cpuinfo_piece(upcase_line(line), stb)
                      : match_fb_piece(upcase_line(line), stb);
    fclose(file);
    return stb;
}

}  // namespace

char *upcase_line(char *line)
{
    for (char *c = line; *c; c++)
        *c = static_cast<char>(toupper(static_cast<unsigned char>(*c)));
    return line;
}

int match_fb_piece(const char *piece, int stb)
{
    if (strstr(piece, "VULCAN"))
        stb = STB_VULCAN;
    if (strstr(piece, "PALLAS"))
        stb = STB_PALLAS;
    if (strstr(piece, "XILLEON"))
        stb = STB_XILLEON;
    if (strstr(piece, "BCM7401") || strstr(piece, "BCMFB"))
        stb = STB_BRCM7401;
    return stb;
}

int detect_chipset(const char *fb_path, const char *cpuinfo_path)
{
    int stb = scan_file(fb_path, STB_UNKNOWN, false);
    if (stb == STB_BRCM7401)
        stb = scan_file(cpuinfo_path, stb, true);
    return stb;
}
