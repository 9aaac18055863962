// The batch and writing tabs in the real window (offscreen), with files dropped on it: the buttons,
// dialogs, messages and control states around the runner and the deck writer, a conversion
// without any deck, writing to the virtual deck's tape, and closing while either runs.
#include <QApplication>
#include <QDropEvent>
#include <QMimeData>
#include <chrono>
#include <thread>

#include "app/batch_page.h"
#include "app/capture_settings.h"
#include "app/file_drops.h"
#include "app/tick_thread.h"
#include "app/write_page.h"
#include "capture/ds_capture.h"
#include "capture/pause.h"
#include "tests/app/window_test_support.h"

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

QString Sample(const char* name) {
    return QString::fromStdString(test::SamplePath(name).string());
}

class CountedSleeps final : public Sleeper {
  public:
    void SleepMs(int ms) override { sleeps.push_back(ms); }
    std::vector<int> sleeps;
};

class PagesTest : public MainFormTest {
  protected:
    PagesTest() { previous = SetPauseSleeper(&sleeper); }
    ~PagesTest() override { SetPauseSleeper(previous); }

    QString Out(const char* name) const { return QString::fromStdString((dir / name).string()); }

    // A window with one virtual deck that writes its tape into the test's folder.
    void StartWithDeck(const QLocale& locale = English()) {
        TFormQuillor::Options o = Make(locale, {}, 0);
        VirtualDeckConfig c;
        c.file = test::SamplePath("sample-sd-192.ts").string();
        c.tape_file = (dir / "deck.tape").string();
        c.fast = true;
        deck = framework->AddDeck(std::make_shared<VirtualDeck>(c));
        Start(std::move(o));
        form->cmbVid->setCurrentIndex(0);  // the settings chose no deck yet
        form->cmbVidClick();
        ASSERT_TRUE(form->Flags.DeviceReady);
        ASSERT_TRUE(form->Capture()->HasDeviceFilter());
    }

    // Drags the urls over target and drops them there, as the desktop would; true when the
    // drop was taken.
    bool Drop(QWidget* target, const QList<QUrl>& urls) {
        QMimeData data;
        data.setUrls(urls);
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &drop);
        return enter.isAccepted() && drop.isAccepted();
    }

    // Monitor ticks until the writing ends, boundedly.
    void TickUntilWritten() {
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (form->Flags.IsWriting && std::chrono::steady_clock::now() < deadline) {
            form->Monitor()->Run();  // the monitor tick's end-of-file step
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_FALSE(form->Flags.IsWriting);
    }

    std::vector<int> TransportModes() const {
        std::vector<int> out;
        for (const DeckCommand& c : deck->commands()) {
            if (c.kind == DeckCommand::Kind::Transport) out.push_back(c.value);
        }
        return out;
    }

    CountedSleeps sleeper;
    Sleeper* previous = nullptr;
    std::shared_ptr<VirtualDeck> deck;
};

