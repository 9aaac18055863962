// The reservation page on the offscreen window: the editor's rules, the grid, the list in the
// settings file, and the schedule tick on a simulated clock against a virtual deck.
#include "app/reservation_page.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <deque>

#include "app/schedule_service.h"
#include "app/tick_thread.h"
#include "capture/ds_capture.h"
#include "capture/framework.h"
#include "recording/timetable_lock.h"
#include "tests/app/window_test_support.h"

namespace tessaline {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

DateTime T(int y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return DateTime(local_days(year_month_day{year(y), month(mo), day(d)}).time_since_epoch() +
                    hours(h) + minutes(mi) + seconds(s) + milliseconds(ms));
}

class ReservationPageTest : public MainFormTest {
  protected:
    struct FakePower : PowerActions {
        std::vector<int> calls;
        void SystemShutdown() override { calls.push_back(1); }
        void SystemStandby() override { calls.push_back(2); }
        void SystemHibernate() override { calls.push_back(3); }
        void SystemPowerOff() override { calls.push_back(4); }
    };

    // A window whose question boxes take their answers from `answers` (No when none is left),
    // running on the test's clock, with decks that start in standby.
    TFormQuillor::Options Options(const QLocale& locale = English(), int decks = 1) {
        TFormQuillor::Options o = Make(locale, {}, 0);
        for (int i = 0; i < decks; ++i) {
            VirtualDeckConfig deck;
            deck.file = test::SamplePath("sample-sd-192.ts").string();
            deck.tape_file = (out / "deck.tape").string();
            deck.power = ED_POWER_STANDBY;
            deck.fast = true;
            this->decks.push_back(framework->AddDeck(std::make_shared<VirtualDeck>(deck)));
        }
        o.message = [this](QMessageBox::Icon icon, const QString& caption, const QString& text,
                           QMessageBox::StandardButtons buttons) {
            messages.push_back({icon, caption, text});
            if (!(buttons & QMessageBox::Yes)) return QMessageBox::Ok;
            if (answers.empty()) return QMessageBox::No;
            const QMessageBox::StandardButton a = answers.front();
            answers.pop_front();
            return a;
        };
        o.clock = clock;
        o.power_actions = power;
        return o;
    }
    void StartWindow(const QLocale& locale = English(), int decks = 1) {
        Start(Options(locale, decks));
        messages.clear();
    }
    TReservationPage& page() { return form->Reservations(); }
    // Fills the editor with a one-time reservation and presses Reg.
    void Register(DateTime start, DateTime end, const QString& name = {}, int power = 0) {
        TFormQuillor& f = *form;
        if (!f.chkTimer->isChecked()) f.chkTimer->setChecked(true);
        SetPickers(start, f.dpDateS, f.dpTimeS);
        SetPickers(end, f.dpDateE, f.dpTimeE);
        f.cmbPower->setCurrentIndex(power);
        f.edtFileResv->setText(name);
        f.btnAdd->click();
    }
    static void SetPickers(DateTime t, QDateEdit* date, QTimeEdit* time) {
        const year_month_day ymd(floor<days>(t));
        const hh_mm_ss<milliseconds> hms(t - floor<days>(t));
        date->setDate(QDate(static_cast<int>(ymd.year()), static_cast<int>(unsigned(ymd.month())),
                            static_cast<int>(unsigned(ymd.day()))));
        time->setTime(QTime(static_cast<int>(hms.hours().count()),
                            static_cast<int>(hms.minutes().count()),
                            static_cast<int>(hms.seconds().count())));
    }
    std::string Stored(int number) const {
        return ReadIni().Get("Capture", ReserveKey(number)).value_or("<missing>");
    }
    void SelectRow(int row) { form->sgTimer->SetRow(row); }

    // Lets both ticks run at least twice at the clock's present time.
    bool Ticks() {
        const uint64_t schedule = form->TThTimer->Ticks(), monitor = form->TThTime->Ticks();
        return RunEventsUntil([&] {
            return form->TThTimer->Ticks() >= schedule + 2 && form->TThTime->Ticks() >= monitor + 2;
        });
    }
    void At(DateTime t) { clock->Set(t); }

