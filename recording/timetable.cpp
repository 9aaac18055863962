// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/timetable.h"

#include "recording/recorder_registry.h"
#include "recording/schedule_rules.h"

namespace tessaline {

Timetable::Timetable(RecordingControl& control, ReservationList& list, TimetableHost& host)
    : control_(control),
      list_(list),
      host_(host),
      schedule_(list, *this, control.clock()),
      monitor_(control) {
    control_.SetReservations(this);
}

Timetable::~Timetable() {
    if (control_.reservations() == this) control_.SetReservations(nullptr);
}

bool Timetable::Busy() const {
    return closed_ || gate_.Held() || control_.flags().Busy();
}

// ---- Ticks ---------------------------------------------------------------------------------

void Timetable::RunScheduleTick(const ScheduleOptions& options) {
    options_ = options;
    // Under a start's question nothing starts, and a handed-over "-S" keeps waiting.
    if (closed_ || gate_.Held()) return;
    TickScope in_tick(tick_depth_);
    schedule_.Run(options);
    if (pending_launch_) {
        const bool power_on = *pending_launch_;
        pending_launch_.reset();
        control_.State().PowerAtLaunch = power_on;
        LaunchStart(false, options);
    }
}

void Timetable::RunMonitorTick() {
    // A start or stop in progress further down the stack (its question is open) is left to
    // finish: nothing is stopped or refreshed under it.
    if (closed_ || gate_.Held()) return;
    TickScope in_tick(tick_depth_);
    const BusyGate::Hold hold = gate_.Enter();
    monitor_.Run();
}

// ---- Starts and stops ----------------------------------------------------------------------

bool Timetable::StartByHand() {
    if (closed_ || gate_.Held()) return false;
    const BusyGate::Hold hold = gate_.Enter();
    return control_.Start();
}

void Timetable::StopByHand() {
    const BusyGate::Hold hold = gate_.Enter();
    control_.Stop();
}

bool Timetable::LaunchStart(bool power_on, const ScheduleOptions& options) {
    RecordingState& state = control_.State();
    const RunState& flags = control_.flags();
    // A reservation due now has the deck first: the schedule starts it (or, when another program
    // runs the timetable, that program is about to).
    if (runs_schedule_ && !closed_ && !gate_.Held()) {
        TickScope in_tick(tick_depth_);
        schedule_.Run(options);
    }
    const bool reservation_first =
        (flags.IsRecording && state.IsReserveRecording) ||
        (!runs_schedule_ &&
         DueReservation(list_, options.max_reserve, control_.clock().NowInstant()) >= 0);
    if (closed_ || gate_.Held() || flags.Busy() || reservation_first) {
        state.StartAtLaunch = false;
        if (reservation_first && !closed_) {
            const BusyGate::Hold hold = gate_.Enter();  // said without waiting
            control_.host().ShowError(kMsgLaunchGaveWay);
        }
        return false;
    }
    const BusyGate::Hold hold = gate_.Enter();
    if (power_on) state.PowerAtLaunch = true;
    return control_.StartLaunch();
}

bool Timetable::StartAtLaunch(bool power_on, const ScheduleOptions& options) {
    return LaunchStart(power_on, options);
}

bool Timetable::RequestLaunchStart(bool power_on, const ScheduleOptions& options) {
    if (closed_) return false;
    if (gate_.Held()) {
        // Kept for the first tick after; a later request never takes back an earlier -P.
        pending_launch_ = pending_launch_.value_or(false) || power_on;
        return false;
    }
    if (control_.flags().Busy()) return false;  // something records: as the first copy's "-S"
    control_.State().PowerAtLaunch = power_on;  // this request's "-P", not an earlier one's
    return LaunchStart(false, options);
}

void Timetable::PowerOnRequest() {
    if (!closed_) control_.DevicePowerOn();
}

void Timetable::Close() {
    closed_ = true;
    control_.Close();
    pending_launch_.reset();
    control_.State().StartAtLaunch = false;
    // Also a last recording whose graph would not stop: its file is closed now.
    if (control_.flags().IsRecording || control_.SequenceOpen()) {
        control_.Stop(RecordingControl::StopCause::Closing);
    }
}

// ---- ScheduleRecorder ----------------------------------------------------------------------

bool Timetable::DeviceReady() const {
    return control_.flags().DeviceReady;
}

void Timetable::SelectDevice(int index) {
    host_.SelectDevice(index);
}

void Timetable::DevicePowerOn() {
    control_.DevicePowerOn();
}

void Timetable::ResetAfterAction() {
    control_.State().AfterAction = 0;
}

bool Timetable::StartReservation(const ReservationStart& s) {
    const BusyGate::Hold hold = gate_.Enter();
    control_.ArmReservation(s.start, s.end, s.file_name, static_cast<int>(s.action));
    if (!control_.Start()) return false;
    // The file says at once what runs, for whoever reads it (the window beside the service,
    // `reservations`, a runner after a crash).
    host_.SaveReservations();
    return true;
}

void Timetable::ClearReservationStart() {
    RecordingState& state = control_.State();
    state.IsReserveRecording = false;
    state.ReserveFileName.clear();
    state.AfterAction = 0;
    state.RecStart = state.RecEnd = Instant{};
}

void Timetable::SaveReservations() {
    host_.SaveReservations();
}

void Timetable::RepaintReservations() {
    host_.RepaintReservations();
}

std::optional<std::string> Timetable::DeckTakenElsewhere(int device) {
    RecorderRegistry* registry = control_.registry();
    if (!registry) return std::nullopt;
    const auto other = registry->OtherOn(host_.DeckName(device));
    if (!other) return std::nullopt;
    return RecorderRegistry::Describe(*other);
}

void Timetable::ReservationWaits(const std::string& record, const std::string& why) {
    host_.ReservationWaits(record, why);
}

// ---- ReservationStatus ---------------------------------------------------------------------

bool Timetable::WaitingReservationCovers(Instant t) {
    return tessaline::WaitingReservationCovers(list_, options_.max_reserve, t);
}

void Timetable::MarkRunning(Status to) {
    const auto status = static_cast<RecordStatus>('0' + static_cast<int>(to));
    if (list_.SetRunningStatus(status) > 0) host_.SaveReservations();
    host_.RepaintReservations();
}

}  // namespace tessaline
