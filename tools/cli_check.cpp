// SPDX-License-Identifier: GPL-3.0-or-later
// check: the quality of transport stream files the user already has, as the recorder judges its
// own recordings: counts named after TR 101 290, dropouts, bit rate, a verdict per file, and on
// request the JSON and HTML reports.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "stream/json_writer.h"
#include "recording/report.h"
#include "recording/report_html.h"
#include "recording/report_session.h"
#include "recording/report_stills.h"
#include "stream/input_file.h"
#include "stream/sha256.h"
#include "stream/ts_analyser.h"
#include "tools/cli_common.h"

namespace tessaline::cli {
namespace {

constexpr size_t kChunk = 1 << 20;
constexpr int kCouldNotCheck = kExitUsage;  // 2: a file could not be checked

void PrintHelp() {
    std::printf(
        "usage: tessaline-cli check FILE... [--json] [--report DIR]\n"
        "\n"
        "Checks transport stream files (188- or 192-byte packets) the way the recorder judges\n"
        "its recordings: the checks of ETSI TR 101 290 (sync, PAT, PMT, continuity, PID,\n"
        "transport errors, CRC, PCR, PTS), dropouts with the packets and pictures they took,\n"
        "the bit rate and the D-VHS mode it fits, the copy control the stream states, and a\n"
        "verdict: pass, warn (errors in a sound recording) or fail.\n"
        "\n"
        "  --json        one JSON object on standard output: {\"version\", \"recordings\": [...],\n"
        "                \"unchecked\": [...]}, each recording as in a report\n"
        "  --report DIR  also write NAME.report.json and NAME.report.html into DIR (made if\n"
        "                missing; an existing report is never replaced)\n"
        "\n"
        "Exit codes: 0 no errors found, 1 errors found (a verdict of warn or fail), 2 a file\n"
        "could not be checked (unreadable, not a transport stream) or bad usage,\n"
        "130 interrupted.\n");
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Progress on a terminal: one line, redrawn at most a few times a second.
class Progress {
  public:
    explicit Progress(bool show) : show_(show) {}
    void Show(const std::string& name, uint64_t done, int64_t total) {
        if (!show_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::milliseconds(250)) return;
        last_ = now;
        const double share = total > 0 ? 100.0 * double(done) / double(total) : 0;
        std::fprintf(stderr, "\r\x1b[2Kchecking %s: %3.0f %% (%.1f MB)", name.c_str(), share,
                     double(done) / 1e6);
        std::fflush(stderr);
        shown_ = true;
    }
    void Clear() {
        if (!shown_) return;
        std::fprintf(stderr, "\r\x1b[2K");
        std::fflush(stderr);
        shown_ = false;
    }

  private:
    bool show_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point last_{};
};

struct Checked {
    RecordingReport report;
    int64_t started_ms = 0;
    int64_t ended_ms = 0;
};

std::string Seconds(double s) {
    char b[32];
    std::snprintf(b, sizeof b, "%.3f s", s);
    return b;
}

void PrintText(const RecordingReport& r) {
    const StreamAnalysis& a = r.analysis;
    std::printf("%s: %s, %s, %llu packets of %d bytes", r.file.c_str(),
                VerdictName(r.judgement.verdict),
                std::isfinite(a.duration) ? Seconds(a.duration).c_str() : "no PCR",
                static_cast<unsigned long long>(a.packets), a.packet_size);
    if (std::isfinite(a.mean_bitrate)) {
        std::printf(", %.2f Mbit/s mean, %.2f peak (D-VHS %s)", a.mean_bitrate / 1e6,
                    a.peak_bitrate / 1e6, DvhsModeName(a.mode));
    }
    std::printf("\n");
    for (const std::string& reason : r.judgement.reasons) std::printf("  %s\n", reason.c_str());
    for (const Dropout& d : a.dropouts) {
        const char* counted = d.lost_from == LossMeasure::Counters ? "at least "
                              : d.lost_from == LossMeasure::Clock  ? "about "
                                                                   : "";
        std::printf("  dropout at %s (offset %llu): %s, %s%llu packets lost, %u %s\n",
                    std::isfinite(d.at.stream) ? Seconds(d.at.stream).c_str() : "?",
                    static_cast<unsigned long long>(d.at.offset), Seconds(d.duration).c_str(),
                    counted, static_cast<unsigned long long>(d.packets_lost), d.pictures,
                    d.pictures == 1 ? "picture" : "pictures");
    }
    if (a.stream_copy_control != CopyControl::Unknown) {
        std::printf("  copy control: %s\n", CopyControlName(a.stream_copy_control));
    }
    std::printf("  sha256 %s\n", r.sha256.c_str());
}

}  // namespace

int CheckCommand(const Args& args) {
    bool json = false;
    std::string report_dir;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            PrintHelp();
            return kExitOk;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--report" || a.starts_with("--report=")) {
            if (a == "--report") {
                if (i + 1 >= args.size()) return Usage("--report takes a folder");
                report_dir = args[++i];
            } else {
                report_dir = a.substr(9);
            }
            if (report_dir.empty()) return Usage("--report takes a folder");
        } else if (a.starts_with("--") && a.size() > 2) {
            return Usage("check: unknown option '" + a + "'");
        } else {
            files.push_back(a);
        }
    }
    if (files.empty()) return Usage("check needs at least one file");
    if (!report_dir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(report_dir, ec);
        if (!std::filesystem::is_directory(report_dir, ec)) {
            std::fprintf(stderr, "tessaline-cli: cannot use %s for the reports: %s\n",
                         report_dir.c_str(), ec ? ec.message().c_str() : "it is not a folder");
            return kCouldNotCheck;
        }
    }