    test::TempDir out;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(T(2024, 3, 6, 12, 0, 0));
    std::shared_ptr<FakePower> power = std::make_shared<FakePower>();
    std::deque<QMessageBox::StandardButton> answers;
    std::vector<std::shared_ptr<VirtualDeck>> decks;
};

TEST_F(ReservationPageTest, RegisteringTheSameOneTimeReservationTwiceKeepsOne) {
    StartWindow();
    Register(T(2024, 3, 9, 21), T(2024, 3, 9, 22), "news.ts", 2);
    Register(T(2024, 3, 9, 21), T(2024, 3, 9, 22), "news.ts", 2);
    ASSERT_TRUE(messages.empty()) << messages[0].text.toStdString();
    ASSERT_EQ(page().List().Count(), 1);
    EXPECT_EQ(Stored(1),
              "2024/03/09 21:00:002024/03/09 22:00:00"
              "0021news.ts");
    EXPECT_EQ(Stored(2), "");
    EXPECT_EQ(Stored(30), "");
    EXPECT_EQ(page().CellText(0, 1), "2024/03/09 21:00:00");
    EXPECT_EQ(page().CellText(2, 1), "");
    EXPECT_EQ(page().CellText(0, 0), "START TIME");
}

TEST_F(ReservationPageTest, WeeklyReservationStoredAndShownByItsDays) {
    StartWindow(Japanese());
    TFormQuillor& f = *form;
    f.chkTimer->setChecked(true);
    f.chkWeekMon->setChecked(true);
    f.chkWeekFri->setChecked(true);
    EXPECT_FALSE(f.dpDateS->isEnabled());  // the days replace the dates
    EXPECT_FALSE(f.dpDateE->isEnabled());
    f.dpTimeS->setTime(QTime(21, 0, 0));
    f.dpTimeE->setTime(QTime(22, 0, 0));
    f.chkSkip->setChecked(true);
    f.btnAdd->click();
    ASSERT_TRUE(messages.empty());
    EXPECT_EQ(Stored(1),
              "W0111011   21:00:00W0111011   22:00:00"
              "0000");
    EXPECT_EQ(page().CellText(0, 1), "月金 21:00:00");
    EXPECT_EQ(page().CellText(1, 1), "月金 22:00:00");
    EXPECT_EQ(page().CellText(2, 0), "状態");
    // The editor was reset: boxes unchecked, the date pickers usable again.
    EXPECT_FALSE(f.chkWeekMon->isChecked());
    EXPECT_TRUE(f.dpDateS->isEnabled());
}

TEST_F(ReservationPageTest, RefusalsLeaveListAndFileAlone) {
    StartWindow();
    Register(T(2024, 3, 9, 22), T(2024, 3, 9, 22));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Please check START TIME and END TIME");
    EXPECT_EQ(messages[0].caption, "ERROR");
    Register(T(2024, 3, 6, 11, 59, 59), T(2024, 3, 6, 13));
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].text, "It has passed over START TIME");
    EXPECT_TRUE(page().List().Empty());
    EXPECT_FALSE(std::filesystem::exists(ini) && ReadIni().Get("Capture", "Reserve01"));
}

TEST_F(ReservationPageTest, FullListRefusesANewRecordButAllowsAnEdit) {
    WriteIni("[Capture]\nMaxReserve=2\n");
    StartWindow();
    TFormQuillor& f = *form;
    Register(T(2024, 3, 9, 21), T(2024, 3, 9, 22), "a");
    Register(T(2024, 3, 10, 21), T(2024, 3, 10, 22), "b");
    Register(T(2024, 3, 11, 21), T(2024, 3, 11, 22), "c");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Reserve MAX : 2");
    EXPECT_EQ(page().List().Count(), 2);

    SelectRow(2);
    f.btnEdit->click();
    EXPECT_TRUE(page().EditingReservation);
    EXPECT_FALSE(f.sgTimer->isEnabled());
    EXPECT_TRUE(f.btnEsc->isEnabled());
    EXPECT_EQ(f.edtFileResv->text(), "b");
    f.chkTimer->setChecked(false);  // refused while editing
    EXPECT_TRUE(f.chkTimer->isChecked());
    f.edtFileResv->setText("b2");
    f.btnAdd->click();
    EXPECT_EQ(messages.size(), 1u);
    EXPECT_FALSE(page().EditingReservation);
    EXPECT_EQ(Stored(2),
              "2024/03/10 21:00:002024/03/10 22:00:00"
              "0001b2");
}

TEST_F(ReservationPageTest, RunningRecordCannotBeEditedDeletedOrCleared) {
    WriteIni(
        "[Capture]\nReserve01=2024/03/09 21:00:002024/03/09 22:00:00"
        "0001a\n"
        "Reserve02=2024/03/10 21:00:002024/03/10 22:00:00"
        "0001b\n");
    StartWindow();
    TFormQuillor& f = *form;
    f.chkTimer->setChecked(true);
    ReservationList& list = page().List();
    list.Replace(0, WithStatus(list[0], RecordStatus::Running));

    SelectRow(1);
    f.btnEdit->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "The reservation under present execution is uncorrectable");
    EXPECT_FALSE(page().EditingReservation);

    answers = {QMessageBox::Yes};
    f.btnDel->click();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[1].text, "Delete Selected Reserve ?");
    EXPECT_EQ(messages[1].caption, "Question");
    EXPECT_EQ(messages[2].text, "The reservation under present execution cannot be deleted.");

    answers = {QMessageBox::Yes};
    f.btnClear->click();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[3].text, "Clear All Reserve ?");
    EXPECT_EQ(list.Count(), 2);

    // The other record goes after a Yes, and not after a No.
    SelectRow(2);
    f.btnDel->click();
    EXPECT_EQ(list.Count(), 2);
    answers = {QMessageBox::Yes};
    f.btnDel->click();
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(Stored(2), "");
}

