// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/clock.h"

#include <ctime>
#include <thread>

namespace tessaline {

using std::chrono::days;
using std::chrono::hours;
using std::chrono::local_days;
using std::chrono::milliseconds;
using std::chrono::minutes;
using std::chrono::seconds;

namespace {

// The local zone's offset from UTC at the moment t (whole seconds since the epoch).
int64_t OffsetAt(int64_t t) {
    const std::time_t at = static_cast<std::time_t>(t);
    std::tm tm{};
    if (!localtime_r(&at, &tm)) return 0;
    return tm.tm_gmtoff;
}

}  // namespace

DateTime ToDateTime(const LocalDateTime& t) {
    const std::chrono::year_month_day date{std::chrono::year{t.year},
                                           std::chrono::month{static_cast<unsigned>(t.month)},
                                           std::chrono::day{static_cast<unsigned>(t.day)}};
    return DateTime{local_days{date}.time_since_epoch()} + hours{t.hour} + minutes{t.minute} +
           seconds{t.second} + milliseconds{t.millisecond};
}

LocalDateTime ToLocalDateTime(DateTime t) {
    const auto day = std::chrono::floor<days>(t);
    const std::chrono::year_month_day date{day};
    const std::chrono::hh_mm_ss<milliseconds> time{t - day};
    LocalDateTime out;
    out.year = static_cast<int>(date.year());
    out.month = static_cast<int>(static_cast<unsigned>(date.month()));
    out.day = static_cast<int>(static_cast<unsigned>(date.day()));
    out.hour = static_cast<int>(time.hours().count());
    out.minute = static_cast<int>(time.minutes().count());
    out.second = static_cast<int>(time.seconds().count());
    out.millisecond = static_cast<int>(time.subseconds().count());
    return out;
}

DateTime ToLocal(Instant t) {
    const auto s = std::chrono::floor<seconds>(t);
    const int64_t offset = OffsetAt(s.time_since_epoch().count());
    return DateTime{(t + seconds(offset)).time_since_epoch()};
}

Instant ToInstant(DateTime t) {
    // local = moment + offset(moment). Around any local time the zone has at most two offsets:
    // the one a day before and the one a day after.
    const auto s = std::chrono::floor<seconds>(t);
    const milliseconds fraction = t - s;
    const int64_t local = s.time_since_epoch().count();
    const int64_t before = OffsetAt(local - 86400), after = OffsetAt(local + 86400);
    const int64_t first = local - before, second = local - after;
    const bool first_fits = OffsetAt(first) == before, second_fits = OffsetAt(second) == after;
    int64_t moment;
    if (first_fits && second_fits) {
        moment = std::min(first, second);  // shown twice: the first
    } else if (first_fits || second_fits) {
        moment = first_fits ? first : second;
    } else {
        // Skipped: the moment the clocks went forward, the first after the gap.
        int64_t lo = std::min(first, second), hi = std::max(first, second);
        while (hi - lo > 1) {
            const int64_t mid = lo + (hi - lo) / 2;
            (OffsetAt(mid) == before ? lo : hi) = mid;
        }
        return Instant{seconds(hi)};
    }
    return Instant{seconds(moment)} + fraction;
}

Instant SystemClock::NowInstant() {
    return std::chrono::time_point_cast<milliseconds>(std::chrono::system_clock::now());
}

milliseconds SystemClock::Elapsed() {
    return std::chrono::duration_cast<milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
}

void SystemClock::Sleep(milliseconds span) {
    if (span.count() > 0) std::this_thread::sleep_for(span);
}

}  // namespace tessaline
