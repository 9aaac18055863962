// SPDX-License-Identifier: GPL-3.0-or-later
// The kernel side of the emulated bus: one controller (the local node) and one deck, their
// /dev/fwN files (which outlive a node for a while, as the kernel's do), a bus clock of 8000
// cycles a second, and the scripted events (bus resets, silence, unplug and replug).
#include <linux/firewire-constants.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <thread>

#include "tests/fwemu/bus_state.h"

namespace fwemu {

Bus& TheBus() {
    static Bus* bus = [] {
        auto* b = new Bus;
        Node controller;
        controller.local = true;
        controller.device = 0;
        controller.phy = 1;
        controller.created = 1;
        Node deck;
        deck.device = 1;
        deck.phy = 0;
        deck.created = 2;
        b->nodes = {controller, deck};
        for (Node& n : b->nodes) {
            n.node_id = NodeId(n);
            n.generation = b->generation;
        }
        return b;
    }();
    return *bus;
}

uint32_t NodeId(const Node& n) {
    return 0xFFC0u | static_cast<uint32_t>(n.phy);
}
Node& LocalNode() {
    return TheBus().nodes[0];
}
Node& DeckNode() {
    return TheBus().nodes[1];
}

uint32_t RootId() {
    return 0xFFC0u | static_cast<uint32_t>(DeckNode().present ? 1 : 0);
}

void PushEvent(Client& c, Bytes event) {
    if (c.gone) return;
    c.events.push_back(std::move(event));
    if (!c.signalled) {
        const char byte = 1;
        if (RealWrite(c.peer, &byte, 1) == 1) c.signalled = true;
    }
    TheBus().cv.notify_all();
}

bool Attached(const Client& c) {
    if (c.kind != FdKind::Node || c.gone) return false;
    const Node& n = TheBus().nodes[static_cast<size_t>(c.node)];
    return n.state == DeviceState::Running && n.incarnation == c.incarnation;
}

// As fill_bus_reset_event: the node ID and generation the device file knows (old ones for a node
// that is away), the rest from the card.
fw_cdev_event_bus_reset ResetFor(const Client& c) {
    const Node& n = TheBus().nodes[static_cast<size_t>(c.node)];
    fw_cdev_event_bus_reset r{};
    r.closure = c.bus_reset_closure;
    r.type = FW_CDEV_EVENT_BUS_RESET;
    r.node_id = n.node_id;
    r.local_node_id = NodeId(LocalNode());
    r.bm_node_id = NodeId(LocalNode());
    r.irm_node_id = NodeId(LocalNode());
    r.root_node_id = RootId();
    r.generation = n.generation;
    return r;
}

uint16_t IsoCycleStamp(uint64_t cycle) {
    return static_cast<uint16_t>(((cycle / kCyclesPerSecond) % 8) << 13 |
                                 (cycle % kCyclesPerSecond));
}

namespace {

double IsoTime() {
    Bus& b = TheBus();
    if (b.first_iso_cycle < 0) return -1;
    return static_cast<double>(static_cast<int64_t>(b.cycle) - b.first_iso_cycle) /
           kCyclesPerSecond;
}

void ResetEvents(Node& n) {
    for (auto& [fd, c] : TheBus().clients) {
        if (&TheBus().nodes[static_cast<size_t>(c->node)] == &n && Attached(*c)) {
            PushEvent(*c, EventBytes(ResetFor(*c)));
        }
    }
}

// `deck_sees_it`: the deck takes part in the reset (it is on the bus, or it is the one its own
// cable pull caused on its side).
void BusReset(const char* why, bool deck_sees_it) {
    Bus& b = TheBus();
    ++b.generation;
    b.last_reset = NowSeconds();
    if (DeckNode().present) {
        b.swapped = !b.swapped;
        DeckNode().phy = b.swapped ? 1 : 0;
        LocalNode().phy = b.swapped ? 0 : 1;
    } else {
        LocalNode().phy = 0;
    }
    // The resource manager starts empty; a deck that broadcasts claims its share at once.
    b.bandwidth = kMaxBandwidth;
    b.channels_hi = b.channels_lo = 0xFFFFFFFFu;
    if (DeckNode().present) DeckClaimResources(b.channels_lo, b.bandwidth);
    for (Node& n : b.nodes) {
        if (n.state == DeviceState::Running && n.present) {
            n.node_id = NodeId(n);
            n.generation = b.generation;
        }
    }
    Trace("bus-reset generation=%u local=%u deck=%d why=%s", b.generation, LocalNode().phy,
          DeckNode().present ? DeckNode().phy : -1, why);
    for (Node& n : b.nodes) ResetEvents(n);
    if (deck_sees_it) DeckBusReset(NowSeconds());
}

void InotifyCreate(int device) {
    char name[16];
    std::snprintf(name, sizeof name, "fw%d", device);
    for (auto& [fd, c] : TheBus().clients) {
        if (c->kind != FdKind::Inotify) continue;
        const size_t name_length = 16;
        Bytes ev(sizeof(inotify_event) + name_length, 0);
        inotify_event head{};
        head.wd = 1;
        head.mask = IN_CREATE;
        head.len = name_length;
        std::memcpy(ev.data(), &head, sizeof head);
        std::memcpy(ev.data() + sizeof head, name, std::strlen(name));
        PushEvent(*c, std::move(ev));
    }
}

// The kernel keeps the device file of a node that left (FW_NODE_DESTROYED: the device goes to
// the gone state, fw_device_shutdown runs SHUTDOWN_DELAY later).
void Unplug() {
    Node& deck = DeckNode();
    deck.present = false;
    deck.found_at = -1;
    if (deck.state == DeviceState::Running) {
        deck.state = DeviceState::Gone;
        deck.shutdown_at = NowSeconds() + kShutdownDelay;
    }
    DeckSetPresent(false);
    Trace("unplug device=fw%d", deck.device);
    BusReset("unplug", true);
}

// The node is back on the bus; its configuration ROM is read INITIAL_DELAY later, and only then
// does a device file come back (fw_node_event FW_NODE_CREATED).
void Replug() {
    Node& deck = DeckNode();
    deck.present = true;
    deck.found_at = NowSeconds() + kInitialDelay;
    DeckSetPresent(true);
    Trace("replug");
    BusReset("replug", true);
}

int LowestFreeDevice() {
    for (int n = 0;; ++n) {
        bool used = false;
        for (const Node& node : TheBus().nodes) {
            used = used || (node.state != DeviceState::Absent && node.device == n);
        }
        if (!used) return n;
    }
}

// fw_device_shutdown: not before SHUTDOWN_DELAY after the last bus reset; then the device file
// goes and its clients get ENODEV. fw_device_init: a node found again whose device file is still
// there gets that file back (lookup_existing_device), with a bus reset event to its clients;
// otherwise a new device file with the lowest free number (idr_alloc).
void DeviceTick(double now) {
    Bus& b = TheBus();
    Node& deck = DeckNode();
    if (deck.state == DeviceState::Gone && now >= deck.shutdown_at) {
        if (now < b.last_reset + kShutdownDelay) {
            deck.shutdown_at = now + kShutdownDelay;
        } else {
            deck.state = DeviceState::Absent;
            for (auto& [fd, c] : b.clients) {
                if (c->kind != FdKind::Node || c->node != 1 || c->incarnation != deck.incarnation) {
                    continue;
                }
                c->gone = true;
                if (c->iso) c->iso->started = false;
                shutdown(c->peer, SHUT_RDWR);
            }
            b.cv.notify_all();
            Trace("device fw%d removed", deck.device);
        }
    }
    if (deck.present && deck.found_at >= 0 && now >= deck.found_at) {
        deck.found_at = -1;
        deck.node_id = NodeId(deck);
        deck.generation = b.generation;
        if (deck.state == DeviceState::Gone) {
            deck.state = DeviceState::Running;
            Trace("device fw%d rediscovered", deck.device);
            ResetEvents(deck);
        } else if (deck.state == DeviceState::Absent) {
            deck.device = LowestFreeDevice();
            deck.state = DeviceState::Running;
            ++deck.incarnation;
            deck.created = ++b.creations;
            if (Config().replug_eacces_ms > 0) {
                deck.eacces_until = now + Config().replug_eacces_ms / 1000.0;
            }
            Trace("device fw%d created", deck.device);
            InotifyCreate(deck.device);
        }
    }
}

bool Silent() {
    const double t = IsoTime();
    if (t < 0) return false;
    for (const auto& w : Config().silences) {
        if (t >= w.from && t < w.to) return true;
    }
    return false;
}

void ScriptedEvents() {
    Bus& b = TheBus();
    const Settings& s = Config();
    if (b.reset_requested) {
        b.reset_requested = false;
        BusReset("requested", DeckNode().present);
    }
    const double t = IsoTime();
    if (t < 0) return;
    while (b.next_reset < s.resets.size() && t >= s.resets[b.next_reset]) {
        ++b.next_reset;
        BusReset("scripted", DeckNode().present);
    }
    b.unplug_started.resize(s.unplugs.size());
    b.unplug_done.resize(s.unplugs.size());
    for (size_t i = 0; i < s.unplugs.size(); ++i) {
        if (!b.unplug_started[i] && t >= s.unplugs[i].from) {
            b.unplug_started[i] = true;
            if (DeckNode().present) Unplug();
        }
        if (b.unplug_started[i] && !b.unplug_done[i] && t >= s.unplugs[i].to) {
            b.unplug_done[i] = true;
            if (!DeckNode().present) Replug();
        }
    }
}

void RunCycle() {
    Bus& b = TheBus();
    ScriptedEvents();
    unsigned channel = 0;
    Bytes packet;
    // The deck's tape moves whether or not its packets reach anybody.
    const bool delivered = DeckNode().present && !Silent();
    if (DeckTransmit(b.cycle, delivered, channel, packet) && delivered) {
        NoteIsoPacket();
        ReceiveCycle(b.cycle, channel, packet);
    }
    TransmitCycle(b.cycle);
    DeckCycle();
    ++b.cycle;
}

bool CanRunAhead() {
    return IsoCanRunAhead(DeckNode().present && DeckPlaying() && !Silent());
}

// In fast pace the clock also waits, up to a second at a time, for a receiver that has nothing
// queued, so that a loaded machine does not make a test lose packets; at the real pace they are
// lost, as on a bus.
constexpr double kLongestWait = 1.0;

bool HoldForReceiver(double now) {
    Bus& b = TheBus();
    unsigned channel = 0;
    const bool starved = Config().fast && DeckNode().present && !Silent() && DeckSending(channel) &&
                         IsoReceiverStarved(channel);
    if (!starved) {
        b.starved_since = -1;
        return false;
    }
    if (b.starved_since < 0) b.starved_since = now;
    return now - b.starved_since < kLongestWait;
}

void BusThread() {
    Bus& b = TheBus();
    for (;;) {
        {
            std::lock_guard lock(Lock());
            const double now = NowSeconds();
            const auto target = static_cast<int64_t>(now * kCyclesPerSecond) + b.fast_cycles;
            while (static_cast<int64_t>(b.cycle) < target) {
                if (HoldForReceiver(now)) {
                    b.fast_cycles -= target - static_cast<int64_t>(b.cycle);
                    break;
                }
                RunCycle();
            }
            if (Config().fast) {
                for (int i = 0; i < 2000 && CanRunAhead(); ++i) {
                    RunCycle();
                    ++b.fast_cycles;
                }
            }
            DeviceTick(now);
            DeckTick(now);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void StartBusThread() {
    Bus& b = TheBus();
    if (b.thread_started) return;
    b.thread_started = true;
    // Bus time, and so the tape, starts with the bus.
    b.start = std::chrono::steady_clock::now();
    DeckInit();
    DeckClaimResources(b.channels_lo, b.bandwidth);
    std::thread bus(BusThread);
    pthread_setname_np(bus.native_handle(), "fwemu-bus");
    bus.detach();
}

Client* NewClient(FdKind kind, int node) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) != 0) {
        return nullptr;
    }
    auto c = std::make_unique<Client>();
    c->kind = kind;
    c->fd = pair[0];
    c->peer = pair[1];
    c->node = node;
    if (node >= 0) {
        const Node& n = TheBus().nodes[static_cast<size_t>(node)];
        c->device = n.device;
        c->incarnation = n.incarnation;
    }
    Client* raw = c.get();
    TheBus().clients[c->fd] = std::move(c);
    return raw;
}

}  // namespace

void NoteIsoPacket() {
    Bus& b = TheBus();
    if (b.first_iso_cycle < 0) {
        b.first_iso_cycle = static_cast<int64_t>(b.cycle);
        Trace("first-iso-packet");
    }
}

std::recursive_mutex& Lock() {
    static auto* mu = new std::recursive_mutex;
    return *mu;
}

double NowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - TheBus().start).count();
}