TEST_F(ReservationPageTest, LoadingAbortsStaleRunsKeepsBrokenRecordsAndLeavesKeysBeyondCapacity) {
    WriteIni(
        "[Capture]\nMaxReserve=3\n"
        "Reserve01=2024/03/09 21:00:002024/03/09 22:00:00"
        "1001left running\n"
        "Reserve02=2024/03/09 21:00:002024/03/0\n"
        "Reserve03=\n"
        "Reserve04=2024/03/12 21:00:002024/03/12 22:00:00"
        "0001beyond\n");
    StartWindow();
    TFormQuillor& f = *form;
    ReservationList& list = page().List();
    ASSERT_EQ(list.Count(), 2);
    // Saved at once as aborted: it shows what happened and can be edited and deleted.
    EXPECT_EQ(Stored(2),
              "2024/03/09 21:00:002024/03/09 22:00:00"
              "2001left running");
    EXPECT_EQ(page().CellText(2, 2), "Abort");
    // The broken record (sorted first, being shorter) is shown as it is and written back
    // unchanged.
    EXPECT_EQ(Stored(1), "2024/03/09 21:00:002024/03/0");
    EXPECT_EQ(page().CellText(0, 1), "2024/03/09 21:00:00");
    EXPECT_EQ(page().CellText(1, 1), "2024/03/0");
    EXPECT_EQ(page().CellText(2, 1), "");
    EXPECT_EQ(Stored(4),
              "2024/03/12 21:00:002024/03/12 22:00:00"
              "0001beyond");

    // Both can be deleted.
    f.chkTimer->setChecked(true);
    SelectRow(1);
    answers = {QMessageBox::Yes};
    f.btnDel->click();
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(Stored(1),
              "2024/03/09 21:00:002024/03/09 22:00:00"
              "2001left running");
    EXPECT_EQ(Stored(2), "");
    SelectRow(1);
    answers = {QMessageBox::Yes};
    f.btnDel->click();
    EXPECT_TRUE(list.Empty());
    EXPECT_EQ(Stored(1), "");
    EXPECT_EQ(Stored(4),
              "2024/03/12 21:00:002024/03/12 22:00:00"
              "0001beyond");
}

TEST_F(ReservationPageTest, WithoutASelectedDeckTheRecordNamesTheFirstOne) {
    StartWindow(English(), 0);
    ASSERT_EQ(form->cmbVid->currentIndex(), -1);
    Register(T(2024, 3, 9, 21), T(2024, 3, 9, 22), "x");
    EXPECT_EQ(Stored(1),
              "2024/03/09 21:00:002024/03/09 22:00:00"
              "0001x");
    EXPECT_TRUE(IsWellFormed(page().List()[0]));
}

TEST_F(ReservationPageTest, EditorStateFollowsTimerBoxAndEndPickerFollowsStart) {
    StartWindow();
    TFormQuillor& f = *form;
    EXPECT_FALSE(f.btnAdd->isEnabled());
    EXPECT_EQ(FieldColourOf(f.edtFileResv), FieldColour::ButtonFace);
    f.chkTimer->setChecked(true);
    EXPECT_TRUE(f.btnAdd->isEnabled());
    EXPECT_FALSE(f.btnEdit->isEnabled());  // nothing to edit yet
    EXPECT_FALSE(f.btnEsc->isEnabled());
    EXPECT_EQ(FieldColourOf(f.edtFileResv), FieldColour::Window);
    // The pickers can be typed into: their own text fields come back with the editor (locking
    // the editor once reached into them and left them locked for good).
    for (QWidget* picker :
         std::initializer_list<QWidget*>{f.dpDateS, f.dpTimeS, f.dpDateE, f.dpTimeE}) {
        for (QWidget* part : picker->findChildren<QWidget*>()) {
            EXPECT_TRUE(part->isEnabled()) << picker->objectName().toStdString();
        }
    }
    EXPECT_EQ(f.dpDateS->date(), QDate(2024, 3, 6));
    EXPECT_EQ(f.dpTimeS->time(), QTime(12, 0, 0));

    SetPickers(T(2024, 3, 9, 21), f.dpDateS, f.dpTimeS);
    SetPickers(T(2024, 3, 9, 20), f.dpDateE, f.dpTimeE);
    page().dpTimeEEnter();
    EXPECT_EQ(f.dpDateE->date(), QDate(2024, 3, 9));
    EXPECT_EQ(f.dpTimeE->time(), QTime(21, 0, 0));
    SetPickers(T(2024, 3, 9, 23), f.dpDateE, f.dpTimeE);
    page().dpDateEEnter();
    EXPECT_EQ(f.dpTimeE->time(), QTime(23, 0, 0));  // already after the start: left alone
}

TEST_F(ReservationPageTest, GridPaintsDesignedColours) {
    WriteIni(
        "[Capture]\n"
        "Reserve01=2024/03/09 21:00:002024/03/09 22:00:00"
        "0000skip\n"
        "Reserve02=2024/03/10 21:00:002024/03/10 22:00:00"
        "0031power\n");
    StartWindow();
    auto paint = [&](int col, int row, bool selected) {
        QImage image(143, 21, QImage::Format_RGB32);
        image.fill(Qt::black);
        QPainter p(&image);
        p.setFont(form->sgTimer->font());
        page().sgTimerDrawCell(p, col, row, image.rect(), selected);
        return image;
    };
    auto has = [](const QImage& image, QColor colour) {
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (image.pixelColor(x, y) == colour) return true;
        return false;
    };
    const QImage skip = paint(0, 1, false);
    EXPECT_EQ(skip.pixelColor(0, 0), form->sgTimer->palette().color(QPalette::Base));
    EXPECT_TRUE(has(skip, QColor(255, 0, 0)));
    const QImage power = paint(0, 2, false);
    EXPECT_EQ(power.pixelColor(0, 0), QColor(231, 247, 254));  // every second row
    EXPECT_TRUE(has(power, QColor(0, 0, 255)));
    EXPECT_TRUE(has(paint(0, 2, true), QColor(0, 255, 255)));
    EXPECT_EQ(paint(1, 4, false).pixelColor(0, 0), QColor(231, 247, 254));  // empty rows too
}

