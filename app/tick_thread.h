// TickThread: a worker that waits 50 ms, then hands one tick to the window thread and waits until
// it has run there (a blocking queued call), over and over until it is stopped. The ticks thus
// always run on the window thread, one at a time, between the window's own events. The window
// owns two: TThTime for the monitor tick and TThTimer for the schedule tick. The hand-over itself
// is Qt-free (recording/tick_hand_over.h); this puts it on a QThread and Qt's queued call.
#pragma once

#include <QObject>
#include <QThread>
#include <atomic>
#include <functional>

#include "recording/tick_hand_over.h"

namespace tessaline {

class TickThread final : public QThread {
    Q_OBJECT
  public:
    // tick runs on receiver's thread (the window thread); receiver must outlive this object.
    TickThread(QObject* receiver, std::function<void()> tick, QObject* parent = nullptr);
    ~TickThread() override;  // stops the thread

    // Set when the thread has left its loop.
    std::atomic<bool> Finished{false};

    // Called on the window thread: asks the loop to end and waits until it has, running the
    // hand-over the worker may be blocked in meanwhile (its tick body is skipped: nothing new
    // starts while the window closes). Safe to call more than once and before start().
    // The wait is bounded: false when the thread has not ended within wait_ms, or at once when
    // this thread's own tick is further down the current stack (its hand-over cannot return
    // before this call does); the thread then ends as soon as that tick returns.
    bool Stop(int wait_ms = kStopWaitMs);
    static constexpr int kStopWaitMs = 3000;

    // The tick is running on the window thread (read there only).
    bool InTick() const { return hand_over_.InTick(); }

    // How many ticks have been handed over (the benchmark reads it).
    uint64_t Ticks() const { return hand_over_.ticks(); }

  protected:
    void run() override;

  private:
    QObject* receiver_;
    TickHandOver hand_over_;
};

}  // namespace tessaline
