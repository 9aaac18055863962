// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/ieee1394/raw1394_cmp.h"

#include <arpa/inet.h>
#include <libraw1394/csr.h>

#include <algorithm>
#include <cerrno>
#include <optional>

namespace tessaline::fw::cmp {
namespace {

constexpr nodeid_t kLocalBus = 0xFFC0;
// Plug registers (IEC 61883-1), relative to the CSR base.
constexpr nodeaddr_t kOmpr = 0x900;
constexpr nodeaddr_t kOpcr0 = 0x904;
constexpr nodeaddr_t kImpr = 0x980;
constexpr nodeaddr_t kIpcr0 = 0x984;
// PCR fields: online 1, broadcast 1, point-to-point count 6, reserved 2, channel 6, then for an
// output plug rate 2, overhead 4, payload 10.
constexpr quadlet_t kOnline = 1u << 31;
constexpr quadlet_t kBroadcast = 1u << 30;
constexpr int kP2pShift = 24;
constexpr quadlet_t kP2pMask = 0x3Fu << kP2pShift;
constexpr int kChannelShift = 16;
constexpr quadlet_t kChannelMask = 0x3Fu << kChannelShift;
constexpr int kRateShift = 14;
constexpr quadlet_t kRateMask = 3u << kRateShift;
constexpr int kMaxPlugs = 31;
constexpr int kNoPlugsChannel = 63;
constexpr int kSwapTries = 4;

unsigned P2p(quadlet_t pcr) {
    return (pcr & kP2pMask) >> kP2pShift;
}
int ChannelOf(quadlet_t pcr) {
    return static_cast<int>((pcr & kChannelMask) >> kChannelShift);
}
quadlet_t WithP2p(quadlet_t pcr, unsigned count) {
    return (pcr & ~kP2pMask) | (std::min(count, 63u) << kP2pShift);
}
quadlet_t WithChannel(quadlet_t pcr, int channel) {
    return (pcr & ~kChannelMask) | (static_cast<quadlet_t>(channel & 0x3F) << kChannelShift);
}

bool Read(raw1394handle_t h, nodeid_t node, nodeaddr_t offset, quadlet_t& value) {
    quadlet_t wire = 0;
    if (raw1394_read(h, node, CSR_REGISTER_BASE + offset, 4, &wire) != 0) return false;
    value = ntohl(wire);
    return true;
}

// Changes a plug register by compare-swap, so that a change another node makes meanwhile is
// never overwritten: `change` sees what the register holds and gives the new value, or nullopt
// to leave it. False when the register could not be read or written, or `change` declined.
template <typename Change>
bool Modify(raw1394handle_t h, nodeid_t node, nodeaddr_t offset, Change change) {
    quadlet_t old = 0;
    if (!Read(h, node, offset, old)) return false;
    for (int attempt = 0; attempt < kSwapTries; ++attempt) {
        const std::optional<quadlet_t> next = change(old);
        if (!next) return false;
        // Written even when it would not change: after a bus reset the lock itself is what
        // tells the plug its connection was restored.
        quadlet_t seen = 0;
        if (raw1394_lock(h, node, CSR_REGISTER_BASE + offset, RAW1394_EXTCODE_COMPARE_SWAP,
                         htonl(*next), htonl(old), &seen) != 0) {
            return false;
        }
        if (ntohl(seen) == old) return true;
        old = ntohl(seen);  // changed meanwhile: decide again on what it holds now
    }
    return false;
}

struct Side {
    bool sending;
    nodeid_t deck;
    nodeaddr_t mpr;
    nodeaddr_t pcr0;
};

Side SideOf(raw1394handle_t h, const CmpConnection& c) {
    const bool sending = c.output_phy < 0;
    return {sending, NodeId(sending ? c.input_phy : c.output_phy, h), sending ? kImpr : kOmpr,
            sending ? kIpcr0 : kOpcr0};
}

nodeaddr_t PlugAddress(const Side& side, int plug) {
    return side.pcr0 + 4 * static_cast<nodeaddr_t>(plug);
}

// Bandwidth allocation units for the deck's output plug at `rate`, as IEC 61883-1 (and
// libiec61883) count them: the overhead, then the payload and three quadlets at that speed.
int OutputBandwidth(quadlet_t opcr, unsigned rate) {
    const unsigned overhead = (opcr >> 10) & 0xF;
    const unsigned payload = opcr & 0x3FF;
    const unsigned per_quadlet = (1u << (2 - std::min(rate, 2u))) * 4;
    return static_cast<int>((overhead > 0 ? overhead * 32 : 512) + (payload + 3) * per_quadlet);
}

int AllocateChannel(raw1394handle_t h) {
    for (int channel = 0; channel < kNoPlugsChannel; ++channel) {
        if (raw1394_channel_modify(h, static_cast<unsigned>(channel), RAW1394_MODIFY_ALLOC) == 0) {
            return channel;
        }
    }
    return -1;
}

void Free(raw1394handle_t h, CmpConnection& c) {
    if (c.holds_channel) {
        raw1394_channel_modify(h, static_cast<unsigned>(c.channel), RAW1394_MODIFY_FREE);
    }
    if (c.bandwidth > 0) {
        raw1394_bandwidth_modify(h, static_cast<unsigned>(c.bandwidth), RAW1394_MODIFY_FREE);
    }
    c.holds_channel = false;
    c.bandwidth = 0;
}

}  // namespace

nodeid_t NodeId(int phy, raw1394handle_t h) {
    return phy < 0 ? raw1394_get_local_id(h) : static_cast<nodeid_t>(kLocalBus | phy);
}

int Connect(raw1394handle_t h, CmpConnection& c) {
    const Side side = SideOf(h, c);
    int& plug = side.sending ? c.input_plug : c.output_plug;
    const bool take_bandwidth = c.bandwidth != 0 && !side.sending;
    c.bandwidth = 0;
    c.holds_plug = false;
    c.holds_channel = false;
    c.channel = -1;
    c.generation = raw1394_get_generation(h);

    quadlet_t mpr = 0;
    const bool has_mpr = Read(h, side.deck, side.mpr, mpr);
    if (!has_mpr && errno == EAGAIN) return -1;  // not an answer about plugs; try again
    const int plugs = has_mpr ? static_cast<int>(mpr & 0x1F) : 0;
    if (plugs == 0) {
        // No plug registers: the deck sends (or listens) on channel 63, which we take.
        if (raw1394_channel_modify(h, kNoPlugsChannel, RAW1394_MODIFY_ALLOC) != 0) return -1;
        c.holds_channel = true;
        c.channel = kNoPlugsChannel;
        return c.channel;
    }
    // The plug asked for; else the first online plug without a connection; else the first
    // online one, whose connection we join.
    int chosen = -1;
    quadlet_t pcr = 0;
    for (int p = plug >= 0 ? plug : 0; p < std::min(plugs, kMaxPlugs); ++p) {
        quadlet_t value = 0;
        if (!Read(h, side.deck, PlugAddress(side, p), value)) return -1;
        if ((value & kOnline) == 0) {
            if (plug >= 0) break;
            continue;
        }
        if (chosen < 0 || (P2p(pcr) > 0 && P2p(value) == 0 && (value & kBroadcast) == 0)) {
            chosen = p;
            pcr = value;
        }
        if (plug >= 0 || (P2p(value) == 0 && (value & kBroadcast) == 0)) break;
    }
    if (chosen < 0) return -1;  // no plug online
    plug = chosen;
    const nodeaddr_t address = PlugAddress(side, chosen);
    if ((pcr & kBroadcast) != 0) {
        // The deck's own broadcast connection: listen (or send) on its channel, hold nothing.
        c.channel = ChannelOf(pcr);
        return c.channel;
    }
    if (P2p(pcr) > 0) {
        // Someone's connection is there: count ours on it, on its channel.
        if (!Modify(h, side.deck, address,
                    [](quadlet_t v) { return std::optional<quadlet_t>(WithP2p(v, P2p(v) + 1)); })) {
            return -1;
        }
        c.holds_plug = true;
        c.channel = ChannelOf(pcr);
        return c.channel;
    }
    // A connection of our own, on a channel we take.
    const unsigned rate = (mpr >> 30) & 3;
    if (take_bandwidth) {
        const int units = OutputBandwidth(pcr, rate);
        if (raw1394_bandwidth_modify(h, static_cast<unsigned>(units), RAW1394_MODIFY_ALLOC) != 0) {
            return -1;
        }
        c.bandwidth = units;
    }
    c.channel = AllocateChannel(h);
    if (c.channel < 0) {
        Free(h, c);
        return -1;
    }
    c.holds_channel = true;
    const int channel = c.channel;
    const bool ok = Modify(h, side.deck, address, [&](quadlet_t v) -> std::optional<quadlet_t> {
        if ((v & kBroadcast) != 0 || P2p(v) != 0) return std::nullopt;  // taken meanwhile
        quadlet_t next = WithChannel(WithP2p(v, 1), channel);
        if (!side.sending) next = (next & ~kRateMask) | (std::min(rate, 2u) << kRateShift);
        return next;
    });
    if (!ok) {
        Free(h, c);
        c.channel = -1;
        return -1;
    }
    c.holds_plug = true;
    return c.channel;
}

int Restore(raw1394handle_t h, CmpConnection& c) {
    const Side side = SideOf(h, c);
    const int plug = side.sending ? c.input_plug : c.output_plug;
    c.generation = raw1394_get_generation(h);
    if (!c.holds_plug && !c.holds_channel) {
        // We joined the deck's broadcast connection: its channel, as long as it broadcasts.
        quadlet_t pcr = 0;
        if (plug < 0 || !Read(h, side.deck, PlugAddress(side, plug), pcr)) return -1;
        if ((pcr & kBroadcast) == 0) return Connect(h, c);
        c.channel = ChannelOf(pcr);
        return c.channel;
    }
    // The reset freed what we held at the resource manager: take it again, the channel on
    // another number if someone else has it now.
    if (c.holds_channel &&
        raw1394_channel_modify(h, static_cast<unsigned>(c.channel), RAW1394_MODIFY_ALLOC) != 0) {
        c.holds_channel = false;
        const int other = AllocateChannel(h);
        if (other < 0) return -1;
        c.channel = other;
        c.holds_channel = true;
    }
    if (c.bandwidth > 0 && raw1394_bandwidth_modify(h, static_cast<unsigned>(c.bandwidth),
                                                    RAW1394_MODIFY_ALLOC) != 0) {
        c.bandwidth = 0;
    }
    if (!c.holds_plug) return c.channel;  // no plug registers: channel 63 only
    // The plug keeps its connections for a second after the reset, or has dropped them: either
    // way it shows ours again, as the kernel's cmp_connection_update makes it: a connection we
    // made has the count 1 and our channel; one we joined keeps its channel and counts us.
    const bool own = c.holds_channel;
    const int channel = c.channel;
    const bool ok =
        Modify(h, side.deck, PlugAddress(side, plug), [&](quadlet_t v) -> std::optional<quadlet_t> {
            if (own) return WithChannel(WithP2p(v, 1), channel);
            return P2p(v) == 0 ? WithP2p(v, 1) : v;
        });
    if (!ok) return -1;
    if (!own) {
        quadlet_t pcr = 0;
        if (Read(h, side.deck, PlugAddress(side, plug), pcr)) c.channel = ChannelOf(pcr);
    }
    return c.channel;
}

bool ReleasePlug(raw1394handle_t h, const CmpConnection& c) {
    if (!c.holds_plug) return true;
    const Side side = SideOf(h, c);
    const int plug = side.sending ? c.input_plug : c.output_plug;
    if (plug < 0) return true;
    // The channel a plug shows when nobody is connected: the output's broadcast channel base,
    // 63 for an input.
    int idle_channel = kNoPlugsChannel;
    quadlet_t mpr = 0;
    if (!side.sending && Read(h, side.deck, side.mpr, mpr)) idle_channel = (mpr >> 24) & 0x3F;
    errno = 0;
    return Modify(h, side.deck, PlugAddress(side, plug),
                  [&](quadlet_t v) -> std::optional<quadlet_t> {
                      // A plug that already dropped its connections (a reset nobody restored in
                      // time, a deck plugged in again) has nothing of ours left.
                      if (P2p(v) == 0) return std::nullopt;
                      quadlet_t next = WithP2p(v, P2p(v) - 1);
                      if (P2p(next) == 0 && c.holds_channel) next = WithChannel(next, idle_channel);
                      return next;
                  }) ||
           errno != EAGAIN;
}

void ReleaseResources(raw1394handle_t h, const CmpConnection& c) {
    // After a bus reset the resource manager holds nothing for us any more: what it holds on
    // those numbers now is someone else's.
    if (raw1394_get_generation(h) != c.generation) return;
    CmpConnection held = c;
    Free(h, held);
}

}  // namespace tessaline::fw::cmp
