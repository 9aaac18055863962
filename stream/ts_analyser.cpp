// SPDX-License-Identifier: GPL-3.0-or-later
#include "stream/ts_analyser.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "stream/es_headers.h"
#include "stream/ts_format.h"

namespace tessaline {
namespace {

// PSI that every stream may carry besides the PAT: CAT, NIT, SDT/BAT, EIT, RST, TDT/TOT, and the
// selection information table of a partial stream (as a deck records a broadcast).
constexpr uint16_t kSiPids[] = {kPidCat, 0x10, 0x11, 0x12, 0x13, 0x14, 0x1F};
// Packets' time a PCR step must leave unexplained to count as a gap; the share of the step a jump
// must be to wait for a sign of loss, and how long it waits.
constexpr double kGapPackets = 3;
constexpr double kJumpShare = 0.5;
constexpr double kJumpWait = 0.1;
constexpr double kNoiseMargin = 3;
// Earlier events of the same kind searched for one to merge with.
constexpr size_t kMergeLookBack = 16;

int64_t Milliseconds(double seconds) {
    return std::isfinite(seconds) ? static_cast<int64_t>(std::llround(seconds * 1000)) : 0;
}

// Events that say how far apart something was keep the largest; counts of packets add up.
bool KeepsLargest(Check c) {
    return c == Check::Pat || c == Check::Pmt || c == Check::Pid || c == Check::Pts ||
           c == Check::PcrRepetition || c == Check::PcrDiscontinuity || c == Check::PcrAccuracy;
}

}  // namespace

TsAnalyser::TsAnalyser(int packet_size) {
    Reset(packet_size);
}

void TsAnalyser::Reset(int packet_size) {
    packetiser_.Reset(packet_size);
    timeline_.Reset();
    dropouts_.Reset();
    out_ = StreamAnalysis{};
    out_.events.reserve(kMaxListedEvents);
    out_.dropouts.reserve(DropoutTracker::kMaxListed);
    pids_.fill(PidState{});
    for (SectionAssembler& s : sections_) s.Break();
    section_count_ = 0;
    pids_[kPidPat].kind = Kind::Pat;
    SectionSlot(kPidPat);
    for (const uint16_t pid : kSiPids) {
        pids_[pid].kind = Kind::Si;
        SectionSlot(pid);
    }
    pat_ = PatTable{};
    pat_.count = -1;  // none yet
    pmts_.fill(PmtTable{});
    pat_watch_ = TableWatch{kPidPat, 0, false};
    pmt_watch_count_ = 0;
    watched_es_count_ = 0;
    pcr_pid_ = kNoPid;
    loss_since_pcr_ = false;
    last_pcr_place_ = EventPlace{};
    gap_ = PendingGap{};
    wall_ms_ = kNoWallClock;
    tape_ = kNoTime;
    capture_.Clear();
    // The first figures are wanted as soon as there are any: a report can say at once that the
    // recording runs, even when its stream stops before anyone asks.
    snapshot_state_ = kSnapshotRequested;
}

int TsAnalyser::SectionSlot(uint16_t pid) {
    PidState& s = pids_[pid];
    if (s.section_slot >= 0) return s.section_slot;
    if (section_count_ == kMaxSectionPids) return -1;
    s.section_slot = static_cast<int8_t>(section_count_);
    section_pid_[static_cast<size_t>(section_count_)] = pid;
    sections_[static_cast<size_t>(section_count_)].Break();
    return section_count_++;
}

EventPlace TsAnalyser::Here(uint64_t offset) const noexcept {
    EventPlace p;
    p.packet = out_.packets > 0 ? out_.packets - 1 : 0;
    p.stream = timeline_.TimeOf(p.packet);
    p.offset = offset;
    p.wall_ms = wall_ms_;
    p.tape = tape_;
    return p;
}

EventPlace TsAnalyser::Next() const noexcept {
    EventPlace p = Here(packetiser_.bytes_fed());
    p.packet = out_.packets;
    return p;
}

void TsAnalyser::Record(Check check, uint16_t pid, const EventPlace& at, int64_t value,
                        uint32_t times) {
    out_.counts[static_cast<size_t>(check)] += times;
    const size_t n = out_.events.size();
    for (size_t i = n; i > 0 && n - i < kMergeLookBack; --i) {
        AnalysisEvent& e = out_.events[i - 1];
        if (e.check != check || e.pid != pid) continue;
        const bool near = std::isnan(at.stream) || std::isnan(e.last_stream)
                              ? at.packet - e.at.packet < DropoutTracker::kMergePackets
                              : at.stream - e.last_stream <= kMergeEvents;
        if (!near) break;
        e.count += times;
        e.last_stream = at.stream;
        e.value = KeepsLargest(check) ? std::max(std::llabs(e.value), std::llabs(value))
                                      : e.value + value;
        return;
    }
    if (n == kMaxListedEvents) {
        out_.events_not_listed += times;
        return;
    }
    AnalysisEvent e;
    e.check = check;
    e.pid = pid;
    e.count = times;
    e.at = at;
    e.last_stream = at.stream;
    e.value = value;
    out_.events.push_back(e);
}

void TsAnalyser::Evidence(DropoutTracker::Sign sign, uint16_t pid, const EventPlace& at,
                          uint64_t lost) {
    if (gap_.waiting && !dropouts_.open()) {
        // The clock jumped just before: the loss began there.
        if (std::isnan(at.stream) || at.stream - gap_.end <= kJumpWait) {
            dropouts_.Begin(gap_.start);
            dropouts_.AddGap(gap_.seconds, gap_.packets, gap_.where);
        }
        gap_.waiting = false;
    }
    const bool video = (pid != kNoPid && pid == out_.video_pid) ||
                       sign == DropoutTracker::Sign::SyncLoss ||
                       sign == DropoutTracker::Sign::CaptureGap;
    dropouts_.Add(sign, at, video, {out_.pictures, out_.gops}, lost);
    loss_since_pcr_ = true;
}

DropoutTracker::Context TsAnalyser::DropoutContext() const noexcept {
    DropoutTracker::Context c;
    c.packet_interval = timeline_.packet_interval();
    c.frame_rate = out_.video.frame_rate;
    c.pictures_per_gop = out_.gops > 1 ? double(out_.pictures) / double(out_.gops) : 0;
    return c;
}

void TsAnalyser::Feed(const uint8_t* bytes, size_t count, int64_t wall_ms) {
    wall_ms_ = wall_ms;
    if (wall_ms != kNoWallClock) {
        if (out_.wall_start_ms == kNoWallClock) out_.wall_start_ms = wall_ms;
        out_.wall_end_ms = wall_ms;
    }
    ApplyCaptureEvents();
    if (bytes != nullptr && count != 0) packetiser_.Feed(bytes, count, *this);
    if (snapshot_state_.load(std::memory_order_acquire) == kSnapshotRequested) {
        snapshot_ = Result();
        snapshot_state_.store(kSnapshotReady, std::memory_order_release);
    }
}

void TsAnalyser::RequestSnapshot() noexcept {
    int idle = kSnapshotIdle;
    snapshot_state_.compare_exchange_strong(idle, kSnapshotRequested, std::memory_order_acq_rel);
}

bool TsAnalyser::TakeSnapshot(StreamAnalysis& out) {
    if (snapshot_state_.load(std::memory_order_acquire) != kSnapshotReady) return false;
    out = snapshot_;
    snapshot_state_.store(kSnapshotIdle, std::memory_order_release);
    return true;
}

void TsAnalyser::ApplyCaptureEvents() {
    const CaptureEventQueue::Taken t = capture_.Take();
    if (t.tape_ms >= 0) {
        tape_ = double(t.tape_ms) / 1000;
        if (std::isnan(out_.tape_start)) out_.tape_start = tape_;
        out_.tape_end = tape_;
    }
    if (t.emi >= 0) {
        out_.iso_copy_control =
            std::max(out_.iso_copy_control, CopyControlFromDtcp(static_cast<unsigned>(t.emi)));
    }
    if (t.gaps != 0) {
        const EventPlace at = Next();
        Record(Check::DbcGap, kNoPid, at, static_cast<int64_t>(t.packets_lost), t.gaps);
        Evidence(DropoutTracker::Sign::CaptureGap, kNoPid, at, t.packets_lost);
    }
    if (t.resets != 0) Record(Check::BusReset, kNoPid, Next(), 0, t.resets);
    if (t.empty_stretches != 0) {
        Record(Check::EmptyStretch, kNoPid, Next(), static_cast<int64_t>(t.empty_ms),
               t.empty_stretches);
    }
}

// ---- Packets ------------------------------------------------------------------------------

void TsAnalyser::SyncByteError(uint64_t offset) {
    EventPlace at = Here(offset);
    at.packet = out_.packets;
    Record(Check::SyncByte, kNoPid, at);
}

void TsAnalyser::SyncLost(uint64_t offset) {
    EventPlace at = Here(offset);
    at.packet = out_.packets;
    Record(Check::SyncLoss, kNoPid, at);
    Evidence(DropoutTracker::Sign::SyncLoss, kNoPid, at, 0);
}

void TsAnalyser::Packet(const uint8_t* ts, const uint8_t* header, uint64_t offset) {
    const uint64_t index = out_.packets++;
    if (header != nullptr && !timeline_.header_format_known()) timeline_.NoteHeader(header);
    const uint16_t pid = ReadPid(ts + 1);
    if (pid == kPidNull) {
        ++out_.null_packets;
        return;
    }
    PidState& s = pids_[pid];
    const bool damaged = (ts[1] & 0x80) != 0;  // transport_error_indicator
    const bool unit_start = (ts[1] & kTsPayloadUnitStart) != 0;
    const bool scrambled = (ts[3] & 0xC0) != 0;
    const bool has_payload = (ts[3] & kTsPayloadPresent) != 0;
    const double previous = s.last_seen;  // of this PID's packet before this one
    s.last_seen = timeline_.TimeOf(index);
    s.late = false;
    if (damaged) {
        const EventPlace at = Here(offset);
        Record(Check::TransportError, pid, at);
        Evidence(DropoutTracker::Sign::Damaged, pid, at, 0);
    }
    if (scrambled) {
        ++out_.scrambled_packets;
        // Tables must never be scrambled.
        if (s.kind == Kind::Pat) Record(Check::Pat, pid, Here(offset));
        if (s.kind == Kind::Pmt) Record(Check::Pmt, pid, Here(offset));
    }

    // The adaptation field: discontinuity indicator and PCR.
    int payload_offset = kTsHeaderSize;
    bool discontinuity = false;
    bool has_pcr = false;
    uint64_t pcr = 0;
    if (ts[3] & kTsAdaptationPresent) {
        const int length = ts[4];
        if (length > kTsMaxAdaptationLength + (has_payload ? 0 : 1)) return;  // damaged
        if (length > 0) {
            const uint8_t flags = ts[5];
            discontinuity = (flags & 0x80) != 0;
            if ((flags & 0x10) && length >= 7) {
                const uint64_t base = (uint64_t{ts[6]} << 25) | (uint64_t{ts[7]} << 17) |
                                      (uint64_t{ts[8]} << 9) | (uint64_t{ts[9]} << 1) |
                                      (ts[10] >> 7);
                pcr = base * 300 + (((ts[10] & 1u) << 8) | ts[11]);
                has_pcr = true;
            }
        }
        payload_offset += length + 1;
    }

    if (has_payload) Continuity(ts, pid, s, discontinuity, previous, offset);
    if (has_pcr && !damaged) Pcr(pid, pcr, discontinuity, header, offset);
    if (!has_payload || damaged || scrambled || payload_offset >= kTsPacketSize) return;

    const uint8_t* payload = ts + payload_offset;
    const int length = kTsPacketSize - payload_offset;
    if (s.section_slot >= 0) {
        sections_[static_cast<size_t>(s.section_slot)].Push(
            payload, length, unit_start,
            [&](const uint8_t* section, size_t size) { Section(pid, section, size, offset); });
    } else if (unit_start) {
        PesStart(payload, length, pid, s, offset);
    }
}

void TsAnalyser::Continuity(const uint8_t* ts, uint16_t pid, PidState& s, bool discontinuity,
                            double previous, uint64_t offset) {
    const uint8_t cc = ts[3] & 0x0F;
    if (!s.have_cc || discontinuity) {
        s.have_cc = true;
        s.cc = cc;
        s.duplicates = 0;
        return;
    }
    if (cc == s.cc) {
        // One repeat is allowed; the third copy of a packet is an error, once.
        if (++s.duplicates == 2) {
            const EventPlace at = Here(offset);
            Record(Check::Continuity, pid, at);
            Evidence(DropoutTracker::Sign::Continuity, pid, at, 0);
        }
        s.duplicates = std::min<uint8_t>(s.duplicates, 2);
        return;
    }
    const uint8_t expected = (s.cc + 1) & 0x0F;
    if (cc != expected) {
        const uint64_t lost = static_cast<uint8_t>(cc - expected) & 0x0F;
        const EventPlace at = Here(offset);
        Record(Check::Continuity, pid, at, static_cast<int64_t>(lost));
        // A PID that is sent rarely tells of a loss long after it: it belongs to the dropout
        // that came after this PID's last packet, when there was one.
        if (!dropouts_.AttachToLast(previous, out_)) {
            Evidence(DropoutTracker::Sign::Continuity, pid, at, lost);
        }
        if (s.section_slot >= 0) sections_[static_cast<size_t>(s.section_slot)].Break();
    }
    s.cc = cc;
    s.duplicates = 0;
}

void TsAnalyser::Pcr(uint16_t pid, uint64_t pcr, bool discontinuity, const uint8_t* header,
                     uint64_t offset) {
    if (pcr_pid_ == kNoPid) pcr_pid_ = pid;
    if (pid != pcr_pid_) return;
    const PcrTimeline::Step step =
        timeline_.OnPcr(pcr, out_.packets - 1, discontinuity, loss_since_pcr_, header);
    loss_since_pcr_ = false;
    const EventPlace at = Here(offset);
    if (step.repetition_error) {
        Record(Check::PcrRepetition, pid, at, Milliseconds(step.interval));
    }
    if (step.discontinuity_error) {
        Record(Check::PcrDiscontinuity, pid, at, Milliseconds(step.interval));
    }
    if (step.accuracy_error) {
        Record(Check::PcrAccuracy, pid, at, static_cast<int64_t>(std::llround(step.deviation_ns)));
    }
    // A step the packets cannot account for is a loss when a sign of one came with it. Without
    // one yet, only a large jump is kept for a sign that follows at once (a run lost on the
    // video PID can leave its counter where it was). A stream whose rate varies makes excess of
    // its own: what it could be is never taken for a loss, which is then known only by the
    // counters.
    const double interval = timeline_.packet_interval();
    if (interval > 0 && step.excess > std::max(kGapPackets * interval, kNoiseMargin * step.noise)) {
        const auto packets = static_cast<uint64_t>(std::llround(step.excess_packets));
        if (dropouts_.open()) {
            dropouts_.AddGap(step.excess, packets, {out_.pictures, out_.gops});
        } else if (step.excess > kJumpShare * step.interval) {
            gap_ = PendingGap{true,        last_pcr_place_, at.stream,
                              step.excess, packets,         {out_.pictures, out_.gops}};
        }
    }
    last_pcr_place_ = at;
    CheckIntervals(offset);
}

void TsAnalyser::CheckIntervals(uint64_t offset) {
    const uint64_t index = out_.packets - 1;
    const double now = timeline_.TimeOf(index);
    if (std::isnan(now)) return;
    auto late_table = [&](TableWatch& w, Check check) {
        if (w.late || now - w.last <= kTableInterval) return;
        w.late = true;
        Record(check, w.pid, Here(offset), Milliseconds(now - w.last));
    };
    late_table(pat_watch_, Check::Pat);
    for (int i = 0; i < pmt_watch_count_; ++i) {
        late_table(pmt_watch_[static_cast<size_t>(i)], Check::Pmt);
    }
    for (int i = 0; i < watched_es_count_; ++i) {
        const uint16_t pid = watched_es_[static_cast<size_t>(i)];
        PidState& s = pids_[pid];
        if (!s.late && !std::isnan(s.last_seen) && now - s.last_seen > kPidInterval) {
            s.late = true;
            Record(Check::Pid, pid, Here(offset), Milliseconds(now - s.last_seen));
        }
        if (!s.pts_late && !std::isnan(s.last_pts) && now - s.last_pts > kPtsInterval) {
            s.pts_late = true;
            Record(Check::Pts, pid, Here(offset), Milliseconds(now - s.last_pts));
        }
    }
    if (gap_.waiting && now - gap_.end > kJumpWait) gap_.waiting = false;
    dropouts_.Tick(now, index, DropoutContext(), out_);
}

// ---- Tables ---------------------------------------------------------------------------------

void TsAnalyser::TableArrived(TableWatch& w, Check check, uint64_t offset) {
    const double now = timeline_.TimeOf(out_.packets - 1);
    if (std::isnan(now)) return;
    if (!w.late && now - w.last > kTableInterval) {
        Record(check, w.pid, Here(offset), Milliseconds(now - w.last));
    }
    w.last = now;
    w.late = false;
}

void TsAnalyser::Section(uint16_t pid, const uint8_t* section, size_t length, uint64_t offset) {
    if (SectionHasCrc(section, length) && !SectionCrcOk(section, length)) {
        Record(Check::Crc, pid, Here(offset));
        return;
    }
    if (pid == kPidPat) {
        PatTable pat;
        if (section[0] != kTableIdPat) {
            Record(Check::Pat, pid, Here(offset), section[0]);  // another table on the PAT's PID
        } else if (ParsePat(section, length, pat)) {
            TableArrived(pat_watch_, Check::Pat, offset);
            OnPat(pat);
        }
        return;
    }
    if (pids_[pid].kind != Kind::Pmt || section[0] != kTableIdPmt) return;
    PmtTable pmt;
    if (!ParsePmt(section, length, pmt)) return;
    for (int i = 0; i < pmt_watch_count_; ++i) {
        TableWatch& w = pmt_watch_[static_cast<size_t>(i)];
        if (w.pid == pid) TableArrived(w, Check::Pmt, offset);
    }
    OnPmt(pid, pmt);
}

void TsAnalyser::OnPat(const PatTable& pat) {
    if (pat.count == pat_.count && pat.transport_stream_id == pat_.transport_stream_id &&
        pat.program_number == pat_.program_number && pat.pmt_pid == pat_.pmt_pid) {
        return;  // the same programs as before
    }
    pat_ = pat;
    out_.have_pat = true;
    out_.transport_stream_id = pat.transport_stream_id;
    const double now = timeline_.TimeOf(out_.packets - 1);
    std::array<TableWatch, kMaxPrograms> watch{};
    std::array<ProgramSummary, kMaxPrograms> programs{};
    for (int i = 0; i < pat.count; ++i) {
        const auto at = static_cast<size_t>(i);
        const uint16_t pid = pat.pmt_pid[at];
        watch[at] = TableWatch{pid, std::isnan(now) ? 0 : now, false};
        programs[at].number = pat.program_number[at];
        programs[at].pmt_pid = pid;
        for (int j = 0; j < pmt_watch_count_; ++j) {  // a PMT already watched keeps its state
            if (pmt_watch_[static_cast<size_t>(j)].pid == pid) {
                watch[at] = pmt_watch_[static_cast<size_t>(j)];
            }
        }
        for (int j = 0; j < out_.program_count; ++j) {
            const ProgramSummary& old = out_.programs[static_cast<size_t>(j)];
            if (old.pmt_pid == pid && old.number == programs[at].number) programs[at] = old;
        }
        if (pid != kPidNull && pids_[pid].kind != Kind::Pat) {
            pids_[pid].kind = Kind::Pmt;
            SectionSlot(pid);
        }
    }
    pmt_watch_ = watch;
    pmt_watch_count_ = pat.count;
    out_.programs = programs;
    out_.program_count = pat.count;
    RebuildWatchedStreams();
}

void TsAnalyser::OnPmt(uint16_t pid, const PmtTable& pmt) {
    for (int i = 0; i < out_.program_count; ++i) {
        const auto at = static_cast<size_t>(i);
        ProgramSummary& p = out_.programs[at];
        if (p.pmt_pid != pid || p.number != pmt.program_number) continue;
        PmtTable& last = pmts_[at];
        out_.stream_copy_control = std::max(out_.stream_copy_control, pmt.copy_control);
        if (last.count == pmt.count && last.pcr_pid == pmt.pcr_pid && last.pid == pmt.pid &&
            last.stream_type == pmt.stream_type && p.streams == pmt.count) {
            return;  // nothing new
        }
        last = pmt;
        p.pcr_pid = pmt.pcr_pid;
        p.streams = pmt.count;
        p.pid = pmt.pid;
        p.stream_type = pmt.stream_type;
        for (int j = 0; j < pmt.count; ++j) {
            const uint16_t es = pmt.pid[static_cast<size_t>(j)];
            if (es == kPidNull || pids_[es].kind == Kind::Pat || pids_[es].kind == Kind::Pmt) {
                continue;
            }
            const StreamKind kind = KindOfStreamType(pmt.stream_type[static_cast<size_t>(j)]);
            pids_[es].kind = kind == StreamKind::Video   ? Kind::Video
                             : kind == StreamKind::Audio ? Kind::Audio
                                                         : Kind::OtherEs;
        }
        RebuildWatchedStreams();
        return;
    }
}

void TsAnalyser::RebuildWatchedStreams() {
    const double now = timeline_.TimeOf(out_.packets > 0 ? out_.packets - 1 : 0);
    watched_es_count_ = 0;
    uint16_t video = kNoPid;
    for (int i = 0; i < out_.program_count; ++i) {
        const ProgramSummary& p = out_.programs[static_cast<size_t>(i)];
        if (i == 0 && p.pcr_pid != kPidNull && p.streams > 0) {
            pcr_pid_ = p.pcr_pid;  // the first program's clock is the stream's time
        }
        for (int j = 0; j < p.streams; ++j) {
            const uint16_t pid = p.pid[static_cast<size_t>(j)];
            PidState& s = pids_[pid];
            if (s.kind != Kind::Video && s.kind != Kind::Audio) continue;
            if (s.kind == Kind::Video && video == kNoPid && i == 0) video = pid;
            if (std::isnan(s.last_seen)) s.last_seen = now;
            if (watched_es_count_ < kMaxWatched) {
                watched_es_[static_cast<size_t>(watched_es_count_++)] = pid;
            }
        }
    }
    if (video != kNoPid) out_.video_pid = video;
}

// ---- PES ------------------------------------------------------------------------------------

void TsAnalyser::PesStart(const uint8_t* p, int length, uint16_t pid, PidState& s,
                          uint64_t offset) {
    constexpr int kPesFixed = 9;
    if (length < kPesFixed || p[0] != 0 || p[1] != 0 || p[2] != 1) return;
    const uint8_t stream_id = p[3];
    if (out_.video_pid == kNoPid && IsVideoStreamId(stream_id)) out_.video_pid = pid;
    const bool mpeg2 = (p[6] & 0xC0) == 0x80;
    if (mpeg2 && (p[7] & kPesPtsFlag) && length >= kPesFixed + 5) {
        const double now = timeline_.TimeOf(out_.packets - 1);
        if (!std::isnan(now)) {
            if (!s.pts_late && !std::isnan(s.last_pts) && now - s.last_pts > kPtsInterval) {
                Record(Check::Pts, pid, Here(offset), Milliseconds(now - s.last_pts));
            }
            s.last_pts = now;
            s.pts_late = false;
            if (s.kind == Kind::None) s.kind = Kind::OtherEs;
        }
        // A stream found by its PES ids alone is watched for PTS as well.
        if (s.kind == Kind::OtherEs && IsVideoStreamId(stream_id) && watched_es_count_ == 0) {
            watched_es_[0] = pid;
            watched_es_count_ = 1;
        }
    }
    if (pid != out_.video_pid) return;

    // One picture per PES; a sequence or GOP header before the picture starts a GOP.
    ++out_.pictures;
    const int start = mpeg2 ? kPesFixed + p[8] : kPesFixed;
    if (start >= length) return;
    const PictureStart headers = ScanPictureStart(p + start, length - start);
    if (headers.sequence_fields >= 0)
        ReadVideoFormat(p + start + headers.sequence_fields, out_.video);
    if (headers.gop) ++out_.gops;
}

// ---- Results --------------------------------------------------------------------------------

void TsAnalyser::Summarise(StreamAnalysis& r) const {
    r.packet_size = packetiser_.packet_size();
    r.bytes = packetiser_.bytes_fed();
    r.bytes_skipped = packetiser_.bytes_skipped();
    r.duration = timeline_.Duration(out_.packets);
    r.bitrate = timeline_.bits_per_second();
    r.arrival_clock = timeline_.arrival_clock();
    r.pcr_deviation_max_ns = timeline_.max_deviation_ns();
    if (!std::isnan(r.duration) && r.duration > 0) {
        r.mean_bitrate = double(r.packets) * kTsPacketSize * 8 / r.duration;
        // Whole seconds only: the last one is usually cut short.
        const size_t whole = std::min(r.bitrate.size(), static_cast<size_t>(r.duration));
        double peak = whole == 0 ? r.mean_bitrate : 0;
        for (size_t i = 0; i < whole; ++i) peak = std::max(peak, r.bitrate[i]);
        r.peak_bitrate = peak;
        r.mode = DvhsModeFor(peak);
    }
}

StreamAnalysis TsAnalyser::Result() const {
    StreamAnalysis r = out_;
    Dropout open;
    if (dropouts_.Peek(DropoutContext(), open)) {
        r.packets_lost += open.packets_lost;
        r.damaged_packets += open.damaged_packets;
        if (r.dropouts.size() < DropoutTracker::kMaxListed) r.dropouts.push_back(open);
    }
    Summarise(r);
    r.trailing_bytes = packetiser_.bytes_pending();
    return r;
}

void TsAnalyser::Finish() {
    ApplyCaptureEvents();
    timeline_.Finish(out_.packets);
    dropouts_.Close(DropoutContext(), out_);
    Summarise(out_);
    out_.trailing_bytes = packetiser_.bytes_pending();
    out_.finished = true;
}

}  // namespace tessaline
