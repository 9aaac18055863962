// SPDX-License-Identifier: GPL-3.0-or-later
// Gathers the signs of loss (continuity errors, damaged packets, lost sync, breaks in the capture's
// block counter) into dropouts: time ranges with the packets lost and the pictures and GOPs they
// touch. Signs less than half a second of stream apart belong to the same dropout.
#pragma once

#include <cstdint>

#include "stream/stream_analysis.h"

namespace tessaline {

class DropoutTracker {
  public:
    static constexpr double kMergeWindow = 0.5;  // seconds of stream
    // Without a stream clock, signs this many packets apart still belong together.
    static constexpr uint64_t kMergePackets = 2000;
    static constexpr size_t kMaxListed = 2000;

    enum class Sign { Continuity, Damaged, SyncLoss, CaptureGap };

    // Where the video stands when a sign arrives: the picture and GOP in progress.
    struct VideoPosition {
        uint64_t picture = 0;
        uint64_t gop = 0;
    };

    void Reset() noexcept;
    // Opens a dropout at `at` without a sign of its own: the stream's clock jumped there, and a
    // sign that follows soon belongs to it. A dropout already open is left as it is.
    void Begin(const EventPlace& at);
    // One sign at `at`; `video`: it hit the video stream; `lost`: packets known to be missing
    // (the continuity counter's step, or for a capture gap the capture's block count).
    void Add(Sign sign, const EventPlace& at, bool video, VideoPosition where, uint64_t lost);
    // A continuity error on a PID last seen at `since` (stream time): when no dropout is open
    // and the last one closed began after `since`, the error is that dropout's, told late, and
    // is counted there. False when it is news.
    bool AttachToLast(double since, StreamAnalysis& out);
    // Stream time the clock says the loss took out (only while a dropout is open). Every stream
    // lost its share of it, the video with its picture in progress at `where`.
    void AddGap(double seconds, uint64_t packets, VideoPosition where);
    bool open() const noexcept { return open_; }

    struct Context {
        double packet_interval = 0;  // seconds per packet; 0 when not known
        double frame_rate = 0;
        double pictures_per_gop = 0;
    };
    // Closes the open dropout once the stream has gone on without loss for the merge window.
    void Tick(double now, uint64_t packet, const Context& context, StreamAnalysis& out);
    // Closes the open dropout, if any.
    void Close(const Context& context, StreamAnalysis& out);
    // The open dropout as it stands, for a view of a running analysis; false when none is open.
    bool Peek(const Context& context, Dropout& out) const;

  private:
    Dropout Build(const Context& context) const;
    void HitVideo(VideoPosition where);

    bool open_ = false;
    Dropout current_;
    double last_time_ = kNoTime;
    uint64_t last_packet_ = 0;
    double gap_ = 0;
    uint64_t gap_packets_ = 0;
    uint64_t counter_lost_ = 0;  // continuity steps: a lower bound
    uint64_t capture_lost_ = 0;  // the capture's block counter
    bool video_ = false;
    VideoPosition last_{};
    uint32_t pictures_hit_ = 0;  // distinct pictures and GOPs a sign landed in
    uint32_t gops_hit_ = 0;
};

}  // namespace tessaline
