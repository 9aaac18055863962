// SPDX-License-Identifier: GPL-3.0-or-later
// The requests a program makes of /dev/fwN (FW_CDEV_IOC_*): transactions to the nodes, address
// ranges, iso resources at the resource manager, the cycle timer, bus resets on demand; iso
// contexts are in iso.cpp.
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
        const uint32_t channels_lo = b.channels_lo;
        const uint32_t rcode = LockIrm(*reg, tcode, data, length, reply);
        if (reg == &b.channels_lo && (channels_lo & 1u) == 0 && (b.channels_lo & 1u) != 0) {
            Trace("channel 63 freed by a lock at the resource manager");
        }
        return rcode;
    }
    // FCP frames to our own node reach every range on the register, as on the kernel
    // (handle_fcp_region_request): a frame starts at a register, and is written.
    if (offset >= kFcpCommand && offset < kFcpEnd) {
        if ((offset != kFcpCommand && offset != kFcpResponse) || length > 0x200) {
            return RCODE_ADDRESS_ERROR;
        }
        if (tcode != TCODE_WRITE_BLOCK_REQUEST && tcode != TCODE_WRITE_QUADLET_REQUEST) {
            return RCODE_TYPE_ERROR;
        }
        DeliverWrite(offset, Bytes(data, data + length), NodeId(LocalNode()));
        return RCODE_COMPLETE;
    }
    return RCODE_ADDRESS_ERROR;
}

int SendRequest(Client& c, const fw_cdev_send_request& r) {
    const Node& node = TheBus().nodes[static_cast<size_t>(c.node)];
    const auto* data = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(r.data));
    const bool read = r.tcode == TCODE_READ_QUADLET_REQUEST || r.tcode == TCODE_READ_BLOCK_REQUEST;
    Bytes reply;
    const uint32_t rcode =
        NodeRequest(c, r.generation, r.tcode, r.offset, read ? nullptr : data, r.length, reply);
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

// manage_channel: the first channel of the mask in the register's half that can change the way
// asked (free to allocate, allocated to free); -EBUSY when there is none.
int ManageChannel(uint32_t& reg, uint32_t mask, bool allocate) {
    for (int ch = 0; ch < 32; ++ch) {
        if ((mask & (1u << ch)) == 0) continue;
        const uint32_t bit = 1u << (31 - ch);
        if (allocate ? (reg & bit) != 0 : (reg & bit) == 0) {
            reg ^= bit;
            return ch;
        }
    }
    return -EBUSY;
}

// manage_bandwidth: neither below 0 nor above the initial 4915 units.
int ManageBandwidth(uint32_t& available, uint32_t units, bool allocate) {
    const int64_t next = allocate ? int64_t{available} - units : int64_t{available} + units;
    if (next < 0 || next > kMaxBandwidth) return -EBUSY;
    available = static_cast<uint32_t>(next);
    return static_cast<int>(units);
}

// init_iso_resource and fw_iso_resource_manage, done at once (the resource manager is our own
// node). A request for nothing, or for more bandwidth than a bus has, is refused.
int IsoResource(Client& c, fw_cdev_allocate_iso_resource& a, bool allocate) {
    if ((a.channels == 0 && a.bandwidth == 0) || a.bandwidth > kMaxBandwidth) {
        errno = EINVAL;
        return -1;
    }
    Bus& b = TheBus();
    const uint32_t hi = static_cast<uint32_t>(a.channels);
    const uint32_t lo = static_cast<uint32_t>(a.channels >> 32);
    int channel = -EINVAL;
    if (hi != 0) channel = ManageChannel(b.channels_hi, hi, allocate);
    if (lo != 0 && channel < 0) {
        channel = ManageChannel(b.channels_lo, lo, allocate);
        if (channel >= 0) channel += 32;
    }
    int bandwidth = static_cast<int>(a.bandwidth);
    if (allocate && a.channels != 0 && channel < 0) bandwidth = 0;
    if (bandwidth != 0) {
        const int done = ManageBandwidth(b.bandwidth, static_cast<uint32_t>(bandwidth), allocate);
        if (done < 0) {
            bandwidth = 0;
            if (allocate) {
                if (channel >= 0) {
                    uint32_t& reg = channel < 32 ? b.channels_hi : b.channels_lo;
                    reg |= 1u << (31 - (channel & 31));
                }
                channel = done;
            }
        }
    }
    Trace("iso-resource %s channels=%llx bandwidth=%u -> channel=%d bandwidth=%d",
          allocate ? "alloc" : "free", static_cast<unsigned long long>(a.channels), a.bandwidth,
          channel, bandwidth);
    if (!allocate && channel == 63) Trace("channel 63 freed by fd=%d", c.fd);
    fw_cdev_event_iso_resource e{};
    e.closure = a.closure;
    e.type =
        allocate ? FW_CDEV_EVENT_ISO_RESOURCE_ALLOCATED : FW_CDEV_EVENT_ISO_RESOURCE_DEALLOCATED;
    e.handle = static_cast<uint32_t>(-1);
    e.channel = channel;
    e.bandwidth = bandwidth;
    a.handle = static_cast<uint32_t>(-1);
    PushEvent(c, EventBytes(e));
    return 0;
}