TEST_F(PagesTest, DialogsHaveTheirTitlesAndFilters) {
    Start(Make());
    TBatchPage& batch = form->BatchPage();
    TWritePage& write = form->WritePage();
    EXPECT_EQ(batch.dlgOpen->objectName(), "dlgOpen");
    EXPECT_EQ(batch.dlgOpen->fileMode(), QFileDialog::ExistingFile);
    EXPECT_EQ(batch.dlgOpen->nameFilters(),
              QStringList({"MPEG Files (*.mpg *.m2t *.ts)", "All Files (*)"}));
    EXPECT_EQ(batch.dlgSave->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_FALSE(batch.dlgSave->testOption(QFileDialog::DontConfirmOverwrite));
    EXPECT_EQ(batch.dlgSave->nameFilters(),
              QStringList({"MPEG Files (*.mpg *.m2t)", "All Files (*)"}));
    EXPECT_EQ(write.dlgOpen2->windowTitle(), "Select MPEG2-TS File");
    EXPECT_EQ(write.dlgOpen2->nameFilters(),
              QStringList({"MPEG2 Files (*.mpg *.m2t *.ts)", "All Files (*)"}));
    EXPECT_EQ(write.dlgOpen2->defaultSuffix(), "mpg");

    QString answer = "/a/b.ts";
    batch.RunDialog = [&](QFileDialog&) { return answer; };
    form->btnOpen->click();
    EXPECT_EQ(form->edtOpen->text(), "/a/b.ts");
    answer.clear();  // cancel changes nothing
    form->btnOpen->click();
    EXPECT_EQ(form->edtOpen->text(), "/a/b.ts");
    form->chkFolder->setChecked(false);
    answer = "/out/c.mpg";
    form->btnSave->click();
    EXPECT_EQ(form->edtSave->text(), "/out/c.mpg");

    write.RunDialog = [](QFileDialog& d) { return d.objectName() == "dlgOpen2" ? "/w/1.ts" : ""; };
    form->btnFile->click();
    EXPECT_EQ(form->edtFile->text(), "/w/1.ts");
    EXPECT_EQ(form->sgWrite->Cell(0, 1), "/w/1.ts");
}

TEST_F(PagesTest, EmptyJobListAsksForAJobInEitherLanguage) {
    Start(Make(English()));
    messages.clear();  // "Cannot find capture device"
    form->btnStart->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, "ERROR");
    EXPECT_EQ(messages[0].icon, QMessageBox::Critical);
    EXPECT_EQ(messages[0].text, "Please Add Job.");
    Restart(Make(Japanese()));
    messages.clear();
    form->btnStart->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, "ERROR");
    EXPECT_EQ(messages[0].text, Q("変換するファイルを「追加」ボタンで追加して下さい"));
}

TEST_F(PagesTest, JobButtonsEditTheGrid) {
    Start(Make());
    TFormQuillor& f = *form;
    f.chkFolder->setChecked(false);
    f.edtOpen->setText(Out("missing.ts"));
    f.btnRemuxAdd->click();  // no such file: nothing
    EXPECT_EQ(f.sgList->Cell(0, 1), "");
    for (const char* name : {"sample-sd.ts", "sample-ac3.ts", "sample-hd-192.ts"}) {
        f.edtOpen->setText(Sample(name));
        f.edtSave->setText(Out(name));
        f.btnRemuxAdd->click();
    }
    EXPECT_EQ(f.sgList->RowCount(), 4);
    EXPECT_EQ(f.sgList->Cell(1, 2), Out("sample-ac3.ts"));
    EXPECT_EQ(f.edtOpen->text(), Sample("sample-hd-192.ts"));  // the boxes keep their texts
    f.sgList->SetRow(3);
    f.btnRemuxDel->click();  // the last of three: stays, empty
    EXPECT_EQ(f.sgList->RowCount(), 4);
    EXPECT_EQ(f.sgList->Cell(0, 3), "");
    f.btnRemuxAdd->click();  // Add fills it
    EXPECT_EQ(f.sgList->RowCount(), 4);
    EXPECT_EQ(f.sgList->Cell(0, 3), Sample("sample-hd-192.ts"));
    f.sgList->SetRow(1);
    f.btnRemuxDel->click();
    EXPECT_EQ(f.sgList->RowCount(), 3);
    EXPECT_EQ(f.sgList->Cell(0, 1), Sample("sample-ac3.ts"));
    f.btnRemuxClear->click();
    EXPECT_EQ(f.sgList->RowCount(), 2);
    EXPECT_EQ(f.sgList->Cell(0, 1), "");
    EXPECT_TRUE(f.BatchPage().Jobs().IsEmpty());
}

