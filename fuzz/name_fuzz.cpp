// SPDX-License-Identifier: GPL-3.0-or-later
// Date-time patterns and names as the settings and the reservations may hold them: the pattern
// formatted for the screen and for a file name, and the names of recordings made from it and from
// a name text, with every counter, extension and delay suffix. Whatever the bytes, a name stays
// one file name inside its folder: no "/", no NUL, not hidden, at most 255 bytes, and whole UTF-8
// characters when the text was UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "recording/date_pattern.h"
#include "recording/file_names.h"

using namespace tessaline;

namespace {

constexpr std::string_view kFolder = "/recordings/shows/";

void Check(bool ok) {
    if (!ok) std::abort();
}

bool ValidUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        const size_t n = c < 0x80         ? 1
                         : (c >> 5) == 6  ? 2
                         : (c >> 4) == 14 ? 3
                         : (c >> 3) == 30 ? 4
                                          : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        }
        i += n;
    }
    return true;
}

// A full path of a recording: the folder, then one file name fit for it.
void CheckName(const std::string& path, bool utf8) {
    Check(path.starts_with(kFolder));
    const std::string_view name = std::string_view(path).substr(kFolder.size());
    Check(!name.empty() && name.size() <= kMaxFileNameBytes);
    Check(name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos);
    Check(name.front() != '.');
    if (utf8) Check(ValidUtf8(name));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    // The first bytes choose the moment, the extension's length and where the pattern ends.
    LocalDateTime t;
    t.year = 1900 + data[0] * 2;
    t.month = 1 + data[1] % 12;
    t.day = 1 + data[1] / 12 % 31;
    t.hour = data[2] % 24;
    t.minute = data[2] / 4 % 60;
    t.second = data[3] % 60;
    t.millisecond = data[3] * 4 % 1000;
    const std::string_view rest(reinterpret_cast<const char*>(data + 4), size - 4);
    const size_t ext_length = std::min<size_t>(rest.size(), data[0] % 40);
    const std::string_view ext_text = rest.substr(0, ext_length);
    const std::string_view text = rest.substr(ext_length);

    // The pattern as the screen shows it, and as a file name takes it: the same, but for the
    // date and time separators.
    const auto shown = FormatDateTimePattern(text, t, PatternUse::Text);
    const auto named = FormatDateTimePattern(text, t, PatternUse::FileName);
    Check(shown.has_value() == named.has_value());
    if (named) Check(shown->size() == named->size());

    const std::string ext = FileNameExtension(DottedExtension(ext_text));
    Check(ext.size() <= kMaxExtensionBytes);
    const bool utf8 = ValidUtf8(text) && ValidUtf8(ext);
    // A name from the pattern (a start by hand, at launch, or a reservation without a name) takes
    // a counter, a reservation's name with a date a four-digit number; each as its first name, a
    // later one and one past the four digits, and as the stop's rename with the delay suffix.
    const std::string from_pattern = NameInFolder(kFolder, named.value_or(""));
    const std::string reservation = NameInFolder(kFolder, WithoutExtension(text) + "20240309");
    for (const auto& [series, base] : {std::pair{NameSeries::Counted, from_pattern},
                                       std::pair{NameSeries::Numbered, reservation}}) {
        for (const unsigned n : {0u, 1u, 10000u}) {
            const std::string name = SeriesName(series, base, ext, n);
            CheckName(name + ext, utf8);
            const std::string suffix = " Delay -33.37ms";
            CheckName(FitFileName(name, suffix + ext) + suffix + ext, utf8);
        }
    }
    const std::string typed =
        FitFileName(NameInFolder(kFolder, WithoutExtension(text) + named.value_or("")), ext);
    CheckName(typed + ext, utf8);
    return 0;
}
