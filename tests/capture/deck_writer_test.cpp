// Writing files to the virtual deck through DeckWriter: the list rules, the record-pause lead, the
// transport commands, what reaches the tape, repeat, STOP and the failures.
#include <chrono>
#include <filesystem>
#include <thread>

#include "capture/deck_writer.h"
#include "capture/pause.h"
#include "capture/write_list.h"
#include "tests/capture/capture_fixture.h"
#include "tests/support/test_support.h"

namespace tessaline::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using Clock = std::chrono::steady_clock;

TEST(WriteList, NewFilesFillTheFirstBlankRowAndDeleteMovesRowsUp) {
    WriteList list;
    EXPECT_EQ(list.RowCount(), 2);
    EXPECT_EQ(list.CountListed(), 0);
    EXPECT_EQ(list.Add("/a.ts"), 1);
    EXPECT_EQ(list.Add("/b.ts"), 2);
    EXPECT_EQ(list.Add("/c.ts"), 3);
    list.SetRow(1, "  ");  // blanks only: a blank row, even above other files
    EXPECT_EQ(list.CountListed(), 2);
    EXPECT_EQ(list.Add("/d.ts"), 1);
    EXPECT_EQ(list.RowCount(), 4);

    list.SetCurrent(2);
    EXPECT_EQ(list.DeleteCurrent(), "/c.ts");  // the row below moved up into the current row
    EXPECT_EQ(list.RowCount(), 3);
    EXPECT_EQ(list.Row(1), "/d.ts");
    list.SetCurrent(2);
    EXPECT_EQ(list.DeleteCurrent(), "/d.ts");  // the last row goes; the current row follows
    EXPECT_EQ(list.RowCount(), 2);
    EXPECT_EQ(list.Current(), 1);
    EXPECT_EQ(list.DeleteCurrent(), "");  // the only file: two rows stay, row 1 empty
    EXPECT_EQ(list.RowCount(), 2);
    EXPECT_EQ(list.Row(1), "");

    list.Add("/x.ts");
    list.Add("/y.ts");
    list.SetCurrent(2);
    list.Clear();
    EXPECT_EQ(list.RowCount(), 2);
    EXPECT_EQ(list.Current(), 1);
    EXPECT_EQ(list.CountListed(), 0);
}

TEST(DeckWriter, RecordPauseLeadIsAnIntegerOfAtLeastOneSecond) {
    EXPECT_EQ(RecordPauseLeadMs("2500"), 2500);
    EXPECT_EQ(RecordPauseLeadMs("1000"), 1000);
    for (const char* text : {"500", "abc", "", "-3000", "12abc", "99999999999999"}) {
        EXPECT_EQ(RecordPauseLeadMs(text), 1000) << text;
    }
}

class RecordedSleeps final : public Sleeper {
  public:
    void SleepMs(int ms) override {
        sleeps.push_back(ms);
        if (during) during();
    }
    std::vector<int> sleeps;
    std::function<void()> during;
};

class DeckWriterTest : public CaptureTest {
  protected:
    DeckWriterTest() {
        previous_sleeper = SetPauseSleeper(&sleeper);
        // Three short files, two of 188-byte packets, one already of source packets.
        const Bytes sd = ReadFile(SamplePath("sample-sd.ts"));
        const Bytes hd = ReadFile(SamplePath("sample-hd-192.ts"));
        files = {dir / "one.ts", dir / "two.ts", dir / "three.ts"};
        WriteFile(files[0], Bytes(sd.begin(), sd.begin() + 188 * 300));
        WriteFile(files[1], Bytes(hd.begin(), hd.begin() + 192 * 200));
        WriteFile(files[2], Bytes(sd.begin() + 188 * 300, sd.begin() + 188 * 500));

        VirtualDeckConfig c = Deck("AV/C Tape", "JVC", "HM-DH5U");
        c.file = SamplePath("sample-sd.ts").string();
        c.tape_file = (dir / "deck.tape").string();
        c.fast = true;
        c.chunk_bytes = 5000;
        deck = AddVirtualDeck(fw, c);
        Open();

        hooks.stop_action = [this] {
            ++stop_actions;
            capture.StopGraph();
        };
        hooks.show_failure = [this](const std::string& text) { failures.push_back(text); };
        hooks.update_control_states = [this] { ++control_updates; };
    }
    ~DeckWriterTest() override { SetPauseSleeper(previous_sleeper); }

    std::vector<DeckCommand> Transport() const {
        std::vector<DeckCommand> out;
        for (const DeckCommand& c : deck->commands()) {
            if (c.kind == DeckCommand::Kind::Transport) out.push_back(c);
        }
        return out;
    }

