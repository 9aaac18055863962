#include "app/termination.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cerrno>

#include "app/main_form.h"

namespace tessaline {

namespace {

// The handler may only write to a pipe; the window thread reads it and does the closing.
int g_signal_pipe[2] = {-1, -1};

void OnSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signal_pipe[1], &byte, 1);
    errno = saved;
}

void CloseAndQuit(TFormQuillor* form) {
    if (!form->Closed()) form->CloseUnattended();
    // A window hidden in the tray is not the "last window closed"; quit explicitly.
    QCoreApplication::quit();
}

}  // namespace

void CloseOnSessionEnd(TFormQuillor& form) {
    TFormQuillor* target = &form;
    QObject::connect(qApp, &QGuiApplication::commitDataRequest, target,
                     [target](QSessionManager&) { CloseAndQuit(target); });
    // Any other way out of the event loop still saves and releases.
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, target, [target] {
        if (!target->Closed()) target->CloseUnattended();
    });

    if (g_signal_pipe[0] < 0 && ::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(g_signal_pipe[0], QSocketNotifier::Read, target);
    QObject::connect(notifier, &QSocketNotifier::activated, target, [target] {
        char buffer[16];
        while (::read(g_signal_pipe[0], buffer, sizeof buffer) > 0) {
        }
        CloseAndQuit(target);
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &action, nullptr);
}

}  // namespace tessaline
