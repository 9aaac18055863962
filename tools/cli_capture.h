// What the capture commands share: the framework from the environment, the controller, and the
// decks listed as the device box would list them.
#pragma once

#include <memory>
#include <string>

#include "capture/deck_driver.h"
#include "capture/device_box.h"
#include "capture/ds_capture.h"
#include "capture/message_sink.h"
#include "stream/capture_data_path.h"
#include "stream/stream_context.h"

namespace tessaline::cli {

// The capture layer's reports, on stderr.
class StderrMessages final : public MessageSink {
  public:
    void ShowError(const std::string& caption, const std::string& text) override;
};

struct CaptureSetup {
    // Builds the framework the environment describes; its notes go to stderr.
    CaptureSetup();
    ~CaptureSetup();

    // Fills the device list. kExitOk, kExitNoResult ("Cannot find capture device") or
    // kExitFailure (the sample grabber is missing; the decks are listed all the same).
    int ListDecks();

    std::unique_ptr<MediaFramework> framework;
    StderrMessages messages;
    StreamContext stream;
    CaptureDataPath data_path{stream};
    std::unique_ptr<CDSCapture> capture;
    ListDeviceBox box;
    DeviceSelection selection;
    RunState flags{.UseEnglish = true};
};

// devices --verbose: one line per listed deck with its identity and state.
void PrintDeckDetails(CaptureSetup& setup);

// The driver behind the listed deck `index` (a real deck's); nullptr for a deck without one
// (the virtual deck) or an index out of range.
DeckDriver* ListedDriver(CaptureSetup& setup, int index);

// The GUID of the listed deck `index` as 16 hex digits when it is a real IEEE 1394 deck; empty
// otherwise.
std::string ListedDeckGuid(CaptureSetup& setup, int index);

// Asks the listed deck `index`, when it is a real IEEE 1394 deck, to keep the raw iso packets
// of its next capture in `path`. False when it is not such a deck.
bool SetIsoDump(CaptureSetup& setup, int index, const std::string& path);

}  // namespace tessaline::cli
