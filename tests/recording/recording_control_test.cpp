// Recording control and the monitor tick on the virtual deck, in simulated time: names, messages,
// the deck's power, reservations, the stop at the end, the delay rename, write failures.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "capture/recording_sequence.h"
#include "recording/file_names.h"
#include "recording/monitor_tick.h"
#include "recording/recording_control.h"
#include "stream/output_file.h"
#include "stream/sha256.h"
#include "tests/capture/capture_fixture.h"
#include "tests/support/json_value.h"
#include "tests/support/test_support.h"

namespace tessaline::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::ElementsAre;

const DateTime kMarch9 = ToDateTime({2024, 3, 9, 21, 5, 7, 0});
Instant March9() {
    return ToInstant(kMarch9);
}

class FakeHost final : public RecordingHost {
  public:
    RecordingOptions ReadOptions() override { return options; }
    void ApplyCorrections(const RecordingOptions& corrected) override {
        options = corrected;
        ++corrections;
    }
    void SaveSettings() override { ++saves; }
    void ShowError(const BilingualText& text) override { errors.push_back(text.english); }
    void ShowError(const std::string& text) override { errors.push_back(text); }
    bool AskYesNo(const BilingualText& text) override {
        questions.push_back(text.english);
        return answer_yes;
    }
    void FocusDuration() override { ++focus; }
    void ShowDataInfoPage() override { ++data_page; }
    void UpdateControlStates() override { ++updates; }
    void SetStatusPanel(int panel, const std::string& text) override { panels[panel] = text; }
    void ShowDataInfo(const DataInfoUpdate& update) override { last_info = update; }
    void RepaintReservations() override { ++repaints; }

    RecordingOptions options;
    bool answer_yes = false;
    int corrections = 0, saves = 0, focus = 0, data_page = 0, updates = 0, repaints = 0;
    std::vector<std::string> errors, questions;
    std::string panels[3];
    DataInfoUpdate last_info;
};

class FakeReservations final : public ReservationStatus {
  public:
    bool WaitingReservationCovers(Instant t) override {
        asked.push_back(t);
        return follow_on;
    }
    void MarkRunning(Status to) override { marks.push_back(to); }
    bool follow_on = false;
    std::vector<Instant> asked;
    std::vector<Status> marks;
};

class FakePower final : public PowerActions {
  public:
    void SystemShutdown() override { calls.push_back(1); }
    void SystemStandby() override { calls.push_back(2); }
    void SystemHibernate() override { calls.push_back(3); }
    void SystemPowerOff() override { calls.push_back(4); }
    std::vector<int> calls;
};

class RecordingControlTest : public CaptureTest {
  protected:
    RecordingControlTest()
        : clock(kMarch9),
          sequence(capture, ctx, path, sink),
          control(sequence, capture, ctx, flags, host, clock),
          tick(control) {
        control.SetReservations(&reservations);
        control.SetPowerActions(&power);
        flags.UseEnglish = true;
        host.options.SaveDir = (dir.path() / "").string();
        host.options.NameFormat = "\"D\"YYMMDDHHNNSS";
        host.options.DateFormat = "YYYYMMDD";
        host.options.PsExt = host.options.Ts188Ext = host.options.Ts192Ext = ".mpg";
        host.options.DurationText = "30";
    }

    void UseDeck(const std::string& sample, int32_t power = ED_POWER_ON) {
        VirtualDeckConfig c = Deck("AV/C Tape", "JVC", "HM-DH5U");
        c.file = SamplePath(sample).string();
        c.tape_file = (dir / "deck.tape").string();
        c.fast = true;
        c.power = power;
        deck = AddVirtualDeck(fw, c);
        Open();
        flags.DeviceReady = flags.GrabberReady = true;
    }

    // A deck whose stream holds nothing at all.
    void UseSilentDeck() {
        VirtualDeckConfig c = Deck("AV/C Tape", "JVC", "HM-DH5U");
        WriteFile(source / "silent.ts", Bytes{});
        c.file = (source / "silent.ts").string();
        c.fast = true;
        deck = AddVirtualDeck(fw, c);
        Open();
        flags.DeviceReady = flags.GrabberReady = true;
    }

