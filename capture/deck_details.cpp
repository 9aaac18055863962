// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/deck_details.h"

#include <memory>

#include "capture/ds_capture.h"
#include "capture/graph/graph_host.h"

namespace tessaline {

DeckDriver* ListedDeckDriver(MediaFramework& framework, int index) {
    auto* host = dynamic_cast<GraphHost*>(&framework);
    if (host == nullptr || index < 0) return nullptr;
    int listed = 0;
    for (const auto& deck : host->Decks()) {
        const DeckListing listing = deck->Listing();
        if (listing.device_type != ED_DEVTYPE_VCR || !listing.offers_ext_device) continue;
        if (listed >= static_cast<int>(CDSCapture::kMaxDevices)) break;
        if (listed == index) return deck.get();
        ++listed;
    }
    return nullptr;
}

std::string ListedDeckDetails(MediaFramework& framework, int index) {
    DeckDriver* deck = ListedDeckDriver(framework, index);
    return deck != nullptr ? deck->Describe() : std::string();
}

}  // namespace tessaline
