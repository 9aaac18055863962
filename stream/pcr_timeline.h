// SPDX-License-Identifier: GPL-3.0-or-later
// The stream's own clock, from the PCRs of one PID: the time of every packet (interpolated between
// PCRs at the packet rate seen so far), the time a loss took out of the stream, the bits of each
// second, and the PCR checks: repetition (more than 100 ms between PCRs), discontinuity (a step
// outside 0..100 ms without the discontinuity indicator) and accuracy against the arrival stamps
// of 192-byte packets (more than 500 ns off).
#pragma once

#include <cstdint>
#include <vector>

#include "stream/stream_analysis.h"

namespace tessaline {

class PcrTimeline {
  public:
    static constexpr double kRepetitionLimit = 0.100;  // seconds
    static constexpr double kAccuracyLimitNs = 500;
    // A forward step larger than this is a new time base, not a gap in the same one.
    static constexpr double kMaxStep = 10.0;
    // The bit rate is kept per second for this long; a longer stream keeps its totals only.
    static constexpr size_t kMaxSeconds = 48 * 3600;

    PcrTimeline() { Reset(); }
    void Reset();

    struct Step {
        bool first = false;
        bool repetition_error = false;
        bool discontinuity_error = false;
        bool accuracy_error = false;
        double deviation_ns = kNoTime;  // from the arrival stamps, when measured
        // Seconds the packets since the last PCR cannot account for at the rate seen so far: a
        // loss, or only a change of rate.
        double excess = 0;
        double excess_packets = 0;  // the same in packets, at the rate before this step
        // How far the packets' time strays by itself in this stream: a multiplexer that varies
        // its rate makes excess without any loss.
        double noise = 0;
        double interval = 0;  // seconds since the last PCR, as the PCRs say
    };

    // A PCR (27 MHz units, base * 300 + extension) in packet number `packet` (counted from 0).
    // `discontinuity`: the packet's discontinuity indicator; `loss`: packets were lost or damaged
    // since the last PCR (the step then teaches nothing about the rate or the arrival clock);
    // `header`: the packet's arrival header, or nullptr.
    Step OnPcr(uint64_t pcr, uint64_t packet, bool discontinuity, bool loss, const uint8_t* header);
    // Learns the arrival header format from the first 192-byte packets.
    void NoteHeader(const uint8_t* header) noexcept;
    bool header_format_known() const noexcept { return headers_seen_ >= kHeadersToDecide; }

    // Seconds from the first PCR; NaN before it.
    double TimeOf(uint64_t packet) const noexcept;
    bool known() const noexcept { return have_; }
    double packet_interval() const noexcept { return interval_; }

    // Puts the packets after the last PCR into the bit rate; `packets` is the total.
    void Finish(uint64_t packets);
    // The stream's length in seconds for `packets` packets in all (NaN without a PCR).
    double Duration(uint64_t packets) const noexcept;
    const std::vector<double>& bits_per_second() const noexcept { return bits_; }
    ArrivalClock arrival_clock() const noexcept { return clock_; }
    double max_deviation_ns() const noexcept { return max_deviation_ns_; }

  private:
    static constexpr int kHeadersToDecide = 64;

    void Spread(uint64_t packets, double from, double to);
    // Seconds in the arrival header's clock, within its wrap period; false when not usable.
    bool ArrivalSeconds(const uint8_t* header, double& seconds) const noexcept;
    double ArrivalPeriod() const noexcept;

    bool have_ = false;
    double t_ = 0;  // stream time of the last PCR
    uint64_t last_pcr_ = 0;
    uint64_t last_packet_ = 0;
    double interval_ = 0;   // seconds per packet; 0 until two PCRs were seen
    double variation_ = 0;  // how much one step's rate strays from interval_, as a share

    ArrivalClock clock_ = ArrivalClock::None;
    int headers_seen_ = 0;
    bool have_arrival_ = false;
    double last_arrival_ = 0;
    double sum_pcr_ = 0;      // seconds of clean PCR steps and of arrival time since the
    double sum_arrival_ = 0;  // last reset, for the drift between the two clocks
    double max_deviation_ns_ = kNoTime;

    std::vector<double> bits_;
};

}  // namespace tessaline
