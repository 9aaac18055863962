#include "capture/deck_driver.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace tessaline {

StopSignal::StopSignal() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StopSignal::~StopSignal() {
    if (fd_ >= 0) close(fd_);
}

void StopSignal::Raise() noexcept {
    raised_.store(true, std::memory_order_release);
    {
        // Taking the lock orders the flag before a waiter's predicate check.
        std::lock_guard lock(mu_);
    }
    cv_.notify_all();
    if (fd_ >= 0) {
        const uint64_t one = 1;
        // A full counter is still readable; nothing to do about a failed write.
        [[maybe_unused]] const ssize_t n = write(fd_, &one, sizeof one);
    }
}

bool StopSignal::WaitUntil(std::chrono::steady_clock::time_point due) const {
    std::unique_lock lock(mu_);
    return cv_.wait_until(lock, due, [this] { return raised(); });
}

}  // namespace tessaline
