// SPDX-License-Identifier: GPL-3.0-or-later
// How much of a deck's stream a recording missed across an interruption (a bus reset, the deck
// off the bus, a quiet spell): measured by the stream's own clock, its PCRs, so that the answer
// is the tape time lost whatever the bus and the computer were doing meanwhile. Without PCRs the
// wall clock between the last packet before and the first after stands in.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "capture/deck_driver.h"

namespace tessaline::fw {

class GapMeter {
  public:
    using Clock = std::chrono::steady_clock;

    // Shorter losses are taken for the jitter of the PCRs, not reported.
    static constexpr double kSmallestGapSeconds = 0.05;

    // The 192-byte source packets delivered to the recording, in order, and when they came.
    // Returns the gap that ends here, if an interruption was pending and something was lost.
    std::optional<StreamGap> Take(const uint8_t* source_packets, size_t bytes,
                                  Clock::time_point now);

    // The stream was interrupted after what was taken so far. Only the first call of one
    // interruption counts; the next data ends it.
    void Interrupted(const std::string& cause);

    // Seconds of stream recorded so far, by the PCRs (forward steps under a second).
    double recorded_seconds() const noexcept { return recorded_seconds_; }
    bool interrupted() const noexcept { return interrupted_; }

  private:
    std::optional<StreamGap> Resolve(uint64_t pcr, bool have_pcr);

    int pcr_pid_ = -1;
    bool have_pcr_ = false;
    uint64_t last_pcr_ = 0;           // 27 MHz
    uint64_t packets_since_pcr_ = 0;  // packets taken after the last PCR
    double seconds_per_packet_ = 0;   // from the last normal PCR step
    double recorded_seconds_ = 0;
    bool have_data_ = false;
    Clock::time_point last_data_{};

    bool interrupted_ = false;
    std::string cause_;
    // At the interruption: the last PCR, where the recording was, the time of the last data.
    bool break_have_pcr_ = false;
    uint64_t break_pcr_ = 0;
    double break_at_ = 0;
    Clock::time_point break_wall_{};
    bool wall_pending_ = false;  // the first data after the break has not come yet
    Clock::time_point resumed_wall_{};
};

}  // namespace tessaline::fw
