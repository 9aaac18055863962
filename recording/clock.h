// SPDX-License-Identifier: GPL-3.0-or-later
// Time for recording control and the ticks, read from a clock that tests replace, so that hours of
// schedule run in milliseconds. Two kinds of time: a moment (Instant), which decisions compare, and
// the local wall-clock date-time it shows (DateTime), which the timetable stores and people read.
// Between the two stand the local zone's rules (TZ, else /etc/localtime): in the spring a local
// hour does not exist, in the autumn one is shown twice, and neither is a jump of the moment.
#pragma once

#include <chrono>
#include <cstdint>

#include "recording/date_pattern.h"

namespace tessaline {

// A local wall-clock date-time, millisecond resolution. Arithmetic is by durations.
using DateTime = std::chrono::local_time<std::chrono::milliseconds>;
// A moment, whatever the zone.
using Instant = std::chrono::sys_time<std::chrono::milliseconds>;

DateTime ToDateTime(const LocalDateTime& t);
LocalDateTime ToLocalDateTime(DateTime t);

// What the local clock shows at t.
DateTime ToLocal(Instant t);
// The moment a local time names. A time the clocks skip (the spring gap) names the first moment
// after it, when the clocks have gone forward; a time they show twice (the autumn hour) names the
// first of the two.
Instant ToInstant(DateTime t);

class Clock {
  public:
    virtual ~Clock() = default;
    virtual Instant NowInstant() = 0;
    // The local wall clock now.
    DateTime Now() { return ToLocal(NowInstant()); }
    // Time that only moves on while the computer runs (a suspend does not count) and never jumps:
    // against it, a jump of the wall clock shows.
    virtual std::chrono::milliseconds Elapsed() = 0;
    // Blocks the calling thread (the 3-second wait before a power action).
    virtual void Sleep(std::chrono::milliseconds span) = 0;
};

// The machine's clock.
class SystemClock final : public Clock {
  public:
    Instant NowInstant() override;
    std::chrono::milliseconds Elapsed() override;
    void Sleep(std::chrono::milliseconds span) override;
};

// A clock that moves only when told to; sleeping moves it by the time slept.
class ManualClock final : public Clock {
  public:
    explicit ManualClock(DateTime start) : now_(ToInstant(start)) {}
    Instant NowInstant() override { return now_; }
    std::chrono::milliseconds Elapsed() override { return elapsed_; }
    void Sleep(std::chrono::milliseconds span) override {
        Advance(span);
        slept_ += span;
    }
    // To the moment local time t names: time passing when it is later, the clock set back when
    // it is earlier.
    void Set(DateTime t) { SetInstant(ToInstant(t)); }
    void SetInstant(Instant t) {
        if (t > now_) elapsed_ += t - now_;
        now_ = t;
    }
    void Advance(std::chrono::milliseconds span) {
        now_ += span;
        elapsed_ += span;
    }
    // The wall clock jumps (the computer was suspended, the clock was set): nothing ran meanwhile.
    void Jump(std::chrono::milliseconds span) { now_ += span; }
    std::chrono::milliseconds Slept() const { return slept_; }

  private:
    Instant now_;
    std::chrono::milliseconds elapsed_{0};
    std::chrono::milliseconds slept_{0};
};

}  // namespace tessaline
