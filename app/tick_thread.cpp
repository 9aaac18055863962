#include "app/tick_thread.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>

namespace tessaline {

TickThread::TickThread(QObject* receiver, std::function<void()> tick, QObject* parent)
    : QThread(parent), receiver_(receiver), tick_(std::move(tick)) {}

TickThread::~TickThread() {
    Stop();
}

void TickThread::run() {
    Finished = false;
    while (!isInterruptionRequested()) {
        if (wake_.tryAcquire(1, 50)) continue;  // woken to stop
        if (isInterruptionRequested()) break;
        QMetaObject::invokeMethod(
            receiver_,
            [this] {
                if (!stopping_) tick_();
            },
            Qt::BlockingQueuedConnection);
        ticks_.fetch_add(1, std::memory_order_relaxed);
    }
    Finished = true;
}

void TickThread::Stop() {
    stopping_ = true;
    if (!isRunning()) return;
    requestInterruption();
    wake_.release();
    // The worker may be waiting for its hand-over to run on this very thread.
    while (!wait(QDeadlineTimer(5))) {
        QCoreApplication::sendPostedEvents(receiver_, QEvent::MetaCall);
    }
    while (!Finished) QThread::yieldCurrentThread();
}

}  // namespace tessaline
