// SPDX-License-Identifier: GPL-3.0-or-later
// The tick threads' hand-over without Qt, so that ThreadSanitizer sees every synchronisation in
// it: a worker hands ticks to an owner thread that runs them between its own work, and the owner
// stops the worker at any moment, also while the worker waits for the owner.
#include "recording/tick_hand_over.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tessaline {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The owner's queue of calls, as far as the hand-over uses it: a worker posts one call and waits
// until the owner has run it (what Qt's blocking queued call does for the window).
class OwnerQueue {
  public:
    void Deliver(const std::function<void()>& call) {
        std::unique_lock lock(mu_);
        const uint64_t mine = ++posted_;
        pending_ = &call;
        cv_.notify_all();
        cv_.wait(lock, [&] { return done_ >= mine; });
    }

    // True once a call waits to be run (the worker is blocked in its hand-over).
    bool WaitForPending(std::chrono::milliseconds wait) {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, wait, [&] { return pending_ != nullptr; });
    }

    // On the owner's thread: runs the call waiting, if one comes within wait.
    bool RunPending(std::chrono::milliseconds wait) {
        const std::function<void()>* call = nullptr;
        {
            std::unique_lock lock(mu_);
            if (!cv_.wait_for(lock, wait, [&] { return pending_ != nullptr; })) return false;
            call = std::exchange(pending_, nullptr);
        }
        (*call)();
        {
            std::lock_guard lock(mu_);
            ++done_;
        }
        cv_.notify_all();
        return true;
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    const std::function<void()>* pending_ = nullptr;
    uint64_t posted_ = 0;
    uint64_t done_ = 0;
};

// An owner thread (the test's) with one worker handing it ticks.
class HandOverTest : public ::testing::Test {
  protected:
    void Start() {
        worker = std::thread([this] {
            hand_over.Run([this](const std::function<void()>& call) { queue.Deliver(call); });
            worker_done = true;
        });
    }

    // Runs ticks on this thread until count have run (bounded).
    bool RunTicks(int count) {
        const auto deadline = Clock::now() + 60s;
        while (ticks_run < count) {
            if (Clock::now() > deadline) return false;
            queue.RunPending(10ms);
        }
        return true;
    }

    // What the window does when it closes: ask, then keep running what the worker hands over
    // (the worker may be waiting for exactly that) until it has ended.
    void Stop() {
        hand_over.RequestStop();
        const auto deadline = Clock::now() + 60s;
        while (!worker_done && Clock::now() < deadline) queue.RunPending(5ms);
        ASSERT_TRUE(worker_done.load());
        worker.join();
    }

    OwnerQueue queue;
    std::thread::id owner = std::this_thread::get_id();
    int ticks_run = 0;  // owner's thread only
    std::function<void()> on_tick;
    TickHandOver hand_over{[this] {
                               EXPECT_EQ(std::this_thread::get_id(), owner);
                               EXPECT_TRUE(hand_over.InTick());
                               ++ticks_run;
                               if (on_tick) on_tick();
                           },
                           1ms};
    std::thread worker;
    std::atomic<bool> worker_done{false};
};

TEST_F(HandOverTest, TicksRunOnTheOwnersThreadOneAtATimeUntilStopped) {
    Start();
    ASSERT_TRUE(RunTicks(20));
    EXPECT_FALSE(hand_over.InTick());
    Stop();
    const int after_stop = ticks_run;
    EXPECT_GE(hand_over.ticks(), 20u);
    // Nothing more arrives once stopped.
    EXPECT_FALSE(queue.RunPending(20ms));
    EXPECT_EQ(ticks_run, after_stop);
}

// The worker is blocked in a hand-over when the stop comes: the owner runs that call while it
// waits for the worker to end, but the tick's body no longer runs.
TEST_F(HandOverTest, AHandOverPendingAtTheStopIsReleasedWithoutItsTick) {
    Start();
    ASSERT_TRUE(RunTicks(1));
    ASSERT_TRUE(queue.WaitForPending(60s));
    hand_over.RequestStop();
    const int before = ticks_run;
    Stop();
    EXPECT_EQ(ticks_run, before);
}

TEST_F(HandOverTest, StoppedBeforeItRunsItNeverTicks) {
    hand_over.RequestStop();
    Start();
    worker.join();
    EXPECT_TRUE(worker_done.load());
    EXPECT_EQ(hand_over.ticks(), 0u);
    EXPECT_FALSE(queue.RunPending(1ms));
}

// Closing from inside a tick: the stop is asked while the tick runs; that tick finishes, and the
// worker ends after it without another.
TEST_F(HandOverTest, AStopFromInsideATickEndsTheWorkerAfterThatTick) {
    on_tick = [this] {
        if (ticks_run == 3) hand_over.RequestStop();
    };
    Start();
    ASSERT_TRUE(RunTicks(3));
    const auto deadline = Clock::now() + 60s;
    while (!worker_done && Clock::now() < deadline) queue.RunPending(5ms);
    ASSERT_TRUE(worker_done.load());
    worker.join();
    EXPECT_EQ(ticks_run, 3);
    EXPECT_TRUE(hand_over.stop_requested());
}

}  // namespace
}  // namespace tessaline
