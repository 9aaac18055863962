// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/ieee1394/receive_loop.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/ieee1394/enumerate.h"
#include "capture/ieee1394/gap_meter.h"

namespace tessaline::fw {
namespace {

// An MPEG-2 TS source packet is 8 data blocks of 6 quadlets.
constexpr int kBlocksPerSourcePacket = 8;
// One iso packet a cycle, 8000 cycles a second.
constexpr double kCyclesPerSecond = 8000;

class ParsingSink final : public IsoPacketSink {
  public:
    ParsingSink(CipReceiver& parser, std::vector<uint8_t>& buffer, IsoPacketSink* tap,
                CaptureEvents* events)
        : parser_(parser), buffer_(buffer), tap_(tap), events_(events) {}
    bool Packet(const IsoPacket& packet) override {
        if (tap_ != nullptr) tap_->Packet(packet);
        if (events_ == nullptr) {
            parser_.Parse(packet, buffer_);
            return true;
        }
        const CipStats before = parser_.stats();
        parser_.Parse(packet, buffer_);
        const CipStats& after = parser_.stats();
        if (after.dbc_gaps != before.dbc_gaps) {
            events_->DbcGap(after.blocks_lost - before.blocks_lost, kBlocksPerSourcePacket);
        }
        if (after.empty_packets != before.empty_packets) {
            ++empty_run_;
            // A long run is told while it lasts, a step at a time.
            if (empty_run_ >= kMinCycles && empty_run_ - empty_told_ >= kStepCycles) {
                events_->EmptyStretch(double(empty_run_ - empty_told_) / kCyclesPerSecond);
                empty_told_ = empty_run_;
            }
        } else if (after.source_packets != before.source_packets) {
            EndEmptyRun();
        }
        return true;
    }
    // Data came, or the stream was broken off: the rest of a run is told.
    void EndEmptyRun() {
        if (events_ != nullptr && empty_run_ >= kMinCycles && empty_run_ > empty_told_) {
            events_->EmptyStretch(double(empty_run_ - empty_told_) / kCyclesPerSecond);
        }
        empty_run_ = 0;
        empty_told_ = 0;
    }

  private:
    static constexpr uint64_t kMinCycles = uint64_t(kEmptyStretchMin * kCyclesPerSecond);
    static constexpr uint64_t kStepCycles = uint64_t(kEmptyStep * kCyclesPerSecond);

