// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/archive_watch.h"

namespace tessaline {

const char* ArchiveEndName(ArchiveEnd end) noexcept {
    switch (end) {
        case ArchiveEnd::None:
            return "";
        case ArchiveEnd::EndOfTape:
            return "end-of-tape";
        case ArchiveEnd::Blank:
            return "blank";
        case ArchiveEnd::Stopped:
            return "stopped";
        case ArchiveEnd::Watchdog:
            return "watchdog";
        case ArchiveEnd::Failed:
            return "failed";
    }
    return "";
}

ArchiveEnd ArchiveWatch::Check(const Look& look) noexcept {
    if (end_ != ArchiveEnd::None) return end_;
    if (look.bytes != bytes_) last_bytes_at_ = look.now;
    if (look.bytes != bytes_ || look.activity != activity_) last_activity_at_ = look.now;
    bytes_ = look.bytes;
    activity_ = look.activity;
    if (look.failed) return end_ = ArchiveEnd::Failed;
    if (look.stream_failed) {
        return end_ = look.now - last_activity_at_ >= limits_.watchdog / 2 ? ArchiveEnd::Watchdog
                                                                           : ArchiveEnd::Failed;
    }
    if (look.stop_asked) return end_ = ArchiveEnd::Stopped;
    if (look.blank_now > limits_.blank_stop) return end_ = ArchiveEnd::Blank;
    if (look.deck_stopped) {
        // What the deck sent before it stopped may still be on its way.
        if (!deck_stopped_) {
            deck_stopped_ = true;
            last_bytes_at_ = look.now;
        }
        if (look.now - last_bytes_at_ >= limits_.drain) return end_ = ArchiveEnd::EndOfTape;
        return ArchiveEnd::None;
    }
    deck_stopped_ = false;
    if (look.now - last_activity_at_ >= limits_.watchdog) return end_ = ArchiveEnd::Watchdog;
    return ArchiveEnd::None;
}

int ArchiveExitCode(ArchiveEnd end, size_t recordings_saved, bool all_passed) noexcept {
    if (recordings_saved == 0) return 3;
    if (end == ArchiveEnd::Stopped || end == ArchiveEnd::Watchdog || end == ArchiveEnd::Failed) {
        return 2;
    }
    return all_passed ? 0 : 1;
}

}  // namespace tessaline
