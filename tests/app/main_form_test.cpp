// The main window on the offscreen platform, driven as a person would: start-up with and without a
// deck, the launch switches, the option boxes and the settings file, control states, captions.
#include "app/main_form.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <QAbstractButton>
#include <QApplication>
#include <QTabBar>
#include <QTest>
#include <filesystem>

#include "app/captions.h"
#include "app/termination.h"
#include "capture/ds_capture.h"
#include "tests/app/window_test_support.h"
#include "tests/support/test_support.h"

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// A click on a check box's indicator, as a person makes it.
void Click(QCheckBox* box) {
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
}

TEST_F(MainFormTest, StartsWithDefaultsWhenThereIsNoSettingsFile) {
    Start(Make());
    TFormQuillor& f = *form;
    EXPECT_TRUE(f.chkIFrame->isChecked());
    EXPECT_TRUE(f.chkTrimPacket->isChecked());
    EXPECT_TRUE(f.chkSyncByte->isChecked());
    EXPECT_TRUE(f.chkFolder->isChecked());
    EXPECT_FALSE(f.chkPES->isChecked());
    EXPECT_FALSE(f.chkDateFormat->isChecked());
    for (QLineEdit* ext : {f.edtPSExt, f.edtTS188Ext, f.edtTS192Ext})
        EXPECT_EQ(ext->text(), ".mpg");
    EXPECT_EQ(f.edtTime->text(), "30");
    EXPECT_EQ(f.edtNameFormat->text(), "YYMMDDHHNNSS");
    EXPECT_EQ(f.edtDateFormat->text(), "YYYYMMDD");
    EXPECT_EQ(f.edtRec->text(), "10000");
    EXPECT_EQ(f.sgTimer->RowCount(), 31);
    EXPECT_EQ(f.sbStatus->Text(3), "TS-188");
    EXPECT_EQ(f.sbStatus->Text(4), "PTS");
    EXPECT_EQ(f.pnlDir->text(), " " + kFolder);
    EXPECT_EQ(f.pnlOutDir->text(), " " + kFolder);
    EXPECT_EQ(f.Settings.SaveDir, kFolder.toStdString());
    EXPECT_EQ(f.Settings.PowerOnSec, -2);
    EXPECT_EQ(f.pgPage->currentWidget(), f.TabSheet1);
    EXPECT_EQ(f.windowTitle(), "D-VHS Tessaline v" + TFormQuillor::GetFileVersionText());
    EXPECT_EQ(f.size(), QSize(685, 453));
    EXPECT_EQ(f.minimumSize(), f.maximumSize());  // fixed

    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, "ERROR");
    EXPECT_EQ(messages[0].text, "Cannot find capture device");
    EXPECT_EQ(messages[0].icon, QMessageBox::Critical);
    EXPECT_FALSE(fs::exists(ini));  // nothing is written while starting without a device

    // The stream layer sees the loaded options.
    EXPECT_TRUE(f.Stream().options.TrimPacket);
    EXPECT_FALSE(f.Stream().options.ConvPES);
    EXPECT_TRUE(f.Stream().options.CheckPts);
    EXPECT_TRUE(f.Stream().options.SyncByte);
}

TEST_F(MainFormTest, CaptionsFollowTheSystemLanguage) {
    Start(Make(Japanese()));
    EXPECT_FALSE(form->Flags.UseEnglish);
    for (const Caption& c : kCaptions) EXPECT_EQ(CaptionOf(c.name), Q(c.japanese)) << c.name;
    EXPECT_EQ(form->cmbPower->itemText(0), "なし");
    EXPECT_EQ(form->cmbPower->itemText(4), "パワーオフ");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, "エラー");
    EXPECT_EQ(messages[0].text, "キャプチャデバイスが見つかりません。");
    Restart(Make(QLocale(QLocale::German, QLocale::Germany)));  // anything but Japanese
    EXPECT_TRUE(form->Flags.UseEnglish);
    for (const Caption& c : kCaptions) {
        EXPECT_EQ(CaptionOf(c.name), Q(c.english.empty() ? c.japanese : c.english)) << c.name;
    }
    EXPECT_EQ(form->cmbPower->count(), 5);
    EXPECT_EQ(form->cmbPower->itemText(0), "none");
    EXPECT_EQ(form->cmbPower->itemText(4), "power off");
}

