// The program's one window: device box, recording bar, the five pages and the status bar. It owns
// the settings record, the run-state flags, the stream context and the capture controller for the
// whole run, and runs the start-up and closing sequences. Control fields and handlers keep the
// names of the design (btnRecClick, chkPESClick, ...); they are public so that tests can drive the
// window as a person would.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTimeEdit>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/captions.h"
#include "app/capture_settings.h"
#include "app/control_states.h"
#include "app/task_tray_icon.h"
#include "app/widgets.h"
#include "capture/device_box.h"
#include "capture/framework.h"
#include "recording/clock.h"
#include "recording/monitor_tick.h"
#include "recording/power_actions.h"
#include "recording/recorder_registry.h"
#include "recording/recording_control.h"
#include "recording/timetable.h"
#include "recording/timetable_lock.h"
#include "stream/capture_data_path.h"
#include "stream/stream_context.h"

namespace tessaline {

class CDSCapture;
class DeckDriver;
class ComboDeviceBox;
class TBatchPage;
class TFileDrops;
class TWritePage;
class RecordingSequence;
class TDataInfoPage;
class TRecordingBar;
class TReservationPage;
class TickThread;
class WindowMessageSink;

class TFormQuillor : public QWidget {
    Q_OBJECT
  public:
    // Everything the window takes from its surroundings, replaceable for tests.
    struct Options {
        QStringList arguments;                // the switches, without the program name
        std::optional<QLocale> locale;        // the system locale when not given
        std::filesystem::path settings_path;  // SettingsPathForThisProcess() when empty
        QString default_folder;               // the video folder when empty; ends in "/"
        // Message boxes; returns the button pressed. A QMessageBox when not given.
        std::function<QMessageBox::StandardButton(QMessageBox::Icon, const QString& caption,
                                                  const QString& text,
                                                  QMessageBox::StandardButtons buttons)>
            message;
        // Folder dialog: the chosen folder, or an empty text on cancel.
        std::function<QString(QWidget* owner, const QString& title, const QString& start)>
            choose_folder;
        // Opens a folder in the desktop's file manager.
        std::function<void(const QString& folder)> open_folder;
        // The media framework; this machine's decks and the virtual deck of the environment
        // (TESSALINE_VIRTUAL_DECK) when not given.
        std::shared_ptr<MediaFramework> framework;
        // The notification area: the desktop's (QSystemTrayIcon) when not given.
        std::function<std::unique_ptr<TrayShell>()> tray_shell;
        // Whether the desktop has a notification area; asks Qt when not given.
        std::function<bool()> tray_available;
        // The clock of recording control and the ticks; the machine's clock when not given.
        std::shared_ptr<Clock> clock;
        // The computer power actions after a reservation; systemd-logind when not given (printed,
        // not made, with TESSALINE_POWER=dry-run).
        std::shared_ptr<PowerActions> power_actions;
        // Sets the computer's wake alarm before a power action; the real-time clock's (printed
        // with TESSALINE_POWER=dry-run, another file with TESSALINE_RTC) when not given.
        std::function<void(Instant at)> set_wake_alarm;
    };

    explicit TFormQuillor(Options options = {});
    ~TFormQuillor() override;

    static QString GetFileVersionText();
    static QString DefaultFolder();  // the user's video folder (else home) with a trailing "/"

    // ---- Life cycle ------------------------------------------------------------------------
    void FormCreate();
    void FormShow();
    void FormActivate();  // the start-up sequence; runs once per process
    void FormCloseQuery();
    // Closing for the end of the session or a termination signal: the same steps as the user's
    // close, but a failed save is reported on standard error, as nobody may be there to answer.
    void CloseUnattended();
    bool Started() const { return started_; }
    bool Closed() const { return closed_; }

    // ---- Tray and hand-over (main_form_shell.cpp) -------------------------------------------
    // The window was minimised: with TaskTray on (and a notification area to go to) it hides and
    // ttTask appears instead. Returns whether it went to the tray.
    bool HandleSysCommand();
    void ttTaskClick();  // back from the tray
    bool InTray() const { return ttTask && ttTask->Visible(); }
    // A second start asked this copy to show itself: restored when minimised and brought to the
    // front; hidden in the tray it stays there, and the icon says that the program already runs.
    void HandOver();
    // ... with its switches: "-S" starts a recording as this copy's own "-S" would, when nothing
    // records (-P: the deck switched on first); "-P" alone switches the deck on.
    void HandOverSwitches(const QStringList& switches);

