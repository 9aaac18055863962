// devices --verbose: what each listed deck is and what it is doing now.
#include <cstdio>

#include "capture/graph/graph_host.h"
#include "tools/cli_capture.h"
#ifdef TESSALINE_HAVE_IEEE1394_CORE
#include "capture/ieee1394/ieee1394_deck.h"
#endif

namespace tessaline::cli {
namespace {

// The framework's entry for the listed deck `index`: the device list holds the tape decks of
// the framework's list, in order, up to its limit.
std::shared_ptr<DeckDriver> ListedDeck(CaptureSetup& setup, int index) {
    auto* framework = dynamic_cast<GraphHost*>(setup.framework.get());
    if (framework == nullptr) return nullptr;
    int listed = 0;
    for (const auto& deck : framework->Decks()) {
        const DeckListing c = deck->Listing();
        if (c.device_type != ED_DEVTYPE_VCR || !c.offers_ext_device) continue;
        if (listed >= setup.box.Count()) break;
        if (listed == index) return deck;
        ++listed;
    }
    return nullptr;
}

}  // namespace

bool SetIsoDump(CaptureSetup& setup, int index, const std::string& path) {
#ifdef TESSALINE_HAVE_IEEE1394_CORE
    const auto deck = ListedDeck(setup, index);
    auto* real = dynamic_cast<fw::Ieee1394Deck*>(deck.get());
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
    for (int index = 0; const auto deck = ListedDeck(setup, index); ++index) {
        std::printf("   %d: %s\n", index, deck->Describe().c_str());
    }
}

}  // namespace tessaline::cli
