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

#include "tests/fwemu/fwemu.h"

namespace fwemu {
namespace {

constexpr uint64_t kCsrBase = 0xFFFFF0000000ull;
constexpr uint64_t kConfigRom = kCsrBase + 0x400;
constexpr uint64_t kFcpCommand = kCsrBase + 0xB00;
constexpr uint64_t kFcpResponse = kCsrBase + 0xD00;
constexpr uint64_t kFcpEnd = kCsrBase + 0xF00;
constexpr uint64_t kBandwidthAvailable = kCsrBase + 0x21C;
constexpr uint64_t kChannelsHi = kCsrBase + 0x220;
constexpr uint64_t kChannelsLo = kCsrBase + 0x224;
constexpr uint32_t kMaxBandwidth = 4915;
constexpr int kCyclesPerSecond = 8000;
constexpr unsigned kKernelAbi = 5;

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
Node& Local() { return TheBus().nodes[0]; }
Node& Deck() { return TheBus().nodes[1]; }

uint32_t RootId() {
    return 0xFFC0u | static_cast<uint32_t>(Deck().present ? 1 : 0);
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

fw_cdev_event_bus_reset ResetFor(const Client& c) {
    fw_cdev_event_bus_reset r{};
    r.closure = c.bus_reset_closure;
    r.type = FW_CDEV_EVENT_BUS_RESET;
    r.node_id = NodeId(TheBus().nodes[static_cast<size_t>(c.node)]);
    r.local_node_id = NodeId(Local());
    r.bm_node_id = NodeId(Local());
    r.irm_node_id = NodeId(Local());
    r.root_node_id = RootId();
    r.generation = TheBus().generation;
    return r;
}

uint16_t IsoCycleStamp(uint64_t cycle) {
    return static_cast<uint16_t>(((cycle / kCyclesPerSecond) % 8) << 13 | (cycle % kCyclesPerSecond));
}

double IsoTime() {
    Bus& b = TheBus();
    if (b.first_iso_cycle < 0) return -1;
    return static_cast<double>(static_cast<int64_t>(b.cycle) - b.first_iso_cycle) / kCyclesPerSecond;
}

void BusReset(const char* why) {
    Bus& b = TheBus();
    ++b.generation;
    if (Deck().present) {
        b.swapped = !b.swapped;
        Deck().phy = b.swapped ? 1 : 0;
        Local().phy = b.swapped ? 0 : 1;
    } else {
        Local().phy = 0;
    }
    b.bandwidth = kMaxBandwidth;
    b.channels_hi = b.channels_lo = 0xFFFFFFFFu;
    Trace("bus-reset generation=%u local=%u deck=%d why=%s", b.generation, Local().phy,
          Deck().present ? Deck().phy : -1, why);
    for (auto& [fd, c] : b.clients) {
        if (c->kind == FdKind::Node && !c->gone) PushEvent(*c, EventBytes(ResetFor(*c)));
    }
    DeckBusReset(NowSeconds());
}

void Unplug() {
    Bus& b = TheBus();
    Deck().present = false;
    for (auto& [fd, c] : b.clients) {
        if (c->kind != FdKind::Node || c->node != 1 || c->gone) continue;
        c->gone = true;
        if (c->iso) c->iso->started = false;
        shutdown(c->peer, SHUT_RDWR);
    }
    b.cv.notify_all();
    DeckSetPresent(false);
    Trace("unplug device=fw%d", Deck().device);
    BusReset("unplug");
}

void Replug() {
    Bus& b = TheBus();
    Deck().present = true;
    Deck().device = b.next_device++;
    if (Config().replug_eacces_ms > 0) {
        Deck().eacces_until = NowSeconds() + Config().replug_eacces_ms / 1000.0;
    }
    DeckSetPresent(true);
    Trace("replug device=fw%d", Deck().device);
    BusReset("replug");
    char name[16];
    std::snprintf(name, sizeof name, "fw%d", Deck().device);
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

uint32_t LockIrm(uint32_t& reg, uint32_t tcode, const uint8_t* data, size_t length, Bytes& reply) {
    if (tcode != TCODE_LOCK_COMPARE_SWAP || length != 8) return RCODE_TYPE_ERROR;
    const uint32_t compare = Be32(data);
    const uint32_t swap = Be32(data + 4);
    reply.assign(4, 0);
    PutBe32(reply.data(), reg);
    if (reg == compare) reg = swap;
    return RCODE_COMPLETE;
}

uint32_t LocalRequest(uint32_t tcode, uint64_t offset, const uint8_t* data, size_t length,
                      Bytes& reply) {
    Bus& b = TheBus();
    const bool read = tcode == TCODE_READ_QUADLET_REQUEST || tcode == TCODE_READ_BLOCK_REQUEST;
    if (offset >= kConfigRom && offset < kConfigRom + 0x400) {
        if (!read) return RCODE_TYPE_ERROR;
        const std::vector<uint32_t> rom = LocalRom();
        reply.assign(length, 0);
        for (size_t i = 0; i < length; i += 4) {
            const size_t q = (offset - kConfigRom + i) / 4;
            if (q >= rom.size()) return RCODE_ADDRESS_ERROR;
            PutBe32(reply.data() + i, rom[q]);
        }
        return RCODE_COMPLETE;
    }
    uint32_t* reg = offset == kBandwidthAvailable ? &b.bandwidth
                    : offset == kChannelsHi       ? &b.channels_hi
                    : offset == kChannelsLo       ? &b.channels_lo
                                                  : nullptr;
    if (reg != nullptr) {
        if (read && length == 4) {
            reply.assign(4, 0);
            PutBe32(reply.data(), *reg);
            return RCODE_COMPLETE;
        }
        return LockIrm(*reg, tcode, data, length, reply);
    }
    // FCP frames to our own node reach whoever listens on the range, as on the kernel.
    if (offset >= kFcpCommand && offset + length <= kFcpEnd &&
        (tcode == TCODE_WRITE_BLOCK_REQUEST || tcode == TCODE_WRITE_QUADLET_REQUEST)) {
        DeliverWrite(offset, Bytes(data, data + length), NodeId(Local()));
        return RCODE_COMPLETE;
    }
    return RCODE_ADDRESS_ERROR;
}

int SendRequest(Client& c, const fw_cdev_send_request& r) {
    Bus& b = TheBus();
    const Node& node = b.nodes[static_cast<size_t>(c.node)];
    const auto* data = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(r.data));
    Bytes reply;
    uint32_t rcode;
    const bool read = r.tcode == TCODE_READ_QUADLET_REQUEST || r.tcode == TCODE_READ_BLOCK_REQUEST;
    if (r.generation != b.generation) {
        rcode = RCODE_GENERATION;
    } else if (node.local) {
        rcode = LocalRequest(r.tcode, r.offset, read ? nullptr : data, r.length, reply);
    } else {
        rcode = DeckRequest(r.tcode, r.offset, read ? nullptr : data, r.length, reply);
    }
    Trace("request node=%s tcode=%u offset=%llx length=%u rcode=%u", node.local ? "local" : "deck",
          r.tcode, static_cast<unsigned long long>(r.offset & 0xFFFF), r.length, rcode);
    if (rcode != RCODE_COMPLETE) reply.clear();
    fw_cdev_event_response e{};
    e.closure = r.closure;
    e.type = FW_CDEV_EVENT_RESPONSE;
    e.rcode = rcode;
    e.length = static_cast<uint32_t>(reply.size());
    PushEvent(c, EventBytes(e, offsetof(fw_cdev_event_response, data), reply.data(), reply.size()));
    return 0;
}

int IsoResource(Client& c, const fw_cdev_allocate_iso_resource& a, bool allocate) {
    Bus& b = TheBus();
    int channel = -1;
    int bandwidth = 0;
    bool ok = true;
    if (a.channels != 0) {
        for (int ch = 0; ch < 64; ++ch) {
            if ((a.channels & (1ull << ch)) == 0) continue;
            uint32_t& reg = ch < 32 ? b.channels_hi : b.channels_lo;
            const uint32_t bit = 1u << (31 - (ch & 31));
            if (allocate ? (reg & bit) != 0 : (reg & bit) == 0) {
                reg = allocate ? reg & ~bit : reg | bit;
                channel = ch;
                break;
            }
        }
        if (channel < 0) {
            channel = -EBUSY;
            ok = false;
        }
    }
    if (ok && a.bandwidth != 0) {
        if (allocate && b.bandwidth < a.bandwidth) {
            if (channel >= 0) {
                uint32_t& reg = channel < 32 ? b.channels_hi : b.channels_lo;
                reg |= 1u << (31 - (channel & 31));
                channel = -EBUSY;
            }
        } else {
            b.bandwidth = allocate ? b.bandwidth - a.bandwidth
                                   : std::min(kMaxBandwidth, b.bandwidth + a.bandwidth);
            bandwidth = static_cast<int>(a.bandwidth);
        }
    }
    Trace("iso-resource %s channels=%llx -> channel=%d bandwidth=%d", allocate ? "alloc" : "free",
          static_cast<unsigned long long>(a.channels), channel, bandwidth);
    fw_cdev_event_iso_resource e{};
    e.closure = a.closure;
    e.type = allocate ? FW_CDEV_EVENT_ISO_RESOURCE_ALLOCATED : FW_CDEV_EVENT_ISO_RESOURCE_DEALLOCATED;
    e.handle = 0;
    e.channel = channel;
    e.bandwidth = bandwidth;
    PushEvent(c, EventBytes(e));
    return 0;
}

int QueueIso(Client& c, fw_cdev_queue_iso& q) {
    IsoContext& ctx = *c.iso;
    auto* p = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(q.packets));
    const uint8_t* end = p + q.size;
    size_t offset = 0;
    if (q.data != 0) {
        const auto* data = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(q.data));
        if (c.map == nullptr || data < c.map || data > c.map + c.map_length) {
            errno = EFAULT;
            return -1;
        }
        offset = static_cast<size_t>(data - c.map);
    }
    size_t total = 0;
    while (p + 4 <= end) {
        uint32_t control;
        std::memcpy(&control, p, 4);
        p += 4;
        const uint32_t payload = control & 0xFFFF;
        const uint32_t header_length = control >> 24;
        if (offset + total + payload > c.map_length && payload != 0) {
            errno = EINVAL;
            return -1;
        }
        if (ctx.type == FW_CDEV_ISO_CONTEXT_TRANSMIT) {
            IsoSlot slot;
            slot.control = control;
            if (p + header_length > end) {
                errno = EINVAL;
                return -1;
            }
            slot.header.assign(p, p + header_length);
            p += header_length;
            slot.offset = offset + total;
            ctx.queue.push_back(std::move(slot));
        } else {
            const uint32_t count = std::max<uint32_t>(1, header_length / ctx.header_size);
            const uint32_t each = payload / count;
            for (uint32_t i = 0; i < count; ++i) {
                IsoSlot slot;
                slot.control = each | (i + 1 == count ? (control & FW_CDEV_ISO_INTERRUPT) : 0);
                slot.offset = offset + total + i * each;
                ctx.queue.push_back(std::move(slot));
            }
        }
        total += payload;
    }
    q.packets += q.size;
    q.size = 0;
    q.data += total;
    return 0;
}

void InterruptEvent(Client& c, uint64_t cycle) {
    IsoContext& ctx = *c.iso;
    fw_cdev_event_iso_interrupt e{};
    e.closure = ctx.closure;
    e.type = FW_CDEV_EVENT_ISO_INTERRUPT;
    e.cycle = IsoCycleStamp(cycle);
    e.header_length = static_cast<uint32_t>(ctx.pending_headers.size());
    PushEvent(c, EventBytes(e, offsetof(fw_cdev_event_iso_interrupt, header),
                             ctx.pending_headers.data(), ctx.pending_headers.size()));
    ctx.pending_headers.clear();
}

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
            if (Deck().present) Unplug();
        }
        if (b.unplug_started[i] && !b.unplug_done[i] && t >= s.unplugs[i].to) {
            b.unplug_done[i] = true;
            if (!Deck().present) Replug();
        }
    }
}

