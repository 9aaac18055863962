#include "capture/ieee1394/enumerate.h"

#include <cstdio>

namespace tessaline::fw {
namespace {

constexpr int kSubunitPages = 8;
constexpr int kWalkAttempts = 3;

bool HasTapeSubunit(AvcClient& avc, int phy, BusStatus& status) {
    status = BusStatus::Ok;
    for (int page = 0; page < kSubunitPages; ++page) {
        const AvcReply reply = avc.Transact(phy, avc::SubunitInfo(page));
        if (reply.status == BusStatus::BusReset || reply.status == BusStatus::IoError) {
            status = reply.status;
            return false;
        }
        bool more = false;
        if (SubunitPageHasTape(reply, more)) return true;
        if (!more) return false;
    }
    return false;
}

}  // namespace

BusStatus FindDecks(IBus& bus, AvcClient& avc, std::vector<DeckEntry>& decks) {
    BusStatus status = BusStatus::Ok;
    for (int attempt = 0; attempt < kWalkAttempts; ++attempt) {
        decks.clear();
        std::vector<NodeInfo> nodes;
        status = bus.Nodes(nodes);
        if (status != BusStatus::Ok) continue;
        for (const NodeInfo& node : nodes) {
            if (node.is_local || !node.avc) continue;
            BusStatus probe = BusStatus::Ok;
            const bool tape = HasTapeSubunit(avc, node.phy, probe);
            if (probe == BusStatus::BusReset) {
                status = probe;
                break;
            }
            if (!tape) continue;
            DeckEntry deck;
            deck.guid = node.guid;
            deck.phy = node.phy;
            deck.vendor = node.vendor.value_or("");
            deck.model = node.model.value_or("");
            deck.vendor_id = node.vendor_id;
            deck.model_id = node.model_id;
            decks.push_back(std::move(deck));
        }
        if (status != BusStatus::BusReset) return BusStatus::Ok;
    }
    return status;
}

std::optional<int> FindPhyByGuid(IBus& bus, uint64_t guid) {
    std::vector<NodeInfo> nodes;
    if (bus.Nodes(nodes) != BusStatus::Ok) return std::nullopt;
    for (const NodeInfo& node : nodes) {
        if (!node.is_local && node.guid == guid) return node.phy;
    }
    return std::nullopt;
}

std::string GuidText(uint64_t guid) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(guid));
    return text;
}

}  // namespace tessaline::fw
