// Time for recording control and the ticks: local wall-clock date-times with millisecond
// resolution, read from a clock that tests replace, so that hours of schedule run in milliseconds.
#pragma once

#include <chrono>
#include <cstdint>

#include "recording/date_pattern.h"

namespace tessaline {

// A local wall-clock date-time. Arithmetic is by durations (std::chrono::minutes{10}, ...).
using DateTime = std::chrono::local_time<std::chrono::milliseconds>;

DateTime ToDateTime(const LocalDateTime& t);
LocalDateTime ToLocalDateTime(DateTime t);

class Clock {
  public:
    virtual ~Clock() = default;
    virtual DateTime Now() = 0;
    // Blocks the calling thread (the 3-second wait before a power action).
    virtual void Sleep(std::chrono::milliseconds span) = 0;
};

// The machine's clock in its local time zone.
class SystemClock final : public Clock {
  public:
    DateTime Now() override;
    void Sleep(std::chrono::milliseconds span) override;
};

// A clock that moves only when told to; sleeping moves it by the time slept.
class ManualClock final : public Clock {
  public:
    explicit ManualClock(DateTime start) : now_(start) {}
    DateTime Now() override { return now_; }
    void Sleep(std::chrono::milliseconds span) override {
        now_ += span;
        slept_ += span;
    }
    void Set(DateTime t) { now_ = t; }
    void Advance(std::chrono::milliseconds span) { now_ += span; }
    std::chrono::milliseconds Slept() const { return slept_; }

  private:
    DateTime now_;
    std::chrono::milliseconds slept_{0};
};

}  // namespace tessaline
