// Recording from the window: the recording bar, the ticks, the data information page, the launch
// switches and closing during a recording, on the offscreen platform with fast virtual decks and a
// simulated clock (the tick threads run for real).
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <filesystem>

#include "app/capture_settings.h"
#include "app/tick_thread.h"
#include "capture/ds_capture.h"
#include "capture/graph/graph_host.h"
#include "capture/virtual/virtual_deck.h"
#include "tests/app/window_test_support.h"

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class RecordingWindowTest : public MainFormTest {
  protected:
    struct Asked {
        QMessageBox::Icon icon;
        QString caption;
        QString text;
        QMessageBox::StandardButtons buttons;
    };

    TFormQuillor::Options MakeRecorder(const QLocale& locale, const QStringList& args,
                                       int32_t power = ED_POWER_ON) {
        WriteIni("[Capture]\nDevice=0\nSaveDir=" + (out.path() / "").string() + "\n" +
                 "TrimPacket=0\nPS_EXT=.mpg\nTS188_EXT=.ts\nTS192_EXT=.ts\n" + ini_extra);
        TFormQuillor::Options o = Make(locale, args, 0);
        VirtualDeckConfig c;
        c.file = deck_file.empty() ? test::SamplePath("sample-sd-192.ts").string() : deck_file;
        c.tape_file = (out / "deck.tape").string();
        c.fast = true;
        c.power = power;
        deck = framework->AddDeck(std::make_shared<VirtualDeck>(c));
        o.message = [this](QMessageBox::Icon icon, const QString& caption, const QString& text,
                           QMessageBox::StandardButtons buttons) {
            asked.push_back({icon, caption, text, buttons});
            return (buttons & QMessageBox::Yes) ? answer : QMessageBox::Ok;
        };
        o.clock = clock;
        return o;
    }

    bool WaitForDeckEnd() {
        return RunEventsUntil([&] { return deck->buffers_delivered() > 0 && DeckDone(); });
    }
    bool DeckDone() { return form->Capture()->PollCompletion() == EC_COMPLETE; }

    std::vector<std::string> Recordings() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(out.path())) {
            if (e.path().filename() != "deck.tape") names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // The message box open over the window, if any.
    static QMessageBox* OpenBox() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) return box;
        }
        return nullptr;
    }
    // The status of the first reservation as stored.
    std::string Stored() const {
        const std::string r = ReadIni().Get("Capture", "Reserve01").value_or("");
        return r.size() > 38 ? r.substr(38, 1) : r;
    }

    test::TempDir out;
    std::string ini_extra;
    std::string deck_file;  // what the deck plays; the sample when empty
    std::shared_ptr<ManualClock> clock =
        std::make_shared<ManualClock>(ToDateTime({2024, 3, 9, 21, 5, 7, 0}));
    std::shared_ptr<VirtualDeck> deck;
    std::vector<Asked> asked;
    QMessageBox::StandardButton answer = QMessageBox::No;
};

