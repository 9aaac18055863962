// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/tick_hand_over.h"

namespace tessaline {

TickHandOver::TickHandOver(std::function<void()> tick, std::chrono::milliseconds period)
    : tick_(std::move(tick)), period_(period) {}

void TickHandOver::Run(const Deliver& deliver) {
    for (;;) {
        {
            std::unique_lock lock(mu_);
            if (cv_.wait_for(lock, period_, [this] { return stopping_.load(); })) return;
        }
        deliver([this] {
            // Asked to stop while this call waited for the owner: the owner is closing.
            if (stopping_) return;
            struct InTick {
                bool& flag;
                explicit InTick(bool& f) : flag(f) { flag = true; }
                ~InTick() { flag = false; }
            } in_tick(in_tick_);
            tick_();
        });
        ticks_.fetch_add(1, std::memory_order_relaxed);
    }
}

void TickHandOver::RequestStop() {
    {
        // Under the lock, so that a worker about to wait cannot miss it.
        std::lock_guard lock(mu_);
        stopping_ = true;
    }
    cv_.notify_all();
}

}  // namespace tessaline
