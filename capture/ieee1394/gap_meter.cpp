// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/ieee1394/gap_meter.h"

#include "capture/ieee1394/cip.h"
#include "capture/source_packets.h"

namespace tessaline::fw {
namespace {

// A PCR step longer than this is a discontinuity (a new recording on the tape), not time.
constexpr double kLongestStepSeconds = 1.0;
// A PCR-measured loss this much longer than the wall clock saw is not believed either.
constexpr double kWallSlackSeconds = 5.0;

}  // namespace

void GapMeter::Interrupted(const std::string& cause) {
    // Nothing recorded yet: nothing can be said to be missing from the recording.
    if (interrupted_ || !have_data_) return;
    interrupted_ = true;
    cause_ = cause;
    break_have_pcr_ = have_pcr_;
    break_pcr_ = last_pcr_;
    break_at_ = recorded_seconds_ + static_cast<double>(packets_since_pcr_) * seconds_per_packet_;
    break_wall_ = last_data_;
    wall_pending_ = true;
}

std::optional<StreamGap> GapMeter::Resolve(uint64_t pcr, bool have_pcr) {
    interrupted_ = false;
    const double wall = std::chrono::duration<double>(resumed_wall_ - break_wall_).count();
    double lost = wall;
    if (have_pcr && break_have_pcr_ && pcr > break_pcr_ && seconds_per_packet_ > 0) {
        // Everything received between the two PCRs took its usual time; the rest is what the
        // deck played while nothing reached us.
        const double received = static_cast<double>(packets_since_pcr_ + 1) * seconds_per_packet_;
        const double by_pcr = static_cast<double>(pcr - break_pcr_) / kPcrHz - received;
        if (by_pcr < wall + kWallSlackSeconds) lost = by_pcr;
        recorded_seconds_ += received;
    }
    if (lost < kSmallestGapSeconds) return std::nullopt;
    return StreamGap{break_at_, lost, cause_};
}

std::optional<StreamGap> GapMeter::Take(const uint8_t* data, size_t bytes, Clock::time_point now) {
    std::optional<StreamGap> gap;
    for (size_t at = 0; at + kSourcePacketBytes <= bytes; at += kSourcePacketBytes) {
        const uint8_t* ts = data + at + kSphBytes;
        if (interrupted_ && wall_pending_) {
            wall_pending_ = false;
            resumed_wall_ = now;
            // Without PCRs before the break, the wall clock is all there is: settle it now.
            if (!break_have_pcr_) gap = Resolve(0, false);
        }
        uint16_t pid = 0;
        uint64_t pcr = 0;
        const bool has_pcr = ReadPcr(ts, pid, pcr) && (pcr_pid_ < 0 || pid == pcr_pid_);
        if (!has_pcr) {
            ++packets_since_pcr_;
            continue;
        }
        pcr_pid_ = pid;
        if (interrupted_) {
            gap = Resolve(pcr, true);
        } else if (have_pcr_ && pcr > last_pcr_) {
            const double step = static_cast<double>(pcr - last_pcr_) / kPcrHz;
            if (step < kLongestStepSeconds) {
                recorded_seconds_ += step;
                seconds_per_packet_ = step / static_cast<double>(packets_since_pcr_ + 1);
            }
        }
        have_pcr_ = true;
        last_pcr_ = pcr;
        packets_since_pcr_ = 0;
    }
    if (bytes >= kSourcePacketBytes) {
        have_data_ = true;
        last_data_ = now;
    }
    return gap;
}

}  // namespace tessaline::fw
