// Date-time patterns of file names: "YYYY"/"YY" year, "MM"/"M" month, "DD"/"D" day, "HH"/"H" hour
// (24-hour clock), "NN"/"N" minute, "SS"/"S" second, "ZZZ"/"Z" millisecond (doubled letters with
// leading zeros), text in double or single quotes copied without the quotes, "/" and ":" the date
// and time separators, any other character copied. Letters are matched without regard to case.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessaline {

struct LocalDateTime {
    int year = 2000;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

LocalDateTime NowLocal();

// nullopt when the pattern cannot be applied: an empty pattern, or quoted text that is never
// closed (the rest of the name would silently become literal text).
std::optional<std::string> FormatDateTimePattern(std::string_view pattern, const LocalDateTime& t);

}  // namespace tessaline
