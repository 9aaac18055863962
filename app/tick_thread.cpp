#include "app/tick_thread.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>

namespace tessaline {

TickThread::TickThread(QObject* receiver, std::function<void()> tick, QObject* parent)
    : QThread(parent),
      receiver_(receiver),
      hand_over_(std::move(tick), std::chrono::milliseconds(50)) {}

TickThread::~TickThread() {
    if (Stop()) return;
    // Still not ended: only a hand-over that nobody runs any more can hold it. Give it what it
    // waits for once more, then end it rather than destroy a running thread.
    if (!wait(QDeadlineTimer(TickThread::kStopWaitMs))) {
        terminate();
        wait();
    }
}

void TickThread::run() {
    Finished = false;
    hand_over_.Run([this](const std::function<void()>& call) {
        QMetaObject::invokeMethod(receiver_, call, Qt::BlockingQueuedConnection);
    });
    Finished = true;
}

bool TickThread::Stop(int wait_ms) {
    hand_over_.RequestStop();
    if (!isRunning()) return true;
    // Our own tick further down this stack (closing from inside it): its hand-over returns only
    // after we do, so waiting here would wait for ever.
    if (hand_over_.InTick()) return false;
    // The worker may be waiting for its hand-over to run on this very thread.
    const QDeadlineTimer deadline(wait_ms);
    while (!wait(QDeadlineTimer(5))) {
        QCoreApplication::sendPostedEvents(receiver_, QEvent::MetaCall);
        if (deadline.hasExpired()) return false;
    }
    while (!Finished) QThread::yieldCurrentThread();
    return true;
}

}  // namespace tessaline