// No caption may be cut or run into a neighbour, in either language, with the CJK font.
TEST_F(MainFormTest, CaptionsFitTheirControls) {
    for (const QLocale& locale : {Japanese(), QLocale(QLocale::English)}) {
        Restart(Make(locale));
        ExpectLayoutFits(*form);
        EXPECT_LE(form->pgPage->tabBar()->sizeHint().width(), form->pgPage->width());
    }
}

TEST_F(MainFormTest, WithoutADeviceOnlyBatchWritingAndFolderOpenStayUsable) {
    Start(Make());
    TFormQuillor& f = *form;
    EXPECT_FALSE(f.Flags.DeviceReady);
    for (QWidget* w : std::initializer_list<QWidget*>{
             f.btnRec,        f.btnStop,           f.btnTimeAdd,         f.edtTime,
             f.lblTime,       f.chkFileName,       f.edtFileName,        f.chkPES,
             f.chkTrimPacket, f.chkIFrame,         f.chkPrivateStream,   f.chkPowerOn,
             f.chkPowerOff,   f.chkFileExist,      f.chkSyncByte,        f.chkAddDelay,
             f.chkTaskTray,   f.chkReservePowerOn, f.chkReservePowerOff, f.chkDateFormat,
             f.edtDateFormat, f.edtPSExt,          f.edtNameFormat,      f.lblNameFormat2,
             f.btnDir}) {
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    }
    for (QWidget* w : std::initializer_list<QWidget*>{
             f.btnFolderOpen, f.cmbVid, f.edtOpen, f.btnOpen, f.btnPID, f.btnStart, f.chkFolder,
             f.btnOutDir, f.edtFile, f.btnWrtStart, f.sgWrite, f.edtRec}) {
        EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
    }
    EXPECT_FALSE(f.btnWrtStop->isEnabled());
    EXPECT_FALSE(f.edtSave->isEnabled());  // the output folder is fixed by default
    EXPECT_FALSE(f.edtSave->acceptDrops());
    EXPECT_EQ(FieldColourOf(f.edtPSExt), FieldColour::ButtonFace);
    EXPECT_EQ(FieldColourOf(f.edtOpen), FieldColour::Window);
}

TEST_F(MainFormTest, BatchJobAndRecordingLockTheRightControls) {
    Start(Make(English(), {}, 1));
    TFormQuillor& f = *form;
    ASSERT_TRUE(f.Flags.DeviceReady);
    EXPECT_TRUE(f.btnRec->isEnabled());
    EXPECT_TRUE(f.chkPES->isEnabled());

    f.chkFolder->setChecked(false);
    f.Flags.IsRemuxing = true;
    f.UpdateControlStates();
    EXPECT_FALSE(f.cmbVid->isEnabled());
    EXPECT_EQ(FieldColourOf(f.cmbVid), FieldColour::ButtonFace);
    for (QWidget* w : std::initializer_list<QWidget*>{
             f.btnRec, f.edtTime, f.chkPES, f.btnDir, f.edtFile, f.btnWrtStart, f.sgWrite,
             f.edtOpen, f.btnPID, f.sgList, f.btnRemuxAdd, f.chkFolder, f.btnOutDir}) {
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    }
    EXPECT_TRUE(f.btnStart->isEnabled());
    EXPECT_TRUE(f.edtSave->isEnabled());
    EXPECT_TRUE(f.btnSave->isEnabled());
    EXPECT_TRUE(f.edtSave->acceptDrops());
    EXPECT_EQ(FieldColourOf(f.edtOpen), FieldColour::ButtonFace);
    EXPECT_EQ(FieldColourOf(f.edtFile), FieldColour::ButtonFace);

    f.Flags.IsRemuxing = false;
    f.Flags.IsRecording = true;
    f.sbStatus->SetText(0, "Recording");
    f.UpdateControlStates();
    EXPECT_TRUE(f.btnStop->isEnabled());
    EXPECT_TRUE(f.btnTimeAdd->isEnabled());
    EXPECT_FALSE(f.btnRec->isEnabled());
    EXPECT_FALSE(f.edtTime->isEnabled());
    EXPECT_FALSE(f.chkFileName->isEnabled());
    EXPECT_FALSE(f.btnStart->isEnabled());
    EXPECT_FALSE(f.btnWrtStop->isEnabled());
    EXPECT_TRUE(f.sbStatus->Text(0).isEmpty());  // every update empties the first panel
}

