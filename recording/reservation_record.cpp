#include "recording/reservation_record.h"

#include <cstdio>

namespace tessaline {

namespace L = reserve_layout;
using namespace std::chrono;

namespace {

constexpr std::array<std::string_view, 7> kDayNamesEnglish = {"Mo", "Tu", "We", "Th",
                                                              "Fr", "Sa", "Su"};
constexpr std::array<std::string_view, 7> kDayNamesJapanese = {"月", "火", "水", "木",
                                                               "金", "土", "日"};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Exactly width digits at text[at..].
std::optional<int> Digits(std::string_view text, size_t at, size_t width) {
    if (at + width > text.size()) return std::nullopt;
    int value = 0;
    for (size_t i = at; i < at + width; ++i) {
        if (!IsDigit(text[i])) return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

std::string_view Field(std::string_view record, size_t at) {
    if (record.size() < at + L::kFieldWidth) return {};
    return record.substr(at, L::kFieldWidth);
}

DateTime At(year_month_day date, const ClockTime& t) {
    return DateTime(local_days(date).time_since_epoch() + hours(t.hour) + minutes(t.minute) +
                    seconds(t.second));
}

year_month_day DateOf(DateTime t) {
    return year_month_day(floor<days>(t));
}

// Monday 1 .. Sunday 7.
unsigned IsoWeekday(DateTime t) {
    return weekday(floor<days>(t)).iso_encoding();
}

std::string_view Trim(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

}  // namespace

// ---- Building --------------------------------------------------------------------------------

std::string FormatDateTime(DateTime t) {
    const year_month_day d = DateOf(t);
    const hh_mm_ss<milliseconds> hms(t - floor<days>(t));
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d/%02u/%02u %02d:%02d:%02d", static_cast<int>(d.year()),
                  static_cast<unsigned>(d.month()), static_cast<unsigned>(d.day()),
                  static_cast<int>(hms.hours().count()), static_cast<int>(hms.minutes().count()),
                  static_cast<int>(hms.seconds().count()));
    return buf;
}

std::string FormatClockTime(const ClockTime& t) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", t.hour, t.minute, t.second);
    return buf;
}

std::string OneTimeField(DateTime t) {
    return FormatDateTime(t);
}

std::string WeeklyField(const WeekDays& days, const ClockTime& t) {
    std::string field = "W";
    for (bool chosen : days) field += chosen ? '0' : '1';
    field += "   ";
    field += FormatClockTime(t);
    return field;
}

std::string BuildReservation(std::string_view start_field, std::string_view end_field,
                             const ReservationTail& tail) {
    std::string record;
    record.reserve(L::kFixedLength + tail.name.size());
    record += start_field;
    record += end_field;
    record += static_cast<char>(RecordStatus::Waiting);
    // One digit is all the layout has; a wider index would shift every later field.
    record += static_cast<char>('0' + (tail.device >= 0 && tail.device <= 9 ? tail.device : 0));
    const int action = static_cast<int>(tail.action);
    record += static_cast<char>('0' + (action >= 0 && action <= 4 ? action : 0));
    record += tail.skip ? '0' : '1';
    record += Trim(tail.name).substr(0, kMaxReadName);
    return record;
}

// ---- Reading ---------------------------------------------------------------------------------

std::optional<ClockTime> ParseClockTime(std::string_view text) {
    if (text.size() != 8 || text[2] != ':' || text[5] != ':') return std::nullopt;
    const auto h = Digits(text, 0, 2), n = Digits(text, 3, 2), s = Digits(text, 6, 2);
    if (!h || !n || !s || *h > 23 || *n > 59 || *s > 59) return std::nullopt;
    return ClockTime{*h, *n, *s};
}

std::optional<DateTime> ParseDateTime(std::string_view text) {
    if (text.size() != L::kFieldWidth || text[4] != '/' || text[7] != '/' || text[10] != ' ') {
        return std::nullopt;
    }
    const auto y = Digits(text, 0, 4), m = Digits(text, 5, 2), d = Digits(text, 8, 2);
    const auto t = ParseClockTime(text.substr(L::kTimeInField));
    if (!y || !m || !d || !t) return std::nullopt;
    const year_month_day date{year(*y), month(static_cast<unsigned>(*m)),
                              day(static_cast<unsigned>(*d))};
    if (!date.ok()) return std::nullopt;
    return At(date, *t);
}

bool IsWeeklyField(std::string_view field) {
    if (field.size() != L::kFieldWidth || field[0] != 'W') return false;
    bool any = false;
    for (size_t i = 1; i <= 7; ++i) {
        if (field[i] != '0' && field[i] != '1') return false;
        any = any || field[i] == '0';
    }
    return any && field.substr(8, 3) == "   " &&
           ParseClockTime(field.substr(L::kTimeInField)).has_value();
}

bool IsOneTimeField(std::string_view field) {
    return ParseDateTime(field).has_value();
}

std::optional<Reservation> ParseReservation(std::string_view record) {
    if (record.size() < L::kFixedLength) return std::nullopt;
    Reservation r;
    r.start_field = Field(record, L::kStart);
    r.end_field = Field(record, L::kEnd);
    r.weekly = IsWeeklyField(r.start_field);
    const bool fields_ok = r.weekly ? IsWeeklyField(r.end_field)
                                    : IsOneTimeField(r.start_field) && IsOneTimeField(r.end_field);
    if (!fields_ok) return std::nullopt;
    const char status = record[L::kStatus], device = record[L::kDevice],
               action = record[L::kAction], skip = record[L::kSkip];
    if (status < '0' || status > '3' || !IsDigit(device) || action < '0' || action > '4' ||
        (skip != '0' && skip != '1')) {
        return std::nullopt;
    }
    r.status = static_cast<RecordStatus>(status);
    r.device = device - '0';
    r.action = static_cast<AfterActionKind>(action - '0');
    r.skip = skip == '0';
    r.name = record.substr(L::kName, kMaxReadName);
    return r;
}

bool IsWellFormed(std::string_view record) {
    return ParseReservation(record).has_value();
}

std::optional<RecordStatus> StatusOf(std::string_view record) {
    const auto r = ParseReservation(record);
    if (!r) return std::nullopt;
    return r->status;
}

bool IsRunning(std::string_view record) {
    return StatusOf(record) == RecordStatus::Running;
}

std::string WithStatus(std::string_view record, RecordStatus status) {
    std::string out(record);
    if (out.size() > L::kStatus) out[L::kStatus] = static_cast<char>(status);
    return out;
}

std::string AsStarted(std::string_view record, int device) {
    std::string out = WithStatus(record, RecordStatus::Running);
    if (out.size() > L::kDevice && device >= 0 && device <= 9) {
        out[L::kDevice] = static_cast<char>('0' + device);
    }
    return out;
}

// ---- Times -----------------------------------------------------------------------------------

std::optional<std::string> ResolveReservationTime(std::string_view field, DateTime today) {
    if (IsOneTimeField(field)) return std::string(field);
    if (!IsWeeklyField(field)) return std::nullopt;
    const unsigned w = IsoWeekday(today);
    unsigned ahead = 0;
    if (field[w] != '0') {
        unsigned d = 1;
        while (field[d] != '0') ++d;  // a weekly field has at least one chosen day
        ahead = (d + 7 - w) % 7;
    }
    const DateTime date = floor<days>(today) + days(ahead);
    std::string text = FormatDateTime(date).substr(0, 10);
    text += field.substr(L::kTailInField);
    return text;
}

std::optional<DateTime> ResolveReservationDateTime(std::string_view field, DateTime today) {
    const auto text = ResolveReservationTime(field, today);
    if (!text) return std::nullopt;
    return ParseDateTime(*text);
}

ReservationWindow LocalWindow(DateTime start, DateTime end) {
    if (start > end) end += days(1);
    ReservationWindow w{ToInstant(start), ToInstant(end)};
    if (w.end <= w.start && end > start) w.end = w.start + (end - start);
    return w;
}

std::optional<ReservationWindow> ScheduleWindow(const Reservation& r, Instant now) {
    const DateTime local = ToLocal(now);
    if (r.weekly) {
        // Yesterday's run, across midnight and still open.
        const DateTime yesterday = floor<days>(local) - days(1);
        if (r.start_field[IsoWeekday(yesterday)] == '0') {
            const auto start = ResolveReservationDateTime(r.start_field, yesterday);
            const auto end = ResolveReservationDateTime(r.end_field, yesterday);
            if (start && end && *end < *start) {
                const ReservationWindow w = LocalWindow(*start, *end);
                if (w.start <= now && now <= w.end) return w;
            }
        }
    }
    const auto start = ResolveReservationDateTime(r.start_field, local);
    const auto end = ResolveReservationDateTime(r.end_field, local);
    if (!start || !end) return std::nullopt;
    return LocalWindow(*start, *end);
}

std::optional<ReservationWindow> NextWindow(const Reservation& r, Instant now) {
    if (!r.weekly) return ScheduleWindow(r, now);
    const auto start = ParseClockTime(r.start_field.substr(L::kTimeInField));
    const auto end = ParseClockTime(r.end_field.substr(L::kTimeInField));
    if (!start || !end) return std::nullopt;
    // The days are the start field's; a window runs into the next day when its end is earlier.
    const DateTime today = floor<days>(ToLocal(now));
    for (int ahead = -1; ahead <= 7; ++ahead) {
        const DateTime day_start = today + days(ahead);
        const unsigned w = IsoWeekday(day_start);
        if (r.start_field[w] != '0') continue;
        const year_month_day date = DateOf(day_start);
        const ReservationWindow win = LocalWindow(At(date, *start), At(date, *end));
        if (win.end >= now) return win;
    }
    return std::nullopt;
}

// ---- Texts -----------------------------------------------------------------------------------

std::string ReservationText(std::string_view field, bool english) {
    if (!IsWeeklyField(field)) return std::string(field);
    const auto& names = english ? kDayNamesEnglish : kDayNamesJapanese;
    std::string text;
    for (size_t i = 0; i < 7; ++i) {
        if (field[i + 1] == '0') text += names[i];
    }
    text += field.substr(L::kTailInField);
    return text;
}

std::string StatusText(std::string_view record, bool english) {
    if (record.size() <= L::kStatus) return {};
    switch (record[L::kStatus]) {
        case '0':
            return {};
        case '1':
            return english ? "Run" : "実行中";
        case '2':
            return english ? "Abort" : "中断";
        case '3':
            return english ? "Done" : "終了";
        default:
            return std::string(1, record[L::kStatus]);
    }
}

}  // namespace tessaline
