// Whole recordings and playbacks through the capture controller, with a scripted deck on the
// fake bus: the controller cannot tell it from a real one.
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "capture/ieee1394/ieee1394_deck.h"
#include "capture/recording_sequence.h"
#include "stream/live_converter.h"
#include "stream/output_file.h"
#include "tests/capture/capture_fixture.h"
#include "tests/support/ieee1394/fake_bus.h"
#include "tests/support/ieee1394/isodump.h"
#include "tests/support/test_support.h"

namespace tessaline::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using fw::FakeBus;
using fw::FakeDeckConfig;
using fw::IsoScriptItem;

constexpr uint64_t kGuid = 0x0080880000C0FFEEull;

Bytes Trimmed(const Bytes& sp) {
    Bytes out;
    for (size_t pos = 0; pos + 192 <= sp.size(); pos += 192) {
        out.insert(out.end(), sp.begin() + static_cast<long>(pos + 4),
                   sp.begin() + static_cast<long>(pos + 192));
    }
    return out;
}

Bytes ThroughFreshDataPath(const Bytes& input, const StreamOptions& options, const fs::path& out) {
    StreamContext ref;
    ref.options = options;
    CaptureDataPath data_path(ref);
    OutputFile file;
    EXPECT_TRUE(file.Create(out.string()));
    data_path.SetOutputFile(&file);
    PrepareLiveConversion(ref);
    for (size_t pos = 0; pos < input.size(); pos += 61440) {
        const size_t n = std::min<size_t>(61440, input.size() - pos);
        data_path.BufferCB(0, input.data() + pos, static_cast<long>(n));
    }
    file.Close();
    return ReadFile(out);
}

IsoScriptItem Marker(IsoScriptItem::Kind kind, bool unplug = false) {
    IsoScriptItem item;
    item.kind = kind;
    item.unplug = unplug;
    return item;
}

IsoScriptItem Quiet(std::chrono::milliseconds wait) {
    IsoScriptItem item;
    item.kind = IsoScriptItem::Kind::Wait;
    item.wait = wait;
    return item;
}

std::vector<IsoScriptItem> Slice(const std::vector<IsoScriptItem>& items, size_t from, size_t to) {
    return {items.begin() + static_cast<long>(from), items.begin() + static_cast<long>(to)};
}

class Ieee1394E2e : public CaptureTest {
  protected:
    Ieee1394E2e() : sequence(capture, ctx, path, sink) {
        auto owned = std::make_unique<FakeBus>();
        bus = owned.get();
        FakeDeckConfig c;
        c.guid = kGuid;
        bus->AddDeck(c);
        port = std::make_shared<fw::Ieee1394Port>(std::move(owned));
        fw::DeckTiming timing;
        timing.sleep = [this](std::chrono::milliseconds) {
            if (on_sleep) on_sleep();
        };
        timing.stream.poll = 20ms;
        timing.stream.reconnect_deadline = 200ms;
        timing.stream.silence = 400ms;
        timing.deck_return = 200ms;
        for (auto& deck : fw::FindIeee1394Decks(port, timing)) fw.AddDeck(deck);
        EXPECT_EQ(fw.Decks().size(), 1u);
        Open();
    }

    // Records while the deck plays the script; returns the file and the event that ended it.
    Bytes Record(bool ps, bool trim, std::vector<IsoScriptItem> script, int32_t* event = nullptr) {
        ctx.options.ConvPES = ps;
        ctx.options.TrimPacket = trim;
        bus->Script(std::move(script));
        const fs::path out = dir / "rec.out";
        EXPECT_TRUE(sequence.PrepareGraph());
        EXPECT_EQ(sequence.Start(out.string(), true), RecordingSequence::StartResult::Started);
        const int32_t ended = WaitForEvent();
        if (event != nullptr) *event = ended;
        EXPECT_TRUE(sequence.Stop());
        EXPECT_FALSE(ctx.CallbackBusy.load());
        // A recording that received nothing keeps no file.
        if (sequence.nothing_kept()) {
            EXPECT_FALSE(fs::exists(out));
            return {};
        }
        return ReadFile(out);
    }

    // The write graph: the file through the source-packet converter to the deck's input.
    bool ConnectWriteGraph(const fs::path& file) {
        capture.ClearAddedFilters();
        return capture.AddFilterByName(kFileSourceName) && capture.SetSourceFile(file.string()) &&
               capture.AddFilterByName(kSourcePacketConverterName) && capture.ConnectChain(false);
    }

