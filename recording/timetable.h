// SPDX-License-Identifier: GPL-3.0-or-later
// The timetable: the schedule tick, the monitor tick and recording control driven together, by
// the window and by `tessaline-cli schedule` alike. Qt-free, on the clock of recording control.
//
// How a host drives it (every call on one thread, the host's own):
//
//     RecordingControl control(sequence, capture, stream, flags, recording_host, clock);
//     Timetable table(control, list, timetable_host);    // installs itself as the list view
//     table.Monitor().BatchProgress = ...;                 // optional page hooks
//     every ~50 ms:        table.RunScheduleTick(options); table.RunMonitorTick();
//     Rec. / Stop:         table.StartByHand(); table.StopByHand();   (Add 10min.:
//     control.Extend())
//     "-S" at launch:      table.StartAtLaunch(power_on, options);   (-P alone: PowerOnRequest())
//     "-S" from a second start of the program:  table.RequestLaunchStart(power_on, options);
//     another program runs the timetable:       table.SetRunsSchedule(false);
//     closing (button, SIGTERM, logout):        table.Close();
//
// The rules it keeps, whoever hosts it:
//   - A tick never waits for a person, and neither does a message: while MessagesLeftOpen() is
//     true (a tick, a start or a stop runs further down the stack) the host shows what is
//     reported (RecordingHost::ShowError) and goes on without waiting for it to be read. No tick
//     asks a question.
//   - The busy gate: while a start or a stop is in progress, or a start's question is open (the
//     only thing that waits for a person), no tick starts or stops a recording. A reservation
//     that falls due meanwhile starts at the first tick after, while its window is still open;
//     one whose window passed keeps status 0.
//   - The computer power action after a stop belongs to the reservation that stopped: the stop
//     carries it and runs it (recording control), nothing reads it back later.
//   - "-S" is used by one start attempt, successful or not, and never by a reservation's start.
//     A reservation due at that moment goes first; "-S" then gives way, saying so.
//   - Close always completes: a running recording is stopped (no power action) and nothing
//     starts afterwards, also when the close arrives inside a start's question.
#pragma once

#include <optional>
#include <utility>

#include "recording/monitor_tick.h"
#include "recording/recording_control.h"
#include "recording/reservation_list.h"
#include "recording/schedule_tick.h"

namespace tessaline {

// Held while a start or a stop is in progress. Nested holds count.
class BusyGate {
  public:
    class Hold {
      public:
        explicit Hold(BusyGate& gate) : gate_(&gate) { ++gate_->depth_; }
        Hold(Hold&& other) noexcept : gate_(std::exchange(other.gate_, nullptr)) {}
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        Hold& operator=(Hold&&) = delete;
        ~Hold() {
            if (gate_) --gate_->depth_;
        }

      private:
        BusyGate* gate_;
    };
    [[nodiscard]] Hold Enter() { return Hold(*this); }
    bool Held() const { return depth_ > 0; }

  private:
    int depth_ = 0;
};

// What the timetable needs of its host besides recording control's RecordingHost.
class TimetableHost {
  public:
    virtual ~TimetableHost() = default;
    // Picks the deck of that index and opens it, as a person picking it in the device box would.
    virtual void SelectDevice(int index) = 0;
    // Writes the list; false (after reporting it) when it could not be written.
    virtual bool SaveReservations() = 0;
    virtual void RepaintReservations() = 0;
    // The name of the deck of that index in the device list ("" when there is none).
    virtual std::string DeckName(int index) = 0;
    // A reservation due now waits: another program records on its deck (why). Said once per run
    // of the record, without waiting for anybody.
    virtual void ReservationWaits(const std::string& record, const std::string& why) = 0;
};

class Timetable final : private ScheduleRecorder, private ReservationStatus {
  public:
    // All references must outlive the timetable. It becomes control's view of the list.
    Timetable(RecordingControl& control, ReservationList& list, TimetableHost& host);
    ~Timetable() override;
    Timetable(const Timetable&) = delete;
    Timetable& operator=(const Timetable&) = delete;

