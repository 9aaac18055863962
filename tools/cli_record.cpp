// record: records from a deck into one file until the time is up, the deck stops delivering, or
// Ctrl-C; shows the stream information once a second while it runs.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "capture/deck_driver.h"
#include "capture/recording_sequence.h"
#include "capture/system_framework.h"
#include "recording/file_names.h"
#include "recording/private_folder.h"
#include "recording/recorder_registry.h"
#include "stream/ts_analyser.h"
#include "tools/cli_capture.h"
#include "tools/cli_common.h"
#include "tools/cli_record_report.h"

namespace tessaline::cli {
namespace {

struct RecordOptions {
    long device = 0;
    long seconds = -1;  // 0: no limit
    std::string mode = "ts188";
    std::string out;
    bool all = false;
    bool keep_leading_bytes = false;
    bool private_stream = false;
    bool power_on = false;
    bool json = false;
    bool report = false;
    std::string iso_dump;
};

void PrintHelp() {
    std::printf(
        "usage: tessaline-cli record [--device N] (--minutes M | --seconds S)\n"
        "           [--mode ps|ts188|ts192] [--out FILE] [--all] [--keep-leading-bytes]\n"
        "           [--private-stream] [--power-on] [--json] [--iso-dump FILE] [--report]\n"
        "\n"
        "Records from deck N (default 0, see 'tessaline-cli devices') until the time is up,\n"
        "the deck stops delivering, or Ctrl-C; the file is closed either way. --seconds 0 (or\n"
        "--minutes 0) sets no time limit: the recording runs until the deck stops delivering\n"
        "or Ctrl-C. When the deck delivers nothing for 5 seconds, the live view says so.\n"
        "\n"
        "  --mode ts188          188-byte TS packets (default)\n"
        "  --mode ts192          the deck's packets as delivered\n"
        "  --mode ps             MPEG-2 program stream, converted while recording\n"
        "  --out FILE            default: YYMMDDHHNNSS in the current folder, with .ts (ts188),\n"
        "                        .m2ts (ts192) or .mpg (ps); \" (2)\" and on when that exists.\n"
        "                        A FILE that exists is replaced only once the deck delivers;\n"
        "                        a pipe is written only while a program reads it\n"
        "  --all                 PS starts at once, not at the first video PTS\n"
        "  --keep-leading-bytes  PS keeps the bytes before the first sequence header and\n"
        "                        audio sync word\n"
        "  --private-stream      private stream 1 counts as audio (AC-3)\n"
        "  --power-on            switch the deck on first\n"
        "  --json                print the final statistics as one JSON object\n"
        "  --iso-dump FILE       also keep the deck's raw iso packets in FILE, as dumpiso\n"
        "                        (version 2) writes them: a trace for a bug report\n"
        "  --report              keep a quality report beside the file: NAME.report.json\n"
        "                        (kept current while recording) and NAME.report.html\n"
        "\n"
        "Exit codes: 0 recorded, 1 failed (also: the folder was deleted or renamed while\n"
        "recording; the recording is then written back, or said where it is; or the recording\n"
        "misses a stretch of what the deck played, said with its time and length; or the deck\n"
        "stayed off after --power-on), 2 bad usage, 3 no deck or nothing received (for ps: no\n"
        "audio or video; a file this run created is then removed, one it would have replaced is\n"
        "kept as it was),\n"
        "130 stopped by Ctrl-C (the file is complete up to that point).\n\n%s",
        VirtualDeckHelp());
}

// Parses the arguments; an exit code when they are not usable (or were --help).
std::optional<int> Parse(const Args& args, RecordOptions& o) {
    long minutes = -1;
    OptionCursor c(args);
    while (c.Next()) {
        const std::string& arg = c.name();
        auto take = [&] { return c.Value(); };
        auto count = [&](long& target) -> bool {
            const auto n = c.Count();
            if (!n) return false;
            target = *n;
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            PrintHelp();
            return kExitOk;
        } else if (arg == "--device") {
            if (!count(o.device)) return Usage("--device takes a deck index");
        } else if (arg == "--minutes") {
            if (!count(minutes)) return Usage("--minutes takes a whole number");
        } else if (arg == "--seconds") {
            if (!count(o.seconds)) return Usage("--seconds takes a whole number");
        } else if (arg == "--mode") {
            const auto m = take();
            if (!m || (*m != "ps" && *m != "ts188" && *m != "ts192")) {
                return Usage("--mode is ps, ts188 or ts192");
            }
            o.mode = *m;
        } else if (arg == "--out") {
            const auto f = take();
            if (!f || f->empty()) return Usage("--out takes a file name");
            o.out = *f;
        } else if (arg == "--iso-dump") {
            const auto f = take();
            if (!f || f->empty()) return Usage("--iso-dump takes a file name");
            o.iso_dump = *f;
        } else if (arg == "--all") {
            o.all = true;
        } else if (arg == "--keep-leading-bytes") {
            o.keep_leading_bytes = true;
        } else if (arg == "--private-stream") {
            o.private_stream = true;
        } else if (arg == "--power-on") {
            o.power_on = true;
        } else if (arg == "--json") {
            o.json = true;
        } else if (arg == "--report") {
            o.report = true;
        } else {
            return Usage("record: unknown argument '" + c.raw() + "'");
        }
    }
    if ((minutes < 0) == (o.seconds < 0)) return Usage("record needs --minutes or --seconds");
    if (o.report && !o.out.empty()) {
        std::error_code ec;
        const auto status = std::filesystem::status(o.out, ec);
        if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
            return Usage("--report keeps the report beside the file; " + o.out + " is not a file");
        }
    }
    if (minutes >= 0) o.seconds = minutes * 60;
    return std::nullopt;
}

// How long a deck may deliver nothing before the live view says so.
constexpr double kNoDataSeconds = 5;

// The date and time of now, and the extension that fits what is written.
std::string DefaultStem() {
    const std::time_t now = std::time(nullptr);
    std::tm local = {};
    localtime_r(&now, &local);
    char name[32];
    std::strftime(name, sizeof name, "%y%m%d%H%M%S", &local);
    return name;
}
std::string DefaultExtension(const std::string& mode) {
    return mode == "ps" ? ".mpg" : mode == "ts192" ? ".m2ts" : ".ts";
}

std::string Clock(double seconds) {
    const long s = static_cast<long>(seconds);
    char b[32];
    std::snprintf(b, sizeof b, "%02ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    return b;
}

// The live view: redrawn in place on a terminal, one short line per second elsewhere.
class LiveView {
  public:
    LiveView(bool terminal, bool quiet) : terminal_(terminal), quiet_(quiet) {}

    void Show(const std::string& path, uint64_t size, double elapsed, long limit,
              const TStreamStatistics& s) {
        if (quiet_) return;
        const double mb = static_cast<double>(size) / 1e6;
        if (!terminal_) {
            std::fprintf(stderr, "%6.1f s  %8.2f MB", elapsed, mb);
            if (s.VideoValid != 0) {
                std::fprintf(stderr, "  video %ux%u %.3f fps %.2f Mbit/s", s.VideoWidth.load(),
                             s.VideoHeight.load(), s.VideoFrameRate.load(), s.VideoBitRate / 1e6);
            }
            if (s.AudioValid != 0) {
                std::fprintf(stderr, "  audio %u Hz %u kbit/s", s.AudioFrequency.load(),
                             s.AudioBitRate / 1000);
            }
            std::fputc('\n', stderr);
            return;
        }
        std::string text = "Recording " + path + "  " + Clock(elapsed);
        if (limit > 0) text += " / " + Clock(static_cast<double>(limit));
        text += "\n" + StatisticsText(s);
        char b[64];
        std::snprintf(b, sizeof b, "  file   %.2f MB written\n", mb);
        text += b;
        // Back over the previous view, then overwrite it line by line.
        if (lines_ > 0) std::fprintf(stderr, "\x1b[%dA", lines_);
        lines_ = 0;
        size_t start = 0;
        for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
            std::fprintf(stderr, "\x1b[2K%s\n", text.substr(start, nl - start).c_str());
            ++lines_;
        }
        std::fflush(stderr);
    }

    // A warning on a line of its own, shown at once and kept above the live view.
    void Note(const std::string& text) {
        if (terminal_ && lines_ > 0) {
            std::fprintf(stderr, "\x1b[%dA\x1b[J", lines_);
            lines_ = 0;
        }
        std::fprintf(stderr, "tessaline-cli: %s\n", text.c_str());
        std::fflush(stderr);
    }

  private:
    bool terminal_;
    bool quiet_;
    int lines_ = 0;
};

}  // namespace

