// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/ieee1394/gap_meter.h"

#include <algorithm>

#include "capture/ieee1394/cip.h"
#include "capture/source_packets.h"

namespace tessaline::fw {
namespace {

// A PCR step longer than this is a discontinuity (a new recording on the tape), not time; while
// an interruption is pending, a step may be as long as the interruption has lasted, and more.
constexpr double kLongestStepSeconds = 1.0;
constexpr double kInterruptionSlackSeconds = 5.0;
// PCRs count modulo 2^33 * 300.
constexpr uint64_t kPcrModulus = (uint64_t{1} << 33) * 300;

}  // namespace

void GapMeter::Interrupted(const std::string& cause, Clock::time_point now) {
    if (!pending_) {
        pending_ = true;
        cause_ = cause;
        since_ = now;
    }
    restored_ = false;
    normal_since_restored_ = 0;
}

std::optional<StreamGap> GapMeter::Finish(Clock::time_point now) {
    if (!pending_ || restored_) return std::nullopt;
    pending_ = false;
    const double lost = std::chrono::duration<double>(now - since_).count();
    if (lost < kSmallestGapSeconds) return std::nullopt;
    return StreamGap{recorded_seconds_, lost, cause_};
}

std::optional<StreamGap> GapMeter::Take(const uint8_t* data, size_t bytes) {
    std::optional<StreamGap> gap;
    for (size_t at = 0; at + kSourcePacketBytes <= bytes; at += kSourcePacketBytes) {
        uint16_t pid = 0;
        uint64_t pcr = 0;
        if (!ReadPcr(data + at + kSphBytes, pid, pcr) || (pcr_pid_ >= 0 && pid != pcr_pid_)) {
            ++packets_since_pcr_;
            continue;
        }
        pcr_pid_ = pid;
        const double packets = static_cast<double>(packets_since_pcr_ + 1);
        packets_since_pcr_ = 0;
        const double step =
            static_cast<double>((pcr + kPcrModulus - last_pcr_) % kPcrModulus) / kPcrHz;
        const bool first = !have_pcr_;
        have_pcr_ = true;
        last_pcr_ = pcr;
        if (first) continue;
        const double interrupted_for =
            pending_ ? std::chrono::duration<double>(Clock::now() - since_).count() : 0;
        const double longest =
            pending_ ? std::max(kLongestStepSeconds, interrupted_for + kInterruptionSlackSeconds)
                     : kLongestStepSeconds;
        if (step <= 0 || step >= longest) continue;  // a discontinuity: measure from here on
        const double expected = packets * seconds_per_packet_;
        if (pending_ && seconds_per_packet_ > 0 && step - expected >= kSmallestGapSeconds) {
            // The packets between the two PCRs take `expected`; the rest of the step the deck
            // played while nothing reached us.
            gap = StreamGap{recorded_seconds_, step - expected, cause_};
            recorded_seconds_ += expected;
            pending_ = false;
            continue;
        }
        recorded_seconds_ += step;
        seconds_per_packet_ = step / packets;
        if (pending_ && restored_) {
            normal_since_restored_ += step;
            if (normal_since_restored_ >= kSettledSeconds) pending_ = false;
        }
    }
    return gap;
}

}  // namespace tessaline::fw
