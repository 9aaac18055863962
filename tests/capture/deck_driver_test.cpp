// SPDX-License-Identifier: GPL-3.0-or-later
// A third kind of deck, written here against DeckDriver alone: the graph host lists it, powers it,
// streams from it and writes to it without knowing what it is, and survives what such a driver
// can do wrong (a refused start, a stream that throws, a stop it must notice).
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "capture/deck_driver.h"
#include "capture/recording_sequence.h"
#include "tests/capture/capture_fixture.h"
#include "tests/support/test_support.h"

namespace tessaline::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ::testing::ElementsAre;

// A deck that hands over the buffers it was given, then waits for the stop (or ends, if told to).
class ScriptedDeck final : public DeckDriver {
  public:
    DeckListing Listing() const override {
        DeckListing l;
        l.friendly_name = "Scripted Tape";
        l.vendor = "Acme";
        l.model = "S1";
        return l;
    }
    HResult GetPower(int32_t& state) override {
        state = power;
        return kS_OK;
    }
    HResult SetPower(int32_t state) override {
        Log("power " + std::to_string(state));
        power = state;
        return kS_OK;
    }
    HResult SetMode(int32_t mode) override {
        Log("mode " + std::to_string(mode));
        return kS_OK;
    }
    int32_t Capture(ISampleGrabberCB& callback, const StopSignal& stop) override {
        Log("capture");
        if (throw_in_stream) throw std::runtime_error("the device went away");
        for (const Bytes& b : buffers) {
            if (stop.raised()) return 0;
            callback.BufferCB(0, b.data(), static_cast<long>(b.size()));
            ++delivered;
        }
        if (end_after_buffers) return EC_COMPLETE;
        // Nothing more to send: wait, boundedly, for the host's stop.
        return stop.WaitUntil(Clock::now() + 60s) ? 0 : EC_ERRORABORT;
    }
    int32_t Playback(const std::string& path, const StopSignal& /*stop*/) override {
        Log("playback " + path);
        return EC_COMPLETE;
    }
    HResult Prepare(bool playback, const std::string& path) override {
        Log(std::string(playback ? "prepare playback " : "prepare capture") + path);
        return refuse_start;
    }
    std::string Describe() override { return "scripted"; }
    void InputConnected() override { Log("input connected"); }
    void InputReleased() override { Log("input released"); }

    std::vector<std::string> calls() {
        std::lock_guard lock(mu_);
        return calls_;
    }

    std::vector<Bytes> buffers;
    bool end_after_buffers = false;
    bool throw_in_stream = false;
    HResult refuse_start = kS_OK;
    std::atomic<int32_t> power{ED_POWER_OFF};
    std::atomic<size_t> delivered{0};

  private:
    void Log(std::string call) {
        std::lock_guard lock(mu_);
        calls_.push_back(std::move(call));
    }
    std::mutex mu_;
    std::vector<std::string> calls_;
};

class ThirdDeck : public CaptureTest {
  protected:
    ThirdDeck() : sequence(capture, ctx, path, sink) {
        deck = fw.AddDeck(std::make_shared<ScriptedDeck>());
        ctx.options.TrimPacket = false;
        ctx.options.ConvPES = false;
    }

    std::shared_ptr<ScriptedDeck> deck;
    RecordingSequence sequence;
    TempDir dir;
};