TEST_F(MainFormTest, DeviceBoxListsTheDecksAndOpensTheChosenOne) {
    Start(Make(English(), {}, 2));
    TFormQuillor& f = *form;
    ASSERT_EQ(f.cmbVid->count(), 2);
    EXPECT_EQ(f.cmbVid->itemText(0), "Virtual AV/C Tape Subunit (Tessaline Virtual Deck #1)");
    EXPECT_EQ(f.cmbVid->itemText(1), "Virtual AV/C Tape Subunit (Tessaline Virtual Deck #2)");
    EXPECT_TRUE(messages.empty());
    // Listed but none chosen yet (no saved index): usable, nothing opened, nothing written.
    EXPECT_TRUE(f.Flags.DeviceReady);
    EXPECT_TRUE(f.Flags.GrabberReady);
    EXPECT_EQ(f.cmbVid->currentIndex(), -1);
    EXPECT_FALSE(f.Capture()->HasDeviceFilter());
    EXPECT_FALSE(fs::exists(ini));

    // Choosing a deck opens it and saves its index.
    f.cmbVid->setCurrentIndex(1);
    emit f.cmbVid->activated(1);
    EXPECT_TRUE(f.Capture()->HasDeviceFilter());
    EXPECT_EQ(f.Capture()->SelectedDeviceName(), f.cmbVid->itemText(1).toStdString());
    EXPECT_EQ(ReadIni().Get("Capture", "Device"), "1");
    EXPECT_TRUE(f.btnRec->isEnabled());

    // The saved deck is opened at the next start.
    Restart(Make(English(), {}, 2));
    EXPECT_EQ(form->cmbVid->currentIndex(), 1);
    EXPECT_TRUE(form->Capture()->HasDeviceFilter());
    form->close();
    EXPECT_EQ(form->Capture(), nullptr);  // released while closing
    EXPECT_FALSE(form->Flags.DeviceReady);
}

TEST_F(MainFormTest, MissingSampleGrabberMakesTheDeckUnusable) {
    TFormQuillor::Options options = Make(English(), {"-E"}, 0);
    auto bare = std::make_shared<GraphHost>(/*standard_filters=*/false);
    VirtualDeckConfig deck;
    deck.file = test::SamplePath("sample-sd-192.ts").string();
    bare->AddDeck(std::make_shared<VirtualDeck>(deck));
    options.framework = bare;
    Start(std::move(options));
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text, "SampleGrabberis not registered");
    EXPECT_EQ(messages[0].caption, "ERROR");
    EXPECT_EQ(messages[1].text, "Cannot find capture device");
    EXPECT_FALSE(form->Flags.DeviceReady);
    EXPECT_FALSE(form->Flags.GrabberReady);
    EXPECT_EQ(form->cmbVid->count(), 1);  // listed all the same
    EXPECT_FALSE(form->btnRec->isEnabled());
    EXPECT_FALSE(form->chkPES->isChecked());  // switches need a usable device
}

TEST_F(MainFormTest, LowerCaseSwitchSelectsProgramStream) {
    Start(Make(English(), {"-e"}, 1));
    TFormQuillor& f = *form;
    EXPECT_TRUE(f.chkPES->isChecked());
    EXPECT_TRUE(f.chkTrimPacket->isChecked());
    EXPECT_FALSE(f.chkTrimPacket->isEnabled());
    EXPECT_EQ(f.sbStatus->Text(3), "PS");
    EXPECT_TRUE(f.Stream().options.ConvPES);
    // The switch acts like a click, so it is saved at once.
    const IniFile saved = ReadIni();
    EXPECT_EQ(saved.Get("Capture", "ConvPES"), "1");
    EXPECT_EQ(saved.Get("Capture", "TrimPacket"), "1");
}

