// Arbitrary bytes as isochronous packets from the bus, through the CIP receiver. The first byte
// chooses the output form; then each packet is a 2-byte length, a flag byte (tag, sy, channel,
// dropped) and that many bytes. Whatever comes in, what comes out is whole packets in sync.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "capture/ieee1394/cip.h"

using namespace tessaline::fw;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool ts = (data[0] & 1) != 0;
    CipReceiver rx(5, ts ? CipReceiver::Output::TsPackets : CipReceiver::Output::SourcePackets);
    const size_t unit = ts ? kTsBytes : kSourcePacketBytes;
    const size_t sync_at = ts ? 0 : kSphBytes;
    std::vector<uint8_t> out;
    out.reserve(1 << 16);
    size_t pos = 1;
    while (pos + 3 <= size) {
        size_t length = (size_t{data[pos]} << 8) | data[pos + 1];
        const uint8_t flags = data[pos + 2];
        pos += 3;
        if (length > size - pos) length = size - pos;
        // The packet gets its own allocation so that a read past its end is caught.
        std::vector<uint8_t> packet(data + pos, data + pos + length);
        pos += length;
        IsoPacket p;
        p.data = packet.empty() ? nullptr : packet.data();
        p.length = packet.size();
        p.tag = flags & 3;
        p.sy = (flags >> 2) & 1;
        p.channel = (flags & 8) ? 6 : 5;
        p.dropped = (flags >> 4) & 1;
        out.clear();
        const size_t added = rx.Parse(p, out);
        if (added != out.size() || added % unit != 0) std::abort();
        for (size_t k = 0; k < added; k += unit) {
            if (out[k + sync_at] != kTsSync) std::abort();
        }
    }
    return 0;
}