    // ---- Ticks -----------------------------------------------------------------------------
    // The schedule tick: idle, ready, not gated and not closed, it walks the list (and first
    // runs a handed-over "-S" that waited for the gate).
    void RunScheduleTick(const ScheduleOptions& options);
    // The monitor tick: status bar, data information, batch and deck-writing steps, the stop of
    // a recording that failed or reached its end. Does nothing while the gate is held.
    void RunMonitorTick();
    MonitorTick& Monitor() { return monitor_; }
    // True while a tick runs (down the current stack).
    bool InTick() const { return tick_depth_ > 0; }
    // True while a tick, a start or a stop runs down the current stack: a box shown now is
    // opened and left. Only a start's question waits for its answer.
    bool MessagesLeftOpen() const { return InTick() || gate_.Held(); }

    // ---- Starts and stops ------------------------------------------------------------------
    // Rec.: a start by hand (duration, typed name, overwrite question). False when nothing
    // records afterwards, also when the gate is held or the timetable is closed.
    bool StartByHand();
    // Stop: the recording stops as designed (a reservation becomes "Abort", its power action
    // follows).
    void StopByHand();
    // The "-S" start: without a time limit, the deck switched on first with power_on. Used by
    // this one attempt whatever comes of it. A reservation due now starts first (the schedule
    // runs with options), and "-S" then gives way with a message.
    bool StartAtLaunch(bool power_on, const ScheduleOptions& options);
    // "-S" handed over by a second start: starts now as StartAtLaunch does when nothing records
    // and the gate is free; while the gate is held, at the first schedule tick after (if nothing
    // records then). False when it was not started now.
    bool RequestLaunchStart(bool power_on, const ScheduleOptions& options);
    // "-P" on its own from a second start: the deck is switched on.
    void PowerOnRequest();

    // The busy gate: held while a start or stop is in progress. Hosts may hold it too.
    BusyGate& Gate() { return gate_; }
    // A recording, conversion or deck write runs, or the gate is held, or the timetable closed.
    bool Busy() const override;

    // ---- Closing ---------------------------------------------------------------------------
    // Stops a running recording (no computer power action) and ends the schedule: no tick does
    // anything afterwards and no start succeeds. Safe to call more than once and from inside a
    // start's question (that start then ends without recording).
    void Close();
    bool Closed() const { return closed_; }

    // The options of the last schedule tick (capacity for the follow-on test).
    const ScheduleOptions& Options() const { return options_; }
    // Whether this host runs the schedule (false: another program does, and its reservations
    // are its own to start; this host only records by hand).
    void SetRunsSchedule(bool runs) { runs_schedule_ = runs; }
    bool RunsSchedule() const { return runs_schedule_; }

  private:
    // ScheduleRecorder.
    bool DeviceReady() const override;
    void SelectDevice(int index) override;
    void DevicePowerOn() override;
    void ResetAfterAction() override;
    bool StartReservation(const ReservationStart& start) override;
    void ClearReservationStart() override;
    void SaveReservations() override;
    void RepaintReservations() override;
    std::optional<std::string> DeckTakenElsewhere(int device) override;
    void ReservationWaits(const std::string& record, const std::string& why) override;
    // ReservationStatus.
    bool WaitingReservationCovers(Instant t) override;
    void MarkRunning(Status to) override;

    // The "-S" start of both kinds, after a due reservation had its turn.
    bool LaunchStart(bool power_on, const ScheduleOptions& options);

    struct TickScope {
        explicit TickScope(int& depth) : depth_(depth) { ++depth_; }
        ~TickScope() { --depth_; }
        int& depth_;
    };

    RecordingControl& control_;
    ReservationList& list_;
    TimetableHost& host_;
    ScheduleTick schedule_;
    MonitorTick monitor_;
    BusyGate gate_;
    ScheduleOptions options_;
    std::optional<bool> pending_launch_;  // a handed-over "-S" (its -P) waiting for the gate
    int tick_depth_ = 0;
    bool closed_ = false;
    bool runs_schedule_ = true;
};

}  // namespace tessaline