    // Waits, boundedly, until the deck has played its whole file (real time: the deck's thread).
    void WaitForDeckEnd() {
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (capture.PollCompletion() != EC_COMPLETE) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline);
            std::this_thread::sleep_for(1ms);
        }
    }

    // Waits, boundedly, until the running recording's file holds something (cheaper than the
    // whole stream where only the name matters).
    // Until the file holds more than `bytes`. A program stream's first bytes are its headers,
    // and a file of headers alone is not kept: wait past them for its audio or video.
    void WaitForData(uintmax_t bytes = 0) {
        const std::string path = control.State().OutputBase + control.State().OutputExt;
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        std::error_code ec;
        while (fs::file_size(path, ec) <= bytes || ec) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline);
            std::this_thread::sleep_for(1ms);
        }
    }

    std::vector<std::string> FilesInDir() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(dir.path())) {
            if (e.path().filename() != "deck.tape") out.push_back(e.path().filename().string());
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    TempDir dir;
    TempDir source;  // decks' files, apart from the recordings
    ManualClock clock;
    RunState flags;
    FakeHost host;
    FakeReservations reservations;
    FakePower power;
    RecordingSequence sequence;
    RecordingControl control;
    MonitorTick tick;
    std::shared_ptr<VirtualDeck> deck;
};

TEST_F(RecordingControlTest, TypedNameWithDateAndDottedExtension) {
    UseDeck("sample-sd-192.ts");
    host.options.UseFileName = true;
    host.options.FileName = "show.ts";
    host.options.AddDate = true;
    host.options.Pes = true;
    host.options.Trim = true;
    host.options.PsExt = "mpg";
    ASSERT_TRUE(control.Start());
    EXPECT_TRUE(flags.IsRecording);
    EXPECT_EQ(control.State().OutputBase, host.options.SaveDir + "show20240309");
    EXPECT_EQ(control.State().OutputExt, ".mpg");
    // The setting itself took the dotted form before the settings were saved.
    EXPECT_EQ(host.corrections, 1);
    EXPECT_EQ(host.options.PsExt, ".mpg");
    EXPECT_EQ(host.saves, 1);
    EXPECT_EQ(host.data_page, 1);
    EXPECT_EQ(host.panels[0], "Recording");
    EXPECT_EQ(control.State().RecEnd - control.State().RecStart, 30min);
    WaitForData(64 * 1024);
    control.Stop();
    EXPECT_THAT(FilesInDir(), ElementsAre("show20240309.mpg"));
}

TEST_F(RecordingControlTest, UnusablePatternsFallBack) {
    UseDeck("sample-sd-192.ts");
    host.options.NameFormat = "\"open";
    host.options.AddDate = true;
    host.options.DateFormat = "";
    ASSERT_TRUE(control.Start());
    EXPECT_EQ(host.options.NameFormat, "\"D\"YYMMDDHHNNSS");
    EXPECT_EQ(host.options.DateFormat, "YYYYMMDD");
    EXPECT_EQ(control.State().OutputBase, host.options.SaveDir + "D240309210507");
    control.Stop();
}

TEST_F(RecordingControlTest, EmptyDurationCreatesNothing) {
    UseDeck("sample-sd-192.ts", ED_POWER_OFF);
    host.options.DurationText = "";
    host.options.PowerOn = true;
    EXPECT_FALSE(control.Start());
    EXPECT_THAT(host.errors, ElementsAre("Please set rocerd time"));
    EXPECT_EQ(host.focus, 1);
    EXPECT_FALSE(flags.IsRecording);
    EXPECT_TRUE(FilesInDir().empty());
    EXPECT_EQ(deck->power(), ED_POWER_OFF);
    EXPECT_NE(fw.LatestGraph().state, FilterState::Running);
}