TEST_F(MainFormTest, LaterSwitchWins) {
    Start(Make(English(), {"-E", "-9"}, 1));
    TFormQuillor& f = *form;
    EXPECT_FALSE(f.chkPES->isChecked());
    EXPECT_FALSE(f.chkTrimPacket->isChecked());
    EXPECT_TRUE(f.chkTrimPacket->isEnabled());
    EXPECT_EQ(f.sbStatus->Text(3), "TS-192");
    EXPECT_FALSE(f.Stream().options.TrimPacket);
    EXPECT_FALSE(f.Stream().options.ConvPES);
    const IniFile saved = ReadIni();
    EXPECT_EQ(saved.Get("Capture", "ConvPES"), "0");
    EXPECT_EQ(saved.Get("Capture", "TrimPacket"), "0");

    Restart(Make(English(), {"-9", "-8", "-s", "-P", "-x", "E"}, 1));
    EXPECT_FALSE(form->chkPES->isChecked());
    EXPECT_TRUE(form->chkTrimPacket->isChecked());
    EXPECT_EQ(form->sbStatus->Text(3), "TS-188");
    // The start at launch failed (the saved folder does not exist): the switch was used by that
    // one attempt all the same, so that no later start is taken for the launch's.
    EXPECT_FALSE(form->Recording()->State().StartAtLaunch);
    EXPECT_TRUE(form->Recording()->State().PowerAtLaunch);
    EXPECT_FALSE(form->Flags.IsRecording);
}

TEST_F(MainFormTest, SwitchesNeedAUsableDevice) {
    Start(Make(English(), {"-E", "-S", "-P"}));
    EXPECT_FALSE(form->chkPES->isChecked());
    EXPECT_FALSE(form->Recording()->State().StartAtLaunch);
    EXPECT_FALSE(form->Recording()->State().PowerAtLaunch);
    EXPECT_FALSE(form->TThTime);  // no ticks without a usable deck
    EXPECT_EQ(form->sbStatus->Text(3), "TS-188");
}

TEST_F(MainFormTest, OptionTogglesWithoutDeviceReachTheFileOnlyAtClose) {
    WriteIni("[Capture]\nSyncByte=1\nLPCM=0\n");
    Start(Make());
    form->chkSyncByte->setChecked(false);  // as the handler of a click sees it
    form->chkPrivateStream->setChecked(true);
    form->chkPES->setChecked(true);
    EXPECT_FALSE(form->Stream().options.SyncByte);
    EXPECT_TRUE(form->Stream().options.CheckPrivateStream);
    EXPECT_EQ(ReadIni().Get("Capture", "SyncByte"), "1");
    EXPECT_EQ(ReadIni().Get("Capture", "ConvPES"), std::nullopt);
    form->close();
    EXPECT_TRUE(form->Closed());
    const IniFile saved = ReadIni();
    EXPECT_EQ(saved.Get("Capture", "SyncByte"), "0");
    EXPECT_EQ(saved.Get("Capture", "LPCM"), "1");
    EXPECT_EQ(saved.Get("Capture", "ConvPES"), "1");
}

