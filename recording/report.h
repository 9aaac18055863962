// SPDX-License-Identifier: GPL-3.0-or-later
// The quality report of one or more recordings: what was recorded (or checked), from which deck,
// how each recording fared, and the blanks between them. Written as NAME.report.json (this file's
// ReportJson, a versioned schema) and NAME.report.html (report_html.h).
//
// Schema, version 1. Times of day are ISO 8601 local times with their offset; stream times are
// seconds from the recording's first packet; absent values are null.
//   { "version": 1, "tool": {"name", "version"}, "command": "check" | "record" | ...,
//     "command_line", "deck": {"name", "vendor", "model", "guid"} | null, "started", "ended",
//     "end_reason": "end-of-tape" | "blank" | "stopped" | "watchdog" | "failed" | "time-up" |
//                   "deck-stopped" | null,
//     "complete": false while the recording runs, "verdict": "pass" | "warn" | "fail",
//     "recordings": [ RecordingJson ... ], "blanks": [ {"tape_start", "duration"} ... ] }
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "stream/recording_verdict.h"
#include "stream/stream_analysis.h"

namespace tessaline {

inline constexpr int kReportVersion = 1;

// A picture from a recording, for the HTML report.
struct Still {
    double at = 0;     // stream seconds
    std::string jpeg;  // the JPEG file's bytes
};

struct RecordingReport {
    std::string file;  // as the report names it: beside the report, or as given to check
    std::string sha256;
    // "writing": hashed as the file was written; "reading": hashed while it was read (check,
    // or a recording whose writes failed and whose file was cut back).
    std::string sha256_from;
    uint64_t bytes = 0;
    std::string mode;  // "ts192", "ts188", "ps"; empty for a file that was checked
    StreamAnalysis analysis;
    Judgement judgement;
    std::vector<Still> stills;
};

struct TapeBlank {
    double tape_start = kNoTime;
    double duration = 0;
};

// What is known of the deck; empty fields are written as null.
struct DeckIdentity {
    std::string name;
    std::string vendor;
    std::string model;
    std::string guid;
};

struct Report {
    std::string tool_version;
    std::string command;
    std::string command_line;
    std::optional<DeckIdentity> deck;
    int64_t started_ms = kNoWallClock;
    int64_t ended_ms = kNoWallClock;
    std::string end_reason;
    bool complete = false;
    std::vector<RecordingReport> recordings;
    std::vector<TapeBlank> blanks;

    Verdict verdict() const noexcept;  // the worst of the recordings'
};

// A recording's entry: the analysis judged, the file's identity filled in by the caller.
RecordingReport MakeRecordingReport(std::string file, const StreamAnalysis& analysis);

std::string ReportJson(const Report& report, int indent = 2);
// One recording as the report's "recordings" array holds it (check --json prints these).
std::string RecordingJson(const RecordingReport& recording, int indent = 0);

// 2026-12-10T13:34:56.789+01:00 in the local zone; empty for kNoWallClock.
std::string IsoTime(int64_t unix_ms);
// The command line as typed, each argument quoted for a shell where it needs it.
std::string QuotedCommandLine(const std::vector<std::string>& args);
// "16:9" for the aspect code of a sequence header.
const char* AspectText(uint8_t aspect_code) noexcept;
const char* ArrivalClockName(ArrivalClock clock) noexcept;

}  // namespace tessaline