void RunCycle() {
    Bus& b = TheBus();
    ScriptedEvents();
    unsigned channel = 0;
    Bytes packet;
    if (Deck().present && !Silent() && DeckTransmit(b.cycle, channel, packet)) {
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
            if (Deck().present) DeckReceive(ctx.channel, out.data(), out.size());
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
    bool deck_flow = Deck().present && DeckPlaying() && !Silent();
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

int DeckPhy() { return Deck().phy; }
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

int Ioctl(Client& c, unsigned long request, void* arg) {
    Bus& b = TheBus();
    if (c.kind != FdKind::Node) {
        errno = ENOTTY;
        return -1;
    }
    if (c.gone) {
        errno = ENODEV;
        return -1;
    }
    switch (request) {
        case FW_CDEV_IOC_GET_INFO: {
            auto* info = static_cast<fw_cdev_get_info*>(arg);
            c.abi = info->version;
            info->version = kKernelAbi;
            info->card = 0;
            if (info->rom != 0) {
                const Node& node = b.nodes[static_cast<size_t>(c.node)];
                const std::vector<uint32_t> rom = node.local ? LocalRom() : DeckRom();
                const size_t n = std::min<size_t>(info->rom_length, rom.size() * 4);
                std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(info->rom)), rom.data(), n);
                info->rom_length = static_cast<uint32_t>(rom.size() * 4);
            }
            c.bus_reset_closure = info->bus_reset_closure;
            if (info->bus_reset != 0) {
                const fw_cdev_event_bus_reset r = ResetFor(c);
                std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(info->bus_reset)), &r, sizeof r);
            }
            return 0;
        }
        case FW_CDEV_IOC_SEND_REQUEST:
            return SendRequest(c, *static_cast<fw_cdev_send_request*>(arg));
        case FW_CDEV_IOC_SEND_BROADCAST_REQUEST: {
            const auto* r = static_cast<fw_cdev_send_request*>(arg);
            fw_cdev_event_response e{};
            e.closure = r->closure;
            e.type = FW_CDEV_EVENT_RESPONSE;
            PushEvent(c, EventBytes(e, offsetof(fw_cdev_event_response, data)));
            return 0;
        }
        case FW_CDEV_IOC_ALLOCATE: {
            auto* a = static_cast<fw_cdev_allocate*>(arg);
            const uint32_t handle = c.next_handle++;
            c.ranges[handle] = {a->offset, a->offset + a->length};
            c.range_closures[handle] = a->closure;
            a->handle = handle;
            Trace("allocate offset=%llx length=%u on fw%d", static_cast<unsigned long long>(a->offset & 0xFFFF),
                  a->length, c.device);
            return 0;
        }
        case FW_CDEV_IOC_DEALLOCATE: {
            const auto* d = static_cast<fw_cdev_deallocate*>(arg);
            if (c.ranges.erase(d->handle) == 0) {
                errno = EINVAL;
                return -1;
            }
            c.range_closures.erase(d->handle);
            return 0;
        }
        case FW_CDEV_IOC_SEND_RESPONSE:
            return 0;
        case FW_CDEV_IOC_INITIATE_BUS_RESET:
            b.reset_requested = true;
            return 0;
        case FW_CDEV_IOC_CREATE_ISO_CONTEXT: {
            auto* a = static_cast<fw_cdev_create_iso_context*>(arg);
            if (c.iso) {
                errno = EBUSY;
                return -1;
            }
            if (a->type > FW_CDEV_ISO_CONTEXT_RECEIVE || a->channel > 63 ||
                (a->type == FW_CDEV_ISO_CONTEXT_RECEIVE && (a->header_size < 4 || a->header_size % 4 != 0))) {
                errno = EINVAL;
                return -1;
            }
            c.iso = std::make_unique<IsoContext>();
            c.iso->type = static_cast<int>(a->type);
            c.iso->header_size = a->header_size;
            c.iso->channel = a->channel;
            c.iso->speed = a->speed;
            c.iso->closure = a->closure;
            a->handle = 0;
            Trace("iso-context %s channel=%u header=%u", a->type == 0 ? "transmit" : "receive",
                  a->channel, a->header_size);
            return 0;
        }
        case FW_CDEV_IOC_QUEUE_ISO:
            if (!c.iso) {
                errno = EINVAL;
                return -1;
            }
            return QueueIso(c, *static_cast<fw_cdev_queue_iso*>(arg));
        case FW_CDEV_IOC_START_ISO:
            if (!c.iso || c.map == nullptr) {
                errno = EINVAL;
                return -1;
            }
            c.iso->started = true;
            Trace("iso-start %s channel=%u", c.iso->type == 0 ? "transmit" : "receive", c.iso->channel);
            if (c.iso->type == FW_CDEV_ISO_CONTEXT_RECEIVE) DeckListenerStarted(c.iso->channel);
            return 0;
        case FW_CDEV_IOC_STOP_ISO:
            if (c.iso) {
                c.iso->started = false;
                if (c.iso->type == FW_CDEV_ISO_CONTEXT_TRANSMIT) DeckReport();
                Trace("iso-stop %s dropped=%llu", c.iso->type == 0 ? "transmit" : "receive",
                      static_cast<unsigned long long>(c.iso->dropped));
            }
            return 0;
        case FW_CDEV_IOC_FLUSH_ISO:
            if (!c.iso) {
                errno = EINVAL;
                return -1;
            }
            if (!c.iso->pending_headers.empty()) InterruptEvent(c, b.cycle);
            return 0;
        case FW_CDEV_IOC_GET_CYCLE_TIMER:
        case FW_CDEV_IOC_GET_CYCLE_TIMER2: {
            const uint64_t cy = b.cycle;
            const uint32_t timer = static_cast<uint32_t>((cy / kCyclesPerSecond) % 128) << 25 |
                                   static_cast<uint32_t>(cy % kCyclesPerSecond) << 12;
            timespec ts{};
            if (request == FW_CDEV_IOC_GET_CYCLE_TIMER) {
                clock_gettime(CLOCK_REALTIME, &ts);
                auto* t = static_cast<fw_cdev_get_cycle_timer*>(arg);
                t->cycle_timer = timer;
                t->local_time = static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec / 1000);
            } else {
                auto* t = static_cast<fw_cdev_get_cycle_timer2*>(arg);
                clock_gettime(t->clk_id, &ts);
                t->tv_sec = ts.tv_sec;
                t->tv_nsec = static_cast<int32_t>(ts.tv_nsec);
                t->cycle_timer = timer;
            }
            return 0;
        }
        case FW_CDEV_IOC_ALLOCATE_ISO_RESOURCE:
        case FW_CDEV_IOC_ALLOCATE_ISO_RESOURCE_ONCE:
            return IsoResource(c, *static_cast<fw_cdev_allocate_iso_resource*>(arg), true);
        case FW_CDEV_IOC_DEALLOCATE_ISO_RESOURCE_ONCE:
            return IsoResource(c, *static_cast<fw_cdev_allocate_iso_resource*>(arg), false);
        case FW_CDEV_IOC_GET_SPEED:
            return SCODE_400;
        default:
            Log("fwemu: ioctl %#lx not emulated\n", request);
            errno = ENOTTY;
            return -1;
    }
}