TEST_F(MainFormTest, StoredValuesComeBackAndForeignKeysSurvive) {
    WriteIni(
        "; my notes\n[Capture]\nDevice=1\nLastTime=1234\nFileName=1\nLastFile=!  a!!b  !\n"
        "SaveDir=/rec/\nTrimPacket=0\nFULL=1\nLPCM=1\nPowerOn=1\nPowerOff=1\nPowerOnSec=7\n"
        "FileExists=1\nAddDelay=1\nAddDate=1\nDateFormat=YYMMDD\nSyncByte=0\nPS_EXT=.ps\n"
        "TS188_EXT=.ts\nTS192_EXT=.m2t\nNameFormat=\"rec\"YYYY\nFolder=0\nTaskTray=1\n"
        "ReservePowerOff=1\nReservePowerOn=1\nOutDir=/out/\nWait=2500\nMaxReserve=5\n"
        "Reserve01=W0111011   21:00:00W0111011   22:00:00001 1news\nUnknown=x\n\n[Other]\nA=1\n");
    const std::string before = ReadText();
    Start(Make(English(), {}, 2));
    TFormQuillor& f = *form;
    EXPECT_EQ(f.cmbVid->currentIndex(), 1);
    EXPECT_EQ(f.edtTime->text(), "1234");  // longer than can be typed, shown whole
    EXPECT_TRUE(f.chkFileName->isChecked());
    EXPECT_TRUE(f.edtFileName->isEnabled());
    EXPECT_EQ(f.edtFileName->text(), "  a!b  ");
    EXPECT_EQ(f.pnlDir->text(), " /rec/");
    EXPECT_FALSE(f.chkTrimPacket->isChecked());
    EXPECT_FALSE(f.chkIFrame->isChecked());
    EXPECT_EQ(f.sbStatus->Text(3), "TS-192");
    EXPECT_EQ(f.sbStatus->Text(4), "ALL");
    EXPECT_EQ(f.Settings.PowerOnSec, -7);
    EXPECT_TRUE(f.chkDateFormat->isChecked());
    EXPECT_TRUE(f.edtDateFormat->isEnabled());
    EXPECT_EQ(FieldColourOf(f.edtDateFormat), FieldColour::Window);
    EXPECT_TRUE(f.chkTaskTray->isChecked());
    EXPECT_FALSE(f.chkFolder->isChecked());
    EXPECT_TRUE(f.edtSave->isEnabled());
    EXPECT_EQ(f.edtRec->text(), "2500");
    EXPECT_EQ(f.sgTimer->RowCount(), 6);
    EXPECT_EQ(f.Settings.NameFormat, "\"rec\"YYYY");
    EXPECT_TRUE(f.Stream().options.CheckPrivateStream);
    EXPECT_FALSE(f.Stream().options.CheckPts);
    EXPECT_FALSE(f.Stream().options.SyncByte);
    form->close();

    // Saving writes back what was read; what it does not own stays as it was.
    const IniFile after = ReadIni();
    for (const char* key : {"Device", "LastTime", "FileName", "LastFile", "SaveDir", "TrimPacket",
                            "FULL", "LPCM", "PowerOnSec", "MaxReserve", "DateFormat", "PS_EXT",
                            "NameFormat", "Folder", "OutDir", "Wait", "Reserve01", "Unknown"}) {
        EXPECT_EQ(after.Get("Capture", key), IniFile::Parse(before).Get("Capture", key)) << key;
    }
    EXPECT_EQ(after.Get("Other", "A"), "1");
    EXPECT_EQ(ReadText().rfind("; my notes\n[Capture]\nDevice=1\n", 0), 0u);
}

// An index that today's list does not reach selects nothing, but stays in the file as stored, as
// with no deck at all: a second deck unplugged for one run is chosen again when it is back.
TEST_F(MainFormTest, DeviceIndexBeyondTheListSelectsNothingAndIsKept) {
    WriteIni("[Capture]\nDevice=15\n");  // loads as 9
    Start(Make(English(), {}, 2));
    EXPECT_EQ(form->Settings.DeviceIndex, -1);
    EXPECT_EQ(form->cmbVid->currentIndex(), -1);
    form->close();
    EXPECT_EQ(ReadIni().Get("Capture", "Device"), "15");

    WriteIni("[Capture]\nDevice=2\n");
    Restart(Make(English(), {}, 2));
    EXPECT_EQ(form->cmbVid->currentIndex(), -1);
    Click(form->chkFolder);  // saves at once
    EXPECT_EQ(ReadIni().Get("Capture", "Device"), "2");
    Restart(Make(English(), {}, 3));
    EXPECT_EQ(form->cmbVid->currentIndex(), 2);
    EXPECT_TRUE(form->Flags.DeviceReady);
    form->close();
    EXPECT_EQ(ReadIni().Get("Capture", "Device"), "2");
}

