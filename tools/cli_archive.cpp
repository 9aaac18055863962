// SPDX-License-Identifier: GPL-3.0-or-later
// archive: digitises a whole tape unattended. Checks the deck, the cassette, the folder and the
// free space before anything moves; rewinds, plays and records one file per recording on the
// tape until its end, a long blank, Ctrl-C or the watchdog; then stops the deck and leaves the
// report and the manifest beside the recordings.
//
// The deck's stream is captured as delivered into a working file in the folder, read back while
// it grows and cut into the recordings there (what was read is given back to the file system as
// it goes), so that the cut follows the stream and the bus's events exactly; the working file is
// removed once everything in it is in the recordings.
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/deck_transport.h"
#include "capture/recording_sequence.h"
#include "capture/system_framework.h"
#include "recording/archive_watch.h"
#include "stream/ts_analyser.h"
#include "tools/cli_archive.h"
#include "tools/cli_capture.h"

namespace tessaline::cli {
namespace {

// The highest rate a D-VHS deck sends (HS mode), as delivered in 192-byte source packets.
constexpr double kHighestRateBytes = 28.2e6 / 8 * 192.0 / 188.0;
// Room kept beside the recordings for the report, the pictures and the manifest.
constexpr uint64_t kSpareBytes = uint64_t{64} << 20;

void PrintHelp() {
    std::printf(
        "usage: tessaline-cli archive --out DIR [--id NAME] [--device N]\n"
        "           [--mode ts192|ts188] [--here] [--blank-stop SECONDS] [--bag]\n"
        "           [--progress FILE] [--tape-minutes M]\n"
        "\n"
        "Digitises the tape in deck N (default 0) into DIR, one file per recording on the\n"
        "tape: NAME_01.m2ts, NAME_02.m2ts, ... (.ts with --mode ts188). A new file begins\n"
        "after a blank of a second or more, or where the stream starts again (another\n"
        "transport stream or program, or its clock jumps). Blanks are listed, not saved.\n"
        "\n"
        "Before the tape moves: the deck must answer, hold a cassette, DIR must be new or\n"
        "empty (nothing in it is ever replaced), and DIR's file system must have room for\n"
        "M minutes (default 240) at the highest D-VHS rate. Then the tape is rewound\n"
        "(--here: played from where it is) and played until its end, a blank longer than\n"
        "--blank-stop (default 180 s), Ctrl-C or SIGTERM, or the watchdog (the deck plays\n"
        "but nothing arrives for 10 s); then the deck is stopped.\n"
        "\n"
        "  --id NAME          the recordings' names and the report's (default: DIR's name)\n"
        "  --mode ts192       the deck's source packets as delivered (default)\n"
        "  --mode ts188       188-byte TS packets\n"
        "  --bag              DIR becomes a BagIt bag: the recordings in DIR/data\n"
        "  --progress FILE    also append key=value progress blocks to FILE\n"
        "\n"
        "DIR then holds NAME.report.json (kept current while the tape plays), NAME.report.html\n"
        "and manifest-sha256.txt ('sha256sum -c' checks it).\n"
        "\n"
        "Exit codes: 0 every recording passed, 1 errors were found in a recording, 2 archiving\n"
        "ended part-way (stopped, watchdog, a write failed: what was saved is kept and\n"
        "reported) or bad usage, 3 nothing could be recorded (no deck, no cassette, DIR not\n"
        "empty, no room, nothing came from the tape, Ctrl-C before the tape played). A\n"
        "folder archive made is removed again when nothing was recorded into it.\n");
}

std::optional<int> Parse(const Args& args, ArchiveOptions& o) {
    OptionCursor c(args);
    while (c.Next()) {
        const std::string& arg = c.name();
        if (arg == "--help" || arg == "-h") {
            PrintHelp();
            return kExitOk;
        } else if (arg == "--out") {
            const auto v = c.Value();
            if (!v || v->empty()) return Usage("--out takes a folder");
            o.out = *v;
        } else if (arg == "--id") {
            const auto v = c.Value();
            if (!v || v->empty() || v->find('/') != std::string::npos || *v == "." || *v == "..") {
                return Usage("--id takes a name without '/'");
            }
            o.id = *v;
        } else if (arg == "--device") {
            const auto n = c.Count();
            if (!n) return Usage("--device takes a deck index");
            o.device = *n;
        } else if (arg == "--mode") {
            const auto v = c.Value();
            if (!v || (*v != "ts192" && *v != "ts188")) {
                return Usage(v && *v == "ps" ? "archive keeps transport streams: --mode is ts192 "
                                               "or ts188 (convert a recording with 'remux')"
                                             : "--mode is ts192 or ts188");
            }
            o.mode = *v;
        } else if (arg == "--blank-stop") {
            const auto n = c.Count();
            if (!n || *n < 1)
                return Usage("--blank-stop takes a whole number of seconds, 1 or more");
            o.blank_stop = static_cast<double>(*n);
        } else if (arg == "--tape-minutes") {
            const auto n = c.Count();
            if (!n || *n < 1) return Usage("--tape-minutes takes a whole number, 1 or more");
            o.tape_minutes = *n;
        } else if (arg == "--progress") {
            const auto v = c.Value();
            if (!v || v->empty()) return Usage("--progress takes a file name");
            o.progress = *v;
        } else if (arg == "--here") {
            o.here = true;
        } else if (arg == "--bag") {
            o.bag = true;
        } else {
            return Usage("archive: unknown argument '" + c.raw() + "'");
        }
    }
    if (o.out.empty()) return Usage("archive needs --out DIR");
    if (o.id.empty()) {
        o.id = std::filesystem::path(o.out).lexically_normal().filename().string();
        if (o.id.empty() || o.id == "." || o.id == "..") o.id = "tape";
    }
    return std::nullopt;
}

int Refuse(const std::string& text) {
    std::fprintf(stderr, "tessaline-cli: archive: %s; nothing was recorded\n", text.c_str());
    return kExitNoResult;
}

// The folders archive made itself, deepest first: what a start that recorded nothing takes away
// again, each only while it is empty. A folder the user had is never among them.
struct MadeFolders {
    std::vector<std::filesystem::path> paths;
    void RemoveEmpty() const {
        for (const std::filesystem::path& path : paths) {
            std::error_code ec;
            if (std::filesystem::is_empty(path, ec) && !ec) std::filesystem::remove(path, ec);
        }
    }
};

// DIR new (made now) or empty. An error text when it is neither.
std::string PrepareFolder(const std::filesystem::path& dir, bool bag, ArchiveFolder& folder,
                          MadeFolders& made) {
    std::error_code ec;
    const auto status = std::filesystem::status(dir, ec);
    if (std::filesystem::exists(status)) {
        if (!std::filesystem::is_directory(status)) return dir.string() + " is not a folder";
        if (!std::filesystem::is_empty(dir, ec) || ec) {
            return dir.string() + " is not empty (archive writes only into a new or empty folder)";
        }
    } else {
        // DIR and those of its parents that are not there yet.
        std::vector<std::filesystem::path> missing;
        std::filesystem::path p = std::filesystem::absolute(dir, ec).lexically_normal();
        if (p.filename().empty()) p = p.parent_path();  // "a/b/" is b
        for (; !ec && p != p.parent_path() && !std::filesystem::exists(p, ec);
             p = p.parent_path()) {
            missing.push_back(p);
        }
        if (!std::filesystem::create_directories(dir, ec) || ec) {
            made.paths = std::move(missing);
            made.RemoveEmpty();
            made.paths.clear();
            return "cannot make " + dir.string() + ": " + ec.message();
        }
        made.paths = std::move(missing);
    }
    folder.root = dir;
    folder.media = bag ? dir / "data" : dir;
    if (bag) {
        if (!std::filesystem::create_directory(folder.media, ec) || ec) {
            return "cannot make " + folder.media.string() + ": " + ec.message();
        }
        made.paths.insert(made.paths.begin(), folder.media);
    }
    return {};
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Reads the working file as it grows and hands what is new to the archive.
class WorkReader {
  public:
    explicit WorkReader(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CLOEXEC)) {}
    ~WorkReader() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const noexcept { return fd_ >= 0; }

    // Up to `size` bytes of the file are there; false when the archive failed.
    bool Pump(uint64_t size, CaptureEventLog& log, TapeArchive& archive) {
        while (offset_ < size && !archive.failed() && !archive.blank_stopped()) {
            const size_t want =
                static_cast<size_t>(std::min<uint64_t>(buffer_.size(), size - offset_));
            const ssize_t got = ::pread(fd_, buffer_.data(), want, static_cast<off_t>(offset_));
            if (got <= 0) break;
            const uint64_t end = offset_ + static_cast<uint64_t>(got);
            archive.Feed(buffer_.data(), static_cast<size_t>(got), log.TakeUpTo(end), NowMs());
            offset_ = end;
            // What is in the recordings need not be kept twice on the disk.
            const uint64_t hole = offset_ & ~uint64_t{0xFFFFF};
            if (hole > punched_) {
                ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                            static_cast<off_t>(punched_), static_cast<off_t>(hole - punched_));
                punched_ = hole;
            }
        }
        return !archive.failed();
    }
    uint64_t offset() const noexcept { return offset_; }

