// SPDX-License-Identifier: GPL-3.0-or-later
// What bus.cpp and cdev.cpp share: the nodes and the bus, and the helpers that queue events.
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

struct Node {
    bool local = false;
    int device = 0;  // N of /dev/fwN
    bool present = true;
    int phy = 0;
    double eacces_until = 0;
};

struct Bus {
    std::vector<Node> nodes;  // [0] controller, [1] deck
    std::map<int, std::unique_ptr<Client>> clients;
    uint32_t generation = 3;
    int next_device = 2;
    bool swapped = false;
    uint32_t bandwidth = kMaxBandwidth;
    uint32_t channels_hi = 0xFFFFFFFFu;
    uint32_t channels_lo = 0xFFFFFFFFu;
    uint64_t cycle = 0;
    uint64_t fast_cycles = 0;
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
uint16_t IsoCycleStamp(uint64_t cycle);
// Queues the iso interrupt event with the headers gathered since the last one.
void InterruptEvent(Client& c, uint64_t cycle);

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