class ReservationScheduleTest : public ReservationPageTest {
  protected:
    void StartRecorder(const std::string& reservations, const std::string& extra = {}) {
        WriteIni("[Capture]\nDevice=0\nSaveDir=" + (out.path() / "").string() +
                 "\nTrimPacket=0\nTS192_EXT=.ts\n" + extra + reservations);
        StartWindow();
        ASSERT_TRUE(form->Flags.DeviceReady);
        ASSERT_TRUE(form->TThTimer && form->TThTime);
    }
    bool DeckPlayedOut() {
        return RunEventsUntil([&] {
            return decks[0]->buffers_delivered() > 0 &&
                   form->Capture()->PollCompletion() == EC_COMPLETE;
        });
    }
};

TEST_F(ReservationScheduleTest, OneTimeReservationWakesTheDeckRecordsAndEndsDone) {
    At(T(2024, 3, 9, 20, 59, 50));
    StartRecorder(
        "Reserve01=2024/03/09 21:00:002024/03/09 22:00:00"
        "0001news.ts\n");
    TFormQuillor& f = *form;
    At(T(2024, 3, 9, 20, 59, 57, 999));
    ASSERT_TRUE(Ticks());
    EXPECT_EQ(decks[0]->power(), ED_POWER_STANDBY);
    At(T(2024, 3, 9, 20, 59, 58));  // PowerOnSec 2
    ASSERT_TRUE(RunEventsUntil([&] { return decks[0]->power() == ED_POWER_ON; }));
    At(T(2024, 3, 9, 20, 59, 59, 999));
    ASSERT_TRUE(Ticks());
    EXPECT_FALSE(f.Flags.IsRecording);

    At(T(2024, 3, 9, 21));
    ASSERT_TRUE(RunEventsUntil([&] { return f.Flags.IsRecording; }));
    const RecordingState& state = f.Recording()->State();
    EXPECT_TRUE(state.IsReserveRecording);
    EXPECT_EQ(ToLocal(state.RecStart), T(2024, 3, 9, 21));
    EXPECT_EQ(ToLocal(state.RecEnd), T(2024, 3, 9, 22, 0, 1));
    EXPECT_EQ(page().CellText(2, 1), "Run");
    ASSERT_TRUE(DeckPlayedOut());

    At(T(2024, 3, 9, 22, 0, 1));  // the end plus one second is not yet past
    ASSERT_TRUE(Ticks());
    EXPECT_TRUE(f.Flags.IsRecording);
    At(T(2024, 3, 9, 22, 0, 1, 1));
    ASSERT_TRUE(RunEventsUntil([&] { return !f.Flags.IsRecording; }));
    EXPECT_EQ(page().CellText(2, 1), "Done");
    EXPECT_EQ(Stored(1),
              "2024/03/09 21:00:002024/03/09 22:00:00"
              "3001news.ts");
    EXPECT_EQ(test::ReadFile(out / "news0001.ts"),
              test::ReadFile(test::SamplePath("sample-sd-192.ts")));
    EXPECT_EQ(decks[0]->power(), ED_POWER_OFF);  // no reservation follows
    EXPECT_TRUE(power->calls.empty());
    EXPECT_TRUE(messages.empty());
    // It never starts again.
    At(T(2024, 3, 9, 23));
    ASSERT_TRUE(Ticks());
    EXPECT_FALSE(f.Flags.IsRecording);
}

// A reservation's name that is no file name as it stands records inside the save folder all the
// same, and ends Done with its name stored as it was typed.
TEST_F(ReservationScheduleTest, NameWithASlashRecordsInsideTheSaveFolderAndEndsDone) {
    At(T(2024, 3, 9, 20, 59, 59));
    StartRecorder(
        "Reserve01=2024/03/09 21:00:002024/03/09 21:30:00"
        "0001AC/DC live\n");
    TFormQuillor& f = *form;
    At(T(2024, 3, 9, 21));
    ASSERT_TRUE(RunEventsUntil([&] { return f.Flags.IsRecording; }));
    ASSERT_TRUE(DeckPlayedOut());
    At(T(2024, 3, 9, 21, 30, 1, 1));
    ASSERT_TRUE(RunEventsUntil([&] { return !f.Flags.IsRecording; }));
    EXPECT_EQ(page().CellText(2, 1), "Done");
    EXPECT_EQ(Stored(1),
              "2024/03/09 21:00:002024/03/09 21:30:00"
              "3001AC/DC live");
    EXPECT_EQ(test::ReadFile(out / "AC_DC live0001.ts"),
              test::ReadFile(test::SamplePath("sample-sd-192.ts")));
    EXPECT_TRUE(messages.empty());
}

