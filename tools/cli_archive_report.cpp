// SPDX-License-Identifier: GPL-3.0-or-later
#include <cerrno>
#include <cmath>

#include "recording/fixity.h"
#include "recording/report_stills.h"
#include "tools/cli_archive.h"

namespace tessaline::cli {

ArchiveReport::ArchiveReport(Report head, ArchiveFolder folder, std::string id, std::string mode)
    : report_(std::move(head)),
      folder_(std::move(folder)),
      id_(std::move(id)),
      mode_(std::move(mode)) {
    report_.complete = false;
}

void ArchiveReport::Fill(const TapeArchive& archive, bool final) {
    const std::filesystem::path media_dir =
        folder_.media == folder_.root ? std::filesystem::path() : folder_.media.filename();
    report_.recordings.clear();
    for (const ArchivedRecording& a : archive.recordings()) {
        StreamAnalysis analysis = a.closed ? a.analysis : archive.Current();
        analysis.tape_start = a.tape_start;
        if (!std::isnan(a.tape_start) && !std::isnan(analysis.duration)) {
            analysis.tape_end = a.tape_start + analysis.duration;
        }
        RecordingReport r = MakeRecordingReport((media_dir / a.file).generic_string(), analysis);
        r.mode = mode_;
        r.bytes = a.bytes;
        r.sha256 = a.sha256;
        r.sha256_from = "writing";
        if (final && a.sha256.empty() && HashFile(a.path, r.sha256, r.bytes)) {
            // A write failed and the file was cut back: its hash is what it holds now.
            r.sha256_from = "reading";
        }
        if (final) r.stills = TakeStills(StillSourceOf(a.path.string(), mode_, analysis));
        report_.recordings.push_back(std::move(r));
    }
    report_.blanks = archive.blanks();
}

bool ArchiveReport::Write() {
    if (!named_) {
        // The folder was empty when archiving began; a report someone put there meanwhile is
        // never replaced: ours then takes the next free name.
        const auto names = FreeReportNames(folder_.root, id_);
        if (!names) {
            error_ = "no free name for the report in " + folder_.root.string();
            return false;
        }
        files_ = *names;
    }
    if (!WriteReportFiles(files_, report_, id_, !named_, error_)) return false;
    named_ = true;
    return true;
}

bool ArchiveReport::Update(const TapeArchive& archive, int64_t now_ms) {
    if (last_ms_ != kNoWallClock && now_ms - last_ms_ < ReportSession::kUpdateMs) return true;
    last_ms_ = now_ms;
    Fill(archive, false);
    report_.ended_ms = now_ms;
    return Write();
}

bool ArchiveReport::Finish(const TapeArchive& archive, const std::string& end_reason, bool bag,
                           int64_t now_ms) {
    Fill(archive, true);
    report_.ended_ms = now_ms;
    report_.end_reason = end_reason;
    report_.complete = true;
    if (!Write()) return false;

    std::vector<FixityEntry> payload;
    for (const RecordingReport& r : report_.recordings) {
        if (!r.sha256.empty()) payload.push_back(FixityEntry{r.file, r.sha256, r.bytes});
    }
    if (!bag) {
        return WriteFileAtomically(folder_.root / "manifest-sha256.txt", Sha256SumText(payload),
                                   error_);
    }
    const std::vector<std::pair<std::string, std::string>> info = {
        {"External-Identifier", id_},
        {"External-Description", "Recordings of one D-VHS tape, with their quality report"},
    };
    const std::vector<std::string> tags = {files_.json.filename().string(),
                                           files_.html.filename().string()};
    return WriteBagTags(folder_.root, payload, info, tags,
                        std::string("tessaline-cli ") + report_.tool_version, error_);
}

// ---- Progress ------------------------------------------------------------------------------

ArchiveProgress::ArchiveProgress(bool terminal, const std::string& file)
    : terminal_(terminal), wanted_(!file.empty()) {
    if (wanted_) file_ = std::fopen(file.c_str(), "a");
}

ArchiveProgress::~ArchiveProgress() {
    if (file_ != nullptr) std::fclose(file_);
}

void ArchiveProgress::Show(const Figures& f, bool last) {
    char tape[32] = "--:--:--";
    if (!std::isnan(f.tape)) {
        const long s = std::lround(std::floor(f.tape));
        std::snprintf(tape, sizeof tape, "%02ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    }
    const double rate = std::isnan(f.rate) ? 0 : f.rate / 1e6;
    char line[160];
    std::snprintf(line, sizeof line, "tape %s  recording %zu  %.1f MB  %.2f Mbit/s  errors %llu",
                  tape, f.recording, static_cast<double>(f.bytes) / 1e6, rate,
                  static_cast<unsigned long long>(f.errors));
    if (terminal_) {
        std::fprintf(stderr, "\r\x1b[2K%s%s", line, last ? "\n" : "");
    } else {
        std::fprintf(stderr, "%s\n", line);
    }
    std::fflush(stderr);
    shown_ = !last;
    if (file_ == nullptr) return;
    std::fprintf(file_,
                 "tape_seconds=%.3f\nrecording=%zu\ntotal_size=%llu\nbitrate=%.1fkbits/s\n"
                 "errors=%llu\nout_time_ms=%lld\nprogress=%s\n",
                 std::isnan(f.tape) ? -1.0 : f.tape, f.recording,
                 static_cast<unsigned long long>(f.bytes), rate * 1000,
                 static_cast<unsigned long long>(f.errors),
                 static_cast<long long>(f.elapsed * 1000), last ? "end" : "continue");
    std::fflush(file_);
}

void ArchiveProgress::Note(const std::string& text) {
    if (terminal_ && shown_) std::fputs("\r\x1b[2K", stderr);
    std::fprintf(stderr, "tessaline-cli: %s\n", text.c_str());
    std::fflush(stderr);
}

}  // namespace tessaline::cli
