#include "recording/schedule_tick.h"

#include <vector>

#include "recording/schedule_rules.h"

namespace tessaline {

using namespace std::chrono;

ScheduleTick::ScheduleTick(ReservationList& list, ScheduleRecorder& recorder, Clock& clock)
    : list_(list), recorder_(recorder), clock_(clock) {}

void ScheduleTick::Run(const ScheduleOptions& options) {
    if (in_tick_) return;
    if (!recorder_.DeviceReady() || recorder_.Busy()) return;
    in_tick_ = true;
    Walk(options);
    in_tick_ = false;
}

void ScheduleTick::Walk(const ScheduleOptions& options) {
    const Instant now = clock_.NowInstant();
    recorder_.ResetAfterAction();

    // Rewriting a record's status moves it in the sorted list, so the walk goes over a copy and
    // finds each record again by its text before changing it.
    const std::vector<std::string> records = list_.Records();
    const size_t n =
        std::min(records.size(), static_cast<size_t>(std::max(options.max_reserve, 0)));
    for (size_t i = 0; i < n; ++i) {
        const std::string& record = records[i];
        const auto r = ParseReservation(record);
        if (!r) continue;  // a broken record never runs
        // The rule itself is shared with everything that forecasts the timetable.
        const auto step = ScheduleStepAt(*r, now, options.power_on_sec);
        if (!step) continue;  // a skipped one never wakes, starts or re-arms
        const Instant start = step->window.start, end = step->window.end;

        // A weekly record that has run waits again for its next day once its window is left.
        if (step->rearm) {
            const int at = list_.Find(record);
            if (at >= 0) {
                list_.Replace(at, WithStatus(record, RecordStatus::Waiting));
                recorder_.SaveReservations();
                recorder_.RepaintReservations();
            }
        }
        // Another program records on the deck: the reservation waits for it, as for our own.
        std::optional<std::string> taken;
        if (step->wake || step->start) taken = recorder_.DeckTakenElsewhere(r->device);
        if (taken) {
            if (step->start) recorder_.ReservationWaits(record, *taken);
            continue;
        }
        if (step->wake) {
            recorder_.SelectDevice(r->device);
            if (!options.reserve_power_on) recorder_.DevicePowerOn();
        }
        if (step->start) {
            recorder_.SelectDevice(r->device);
            const int at = list_.Find(record);
            if (at < 0) continue;
            const std::string started = AsStarted(record, r->device);
            list_.Replace(at, started);
            recorder_.RepaintReservations();

            ReservationStart s;
            s.start = start;
            s.end = end + seconds(1);
            s.file_name = std::string(r->name);
            s.action = r->action;
            s.device = r->device;
            if (!recorder_.StartReservation(s)) {
                // Nothing records: the record must not stay locked as running.
                recorder_.ClearReservationStart();
                const int again = list_.Find(started);
                if (again >= 0) list_.Replace(again, WithStatus(started, RecordStatus::Aborted));
                recorder_.SaveReservations();
                recorder_.RepaintReservations();
            }
            return;  // at most one start per tick
        }
    }
}

}  // namespace tessaline
