#include "recording/date_pattern.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace tessaline {

namespace {

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// How often the letter at `at` repeats, counted up to the longest field (four letters): a long
// run of one letter is taken four at a time, so counting further would only cost time.
size_t RunLength(std::string_view s, size_t at) {
    constexpr size_t kLongestField = 4;
    size_t n = 1;
    while (n < kLongestField && at + n < s.size() && Lower(s[at + n]) == Lower(s[at])) ++n;
    return n;
}

void AppendNumber(std::string& out, int value, int width) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*d", width, value);
    out += buf;
}

}  // namespace

LocalDateTime NowLocal() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
    localtime_r(&secs, &tm);
    LocalDateTime t;
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.day = tm.tm_mday;
    t.hour = tm.tm_hour;
    t.minute = tm.tm_min;
    t.second = tm.tm_sec;
    t.millisecond = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    return t;
}

std::optional<std::string> FormatDateTimePattern(std::string_view pattern, const LocalDateTime& t,
                                                 PatternUse use) {
    if (pattern.empty()) return std::nullopt;
    std::string out;
    size_t i = 0;
    while (i < pattern.size()) {
        const char c = pattern[i];
        if (c == '"' || c == '\'') {
            const size_t close = pattern.find(c, i + 1);
            if (close == std::string_view::npos) return std::nullopt;
            out.append(pattern.substr(i + 1, close - i - 1));
            i = close + 1;
            continue;
        }
        const size_t run = RunLength(pattern, i);
        size_t used = 1;
        switch (Lower(c)) {
            case 'y':
                used = run >= 4 ? 4 : (run >= 2 ? 2 : 1);
                if (used == 4) {
                    AppendNumber(out, t.year, 4);
                } else {
                    AppendNumber(out, t.year % 100, 2);
                }
                break;
            case 'm':
            case 'd':
            case 'h':
            case 'n':
            case 's': {
                const int value = Lower(c) == 'm'   ? t.month
                                  : Lower(c) == 'd' ? t.day
                                  : Lower(c) == 'h' ? t.hour
                                  : Lower(c) == 'n' ? t.minute
                                                    : t.second;
                used = run >= 2 ? 2 : 1;
                AppendNumber(out, value, static_cast<int>(used));
                break;
            }
            case 'z':
                used = run >= 3 ? 3 : 1;
                AppendNumber(out, t.millisecond, used == 3 ? 3 : 1);
                break;
            case '/':
            case ':':
                out += use == PatternUse::FileName ? kNameSeparator : c;
                break;
            default:
                out += c;
                break;
        }
        i += used;
    }
    return out;
}

}  // namespace tessaline
