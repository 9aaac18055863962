// Whole recordings from the virtual deck through the recording sequence, in every output mode,
// with the deck cutting its buffers at random; writing to the deck; start/stop under stress.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "capture/recording_sequence.h"
#include "capture/source_packets.h"
#include "stream/live_converter.h"
#include "stream/output_file.h"
#include "tests/capture/capture_fixture.h"
#include "tests/support/test_support.h"

namespace tessaline::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

enum class Mode { Ts192, Ts188, Ps };

void SetMode(StreamOptions& o, Mode mode) {
    o.ConvPES = mode == Mode::Ps;
    o.TrimPacket = mode != Mode::Ts192;
}

// What the capture data path writes for these bytes when a fresh context gets them in the
// deck's default buffers.
Bytes ThroughFreshDataPath(const Bytes& input, const StreamOptions& options, const fs::path& out) {
    StreamContext ref;
    ref.options = options;
    CaptureDataPath path(ref);
    OutputFile file;
    EXPECT_TRUE(file.Create(out.string()));
    path.SetOutputFile(&file);
    PrepareLiveConversion(ref);
    for (size_t pos = 0; pos < input.size(); pos += 61440) {
        const size_t n = std::min<size_t>(61440, input.size() - pos);
        path.BufferCB(0, input.data() + pos, static_cast<long>(n));
    }
    file.Close();
    return ReadFile(out);
}

Bytes Trimmed(const Bytes& source_packets) {
    Bytes out;
    for (size_t pos = 0; pos + 192 <= source_packets.size(); pos += 192) {
        out.insert(out.end(), source_packets.begin() + static_cast<long>(pos + 4),
                   source_packets.begin() + static_cast<long>(pos + 192));
    }
    return out;
}

class RecordingTest : public CaptureTest {
  protected:
    RecordingTest() : sequence(capture, ctx, path, sink) {}

    void UseDeck(const fs::path& file, size_t max_chunk, uint32_t seed,
                 int32_t power = ED_POWER_ON) {
        VirtualDeckConfig c = Deck("AV/C Tape", "JVC", "HM-DH5U");
        c.file = file.string();
        c.tape_file = (dir / "deck.tape").string();
        c.fast = true;
        c.random_chunk_max = max_chunk;
        c.random_seed = seed;
        c.power = power;
        deck = AddVirtualDeck(fw, c);
        Open();
    }

