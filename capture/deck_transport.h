// SPDX-License-Identifier: GPL-3.0-or-later
// Driving a deck's tape and waiting for it: a transport or power command, then the deck asked
// again and again until it reports the state the command leads to (for rewind and fast forward:
// stopped at the end of the tape), within a time limit. Qt-free, on whatever thread calls it, on
// an injectable clock; `tessaline-cli deck`, and whatever digitises or verifies a tape, use it.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "capture/deck_driver.h"
#include "stream/json_writer.h"

namespace tessaline {

struct DeckWaitTiming {
    using Clock = std::chrono::steady_clock;
    // Between two looks at the deck.
    std::chrono::milliseconds poll{250};
    // A deck asked to wind that reports stop without having been seen winding is taken to be at
    // the end already once it has reported stop this long (it may take a moment to start).
    std::chrono::milliseconds wind_settle{2000};
    // Tests run on a clock of their own.
    std::function<Clock::time_point()> now;
    std::function<void(std::chrono::milliseconds)> sleep;
    // When set and true (Ctrl-C), a wait ends at the next look at the deck, as not reached.
    std::function<bool()> cancelled;
};

// The default time a command is waited for: a whole tape wound from end to end takes minutes.
inline constexpr std::chrono::minutes kDefaultDeckWait{10};

struct DeckCommandResult {
    enum class Outcome {
        Done,        // accepted (and, when waited for, the deck got there)
        Refused,     // the deck said no, or could not be reached
        TimedOut,    // accepted, but the deck did not get there in time
        Unsupported  // this deck has no such command, or cannot tell its state
    };
    Outcome outcome = Outcome::Refused;
    HResult code = kE_FAIL;  // the deck's answer to the command
    DeckStatus status;       // the last state read (the state after the command when waited)
    double waited_seconds = 0;
};
// {"power":"on","transport":"stop","position":12.0,"medium":"present","replies":{...}}: the
// position null when the deck keeps no counter, the replies as the deck gave them.
std::string DeckStatusJson(const DeckStatus& status);

// "done", "refused", "timed out", "unsupported".
const char* DeckOutcomeText(DeckCommandResult::Outcome outcome) noexcept;

// Whether a deck in `status` has got where `command` leads. `seen_winding`: it was seen winding
// since the command; `stopped_for`: how long it has reported stop (for winds that end at once).
bool DeckReached(TapeCommand command, const DeckStatus& status, bool seen_winding,
                 std::chrono::milliseconds stopped_for, std::chrono::milliseconds wind_settle);

class DeckTransportControl {
  public:
    explicit DeckTransportControl(DeckDriver& deck, DeckWaitTiming timing = {});

    // Sends the command; with `wait`, then waits up to that long for the deck to get there.
    DeckCommandResult Run(TapeCommand command,
                          std::optional<std::chrono::milliseconds> wait = std::nullopt);

    // Asks the deck until `done(status)` holds or `limit` has passed; the last state in `last`.
    // False on time-out, or when the deck cannot tell its state.
    bool WaitFor(const std::function<bool(const DeckStatus&)>& done,
                 std::chrono::milliseconds limit, DeckStatus& last);

    // Plays until the deck stops by itself (the tape's end, or someone pressed stop), at most
    // `limit`: true when it did.
    bool WaitForEndOfPlay(std::chrono::milliseconds limit, DeckStatus& last);

  private:
    DeckDriver& deck_;
    DeckWaitTiming timing_;
};

}  // namespace tessaline