TEST_F(RecordingWindowTest, RecByHandStopsAtItsEndWithTheWholeStream) {
    Start(MakeRecorder(English(), {}));
    TFormQuillor& f = *form;
    ASSERT_TRUE(f.Flags.DeviceReady);
    ASSERT_TRUE(f.TThTime && f.TThTimer);
    f.edtTime->setText("1");
    QTest::mouseClick(f.btnRec, Qt::LeftButton);
    ASSERT_TRUE(f.Flags.IsRecording);
    EXPECT_EQ(f.pgPage->currentWidget(), f.TabSheet2);
    EXPECT_EQ(f.sbStatus->Text(0), "Recording");
    EXPECT_FALSE(f.btnRec->isEnabled());
    EXPECT_TRUE(f.btnStop->isEnabled());
    EXPECT_TRUE(f.btnTimeAdd->isEnabled());
    ASSERT_TRUE(WaitForDeckEnd());

    // The monitor tick shows the countdown and the stream's figures.
    clock->Advance(30s);
    ASSERT_TRUE(RunEventsUntil([&] { return f.sbStatus->Text(1) == "00:00:30.000"; }));
    ASSERT_TRUE(RunEventsUntil([&] { return f.pnlVSize->text() == "720 x 480"; }));
    EXPECT_EQ(f.sbStatus->Text(2), " " + Q((out.path() / "240309210507.ts").string()));
    EXPECT_FALSE(f.pnlVPTS->text().isEmpty());

    clock->Advance(31s);  // past the end: the tick presses Stop
    ASSERT_TRUE(RunEventsUntil([&] { return !f.Flags.IsRecording; }));
    EXPECT_EQ(f.sbStatus->Text(0), "");
    EXPECT_EQ(f.sbStatus->Text(1), "");
    EXPECT_TRUE(f.btnRec->isEnabled());
    EXPECT_EQ(test::ReadFile(out / "240309210507.ts"),
              test::ReadFile(test::SamplePath("sample-sd-192.ts")));
    EXPECT_TRUE(asked.empty());
}

TEST_F(RecordingWindowTest, MessagesOfTheRecordingBarInBothLanguages) {
    Start(MakeRecorder(English(), {}));
    form->edtTime->setText("");
    form->btnRecClick();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].icon, QMessageBox::Critical);
    EXPECT_EQ(asked[0].caption, "ERROR");
    EXPECT_EQ(asked[0].text, "Please set rocerd time");
    EXPECT_FALSE(form->Flags.IsRecording);
    EXPECT_TRUE(Recordings().empty());

    ini_extra = "FileName=1\nLastFile=" + QuoteLastFile("show.ts") + "\nFileExists=1\n";
    asked.clear();
    form->close();  // its settings reach the file before the new ones are written
    form.reset();
    Start(MakeRecorder(Japanese(), {}));
    test::WriteFile(out / "show.ts", {9});
    form->btnRecClick();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].icon, QMessageBox::Question);
    EXPECT_EQ(asked[0].caption, Q("質問"));
    EXPECT_EQ(asked[0].text, Q("既にファイルが存在しています。上書きしても良いですか？"));
    EXPECT_EQ(asked[0].buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_FALSE(form->Flags.IsRecording);
    EXPECT_EQ(test::ReadFile(out / "show.ts"), (test::Bytes{9}));
}

TEST_F(RecordingWindowTest, DurationBoxTakesDigitsOnly) {
    Start(MakeRecorder(English(), {}));
    form->edtTime->clear();
    form->edtTime->setFocus();
    QTest::keyClicks(form->edtTime, "1a-2 x");
    EXPECT_EQ(form->edtTime->text(), "12");
    QTest::keyClick(form->edtTime, Qt::Key_Backspace);
    EXPECT_EQ(form->edtTime->text(), "1");
    QTest::keyClicks(form->edtTime, "2345");
    EXPECT_EQ(form->edtTime->text(), "123");  // at most 3 characters
}

TEST_F(RecordingWindowTest, LaunchSwitchesRecordAtOnceWithTheDeckSwitchedOn) {
    // A file of the name the pattern gives is left alone: the launch start counts on.
    test::WriteFile(out / "240309210507.mpg", {5});
    Start(MakeRecorder(English(), {"-s", "-p", "-E"}, ED_POWER_OFF));
    TFormQuillor& f = *form;
    ASSERT_TRUE(f.Flags.IsRecording);
    EXPECT_EQ(deck->power(), ED_POWER_ON);
    EXPECT_FALSE(f.Recording()->State().StartAtLaunch);
    EXPECT_TRUE(f.Recording()->State().NoTimeLimit);
    ASSERT_TRUE(WaitForDeckEnd());
    clock->Advance(2h);  // no time limit: counts up, never stops by itself
    ASSERT_TRUE(RunEventsUntil([&] { return f.sbStatus->Text(1) == "02:00:00.000"; }));
    EXPECT_TRUE(f.Flags.IsRecording);
    f.btnStopClick();
    EXPECT_EQ(Recordings(), (std::vector<std::string>{"240309210507 (2).mpg", "240309210507.mpg"}));
    EXPECT_GT(fs::file_size(out / "240309210507 (2).mpg"), 100000u);
    EXPECT_EQ(test::ReadFile(out / "240309210507.mpg"), (test::Bytes{5}));
    EXPECT_TRUE(asked.empty());
}

