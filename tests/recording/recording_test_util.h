// SPDX-License-Identifier: GPL-3.0-or-later
// Date-times for the schedule tests.
#pragma once

#include "recording/reservation_record.h"

namespace tessaline::testing_time {

using namespace std::chrono;

inline DateTime T(int y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return DateTime(local_days(year_month_day{year(y), month(mo), day(d)}).time_since_epoch() +
                    hours(h) + minutes(mi) + seconds(s) + milliseconds(ms));
}

// The moment the local time T(...) names (the test's zone's rules).
inline Instant TI(int y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return ToInstant(T(y, mo, d, h, mi, s, ms));
}

// 2024-03-04 is a Monday, 2024-03-06 a Wednesday, 2024-03-10 a Sunday.
inline constexpr int kYear = 2024;
inline constexpr unsigned kMarch = 3;

}  // namespace tessaline::testing_time
