// SPDX-License-Identifier: GPL-3.0-or-later
// The requests a program makes of /dev/fwN (FW_CDEV_IOC_*): transactions to the nodes, address
// ranges, iso resources and contexts, the cycle timer, bus resets on demand.
#include <linux/firewire-constants.h>
#include <sys/ioctl.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "tests/fwemu/bus_state.h"

namespace fwemu {
namespace {

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
        return read ? ReadRom(LocalRom(), offset - kConfigRom, length, reply) : RCODE_TYPE_ERROR;
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
        DeliverWrite(offset, Bytes(data, data + length), NodeId(LocalNode()));
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


}  // namespace

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

void DeliverFcpResponse(const Bytes& frame) { DeliverWrite(kFcpResponse, frame, NodeId(DeckNode())); }

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
                e.destination_node_id = NodeId(LocalNode());
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

}  // namespace fwemu