TEST_F(RecordingControlTest, OverwriteAnsweredNoLeavesFileAndDeckAlone) {
    UseDeck("sample-sd-192.ts", ED_POWER_OFF);
    host.options.UseFileName = true;
    host.options.FileName = "show";
    host.options.CheckFileExists = true;
    host.options.PowerOn = true;
    WriteFile(dir / "show.mpg", Bytes{1, 2, 3});
    EXPECT_FALSE(control.Start());
    EXPECT_THAT(host.questions, ElementsAre("File Already Exists. Over Write ?"));
    EXPECT_EQ(ReadFile(dir / "show.mpg"), (Bytes{1, 2, 3}));
    EXPECT_EQ(deck->power(), ED_POWER_OFF);
    EXPECT_FALSE(flags.IsRecording);
    EXPECT_NE(fw.LatestGraph().state, FilterState::Running);

    host.answer_yes = true;  // Yes: the deck is switched on and the file overwritten
    ASSERT_TRUE(control.Start());
    EXPECT_EQ(deck->power(), ED_POWER_ON);
    WaitForDeckEnd();
    control.Stop();
    EXPECT_EQ(ReadFile(dir / "show.mpg"), ReadFile(SamplePath("sample-sd-192.ts")));
}

TEST_F(RecordingControlTest, ReservationNamesCountAndNeverOverwrite) {
    UseDeck("sample-sd-192.ts");
    host.options.ReservePowerOff = true;  // the deck stays on from one to the next
    for (int i = 0; i < 3; ++i) {
        control.ArmReservation(clock.NowInstant(), clock.NowInstant() + 1min, "news.ts", 0);
        ASSERT_TRUE(control.Start());
        WaitForData();
        control.Stop();
    }
    EXPECT_THAT(FilesInDir(), ElementsAre("news0001.mpg", "news0002.mpg", "news0003.mpg"));
    // With every four-digit name taken, counting goes on instead of overwriting 9999.
    for (int n = 4; n <= 9999; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "news%04d.mpg", n);
        std::ofstream(dir / name).put('x');
    }
    EXPECT_EQ(FirstFreeNumberedName(host.options.SaveDir + "news", ".mpg"),
              host.options.SaveDir + "news10000");
    EXPECT_EQ(ReadFile(dir / "news9999.mpg"), (Bytes{'x'}));
}

// Whatever a name holds, it becomes one file name inside the save folder: a "/" in a reservation's
// name or a typed one, a step out of the folder, the date separators of the patterns, a name
// longer than a file name may be. What the user stored is not changed.
TEST_F(RecordingControlTest, EveryNameBecomesOneFileInsideTheSaveFolder) {
    UseDeck("sample-sd-192.ts");
    host.options.ReservePowerOff = true;
    auto record = [&] {
        ASSERT_TRUE(control.Start()) << (host.errors.empty() ? "" : host.errors.back());
        WaitForData();
        control.Stop();
    };
    control.ArmReservation(clock.NowInstant(), clock.NowInstant() + 1min, "AC/DC live", 0);
    record();
    host.options.UseFileName = true;
    host.options.FileName = "../escaped";
    record();
    host.options.FileName = "show";
    host.options.AddDate = true;
    host.options.DateFormat = "YYYY/MM/DD";
    record();
    host.options.UseFileName = false;
    host.options.NameFormat = "YYYY/MM/DD HH:NN:SS";
    record();
    EXPECT_EQ(host.options.DateFormat, "YYYY/MM/DD");  // the settings keep their separators
    EXPECT_EQ(host.options.NameFormat, "YYYY/MM/DD HH:NN:SS");
    EXPECT_EQ(host.corrections, 0);

    std::string long_name;
    for (int i = 0; i < 90; ++i) long_name += "\xE3\x81\x82";  // 270 bytes of Japanese text
    control.ArmReservation(clock.NowInstant(), clock.NowInstant() + 1min, long_name, 0);
    record();
    // 82 whole characters, the counter and the extension: 254 bytes.
    std::string cut;
    for (int i = 0; i < 82; ++i) cut += "\xE3\x81\x82";
    EXPECT_THAT(FilesInDir(),
                ElementsAre("2024-03-09 21-05-07.mpg", "AC_DC live0001.mpg", "___escaped.mpg",
                            "show2024-03-09.mpg", cut + "0001.mpg"));
    EXPECT_EQ(control.State().ReserveFileName, "");
    EXPECT_TRUE(host.errors.empty()) << host.errors.front();
    EXPECT_FALSE(fs::exists(dir.path().parent_path() / "escaped.mpg"));
}

