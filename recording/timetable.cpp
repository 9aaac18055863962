// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/timetable.h"

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
    if (closed_ || gate_.Held()) return;
    TickScope in_tick(tick_depth_);
    if (pending_launch_) {
        const bool power_on = *pending_launch_;
        pending_launch_.reset();
        if (!control_.flags().Busy()) {
            control_.State().PowerAtLaunch = power_on;
            StartAtLaunch(false);
            return;  // one start per tick
        }
    }
    schedule_.Run(options);
}

void Timetable::RunMonitorTick() {
    // A start or stop in progress further down the stack (its question or message is open) is
    // left to finish: nothing is stopped or refreshed under it.
    if (closed_ || gate_.Held()) return;
    TickScope in_tick(tick_depth_);
    const BusyGate::Hold hold = gate_.Enter();
    monitor_.Run();
}

// ---- Starts and stops ----------------------------------------------------------------------

bool Timetable::FinishStart(bool started) {
    if (started && closed_) {
        // The close came while this start waited for its question: it must not outlive it.
        control_.Stop(RecordingControl::StopCause::Closing);
        return false;
    }
    return started;
}

bool Timetable::StartByHand() {
    if (closed_ || gate_.Held()) return false;
    const BusyGate::Hold hold = gate_.Enter();
    return FinishStart(control_.Start());
}

void Timetable::StopByHand() {
    const BusyGate::Hold hold = gate_.Enter();
    control_.Stop();
}

bool Timetable::StartAtLaunch(bool power_on) {
    if (closed_ || gate_.Held()) {
        control_.State().StartAtLaunch = false;
        return false;
    }
    const BusyGate::Hold hold = gate_.Enter();
    if (power_on) control_.State().PowerAtLaunch = true;
    return FinishStart(control_.StartLaunch());
}

bool Timetable::RequestLaunchStart(bool power_on) {
    if (closed_) return false;
    if (gate_.Held()) {
        pending_launch_ = pending_launch_.value_or(false) || power_on;
        return false;
    }
    if (control_.flags().Busy()) return false;  // something records: as the first copy's "-S"
    control_.State().PowerAtLaunch = power_on;  // this request's "-P", not an earlier one's
    return StartAtLaunch(false);
}

void Timetable::PowerOnRequest() {
    if (!closed_) control_.DevicePowerOn();
}

void Timetable::Close() {
    closed_ = true;
    control_.EndPowerActions();
    pending_launch_.reset();
    control_.State().StartAtLaunch = false;
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
    return FinishStart(control_.Start());
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