bool InFcpRegion(uint64_t offset, uint64_t length) {
    return offset >= kFcpCommand && offset + length <= kFcpEnd;
}

// ioctl_allocate and fw_core_add_address_handler: a range is a card's, whichever device file
// asked for it, and it may not overlap another one, except in the FCP registers, which every
// client may listen on. From ABI 4 the range may be placed anywhere in [offset, region_end); the
// first place free is taken, found by stepping over the ranges in the way.
int Allocate(Client& c, fw_cdev_allocate& a) {
    const uint64_t end = c.abi >= 4 ? a.region_end : a.offset + a.length;
    if ((a.offset & 0xFFFF000000000003ull) != 0 || a.offset >= end || end > (1ull << 48) ||
        (a.length & 3) != 0 || a.length == 0) {
        errno = EINVAL;
        return -1;
    }
    uint64_t at = a.offset;
    for (;;) {
        if (at + a.length > end) {
            errno = EBUSY;
            return -1;
        }
        if (InFcpRegion(at, a.length)) break;
        const std::pair<uint64_t, uint64_t>* other = nullptr;
        for (const auto& [fd, client] : TheBus().clients) {
            for (const auto& [handle, range] : client->ranges) {
                if (at < range.second && range.first < at + a.length) other = &range;
            }
        }
        if (other == nullptr) break;
        at += other->second - other->first;
    }
    const uint32_t handle = c.next_handle++;
    c.ranges[handle] = {at, at + a.length};
    c.range_closures[handle] = a.closure;
    a.offset = at;
    a.handle = handle;
    Trace("allocate offset=%llx length=%u on fw%d", static_cast<unsigned long long>(at & 0xFFFF),
          a.length, c.device);
    return 0;
}

int GetInfo(Client& c, fw_cdev_get_info& info) {
    c.abi = info.version;
    Trace("get-info fw%d abi=%u", c.device, info.version);
    info.version = kKernelAbi;
    info.card = 0;
    if (info.rom != 0) {
        const Node& node = TheBus().nodes[static_cast<size_t>(c.node)];
        const std::vector<uint32_t> rom = node.local ? LocalRom() : DeckRom();
        const size_t n = std::min<size_t>(info.rom_length, rom.size() * 4);
        std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(info.rom)), rom.data(), n);
        info.rom_length = static_cast<uint32_t>(rom.size() * 4);
    }
    c.bus_reset_closure = info.bus_reset_closure;
    if (info.bus_reset != 0) {
        const fw_cdev_event_bus_reset r = ResetFor(c);
        std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(info.bus_reset)), &r, sizeof r);
    }
    return 0;
}

int CycleTimer(unsigned long request, void* arg) {
    const uint64_t cy = TheBus().cycle;
    const uint32_t timer = static_cast<uint32_t>((cy / kCyclesPerSecond) % 128) << 25 |
                           static_cast<uint32_t>(cy % kCyclesPerSecond) << 12;
    timespec ts{};
    if (request == FW_CDEV_IOC_GET_CYCLE_TIMER) {
        clock_gettime(CLOCK_REALTIME, &ts);
        auto* t = static_cast<fw_cdev_get_cycle_timer*>(arg);
        t->cycle_timer = timer;
        t->local_time =
            static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec / 1000);
    } else {
        auto* t = static_cast<fw_cdev_get_cycle_timer2*>(arg);
        clock_gettime(t->clk_id, &ts);
        t->tv_sec = ts.tv_sec;
        t->tv_nsec = static_cast<int32_t>(ts.tv_nsec);
        t->cycle_timer = timer;
    }
    return 0;
}

}  // namespace

