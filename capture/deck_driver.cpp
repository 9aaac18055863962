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

const char* DeckTransportText(DeckTransport transport) noexcept {
    switch (transport) {
        case DeckTransport::Stop:
            return "stop";
        case DeckTransport::Play:
            return "play";
        case DeckTransport::Pause:
            return "pause";
        case DeckTransport::Record:
            return "record";
        case DeckTransport::RecordPause:
            return "record-pause";
        case DeckTransport::Rewind:
            return "rewind";
        case DeckTransport::FastForward:
            return "ff";
        case DeckTransport::Unknown:
            break;
    }
    return "unknown";
}

const char* DeckMediumText(DeckMedium medium) noexcept {
    switch (medium) {
        case DeckMedium::Present:
            return "present";
        case DeckMedium::None:
            return "none";
        case DeckMedium::Protected:
            return "protected";
        case DeckMedium::Unknown:
            break;
    }
    return "unknown";
}

const char* DevicePowerText(int32_t power) noexcept {
    switch (power) {
        case ED_POWER_ON:
            return "on";
        case ED_POWER_OFF:
            return "off";
        case ED_POWER_STANDBY:
            return "standby";
        default:
            return "unknown";
    }
}

std::string TapePositionText(std::optional<double> seconds) {
    if (!seconds) return "none";
    const double at = *seconds < 0 ? -*seconds : *seconds;
    const long whole = static_cast<long>(at);
    char text[32];
    std::snprintf(text, sizeof text, "%s%02ld:%02ld:%02ld", *seconds < 0 ? "-" : "", whole / 3600,
                  whole / 60 % 60, whole % 60);
    return text;
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
