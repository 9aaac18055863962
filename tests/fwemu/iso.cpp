// SPDX-License-Identifier: GPL-3.0-or-later
// Iso contexts as the kernel runs them (core-cdev.c ioctl_*_iso, ohci.c): what is refused, the
// descriptor memory a queue takes, the headers in the kernel's byte order, interrupts.
#include <linux/firewire-constants.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tests/fwemu/bus_state.h"

namespace fwemu {

namespace {

constexpr size_t kPage = 4096;
// ohci.c: a context's descriptors live in pages of which 4032 bytes hold descriptors of 16 bytes
// (a block of them never spans two pages), and context_add_buffer stops at 16 MiB of pages.
constexpr double kDescriptorPages = 16.0 * 1024 * 1024 / kPage;
constexpr size_t kDescriptorBytesPerPage = 4032;
constexpr size_t kDescriptorBytes = 16;
// A packet's payload length (fw_cdev_iso_packet control bits 0-15), and the CIP header alone.
constexpr uint32_t kPayloadLengthMask = 0xFFFF;
constexpr uint32_t kCipHeaderBytes = 8;
// ohci.c: IT and IR contexts a controller offers (OHCI requires at least four of each).
constexpr int kContextsPerKind = 4;
// ContextControl bits the controller leaves in a completed packet's status: run, active,
// ack_complete.
constexpr uint32_t kXferStatus = 0x8411;

double PagesFor(size_t descriptors) {
    const size_t per_page = kDescriptorBytesPerPage / (descriptors * kDescriptorBytes);
    return per_page == 0 ? kDescriptorPages + 1 : 1.0 / static_cast<double>(per_page);
}

size_t PagesSpanned(size_t offset, size_t length) {
    if (length == 0) return 0;
    return (offset + length + kPage - 1) / kPage - offset / kPage;
}

// queue_iso_transmit: one descriptor for a skip, two otherwise, one more with a header, one per
// page of payload, and the header itself in 16-byte descriptors.
double TransmitPages(uint32_t control, size_t offset) {
    const uint32_t payload = control & 0xFFFF;
    const uint32_t header = control >> 24;
    size_t z = (control & FW_CDEV_ISO_SKIP) != 0 ? 1 : 2;
    if (header > 0) ++z;
    z += PagesSpanned(offset, payload);
    return PagesFor(z + (header + kDescriptorBytes - 1) / kDescriptorBytes);
}

// queue_iso_packet_per_buffer: per packet one descriptor per page of payload plus one, and the
// header of at least 8 bytes.
double ReceivePages(size_t offset, size_t payload, unsigned header_size) {
    const size_t header_z =
        (std::max<size_t>(header_size, 8) + kDescriptorBytes - 1) / kDescriptorBytes;
    return PagesFor((offset % kPage + payload + kPage - 1) / kPage + 1 + header_z);
}

int Fail(int error) {
    errno = error;
    return -1;
}

// The headers gathered for the next interrupt fill one page: a client of ABI 5 or later gets an
// interrupt then, older ones lose the headers that do not fit (copy_iso_headers,
// handle_it_packet, drop_overflow_headers).
bool RoomForHeader(Client& c, size_t bytes, uint64_t cycle) {
    IsoContext& ctx = *c.iso;
    if (ctx.pending_headers.size() + bytes <= kPage) return true;
    if (c.abi < 5) return false;
    InterruptEvent(c, cycle);
    return true;
}

void Complete(IsoContext& ctx, const IsoSlot& slot) {
    ctx.ring_pages = std::max(0.0, ctx.ring_pages - slot.ring_pages);
}

void ReceivePacket(Client& c, uint64_t cycle, unsigned channel, const Bytes& packet) {
    IsoContext& ctx = *c.iso;
    if (ctx.queue.empty()) {
        ++ctx.dropped;
        return;
    }
    IsoSlot slot = std::move(ctx.queue.front());
    ctx.queue.pop_front();
    Complete(ctx, slot);
    const size_t capacity = slot.control & 0xFFFF;
    // The iso header and the controller's status quadlet, both big-endian as copy_iso_headers
    // presents them: xferStatus in the upper half, the cycle's time stamp in the lower.
    uint8_t head[8];
    PutBe32(head, static_cast<uint32_t>(packet.size()) << 16 | 1u << 14 | channel << 8 | 0xAu << 4);
    PutBe32(head + 4, kXferStatus << 16 | IsoCycleStamp(cycle));
    const size_t skip =
        ctx.header_size > 8 ? std::min<size_t>(ctx.header_size - 8, packet.size()) : 0;
    if (RoomForHeader(c, ctx.header_size, cycle)) {
        ctx.pending_headers.insert(ctx.pending_headers.end(), head,
                                   head + std::min(8u, ctx.header_size));
        if (ctx.header_size > 8) {
            ctx.pending_headers.insert(ctx.pending_headers.end(), packet.begin(),
                                       packet.begin() + static_cast<long>(skip));
            ctx.pending_headers.resize(ctx.pending_headers.size() + (ctx.header_size - 8 - skip),
                                       0);
        }
    }
    // The controller writes no more than the slot holds; the header keeps the real length.
    const size_t n = std::min(packet.size() - skip, capacity);
    if (c.map != nullptr && slot.offset + n <= c.map_length) {
        std::memcpy(c.map + slot.offset, packet.data() + skip, n);
    }
    if ((slot.control & FW_CDEV_ISO_INTERRUPT) != 0) InterruptEvent(c, cycle);
}

int ContextsOf(int type, unsigned channel, bool& channel_taken) {
    int n = 0;
    for (auto& [fd, other] : TheBus().clients) {
        if (!other->iso || other->iso->type != type) continue;
        ++n;
        channel_taken = channel_taken || other->iso->channel == channel;
    }
    return n;
}

}  // namespace

// ioctl_create_iso_context and ohci_allocate_iso_context.
int CreateIsoContext(Client& c, fw_cdev_create_iso_context& a) {
    if (a.type == FW_CDEV_ISO_CONTEXT_TRANSMIT) {
        if (a.speed > SCODE_3200 || a.channel > 63) return Fail(EINVAL);
    } else if (a.type == FW_CDEV_ISO_CONTEXT_RECEIVE) {
        if (a.header_size < 4 || (a.header_size & 3) != 0 || a.channel > 63) return Fail(EINVAL);
    } else {
        Log("fwemu: iso context type %u not emulated\n", a.type);
        return Fail(EINVAL);
    }
    bool channel_taken = false;
    const int same_kind = ContextsOf(static_cast<int>(a.type), a.channel, channel_taken);
    if (same_kind >= kContextsPerKind || (a.type == FW_CDEV_ISO_CONTEXT_RECEIVE && channel_taken) ||
        c.iso) {
        return Fail(EBUSY);
    }
    c.iso = std::make_unique<IsoContext>();
    c.iso->type = static_cast<int>(a.type);
    c.iso->header_size = a.header_size;
    c.iso->channel = a.channel;
    c.iso->speed = a.speed;
    c.iso->closure = a.closure;
    a.handle = 0;
    Trace("iso-context %s channel=%u header=%u", a.type == 0 ? "transmit" : "receive", a.channel,
          a.header_size);
    return 0;
}

// ioctl_queue_iso: the packets are taken one by one; a bad one ends the call with EINVAL (those
// before it stay queued), a full descriptor memory ends it early, and the count queued is
// returned with the arguments moved past them.
int QueueIso(Client& c, fw_cdev_queue_iso& q) {
    if (!c.iso || q.handle != 0) return Fail(EINVAL);
    IsoContext& ctx = *c.iso;
    const auto vm_start = reinterpret_cast<uintptr_t>(c.map);
    size_t payload = static_cast<size_t>(q.data - vm_start);
    size_t buffer_end = c.map_length;
    if (q.data == 0 || c.map == nullptr || q.data < vm_start || payload >= buffer_end) {
        payload = 0;
        buffer_end = 0;
    }
    auto* p = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(q.packets));
    const uint8_t* end = p + q.size;
    int count = 0;
    while (p < end) {
        uint32_t control;
        std::memcpy(&control, p, 4);
        const uint32_t length = control & 0xFFFF;
        const uint32_t header_length = control >> 24;
        const bool skip = (control & FW_CDEV_ISO_SKIP) != 0;
        size_t header_bytes = 0;
        if (ctx.type == FW_CDEV_ISO_CONTEXT_TRANSMIT) {
            if ((header_length & 3) != 0) return Fail(EINVAL);
            header_bytes = header_length;
        } else if (header_length == 0 || header_length % ctx.header_size != 0) {
            return Fail(EINVAL);
        }
        const uint8_t* next = p + 4 + header_bytes;
        if (next > end) return Fail(EINVAL);
        if (skip && ctx.type == FW_CDEV_ISO_CONTEXT_TRANSMIT && header_length + length > 0) {
            return Fail(EINVAL);
        }
        if (payload + length > buffer_end) return Fail(EINVAL);
        std::vector<IsoSlot> slots;
        double pages = 0;
        if (ctx.type == FW_CDEV_ISO_CONTEXT_TRANSMIT) {
            IsoSlot slot;
            slot.control = control;
            slot.header.assign(p + 4, next);
            slot.offset = payload;
            slot.ring_pages = TransmitPages(control, payload);
            pages += slot.ring_pages;
            slots.push_back(std::move(slot));
        } else {
            const uint32_t packets = header_length / ctx.header_size;
            const uint32_t each = length / packets;
            for (uint32_t i = 0; i < packets; ++i) {
                IsoSlot slot;
                slot.control = each | (i + 1 == packets ? (control & FW_CDEV_ISO_INTERRUPT) : 0);
                slot.offset = payload + i * each;
                slot.ring_pages = ReceivePages(slot.offset, each, ctx.header_size);
                pages += slot.ring_pages;
                slots.push_back(std::move(slot));
            }
        }
        if (ctx.ring_pages + pages > kDescriptorPages) {
            Trace("iso-queue full after %d packets", count);
            break;
        }
        ctx.ring_pages += pages;
        for (IsoSlot& s : slots) ctx.queue.push_back(std::move(s));
        ctx.most_queued = std::max(ctx.most_queued, ctx.queue.size());
        p = next;
        payload += length;
        ++count;
    }
    q.size -= static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p) - q.packets);
    q.packets = reinterpret_cast<uintptr_t>(p);
    q.data = vm_start + payload;
    return count;
}