  private:
    int fd_;
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(size_t{1} << 20);
    uint64_t offset_ = 0;
    uint64_t punched_ = 0;
};

}  // namespace

int ArchiveCommand(const Args& args) {
    ArchiveOptions o;
    if (const auto rc = Parse(args, o)) return *rc;
    // From the first check on: an interrupt before the tape plays must not leave it winding.
    StopSignals signals;

    // The deck first: a folder is made only for a tape that can be played.
    CaptureSetup setup;
    if (const int rc = setup.ListDecks(); rc == kExitNoResult) return Refuse("no deck was found");
    if (o.device >= setup.box.Count()) {
        return Refuse("there is no deck " + std::to_string(o.device) + " (" +
                      std::to_string(setup.box.Count()) + " listed)");
    }
    const std::string deck = setup.box.items[static_cast<size_t>(o.device)];
    DeckDriver* driver = ListedDriver(setup, static_cast<int>(o.device));
    DeckStatus status;
    if (driver == nullptr || !driver->Status(status)) {
        return Refuse(deck + " cannot be driven from here (it does not tell its state)");
    }
    if (status.power == ED_POWER_OFF) return Refuse(deck + " is switched off");
    if (status.medium == DeckMedium::None) return Refuse(deck + " holds no cassette");

    ArchiveFolder folder;
    MadeFolders made;
    if (const std::string why = PrepareFolder(o.out, o.bag, folder, made); !why.empty()) {
        made.RemoveEmpty();
        return Refuse(why);
    }
    // Nothing was recorded: the folders made for it go again, while they are empty.
    auto refuse = [&](const std::string& text) {
        made.RemoveEmpty();
        return Refuse(text);
    };
    const std::string interrupted = "stopped by Ctrl-C or SIGTERM before the tape played";
    struct statvfs fs = {};
    const double needed = o.tape_minutes * 60.0 * kHighestRateBytes + double(kSpareBytes);
    if (::statvfs(folder.root.c_str(), &fs) == 0) {
        const double free_bytes = double(fs.f_bavail) * double(fs.f_frsize);
        if (free_bytes < needed) {
            char text[256];
            std::snprintf(text, sizeof text,
                          "%s has %.1f GB free; %ld minutes of tape at up to 28.2 Mbit/s need "
                          "%.1f GB (--tape-minutes sets the tape's length)",
                          folder.root.c_str(), free_bytes / 1e9, o.tape_minutes, needed / 1e9);
            return refuse(text);
        }
    }

    setup.box.SetItemIndex(static_cast<int>(o.device));
    cmbVidClick(*setup.capture, setup.box, setup.selection, setup.flags, {});
    if (!setup.flags.DeviceReady) return refuse("cannot open " + deck);
    StreamOptions& options = setup.stream.options;
    options.ConvPES = false;
    options.TrimPacket = false;  // the working file keeps the source packets as delivered
    // Before the sequence: a capture that would not stop may still report to it.
    CaptureEventLog log([&] { return setup.data_path.bytes_received(); });
    RecordingSequence sequence(*setup.capture, setup.stream, setup.data_path, setup.messages);
    if (!sequence.PrepareGraph()) return refuse("cannot prepare " + deck + " for recording");

    DeckTransportControl control(*driver);
    if (signals.raised()) return refuse(interrupted);
    if (!o.here) {
        std::fprintf(stderr, "tessaline-cli: archive: rewinding the tape in %s\n", deck.c_str());
        DeckWaitTiming timing;
        timing.cancelled = [&] { return signals.raised(); };
        const DeckCommandResult r =
            DeckTransportControl(*driver, timing).Run(TapeCommand::Rewind, kDefaultDeckWait);
        if (signals.raised()) {
            const DeckCommandResult halt = control.Run(TapeCommand::Stop);
            return refuse(interrupted + std::string(" (while it rewound; ") + deck +
                          (halt.outcome == DeckCommandResult::Outcome::Done
                               ? " was stopped)"
                               : " did not take the stop command: it may still be winding)"));
        }
        if (r.outcome != DeckCommandResult::Outcome::Done) {
            return refuse(deck + " did not rewind (" + DeckOutcomeText(r.outcome) + ")");
        }
        status = r.status;
    }
    const double tape_start = status.position_seconds ? *status.position_seconds : kNoTime;

    // The report's head: who made it, from what.
    Report head;
    head.tool_version = TESSALINE_VERSION;
    head.command = "archive";
    Args line = {"tessaline-cli", "archive"};
    line.insert(line.end(), args.begin(), args.end());
    head.command_line = QuotedCommandLine(line);
    const DeckListing listing = driver->Listing();
    head.deck = DeckIdentity{deck, listing.vendor.value_or(""), listing.model.value_or(""),
                             ListedDeckGuid(setup, static_cast<int>(o.device))};
    head.started_ms = NowMs();

    const std::filesystem::path work = folder.root / ("." + o.id + ".capture");
    TapeArchive archive(folder.media, o.id, o.mode, tape_start);
    archive.set_blank_stop(o.blank_stop);
    ArchiveReport report(head, folder, o.id, o.mode);
    ArchiveProgress progress(IsTerminal(2), o.progress);
    if (!progress.file_ok()) progress.Note("cannot write the progress to " + o.progress);

    driver->SetCaptureEvents(&log);
    if (sequence.Start(work.string(), true) != RecordingSequence::StartResult::Started) {
        driver->SetCaptureEvents(nullptr);
        std::error_code ec;
        std::filesystem::remove(work, ec);  // nothing was captured into it
        return refuse("cannot record from " + deck + " into " + work.string());
    }
    WorkReader reader(work.string());
    // The tape moves only once the deck's stream is heard (a stopped deck sends empty packets),
    // so that nothing it plays goes by before the connection is made. A deck that sends nothing
    // while stopped is played after a while all the same.
    for (int i = 0; i < 60 && log.logged() == 0 && !signals.raised(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    (void)log.TakeUpTo(~uint64_t{0});  // what came before the tape moved is no part of it
    if (signals.raised()) {
        sequence.Stop();
        driver->SetCaptureEvents(nullptr);
        std::error_code ec;
        std::filesystem::remove(work, ec);
        return refuse(interrupted);
    }
    const DeckCommandResult play = control.Run(TapeCommand::Play);
    if (play.outcome != DeckCommandResult::Outcome::Done || !reader.ok()) {
        sequence.Stop();
        driver->SetCaptureEvents(nullptr);
        std::error_code ec;
        std::filesystem::remove(work, ec);
        control.Run(TapeCommand::Stop);
        return refuse(!reader.ok()
                          ? "cannot read back " + work.string()
                          : deck + " did not play (" + DeckOutcomeText(play.outcome) + ")");
    }

    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    ArchiveLimits limits;
    limits.blank_stop = o.blank_stop;
    ArchiveWatch watch(limits, started);
    auto next_status = started;
    auto next_show = started + std::chrono::seconds(1);
    bool deck_stopped = false;
    bool stream_failed = false;
    std::string stream_error;
    double tape_now = tape_start;
    bool said_report = false;
    auto figures = [&] {
        ArchiveProgress::Figures f;
        f.tape = tape_now;
        f.recording = archive.recordings().size();
        const StreamAnalysis current = archive.Current();
        for (const ArchivedRecording& r : archive.recordings()) {
            f.bytes += r.bytes;
            const StreamAnalysis& a = r.closed ? r.analysis : current;
            f.errors += a.Count(Check::Continuity) + a.Count(Check::SyncLoss) +
                        a.Count(Check::TransportError) + a.Count(Check::DbcGap);
        }
        f.rate = current.mean_bitrate;
        f.elapsed = std::chrono::duration<double>(Clock::now() - started).count();
        return f;
    };
    ArchiveEnd end = ArchiveEnd::None;
    while (end == ArchiveEnd::None) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto now = Clock::now();
        reader.Pump(sequence.SizeNow(), log, archive);
        if (now >= next_status) {
            DeckStatus s;
            if (driver->Status(s)) {
                deck_stopped = s.transport == DeckTransport::Stop || s.medium == DeckMedium::None;
                if (s.position_seconds) tape_now = *s.position_seconds;
            }
            next_status = now + std::chrono::milliseconds(500);
        }
        if (const int32_t event = setup.capture->PollCompletion(); event != 0) {
            stream_failed = true;
            stream_error =
                event == EC_COMPLETE ? "the deck's stream ended" : "the deck's stream broke off";
        }
        ArchiveWatch::Look look;
        look.now = now;
        look.bytes = setup.data_path.bytes_received();
        look.activity = log.logged();
        look.deck_stopped = deck_stopped;
        // A blank is seen going on, or, when the deck ran ahead of this loop, in what was read.
        look.blank_now = archive.blank_stopped() ? o.blank_stop + 1 : log.empty_now();
        look.stop_asked = signals.raised();
        look.failed = archive.failed() || setup.stream.stats.WriteFailures != 0;
        look.stream_failed = stream_failed;
        end = watch.Check(look);
        if (!report.Update(archive, NowMs()) && !said_report) {
            said_report = true;
            progress.Note("the report is not kept up to date: " + report.error());
        }
        if (now >= next_show) {
            progress.Show(figures(), false);
            next_show += std::chrono::seconds(1);
        }
    }

    const bool stopped = sequence.Stop();
    driver->SetCaptureEvents(nullptr);
    const DeckCommandResult halt = control.Run(TapeCommand::Stop);
    reader.Pump(sequence.size(), log, archive);
    archive.Feed(nullptr, 0, log.TakeUpTo(~uint64_t{0}));
    // Where the tape stopped tells how long the blank at its end was (the deck may have sent
    // empty packets after it stopped, too).
    std::optional<double> tape_end;
    if (DeckStatus last; (end == ArchiveEnd::EndOfTape || end == ArchiveEnd::Blank) &&
                         driver->Status(last) && last.position_seconds) {
        tape_end = *last.position_seconds;
        tape_now = *tape_end;
    }
    archive.Finish(tape_end);
    progress.Show(figures(), true);

    const bool write_failed = setup.stream.stats.WriteFailures != 0 || archive.failed() ||
                              !sequence.close_error().empty();
    if (write_failed) end = ArchiveEnd::Failed;
    if (archive.failed()) progress.Note(archive.error());
    if (setup.stream.stats.WriteFailures != 0) {
        progress.Note("writing " + work.string() +
                      " failed (is the disk full?): " + sequence.write_error());
    }
    if (stream_failed) progress.Note(deck + ": " + stream_error);
    if (!stopped) progress.Note(deck + " did not stop sending; the last recording may be short");
    if (halt.outcome != DeckCommandResult::Outcome::Done) {
        progress.Note(deck + " did not take the stop command (" + DeckOutcomeText(halt.outcome) +
                      "); it may still be playing");
    }

    // The working file goes once all of it is in the recordings (or what is left of it came after
    // the blank that ended the archive); else it holds the rest.
    std::error_code ec;
    const uint64_t work_size = std::filesystem::file_size(work, ec);
    if (!archive.failed() && !ec && (reader.offset() >= work_size || archive.blank_stopped())) {
        std::filesystem::remove(work, ec);
    } else if (!ec) {
        progress.Note("the captured stream not yet in the recordings is kept in " + work.string());
    }

    size_t saved = 0;
    for (const ArchivedRecording& r : archive.recordings()) saved += r.bytes != 0 ? 1 : 0;
    const bool report_ok = report.Finish(archive, ArchiveEndName(end), o.bag, NowMs());
    if (!report_ok) {
        progress.Note("cannot write the report or the manifest in " + folder.root.string() + ": " +
                      report.error());
    }
    const Verdict verdict = report.report().verdict();
    std::fprintf(stderr, "archive: %zu recording%s, %zu blank%s, ended: %s, verdict: %s\n",
                 archive.recordings().size(), archive.recordings().size() == 1 ? "" : "s",
                 archive.blanks().size(), archive.blanks().size() == 1 ? "" : "s",
                 ArchiveEndName(end), VerdictName(verdict));
    for (const RecordingReport& r : report.report().recordings) {
        std::printf("%s\t%llu bytes\t%s\n", r.file.c_str(),
                    static_cast<unsigned long long>(r.bytes), VerdictName(r.judgement.verdict));
    }
    if (saved == 0) {
        std::fprintf(stderr, "tessaline-cli: archive: nothing came from the tape in %s\n",
                     deck.c_str());
    }
    const int rc = ArchiveExitCode(end, saved, verdict == Verdict::Pass);
    if (rc == kExitNoResult) made.RemoveEmpty();
    return report_ok || rc == kExitNoResult ? rc : std::max(rc, 2);
}

}  // namespace tessaline::cli