TEST_F(ReservationScheduleTest, StoppedByHandShowsAbortAndItsPowerActionStillRuns) {
    At(T(2024, 3, 9, 20, 0));  // the window is already open at start-up
    StartRecorder(
        "Reserve01=2024/03/09 19:30:002024/03/09 22:00:00"
        "0021\n");
    TFormQuillor& f = *form;
    ASSERT_TRUE(RunEventsUntil([&] { return f.Flags.IsRecording; }));
    EXPECT_EQ(ToLocal(f.Recording()->State().RecStart), T(2024, 3, 9, 19, 30));
    At(T(2024, 3, 9, 20, 0, 30));
    ASSERT_TRUE(RunEventsUntil([&] { return f.sbStatus->Text(1) == "01:59:31.000"; }));
    const auto slept = clock->Slept();
    f.btnStop->click();
    EXPECT_FALSE(f.Flags.IsRecording);
    EXPECT_EQ(page().CellText(2, 1), "Abort");
    EXPECT_EQ(Stored(1),
              "2024/03/09 19:30:002024/03/09 22:00:00"
              "2021");
    EXPECT_EQ(power->calls, std::vector<int>{2});  // standby, after the pause
    EXPECT_EQ(clock->Slept() - slept, 3000ms);
    EXPECT_TRUE(wake_alarms.empty());  // nothing waits that it could wake for
    // The aborted one-time record stays so; nothing starts again inside its window.
    ASSERT_TRUE(Ticks());
    EXPECT_FALSE(f.Flags.IsRecording);
}

TEST_F(ReservationScheduleTest, RecordingByHandNeverRunsAPowerAction) {
    At(T(2024, 3, 9, 20, 0));
    StartRecorder("");
    TFormQuillor& f = *form;
    f.Recording()->State().AfterAction = 3;  // left pending by an earlier reservation
    ASSERT_TRUE(Ticks());                    // an idle schedule tick clears it
    f.edtTime->setText("1");
    f.btnRec->click();
    ASSERT_TRUE(f.Flags.IsRecording);
    f.btnStop->click();
    EXPECT_FALSE(f.Flags.IsRecording);
    EXPECT_TRUE(power->calls.empty());
}

TEST_F(ReservationScheduleTest, FollowingReservationKeepsTheDeckOn) {
    At(T(2024, 3, 9, 20, 59, 59));
    StartRecorder(
        "Reserve01=2024/03/09 21:00:002024/03/09 21:30:00"
        "0001first\n"
        "Reserve02=2024/03/09 21:30:042024/03/09 22:00:00"
        "0001second\n");
    TFormQuillor& f = *form;
    At(T(2024, 3, 9, 21));
    ASSERT_TRUE(RunEventsUntil([&] { return f.Flags.IsRecording; }));
    ASSERT_TRUE(DeckPlayedOut());
    At(T(2024, 3, 9, 21, 30, 1, 1));  // stops; now + 5 s lies in the second one's window
    ASSERT_TRUE(RunEventsUntil([&] { return !f.Flags.IsRecording; }));
    EXPECT_EQ(decks[0]->power(), ED_POWER_ON);
    EXPECT_EQ(page().CellText(2, 1), "Done");
    At(T(2024, 3, 9, 21, 30, 4));
    ASSERT_TRUE(RunEventsUntil([&] { return f.Flags.IsRecording; }));
    EXPECT_EQ(f.Recording()->State().ReserveFileName, "second");
    f.btnStop->click();
}

TEST_F(ReservationScheduleTest, ReservePowerOnLeavesTheDeckAloneButSelectsIt) {
    At(T(2024, 3, 9, 20, 59, 50));
    StartRecorder(
        "Reserve01=2024/03/09 21:00:002024/03/09 22:00:00"
        "0001\n",
        "ReservePowerOn=1\nPowerOn=1\n");
    TFormQuillor& f = *form;
    At(T(2024, 3, 9, 20, 59, 59));
    ASSERT_TRUE(Ticks());
    EXPECT_EQ(decks[0]->power(), ED_POWER_STANDBY);
    At(T(2024, 3, 9, 21));
    ASSERT_TRUE(RunEventsUntil([&] { return f.Flags.IsRecording; }));
    EXPECT_EQ(decks[0]->power(), ED_POWER_STANDBY);
    f.btnStop->click();
}

// Edit while a recording runs: the editor shows the record without choosing its deck, which
// would close the running capture; Reg. keeps the record's own deck.
TEST_F(ReservationScheduleTest, EditWhileRecordingLeavesTheRunningDeckAlone) {
    At(T(2024, 3, 9, 20, 0));
    WriteIni("[Capture]\nDevice=0\nSaveDir=" + (out.path() / "").string() +
             "\nTrimPacket=0\nTS192_EXT=.ts\n"
             "Reserve01=2024/03/09 22:00:002024/03/09 23:00:00"
             "0101\n");
    Start(Options(English(), 2));
    TFormQuillor& f = *form;
    f.edtTime->setText("10");
    f.btnRec->click();
    ASSERT_TRUE(f.Flags.IsRecording);
    const int graphs = GraphsCreated();
    f.chkTimer->setChecked(true);
    SelectRow(1);
    page().btnEditClick();
    ASSERT_TRUE(page().EditingReservation);
    EXPECT_EQ(f.cmbVid->currentIndex(), 0);
    EXPECT_TRUE(f.Flags.IsRecording);
    EXPECT_EQ(GraphsCreated(), graphs);
    EXPECT_EQ(framework->LatestGraph().state, FilterState::Running);
    page().btnAddClick();
    EXPECT_FALSE(page().EditingReservation);
    EXPECT_EQ(Stored(1).substr(39, 1), "1");  // still its own deck
    EXPECT_TRUE(f.Flags.IsRecording);
    f.btnStop->click();
    EXPECT_TRUE(f.Flags.Idle());
}

