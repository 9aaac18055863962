// Building the deck's graph, the chain of filters added by name, running and stopping, and the
// failure reports of each step.
#include <atomic>
#include <chrono>
#include <thread>

#include "capture/sample_grabber_cb.h"
#include "stream/output_file.h"
#include "tests/capture/capture_fixture.h"
#include "tests/support/test_support.h"

namespace tessaline::test {
namespace {

using ::testing::ElementsAre;
using namespace std::chrono_literals;

class ChainTest : public CaptureTest {
  protected:
    ChainTest() {
        AddVirtualDeck(fw, Deck("AV/C Tape", "JVC", "HM-DH5U"));
        capture.SetWaitLimits(200ms, 200ms);
    }
};

TEST_F(ChainTest, RecordingChainConnectsDeckToGrabber) {
    Open();
    ASSERT_TRUE(capture.AddFilterByName("&SampleGrabber"));  // a leading "&" is dropped
    ASSERT_TRUE(capture.ConnectChain(true));
    ASSERT_TRUE(capture.SetupSampleGrabber());
    const GraphSnapshot g = fw.LatestGraph();
    EXPECT_THAT(g.filters, ElementsAre("AV/C Tape", "SampleGrabber"));
    EXPECT_EQ(g.connections, 1);
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(ChainTest, SameFilterTwiceIsReported) {
    Open();
    ASSERT_TRUE(capture.AddFilterByName("SampleGrabber"));
    EXPECT_FALSE(capture.AddFilterByName("&SampleGrabber"));
    EXPECT_THAT(Texts(), ElementsAre("SampleGrabberis already added"));
    capture.ClearAddedFilters();
    EXPECT_TRUE(capture.AddFilterByName("SampleGrabber"));
}

TEST_F(ChainTest, UnregisteredNamesFailSilentlyOnceThenCountAsAdded) {
    Open();
    EXPECT_FALSE(capture.AddFilterByName("No Such Filter"));
    EXPECT_TRUE(sink.messages.empty());
    EXPECT_FALSE(capture.AddFilterByName("Another 50%x Filter"));
    EXPECT_THAT(Texts(), ElementsAre("Another 50%x Filteris already added"));
}

TEST_F(ChainTest, LastRegisteredOfTheSameNameWins) {
    fw.RegisterFilter("Dup", FilterKind::PassThrough);
    fw.RegisterFilter("Dup", FilterKind::SampleGrabber);
    Open();
    ASSERT_TRUE(capture.AddFilterByName("Dup"));
    EXPECT_TRUE(capture.SetupSampleGrabber());
}

TEST_F(ChainTest, ClearRemovesExactlyTheFiltersThatJoinedTheGraph) {
    Open();
    // An unregistered name leaves a slot without a filter in front of the grabber; clearing
    // must still take the grabber out of the graph.
    EXPECT_FALSE(capture.AddFilterByName("No Such Filter"));
    ASSERT_TRUE(capture.AddFilterByName("SampleGrabber"));
    EXPECT_EQ(capture.AddedCount(), 2u);
    EXPECT_EQ(capture.FiltersInGraph(), 1u);
    capture.ClearAddedFilters();
    EXPECT_THAT(fw.LatestGraph().filters, ElementsAre("AV/C Tape"));
    EXPECT_EQ(capture.AddedCount(), 0u);
    EXPECT_EQ(capture.FiltersInGraph(), 0u);
}

TEST_F(ChainTest, FilterBindAndAddFailuresNameTheFilter) {
    Open();
    fw.Fail(GraphOp::BindToFilter, MakeResult(0x80040154), 1, "SampleGrabber");
    EXPECT_FALSE(capture.AddFilterByName("SampleGrabber"));
    capture.ClearAddedFilters();
    fw.Fail(GraphOp::AddFilter, kE_FAIL, 1, "SampleGrabber");
    EXPECT_FALSE(capture.AddFilterByName("SampleGrabber"));
    EXPECT_EQ(capture.FiltersInGraph(), 0u);
    EXPECT_THAT(Texts(), ElementsAre("Error 80040154: Cannot find SampleGrabber",
                                     "Error 80004005: Cannot add SampleGrabberto graph"));
    capture.ClearAddedFilters();
    EXPECT_THAT(fw.LatestGraph().filters, ElementsAre("AV/C Tape"));
}

TEST_F(ChainTest, WithoutDeckNothingIsAddedToTheGraph) {
    ASSERT_TRUE(capture.EnumerateDevices());
    EXPECT_FALSE(capture.AddFilterByName("SampleGrabber"));
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(ChainTest, UpstreamWithOnlyInputPinsConnectsNothingSilently) {
    fw.RegisterFilter("Sink", FilterKind::InputOnly);
    Open();
    ASSERT_TRUE(capture.AddFilterByName("Sink"));
    EXPECT_TRUE(capture.ConnectChain(false));
    EXPECT_EQ(fw.LatestGraph().connections, 0);
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(ChainTest, FilterWithoutPinsIsReported) {
    fw.RegisterFilter("Empty", FilterKind::NoPins);
    Open();
    ASSERT_TRUE(capture.AddFilterByName("Empty"));
    EXPECT_FALSE(capture.ConnectChain(false));
    EXPECT_THAT(Texts(), ElementsAre("Error : Cannot connect Empty"));
}

TEST_F(ChainTest, ConnectFailureNamesTheDownstreamFilterOrDeck) {
    Open();
    // The deck's capture output cannot feed the converter's file input.
    ASSERT_TRUE(capture.AddFilterByName(kSourcePacketConverterName));
    EXPECT_FALSE(capture.ConnectChain(true));
    capture.ClearAddedFilters();
    ASSERT_TRUE(capture.AddFilterByName(kSampleGrabberName));
    fw.Fail(GraphOp::Connect, kE_FAIL, 1);
    EXPECT_FALSE(capture.ConnectChain(false));
    EXPECT_THAT(Texts(),
                ElementsAre("Error 80040217: Cannot connect MPEG2 Transport to Source Packets ",
                            "Error 80004005: Cannot connect AV/C Tape (JVC HM-DH5U #1) "));
}

TEST_F(ChainTest, FailedPinEnumerationEndsChainSilently) {
    Open();
    ASSERT_TRUE(capture.AddFilterByName(kSampleGrabberName));
    fw.Fail(GraphOp::EnumPins, kE_FAIL, 1, "AV/C Tape");
    EXPECT_FALSE(capture.ConnectChain(true));
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(ChainTest, GraphStepFailures) {
    ASSERT_TRUE(capture.EnumerateDevices());
    fw.Fail(GraphOp::CreateCaptureGraphBuilder, kE_OUTOFMEMORY, 1);
    EXPECT_FALSE(capture.SelectDevice(0));
    EXPECT_THAT(Texts(), ElementsAre("Cannot instantiate graph builder"));
}

TEST_F(ChainTest, GraphCreationFailureReleasesEverything) {
    ASSERT_TRUE(capture.EnumerateDevices());
    fw.Fail(GraphOp::CreateFilterGraph, kE_OUTOFMEMORY, 1);
    EXPECT_FALSE(capture.SelectDevice(0));
    EXPECT_THAT(Texts(), ElementsAre("Cannot instantiate filtergraph"));
    EXPECT_FALSE(capture.HasDeviceFilter());
    EXPECT_FALSE(fw.LatestGraph().exists);
}

TEST_F(ChainTest, DeckBindAndMediaControlFailuresCarryOn) {
    ASSERT_TRUE(capture.EnumerateDevices());
    fw.Fail(GraphOp::BindToFilter, MakeResult(0x80070005), 1, "AV/C Tape");
    fw.Fail(GraphOp::QueryMediaControl, kE_NOINTERFACE, 1);
    // Without its filter the deck is not ready, whatever else could be built.
    EXPECT_FALSE(capture.SelectDevice(0));
    EXPECT_THAT(Texts(), ElementsAre("Error 80070005: Cannot create video capture filter",
                                     "Error 80004003: Cannot add vidcap to filtergraph",
                                     "Error 80004002: Cannot use mediacontrol"));
    EXPECT_FALSE(capture.HasDeviceFilter());
    // Without media control, run and stop do nothing and say nothing.
    sink.messages.clear();
    EXPECT_FALSE(capture.RunGraph());
    EXPECT_FALSE(capture.StopGraph());
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(ChainTest, ChoosingTheChosenDeckAgainDoesNothing) {
    Open();
    const int graphs = fw.GraphsCreated();
    EXPECT_FALSE(capture.SelectDevice(0));
    EXPECT_EQ(fw.GraphsCreated(), graphs);
    EXPECT_TRUE(capture.HasDeviceFilter());
}

TEST_F(ChainTest, RunAndStopFailuresReportTheirCode) {
    Open();
    fw.Fail(GraphOp::Run, MakeResult(0x8007001F), 1);
    EXPECT_FALSE(capture.RunGraph());
    EXPECT_EQ(fw.LatestGraph().state, FilterState::Stopped);
    ASSERT_TRUE(capture.RunGraph());
    EXPECT_EQ(fw.LatestGraph().state, FilterState::Running);
    fw.Fail(GraphOp::Stop, kE_FAIL, 1);
    EXPECT_FALSE(capture.StopGraph());
    EXPECT_TRUE(capture.StopGraph());
    EXPECT_THAT(Texts(), ElementsAre("Error 8007001F: Cannot start capture",
                                     "Error 80004005: Cannot stop capture"));
}

TEST_F(ChainTest, MediaControlFailureAloneLeavesTheDeckReady) {
    ASSERT_TRUE(capture.EnumerateDevices());
    fw.Fail(GraphOp::QueryMediaControl, kE_NOINTERFACE, 1);
    EXPECT_TRUE(capture.SelectDevice(0));
    EXPECT_THAT(Texts(), ElementsAre("Error 80004002: Cannot use mediacontrol"));
}

// A start that reports failure although the graph went on running: RunGraph itself stops it.
TEST_F(ChainTest, FailedRunThatLeftTheGraphRunningIsStopped) {
    Open();
    fw.Fail(GraphOp::RunLeavesRunning, MakeResult(0x8007001F), 1);
    EXPECT_FALSE(capture.RunGraph());
    EXPECT_EQ(fw.LatestGraph().state, FilterState::Stopped);
    EXPECT_FALSE(capture.GraphMayRun());
    EXPECT_THAT(Texts(), ElementsAre("Error 8007001F: Cannot start capture"));
}

// A graph that cannot tell its state is reported with the code it gives, not as a time-out.
TEST_F(ChainTest, FailingGetStateReportsItsOwnCode) {
    Open();
    fw.Fail(GraphOp::GetState, MakeResult(0x8004025B));
    EXPECT_FALSE(capture.RunGraph());
    EXPECT_TRUE(capture.GraphMayRun());  // the stop after it could not be seen through either
    EXPECT_FALSE(capture.StopGraph());
    fw.ClearFailures();
    EXPECT_TRUE(capture.StopGraph());
    EXPECT_FALSE(capture.GraphMayRun());
    EXPECT_THAT(Texts(), ElementsAre("Error 8004025B: Cannot start capture",
                                     "Error 8004025B: Cannot stop capture"));
}

TEST_F(ChainTest, GraphThatNeverGetsThereTimesOut) {
    Open();
    fw.Fail(GraphOp::GetState, kVFW_S_STATE_INTERMEDIATE);
    EXPECT_FALSE(capture.RunGraph());
    fw.ClearFailures();
    ASSERT_TRUE(capture.RunGraph());
    fw.Fail(GraphOp::GetState, kVFW_S_STATE_INTERMEDIATE);
    EXPECT_FALSE(capture.StopGraph());
    fw.ClearFailures();
    EXPECT_TRUE(capture.StopGraph());
    EXPECT_THAT(Texts(), ElementsAre("Error 800705B4: Cannot start capture",
                                     "Error 800705B4: Cannot stop capture"));
}

TEST_F(ChainTest, StopWaitsForTheCallbackToLeave) {
    Open();
    capture.SetWaitLimits(10s, 10s);
    ASSERT_TRUE(capture.RunGraph());
    // A framework may report stopped while its last callback is still running.
    ctx.CallbackBusy = true;
    std::atomic<bool> left{false};
    std::thread callback([&] {
        std::this_thread::sleep_for(50ms);
        left = true;
        ctx.CallbackBusy.store(false, std::memory_order_release);
    });
    const bool stopped = capture.StopGraph();
    const bool had_left = left;
    callback.join();
    EXPECT_TRUE(stopped);
    EXPECT_TRUE(had_left);
}

TEST_F(ChainTest, CallbackThatNeverLeavesTimesOut) {
    Open();
    ASSERT_TRUE(capture.RunGraph());
    ctx.CallbackBusy = true;
    EXPECT_FALSE(capture.StopGraph());
    EXPECT_THAT(Texts(), ElementsAre("Error 800705B4: Cannot stop capture"));
    ctx.CallbackBusy = false;
}

TEST_F(ChainTest, ErrorTextFormatting) {
    EXPECT_FALSE(capture.ShowError("Error %x: Cannot find ", 0xABC, "50%x"));
    capture.ShowError("Error %x: Cannot start capture", 0);
    capture.ShowError("Error : Cannot find ISampleGrabber", 0x1234);
    capture.ShowError("Error %x: Cannot stop capture", -1);
    EXPECT_THAT(Texts(), ElementsAre("Error ABC: Cannot find 50%x", "Error 0: Cannot start capture",
                                     "Error : Cannot find ISampleGrabber",
                                     "Error FFFFFFFF: Cannot stop capture"));
    for (const auto& m : sink.messages) EXPECT_EQ(m.caption, "");
}

// ---- The sample grabber ----

TEST_F(ChainTest, GrabberSetupNeedsAnAddedGrabber) {
    fw.RegisterFilter("Tee", FilterKind::PassThrough);
    Open();
    EXPECT_FALSE(capture.SetupSampleGrabber());  // nothing ever added: silent
    EXPECT_TRUE(sink.messages.empty());
    ASSERT_TRUE(capture.AddFilterByName("Tee"));
    EXPECT_FALSE(capture.SetupSampleGrabber());
    EXPECT_THAT(Texts(), ElementsAre("Error : Cannot find ISampleGrabber"));
}

TEST_F(ChainTest, GrabberSetupFailures) {
    Open();
    ASSERT_TRUE(capture.AddFilterByName(kSampleGrabberName));
    fw.Fail(GraphOp::SetMediaType, kE_INVALIDARG, 1);
    EXPECT_FALSE(capture.SetupSampleGrabber());
    fw.Fail(GraphOp::SetCallback, kE_FAIL, 1);
    EXPECT_FALSE(capture.SetupSampleGrabber());
    EXPECT_TRUE(capture.SetupSampleGrabber());
    EXPECT_THAT(Texts(), ElementsAre("Error 80070057: Cannot create mediatype",
                                     "Error 80004005: Cannot set callback"));
}

TEST(SampleGrabberCallback, HandsBuffersToTheDataPathAndCountsReferences) {
    StreamContext ctx;
    ctx.options.TrimPacket = false;
    CaptureDataPath path(ctx);
    TempDir dir;
    OutputFile out;
    ASSERT_TRUE(out.Create((dir / "raw.ts").string()));
    path.SetOutputFile(&out);

    Ref<CSampleGrabberCB> cb = MakeRef<CSampleGrabberCB>(path);
    EXPECT_EQ(cb->grabber().data_path, &path);
    EXPECT_EQ(cb->SampleCB(0, nullptr), kE_NOTIMPL);
    const uint8_t bytes[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(cb->BufferCB(0.5, bytes, 5), kS_OK);
    EXPECT_EQ(out.bytes_written(), 5u);

    Ref<ISampleGrabberCB> second = cb;
    EXPECT_EQ(cb->AddRef(), 3u);
    EXPECT_EQ(cb->Release(), 2u);

    const MediaType type = GrabberMediaType();
    EXPECT_EQ(type.major, MajorType::Video);
    EXPECT_EQ(type.subtype, SubType::Mpeg2Video);
    EXPECT_EQ(type.format, FormatType::Mpeg2Video);
    EXPECT_FALSE(type.fixed_size_samples);
    EXPECT_EQ(type.sample_size, 0u);
}

// ---- Writing to the deck ----

TEST_F(ChainTest, SourceFileNeedsAFileSource) {
    Open();
    EXPECT_FALSE(capture.SetSourceFile("/nowhere.ts"));  // nothing added yet: silent
    ASSERT_TRUE(capture.AddFilterByName(kSampleGrabberName));
    EXPECT_FALSE(capture.SetSourceFile(SamplePath("sample-sd.ts").string()));
    capture.ClearAddedFilters();
    ASSERT_TRUE(capture.AddFilterByName(kFileSourceName));
    EXPECT_FALSE(capture.SetSourceFile("/nowhere/missing.ts"));
    fw.Fail(GraphOp::Load, kE_FAIL, 1);
    EXPECT_FALSE(capture.SetSourceFile(SamplePath("sample-sd.ts").string()));
    EXPECT_TRUE(capture.SetSourceFile(SamplePath("sample-sd.ts").string()));
    EXPECT_THAT(Texts(), ElementsAre("Error : Cannot find IFileSourceFilter",
                                     "Error 80070002: Cannot set filename",
                                     "Error 80004005: Cannot set filename"));
}

TEST_F(ChainTest, NoCompletionWithoutARunningGraph) {
    EXPECT_EQ(capture.PollCompletion(), 0);
    Open();
    EXPECT_EQ(capture.PollCompletion(), 0);
    ASSERT_TRUE(capture.RunGraph());
    EXPECT_EQ(capture.PollCompletion(), 0);  // nothing connected: nothing ever ends
    fw.Fail(GraphOp::QueryMediaEvent, kE_NOINTERFACE, 1);
    EXPECT_EQ(capture.PollCompletion(), 0);
}

}  // namespace
}  // namespace tessaline::test
