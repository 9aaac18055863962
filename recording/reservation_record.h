// One reservation as the timetable stores it: a fixed-layout text record.
//
//   offset  width  one-time record              weekly record
//   0       19     start "YYYY/MM/DD HH:NN:SS"  "W" + 7 day marks (Mon..Sun, "0" = chosen) +
//                                               3 blanks + start "HH:NN:SS"
//   19      19     end, same form               the same marks, 3 blanks, end "HH:NN:SS"
//   38      1      status: "0" waiting, "1" running, "2" aborted, "3" done
//   39      1      capture device index, one digit
//   40      1      power action afterwards, "0".."4"
//   41      1      "0" = SKIP (never runs), "1" = active
//   42      ...    file name for the recording, may be empty
//
// Records come from the settings file and may have been edited by hand, so everything here copes
// with text that is short or holds letters where digits belong: such a record is "not well formed",
// never runs, and is kept byte for byte.
#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "recording/clock.h"
#include "recording/power_actions.h"

namespace tessaline {

namespace reserve_layout {
inline constexpr size_t kFieldWidth = 19;
inline constexpr size_t kStart = 0;
inline constexpr size_t kEnd = 19;
inline constexpr size_t kStatus = 38;
inline constexpr size_t kDevice = 39;
inline constexpr size_t kAction = 40;
inline constexpr size_t kSkip = 41;
inline constexpr size_t kName = 42;
inline constexpr size_t kFixedLength = 42;  // everything before the name
inline constexpr size_t kTimeInField = 11;  // "HH:NN:SS" inside either kind of field
inline constexpr size_t kTailInField = 10;  // " HH:NN:SS": what the grid shows after the days
}  // namespace reserve_layout

// The start or end field of a record at `at` (reserve_layout::kStart, kEnd); what there is of it
// in a record cut short, empty past its end.
inline std::string_view RecordField(std::string_view record, size_t at) {
    if (record.size() <= at) return {};
    return record.substr(at, reserve_layout::kFieldWidth);
}

// The name box takes this many characters; a reader takes up to kMaxReadName.
inline constexpr size_t kMaxTypedName = 128;
inline constexpr size_t kMaxReadName = 512;

enum class RecordStatus : char {
    Waiting = '0',
    Running = '1',
    Aborted = '2',
    Done = '3',
};

// Seven day marks, Monday first; true = the reservation runs on that day.
using WeekDays = std::array<bool, 7>;

struct ClockTime {
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// ---- Building --------------------------------------------------------------------------------

// "YYYY/MM/DD HH:NN:SS" (milliseconds dropped).
std::string FormatDateTime(DateTime t);
// "HH:NN:SS".
std::string FormatClockTime(const ClockTime& t);
std::string OneTimeField(DateTime t);
std::string WeeklyField(const WeekDays& days, const ClockTime& t);

struct ReservationTail {
    int device = 0;  // 0..9; anything else is stored as 0
    AfterActionKind action = AfterActionKind::None;
    bool skip = false;
    std::string name;  // trimmed of blanks at both ends, cut to kMaxReadName
};
// A new record (status waiting) from its two fields and the rest.
std::string BuildReservation(std::string_view start_field, std::string_view end_field,
                             const ReservationTail& tail);

// ---- Reading ---------------------------------------------------------------------------------

std::optional<DateTime> ParseDateTime(std::string_view text);    // "YYYY/MM/DD HH:NN:SS"
std::optional<ClockTime> ParseClockTime(std::string_view text);  // "HH:NN:SS"

bool IsWeeklyField(std::string_view field);  // shaped as a weekly field with at least one day
bool IsOneTimeField(std::string_view field);

// The record in its parts; only for well-formed records.
struct Reservation {
    bool weekly = false;
    std::string_view start_field;
    std::string_view end_field;
    RecordStatus status = RecordStatus::Waiting;
    int device = 0;
    AfterActionKind action = AfterActionKind::None;
    bool skip = false;
    std::string_view name;  // at most kMaxReadName characters
};

// Both fields of the same kind and valid, status "0".."3", device a digit, action "0".."4",
// SKIP mark "0" or "1".
std::optional<Reservation> ParseReservation(std::string_view record);
bool IsWellFormed(std::string_view record);

// The status of a well-formed record; nullopt for one that is not.
std::optional<RecordStatus> StatusOf(std::string_view record);
// Only a well-formed record can be running: a hand-edited "1" in a broken record locks nothing.
bool IsRunning(std::string_view record);

// The record with another status (a record too short to have one is returned unchanged).
std::string WithStatus(std::string_view record, RecordStatus status);
// The record as started: status "1" and the device in its place.
std::string AsStarted(std::string_view record, int device);

// ---- Times -----------------------------------------------------------------------------------

// The absolute date-time text of a start or end field, as seen on the day of today: a one-time
// field unchanged; a weekly one on today's date when today is chosen, else on the next chosen
// day. nullopt for a field that is neither.
std::optional<std::string> ResolveReservationTime(std::string_view field, DateTime today);
std::optional<DateTime> ResolveReservationDateTime(std::string_view field, DateTime today);

// A window of a record: the moments it opens and closes.
struct ReservationWindow {
    Instant start;
    Instant end;
};
// The window from local start to local end: the end on the next day when it is before the start;
// both moments by the zone's rules (ToInstant); a window whose end falls into the same spring gap
// as its start keeps its length.
ReservationWindow LocalWindow(DateTime start, DateTime end);

// The window of a record at now as the schedule sees it: both fields resolved for the local day of
// now (LocalWindow). A weekly window that opened the day before and is still open at now is that
// one: a run across midnight that has not started yet still starts before its end.
std::optional<ReservationWindow> ScheduleWindow(const Reservation& r, Instant now);

// The next time the record can run, seen at now: for a one-time record its own window; for a
// weekly one the first chosen day from yesterday on whose window has not ended yet.
std::optional<ReservationWindow> NextWindow(const Reservation& r, Instant now);

// ---- Texts -----------------------------------------------------------------------------------

// What the grid shows for a start or end field: a one-time field as it is; a weekly one as the
// chosen day names run together plus the time ("MoWeFr 21:00:00"). Anything else as it is.
std::string ReservationText(std::string_view field, bool english);
// The status column: "" for waiting, "Run", "Abort", "Done" (Japanese texts otherwise); a status
// character that is none of these is shown as it is.
std::string StatusText(std::string_view record, bool english);

}  // namespace tessaline