int DeckPhy() {
    return DeckNode().phy;
}
uint64_t BusCycle() {
    return TheBus().cycle;
}

bool ListenerOn(unsigned channel) {
    for (auto& [fd, c] : TheBus().clients) {
        if (c->iso && c->iso->started && !c->gone && c->iso->type == FW_CDEV_ISO_CONTEXT_RECEIVE &&
            c->iso->channel == channel) {
            return true;
        }
    }
    return false;
}

uint32_t Be32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
void PutBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

bool IsEmulatedDevicePath(const char* path, int& device) {
    if (path == nullptr || std::strncmp(path, "/dev/fw", 7) != 0) return false;
    const char* digits = path + 7;
    if (*digits == '\0') return false;
    int n = 0;
    for (const char* p = digits; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        n = n * 10 + (*p - '0');
    }
    device = n;
    return true;
}

std::vector<std::string> DeviceNames() {
    std::lock_guard lock(Lock());
    std::vector<std::pair<uint64_t, std::string>> files;
    for (const Node& n : TheBus().nodes) {
        if (n.state != DeviceState::Absent) {
            files.emplace_back(n.created, "fw" + std::to_string(n.device));
        }
    }
    // Newest first, as a tmpfs /dev lists them (the deck before the controller), unless asked
    // for the other order.
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
        return Config().dev_oldest_first ? a.first < b.first : a.first > b.first;
    });
    std::vector<std::string> names{".", ".."};
    for (auto& [created, name] : files) names.push_back(name);
    return names;
}