    // ---- Settings --------------------------------------------------------------------------
    void LoadSettings();
    bool SaveSettings();  // false (after reporting it) when the file could not be written
    const std::filesystem::path& SettingsPath() const { return settings_path_; }

    // ---- Control states and captions -------------------------------------------------------
    void UpdateControlStates();
    void ApplyEnglishCaptions();

    // ---- Device box ------------------------------------------------------------------------
    bool FillDeviceList();
    void cmbVidClick();

    // ---- Recording bar and ticks -----------------------------------------------------------
    void btnRecClick();
    void btnStopClick();
    void btnTimeAddClick();
    void chkFileNameClick();
    // Recording control and the monitor tick; none after closing. The batch and deck-writing
    // pages plug in through Monitor()->BatchProgress and ->WriteToDeckEndOfFile.
    RecordingControl* Recording() { return closed_ ? nullptr : recording_.get(); }
    MonitorTick* Monitor() { return timetable_ ? &timetable_->Monitor() : nullptr; }
    // The schedule and monitor ticks with recording control and the busy gate; the ticks, the
    // recording bar, the launch switches and closing all go through it.
    Timetable* Schedule() { return timetable_.get(); }
    TDataInfoPage& DataInfoPage() { return *data_info_page_; }
    // The tick threads; none until the start-up has found a usable deck.
    std::unique_ptr<TickThread> TThTime;
    std::unique_ptr<TickThread> TThTimer;
    // Creates and starts TThTime, then TThTimer (once; the start-up does it when a deck is
    // usable), and stops both, waiting for them (closing does it).
    void StartTicks();
    void StopTicks();
    // Whether this window runs the timetable. While the service (tessaline-cli schedule) runs it,
    // the window shows the list and lets it be edited, but starts and stops nothing by itself.
    bool RunsTimetable() const { return runs_timetable_; }
    // Takes the timetable when nobody runs it; true when this window runs it afterwards.
    bool TakeTimetable();
    // Before a power action: whether it may be made (said on standard error when not: the next
    // reservation is too close), and the computer's wake alarm set for the next reservation.
    bool BeforePowerAction(int action);

    // ---- Settings tab ----------------------------------------------------------------------
    void chkPESClick();
    void chkTrimPacketClick();
    void chkIFrameClick();
    void chkPrivateStreamClick();
    void chkPowerOnClick();
    void chkPowerOffClick();
    void chkFileExistClick();
    void chkSyncByteClick();
    void chkAddDelayClick();
    void chkTaskTrayClick();
    void chkReservePowerOffClick();
    void chkReservePowerOnClick();
    void chkDateFormatClick();
    void edtNameFormatChange();
    void edtPSExtChange();
    void edtTS188ExtChange();
    void edtTS192ExtChange();
    void btnDirClick();
    void btnFolderOpenClick();
    // Batch tab pieces that belong to the settings.
    void chkFolderClick();
    void btnOutDirClick();

    // ---- Shared state ----------------------------------------------------------------------
    TCaptureSettings Settings;
    RunState Flags;
    StreamContext& Stream() { return *stream_; }
    CDSCapture* Capture() { return capture_.get(); }  // none after closing
    TReservationPage& Reservations() { return *reservations_; }
    TBatchPage& BatchPage() { return *batch_page_; }
    TWritePage& WritePage() { return *write_page_; }
    // The driver of the deck chosen in the device list; nullptr when there is none (or after
    // closing).
    DeckDriver* SelectedDeckDriver();
    TFileDrops& Drops() { return *drops_; }

    // ---- Controls --------------------------------------------------------------------------
    QGroupBox* grpGroup = nullptr;
    QComboBox* cmbVid = nullptr;
    QLineEdit* edtTime = nullptr;
    QLabel* lblTime = nullptr;
    QPushButton* btnRec = nullptr;
    QPushButton* btnStop = nullptr;
    QCheckBox* chkFileName = nullptr;
    QLineEdit* edtFileName = nullptr;
    QPushButton* btnTimeAdd = nullptr;
    QTabWidget* pgPage = nullptr;
    QWidget* TabSheet1 = nullptr;
    QWidget* TabSheet2 = nullptr;
    QWidget* TabSheet3 = nullptr;
    QWidget* TabSheet4 = nullptr;
    QWidget* TabSheet5 = nullptr;
    TStatusBar* sbStatus = nullptr;