int RecordCommand(const Args& args) {
    RecordOptions o;
    if (const auto rc = Parse(args, o)) return *rc;
    // A name of our own choosing never replaces a file: two recordings in one second get
    // "NAME (2).ts", also when they start at the same moment (it is created only where no file is).
    const bool own_name = o.out.empty();
    const std::string stem = DefaultStem();
    const std::string extension = DefaultExtension(o.mode);
    if (own_name) o.out = stem + extension;

    CaptureSetup setup;
    if (const int rc = setup.ListDecks(); rc != kExitOk) return rc;
    if (o.device >= setup.box.Count()) {
        return Usage("there is no deck " + std::to_string(o.device) + " (" +
                     std::to_string(setup.box.Count()) + " listed; see 'tessaline-cli devices')");
    }
    CDSCapture& capture = *setup.capture;
    setup.box.SetItemIndex(static_cast<int>(o.device));
    cmbVidClick(capture, setup.box, setup.selection, setup.flags, {});
    const std::string deck = setup.box.items[static_cast<size_t>(o.device)];
    if (!setup.flags.DeviceReady) {
        std::fprintf(stderr, "tessaline-cli: cannot open %s\n", deck.c_str());
        return kExitFailure;
    }
    if (!o.iso_dump.empty()) {
        std::error_code ec;
        if (std::filesystem::exists(std::filesystem::symlink_status(o.iso_dump, ec))) {
            return Usage("--iso-dump: " + o.iso_dump + " already exists; choose another name");
        }
        if (!SetIsoDump(setup, static_cast<int>(o.device), o.iso_dump)) {
            return Usage("--iso-dump needs a real IEEE 1394 deck; " + deck + " is not one");
        }
    }

    StreamOptions& options = setup.stream.options;
    options.ConvPES = o.mode == "ps";
    options.TrimPacket = o.mode != "ts192";
    options.CheckPts = !o.all;
    options.SyncByte = !o.keep_leading_bytes;
    options.CheckPrivateStream = o.private_stream;

    RecordingSequence sequence(capture, setup.stream, setup.data_path, setup.messages);
    if (!sequence.PrepareGraph()) {
        std::fprintf(stderr, "tessaline-cli: cannot prepare %s for recording\n", deck.c_str());
        return kExitFailure;
    }
    if (o.power_on) {
        capture.DevicePowerOn();
        // A deck that did not come on would give a recording without its first seconds, or
        // nothing: say so and record nothing.
        int32_t power = 0;
        DeckDriver* driver = ListedDriver(setup, static_cast<int>(o.device));
        if (driver != nullptr && driver->GetPower(power) == kS_OK && power != ED_POWER_ON) {
            std::fprintf(stderr,
                         "tessaline-cli: %s is still switched off after --power-on; "
                         "nothing was recorded\n",
                         deck.c_str());
            return kExitFailure;
        }
    }

    StopSignals signals;
    // What only the bus sees (block counter breaks, empty stretches, bus resets) goes into the
    // recording's analysis with the rest.
    DeckDriver* events_driver = ListedDriver(setup, static_cast<int>(o.device));
    if (events_driver != nullptr)
        events_driver->SetCaptureEvents(&sequence.analyser().capture_events());
    // Taken before the graph runs: a fast deck may have delivered all it has by the time Start
    // returns, and that must count as received.
    const uint64_t received_before = setup.data_path.bytes_received();
    std::error_code exists_error;
    const bool out_existed =
        !own_name && std::filesystem::exists(std::filesystem::symlink_status(o.out, exists_error));
    const auto started =
        own_name ? sequence.StartNew(
                       [&](unsigned n) {
                           return SeriesName(NameSeries::Counted, stem, extension, n) + extension;
                       },
                       true)
                 : sequence.Start(o.out, true);
    if (started != RecordingSequence::StartResult::Started) return kExitFailure;
    o.out = sequence.path();
    std::optional<RecordReport> report;
    if (o.report) report.emplace(args, deck, o.out, o.mode);
    // The window's or the service's timetable lets a reservation on this deck wait meanwhile.
    RecorderRegistry registry(PrivateFolder(), WindowSettingsPath());
    std::string unseen;
    registry.Register(deck, "record", unseen);
    const auto start = std::chrono::steady_clock::now();
    LiveView view(IsTerminal(2), o.json && !IsTerminal(2));
    std::string ended = "time is up";
    bool deck_failed = false;
    bool said_no_data = false;
    bool said_write_failed = false;
    auto say_write_failed = [&] {
        if (said_write_failed || setup.stream.stats.WriteFailures == 0) return;
        said_write_failed = true;
        view.Note("writing to " + o.out +
                  " failed (is the disk full?); what cannot be written is lost");
    };
    bool said_vanished = false;
    double elapsed = 0;
    auto next_view = start + std::chrono::seconds(1);
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const auto now = std::chrono::steady_clock::now();
        elapsed = std::chrono::duration<double>(now - start).count();
        // Said once, as soon as it is known, so nobody waits on a recording that records nothing.
        if (!said_no_data && elapsed >= kNoDataSeconds &&
            setup.data_path.bytes_received() == received_before) {
            said_no_data = true;
            view.Note("no data from " + deck + " for " +
                      std::to_string(static_cast<int>(kNoDataSeconds)) +
                      " s: is it switched on and playing? (--power-on switches it on)");
        }
        if (!said_vanished && sequence.FileVanished()) {
            said_vanished = true;
            view.Note("the folder of " + o.out +
                      " was deleted; the recording goes on and is written back when it ends");
        }
        say_write_failed();
        if (signals.raised()) {
            ended = "stopped by signal";
            break;
        }
        if (o.seconds > 0 && elapsed >= static_cast<double>(o.seconds)) break;
        // A pipe whose reader stopped or left takes nothing more: no point going on.
        if (sequence.OutputIsPipe() && setup.stream.stats.WriteFailures != 0) {
            ended = "nothing more is read from the pipe";
            break;
        }
        if (const int32_t event = capture.PollCompletion(); event != 0) {
            deck_failed = event != EC_COMPLETE;
            ended = !deck_failed ? "the deck stopped delivering"
                    : setup.data_path.bytes_received() == received_before
                        ? "the deck sent nothing"
                        : "the deck's stream broke off";
            break;
        }
        if (report) report->Tick(sequence);
        if (now >= next_view) {
            view.Show(o.out, sequence.SizeNow(), elapsed, o.seconds, setup.stream.stats);
            next_view += std::chrono::seconds(1);
        }
    }

    if (!sequence.Stop()) {
        std::fprintf(stderr, "tessaline-cli: %s did not stop; %s may be incomplete\n", deck.c_str(),
                     o.out.c_str());
        return kExitFailure;
    }
    if (events_driver != nullptr) events_driver->SetCaptureEvents(nullptr);
    // A failed write that came with the last buffers, after the loop last looked (a fast deck
    // delivers the whole stream between two looks).
    say_write_failed();
    // The PIDs the recording used, for the summary.
    TStreamStatistics stats = setup.stream.stats;
    stats.VideoPid = setup.stream.live.LiveVideoPid;
    stats.AudioPid = setup.stream.live.LiveAudioPid;
    const bool vanished = !sequence.saved_path().empty() || !sequence.save_error().empty();
    // Sizes from the open file: its name may lead elsewhere by now, or nowhere.
    const uint64_t size = sequence.size();
    const std::string written = !sequence.saved_path().empty() ? sequence.saved_path()
                                : !sequence.moved_to().empty() ? sequence.moved_to()
                                                               : o.out;
    // A recording's counters: what the deck delivered and what the file holds (the statistics
    // object keeps them for file conversions, where the converter fills them in).
    stats.BytesRead = static_cast<int64_t>(setup.data_path.bytes_received() - received_before);
    stats.FileSize = static_cast<int64_t>(size);
    if (o.json) {
        std::printf("%s\n", StatisticsJson(stats).c_str());
    } else {
        std::printf("%s: %llu bytes from %s in %.1f s (%s)\n", written.c_str(),
                    static_cast<unsigned long long>(size), deck.c_str(), elapsed, ended.c_str());
        std::fputs(StatisticsText(stats).c_str(), stdout);
    }
    std::fflush(stdout);
    bool report_failed = false;
    if (report && size == 0) report->Discard();
    if (report && size != 0) {
        const bool failed =
            deck_failed || stats.WriteFailures != 0 || !sequence.close_error().empty();
        const char* reason = failed                  ? "failed"
                             : signals.raised()      ? "stopped"
                             : ended == "time is up" ? "time-up"
                                                     : "deck-stopped";
        report_failed = !report->Finish(sequence, written, reason);
    }

    if (vanished) {
        if (sequence.save_error().empty()) {
            std::fprintf(stderr,
                         "tessaline-cli: the folder of %s was deleted while recording; the %llu "
                         "bytes recorded were written back to %s\n",
                         o.out.c_str(), static_cast<unsigned long long>(size), written.c_str());
        } else if (!sequence.saved_path().empty()) {
            std::fprintf(stderr,
                         "tessaline-cli: the folder of %s was deleted while recording, and only "
                         "%llu of the %llu bytes recorded could be written back, to %s: %s\n",
                         o.out.c_str(), static_cast<unsigned long long>(sequence.saved_bytes()),
                         static_cast<unsigned long long>(size), written.c_str(),
                         sequence.save_error().c_str());
        } else {
            std::fprintf(stderr,
                         "tessaline-cli: the folder of %s was deleted while recording, and the "
                         "recording could not be written back: %s\n",
                         o.out.c_str(), sequence.save_error().c_str());
        }
        return kExitFailure;
    }
    if (!sequence.moved_to().empty()) {
        std::fprintf(stderr,
                     "tessaline-cli: %s was moved while recording (its folder renamed?); the "
                     "recording is now %s (%llu bytes)\n",
                     o.out.c_str(), written.c_str(), static_cast<unsigned long long>(size));
        return kExitFailure;
    }
    if (!sequence.close_error().empty()) {
        std::fprintf(stderr, "tessaline-cli: closing %s failed: %s\n", o.out.c_str(),
                     sequence.close_error().c_str());
        return kExitFailure;
    }
    if (stats.WriteFailures != 0) {
        std::fprintf(stderr, "tessaline-cli: %u writes to %s failed; the file is incomplete\n",
                     stats.WriteFailures.load(), o.out.c_str());
        return kExitFailure;
    }
    // Nothing at all from the deck (not playing, switched off, failed at once): no recording. The
    // file was never made, and one it would have replaced is as it was.
    if (size == 0 && stats.BytesRead == 0) {
        const std::string why = deck_failed ? " (" + ended + ")" : "";
        const std::string left = out_existed ? o.out + " is as it was" : "no file was left";
        std::fprintf(stderr, "tessaline-cli: nothing was received from %s%s; %s\n", deck.c_str(),
                     why.c_str(), left.c_str());
        return signals.raised() ? kExitInterrupted : kExitNoResult;
    }
    if (deck_failed) {
        // An error before anything was kept (its first buffer, if any, held no whole packet) is a
        // recording of nothing, as above, whichever came first.
        if (sequence.nothing_kept()) {
            std::fprintf(stderr,
                         "tessaline-cli: %s reported an error (%s) before anything arrived; %s\n",
                         deck.c_str(), ended.c_str(),
                         out_existed ? (o.out + " is as it was").c_str() : "no file was left");
            return kExitNoResult;
        }
        std::fprintf(stderr,
                     "tessaline-cli: %s reported an error (%s); %s holds what came before\n",
                     deck.c_str(), ended.c_str(), o.out.c_str());
        return kExitFailure;
    }
    if (signals.raised()) {
        if (sequence.nothing_kept()) {
            std::fprintf(stderr, "tessaline-cli: interrupted before anything arrived; %s\n",
                         out_existed ? (o.out + " is as it was").c_str() : "no file was left");
        } else {
            std::fprintf(stderr, "tessaline-cli: interrupted; %s is closed and complete so far\n",
                         o.out.c_str());
        }
        return kExitInterrupted;
    }
    if (sequence.nothing_kept()) {
        std::fprintf(stderr, "tessaline-cli: nothing was written to %s%s\n", o.out.c_str(),
                     out_existed ? "; it is as it was" : "; no file was left");
        if (options.ConvPES) {
            std::fprintf(stderr,
                         "  (a program stream starts once video and audio are both found; "
                         "--private-stream takes AC-3 audio, --all starts at once)\n");
        }
        return kExitNoResult;
    }
    // Stretches the deck played that never reached the file (it was off the bus, its stream
    // went quiet): the recording is kept, but it is not whole.
    if (const DeckDriver* driver = ListedDriver(setup, static_cast<int>(o.device))) {
        const std::vector<StreamGap> gaps = driver->LastStreamGaps();
        if (!gaps.empty()) {
            std::string list;
            for (const StreamGap& gap : gaps)
                list += (list.empty() ? "" : ", ") + StreamGapText(gap);
            std::fprintf(stderr, "tessaline-cli: %s misses part of what %s played: %s\n",
                         written.c_str(), deck.c_str(), list.c_str());
            return kExitFailure;
        }
    }
    return report_failed ? kExitFailure : kExitOk;
}

}  // namespace tessaline::cli
