// SPDX-License-Identifier: GPL-3.0-or-later
// archive: what the command leaves in its folder besides the recordings (the report, kept current
// while the tape plays, the manifest, the bag's tag files) and the progress it shows.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "recording/report.h"
#include "recording/report_session.h"
#include "recording/tape_archive.h"
#include "tools/cli_common.h"

namespace tessaline::cli {

struct ArchiveOptions {
    std::string out;
    std::string id;
    long device = 0;
    std::string mode = "ts192";
    bool here = false;
    double blank_stop = 180;
    bool bag = false;
    std::string progress;
    long tape_minutes = 240;
};

// The folder's layout: the recordings in `media` (the folder, or its data/ for a bag), the report
// and manifest beside them.
struct ArchiveFolder {
    std::filesystem::path root;
    std::filesystem::path media;
};

// The report of the archive: every recording closed so far (and the one being written, while
// the tape plays), the blanks, the deck.
class ArchiveReport {
  public:
    ArchiveReport(Report head, ArchiveFolder folder, std::string id, std::string mode);

    // While the tape plays: rewritten every few seconds, marked incomplete. False (error()) when
    // it could not be written.
    bool Update(const TapeArchive& archive, int64_t now_ms);
    // At the end: the finished report with pictures, the manifest and, for a bag, its tag files.
    bool Finish(const TapeArchive& archive, const std::string& end_reason, bool bag,
                int64_t now_ms);

    const Report& report() const noexcept { return report_; }
    const ReportFiles& files() const noexcept { return files_; }
    const std::string& error() const noexcept { return error_; }

  private:
    void Fill(const TapeArchive& archive, bool final);
    bool Write();

    Report report_;
    ArchiveFolder folder_;
    std::string id_;
    std::string mode_;
    ReportFiles files_;
    bool named_ = false;
    int64_t last_ms_ = kNoWallClock;
    std::string error_;
};

// The progress: one line on standard error, rewritten in place on a terminal; and with
// --progress FILE, key=value blocks appended to FILE, each ending in progress=continue|end.
class ArchiveProgress {
  public:
    ArchiveProgress(bool terminal, const std::string& file);
    ~ArchiveProgress();
    bool file_ok() const noexcept { return file_ != nullptr || !wanted_; }

    struct Figures {
        double tape = kNoTime;  // seconds
        size_t recording = 0;   // its number, 0 before the first
        uint64_t bytes = 0;     // written to the recordings
        double rate = kNoTime;  // bits a second
        uint64_t errors = 0;
        double elapsed = 0;
    };
    void Show(const Figures& f, bool last);
    // A line of its own above the progress.
    void Note(const std::string& text);

  private:
    bool terminal_;
    bool wanted_;
    std::FILE* file_ = nullptr;
    bool shown_ = false;
};

}  // namespace tessaline::cli
