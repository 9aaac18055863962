// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/tape_archive.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "stream/output_file.h"
#include "stream/ts_analyser.h"

namespace tessaline {
namespace {

constexpr size_t kSourcePacket = 192;
// Bytes gathered before they go to the file in one write.
constexpr size_t kWriteChunk = size_t{192} * 1024;

}  // namespace

// ---- The capture's events ------------------------------------------------------------------

void CaptureEventLog::Add(Entry entry) {
    std::lock_guard lock(mu_);
    entries_.push_back(entry);
    ++logged_;
}

void CaptureEventLog::DbcGap(uint64_t blocks_lost, int blocks_per_packet) {
    Entry e;
    e.kind = Entry::Kind::DbcGap;
    e.offset = offset_();
    e.count = blocks_lost;
    e.blocks_per_packet = blocks_per_packet;
    Add(e);
}

void CaptureEventLog::EmptyStretch(double seconds) {
    Entry e;
    e.kind = Entry::Kind::Empty;
    e.offset = offset_();
    e.seconds = seconds;
    {
        std::lock_guard lock(mu_);
        if (e.offset != empty_offset_) empty_now_ = 0;
        empty_offset_ = e.offset;
        empty_now_ += seconds;
    }
    Add(e);
}

void CaptureEventLog::BusReset() {
    Entry e;
    e.kind = Entry::Kind::BusReset;
    e.offset = offset_();
    Add(e);
}

void CaptureEventLog::IsoCopyControl(unsigned emi) {
    Entry e;
    e.kind = Entry::Kind::CopyControl;
    e.offset = offset_();
    e.count = emi;
    Add(e);
}

std::vector<CaptureEventLog::Entry> CaptureEventLog::TakeUpTo(uint64_t limit) {
    std::lock_guard lock(mu_);
    std::vector<Entry> out;
    while (!entries_.empty() && entries_.front().offset <= limit) {
        out.push_back(entries_.front());
        entries_.pop_front();
    }
    return out;
}

uint64_t CaptureEventLog::logged() const {
    std::lock_guard lock(mu_);
    return logged_;
}

double CaptureEventLog::empty_now() const {
    const uint64_t now = offset_();
    std::lock_guard lock(mu_);
    return now == empty_offset_ ? empty_now_ : 0;
}

// ---- The recordings --------------------------------------------------------------------------

TapeArchive::TapeArchive(std::filesystem::path folder, std::string id, std::string mode,
                         double tape_start, Opener open)
    : folder_(std::move(folder)),
      id_(std::move(id)),
      mode_(std::move(mode)),
      tape_start_(tape_start),
      open_(std::move(open)) {
    if (!open_) {
        open_ = [](OutputFile& file, const std::string& path) { return file.CreateNew(path); };
    }
    out_.reserve(kWriteChunk + kSourcePacket);
}

TapeArchive::~TapeArchive() {
    if (file_) Close();
}

std::string TapeArchive::Extension(const std::string& mode) {
    return mode == "ts188" ? ".ts" : ".m2ts";
}

double TapeArchive::TapeNow() const {
    return std::isnan(tape_start_) ? kNoTime : tape_start_ + elapsed_;
}

bool TapeArchive::Feed(const uint8_t* bytes, size_t count,
                       const std::vector<CaptureEventLog::Entry>& events, int64_t wall_ms) {
    if (failed_) return false;
    if (blank_stopped_) return true;
    wall_ms_ = wall_ms;
    size_t next_event = 0;
    auto apply_up_to = [&](uint64_t offset) {
        while (next_event < events.size() && events[next_event].offset <= offset) {
            Apply(events[next_event++]);
        }
    };
    size_t i = 0;
    // A source packet begun in the last piece.
    if (!partial_.empty()) {
        const size_t want = std::min(kSourcePacket - partial_.size(), count);
        partial_.insert(partial_.end(), bytes, bytes + want);
        i = want;
        if (partial_.size() == kSourcePacket) {
            apply_up_to(taken_);
            Packet(partial_.data());
            if (blank_stopped_) return Flush();
            taken_ += kSourcePacket;
            partial_.clear();
        }
    }
    for (; !failed_ && !blank_stopped_ && i + kSourcePacket <= count; i += kSourcePacket) {
        apply_up_to(taken_);
        Packet(bytes + i);
        if (!blank_stopped_) taken_ += kSourcePacket;
    }
    if (blank_stopped_) return Flush();
    if (!failed_ && i < count) partial_.assign(bytes + i, bytes + count);
    // Events at the end of the piece come before whatever follows it.
    if (!failed_ && !blank_stopped_) apply_up_to(~uint64_t{0});
    return Flush();
}

void TapeArchive::Apply(const CaptureEventLog::Entry& e) {
    using Kind = CaptureEventLog::Entry::Kind;
    if (e.kind == Kind::Empty) {
        pending_empty_ += e.seconds;
        return;
    }
    if (!analyser_) return;  // before the first recording: nothing to place it in
    if (!Flush()) return;
    CaptureEvents& events = analyser_->capture_events();
    if (e.kind == Kind::DbcGap) events.DbcGap(e.count, e.blocks_per_packet);
    if (e.kind == Kind::BusReset) events.BusReset();
    if (e.kind == Kind::CopyControl) events.IsoCopyControl(static_cast<unsigned>(e.count));
}

void TapeArchive::EndBlank() {
    if (pending_empty_ >= RecordingSplitter::kMinBlank) {
        blanks_.push_back(TapeBlank{TapeNow(), pending_empty_});
    }
    elapsed_ += pending_empty_;
}

void TapeArchive::Packet(const uint8_t* sp) {
    const uint8_t* ts = sp + 4;
    const double empty = pending_empty_;
    pending_empty_ = 0;
    if (empty > blank_stop_ && !recordings_.empty()) {
        // The recorded part of the tape is over: what follows the long blank is not taken.
        blank_stopped_ = true;
        if (!Close()) return;
        pending_empty_ = empty;
        EndBlank();
        pending_empty_ = 0;
        return;
    }
    if (empty > 0) splitter_.Blank(empty);
    const bool split = splitter_.Packet(ts);
    if (split && file_ && !Close()) return;
    const bool inside = static_cast<bool>(file_);
    // Between recordings (or before the first) the empty stretch is tape of its own; inside one,
    // the recording's clock already spans it and its analyser lists it.
    if (empty > 0 && !inside) {
        pending_empty_ = empty;
        EndBlank();
        pending_empty_ = 0;
    }
    if (!file_ && !Open()) return;
    if (empty > 0 && inside) {
        if (!Flush()) return;
        analyser_->capture_events().EmptyStretch(empty);
    }
    if (mode_ == "ts188") {
        out_.insert(out_.end(), ts, ts + 188);
    } else {
        out_.insert(out_.end(), sp, sp + kSourcePacket);
    }
    if (out_.size() >= kWriteChunk) Flush();
}

bool TapeArchive::Flush() {
    if (failed_) return false;
    if (out_.empty() || !file_) return true;
    ArchivedRecording& r = recordings_.back();
    analyser_->Feed(out_.data(), out_.size(), wall_ms_);
    if (!file_->Write(out_.data(), out_.size())) {
        failed_ = true;
        error_ = "cannot write " + r.path.string() + ": " + file_->error();
        out_.clear();
        // What did reach the disk ends with a whole packet; its hash must be read from it.
        file_->CutToWholeUnits(mode_ == "ts188" ? 188 : kSourcePacket);
        r.sha256.clear();
        Close();
        return false;
    }
    hash_.Update(out_.data(), out_.size());
    r.bytes += out_.size();
    out_.clear();
    return true;
}

bool TapeArchive::Open() {
    char number[16];
    std::snprintf(number, sizeof number, "_%02zu", recordings_.size() + 1);
    ArchivedRecording r;
    r.file = id_ + number + Extension(mode_);
    r.path = folder_ / r.file;
    r.tape_start = TapeNow();
    file_ = std::make_unique<OutputFile>();
    if (!open_(*file_, r.path.string())) {
        failed_ = true;
        error_ = "cannot create " + r.path.string() + ": " + file_->error();
        file_.reset();
        return false;
    }
    recordings_.push_back(std::move(r));
    analyser_ = std::make_unique<TsAnalyser>(mode_ == "ts188" ? 188 : 192);
    hash_.Reset();
    return true;
}

bool TapeArchive::Close() {
    if (!file_) return true;
    ArchivedRecording& r = recordings_.back();
    const bool flushed = Flush();
    analyser_->Finish();
    r.analysis = analyser_->finished();
    if (!failed_) r.sha256 = hash_.Hex();
    if (!file_->Close() && !failed_) {
        failed_ = true;
        error_ = "cannot close " + r.path.string() + ": " + file_->error();
        r.sha256.clear();
    }
    file_.reset();
    r.closed = true;
    if (!std::isnan(r.analysis.duration)) elapsed_ += r.analysis.duration;
    return flushed && !failed_;
}

bool TapeArchive::Finish(std::optional<double> tape_end) {
    const bool closed = Close();
    if (tape_end && !std::isnan(TapeNow())) pending_empty_ = std::max(0.0, *tape_end - TapeNow());
    if (pending_empty_ > 0) {
        EndBlank();
        pending_empty_ = 0;
    }
    return closed && !failed_;
}

StreamAnalysis TapeArchive::Current() const {
    if (!analyser_) return {};
    return file_ ? analyser_->Result() : analyser_->finished();
}

}  // namespace tessaline