void DeliverFcpResponse(const Bytes& frame) { DeliverWrite(kFcpResponse, frame, NodeId(Deck())); }

void DeliverWrite(uint64_t offset, const Bytes& frame, uint32_t source) {
    Bus& b = TheBus();
    for (auto& [fd, c] : b.clients) {
        if (c->kind != FdKind::Node || c->gone) continue;
        for (const auto& [handle, range] : c->ranges) {
            if (offset < range.first || offset + frame.size() > range.second) continue;
            const uint64_t closure = c->range_closures[handle];
            const uint32_t tcode = frame.size() == 4 ? TCODE_WRITE_QUADLET_REQUEST : TCODE_WRITE_BLOCK_REQUEST;
            if (c->abi >= 4) {
                fw_cdev_event_request2 e{};
                e.closure = closure;
                e.type = FW_CDEV_EVENT_REQUEST2;
                e.tcode = tcode;
                e.offset = offset;
                e.source_node_id = source;
                e.destination_node_id = NodeId(Local());
                e.card = 0;
                e.generation = b.generation;
                e.handle = b.inbound_handle++;
                e.length = static_cast<uint32_t>(frame.size());
                PushEvent(*c, EventBytes(e, offsetof(fw_cdev_event_request2, data), frame.data(), frame.size()));
            } else {
                fw_cdev_event_request e{};
                e.closure = closure;
                e.type = FW_CDEV_EVENT_REQUEST;
                e.tcode = tcode;
                e.offset = offset;
                e.handle = b.inbound_handle++;
                e.length = static_cast<uint32_t>(frame.size());
                PushEvent(*c, EventBytes(e, offsetof(fw_cdev_event_request, data), frame.data(), frame.size()));
            }
        }
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