    // Ticks until the writer leaves the Playing state, boundedly.
    DeckWriter::TickResult TickUntilChange(DeckWriter& writer, const WriteOptions& options) {
        const auto deadline = Clock::now() + 60s;
        for (;;) {
            const DeckWriter::TickResult r = writer.OnWriteTick(options);
            if (r != DeckWriter::TickResult::Playing || Clock::now() > deadline) return r;
            std::this_thread::sleep_for(1ms);
        }
    }

    // What the tape holds for a file: its packets as 192-byte source packets, header skipped.
    static Bytes Payloads(const Bytes& tape) {
        Bytes out;
        for (size_t pos = 0; pos + 192 <= tape.size(); pos += 192) {
            out.insert(out.end(), tape.begin() + static_cast<long>(pos + 4),
                       tape.begin() + static_cast<long>(pos + 192));
        }
        return out;
    }
    static Bytes As188(const Bytes& file) {
        if (file.size() % 192 == 0 && file.size() > 4 && file[4] == 0x47) return Payloads(file);
        return file;
    }

    TempDir dir;
    RecordedSleeps sleeper;
    Sleeper* previous_sleeper = nullptr;
    std::vector<fs::path> files;
    std::shared_ptr<VirtualDeck> deck;
    WriteList list;
    DeckWriterHooks hooks;
    int stop_actions = 0;
    int control_updates = 0;
    std::vector<std::string> failures;
};

TEST_F(DeckWriterTest, EmptyListDoesNothing) {
    DeckWriter writer(capture, list, hooks);
    list.SetRow(1, "   ");
    EXPECT_EQ(writer.Start({true, false, "2000"}), DeckWriter::StartResult::NothingListed);
    EXPECT_TRUE(deck->commands().empty());
    EXPECT_TRUE(sleeper.sleeps.empty());
    EXPECT_FALSE(fw.LatestGraph().filters.size() > 1);
    EXPECT_FALSE(writer.writing());
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(DeckWriterTest, ThreeFilesGoOnTapeInOrderBetweenOneRecordAndOneStop) {
    for (const fs::path& f : files) list.Add(f.string());
    DeckWriter writer(capture, list, hooks);
    const WriteOptions options{true, false, "2500"};
    ASSERT_EQ(writer.Start(options), DeckWriter::StartResult::Started);
    EXPECT_TRUE(writer.writing());
    EXPECT_THAT(sleeper.sleeps, ElementsAre(2500, 1000));
    EXPECT_THAT(Transport(),
                ElementsAre(DeckCommand{DeckCommand::Kind::Transport, ED_MODE_RECORD_FREEZE},
                            DeckCommand{DeckCommand::Kind::Transport, ED_MODE_RECORD}));
    EXPECT_EQ(TickUntilChange(writer, options), DeckWriter::TickResult::NextFile);
    EXPECT_EQ(list.Current(), 2);
    EXPECT_EQ(TickUntilChange(writer, options), DeckWriter::TickResult::NextFile);
    EXPECT_EQ(TickUntilChange(writer, options), DeckWriter::TickResult::Finished);
    EXPECT_FALSE(writer.writing());
    EXPECT_EQ(capture.AddedCount(), 0u);
    EXPECT_EQ(Transport().size(), 3u);
    EXPECT_EQ(Transport().back().value, ED_MODE_STOP);

    Bytes expected;
    for (const fs::path& f : files) Append(expected, As188(ReadFile(f)));
    const Bytes tape = ReadFile(deck->tape_path());
    EXPECT_EQ(tape.size() % 192, 0u);
    EXPECT_EQ(Payloads(tape), expected);
    EXPECT_TRUE(sink.messages.empty());
    EXPECT_EQ(stop_actions, 0);
}

TEST_F(DeckWriterTest, WithoutRecStartNoTransportCommandAndNothingOnTape) {
    list.Add(files[0].string());
    list.Add(files[2].string());
    DeckWriter writer(capture, list, hooks);
    const WriteOptions options{false, false, "abc"};
    ASSERT_EQ(writer.Start(options), DeckWriter::StartResult::Started);
    EXPECT_TRUE(sleeper.sleeps.empty());
    EXPECT_EQ(TickUntilChange(writer, options), DeckWriter::TickResult::NextFile);
    EXPECT_EQ(TickUntilChange(writer, options), DeckWriter::TickResult::Finished);
    EXPECT_TRUE(Transport().empty());
    EXPECT_FALSE(fs::exists(deck->tape_path()));
    // Both files were consumed all the same.
    EXPECT_EQ(deck->bytes_delivered(), fs::file_size(files[0]) + fs::file_size(files[2]));
}

TEST_F(DeckWriterTest, LeadTextThatIsNoNumberWaitsOneSecond) {
    list.Add(files[0].string());
    DeckWriter writer(capture, list, hooks);
    ASSERT_EQ(writer.Start({true, false, "abc"}), DeckWriter::StartResult::Started);
    EXPECT_THAT(sleeper.sleeps, ElementsAre(1000, 1000));
    writer.Stop({true, false, "abc"});
}

TEST_F(DeckWriterTest, RepeatLoopsUntilStop) {
    list.Add(files[0].string());
    list.Add(files[2].string());
    DeckWriter writer(capture, list, hooks);
    const WriteOptions options{true, true, "1000"};
    ASSERT_EQ(writer.Start(options), DeckWriter::StartResult::Started);
    std::vector<int> rows;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(TickUntilChange(writer, options), DeckWriter::TickResult::NextFile);
        rows.push_back(list.Current());
    }
    EXPECT_THAT(rows, ElementsAre(2, 1, 2, 1, 2));
    EXPECT_TRUE(writer.writing());
    writer.Stop(options);
    EXPECT_FALSE(writer.writing());
    EXPECT_EQ(writer.OnWriteTick(options), DeckWriter::TickResult::Idle);
    EXPECT_EQ(Transport().size(), 3u);  // record-pause, record, stop: no command between files
    EXPECT_EQ(Transport().back().value, ED_MODE_STOP);
    EXPECT_EQ(capture.AddedCount(), 0u);
}

