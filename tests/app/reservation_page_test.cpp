// The reservation page on the offscreen window: the editor's rules, the grid, the list in the
// settings file, and the schedule tick on a simulated clock against a virtual deck.
#include "app/reservation_page.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <deque>

#include "capture/framework.h"
#include "tests/app/window_test_support.h"

namespace tessaline {
namespace {

using namespace std::chrono;

LocalTime T(int y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0) {
    return LocalTime(local_days(year_month_day{year(y), month(mo), day(d)}).time_since_epoch() +
                     hours(h) + minutes(mi) + seconds(s));
}

class ReservationPageTest : public MainFormTest {
  protected:
    // A window whose question boxes take their answers from `answers` (No when none is left)
    // and whose reservation page runs on `now`.
    void StartWindow(const QLocale& locale = English(), int decks = 1) {
        TFormQuillor::Options o = Make(locale, {}, 0);
        for (int i = 0; i < decks; ++i) {
            VirtualDeckConfig deck;
            deck.file = test::SamplePath("sample-sd-192.ts").string();
            deck.power = ED_POWER_STANDBY;
            this->decks.push_back(framework->AddDeck(deck));
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
        Start(std::move(o));
        page().SetClock([this] { return now; });
        messages.clear();
    }
    TReservationPage& page() { return form->Reservations(); }
    // Fills the editor with a one-time reservation and presses Reg.
    void Register(LocalTime start, LocalTime end, const QString& name = {}, int power = 0) {
        TFormQuillor& f = *form;
        if (!f.chkTimer->isChecked()) f.chkTimer->setChecked(true);
        SetPickers(start, f.dpDateS, f.dpTimeS);
        SetPickers(end, f.dpDateE, f.dpTimeE);
        f.cmbPower->setCurrentIndex(power);
        f.edtFileResv->setText(name);
        f.btnAdd->click();
    }
    static void SetPickers(LocalTime t, QDateEdit* date, QTimeEdit* time) {
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

    LocalTime now = T(2024, 3, 6, 12, 0, 0);  // a Wednesday
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

TEST_F(ReservationPageTest, ScheduleTickWakesTheDeckAndStartsThroughRecordingControl) {
    StartWindow(English(), 2);
    ASSERT_TRUE(form->Flags.DeviceReady);
    std::vector<ReservationStart> starts;
    TReservationPage::RecorderHooks hooks;
    hooks.StartReservation = [&](const ReservationStart& s) {
        starts.push_back(s);
        form->Flags.IsRecording = true;
        return true;
    };
    page().SetRecorderHooks(hooks);
    WriteIni("");
    page().List().Add(BuildReservation(OneTimeField(T(2024, 3, 6, 21)),
                                       OneTimeField(T(2024, 3, 6, 22)),
                                       {1, PowerAction::Standby, false, "show"}));
    now = T(2024, 3, 6, 20, 59, 57);
    page().ScheduleTick();
    EXPECT_EQ(decks[1]->power(), ED_POWER_STANDBY);
    now = T(2024, 3, 6, 20, 59, 58);
    page().ScheduleTick();
    EXPECT_EQ(form->cmbVid->currentIndex(), 1);
    EXPECT_EQ(decks[1]->power(), ED_POWER_ON);
    EXPECT_EQ(decks[0]->power(), ED_POWER_STANDBY);
    EXPECT_TRUE(starts.empty());
    now = T(2024, 3, 6, 21, 0, 0);
    page().ScheduleTick();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].end, T(2024, 3, 6, 22, 0, 1));
    EXPECT_EQ(starts[0].file_name, "show");
    EXPECT_EQ(page().CellText(2, 1), "Run");
    EXPECT_EQ(Stored(1), "<missing>");  // running is not saved at once
}

TEST_F(ReservationPageTest, FailedStartIsUndoneAndSaved) {
    StartWindow();
    bool cleared = false;
    TReservationPage::RecorderHooks hooks;
    hooks.StartReservation = [](const ReservationStart&) { return false; };
    hooks.ClearReservationStart = [&] { cleared = true; };
    page().SetRecorderHooks(hooks);
    page().List().Add(
        BuildReservation(OneTimeField(T(2024, 3, 6, 12)), OneTimeField(T(2024, 3, 6, 13)), {}));
    page().ScheduleTick();
    EXPECT_TRUE(cleared);
    EXPECT_EQ(Stored(1),
              "2024/03/06 12:00:002024/03/06 13:00:00"
              "2001");
    EXPECT_FALSE(page().List().AnyRunning());
}

}  // namespace
}  // namespace tessaline
