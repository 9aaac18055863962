// SPDX-License-Identifier: GPL-3.0-or-later
// Driving a tape and waiting for the deck to get there, on a clock of the test's own.
#include "capture/deck_transport.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>

namespace tessaline {
namespace {

using namespace std::chrono_literals;

// A deck whose answers are scripted: each status read takes the next state (the last one
// repeats); commands are kept and answered with `answer`.
class ScriptedDeck final : public DeckDriver {
  public:
    std::deque<DeckStatus> states;
    bool tells = true;
    HResult answer = kS_OK;
    std::vector<TapeCommand> commands;
    int reads = 0;

    static DeckStatus State(DeckTransport transport, int32_t power = ED_POWER_ON,
                            std::optional<double> position = std::nullopt) {
        DeckStatus s;
        s.power = power;
        s.transport = transport;
        s.position_seconds = position;
        s.replies = {{"transport", "0C 20 C4 60"}};
        return s;
    }

    DeckListing Listing() const override { return {}; }
    HResult GetPower(int32_t&) override { return kE_NOTIMPL; }
    HResult SetPower(int32_t) override { return kE_NOTIMPL; }
    HResult SetMode(int32_t) override { return kE_NOTIMPL; }
    int32_t Capture(ISampleGrabberCB&, const StopSignal&) override { return 0; }
    int32_t Playback(const std::string&, const StopSignal&) override { return 0; }
    HResult Prepare(bool, const std::string&) override { return kS_OK; }
    std::string Describe() override { return {}; }
    bool Status(DeckStatus& status) override {
        if (!tells) return false;
        ++reads;
        status = states.front();
        if (states.size() > 1) states.pop_front();
        return true;
    }
    HResult Command(TapeCommand command) override {
        commands.push_back(command);
        return answer;
    }
};

// A clock that moves only when the control sleeps.
struct TestClock {
    DeckWaitTiming::Clock::time_point now{};
    DeckWaitTiming Timing() {
        DeckWaitTiming t;
        t.now = [this] { return now; };
        t.sleep = [this](std::chrono::milliseconds ms) { now += ms; };
        return t;
    }
};

using Outcome = DeckCommandResult::Outcome;

TEST(DeckTransport, EachCommandWaitsForTheStateItLeadsTo) {
    const struct {
        TapeCommand command;
        std::vector<DeckStatus> states;
        int reads;  // how many looks it took
    } cases[] = {
        {TapeCommand::Play,
         {ScriptedDeck::State(DeckTransport::Stop), ScriptedDeck::State(DeckTransport::Play)},
         2},
        {TapeCommand::Stop, {ScriptedDeck::State(DeckTransport::Stop)}, 1},
        {TapeCommand::Pause,
         {ScriptedDeck::State(DeckTransport::Play), ScriptedDeck::State(DeckTransport::Pause)},
         2},
        {TapeCommand::RecordPause,
         {ScriptedDeck::State(DeckTransport::Stop),
          ScriptedDeck::State(DeckTransport::RecordPause)},
         2},
        {TapeCommand::PowerOn,
         {ScriptedDeck::State(DeckTransport::Stop, ED_POWER_OFF),
          ScriptedDeck::State(DeckTransport::Stop, ED_POWER_ON)},
         2},
        {TapeCommand::PowerOff, {ScriptedDeck::State(DeckTransport::Stop, ED_POWER_OFF)}, 1},
        // A wind is over when the deck has wound and stopped at the end.
        {TapeCommand::FastForward,
         {ScriptedDeck::State(DeckTransport::Stop), ScriptedDeck::State(DeckTransport::FastForward),
          ScriptedDeck::State(DeckTransport::FastForward),
          ScriptedDeck::State(DeckTransport::Stop)},
         4},
        {TapeCommand::Rewind,
         {ScriptedDeck::State(DeckTransport::Rewind), ScriptedDeck::State(DeckTransport::Stop)},
         2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(DeckTransportText(c.states.back().transport));
        ScriptedDeck deck;
        deck.states.assign(c.states.begin(), c.states.end());
        TestClock clock;
        DeckTransportControl control(deck, clock.Timing());
        const DeckCommandResult r = control.Run(c.command, 10min);
        EXPECT_EQ(r.outcome, Outcome::Done);
        EXPECT_EQ(deck.reads, c.reads);
        EXPECT_EQ(deck.commands, std::vector<TapeCommand>{c.command});
    }
}

TEST(DeckTransport, AWindThatFindsTheTapeAtItsEndIsOverOnceTheDeckStaysStopped) {
    // Already at the end: the deck never winds. Its first "stop" may come before it started to
    // move, so it counts only once it has held for the settle time.
    ScriptedDeck deck;
    deck.states = {ScriptedDeck::State(DeckTransport::Stop, ED_POWER_ON, 40.0)};
    TestClock clock;
    DeckWaitTiming timing = clock.Timing();
    timing.wind_settle = 2s;
    DeckTransportControl control(deck, timing);
    const DeckCommandResult r = control.Run(TapeCommand::FastForward, 10min);
    EXPECT_EQ(r.outcome, Outcome::Done);
    EXPECT_GE(r.waited_seconds, 2.0);
    EXPECT_LT(r.waited_seconds, 3.0);
    EXPECT_EQ(r.status.position_seconds, 40.0);
}

TEST(DeckTransport, RefusalsTimeOutsAndDecksThatCannotTell) {
    {
        ScriptedDeck deck;
        deck.answer = kE_FAIL;  // REJECTED
        deck.states = {ScriptedDeck::State(DeckTransport::Stop)};
        TestClock clock;
        const DeckCommandResult r =
            DeckTransportControl(deck, clock.Timing()).Run(TapeCommand::Play, 1min);
        EXPECT_EQ(r.outcome, Outcome::Refused);
        EXPECT_EQ(r.code, kE_FAIL);
        EXPECT_EQ(r.status.transport, DeckTransport::Stop);  // the state it stayed in
    }
    {
        // Accepted, but the deck never gets there: given up at the limit, not before.
        ScriptedDeck deck;
        deck.states = {ScriptedDeck::State(DeckTransport::Stop)};
        TestClock clock;
        const DeckCommandResult r =
            DeckTransportControl(deck, clock.Timing()).Run(TapeCommand::Play, 30s);
        EXPECT_EQ(r.outcome, Outcome::TimedOut);
        EXPECT_GE(r.waited_seconds, 30.0);
        EXPECT_LT(r.waited_seconds, 31.0);
    }
    {
        ScriptedDeck deck;
        deck.answer = kE_NOTIMPL;
        TestClock clock;
        EXPECT_EQ(DeckTransportControl(deck, clock.Timing()).Run(TapeCommand::Pause, 1min).outcome,
                  Outcome::Unsupported);
    }
    {
        // Accepted by a deck that cannot say where it is: nothing to wait for.
        ScriptedDeck deck;
        deck.tells = false;
        TestClock clock;
        EXPECT_EQ(DeckTransportControl(deck, clock.Timing()).Run(TapeCommand::Play, 1min).outcome,
                  Outcome::Unsupported);
        // Not waited for, the command alone is done.
        EXPECT_EQ(DeckTransportControl(deck, clock.Timing()).Run(TapeCommand::Play).outcome,
                  Outcome::Done);
    }
    {
        // A wait that is cancelled (Ctrl-C) ends at the next look, as not reached, long before
        // a ten-minute rewind would.
        ScriptedDeck deck;
        deck.states = {ScriptedDeck::State(DeckTransport::Rewind)};
        TestClock clock;
        DeckWaitTiming timing = clock.Timing();
        timing.cancelled = [&deck] { return deck.reads >= 3; };
        const DeckCommandResult r =
            DeckTransportControl(deck, timing).Run(TapeCommand::Rewind, 10min);
        EXPECT_EQ(r.outcome, Outcome::TimedOut);
        EXPECT_EQ(deck.reads, 4);  // three looks, and the one that asks whether it can tell
        EXPECT_LT(r.waited_seconds, 1.0);
    }
}

TEST(DeckTransport, TheEndOfTheTapeIsADeckThatStopsPlayingByItself) {
    ScriptedDeck deck;
    deck.states = {ScriptedDeck::State(DeckTransport::Play, ED_POWER_ON, 38.0),
                   ScriptedDeck::State(DeckTransport::Play, ED_POWER_ON, 39.0),
                   ScriptedDeck::State(DeckTransport::Stop, ED_POWER_ON, 40.0)};
    TestClock clock;
    DeckTransportControl control(deck, clock.Timing());
    DeckStatus last;
    EXPECT_TRUE(control.WaitForEndOfPlay(1h, last));
    EXPECT_EQ(last.position_seconds, 40.0);
}

TEST(DeckTransport, StatusAsJson) {
    DeckStatus s = ScriptedDeck::State(DeckTransport::RecordPause, ED_POWER_ON, 12.5);
    s.medium = DeckMedium::Protected;
    s.replies = {{"power", "0C FF B2 70"}, {"medium", "bus \"reset\""}};
    EXPECT_EQ(DeckStatusJson(s),
              "{\"power\":\"on\",\"transport\":\"record-pause\",\"position\":12.500,"
              "\"medium\":\"protected\",\"replies\":{\"power\":\"0C FF B2 70\","
              "\"medium\":\"bus \\\"reset\\\"\"}}");
    s.position_seconds.reset();
    s.power = 0;
    EXPECT_NE(DeckStatusJson(s).find("\"power\":\"unknown\",\"transport\":\"record-pause\","
                                     "\"position\":null"),
              std::string::npos);
    // A byte that is no UTF-8 (a ROM in another encoding) is replaced, never passed on raw.
    EXPECT_EQ(JsonQuote(std::string("a\x01\xC3")), "\"a\\u0001\\ufffd\"");
}

}  // namespace
}  // namespace tessaline