TEST_F(ReservationScheduleTest, FailedStartIsUndoneAndSaved) {
    At(T(2024, 3, 9, 20, 59));
    StartRecorder(
        "Reserve01=2024/03/09 21:00:002024/03/09 22:00:00"
        "0031\n");
    TFormQuillor& f = *form;
    framework->Fail(GraphOp::Run, static_cast<HResult>(0x80004005), 1);
    At(T(2024, 3, 9, 21));
    ASSERT_TRUE(RunEventsUntil([&] {
        return Stored(1) !=
               "2024/03/09 21:00:002024/03/09 22:00:00"
               "0031";
    }));
    EXPECT_EQ(Stored(1),
              "2024/03/09 21:00:002024/03/09 22:00:00"
              "2031");
    EXPECT_FALSE(f.Flags.IsRecording);
    const RecordingState& state = f.Recording()->State();
    EXPECT_FALSE(state.IsReserveRecording);
    EXPECT_EQ(state.AfterAction, 0);
    EXPECT_TRUE(state.ReserveFileName.empty());
    ASSERT_FALSE(messages.empty());  // the controller said why the graph did not run
    // A start by hand afterwards is not taken for the reservation.
    f.edtTime->setText("1");
    f.btnRec->click();
    ASSERT_TRUE(f.Flags.IsRecording);
    EXPECT_FALSE(state.IsReserveRecording);
    f.btnStop->click();
    EXPECT_TRUE(power->calls.empty());
}

TEST_F(ReservationScheduleTest, PowerActionSetsTheWakeAlarmForTheNextReservationFirst) {
    At(T(2024, 3, 9, 20, 59, 59));
    StartRecorder(
        "Reserve01=2024/03/09 21:00:002024/03/09 21:30:00"
        "0021\n"
        "Reserve02=W0000011   06:00:00W0000011   07:00:00"
        "0001\n");  // weekdays; 2024-03-09 is a Saturday
    TFormQuillor& f = *form;
    At(T(2024, 3, 9, 21));
    ASSERT_TRUE(RunEventsUntil([&] { return f.Flags.IsRecording; }));
    At(T(2024, 3, 9, 21, 30, 1, 1));
    ASSERT_TRUE(RunEventsUntil([&] { return !power->calls.empty(); }));
    EXPECT_EQ(power->calls, std::vector<int>{2});
    // Monday 06:00, less PowerOnSec (2) and the boot margin (120 s).
    EXPECT_EQ(wake_alarms, std::vector<DateTime>{T(2024, 3, 11, 5, 57, 58)});
}