// "-S" and the window closed before the deck sent anything: no empty recording is left.
TEST_F(RecordingWindowTest, LaunchStartClosedAtOnceLeavesNoEmptyFile) {
    test::TempDir source;
    deck_file = (source / "silent.ts").string();
    test::WriteFile(deck_file, {});
    Start(MakeRecorder(English(), {"-S"}));
    ASSERT_TRUE(form->Flags.IsRecording);
    EXPECT_EQ(Recordings(), std::vector<std::string>{"240309210507.ts"});
    form->close();
    EXPECT_FALSE(form->Flags.IsRecording);
    EXPECT_TRUE(Recordings().empty());
    EXPECT_TRUE(asked.empty());
}

TEST_F(RecordingWindowTest, ClosingDuringARecordingFinishesTheFileAndEndsTheTicks) {
    ini_extra = "AddDelay=1\n";
    Start(MakeRecorder(English(), {}));
    TFormQuillor& f = *form;
    f.btnRecClick();
    ASSERT_TRUE(f.Flags.IsRecording);
    ASSERT_TRUE(WaitForDeckEnd());
    // The tick has measured the delay and keeps it for the name.
    ASSERT_TRUE(RunEventsUntil([&] { return !f.Recording()->State().DelaySuffix.empty(); }));
    const std::string final_name = "240309210507" + f.Recording()->State().DelaySuffix + ".ts";
    EXPECT_TRUE(f.pnlDelay->text().endsWith(" ms"));
    TickThread* monitor = f.TThTime.get();
    TickThread* schedule = f.TThTimer.get();
    f.close();
    EXPECT_TRUE(monitor->Finished);
    EXPECT_TRUE(schedule->Finished);
    EXPECT_TRUE(monitor->isFinished());
    EXPECT_FALSE(f.Flags.IsRecording);
    EXPECT_EQ(Recordings(), std::vector<std::string>{final_name});
    EXPECT_EQ(test::ReadFile(out / final_name),
              test::ReadFile(test::SamplePath("sample-sd-192.ts")));
    EXPECT_EQ(clock->Slept(), 0ms);
}

// The box a tick raises (here the deck refuses a reservation's start) is opened and left: both
// ticks go on while it is open, and a close then (SIGTERM, logout) closes it and ends quickly.
TEST_F(RecordingWindowTest, BoxRaisedInATickLeavesTheTicksRunningAndCloseEndsIt) {
    ini_extra =
        "Reserve01=2024/03/09 21:06:002024/03/09 22:00:00"
        "0001news\n";
    TFormQuillor::Options o = MakeRecorder(English(), {});
    o.message = nullptr;  // the real boxes
    Start(std::move(o));
    TFormQuillor& f = *form;
    ASSERT_TRUE(f.TThTimer);
    framework->Fail(GraphOp::Run, kE_FAIL, 1);
    clock->Set(ToDateTime({2024, 3, 9, 21, 6, 0, 0}));

    // Watched from a timer, which also fires inside a nested loop: a tick stuck in its box shows
    // as no further schedule ticks, and the box is then closed to end the test.
    uint64_t at_open = 0;
    bool opened = false, went_on = false, gave_up = false;
    QElapsedTimer since;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        QMessageBox* box = OpenBox();
        if (!box || went_on || gave_up) return;
        if (!opened) {
            opened = true;
            at_open = f.TThTimer->Ticks();
            since.start();
        } else if (f.TThTimer->Ticks() >= at_open + 3 && f.TThTime->Ticks() > 0) {
            went_on = true;
        } else if (since.elapsed() > 10000) {
            gave_up = true;
            box->done(QMessageBox::Ok);
        }
    });
    watch.start(10);
    ASSERT_TRUE(RunEventsUntil([&] { return went_on || gave_up; }));
    watch.stop();
    ASSERT_TRUE(went_on) << "the schedule tick waited in its box";
    QMessageBox* box = OpenBox();
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text(), "Error 80004005: Cannot start capture");  // the controller's words
    EXPECT_EQ(box->icon(), QMessageBox::Critical);
    EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    EXPECT_EQ(Stored(), "2");  // the failed start aborted its record

    QElapsedTimer closing;
    closing.start();
    f.CloseUnattended();
    EXPECT_LT(closing.elapsed(), 5000);
    EXPECT_TRUE(f.TThTimer->Finished);
    EXPECT_TRUE(f.TThTime->Finished);
    QApplication::processEvents();
    EXPECT_EQ(OpenBox(), nullptr);
}

