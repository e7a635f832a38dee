// Judgements over the light set's log (judge.h).
#include "boxvm/runner/judge.h"

#include <cstdio>

bool message_colour(const emu_packet &packet, int *light, unsigned *colour)
{
    char rest;
    return std::sscanf(emu_describe(packet).c_str(), "light %d: colour #%6x%c", light, colour,
                       &rest) == 2;
}

double lights_shown_at(const std::vector<emu_packet> &log, double plugged, double from,
                       const std::vector<unsigned> &colours)
{
    bool known[5] = {};
    unsigned shown[5] = {};
    auto all_shown = [&] {
        for (int i = 0; i < 5; i++)
            if (!known[i] || shown[i] != colours[i])
                return false;
        return true;
    };
    for (const emu_packet &p : log) {
        int light;
        unsigned c;
        if (p.seconds < plugged || !message_colour(p, &light, &c) || light < 0 || light > 4)
            continue;
        // The state up to from counts as shown at from.
        if (p.seconds >= from && all_shown())
            return from;
        known[light] = true;
        shown[light] = c;
        if (p.seconds >= from && all_shown())
            return p.seconds;
    }
    return all_shown() ? from : -1;
}

bool ends_dark(const std::vector<emu_packet> &log)
{
    if (log.size() < 5)
        return false;
    bool seen[5] = {};
    for (size_t i = log.size() - 5; i < log.size(); i++) {
        int light;
        unsigned c;
        if (!message_colour(log[i], &light, &c) || c != 0 || light < 0 || light > 4 || seen[light])
            return false;
        seen[light] = true;
    }
    return true;
}

std::vector<emu_packet> received_since(const std::vector<emu_packet> &log, double since)
{
    std::vector<emu_packet> out;
    for (const emu_packet &p : log)
        if (p.seconds >= since)
            out.push_back(p);
    return out;
}

std::vector<double> gaps(const std::vector<emu_packet> &log, int first, int last)
{
    std::vector<double> out;
    if (first < 1 || last > static_cast<int>(log.size()))
        return out;
    for (int i = first; i < last; i++)
        out.push_back(log[i].seconds - log[i - 1].seconds);
    return out;
}

std::string describe_log(const std::vector<emu_packet> &log)
{
    std::string text;
    for (const emu_packet &p : log) {
        char when[32];
        std::snprintf(when, sizeof when, "%8.3f s  ", p.seconds);
        text += when + emu_describe(p) + "\n";
    }
    return text;
}