    // The TS packets of everything the deck's input got on the broadcast channel, and the breaks
    // in their data block counter.
    Bytes SentOnChannel63(uint64_t* dbc_gaps = nullptr) {
        fw::CipReceiver rx(63, fw::CipReceiver::Output::TsPackets);
        Bytes received;
        for (const auto& packet : bus->Sent()) {
            rx.Parse(fw::IsoPacket{packet.data(), packet.size(), 63, 1, 0, 0, 0}, received);
        }
        if (dbc_gaps != nullptr) *dbc_gaps = rx.stats().dbc_gaps;
        return received;
    }

    // Run whenever the deck code waits (for a deck to come back, between checks).
    std::function<void()> on_sleep;

    fw::LinkReport Report() {
        auto* deck = dynamic_cast<fw::Ieee1394Deck*>(fw.Decks()[0].get());
        return deck->last_stream();
    }

    TempDir dir;
    FakeBus* bus;
    std::shared_ptr<fw::Ieee1394Port> port;
    RecordingSequence sequence;
};

std::vector<IsoScriptItem> Played(const Bytes& sample, int per_cycle = 3) {
    auto items = fw::IsoPacketsFrom(sample, per_cycle, 16);
    items.push_back(Marker(IsoScriptItem::Kind::End));
    return items;
}

