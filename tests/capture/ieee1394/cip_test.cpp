// The CIP receiver against packets as decks send them and as a damaged bus delivers them, and
// the writer against the receiver.
#include <gtest/gtest.h>

#include <cstring>

#include "capture/ieee1394/cip.h"
#include "tests/support/ieee1394/fake_bus.h"

namespace tessaline::fw {
namespace {

using Bytes = std::vector<uint8_t>;

// n source packets whose header and TS bytes are all distinct, so any mix-up shows.
Bytes SourcePackets(size_t n, uint8_t seed = 0) {
    Bytes out(n * kSourcePacketBytes);
    for (size_t i = 0; i < n; ++i) {
        uint8_t* sp = out.data() + i * kSourcePacketBytes;
        for (size_t k = 0; k < kSourcePacketBytes; ++k) {
            sp[k] = static_cast<uint8_t>(i * 7 + k * 13 + seed);
        }
        sp[4] = kTsSync;
    }
    return out;
}

Bytes Trim(const Bytes& sp) {
    Bytes out;
    for (size_t pos = 0; pos + kSourcePacketBytes <= sp.size(); pos += kSourcePacketBytes) {
        out.insert(out.end(), sp.begin() + static_cast<long>(pos + 4),
                   sp.begin() + static_cast<long>(pos + kSourcePacketBytes));
    }
    return out;
}

IsoPacket Packet(const Bytes& bytes, unsigned channel = 5) {
    IsoPacket p;
    p.data = bytes.data();
    p.length = bytes.size();
    p.channel = channel;
    p.tag = 1;
    return p;
}

Bytes Receive(CipReceiver& rx, const std::vector<IsoScriptItem>& items, unsigned channel = 5) {
    Bytes out;
    out.reserve(kMaxIsoPayload);
    for (const IsoScriptItem& item : items) {
        IsoPacket p = Packet(item.bytes, item.channel < 0 ? channel : item.channel);
        p.tag = item.tag;
        p.sy = item.sy;
        p.dropped = item.dropped;
        rx.Parse(p, out);
    }
    return out;
}

TEST(CipReceiver, OneToFivePacketsPerCycleKeepEveryByte) {
    const Bytes sp = SourcePackets(41);
    for (int per_cycle = 0; per_cycle <= kMaxSourcePacketsPerCycle; ++per_cycle) {
        SCOPED_TRACE(per_cycle);
        CipReceiver rx(5, CipReceiver::Output::SourcePackets);
        EXPECT_EQ(Receive(rx, IsoPacketsFrom(sp, per_cycle, 248)), sp);  // DBC wraps past 255
        EXPECT_EQ(rx.stats().source_packets, 41u);
        EXPECT_EQ(rx.stats().dbc_gaps, 0u);
        EXPECT_EQ(rx.stats().empty_packets, per_cycle == 0 ? 41u : 0u);
    }
}

TEST(CipReceiver, TsModeStripsTheSourcePacketHeader) {
    const Bytes sp = SourcePackets(12);
    CipReceiver rx(5, CipReceiver::Output::TsPackets);
    EXPECT_EQ(Receive(rx, IsoPacketsFrom(sp, 3)), Trim(sp));
}

TEST(CipReceiver, SplitSourcePacketsAreJoined) {
    const Bytes sp = SourcePackets(9);
    CipReceiver rx(5, CipReceiver::Output::SourcePackets);
    EXPECT_EQ(Receive(rx, SplitIsoPacketsFrom(sp, 8)), sp);
    // Joining starts only at a source packet's first block: the tail of one is skipped.
    auto items = SplitIsoPacketsFrom(sp);
    items.erase(items.begin());
    CipReceiver late(5, CipReceiver::Output::SourcePackets);
    EXPECT_EQ(Receive(late, items), Bytes(sp.begin() + 192, sp.end()));
}

TEST(CipReceiver, DbcGapIsCountedAndNotFatal) {
    const Bytes sp = SourcePackets(20);
    auto items = IsoPacketsFrom(sp, 2);
    items.erase(items.begin() + 3, items.begin() + 5);  // two packets (4 source packets) lost
    CipReceiver rx(5, CipReceiver::Output::SourcePackets);
    Bytes expected(sp.begin(), sp.begin() + 6 * 192);
    expected.insert(expected.end(), sp.begin() + 10 * 192, sp.end());
    EXPECT_EQ(Receive(rx, items), expected);
    EXPECT_EQ(rx.stats().dbc_gaps, 1u);
    EXPECT_EQ(rx.stats().blocks_lost, 32u);

    // A gap inside a split source packet throws the half-joined packet away.
    auto split = SplitIsoPacketsFrom(sp);
    split.erase(split.begin() + 3);  // the second half of packet 1
    CipReceiver halves(5, CipReceiver::Output::SourcePackets);
    Bytes kept(sp.begin(), sp.begin() + 192);
    kept.insert(kept.end(), sp.begin() + 2 * 192, sp.end());
    EXPECT_EQ(Receive(halves, split), kept);
    EXPECT_EQ(halves.stats().dbc_gaps, 1u);
    EXPECT_EQ(halves.stats().partial_dropped, 1u);
}

TEST(CipReceiver, WrongPacketsAreDroppedAndCounted) {
    const Bytes sp = SourcePackets(1);
    const Bytes good = IsoPacketsFrom(sp, 1)[0].bytes;
    auto with = [&](size_t at, uint8_t value) {
        Bytes b = good;
        b[at] = value;
        return b;
    };
    struct Case {
        const char* name;
        Bytes bytes;
        unsigned channel;
        unsigned tag;
        uint64_t CipStats::*counter;
    };
    const Case cases[] = {
        {"other channel", good, 6, 1, &CipStats::wrong_channel},
        {"tag 0 (no CIP)", good, 5, 0, &CipStats::wrong_tag},
        {"shorter than a header", Bytes(good.begin(), good.begin() + 7), 5, 1,
         &CipStats::bad_length},
        {"empty", Bytes{}, 5, 1, &CipStats::bad_length},
        {"not whole blocks", Bytes(good.begin(), good.end() - 5), 5, 1, &CipStats::bad_length},
        {"DV format", with(4, 0x80), 5, 1, &CipStats::wrong_format},
        {"audio format", with(4, 0x90), 5, 1, &CipStats::wrong_format},
        {"second header quadlet marker", with(4, 0x20), 5, 1, &CipStats::bad_header},
        {"first header quadlet marker", with(0, 0x81), 5, 1, &CipStats::bad_header},
        {"DBS 0", with(1, 0x00), 5, 1, &CipStats::bad_header},
        {"DBS 7", with(1, 0x07), 5, 1, &CipStats::bad_header},
        {"no source packet header", with(2, 0xC0), 5, 1, &CipStats::bad_header},
        {"quadlet padding", with(2, 0xCC), 5, 1, &CipStats::bad_header},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CipReceiver rx(5, CipReceiver::Output::SourcePackets);
        Bytes out;
        IsoPacket p = Packet(c.bytes, c.channel);
        p.tag = c.tag;
        if (c.bytes.empty()) p.data = nullptr;
        EXPECT_EQ(rx.Parse(p, out), 0u);
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(rx.stats().*c.counter, 1u);
        EXPECT_EQ(rx.stats().source_packets, 0u);
        // The next good packet still comes through.
        EXPECT_EQ(rx.Parse(Packet(good), out), 192u);
    }
}

TEST(CipReceiver, OtherBlockSizesThatMake192BytesAreAccepted) {
    // FN 0 with one 192-byte block (DBS 48).
    const Bytes sp = SourcePackets(2);
    Bytes packet = {0x01, 48, 0x04, 0x10, 0xA0, 0x80, 0, 0};
    packet.insert(packet.end(), sp.begin(), sp.end());
    CipReceiver rx(5, CipReceiver::Output::SourcePackets);
    Bytes out;
    EXPECT_EQ(rx.Parse(Packet(packet), out), 384u);
    EXPECT_EQ(out, sp);
}

TEST(CipReceiver, LostSyncAndEncryptionAreCounted) {
    Bytes sp = SourcePackets(3);
    sp[192 + 4] = 0x46;  // the second TS packet lost its sync byte
    auto items = IsoPacketsFrom(sp, 3);
    items[0].sy = 1;
    CipReceiver rx(5, CipReceiver::Output::TsPackets);
    const Bytes out = Receive(rx, items);
    Bytes expected = Trim(Bytes(sp.begin(), sp.begin() + 192));
    const Bytes third = Trim(Bytes(sp.begin() + 384, sp.end()));
    expected.insert(expected.end(), third.begin(), third.end());
    EXPECT_EQ(out, expected);
    EXPECT_EQ(rx.stats().lost_sync, 1u);
    EXPECT_EQ(rx.stats().encrypted, 1u);
}

TEST(CipReceiver, DriverDropsRestartTheCounterWithoutAGap) {
    const Bytes sp = SourcePackets(6);
    auto items = IsoPacketsFrom(sp, 1);
    items.erase(items.begin() + 2);
    items[2].dropped = 1;  // the driver says it lost one
    CipReceiver rx(5, CipReceiver::Output::SourcePackets);
    Receive(rx, items);
    EXPECT_EQ(rx.stats().bus_dropped, 1u);
    EXPECT_EQ(rx.stats().dbc_gaps, 0u);
    EXPECT_EQ(rx.stats().source_packets, 5u);
}

TEST(CipWriter, HeaderAndCounter) {
    CipWriter writer(0x02, 0xF8);
    const Bytes sp = SourcePackets(2);
    uint8_t out[kMaxIsoPayload];
    ASSERT_EQ(writer.SourcePackets(out, sizeof out, sp.data(), 2), 8u + 384u);
    EXPECT_EQ(Bytes(out, out + 8), (Bytes{0x02, 0x06, 0xC4, 0xF8, 0xA0, 0x80, 0x00, 0x00}));
    EXPECT_EQ(0, std::memcmp(out + 8, sp.data(), 384));
    EXPECT_EQ(writer.dbc(), 0x08);  // 16 blocks on, wrapped
    EXPECT_EQ(writer.SourcePackets(out, sizeof out, nullptr, 0), 8u);
    EXPECT_EQ(out[3], 0x08);  // an empty packet keeps the counter
    EXPECT_EQ(writer.Packet(out, sizeof out, sp.data(), 25), 0u);  // not whole blocks
    EXPECT_EQ(writer.Packet(out, 100, sp.data(), 96), 0u);         // does not fit

    uint8_t sph[4];
    WriteSourcePacketHeader(sph, 7999, 0xABC);
    EXPECT_EQ(Bytes(sph, sph + 4), (Bytes{0x01, 0xF3, 0xFA, 0xBC}));
}

}  // namespace
}  // namespace tessaline::fw