TEST_F(RecordingControlTest, ReservationWithoutNameUsesTheNamePattern) {
    UseDeck("sample-sd-192.ts");
    control.ArmReservation(March9() - 1min, March9() + 1min, "", 0);
    host.options.DurationText = "";  // a reservation ignores the duration box
    ASSERT_TRUE(control.Start());
    EXPECT_EQ(control.State().OutputBase, host.options.SaveDir + "D240309210507");
    EXPECT_EQ(control.State().RecStart, March9() - 1min);  // the schedule's times are kept
    EXPECT_EQ(control.State().RecEnd, March9() + 1min);
    control.Stop();
}

// Names from the pattern are the program's own: two starts within a second, or a file left there
// before, give a counter instead of a replaced file, for every kind of start that uses them.
TEST_F(RecordingControlTest, PatternNamesTakeACounterInsteadOfReplacing) {
    UseDeck("sample-sd-192.ts");
    WriteFile(dir / "D240309210507.mpg", Bytes{7});
    auto record = [&] {
        ASSERT_TRUE(control.Start());
        WaitForData();
        control.Stop();
    };
    control.State().StartAtLaunch = true;
    record();
    record();                         // by hand, in the same second
    host.options.UseFileName = true;  // with an empty name box the pattern is used as well
    record();
    control.ArmReservation(March9(), March9() + 1min, "", 0);
    record();
    EXPECT_THAT(FilesInDir(),
                ElementsAre("D240309210507 (2).mpg", "D240309210507 (3).mpg",
                            "D240309210507 (4).mpg", "D240309210507 (5).mpg", "D240309210507.mpg"));
    EXPECT_EQ(ReadFile(dir / "D240309210507.mpg"), (Bytes{7}));
    EXPECT_GT(fs::file_size(dir / "D240309210507 (5).mpg"), 0u);
    EXPECT_TRUE(host.questions.empty());
}

// A recording that received nothing (a start closed at once, a deck that sends nothing) removes
// its empty file, but only a file it made: a typed name it would have overwritten stays as it was.
TEST_F(RecordingControlTest, RecordingThatReceivedNothingLeavesNoFileOfItsOwn) {
    UseSilentDeck();
    host.options.AddDelay = true;
    ASSERT_TRUE(control.Start());
    WaitForDeckEnd();
    control.State().DelaySuffix = " Delay 1.00ms";
    control.Stop();
    EXPECT_TRUE(FilesInDir().empty());
    EXPECT_TRUE(host.errors.empty());

    WriteFile(dir / "show.mpg", Bytes{1, 2, 3});
    host.options.UseFileName = true;
    host.options.FileName = "show";
    ASSERT_TRUE(control.Start());
    WaitForDeckEnd();
    control.Stop();
    EXPECT_THAT(FilesInDir(), ElementsAre("show.mpg"));
    EXPECT_EQ(ReadFile(dir / "show.mpg"), (Bytes{1, 2, 3}));  // replaced only by data
}

TEST_F(RecordingControlTest, TimedRecordingStopsItselfWithTheWholeStream) {
    UseDeck("sample-sd-192.ts");
    host.options.DurationText = "1";
    ASSERT_TRUE(control.Start());
    WaitForDeckEnd();
    clock.Advance(59s);
    tick.Run();
    EXPECT_EQ(host.panels[1], "00:00:01.000");  // counts down to the end
    EXPECT_EQ(host.panels[2], " " + host.options.SaveDir + "D240309210507.mpg");
    clock.Advance(1s);
    tick.Run();
    EXPECT_TRUE(flags.IsRecording);  // the end itself has not passed yet
    clock.Advance(1ms);
    tick.Run();
    EXPECT_FALSE(flags.IsRecording);
    EXPECT_EQ(host.panels[0], "");
    EXPECT_EQ(ReadFile(dir / "D240309210507.mpg"), ReadFile(SamplePath("sample-sd-192.ts")));
    EXPECT_TRUE(host.errors.empty());
    EXPECT_TRUE(reservations.marks.empty());
}

TEST_F(RecordingControlTest, NoTimeLimitCountsUpAndExtendingGivesNoEnd) {
    UseDeck("sample-sd-192.ts");
    host.options.DurationText = "0";
    ASSERT_TRUE(control.Start());
    EXPECT_TRUE(control.State().NoTimeLimit);
    control.Extend();
    clock.Advance(2h);
    tick.Run();
    EXPECT_TRUE(flags.IsRecording);
    // RecEnd is 10 minutes after the start now; the span is shown from it, not an end.
    EXPECT_EQ(host.panels[1], "01:50:00.000");
    control.Stop();
    EXPECT_FALSE(flags.IsRecording);
}