TEST_F(ThirdDeck, IsListedPoweredAndRecordedThroughTheInterfaceAlone) {
    Bytes first = MakeTsPacket({.pid = 0x100}, {});
    Bytes second = MakeTsPacket({.pid = 0x101}, {});
    deck->buffers = {first, second};
    ASSERT_TRUE(capture.EnumerateDevices());
    EXPECT_EQ(DeviceNames(), std::vector<std::string>{"Scripted Tape (Acme S1 #1)"});
    ASSERT_TRUE(capture.SelectDevice(0));
    EXPECT_TRUE(capture.DevicePowerOn());
    EXPECT_EQ(deck->power.load(), ED_POWER_ON);

    const auto out = dir / "rec.ts";
    ASSERT_TRUE(sequence.PrepareGraph());
    ASSERT_EQ(sequence.Start(out.string(), true), RecordingSequence::StartResult::Started);
    // Both buffers are through the data path; the deck now waits for the stop.
    const auto deadline = Clock::now() + 60s;
    while (deck->delivered < 2 && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(capture.PollCompletion(), 0);
    EXPECT_TRUE(sequence.Stop());
    Bytes both = first;
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_EQ(ReadFile(out), both);
    EXPECT_THAT(deck->calls(), ElementsAre("power 4146", "prepare capture", "capture"));
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(ThirdDeck, AStartTheDriverRefusesNeverStreams) {
    deck->refuse_start = kVFW_E_NOT_FOUND;
    Open();
    ASSERT_TRUE(sequence.PrepareGraph());
    EXPECT_EQ(sequence.Start((dir / "rec.ts").string(), true),
              RecordingSequence::StartResult::NotRunning);
    EXPECT_THAT(Texts(), ElementsAre("Error 80040216: Cannot start capture"));
    EXPECT_THAT(deck->calls(), ElementsAre("prepare capture"));
    // The deck is usable again once it agrees.
    deck->refuse_start = kS_OK;
    deck->end_after_buffers = true;
    ASSERT_TRUE(sequence.PrepareGraph());
    ASSERT_EQ(sequence.Start((dir / "again.ts").string(), true),
              RecordingSequence::StartResult::Started);
    EXPECT_EQ(WaitForEvent(), EC_COMPLETE);
    EXPECT_TRUE(sequence.Stop());
}

TEST_F(ThirdDeck, AStreamThatThrowsEndsWithAnErrorAndTheGraphStillStops) {
    deck->throw_in_stream = true;
    Open();
    ASSERT_TRUE(sequence.PrepareGraph());
    ASSERT_EQ(sequence.Start((dir / "rec.ts").string(), true),
              RecordingSequence::StartResult::Started);
    EXPECT_EQ(WaitForEvent(), EC_ERRORABORT);
    EXPECT_TRUE(sequence.Stop());
    EXPECT_FALSE(ctx.CallbackBusy.load());
}

TEST_F(ThirdDeck, TheWriteChainConnectsTheInputAndPlaysTheFileIntoTheDriver) {
    const std::string file = SamplePath("sample-sd.ts").string();
    Open();
    ASSERT_TRUE(capture.AddFilterByName(kFileSourceName));
    ASSERT_TRUE(capture.SetSourceFile(file));
    ASSERT_TRUE(capture.AddFilterByName(kSourcePacketConverterName));
    ASSERT_TRUE(capture.ConnectChain(false));
    EXPECT_THAT(deck->calls(), ElementsAre("input connected"));
    ASSERT_TRUE(capture.RunGraph());
    EXPECT_EQ(WaitForEvent(), EC_COMPLETE);
    ASSERT_TRUE(capture.StopGraph());
    capture.ClearAddedFilters();
    EXPECT_THAT(deck->calls(), ElementsAre("input connected", "prepare playback " + file,
                                           "playback " + file, "input released"));
}

// A grabber in one-shot mode takes one buffer and ends the stream, whatever the deck goes on
// sending. The recorder never asks for that, so the graph is built here by hand.
TEST_F(ThirdDeck, AOneShotGrabberTakesOneBufferAndEndsTheStream) {
    deck->buffers = {Bytes(188, 1), Bytes(188, 2), Bytes(188, 3)};
    Ref<ICreateDevEnum> devices;
    ASSERT_EQ(fw.CreateSystemDeviceEnum(devices), kS_OK);
    auto first = [&](DeviceCategory category, std::string_view name) {
        Ref<IEnumMoniker> list;
        Ref<IMoniker> moniker;
        Ref<IPropertyBag> bag;
        std::string friendly;
        Ref<IBaseFilter> filter;
        devices->CreateClassEnumerator(category, list, 0);
        while (list && list->Next(moniker) == kS_OK) {
            if (moniker->BindToStorage(bag) == kS_OK &&
                bag->Read("FriendlyName", friendly) == kS_OK && friendly == name &&
                moniker->BindToFilter(filter) == kS_OK) {
                break;
            }
        }
        return filter;
    };
    auto pin = [](IBaseFilter& filter, PinDirection direction) {
        Ref<IEnumPins> pins;
        Ref<IPin> p;
        PinInfo info;
        filter.EnumPins(pins);
        while (pins->Next(p) == kS_OK) {
            if (p->QueryPinInfo(info) == kS_OK && info.direction == direction) return p;
        }
        return Ref<IPin>();
    };
    struct Counter final : ISampleGrabberCB {
        HResult SampleCB(double, IMediaSample*) override { return kE_NOTIMPL; }
        HResult BufferCB(double, const uint8_t* data, long) override {
            first_byte = data[0];
            ++calls;
            return kS_OK;
        }
        int calls = 0;
        uint8_t first_byte = 0;
    };
    const Ref<IBaseFilter> source = first(DeviceCategory::VideoInputDevice, "Scripted Tape");
    const Ref<IBaseFilter> grabber_filter =
        first(DeviceCategory::LegacyAmFilter, kSampleGrabberName);
    ASSERT_TRUE(source && grabber_filter);
    Ref<IGraphBuilder> graph;
    ASSERT_EQ(fw.CreateFilterGraph(graph), kS_OK);
    ASSERT_EQ(graph->AddFilter(source.get(), {}), kS_OK);
    ASSERT_EQ(graph->AddFilter(grabber_filter.get(), kSampleGrabberName), kS_OK);
    ASSERT_EQ(graph->Connect(pin(*source, PinDirection::Output).get(),
                             pin(*grabber_filter, PinDirection::Input).get()),
              kS_OK);
    Ref<ISampleGrabber> grabber;
    ASSERT_EQ(grabber_filter->QuerySampleGrabber(grabber), kS_OK);
    const auto counter = MakeRef<Counter>();
    ASSERT_EQ(grabber->SetOneShot(true), kS_OK);
    ASSERT_EQ(grabber->SetCallback(counter.get(), kGrabberBufferCallback), kS_OK);
    Ref<IMediaControl> control;
    Ref<IMediaEvent> events;
    ASSERT_EQ(graph->QueryMediaControl(control), kS_OK);
    ASSERT_EQ(graph->QueryMediaEvent(events), kS_OK);
    ASSERT_EQ(control->Run(), kS_OK);
    int32_t event = 0;
    EXPECT_EQ(events->WaitForCompletion(60000, event), kS_OK);
    EXPECT_EQ(event, EC_COMPLETE);
    ASSERT_EQ(control->Stop(), kS_OK);
    FilterState state = FilterState::Running;
    for (int i = 0;
         i < 6000 && (control->GetState(10, state) != kS_OK || state != FilterState::Stopped);
         ++i) {
    }
    ASSERT_EQ(state, FilterState::Stopped);
    EXPECT_EQ(counter->calls, 1);
    EXPECT_EQ(counter->first_byte, 1);
}

TEST(StopSignal, WakesAWaiterAtOnceAndStaysRaised) {
    StopSignal stop;
    EXPECT_FALSE(stop.WaitUntil(Clock::now()));  // nothing raised: the time simply passes
    std::thread raiser([&] { stop.Raise(); });
    EXPECT_TRUE(stop.WaitUntil(Clock::now() + 60s));
    raiser.join();
    EXPECT_TRUE(stop.raised());
    EXPECT_TRUE(stop.WaitUntil(Clock::now() - 1s));
    // Readable for poll() too, as the IEEE 1394 loops wait on it.
    ASSERT_GE(stop.fd(), 0);
    uint64_t count = 0;
    EXPECT_EQ(read(stop.fd(), &count, sizeof count), static_cast<ssize_t>(sizeof count));
}

}  // namespace
}  // namespace tessaline::test
