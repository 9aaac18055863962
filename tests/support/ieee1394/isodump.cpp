#include "tests/support/ieee1394/isodump.h"

#include <cstring>

namespace tessaline::fw {
namespace {

constexpr char kMagic[16] = "1394 isodump v1";
constexpr size_t kHeaderBytes = 32;

void PutBe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

}  // namespace

bool ParseIsoDump(const std::vector<uint8_t>& bytes, std::vector<IsoScriptItem>& packets,
                  std::string& error) {
    packets.clear();
    std::vector<DumpedPacket> dumped;
    if (!ParseIsoDump(bytes, dumped, error)) return false;
    for (DumpedPacket& d : dumped) {
        IsoScriptItem item;
        item.bytes = std::move(d.bytes);
        item.channel = static_cast<int>(d.channel);
        item.tag = d.tag;
        item.sy = d.sy;
        packets.push_back(std::move(item));
    }
    return true;
}

std::vector<uint8_t> MakeIsoDump(const std::vector<IsoScriptItem>& packets, int channel) {
    std::vector<uint8_t> out(kMagic, kMagic + sizeof kMagic);
    const uint64_t mask = channel >= 0 && channel < 64 ? uint64_t{1} << channel : 0;
    PutBe32(out, static_cast<uint32_t>(mask >> 32));
    PutBe32(out, static_cast<uint32_t>(mask));
    out.resize(kHeaderBytes, 0);
    for (const IsoScriptItem& p : packets) {
        if (p.kind != IsoScriptItem::Kind::Packet) continue;
        const int ch = p.channel < 0 ? channel : p.channel;
        const uint32_t header = (static_cast<uint32_t>(p.bytes.size()) << 16) |
                                ((p.tag & 3u) << 14) | ((static_cast<uint32_t>(ch) & 0x3Fu) << 8) |
                                (0xAu << 4) | (p.sy & 0xFu);
        PutBe32(out, header);
        out.insert(out.end(), p.bytes.begin(), p.bytes.end());
        out.resize((out.size() + 3) & ~size_t{3}, 0);
    }
    return out;
}

}  // namespace tessaline::fw