TEST_F(Ieee1394E2e, RecordingsInEveryModeMatchTheSample) {
    const Bytes sample = ReadFile(SamplePath("sample-sd-192.ts"));
    EXPECT_EQ(DeviceNames(), std::vector<std::string>{"AV/C Tape Subunit (JVC HM-DH5U #1)"});
    int32_t event = 0;
    EXPECT_EQ(Record(false, false, Played(sample), &event), sample);
    EXPECT_EQ(event, EC_COMPLETE);
    EXPECT_EQ(bus->Connections(), 0);  // the connection went with the stream
    EXPECT_EQ(Report().cip.source_packets, sample.size() / 192);

    EXPECT_EQ(Record(false, true, Played(sample, 5)), Trimmed(sample));

    const Bytes ps = Record(true, true, Played(sample, 1));
    StreamOptions options = ctx.options;
    EXPECT_EQ(ps, ThroughFreshDataPath(sample, options, dir / "ref.mpg"));
    EXPECT_GT(ps.size(), 1000u);
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(Ieee1394E2e, ADumpOfTheBusReplaysIntoARecording) {
    // What `dumpiso` wrote while a deck played: here made from the sample, cut short at the end.
    const Bytes sample = ReadFile(SamplePath("sample-sd-192.ts"));
    auto packets = fw::IsoPacketsFrom(sample, 2);
    packets.insert(packets.begin() + 3, fw::IsoPacketsFrom(Bytes(192, 0x47), 1)[0]);
    packets[3].channel = 9;  // another stream on the bus, not ours
    Bytes dump = fw::MakeIsoDump(packets, 0);
    dump.resize(dump.size() - 100);
    std::vector<IsoScriptItem> replay;
    std::string error;
    ASSERT_TRUE(fw::ParseIsoDump(dump, replay, error)) << error;
    ASSERT_EQ(replay.size(), packets.size() - 1);
    EXPECT_EQ(replay[3].channel, 9);
    EXPECT_FALSE(fw::ParseIsoDump(Bytes(64, 0), replay, error));
    ASSERT_TRUE(fw::ParseIsoDump(dump, replay, error));
    // The deck was given channel 0 by the connection; the dump was taken on channel 0 as well.
    replay.push_back(Marker(IsoScriptItem::Kind::End));
    EXPECT_EQ(Record(false, false, replay), Bytes(sample.begin(), sample.end() - 2 * 192));
    EXPECT_EQ(Report().cip.wrong_channel, 1u);
}

TEST_F(Ieee1394E2e, ARecordingKeepsItsRawPacketsAsADumpisoVersion2File) {
    const Bytes sample = ReadFile(SamplePath("sample-sd-192.ts"));
    auto packets = fw::IsoPacketsFrom(sample, 2);
    packets[5].sy = 1;  // kept as it came, flags and all
    auto* deck = dynamic_cast<fw::Ieee1394Deck*>(fw.Decks()[0].get());
    ASSERT_NE(deck, nullptr);
    const fs::path dump = dir / "deck.iso";
    deck->set_iso_dump(dump.string());
    std::vector<IsoScriptItem> script = packets;
    script.push_back(Marker(IsoScriptItem::Kind::End));
    EXPECT_EQ(Record(false, false, script), sample);

    const Bytes bytes = ReadFile(dump);
    ASSERT_GE(bytes.size(), 40u);
    // dumpiso's layout: magic, channel mask, then length (little-endian), channel, tag, sy, 0.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data())), "1394 isodump v2");
    const size_t first = packets[0].bytes.size();
    EXPECT_EQ(
        Bytes(bytes.begin() + 32, bytes.begin() + 40),
        (Bytes{static_cast<uint8_t>(first), static_cast<uint8_t>(first >> 8), 0, 0, 0, 1, 0, 0}));
    std::vector<IsoScriptItem> replay;
    std::string error;
    ASSERT_TRUE(fw::ParseIsoDump(bytes, replay, error)) << error;
    ASSERT_EQ(replay.size(), packets.size());
    for (size_t i = 0; i < replay.size(); ++i) {
        ASSERT_EQ(replay[i].bytes, packets[i].bytes) << i;
        EXPECT_EQ(replay[i].sy, packets[i].sy);
    }
    EXPECT_FALSE(fs::exists(dump.string() + ".part"));

    // The next recording does not replace it.
    const Bytes kept = bytes;
    EXPECT_EQ(Record(false, false, script), sample);
    EXPECT_EQ(ReadFile(dump), kept);

    // A dump whose length field no iso packet can have is refused, not read past.
    Bytes bad = kept;
    bad[35] = 0x7F;
    EXPECT_FALSE(fw::ParseIsoDump(bad, replay, error));
    EXPECT_NE(error.find("not that of an iso packet"), std::string::npos) << error;
}

TEST_F(Ieee1394E2e, ABusResetMidRecordingResumesTheStream) {
    const Bytes sample = ReadFile(SamplePath("sample-sd-192.ts"));
    const auto items = fw::IsoPacketsFrom(sample, 2);
    const size_t half = items.size() / 2;
    std::vector<IsoScriptItem> script = Slice(items, 0, half);
    script.push_back(Marker(IsoScriptItem::Kind::BusReset));
    // After the reset the deck starts its counter afresh; nothing is lost.
    auto rest = fw::IsoPacketsFrom(
        Bytes(sample.begin() + static_cast<long>(half * 2 * 192), sample.end()), 2, 104);
    script.insert(script.end(), rest.begin(), rest.end());
    script.push_back(Marker(IsoScriptItem::Kind::End));
    int32_t event = 0;
    EXPECT_EQ(Record(false, false, script, &event), sample);
    EXPECT_EQ(event, EC_COMPLETE);
    EXPECT_EQ(bus->ReconnectCalls(), 1);
    EXPECT_EQ(Report().reconnects, 1u);
    EXPECT_EQ(Report().cip.dbc_gaps, 0u);
}

// What only the bus sees, as the deck driver is told to report it: a long run of empty packets in
// steps while it lasts and the rest when data comes back, a run too short to be a stretch not at
// all, and a packet lost as the data blocks missing.
TEST_F(Ieee1394E2e, TheBusEventsOfARecordingAreToldAsTheyHappen) {
    class Events final : public CaptureEvents {
      public:
        void DbcGap(uint64_t blocks_lost, int blocks_per_packet) override {
            Add("gap " + std::to_string(blocks_lost) + "/" + std::to_string(blocks_per_packet));
        }
        void EmptyStretch(double seconds) override {
            char text[32];
            std::snprintf(text, sizeof text, "empty %.3f", seconds);
            Add(text);
        }
        void BusReset() override { Add("reset"); }
        void TapePosition(double /*seconds*/) override {}
        void IsoCopyControl(unsigned /*emi*/) override {}
        std::vector<std::string> Told() {
            std::lock_guard lock(mu_);
            return told_;
        }

      private:
        void Add(std::string text) {
            std::lock_guard lock(mu_);
            told_.push_back(std::move(text));
        }
        std::mutex mu_;
        std::vector<std::string> told_;
    } events;

    const Bytes sample = ReadFile(SamplePath("sample-sd-192.ts"));
    const auto items = fw::IsoPacketsFrom(sample, 2);
    const size_t third = items.size() / 3;
    // An empty packet is a CIP header alone, with the counter of the data to come.
    auto empties = [&](size_t before, size_t count) {
        IsoScriptItem empty = items[before];
        empty.bytes.resize(8);
        return std::vector<IsoScriptItem>(count, empty);
    };
    std::vector<IsoScriptItem> script = empties(0, 100);  // 12.5 ms
    script.insert(script.end(), items.begin(), items.begin() + long(third));
    const auto blank = empties(third, 12000);  // 1.5 s
    script.insert(script.end(), blank.begin(), blank.end());
    script.insert(script.end(), items.begin() + long(third), items.begin() + long(2 * third));
    script.insert(script.end(), items.begin() + long(2 * third + 1), items.end());
    script.push_back(Marker(IsoScriptItem::Kind::End));

    fw.Decks()[0]->SetCaptureEvents(&events);
    Record(false, false, script);
    fw.Decks()[0]->SetCaptureEvents(nullptr);
    EXPECT_EQ(events.Told(), (std::vector<std::string>{"empty 1.000", "empty 0.500", "gap 16/8"}));
}

TEST_F(Ieee1394E2e, ADeckThatStaysAwayEndsTheRecordingKeepingWhatCame) {
    const Bytes sample = ReadFile(SamplePath("sample-sd-192.ts"));
    const auto items = fw::IsoPacketsFrom(sample, 2);
    std::vector<IsoScriptItem> script = Slice(items, 0, 40);
    script.push_back(Marker(IsoScriptItem::Kind::BusReset, true));
    int32_t event = 0;
    EXPECT_EQ(Record(false, false, script, &event),
              Bytes(sample.begin(), sample.begin() + 80 * 192));
    EXPECT_EQ(event, EC_ERRORABORT);
    EXPECT_EQ(Report().error, "the deck left the bus");
}

TEST_F(Ieee1394E2e, ADeckBackWithinTheDeadlineAfterAResetResumesEvenIfSeenOnlyByARescan) {
    // The stream ran well past the deadline before the reset: the deadline counts from the
    // reset, not from the start or the last packet. The deck comes back before its node can be
    // opened, so only a fresh look at the bus finds it.
    const Bytes sample = ReadFile(SamplePath("sample-sd-192.ts"));
    const auto items = fw::IsoPacketsFrom(sample, 2);
    std::vector<IsoScriptItem> script = Slice(items, 0, 40);
    script.push_back(Quiet(300ms));
    script.push_back(Marker(IsoScriptItem::Kind::BusReset, true));
    script.push_back(Quiet(100ms));
    IsoScriptItem back = Marker(IsoScriptItem::Kind::Replug);
    back.hidden = true;
    script.push_back(back);
    auto rest = fw::IsoPacketsFrom(Bytes(sample.begin() + 80 * 192, sample.end()), 2, 104);
    script.insert(script.end(), rest.begin(), rest.end());
    script.push_back(Marker(IsoScriptItem::Kind::End));
    int32_t event = 0;
    EXPECT_EQ(Record(false, false, script, &event), sample);
    EXPECT_EQ(event, EC_COMPLETE);
    EXPECT_GE(bus->Rescans(), 1);
    EXPECT_EQ(Report().reconnects, 1u);
    EXPECT_EQ(Report().error, "");
}

TEST_F(Ieee1394E2e, AQuietSpellWithoutAResetConnectsAgainAndTheStreamGoesOn) {
    const Bytes sample = ReadFile(SamplePath("sample-sd-192.ts"));
    const auto items = fw::IsoPacketsFrom(sample, 2);
    std::vector<IsoScriptItem> script = Slice(items, 0, 40);
    script.push_back(Quiet(500ms));  // past the silence limit, within the deadline after it
    script.insert(script.end(), items.begin() + 40, items.end());
    script.push_back(Marker(IsoScriptItem::Kind::End));
    int32_t event = 0;
    EXPECT_EQ(Record(false, false, script, &event), sample);
    EXPECT_EQ(event, EC_COMPLETE);
    EXPECT_EQ(bus->ConnectCalls(), 2);
    EXPECT_EQ(bus->Connections(), 0);
    // A quiet spell is not a bus reset, and is not told as one.
    EXPECT_EQ(Report().reconnects, 0u);
    EXPECT_EQ(Report().silence_retries, 1u);
    EXPECT_EQ(fw::StreamTrouble(Report()).find("reset"), std::string::npos)
        << fw::StreamTrouble(Report());
}

TEST_F(Ieee1394E2e, ADeckThatNeverSendsIsSaidToHaveSentNothing) {
    int32_t event = 0;
    EXPECT_TRUE(Record(false, false, {Quiet(5000ms)}, &event).empty());
    EXPECT_EQ(event, EC_ERRORABORT);
    const fw::LinkReport report = Report();
    EXPECT_EQ(report.error.rfind("the deck sent nothing on channel 0", 0), 0u) << report.error;
    EXPECT_EQ(report.reconnects, 0u);
    EXPECT_GE(report.silence_retries, 1u);
    EXPECT_EQ(fw::StreamTrouble(report).find("reset"), std::string::npos);
}

TEST_F(Ieee1394E2e, WhatTheDeckPlayedWhileAwayIsMeasuredByItsPcrs) {
    // The deck plays on while its cable is out: the recording misses what it played meanwhile,
    // and says how much (by the stream's own clock) and where.
    const Bytes sample = ReadFile(SamplePath("sample-sd-192.ts"));
    const size_t packets = sample.size() / 192;  // five seconds
    const size_t cut = 2000, back = 4000;
    std::vector<IsoScriptItem> script =
        fw::IsoPacketsFrom(Bytes(sample.begin(), sample.begin() + cut * 192), 2);
    script.push_back(Marker(IsoScriptItem::Kind::BusReset, true));
    script.push_back(Quiet(100ms));
    script.push_back(Marker(IsoScriptItem::Kind::Replug));
    auto rest = fw::IsoPacketsFrom(Bytes(sample.begin() + back * 192, sample.end()), 2);
    script.insert(script.end(), rest.begin(), rest.end());
    script.push_back(Marker(IsoScriptItem::Kind::End));
    int32_t event = 0;
    Record(false, false, script, &event);
    EXPECT_EQ(event, EC_COMPLETE);
    const fw::LinkReport report = Report();
    ASSERT_EQ(report.gaps.size(), 1u) << fw::StreamTrouble(report);
    // The sample's own clock: each packet's time between the PCRs around it.
    std::vector<std::pair<size_t, double>> pcrs;
    for (size_t i = 0; i < packets; ++i) {
        const uint8_t* t = sample.data() + i * 192 + 4;
        if ((t[3] & 0x20) == 0 || t[4] < 7 || (t[5] & 0x10) == 0) continue;
        const uint64_t base = (uint64_t{t[6]} << 25) | (uint64_t{t[7]} << 17) |
                              (uint64_t{t[8]} << 9) | (uint64_t{t[9]} << 1) | (t[10] >> 7);
        pcrs.emplace_back(i, static_cast<double>(base) / 90000.0);
    }
    auto time_of = [&](size_t packet) {
        for (size_t k = 1; k < pcrs.size(); ++k) {
            if (pcrs[k].first < packet) continue;
            const auto& [i0, t0] = pcrs[k - 1];
            const auto& [i1, t1] = pcrs[k];
            return t0 + (t1 - t0) * static_cast<double>(packet - i0) / static_cast<double>(i1 - i0);
        }
        return pcrs.back().second;
    };
    // Within one PCR interval (a fifteenth of a second here), where the loss hides.
    EXPECT_NEAR(report.gaps[0].length_seconds, time_of(back) - time_of(cut), 0.07);
    EXPECT_NEAR(report.gaps[0].at_seconds, time_of(cut) - pcrs.front().second, 0.07);
    EXPECT_EQ(report.gaps[0].cause, "the deck was off the bus");
    auto* deck = dynamic_cast<fw::Ieee1394Deck*>(fw.Decks()[0].get());
    EXPECT_EQ(deck->LastStreamGaps().size(), 1u);
}

TEST_F(Ieee1394E2e, AStreamThatStopsForGoodEndsTheRecordingKeepingWhatCame) {
    const Bytes sample = ReadFile(SamplePath("sample-sd-192.ts"));
    const auto items = fw::IsoPacketsFrom(sample, 2);
    int32_t event = 0;
    EXPECT_EQ(Record(false, false, Slice(items, 0, 40), &event),
              Bytes(sample.begin(), sample.begin() + 80 * 192));
    EXPECT_EQ(event, EC_ERRORABORT);
    EXPECT_EQ(Report().error.rfind("no stream from the deck on channel 0", 0), 0u)
        << Report().error;
    EXPECT_GE(bus->ConnectCalls(), 2);  // it tried once more before giving up
    EXPECT_EQ(bus->Connections(), 0);
}

TEST_F(Ieee1394E2e, DeckCommandsGoOutAsAvc) {
    EXPECT_TRUE(capture.TransportRecordPause());
    EXPECT_EQ(bus->Transport(kGuid), (std::pair<uint8_t, uint8_t>{0xC2, 0x7D}));
    EXPECT_TRUE(capture.TransportRecord());
    EXPECT_TRUE(capture.TransportStop());
    EXPECT_FALSE(capture.DevicePowerOn());  // already on: nothing sent
    EXPECT_TRUE(capture.DevicePowerOff());
    EXPECT_FALSE(bus->Powered(kGuid));
    // Off, a record command switches the deck on first.
    EXPECT_TRUE(capture.TransportRecord());
    EXPECT_TRUE(bus->Powered(kGuid));
    EXPECT_EQ(bus->Transport(kGuid), (std::pair<uint8_t, uint8_t>{0xC2, 0x75}));
}

TEST_F(Ieee1394E2e, WritingToTheDeckSendsTheFileAndCompletes) {
    const fs::path file = SamplePath("sample-sd.ts");
    ASSERT_TRUE(ConnectWriteGraph(file));
    // "Rec. Start": record-pause, record, play, stop at the end.
    const size_t before = bus->Commands(kGuid).size();
    ASSERT_TRUE(capture.TransportRecordPause());
    ASSERT_TRUE(capture.TransportRecord());
    ASSERT_TRUE(capture.RunGraph());
    EXPECT_EQ(WaitForEvent(), EC_COMPLETE);
    ASSERT_TRUE(capture.StopGraph());
    EXPECT_EQ(bus->Transport(kGuid), (std::pair<uint8_t, uint8_t>{0xC2, 0x75}));
    ASSERT_TRUE(capture.TransportStop());
    const auto sent = bus->Commands(kGuid);
    EXPECT_EQ(std::vector<std::string>(sent.begin() + static_cast<long>(before), sent.end()),
              (std::vector<std::string>{"01 FF B2 7F", "00 20 C2 7D", "01 FF B2 7F", "00 20 C2 75",
                                        "00 20 C4 60"}));
    uint64_t dbc_gaps = 0;
    EXPECT_EQ(SentOnChannel63(&dbc_gaps), ReadFile(file));
    EXPECT_EQ(dbc_gaps, 0u);
    // The deck's input keeps its signal until the graph lets it go (the stop above found one).
    EXPECT_EQ(bus->Connections(), 1);
    capture.ClearAddedFilters();
    EXPECT_EQ(bus->Connections(), 0);
}

TEST_F(Ieee1394E2e, TheDecksInputHasASignalBeforeRecordIsSent) {
    ASSERT_TRUE(ConnectWriteGraph(SamplePath("sample-sd.ts")));
    // Built, not running: the input plug is connected and empty packets flow into it.
    EXPECT_EQ(bus->OpenedSinks(), 1);
    EXPECT_EQ(bus->Connections(), 1);
    const auto deadline = Clock::now() + 30s;
    while (bus->IdleSent() == 0 && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_GT(bus->IdleSent(), 0u);
    ASSERT_TRUE(capture.TransportRecordPause());
    ASSERT_TRUE(capture.TransportRecord());
    ASSERT_TRUE(capture.RunGraph());
    EXPECT_EQ(WaitForEvent(), EC_COMPLETE);
    ASSERT_TRUE(capture.StopGraph());
    capture.ClearAddedFilters();
    // The write carried on over the same connection and the same running sink (a new one would
    // leave the deck's input without a signal while it starts), and undid it at the end.
    EXPECT_EQ(bus->OpenedSinks(), 1);
    EXPECT_EQ(bus->ConnectCalls(), 1);
    EXPECT_EQ(bus->Connections(), 0);
}

TEST_F(Ieee1394E2e, AShortUnplugWhileWritingIsSurvivedTheDeckToldToRecordAgainTheGapSaid) {
    // The deck comes back stopped (it lost its input): it is put back into record, the rest of
    // the file goes on tape, and what was sent while it was away is said, as at most that much.
    const fs::path file = SamplePath("sample-sd.ts");
    ASSERT_TRUE(ConnectWriteGraph(file));
    ASSERT_TRUE(capture.TransportRecordPause());
    ASSERT_TRUE(capture.TransportRecord());
    const size_t before = bus->Commands(kGuid).size();
    bus->UnplugWhenSent(kGuid, 2000, 4000, true);  // a quarter second in, for half a second
    ASSERT_TRUE(capture.RunGraph());
    EXPECT_EQ(WaitForEvent(), EC_COMPLETE);
    ASSERT_TRUE(capture.StopGraph());
    const auto sent = bus->Commands(kGuid);
    const std::vector<std::string> after(sent.begin() + static_cast<long>(before), sent.end());
    EXPECT_EQ(after, (std::vector<std::string>{"01 20 D0 7F", "00 20 C2 7D", "00 20 C2 75"}));
    EXPECT_EQ(bus->Transport(kGuid), (std::pair<uint8_t, uint8_t>{0xC2, 0x75}));
    const fw::LinkReport report = Report();
    EXPECT_EQ(report.error, "");
    ASSERT_EQ(report.gaps.size(), 1u);
    EXPECT_TRUE(report.gaps[0].at_most);
    EXPECT_NEAR(report.gaps[0].length_seconds, 0.5, 0.1);
    EXPECT_NEAR(report.gaps[0].at_seconds, 0.25, 0.1);
    capture.ClearAddedFilters();
    EXPECT_EQ(bus->Connections(), 0);
}

TEST_F(Ieee1394E2e, ADeckAwayWhenTheWriteStartsIsWaitedForAndPutBackIntoRecord) {
    // Fault: a deck off the bus for a moment after record was sent failed the start at once
    // ("Transport Start Error !"), though it was back a moment later.
    const fs::path file = SamplePath("sample-sd.ts");
    ASSERT_TRUE(ConnectWriteGraph(file));
    ASSERT_TRUE(capture.TransportRecordPause());
    ASSERT_TRUE(capture.TransportRecord());
    const size_t before = bus->Commands(kGuid).size();
    bus->Unplug(kGuid);
    // It comes back stopped, having lost its input, once the start waits for it.
    on_sleep = [&] {
        on_sleep = nullptr;
        bus->SetTransport(kGuid, fw::avc::kOpWind, fw::avc::kWindStop);
        bus->Replug(kGuid);
    };
    ASSERT_TRUE(capture.RunGraph());
    EXPECT_EQ(WaitForEvent(), EC_COMPLETE);
    ASSERT_TRUE(capture.StopGraph());
    const auto sent = bus->Commands(kGuid);
    const std::vector<std::string> after(sent.begin() + static_cast<long>(before), sent.end());
    EXPECT_EQ(after, (std::vector<std::string>{"01 20 D0 7F", "00 20 C2 7D", "00 20 C2 75"}));
    EXPECT_EQ(SentOnChannel63(), ReadFile(file));
    capture.ClearAddedFilters();
}

TEST_F(Ieee1394E2e, AWriteGraphLetGoWithoutRunningLeavesNothingConnected) {
    ASSERT_TRUE(ConnectWriteGraph(SamplePath("sample-sd.ts")));
    EXPECT_EQ(bus->Connections(), 1);
    capture.ReleaseGraph();
    EXPECT_EQ(bus->Connections(), 0);
}

TEST_F(Ieee1394E2e, ABusResetWhileWritingReconnectsTheDecksInput) {
    ASSERT_TRUE(ConnectWriteGraph(SamplePath("sample-sd.ts")));
    bus->ResetWhenSent(100);
    ASSERT_TRUE(capture.RunGraph());
    EXPECT_EQ(WaitForEvent(), EC_COMPLETE);
    ASSERT_TRUE(capture.StopGraph());
    EXPECT_EQ(bus->ReconnectCalls(), 1);
    EXPECT_EQ(Report().reconnects, 1u);
    capture.ClearAddedFilters();
    EXPECT_EQ(bus->Connections(), 0);
}

TEST_F(Ieee1394E2e, AfterAResetTheTransmitterFollowsTheDecksNewChannel) {
    const fs::path file = SamplePath("sample-sd.ts");
    ASSERT_TRUE(ConnectWriteGraph(file));
    bus->ResetWhenSent(100);
    bus->TakeChannelAtNextReset(0);
    ASSERT_TRUE(capture.RunGraph());
    EXPECT_EQ(WaitForEvent(), EC_COMPLETE);
    ASSERT_TRUE(capture.StopGraph());
    EXPECT_EQ(Report().channel, 1);
    // Every packet reached the deck, those after the reset on the channel it now listens to.
    const auto sent = bus->Sent();
    const auto channels = bus->SentChannels();
    ASSERT_EQ(sent.size(), channels.size());
    EXPECT_EQ(channels.front(), 0);
    EXPECT_EQ(channels.back(), 1);
    fw::CipReceiver rx(0, fw::CipReceiver::Output::TsPackets);
    Bytes received;
    for (size_t i = 0; i < sent.size(); ++i) {
        if (channels[i] != rx.channel()) rx.SetChannel(channels[i]);
        rx.Parse(fw::IsoPacket{sent[i].data(), sent[i].size(), static_cast<unsigned>(channels[i]),
                               1, 0, 0, 0},
                 received);
    }
    EXPECT_EQ(received, ReadFile(file));
    capture.ClearAddedFilters();
    EXPECT_EQ(bus->Connections(), 0);
}

TEST(Ieee1394Refusal, AWriteProtectedTapeFailsRecordPause) {
    auto owned = std::make_unique<FakeBus>();
    FakeDeckConfig c;
    c.guid = kGuid;
    c.write_protected = true;
    owned->AddDeck(c);
    FakeBus* bus = owned.get();
    GraphHost framework;
    for (auto& deck : fw::FindIeee1394Decks(std::make_shared<fw::Ieee1394Port>(std::move(owned)))) {
        framework.AddDeck(deck);
    }
    CollectingMessageSink sink;
    StreamContext ctx;
    CaptureDataPath data_path(ctx);
    CDSCapture capture(framework, sink, ctx, data_path);
    ASSERT_TRUE(capture.EnumerateDevices());
    ASSERT_TRUE(capture.SelectDevice(0));
    EXPECT_FALSE(capture.TransportRecordPause());
    EXPECT_FALSE(capture.TransportRecord());
    EXPECT_TRUE(capture.TransportStop());
    EXPECT_EQ(bus->Transport(kGuid), (std::pair<uint8_t, uint8_t>{0xC4, 0x60}));
}

class Ieee1394Naming : public CaptureTest {};

TEST_F(Ieee1394Naming, DecksAreNamedLikeEveryDeckAndComeBeforeTheVirtualOne) {
    auto owned = std::make_unique<FakeBus>();
    for (uint64_t guid : {0xA1ull, 0xA2ull, 0xA3ull, 0xA4ull}) {
        FakeDeckConfig c;
        c.guid = guid;
        if (guid >= 0xA3) {
            c.vendor.reset();
            c.model.reset();
        }
        owned->AddDeck(std::move(c));
    }
    auto port = std::make_shared<fw::Ieee1394Port>(std::move(owned));
    for (auto& deck : fw::FindIeee1394Decks(port)) fw.AddDeck(deck);
    AddVirtualDeck(fw, Deck("Virtual AV/C Tape Subunit", "Tessaline", "Virtual Deck"));
    ASSERT_TRUE(capture.EnumerateDevices());
    EXPECT_EQ(DeviceNames(), (std::vector<std::string>{
                                 "AV/C Tape Subunit (JVC HM-DH5U #1)",
                                 "AV/C Tape Subunit (JVC HM-DH5U #2)",
                                 "AV/C Tape Subunit (Unknown Video #1)",
                                 "AV/C Tape Subunit (Unknown Video #2)",
                                 "Virtual AV/C Tape Subunit (Tessaline Virtual Deck #1)",
                             }));
}

TEST_F(Ieee1394E2e, WhatCannotWorkFailsTheStartWithTheControllersMessage) {
    // A file without PCRs cannot be paced: the start fails before anything is sent.
    const fs::path file = dir / "no-pcr.ts";
    Bytes bytes;
    for (int i = 0; i < 200; ++i) {
        const Bytes p = MakeTsPacket({.pid = 0x100}, Bytes(184, 0x5A));
        bytes.insert(bytes.end(), p.begin(), p.end());
    }
    WriteFile(file, bytes);
    ASSERT_TRUE(ConnectWriteGraph(file));
    EXPECT_FALSE(capture.RunGraph());
    ASSERT_EQ(Texts().size(), 1u);
    EXPECT_EQ(Texts()[0], "Error 80070057: Cannot start capture");
    EXPECT_TRUE(bus->Sent().empty());
    // Only the connection made when the graph was built (the deck's input signal); the refused
    // write made none of its own.
    EXPECT_EQ(bus->ConnectCalls(), 1);

    // A deck unplugged since it was listed cannot record.
    bus->Unplug(kGuid);
    EXPECT_FALSE(sequence.PrepareGraph() && sequence.Start((dir / "x.ts").string(), true) ==
                                                RecordingSequence::StartResult::Started);
    EXPECT_EQ(Texts().back(), "Error 80040216: Cannot start capture");
    EXPECT_EQ(bus->ConnectCalls(), 1);
}

}  // namespace
}  // namespace tessaline::test
