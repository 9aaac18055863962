#include "recording/span_text.h"

#include <cmath>
#include <cstdio>

namespace tessaline {

std::string SpanText(std::chrono::milliseconds span) {
    const long long a = std::llabs(static_cast<long long>(span.count()));
    char text[48];
    std::snprintf(text, sizeof text, "%.2lld:%.2lld:%.2lld.%.3lld", a / 3600000, a / 60000 % 60,
                  a / 1000 % 60, a % 1000);
    return text;
}

std::string PtsTimeText(uint64_t pts) {
    // 90 counts per millisecond; integer arithmetic keeps whole milliseconds exact.
    return SpanText(std::chrono::milliseconds{static_cast<long long>(pts / 90)});
}

std::string PtsSpanText(uint64_t from, uint64_t to) {
    const uint64_t difference = to >= from ? to - from : from - to;
    return PtsTimeText(difference);
}

std::string NumberText(double value) {
    if (!std::isfinite(value)) return "0";
    char text[64];
    std::snprintf(text, sizeof text, "%.4f", value);
    std::string out = text;
    while (!out.empty() && out.back() == '0') out.pop_back();
    if (!out.empty() && out.back() == '.') out.pop_back();
    if (out == "-0") out = "0";
    return out;
}

}  // namespace tessaline