TEST_F(MainFormTest, StoredDeviceSurvivesARunWithoutDecks) {
    WriteIni("[Capture]\nDevice=1\n");
    Start(Make(English(), {}, 0));  // the deck unplugged for this run
    EXPECT_EQ(form->Settings.DeviceIndex, -1);
    EXPECT_EQ(form->cmbVid->currentIndex(), -1);
    Click(form->chkFolder);  // saves whatever the device state is
    form->close();
    EXPECT_EQ(ReadIni().Get("Capture", "Device"), "1");

    Restart(Make(English(), {}, 2));  // plugged in again: the deck is chosen as before
    EXPECT_EQ(form->cmbVid->currentIndex(), 1);
    EXPECT_TRUE(form->Flags.DeviceReady);
}

TEST_F(MainFormTest, FailedSaveIsReportedAndTheWindowStillCloses) {
    WriteIni("[Capture]\nSyncByte=1\n");
    ASSERT_EQ(::chmod(ini.c_str(), 0444), 0);
    Start(Make(Japanese()));
    messages.clear();
    form->chkSyncByte->setChecked(false);
    form->close();
    EXPECT_TRUE(form->Closed());
    EXPECT_FALSE(form->isVisible());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, "エラー");
    EXPECT_EQ(messages[0].text, Q(ini.string()) + " に書き込めません");
    EXPECT_EQ(ReadText(), "[Capture]\nSyncByte=1\n");
}

TEST_F(MainFormTest, ClosingBeforeTheStartUpLeavesTheFileAlone) {
    WriteIni("[Capture]\nLastTime=90\nSyncByte=0\n");
    TFormQuillor early(Make());  // e.g. a SIGTERM before the window was first shown
    early.CloseUnattended();
    EXPECT_TRUE(early.Closed());
    EXPECT_EQ(ReadText(), "[Capture]\nLastTime=90\nSyncByte=0\n");
    early.FormActivate();  // and nothing starts after closing
    EXPECT_FALSE(early.Started());
}

TEST_F(MainFormTest, GarbageOrHugeSettingsFilesGiveDefaultsAndAreNeverDestroyed) {
    std::string garbage = "\xff\xfe[Capture]\nDevice=\x80\x81\nLastTime=9x\n";
    garbage += "\0\0\0LastFile=!\xc3\x28!\n[Capture\nTrimPacket"s;  // NULs, bad UTF-8, cut off
    WriteIni(garbage);
    Start(Make());
    EXPECT_EQ(form->edtTime->text(), "30");
    EXPECT_TRUE(form->chkTrimPacket->isChecked());
    form->close();
    const std::string after = ReadText();
    EXPECT_EQ(after.rfind(garbage, 0), 0u) << "the unreadable lines are kept";
    // The garbage holds no usable section header, so the settings went into a new one.
    EXPECT_EQ(ReadIni().Get("Capture", "LastTime"), "30");

    WriteIni("[Capture]\nDevice=1\n");
    fs::resize_file(ini, kMaxIniFileBytes + 10);
    Restart(Make());
    EXPECT_EQ(form->edtTime->text(), "30");
    messages.clear();
    form->close();
    EXPECT_EQ(fs::file_size(ini), kMaxIniFileBytes + 10);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Cannot write to " + Q(ini.string()));
}

TEST_F(MainFormTest, UnusableNameFormatIsReplacedAtStart) {
    WriteIni("[Capture]\nNameFormat=\"open quote\n");
    Start(Make());
    EXPECT_EQ(form->edtNameFormat->text(), "\"D\"YYMMDDHHNNSS");
    EXPECT_EQ(form->Settings.NameFormat, "\"D\"YYMMDDHHNNSS");
}

