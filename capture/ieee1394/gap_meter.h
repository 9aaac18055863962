// SPDX-License-Identifier: GPL-3.0-or-later
// How much of a deck's stream a recording missed across an interruption (a bus reset, the deck
// off the bus, a quiet spell), measured by the stream's own clock, its PCRs, so that the answer
// is the tape time lost whatever the bus and the computer were doing meanwhile: the first step
// between two PCRs after the interruption that is longer than the packets between them take is
// where the loss is, and by how much it is longer is how much was lost. Packets that were
// waiting in the receive buffer before the interruption may still come after it is noticed, so
// an interruption is settled only once the stream has run normally for a while after the
// connection came back. A stream without PCRs cannot be measured.
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
    // Normal stream after the connection came back that settles an interruption as harmless.
    static constexpr double kSettledSeconds = 1.5;

    // The 192-byte source packets delivered to the recording, in order. Returns the gap found
    // here, if any.
    std::optional<StreamGap> Take(const uint8_t* source_packets, size_t bytes);

    // The stream was interrupted (now); the cause of the first of several counts.
    void Interrupted(const std::string& cause, Clock::time_point now);
    // What the interruption turned out to be (the deck was not on the bus after all).
    void SetCause(const std::string& cause) {
        if (pending_) cause_ = cause;
    }
    // The connection is back.
    void Restored() noexcept { restored_ = true; }

    // The recording ends: an interruption the connection never came back from is a loss from
    // where it began to now (by the wall clock, the stream having said nothing since).
    std::optional<StreamGap> Finish(Clock::time_point now);

    // Seconds of stream recorded so far, by the PCRs.
    double recorded_seconds() const noexcept { return recorded_seconds_; }
    bool pending() const noexcept { return pending_; }

  private:
    int pcr_pid_ = -1;
    bool have_pcr_ = false;
    uint64_t last_pcr_ = 0;           // 27 MHz
    uint64_t packets_since_pcr_ = 0;  // packets taken after the last PCR
    double seconds_per_packet_ = 0;   // from the last normal PCR step
    double recorded_seconds_ = 0;

    bool pending_ = false;
    bool restored_ = false;
    double normal_since_restored_ = 0;
    std::string cause_;
    Clock::time_point since_{};
};

}  // namespace tessaline::fw
