#include "app/main_form.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QScreen>
#include <QStandardPaths>
#include <cstdio>
#include <utility>

#include "app/batch_page.h"
#include "app/captions.h"
#include "app/capture_binding.h"
#include "app/data_info_page.h"
#include "app/file_drops.h"
#include "app/logind_power.h"
#include "app/qt_text.h"
#include "app/recording_bar.h"
#include "app/reservation_page.h"
#include "app/tick_thread.h"
#include "app/write_page.h"
#include "capture/deck_details.h"
#include "capture/ds_capture.h"
#include "capture/recording_sequence.h"
#include "capture/system_framework.h"
#include "recording/date_pattern.h"
#include "recording/private_folder.h"
#include "recording/wake_alarm.h"

namespace tessaline {

TFormQuillor::TFormQuillor(Options options)
    : options_(std::move(options)), stream_(std::make_unique<StreamContext>()) {
    settings_path_ =
        options_.settings_path.empty() ? SettingsPathForThisProcess() : options_.settings_path;
    default_folder_ = options_.default_folder.isEmpty() ? DefaultFolder() : options_.default_folder;
    Settings = DefaultCaptureSettings(S(default_folder_));
    framework_ = options_.framework;
    if (!framework_) {
        std::vector<std::string> notes;
        framework_ = CreateSystemFramework(notes);
        for (const std::string& note : notes) std::fprintf(stderr, "tessaline: %s\n", note.c_str());
    }
    sink_ =
        std::make_unique<WindowMessageSink>([this](const QString& caption, const QString& text) {
            Message(QMessageBox::Critical, caption, text);
        });
    data_path_ = std::make_unique<CaptureDataPath>(*stream_);
    clock_ = options_.clock ? options_.clock : std::make_shared<SystemClock>();
    power_actions_ = options_.power_actions;
    if (!power_actions_) power_actions_ = CreateSystemPowerActions();
    BuildLayout();
    device_box_ = std::make_unique<ComboDeviceBox>(cmbVid);
    CreateTrayIcon();
    data_info_page_ = std::make_unique<TDataInfoPage>(*this);
    recording_bar_ = new TRecordingBar(*this);
    ConnectHandlers();
    recording_bar_->Bind();
    FormCreate();
    reservations_ = new TReservationPage(*this);  // after recording control exists
    timetable_ = std::make_unique<Timetable>(*recording_, reservations_->List(), *reservations_);
    auto message = [this](QMessageBox::Icon icon, const QString& caption, const QString& text) {
        Message(icon, caption, text);
    };
    batch_page_ = new TBatchPage(*this, message);
    write_page_ = new TWritePage(*this, message);
    drops_ = new TFileDrops(*this, *write_page_);
    timetable_->Monitor().BatchProgress = [this] { batch_page_->MonitorStep(); };
    timetable_->Monitor().WriteToDeckEndOfFile = [this] { write_page_->OnWriteTick(); };
    write_page_->RecordingStop = [this] { btnStopClick(); };
}

TFormQuillor::~TFormQuillor() {
    StopTicks();
    // ~QWidget destroys our widgets only after this object is gone, and they still see events
    // and send signals while they go. The page objects watch them and reach back into the window
    // (event filters, handlers), so they go now, which also takes their filters off the widgets;
    // nor may a widget's last signals reach one of the window's own handlers.
    if (timetable_) {
        timetable_->Monitor().BatchProgress = nullptr;
        timetable_->Monitor().WriteToDeckEndOfFile = nullptr;
    }
    if (recording_) recording_->SetReservations(nullptr);
    delete std::exchange(drops_, nullptr);
    delete std::exchange(write_page_, nullptr);
    delete std::exchange(batch_page_, nullptr);
    delete std::exchange(reservations_, nullptr);
    delete std::exchange(recording_bar_, nullptr);
    for (QObject* child : findChildren<QObject*>())
        QObject::disconnect(child, nullptr, this, nullptr);
}

QString TFormQuillor::GetFileVersionText() {
    return QStringLiteral(TESSALINE_VERSION);
}

QString TFormQuillor::DefaultFolder() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
    if (folder.isEmpty() || !QDir(folder).exists()) folder = QDir::homePath();
    if (!folder.endsWith('/')) folder += '/';
    return folder;
}

// ---- Life cycle ----------------------------------------------------------------------------

