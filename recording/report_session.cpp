// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/report_session.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "recording/fixity.h"
#include "recording/report_html.h"
#include "recording/report_stills.h"
#include "stream/ts_analyser.h"

namespace tessaline {
namespace {

constexpr int kMaxNameCounter = 9999;

bool Exists(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

// Writes a file that must not exist yet; false with EEXIST when it does.
bool CreateNew(const std::filesystem::path& path, const std::string& text, bool durable,
               std::string& error) {
    const std::filesystem::path temporary =
        path.parent_path() / ("." + path.filename().string() + ".part");
    if (!WriteFileAtomically(temporary, text, error, durable)) return false;
    if (::link(temporary.c_str(), path.c_str()) != 0) {
        const int e = errno;
        ::unlink(temporary.c_str());
        error = "cannot create " + path.string() + ": " + std::strerror(e);
        errno = e;
        return false;
    }
    ::unlink(temporary.c_str());
    return true;
}

}  // namespace

StillSource StillSourceOf(const std::string& path, const std::string& mode,
                          const StreamAnalysis& a) {
    StillSource s;
    s.path = path;
    s.packet_size = mode == "ps" ? 0 : mode == "ts188" ? 188 : a.packet_size;
    s.video_pid = a.video_pid;
    s.duration = a.duration;
    for (int i = 0; i < a.program_count; ++i) {
        const ProgramSummary& p = a.programs[static_cast<size_t>(i)];
        for (int j = 0; j < p.streams; ++j) {
            if (p.pid[static_cast<size_t>(j)] == a.video_pid) {
                s.stream_type = p.stream_type[static_cast<size_t>(j)];
            }
        }
    }
    return s;
}

std::optional<ReportFiles> FreeReportNames(const std::filesystem::path& folder,
                                           const std::string& stem) {
    for (int n = 1; n <= kMaxNameCounter; ++n) {
        const std::string base = n == 1 ? stem : stem + " (" + std::to_string(n) + ")";
        ReportFiles f{folder / (base + ".report.json"), folder / (base + ".report.html")};
        if (!Exists(f.json) && !Exists(f.html)) return f;
    }
    return std::nullopt;
}

bool WriteReportFiles(const ReportFiles& files, const Report& report, const std::string& title,
                      bool first, std::string& error) {
    const std::string json = ReportJson(report);
    const std::string html = ReportHtml(report, title);
    // A report still being written is rewritten soon: only the finished one waits for the disk.
    const bool durable = report.complete;
    if (first) {
        if (!CreateNew(files.json, json, durable, error)) return false;
        if (CreateNew(files.html, html, durable, error)) return true;
        const int e = errno;
        ::unlink(files.json.c_str());  // ours, just made: the pair goes together
        errno = e;
        return false;
    }
    return WriteFileAtomically(files.json, json, error, durable) &&
           WriteFileAtomically(files.html, html, error, durable);
}

ReportSession::ReportSession(Report report, std::string media_path, std::string mode)
    : report_(std::move(report)), media_path_(std::move(media_path)), mode_(std::move(mode)) {
    report_.complete = false;
    report_.recordings.clear();
    report_.recordings.push_back(MakeRecordingReport(
        std::filesystem::path(media_path_).filename().string(), StreamAnalysis{}));
    report_.recordings.back().mode = mode_;
}

bool ReportSession::Write(const std::string& media_path) {
    const std::filesystem::path media(media_path);
    const std::string title = media.filename().string();
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!named_) {
            const auto names = FreeReportNames(media.parent_path(), media.stem().string());
            if (!names) {
                error_ = "no free name for the report of " + media_path;
                return false;
            }
            files_ = *names;
        }
        if (WriteReportFiles(files_, report_, title, !named_, error_)) {
            named_ = true;
            return true;
        }
        if (named_ || errno != EEXIST) return false;  // taken meanwhile: choose again
    }
    return false;
}

bool ReportSession::Tick(TsAnalyser& analyser, int64_t now_ms) {
    if (last_write_ms_ != kNoWallClock && now_ms - last_write_ms_ < kUpdateMs) return true;
    // Due: the figures are asked for only now, so that the capture thread copies them once per
    // report written, not at every tick.
    StreamAnalysis snapshot;
    if (!analyser.TakeSnapshot(snapshot)) {
        analyser.RequestSnapshot();
        return true;
    }
    RecordingReport& r = report_.recordings.front();
    r.analysis = std::move(snapshot);
    r.judgement = JudgeRecording(r.analysis);
    report_.ended_ms = now_ms;
    last_write_ms_ = now_ms;
    return Write(media_path_);
}

bool ReportSession::Finish(const Ending& ending, int64_t now_ms) {
    RecordingReport& r = report_.recordings.front();
    const std::filesystem::path final_path(ending.path);
    r.file = final_path.filename().string();
    r.analysis = ending.analysis;
    r.judgement = JudgeRecording(r.analysis);
    r.sha256 = ending.sha256;
    r.sha256_from = "writing";
    std::error_code ec;
    r.bytes = std::filesystem::file_size(final_path, ec);
    if (ec) r.bytes = 0;
    if (r.sha256.empty() && HashFile(final_path, r.sha256, r.bytes)) r.sha256_from = "reading";
    r.stills = TakeStills(StillSourceOf(ending.path, mode_, r.analysis));
    report_.ended_ms = now_ms;
    report_.end_reason = ending.end_reason;
    report_.complete = true;

    // A file renamed at the end (the delay in its name) takes its report along.
    const ReportFiles interim = files_;
    const bool was_named = named_;
    if (named_ && final_path.stem() != std::filesystem::path(media_path_).stem()) named_ = false;
    const bool written = Write(ending.path);
    if (written && was_named && interim.json != files_.json) {
        std::filesystem::remove(interim.json, ec);
        std::filesystem::remove(interim.html, ec);
    }
    return written;
}

void ReportSession::Discard() {
    if (!named_) return;
    std::error_code ec;
    std::filesystem::remove(files_.json, ec);
    std::filesystem::remove(files_.html, ec);
    named_ = false;
}

}  // namespace tessaline
