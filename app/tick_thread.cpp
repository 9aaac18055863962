#include "app/tick_thread.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>

namespace tessaline {

TickThread::TickThread(QObject* receiver, std::function<void()> tick, QObject* parent)
    : QThread(parent), receiver_(receiver), tick_(std::move(tick)) {}

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
    while (!isInterruptionRequested()) {
        if (wake_.tryAcquire(1, 50)) continue;  // woken to stop
        if (isInterruptionRequested()) break;
        QMetaObject::invokeMethod(
            receiver_,
            [this] {
                if (stopping_) return;
                in_tick_ = true;
                tick_();
                in_tick_ = false;
            },
            Qt::BlockingQueuedConnection);
        ticks_.fetch_add(1, std::memory_order_relaxed);
    }
    Finished = true;
}

bool TickThread::Stop(int wait_ms) {
    stopping_ = true;
    if (!isRunning()) return true;
    requestInterruption();
    wake_.release();
    // Our own tick further down this stack (closing from inside it): its hand-over returns only
    // after we do, so waiting here would wait for ever.
    if (in_tick_) return false;
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
