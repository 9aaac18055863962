// The deck side on the fake bus: enumeration, command sequences with their failures, the
// transmit feeder and its pre-scan, and the receive loop's stop path.
#include <gtest/gtest.h>

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>
#include <thread>

#include "capture/ieee1394/deck_check.h"
#include "capture/ieee1394/ieee1394_deck.h"
#include "tests/support/ieee1394/fake_bus.h"
#include "tests/support/test_support.h"

namespace tessaline::fw {
namespace {

using test::Bytes;
using test::ReadFile;
using test::SamplePath;
using test::TempDir;
using test::WriteFile;

constexpr uint64_t kGuidA = 0x00808800000000A1ull;
constexpr uint64_t kGuidB = 0x00808800000000B2ull;

FakeDeckConfig DeckConfig(uint64_t guid) {
    FakeDeckConfig c;
    c.guid = guid;
    return c;
}

DeckTiming Quick() {
    DeckTiming t;
    t.sleep = [](std::chrono::milliseconds) {};
    t.stream.poll = std::chrono::milliseconds(20);
    t.stream.reconnect_deadline = std::chrono::milliseconds(100);
    return t;
}

struct Bench {
    Bench() {
        auto owned = std::make_unique<FakeBus>();
        bus = owned.get();
        port = std::make_shared<Ieee1394Port>(std::move(owned));
    }
    std::vector<DeckEntry> Decks() {
        std::vector<DeckEntry> decks;
        EXPECT_EQ(FindDecks(port->bus().Bus(), port->avc(), decks), BusStatus::Ok);
        return decks;
    }
    FakeBus* bus;
    std::shared_ptr<Ieee1394Port> port;
};

TEST(Ieee1394Enumeration, ListsTapeDecksOnly) {
    Bench b;
    b.bus->AddNode(0x1111, false, "Maxtor");  // a disk: no AV/C
    FakeDeckConfig camera = DeckConfig(0x2222);
    camera.subunits = {0x38};  // a camera subunit (type 7) only
    b.bus->AddDeck(camera);
    b.bus->AddDeck(DeckConfig(kGuidA));
    FakeDeckConfig many = DeckConfig(kGuidB);
    many.subunits = {0x00, 0x08, 0x28, 0x48, 0x20};  // tape on the second page
    many.vendor = std::nullopt;
    many.model = std::nullopt;
    b.bus->AddDeck(many);
    const std::vector<DeckEntry> decks = b.Decks();
    ASSERT_EQ(decks.size(), 2u);
    EXPECT_EQ(decks[0].guid, kGuidA);
    EXPECT_EQ(decks[0].vendor, "JVC");
    EXPECT_EQ(decks[0].model, "HM-DH5U");
    EXPECT_EQ(decks[1].guid, kGuidB);
    EXPECT_EQ(decks[1].vendor, "");  // no ROM text: the controller's fallback name applies
    // The disk was never asked anything; the local node neither.
    EXPECT_TRUE(b.bus->Commands(0x1111).empty());
}

TEST(Ieee1394Enumeration, NamesThroughTheCaptureController) {
    Bench b;
    b.bus->AddDeck(DeckConfig(kGuidA));
    FakeDeckConfig second = DeckConfig(kGuidB);
    b.bus->AddDeck(second);
    FakeDeckConfig nameless = DeckConfig(0x3333);
    nameless.vendor = std::nullopt;
    nameless.model = std::nullopt;
    b.bus->AddDeck(nameless);
    const auto decks = FindIeee1394Decks(b.port, Quick());
    ASSERT_EQ(decks.size(), 3u);
    EXPECT_EQ(decks[0]->Listing().friendly_name, kDeckFriendlyName);
    EXPECT_EQ(decks[0]->Listing().vendor, "JVC");
    EXPECT_EQ(decks[2]->Listing().vendor, "");
    EXPECT_NE(decks[0]->Describe().find("GUID 0x00808800000000a1, node 1"), std::string::npos);
}

TEST(Ieee1394Enumeration, FindsTheDeckAgainAfterRenumbering) {
    Bench b;
    b.bus->AddDeck(DeckConfig(kGuidA));
    b.bus->AddDeck(DeckConfig(kGuidB));
    EXPECT_EQ(FindPhyByGuid(b.port->bus().Bus(), kGuidA), 1);
    b.bus->Reset();
    EXPECT_EQ(FindPhyByGuid(b.port->bus().Bus(), kGuidA), 2);
    // Commands go to the new node; the reset's stale-generation failure is retried once.
    Ieee1394Deck deck(b.port, b.Decks()[1], Quick());
    b.bus->Reset();
    EXPECT_EQ(deck.SetMode(ED_MODE_STOP), kS_OK);
    EXPECT_EQ(b.bus->Commands(kGuidA).back(), "00 20 C4 60");
    b.bus->Unplug(kGuidA);
    EXPECT_EQ(FindPhyByGuid(b.port->bus().Bus(), kGuidA), std::nullopt);
    EXPECT_NE(deck.SetMode(ED_MODE_STOP), kS_OK);
}

TEST(Ieee1394Deck, PowerOnWaitsUntilTheDeckSaysOn) {
    Bench b;
    FakeDeckConfig c = DeckConfig(kGuidA);
    c.powered = false;
    c.power_interim = true;
    c.power_up_polls = 3;
    c.stray_replies = true;
    b.bus->AddDeck(c);
    Ieee1394Deck deck(b.port, b.Decks()[0], Quick());
    int32_t state = 0;
    ASSERT_EQ(deck.GetPower(state), kS_OK);
    EXPECT_EQ(state, ED_POWER_OFF);
    EXPECT_EQ(deck.SetPower(ED_POWER_ON), kS_OK);
    const auto sent = b.bus->Commands(kGuidA);
    // Status, power on, then status until the fourth says on.
    ASSERT_GE(sent.size(), 6u);
    EXPECT_EQ(sent[sent.size() - 5], "00 FF B2 70");
    EXPECT_EQ(sent.back(), "01 FF B2 7F");
    ASSERT_EQ(deck.GetPower(state), kS_OK);
    EXPECT_EQ(state, ED_POWER_ON);

    // A deck that takes a dozen looks (six seconds) to come up is waited for.
    FakeDeckConfig slower = DeckConfig(0x00808800000000C3ull);
    slower.powered = false;
    slower.power_up_polls = 12;
    b.bus->AddDeck(slower);
    Ieee1394Deck waking(b.port, b.Decks()[1], Quick());
    EXPECT_EQ(waking.SetPower(ED_POWER_ON), kS_OK);

    // A deck that never comes up gives up after the checks.
    FakeDeckConfig slow = DeckConfig(kGuidB);
    slow.powered = false;
    slow.power_up_polls = 100;
    b.bus->AddDeck(slow);
    Ieee1394Deck sleepy(b.port, b.Decks()[2], Quick());
    EXPECT_EQ(sleepy.SetPower(ED_POWER_ON), kE_TIMEOUT);
    EXPECT_EQ(sleepy.SetPower(ED_POWER_STANDBY), kS_OK);
    EXPECT_FALSE(b.bus->Powered(kGuidB));
}

TEST(Ieee1394Deck, TransportSequencesAndRefusals) {
    struct Case {
        const char* name;
        bool has_tape;
        bool write_protected;
        HResult pause, record;
    };
    const Case cases[] = {
        {"tape loaded", true, false, kS_OK, kS_OK},
        {"no tape", false, false, kE_FAIL, kE_FAIL},
        {"write protected", true, true, kE_FAIL, kE_FAIL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b;
        FakeDeckConfig config = DeckConfig(kGuidA);
        config.has_tape = c.has_tape;
        config.write_protected = c.write_protected;
        b.bus->AddDeck(config);
        Ieee1394Deck deck(b.port, b.Decks()[0], Quick());
        EXPECT_EQ(deck.SetMode(ED_MODE_RECORD_FREEZE), c.pause);
        if (c.pause == kS_OK) {
            EXPECT_EQ(deck.QueryTransport().kind, TransportState::Kind::RecordPause);
        }
        EXPECT_EQ(deck.SetMode(ED_MODE_RECORD), c.record);
        EXPECT_EQ(deck.QueryTransport().kind, c.record == kS_OK ? TransportState::Kind::Recording
                                                                : TransportState::Kind::Stopped);
        EXPECT_EQ(deck.SetMode(ED_MODE_STOP), kS_OK);
        EXPECT_EQ(deck.QueryTransport().kind, TransportState::Kind::Stopped);
    }
}

TEST(Ieee1394Deck, StatusTellsPowerTransportPositionAndCassetteWithTheRawReplies) {
    Bench b;
    FakeDeckConfig config = DeckConfig(kGuidA);
    config.counter_seconds = 3600 + 2 * 60 + 3;
    config.write_protected = true;
    b.bus->AddDeck(config);
    FakeDeckConfig bare = DeckConfig(kGuidB);  // no counter, no cassette
    bare.has_tape = false;
    b.bus->AddDeck(bare);
    Ieee1394Deck deck(b.port, b.Decks()[0], Quick());
    ASSERT_EQ(deck.Command(TapeCommand::FastForward), kS_OK);
    DeckStatus s;
    ASSERT_TRUE(deck.Status(s));
    EXPECT_EQ(s.power, ED_POWER_ON);
    EXPECT_EQ(s.transport, DeckTransport::FastForward);
    EXPECT_EQ(s.position_seconds, 3723.0);
    EXPECT_EQ(s.medium, DeckMedium::Protected);
    ASSERT_EQ(s.replies.size(), 4u);
    EXPECT_EQ(s.replies[1], (std::pair<std::string, std::string>{"transport", "0C 20 C4 75"}));
    EXPECT_EQ(s.replies[2].second, "0C 20 57 71 00 03 02 01");
    EXPECT_NE(deck.Describe().find("position 01:02:03, medium protected"), std::string::npos)
        << deck.Describe();

    Ieee1394Deck empty(b.port, b.Decks()[1], Quick());
    ASSERT_TRUE(empty.Status(s));
    EXPECT_EQ(s.position_seconds, std::nullopt);  // NOT IMPLEMENTED: no counter
    EXPECT_EQ(s.medium, DeckMedium::None);
    EXPECT_NE(empty.Command(TapeCommand::Play), kS_OK);  // no cassette to play

    // Gone from the bus: it cannot tell, and says why.
    b.bus->Unplug(kGuidA);
    EXPECT_FALSE(deck.Status(s));
    EXPECT_EQ(s.replies.front().second, "bus I/O error");
}

TEST(Ieee1394Deck, SilenceAndUnknownCommandsAreBounded) {
    Bench b;
    FakeDeckConfig c = DeckConfig(kGuidA);
    c.silent_opcodes = {avc::kOpRecord};
    c.subunits = {0x20};
    b.bus->AddDeck(c);
    Ieee1394Deck deck(b.port, b.Decks()[0], Quick());
    EXPECT_EQ(deck.SetMode(ED_MODE_RECORD), kE_TIMEOUT);
    EXPECT_EQ(deck.SetMode(4299), kE_NOTIMPL);  // a mode we do not send
    EXPECT_EQ(deck.SetPower(12345), kE_INVALIDARG);
    // A reply to an earlier, timed-out command arriving late is not taken for the next answer.
    b.bus->QueueReply(1, {0x09, 0x20, 0xC2, 0x75});
    EXPECT_EQ(deck.SetMode(ED_MODE_STOP), kS_OK);
}

TEST(Ieee1394Deck, StreamTroubleIsToldInOneLine) {
    LinkReport clean;
    clean.cip.source_packets = 1000;
    clean.cip.empty_packets = 50;
    EXPECT_EQ(StreamTrouble(clean), "");
    LinkReport bad = clean;
    bad.cip.dbc_gaps = 2;
    bad.cip.blocks_lost = 24;
    bad.cip.encrypted = 7;
    bad.error = "the deck left the bus";
    EXPECT_EQ(StreamTrouble(bad),
              "2 gaps in the stream, 24 data blocks lost in them, 7 packets marked "
              "copy-protected; the deck left the bus");
}

// ---- Transmit feeder and pre-scan

Bytes SampleTs188() {
    return ReadFile(SamplePath("sample-sd.ts"));
}

TEST(Ieee1394Transmit, PreScanRefusesWhatCannotBePaced) {
    TempDir dir;
    const Bytes ts = SampleTs188();
    const struct {
        const char* name;
        Bytes bytes;
        const char* reason;
    } cases[] = {
        {"empty", {}, "empty"},
        {"not a stream", Bytes(5000, 0x11), "not a transport stream"},
        {"cut packet", Bytes(ts.begin(), ts.begin() + 188 * 50 + 100), "incomplete packet"},
        {"no PCR", test::MakeTsPacket({.pid = 0x100}, Bytes(184, 0xAB)), "no PCR"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = c.bytes;
        if (std::string(c.name) == "no PCR") {
            const Bytes one = bytes;
            for (int i = 0; i < 100; ++i) bytes.insert(bytes.end(), one.begin(), one.end());
        }
        const auto path = dir / "in.ts";
        WriteFile(path, bytes);
        TransmitPlan plan;
        std::string error;
        EXPECT_FALSE(ScanTransmitFile(path.string(), plan, error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
    TransmitPlan plan;
    std::string error;
    ASSERT_TRUE(ScanTransmitFile(SamplePath("sample-sd-192.ts").string(), plan, error)) << error;
    EXPECT_EQ(plan.packet_size, 192);
    EXPECT_GT(plan.ts_packets_per_second, 100.0);
}

// Runs a feeder to its end and returns the TS packets the deck would receive.
Bytes Feed(const std::string& path, int* fills_after_done = nullptr,
           size_t* max_per_cycle = nullptr) {
    TransmitPlan plan;
    std::string error;
    EXPECT_TRUE(ScanTransmitFile(path, plan, error)) << error;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    TsFeeder feeder(f, plan, 0);
    CipReceiver rx(63, CipReceiver::Output::TsPackets);
    Bytes out;
    out.reserve(kMaxIsoPayload);
    uint8_t packet[kMaxIsoPayload];
    unsigned cycle = 0;
    size_t most = 0;
    while (!feeder.Done()) {
        unsigned tag = 0, sy = 0;
        const size_t n = feeder.Fill(packet, sizeof packet, cycle++ % 8000, tag, sy);
        most = std::max(most, (n - kCipHeaderBytes) / kSourcePacketBytes);
        rx.Parse(IsoPacket{packet, n, 63, tag, sy, 0, 0}, out);
    }
    std::fclose(f);
    EXPECT_EQ(rx.stats().dbc_gaps, 0u);
    if (fills_after_done) *fills_after_done = static_cast<int>(feeder.sent());
    if (max_per_cycle) *max_per_cycle = most;
    return out;
}

TEST(Ieee1394Transmit, FeederSendsEveryPacketOnceAsTs) {
    // A 192-byte file loses its own headers; a 188-byte one passes whole.
    const Bytes from192 = Feed(SamplePath("sample-sd-192.ts").string());
    const Bytes sd192 = ReadFile(SamplePath("sample-sd-192.ts"));
    Bytes trimmed;
    for (size_t pos = 0; pos + 192 <= sd192.size(); pos += 192) {
        trimmed.insert(trimmed.end(), sd192.begin() + static_cast<long>(pos + 4),
                       sd192.begin() + static_cast<long>(pos + 192));
    }
    EXPECT_EQ(from192, trimmed);
    int sent = 0;
    size_t most = 0;
    EXPECT_EQ(Feed(SamplePath("sample-sd.ts").string(), &sent, &most), SampleTs188());
    EXPECT_EQ(static_cast<size_t>(sent), SampleTs188().size() / 188);
    EXPECT_LE(most, static_cast<size_t>(kMaxSourcePacketsPerCycle));
}

// A TS whose rate changes every PCR interval (40 ms): 20 packets, then 60, then 20 ...
Bytes VariableRateTs(int intervals) {
    Bytes out;
    uint8_t cc = 0;
    for (int k = 0; k < intervals; ++k) {
        const int packets = k % 2 == 0 ? 20 : 60;
        for (int i = 0; i < packets; ++i) {
            Bytes p(188, 0xFF);
            p[0] = 0x47;
            p[1] = 0x01;
            p[2] = 0x00;
            p[3] = static_cast<uint8_t>((i == 0 ? 0x30 : 0x10) | (cc++ & 0x0F));
            if (i == 0) {
                const uint64_t base = static_cast<uint64_t>(k) * 3600;  // 40 ms in 90 kHz
                p[4] = 7;
                p[5] = 0x10;
                p[6] = static_cast<uint8_t>(base >> 25);
                p[7] = static_cast<uint8_t>(base >> 17);
                p[8] = static_cast<uint8_t>(base >> 9);
                p[9] = static_cast<uint8_t>(base >> 1);
                p[10] = static_cast<uint8_t>(((base & 1) << 7) | 0x7E);
                p[11] = 0;
            }
            out.insert(out.end(), p.begin(), p.end());
        }
    }
    return out;
}

struct SentPacket {
    int64_t cycle;  // the cycle it went out in, counted on
    int64_t stamp;  // its stamp in 24.576 MHz ticks, counted on near the cycle it went out in
    Bytes ts;
};

// Runs a feeder to its end; `next_cycle` gives the cycle of each Fill from the last one.
std::vector<SentPacket> FeedCycles(const std::string& path,
                                   const std::function<int64_t(int64_t)>& next_cycle,
                                   TsFeeder** feeder_out = nullptr,
                                   const std::function<void(TsFeeder&, int64_t)>& each = {}) {
    TransmitPlan plan;
    std::string error;
    EXPECT_TRUE(ScanTransmitFile(path, plan, error)) << error;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    std::vector<SentPacket> sent;
    {
        TsFeeder feeder(f, plan, 0);
        if (feeder_out != nullptr) *feeder_out = nullptr;
        uint8_t packet[kMaxIsoPayload];
        int64_t cycle = 1000;
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!feeder.Done() && std::chrono::steady_clock::now() < give_up) {
            // The cycles here come a thousand times faster than a bus's: the disk is taken to
            // keep up (the reader is waited for), so the pacing seen is the feeder's alone.
            while (!feeder.read_to_end() &&
                   feeder.packets_read_ahead() < size_t{kMaxSourcePacketsPerCycle} &&
                   std::chrono::steady_clock::now() < give_up) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
            if (each) each(feeder, cycle);
            unsigned tag = 0, sy = 0;
            const size_t n =
                feeder.Fill(packet, sizeof packet, static_cast<unsigned>(cycle % 8000), tag, sy);
            for (size_t at = kCipHeaderBytes; at + kSourcePacketBytes <= n;
                 at += kSourcePacketBytes) {
                const uint32_t sph = (uint32_t{packet[at]} << 24) | (packet[at + 1] << 16) |
                                     (packet[at + 2] << 8) | packet[at + 3];
                int64_t stamp_cycle = cycle - cycle % 8000 + ((sph >> 12) & 0x1FFF);
                if (stamp_cycle < cycle - 4000) stamp_cycle += 8000;
                if (stamp_cycle > cycle + 4000) stamp_cycle -= 8000;
                sent.push_back({cycle, stamp_cycle * 3072 + (sph & 0xFFF),
                                Bytes(packet + at + kSphBytes, packet + at + kSourcePacketBytes)});
            }
            cycle = next_cycle(cycle);
        }
    }
    std::fclose(f);
    return sent;
}

// The largest difference, in seconds, between how far the stamps and how far the PCRs of the
// PCR packets are from the first packet's.
double WorstStampError(const std::vector<SentPacket>& sent) {
    double worst = 0;
    for (const SentPacket& packet : sent) {
        if ((packet.ts[3] & 0x20) == 0) continue;
        const uint8_t* p = packet.ts.data();
        const uint64_t base = (uint64_t{p[6]} << 25) | (uint64_t{p[7]} << 17) |
                              (uint64_t{p[8]} << 9) | (uint64_t{p[9]} << 1) | (p[10] >> 7);
        const double by_pcr = static_cast<double>(base) / 90000.0;
        const double by_stamp = static_cast<double>(packet.stamp - sent[0].stamp) / 24.576e6;
        worst = std::max(worst, std::abs(by_stamp - by_pcr));
    }
    return worst;
}

TEST(Ieee1394Transmit, StampsAndPacingFollowThePcrsOfAVariableRateFile) {
    // A deck plays the tape back by the stamps: between two PCRs they must advance exactly as
    // the PCRs do, however unevenly the packets are spread, and each packet goes out in the cycle
    // of its own time (a constant rate from the average puts them tens of milliseconds off).
    TempDir dir;
    const Bytes ts = VariableRateTs(100);
    WriteFile(dir / "vbr.ts", ts);
    const auto sent = FeedCycles((dir / "vbr.ts").string(), [](int64_t c) { return c + 1; });
    ASSERT_EQ(sent.size(), ts.size() / 188);
    int64_t worst_lateness = 0;
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].ts, Bytes(ts.begin() + static_cast<long>(i * 188),
                                    ts.begin() + static_cast<long>(i * 188 + 188)));
        // Out in the cycle of its time: the stamp is that time plus the fixed delay.
        const int64_t ahead = sent[i].stamp - sent[i].cycle * 3072;
        worst_lateness =
            std::max(worst_lateness, std::abs(ahead - int64_t{kStampDelayCycles} * 3072));
    }
    EXPECT_LT(WorstStampError(sent), 1e-6);
    EXPECT_LT(worst_lateness, 3072);
}

TEST(Ieee1394Transmit, AfterTheBusWentOnWithoutUsTheStreamCatchesUp) {
    // The queue ran dry for a quarter second (the program was not scheduled): the bus went on,
    // and the packets due meanwhile go out at once, as many a cycle as the bus takes, until the
    // stream is on time again. Counting cycles by our own calls would leave it late for good.
    TempDir dir;
    WriteFile(dir / "vbr.ts", VariableRateTs(100));
    TsFeeder* unused = nullptr;
    std::optional<int64_t> jumped_at;
    uint64_t sent_so_far = 0, late = 0;
    const auto sent = FeedCycles((dir / "vbr.ts").string(),
                                 [&](int64_t c) {
                                     // A second into the stream, 2000 cycles go by without a call.
                                     if (sent_so_far >= 1000 && !jumped_at) {
                                         jumped_at = c + 2000;
                                         return *jumped_at;
                                     }
                                     return c + 1;
                                 },
                                 &unused,
                                 [&](TsFeeder& feeder, int64_t) {
                                     sent_so_far = feeder.sent();
                                     late = feeder.late();
                                 });
    ASSERT_TRUE(jumped_at.has_value());
    EXPECT_GT(late, 0u);
    // The late packets keep the stamps of their own time: on tape they play back in step.
    EXPECT_LT(WorstStampError(sent), 1e-6);
    // A second after the jump every packet is back in the cycle of its time.
    size_t checked = 0;
    for (const SentPacket& p : sent) {
        if (p.cycle < *jumped_at + 8000) continue;
        ++checked;
        EXPECT_LT(std::abs(p.stamp - p.cycle * 3072 - int64_t{kStampDelayCycles} * 3072), 3072);
    }
    EXPECT_GT(checked, 100u);
}

TEST(Ieee1394Transmit, AFileThatEndsBeforeItsScannedSizeIsAReadError) {
    // The file shrank between the scan and the sending: what was sent is not the whole file,
    // and the write must not be reported complete.
    TempDir dir;
    const auto path = dir / "in.ts";
    const Bytes ts = SampleTs188();
    WriteFile(path, ts);
    TransmitPlan plan;
    std::string error;
    ASSERT_TRUE(ScanTransmitFile(path.string(), plan, error)) << error;
    WriteFile(path, Bytes(ts.begin(), ts.begin() + 188 * 10));
    std::FILE* f = std::fopen(path.string().c_str(), "rb");
    ASSERT_NE(f, nullptr);
    {
        TsFeeder feeder(f, plan, 0);
        uint8_t packet[kMaxIsoPayload];
        unsigned cycle = 0;
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!feeder.Done() && std::chrono::steady_clock::now() < give_up) {
            unsigned tag = 0, sy = 0;
            feeder.Fill(packet, sizeof packet, cycle++ % 8000, tag, sy);
            std::this_thread::yield();
        }
        EXPECT_TRUE(feeder.Done());
        EXPECT_TRUE(feeder.read_error());
        EXPECT_EQ(feeder.sent(), 10u);
    }
    std::fclose(f);
}

// ---- Stop path

class NullCallback final : public ISampleGrabberCB {
  public:
    HResult SampleCB(double, IMediaSample*) override { return kE_NOTIMPL; }
    HResult BufferCB(double, const uint8_t*, long length) override {
        bytes += static_cast<uint64_t>(length);
        return kS_OK;
    }
    std::atomic<uint64_t> bytes{0};
};

TEST(Ieee1394Stop, AStopRequestEndsABlockedReceiveLoop) {
    Bench b;
    b.bus->AddDeck(DeckConfig(kGuidA));
    auto deck = std::make_unique<Ieee1394Deck>(b.port, b.Decks()[0], DeckTiming{});
    auto* cb = new NullCallback;
    Ref<ISampleGrabberCB> keep(cb);
    StopSignal stop;
    std::atomic<int32_t> event{-1};
    // Nothing scripted: the iso handle never becomes readable, the loop sits in poll().
    std::thread loop([&] { event = deck->Capture(*cb, stop); });
    while (b.bus->OpenedSources() == 0) std::this_thread::yield();
    stop.Raise();
    loop.join();
    EXPECT_EQ(event.load(), 0);
    EXPECT_EQ(b.bus->Connections(), 0);  // disconnected on the way out
}

TEST(Ieee1394Receive, ADeckWithoutPlugsIsHeardOnTheBroadcastChannelAcrossResets) {
    Bench b;
    FakeDeckConfig c = DeckConfig(kGuidA);
    c.has_plugs = false;
    b.bus->AddDeck(c);
    const Bytes sample = ReadFile(SamplePath("sample-sd-192.ts"));
    auto items = IsoPacketsFrom(sample, 4);
    IsoScriptItem reset;
    reset.kind = IsoScriptItem::Kind::BusReset;
    items.insert(items.begin() + static_cast<long>(items.size() / 2), reset);
    IsoScriptItem end;
    end.kind = IsoScriptItem::Kind::End;
    items.push_back(end);
    b.bus->Script(items);
    Ieee1394Deck deck(b.port, b.Decks()[0], Quick());
    deck.set_report_trouble(false);
    auto* cb = new NullCallback;
    Ref<ISampleGrabberCB> keep(cb);
    StopSignal stop;
    EXPECT_EQ(deck.Capture(*cb, stop), EC_COMPLETE);
    EXPECT_EQ(cb->bytes.load(), sample.size());
    const LinkReport report = deck.last_stream();
    EXPECT_EQ(report.channel, kBroadcastChannel);
    EXPECT_FALSE(report.connected);
    EXPECT_EQ(report.reconnects, 1u);
    EXPECT_TRUE(report.error.empty());
}

TEST(Ieee1394Receive, AResetStartsTheSilenceClockAgain) {
    // Recovery path: quiet for most of the silence time, a reset, and quiet again for most of it
    // while the connection is made again: the reset is one reconnection, not also a quiet spell
    // (the clock counts from the reset, not from the last packet before it).
    Bench b;
    b.bus->AddDeck(DeckConfig(kGuidA));
    const Bytes sample = ReadFile(SamplePath("sample-sd-192.ts"));
    auto items = IsoPacketsFrom(sample, 4);
    IsoScriptItem quiet;
    quiet.kind = IsoScriptItem::Kind::Wait;
    quiet.wait = std::chrono::milliseconds(700);
    IsoScriptItem reset;
    reset.kind = IsoScriptItem::Kind::BusReset;
    IsoScriptItem end;
    end.kind = IsoScriptItem::Kind::End;
    const long half = static_cast<long>(items.size() / 2);
    items.insert(items.begin() + half, {quiet, reset, quiet});
    items.push_back(end);
    b.bus->Script(items);
    DeckTiming timing = Quick();
    timing.stream.silence = std::chrono::milliseconds(1000);
    timing.stream.reconnect_deadline = std::chrono::milliseconds(5000);
    Ieee1394Deck deck(b.port, b.Decks()[0], timing);
    deck.set_report_trouble(false);
    auto* cb = new NullCallback;
    Ref<ISampleGrabberCB> keep(cb);
    StopSignal stop;
    EXPECT_EQ(deck.Capture(*cb, stop), EC_COMPLETE);
    EXPECT_EQ(cb->bytes.load(), sample.size());
    const LinkReport report = deck.last_stream();
    EXPECT_EQ(report.reconnects, 1u);
    EXPECT_EQ(report.silence_retries, 0u);
    EXPECT_TRUE(report.gaps.empty());
}

}  // namespace
}  // namespace tessaline::fw