bool SysfsAttribute(const char* path, std::string& text) {
    static const char kPrefix[] = "/sys/bus/firewire/devices/fw";
    if (path == nullptr || std::strncmp(path, kPrefix, sizeof kPrefix - 1) != 0) return false;
    const char* p = path + sizeof kPrefix - 1;
    int device = 0;
    if (*p < '0' || *p > '9') return false;
    for (; *p >= '0' && *p <= '9'; ++p) device = device * 10 + (*p - '0');
    if (*p != '/') return false;
    const std::string attr = p + 1;
    std::lock_guard lock(Lock());
    for (const Node& n : TheBus().nodes) {
        if (n.state == DeviceState::Absent || n.device != device) continue;
        char guid[32];
        std::snprintf(guid, sizeof guid, "0x%016llx\n",
                      static_cast<unsigned long long>(n.local ? 0x0000D0000E010CA1ull
                                                              : 0x0000D0000E0DECCAull));
        if (attr == "is_local") {
            text = n.local ? "1\n" : "0\n";
        } else if (attr == "guid") {
            text = guid;
        } else if (attr == "vendor_name") {
            text = n.local ? "Linux\n" : "Fwemu\n";
        } else if (attr == "model_name" && !n.local) {
            text = "D-VHS Deck\n";
        } else if (attr == "units" && !n.local) {
            text = " 0x00a02d:0x010001\n";
        } else {
            return false;
        }
        return true;
    }
    return false;
}

