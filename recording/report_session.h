// SPDX-License-Identifier: GPL-3.0-or-later
// The report of one recording, kept beside its file: NAME.report.json is rewritten every few
// seconds while the recording runs (marked incomplete, so a crash keeps what was known), and at
// the end the finished JSON and NAME.report.html are written. Used by `record --report`, the
// window and the timetable service alike; it runs on the thread that owns the recording and
// never waits for the capture thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "recording/report.h"
#include "recording/report_stills.h"

namespace tessaline {

class TsAnalyser;

// Where a report goes: NAME.report.json and NAME.report.html.
struct ReportFiles {
    std::filesystem::path json;
    std::filesystem::path html;
};

// The first pair of report names beside `media` (or in `folder`, named after `media`'s stem) of
// which neither exists: STEM.report.json, else "STEM (2).report.json" and so on.
std::optional<ReportFiles> FreeReportNames(const std::filesystem::path& folder,
                                           const std::string& stem);

// Where the pictures of a recording written in `mode` ("ts192", "ts188", "ps") come from.
StillSource StillSourceOf(const std::string& path, const std::string& mode,
                          const StreamAnalysis& analysis);

// Writes the JSON and the HTML. `first`: the names were just chosen and must not be taken by
// anyone else meanwhile (a file that appeared in between is never replaced).
bool WriteReportFiles(const ReportFiles& files, const Report& report, const std::string& title,
                      bool first, std::string& error);

class ReportSession {
  public:
    static constexpr int64_t kUpdateMs = 5000;

    // `report` carries the tool, command, deck and start; `media_path` is the file being recorded
    // and `mode` how it is written ("ts192", "ts188", "ps").
    ReportSession(Report report, std::string media_path, std::string mode);

    // From the thread that owns the recording, as often as it likes: every kUpdateMs it asks the
    // analyser for its figures and writes them as soon as they come. False when writing failed
    // (error() says why); the recording goes on.
    bool Tick(TsAnalyser& analyser, int64_t now_ms);

    struct Ending {
        std::string path;         // the file's final name (after any renaming)
        std::string sha256;       // from the writing; empty: read the file for it
        StreamAnalysis analysis;  // finished
        std::string end_reason;
    };
    // The recording has stopped and its file is closed: the final JSON and HTML.
    bool Finish(const Ending& ending, int64_t now_ms);
    // Nothing was recorded (its file was removed): the report written so far goes as well.
    void Discard();

    const ReportFiles& files() const noexcept { return files_; }
    const std::string& error() const noexcept { return error_; }
    const Report& report() const noexcept { return report_; }

  private:
    bool Write(const std::string& media_path);

    Report report_;
    std::string media_path_;
    std::string mode_;
    ReportFiles files_;
    bool named_ = false;
    int64_t last_write_ms_ = kNoWallClock;
    std::string error_;
};

}  // namespace tessaline
