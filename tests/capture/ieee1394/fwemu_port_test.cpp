// SPDX-License-Identifier: GPL-3.0-or-later
// The real bus (libraw1394 under the emulated kernel interface, preloaded into this test) in the
// situations its recovery code is for: bus resets pending on the control handle while a stream
// runs on another, and a control handle that cannot hear of resets at all. Each scenario runs in
// a child process, since the emulator reads its configuration once per process.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/ieee1394/enumerate.h"
#include "capture/ieee1394/ieee1394_deck.h"
#include "capture/ieee1394/raw1394_bus.h"
#include "tests/support/test_support.h"

namespace tessaline::fw {
namespace {

bool Preloaded() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::string(preload).find("fwemu") != std::string::npos;
}

// Runs `scenario` in a child with the emulator configured by `env`; its exit status (0: all
// held; else the step that failed, said on standard error).
int InChild(const std::vector<std::pair<std::string, std::string>>& env,
            const std::function<int()>& scenario) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
        std::_Exit(scenario());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

class Counter final : public IsoPacketSink {
  public:
    bool Packet(const IsoPacket&) override {
        ++packets;
        return true;
    }
    size_t packets = 0;
};

// The bus and its one deck, connected and received from until `packets` iso packets came: the
// emulator's events run on bus time from the first packet, one packet a cycle.
struct Receiving {
    std::vector<std::unique_ptr<IBusPort>> ports;
    DeckEntry deck;
    CmpConnection conn;
    uint32_t generation = 0;  // at the connection

    int Run(size_t packets) {
        std::string reason;
        ports = OpenRaw1394Ports(reason);
        if (ports.empty()) return Fail(2, "no port: " + reason);
        IBusPort& bus = *ports[0];
        AvcClient avc(bus.Fcp());
        std::vector<DeckEntry> decks;
        if (FindDecks(bus.Bus(), avc, decks) != BusStatus::Ok || decks.empty()) {
            return Fail(3, "no deck");
        }
        deck = decks[0];
        conn.output_phy = deck.phy;
        conn.input_phy = -1;
        const int channel = bus.Cmp().Connect(conn);
        if (channel < 0) return Fail(4, "no connection");
        generation = bus.Bus().Generation();
        std::unique_ptr<IIsoSource> source = bus.OpenIsoSource();
        if (!source || !source->Start(channel)) return Fail(5, "cannot receive");
        Counter counter;
        StopSignal stop;
        const auto give_up = Clock::now() + std::chrono::seconds(20);
        while (counter.packets < packets && Clock::now() < give_up) {
            if (WaitReadable(source->Fd(), stop, std::chrono::milliseconds(100))) {
                if (source->Iterate(counter) == IsoStatus::Error) return Fail(6, "receive failed");
            }
        }
        source->Stop();
        return counter.packets >= packets ? 0 : Fail(7, "too few packets");
    }
    static int Fail(int code, const std::string& what) {
        std::fprintf(stderr, "step %d: %s\n", code, what.c_str());
        return code;
    }
};

std::string Sample() {
    return test::SamplePath("sample-sd-192.ts").string();
}

// Three resets while the stream runs, then the first look at the bus.
int ResetsPiledUp() {
    Receiving r;
    const int rc = r.Run(4000);  // half a second of bus time
    if (rc != 0) return rc;
    IBus& bus = r.ports[0]->Bus();
    const uint32_t first = bus.Generation();
    if (first - r.generation != 3) {
        return Receiving::Fail(
            10, "the first look saw " + std::to_string(first - r.generation) + " resets of 3");
    }
    // Three swaps of the two node numbers: the deck is on the other one now.
    const std::optional<int> phy = FindPhyByGuid(bus, r.deck.guid);
    if (!phy || *phy == r.deck.phy) return Receiving::Fail(11, "the deck's new node unseen");
    return 0;
}

TEST(FwemuBackendPort, ResetsPendingOnTheControlHandleAreAllSeenAtTheNextLook) {
    // Recovery path: while a stream runs on its own handle nobody reads the control handle's
    // events, and resets pile up there. The next look at the generation must take them all (a
    // drain of one event per call, or a look that does not drain, leaves the handle behind).
    if (!Preloaded()) GTEST_SKIP() << "run under LD_PRELOAD=libfwemu.so (ctest does)";
    EXPECT_EQ(InChild({{"FWEMU_PACE", "fast"},
                       {"FWEMU_PLAY", Sample()},
                       {"FWEMU_EVENTS", "reset@0.05,reset@0.1,reset@0.15"}},
                      ResetsPiledUp),
              0);
}

// The stream, then a command to the deck on the control handle that never heard of the resets.
int AskTheDeckAfterUnannouncedResets() {
    Receiving r;
    const int rc = r.Run(4000);
    if (rc != 0) return rc;
    auto port = std::make_shared<Ieee1394Port>(std::move(r.ports[0]));
    DeckTiming timing;
    timing.deck_return = std::chrono::milliseconds(0);
    Ieee1394Deck deck(port, r.deck, timing);
    int32_t power = 0;
    if (deck.GetPower(power) != kS_OK || power != ED_POWER_ON) {
        return Receiving::Fail(10, "the deck did not answer");
    }
    return 0;
}

TEST(FwemuBackendPort, WithoutTheControllersNodeAStaleHandleIsMadeAfresh) {
    // Recovery path: without the controller's node the control handle never hears of a reset.
    // With the deck on its old node number again (two resets) the next request fails on the
    // stale generation, and only a fresh handle, not a retry on the old one, reaches the deck;
    // with the numbers swapped (one reset) the request goes to the wrong node and is not even
    // acknowledged, and that too must lead to a fresh handle.
    if (!Preloaded()) GTEST_SKIP() << "run under LD_PRELOAD=libfwemu.so (ctest does)";
    for (const char* events : {"reset@0.05,reset@0.1", "reset@0.05"}) {
        SCOPED_TRACE(events);
        EXPECT_EQ(InChild({{"FWEMU_PACE", "fast"},
                           {"FWEMU_PLAY", Sample()},
                           {"FWEMU_NO_LOCAL_ACCESS", "1"},
                           {"FWEMU_EVENTS", events}},
                          AskTheDeckAfterUnannouncedResets),
                  0);
    }
}

}  // namespace
}  // namespace tessaline::fw