// No deck at all: the jobs convert, the progress bar moves, the Data Info time stamps come, and
// the outputs are the command-line tool's.
TEST_F(PagesTest, ConversionWithoutADeckShowsProgressAndMatchesTheCommandLine) {
    Start(Make());
    TFormQuillor& f = *form;
    ASSERT_FALSE(f.Flags.DeviceReady);
    messages.clear();  // "Cannot find capture device"
    // Fixed output folder equal to the input's folder: the job's output is its input; skipped.
    const fs::path input = dir / "in.ts";
    fs::copy_file(test::SamplePath("sample-sd.ts"), input);
    f.Settings.OutDir = dir.path().string() + "/";
    f.chkFolder->setChecked(true);
    f.edtOpen->setText(QString::fromStdString(input.string()));
    f.btnRemuxAdd->click();
    EXPECT_EQ(f.sgList->Cell(1, 1), f.sgList->Cell(0, 1));
    f.chkFolder->setChecked(false);
    f.edtOpen->setText(Sample("sample-hd-192.ts"));
    f.edtSave->setText(Out("hd.mpg"));
    f.btnRemuxAdd->click();
    f.edtPIDV->setText("G");  // not hexadecimal: searched for

    int highest = 0;
    int ticked = 0;  // the progress the monitor tick's batch step shows
    bool locked = true;
    QString picture;
    auto pump = f.Stream().file.pump;
    f.Stream().file.pump_interval = {};
    f.Stream().file.pump = [&] {
        pump();
        highest = std::max(highest, f.prbProc->value());
        // The monitor tick during the conversion: the batch step and the Data Info page.
        if (f.Flags.IsRemuxing) {
            f.prbProc->setValue(0);
            f.Monitor()->Run();
            ticked = std::max(ticked, f.prbProc->value());
            if (!f.pnlVSize->text().isEmpty()) picture = f.pnlVSize->text();
        }
        if (f.Flags.IsRemuxing) {
            locked = locked && f.btnStart->isEnabled() && !f.edtOpen->isEnabled() &&
                     !f.btnWrtStart->isEnabled() && !f.btnPID->isEnabled();
        }
    };
    ASSERT_EQ(f.TThTime, nullptr);
    f.btnStart->click();
    EXPECT_GT(highest, 0);
    EXPECT_GT(ticked, 0);
    EXPECT_TRUE(locked);
    EXPECT_NE(f.TThTime, nullptr);  // the monitor ticks although there is no deck
    EXPECT_EQ(picture, "1440 x 1080");
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(fs::file_size(input), fs::file_size(test::SamplePath("sample-sd.ts")));
    EXPECT_EQ(f.edtOpen->text(), "");
    EXPECT_EQ(f.edtSave->text(), "");
    EXPECT_EQ(f.edtPIDV->text(), "0");
    EXPECT_EQ(f.edtPIDA->text(), "0");
    EXPECT_EQ(f.prbProc->value(), 0);
    EXPECT_FALSE(f.Flags.IsRemuxing);
    EXPECT_TRUE(f.edtOpen->isEnabled());
    EXPECT_FALSE(f.pnlVPTS->text().isEmpty());
    EXPECT_FALSE(f.pnlEAPTS->text().isEmpty());

    const std::string cli = std::string(TESSALINE_CLI) + " remux --quiet " +
                            test::ShellQuote(test::SamplePath("sample-hd-192.ts").string()) + " " +
                            test::ShellQuote((dir / "cli.mpg").string());
    ASSERT_EQ(test::RunCommand(cli).exit_code, 0);
    EXPECT_EQ(test::ReadFile(dir / "hd.mpg"), test::ReadFile(dir / "cli.mpg"));
}

