// SPDX-License-Identifier: GPL-3.0-or-later
#include "stream/dropout_tracker.h"

#include <algorithm>
#include <cmath>

namespace tessaline {

void DropoutTracker::Reset() noexcept {
    open_ = false;
}

void DropoutTracker::Begin(const EventPlace& at) {
    if (open_) return;
    open_ = true;
    current_ = Dropout{};
    current_.at = at;
    last_time_ = at.stream;
    last_packet_ = at.packet;
    gap_ = 0;
    gap_packets_ = 0;
    counter_lost_ = 0;
    capture_lost_ = 0;
    video_ = false;
    pictures_hit_ = 0;
    gops_hit_ = 0;
}

void DropoutTracker::Add(Sign sign, const EventPlace& at, bool video, VideoPosition where,
                         uint64_t lost) {
    Begin(at);
    last_time_ = at.stream;
    last_packet_ = at.packet;
    (sign == Sign::CaptureGap ? capture_lost_ : counter_lost_) += lost;
    if (sign == Sign::Continuity) ++current_.cc_errors;
    if (sign == Sign::Damaged) ++current_.damaged_packets;
    if (video) HitVideo(where);
}

void DropoutTracker::AddGap(double seconds, uint64_t packets, VideoPosition where) {
    if (!open_) return;
    gap_ += seconds;
    gap_packets_ += packets;
    HitVideo(where);
}

void DropoutTracker::HitVideo(VideoPosition where) {
    if (!video_ || where.picture != last_.picture) ++pictures_hit_;
    if (!video_ || where.gop != last_.gop) ++gops_hit_;
    video_ = true;
    last_ = where;
}

bool DropoutTracker::AttachToLast(double since, StreamAnalysis& out) {
    if (open_ || out.dropouts.empty() || !std::isfinite(since)) return false;
    Dropout& last = out.dropouts.back();
    if (!(last.at.stream >= since)) return false;
    ++last.cc_errors;
    return true;
}

Dropout DropoutTracker::Build(const Context& c) const {
    Dropout d = current_;
    d.video = video_;
    // The best measure there is: the capture's count, else the clock, else the counters' steps.
    d.packets_lost = std::max({capture_lost_, gap_packets_, counter_lost_});
    d.lost_from = d.packets_lost == 0               ? LossMeasure::None
                  : d.packets_lost == capture_lost_ ? LossMeasure::Capture
                  : d.packets_lost == gap_packets_  ? LossMeasure::Clock
                                                    : LossMeasure::Counters;
    d.duration = gap_;
    if (d.duration == 0 && d.packets_lost > gap_packets_ && c.packet_interval > 0) {
        d.duration = double(d.packets_lost) * c.packet_interval;
    }
    if (video_) {
        // The pictures a sign landed in, and those whose packets all went missing.
        const double missing = c.frame_rate > 0 ? std::round(d.duration * c.frame_rate) : 0;
        const double gops_missing =
            c.pictures_per_gop > 0 ? std::floor(missing / c.pictures_per_gop) : 0;
        d.pictures = pictures_hit_ + static_cast<uint32_t>(std::min(missing, 1e9));
        d.gops = gops_hit_ + static_cast<uint32_t>(std::min(gops_missing, 1e9));
    }
    return d;
}

void DropoutTracker::Tick(double now, uint64_t packet, const Context& c, StreamAnalysis& out) {
    if (!open_) return;
    const bool timed = !std::isnan(now) && !std::isnan(last_time_);
    if (timed ? now - last_time_ <= kMergeWindow : packet - last_packet_ <= kMergePackets) return;
    Close(c, out);
}

void DropoutTracker::Close(const Context& c, StreamAnalysis& out) {
    if (!open_) return;
    open_ = false;
    const Dropout d = Build(c);
    out.packets_lost += d.packets_lost;
    out.damaged_packets += d.damaged_packets;
    if (out.dropouts.size() < kMaxListed) {
        out.dropouts.push_back(d);
    } else {
        ++out.dropouts_not_listed;
    }
}

bool DropoutTracker::Peek(const Context& c, Dropout& out) const {
    if (!open_) return false;
    out = Build(c);
    return true;
}

}  // namespace tessaline
