// SPDX-License-Identifier: GPL-3.0-or-later
// The kernel side of the emulated bus: one controller (the local node) and one deck, their
// /dev/fwN files, transactions, address ranges, iso contexts driven by a bus clock of 8000
// cycles a second, and the scripted events (bus resets, silence, unplug and replug).
#include <linux/firewire-constants.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

#include "tests/fwemu/bus_state.h"

namespace fwemu {

Bus& TheBus() {
    static Bus* bus = [] {
        auto* b = new Bus;
        b->nodes.push_back(Node{true, 0, true, 1, 0});
        b->nodes.push_back(Node{false, 1, true, 0, 0});
        return b;
    }();
    return *bus;
}

uint32_t NodeId(const Node& n) { return 0xFFC0u | static_cast<uint32_t>(n.phy); }
Node& LocalNode() { return TheBus().nodes[0]; }
Node& DeckNode() { return TheBus().nodes[1]; }

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

fw_cdev_event_bus_reset ResetFor(const Client& c) {
    fw_cdev_event_bus_reset r{};
    r.closure = c.bus_reset_closure;
    r.type = FW_CDEV_EVENT_BUS_RESET;
    r.node_id = NodeId(TheBus().nodes[static_cast<size_t>(c.node)]);
    r.local_node_id = NodeId(LocalNode());
    r.bm_node_id = NodeId(LocalNode());
    r.irm_node_id = NodeId(LocalNode());
    r.root_node_id = RootId();
    r.generation = TheBus().generation;
    return r;
}

uint16_t IsoCycleStamp(uint64_t cycle) {
    return static_cast<uint16_t>(((cycle / kCyclesPerSecond) % 8) << 13 | (cycle % kCyclesPerSecond));
}


namespace {

double IsoTime() {
    Bus& b = TheBus();
    if (b.first_iso_cycle < 0) return -1;
    return static_cast<double>(static_cast<int64_t>(b.cycle) - b.first_iso_cycle) / kCyclesPerSecond;
}

void BusReset(const char* why) {
    Bus& b = TheBus();
    ++b.generation;
    if (DeckNode().present) {
        b.swapped = !b.swapped;
        DeckNode().phy = b.swapped ? 1 : 0;
        LocalNode().phy = b.swapped ? 0 : 1;
    } else {
        LocalNode().phy = 0;
    }
    b.bandwidth = kMaxBandwidth;
    b.channels_hi = b.channels_lo = 0xFFFFFFFFu;
    Trace("bus-reset generation=%u local=%u deck=%d why=%s", b.generation, LocalNode().phy,
          DeckNode().present ? DeckNode().phy : -1, why);
    for (auto& [fd, c] : b.clients) {
        if (c->kind == FdKind::Node && !c->gone) PushEvent(*c, EventBytes(ResetFor(*c)));
    }
    DeckBusReset(NowSeconds());
}

void Unplug() {
    Bus& b = TheBus();
    DeckNode().present = false;
    for (auto& [fd, c] : b.clients) {
        if (c->kind != FdKind::Node || c->node != 1 || c->gone) continue;
        c->gone = true;
        if (c->iso) c->iso->started = false;
        shutdown(c->peer, SHUT_RDWR);
    }
    b.cv.notify_all();
    DeckSetPresent(false);
    Trace("unplug device=fw%d", DeckNode().device);
    BusReset("unplug");
}

void Replug() {
    Bus& b = TheBus();
    DeckNode().present = true;
    DeckNode().device = b.next_device++;
    if (Config().replug_eacces_ms > 0) {
        DeckNode().eacces_until = NowSeconds() + Config().replug_eacces_ms / 1000.0;
    }
    DeckSetPresent(true);
    Trace("replug device=fw%d", DeckNode().device);
    BusReset("replug");
    char name[16];
    std::snprintf(name, sizeof name, "fw%d", DeckNode().device);
    for (auto& [fd, c] : b.clients) {
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

// ---- Requests -----------------------------------------------------------------------------

void ReceivePacket(Client& c, uint64_t cycle, unsigned channel, const Bytes& packet) {
    IsoContext& ctx = *c.iso;
    if (ctx.queue.empty() || c.map == nullptr) {
        ++ctx.dropped;
        return;
    }
    IsoSlot slot = std::move(ctx.queue.front());
    ctx.queue.pop_front();
    const size_t capacity = slot.control & 0xFFFF;
    uint8_t head[8];
    PutBe32(head, static_cast<uint32_t>(packet.size()) << 16 | 1u << 14 | channel << 8 | 0xAu << 4);
    const uint32_t stamp = IsoCycleStamp(cycle);
    std::memcpy(head + 4, &stamp, 4);
    ctx.pending_headers.insert(ctx.pending_headers.end(), head, head + std::min(8u, ctx.header_size));
    size_t skip = 0;
    if (ctx.header_size > 8) {
        skip = std::min<size_t>(ctx.header_size - 8, packet.size());
        ctx.pending_headers.insert(ctx.pending_headers.end(), packet.begin(),
                                   packet.begin() + static_cast<long>(skip));
        ctx.pending_headers.resize(ctx.pending_headers.size() + (ctx.header_size - 8 - skip), 0);
    }
    // The controller writes no more than the slot holds; the header keeps the real length.
    const size_t n = std::min(packet.size() - skip, capacity);
    if (slot.offset + n <= c.map_length) std::memcpy(c.map + slot.offset, packet.data() + skip, n);
    if ((slot.control & FW_CDEV_ISO_INTERRUPT) != 0 || ctx.pending_headers.size() + 64 > 4096) {
        InterruptEvent(c, cycle);
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

void MarkIso() {
    Bus& b = TheBus();
    if (b.first_iso_cycle < 0) {
        b.first_iso_cycle = static_cast<int64_t>(b.cycle);
        Trace("first-iso-packet");
    }
}

void ScriptedEvents() {
    Bus& b = TheBus();
    const Settings& s = Config();
    if (b.reset_requested) {
        b.reset_requested = false;
        BusReset("requested");
    }
    const double t = IsoTime();
    if (t < 0) return;
    while (b.next_reset < s.resets.size() && t >= s.resets[b.next_reset]) {
        ++b.next_reset;
        BusReset("scripted");
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
    if (DeckNode().present && !Silent() && DeckTransmit(b.cycle, channel, packet)) {
        MarkIso();
        for (auto& [fd, c] : b.clients) {
            if (c->iso && c->iso->started && c->iso->type == FW_CDEV_ISO_CONTEXT_RECEIVE &&
                c->iso->channel == channel && !c->gone) {
                ReceivePacket(*c, b.cycle, channel, packet);
            }
        }
    }
    for (auto& [fd, c] : b.clients) {
        if (!c->iso || !c->iso->started || c->iso->type != FW_CDEV_ISO_CONTEXT_TRANSMIT || c->gone) {
            continue;
        }
        IsoContext& ctx = *c->iso;
        if (ctx.queue.empty()) continue;
        IsoSlot slot = std::move(ctx.queue.front());
        ctx.queue.pop_front();
        if ((slot.control & FW_CDEV_ISO_SKIP) == 0) {
            const size_t payload = slot.control & 0xFFFF;
            Bytes out(slot.header);
            if (c->map != nullptr && slot.offset + payload <= c->map_length) {
                out.insert(out.end(), c->map + slot.offset, c->map + slot.offset + payload);
            }
            MarkIso();
            if (DeckNode().present) DeckReceive(ctx.channel, out.data(), out.size());
        }
        const uint32_t stamp = IsoCycleStamp(b.cycle);
        const auto* s = reinterpret_cast<const uint8_t*>(&stamp);
        ctx.pending_headers.insert(ctx.pending_headers.end(), s, s + 4);
        if ((slot.control & FW_CDEV_ISO_INTERRUPT) != 0 || ctx.pending_headers.size() + 64 > 4096) {
            InterruptEvent(*c, b.cycle);
        }
    }
    ++b.cycle;
}

// In fast pace the clock runs ahead while some iso stream can make progress.
bool CanRunAhead() {
    Bus& b = TheBus();
    bool deck_flow = DeckNode().present && DeckPlaying() && !Silent();
    for (auto& [fd, c] : b.clients) {
        if (!c->iso || !c->iso->started || c->gone) continue;
        if (c->iso->type == FW_CDEV_ISO_CONTEXT_TRANSMIT && !c->iso->queue.empty()) return true;
        if (c->iso->type == FW_CDEV_ISO_CONTEXT_RECEIVE && deck_flow && !c->iso->queue.empty()) {
            return true;
        }
    }
    return false;
}

void BusThread() {
    Bus& b = TheBus();
    for (;;) {
        {
            std::lock_guard lock(Lock());
            const double now = NowSeconds();
            const auto target = static_cast<uint64_t>(now * kCyclesPerSecond) + b.fast_cycles;
            while (b.cycle < target) RunCycle();
            if (Config().fast) {
                for (int i = 0; i < 2000 && CanRunAhead(); ++i) {
                    RunCycle();
                    ++b.fast_cycles;
                }
            }
            DeckTick(now);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void StartBusThread() {
    Bus& b = TheBus();
    if (b.thread_started) return;
    b.thread_started = true;
    DeckInit();
    std::thread bus(BusThread);
    pthread_setname_np(bus.native_handle(), "fwemu-bus");
    bus.detach();
}

Client* NewClient(FdKind kind, int node) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) != 0) return nullptr;
    auto c = std::make_unique<Client>();
    c->kind = kind;
    c->fd = pair[0];
    c->peer = pair[1];
    c->node = node;
    if (node >= 0) c->device = TheBus().nodes[static_cast<size_t>(node)].device;
    Client* raw = c.get();
    TheBus().clients[c->fd] = std::move(c);
    return raw;
}

}  // namespace

std::recursive_mutex& Lock() {
    static auto* mu = new std::recursive_mutex;
    return *mu;
}

double NowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - TheBus().start).count();
}

int DeckPhy() { return DeckNode().phy; }
uint64_t BusCycle() { return TheBus().cycle; }

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
    std::vector<std::pair<int, std::string>> present;
    for (const Node& n : TheBus().nodes) {
        if (n.present) present.emplace_back(n.device, "fw" + std::to_string(n.device));
    }
    // Newest first, as a tmpfs /dev lists them: the deck comes before the controller.
    std::sort(present.begin(), present.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<std::string> names{".", ".."};
    for (auto& [device, name] : present) names.push_back(name);
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
        if (!n.present || n.device != device) continue;
        char guid[32];
        std::snprintf(guid, sizeof guid, "0x%016llx\n",
                      static_cast<unsigned long long>(n.local ? 0x0000D0000E010CA1ull : 0x0000D0000E0DECCAull));
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

int OpenNode(int device) {
    std::lock_guard lock(Lock());
    Bus& b = TheBus();
    for (size_t i = 0; i < b.nodes.size(); ++i) {
        const Node& n = b.nodes[i];
        if (!n.present || n.device != device) continue;
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

void* MapIso(Client& c, size_t length) {
    if (!c.iso || c.map != nullptr) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    // A page nobody may touch follows the buffer, so that reading past its last slot faults
    // here as it would past the kernel's mapping.
    const size_t guard = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* p = ::mmap(nullptr, length + guard, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                     -1, 0);
    if (p == MAP_FAILED) return p;
    mprotect(static_cast<uint8_t*>(p) + ((length + guard - 1) / guard) * guard, guard, PROT_NONE);
    c.map = static_cast<uint8_t*>(p);
    c.map_length = length;
    return p;
}

void ForgetMapping(void* addr) {
    for (auto& [fd, c] : TheBus().clients) {
        if (c->map == addr) {
            const size_t guard = static_cast<size_t>(sysconf(_SC_PAGESIZE));
            ::munmap(c->map + ((c->map_length + guard - 1) / guard) * guard, guard);
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
        // Events queued before the node went away are still handed out, as the kernel does.
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

void Log(const char* format, ...) {
    static const bool on = getenv("FWEMU_DEBUG") != nullptr;
    if (!on) return;
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stderr, format, ap);
    va_end(ap);
}

void Trace(const char* format, ...) {
    static FILE* file = Config().log.empty() ? nullptr : std::fopen(Config().log.c_str(), "a");
    if (file == nullptr) return;
    std::fprintf(file, "%.3f ", NowSeconds());
    va_list ap;
    va_start(ap, format);
    std::vfprintf(file, format, ap);
    va_end(ap);
    std::fputc('\n', file);
    std::fflush(file);
}

}  // namespace fwemu
