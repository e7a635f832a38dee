// The light messages and the process's CPU time.
#include "demo/watch.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

bool set_colour_message(const std::vector<uint8_t> &packet, int *light, uint8_t colour[3])
{
    if (packet.size() != 6 || (packet[1] & 0x0F) != 0x0B || packet[2] != 3 || packet[1] >> 4 > 4)
        return false;
    *light = packet[1] >> 4;
    for (int i = 0; i < 3; i++)
        colour[i] = packet[3 + i];
    return true;
}

namespace {

void take_packet(light_watch &watch, const emu_packet &packet, double at)
{
    int light;
    uint8_t colour[3];
    if (!set_colour_message(packet.bytes, &light, colour)) {
        watch.frame_end = at;  // the handshake: the first capture follows it
        return;
    }
    memcpy(watch.bytes[light], colour, 3);
    if (++watch.messages % 5 != 0)
        return;
    memcpy(watch.frame_bytes, watch.bytes, sizeof watch.bytes);
    watch.frame_begin = watch.frame_end;
    watch.frame_end = at;
}

}  // namespace

void light_watch_update(light_watch &watch, emu_device &dev)
{
    std::lock_guard<std::mutex> hold(dev.lock);
    for (; watch.seen < dev.log.size(); watch.seen++)
        take_packet(watch, dev.log[watch.seen], dev.start + dev.log[watch.seen].seconds);
}

long light_frames(const light_watch &watch)
{
    return watch.messages / 5;
}

bool last_frame_taken_since(const light_watch &watch, double shown_at)
{
    return watch.messages >= 5 && watch.frame_begin >= shown_at;
}

rgb light_colour(const light_watch &watch, int light, bool bgr, bool frame)
{
    const uint8_t *b = frame ? watch.frame_bytes[light] : watch.bytes[light];
    return bgr ? rgb{b[2], b[1], b[0]} : rgb{b[0], b[1], b[2]};
}

namespace {

// A count of clock ticks; -1 when the field is not a plain number.
long long ticks_field(const std::string &field)
{
    char *end = nullptr;
    const long long value = strtoll(field.c_str(), &end, 10);
    return end != field.c_str() && *end == '\0' && value >= 0 ? value : -1;
}

}  // namespace

long long stat_cpu_ticks(const std::string &stat)
{
    // Fields after the command name: state (field 3) ... utime (14), stime (15).
    const size_t name_end = stat.rfind(')');
    if (name_end == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(name_end + 1));
    std::string field;
    long long utime = -1, stime = -1;
    for (int number = 3; number <= 15 && fields >> field; number++) {
        if (number == 14)
            utime = ticks_field(field);
        else if (number == 15)
            stime = ticks_field(field);
    }
    return utime < 0 || stime < 0 ? -1 : utime + stime;
}

double process_cpu_seconds(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(file, text))
        return -1;
    const long long ticks = stat_cpu_ticks(text);
    return ticks < 0 ? -1 : static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}
