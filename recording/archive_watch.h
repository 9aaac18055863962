// SPDX-License-Identifier: GPL-3.0-or-later
// When archiving a tape stops, and what its exit code says. Looked at a few times a second by
// the command that plays the tape; Qt-free, on whatever clock the caller reads.
//
//   end-of-tape  the deck stopped by itself (it does at the tape's end) and what it sent has
//                come in;
//   blank        the deck has sent only empty packets for longer than the blank limit: the
//                recorded part of the tape is over;
//   stopped      Ctrl-C or SIGTERM;
//   watchdog     the deck says it plays, but nothing at all (not even empty packets) has come
//                for the watchdog's time;
//                The capture side gives up on a silent deck a little later by itself: its error
//                after a quiet spell of half the watchdog's time or more is the watchdog's too;
//   failed       a file could not be written, or the deck's stream broke off with an error.
#pragma once

#include <chrono>
#include <cstdint>

namespace tessaline {

enum class ArchiveEnd { None, EndOfTape, Blank, Stopped, Watchdog, Failed };

// "end-of-tape", "blank", "stopped", "watchdog", "failed"; "" for None.
const char* ArchiveEndName(ArchiveEnd end) noexcept;

struct ArchiveLimits {
    double blank_stop = 180;  // seconds of blank tape
    std::chrono::milliseconds watchdog{10000};
    // After the deck stopped, the stream is taken to be over once nothing new came this long.
    std::chrono::milliseconds drain{1000};
};

class ArchiveWatch {
  public:
    using Clock = std::chrono::steady_clock;

    ArchiveWatch(ArchiveLimits limits, Clock::time_point start) noexcept
        : limits_(limits), last_activity_at_(start), last_bytes_at_(start) {}

    struct Look {
        Clock::time_point now;
        uint64_t bytes = 0;         // stream bytes received so far
        uint64_t activity = 0;      // anything else the deck was heard sending (empty packets)
        bool deck_stopped = false;  // the deck reports stop (or no cassette)
        double blank_now = 0;       // seconds of empty packets since the last data
        bool stop_asked = false;
        bool failed = false;         // a write failed
        bool stream_failed = false;  // the deck's stream ended with an error
    };
    // The reason to stop now; None to go on. Once a reason is given it stays.
    ArchiveEnd Check(const Look& look) noexcept;

    ArchiveEnd end() const noexcept { return end_; }

  private:
    ArchiveLimits limits_;
    ArchiveEnd end_ = ArchiveEnd::None;
    uint64_t bytes_ = 0;
    uint64_t activity_ = 0;
    Clock::time_point last_activity_at_;
    Clock::time_point last_bytes_at_;
    bool deck_stopped_ = false;
};

// The command's exit code: 3 when no recording was saved, 2 when archiving ended part-way
// (stopped, watchdog, failed: what was saved is kept and reported), else 1 when a recording has
// errors and 0 when every one passed.
int ArchiveExitCode(ArchiveEnd end, size_t recordings_saved, bool all_passed) noexcept;

}  // namespace tessaline
