// The settings record between the file and the controls, and the handlers of the settings tab.
#include "app/main_form.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QUrl>
#include <cstdio>

#include "app/captions.h"
#include "app/qt_text.h"

namespace tessaline {

// ---- Settings ------------------------------------------------------------------------------

void TFormQuillor::LoadSettings() {
    loading_ = true;
    IniReadResult read = ReadIniFile(settings_path_);
    if (read.status != IniReadStatus::Ok) read.file = IniFile();  // defaults for everything
    const TCaptureSettings s = ReadCaptureSettings(read.file, S(default_folder_));

    Settings.DeviceIndex = s.DeviceIndex;
    Settings.RecordMinutes = s.RecordMinutes;
    edtTime->setText(QString::number(s.RecordMinutes));
    chkFileName->setChecked(s.UseFileName);
    Settings.UseFileName = s.UseFileName;
    Settings.LastFile = s.LastFile;
    edtFileName->setText(Q(s.LastFile));
    Settings.NameFormat = s.NameFormat;
    edtNameFormat->setText(Q(s.NameFormat));
    Settings.SaveDir = s.SaveDir;
    Settings.TrimPacket = s.TrimPacket;
    chkTrimPacket->setChecked(s.TrimPacket);
    Settings.MaxReserve = s.MaxReserve;
    sgTimer->SetRowCount(s.MaxReserve + 1);
    Settings.PowerOn = s.PowerOn;
    chkPowerOn->setChecked(s.PowerOn);
    Settings.PowerOff = s.PowerOff;
    chkPowerOff->setChecked(s.PowerOff);
    Settings.PowerOnSec = s.PowerOnSec;
    Settings.ConvPES = s.ConvPES;
    chkPES->setChecked(s.ConvPES);
    Settings.CheckPrivateStream = s.CheckPrivateStream;
    chkPrivateStream->setChecked(s.CheckPrivateStream);
    Settings.CheckPts = s.CheckPts;
    chkIFrame->setChecked(s.CheckPts);
    Settings.SyncByte = s.SyncByte;
    chkSyncByte->setChecked(s.SyncByte);
    edtTS188Ext->setText(Q(s.Ts188Ext));
    edtTS192Ext->setText(Q(s.Ts192Ext));
    edtPSExt->setText(Q(s.PsExt));
    Settings.CheckFileExists = s.CheckFileExists;
    chkFileExist->setChecked(s.CheckFileExists);
    Settings.AddDelay = s.AddDelay;
    chkAddDelay->setChecked(s.AddDelay);
    // These four boxes go through the opposite state first, so that their handlers run (and the
    // state that hangs on them is applied) whatever the box showed before.
    const std::pair<QCheckBox*, bool> forced[] = {{chkTaskTray, s.TaskTray},
                                                  {chkReservePowerOn, s.ReservePowerOn},
                                                  {chkReservePowerOff, s.ReservePowerOff},
                                                  {chkDateFormat, s.AddDate}};
    for (const auto& [check, value] : forced) {
        check->setChecked(!value);
        check->setChecked(value);
    }
    Settings.DateFormat = s.DateFormat;
    edtDateFormat->setText(Q(s.DateFormat));
    Settings.OutDir = s.OutDir;
    pnlOutDir->setText(" " + Q(s.OutDir));
    Settings.FixedOutFolder = s.FixedOutFolder;
    chkFolder->setChecked(s.FixedOutFolder);
    Settings.RecStartWait = s.RecStartWait;
    edtRec->setText(Q(s.RecStartWait));
    chkVerify->setChecked(read.file.Get(kSettingsSection, settings_key::kWriteVerify) == "1");

    ApplyEnglishCaptions();
    ShowOutputModePanel();
    ShowCheckPanel();
    SyncStreamOptions();
    loading_ = false;
    loaded_ = true;
}

TCaptureSettings TFormQuillor::SettingsFromControls() const {
    TCaptureSettings s = Settings;  // the fields not shown by a control: the folders
    s.DeviceIndex = cmbVid->currentIndex();
    s.UseFileName = chkFileName->isChecked();
    s.TrimPacket = chkTrimPacket->isChecked();
    s.CheckPts = chkIFrame->isChecked();
    s.CheckPrivateStream = chkPrivateStream->isChecked();
    bool number = false;
    const int minutes = edtTime->text().trimmed().toInt(&number);
    s.RecordMinutes = number ? minutes : 0;
    s.LastFile = S(edtFileName->text());
    s.ConvPES = chkPES->isChecked();
    s.PowerOn = chkPowerOn->isChecked();
    s.PowerOff = chkPowerOff->isChecked();
    s.CheckFileExists = chkFileExist->isChecked();
    s.AddDelay = chkAddDelay->isChecked();
    s.AddDate = chkDateFormat->isChecked();
    s.DateFormat = S(edtDateFormat->text());
    s.SyncByte = chkSyncByte->isChecked();
    s.PsExt = S(edtPSExt->text());
    s.Ts188Ext = S(edtTS188Ext->text());
    s.Ts192Ext = S(edtTS192Ext->text());
    s.NameFormat = S(edtNameFormat->text());
    s.FixedOutFolder = chkFolder->isChecked();
    s.TaskTray = chkTaskTray->isChecked();
    s.ReservePowerOff = chkReservePowerOff->isChecked();
    s.ReservePowerOn = chkReservePowerOn->isChecked();
    s.RecStartWait = S(edtRec->text());
    return s;
}

bool TFormQuillor::SaveSettings() {
    const TCaptureSettings snapshot = SettingsFromControls();
    const bool verify = chkVerify->isChecked();
    // Read again and written back in one step under the file's lock: keys written meanwhile by
    // others (the service's statuses, a person with an editor) survive this save. A file that
    // cannot be read is not written over.
    std::string error;
    const bool ok = UpdateIniFile(
        settings_path_,
        [&](IniFile& ini, std::string&) {
            // With no device selected (none listed, or the stored one not among today's, such as
            // a second deck unplugged) the stored index stays for the next run.
            WriteCaptureSettings(ini, snapshot, cmbVid->currentIndex() < 0);
            if (verify || ini.Get(kSettingsSection, settings_key::kWriteVerify)) {
                ini.Set(kSettingsSection, settings_key::kWriteVerify, verify ? "1" : "0");
            }
            return true;
        },
        &error);
    if (ok) return true;
    const QString text =
        Q(Pick(kMsgCannotWrite, Flags.UseEnglish)).replace("%s", Q(settings_path_.string()));
    if (unattended_) {
        std::fprintf(stderr, "tessaline: %s (%s)\n", text.toLocal8Bit().constData(), error.c_str());
    } else {
        Message(QMessageBox::Critical, kCaptionError, text);
    }
    return false;
}

void TFormQuillor::SaveIfDeviceReady() {
    if (Flags.DeviceReady) SaveSettings();
}

void TFormQuillor::SyncStreamOptions() {
    StreamOptions& o = stream_->options;
    o.TrimPacket = Settings.TrimPacket;
    o.ConvPES = Settings.ConvPES;
    o.CheckPts = Settings.CheckPts;
    o.CheckPrivateStream = Settings.CheckPrivateStream;
    o.SyncByte = Settings.SyncByte;
}

void TFormQuillor::ShowOutputModePanel() {
    sbStatus->SetText(3, Settings.ConvPES ? "PS" : (Settings.TrimPacket ? "TS-188" : "TS-192"));
}

void TFormQuillor::ShowCheckPanel() {
    sbStatus->SetText(4, Settings.CheckPts ? "PTS" : "ALL");
}

// ---- Settings tab --------------------------------------------------------------------------

void TFormQuillor::chkPESClick() {
    if (chkPES->isChecked()) {
        chkTrimPacket->setChecked(true);
        chkTrimPacket->setEnabled(false);
        Settings.ConvPES = true;
    } else {
        chkTrimPacket->setEnabled(true);
        Settings.ConvPES = false;
    }
    ShowOutputModePanel();
    SyncStreamOptions();
    SaveIfDeviceReady();
}

void TFormQuillor::chkTrimPacketClick() {
    Settings.TrimPacket = chkTrimPacket->isChecked();
    sbStatus->SetText(3, Settings.TrimPacket ? "TS-188" : "TS-192");
    SyncStreamOptions();
    SaveIfDeviceReady();
}

void TFormQuillor::chkIFrameClick() {
    Settings.CheckPts = chkIFrame->isChecked();
    ShowCheckPanel();
    SyncStreamOptions();
    SaveIfDeviceReady();
}

void TFormQuillor::chkPrivateStreamClick() {
    Settings.CheckPrivateStream = chkPrivateStream->isChecked();
    SyncStreamOptions();
    SaveIfDeviceReady();
}

void TFormQuillor::chkPowerOnClick() {
    Settings.PowerOn = chkPowerOn->isChecked();
    SaveIfDeviceReady();
}

void TFormQuillor::chkPowerOffClick() {
    Settings.PowerOff = chkPowerOff->isChecked();
    SaveIfDeviceReady();
}

void TFormQuillor::chkFileExistClick() {
    Settings.CheckFileExists = chkFileExist->isChecked();
    SaveIfDeviceReady();
}

void TFormQuillor::chkSyncByteClick() {
    Settings.SyncByte = chkSyncByte->isChecked();
    SyncStreamOptions();
    SaveIfDeviceReady();
}

void TFormQuillor::chkAddDelayClick() {
    Settings.AddDelay = chkAddDelay->isChecked();
    SaveIfDeviceReady();
}

void TFormQuillor::chkTaskTrayClick() {
    Settings.TaskTray = chkTaskTray->isChecked();
    SaveIfDeviceReady();
}

void TFormQuillor::chkReservePowerOffClick() {
    Settings.ReservePowerOff = chkReservePowerOff->isChecked();
    SaveIfDeviceReady();
}

void TFormQuillor::chkReservePowerOnClick() {
    Settings.ReservePowerOn = chkReservePowerOn->isChecked();
    SaveIfDeviceReady();
}

void TFormQuillor::chkDateFormatClick() {
    const bool checked = chkDateFormat->isChecked();
    Settings.AddDate = checked;
    lblDateFormat->setEnabled(checked);
    edtDateFormat->setEnabled(checked);
    SetFieldColour(edtDateFormat, checked ? FieldColour::Window : FieldColour::ButtonFace);
    SaveIfDeviceReady();
}

void TFormQuillor::edtNameFormatChange() {
    Settings.NameFormat = S(edtNameFormat->text());
}
void TFormQuillor::edtPSExtChange() {
    Settings.PsExt = S(edtPSExt->text());
}
void TFormQuillor::edtTS188ExtChange() {
    Settings.Ts188Ext = S(edtTS188Ext->text());
}
void TFormQuillor::edtTS192ExtChange() {
    Settings.Ts192Ext = S(edtTS192Ext->text());
}

bool TFormQuillor::ChooseFolder(std::string& folder) {
    const QString title = Q(kFolderDialogTitle);
    const QString start = Q(folder);
    const QString chosen =
        options_.choose_folder
            ? options_.choose_folder(this, title, start)
            : QFileDialog::getExistingDirectory(this, title, start, QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty()) return false;
    folder = S(chosen.endsWith('/') ? chosen : chosen + '/');
    return true;
}

void TFormQuillor::btnDirClick() {
    if (!ChooseFolder(Settings.SaveDir)) return;
    pnlDir->setText(" " + Q(Settings.SaveDir));
    SaveIfDeviceReady();
}

void TFormQuillor::btnFolderOpenClick() {
    const QString folder = Q(Settings.SaveDir);
    if (options_.open_folder) {
        options_.open_folder(folder);
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder))) {
        const MessageText text = {"%s を開けません", "Cannot open folder %s"};
        Message(QMessageBox::Critical, kCaptionError,
                Q(Pick(text, Flags.UseEnglish)).replace("%s", folder));
    }
}

void TFormQuillor::chkFolderClick() {
    Settings.FixedOutFolder = chkFolder->isChecked();
    UpdateControlStates();
    if (!loading_) SaveSettings();
}

void TFormQuillor::btnOutDirClick() {
    if (!ChooseFolder(Settings.OutDir)) return;
    pnlOutDir->setText(" " + Q(Settings.OutDir));
    SaveSettings();
}

}  // namespace tessaline