    StopSignals signals;
    Progress progress(IsTerminal(2));
    std::vector<Checked> checked;
    std::vector<std::pair<std::string, std::string>> unchecked;  // file, why
    std::vector<uint8_t> chunk(kChunk);
    TsAnalyser analyser;
    for (const std::string& name : files) {
        if (signals.raised()) break;
        InputFile in;
        if (!in.Open(name)) {
            unchecked.emplace_back(name, in.error());
            continue;
        }
        const int64_t size = in.Size();
        Checked c;
        c.started_ms = NowMs();
        analyser.Reset();
        Sha256 hash;
        bool failed = false;
        bool first = true;
        uint64_t done = 0;
        for (;;) {
            const long n = in.Read(chunk.data(), chunk.size());
            if (n < 0) {
                unchecked.emplace_back(name, "read error: " + in.error());
                failed = true;
                break;
            }
            if (n == 0) break;
            if (first && n >= 4 && chunk[0] == 0 && chunk[1] == 0 && chunk[2] == 1 &&
                chunk[3] == 0xBA) {
                unchecked.emplace_back(name,
                                       "an MPEG program stream, not a transport stream (check "
                                       "reads 188- or 192-byte TS packets)");
                failed = true;
                break;
            }
            first = false;
            analyser.Feed(chunk.data(), static_cast<size_t>(n));
            hash.Update(chunk.data(), static_cast<size_t>(n));
            done += static_cast<uint64_t>(n);
            progress.Show(name, done, size);
            if (signals.raised()) break;
        }
        progress.Clear();
        if (failed) continue;
        if (signals.raised()) break;
        analyser.Finish();
        if (analyser.finished().packets == 0) {
            unchecked.emplace_back(
                name, done == 0 ? "the file is empty" : "no transport stream packets found");
            continue;
        }
        c.ended_ms = NowMs();
        c.report = MakeRecordingReport(name, analyser.finished());
        c.report.sha256 = hash.Hex();
        c.report.sha256_from = "reading";
        c.report.bytes = hash.bytes();
        checked.push_back(std::move(c));
    }

    for (const auto& [name, why] : unchecked) {
        std::fprintf(stderr, "tessaline-cli: cannot check %s: %s\n", name.c_str(), why.c_str());
    }

    int rc = kExitOk;
    for (const Checked& c : checked) {
        if (c.report.judgement.verdict != Verdict::Pass) rc = kExitFailure;
    }
    if (!unchecked.empty()) rc = kCouldNotCheck;

    if (!report_dir.empty()) {
        for (Checked& c : checked) {
            const std::filesystem::path media(c.report.file);
            const auto names = FreeReportNames(report_dir, media.stem().string());
            std::string error = "no free name";
            Report report;
            report.tool_version = TESSALINE_VERSION;
            report.command = "check";
            std::vector<std::string> line = {"tessaline-cli", "check"};
            line.insert(line.end(), args.begin(), args.end());
            report.command_line = QuotedCommandLine(line);
            report.started_ms = c.started_ms;
            report.ended_ms = c.ended_ms;
            report.complete = true;
            report.recordings.push_back(c.report);
            StillSource still;
            still.path = c.report.file;
            still.packet_size = c.report.analysis.packet_size;
            still.video_pid = c.report.analysis.video_pid;
            still.duration = c.report.analysis.duration;
            report.recordings.back().stills = TakeStills(still);
            if (!names ||
                !WriteReportFiles(*names, report, media.filename().string(), true, error)) {
                std::fprintf(stderr, "tessaline-cli: cannot write the report of %s: %s\n",
                             c.report.file.c_str(), error.c_str());
                rc = kCouldNotCheck;
            } else if (!json) {
                std::fprintf(stderr, "report: %s, %s\n", names->json.c_str(), names->html.c_str());
            }
        }
    }

    if (json) {
        std::string out = "{\"version\":" + std::to_string(kReportVersion) + ",\"recordings\":[";
        for (size_t i = 0; i < checked.size(); ++i) {
            if (i > 0) out += ',';
            out += RecordingJson(checked[i].report);
        }
        out += "],\"unchecked\":[";
        for (size_t i = 0; i < unchecked.size(); ++i) {
            if (i > 0) out += ',';
            out += "{\"file\":" + JsonQuote(unchecked[i].first) +
                   ",\"error\":" + JsonQuote(unchecked[i].second) + "}";
        }
        out += "]}\n";
        std::fputs(out.c_str(), stdout);
    } else {
        for (const Checked& c : checked) PrintText(c.report);
    }
    std::fflush(stdout);
    if (signals.raised()) {
        std::fprintf(stderr, "tessaline-cli: interrupted\n");
        return kExitInterrupted;
    }
    return rc;
}

}  // namespace tessaline::cli
