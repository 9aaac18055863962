// devices: the decks as the window's device box lists them.
#include <cstdio>

#include "capture/system_framework.h"
#include "tools/cli_capture.h"
#include "tools/cli_common.h"

namespace tessaline::cli {

void StderrMessages::ShowError(const std::string& caption, const std::string& text) {
    if (caption.empty()) {
        std::fprintf(stderr, "tessaline-cli: %s\n", text.c_str());
    } else {
        std::fprintf(stderr, "tessaline-cli: %s: %s\n", caption.c_str(), text.c_str());
    }
}

CaptureSetup::CaptureSetup() {
    std::vector<std::string> notes;
    framework = CreateSystemFramework(notes);
    for (const std::string& note : notes) std::fprintf(stderr, "tessaline-cli: %s\n", note.c_str());
    capture = std::make_unique<CDSCapture>(*framework, messages, stream, data_path);
}

CaptureSetup::~CaptureSetup() = default;

int CaptureSetup::ListDecks() {
    flags.DeviceReady = FillDeviceList(*capture, box, flags, messages);
    if (box.Count() == 0) {
        std::fprintf(stderr, "tessaline-cli: %s\n", DeviceNotFoundText(true).c_str());
        return kExitNoResult;
    }
    return flags.DeviceReady ? kExitOk : kExitFailure;
}

int DevicesCommand(const Args& args) {
    const bool verbose = args.size() == 1 && (args[0] == "--verbose" || args[0] == "-v");
    if (!args.empty() && !verbose) {
        if (args[0] != "--help" && args[0] != "-h") {
            return Usage("devices takes no arguments but --verbose");
        }
        std::printf(
            "usage: tessaline-cli devices [--verbose]\n"
            "Lists the D-VHS decks as the window's device box does: index and name. The index\n"
            "is what 'record --device' takes. Exits with 3 when there is no deck.\n"
            "--verbose adds for each deck its GUID, node, power and transport state, tape\n"
            "position and cassette.\n\n%s",
            VirtualDeckHelp());
        return kExitOk;
    }
    CaptureSetup setup;
    const int rc = setup.ListDecks();
    for (int i = 0; i < setup.box.Count(); ++i) {
        std::printf("%d  %s\n", i, setup.box.items[static_cast<size_t>(i)].c_str());
    }
    if (verbose) PrintDeckDetails(setup);
    return rc;
}

}  // namespace tessaline::cli
