// SPDX-License-Identifier: GPL-3.0-or-later
// What bus.cpp, cdev.cpp and iso.cpp share: the nodes and their device files, the bus, and the
// helpers that queue events.
#pragma once

#include <linux/firewire-cdev.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "tests/fwemu/fwemu.h"

namespace fwemu {

inline constexpr uint64_t kCsrBase = 0xFFFFF0000000ull;
inline constexpr uint64_t kConfigRom = kCsrBase + 0x400;
inline constexpr uint64_t kFcpCommand = kCsrBase + 0xB00;
inline constexpr uint64_t kFcpResponse = kCsrBase + 0xD00;
inline constexpr uint64_t kFcpEnd = kCsrBase + 0xF00;
inline constexpr uint64_t kBandwidthAvailable = kCsrBase + 0x21C;
inline constexpr uint64_t kChannelsHi = kCsrBase + 0x220;
inline constexpr uint64_t kChannelsLo = kCsrBase + 0x224;
inline constexpr uint32_t kMaxBandwidth = 4915;
inline constexpr int kCyclesPerSecond = 8000;
inline constexpr unsigned kKernelAbi = 5;
// The kernel keeps a vanished node's device file this long after the last bus reset, and reads
// the configuration ROM of a node that (re)appeared this long after the reset
// (core-device.c: SHUTDOWN_DELAY, INITIAL_DELAY).
inline constexpr double kShutdownDelay = 2.0;
inline constexpr double kInitialDelay = 0.5;

// The device file of a node (/dev/fwN), which outlives the node for a while.
enum class DeviceState {
    Running,  // the node is on the bus and its device file is in use
    Gone,     // the node left; the file stays until the shutdown work runs
    Absent,   // no device file
};

struct Node {
    bool local = false;
    int device = 0;       // N of /dev/fwN, while the device file exists
    bool present = true;  // on the bus
    int phy = 0;
    double eacces_until = 0;
    DeviceState state = DeviceState::Running;
    uint64_t incarnation = 1;  // a new device file for the node counts up
    uint64_t created = 0;      // order of creation, for listing /dev
    double shutdown_at = 0;    // Gone: when the shutdown work looks next
    double found_at = -1;      // present again: when its configuration ROM is read
    // What the device file knows of its node: valid while it runs, stale once it is gone.
    uint32_t node_id = 0;
    uint32_t generation = 0;
};

struct Bus {
    std::vector<Node> nodes;  // [0] controller, [1] deck
    std::map<int, std::unique_ptr<Client>> clients;
    uint32_t generation = 3;
    uint64_t creations = 2;
    bool swapped = false;
    double last_reset = 0;
    uint32_t bandwidth = kMaxBandwidth;
    uint32_t channels_hi = 0xFFFFFFFFu;
    uint32_t channels_lo = 0xFFFFFFFFu;
    uint64_t cycle = 0;
    int64_t fast_cycles = 0;    // how far the bus clock is from the wall clock
    double starved_since = -1;  // a receiver's queue ran dry in fast pace
    int64_t first_iso_cycle = -1;
    size_t next_reset = 0;
    std::vector<bool> unplug_started, unplug_done;
    bool reset_requested = false;
    uint32_t inbound_handle = 1;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::condition_variable_any cv;
    bool thread_started = false;
};

Bus& TheBus();
Node& LocalNode();
Node& DeckNode();
uint32_t NodeId(const Node& n);
uint32_t RootId();
void PushEvent(Client& c, Bytes event);
fw_cdev_event_bus_reset ResetFor(const Client& c);
// The client's device file is the node's current one and runs (it gets bus resets, and its
// requests reach the node).
bool Attached(const Client& c);
uint16_t IsoCycleStamp(uint64_t cycle);
// An iso packet went over the bus: the first one starts the scripted events' clock.
void NoteIsoPacket();
// A request from a device file to its node (or, for a gone one, to whatever answers its old node
// ID now); returns the rcode.
uint32_t NodeRequest(const Client& c, uint32_t generation, uint32_t tcode, uint64_t offset,
                     const uint8_t* data, size_t length, Bytes& reply);

// ---- iso.cpp
int CreateIsoContext(Client& c, fw_cdev_create_iso_context& a);
int QueueIso(Client& c, fw_cdev_queue_iso& q);
int StartIso(Client& c, const fw_cdev_start_iso& s);
// Queues the iso interrupt event with the headers gathered since the last one.
void InterruptEvent(Client& c, uint64_t cycle);
// One cycle of the bus: the deck's packet to the receive contexts, the transmit contexts' next
// packet to the deck.
void ReceiveCycle(uint64_t cycle, unsigned channel, const Bytes& packet);
void TransmitCycle(uint64_t cycle);
// In fast pace the clock runs ahead while some iso stream can make progress.
bool IsoCanRunAhead(bool deck_flow);
// A started receive context on the channel has (next to) nothing queued: a packet now would be
// lost, or land where the program has not read yet.
bool IsoReceiverStarved(unsigned channel);

// An event as read() returns it: the fixed part up to the flexible array (not the padded size of
// the struct), then the array.
template <typename T>
Bytes EventBytes(const T& head, size_t head_size = sizeof(T), const uint8_t* tail = nullptr,
                 size_t tail_length = 0) {
    Bytes b(head_size + tail_length);
    std::memcpy(b.data(), &head, head_size);
    if (tail_length != 0) std::memcpy(b.data() + head_size, tail, tail_length);
    return b;
}

}  // namespace fwemu
