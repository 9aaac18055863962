#include "tests/support/ieee1394/isodump.h"

#include <cstring>

namespace tessaline::fw {
namespace {

constexpr char kMagic[16] = "1394 isodump v1";
constexpr size_t kHeaderBytes = 32;

uint32_t ReadBe32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void PutBe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

}  // namespace

bool ParseIsoDump(const std::vector<uint8_t>& bytes, std::vector<IsoScriptItem>& packets,
                  std::string& error) {
    packets.clear();
    if (bytes.size() < kHeaderBytes || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
        error = "not an isodump file";
        return false;
    }
    size_t pos = kHeaderBytes;
    while (pos + 4 <= bytes.size()) {
        const uint32_t header = ReadBe32(bytes.data() + pos);
        pos += 4;
        const size_t length = header >> 16;
        const size_t padded = (length + 3) & ~size_t{3};
        // A dump stopped while writing (dumpiso ended by a signal) is cut in its last packet.
        if (padded > bytes.size() - pos) return true;
        IsoScriptItem item;
        item.tag = (header >> 14) & 3;
        item.channel = static_cast<int>((header >> 8) & 0x3F);
        item.sy = header & 0xF;
        item.bytes.assign(bytes.begin() + static_cast<long>(pos),
                          bytes.begin() + static_cast<long>(pos + length));
        packets.push_back(std::move(item));
        pos += padded;
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