TEST_F(RecordingControlTest, LaunchStartHasNoLimitAndSwitchesTheDeckOnWithP) {
    UseDeck("sample-sd-192.ts", ED_POWER_OFF);
    control.State().StartAtLaunch = true;
    control.State().PowerAtLaunch = true;
    host.options.DurationText = "";
    ASSERT_TRUE(control.Start());
    EXPECT_EQ(deck->power(), ED_POWER_ON);
    EXPECT_TRUE(control.State().NoTimeLimit);
    EXPECT_FALSE(control.State().StartAtLaunch);
    EXPECT_EQ(control.State().RecStart, control.State().RecEnd);
    clock.Advance(3s);
    tick.Run();
    EXPECT_EQ(host.panels[1], "00:00:03.000");  // counts up from the start
    control.Stop();
}

TEST_F(RecordingControlTest, DelaySuffixRenamesAtTheStopButNeverReplaces) {
    UseDeck("sample-sd-192.ts");
    host.options.AddDelay = true;
    ASSERT_TRUE(control.Start());
    WaitForDeckEnd();
    ctx.stats.AudioValid = -1;
    ctx.stats.FirstVideoPts = 900200 + 3003;
    ctx.stats.FirstAudioPts = 900200;
    tick.Run();
    EXPECT_EQ(control.State().DelaySuffix, " Delay -33.37ms");
    tick.Run();  // the status bar shows the name with the suffix from the next tick on
    EXPECT_EQ(host.panels[2], " " + host.options.SaveDir + "D240309210507 Delay -33.37ms.mpg");
    control.Stop();
    EXPECT_THAT(FilesInDir(), ElementsAre("D240309210507 Delay -33.37ms.mpg"));
    EXPECT_EQ(ReadFile(dir / "D240309210507 Delay -33.37ms.mpg"),
              ReadFile(SamplePath("sample-sd-192.ts")));
    // Closing figures written, stamps reset.
    EXPECT_TRUE(host.last_info.pnlEAPTS.has_value());
    EXPECT_EQ(ctx.stats.FirstAudioPts.load(), 0u);

    // The same name again: the target exists, so the new file keeps its first name.
    WriteFile(dir / "D240309210507 Delay -33.37ms.mpg", Bytes{7});
    ASSERT_TRUE(control.Start());
    WaitForDeckEnd();
    ctx.stats.AudioValid = -1;
    ctx.stats.FirstVideoPts = 900200 + 3003;
    ctx.stats.FirstAudioPts = 900200;
    tick.Run();
    control.Stop();
    EXPECT_EQ(ReadFile(dir / "D240309210507 Delay -33.37ms.mpg"), (Bytes{7}));
    EXPECT_EQ(ReadFile(dir / "D240309210507.mpg"), ReadFile(SamplePath("sample-sd-192.ts")));

    // The next recording starts without the last one's suffix, measured or not.
    clock.Advance(1min);
    host.options.AddDelay = false;
    ASSERT_TRUE(control.Start());
    EXPECT_EQ(control.FinalPath(), host.options.SaveDir + "D240309210607.mpg");
    WaitForData();
    control.Stop();
    EXPECT_TRUE(fs::exists(dir / "D240309210607.mpg"));
}

