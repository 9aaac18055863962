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
    if (fd_ >= 0) {
        const uint64_t one = 1;
        // A full counter is still readable; nothing to do about a failed write.
        [[maybe_unused]] const ssize_t n = write(fd_, &one, sizeof one);
    }
}

}  // namespace tessaline
