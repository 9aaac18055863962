// The schedule: one tick, run every 50 ms on the window thread while the recorder is idle. It walks
// the timetable, wakes the deck shortly before a reservation, starts the reservation when its
// window opens, and re-arms weekly reservations that have run. Time comes from an injected clock,
// so tests play hours of schedule in milliseconds.
#pragma once

#include <optional>
#include <string>

#include "recording/clock.h"
#include "recording/reservation_list.h"
#include "recording/reservation_record.h"

namespace tessaline {

// What a starting reservation hands to recording control.
struct ReservationStart {
    Instant start;                                   // the planned start (RecStart)
    Instant end;                                     // the planned end plus one second (RecEnd)
    std::string file_name;                           // the record's name field (ReserveFileName)
    AfterActionKind action = AfterActionKind::None;  // AfterAction
    int device = 0;
};

// What the schedule asks of the recorder and the window around it.
class ScheduleRecorder {
  public:
    virtual ~ScheduleRecorder() = default;
    virtual bool DeviceReady() const = 0;
    virtual bool Busy() const = 0;  // recording, converting a file or writing to the deck
    // Picks index in the device box and opens that deck, as a person picking it would.
    virtual void SelectDevice(int index) = 0;
    virtual void DevicePowerOn() = 0;
    virtual void ResetAfterAction() = 0;
    // Marks the recording as the reservation's (start, end, name, power action) and presses Rec.;
    // true when a recording runs afterwards.
    virtual bool StartReservation(const ReservationStart& start) = 0;
    // Takes back what StartReservation marked, after a start that did not come about, so that a
    // later start by hand is not taken for the reservation.
    virtual void ClearReservationStart() = 0;
    virtual void SaveReservations() = 0;
    virtual void RepaintReservations() = 0;
    // Another program records on the deck of that index now: who, for the log; nullopt when the
    // deck is free. A reservation due on it waits (or is missed when its window passes).
    virtual std::optional<std::string> DeckTakenElsewhere(int device) = 0;
    // A due reservation waits for its deck (why: DeckTakenElsewhere's answer).
    virtual void ReservationWaits(const std::string& record, const std::string& why) = 0;
};

struct ScheduleOptions {
    int max_reserve = kDefaultMaxReserve;
    int power_on_sec = 2;           // the deck is woken this many seconds before a start
    bool reserve_power_on = false;  // set: never switch the deck on for a reservation
};

class ScheduleTick {
  public:
    ScheduleTick(ReservationList& list, ScheduleRecorder& recorder, Clock& clock);

    // One tick. A tick that arrives while another one is still at work (a message box shown by
    // the start runs the event loop) does nothing.
    void Run(const ScheduleOptions& options);

  private:
    void Walk(const ScheduleOptions& options);

    ReservationList& list_;
    ScheduleRecorder& recorder_;
    Clock& clock_;
    bool in_tick_ = false;
};

}  // namespace tessaline
