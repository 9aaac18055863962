// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/cli_record_report.h"

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "capture/recording_sequence.h"
#include "recording/report_session.h"
#include "stream/ts_analyser.h"

namespace tessaline::cli {
namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

RecordReport::RecordReport(const Args& args, const std::string& deck, const std::string& path,
                           const std::string& mode) {
    Report report;
    report.tool_version = TESSALINE_VERSION;
    report.command = "record";
    Args line = {"tessaline-cli", "record"};
    line.insert(line.end(), args.begin(), args.end());
    report.command_line = QuotedCommandLine(line);
    report.deck = DeckIdentity{deck, {}, {}, {}};
    report.started_ms = NowMs();
    session_ = std::make_unique<ReportSession>(std::move(report), path, mode);
}

RecordReport::~RecordReport() = default;

void RecordReport::Tick(RecordingSequence& sequence) {
    if (session_->Tick(sequence.analyser(), NowMs()) || said_failure_) return;
    said_failure_ = true;
    std::fprintf(stderr, "tessaline-cli: the report is not kept up to date: %s\n",
                 session_->error().c_str());
}

bool RecordReport::Finish(RecordingSequence& sequence, const std::string& written,
                          const std::string& end_reason) {
    ReportSession::Ending ending;
    ending.path = written;
    ending.sha256 = sequence.written_sha256();
    ending.analysis = sequence.analyser().finished();
    ending.end_reason = end_reason;
    if (!session_->Finish(ending, NowMs())) {
        std::fprintf(stderr, "tessaline-cli: cannot write the report of %s: %s\n", written.c_str(),
                     session_->error().c_str());
        return false;
    }
    std::fprintf(stderr, "report: %s, %s (%s)\n", session_->files().json.c_str(),
                 session_->files().html.c_str(), VerdictName(session_->report().verdict()));
    return true;
}

void RecordReport::Discard() {
    session_->Discard();
}

}  // namespace tessaline::cli
