// MonitorTick: what happens 20 times a second while something runs. For a recording: the status
// bar (countdown to RecEnd, or the time since the start without a time limit), the data
// information page and the delay suffix, the stop when a write to the file failed or the deck's
// stream ended with an error, and the stop at the end (a reservation is marked done first, or
// aborted when a jump of the clock, such as a suspend, carried it past its end: it did not record
// to the end). Runs on the window thread, handed over by the monitor TickThread.
//
// Two hook points for the other pages, set by the window:
//   - BatchProgress: the batch page's progress step; runs at every tick while IsRemuxing is set,
//     whether or not a deck is usable, before the data information page is refreshed.
//   - WriteToDeckEndOfFile: the deck-writing page's end-of-file step; while IsWriting is set it is
//     the only thing the tick does. It needs a usable deck, like the recording steps.
// An unset hook does nothing.
#pragma once

#include <chrono>
#include <functional>
#include <optional>

#include "recording/recording_control.h"

namespace tessaline {

class MonitorTick {
  public:
    explicit MonitorTick(RecordingControl& control) : control_(control) {}

    std::function<void()> BatchProgress;
    std::function<void()> WriteToDeckEndOfFile;

    void Run();

    // A wall clock that moved this much more (or less) than the time that passed has jumped.
    static constexpr std::chrono::seconds kJumpTolerance{5};

  private:
    // Moves recorded_until_ on by what really passed since the last tick.
    void FollowClock(Instant now, bool recording);

    RecordingControl& control_;
    bool said_vanished_ = false;  // the recording's folder was deleted, and the person was told
    struct Reading {
        Instant at;
        std::chrono::milliseconds elapsed;
    };
    std::optional<Reading> last_;  // the clock at the last tick
    bool was_recording_ = false;
    Instant recorded_until_{};  // the moment the recording has really covered
};

}  // namespace tessaline
