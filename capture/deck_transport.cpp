// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/deck_transport.h"

#include <cstdio>
#include <thread>

namespace tessaline {

std::string DeckStatusJson(const DeckStatus& s) {
    std::string j = "{\"power\":" + JsonQuote(DevicePowerText(s.power)) +
                    ",\"transport\":" + JsonQuote(DeckTransportText(s.transport)) +
                    ",\"position\":";
    if (s.position_seconds) {
        char number[32];
        std::snprintf(number, sizeof number, "%.3f", *s.position_seconds);
        j += number;
    } else {
        j += "null";
    }
    j += ",\"medium\":" + JsonQuote(DeckMediumText(s.medium)) + ",\"replies\":{";
    for (size_t i = 0; i < s.replies.size(); ++i) {
        j += (i == 0 ? "" : ",") + JsonQuote(s.replies[i].first) + ":" +
             JsonQuote(s.replies[i].second);
    }
    return j + "}}";
}

const char* DeckOutcomeText(DeckCommandResult::Outcome outcome) noexcept {
    using O = DeckCommandResult::Outcome;
    switch (outcome) {
        case O::Done:
            return "done";
        case O::Refused:
            return "refused";
        case O::TimedOut:
            return "timed out";
        case O::Unsupported:
            return "unsupported";
    }
    return "refused";
}

bool DeckReached(TapeCommand command, const DeckStatus& s, bool seen_winding,
                 std::chrono::milliseconds stopped_for, std::chrono::milliseconds wind_settle) {
    switch (command) {
        case TapeCommand::Play:
            return s.transport == DeckTransport::Play;
        case TapeCommand::Stop:
            return s.transport == DeckTransport::Stop;
        case TapeCommand::Pause:
            return s.transport == DeckTransport::Pause;
        case TapeCommand::RecordPause:
            return s.transport == DeckTransport::RecordPause;
        case TapeCommand::Rewind:
        case TapeCommand::FastForward:
            // The wind ends with the deck stopped at the tape's end (or start).
            return s.transport == DeckTransport::Stop &&
                   (seen_winding || stopped_for >= wind_settle);
        case TapeCommand::PowerOn:
            return s.power == ED_POWER_ON;
        case TapeCommand::PowerOff:
            return s.power == ED_POWER_OFF;
    }
    return false;
}

DeckTransportControl::DeckTransportControl(DeckDriver& deck, DeckWaitTiming timing)
    : deck_(deck), timing_(std::move(timing)) {
    if (!timing_.now) timing_.now = [] { return DeckWaitTiming::Clock::now(); };
    if (!timing_.sleep) {
        timing_.sleep = [](std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); };
    }
}

bool DeckTransportControl::WaitFor(const std::function<bool(const DeckStatus&)>& done,
                                   std::chrono::milliseconds limit, DeckStatus& last) {
    const auto give_up = timing_.now() + limit;
    for (;;) {
        DeckStatus status;
        if (!deck_.Status(status)) return false;
        last = std::move(status);
        if (done(last)) return true;
        if (timing_.now() >= give_up || (timing_.cancelled && timing_.cancelled())) return false;
        timing_.sleep(timing_.poll);
    }
}

bool DeckTransportControl::WaitForEndOfPlay(std::chrono::milliseconds limit, DeckStatus& last) {
    return WaitFor([](const DeckStatus& s) { return s.transport != DeckTransport::Play; }, limit,
                   last);
}

DeckCommandResult DeckTransportControl::Run(TapeCommand command,
                                            std::optional<std::chrono::milliseconds> wait) {
    using O = DeckCommandResult::Outcome;
    DeckCommandResult result;
    const auto start = timing_.now();
    result.code = deck_.Command(command);
    if (result.code == kE_NOTIMPL) {
        result.outcome = O::Unsupported;
        return result;
    }
    if (result.code != kS_OK) {
        result.outcome = O::Refused;
        deck_.Status(result.status);
        return result;
    }
    if (!wait) {
        result.outcome = O::Done;
        deck_.Status(result.status);
        return result;
    }
    const bool wind = command == TapeCommand::Rewind || command == TapeCommand::FastForward;
    const DeckTransport winding =
        command == TapeCommand::Rewind ? DeckTransport::Rewind : DeckTransport::FastForward;
    bool seen_winding = false;
    std::optional<DeckWaitTiming::Clock::time_point> stopped_since;
    const bool reached = WaitFor(
        [&](const DeckStatus& s) {
            const auto now = timing_.now();
            if (wind && s.transport == winding) seen_winding = true;
            if (s.transport == DeckTransport::Stop) {
                if (!stopped_since) stopped_since = now;
            } else {
                stopped_since.reset();
            }
            const auto stopped_for =
                stopped_since
                    ? std::chrono::duration_cast<std::chrono::milliseconds>(now - *stopped_since)
                    : std::chrono::milliseconds(0);
            return DeckReached(command, s, seen_winding, stopped_for, timing_.wind_settle);
        },
        *wait, result.status);
    // Not there in time, or a deck that cannot say where it is.
    DeckStatus probe;
    const bool told = reached || deck_.Status(probe);
    result.waited_seconds = std::chrono::duration<double>(timing_.now() - start).count();
    result.outcome = reached ? O::Done : told ? O::TimedOut : O::Unsupported;
    return result;
}

}  // namespace tessaline
