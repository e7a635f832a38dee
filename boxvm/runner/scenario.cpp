// Parsing of scenario files (scenario.h).
#include "boxvm/runner/scenario.h"

#include <cctype>
#include <cstdlib>

#include "sim/common/util.h"

namespace {

// A line's words; "double quoted text" is one word, without its quotes.
// Returns false for an unterminated quote.
bool split_words(const std::string &line, std::vector<std::string> *words)
{
    size_t i = 0;
    while (i < line.size()) {
        if (std::isspace(static_cast<unsigned char>(line[i]))) {
            i++;
            continue;
        }
        size_t end;
        if (line[i] == '"') {
            end = line.find('"', i + 1);
            if (end == std::string::npos)
                return false;
            words->push_back(line.substr(i + 1, end - i - 1));
            i = end + 1;
            continue;
        }
        end = i;
        while (end < line.size() && !std::isspace(static_cast<unsigned char>(line[end])))
            end++;
        words->push_back(line.substr(i, end - i));
        i = end;
    }
    return true;
}

bool number(const std::string &word, double low, double high, double *value)
{
    return parse_number(word.c_str(), low, high, value);
}

bool whole_number(const std::string &word, int low, int high, int *value)
{
    double v;
    if (!number(word, low, high, &v) || v != static_cast<int>(v))
        return false;
    *value = static_cast<int>(v);
    return true;
}

bool colour(std::string word, unsigned *value)
{
    if (!word.empty() && word[0] == '#')
        word.erase(0, 1);
    if (word.size() != 6)
        return false;
    for (char c : word)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    *value = static_cast<unsigned>(std::strtoul(word.c_str(), nullptr, 16));
    return true;
}

// The words after the command, from index from on, as one line.
std::string rest(const std::vector<std::string> &words, size_t from)
{
    std::string text;
    for (size_t i = from; i < words.size(); i++)
        text += (i == from ? "" : " ") + words[i];
    return text;
}

bool parse_since(const std::string &word, since_event *since)
{
    static const struct {
        const char *name;
        since_event event;
    } events[] = {{"boot", since_event::boot},
                  {"attach", since_event::attach},
                  {"detach", since_event::detach},
                  {"run", since_event::run}};
    for (const auto &e : events)
        if (word == e.name) {
            *since = e.event;
            return true;
        }
    return false;
}

// "lights COLOURS within S after EVENT", COLOURS: reference, off or five colours.
bool parse_lights(const std::vector<std::string> &w, step *s)
{
    size_t i = 2;
    if (i < w.size() && w[i] == "reference") {
        s->reference = true;
        i++;
    } else if (i < w.size() && w[i] == "off") {
        s->colours.assign(5, 0);
        i++;
    } else {
        for (; i < w.size() && s->colours.size() < 5; i++) {
            unsigned c;
            if (!colour(w[i], &c))
                return false;
            s->colours.push_back(c);
        }
        if (s->colours.size() != 5)
            return false;
    }
    return w.size() == i + 4 && w[i] == "within" && number(w[i + 1], 0, 3600, &s->seconds) &&
           w[i + 2] == "after" && parse_since(w[i + 3], &s->since);
}

bool parse_expect(const std::vector<std::string> &w, step *s)
{
    s->kind = step_kind::expect;
    const std::string what = w.size() > 1 ? w[1] : "";
    const size_t n = w.size();
    if (what == "lights") {
        s->expect = expect_kind::lights;
        return parse_lights(w, s);
    }
    if (what == "log") {
        s->expect = expect_kind::log;
        s->text = n == 5 ? w[2] : "";
        return n == 5 && w[3] == "within" && number(w[4], 0, 3600, &s->seconds);
    }
    static const struct {
        const char *name;
        expect_kind kind;
    } texts[] = {{"log-ends", expect_kind::log_ends}, {"output", expect_kind::output}};
    for (const auto &t : texts)
        if (what == t.name) {
            s->expect = t.kind;
            s->text = n == 3 ? w[2] : "";
            return n == 3;
        }
    if (what == "messages") {
        s->expect = expect_kind::messages;
        return n == 3 && whole_number(w[2], 0, 100000, &s->count);
    }
    if (what == "received") {
        s->expect = expect_kind::received;
        s->text = n == 4 ? w[3] : "";
        return n == 4 && whole_number(w[2], 0, 100000, &s->count);
    }
    if (what == "gaps") {
        s->expect = expect_kind::gaps;
        return n == 6 && whole_number(w[2], 1, 100000, &s->first) &&
               whole_number(w[3], s->first + 1, 100000, &s->last) &&
               number(w[4], 0, 3600, &s->seconds) && number(w[5], 0, 3600, &s->tolerance);
    }
    if (what == "ends-dark") {
        s->expect = expect_kind::ends_dark;
        return n == 2;
    }
    return false;
}

// "component KIND POSITION DESCRIPTION...": one of the set's components.
bool parse_component(const std::vector<std::string> &w, scenario *out)
{
    static const char *const kinds[] = {"", "fan", "rumbler", "light"};
    static const char *const positions[] = {"", "", "left", "middle", "right"};
    emu_component c{0, 0, rest(w, 3)};
    for (int k = 1; k < 4; k++)
        if (w.size() > 1 && w[1] == kinds[k])
            c.kind_code = k;
    for (int p = 2; p < 5; p++)
        if (w.size() > 2 && w[2] == positions[p])
            c.position_code = p;
    if (c.kind_code == 0 || c.position_code == 0 || c.description.empty())
        return false;
    out->components.push_back(c);
    return true;
}

// The line as written after its first count words.
std::string after_words(const std::string &line, int count)
{
    size_t i = line.find_first_not_of(" \t");
    for (; count > 0 && i != std::string::npos; count--) {
        i = line.find_first_of(" \t", i);
        if (i != std::string::npos)
            i = line.find_first_not_of(" \t", i);
    }
    return i == std::string::npos ? "" : line.substr(i, line.find_last_not_of(" \t\r") + 1 - i);
}

// "T" (seconds after boot) or "EVENT+T".
bool parse_at(const std::string &word, step *s)
{
    const size_t plus = word.find('+');
    if (plus != std::string::npos && !parse_since(word.substr(0, plus), &s->at_since))
        return false;
    return number(plus == std::string::npos ? word : word.substr(plus + 1), 0, 3600, &s->at);
}

// One step's words (after an "at T" prefix).
bool parse_step(const std::vector<std::string> &w, step *s)
{
    const std::string &verb = w[0];
    if (verb == "boot") {
        s->kind = step_kind::boot;
        s->with_set = w.size() == 2 && w[1] == "with-set";
        return w.size() == 2 && (s->with_set || w[1] == "without-set");
    }
    static const struct {
        const char *name;
        step_kind kind;
    } bare[] = {{"attach", step_kind::attach},
                {"detach", step_kind::detach},
                {"poweroff", step_kind::poweroff}};
    for (const auto &b : bare)
        if (verb == b.name) {
            s->kind = b.kind;
            return w.size() == 1;
        }
    if (verb == "run") {
        s->kind = step_kind::run;
        return !s->command.empty();
    }
    if (verb == "wait") {
        s->kind = step_kind::wait;
        return w.size() == 2 && number(w[1], 0, 3600, &s->seconds);
    }
    return verb == "expect" && parse_expect(w, s);
}

// One line that is not blank or a comment.
bool parse_line(const std::string &line, int number_, scenario *out)
{
    std::vector<std::string> w;
    if (!split_words(line, &w))
        return false;
    if (w[0] == "picture") {
        out->picture = rest(w, 1);
        return w.size() == 3;
    }
    if (w[0] == "component")
        return parse_component(w, out);
    step s;
    s.line = number_;
    if (w[0] == "at") {
        if (w.size() < 3 || !parse_at(w[1], &s))
            return false;
        w.erase(w.begin(), w.begin() + 2);
    }
    // a command goes to the guest's shell as written, quotes and all
    if (w[0] == "run")
        s.command = after_words(line, s.at >= 0 ? 3 : 1);
    if (!parse_step(w, &s))
        return false;
    const bool booted = !out->steps.empty();
    if (booted == (s.kind == step_kind::boot))
        return false;
    out->steps.push_back(s);
    return true;
}

}  // namespace

bool scenario_parse(const std::string &text, scenario *out, std::string *error)
{
    *out = scenario{};
    size_t start = 0;
    for (int number_ = 1; start < text.size(); number_++) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos)
            continue;
        if (line[first] == '#') {
            if (out->title.empty())
                out->title = after_words(line.substr(first + 1), 0);
            continue;
        }
        if (!parse_line(line, number_, out)) {
            *error = "line " + std::to_string(number_) + ": cannot take \"" + line + "\"";
            return false;
        }
    }
    if (out->steps.empty()) {
        *error = "no boot step";
        return false;
    }
    return true;
}

bool reference_parse(const std::string &text, std::vector<unsigned> *colours)
{
    std::vector<std::string> words;
    colours->clear();
    if (!split_words(text, &words))
        return false;
    for (const std::string &w : words) {
        unsigned c;
        if (colours->size() < 5 && colour(w, &c))
            colours->push_back(c);
    }
    return colours->size() == 5;
}
