#include "capture/pause.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace tessaline {
namespace {

std::atomic<Sleeper*> g_sleeper{nullptr};

}  // namespace

void PauseMs(int milliseconds) {
    if (milliseconds <= 0) return;
    if (Sleeper* sleeper = g_sleeper.load(std::memory_order_acquire)) {
        sleeper->SleepMs(milliseconds);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

Sleeper* SetPauseSleeper(Sleeper* sleeper) noexcept {
    return g_sleeper.exchange(sleeper, std::memory_order_acq_rel);
}

}  // namespace tessaline