    // Reservations.
    TStringGrid* sgTimer = nullptr;
    QCheckBox* chkTimer = nullptr;
    QGroupBox* gbTimer = nullptr;
    QLabel* lblWeek = nullptr;
    QCheckBox* chkWeekMon = nullptr;
    QCheckBox* chkWeekTue = nullptr;
    QCheckBox* chkWeekWed = nullptr;
    QCheckBox* chkWeekThu = nullptr;
    QCheckBox* chkWeekFri = nullptr;
    QCheckBox* chkWeekSat = nullptr;
    QCheckBox* chkWeekSun = nullptr;
    QCheckBox* chkSkip = nullptr;
    QLabel* lblStart = nullptr;
    QLabel* lblEnd = nullptr;
    QLabel* lblAfter = nullptr;
    QLabel* lblFileRsv = nullptr;
    QDateEdit* dpDateS = nullptr;
    QTimeEdit* dpTimeS = nullptr;
    QDateEdit* dpDateE = nullptr;
    QTimeEdit* dpTimeE = nullptr;
    QComboBox* cmbPower = nullptr;
    QLineEdit* edtFileResv = nullptr;
    QPushButton* btnAdd = nullptr;
    QPushButton* btnEsc = nullptr;
    QPushButton* btnEdit = nullptr;
    QPushButton* btnDel = nullptr;
    QPushButton* btnClear = nullptr;

    // Data Info.
    QLabel* pnlVSize = nullptr;
    QLabel* pnlVAspect = nullptr;
    QLabel* pnlVFrameRate = nullptr;
    QLabel* pnlVBitRate = nullptr;
    QLabel* pnlVPTS = nullptr;
    QLabel* pnlEVPTS = nullptr;
    QLabel* pnlDeltaVPTS = nullptr;
    QLabel* pnlALayer = nullptr;
    QLabel* pnlABitRate = nullptr;
    QLabel* pnlAFrequency = nullptr;
    QLabel* pnlDelay = nullptr;
    QLabel* pnlAPTS = nullptr;
    QLabel* pnlEAPTS = nullptr;
    QLabel* pnlDeltaAPTS = nullptr;

    // Batch conversion.
    QLabel* lblRemuxIN = nullptr;
    QLabel* lblRemuxOut = nullptr;
    QLineEdit* edtOpen = nullptr;
    QPushButton* btnOpen = nullptr;
    QLineEdit* edtSave = nullptr;
    QPushButton* btnSave = nullptr;
    QLineEdit* edtPIDV = nullptr;
    QLineEdit* edtPIDA = nullptr;
    QPushButton* btnPID = nullptr;
    QProgressBar* prbProc = nullptr;
    QLabel* lblStat = nullptr;
    TStringGrid* sgList = nullptr;
    QPushButton* btnRemuxAdd = nullptr;
    QPushButton* btnRemuxDel = nullptr;
    QPushButton* btnRemuxClear = nullptr;
    QPushButton* btnOutDir = nullptr;
    QLabel* pnlOutDir = nullptr;
    QCheckBox* chkFolder = nullptr;
    QPushButton* btnStart = nullptr;

    // Writing to the deck.
    QLineEdit* edtFile = nullptr;
    QPushButton* btnFile = nullptr;
    QCheckBox* chkRepeat = nullptr;
    QCheckBox* chkRec = nullptr;
    QCheckBox* chkVerify = nullptr;  // verify after writing
    QLineEdit* edtRec = nullptr;
    QPushButton* btnWrtStart = nullptr;
    QPushButton* btnWrtStop = nullptr;
    TStringGrid* sgWrite = nullptr;
    QPushButton* btnWrtClear = nullptr;
    QPushButton* btnWrtDel = nullptr;

    // Settings.
    QCheckBox* chkPES = nullptr;
    QCheckBox* chkTrimPacket = nullptr;
    QCheckBox* chkIFrame = nullptr;
    QCheckBox* chkPowerOn = nullptr;
    QCheckBox* chkPowerOff = nullptr;
    QCheckBox* chkPrivateStream = nullptr;
    QCheckBox* chkFileExist = nullptr;
    QCheckBox* chkSyncByte = nullptr;
    QCheckBox* chkAddDelay = nullptr;
    QCheckBox* chkTaskTray = nullptr;
    QCheckBox* chkReservePowerOn = nullptr;
    QCheckBox* chkReservePowerOff = nullptr;
    QCheckBox* chkDateFormat = nullptr;
    QLabel* lblDateFormat = nullptr;
    QLineEdit* edtDateFormat = nullptr;
    QLabel* lblPSExt = nullptr;
    QLineEdit* edtPSExt = nullptr;
    QLabel* lblTS188Ext = nullptr;
    QLineEdit* edtTS188Ext = nullptr;
    QLabel* lblTS192Ext = nullptr;
    QLineEdit* edtTS192Ext = nullptr;
    QLabel* lblNameFormat = nullptr;
    QLineEdit* edtNameFormat = nullptr;
    QLabel* lblNameFormat2 = nullptr;
    QPushButton* btnDir = nullptr;
    QLabel* pnlDir = nullptr;
    QPushButton* btnFolderOpen = nullptr;