// "-S" at login with the save folder missing: its error box stays open, nobody answers it. The
// folder is back 5 s later, and the reservation due 14 s after the start records all the same:
// a message never holds up the schedule.
TEST_F(RecordingWindowTest, ErrorBoxOfALaunchStartLeftOpenDoesNotStarveAReservation) {
    const fs::path folder = out / "later";
    ini_extra =
        "Reserve01=2024/03/09 21:05:212024/03/09 21:30:00"
        "0001news\n";
    TFormQuillor::Options o = MakeRecorder(English(), {"-S"});
    WriteIni("[Capture]\nDevice=0\nSaveDir=" + (folder / "").string() +
             "\nTrimPacket=0\nTS192_EXT=.ts\n" + ini_extra);
    o.message = nullptr;  // the real boxes, left open
    bool box_seen = false, recorded_under_box = false, gave_up = false;
    QElapsedTimer since;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        QMessageBox* box = OpenBox();
        if (!box || recorded_under_box || gave_up) return;
        if (!box_seen) {
            box_seen = true;
            since.start();
            EXPECT_TRUE(box->text().startsWith("Cannot open output file"))
                << box->text().toStdString();
            clock->Advance(5s);
            fs::create_directory(folder);
            clock->Advance(9s);  // the reservation is due
        } else if (form && form->Flags.IsRecording) {
            recorded_under_box = true;
        } else if (since.elapsed() > 10000) {
            gave_up = true;
            box->done(QMessageBox::Ok);
        }
    });
    watch.start(10);
    Start(std::move(o));
    ASSERT_TRUE(RunEventsUntil([&] { return recorded_under_box || gave_up; }));
    watch.stop();
    EXPECT_TRUE(box_seen);
    EXPECT_TRUE(recorded_under_box) << "the reservation waited for the box";
    ASSERT_NE(OpenBox(), nullptr);  // still open, unanswered
    EXPECT_EQ(form->Recording()->State().ReserveFileName, "news");
    form->btnStopClick();
}

// "-S" at launch while a reservation is due: the reservation starts first, and "-S" is refused
// with a message (nothing is lost: the deck records the reservation).
TEST_F(RecordingWindowTest, LaunchStartGivesWayToADueReservation) {
    ini_extra =
        "Reserve01=2024/03/09 21:05:002024/03/09 21:30:00"
        "0001news\n";
    Start(MakeRecorder(English(), {"-S"}));
    TFormQuillor& f = *form;
    ASSERT_TRUE(RunEventsUntil([&] { return f.Flags.IsRecording; }));
    EXPECT_TRUE(f.Recording()->State().IsReserveRecording);
    EXPECT_EQ(f.Recording()->State().ReserveFileName, "news");
    EXPECT_FALSE(f.Recording()->State().NoTimeLimit);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_TRUE(asked[0].text.contains("-S")) << asked[0].text.toStdString();
    EXPECT_EQ(Recordings(), std::vector<std::string>{"news0001.ts"});
    f.btnStopClick();
}