uint32_t NodeRequest(const Client& c, uint32_t generation, uint32_t tcode, uint64_t offset,
                     const uint8_t* data, size_t length, Bytes& reply) {
    if (generation != TheBus().generation) return RCODE_GENERATION;
    const Node& node = TheBus().nodes[static_cast<size_t>(c.node)];
    // A device file whose node left still sends to the node ID it knew: whoever has it now
    // answers, or nobody acks.
    const uint32_t to = Attached(c) ? NodeId(node) : node.node_id;
    if (to == NodeId(LocalNode())) return LocalRequest(tcode, offset, data, length, reply);
    if (DeckNode().present && to == NodeId(DeckNode())) {
        return DeckRequest(tcode, offset, data, length, reply);
    }
    return RCODE_NO_ACK;
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
        case FW_CDEV_IOC_GET_INFO:
            return GetInfo(c, *static_cast<fw_cdev_get_info*>(arg));
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
        case FW_CDEV_IOC_ALLOCATE:
            return Allocate(c, *static_cast<fw_cdev_allocate*>(arg));
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
            // ioctl_send_response: only a request this file was told of, and only once.
            if (c.inbound.erase(static_cast<fw_cdev_send_response*>(arg)->handle) == 0) {
                errno = EINVAL;
                return -1;
            }
            return 0;
        case FW_CDEV_IOC_INITIATE_BUS_RESET:
            b.reset_requested = true;
            return 0;
        case FW_CDEV_IOC_CREATE_ISO_CONTEXT:
            return CreateIsoContext(c, *static_cast<fw_cdev_create_iso_context*>(arg));
        case FW_CDEV_IOC_QUEUE_ISO:
            return QueueIso(c, *static_cast<fw_cdev_queue_iso*>(arg));
        case FW_CDEV_IOC_START_ISO:
            return StartIso(c, *static_cast<fw_cdev_start_iso*>(arg));
        case FW_CDEV_IOC_STOP_ISO: {
            const auto* s = static_cast<fw_cdev_stop_iso*>(arg);
            if (!c.iso || s->handle != 0) {
                errno = EINVAL;
                return -1;
            }
            c.iso->started = false;
            if (c.iso->type == FW_CDEV_ISO_CONTEXT_TRANSMIT) DeckReport();
            Trace("iso-stop %s dropped=%llu", c.iso->type == 0 ? "transmit" : "receive",
                  static_cast<unsigned long long>(c.iso->dropped));
            return 0;
        }
        case FW_CDEV_IOC_FLUSH_ISO: {
            const auto* f = static_cast<fw_cdev_flush_iso*>(arg);
            if (!c.iso || f->handle != 0) {
                errno = EINVAL;
                return -1;
            }
            if (!c.iso->pending_headers.empty()) InterruptEvent(c, b.cycle);
            return 0;
        }
        case FW_CDEV_IOC_GET_CYCLE_TIMER:
        case FW_CDEV_IOC_GET_CYCLE_TIMER2:
            return CycleTimer(request, arg);
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

void DeliverFcpResponse(const Bytes& frame) {
    DeliverWrite(kFcpResponse, frame, NodeId(DeckNode()));
}

void DeliverWrite(uint64_t offset, const Bytes& frame, uint32_t source) {
    Bus& b = TheBus();
    for (auto& [fd, c] : b.clients) {
        if (c->kind != FdKind::Node || c->gone) continue;
        for (const auto& [handle, range] : c->ranges) {
            if (offset < range.first || offset + frame.size() > range.second) continue;
            const uint64_t closure = c->range_closures[handle];
            c->inbound.insert(b.inbound_handle);
            const uint32_t tcode =
                frame.size() == 4 ? TCODE_WRITE_QUADLET_REQUEST : TCODE_WRITE_BLOCK_REQUEST;
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
                PushEvent(*c, EventBytes(e, offsetof(fw_cdev_event_request2, data), frame.data(),
                                         frame.size()));
            } else {
                fw_cdev_event_request e{};
                e.closure = closure;
                e.type = FW_CDEV_EVENT_REQUEST;
                e.tcode = tcode;
                e.offset = offset;
                e.handle = b.inbound_handle++;
                e.length = static_cast<uint32_t>(frame.size());
                PushEvent(*c, EventBytes(e, offsetof(fw_cdev_event_request, data), frame.data(),
                                         frame.size()));
            }
        }
    }
}

}  // namespace fwemu