    // Waits, boundedly, until the deck has played its whole file.
    bool WaitForEnd() {
        const auto deadline = Clock::now() + 60s;
        while (capture.PollCompletion() != EC_COMPLETE) {
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    Bytes RecordWhole(Mode mode, const std::string& name) {
        SetMode(ctx.options, mode);
        const fs::path out = dir / name;
        EXPECT_TRUE(sequence.PrepareGraph());
        EXPECT_EQ(sequence.Start(out.string(), true), RecordingSequence::StartResult::Started);
        EXPECT_TRUE(WaitForEnd());
        EXPECT_TRUE(sequence.Stop());
        EXPECT_FALSE(ctx.CallbackBusy.load());
        return ReadFile(out);
    }

    TempDir dir;
    std::shared_ptr<VirtualDeck> deck;
    RecordingSequence sequence;
};

TEST_F(RecordingTest, Ts192IsTheDeliveredBytes) {
    const fs::path sample = SamplePath("sample-sd-192.ts");
    UseDeck(sample, 5000, 11);
    EXPECT_EQ(RecordWhole(Mode::Ts192, "rec.m2t"), ReadFile(sample));
    EXPECT_GT(deck->buffers_delivered(), 400u);
    // The live converter kept the statistics all the same.
    EXPECT_EQ(ctx.stats.VideoWidth.load(), 720u);
    EXPECT_EQ(ctx.stats.WriteFailures.load(), 0u);
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(RecordingTest, Ts188IsTheTrimmedPackets) {
    const fs::path sample = SamplePath("sample-sd-192.ts");
    UseDeck(sample, 3000, 12);
    EXPECT_EQ(RecordWhole(Mode::Ts188, "rec.ts"), Trimmed(ReadFile(sample)));
}

TEST_F(RecordingTest, ProgramStreamEqualsTheConverterAndReadsBack) {
    const fs::path sample = SamplePath("sample-hd-192.ts");
    UseDeck(sample, 20000, 13);
    const Bytes recorded = RecordWhole(Mode::Ps, "rec.mpg");
    const Bytes expected = ThroughFreshDataPath(ReadFile(sample), ctx.options, dir / "ref.mpg");
    ASSERT_FALSE(recorded.empty());
    EXPECT_EQ(recorded, expected);
    EXPECT_EQ(ctx.stats.VideoWidth.load(), 1440u);
    EXPECT_EQ(ctx.stats.VideoHeight.load(), 1080u);
    EXPECT_NE(ctx.stats.AudioValid.load(), 0);

    const auto probed = Probe(dir / "rec.mpg");
    ASSERT_TRUE(probed.has_value());
    const ProbedStream* video = probed->Find("video");
    const ProbedStream* audio = probed->Find("audio");
    ASSERT_NE(video, nullptr);
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(video->codec_name, "mpeg2video");
    EXPECT_EQ(video->width, 1440);
    EXPECT_EQ(audio->codec_name, "mp2");
    const CommandResult r = RunCommand("psreport " + ShellQuote((dir / "rec.mpg").string()));
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(r.output.find("###"), std::string::npos) << r.output;
}

// At the stream's own rate the deck takes the stream's duration to play it, never much less.
TEST_F(RecordingTest, RealPaceTakesTheStreamsDuration) {
    const fs::path file = SamplePath("sample-ac3.ts");
    const Bytes bytes = ReadFile(file);
    const double seconds = static_cast<double>(bytes.size()) /
                           MeasurePlayRate(bytes.data(), bytes.size()).bytes_per_second;
    ASSERT_GT(seconds, 1.0);
    VirtualDeckConfig c = Deck("AV/C Tape", "JVC", "HM-DH5U");
    c.file = file.string();
    deck = AddVirtualDeck(fw, c);
    Open();
    SetMode(ctx.options, Mode::Ts188);
    ASSERT_TRUE(sequence.PrepareGraph());
    const auto start = Clock::now();
    ASSERT_EQ(sequence.Start((dir / "rec.ts").string(), true),
              RecordingSequence::StartResult::Started);
    ASSERT_TRUE(WaitForEnd());
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_TRUE(sequence.Stop());
    EXPECT_GE(took, seconds * 0.9);
    EXPECT_EQ(ReadFile(dir / "rec.ts"), bytes);
}

TEST_F(RecordingTest, SwitchedOffDeckDeliversNothingUntilSwitchedOn) {
    UseDeck(SamplePath("sample-ac3.ts"), 4000, 14, ED_POWER_OFF);
    SetMode(ctx.options, Mode::Ts188);
    ASSERT_TRUE(sequence.PrepareGraph());
    ASSERT_EQ(sequence.Start((dir / "off.ts").string(), true),
              RecordingSequence::StartResult::Started);
    ASSERT_TRUE(sequence.Stop());
    EXPECT_EQ(fs::file_size(dir / "off.ts"), 0u);
    EXPECT_EQ(deck->buffers_delivered(), 0u);

    EXPECT_TRUE(capture.DevicePowerOn());
    EXPECT_EQ(RecordWhole(Mode::Ts188, "on.ts"), ReadFile(SamplePath("sample-ac3.ts")));
}

TEST_F(RecordingTest, FileThatCannotBeCreatedIsReportedAndNothingRuns) {
    UseDeck(SamplePath("sample-ac3.ts"), 4000, 15);
    ASSERT_TRUE(sequence.PrepareGraph());
    const std::string bad = (dir / "missing" / "rec.ts").string();
    EXPECT_EQ(sequence.Start(bad, true), RecordingSequence::StartResult::FileNotCreated);
    EXPECT_EQ(sequence.Start(bad, false), RecordingSequence::StartResult::FileNotCreated);
    ASSERT_EQ(sink.messages.size(), 2u);
    EXPECT_EQ(sink.messages[0].caption, "ERROR");
    EXPECT_EQ(sink.messages[0].text.rfind("Cannot open output file\n" + bad + ": ", 0), 0u);
    EXPECT_EQ(sink.messages[1].caption, "エラー");
    EXPECT_EQ(sink.messages[1].text.rfind("ファイルをオープンできません\n", 0), 0u);
    EXPECT_EQ(fw.LatestGraph().state, FilterState::Stopped);
    EXPECT_FALSE(sequence.IsOpen());
}

TEST_F(RecordingTest, GraphThatDoesNotRunLeavesAnEmptyClosedFile) {
    UseDeck(SamplePath("sample-ac3.ts"), 4000, 16);
    ASSERT_TRUE(sequence.PrepareGraph());
    fw.Fail(GraphOp::Run, kE_FAIL, 1);
    EXPECT_EQ(sequence.Start((dir / "rec.ts").string(), true),
              RecordingSequence::StartResult::NotRunning);
    EXPECT_FALSE(sequence.IsOpen());
    EXPECT_EQ(fs::file_size(dir / "rec.ts"), 0u);
    EXPECT_THAT(Texts(), ::testing::ElementsAre("Error 80004005: Cannot start capture"));
}

TEST_F(RecordingTest, FileStaysOpenUntilTheGraphHasStopped) {
    UseDeck(SamplePath("sample-ac3.ts"), 4000, 17);
    SetMode(ctx.options, Mode::Ts188);
    ASSERT_TRUE(sequence.PrepareGraph());
    const std::string rec = (dir / "rec.ts").string();
    ASSERT_EQ(sequence.Start(rec, true), RecordingSequence::StartResult::Started);
    fw.Fail(GraphOp::Stop, kE_FAIL);
    EXPECT_FALSE(sequence.Stop());
    EXPECT_TRUE(sequence.IsOpen());
    sink.messages.clear();

    // A new recording is refused, and the user is told why, in the language asked for.
    EXPECT_EQ(sequence.Start((dir / "other.ts").string(), true),
              RecordingSequence::StartResult::Busy);
    EXPECT_FALSE(sequence.PrepareGraph(false));
    ASSERT_EQ(sink.messages.size(), 3u);
    EXPECT_EQ(sink.messages[0].caption, "ERROR");
    EXPECT_EQ(sink.messages[0].text, NotStoppedText(true) + "\n" + rec);
    EXPECT_EQ(sink.messages[1].text, "Error 80004005: Cannot stop capture");  // tried again
    EXPECT_EQ(sink.messages[2].caption, "エラー");
    EXPECT_EQ(sink.messages[2].text, NotStoppedText(false) + "\n" + rec);
    EXPECT_FALSE(fs::exists(dir / "other.ts"));

    // Once the deck stops, the next record press gets through.
    fw.ClearFailures();
    EXPECT_TRUE(sequence.PrepareGraph());
    EXPECT_FALSE(sequence.IsOpen());
    EXPECT_EQ(sequence.Start((dir / "other.ts").string(), true),
              RecordingSequence::StartResult::Started);
    EXPECT_TRUE(sequence.Stop());
}

// Choosing the deck again releases the graph that would not stop (its streaming thread ends
// with it), after which the file can be closed and a new recording made.
TEST_F(RecordingTest, ChoosingTheDeckAgainEndsARecordingThatWouldNotStop) {
    VirtualDeckConfig c = Deck("AV/C Tape", "JVC", "HM-DH5U");
    c.file = SamplePath("sample-ac3.ts").string();
    c.fast = true;
    c.chunk_bytes = 1000;
    AddVirtualDeck(fw, c);
    c.model = "HM-DH30000";
    AddVirtualDeck(fw, c);
    Open(0);
    SetMode(ctx.options, Mode::Ts188);
    ASSERT_TRUE(sequence.PrepareGraph());
    ASSERT_EQ(sequence.Start((dir / "rec.ts").string(), true),
              RecordingSequence::StartResult::Started);
    fw.Fail(GraphOp::Stop, kE_FAIL, 1);
    EXPECT_FALSE(sequence.Stop());
    ASSERT_TRUE(capture.SelectDevice(1));
    EXPECT_EQ(fw.GraphsAlive(), 1);
    EXPECT_FALSE(ctx.CallbackBusy.load());
    EXPECT_TRUE(sequence.PrepareGraph());
    EXPECT_FALSE(sequence.IsOpen());
    const Bytes got = ReadFile(dir / "rec.ts");
    const Bytes sample = ReadFile(SamplePath("sample-ac3.ts"));
    ASSERT_LE(got.size(), sample.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), sample.begin()));
    EXPECT_THAT(Texts(), ::testing::ElementsAre("Error 80004005: Cannot stop capture"));
}

// A start that fails and whose stop cannot be seen through either: one report, one wait, and the
// file kept open (a buffer may still come) until a later stop gets through.
TEST_F(RecordingTest, FailedStartThatCannotStopReportsOnce) {
    UseDeck(SamplePath("sample-ac3.ts"), 4000, 22);
    capture.SetWaitLimits(100ms, 100ms);
    ASSERT_TRUE(sequence.PrepareGraph());
    fw.Fail(GraphOp::GetState, kE_FAIL);
    EXPECT_EQ(sequence.Start((dir / "rec.ts").string(), true),
              RecordingSequence::StartResult::NotRunning);
    EXPECT_THAT(Texts(), ::testing::ElementsAre("Error 80004005: Cannot start capture"));
    EXPECT_TRUE(sequence.IsOpen());
    fw.ClearFailures();
    EXPECT_TRUE(sequence.Stop());
    EXPECT_FALSE(sequence.IsOpen());
}

// The streaming thread is in a callback that blocks (its file is a pipe nobody reads) when the
// controller is destroyed: the release must wait for that thread, since the data path and the
// stream context it writes through are freed right after.
TEST(CaptureTeardown, ControllerWaitsForABlockedCallbackBeforeItsDataPathGoes) {
    GraphHost fw;
    VirtualDeckConfig c = Deck("AV/C Tape", "JVC", "HM-DH5U");
    c.file = SamplePath("sample-sd-192.ts").string();
    c.fast = true;
    AddVirtualDeck(fw, c);
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    ::fcntl(pipe_fds[0], F_SETPIPE_SZ, 4096);
    ::fcntl(pipe_fds[0], F_SETFL, O_NONBLOCK);

    CollectingMessageSink sink;
    auto ctx = std::make_unique<StreamContext>();
    auto path = std::make_unique<CaptureDataPath>(*ctx);
    OutputFile out;
    out.Adopt(pipe_fds[1], "pipe");
    path->SetOutputFile(&out);
    auto capture = std::make_unique<CDSCapture>(fw, sink, *ctx, *path);
    capture->SetWaitLimits(50ms, 50ms);
    ASSERT_TRUE(capture->EnumerateDevices());
    ASSERT_TRUE(capture->SelectDevice(0));
    ASSERT_TRUE(capture->AddFilterByName(kSampleGrabberName));
    ASSERT_TRUE(capture->ConnectChain(true));
    ASSERT_TRUE(capture->SetupSampleGrabber());
    ASSERT_TRUE(capture->RunGraph());
    const auto deadline = Clock::now() + 20s;
    while (!ctx->CallbackBusy.load() && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(ctx->CallbackBusy.load());

    // The pipe is drained only once the controller is gone, or after a while when its
    // destruction (rightly) waits for the callback.
    std::atomic<bool> destroyed{false};
    std::atomic<bool> done{false};
    std::thread drain([&] {
        const auto until = Clock::now() + 1500ms;
        while (!destroyed && Clock::now() < until) std::this_thread::sleep_for(5ms);
        char buf[4096];
        while (!done) {
            if (::read(pipe_fds[0], buf, sizeof buf) <= 0) std::this_thread::sleep_for(1ms);
        }
    });
    capture.reset();
    destroyed = true;
    EXPECT_FALSE(ctx->CallbackBusy.load());
    // Freed as their owner would free them; a thread still running would now write into freed
    // memory (AddressSanitizer reports it).
    path.reset();
    ctx.reset();
    std::this_thread::sleep_for(50ms);
    done = true;
    drain.join();
    out.Close();
    ::close(pipe_fds[0]);
}

TEST_F(RecordingTest, DeckWhoseStreamVanishedReportsAnError) {
    WriteFile(dir / "gone.ts", ReadFile(SamplePath("sample-ac3.ts")));
    UseDeck(dir / "gone.ts", 4000, 20);
    fs::remove(dir / "gone.ts");
    ASSERT_TRUE(sequence.PrepareGraph());
    ASSERT_EQ(sequence.Start((dir / "rec.ts").string(), true),
              RecordingSequence::StartResult::Started);
    int32_t event = 0;
    const auto deadline = Clock::now() + 20s;
    while ((event = capture.PollCompletion()) == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(event, EC_ERRORABORT);
    EXPECT_TRUE(sequence.Stop());
    EXPECT_EQ(fs::file_size(dir / "rec.ts"), 0u);
}

TEST_F(RecordingTest, PrepareFailsWithoutAGrabber) {
    GraphHost bare(false);
    AddVirtualDeck(bare, Deck("AV/C Tape", "JVC", "HM-DH5U"));
    CDSCapture other(bare, sink, ctx, path);
    RecordingSequence seq(other, ctx, path, sink);
    ASSERT_TRUE(other.EnumerateDevices());
    ASSERT_TRUE(other.SelectDevice(0));
    EXPECT_FALSE(seq.PrepareGraph());
}

// ---- Writing to the deck ----

TEST_F(RecordingTest, PlayedFilesReachTheTapeOnlyWhileTheDeckRecords) {
    UseDeck(SamplePath("sample-ac3.ts"), 7000, 18);
    auto play = [&](const fs::path& file) {
        capture.ClearAddedFilters();
        ASSERT_TRUE(capture.AddFilterByName(kFileSourceName));
        ASSERT_TRUE(capture.SetSourceFile(file.string()));
        ASSERT_TRUE(capture.AddFilterByName(kSourcePacketConverterName));
        ASSERT_TRUE(capture.ConnectChain(false));
        EXPECT_EQ(fw.LatestGraph().connections, 2);
        ASSERT_TRUE(capture.RunGraph());
        ASSERT_TRUE(WaitForEnd());
        ASSERT_TRUE(capture.StopGraph());
        EXPECT_EQ(capture.PollCompletion(), 0);  // a stopped graph reports nothing
    };
    // Stopped, then in record-pause: the file plays out and is consumed, but nothing is recorded.
    play(SamplePath("sample-ac3.ts"));
    ASSERT_TRUE(capture.TransportRecordPause());
    play(SamplePath("sample-ac3.ts"));
    EXPECT_FALSE(fs::exists(deck->tape_path()));
    EXPECT_EQ(deck->bytes_delivered(), 2 * fs::file_size(SamplePath("sample-ac3.ts")));

    ASSERT_TRUE(capture.TransportRecord());
    play(SamplePath("sample-ac3.ts"));
    const Bytes first = ReadFile(deck->tape_path());
    const Bytes ac3 = ReadFile(SamplePath("sample-ac3.ts"));
    EXPECT_EQ(Trimmed(first), ac3);  // wrapped into 192-byte source packets
    play(SamplePath("sample-sd-192.ts"));
    Bytes both = first;
    Append(both, ReadFile(SamplePath("sample-sd-192.ts")));
    EXPECT_EQ(ReadFile(deck->tape_path()), both);  // appended; already source packets
    capture.ClearAddedFilters();
    EXPECT_TRUE(sink.messages.empty());
}

// ---- Start and stop under stress ----

// Many short recordings with tiny buffers, stopped at any moment: after every stop no callback
// is running, and the file holds exactly what the deck delivered, as a prefix of its stream.
TEST_F(RecordingTest, StopNeverReturnsWhileACallbackRuns) {
    const Bytes sample = ReadFile(SamplePath("sample-sd-192.ts"));
    const Bytes head(sample.begin(), sample.begin() + 192 * 400);
    WriteFile(dir / "head.ts", head);
    UseDeck(dir / "head.ts", 64, 19);

    for (int cycle = 0; cycle < 24; ++cycle) {
        const Mode mode = cycle % 3 == 2 ? Mode::Ps : Mode::Ts192;
        SetMode(ctx.options, mode);
        const fs::path out = dir / ("cycle" + std::to_string(cycle));
        ASSERT_TRUE(sequence.PrepareGraph());
        const uint64_t before = deck->bytes_delivered();
        ASSERT_EQ(sequence.Start(out.string(), true), RecordingSequence::StartResult::Started);
        // Stop at once, after a few buffers, or after the end.
        const uint64_t wanted = static_cast<uint64_t>(cycle % 4) * 3000;
        const auto deadline = Clock::now() + 20s;
        while (deck->bytes_delivered() - before < wanted && capture.PollCompletion() == 0 &&
               Clock::now() < deadline) {
            std::this_thread::yield();
        }
        ASSERT_TRUE(sequence.Stop());
        ASSERT_FALSE(ctx.CallbackBusy.load(std::memory_order_acquire));
        const uint64_t delivered = deck->bytes_delivered() - before;
        if (mode == Mode::Ts192) {
            const Bytes got = ReadFile(out);
            ASSERT_EQ(got.size(), delivered) << "cycle " << cycle;
            ASSERT_TRUE(std::equal(got.begin(), got.end(), head.begin())) << "cycle " << cycle;
        }
        EXPECT_EQ(ctx.stats.WriteFailures.load(), 0u);
    }
    EXPECT_TRUE(sink.messages.empty());
}

}  // namespace
}  // namespace tessaline::test
