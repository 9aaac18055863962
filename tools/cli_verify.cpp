// SPDX-License-Identifier: GPL-3.0-or-later
// verify: compares what the deck plays now with files written to it, for decks that keep no
// tape counter (rewound by hand); write --verify does the same after winding back itself.
#include "tools/cli_verify.h"

#include <sys/stat.h>

#include <cstdio>

#include "capture/tape_verifier.h"
#include "tools/cli_capture.h"

namespace tessaline::cli {

int VerifyOnDeck(DeckDriver& deck, const std::string& deck_name,
                 const std::vector<std::string>& files, std::optional<double> start,
                 std::optional<double> end, bool json, const StopSignals& signals) {
    TapeVerifier verifier(deck, {}, [&](const std::string& note) {
        std::fprintf(stderr, "verifying on %s: %s\n", deck_name.c_str(), note.c_str());
    });
    const VerifyOutcome outcome = verifier.Run(files, start, end, [&] { return signals.raised(); });
    if (json) {
        std::printf("%s\n", VerifyJson(outcome).c_str());
    } else {
        for (const FileComparison& c : outcome.files) {
            std::printf("%s\n", ComparisonText(c).c_str());
        }
        std::printf("%s\n", VerifySummary(outcome).c_str());
    }
    std::fflush(stdout);
    if (signals.raised()) return kExitInterrupted;
    return outcome.all_verified() ? kExitOk : kExitFailure;
}

namespace {

void PrintHelp() {
    std::printf(
        "usage: tessaline-cli verify [--device N] [--json] FILE...\n"
        "\n"
        "Plays the tape of deck N (default 0) from where it is now and compares what comes\n"
        "back with the files, in order, as 'write --verify' does after a write: for decks that\n"
        "keep no tape counter, rewound by hand to before the first file. It plays until every\n"
        "file was found or the tape stops, then stops the tape.\n"
        "\n"
        "  --json   one JSON object: per file the result, packets missing and wrong, and the\n"
        "           first difference (byte offset and stream time)\n"
        "\n"
        "Exit codes: 0 every file verified, 1 a file differs or could not be read back, 2 bad\n"
        "usage, 3 no such deck (or one that cannot be played back from here), 130 stopped.\n");
}

}  // namespace

int VerifyCommand(const Args& args) {
    long device = 0;
    bool json = false;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            PrintHelp();
            return kExitOk;
        } else if (arg == "--device") {
            const auto n = i + 1 < args.size() ? ParseCount(args[++i]) : std::nullopt;
            if (!n) return Usage("--device takes a deck index");
            device = *n;
        } else if (arg == "--json") {
            json = true;
        } else if (arg.starts_with("--")) {
            return Usage("verify: unknown argument '" + arg + "'");
        } else {
            files.push_back(arg);
        }
    }
    if (files.empty()) return Usage("verify needs at least one FILE");
    for (const std::string& file : files) {
        struct stat st {};
        if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            return Usage("verify: cannot read '" + file + "'");
        }
    }
    CaptureSetup setup;
    if (setup.ListDecks() == kExitNoResult) return kExitNoResult;
    if (device >= setup.box.Count()) {
        std::fprintf(stderr, "tessaline-cli: verify: there is no deck %ld (%d listed)\n", device,
                     setup.box.Count());
        return kExitNoResult;
    }
    const std::string name = setup.box.items[static_cast<size_t>(device)];
    DeckDriver* driver = ListedDriver(setup, static_cast<int>(device));
    if (driver == nullptr) {
        std::fprintf(stderr, "tessaline-cli: verify: %s cannot be played back from here\n",
                     name.c_str());
        return kExitNoResult;
    }
    StopSignals signals;
    return VerifyOnDeck(*driver, name, files, std::nullopt, std::nullopt, json, signals);
}

}  // namespace tessaline::cli