// With the report setting on, every recording leaves its report beside it, named as the file
// is named at the end; one that received nothing leaves none.
TEST_F(RecordingControlTest, ReportSettingLeavesTheReportBesideTheRecording) {
    UseDeck("sample-sd-192.ts");
    host.options.Report = true;
    host.options.AddDelay = true;
    ASSERT_TRUE(control.Start());
    WaitForDeckEnd();
    ctx.stats.AudioValid = -1;
    ctx.stats.FirstVideoPts = 900200 + 3003;
    ctx.stats.FirstAudioPts = 900200;
    for (int i = 0; i < 3; ++i) {
        tick.Run();
        clock.Advance(6s);
    }
    EXPECT_TRUE(fs::exists(dir / "D240309210507.report.json"));  // kept while recording
    control.Stop();
    EXPECT_THAT(FilesInDir(), ElementsAre("D240309210507 Delay -33.37ms.mpg",
                                          "D240309210507 Delay -33.37ms.report.html",
                                          "D240309210507 Delay -33.37ms.report.json"));
    const Bytes json = ReadFile(dir / "D240309210507 Delay -33.37ms.report.json");
    const test::Json j = test::Json::Parse(std::string(json.begin(), json.end()));
    EXPECT_EQ(j["command"].string(), "recording");
    EXPECT_EQ(j["end_reason"].string(), "stopped");
    EXPECT_EQ(j["verdict"].string(), "pass");
    EXPECT_EQ(j["started"].string().substr(0, 19), "2024-03-09T21:05:07");
    const Bytes file = ReadFile(dir / "D240309210507 Delay -33.37ms.mpg");
    EXPECT_EQ(j["recordings"][0]["sha256"].string(), Sha256Hex(file.data(), file.size()));
    EXPECT_EQ(j["recordings"][0]["sha256_from"].string(), "writing");
    EXPECT_TRUE(host.errors.empty());
}

TEST_F(RecordingControlTest, RecordingThatReceivedNothingLeavesNoReport) {
    UseSilentDeck();
    host.options.Report = true;
    ASSERT_TRUE(control.Start());
    WaitForDeckEnd();
    for (int i = 0; i < 3; ++i) {
        tick.Run();
        clock.Advance(6s);
    }
    control.Stop();
    EXPECT_TRUE(FilesInDir().empty());
    EXPECT_TRUE(host.errors.empty());
}

TEST_F(RecordingControlTest, StopWhileNothingRecordsTouchesNoFile) {
    UseDeck("sample-sd-192.ts");
    ASSERT_TRUE(control.Start());
    WaitForData();
    control.Stop();
    const Bytes first = ReadFile(dir / "D240309210507.mpg");
    // A later stop with a suffix still set (the deck page's failure exit uses Stop).
    control.State().DelaySuffix = " Delay 1.00ms";
    control.Stop();
    EXPECT_THAT(FilesInDir(), ElementsAre("D240309210507.mpg"));
    EXPECT_EQ(ReadFile(dir / "D240309210507.mpg"), first);
}

TEST_F(RecordingControlTest, NoStartBesideAConversionOrADeckWrite) {
    UseDeck("sample-sd-192.ts");
    for (bool* busy : {&flags.IsRemuxing, &flags.IsWriting}) {
        *busy = true;
        EXPECT_FALSE(control.Start());
        EXPECT_FALSE(flags.IsRecording);
        *busy = false;
    }
    EXPECT_TRUE(FilesInDir().empty());
    EXPECT_EQ(host.saves, 0);
}

TEST_F(RecordingControlTest, GraphThatDoesNotRunLeavesNoFile) {
    UseDeck("sample-sd-192.ts");
    fw.Fail(GraphOp::Run, kE_FAIL, 1);
    EXPECT_FALSE(control.Start());
    EXPECT_FALSE(flags.IsRecording);
    EXPECT_TRUE(FilesInDir().empty());
    EXPECT_THAT(Texts(), ElementsAre("Error 80004005: Cannot start capture"));
}

TEST_F(RecordingControlTest, ReservationEndMarksDoneThenStopsAndRunsTheActionLater) {
    UseDeck("sample-sd-192.ts");
    control.ArmReservation(March9(), March9() + 10min + 1s, "", 2);
    ASSERT_TRUE(control.Start());
    clock.Advance(10min + 1s);
    tick.Run();
    EXPECT_TRUE(flags.IsRecording);
    clock.Advance(1ms);
    tick.Run();
    EXPECT_FALSE(flags.IsRecording);
    EXPECT_THAT(reservations.marks,
                ElementsAre(ReservationStatus::Done, ReservationStatus::Aborted));
    // The follow-on test looks 5 seconds past the stop; nothing follows, so the deck goes off.
    ASSERT_EQ(reservations.asked.size(), 1u);
    EXPECT_EQ(reservations.asked[0], March9() + 10min + 1s + 1ms + 5s);
    EXPECT_EQ(deck->power(), ED_POWER_OFF);
    EXPECT_EQ(clock.Slept(), 3s);
    EXPECT_THAT(power.calls, ElementsAre(2));
    EXPECT_EQ(control.State().AfterAction, 0);
    EXPECT_FALSE(control.State().IsReserveRecording);
}

