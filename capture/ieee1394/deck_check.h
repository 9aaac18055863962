// SPDX-License-Identifier: GPL-3.0-or-later
// deck-check: what an owner of a real deck runs first and attaches to a bug report. Which
// /dev/fw* nodes this user may open (the controller's own among them), every node's ROM, the
// deck's power and transport state, its plug registers, and a short receive test while it plays.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/ieee1394/cip.h"
#include "capture/ieee1394/enumerate.h"
#include "capture/ieee1394/seams.h"
#include "capture/ieee1394/streaming.h"

namespace tessaline::fw {

// One /dev/fw* node and whether it opens.
struct DeviceNodeAccess {
    std::string path;
    bool opens = false;
    std::string error;  // why not
    int local = -1;     // 1 the controller itself, 0 another node, -1 unknown
};

// The /dev/fw* nodes in name order.
std::vector<DeviceNodeAccess> ListDeviceNodes();

struct DeckCheckReport {
    std::vector<DeviceNodeAccess> device_nodes;
    std::string bus_problem;  // why no bus could be used, or a warning about it
    BusStatus nodes_status = BusStatus::IoError;
    std::vector<NodeInfo> nodes;
    std::vector<DeckEntry> decks;
    // The deck checked; the rest is about it.
    std::optional<DeckEntry> deck;
    std::string power = "unknown";
    std::string transport = "unknown";
    std::string transport_reply;  // the reply's bytes, or what went wrong
    // The tape: position by the deck's counter (none when it keeps none), the cassette.
    std::optional<double> position;
    std::string position_reply;
    std::string medium = "unknown";
    std::string medium_reply;
    std::optional<uint32_t> ompr, opcr0, impr, ipcr0;
    // The receive test; `played`: the check started playback for it (and stopped it after).
    bool played = false;
    bool received = false;
    std::string receive_note;  // why it was not run, or how it ended
    double receive_seconds = 0;
    LinkReport link;
};

// Fills in everything after device_nodes and bus_problem, for deck `device` (index among the
// decks found, in the order `devices` lists them). The receive test runs while the deck plays;
// with `play`, a deck that does not is told to play first and to stop after. It lasts `receive`
// unless the stream ends first.
void CheckDeck(Ieee1394Port& port, int device, std::chrono::milliseconds receive,
               DeckCheckReport& report, bool play = false);

// "online, p2p 1, channel 0, S200, payload 242 quadlets" for an output or input plug register.
std::string PlugText(uint32_t pcr, bool output);

std::string DeckCheckText(const DeckCheckReport& report);
std::string DeckCheckJson(const DeckCheckReport& report);

// The whole check on this machine's buses (device nodes included); false when no deck could be
// checked. Built without libraw1394 it says so in bus_problem.
bool CheckSystemDeck(int device, std::chrono::milliseconds receive, DeckCheckReport& report,
                     bool play = false);

}  // namespace tessaline::fw