void TFormQuillor::ConnectHandlers() {
    auto box = [this](QCheckBox* check, void (TFormQuillor::*handler)()) {
        // Any change of the checked state runs the handler, also one made by the program (loading
        // the settings, the launch switches), as a click would.
        connect(check, &QCheckBox::toggled, this, [this, handler] { (this->*handler)(); });
    };
    box(chkFileName, &TFormQuillor::chkFileNameClick);
    box(chkPES, &TFormQuillor::chkPESClick);
    box(chkTrimPacket, &TFormQuillor::chkTrimPacketClick);
    box(chkIFrame, &TFormQuillor::chkIFrameClick);
    box(chkPrivateStream, &TFormQuillor::chkPrivateStreamClick);
    box(chkPowerOn, &TFormQuillor::chkPowerOnClick);
    box(chkPowerOff, &TFormQuillor::chkPowerOffClick);
    box(chkFileExist, &TFormQuillor::chkFileExistClick);
    box(chkSyncByte, &TFormQuillor::chkSyncByteClick);
    box(chkAddDelay, &TFormQuillor::chkAddDelayClick);
    box(chkTaskTray, &TFormQuillor::chkTaskTrayClick);
    box(chkReservePowerOff, &TFormQuillor::chkReservePowerOffClick);
    box(chkReservePowerOn, &TFormQuillor::chkReservePowerOnClick);
    box(chkDateFormat, &TFormQuillor::chkDateFormatClick);
    box(chkFolder, &TFormQuillor::chkFolderClick);
    // Both format boxes share one change handler, as designed.
    connect(edtNameFormat, &QLineEdit::textChanged, this, [this] { edtNameFormatChange(); });
    connect(edtDateFormat, &QLineEdit::textChanged, this, [this] { edtNameFormatChange(); });
    connect(edtPSExt, &QLineEdit::textChanged, this, [this] { edtPSExtChange(); });
    connect(edtTS188Ext, &QLineEdit::textChanged, this, [this] { edtTS188ExtChange(); });
    connect(edtTS192Ext, &QLineEdit::textChanged, this, [this] { edtTS192ExtChange(); });
    connect(btnDir, &QPushButton::clicked, this, [this] { btnDirClick(); });
    connect(btnFolderOpen, &QPushButton::clicked, this, [this] { btnFolderOpenClick(); });
    connect(btnOutDir, &QPushButton::clicked, this, [this] { btnOutDirClick(); });
    connect(cmbVid, &QComboBox::activated, this, [this] { cmbVidClick(); });
}

void TFormQuillor::FormCreate() {
    if (created_) return;
    created_ = true;
    setWindowTitle("D-VHS Tessaline v" + GetFileVersionText());
    capture_ = std::make_unique<CDSCapture>(*framework_, *sink_, *stream_, *data_path_);
    sequence_ = std::make_unique<RecordingSequence>(*capture_, *stream_, *data_path_, *sink_);
    recording_ = std::make_unique<RecordingControl>(*sequence_, *capture_, *stream_, Flags,
                                                    *recording_bar_, *clock_);
    waking_power_ = std::make_unique<WakeBeforePowerActions>(
        *power_actions_, [this](int action) { return BeforePowerAction(action); });
    recording_->SetPowerActions(waking_power_.get());
    registry_ = std::make_unique<RecorderRegistry>(PrivateFolder(), settings_path_);
    recording_->SetRegistry(registry_.get(), "window");
    // The reservation editor starts on today, at midnight, and locked until the timer box opens it.
    for (QDateEdit* date : {dpDateS, dpDateE}) date->setDate(QDate::currentDate());
    for (QTimeEdit* time : {dpTimeS, dpTimeE}) time->setTime(QTime(0, 0, 0));
    for (QWidget* child : gbTimer->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        child->setEnabled(false);
    prbProc->setRange(0, 10000);
    sgList->SetRowCount(2);
    sgWrite->SetRowCount(2);
    SyncStreamOptions();
}

void TFormQuillor::FormShow() {
    UpdateControlStates();
    pgPage->setCurrentWidget(TabSheet1);
    QCoreApplication::processEvents();
}

void TFormQuillor::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Only the first show: coming back from the tray neither moves the window nor turns to the
    // first page nor queues the start-up again.
    if (event->spontaneous() || placed_) return;
    placed_ = true;
    if (const QScreen* screen = this->screen()) {  // centred on the desktop
        move(screen->availableGeometry().center() - rect().center());
    }
    FormShow();
    // The start-up follows the first activation; a window manager that does not activate new
    // windows (or the offscreen platform) must not keep it from running, hence the queued call.
    QMetaObject::invokeMethod(
        this, [this] { FormActivate(); }, Qt::QueuedConnection);
}

