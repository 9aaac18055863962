// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/ieee1394/raw1394_iso.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "capture/ieee1394/cip.h"
#include "capture/ieee1394/raw1394_handle.h"

namespace tessaline::fw {
namespace {

// Receive: 4000 packets of kernel buffer (half a second), woken every 250 packets.
constexpr unsigned kRecvPackets = 4000;
constexpr unsigned kRecvMaxPayload = 2056;
constexpr int kIrqInterval = 250;
// Transmit: half a second of packets queued, so that a late wake-up does not starve the deck.
constexpr unsigned kXmitPackets = 4000;
// Cycles between reading the cycle timer and the first queued packet going out.
constexpr unsigned kXmitStartLatency = 16;

// libraw1394 lays transmit payloads one after the other in a ring of kXmitPackets slots of the
// largest payload rounded up to a power of two, and starts again at its beginning when a
// largest payload would not fit at the end; it keeps up to kXmitPackets packets queued. Empty
// packets among full ones make that restart early, wasting less than a slot; the ring must still
// hold a full queue beside that waste, or the newest payload would be written over one not yet
// sent. The rounding leaves that room as long as this holds.
constexpr size_t RoundedToPowerOfTwo(size_t n) {
    size_t p = 1;
    while (p < n) p <<= 1;
    return p;
}
static_assert(kXmitPackets * (RoundedToPowerOfTwo(kMaxIsoPayload) - kMaxIsoPayload) >=
                  RoundedToPowerOfTwo(kMaxIsoPayload) - 1,
              "the transmit ring cannot hold a full queue of mixed packet sizes");

class RawIsoSource final : public IIsoSource {
  public:
    explicit RawIsoSource(int port) : handle_(port) {
        if (!handle_) return;
        raw1394_set_userdata(handle_.get(), this);
        raw1394_set_bus_reset_handler(handle_.get(), &RawIsoSource::OnReset);
    }
    ~RawIsoSource() override { Stop(); }

    bool Start(int channel) override {
        if (!handle_) return false;
        if (raw1394_iso_recv_init(handle_.get(), &RawIsoSource::OnPacket, kRecvPackets,
                                  kRecvMaxPayload, static_cast<unsigned char>(channel),
                                  RAW1394_DMA_PACKET_PER_BUFFER, kIrqInterval) != 0) {
            return false;
        }
        started_ = true;
        return raw1394_iso_recv_start(handle_.get(), -1, -1, 0) == 0;
    }
    int Fd() override { return handle_ ? raw1394_get_fd(handle_.get()) : -1; }
    IsoStatus Iterate(IsoPacketSink& sink) override {
        sink_ = &sink;
        reset_ = false;
        const int rc = raw1394_loop_iterate(handle_.get());
        sink_ = nullptr;
        if (rc != 0) return IsoStatus::Error;
        return reset_ ? IsoStatus::BusReset : IsoStatus::Ok;
    }
    void Stop() override {
        if (!started_) return;
        started_ = false;
        raw1394_iso_shutdown(handle_.get());
    }

  private:
    static raw1394_iso_disposition OnPacket(raw1394handle_t h, unsigned char* data,
                                            unsigned int len, unsigned char channel,
                                            unsigned char tag, unsigned char sy, unsigned int cycle,
                                            unsigned int dropped) {
        auto* self = static_cast<RawIsoSource*>(raw1394_get_userdata(h));
        if (self == nullptr || self->sink_ == nullptr) return RAW1394_ISO_OK;
        // The kernel reports the length from the packet's own header; never more than a slot.
        const IsoPacket p{data,   std::min<unsigned>(len, kRecvMaxPayload), channel, tag, sy, cycle,
                          dropped};
        // Never DEFER: on the current kernel stack that abandons the rest of the batch.
        return self->sink_->Packet(p) ? RAW1394_ISO_OK : RAW1394_ISO_ERROR;
    }
    static int OnReset(raw1394handle_t h, unsigned int generation) {
        raw1394_update_generation(h, generation);
        if (auto* self = static_cast<RawIsoSource*>(raw1394_get_userdata(h))) self->reset_ = true;
        return 0;
    }

    Raw1394Handle handle_;
    bool started_ = false;
    bool reset_ = false;
    IsoPacketSink* sink_ = nullptr;
};

class RawIsoSink final : public IIsoSink {
  public:
    explicit RawIsoSink(int port) : handle_(port) {
        if (!handle_) return;
        raw1394_set_userdata(handle_.get(), this);
        raw1394_set_bus_reset_handler(handle_.get(), &RawIsoSink::OnReset);
    }
    ~RawIsoSink() override { Stop(false, -1); }

