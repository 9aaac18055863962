// SPDX-License-Identifier: GPL-3.0-or-later
// deck-check: the first thing to run with a real deck, and what to attach to a bug report.
#include <cstdio>

#include "tools/cli_common.h"
#ifdef TESSALINE_HAVE_IEEE1394_CORE
#include "capture/ieee1394/deck_check.h"
#endif

namespace tessaline::cli {

int DeckCheckCommand(const Args& args) {
    bool json = false;
    bool play = false;
    long device = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            std::printf(
                "usage: tessaline-cli deck-check [--device N] [--play] [--json]\n"
                "Checks a real D-VHS deck on the IEEE 1394 bus and prints what to attach to a\n"
                "bug report: which /dev/fw* nodes may be opened (the controller's own among\n"
                "them), every node's configuration ROM, the deck's power and transport state,\n"
                "its tape position and cassette, its plug registers and, when the deck plays, a\n"
                "5-second receive test (packets, gaps in the data block counter, rate). --play\n"
                "starts playback for the test and stops it after. N is the deck's index as\n"
                "'devices' lists it (default 0). --json prints one JSON object instead of text.\n"
                "Exits with 0 when the deck was checked, 3 when there is no deck.\n");
            return kExitOk;
        }
        if (args[i] == "--json") {
            json = true;
        } else if (args[i] == "--play") {
            play = true;
        } else if (args[i] == "--device" && i + 1 < args.size()) {
            const auto n = ParseCount(args[++i]);
            if (!n) return Usage("--device takes a deck index, not '" + args[i] + "'");
            device = *n;
        } else {
            return Usage("deck-check: unknown argument '" + args[i] + "'");
        }
    }
#ifdef TESSALINE_HAVE_IEEE1394_CORE
    fw::DeckCheckReport report;
    const bool checked =
        fw::CheckSystemDeck(static_cast<int>(device), std::chrono::seconds(5), report, play);
    const std::string out = json ? fw::DeckCheckJson(report) : fw::DeckCheckText(report);
    std::printf("%s%s", out.c_str(), json ? "\n" : "");
    if (!checked) {
        std::fprintf(stderr, "tessaline-cli: deck-check: no IEEE 1394 deck %ld found\n", device);
        return kExitNoResult;
    }
    return kExitOk;
#else
    (void)json;
    (void)play;
    std::fprintf(stderr, "tessaline-cli: deck-check: built without IEEE 1394 support\n");
    return kExitNoResult;
#endif
}

}  // namespace tessaline::cli