bool TFormQuillor::event(QEvent* event) {
    if (event->type() == QEvent::WindowActivate) FormActivate();
    return QWidget::event(event);
}

void TFormQuillor::FormActivate() {
    if (started_ || closed_) return;
    started_ = true;  // before anything that can re-activate the window (message boxes)

    LoadSettings();

    // One runner of the timetable: decided before any tick can run.
    timetable_lock_ = std::make_unique<TimetableLock>(TimetableLockPath(settings_path_));
    runs_timetable_ = TakeTimetable();
    if (!runs_timetable_) {
        std::fprintf(stderr,
                     "tessaline: the service runs the timetable of %s; this window shows it and "
                     "starts no reservation itself\n",
                     settings_path_.c_str());
    }

    if (!FormatDateTimePattern(Settings.NameFormat, NowLocal())) {
        Settings.NameFormat = std::string(kFallbackNameFormat);
        edtNameFormat->setText(Q(Settings.NameFormat));
    }
    pnlDir->setText(" " + Q(Settings.SaveDir));

    Flags.DeviceReady = FillDeviceList();
    if (!Flags.DeviceReady)
        Message(QMessageBox::Critical, kCaptionError, Q(Pick(kMsgNoDevice, Flags.UseEnglish)));

    if (cmbVid->count() < Settings.DeviceIndex + 1) Settings.DeviceIndex = -1;
    cmbVid->setCurrentIndex(Settings.DeviceIndex);
    cmbVidClick();

    if (Flags.DeviceReady) {
        ApplyLaunchSwitches();
        StartTicks();
    }

    UpdateControlStates();
    reservations_->LoadReservations();  // and resets the editor
    QCoreApplication::processEvents();
    // "-S" makes this one attempt, whatever comes of it; a reservation due now goes first (and
    // is never taken for the launch's recording), and "-S" then gives way with a message.
    if (recording_->State().StartAtLaunch && !closed_) {
        timetable_->StartAtLaunch(false, reservations_->Options());
    }
}

void TFormQuillor::StartTicks() {
    if (TThTime) return;
    TThTime = std::make_unique<TickThread>(this, [this] {
        if (!closed_) timetable_->RunMonitorTick();
    });
    TThTimer = std::make_unique<TickThread>(this, [this] {
        if (!closed_) reservations_->ScheduleTick();
    });
    TThTime->start();
    TThTimer->start();
}

void TFormQuillor::StopTicks() {
    if (TThTime) TThTime->Stop();
    if (TThTimer) TThTimer->Stop();
}

bool TFormQuillor::TakeTimetable() {
    if (closed_) return false;
    if (timetable_lock_) {
        if (timetable_lock_->TryAcquire(TimetableRunner::Window)) {
            runs_timetable_ = true;
        } else if (timetable_lock_->error().empty()) {
            runs_timetable_ = false;  // the service has it
        } else {
            // No lock can be made at all: the window runs the timetable, as it always did.
            std::fprintf(stderr, "tessaline: cannot take the timetable lock %s: %s\n",
                         timetable_lock_->path().c_str(), timetable_lock_->error().c_str());
            timetable_lock_.reset();
            runs_timetable_ = true;
        }
    }
    timetable_->SetRunsSchedule(runs_timetable_);
    return runs_timetable_;
}

bool TFormQuillor::BeforePowerAction(int action) {
    auto say = [](const std::string& line) {
        std::fprintf(stderr, "tessaline: %s\n", line.c_str());
        std::fflush(stderr);
    };
    const SleepDecision d =
        DecideSleep(reservations_->List(), Settings.MaxReserve, clock_->NowInstant(),
                    -Settings.PowerOnSec, kDefaultWakeMarginSec, registry_.get());
    if (!d.allowed) {
        say("power action " + std::string(PowerActionName(action)) + " not made: " + d.reason);
        return false;
    }
    if (!d.wake_at) return true;
    if (options_.set_wake_alarm) {
        options_.set_wake_alarm(*d.wake_at);
    } else {
        WakeAlarm::FromEnvironment(say).Set(*d.wake_at);
    }
    return true;
}