// The service runs the timetable while the window records by hand: not on the deck the service
// records on (refused, said why); on the other deck it records, and the service's standby is not
// made meanwhile; a reservation due on the window's deck waits (the service says so) and starts
// once the window's recording has stopped.
TEST_F(ReservationScheduleTest, OneDeckOneRecorderBesideTheService) {
    At(T(2024, 3, 9, 20, 50));
    const std::string first =
        "2024/03/09 20:50:002024/03/09 20:55:00"
        "0021first";  // then standby
    const std::string news =
        "2024/03/09 21:00:002024/03/09 22:00:00"
        "0001news";
    WriteIni("[Capture]\nDevice=0\nSaveDir=" + (out.path() / "").string() +
             "\nTrimPacket=0\nTS192_EXT=.ts\nReserve01=" + first + "\nReserve02=" + news + "\n");
    TimetableLock runner(TimetableLockPath(ini));  // as `schedule` takes it
    ASSERT_TRUE(runner.TryAcquire(TimetableRunner::Service));
    GraphHost service_decks;
    for (int i = 0; i < 2; ++i) {
        VirtualDeckConfig c;
        c.file = test::SamplePath("sample-sd-192.ts").string();
        c.tape_file = (out / "service.tape").string();
        c.fast = true;
        service_decks.AddDeck(std::make_shared<VirtualDeck>(c));
    }
    std::vector<std::string> log;
    FakePower service_power;
    test::WriteFile(out / "wakealarm", {'0', '\n'});
    WakeAlarm alarm(out / "wakealarm", false, [&](const std::string& l) { log.push_back(l); });
    ScheduleServiceOptions so;
    so.settings_path = ini;
    so.default_folder = (out.path() / "").string();
    ScheduleService service(
        service_decks, *clock, service_power, alarm,
        [&](const std::string& l) { log.push_back(l); }, so);
    ASSERT_TRUE(service.Begin());
    auto said = [&](const std::string& text) {
        return std::any_of(log.begin(), log.end(),
                           [&](const std::string& l) { return l.find(text) != std::string::npos; });
    };
    auto all = [&] {
        std::string text;
        for (const auto& l : log) text += l + "\n";
        return text;
    };
    service.Tick();
    ASSERT_TRUE(service.Recording());  // "first", on deck 0
    StartWindow(English(), 2);
    TFormQuillor& f = *form;
    ASSERT_FALSE(f.RunsTimetable());
    f.cmbVid->setCurrentIndex(0);
    f.cmbVidClick();
    f.edtTime->setText("30");
    f.btnRec->click();
    EXPECT_FALSE(f.Flags.IsRecording) << "the window recorded beside the service's reservation";
    ASSERT_FALSE(messages.empty());
    EXPECT_TRUE(messages.back().text.startsWith("Not started: the service (process "))
        << messages.back().text.toStdString();

    // On the other deck it records; "first" then ends, and its standby waits for nobody: it is
    // not made while the window records.
    f.cmbVid->setCurrentIndex(1);
    f.cmbVidClick();
    f.btnRec->click();
    ASSERT_TRUE(f.Flags.IsRecording);
    At(T(2024, 3, 9, 20, 55, 2));
    service.Tick();
    ASSERT_FALSE(service.Recording());
    EXPECT_TRUE(service_power.calls.empty()) << all();
    EXPECT_TRUE(said("power action standby not made: the window (process ")) << all();
    f.btnStopClick();

    // The window records on deck 0; "news" falls due there and waits for it.
    f.cmbVid->setCurrentIndex(0);
    f.cmbVidClick();
    f.btnRec->click();
    ASSERT_TRUE(f.Flags.IsRecording);
    At(T(2024, 3, 9, 21));
    service.Tick();
    service.Tick();
    EXPECT_FALSE(service.Recording()) << all();
    EXPECT_TRUE(said("waits: 2024/03/09 21:00:00 - 2024/03/09 22:00:00 \"news\" (the window "))
        << all();
    f.btnStopClick();
    At(T(2024, 3, 9, 21, 0, 1));
    service.Tick();
    EXPECT_TRUE(service.Recording()) << all();
    service.End();
}

// While the service runs the timetable, the window writes back only what the person changed: an
// edit opened before the service started the record is refused at Reg. (never stored as waiting),
// a new record keeps the service's statuses, the running record cannot be deleted, and the
// statuses the service writes never throw away what is being typed.
TEST_F(ReservationScheduleTest, WindowBesideTheServiceWritesOnlyWhatThePersonChanged) {
    At(T(2024, 3, 9, 20, 50));
    TimetableLock service(TimetableLockPath(ini));
    ASSERT_TRUE(service.TryAcquire(TimetableRunner::Service));
    const std::string news =
        "2024/03/09 21:00:002024/03/09 22:00:00"
        "0001news";
    const std::string late =
        "2024/03/09 23:00:002024/03/09 23:30:00"
        "0001late";
    const std::string head = "[Capture]\nDevice=0\nSaveDir=" + (out.path() / "").string() +
                             "\nTrimPacket=0\nTS192_EXT=.ts\n";
    StartRecorder("Reserve01=" + news + "\nReserve02=" + late + "\n");
    TFormQuillor& f = *form;
    ASSERT_FALSE(f.RunsTimetable());
    f.chkTimer->setChecked(true);
    SelectRow(1);
    page().btnEditClick();
    ASSERT_TRUE(page().EditingReservation);
    f.edtFileResv->setText("renamed");

    // The service starts "news" and writes so; the person then presses Reg.
    WriteIni(head + "Reserve01=" + WithStatus(news, RecordStatus::Running) + "\nReserve02=" + late +
             "\n");
    ASSERT_TRUE(Ticks());
    EXPECT_EQ(f.edtFileResv->text(), "renamed");  // the typing is not thrown away
    page().btnAddClick();
    EXPECT_EQ(Stored(1), WithStatus(news, RecordStatus::Running));
    EXPECT_EQ(Stored(2), late);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back().text, "The reservation under present execution is uncorrectable");
    page().btnEscClick();

    // A new record typed while the service writes a status: the typing stays, and Reg. adds it
    // beside the service's statuses.
    SelectRow(2);
    f.edtFileResv->setText("typed");
    WriteIni(head + "Reserve01=" + WithStatus(news, RecordStatus::Running) +
             "\nReserve02=" + WithStatus(late, RecordStatus::Aborted) + "\n");
    ASSERT_TRUE(Ticks());
    EXPECT_EQ(f.edtFileResv->text(), "typed");
    Register(T(2024, 3, 10, 9), T(2024, 3, 10, 10), "added");
    EXPECT_EQ(Stored(1), WithStatus(news, RecordStatus::Running));
    EXPECT_EQ(Stored(2), WithStatus(late, RecordStatus::Aborted));
    EXPECT_EQ(Stored(3),
              "2024/03/10 09:00:002024/03/10 10:00:00"
              "0001added");
    // The service writes a status and the person registers at once, before the window has looked
    // at the file again: the service's status is not written over.
    WriteIni(head + "Reserve01=" + WithStatus(news, RecordStatus::Done) +
             "\nReserve02=" + WithStatus(late, RecordStatus::Aborted) + "\nReserve03=" +
             "2024/03/10 09:00:002024/03/10 10:00:00"
             "0001added\n");
    Register(T(2024, 3, 11, 9), T(2024, 3, 11, 10), "more");
    EXPECT_EQ(Stored(1), WithStatus(news, RecordStatus::Done));
    EXPECT_EQ(Stored(4),
              "2024/03/11 09:00:002024/03/11 10:00:00"
              "0001more");
    EXPECT_EQ(page().CellText(2, 1), "Done");
    WriteIni(head + "Reserve01=" + WithStatus(news, RecordStatus::Running) +
             "\nReserve02=" + WithStatus(late, RecordStatus::Aborted) + "\nReserve03=" +
             "2024/03/10 09:00:002024/03/10 10:00:00"
             "0001added\nReserve04=" +
             "2024/03/11 09:00:002024/03/11 10:00:00"
             "0001more\n");
    ASSERT_TRUE(Ticks());

    // The running record is never offered for deletion.
    messages.clear();
    SelectRow(1);
    answers = {QMessageBox::Yes};
    page().btnDelClick();
    EXPECT_EQ(Stored(1), WithStatus(news, RecordStatus::Running));
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back().text, "The reservation under present execution cannot be deleted.");

    // The service starts a record between the window's last look at the file and Reg. of its
    // edit: the file itself is looked at as it is written, and the edit refused.
    const std::string added =
        "2024/03/10 09:00:002024/03/10 10:00:00"
        "0001added";
    SelectRow(3);
    ASSERT_EQ(page().CellText(0, 3), "2024/03/10 09:00:00");
    page().btnEditClick();
    ASSERT_TRUE(page().EditingReservation);
    f.edtFileResv->setText("again");
    WriteIni(head + "Reserve01=" + WithStatus(news, RecordStatus::Done) +
             "\nReserve02=" + WithStatus(late, RecordStatus::Aborted) +
             "\nReserve03=" + WithStatus(added, RecordStatus::Running) + "\n");
    messages.clear();
    page().btnAddClick();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back().text, "The reservation under present execution is uncorrectable");
    EXPECT_EQ(Stored(3), WithStatus(added, RecordStatus::Running));
    EXPECT_EQ(Stored(1), WithStatus(news, RecordStatus::Done));
}

