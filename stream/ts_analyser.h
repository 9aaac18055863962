// SPDX-License-Identifier: GPL-3.0-or-later
// The transport stream analyser: fed a recording's bytes as they come (live from the capture
// path, or from a file), it runs the first-priority checks of ETSI TR 101 290 and the
// second-priority ones that fit a recording, places every event in stream time, byte offset,
// wall-clock time and tape position, gathers losses into dropouts and keeps the bit rate of every
// second. Nothing is allocated per packet; it never stops a stream, whatever the bytes hold.
//
// Continuity is counted as TR 101 290 1.4 defines it: per PID, only packets that carry a payload,
// null packets left out, one duplicate packet allowed, a discontinuity indicator honoured; a run
// of lost packets on one PID is one error.
//
// One thread feeds it. Another may follow a running analysis through RequestSnapshot and
// TakeSnapshot: the feeding thread copies the figures at the end of its next Feed, so neither
// waits for the other. The capture side's events (capture_events()) may come from any thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "stream/capture_event_queue.h"
#include "stream/dropout_tracker.h"
#include "stream/pcr_timeline.h"
#include "stream/psi_sections.h"
#include "stream/stream_analysis.h"
#include "stream/ts_packetiser.h"

namespace tessaline {

class TsAnalyser {
  public:
    // A table (PAT, each PMT) missing for longer than this is an error.
    static constexpr double kTableInterval = 0.5;
    // A video or audio stream of the PMT missing for longer than this is a PID error.
    static constexpr double kPidInterval = 1.0;
    // More than this between two PTS of one stream is a PTS error.
    static constexpr double kPtsInterval = 0.7;
    // Events of one kind on one PID closer than this are listed as one entry.
    static constexpr double kMergeEvents = 1.0;
    static constexpr size_t kMaxListedEvents = 2000;

    // packet_size: 188 or 192 when known (a file already probed), 0 to find out.
    explicit TsAnalyser(int packet_size = 0);
    TsAnalyser(const TsAnalyser&) = delete;
    TsAnalyser& operator=(const TsAnalyser&) = delete;

    // Starts a new analysis. Not while another thread feeds.
    void Reset(int packet_size = 0);
    // Bytes as they arrived, in pieces of any size. wall_ms: when they were received.
    void Feed(const uint8_t* bytes, size_t count, int64_t wall_ms = kNoWallClock);
    // Ends the analysis: open dropouts are closed and the totals made.
    void Finish();
    // Everything found so far; complete after Finish. Only for the feeding thread, or once
    // feeding has stopped.
    StreamAnalysis Result() const;
    const StreamAnalysis& finished() const noexcept { return out_; }

    // Asks the feeding thread for a copy of the figures; TakeSnapshot gives it once made. A new
    // analysis has one asked for already.
    void RequestSnapshot() noexcept;
    bool TakeSnapshot(StreamAnalysis& out);

    // Where the capture side reports what the stream cannot tell.
    CaptureEvents& capture_events() noexcept { return capture_; }

    // The packetiser's callbacks.
    void Packet(const uint8_t* ts, const uint8_t* header, uint64_t offset);
    void SyncByteError(uint64_t offset);
    void SyncLost(uint64_t offset);

  private:
    enum class Kind : uint8_t { None, Pat, Pmt, Si, Video, Audio, OtherEs };
    struct PidState {
        double last_seen = kNoTime;  // stream time of the latest packet
        double last_pts = kNoTime;   // stream time of the last PTS
        Kind kind = Kind::None;
        int8_t section_slot = -1;
        uint8_t cc = 0;
        bool have_cc = false;
        uint8_t duplicates = 0;
        bool late = false;  // a PID or PTS error is open (once per event)
        bool pts_late = false;
    };
    struct TableWatch {
        uint16_t pid = kNoPid;
        double last = 0;
        bool late = false;
    };
    static constexpr int kMaxSectionPids = 24;
    static constexpr int kMaxWatched = kMaxPrograms * kMaxStreams;

    EventPlace Here(uint64_t offset) const noexcept;  // the packet being read
    EventPlace Next() const noexcept;                 // the packet to come
    void Record(Check check, uint16_t pid, const EventPlace& at, int64_t value = 0,
                uint32_t times = 1);
    void Continuity(const uint8_t* ts, uint16_t pid, PidState& s, bool discontinuity,
                    double previous, uint64_t offset);
    void Pcr(uint16_t pid, uint64_t pcr, bool discontinuity, const uint8_t* header,
             uint64_t offset);
    void Section(uint16_t pid, const uint8_t* section, size_t length, uint64_t offset);
    void TableArrived(TableWatch& watch, Check check, uint64_t offset);
    void OnPat(const PatTable& pat);
    void OnPmt(uint16_t pid, const PmtTable& pmt);
    void RebuildWatchedStreams();
    void PesStart(const uint8_t* payload, int length, uint16_t pid, PidState& s, uint64_t offset);
    void CheckIntervals(uint64_t offset);
    void ApplyCaptureEvents();
    int SectionSlot(uint16_t pid);
    void Evidence(DropoutTracker::Sign sign, uint16_t pid, const EventPlace& at, uint64_t lost);
    DropoutTracker::Context DropoutContext() const noexcept;
    void Summarise(StreamAnalysis& out) const;

    TsPacketiser packetiser_;
    PcrTimeline timeline_;
    DropoutTracker dropouts_;
    StreamAnalysis out_;

    std::array<PidState, 8192> pids_{};
    std::array<SectionAssembler, kMaxSectionPids> sections_{};
    std::array<uint16_t, kMaxSectionPids> section_pid_{};
    int section_count_ = 0;

    PatTable pat_;
    std::array<PmtTable, kMaxPrograms> pmts_{};  // the last PMT of each program
    TableWatch pat_watch_;
    std::array<TableWatch, kMaxPrograms> pmt_watch_{};
    int pmt_watch_count_ = 0;
    std::array<uint16_t, kMaxWatched> watched_es_{};
    int watched_es_count_ = 0;
    uint16_t pcr_pid_ = kNoPid;
    bool loss_since_pcr_ = false;
    EventPlace last_pcr_place_;
    // A jump of the clock not yet explained by a sign of loss.
    struct PendingGap {
        bool waiting = false;
        EventPlace start;  // the PCR before the jump
        double end = 0;    // stream time of the PCR after it
        double seconds = 0;
        uint64_t packets = 0;
        DropoutTracker::VideoPosition where;
    } gap_;

    int64_t wall_ms_ = kNoWallClock;
    double tape_ = kNoTime;
    CaptureEventQueue capture_;

    enum : int { kSnapshotIdle, kSnapshotRequested, kSnapshotReady };
    std::atomic<int> snapshot_state_{kSnapshotIdle};
    StreamAnalysis snapshot_;
};

}  // namespace tessaline