TEST_F(PagesTest, PidSearchShowsFourDigitsAndRestoresTheControls) {
    Start(Make());
    TFormQuillor& f = *form;
    f.edtOpen->setText(Sample("sample-hd-192.ts"));
    f.btnPID->click();
    EXPECT_EQ(f.edtPIDV->text(), "0100");
    EXPECT_EQ(f.edtPIDA->text(), "0101");
    EXPECT_TRUE(f.btnPID->isEnabled());
    EXPECT_TRUE(f.edtOpen->isEnabled());
    EXPECT_FALSE(f.edtSave->isEnabled());  // the fixed output folder still holds
    f.edtOpen->setText(Sample("sample-ac3.ts"));
    f.btnPID->click();
    EXPECT_EQ(f.edtPIDV->text(), "0");
    EXPECT_EQ(f.edtPIDA->text(), "0");
    EXPECT_TRUE(f.btnOpen->isEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// Closing the window while a job runs aborts it: the output is closed where it got to and the
// next job does not start.
TEST_F(PagesTest, ClosingDuringAConversionAbortsIt) {
    Start(Make());
    TFormQuillor& f = *form;
    f.chkFolder->setChecked(false);
    for (const char* name : {"sample-hd-192.ts", "sample-sd.ts"}) {
        f.edtOpen->setText(Sample(name));
        f.edtSave->setText(Out(name));
        f.btnRemuxAdd->click();
    }
    int pumps = 0;
    f.Stream().file.pump_interval = {};
    f.Stream().file.pump = [&] {
        if (f.Flags.IsRemuxing && ++pumps == 30) f.close();
    };
    f.btnStart->click();
    EXPECT_TRUE(f.Closed());
    ASSERT_TRUE(fs::exists(dir / "sample-hd-192.ts"));
    EXPECT_LT(fs::file_size(dir / "sample-hd-192.ts"),
              fs::file_size(test::SamplePath("sample-hd-192.ts")) / 2);
    EXPECT_FALSE(fs::exists(dir / "sample-sd.ts"));
    EXPECT_FALSE(f.Flags.IsRemuxing);
}

// Closing during a PID search (whose reads let the window's events in) ends the search at its
// next read, so that the program can end instead of reading on, hidden, to the file's end.
TEST_F(PagesTest, ClosingDuringAPidSearchEndsIt) {
    Start(Make());
    TFormQuillor& f = *form;
    // Null packets only: no PES start anywhere, so the search would read all of them.
    test::Bytes packet(188, 0xFF);
    packet[0] = 0x47;
    packet[1] = 0x1F;
    packet[3] = 0x10;
    test::Bytes nulls;
    for (int i = 0; i < 20000; ++i) test::Append(nulls, packet);
    test::WriteFile(dir / "nulls.ts", nulls);
    f.edtOpen->setText(Out("nulls.ts"));
    int pumps = 0, after_close = 0;
    f.Stream().file.pump_interval = {};
    f.Stream().file.pump = [&] {
        if (f.Closed()) {
            ++after_close;
        } else if (++pumps == 3) {
            f.CloseUnattended();  // as SIGTERM or the end of the session does
        }
    };
    f.btnPID->click();
    EXPECT_TRUE(f.Closed());
    EXPECT_LE(after_close, 1);
    EXPECT_EQ(f.edtPIDV->text(), "0");
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(PagesTest, WriteListButtons) {
    StartWithDeck();
    TFormQuillor& f = *form;
    TWritePage& w = f.WritePage();
    f.btnWrtStart->click();  // empty list: nothing at all
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(deck->commands().empty());
    EXPECT_FALSE(f.Flags.IsWriting);

    w.AddWriteFile("/a.ts");
    EXPECT_EQ(f.sgWrite->RowCount(), 2);
    f.sgWrite->SetRow(1);
    f.btnWrtDel->click();  // the only file: two rows, row 1 empty
    EXPECT_EQ(f.sgWrite->RowCount(), 2);
    EXPECT_EQ(f.sgWrite->Cell(0, 1), "");
    for (const char* p : {"/a.ts", "/b.ts", "/c.ts"}) w.AddWriteFile(p);
    f.sgWrite->SetRow(1);
    f.btnWrtDel->click();
    EXPECT_EQ(f.edtFile->text(), "/b.ts");  // the row that moved up
    EXPECT_EQ(f.sgWrite->RowCount(), 3);
    w.AddWriteFile("/d.ts");
    EXPECT_EQ(f.sgWrite->Cell(0, 3), "/d.ts");
    EXPECT_EQ(w.CountListedFiles(), 3);
    f.btnWrtClear->click();
    EXPECT_EQ(f.sgWrite->RowCount(), 2);
    EXPECT_EQ(f.edtFile->text(), "");
    EXPECT_EQ(w.CountListedFiles(), 0);
}

TEST_F(PagesTest, WritingTwoFilesWithRecStartPutsThemOnTape) {
    StartWithDeck();
    TFormQuillor& f = *form;
    const test::Bytes sd = test::ReadFile(test::SamplePath("sample-sd-192.ts"));
    test::WriteFile(dir / "one.ts", test::Bytes(sd.begin(), sd.begin() + 192 * 300));
    test::WriteFile(dir / "two.ts", test::Bytes(sd.begin() + 192 * 300, sd.begin() + 192 * 600));
    f.WritePage().AddWriteFile(Out("one.ts"));
    f.WritePage().AddWriteFile(Out("two.ts"));
    f.chkRec->setChecked(true);
    f.edtRec->setText("500");
    f.btnWrtStart->click();
    ASSERT_TRUE(f.Flags.IsWriting);
    EXPECT_EQ(sleeper.sleeps, (std::vector<int>{1000, 1000}));
    EXPECT_EQ(f.edtFile->text(), Out("one.ts"));
    // While writing only STOP is usable on the tab; recording and batch cannot start.
    EXPECT_TRUE(f.btnWrtStop->isEnabled());
    for (QWidget* w : std::initializer_list<QWidget*>{f.btnWrtStart, f.edtFile, f.btnFile,
                                                      f.sgWrite, f.btnRec, f.btnStart}) {
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    }
    TickUntilWritten();
    EXPECT_EQ(f.edtFile->text(), Out("two.ts"));
    EXPECT_EQ(TransportModes(),
              (std::vector<int>{ED_MODE_RECORD_FREEZE, ED_MODE_RECORD, ED_MODE_STOP}));
    EXPECT_EQ(test::ReadFile(dir / "deck.tape"), test::Bytes(sd.begin(), sd.begin() + 192 * 600));
    EXPECT_TRUE(f.btnWrtStart->isEnabled());
    EXPECT_FALSE(f.btnWrtStop->isEnabled());
    EXPECT_EQ(f.Capture()->AddedCount(), 0u);
    EXPECT_TRUE(messages.empty());

    // "2500" is taken as it is.
    sleeper.sleeps.clear();
    f.edtRec->setText("2500");
    f.btnWrtStart->click();
    EXPECT_EQ(sleeper.sleeps, (std::vector<int>{2500, 1000}));
    f.btnWrtStop->click();
    EXPECT_FALSE(f.Flags.IsWriting);
    EXPECT_EQ(TransportModes().back(), ED_MODE_STOP);
}

// A stream the deck ends with an error (here it cannot write its tape) ends the writing with a
// message naming the deck and the file, and the tape stopped.
TEST_F(PagesTest, WritingWhoseStreamBreaksOffEndsWithAMessage) {
    fs::create_directory(dir / "deck.tape");
    StartWithDeck();
    TFormQuillor& f = *form;
    f.WritePage().AddWriteFile(Sample("sample-sd.ts"));
    f.WritePage().AddWriteFile(Sample("sample-sd.ts"));
    f.chkRec->setChecked(true);
    f.btnWrtStart->click();
    ASSERT_TRUE(f.Flags.IsWriting);
    TickUntilWritten();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].icon, QMessageBox::Critical);
    EXPECT_EQ(messages[0].text, "Writing to the deck stopped: " + f.cmbVid->currentText() +
                                    " ended the stream with error 3 while playing " +
                                    Sample("sample-sd.ts") + ".");
    EXPECT_EQ(TransportModes().back(), ED_MODE_STOP);
    EXPECT_TRUE(f.btnWrtStart->isEnabled());
    EXPECT_EQ(f.WritePage().List().Current(), 1);
}

TEST_F(PagesTest, StartFailureStopsAndShowsTheDesignedBox) {
    StartWithDeck();
    TFormQuillor& f = *form;
    f.WritePage().AddWriteFile(Sample("sample-sd.ts"));
    f.chkRec->setChecked(true);
    int stops = 0;
    f.WritePage().RecordingStop = [&] { ++stops; };
    framework->Fail(GraphOp::PutMode, kE_FAIL, 1);
    f.btnWrtStart->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, "Error");
    EXPECT_EQ(messages[0].icon, QMessageBox::NoIcon);
    EXPECT_EQ(messages[0].text, "Record Pause Error !");
    EXPECT_EQ(stops, 1);
    EXPECT_FALSE(f.Flags.IsWriting);
    EXPECT_TRUE(f.btnWrtStart->isEnabled());
}

