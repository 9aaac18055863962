#include "recording/clock.h"

#include <thread>

namespace tessaline {

using std::chrono::days;
using std::chrono::hours;
using std::chrono::local_days;
using std::chrono::milliseconds;
using std::chrono::minutes;
using std::chrono::seconds;

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

DateTime SystemClock::Now() {
    return ToDateTime(NowLocal());
}

void SystemClock::Sleep(milliseconds span) {
    if (span.count() > 0) std::this_thread::sleep_for(span);
}

}  // namespace tessaline