    CipReceiver& parser_;
    std::vector<uint8_t>& buffer_;
    IsoPacketSink* tap_;
    CaptureEvents* events_;
    uint64_t empty_run_ = 0;
    uint64_t empty_told_ = 0;
};

}  // namespace

int32_t ReceiveLoop(Ieee1394Port& port, uint64_t guid, ISampleGrabberCB& callback,
                    const StopSignal& stop, const StreamTiming& timing, LinkReportBox& box,
                    IsoPacketSink* tap, CaptureEvents* events) {
    LinkReport report;
    CmpConnection conn;
    conn.input_phy = -1;
    int channel = -1;
    uint32_t generation = 0;
    {
        std::lock_guard lock(port.mutex());
        const std::optional<int> phy = FindPhyByGuid(port.bus().Bus(), guid);
        if (!phy) {
            report.error = "the deck is not on the bus";
            box.Set(report);
            return EC_ERRORABORT;
        }
        conn.output_phy = *phy;
        channel = port.bus().Cmp().Connect(conn);
        generation = port.bus().Bus().Generation();
    }
    report.connected = channel >= 0;
    // A deck without plug registers, or one that already broadcasts, is heard on 63 and needs no
    // connection restored after a bus reset.
    const bool broadcast = channel < 0;
    if (broadcast) channel = kBroadcastChannel;
    report.channel = channel;

    // The report keeps saying a connection was made once the stream is over.
    auto disconnect = [&] {
        if (!report.connected) return;
        std::lock_guard lock(port.mutex());
        port.bus().Cmp().Disconnect(conn);
    };

    std::unique_ptr<IIsoSource> source = port.bus().OpenIsoSource();
    if (!source || !source->Start(channel)) {
        disconnect();
        report.error = "cannot receive on channel " + std::to_string(channel);
        box.Set(report);
        return EC_ERRORABORT;
    }
    CipReceiver parser(channel, CipReceiver::Output::SourcePackets);
    std::vector<uint8_t> buffer;
    buffer.reserve(timing.deliver_bytes + kMaxIsoPayload * 256);
    ParsingSink sink(parser, buffer, tap, events);
    GapMeter gaps;
    const auto start = Clock::now();
    bool away = false;
    Clock::time_point away_since{};
    int32_t event = 0;
    box.Set(report);

    // Packets heard on our channel, and when the last of them came.
    auto heard = [&] { return parser.stats().packets - parser.stats().wrong_channel; };
    uint64_t heard_before = 0;
    Clock::time_point last_heard = Clock::now();
    Clock::time_point last_silence_retry = last_heard;

    while (!stop.raised()) {
        // Without a source (its handle went with the deck) the poll only waits for stop.
        const bool readable = WaitReadable(source ? source->Fd() : -1, stop, timing.poll);
        if (stop.raised()) break;
        IsoStatus status = IsoStatus::Ok;
        if (readable && source) status = source->Iterate(sink);
        if (!buffer.empty()) {
            const auto at = Clock::now();
            if (std::optional<StreamGap> gap = gaps.Take(buffer.data(), buffer.size())) {
                report.gaps.push_back(std::move(*gap));
            }
            const double seconds = std::chrono::duration<double>(at - start).count();
            callback.BufferCB(seconds, buffer.data(), static_cast<long>(buffer.size()));
            report.bytes_delivered += buffer.size();
            buffer.clear();
        }
        report.cip = parser.stats();
        const auto now = Clock::now();
        if (heard() != heard_before) {
            heard_before = heard();
            last_heard = now;
            last_silence_retry = now;
        }
        if (status == IsoStatus::Error) {
            // libraw1394 may have opened the iso handle on the deck's own /dev/fw node, which goes
            // when the deck is unplugged. After a change on the bus, listen afresh once the deck
            // is back rather than give up.
            bool bus_changed = false;
            {
                std::lock_guard lock(port.mutex());
                bus_changed = port.bus().Bus().Generation() != generation ||
                              FindPhyByGuid(port.bus().Bus(), guid) != conn.output_phy;
            }
            if (!bus_changed) {
                report.error = "the receive handle failed";
                event = EC_ERRORABORT;
                break;
            }
            source->Stop();
            source.reset();
            status = IsoStatus::BusReset;
        }
        if (status == IsoStatus::End) {
            event = EC_COMPLETE;
            break;
        }

        bool reset = status == IsoStatus::BusReset;
        if (reset && events != nullptr) events->BusReset();
        bool silent = false;
        if (!reset && !away && now - last_heard >= timing.silence) {
            if (now - last_heard >= timing.silence + timing.reconnect_deadline) {
                const std::string quiet =
                    " on channel " + std::to_string(channel) + " for " +
                    std::to_string(
                        std::chrono::duration_cast<std::chrono::seconds>(now - last_heard)
                            .count()) +
                    " s";
                // A deck that never sent a packet is not playing (or not switched on), which is
                // not the same as a stream that broke off.
                report.error = heard() == 0 ? "the deck sent nothing" + quiet +
                                                  " (is it switched on and playing?)"
                                            : "no stream from the deck" + quiet;
                event = EC_ERRORABORT;
                break;
            }
            // Quiet without a reset: connect again, once per silence period.
            silent = now - last_silence_retry >= timing.silence;
            if (silent) last_silence_retry = now;
        }
        std::optional<int> phy;
        int new_channel = -1;
        if (reset || away || silent) {
            gaps.Interrupted(silent  ? "the stream went quiet"
                             : reset ? "a bus reset"
                                     : "the deck was off the bus",
                             now);
            std::lock_guard lock(port.mutex());
            phy = FindPhyByGuid(port.bus().Bus(), guid);
            if (!phy) {
                // Plugged in again but not yet seen (its node could not be opened at once).
                port.bus().Bus().Rescan();
                phy = FindPhyByGuid(port.bus().Bus(), guid);
            }
            if (phy) {
                conn.output_phy = *phy;
                if (silent && report.connected) {
                    port.bus().Cmp().Disconnect(conn);
                    report.connected = false;
                }
                new_channel = report.connected ? port.bus().Cmp().Reconnect(conn)
                                               : port.bus().Cmp().Connect(conn);
                if (new_channel >= 0) {
                    report.connected = true;
                } else if (broadcast) {
                    new_channel = channel;
                }
            }
            // Taken last: the look-up and the connection may have opened the bus afresh.
            generation = port.bus().Bus().Generation();
        } else {
            std::lock_guard lock(port.mutex());
            if (port.bus().Bus().Generation() != generation) {
                // A reset the iso handle did not report; look again on the next round.
                away = true;
                away_since = now;
            }
            box.Set(report);
            continue;
        }
        if (!phy || new_channel < 0) {
            if (!phy) gaps.SetCause("the deck was off the bus");
            // Unplugged, or its plug not back yet: keep what we have, wait a little longer.
            if (!away) {
                away = true;
                away_since = now;
            }
            if (now - away_since >= timing.reconnect_deadline) {
                report.error = phy ? "the connection to the deck could not be restored"
                                   : "the deck left the bus";
                event = EC_ERRORABORT;
                break;
            }
            box.Set(report);
            continue;
        }
        away = false;
        gaps.Restored();
        if (silent) {
            ++report.silence_retries;
        } else {
            ++report.reconnects;
            // Back after a reset: the silence clock starts again (a quiet deck does not).
            last_heard = now;
            last_silence_retry = now;
        }
        if (new_channel != channel || silent || !source) {
            // A new channel, a quiet one, or a handle lost with the deck: listen afresh.
            if (source) source->Stop();
            source = port.bus().OpenIsoSource();
            if (!source || !source->Start(new_channel)) {
                report.error = "cannot receive on channel " + std::to_string(new_channel);
                event = EC_ERRORABORT;
                break;
            }
            channel = new_channel;
            report.channel = channel;
            parser.SetChannel(channel);
        } else {
            parser.Restart();
        }
        box.Set(report);
    }
    if (source) source->Stop();
    source.reset();
    sink.EndEmptyRun();
    disconnect();
    // Stopped while the deck was away: what it played since is not in the recording.
    if (event != EC_ERRORABORT) {
        if (std::optional<StreamGap> gap = gaps.Finish(Clock::now())) {
            report.gaps.push_back(std::move(*gap));
        }
    }
    report.cip = parser.stats();
    box.Set(report);
    return event;
}

}  // namespace tessaline::fw