TEST_F(PagesTest, ClosingWhileWritingStopsTheTape) {
    StartWithDeck();
    TFormQuillor& f = *form;
    f.WritePage().AddWriteFile(Sample("sample-sd-192.ts"));
    f.chkRec->setChecked(true);
    f.chkRepeat->setChecked(true);
    f.btnWrtStart->click();
    ASSERT_TRUE(f.Flags.IsWriting);
    f.close();
    EXPECT_FALSE(f.Flags.IsWriting);
    EXPECT_EQ(TransportModes().back(), ED_MODE_STOP);
    f.WritePage().OnWriteTick();  // after the close: nothing, no controller to reach
}

TEST_F(PagesTest, DroppedFilesGoWhereTheyMayWhole) {
    StartWithDeck();
    TFormQuillor& f = *form;
    const QString long_path = "/" + QString(300, 'x') + "/" + QString(200, 'y') + ".ts";
    const QList<QUrl> three = {QUrl::fromLocalFile(long_path), QUrl::fromLocalFile("/two.ts"),
                               QUrl::fromLocalFile("/three.ts")};
    EXPECT_TRUE(Drop(f.edtOpen, three));
    EXPECT_EQ(f.edtOpen->text(), long_path);  // the first file, whole

    EXPECT_FALSE(Drop(f.edtOpen, {QUrl("https://example.com/a.ts")}));
    EXPECT_EQ(f.edtOpen->text(), long_path);

    ASSERT_TRUE(f.chkFolder->isChecked());  // a fixed output folder takes no drops
    EXPECT_FALSE(Drop(f.edtSave, {QUrl::fromLocalFile("/out.mpg")}));
    EXPECT_EQ(f.edtSave->text(), "");
    f.chkFolder->setChecked(false);
    EXPECT_TRUE(Drop(f.edtSave, {QUrl::fromLocalFile("/out.mpg")}));
    EXPECT_EQ(f.edtSave->text(), "/out.mpg");

    EXPECT_TRUE(Drop(f.TabSheet4, three));
    EXPECT_TRUE(Drop(f.edtFile, {QUrl::fromLocalFile("/second.ts")}));
    EXPECT_EQ(f.sgWrite->Cell(0, 1), long_path);
    EXPECT_EQ(f.sgWrite->Cell(0, 2), "/second.ts");
    EXPECT_EQ(f.sgWrite->RowCount(), 3);
    EXPECT_EQ(f.edtFile->text(), "/second.ts");

    // While the file box is disabled (writing, converting), the tab takes no drops.
    f.Flags.IsRemuxing = true;
    f.UpdateControlStates();
    EXPECT_FALSE(Drop(f.TabSheet4, {QUrl::fromLocalFile("/late.ts")}));
    EXPECT_EQ(f.sgWrite->RowCount(), 3);
    f.Flags.IsRemuxing = false;
    f.UpdateControlStates();
}

