// Waiting on the window thread for something its events (and the tick threads' hand-overs) bring.
#pragma once

#include <QApplication>
#include <QElapsedTimer>

namespace tessaline {

// Runs the window's events until done() holds; false after a generous bound, which only a hang
// reaches.
template <class F>
bool RunEventsUntil(F done) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > 60000) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

}  // namespace tessaline
