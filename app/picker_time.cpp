// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/picker_time.h"

namespace tessaline {

using namespace std::chrono;

DateTime PickedDateTime(const QDate& date, const QTime& time) {
    const year_month_day ymd{year(date.year()), month(static_cast<unsigned>(date.month())),
                             day(static_cast<unsigned>(date.day()))};
    return DateTime(local_days(ymd).time_since_epoch() + hours(time.hour()) +
                    minutes(time.minute()) + seconds(time.second()));
}

QDate PickerDate(DateTime t) {
    const year_month_day ymd(floor<days>(t));
    return QDate(static_cast<int>(ymd.year()), static_cast<int>(static_cast<unsigned>(ymd.month())),
                 static_cast<int>(static_cast<unsigned>(ymd.day())));
}

QTime PickerTime(DateTime t) {
    const hh_mm_ss<milliseconds> hms(t - floor<days>(t));
    return QTime(static_cast<int>(hms.hours().count()), static_cast<int>(hms.minutes().count()),
                 static_cast<int>(hms.seconds().count()));
}

QTime PickerTime(const ClockTime& t) {
    return QTime(t.hour, t.minute, t.second);
}

ClockTime PickedClockTime(const QTime& t) {
    return {t.hour(), t.minute(), t.second()};
}

}  // namespace tessaline