// "Verify after writing": off unless the file says so, kept under a key of its own that a
// file of someone who never ticked it does not get, and a write that could not be proved is
// not started at all.
TEST_F(PagesTest, VerifyAfterWritingIsKeptApartAndAWriteThatCannotBeProvedIsNotStarted) {
    StartWithDeck();
    TFormQuillor& f = *form;
    ASSERT_NE(f.chkVerify, nullptr);
    EXPECT_FALSE(f.chkVerify->isChecked());
    ASSERT_TRUE(f.SaveSettings());
    EXPECT_FALSE(ReadIni().Get(kSettingsSection, settings_key::kWriteVerify));

    const test::Bytes sd = test::ReadFile(test::SamplePath("sample-sd-192.ts"));
    test::WriteFile(dir / "one.ts", test::Bytes(sd.begin(), sd.begin() + 192 * 300));
    f.WritePage().AddWriteFile(Out("one.ts"));
    f.chkVerify->setChecked(true);
    f.btnWrtStart->click();  // without Rec. Start nothing would be on tape to verify
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].icon, QMessageBox::Critical);
    EXPECT_TRUE(messages[0].text.startsWith("Verify after writing needs Rec. Start"));
    // The virtual deck keeps no tape counter: it could not be wound back to the write's start.
    messages.clear();
    f.chkRec->setChecked(true);
    f.btnWrtStart->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].text.startsWith("Nothing was written: the write cannot be verified:"))
        << messages[0].text.toStdString();
    EXPECT_TRUE(messages[0].text.contains("keeps no tape counter"));
    EXPECT_FALSE(f.Flags.IsWriting);
    EXPECT_TRUE(TransportModes().empty());
    EXPECT_FALSE(std::filesystem::exists(dir / "deck.tape"));

    ASSERT_TRUE(f.SaveSettings());
    EXPECT_EQ(ReadIni().Get(kSettingsSection, settings_key::kWriteVerify), "1");
    Restart(Make(Japanese()));
    EXPECT_TRUE(form->chkVerify->isChecked());
    form->chkVerify->setChecked(false);
    ASSERT_TRUE(form->SaveSettings());
    EXPECT_EQ(ReadIni().Get(kSettingsSection, settings_key::kWriteVerify), "0");
}