void TFormQuillor::ApplyLaunchSwitches() {
    for (const QString& argument : options_.arguments) {
        const QString a = argument.toUpper();
        if (a == "-S") {
            recording_->State().StartAtLaunch = true;
        } else if (a == "-P") {
            recording_->State().PowerAtLaunch = true;
        } else if (a == "-9") {
            chkPES->setChecked(false);
            chkTrimPacket->setChecked(false);
        } else if (a == "-8") {
            chkPES->setChecked(false);
            chkTrimPacket->setChecked(true);
        } else if (a == "-E") {
            chkTrimPacket->setChecked(true);
            chkPES->setChecked(true);
        }
    }
}

void TFormQuillor::closeEvent(QCloseEvent* event) {
    FormCloseQuery();
    event->accept();  // closing is always allowed
}

void TFormQuillor::FormCloseQuery() {
    if (closed_) return;
    // Boxes still open (a question further down the stack among them) are answered with their
    // default and closed: nobody may be there to answer them, and closing must not wait.
    CloseMessageBoxes();
    // A recording is finished first, as Stop would (file closed and renamed, a running
    // reservation marked aborted), but no computer power action follows a close, and nothing
    // starts afterwards.
    timetable_->Close();
    closed_ = true;
    // A failure is reported and the window closes all the same. Before the settings were loaded
    // the controls hold only defaults, which must not overwrite the file.
    if (loaded_) SaveSettings();
    // A conversion stops at its next read; writing stops as STOP does, before the deck goes.
    if (batch_page_) batch_page_->FormClosing();
    if (write_page_) write_page_->FormClosing();
    StopTicks();
    if (timetable_lock_) timetable_lock_->Release();
    if (capture_) {
        Flags.DeviceReady = false;
        capture_->ClearAddedFilters();
        capture_.reset();
    }
}

void TFormQuillor::CloseUnattended() {
    unattended_ = true;
    close();
    FormCloseQuery();  // when the window was never shown, close() does not reach closeEvent
}

// ---- Control states and captions -----------------------------------------------------------

void TFormQuillor::UpdateControlStates() {
    ControlInputs in;
    in.run = Flags;
    in.PesChecked = chkPES->isChecked();
    in.FileNameChecked = chkFileName->isChecked();
    in.AddDate = Settings.AddDate;
    in.DateFormatChecked = chkDateFormat->isChecked();
    in.FolderChecked = chkFolder->isChecked();
    for (const ControlStep& step : ComputeControlStates(in)) {
        QWidget* widget = findChild<QWidget*>(Q(step.name));
        if (!widget) continue;
        if (step.scope == ControlStep::PageEdits) {
            for (QWidget* child :
                 widget->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
                child->setEnabled(step.enabled);
                if (qobject_cast<QLineEdit*>(child)) SetFieldColour(child, step.colour);
            }
            continue;
        }
        widget->setEnabled(step.enabled);
        SetFieldColour(widget, step.colour);
        if (step.drops != DropRule::Unchanged)
            widget->setAcceptDrops(step.drops == DropRule::Accept);
    }
    sbStatus->SetText(0, QString());
}

void TFormQuillor::ApplyEnglishCaptions() {
    Flags.UseEnglish = false;
    const QLocale locale = options_.locale.value_or(QLocale::system());
    if (locale.language() == QLocale::Japanese) return;
    Flags.UseEnglish = true;
    for (const Caption& caption : kCaptions) {
        if (!caption.english.empty()) SetCaption(caption.name, caption.english);
    }
    const int power = cmbPower->currentIndex();
    cmbPower->clear();
    for (auto item : kPowerItemsEnglish) cmbPower->addItem(Q(item));
    cmbPower->setCurrentIndex(power);
    // Names and file names are typed in Latin letters here.
    for (QLineEdit* edit : {edtFileResv, edtFileName}) {
        edit->setInputMethodHints(edit->inputMethodHints() | Qt::ImhPreferLatin);
    }
    for (TStringGrid* grid : {sgTimer, sgList, sgWrite}) grid->viewport()->update();
}

// ---- Device box ----------------------------------------------------------------------------

bool TFormQuillor::FillDeviceList() {
    if (!capture_) return false;
    return ::tessaline::FillDeviceList(*capture_, *device_box_, Flags, *sink_);
}