    TTaskTrayIcon* ttTask = nullptr;  // hint "Quillor", the program's icon, not visible

  protected:
    void showEvent(QShowEvent* event) override;
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    friend class TRecordingBar;
    friend class TReservationPage;  // its handlers share the window's messages and settings file
    // Building the controls (main_form_layout.cpp).
    void BuildLayout();
    void BuildRecordingBar();
    void BuildReservationPage();
    void BuildDataInfoPage();
    void BuildBatchPage();
    void BuildWritingPage();
    void BuildSettingsPage();
    void ConnectHandlers();
    void SetCaption(std::string_view name, std::string_view text);
    void PaintListCell(QPainter& painter, int col, int row, const QRect& rect, bool selected);
    void PaintWriteCell(QPainter& painter, int col, int row, const QRect& rect, bool selected);

    // Saves only while a device is ready, as every option box does.
    void SaveIfDeviceReady();
    void ShowOutputModePanel();
    void ShowCheckPanel();
    void SyncStreamOptions();
    bool ChooseFolder(std::string& folder);
    QMessageBox::StandardButton Message(QMessageBox::Icon icon, const MessageText& caption,
                                        const QString& text,
                                        QMessageBox::StandardButtons buttons = QMessageBox::Ok);
    QMessageBox::StandardButton Message(QMessageBox::Icon icon, const QString& caption,
                                        const QString& text,
                                        QMessageBox::StandardButtons buttons = QMessageBox::Ok);
    void ApplyLaunchSwitches();
    // A box with these buttons shown now is opened and left (a tick, a start or a stop runs
    // further down the stack); only a start's question waits.
    bool LeaveBoxOpen(QMessageBox::StandardButtons buttons) const;
    void CloseMessageBoxes();
    void CreateTrayIcon();
    bool TrayAvailable() const;
    TCaptureSettings SettingsFromControls() const;

    Options options_;
    std::filesystem::path settings_path_;
    QString default_folder_;
    // Declared in the order they depend on one another: the controller goes first.
    std::unique_ptr<StreamContext> stream_;
    std::shared_ptr<MediaFramework> framework_;
    std::unique_ptr<WindowMessageSink> sink_;
    std::unique_ptr<CaptureDataPath> data_path_;
    std::unique_ptr<ComboDeviceBox> device_box_;
    DeviceSelection selection_;
    std::unique_ptr<CDSCapture> capture_;
    TReservationPage* reservations_ = nullptr;  // a child of the window
    // The batch and writing tabs' logic; children of the window.
    TBatchPage* batch_page_ = nullptr;
    TWritePage* write_page_ = nullptr;
    TFileDrops* drops_ = nullptr;
    std::shared_ptr<Clock> clock_;
    std::shared_ptr<PowerActions> power_actions_;
    std::unique_ptr<PowerActions> waking_power_;  // power_actions_ with the wake alarm first
    std::unique_ptr<TimetableLock> timetable_lock_;
    std::unique_ptr<RecorderRegistry> registry_;  // who records where, among our programs
    bool runs_timetable_ = true;
    std::unique_ptr<RecordingSequence> sequence_;
    std::unique_ptr<TDataInfoPage> data_info_page_;
    TRecordingBar* recording_bar_ = nullptr;  // a child object of the window
    std::unique_ptr<RecordingControl> recording_;
    std::unique_ptr<Timetable> timetable_;  // after the reservation page, which it reads
    bool created_ = false;
    bool placed_ = false;
    bool started_ = false;
    bool closed_ = false;
    bool loading_ = false;     // no writes while the settings are being loaded
    bool loaded_ = false;      // the controls hold the file's values
    bool unattended_ = false;  // closing without a person to read a message
    // The boxes Message() opened and that may still be open: closing closes them.
    std::vector<QPointer<QMessageBox>> boxes_;
};

}  // namespace tessaline
