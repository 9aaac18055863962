// SPDX-License-Identifier: GPL-3.0-or-later
// The environment of the emulated bus (FWEMU_*), read once. What cannot be read is said on
// standard error: a test that asked for something it does not get should fail loudly. The trace
// (FWEMU_LOG) and the debug lines (FWEMU_DEBUG) are written here too.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/fwemu/fwemu.h"

namespace fwemu {
namespace {

std::string Env(const char* name) {
    const char* v = getenv(name);
    return v != nullptr ? v : "";
}

// A number that is the whole of `text`.
bool Number(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end != nullptr && *end == '\0' && value >= 0;
}

std::vector<std::string> Split(const std::string& list) {
    std::vector<std::string> items;
    size_t at = 0;
    while (at < list.size()) {
        size_t comma = list.find(',', at);
        if (comma == std::string::npos) comma = list.size();
        if (comma > at) items.push_back(list.substr(at, comma - at));
        at = comma + 1;
    }
    return items;
}

// A-B: two numbers, the second above the first.
bool Window(const std::string& text, Settings::Window& w) {
    const size_t dash = text.find('-');
    return dash != std::string::npos && Number(text.substr(0, dash), w.from) &&
           Number(text.substr(dash + 1), w.to) && w.to > w.from;
}

void Events(Settings& s, const std::string& list) {
    for (const std::string& item : Split(list)) {
        const size_t sep = item.find('@');
        const std::string kind = item.substr(0, sep);
        const std::string when = sep == std::string::npos ? "" : item.substr(sep + 1);
        double at = 0;
        Settings::Window w;
        if (kind == "reset" && Number(when, at)) {
            s.resets.push_back(at);
        } else if (kind == "silence" && Window(when, w)) {
            s.silences.push_back(w);
        } else if (kind == "unplug" && Window(when, w)) {
            s.unplugs.push_back(w);
        } else {
            std::fprintf(stderr, "fwemu: FWEMU_EVENTS: cannot read '%s'\n", item.c_str());
        }
    }
}

void Cassette(Settings& s, const std::string& list) {
    s.has_cassette = true;
    s.cassette = list;
    for (const std::string& item : Split(list)) {
        CassetteItem c;
        if (item.rfind("blank:", 0) == 0) {
            if (!Number(item.substr(6), c.seconds)) {
                std::fprintf(stderr, "fwemu: FWEMU_CASSETTE: cannot read '%s'\n", item.c_str());
                continue;
            }
        } else {
            c.file = item;
        }
        s.items.push_back(c);
    }
}

void Damage(Settings& s, const std::string& list) {
    for (const std::string& item : Split(list)) {
        const size_t plus = item.find('+');
        Settings::Window w;
        double length = 0;
        if (item.rfind("drop@", 0) == 0 && plus != std::string::npos &&
            Number(item.substr(5, plus - 5), w.from) && Number(item.substr(plus + 1), length) &&
            length > 0) {
            w.to = w.from + length;
            s.damage.push_back(w);
        } else {
            std::fprintf(stderr, "fwemu: FWEMU_DAMAGE: cannot read '%s'\n", item.c_str());
        }
    }
}

}  // namespace

const Settings& Config() {
    static const Settings* settings = [] {
        auto* s = new Settings;
        s->play = Env("FWEMU_PLAY");
        s->tape = Env("FWEMU_TAPE");
        s->log = Env("FWEMU_LOG");
        s->fast = Env("FWEMU_PACE") == "fast";
        s->no_local_access = Env("FWEMU_NO_LOCAL_ACCESS") == "1";
        s->deck_eacces = Env("FWEMU_DECK_EACCES") == "1";
        s->dev_oldest_first = Env("FWEMU_DEV_ORDER") == "oldest";
        const std::string busy = Env("FWEMU_BUSY");
        s->busy = busy == "all" ? -1 : std::atoi(busy.c_str());
        s->replug_eacces_ms = std::atoi(Env("FWEMU_REPLUG_EACCES_MS").c_str());
        if (!Env("FWEMU_POWER_MS").empty()) s->power_ms = std::atoi(Env("FWEMU_POWER_MS").c_str());
        s->power_off = Env("FWEMU_POWER") == "off";
        s->rate = std::atof(Env("FWEMU_RATE").c_str());
        s->loop = Env("FWEMU_LOOP") == "1";
        s->jumbo = Env("FWEMU_JUMBO") == "1";
        s->broadcast = Env("FWEMU_BROADCAST") == "1";
        const std::string mode = Env("FWEMU_SIGNAL_MODE");
        if (mode == "none") {
            s->signal_mode = -1;
        } else if (!mode.empty()) {
            s->signal_mode = static_cast<int>(std::strtol(mode.c_str(), nullptr, 0) & 0xFF);
        }
        Events(*s, Env("FWEMU_EVENTS"));
        if (!Env("FWEMU_CASSETTE").empty()) Cassette(*s, Env("FWEMU_CASSETTE"));
        double seconds = 0;
        if (Number(Env("FWEMU_TAPE_SECONDS"), seconds)) s->tape_seconds = seconds;
        const std::string medium = Env("FWEMU_MEDIUM");
        if (medium == "none" || medium == "protected" || medium == "present") {
            s->medium = medium;
        } else if (!medium.empty()) {
            std::fprintf(stderr, "fwemu: FWEMU_MEDIUM: cannot read '%s'\n", medium.c_str());
        }
        Damage(*s, Env("FWEMU_DAMAGE"));
        s->state = Env("FWEMU_STATE");
        if (Number(Env("FWEMU_WIND_SPEED"), seconds) && seconds >= 1) s->wind_speed = seconds;
        if (s->has_cassette && !s->play.empty()) {
            std::fprintf(stderr, "fwemu: FWEMU_PLAY is ignored: the deck plays its cassette\n");
            s->play.clear();
        }
        return s;
    }();
    return *settings;
}

void Log(const char* format, ...) {
    static const bool on = getenv("FWEMU_DEBUG") != nullptr;
    if (!on) return;
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stderr, format, ap);
    va_end(ap);
}

void Trace(const char* format, ...) {
    static FILE* file = Config().log.empty() ? nullptr : std::fopen(Config().log.c_str(), "a");
    if (file == nullptr) return;
    std::fprintf(file, "%.3f ", NowSeconds());
    va_list ap;
    va_start(ap, format);
    std::vfprintf(file, format, ap);
    va_end(ap);
    std::fputc('\n', file);
    std::fflush(file);
}

}  // namespace fwemu
