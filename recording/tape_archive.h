// SPDX-License-Identifier: GPL-3.0-or-later
// A tape's recordings, one file each: the deck's 192-byte source packets as they were captured,
// cut where one recording ends and the next begins (RecordingSplitter's rule), each written to
// FOLDER/ID_01.m2ts, ID_02.m2ts... (.ts for 188-byte packets), hashed and analysed as it is
// written. Stretches where the deck sent only empty packets are not written: a second or more is
// a blank, listed with its place on the tape. Qt-free; one thread feeds it.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "recording/report.h"
#include "stream/capture_events.h"
#include "stream/recording_splitter.h"
#include "stream/sha256.h"
#include "stream/stream_analysis.h"

namespace tessaline {

class OutputFile;
class TsAnalyser;

// What the capture side reported, each with the number of stream bytes received before it, so
// that it can be placed in the recording it belongs to once those bytes are read back. Calls may
// come from any thread.
class CaptureEventLog final : public CaptureEvents {
  public:
    struct Entry {
        enum class Kind { DbcGap, Empty, BusReset, CopyControl } kind = Kind::Empty;
        uint64_t offset = 0;
        uint64_t count = 0;  // blocks lost; the EMI bits
        int blocks_per_packet = 8;
        double seconds = 0;  // of an empty stretch
    };

    // `offset`: the stream bytes received so far (called on the thread that reports).
    explicit CaptureEventLog(std::function<uint64_t()> offset) : offset_(std::move(offset)) {}

    void DbcGap(uint64_t blocks_lost, int blocks_per_packet) override;
    void EmptyStretch(double seconds) override;
    void BusReset() override;
    void TapePosition(double /*seconds*/) override {}
    void IsoCopyControl(unsigned emi) override;

    // The entries at offsets up to `limit`, taken out, in the order they came.
    std::vector<Entry> TakeUpTo(uint64_t limit);
    // Entries logged so far: something arrived from the deck, data or not.
    uint64_t logged() const;
    // Seconds of empty packets told since the last data (the blank going on now).
    double empty_now() const;

  private:
    void Add(Entry entry);

    std::function<uint64_t()> offset_;
    mutable std::mutex mu_;
    std::deque<Entry> entries_;
    uint64_t logged_ = 0;
    uint64_t empty_offset_ = ~uint64_t{0};
    double empty_now_ = 0;
};

struct ArchivedRecording {
    std::string file;  // its name in the folder
    std::filesystem::path path;
    std::string sha256;  // from the writing; empty when a write failed
    uint64_t bytes = 0;
    double tape_start = kNoTime;
    StreamAnalysis analysis;  // finished once the file is closed
    bool closed = false;
};

class TapeArchive {
  public:
    // Opens `file` at `path` for writing, never over a file that exists; tests put in a writer
    // that fails. False with the file's error() set.
    using Opener = std::function<bool(OutputFile& file, const std::string& path)>;

    // `mode`: "ts192" (as delivered) or "ts188". `tape_start`: the tape counter where the first
    // byte came from, NaN when the deck keeps none.
    TapeArchive(std::filesystem::path folder, std::string id, std::string mode, double tape_start,
                Opener open = {});
    ~TapeArchive();
    TapeArchive(const TapeArchive&) = delete;
    TapeArchive& operator=(const TapeArchive&) = delete;

    static std::string Extension(const std::string& mode);  // ".m2ts", ".ts"

    // After a recording, a blank longer than this ends the archive: it is listed, and nothing
    // after it is taken (blank_stopped()). Infinite by default.
    void set_blank_stop(double seconds) noexcept { blank_stop_ = seconds; }
    bool blank_stopped() const noexcept { return blank_stopped_; }

    // The next `count` bytes of the captured stream (any piece size), with the capture's events
    // up to their end. False once a file could not be written; error()
    // says which and why, and nothing more is taken.
    bool Feed(const uint8_t* bytes, size_t count, const std::vector<CaptureEventLog::Entry>& events,
              int64_t wall_ms = kNoWallClock);
    // The tape ended: the last file is closed, a blank at the end listed: up to `tape_end` when
    // the deck said where it stopped, else as long as the empty packets lasted. False when the
    // file could not be written or closed.
    bool Finish(std::optional<double> tape_end = std::nullopt);

    const std::vector<ArchivedRecording>& recordings() const noexcept { return recordings_; }
    const std::vector<TapeBlank>& blanks() const noexcept { return blanks_; }
    // The analysis of the recording being written, so far; empty before the first.
    StreamAnalysis Current() const;
    bool failed() const noexcept { return failed_; }
    const std::string& error() const noexcept { return error_; }
    uint64_t bytes_taken() const noexcept { return taken_; }

  private:
    void Packet(const uint8_t* source_packet);
    void Apply(const CaptureEventLog::Entry& entry);
    bool Flush();
    bool Open();
    bool Close();
    void EndBlank();
    double TapeNow() const;

    std::filesystem::path folder_;
    std::string id_;
    std::string mode_;
    double tape_start_;
    Opener open_;
    RecordingSplitter splitter_;
    std::vector<ArchivedRecording> recordings_;
    std::vector<TapeBlank> blanks_;
    std::unique_ptr<OutputFile> file_;
    std::unique_ptr<TsAnalyser> analyser_;
    Sha256 hash_;
    std::vector<uint8_t> out_;      // packets of the open file not yet written
    std::vector<uint8_t> partial_;  // the start of a source packet cut by a piece's end
    double pending_empty_ = 0;      // seconds of empty packets before the next packet
    double elapsed_ = 0;            // tape seconds of the recordings and blanks before
    uint64_t taken_ = 0;
    int64_t wall_ms_ = kNoWallClock;
    double blank_stop_ = std::numeric_limits<double>::infinity();
    bool blank_stopped_ = false;
    bool failed_ = false;
    std::string error_;
};

}  // namespace tessaline