// What a verification found goes in the list's status column, row by row, in the window's
// language; a file that differs also raises a box with the details.
TEST_F(PagesTest, TheStatusColumnShowsWhatTheVerificationFound) {
    StartWithDeck(Japanese());
    TFormQuillor& f = *form;
    TWritePage& w = f.WritePage();
    w.AddWriteFile("/v/one.ts");
    w.AddWriteFile("/v/two.ts");
    w.AddWriteFile("/v/three.ts");
    messages.clear();
    VerifyOutcome outcome;
    outcome.files.resize(3);
    outcome.files[0].path = "/v/one.ts";
    outcome.files[0].verdict = FileComparison::Verdict::Verified;
    outcome.files[1].path = "/v/two.ts";
    outcome.files[1].verdict = FileComparison::Verdict::Differs;
    outcome.files[1].has_difference = true;
    outcome.files[1].missing = 166;
    outcome.files[1].packets = 6701;
    outcome.files[2].path = "/v/three.ts";
    outcome.files[2].error = "the deck refused to play";
    w.ShowVerifyOutcome(outcome);
    EXPECT_EQ(f.sgWrite->Cell(1, 1), Q("一致"));
    EXPECT_EQ(f.sgWrite->Cell(1, 2), Q("相違"));
    EXPECT_EQ(f.sgWrite->Cell(1, 3), Q("読めず"));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].icon, QMessageBox::Warning);
    EXPECT_TRUE(messages[0].text.contains("1 of 3 files verified, 1 differs, 1 not read back"));
    EXPECT_TRUE(messages[0].text.contains("/v/two.ts: differs from byte 0"));
    // Deleting a row takes its status with it; a new START clears them all.
    f.sgWrite->SetRow(1);
    w.btnWrtDelClick();
    EXPECT_EQ(f.sgWrite->Cell(1, 1), Q("相違"));

    messages.clear();
    outcome.files.erase(outcome.files.begin() + 1, outcome.files.end());
    w.ShowVerifyOutcome(outcome);
    EXPECT_TRUE(messages.empty()) << "all verified: the column says it";
}

}  // namespace
}  // namespace tessaline