void TFormQuillor::cmbVidClick() {
    if (!capture_) return;
    DeviceBoxHooks hooks;
    hooks.SaveSettings = [this] { SaveSettings(); };
    hooks.UpdateControlStates = [this] { UpdateControlStates(); };
    ::tessaline::cmbVidClick(*capture_, *device_box_, selection_, Flags, hooks);
    // What the chosen deck is doing (power, transport, tape position, cassette), on hovering.
    cmbVid->setToolTip(
        QString::fromStdString(ListedDeckDetails(*framework_, cmbVid->currentIndex())));
}

DeckDriver* TFormQuillor::SelectedDeckDriver() {
    return framework_ ? ListedDeckDriver(*framework_, cmbVid->currentIndex()) : nullptr;
}

// ---- Recording bar -------------------------------------------------------------------------

void TFormQuillor::btnRecClick() {
    recording_bar_->btnRecClick();
}
void TFormQuillor::btnStopClick() {
    recording_bar_->btnStopClick();
}
void TFormQuillor::btnTimeAddClick() {
    recording_bar_->btnTimeAddClick();
}
void TFormQuillor::chkFileNameClick() {
    recording_bar_->chkFileNameClick();
}

// ---- Messages ------------------------------------------------------------------------------

QMessageBox::StandardButton TFormQuillor::Message(QMessageBox::Icon icon,
                                                  const MessageText& caption, const QString& text,
                                                  QMessageBox::StandardButtons buttons) {
    return Message(icon, Q(Pick(caption, Flags.UseEnglish)), text, buttons);
}

QMessageBox::StandardButton TFormQuillor::Message(QMessageBox::Icon icon, const QString& title,
                                                  const QString& text,
                                                  QMessageBox::StandardButtons buttons) {
    if (options_.message) return options_.message(icon, title, text, buttons);
    const QMessageBox::StandardButton fallback =
        (buttons & QMessageBox::No) ? QMessageBox::No : QMessageBox::Ok;
    if (closed_ && unattended_) {
        std::fprintf(stderr, "tessaline: %s\n", text.toLocal8Bit().constData());
        return fallback;
    }
    std::erase_if(boxes_, [](const QPointer<QMessageBox>& b) { return b.isNull(); });
    const bool leave_open = LeaveBoxOpen(buttons);
    if (leave_open) {
        // A tick that meets the same trouble twenty times a second says so once.
        for (const QPointer<QMessageBox>& open : boxes_) {
            if (open->isVisible() && open->text() == text && open->windowTitle() == title) {
                return fallback;
            }
        }
    }
    auto* box = new QMessageBox(icon, title, text, buttons, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (buttons & QMessageBox::No) box->setDefaultButton(QMessageBox::No);
    boxes_.emplace_back(box);
    if (leave_open) {
        // Nothing waits for a person: the box is opened and left, and the schedule goes on.
        box->setWindowModality(Qt::WindowModal);
        box->open();
        return fallback;
    }
    const QPointer<QMessageBox> alive(box);
    const int answer = box->exec();
    if (alive) alive->close();  // done() hides it; the close deletes it
    return static_cast<QMessageBox::StandardButton>(answer == 0 ? fallback : answer);
}

bool TFormQuillor::LeaveBoxOpen(QMessageBox::StandardButtons buttons) const {
    if (!timetable_) return false;
    // Only a start's question (Yes/No) waits for its answer; a message shown while a tick, a
    // start or a stop runs never holds up the schedule.
    return timetable_->InTick() || (!(buttons & QMessageBox::No) && timetable_->MessagesLeftOpen());
}

void TFormQuillor::CloseMessageBoxes() {
    std::vector<QPointer<QMessageBox>> boxes;
    boxes.swap(boxes_);
    for (const QPointer<QMessageBox>& box : boxes) {
        if (!box) continue;
        const QMessageBox::StandardButtons buttons = box->standardButtons();
        // A question ends as No; an exec() further down the stack returns that.
        box->done((buttons & QMessageBox::No) ? QMessageBox::No : QMessageBox::Ok);
        box->close();
    }
    // File and folder dialogs open further down the stack are cancelled the same way.
    for (QDialog* dialog : findChildren<QDialog*>()) {
        if (dialog->isVisible()) dialog->reject();
    }
}

}  // namespace tessaline
