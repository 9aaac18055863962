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

// What the text is for. In a file name the date and time separators become kNameSeparator: "/"
// would make a folder of the date, and ":" is refused by the file systems of memory cards and
// other computers' disks. Texts shown on screen keep them.
enum class PatternUse { Text, FileName };
inline constexpr char kNameSeparator = '-';

// nullopt when the pattern cannot be applied: an empty pattern, or quoted text that is never
// closed (the rest of the name would silently become literal text). Quoted text is copied as it
// stands, also into a file name: making it fit for one is the name's business (file_names.h).
std::optional<std::string> FormatDateTimePattern(std::string_view pattern, const LocalDateTime& t,
                                                 PatternUse use = PatternUse::Text);

}  // namespace tessaline