namespace tessaline::fw {
namespace {

TEST(Ieee1394DeckCheck, ReportsTheDeckAndAReceiveTestWhileItPlays) {
    Bench b;
    b.bus->AddNode(0x0011223344556677ull, false, std::string("Disk\x01Maker"));
    const int phy = b.bus->AddDeck(DeckConfig(kGuidA));
    const Bytes sample = ReadFile(SamplePath("sample-sd-192.ts"));
    auto script = IsoPacketsFrom(sample, 2);
    script.erase(script.begin() + 10);  // a gap of two source packets
    IsoScriptItem end;
    end.kind = IsoScriptItem::Kind::End;
    script.push_back(end);
    b.bus->Script(script);

    // Stopped: everything but the receive test.
    DeckCheckReport idle;
    CheckDeck(*b.port, 0, std::chrono::seconds(30), idle);
    ASSERT_TRUE(idle.deck.has_value());
    EXPECT_EQ(idle.transport, "stop");
    EXPECT_EQ(idle.transport_reply, "0C 20 C4 60");
    EXPECT_FALSE(idle.received);
    ASSERT_TRUE(idle.opcr0.has_value());
    EXPECT_EQ(PlugText(*idle.opcr0, true), "online, p2p 0, channel 0, S200, payload 242 quadlets");

    {
        std::lock_guard lock(b.port->mutex());
        ASSERT_EQ(b.port->avc().Transact(phy, avc::Play()).response, avc::kAccepted);
    }
    DeckCheckReport r;
    CheckDeck(*b.port, 0, std::chrono::seconds(30), r);
    EXPECT_EQ(r.power, "on");
    EXPECT_EQ(r.transport, "play");
    ASSERT_TRUE(r.received);
    EXPECT_EQ(r.receive_note, "the stream ended");
    EXPECT_EQ(r.link.cip.packets, script.size() - 1);
    EXPECT_EQ(r.link.cip.dbc_gaps, 1u);
    EXPECT_EQ(r.link.cip.source_packets, sample.size() / 192 - 2);
    EXPECT_EQ(b.bus->Connections(), 0);

    const std::string text = DeckCheckText(r);
    EXPECT_NE(text.find("1 DBC gaps"), std::string::npos) << text;
    EXPECT_NE(text.find("transport play (0C 20 C3 75)"), std::string::npos) << text;
    const std::string json = DeckCheckJson(r);
    EXPECT_NE(json.find("\"dbc_gaps\":1,"), std::string::npos) << json;
    // Text from a device's ROM is escaped, never passed raw.
    EXPECT_NE(json.find("Disk\\u0001Maker"), std::string::npos) << json;
    EXPECT_EQ(json.find('\x01'), std::string::npos);

    // Asked for a deck that is not there: the nodes, and no deck.
    DeckCheckReport none;
    CheckDeck(*b.port, 3, std::chrono::seconds(1), none);
    EXPECT_FALSE(none.deck.has_value());
    EXPECT_EQ(none.nodes.size(), 3u);
    EXPECT_NE(DeckCheckText(none).find("no deck to check"), std::string::npos);
    EXPECT_EQ(DeckCheckJson(none).substr(DeckCheckJson(none).size() - 12), "\"deck\":null}");
}

}  // namespace
}  // namespace tessaline::fw
