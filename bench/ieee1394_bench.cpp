// The IEEE 1394 receive side: CPU time the CIP receiver needs per second of a 28.2 Mbit/s deck
// stream (the D-VHS HS rate), and how long the receive thread takes to leave after a stop
// request, idle or streaming (worst of many).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "capture/ieee1394/ieee1394_deck.h"
#include "tests/support/ieee1394/fake_bus.h"

using namespace tessaline;
using namespace tessaline::fw;

namespace {

constexpr double kStreamBitsPerSecond = 28.2e6;
constexpr int kCyclesPerSecond = 8000;
constexpr size_t kIrqBatch = 250;  // packets per wake-up of the receive thread

const std::vector<uint8_t>& Sample() {
    static const std::vector<uint8_t> bytes = [] {
        std::ifstream in(TESSALINE_DATA_DIR "/sample-hd-192.ts", std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }();
    return bytes;
}

// Seconds of bus traffic: 8000 cycle packets a second carrying 28.2 Mbit/s of TS as source
// packets, the block counter running on throughout.
std::vector<std::vector<uint8_t>> Traffic(int seconds = 1) {
    const auto& sample = Sample();
    const size_t count = sample.size() / kSourcePacketBytes;
    const double per_cycle = kStreamBitsPerSecond / 8 / kTsBytes / kCyclesPerSecond;
    std::vector<std::vector<uint8_t>> packets;
    CipWriter writer(1);
    uint8_t buffer[kMaxIsoPayload];
    double credit = 0;
    size_t next = 0;
    for (int cycle = 0; cycle < kCyclesPerSecond * seconds; ++cycle) {
        credit += per_cycle;
        int n = 0;
        std::vector<uint8_t> sp;
        while (credit >= 1.0 && n < kMaxSourcePacketsPerCycle) {
            const uint8_t* p = sample.data() + (next++ % count) * kSourcePacketBytes;
            sp.insert(sp.end(), p, p + kSourcePacketBytes);
            credit -= 1.0;
            ++n;
        }
        const size_t len = writer.SourcePackets(buffer, sizeof buffer, sp.data(), n);
        packets.emplace_back(buffer, buffer + len);
    }
    return packets;
}

void CipReceiveOneSecond(benchmark::State& state) {
    if (Sample().empty()) {
        state.SkipWithError("sample-hd-192.ts not found");
        return;
    }
    const auto packets = Traffic();
    CipReceiver rx(5, CipReceiver::Output::SourcePackets);
    std::vector<uint8_t> out;
    out.reserve(kIrqBatch * kMaxIsoPayload);
    for (auto _ : state) {
        for (size_t i = 0; i < packets.size(); ++i) {
            const IsoPacket p{packets[i].data(), packets[i].size(), 5, 1, 0, 0, 0};
            rx.Parse(p, out);
            if (i % kIrqBatch == kIrqBatch - 1) {
                benchmark::DoNotOptimize(out.data());
                out.clear();
            }
        }
        out.clear();
    }
    // CPU time per second of stream: the share of one core the receiver takes.
    state.counters["cpu_per_stream_second"] =
        benchmark::Counter(static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kStreamBitsPerSecond / 8));
}
BENCHMARK(CipReceiveOneSecond)->Unit(benchmark::kMillisecond);

class CountingCallback final : public ISampleGrabberCB {
  public:
    HResult SampleCB(double, IMediaSample*) override { return kE_NOTIMPL; }
    HResult BufferCB(double, const uint8_t*, long length) override {
        bytes.fetch_add(static_cast<uint64_t>(length), std::memory_order_relaxed);
        return kS_OK;
    }
    std::atomic<uint64_t> bytes{0};
};

// The whole receive path for one second of stream on the fake bus: poll, the iso handler's
// packets into the CIP receiver, and the hand-over of buffers to the grabber callback. The fake
// bus's own bookkeeping is included, so this is an upper bound for the handler.
void ReceiveLoopOneSecond(benchmark::State& state) {
    if (Sample().empty()) {
        state.SkipWithError("sample-hd-192.ts not found");
        return;
    }
    const auto traffic = Traffic();
    for (auto _ : state) {
        state.PauseTiming();
        auto owned = std::make_unique<FakeBus>();
        FakeBus* bus = owned.get();
        bus->AddDeck(FakeDeckConfig{});
        auto port = std::make_shared<Ieee1394Port>(std::move(owned));
        std::vector<DeckEntry> decks;
        FindDecks(port->bus().Bus(), port->avc(), decks);
        Ieee1394Deck deck(port, decks.at(0));
        std::vector<IsoScriptItem> script(traffic.size() + 1);
        for (size_t i = 0; i < traffic.size(); ++i) script[i].bytes = traffic[i];
        script.back().kind = IsoScriptItem::Kind::End;
        bus->Script(std::move(script));
        auto* cb = new CountingCallback;
        Ref<ISampleGrabberCB> keep(cb);
        StopSignal stop;
        state.ResumeTiming();
        benchmark::DoNotOptimize(deck.Capture(*cb, stop));
    }
    state.counters["cpu_per_stream_second"] =
        benchmark::Counter(static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(ReceiveLoopOneSecond)->Unit(benchmark::kMillisecond);

// Starts the receive loop, lets it run (idle in poll, or streaming a long script), then measures
// the time from the stop request until the thread has left.
void StopToExit(benchmark::State& state) {
    const bool streaming = state.range(0) != 0;
    const auto traffic = streaming ? Traffic(3) : std::vector<std::vector<uint8_t>>{};
    double worst = 0, total = 0;
    int runs = 0;
    for (auto _ : state) {
        auto owned = std::make_unique<FakeBus>();
        FakeBus* bus = owned.get();
        FakeDeckConfig c;
        bus->AddDeck(c);
        auto port = std::make_shared<Ieee1394Port>(std::move(owned));
        std::vector<DeckEntry> decks;
        FindDecks(port->bus().Bus(), port->avc(), decks);
        Ieee1394Deck deck(port, decks.at(0));
        deck.set_report_trouble(false);
        if (streaming) {
            std::vector<IsoScriptItem> script;
            for (const auto& p : traffic) {
                IsoScriptItem item;
                item.bytes = p;
                script.push_back(std::move(item));
            }
            bus->Script(std::move(script));
        }
        auto* cb = new CountingCallback;
        Ref<ISampleGrabberCB> keep(cb);
        StopSignal stop;
        std::thread loop([&] { deck.Capture(*cb, stop); });
        while (bus->OpenedSources() == 0) std::this_thread::yield();
        if (streaming) {
            while (cb->bytes.load() == 0) std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const auto asked = std::chrono::steady_clock::now();
        stop.Raise();
        loop.join();
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - asked)
                .count();
        worst = std::max(worst, ms);
        total += ms;
        ++runs;
    }
    state.counters["worst_stop_ms"] = worst;
    state.counters["mean_stop_ms"] = runs ? total / runs : 0;
}
BENCHMARK(StopToExit)->Arg(0)->Arg(1)->Iterations(100)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
