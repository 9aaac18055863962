// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/ieee1394/input_link.h"

#include <optional>

#include "capture/ieee1394/enumerate.h"

namespace tessaline::fw {
namespace {

constexpr std::chrono::microseconds kCycle{125};

}  // namespace

size_t InputLink::Switch::Fill(uint8_t* data, size_t capacity, unsigned cycle, unsigned& tag,
                               unsigned& sy) {
    size_t length = 0;
    if (source_ != nullptr && !source_->Done()) {
        length = source_->Fill(data, capacity, cycle, tag, sy);
    }
    if (length < kCipHeaderBytes) {
        tag = kCipTag;
        sy = 0;
        idle_.set_dbc(dbc_);
        return idle_.Packet(data, capacity, nullptr, 0);
    }
    data[3] = dbc_;
    dbc_ = static_cast<uint8_t>(dbc_ + (length - kCipHeaderBytes) / (size_t{data[1]} * 4));
    return length;
}

InputLink::InputLink(Ieee1394Port& port, uint64_t guid, const StreamTiming& timing)
    : port_(port), guid_(guid), timing_(timing) {
    conn_.output_phy = -1;
}

InputLink::~InputLink() {
    Close();
}

bool InputLink::Open() {
    int local = 0;
    int channel = -1;
    {
        std::lock_guard lock(port_.mutex());
        const std::optional<int> phy = FindPhyByGuid(port_.bus().Bus(), guid_);
        if (!phy) {
            error_ = "the deck is not on the bus";
            return false;
        }
        conn_.input_phy = *phy;
        channel = port_.bus().Cmp().Connect(conn_);
        local = port_.bus().LocalPhy();
        generation_ = port_.bus().Bus().Generation();
    }
    open_ = true;
    connected_ = channel >= 0;
    if (!connected_) conn_.channel = -1;
    switch_ = std::make_unique<Switch>(static_cast<uint8_t>(local < 0 ? 0 : local));
    if (!StartSink(connected_ ? channel : kBroadcastChannel)) {
        error_ = "cannot send on channel " + std::to_string(channel_);
        Close();
        return false;
    }
    return true;
}

void InputLink::SetSource(IsoPacketSource* source) {
    if (switch_) switch_->source_ = source;
}

bool InputLink::StartSink(int channel) {
    channel_ = channel;
    sink_ = port_.bus().OpenIsoSink();
    switch_->Restart();
    return sink_ && sink_->Start(channel, *switch_, conn_.speed);
}

void InputLink::StopSink() {
    if (sink_) sink_->Stop(false, -1);
    sink_.reset();
}

std::chrono::microseconds InputLink::queue_time() const {
    return sink_ ? kCycle * sink_->QueuedCycles() : std::chrono::microseconds(0);
}

void InputLink::Close() {
    StopSink();
    if (open_ && connected_) {
        std::lock_guard lock(port_.mutex());
        port_.bus().Cmp().Disconnect(conn_);
    }
    connected_ = false;
    open_ = false;
}

InputLink::Event InputLink::Step(const StopSignal& stop) {
    if (!open_) return Event::Failed;
    const bool readable = WaitReadable(sink_ ? sink_->Fd() : -1, stop, timing_.poll);
    if (stop.raised()) return Event::None;
    IsoStatus status = readable && sink_ ? sink_->Iterate() : IsoStatus::Ok;
    const auto now = Clock::now();
    if (status == IsoStatus::Error) {
        // The sink's handle may have had the deck's node among its files, which goes when the
        // deck is unplugged. After a change on the bus, send afresh once the deck is back rather
        // than give up.
        bool changed = false;
        {
            std::lock_guard lock(port_.mutex());
            changed = port_.bus().Bus().Generation() != generation_ ||
                      FindPhyByGuid(port_.bus().Bus(), guid_) != conn_.input_phy;
        }
        if (!changed) {
            error_ = "the transmit handle failed";
            return Event::Failed;
        }
        StopSink();
        status = IsoStatus::BusReset;
    }
    if (status != IsoStatus::BusReset && !away_) {
        // A reset the sink did not report (its handle may not hear of them) shows in the
        // control side's generation.
        std::lock_guard lock(port_.mutex());
        if (port_.bus().Bus().Generation() == generation_) return Event::None;
    }
    Event event = Event::None;
    if (!away_) {
        away_ = true;
        away_since_ = now;
        event = Event::Lost;
    }
    // The deck drops its connections at a reset unless they are restored in time: make ours
    // again, on a new channel if the old one was taken. A deck without plugs has nothing to
    // restore; it listens on the broadcast channel.
    std::optional<int> phy;
    int again = -1;
    {
        std::lock_guard lock(port_.mutex());
        phy = FindPhyByGuid(port_.bus().Bus(), guid_);
        if (!phy) {
            // Plugged in again but not yet seen (its node could not be opened at once).
            port_.bus().Bus().Rescan();
            phy = FindPhyByGuid(port_.bus().Bus(), guid_);
        }
        if (phy) {
            conn_.input_phy = *phy;
            if (connected_) again = port_.bus().Cmp().Reconnect(conn_);
        }
        // Taken last: the look-up and the connection may have opened the bus afresh.
        generation_ = port_.bus().Bus().Generation();
    }
    if (!phy || (connected_ && again < 0)) {
        if (now - away_since_ >= timing_.reconnect_deadline) {
            error_ =
                phy ? "the deck's input could not be connected again" : "the deck left the bus";
            return Event::Failed;
        }
        return event;
    }
    const int channel = connected_ ? again : channel_;
    if (!sink_ || channel != channel_) {
        StopSink();
        if (!StartSink(channel)) {
            error_ = "cannot send on channel " + std::to_string(channel);
            return Event::Failed;
        }
    }
    away_ = false;
    ++reconnects_;
    return Event::Restored;
}

}  // namespace tessaline::fw
