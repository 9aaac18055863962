// devices --verbose: what each listed deck is and what it is doing now.
#include <cstdio>

#include "capture/deck_details.h"
#include "tools/cli_capture.h"
#ifdef TESSALINE_HAVE_IEEE1394_CORE
#include "capture/ieee1394/enumerate.h"
#include "capture/ieee1394/ieee1394_deck.h"
#endif

namespace tessaline::cli {

DeckDriver* ListedDriver(CaptureSetup& setup, int index) {
    return index < setup.box.Count() ? ListedDeckDriver(*setup.framework, index) : nullptr;
}

bool SetIsoDump(CaptureSetup& setup, int index, const std::string& path) {
#ifdef TESSALINE_HAVE_IEEE1394_CORE
    auto* real = dynamic_cast<fw::Ieee1394Deck*>(ListedDriver(setup, index));
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

std::string ListedDeckGuid(CaptureSetup& setup, int index) {
#ifdef TESSALINE_HAVE_IEEE1394_CORE
    const auto* real = dynamic_cast<fw::Ieee1394Deck*>(ListedDriver(setup, index));
    return real == nullptr ? std::string() : fw::GuidText(real->entry().guid);
#else
    (void)setup;
    (void)index;
    return {};
#endif
}

void PrintDeckDetails(CaptureSetup& setup) {
    for (int index = 0; index < setup.box.Count(); ++index) {
        std::printf("   %d: %s\n", index, ListedDeckDetails(*setup.framework, index).c_str());
    }
}

}  // namespace tessaline::cli
