// devices --verbose: what each listed deck is and what it is doing now.
#include <cstdio>

#include "capture/graph/graph_host.h"
#include "tools/cli_capture.h"
#ifdef TESSALINE_HAVE_IEEE1394_CORE
#include "capture/ieee1394/ieee1394_deck.h"
#endif

namespace tessaline::cli {
namespace {

const char* PowerName(int32_t power) {
    switch (power) {
        case ED_POWER_ON:
            return "on";
        case ED_POWER_OFF:
            return "off";
        case ED_POWER_STANDBY:
            return "standby";
        default:
            return "unknown";
    }
}

const char* ModeName(int32_t mode) {
    switch (mode) {
        case ED_MODE_STOP:
            return "stop";
        case ED_MODE_RECORD:
            return "record";
        case ED_MODE_RECORD_FREEZE:
            return "record-pause";
        default:
            return "unknown";
    }
}

// The framework's entry for the listed deck `index`: the device list holds the tape decks of
// the framework's list, in order, up to its limit.
std::shared_ptr<VirtualDeck> ListedDeck(CaptureSetup& setup, int index) {
    auto* framework = dynamic_cast<GraphHost*>(setup.framework.get());
    if (framework == nullptr) return nullptr;
    int listed = 0;
    for (const auto& deck : framework->Decks()) {
        const VirtualDeckConfig& c = deck->config();
        if (c.device_type != ED_DEVTYPE_VCR || !c.offers_ext_device) continue;
        if (listed >= setup.box.Count()) break;
        if (listed == index) return deck;
        ++listed;
    }
    return nullptr;
}

}  // namespace

DeckDriver* ListedDriver(CaptureSetup& setup, int index) {
    const auto deck = ListedDeck(setup, index);
    return deck ? deck->config().driver.get() : nullptr;
}

bool SetIsoDump(CaptureSetup& setup, int index, const std::string& path) {
#ifdef TESSALINE_HAVE_IEEE1394_CORE
    const auto deck = ListedDeck(setup, index);
    auto* real = deck ? dynamic_cast<fw::Ieee1394Deck*>(deck->config().driver.get()) : nullptr;
    if (real == nullptr) return false;
    real->set_iso_dump(path);
    return true;
#else
    (void)setup;
    (void)index;
    (void)path;
    return false;
#endif
}

void PrintDeckDetails(CaptureSetup& setup) {
    auto* framework = dynamic_cast<GraphHost*>(setup.framework.get());
    if (framework == nullptr) return;
    // The device list holds the tape decks of the framework's list, in order, up to its limit.
    int index = 0;
    for (const auto& deck : framework->Decks()) {
        const VirtualDeckConfig& c = deck->config();
        if (c.device_type != ED_DEVTYPE_VCR || !c.offers_ext_device) continue;
        if (index >= setup.box.Count()) break;
        const std::string detail = c.driver ? c.driver->Describe()
                                            : "virtual deck playing " + c.file + ", power " +
                                                  PowerName(deck->power()) + ", transport " +
                                                  ModeName(deck->transport_mode());
        std::printf("   %d: %s\n", index, detail.c_str());
        ++index;
    }
}

}  // namespace tessaline::cli