// fw_device_op_open: any device file that is not shut down opens, also one whose node left.
int OpenNode(int device) {
    std::lock_guard lock(Lock());
    Bus& b = TheBus();
    for (size_t i = 0; i < b.nodes.size(); ++i) {
        const Node& n = b.nodes[i];
        if (n.state == DeviceState::Absent || n.device != device) continue;
        const bool denied = (n.local && Config().no_local_access) ||
                            (!n.local && Config().deck_eacces) ||
                            (!n.local && NowSeconds() < n.eacces_until);
        if (denied) {
            Trace("open /dev/fw%d denied", device);
            errno = EACCES;
            return -1;
        }
        StartBusThread();
        Client* c = NewClient(FdKind::Node, static_cast<int>(i));
        if (c == nullptr) return -1;
        Trace("open /dev/fw%d fd=%d", device, c->fd);
        return c->fd;
    }
    errno = ENOENT;
    return -1;
}

int OpenInotify() {
    std::lock_guard lock(Lock());
    Client* c = NewClient(FdKind::Inotify, -1);
    return c == nullptr ? -1 : c->fd;
}

Client* FindClient(int fd) {
    auto& clients = TheBus().clients;
    const auto it = clients.find(fd);
    return it == clients.end() ? nullptr : it->second.get();
}

