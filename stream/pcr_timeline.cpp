// SPDX-License-Identifier: GPL-3.0-or-later
#include "stream/pcr_timeline.h"

#include <algorithm>
#include <cmath>

#include "stream/ts_format.h"

namespace tessaline {
namespace {

constexpr double kPcrHz = 27e6;
constexpr uint64_t kPcrWrap = (uint64_t{1} << 33) * 300;  // the 33-bit base times 300
constexpr double kBitsPerPacket = kTsPacketSize * 8.0;
// Arrival clocks: the IEEE 1394 cycle timer (8000 cycles of 3072 ticks a second) and a 30-bit
// count of 27 MHz.
constexpr uint32_t kCyclesPerSecond = 8000;
constexpr uint32_t kTicksPerCycle = 3072;
constexpr double kCycleTickHz = 24.576e6;
constexpr uint32_t kAtsMask = 0x3FFFFFFF;
// How fast the packet interval follows a changing rate, and how far one step may move it (a gap
// nobody noticed yet must not make every later packet look twice as long).
constexpr double kIntervalWeight = 0.25;
constexpr double kIntervalStepLimit = 2.0;
// Arrival and PCR clocks must have run side by side this long before their drift is trusted.
constexpr double kDriftBasis = 0.5;

uint32_t Be32(const uint8_t* p) noexcept {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

void PcrTimeline::Reset() {
    have_ = false;
    t_ = 0;
    last_pcr_ = 0;
    last_packet_ = 0;
    interval_ = 0;
    variation_ = 0;
    clock_ = ArrivalClock::None;
    headers_seen_ = 0;
    have_arrival_ = false;
    last_arrival_ = 0;
    sum_pcr_ = 0;
    sum_arrival_ = 0;
    max_deviation_ns_ = kNoTime;
    bits_.clear();
    bits_.reserve(4 * 3600);
}

void PcrTimeline::NoteHeader(const uint8_t* header) noexcept {
    if (headers_seen_ >= kHeadersToDecide) return;
    const uint32_t v = Be32(header);
    const uint32_t offset = v & 0xFFF;
    const uint32_t cycle = (v >> 12) & 0x1FFF;
    // One header that cannot be a cycle time settles it; otherwise enough that all were.
    if (offset >= kTicksPerCycle || cycle >= kCyclesPerSecond) {
        clock_ = ArrivalClock::Ats27;
        headers_seen_ = kHeadersToDecide;
        return;
    }
    if (++headers_seen_ == kHeadersToDecide) clock_ = ArrivalClock::Cycle;
}

double PcrTimeline::ArrivalPeriod() const noexcept {
    return clock_ == ArrivalClock::Cycle ? 1.0 : (double(kAtsMask) + 1) / kPcrHz;
}

bool PcrTimeline::ArrivalSeconds(const uint8_t* header, double& seconds) const noexcept {
    if (header == nullptr || clock_ == ArrivalClock::None) return false;
    const uint32_t v = Be32(header);
    if (clock_ == ArrivalClock::Cycle) {
        const uint32_t offset = v & 0xFFF;
        const uint32_t cycle = (v >> 12) & 0x1FFF;
        if (offset >= kTicksPerCycle || cycle >= kCyclesPerSecond) return false;
        seconds = (double(cycle) * kTicksPerCycle + offset) / kCycleTickHz;
        return true;
    }
    seconds = double(v & kAtsMask) / kPcrHz;
    return true;
}

void PcrTimeline::Spread(uint64_t packets, double from, double to) {
    if (packets == 0) return;
    const double bits = double(packets) * kBitsPerPacket;
    if (!(to > from)) {
        const size_t second = static_cast<size_t>(std::max(0.0, from));
        if (second < kMaxSeconds) {
            if (bits_.size() <= second) bits_.resize(second + 1, 0.0);
            bits_[second] += bits;
        }
        return;
    }
    const double per_second = bits / (to - from);
    for (double t = std::max(0.0, from); t < to;) {
        const size_t second = static_cast<size_t>(t);
        if (second >= kMaxSeconds) break;
        const double end = std::min(to, double(second + 1));
        if (bits_.size() <= second) bits_.resize(second + 1, 0.0);
        bits_[second] += per_second * (end - t);
        t = end;
    }
}

PcrTimeline::Step PcrTimeline::OnPcr(uint64_t pcr, uint64_t packet, bool discontinuity, bool loss,
                                     const uint8_t* header) {
    Step step;
    double arrival = 0;
    const bool have_arrival = ArrivalSeconds(header, arrival);
    if (!have_) {
        have_ = true;
        step.first = true;
        Spread(packet, 0, 0);  // what came before the first PCR counts into the first second
        last_pcr_ = pcr;
        last_packet_ = packet;
        have_arrival_ = have_arrival;
        last_arrival_ = arrival;
        return step;
    }
    const uint64_t packets = packet - last_packet_;
    const uint64_t delta = (pcr + kPcrWrap - last_pcr_) % kPcrWrap;
    const bool backwards = delta > kPcrWrap / 2;
    const double seconds = double(delta) / kPcrHz;
    const double expected = double(packets) * interval_;
    double advance = 0;
    bool clean = false;
    if (discontinuity || backwards || seconds > kMaxStep) {
        // A new time base: the packets count the time in between.
        step.discontinuity_error = !discontinuity;
        advance = expected;
    } else {
        step.interval = seconds;
        step.repetition_error = seconds > kRepetitionLimit;
        step.discontinuity_error = step.repetition_error;
        advance = seconds;
        if (interval_ > 0) {
            step.excess = std::max(0.0, seconds - expected);
            step.excess_packets = step.excess / interval_;
            step.noise = variation_ * expected;
        }
        if (!loss && packets > 0 && seconds > 0) {
            double now = seconds / double(packets);
            if (interval_ > 0) {
                now =
                    std::clamp(now, interval_ / kIntervalStepLimit, interval_ * kIntervalStepLimit);
                variation_ +=
                    kIntervalWeight * (std::fabs(now - interval_) / interval_ - variation_);
            }
            interval_ = interval_ == 0 ? now : interval_ + kIntervalWeight * (now - interval_);
            clean = !step.repetition_error;
        }
    }

    // Accuracy: the PCR step against the arrival stamps' step, their drift taken out.
    if (clean && have_arrival && have_arrival_) {
        const double period = ArrivalPeriod();
        double arrived = arrival - last_arrival_;
        if (arrived < 0) arrived += period;
        if (arrived > 0 && seconds < period / 2) {
            sum_pcr_ += seconds;
            sum_arrival_ += arrived;
            if (sum_arrival_ >= kDriftBasis) {
                const double drift = sum_pcr_ / sum_arrival_;
                const double deviation = (seconds - drift * arrived) * 1e9;
                step.deviation_ns = deviation;
                step.accuracy_error = std::fabs(deviation) > kAccuracyLimitNs;
                if (std::isnan(max_deviation_ns_) || std::fabs(deviation) > max_deviation_ns_) {
                    max_deviation_ns_ = std::fabs(deviation);
                }
            }
        }
    } else if (!clean) {
        sum_pcr_ = 0;
        sum_arrival_ = 0;
    }

    // The packets since the last PCR fill the end of the step; a gap before them stays empty.
    const double span = interval_ > 0 ? std::min(advance, double(packets) * interval_) : advance;
    Spread(packets, t_ + advance - span, t_ + advance);
    t_ += advance;
    last_pcr_ = pcr;
    last_packet_ = packet;
    have_arrival_ = have_arrival;
    last_arrival_ = arrival;
    return step;
}

double PcrTimeline::TimeOf(uint64_t packet) const noexcept {
    if (!have_) return kNoTime;
    if (packet < last_packet_) return t_;
    return t_ + double(packet - last_packet_) * interval_;
}

void PcrTimeline::Finish(uint64_t packets) {
    if (!have_ || packets <= last_packet_) return;
    const uint64_t tail = packets - last_packet_;
    Spread(tail, t_, t_ + double(tail) * interval_);
    t_ += double(tail) * interval_;
    last_packet_ = packets;
}

double PcrTimeline::Duration(uint64_t packets) const noexcept {
    if (!have_) return kNoTime;
    return TimeOf(packets);
}

}  // namespace tessaline
