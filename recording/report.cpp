// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/report.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "stream/json_writer.h"

namespace tessaline {
namespace {

const char* StreamKindName(uint8_t stream_type) {
    switch (KindOfStreamType(stream_type)) {
        case StreamKind::Video:
            return "video";
        case StreamKind::Audio:
            return "audio";
        case StreamKind::Other:
            break;
    }
    return "other";
}

void Place(JsonWriter& w, const EventPlace& at) {
    w.Key("at").Number(at.stream, 3);
    w.Key("offset").UInt(at.offset);
    w.Key("packet").UInt(at.packet);
    if (at.wall_ms == kNoWallClock) {
        w.Key("wall_clock").Null();
    } else {
        w.Key("wall_clock").String(IsoTime(at.wall_ms));
    }
    w.Key("tape").Number(at.tape, 3);
}

void Pid(JsonWriter& w, uint16_t pid) {
    if (pid == kNoPid) {
        w.Null();
    } else {
        w.UInt(pid);
    }
}

void WriteRecording(JsonWriter& w, const RecordingReport& r) {
    const StreamAnalysis& a = r.analysis;
    w.BeginObject();
    w.Key("file").String(r.file);
    if (r.sha256.empty()) {
        w.Key("sha256").Null();
        w.Key("sha256_from").Null();
    } else {
        w.Key("sha256").String(r.sha256);
        w.Key("sha256_from").String(r.sha256_from);
    }
    w.Key("bytes").UInt(r.bytes);
    if (r.mode.empty()) {
        w.Key("mode").Null();
    } else {
        w.Key("mode").String(r.mode);
    }
    w.Key("complete").Bool(a.finished);
    w.Key("verdict").String(VerdictName(r.judgement.verdict));
    w.Key("reasons").BeginArray();
    for (const std::string& reason : r.judgement.reasons) w.String(reason);
    w.EndArray();
    w.Key("packet_size").Int(a.packet_size);
    w.Key("tape_start").Number(a.tape_start, 3);
    w.Key("tape_end").Number(a.tape_end, 3);
    w.Key("started").Raw(a.wall_start_ms == kNoWallClock ? "null"
                                                         : JsonQuote(IsoTime(a.wall_start_ms)));
    w.Key("ended").Raw(a.wall_end_ms == kNoWallClock ? "null" : JsonQuote(IsoTime(a.wall_end_ms)));
    w.Key("duration").Number(a.duration, 3);
    w.Key("analysed_bytes").UInt(a.bytes);
    w.Key("packets").UInt(a.packets);
    w.Key("null_packets").UInt(a.null_packets);
    w.Key("scrambled_packets").UInt(a.scrambled_packets);
    w.Key("bytes_skipped").UInt(a.bytes_skipped);
    w.Key("trailing_bytes").UInt(a.trailing_bytes);
    for (size_t c = 0; c < kCheckCount; ++c)
        w.Key(CheckKey(static_cast<Check>(c))).UInt(a.counts[c]);
    w.Key("packets_lost").UInt(a.packets_lost);
    w.Key("damaged_packets").UInt(a.damaged_packets);

    w.Key("dropouts").BeginArray();
    for (const Dropout& d : a.dropouts) {
        w.BeginObject();
        Place(w, d.at);
        w.Key("duration").Number(d.duration, 3);
        w.Key("packets_lost").UInt(d.packets_lost);
        w.Key("packets_lost_from").String(LossMeasureName(d.lost_from));
        w.Key("damaged_packets").UInt(d.damaged_packets);
        w.Key("cc_errors").UInt(d.cc_errors);
        w.Key("video").Bool(d.video);
        w.Key("pictures").UInt(d.pictures);
        w.Key("gops").UInt(d.gops);
        w.EndObject();
    }
    w.EndArray();
    w.Key("dropouts_not_listed").UInt(a.dropouts_not_listed);

    w.Key("events").BeginArray();
    for (const AnalysisEvent& e : a.events) {
        w.BeginObject();
        w.Key("check").String(CheckKey(e.check));
        w.Key("title").String(CheckTitle(e.check));
        w.Key("pid");
        Pid(w, e.pid);
        w.Key("count").UInt(e.count);
        Place(w, e.at);
        w.Key("last").Number(e.last_stream, 3);
        w.Key("value").Int(e.value);
        w.EndObject();
    }
    w.EndArray();
    w.Key("events_not_listed").UInt(a.events_not_listed);

    w.Key("bitrate").BeginObject();
    w.Key("mean").Number(a.mean_bitrate, 0);
    w.Key("peak").Number(a.peak_bitrate, 0);
    if (a.mode == DvhsMode::Unknown) {
        w.Key("dvhs_mode").Null();
    } else {
        w.Key("dvhs_mode").String(DvhsModeName(a.mode));
    }
    w.Key("dvhs_mode_rate").Number(DvhsModeRate(a.mode) > 0 ? DvhsModeRate(a.mode) : kNoTime, 0);
    w.Key("per_second").BeginArray();
    for (const double bits : a.bitrate) w.Number(bits, 0);
    w.EndArray();
    w.EndObject();

    w.Key("pcr").BeginObject();
    if (a.arrival_clock == ArrivalClock::None) {
        w.Key("arrival_clock").Null();
    } else {
        w.Key("arrival_clock").String(ArrivalClockName(a.arrival_clock));
    }
    w.Key("max_deviation_ns").Number(a.pcr_deviation_max_ns, 0);
    w.EndObject();

    if (a.have_pat) {
        w.Key("transport_stream_id").UInt(a.transport_stream_id);
    } else {
        w.Key("transport_stream_id").Null();
    }
    w.Key("programs").BeginArray();
    for (int i = 0; i < a.program_count; ++i) {
        const ProgramSummary& p = a.programs[static_cast<size_t>(i)];
        w.BeginObject();
        w.Key("number").UInt(p.number);
        w.Key("pmt_pid").UInt(p.pmt_pid);
        w.Key("pcr_pid");
        Pid(w, p.streams > 0 ? p.pcr_pid : kNoPid);
        w.Key("streams").BeginArray();
        for (int j = 0; j < p.streams; ++j) {
            const auto at = static_cast<size_t>(j);
            w.BeginObject();
            w.Key("pid").UInt(p.pid[at]);
            w.Key("stream_type").UInt(p.stream_type[at]);
            w.Key("kind").String(StreamKindName(p.stream_type[at]));
            w.EndObject();
        }
        w.EndArray();
        w.EndObject();
    }
    w.EndArray();

    w.Key("video").BeginObject();
    w.Key("pid");
    Pid(w, a.video_pid);
    if (a.video.frame_rate > 0) {
        w.Key("width").UInt(a.video.width);
        w.Key("height").UInt(a.video.height);
        w.Key("aspect").String(AspectText(a.video.aspect_code));
        w.Key("frame_rate").Number(a.video.frame_rate, 3);
    }
    w.Key("pictures").UInt(a.pictures);
    w.Key("gops").UInt(a.gops);
    w.EndObject();

    w.Key("copy_control").BeginObject();
    w.Key("stream").Raw(a.stream_copy_control == CopyControl::Unknown
                            ? "null"
                            : JsonQuote(CopyControlName(a.stream_copy_control)));
    w.Key("iso_header")
        .Raw(a.iso_copy_control == CopyControl::Unknown
                 ? "null"
                 : JsonQuote(CopyControlName(a.iso_copy_control)));
    w.EndObject();
    w.EndObject();
}

}  // namespace

Verdict Report::verdict() const noexcept {
    Verdict v = Verdict::Pass;
    for (const RecordingReport& r : recordings) v = Worse(v, r.judgement.verdict);
    return v;
}

RecordingReport MakeRecordingReport(std::string file, const StreamAnalysis& analysis) {
    RecordingReport r;
    r.file = std::move(file);
    r.analysis = analysis;
    r.judgement = JudgeRecording(analysis);
    return r;
}

std::string RecordingJson(const RecordingReport& recording, int indent) {
    JsonWriter w(indent);
    WriteRecording(w, recording);
    return w.text();
}

std::string ReportJson(const Report& report, int indent) {
    JsonWriter w(indent);
    w.BeginObject();
    w.Key("version").Int(kReportVersion);
    w.Key("tool").BeginObject();
    w.Key("name").String("tessaline");
    w.Key("version").String(report.tool_version);
    w.EndObject();
    w.Key("command").String(report.command);
    w.Key("command_line").String(report.command_line);
    if (report.deck) {
        auto text = [&](const char* key, const std::string& value) {
            w.Key(key);
            if (value.empty()) {
                w.Null();
            } else {
                w.String(value);
            }
        };
        w.Key("deck").BeginObject();
        text("name", report.deck->name);
        text("vendor", report.deck->vendor);
        text("model", report.deck->model);
        text("guid", report.deck->guid);
        w.EndObject();
    } else {
        w.Key("deck").Null();
    }
    w.Key("started").Raw(report.started_ms == kNoWallClock ? "null"
                                                           : JsonQuote(IsoTime(report.started_ms)));
    w.Key("ended").Raw(report.ended_ms == kNoWallClock ? "null"
                                                       : JsonQuote(IsoTime(report.ended_ms)));
    w.Key("end_reason").Raw(report.end_reason.empty() ? "null" : JsonQuote(report.end_reason));
    w.Key("complete").Bool(report.complete);
    w.Key("verdict").String(VerdictName(report.verdict()));
    w.Key("recordings").BeginArray();
    for (const RecordingReport& r : report.recordings) WriteRecording(w, r);
    w.EndArray();
    w.Key("blanks").BeginArray();
    for (const TapeBlank& b : report.blanks) {
        w.BeginObject();
        w.Key("tape_start").Number(b.tape_start, 3);
        w.Key("duration").Number(b.duration, 3);
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
    std::string text = w.text();
    text += '\n';
    return text;
}

std::string IsoTime(int64_t unix_ms) {
    if (unix_ms == kNoWallClock) return {};
    const std::time_t seconds =
        static_cast<std::time_t>(unix_ms >= 0 ? unix_ms / 1000 : (unix_ms - 999) / 1000);
    const int ms = static_cast<int>(unix_ms - static_cast<int64_t>(seconds) * 1000);
    std::tm local = {};
    localtime_r(&seconds, &local);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    const long offset = local.tm_gmtoff / 60;
    char out[64];
    std::snprintf(out, sizeof out, "%s.%03d%c%02ld:%02ld", date, ms, offset < 0 ? '-' : '+',
                  std::labs(offset) / 60, std::labs(offset) % 60);
    return out;
}

std::string QuotedCommandLine(const std::vector<std::string>& args) {
    std::string out;
    for (const std::string& a : args) {
        if (!out.empty()) out += ' ';
        const bool plain = !a.empty() && a.find_first_not_of(
                                             "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                             "0123456789-_./=:,+@%") == std::string::npos;
        if (plain) {
            out += a;
            continue;
        }
        out += '\'';
        for (const char c : a) {
            if (c == '\'') {
                out += "'\\''";
            } else {
                out += c;
            }
        }
        out += '\'';
    }
    return out;
}

const char* AspectText(uint8_t code) noexcept {
    switch (code) {
        case 1:
            return "1:1";
        case 2:
            return "4:3";
        case 3:
            return "16:9";
        case 4:
            return "2.21:1";
        default:
            return "reserved";
    }
}

const char* ArrivalClockName(ArrivalClock clock) noexcept {
    switch (clock) {
        case ArrivalClock::Cycle:
            return "ieee1394-cycle";
        case ArrivalClock::Ats27:
            return "27mhz";
        case ArrivalClock::None:
            break;
    }
    return "none";
}

}  // namespace tessaline