void CloseClient(int fd) {
    auto& clients = TheBus().clients;
    const auto it = clients.find(fd);
    if (it == clients.end()) return;
    RealClose(it->second->peer);
    RealClose(it->second->fd);
    clients.erase(it);
    TheBus().cv.notify_all();
}

// fw_device_op_mmap: the buffer is whole pages. A page nobody may touch follows it, so that
// reading past its last page faults here as it would past the kernel's mapping.
void* MapIso(Client& c, size_t length) {
    if (!c.iso || c.map != nullptr || length == 0) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t pages = (length + page - 1) / page * page;
    void* p =
        ::mmap(nullptr, pages + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return p;
    mprotect(static_cast<uint8_t*>(p) + pages, page, PROT_NONE);
    c.map = static_cast<uint8_t*>(p);
    c.map_length = pages;
    return p;
}

void ForgetMapping(void* addr) {
    for (auto& [fd, c] : TheBus().clients) {
        if (c->map == addr) {
            const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
            ::munmap(c->map + c->map_length, page);
            c->map = nullptr;
            c->map_length = 0;
            if (c->iso) c->iso->started = false;
        }
    }
}

ssize_t ReadEvent(int fd, void* buf, size_t n) {
    std::unique_lock lock(Lock());
    for (;;) {
        Client* c = FindClient(fd);
        if (c == nullptr) {
            errno = EBADF;
            return -1;
        }
        // Events queued before the device file went are still handed out, as the kernel does.
        if (c->gone && c->events.empty()) {
            errno = ENODEV;
            return -1;
        }
        if (!c->events.empty()) {
            Bytes event = std::move(c->events.front());
            c->events.pop_front();
            if (c->events.empty() && c->signalled) {
                char byte;
                RealRead(c->fd, &byte, 1);
                c->signalled = false;
            }
            const size_t length = std::min(n, event.size());
            std::memcpy(buf, event.data(), length);
            return static_cast<ssize_t>(length);
        }
        TheBus().cv.wait(lock);
    }
}

}  // namespace fwemu
