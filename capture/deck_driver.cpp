#include "capture/deck_driver.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

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

std::string StreamGapText(const StreamGap& gap) {
    const double at = gap.at_seconds < 0 ? 0 : gap.at_seconds;
    const long whole = static_cast<long>(at);
    char text[96];
    std::snprintf(text, sizeof text, "%.1f s at %02ld:%02ld:%04.1f", gap.length_seconds,
                  whole / 3600, whole / 60 % 60, at - static_cast<double>(whole - whole % 60));
    std::string out = (gap.at_most ? "up to " : "") + std::string(text);
    if (!gap.cause.empty()) out += " (" + gap.cause + ")";
    return out;
}

}  // namespace tessaline
