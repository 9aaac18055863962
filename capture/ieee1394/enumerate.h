// Finding the tape decks on a bus: every AV/C unit with a tape recorder subunit, the local node
// and other nodes skipped; and finding a deck again by its GUID after a bus reset renumbers nodes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/ieee1394/avc.h"
#include "capture/ieee1394/seams.h"

namespace tessaline::fw {

struct DeckEntry {
    uint64_t guid = 0;
    int phy = -1;
    // From the configuration ROM; empty when it has no text (the capture controller then names
    // the deck "... (Unknown Video #k)").
    std::string vendor;
    std::string model;
    uint32_t vendor_id = 0;
    uint32_t model_id = 0;
};

// The name every deck of this backend gives as its friendly name.
inline constexpr const char* kDeckFriendlyName = "AV/C Tape Subunit";

// Lists the decks in physical-ID order. Probes only AV/C nodes (a silent node costs a time-out
// per page). A bus reset during the walk starts it over, a few times at most.
BusStatus FindDecks(IBus& bus, AvcClient& avc, std::vector<DeckEntry>& decks);

// The node that has this GUID now, if any.
std::optional<int> FindPhyByGuid(IBus& bus, uint64_t guid);

// "0x0080880312345678".
std::string GuidText(uint64_t guid);

}  // namespace tessaline::fw