TEST_F(RecordingControlTest, ReservationStoppedByHandWithAFollowerKeepsTheDeckOn) {
    UseDeck("sample-sd-192.ts");
    reservations.follow_on = true;
    control.ArmReservation(March9(), March9() + 1h, "news", 1);
    ASSERT_TRUE(control.Start());
    control.Stop();
    EXPECT_THAT(reservations.marks, ElementsAre(ReservationStatus::Aborted));
    EXPECT_EQ(deck->power(), ED_POWER_ON);
    EXPECT_THAT(power.calls, ElementsAre(1));  // stopped early, the action still follows
}

TEST_F(RecordingControlTest, ClosingStopsCleanlyWithoutAPowerAction) {
    UseDeck("sample-sd-192.ts");
    host.options.AddDelay = true;
    control.ArmReservation(March9(), March9() + 1h, "", 4);
    ASSERT_TRUE(control.Start());
    WaitForData();
    control.State().DelaySuffix = " Delay 5.00ms";
    control.Stop(RecordingControl::StopCause::Closing);
    EXPECT_THAT(FilesInDir(), ElementsAre("D240309210507 Delay 5.00ms.mpg"));
    EXPECT_THAT(reservations.marks, ElementsAre(ReservationStatus::Aborted));
    EXPECT_TRUE(power.calls.empty());
    EXPECT_EQ(clock.Slept(), 0ms);
    EXPECT_EQ(control.State().AfterAction, 0);
}

TEST_F(RecordingControlTest, PowerOffSettingAppliesToRecordingsByHand) {
    UseDeck("sample-sd-192.ts");
    host.options.PowerOff = true;
    ASSERT_TRUE(control.Start());
    control.Stop();
    EXPECT_EQ(deck->power(), ED_POWER_OFF);
    EXPECT_TRUE(reservations.asked.empty());
}

TEST_F(RecordingControlTest, WriteFailureStopsAndReportsPathAndReason) {
    UseDeck("sample-sd-192.ts");
    // A device that refuses every write, as a full disk does.
    host.options.SaveDir = "/dev/";
    host.options.UseFileName = true;
    host.options.FileName = "full";
    host.options.Ts192Ext = "";
    ASSERT_TRUE(control.Start());
    WaitForDeckEnd();
    ASSERT_GT(ctx.stats.WriteFailures.load(), 0u);
    tick.Run();
    EXPECT_FALSE(flags.IsRecording);
    ASSERT_EQ(host.errors.size(), 1u);
    EXPECT_THAT(host.errors[0], ::testing::HasSubstr("/dev/full"));
    EXPECT_THAT(host.errors[0], ::testing::HasSubstr("No space left on device"));
    tick.Run();  // nothing more once stopped
    EXPECT_EQ(host.errors.size(), 1u);
}

// A deck whose stream ends with an error (here its source cannot be read; on the bus, a deck
// that stayed away past the backend's deadline) ends the recording with one message, keeping what
// was received; a stream that simply ends keeps the recording running until its time is up.
TEST_F(RecordingControlTest, DeckStreamErrorEndsTheRecordingButItsEndDoesNot) {
    VirtualDeckConfig c = Deck("AV/C Tape", "JVC", "HM-DH5U");
    c.file = (dir / "unreadable.ts").string();  // never created: the deck fails once it runs
    c.fast = true;
    deck = AddVirtualDeck(fw, c);
    Open();
    flags.DeviceReady = flags.GrabberReady = true;
    ASSERT_TRUE(control.Start());
    const std::string path = control.FinalPath();
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (flags.IsRecording) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        tick.Run();
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(host.errors.size(), 1u);
    EXPECT_THAT(host.errors[0], ::testing::HasSubstr("the deck stopped sending"));
    EXPECT_THAT(host.errors[0], ::testing::HasSubstr(path));
    // Nothing had arrived: the empty file is not kept, and the message says so.
    EXPECT_THAT(host.errors[0], ::testing::HasSubstr("No file was kept"));
    EXPECT_FALSE(fs::exists(path));
}

