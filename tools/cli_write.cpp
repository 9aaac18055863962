// write: plays TS files into a deck one after another, as the writing tab does: optionally in
// record after a record-pause lead, with repeat, Ctrl-C as STOP.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/deck_driver.h"
#include "capture/deck_writer.h"
#include "capture/system_framework.h"
#include "capture/tape_verifier.h"
#include "capture/write_list.h"
#include "tools/cli_capture.h"
#include "tools/cli_common.h"
#include "tools/cli_verify.h"

namespace tessaline::cli {
namespace {

struct WriteArgs {
    long device = 0;
    WriteOptions options;
    bool verify = false;
    bool json = false;
    std::vector<std::string> files;
};

void PrintHelp() {
    std::printf(
        "usage: tessaline-cli write [--device N] [--rec-start] [--lead-ms MS] [--repeat]\n"
        "                           [--verify [--json]] FILE...\n"
        "\n"
        "Plays the TS files into deck N (default 0, see 'tessaline-cli devices') one after\n"
        "another, as the window's writing tab does.\n"
        "\n"
        "  --rec-start   put the deck in record-pause, wait, then record before the first file;\n"
        "                stop the tape after the last\n"
        "  --lead-ms MS  the record-pause wait in milliseconds (at least 1000; default 10000)\n"
        "  --repeat      after the last file start again with the first, until Ctrl-C\n"
        "  --verify      with --rec-start: note the tape position first (the deck must keep a\n"
        "                counter) and check the files fit when the deck tells the tape's\n"
        "                length; after the write wind back, play, and compare each file with\n"
        "                what comes back: 'verified', or where it differs (byte offset and\n"
        "                stream time) and how many packets are missing or wrong; the tape is\n"
        "                left stopped at the end of what was written\n"
        "  --json        with --verify: the comparison as one JSON object\n"
        "\n"
        "Ctrl-C stops as the STOP button does. A stream that the deck ends with an error ends\n"
        "the writing (the tape stopped with --rec-start). A deck that leaves the bus for a\n"
        "moment (a bus reset, a short unplug) is connected again and told to record again if it\n"
        "stopped; what it missed meanwhile is said with the file and the time in it.\n"
        "Exit codes: 0 every file was sent whole (and, with --verify, came back as sent), 1\n"
        "failed (also: the tape misses part of a file, the deck stopped recording before a\n"
        "file was sent whole, a file differs or could not be read back), 2 bad usage, 3 no\n"
        "deck, 130 stopped before every file was sent.\n\n%s",
        VirtualDeckHelp());
}

std::optional<int> Parse(const Args& args, WriteArgs& w) {
    w.options.lead_text = "10000";
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size()) return std::nullopt;
            return args[++i];
        };
        if (arg == "--help" || arg == "-h") {
            PrintHelp();
            return kExitOk;
        } else if (arg == "--device") {
            const auto text = value();
            const auto n = text ? ParseCount(*text) : std::nullopt;
            if (!n) return Usage("--device takes a deck index");
            w.device = *n;
        } else if (arg == "--lead-ms") {
            const auto text = value();
            if (!text || !ParseCount(*text)) return Usage("--lead-ms takes milliseconds");
            w.options.lead_text = *text;
        } else if (arg == "--rec-start") {
            w.options.rec_start = true;
        } else if (arg == "--repeat") {
            w.options.repeat = true;
        } else if (arg == "--verify") {
            w.verify = true;
        } else if (arg == "--json") {
            w.json = true;
        } else if (arg == "--") {
            w.files.insert(w.files.end(), args.begin() + static_cast<long>(i) + 1, args.end());
            break;
        } else if (arg.starts_with("--")) {
            return Usage("write: unknown argument '" + arg + "'");
        } else {
            w.files.push_back(arg);
        }
    }
    if (w.files.empty()) return Usage("write needs at least one FILE");
    if (w.verify && !w.options.rec_start) {
        return Usage("write --verify needs --rec-start: without it nothing is recorded to verify");
    }
    if (w.verify && w.options.repeat) {
        return Usage("write --verify cannot be used with --repeat, which never ends");
    }
    if (w.json && !w.verify) return Usage("write --json goes with --verify");
    for (const std::string& file : w.files) {
        struct stat st {};
        if (IsBlank(file) || ::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            return Usage("write: cannot read '" + file + "'");
        }
    }
    return std::nullopt;
}

}  // namespace

