// The window's life beside the desktop: hiding in the notification area when minimised, coming
// back from it, and the hand-over from a second start of the program.
#include <QCoreApplication>
#include <QEvent>
#include <QSystemTrayIcon>

#include "app/captions.h"
#include "app/main_form.h"
#include "app/program_icon.h"
#include "app/reservation_page.h"

namespace tessaline {

namespace {

constexpr MessageText kMsgAlreadyRunning = {"既に起動しています。", "Already running."};

QString Q(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

void TFormQuillor::CreateTrayIcon() {
    ttTask = new TTaskTrayIcon(this, options_.tray_shell ? options_.tray_shell() : nullptr);
    ttTask->setObjectName("ttTask");
    ttTask->SetHint("Quillor");
    ttTask->SetIcon(ProgramIcon());
    ttTask->SetVisible(false);
    ttTask->OnClick = [this](TTaskTrayIcon*) { ttTaskClick(); };
    ttTask->OnError = [this](const QString& text) {
        Message(QMessageBox::Critical, kCaptionError, text);
    };
    ttTask->Loaded();
}

bool TFormQuillor::TrayAvailable() const {
    return options_.tray_available ? options_.tray_available()
                                   : QSystemTrayIcon::isSystemTrayAvailable();
}

void TFormQuillor::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !isMinimized() || InTray()) return;
    // Hiding is left until the window system has finished minimising.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (isMinimized()) HandleSysCommand();
        },
        Qt::QueuedConnection);
}

bool TFormQuillor::HandleSysCommand() {
    // Without a notification area the hidden window could never be reached again: it stays
    // minimised the ordinary way.
    if (!Settings.TaskTray || closed_ || !TrayAvailable()) return false;
    hide();  // the taskbar entry goes with the window
    setWindowState(windowState() & ~Qt::WindowMinimized);
    ttTask->SetVisible(true);
    return true;
}

void TFormQuillor::ttTaskClick() {
    showNormal();
    raise();
    activateWindow();
    ttTask->SetVisible(false);
}

void TFormQuillor::HandOver() {
    if (closed_) return;
    if (InTray()) {
        // Brought forward, which leaves a hidden window hidden; the icon tells why nothing opened.
        raise();
        ttTask->ShowMessage(windowTitle(), Q(Pick(kMsgAlreadyRunning, Flags.UseEnglish)));
        return;
    }
    if (isMinimized()) showNormal();
    raise();
    activateWindow();
}

void TFormQuillor::HandOverSwitches(const QStringList& switches) {
    if (closed_) return;
    const bool start = switches.contains("-S", Qt::CaseInsensitive);
    const bool power = switches.contains("-P", Qt::CaseInsensitive);
    if (!started_) {
        // Still starting: the start-up reads them with its own switches.
        if (start) options_.arguments.append("-S");
        if (power) options_.arguments.append("-P");
        return;
    }
    if (!Flags.DeviceReady) return;  // as at launch: the switches need a usable deck
    if (start) {
        timetable_->RequestLaunchStart(power, reservations_->Options());
    } else if (power) {
        timetable_->PowerOnRequest();
    }
}

}  // namespace tessaline