// A close arriving while a question of a start by hand is open (its box runs the event loop)
// answers it No and closes it; the start ends without a file, the ticks end, nothing hangs.
TEST_F(RecordingWindowTest, CloseWhileAQuestionIsOpenAnswersItNo) {
    ini_extra = "FileName=1\nLastFile=" + QuoteLastFile("show.ts") + "\nFileExists=1\n";
    TFormQuillor::Options o = MakeRecorder(English(), {});
    o.message = nullptr;
    Start(std::move(o));
    TFormQuillor& f = *form;
    test::WriteFile(out / "show.ts", {9});
    bool closed = false, stuck = false;
    qint64 close_ms = -1;
    QElapsedTimer since;
    since.start();
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        QMessageBox* box = OpenBox();
        if (!box) return;
        if (!closed) {
            EXPECT_EQ(box->text(), "File Already Exists. Over Write ?");
            closed = true;
            QElapsedTimer t;
            t.start();
            f.CloseUnattended();  // as SIGTERM or the end of the session does
            close_ms = t.elapsed();
        } else if (since.elapsed() > 20000) {
            stuck = true;  // the question outlived the window: end it here
            box->done(QMessageBox::No);
        }
    });
    watch.start(10);
    f.btnRecClick();
    watch.stop();
    EXPECT_TRUE(closed);
    EXPECT_FALSE(stuck) << "the question stayed open after the close";
    EXPECT_GE(close_ms, 0);
    EXPECT_LT(close_ms, 5000);
    EXPECT_TRUE(f.Closed());
    EXPECT_FALSE(f.Flags.IsRecording);
    EXPECT_TRUE(f.TThTimer->Finished);
    EXPECT_EQ(test::ReadFile(out / "show.ts"), (test::Bytes{9}));
}

// A close from inside a tick (a box of the tick's own once ran the event loop there) cannot wait
// for that tick's hand-over: Stop returns at once and the thread ends when the tick returns.
TEST(TickThreadStop, NeverWaitsForItsOwnTickFurtherDownTheStack) {
    QObject receiver;
    std::unique_ptr<TickThread> thread;
    int ticks = 0;
    bool stopped_inside = true;
    qint64 inside_ms = -1;
    thread = std::make_unique<TickThread>(&receiver, [&] {
        if (++ticks > 1) return;
        QElapsedTimer t;
        t.start();
        stopped_inside = thread->Stop();
        inside_ms = t.elapsed();
    });
    thread->start();
    ASSERT_TRUE(RunEventsUntil([&] { return ticks > 0 && inside_ms >= 0; }));
    EXPECT_FALSE(stopped_inside);
    EXPECT_LT(inside_ms, 1000);
    ASSERT_TRUE(RunEventsUntil([&] { return thread->isFinished(); }));
    EXPECT_TRUE(thread->Finished);
    EXPECT_EQ(ticks, 1);
    EXPECT_TRUE(thread->Stop());
}

TEST(TickThreadStop, EndsWhileAHandOverIsPending) {
    // The worker is blocked in its hand-over to this thread when Stop is called: Stop must run
    // the hand-over (without the tick) and return.
    int ticks = 0;
    QObject receiver;
    TickThread thread(&receiver, [&] { ++ticks; });
    thread.start();
    QElapsedTimer t;
    t.start();
    while (thread.Ticks() < 3 && t.elapsed() < 60000) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    ASSERT_GE(thread.Ticks(), 3u);
    EXPECT_GE(ticks, 3);
    // Do not process events now: the worker soon blocks in the next hand-over.
    QThread::msleep(120);
    const int before = ticks;
    thread.Stop();
    EXPECT_TRUE(thread.Finished);
    EXPECT_TRUE(thread.isFinished());
    EXPECT_EQ(ticks, before);  // the pending hand-over ran without its tick
}

}  // namespace
}  // namespace tessaline