int WriteCommand(const Args& args) {
    WriteArgs w;
    if (const auto rc = Parse(args, w)) return *rc;

    CaptureSetup setup;
    if (const int rc = setup.ListDecks(); rc != kExitOk) return rc;
    if (w.device >= setup.box.Count()) {
        return Usage("there is no deck " + std::to_string(w.device) + " (" +
                     std::to_string(setup.box.Count()) + " listed; see 'tessaline-cli devices')");
    }
    CDSCapture& capture = *setup.capture;
    setup.box.SetItemIndex(static_cast<int>(w.device));
    cmbVidClick(capture, setup.box, setup.selection, setup.flags, {});
    const std::string deck = setup.box.items[static_cast<size_t>(w.device)];
    if (!setup.flags.DeviceReady) {
        std::fprintf(stderr, "tessaline-cli: cannot open %s\n", deck.c_str());
        return kExitFailure;
    }

    DeckDriver* driver = ListedDriver(setup, static_cast<int>(w.device));
    // Where the write begins, and whether it fits, before anything goes on tape.
    VerifiedWritePlan plan;
    if (w.verify) {
        std::string why = deck + " cannot be driven from here";
        if (driver == nullptr || !PlanVerifiedWrite(*driver, w.files, plan, why)) {
            std::fprintf(stderr, "tessaline-cli: write --verify: %s; nothing was written\n",
                         why.c_str());
            return kExitFailure;
        }
    }

    WriteList list;
    for (const std::string& file : w.files) list.Add(file);
    std::string failure;
    DeckWriterHooks hooks;
    // Nothing records here, so the recording's Stop comes down to stopping the graph.
    hooks.stop_action = [&] { capture.StopGraph(); };
    hooks.show_failure = [&](const std::string& text) { failure = text; };
    hooks.stream_failed = [&](const std::string& path, int32_t event) {
        char code[16];
        std::snprintf(code, sizeof code, "%x", static_cast<unsigned>(event));
        failure = deck + " ended the stream with error " + code + " while playing " + path;
    };
    // What the deck may not have received of each file (its input lost for a while).
    std::vector<std::string> missed;
    hooks.played_out = [&](const std::string& path) {
        if (driver == nullptr) return;
        for (const StreamGap& gap : driver->LastStreamGaps()) {
            missed.push_back(path + ": " + StreamGapText(gap));
        }
    };
    auto say_missed = [&] {
        if (missed.empty()) return false;
        std::fprintf(stderr, "tessaline-cli: the tape misses part of what was sent to %s:\n",
                     deck.c_str());
        for (const std::string& line : missed) std::fprintf(stderr, "  %s\n", line.c_str());
        return true;
    };
    // With --rec-start: a deck that stopped recording (the tape's end) did not take the rest.
    if (driver != nullptr) {
        hooks.read_status = [driver](DeckStatus& status) { return driver->Status(status); };
    }
    hooks.deck_stopped = [&](const DeckStoppedRecording& stop) {
        failure = "writing to " + deck + " failed: " + DeckStoppedText(stop);
    };
    DeckWriter writer(capture, list, hooks);
    const int count = list.CountListed();
    auto announce = [&] {
        std::fprintf(stderr, "writing %d/%d to %s: %s\n", list.Current(), count, deck.c_str(),
                     list.Row(list.Current()).c_str());
    };

    StopSignals signals;
    announce();
    const DeckWriter::StartResult started = writer.Start(w.options);
    if (started != DeckWriter::StartResult::Started) {
        if (!failure.empty()) std::fprintf(stderr, "tessaline-cli: %s\n", failure.c_str());
        capture.ClearAddedFilters();
        return kExitFailure;
    }
    int sent = 0;  // files played out
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (signals.raised()) {
            writer.Stop(w.options);
            std::fprintf(stderr, "tessaline-cli: stopped after %d file(s)\n", sent);
            if (sent < count) return kExitInterrupted;
            return say_missed() ? kExitFailure : kExitOk;
        }
        switch (writer.OnWriteTick(w.options)) {
            case DeckWriter::TickResult::NextFile:
                ++sent;
                announce();
                break;
            case DeckWriter::TickResult::Finished: {
                ++sent;
                if (!w.json) std::printf("%d file(s) written to %s\n", sent, deck.c_str());
                const bool tape_missed = say_missed();
                if (!w.verify) return tape_missed ? kExitFailure : kExitOk;
                // The end of what was written, to play back to and leave the tape at.
                DeckStatus status;
                std::optional<double> end;
                if (driver->Status(status)) end = status.position_seconds;
                const int verified =
                    VerifyOnDeck(*driver, deck, w.files, plan.start_seconds, end, w.json, signals);
                return tape_missed && verified == kExitOk ? kExitFailure : verified;
            }
            case DeckWriter::TickResult::NextFileFailed:
                ++sent;
                if (!failure.empty()) std::fprintf(stderr, "tessaline-cli: %s\n", failure.c_str());
                std::fprintf(stderr, "tessaline-cli: cannot play %s; writing stopped\n",
                             list.Row(list.Current()).c_str());
                return kExitFailure;
            case DeckWriter::TickResult::DeckStopped:
                say_missed();
                std::fprintf(stderr, "tessaline-cli: %s; %d of %d file(s) went on tape whole\n",
                             failure.c_str(), sent, count);
                return kExitFailure;
            case DeckWriter::TickResult::StreamFailed:
                say_missed();
                std::fprintf(stderr, "tessaline-cli: %s; writing stopped\n", failure.c_str());
                return kExitFailure;
            default:
                break;
        }
    }
}

}  // namespace tessaline::cli