TEST_F(ReservationScheduleTest, WhileTheServiceRunsTheTimetableTheWindowOnlyFollowsIt) {
    At(T(2024, 3, 9, 21, 10));
    TimetableLock service(TimetableLockPath(ini));
    ASSERT_TRUE(service.TryAcquire(TimetableRunner::Service));
    const std::string running =
        "2024/03/09 21:00:002024/03/09 22:00:00"
        "1001news.ts";
    const std::string due =
        "2024/03/09 21:05:002024/03/09 23:00:00"
        "0001other";
    StartRecorder("Reserve01=" + running + "\nReserve02=" + due + "\n");
    TFormQuillor& f = *form;
    EXPECT_FALSE(f.RunsTimetable());
    // The service's running record is shown and kept as it stands, not aborted.
    EXPECT_EQ(page().CellText(2, 1), "Run");
    EXPECT_EQ(Stored(1), running);
    ASSERT_TRUE(Ticks());
    EXPECT_FALSE(f.Flags.IsRecording);  // the due reservation is the service's to start
    EXPECT_EQ(page().CellText(2, 2), "");

    // What the service writes shows up.
    WriteIni("[Capture]\nDevice=0\nSaveDir=" + (out.path() / "").string() +
             "\nTrimPacket=0\nTS192_EXT=.ts\nReserve01=" + WithStatus(running, RecordStatus::Done) +
             "\nReserve02=" + WithStatus(due, RecordStatus::Running) + "\n");
    ASSERT_TRUE(RunEventsUntil([&] { return page().CellText(2, 1) == "Done"; }));
    EXPECT_EQ(page().CellText(2, 2), "Run");
    // An edit from the window goes into the file, where the service reads it.
    Register(T(2024, 3, 10, 9), T(2024, 3, 10, 10), "edited");
    EXPECT_EQ(Stored(3),
              "2024/03/10 09:00:002024/03/10 10:00:00"
              "0001edited");
    EXPECT_EQ(Stored(2), WithStatus(due, RecordStatus::Running));
    EXPECT_FALSE(f.Flags.IsRecording);

    // The service ends, leaving its record running: the window takes the timetable over, aborts
    // that record as the next runner does, and runs what falls due.
    service.Release();
    ASSERT_TRUE(RunEventsUntil([&] { return f.RunsTimetable(); }));
    EXPECT_EQ(page().CellText(2, 2), "Abort");
    EXPECT_EQ(Stored(2), WithStatus(due, RecordStatus::Aborted));
    EXPECT_EQ(WhoRunsTimetable(TimetableLockPath(ini)), TimetableRunner::Window);
    At(T(2024, 3, 10, 9));
    ASSERT_TRUE(RunEventsUntil([&] { return f.Flags.IsRecording; }));
    EXPECT_EQ(f.Recording()->State().ReserveFileName, "edited");
    f.btnStop->click();
}

}  // namespace
}  // namespace tessaline
