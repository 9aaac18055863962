// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/report_html.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tessaline {
namespace {

constexpr double kPlotWidth = 900;
constexpr double kPlotHeight = 220;
constexpr double kMarginLeft = 56;
constexpr double kMarginRight = 12;
constexpr double kMarginTop = 12;
constexpr double kMarginBottom = 30;

constexpr const char* kStyle = R"(
body{font-family:sans-serif;margin:2em auto;max-width:960px;color:#222;background:#fff}
h1{margin-bottom:.2em}h2{border-bottom:1px solid #ccc;padding-bottom:.2em;margin-top:2em}
.badge{display:inline-block;padding:.1em .6em;border-radius:.3em;color:#fff;font-size:.8em;
vertical-align:middle}
.pass{background:#2e7d32}.warn{background:#e69500}.fail{background:#c62828}
table{border-collapse:collapse;margin:.5em 0;font-size:.9em}
td,th{border:1px solid #ddd;padding:.25em .5em;text-align:left;vertical-align:top}
th{background:#f3f3f3}td.n{text-align:right;font-variant-numeric:tabular-nums}
.facts th{width:12em}.muted{color:#777}.stills{display:flex;flex-wrap:wrap;gap:8px}
figure{margin:0}figcaption{font-size:.8em;color:#555;text-align:center}
svg text{font-family:sans-serif;font-size:11px;fill:#333}
code{font-size:.85em;word-break:break-all}
)";

std::string Format(const char* format, double value) {
    char b[64];
    std::snprintf(b, sizeof b, format, value);
    return b;
}

// 1:02:03.4 or 2:03.4
std::string Clock(double seconds) {
    if (!std::isfinite(seconds)) return "–";
    const double s = std::max(0.0, seconds);
    const auto whole = static_cast<long>(s);
    char b[48];
    if (whole >= 3600) {
        std::snprintf(b, sizeof b, "%ld:%02ld:%04.1f", whole / 3600, whole / 60 % 60,
                      s - double(whole / 60 * 60));
    } else {
        std::snprintf(b, sizeof b, "%ld:%04.1f", whole / 60, s - double(whole / 60 * 60));
    }
    return b;
}

std::string Megabits(double bits) {
    return std::isfinite(bits) ? Format("%.2f Mbit/s", bits / 1e6) : "–";
}

std::string VerdictBadge(Verdict v) {
    return std::string("<span class=\"badge ") + VerdictName(v) + "\">" + VerdictName(v) +
           "</span>";
}

// A step on an axis that gives about `count` ticks: 1, 2 or 5 times a power of ten.
double NiceStep(double range, int count) {
    if (!(range > 0)) return 1;
    const double raw = range / count;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double m : {1.0, 2.0, 5.0, 10.0}) {
        if (raw <= m * power) return m * power;
    }
    return 10 * power;
}

std::string EventDetail(const AnalysisEvent& e) {
    const auto v = static_cast<double>(e.value);
    switch (e.check) {
        case Check::Continuity:
            return e.value > 0 ? "counter skipped " + std::to_string(e.value) + " in all"
                               : "a packet repeated too often";
        case Check::Pat:
        case Check::Pmt:
        case Check::Pid:
        case Check::Pts:
            return "longest gap " + Format("%.0f ms", v);
        case Check::PcrRepetition:
        case Check::PcrDiscontinuity:
            return e.value != 0 ? "step " + Format("%.0f ms", v) : "a new time base";
        case Check::PcrAccuracy:
            return "off by up to " + Format("%.1f µs", v / 1000);
        case Check::DbcGap:
            return "about " + std::to_string(e.value) + " packets lost";
        case Check::EmptyStretch:
            return Format("%.1f s without data", v / 1000);
        default:
            return {};
    }
}

std::string RecordingWords(const RecordingReport& r) {
    std::string words;
    switch (r.judgement.verdict) {
        case Verdict::Pass:
            return "Passed: no errors were found.";
        case Verdict::Warn:
            words = "Errors were found, but the recording is sound for the most part:";
            break;
        case Verdict::Fail:
            words = "Failed:";
            break;
    }
    for (size_t i = 0; i < r.judgement.reasons.size(); ++i) {
        words += (i == 0 ? " " : "; ") + r.judgement.reasons[i];
    }
    return words + ".";
}

void BitrateSvg(std::string& html, const StreamAnalysis& a) {
    const double duration =
        std::isfinite(a.duration) && a.duration > 0 ? a.duration : double(a.bitrate.size());
    if (a.bitrate.empty() || !(duration > 0)) {
        html += "<p class=\"muted\">No bit rate: the stream carries no PCR to time it by.</p>\n";
        return;
    }
    double top = std::max(a.peak_bitrate, DvhsModeRate(a.mode));
    for (const double b : a.bitrate) top = std::max(top, b);
    top = std::isfinite(top) && top > 0 ? top * 1.1 : 1e6;
    const double w = kPlotWidth - kMarginLeft - kMarginRight;
    const double h = kPlotHeight - kMarginTop - kMarginBottom;
    auto x = [&](double t) { return kMarginLeft + w * std::clamp(t / duration, 0.0, 1.0); };
    auto y = [&](double bits) { return kMarginTop + h * (1 - std::clamp(bits / top, 0.0, 1.0)); };

    html +=
        Format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" ", kPlotWidth) +
        Format("height=\"%.0f\" role=\"img\" aria-label=\"bit rate over time\">\n", kPlotHeight);
    html += Format("<rect x=\"%.1f\" ", kMarginLeft) + Format("y=\"%.1f\" ", kMarginTop) +
            Format("width=\"%.1f\" ", w) +
            Format("height=\"%.1f\" fill=\"#fafafa\" stroke=\"#bbb\"/>\n", h);
    const double ystep = NiceStep(top / 1e6, 5) * 1e6;
    for (double v = 0; v <= top; v += ystep) {
        html +=
            Format("<line x1=\"%.1f\" ", kMarginLeft) + Format("x2=\"%.1f\" ", kMarginLeft + w) +
            Format("y1=\"%.1f\" ", y(v)) + Format("y2=\"%.1f\" stroke=\"#e4e4e4\"/>", y(v)) +
            Format("<text x=\"%.1f\" ", kMarginLeft - 4) +
            Format("y=\"%.1f\" text-anchor=\"end\">", y(v) + 4) + Format("%g</text>\n", v / 1e6);
    }
    const double xstep = NiceStep(duration, 8);
    for (double t = 0; t <= duration + 1e-9; t += xstep) {
        html += Format("<text x=\"%.1f\" ", x(t)) +
                Format("y=\"%.1f\" text-anchor=\"middle\">", kMarginTop + h + 16) + Clock(t) +
                "</text>\n";
    }
    html += Format("<text x=\"4\" y=\"%.1f\">Mbit/s</text>\n", kMarginTop + 10);
    // Dropouts first, so that the rate is drawn over them.
    for (const Dropout& d : a.dropouts) {
        if (!std::isfinite(d.at.stream)) continue;
        const double x0 = x(d.at.stream);
        const double width = std::max(3.0, x(d.at.stream + d.duration) - x0);
        html += Format("<rect x=\"%.1f\" ", x0 - 1) + Format("y=\"%.1f\" ", kMarginTop) +
                Format("width=\"%.1f\" ", width) +
                Format("height=\"%.1f\" fill=\"#c62828\" fill-opacity=\"0.35\">", h) +
                "<title>dropout at " + Clock(d.at.stream) + ", " + Format("%.3f s", d.duration) +
                ", about " + std::to_string(d.packets_lost) + " packets lost</title></rect>\n";
    }
    if (DvhsModeRate(a.mode) > 0) {
        const double my = y(DvhsModeRate(a.mode));
        html += Format("<line x1=\"%.1f\" ", kMarginLeft) +
                Format("x2=\"%.1f\" ", kMarginLeft + w) + Format("y1=\"%.1f\" ", my) +
                Format("y2=\"%.1f\" stroke=\"#1565c0\" stroke-dasharray=\"6 4\"/>", my) +
                Format("<text x=\"%.1f\" ", kMarginLeft + w - 4) +
                Format("y=\"%.1f\" text-anchor=\"end\" ", my - 4) +
                "style=\"fill:#1565c0\">D-VHS " + DvhsModeName(a.mode) + "</text>\n";
    }
    // One step per second; the last second is scaled to the part of it the stream fills.
    std::string points;
    for (size_t i = 0; i < a.bitrate.size(); ++i) {
        const double t0 = double(i);
        const double t1 = std::min(duration, double(i + 1));
        if (t1 <= t0) break;
        const double bits = a.bitrate[i] / (t1 - t0);
        points += Format("%.1f,", x(t0)) + Format("%.1f ", y(bits)) + Format("%.1f,", x(t1)) +
                  Format("%.1f ", y(bits));
    }
    html += "<polyline fill=\"none\" stroke=\"#222\" stroke-width=\"1.5\" points=\"" + points +
            "\"/>\n</svg>\n";
}

void TimelineSvg(std::string& html, const Report& report) {
    struct Span {
        double start;
        double length;
        int recording;  // -1: a blank
    };
    std::vector<Span> spans;
    double cursor = 0;
    size_t blank = 0;
    for (size_t i = 0; i < report.recordings.size(); ++i) {
        const StreamAnalysis& a = report.recordings[i].analysis;
        // A blank before this recording, by the tape counter when the deck gave one.
        while (blank < report.blanks.size() &&
               (!std::isfinite(a.tape_start) || !std::isfinite(report.blanks[blank].tape_start) ||
                report.blanks[blank].tape_start < a.tape_start)) {
            const TapeBlank& b = report.blanks[blank++];
            const double at = std::isfinite(b.tape_start) ? b.tape_start : cursor;
            spans.push_back({at, b.duration, -1});
            cursor = at + b.duration;
            if (!std::isfinite(a.tape_start)) break;
        }
        const double at = std::isfinite(a.tape_start) ? a.tape_start : cursor;
        const double length = std::isfinite(a.duration) ? a.duration : 0;
        spans.push_back({at, length, static_cast<int>(i)});
        cursor = at + length;
    }
    for (; blank < report.blanks.size(); ++blank) {
        const TapeBlank& b = report.blanks[blank];
        const double at = std::isfinite(b.tape_start) ? b.tape_start : cursor;
        spans.push_back({at, b.duration, -1});
        cursor = at + b.duration;
    }
    double end = 0;
    for (const Span& s : spans) end = std::max(end, s.start + s.length);
    if (!(end > 0)) return;
    const double w = kPlotWidth - 2 * kMarginRight;
    auto x = [&](double t) { return kMarginRight + w * t / end; };
    html += Format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"64\" ",
                   kPlotWidth) +
            "role=\"img\" aria-label=\"the tape's timeline\">\n";
    html += Format("<line x1=\"%.1f\" y1=\"40\" ", kMarginRight) +
            Format("x2=\"%.1f\" y2=\"40\" stroke=\"#999\"/>\n", kMarginRight + w);
    for (const Span& s : spans) {
        const double x0 = x(s.start);
        const double width = std::max(2.0, x(s.start + s.length) - x0);
        if (s.recording < 0) {
            html += Format("<rect x=\"%.1f\" y=\"16\" ", x0) +
                    Format("width=\"%.1f\" height=\"24\" ", width) +
                    "fill=\"#ddd\" stroke=\"#aaa\"><title>blank, " + Format("%.1f s", s.length) +
                    "</title></rect>\n";
            continue;
        }
        const RecordingReport& r = report.recordings[static_cast<size_t>(s.recording)];
        const char* colour = r.judgement.verdict == Verdict::Pass   ? "#2e7d32"
                             : r.judgement.verdict == Verdict::Warn ? "#e69500"
                                                                    : "#c62828";
        html += Format("<rect x=\"%.1f\" y=\"16\" ", x0) +
                Format("width=\"%.1f\" height=\"24\" ", width) + "fill=\"" + colour + "\"><title>" +
                HtmlEscape(r.file) + ", " + Clock(s.length) + "</title></rect>\n";
        html += Format("<text x=\"%.1f\" y=\"12\">", x0) + std::to_string(s.recording + 1) +
                "</text>\n";
    }
    html += Format("<text x=\"%.1f\" y=\"56\">", kMarginRight) + Clock(0) + "</text>" +
            Format("<text x=\"%.1f\" y=\"56\" text-anchor=\"end\">", kMarginRight + w) +
            Clock(end) + "</text>\n</svg>\n";
}

void Facts(std::string& html, const RecordingReport& r) {
    const StreamAnalysis& a = r.analysis;
    auto row = [&](const char* name, const std::string& value) {
        html += std::string("<tr><th>") + name + "</th><td>" + value + "</td></tr>\n";
    };
    html += "<table class=\"facts\">\n";
    row("File", HtmlEscape(r.file));
    row("Size",
        std::to_string(r.bytes) + " bytes" +
            (a.packet_size > 0 ? ", " + std::to_string(a.packet_size) + "-byte packets" : ""));
    row("SHA-256", r.sha256.empty() ? "<span class=\"muted\">not known</span>"
                                    : "<code>" + r.sha256 + "</code>");
    row("Length", Clock(a.duration) + " (" + std::to_string(a.packets) + " packets)");
    if (std::isfinite(a.tape_start))
        row("On the tape", "from " + Clock(a.tape_start) + " to " + Clock(a.tape_end));
    if (a.wall_start_ms != kNoWallClock) {
        row("Recorded",
            HtmlEscape(IsoTime(a.wall_start_ms)) + " to " + HtmlEscape(IsoTime(a.wall_end_ms)));
    }
    row("Bit rate",
        "mean " + Megabits(a.mean_bitrate) + ", peak " + Megabits(a.peak_bitrate) +
            (a.mode != DvhsMode::Unknown ? std::string(", D-VHS ") + DvhsModeName(a.mode) : ""));
    if (a.video.frame_rate > 0) {
        row("Video", std::to_string(a.video.width) + "×" + std::to_string(a.video.height) + ", " +
                         AspectText(a.video.aspect_code) + ", " +
                         Format("%.3f", a.video.frame_rate) + " frames/s, " +
                         std::to_string(a.pictures) + " pictures in " + std::to_string(a.gops) +
                         " GOPs");
    }
    std::string copy = a.stream_copy_control == CopyControl::Unknown
                           ? "not stated in the stream"
                           : std::string(CopyControlName(a.stream_copy_control)) + " (stream)";
    if (a.iso_copy_control != CopyControl::Unknown) {
        copy += std::string(", ") + CopyControlName(a.iso_copy_control) + " (IEEE 1394 header)";
    }
    if (a.scrambled_packets > 0)
        copy += ", " + std::to_string(a.scrambled_packets) + " scrambled packets";
    row("Copy control", copy);
    if (std::isfinite(a.pcr_deviation_max_ns)) {
        row("PCR against arrival",
            "off by up to " + Format("%.1f µs", a.pcr_deviation_max_ns / 1000) + " (" +
                (a.arrival_clock == ArrivalClock::Cycle ? "IEEE 1394 cycle-time" : "27 MHz") +
                " arrival stamps)");
    }
    html += "</table>\n";
}

void Counts(std::string& html, const StreamAnalysis& a) {
    html += "<table><tr><th>Check</th><th>Count</th></tr>\n";
    for (size_t c = 0; c < kCheckCount; ++c) {
        const auto check = static_cast<Check>(c);
        html += std::string("<tr><td>") + CheckTitle(check) + "</td><td class=\"n\">" +
                std::to_string(a.counts[c]) + "</td></tr>\n";
    }
    html += "</table>\n";
}

// How a dropout's loss was counted, for people.
const char* LossWords(LossMeasure m) {
    switch (m) {
        case LossMeasure::Capture:
            return "exact (capture)";
        case LossMeasure::Clock:
            return "by the stream's clock";
        case LossMeasure::Counters:
            return "at least (counters)";
        case LossMeasure::None:
            break;
    }
    return "none missing";
}

void Dropouts(std::string& html, const StreamAnalysis& a) {
    if (a.dropouts.empty()) return;
    bool tape = false;
    for (const Dropout& d : a.dropouts) tape = tape || std::isfinite(d.at.tape);
    html +=
        "<h3>Dropouts</h3>\n<table><tr><th>At</th><th>Length</th><th>Packets lost</th>"
        "<th>Counted</th><th>Damaged</th><th>Pictures</th><th>GOPs</th><th>Offset</th>";
    if (tape) html += "<th>Tape</th>";
    html += "</tr>\n";
    for (const Dropout& d : a.dropouts) {
        html += "<tr><td class=\"n\">" + Clock(d.at.stream) + "</td><td class=\"n\">" +
                Format("%.3f s", d.duration) + "</td><td class=\"n\">" +
                std::to_string(d.packets_lost) + "</td><td>" + LossWords(d.lost_from) +
                "</td><td class=\"n\">" + std::to_string(d.damaged_packets) +
                "</td><td class=\"n\">" + std::to_string(d.pictures) + "</td><td class=\"n\">" +
                std::to_string(d.gops) + "</td><td class=\"n\">" + std::to_string(d.at.offset) +
                "</td>";
        if (tape) html += "<td class=\"n\">" + Clock(d.at.tape) + "</td>";
        html += "</tr>\n";
    }
    html += "</table>\n";
    if (a.dropouts_not_listed > 0) {
        html += "<p class=\"muted\">" + std::to_string(a.dropouts_not_listed) +
                " more not listed.</p>\n";
    }
}

void Events(std::string& html, const StreamAnalysis& a) {
    if (a.events.empty()) return;
    // Columns nothing fills (a file has no tape position and no time of reception) are left out.
    bool tape = false, received = false;
    for (const AnalysisEvent& e : a.events) {
        tape = tape || std::isfinite(e.at.tape);
        received = received || e.at.wall_ms != kNoWallClock;
    }
    html += "<h3>Events</h3>\n<table><tr><th>At</th><th>Offset</th>";
    if (tape) html += "<th>Tape</th>";
    if (received) html += "<th>Received</th>";
    html += "<th>What</th><th>PID</th><th>Times</th><th>Detail</th></tr>\n";
    for (const AnalysisEvent& e : a.events) {
        char pid[16] = "";
        if (e.pid != kNoPid) std::snprintf(pid, sizeof pid, "0x%04X", e.pid);
        html += "<tr><td class=\"n\">" + Clock(e.at.stream) + "</td><td class=\"n\">" +
                std::to_string(e.at.offset) + "</td>";
        if (tape) html += "<td class=\"n\">" + Clock(e.at.tape) + "</td>";
        if (received) html += "<td>" + HtmlEscape(IsoTime(e.at.wall_ms)) + "</td>";
        html += std::string("<td>") + CheckTitle(e.check) + "</td><td>" + pid +
                "</td><td class=\"n\">" + std::to_string(e.count) + "</td><td>" +
                HtmlEscape(EventDetail(e)) + "</td></tr>\n";
    }
    html += "</table>\n";
    if (a.events_not_listed > 0) {
        html +=
            "<p class=\"muted\">" + std::to_string(a.events_not_listed) + " more not listed.</p>\n";
    }
}

void Stills(std::string& html, const RecordingReport& r) {
    if (r.stills.empty()) return;
    html += "<h3>Pictures</h3>\n<div class=\"stills\">\n";
    for (const Still& s : r.stills) {
        html += "<figure><img alt=\"picture at " + Clock(s.at) +
                "\" src=\"data:image/jpeg;base64," + Base64(s.jpeg) + "\"><figcaption>" +
                Clock(s.at) + "</figcaption></figure>\n";
    }
    html += "</div>\n";
}

}  // namespace

std::string HtmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string Base64(std::string_view bytes) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = (uint32_t(uint8_t(bytes[i])) << 16) |
                           (uint32_t(uint8_t(bytes[i + 1])) << 8) | uint8_t(bytes[i + 2]);
        out += kDigits[v >> 18];
        out += kDigits[(v >> 12) & 63];
        out += kDigits[(v >> 6) & 63];
        out += kDigits[v & 63];
    }
    if (i < bytes.size()) {
        uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
        if (i + 1 < bytes.size()) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        out += kDigits[v >> 18];
        out += kDigits[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kDigits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string VerdictWords(const Report& report) {
    const size_t n = report.recordings.size();
    if (n == 0) return "Nothing was recorded.";
    if (n == 1) return RecordingWords(report.recordings[0]);
    size_t passed = 0, warned = 0, failed = 0;
    for (const RecordingReport& r : report.recordings) {
        if (r.judgement.verdict == Verdict::Pass) ++passed;
        if (r.judgement.verdict == Verdict::Warn) ++warned;
        if (r.judgement.verdict == Verdict::Fail) ++failed;
    }
    if (passed == n)
        return "All " + std::to_string(n) + " recordings passed: no errors were found.";
    return std::to_string(n) + " recordings: " + std::to_string(passed) + " passed, " +
           std::to_string(warned) + " with errors, " + std::to_string(failed) + " failed.";
}

std::string ReportHtml(const Report& report, const std::string& title) {
    std::string html;
    html.reserve(64 * 1024);
    html +=
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
        HtmlEscape(title) + " – quality report</title>\n<style>" + kStyle +
        "</style>\n</head>\n<body>\n";
    html += "<h1>" + HtmlEscape(title) + " " + VerdictBadge(report.verdict()) + "</h1>\n";
    if (!report.complete) {
        html +=
            "<p><strong>This report is not complete: it was written while "
            "recording.</strong></p>\n";
    }
    html += "<p>" + HtmlEscape(VerdictWords(report)) + "</p>\n";
    html += "<table class=\"facts\">\n";
    if (report.deck) {
        html += "<tr><th>Deck</th><td>" + HtmlEscape(report.deck->name);
        if (!report.deck->guid.empty()) html += " (GUID " + HtmlEscape(report.deck->guid) + ")";
        html += "</td></tr>\n";
    }
    if (report.started_ms != kNoWallClock) {
        html +=
            "<tr><th>Started</th><td>" + HtmlEscape(IsoTime(report.started_ms)) + "</td></tr>\n";
    }
    if (report.ended_ms != kNoWallClock) {
        html += "<tr><th>Ended</th><td>" + HtmlEscape(IsoTime(report.ended_ms)) +
                (report.end_reason.empty() ? "" : " (" + HtmlEscape(report.end_reason) + ")") +
                "</td></tr>\n";
    }
    html +=
        "<tr><th>Command</th><td><code>" + HtmlEscape(report.command_line) + "</code></td></tr>\n";
    html += "</table>\n";

    if (report.recordings.size() > 1 || !report.blanks.empty()) {
        html += "<h2>The tape</h2>\n";
        TimelineSvg(html, report);
    }
    for (size_t i = 0; i < report.recordings.size(); ++i) {
        const RecordingReport& r = report.recordings[i];
        html += "<h2>" +
                (report.recordings.size() > 1 ? std::to_string(i + 1) + ". " : std::string()) +
                HtmlEscape(r.file) + " " + VerdictBadge(r.judgement.verdict) + "</h2>\n";
        // One recording: the verdict in words stands at the top already.
        if (report.recordings.size() > 1) html += "<p>" + HtmlEscape(RecordingWords(r)) + "</p>\n";
        Facts(html, r);
        html += "<h3>Bit rate</h3>\n";
        BitrateSvg(html, r.analysis);
        Stills(html, r);
        Dropouts(html, r.analysis);
        html += "<h3>Checks</h3>\n";
        Counts(html, r.analysis);
        Events(html, r.analysis);
    }
    if (!report.blanks.empty()) {
        html += "<h2>Blanks</h2>\n<table><tr><th>On the tape</th><th>Length</th></tr>\n";
        for (const TapeBlank& b : report.blanks) {
            html += "<tr><td class=\"n\">" + Clock(b.tape_start) + "</td><td class=\"n\">" +
                    Format("%.1f s", b.duration) + "</td></tr>\n";
        }
        html += "</table>\n";
    }
    html += "<p class=\"muted\">Made by tessaline " + HtmlEscape(report.tool_version) +
            ". Checks named after ETSI TR 101 290; stream times are seconds from the recording's "
            "first packet, by its PCR.</p>\n</body>\n</html>\n";
    return html;
}

}  // namespace tessaline
