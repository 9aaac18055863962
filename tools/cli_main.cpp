// tessaline-cli: the recorder's engine without a window.
#include <cstdio>
#include <cstring>
#include <string>

#include "capture/system_framework.h"
#include "tools/cli_common.h"

namespace {

void PrintHelp() {
    std::printf(
        "usage: tessaline-cli COMMAND [ARGS]\n"
        "\n"
        "The D-VHS recorder's engine without a window.\n"
        "\n"
        "commands:\n"
        "  probe FILE        packet size and video/audio PIDs of a TS file\n"
        "  remux IN OUT      convert a TS file into a program stream file\n"
        "  scan FILE...      show what a recording of the given TS files would show\n"
        "  check FILE...     the quality of TS files: errors, dropouts, verdict; check --help\n"
        "  devices           list the D-VHS decks (index and name)\n"
        "  deck COMMAND      the deck's tape: status, play, stop, rewind, ff, ...; deck --help\n"
        "  deck-check        check a real deck on the IEEE 1394 bus, for a bug report\n"
        "  record ...        record from a deck into a file; record --help for the options\n"
        "  archive ...       digitise a whole tape, one file per recording, with a report;\n"
        "                    archive --help\n"
        "  reservations      the timetable and what will run next; reservations --help\n"
        "  schedule          run the timetable without a window (a service); schedule --help\n"
        "  write FILE...     play TS files into a deck (--verify: and prove it); write --help\n"
        "  verify FILE...    compare what the deck plays now with files; verify --help\n"
        "\n"
        "  --help            this text; COMMAND --help for one command\n"
        "  --version         the program version\n"
        "\n"
        "exit codes: 0 done, 1 failed, 2 bad usage or input, 3 nothing found, 130 interrupted\n");
    std::printf("\n%s", tessaline::VirtualDeckHelp());
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tessaline::cli;
    if (argc < 2) {
        PrintHelp();
        return kExitUsage;
    }
    const std::string command = argv[1];
    const Args args(argv + 2, argv + argc);
    if (command == "--help" || command == "-h" || command == "help") {
        PrintHelp();
        return kExitOk;
    }
    if (command == "--version") {
        std::printf("tessaline-cli %s\n", TESSALINE_VERSION);
        return kExitOk;
    }
    if (command == "probe") return ProbeCommand(args);
    if (command == "remux") return RemuxCommand(args);
    if (command == "scan") return ScanCommand(args);
    if (command == "check") return CheckCommand(args);
    if (command == "devices") return DevicesCommand(args);
    if (command == "deck") return DeckCommand(args);
    if (command == "deck-check") return DeckCheckCommand(args);
    if (command == "record") return RecordCommand(args);
    if (command == "archive") return ArchiveCommand(args);
    if (command == "reservations") return ReservationsCommand(args);
    if (command == "schedule") return ScheduleCommand(args);
    if (command == "write") return WriteCommand(args);
    if (command == "verify") return VerifyCommand(args);
    return Usage("unknown command '" + command + "'");
}