TEST_F(MainFormTest, StartUpRunsOncePerProcess) {
    Start(Make(English(), {}, 1));
    const int graphs = GraphsCreated();
    form->FormActivate();
    QEvent activate(QEvent::WindowActivate);
    QApplication::sendEvent(form.get(), &activate);
    form->hide();
    form->show();
    QApplication::processEvents();
    EXPECT_EQ(GraphsCreated(), graphs);
}

TEST_F(MainFormTest, FolderButtons) {
    Start(Make());
    chosen_folder = "/media/rec";
    form->btnDirClick();
    EXPECT_EQ(form->Settings.SaveDir, "/media/rec/");
    EXPECT_EQ(form->pnlDir->text(), " /media/rec/");
    EXPECT_FALSE(fs::exists(ini));  // no device: kept for this run
    chosen_folder.clear();          // cancel
    form->btnDirClick();
    EXPECT_EQ(form->Settings.SaveDir, "/media/rec/");
    form->btnFolderOpenClick();
    EXPECT_EQ(opened_folder, "/media/rec/");

    // The batch output folder and its box write whatever the device.
    chosen_folder = "/media/out/";
    form->btnOutDirClick();
    EXPECT_EQ(form->pnlOutDir->text(), " /media/out/");
    EXPECT_EQ(ReadIni().Get("Capture", "OutDir"), "/media/out/");
    EXPECT_EQ(ReadIni().Get("Capture", "SaveDir"), "/media/rec/");
    Click(form->chkFolder);
    EXPECT_EQ(ReadIni().Get("Capture", "Folder"), "0");
    EXPECT_TRUE(form->edtSave->isEnabled());
}

TEST_F(MainFormTest, OptionClicksWithADeviceSaveAtOnce) {
    Start(Make(English(), {}, 1));
    form->pgPage->setCurrentWidget(form->TabSheet5);
    Click(form->chkIFrame);
    EXPECT_EQ(form->sbStatus->Text(4), "ALL");
    EXPECT_EQ(ReadIni().Get("Capture", "FULL"), "1");
    Click(form->chkDateFormat);
    EXPECT_TRUE(form->edtDateFormat->isEnabled());
    EXPECT_EQ(ReadIni().Get("Capture", "AddDate"), "1");
    form->edtPSExt->setText(".vob");  // extension boxes change the field only
    EXPECT_EQ(form->Settings.PsExt, ".vob");
    EXPECT_EQ(ReadIni().Get("Capture", "PS_EXT"), ".mpg");
    Click(form->chkPES);
    EXPECT_EQ(ReadIni().Get("Capture", "PS_EXT"), ".vob");
    EXPECT_EQ(form->sbStatus->Text(3), "PS");
}

TEST_F(MainFormTest, TerminationSignalClosesLikeTheUser) {
    WriteIni("[Capture]\nSyncByte=1\n");
    Start(Make());
    CloseOnSessionEnd(*form);
    form->chkSyncByte->setChecked(false);
    ASSERT_EQ(::raise(SIGTERM), 0);
    for (int i = 0; i < 100 && !form->Closed(); ++i) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    EXPECT_TRUE(form->Closed());
    EXPECT_EQ(ReadIni().Get("Capture", "SyncByte"), "0");
}

// Run by CTest with LC_ALL set; TESSALINE_EXPECT_LANGUAGE says which captions must appear.
TEST(LocaleFromEnvironment, CaptionsFollowTheSystemLocale) {
    const QByteArray expect = qgetenv("TESSALINE_EXPECT_LANGUAGE");
    if (expect.isEmpty()) GTEST_SKIP() << "run by CTest with a locale in the environment";
    test::TempDir dir;
    TFormQuillor::Options options;
    options.settings_path = dir / "t.INI";
    options.default_folder = "/tmp/";
    options.message = [](auto...) { return QMessageBox::Ok; };
    options.framework = std::make_shared<GraphHost>();
    TFormQuillor form(std::move(options));
    form.FormActivate();
    EXPECT_EQ(form.Flags.UseEnglish, expect == "en");
    EXPECT_EQ(form.chkPES->text(), expect == "en" ? "Output PS" : "PSで出力");
}

}  // namespace
}  // namespace tessaline