TEST_F(DeckWriterTest, StartFailuresStopAndSayWhich) {
    list.Add(files[0].string());
    DeckWriter writer(capture, list, hooks);
    const WriteOptions options{true, false, "1000"};

    // Every failure exit sends the transport stop: a deck left in record-pause or record would
    // record over the tape with nothing to stop it.
    fw.Fail(GraphOp::PutMode, kE_FAIL, 1);
    EXPECT_EQ(writer.Start(options), DeckWriter::StartResult::Failed);
    EXPECT_EQ(Transport().back().value, ED_MODE_STOP);
    // The record command fails while the lead runs.
    sleeper.during = [this] { fw.Fail(GraphOp::PutMode, kE_FAIL, 1); };
    EXPECT_EQ(writer.Start(options), DeckWriter::StartResult::Failed);
    EXPECT_EQ(deck->transport_mode(), ED_MODE_STOP);
    sleeper.during = nullptr;
    fw.Fail(GraphOp::Run, kE_FAIL, 1);
    EXPECT_EQ(writer.Start(options), DeckWriter::StartResult::Failed);
    EXPECT_EQ(deck->transport_mode(), ED_MODE_STOP);
    EXPECT_EQ(Transport().back().value, ED_MODE_STOP);
    EXPECT_THAT(failures, ElementsAre("Record Pause Error !", "Record Start Error !",
                                      "Transport Start Error !"));
    EXPECT_EQ(stop_actions, 3);
    EXPECT_FALSE(writer.writing());
    EXPECT_EQ(control_updates, 0);  // the writing state never changed

    // Without a usable chain nothing is sent to the deck.
    deck->ClearCommands();
    list.SetRow(1, (dir / "missing.ts").string());
    EXPECT_EQ(writer.Start(options), DeckWriter::StartResult::ChainFailed);
    EXPECT_TRUE(Transport().empty());
}

// A stream that breaks off (here the deck cannot write its tape) ends the writing as a failure,
// tape stopped, instead of waiting for ever for a completion that never comes.
TEST_F(DeckWriterTest, StreamErrorEndsTheWritingAsAFailure) {
    fs::create_directory(dir / "deck.tape");  // the tape cannot be opened for writing
    list.Add(files[0].string());
    list.Add(files[2].string());
    std::string failed_path;
    int32_t failed_event = 0;
    hooks.stream_failed = [&](const std::string& path, int32_t event) {
        failed_path = path;
        failed_event = event;
    };
    DeckWriter writer(capture, list, hooks);
    const WriteOptions options{true, false, "1000"};
    ASSERT_EQ(writer.Start(options), DeckWriter::StartResult::Started);
    EXPECT_EQ(TickUntilChange(writer, options), DeckWriter::TickResult::StreamFailed);
    EXPECT_FALSE(writer.writing());
    EXPECT_EQ(failed_event, EC_ERRORABORT);
    EXPECT_EQ(failed_path, files[0].string());
    EXPECT_EQ(list.Current(), 1);  // the second file was never started
    EXPECT_EQ(Transport().back().value, ED_MODE_STOP);
    EXPECT_EQ(control_updates, 2);
    EXPECT_EQ(capture.AddedCount(), 0u);
    EXPECT_EQ(writer.OnWriteTick(options), DeckWriter::TickResult::Idle);
}

