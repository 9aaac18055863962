// SPDX-License-Identifier: GPL-3.0-or-later
// The window's date and time pickers and the recording clock's local times: what a picker shows
// for a time, and the time a pair of pickers (or a time picker alone, for a weekly time) says.
#pragma once

#include <QDate>
#include <QTime>

#include "recording/clock.h"
#include "recording/reservation_record.h"

namespace tessaline {

// The local time a date picker and a time picker show together (whole seconds).
DateTime PickedDateTime(const QDate& date, const QTime& time);
QDate PickerDate(DateTime t);
QTime PickerTime(DateTime t);
QTime PickerTime(const ClockTime& t);
ClockTime PickedClockTime(const QTime& t);

}  // namespace tessaline
