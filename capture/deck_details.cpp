// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/deck_details.h"

#include <memory>

#include "capture/ds_capture.h"
#include "capture/graph/graph_host.h"

namespace tessaline {
namespace {

std::shared_ptr<VirtualDeck> ListedDeck(MediaFramework& framework, int index) {
    auto* host = dynamic_cast<GraphHost*>(&framework);
    if (host == nullptr || index < 0) return nullptr;
    int listed = 0;
    for (const auto& deck : host->Decks()) {
        const VirtualDeckConfig& c = deck->config();
        if (c.device_type != ED_DEVTYPE_VCR || !c.offers_ext_device) continue;
        if (listed >= static_cast<int>(CDSCapture::kMaxDevices)) break;
        if (listed == index) return deck;
        ++listed;
    }
    return nullptr;
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

}  // namespace

DeckDriver* ListedDeckDriver(MediaFramework& framework, int index) {
    const auto deck = ListedDeck(framework, index);
    return deck ? deck->config().driver.get() : nullptr;
}

std::string ListedDeckDetails(MediaFramework& framework, int index) {
    const auto deck = ListedDeck(framework, index);
    if (!deck) return {};
    const VirtualDeckConfig& c = deck->config();
    if (c.driver) return c.driver->Describe();
    return "virtual deck playing " + c.file + ", power " + DevicePowerText(deck->power()) +
           ", transport " + ModeName(deck->transport_mode());
}

}  // namespace tessaline
