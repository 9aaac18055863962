// SPDX-License-Identifier: GPL-3.0-or-later
// deck: the tape transport from the command line: the deck's state (power, transport, tape
// position, cassette), and the transport and power commands, optionally waiting until the deck
// reports that it got there.
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

#include "capture/deck_transport.h"
#include "tools/cli_capture.h"
#include "tools/cli_common.h"

namespace tessaline::cli {
namespace {

struct DeckArgs {
    long device = 0;
    std::string command;
    std::optional<std::chrono::milliseconds> wait;
    bool json = false;
};

void PrintHelp() {
    std::printf(
        "usage: tessaline-cli deck [--device N] COMMAND [--wait[=SECONDS]] [--json]\n"
        "\n"
        "Drives the tape of deck N (default 0, see 'tessaline-cli devices'). COMMAND is one of\n"
        "  status        power, transport, tape position (seconds from the tape's start by the\n"
        "                deck's counter) and cassette, with the deck's own replies\n"
        "  play  stop  pause  rewind  ff  record-pause  power-on  power-off\n"
        "\n"
        "  --wait[=SECONDS]  after the command, wait until the deck reports the state it leads\n"
        "                    to (rewind, ff: stopped at the tape's end), at most SECONDS\n"
        "                    (default 600)\n"
        "  --json            one JSON object: the command, its result and the deck's state\n"
        "\n"
        "Exit codes: 0 done, 1 refused by the deck or not there in time, 2 bad usage, 3 no\n"
        "such deck (or one whose tape this program cannot drive).\n");
}

std::optional<TapeCommand> ParseCommand(const std::string& name) {
    if (name == "play") return TapeCommand::Play;
    if (name == "stop") return TapeCommand::Stop;
    if (name == "pause") return TapeCommand::Pause;
    if (name == "rewind") return TapeCommand::Rewind;
    if (name == "ff") return TapeCommand::FastForward;
    if (name == "record-pause") return TapeCommand::RecordPause;
    if (name == "power-on") return TapeCommand::PowerOn;
    if (name == "power-off") return TapeCommand::PowerOff;
    return std::nullopt;
}

std::optional<int> Parse(const Args& args, DeckArgs& d) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            PrintHelp();
            return kExitOk;
        } else if (arg == "--device") {
            const auto n = i + 1 < args.size() ? ParseCount(args[++i]) : std::nullopt;
            if (!n) return Usage("--device takes a deck index");
            d.device = *n;
        } else if (arg == "--wait") {
            d.wait = kDefaultDeckWait;
        } else if (arg.starts_with("--wait=")) {
            const auto n = ParseCount(arg.substr(7));
            if (!n)
                return Usage("--wait takes a whole number of seconds, not '" + arg.substr(7) + "'");
            d.wait = std::chrono::seconds(*n);
        } else if (arg == "--json") {
            d.json = true;
        } else if (arg.starts_with("-") || !d.command.empty()) {
            return Usage("deck: unknown argument '" + arg + "'");
        } else {
            d.command = arg;
        }
    }
    if (d.command.empty()) return Usage("deck needs a COMMAND (status, play, stop, ...)");
    if (d.command != "status" && !ParseCommand(d.command)) {
        return Usage("deck: unknown command '" + d.command + "'");
    }
    if (d.command == "status" && d.wait) return Usage("deck status does not wait");
    return std::nullopt;
}

std::string StatusText(const DeckStatus& s) {
    std::string text = std::string("power ") + DevicePowerText(s.power) + ", transport " +
                       DeckTransportText(s.transport) + ", position ";
    if (s.position_seconds) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, " (%.1f s)", *s.position_seconds);
        text += TapePositionText(s.position_seconds) + seconds;
    } else {
        text += "unknown (the deck keeps no counter)";
    }
    return text + ", cassette " + DeckMediumText(s.medium);
}

}  // namespace

int DeckCommand(const Args& args) {
    DeckArgs d;
    if (const auto rc = Parse(args, d)) return *rc;
    CaptureSetup setup;
    if (setup.ListDecks() == kExitNoResult) return kExitNoResult;
    if (d.device >= setup.box.Count()) {
        std::fprintf(stderr, "tessaline-cli: deck: there is no deck %ld (%d listed)\n", d.device,
                     setup.box.Count());
        return kExitNoResult;
    }
    const std::string name = setup.box.items[static_cast<size_t>(d.device)];
    DeckDriver* driver = ListedDriver(setup, static_cast<int>(d.device));
    if (driver == nullptr) {
        std::fprintf(stderr, "tessaline-cli: deck: %s cannot be driven from here\n", name.c_str());
        return kExitNoResult;
    }
    const std::string head =
        "{\"device\":" + std::to_string(d.device) + ",\"name\":" + JsonQuote(name);
    if (d.command == "status") {
        DeckStatus status;
        if (!driver->Status(status)) {
            const std::string why = status.replies.empty() ? "" : status.replies.front().second;
            std::fprintf(stderr, "tessaline-cli: deck: %s does not answer (%s)\n", name.c_str(),
                         why.c_str());
            return kExitFailure;
        }
        if (d.json) {
            std::printf("%s,\"status\":%s}\n", head.c_str(), DeckStatusJson(status).c_str());
        } else {
            std::printf("%s: %s\n", name.c_str(), StatusText(status).c_str());
        }
        return kExitOk;
    }

    DeckTransportControl control(*driver);
    const DeckCommandResult result = control.Run(*ParseCommand(d.command), d.wait);
    const bool done = result.outcome == DeckCommandResult::Outcome::Done;
    if (d.json) {
        char waited[32];
        std::snprintf(waited, sizeof waited, "%.1f", result.waited_seconds);
        std::printf("%s,\"command\":%s,\"result\":%s,\"waited\":%s,\"status\":%s}\n", head.c_str(),
                    JsonQuote(d.command).c_str(),
                    JsonQuote(DeckOutcomeText(result.outcome)).c_str(), waited,
                    DeckStatusJson(result.status).c_str());
    } else {
        std::printf("%s: %s %s; %s\n", name.c_str(), d.command.c_str(),
                    DeckOutcomeText(result.outcome), StatusText(result.status).c_str());
    }
    if (result.outcome == DeckCommandResult::Outcome::Unsupported && result.code == kE_NOTIMPL) {
        std::fprintf(stderr, "tessaline-cli: deck: %s has no %s\n", name.c_str(),
                     d.command.c_str());
        return kExitFailure;
    }
    if (!done) {
        char code[16];
        std::snprintf(code, sizeof code, "%X", static_cast<unsigned>(result.code));
        std::fprintf(stderr, "tessaline-cli: deck: %s %s %s\n", name.c_str(), d.command.c_str(),
                     result.outcome == DeckCommandResult::Outcome::TimedOut
                         ? "was accepted, but the deck did not get there in time"
                         : (std::string("was refused (") + code + ")").c_str());
    }
    return done ? kExitOk : kExitFailure;
}

}  // namespace tessaline::cli
