// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/schedule_rules.h"

#include <algorithm>
#include <vector>

namespace tessaline {

using namespace std::chrono;

std::optional<ScheduleStep> ScheduleStepAt(const Reservation& r, Instant now, int power_on_sec) {
    if (r.skip) return std::nullopt;  // never wakes the deck, never starts, never re-armed
    const auto window = ScheduleWindow(r, now);
    if (!window) return std::nullopt;
    ScheduleStep step;
    step.window = *window;
    const Instant start = window->start, end = window->end;
    const bool outside = (now > start && now > end) || (now < start && now < end);
    step.rearm = r.weekly && outside &&
                 (r.status == RecordStatus::Aborted || r.status == RecordStatus::Done);
    if (r.status == RecordStatus::Waiting) {
        step.wake = start - seconds(power_on_sec) <= now && now <= end;
        step.start = start <= now && now <= end;
    }
    return step;
}

std::optional<ReservationWindow> NextScheduledRun(const Reservation& record, Instant now) {
    if (record.skip) return std::nullopt;
    Reservation r = record;
    if (r.status == RecordStatus::Running) r.status = RecordStatus::Aborted;

    // The tick's answer changes only at a window's start or end (both inclusive) and at local
    // midnight, when a weekly record resolves to another day. Looking at each such moment and just
    // after it plays the ticks exactly; a week and two days cover every weekly pattern.
    std::vector<Instant> moments{now};
    const DateTime today = floor<days>(ToLocal(now));
    for (int d = 0; d <= 8; ++d) {
        const Instant midnight = ToInstant(today + days(d));
        if (midnight > now) moments.push_back(midnight);
        const auto w = ScheduleWindow(r, std::max(midnight, now));
        if (!w) return std::nullopt;
        for (const Instant t : {w->start, w->end, w->end + milliseconds(1)}) {
            if (t > now) moments.push_back(t);
        }
        if (!r.weekly) break;  // a one-time window is the same on every day
    }
    std::sort(moments.begin(), moments.end());
    moments.erase(std::unique(moments.begin(), moments.end()), moments.end());

    for (const Instant base : moments) {
        for (const Instant t : {base, base + milliseconds(1)}) {
            const auto step = ScheduleStepAt(r, t, 0);
            if (!step) return std::nullopt;
            if (step->start) return step->window;
            if (step->rearm) r.status = RecordStatus::Waiting;
        }
    }
    return std::nullopt;
}

bool MissedReservation(const Reservation& r, Instant now) {
    if (r.weekly || r.skip || r.status != RecordStatus::Waiting) return false;
    const auto w = ScheduleWindow(r, now);
    return w && now > w->end;
}

std::optional<ReservationWindow> EarliestScheduledRun(const ReservationList& list, int max_reserve,
                                                      Instant now) {
    std::optional<ReservationWindow> best;
    const int n = std::min(list.Count(), max_reserve);
    for (int i = 0; i < n; ++i) {
        const auto r = ParseReservation(list[i]);
        if (!r) continue;
        const auto run = NextScheduledRun(*r, now);
        if (run && (!best || run->start < best->start)) best = run;
    }
    return best;
}

int DueReservation(const ReservationList& list, int max_reserve, Instant now) {
    const int n = std::min(list.Count(), max_reserve);
    for (int i = 0; i < n; ++i) {
        const auto r = ParseReservation(list[i]);
        if (!r) continue;
        const auto step = ScheduleStepAt(*r, now, 0);
        if (step && step->start) return i;
    }
    return -1;
}

}  // namespace tessaline
