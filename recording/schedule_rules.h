// SPDX-License-Identifier: GPL-3.0-or-later
// The schedule's rule for one record, kept in one place: the schedule tick applies it, and the
// timetable listing, the service and the wake alarm forecast from it, so that what they say will
// run is what the tick will run.
#pragma once

#include <optional>

#include "recording/clock.h"
#include "recording/reservation_list.h"
#include "recording/reservation_record.h"

namespace tessaline {

// What one idle tick at now does with a record.
struct ScheduleStep {
    ReservationWindow window;  // start and end as the tick resolves them at now
    bool rearm = false;        // a weekly record that has run, outside its window: waiting again
    bool wake = false;         // select the record's deck and switch it on
    bool start = false;        // the reservation starts
};

// nullopt for a SKIP record and for fields that do not resolve: the tick leaves those alone. The
// status looked at is the record's own; a re-arm takes effect from the next tick on.
std::optional<ScheduleStep> ScheduleStepAt(const Reservation& r, Instant now, int power_on_sec);

// The window of the next run the schedule will start, seen at now, if the recorder stays idle and
// its deck ready from now on; nullopt when the record will never start again. A running record
// is taken as one whose run ends now: done by its runner, or aborted by the next runner's load when
// no program runs it any more; either way a weekly one is re-armed after its window.
std::optional<ReservationWindow> NextScheduledRun(const Reservation& r, Instant now);

// A waiting one-time reservation whose end has passed: it never ran (the computer was off, or the
// recorder busy) and never will. SKIP records are not missed.
bool MissedReservation(const Reservation& r, Instant now);

// The earliest next run among the first max_reserve records, as NextScheduledRun sees them.
std::optional<ReservationWindow> EarliestScheduledRun(const ReservationList& list, int max_reserve,
                                                      Instant now);

// The first of the first max_reserve records that the schedule would start at now (waiting, not
// skipped, its window open); -1 when none is due.
int DueReservation(const ReservationList& list, int max_reserve, Instant now);

}  // namespace tessaline
