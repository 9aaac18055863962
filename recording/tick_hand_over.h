// SPDX-License-Identifier: GPL-3.0-or-later
// The hand-over of a tick thread, without Qt: a worker waits one period, then hands one tick to
// the owner's thread and blocks until it has run there, over and over until it is stopped. The
// owner (the window thread) may stop it at any time, also while the worker is blocked in a
// hand-over that only the owner's thread can run: the tick's body is then skipped, so nothing new
// starts while the owner closes. How a call reaches the owner's thread is the caller's: the
// window's tick threads use Qt's blocking queued call.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace tessaline {

class TickHandOver {
  public:
    // Runs the call on the owner's thread and returns once it has run there.
    using Deliver = std::function<void(const std::function<void()>& call)>;

    TickHandOver(std::function<void()> tick, std::chrono::milliseconds period);
    TickHandOver(const TickHandOver&) = delete;
    TickHandOver& operator=(const TickHandOver&) = delete;

    // The worker's loop; returns once a stop has been asked for.
    void Run(const Deliver& deliver);

    // Any thread, any number of times, also before Run: ends the loop, cutting its wait short.
    void RequestStop();
    bool stop_requested() const noexcept { return stopping_.load(); }
    // The tick is running (read on the owner's thread only).
    bool InTick() const noexcept { return in_tick_; }
    // How many ticks have been handed over.
    uint64_t ticks() const noexcept { return ticks_.load(std::memory_order_relaxed); }

  private:
    const std::function<void()> tick_;
    const std::chrono::milliseconds period_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::atomic<bool> stopping_{false};
    bool in_tick_ = false;  // owner's thread only
    std::atomic<uint64_t> ticks_{0};
};

}  // namespace tessaline