// The save folder is deleted during a recording: the monitor says so once, the recording goes on,
// and the stop writes it back to its own path with the folder made again.
TEST_F(RecordingControlTest, RecordingWhoseFolderVanishedIsSaidAtOnceAndWrittenBack) {
    UseDeck("sample-sd-192.ts");
    host.options.SaveDir = (dir.path() / "shows" / "").string();
    fs::create_directories(dir.path() / "shows");
    ASSERT_TRUE(control.Start());
    const std::string path = control.FinalPath();
    WaitForDeckEnd();
    tick.Run();
    EXPECT_TRUE(host.errors.empty());
    fs::remove_all(dir.path() / "shows");
    tick.Run();
    tick.Run();
    ASSERT_EQ(host.errors.size(), 1u);
    EXPECT_THAT(host.errors[0], ::testing::HasSubstr("was deleted while recording"));
    EXPECT_THAT(host.errors[0], ::testing::HasSubstr(path));
    EXPECT_TRUE(flags.IsRecording);
    control.Stop();
    ASSERT_EQ(host.errors.size(), 2u);
    EXPECT_THAT(host.errors[1], ::testing::HasSubstr("written back to " + path));
    EXPECT_EQ(ReadFile(path), ReadFile(SamplePath("sample-sd-192.ts")));
}

// Where the recording is not what its name says at the stop, the window says so: the folder was
// renamed (the new place is given), or the system failed to close the file (it may be incomplete).
TEST_F(RecordingControlTest, RecordingMovedOrNotClosedIsSaidAtTheStop) {
    UseDeck("sample-sd-192.ts");
    host.options.SaveDir = (dir.path() / "shows" / "").string();
    fs::create_directories(dir.path() / "shows");
    ASSERT_TRUE(control.Start());
    const std::string name = fs::path(control.FinalPath()).filename().string();
    WaitForDeckEnd();
    fs::rename(dir.path() / "shows", dir.path() / "moved");
    control.Stop();
    const fs::path now = dir.path() / "moved" / name;
    ASSERT_EQ(host.errors.size(), 1u);
    EXPECT_THAT(host.errors[0], ::testing::HasSubstr(now.string()));
    EXPECT_EQ(ReadFile(now), ReadFile(SamplePath("sample-sd-192.ts")));

    host.errors.clear();
    fs::create_directories(dir.path() / "shows");
    ASSERT_TRUE(control.Start());
    const std::string path = control.FinalPath();
    WaitForDeckEnd();
    const auto previous = OutputFile::SetCloseFunctionForTesting([](int fd) {
        ::close(fd);
        errno = EIO;
        return -1;
    });
    control.Stop();
    OutputFile::SetCloseFunctionForTesting(previous);
    ASSERT_EQ(host.errors.size(), 1u);
    EXPECT_THAT(host.errors[0], ::testing::HasSubstr(path));
    EXPECT_THAT(host.errors[0], ::testing::HasSubstr(std::strerror(EIO)));
}

TEST_F(RecordingControlTest, DeckStreamThatEndsKeepsRecordingUntilItsTime) {
    UseDeck("sample-sd-192.ts");
    ASSERT_TRUE(control.Start());
    WaitForDeckEnd();
    tick.Run();
    EXPECT_TRUE(flags.IsRecording);
    EXPECT_TRUE(host.errors.empty());
    control.Stop();
}

TEST_F(RecordingControlTest, TickDoesNothingIdleAndOnlyTheDeckStepWhileWriting) {
    int batch = 0, write = 0;
    tick.BatchProgress = [&] { ++batch; };
    tick.WriteToDeckEndOfFile = [&] { ++write; };
    tick.Run();
    flags.IsWriting = true;
    tick.Run();
    EXPECT_EQ(write, 0);  // no deck usable
    flags.DeviceReady = true;
    tick.Run();
    EXPECT_EQ(write, 1);
    EXPECT_EQ(batch, 0);
    flags.IsWriting = false;
    flags.DeviceReady = false;
    flags.IsRemuxing = true;
    ctx.stats.VideoValid = 0;
    tick.Run();  // the batch step runs without a deck, and the page is refreshed
    EXPECT_EQ(batch, 1);
    EXPECT_EQ(host.last_info.pnlVSize, std::string());
    EXPECT_EQ(host.panels[0], "");
}

}  // namespace
}  // namespace tessaline::test