    bool Start(int channel, IsoPacketSource& source, int speed) override {
        if (!handle_) return false;
        source_ = &source;
        // Source packet stamps are counted from the cycle a packet goes out in. The library
        // tells it only when the start cycle was given, so it is counted from the cycle timer.
        // Without the cycle timer (it is read through the controller's own node) the start is
        // put on cycle 0 instead: counted from there the stamps are exact, at the cost of
        // waiting for that cycle (a few seconds at most).
        quadlet_t cycle_timer = 0;
        uint64_t local_time = 0;
        int start_on = -1;
        if (raw1394_read_cycle_timer(handle_.get(), &cycle_timer, &local_time) == 0) {
            cycle_ = (((cycle_timer >> 12) & 0x1FFF) + kXmitStartLatency) % 8000;
        } else {
            cycle_ = 0;
            start_on = 0;
        }
        if (raw1394_iso_xmit_init(
                handle_.get(), &RawIsoSink::OnFill, kXmitPackets,
                static_cast<unsigned>(kMaxIsoPayload), static_cast<unsigned char>(channel),
                static_cast<raw1394_iso_speed>(std::clamp(speed, 0, 1)), kIrqInterval) != 0) {
            return false;
        }
        started_ = true;
        return raw1394_iso_xmit_start(handle_.get(), start_on, -1) == 0;
    }
    int Fd() override { return handle_ ? raw1394_get_fd(handle_.get()) : -1; }
    int QueuedCycles() const override { return static_cast<int>(kXmitPackets); }
    IsoStatus Iterate() override {
        reset_ = false;
        if (raw1394_loop_iterate(handle_.get()) != 0) return IsoStatus::Error;
        return reset_ ? IsoStatus::BusReset : IsoStatus::Ok;
    }
    void Stop(bool drain, int stop_fd) override {
        if (!started_) return;
        started_ = false;
        // raw1394_iso_xmit_sync() waits without bound; the queue lasts kXmitPackets cycles, so
        // that long (and a margin) is waited here instead, handling the handle's events and
        // giving up at once on a stop request.
        if (drain) {
            const auto deadline = Clock::now() + std::chrono::microseconds(125) * kXmitPackets +
                                  std::chrono::milliseconds(500);
            for (;;) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                if (left.count() <= 0) break;
                pollfd fds[2] = {{raw1394_get_fd(handle_.get()), POLLIN | POLLPRI, 0},
                                 {stop_fd, POLLIN, 0}};
                const int n = poll(fds, stop_fd >= 0 ? 2 : 1, static_cast<int>(left.count()));
                if (n < 0 && errno != EINTR) break;
                if (n <= 0) continue;
                if (stop_fd >= 0 && (fds[1].revents & POLLIN) != 0) break;
                if (raw1394_loop_iterate(handle_.get()) != 0) break;
            }
        }
        raw1394_iso_shutdown(handle_.get());
    }

  private:
    static raw1394_iso_disposition OnFill(raw1394handle_t h, unsigned char* data, unsigned int* len,
                                          unsigned char* tag, unsigned char* sy, int cycle,
                                          unsigned int /*dropped*/) {
        auto* self = static_cast<RawIsoSink*>(raw1394_get_userdata(h));
        if (self == nullptr || self->source_ == nullptr) return RAW1394_ISO_ERROR;
        // After the last packet nothing more is queued, so that the queue can run dry.
        if (self->source_->Done()) return RAW1394_ISO_DEFER;
        const unsigned at = cycle >= 0 ? static_cast<unsigned>(cycle) % 8000 : self->cycle_;
        self->cycle_ = (at + 1) % 8000;
        unsigned t = 0, s = 0;
        *len = static_cast<unsigned>(self->source_->Fill(data, kMaxIsoPayload, at, t, s));
        *tag = static_cast<unsigned char>(t);
        *sy = static_cast<unsigned char>(s);
        return RAW1394_ISO_OK;
    }

    static int OnReset(raw1394handle_t h, unsigned int generation) {
        raw1394_update_generation(h, generation);
        if (auto* self = static_cast<RawIsoSink*>(raw1394_get_userdata(h))) self->reset_ = true;
        return 0;
    }

    Raw1394Handle handle_;
    bool started_ = false;
    bool reset_ = false;
    IsoPacketSource* source_ = nullptr;
    unsigned cycle_ = 0;
};

}  // namespace

std::unique_ptr<IIsoSource> OpenRawIsoSource(int port) {
    return std::make_unique<RawIsoSource>(port);
}

std::unique_ptr<IIsoSink> OpenRawIsoSink(int port) {
    return std::make_unique<RawIsoSink>(port);
}

}  // namespace tessaline::fw