// A next file that cannot be played ends the writing as the end of the list does, instead of
// leaving the deck recording blank tape with the graph stopped.
TEST_F(DeckWriterTest, NextFileThatCannotPlayEndsTheWriting) {
    list.Add(files[0].string());
    list.Add((dir / "gone.ts").string());
    list.Add(files[2].string());
    DeckWriter writer(capture, list, hooks);
    const WriteOptions options{true, false, "1000"};
    ASSERT_EQ(writer.Start(options), DeckWriter::StartResult::Started);
    EXPECT_EQ(TickUntilChange(writer, options), DeckWriter::TickResult::NextFileFailed);
    EXPECT_FALSE(writer.writing());
    EXPECT_EQ(control_updates, 2);  // on at the start, off at the end
    EXPECT_EQ(Transport().back().value, ED_MODE_STOP);
    EXPECT_EQ(capture.AddedCount(), 0u);
    EXPECT_EQ(fw.LatestGraph().state, FilterState::Stopped);
    ASSERT_FALSE(sink.messages.empty());  // the controller said why
    EXPECT_NE(sink.messages.back().text.find("Cannot set filename"), std::string::npos);
    EXPECT_EQ(Payloads(ReadFile(deck->tape_path())), As188(ReadFile(files[0])));
}

// A deck that stopped recording while a file was sent (the tape ran out, someone pressed stop on
// it) has not taken the rest: the writing ends as a failure naming the file instead of sending
// the next files to a stopped deck and calling it written.
TEST_F(DeckWriterTest, ADeckThatStoppedRecordingEndsTheWritingAsAFailure) {
    for (const fs::path& f : files) list.Add(f.string());
    hooks.read_status = [this](DeckStatus& status) { return deck->Status(status); };
    std::vector<DeckStoppedRecording> stops;
    hooks.deck_stopped = [&](const DeckStoppedRecording& stop) { stops.push_back(stop); };
    DeckWriter writer(capture, list, hooks);
    const WriteOptions options{true, false, "1000"};
    ASSERT_EQ(writer.Start(options), DeckWriter::StartResult::Started);
    // The first file goes on tape whole; the deck is stopped while the second is sent.
    EXPECT_EQ(TickUntilChange(writer, options), DeckWriter::TickResult::NextFile);
    ASSERT_TRUE(capture.TransportStop());
    EXPECT_EQ(TickUntilChange(writer, options), DeckWriter::TickResult::DeckStopped);
    EXPECT_FALSE(writer.writing());
    EXPECT_EQ(list.Current(), 2);  // the third file was never started
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].path, files[1].string());
    EXPECT_EQ(stops[0].row, 2);
    EXPECT_EQ(stops[0].transport, DeckTransport::Stop);
    EXPECT_EQ(capture.AddedCount(), 0u);
    EXPECT_EQ(fw.LatestGraph().state, FilterState::Stopped);
    EXPECT_EQ(writer.OnWriteTick(options), DeckWriter::TickResult::Idle);

    // Without Rec. Start nothing records, so a stopped deck is no failure.
    stops.clear();
    list.Clear();
    list.Add(files[0].string());
    DeckWriter player(capture, list, hooks);
    const WriteOptions play{false, false, "1000"};
    ASSERT_EQ(player.Start(play), DeckWriter::StartResult::Started);
    EXPECT_EQ(TickUntilChange(player, play), DeckWriter::TickResult::Finished);
    EXPECT_TRUE(stops.empty());
}

TEST(DeckStoppedText, SaysTheFileTheStateAndHowMuchCanBeOnTape) {
    DeckStoppedRecording stop;
    stop.path = "b.ts";
    stop.row = 2;
    stop.transport = DeckTransport::Stop;
    stop.file_start = 7.0;
    stop.position = 20.0;
    EXPECT_EQ(DeckStoppedText(stop),
              "b.ts (row 2): the deck was no longer recording (it was in stop at 00:00:20), so "
              "at most the first 13 s of the file are on tape");
    stop.file_start.reset();
    EXPECT_EQ(DeckStoppedText(stop),
              "b.ts (row 2): the deck was no longer recording (it was in stop at 00:00:20), so "
              "the rest of the file from some point on is not on tape");
}

}  // namespace
}  // namespace tessaline::test