// ioctl_start_iso: a receive context must match some tag, and sync is four bits.
int StartIso(Client& c, const fw_cdev_start_iso& s) {
    if (!c.iso || s.handle != 0) return Fail(EINVAL);
    if (c.iso->type == FW_CDEV_ISO_CONTEXT_RECEIVE && (s.tags == 0 || s.tags > 15 || s.sync > 15)) {
        return Fail(EINVAL);
    }
    c.iso->started = true;
    Trace("iso-start %s channel=%u", c.iso->type == 0 ? "transmit" : "receive", c.iso->channel);
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

void ReceiveCycle(uint64_t cycle, unsigned channel, const Bytes& packet) {
    for (auto& [fd, c] : TheBus().clients) {
        if (c->iso && c->iso->started && c->iso->type == FW_CDEV_ISO_CONTEXT_RECEIVE &&
            c->iso->channel == channel && !c->gone) {
            ReceivePacket(*c, cycle, channel, packet);
        }
    }
}

void TransmitCycle(uint64_t cycle) {
    for (auto& [fd, c] : TheBus().clients) {
        if (!c->iso || !c->iso->started || c->iso->type != FW_CDEV_ISO_CONTEXT_TRANSMIT ||
            c->gone) {
            continue;
        }
        IsoContext& ctx = *c->iso;
        if (ctx.queue.empty()) continue;
        IsoSlot slot = std::move(ctx.queue.front());
        ctx.queue.pop_front();
        Complete(ctx, slot);
        if ((slot.control & FW_CDEV_ISO_SKIP) == 0) {
            const size_t payload = slot.control & 0xFFFF;
            Bytes out(slot.header);
            if (c->map != nullptr && slot.offset + payload <= c->map_length) {
                out.insert(out.end(), c->map + slot.offset, c->map + slot.offset + payload);
            }
            NoteIsoPacket();
            if (DeckNode().present) DeckReceive(ctx.channel, out.data(), out.size());
        }
        // handle_it_packet: the status and time stamp of the cycle it went out on, big-endian.
        if (RoomForHeader(*c, 4, cycle)) {
            uint8_t stamp[4];
            PutBe32(stamp, kXferStatus << 16 | IsoCycleStamp(cycle));
            ctx.pending_headers.insert(ctx.pending_headers.end(), stamp, stamp + 4);
        }
        if ((slot.control & FW_CDEV_ISO_INTERRUPT) != 0) InterruptEvent(*c, cycle);
    }
}

// A receiver gets packets ahead of time only while at least half of what it queued is still
// free: a program that lags behind then has real time to catch up before the bus comes round to
// slots it has not read yet (libraw1394 queues one packet more than its buffer holds).
// libraw1394 queues one packet more than its buffer holds: the last slot queued is the one it
// has not read yet, so a receiver is starved with one slot left.
bool IsoReceiverStarved(unsigned channel) {
    for (auto& [fd, c] : TheBus().clients) {
        if (c->iso && c->iso->started && !c->gone && c->iso->type == FW_CDEV_ISO_CONTEXT_RECEIVE &&
            c->iso->channel == channel && c->iso->queue.size() <= 1) {
            return true;
        }
    }
    return false;
}

bool IsoCanRunAhead(bool deck_flow) {
    for (auto& [fd, c] : TheBus().clients) {
        if (!c->iso || !c->iso->started || c->gone) continue;
        const IsoContext& ctx = *c->iso;
        // A signal of empty CIP packets (a deck's input kept alive between files) moves at the
        // real pace: racing it would wind a recording deck's tape on with blank tape.
        if (ctx.type == FW_CDEV_ISO_CONTEXT_TRANSMIT &&
            std::any_of(ctx.queue.begin(), ctx.queue.end(), [](const IsoSlot& slot) {
                return (slot.control & kPayloadLengthMask) > kCipHeaderBytes;
            })) {
            return true;
        }
        if (ctx.type == FW_CDEV_ISO_CONTEXT_RECEIVE && deck_flow &&
            ctx.queue.size() * 2 > ctx.most_queued) {
            return true;
        }
    }
    return false;
}

}  // namespace fwemu
