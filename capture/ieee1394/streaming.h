// The two streaming loops of a real deck, run on the graph's streaming thread: receiving the
// deck's stream into the grabber callback, and sending a TS file to the deck. Both wait in poll()
// on the iso handle and the stop signal, so a stop request is seen at once, and both undo their
// connection on the way out.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/deck_driver.h"
#include "capture/framework.h"
#include "capture/ieee1394/avc.h"
#include "capture/ieee1394/cip.h"
#include "capture/ieee1394/seams.h"

namespace tessaline::fw {

// One bus: the control side (enumeration, AV/C, CMP) is shared by every deck on it and used one
// thread at a time under mutex(); iso sides are opened per stream.
class Ieee1394Port {
  public:
    explicit Ieee1394Port(std::unique_ptr<IBusPort> bus, AvcTiming timing = {})
        : bus_(std::move(bus)), avc_(bus_->Fcp(), timing) {}

    std::mutex& mutex() noexcept { return mu_; }
    IBusPort& bus() noexcept { return *bus_; }
    AvcClient& avc() noexcept { return avc_; }

  private:
    std::mutex mu_;
    std::unique_ptr<IBusPort> bus_;
    AvcClient avc_;
};

struct StreamTiming {
    // Longest wait in poll() between looks at the deck.
    std::chrono::milliseconds poll{200};
    // How long a deck may stay off the bus (unplugged, or no connection after a bus reset)
    // before the stream ends with an error.
    std::chrono::milliseconds reconnect_deadline{10000};
    // A receive that hears nothing on its channel this long (no bus reset, the deck just went
    // quiet, or a broadcast channel that carries nothing) makes the connection again; nothing
    // for this plus reconnect_deadline ends the stream with an error.
    std::chrono::milliseconds silence{1000};
    // Room kept for the source packets of one wake-up, beyond what the irq interval brings, so
    // that receiving allocates nothing.
    size_t deliver_bytes = size_t{192} * 320;
};

// What a stream has seen so far, for `devices --verbose` and tests.
struct LinkReport {
    CipStats cip;
    int channel = -1;
    bool connected = false;  // a CMP connection was made (else broadcast channel 63)
    uint64_t reconnects = 0;
    uint64_t bytes_delivered = 0;
    uint64_t packets_sent = 0;
    std::string error;  // why the last stream ended with an error
};

class LinkReportBox {
  public:
    void Set(const LinkReport& report) {
        std::lock_guard lock(mu_);
        report_ = report;
    }
    LinkReport Get() const {
        std::lock_guard lock(mu_);
        return report_;
    }

  private:
    mutable std::mutex mu_;
    LinkReport report_;
};

// Receives the deck's stream and hands 192-byte source packets to callback until stop. Returns
// 0 when stopped, EC_ERRORABORT when the deck cannot be connected or stays away past the
// deadline, EC_COMPLETE when the iso source ends (a replayed capture).
// With a tap, every iso packet received is handed to it first, as it came (a raw dump).
int32_t ReceiveLoop(Ieee1394Port& port, uint64_t guid, ISampleGrabberCB& callback,
                    const StopSignal& stop, const StreamTiming& timing, LinkReportBox& report,
                    IsoPacketSink* tap = nullptr);

// What a file to be sent looks like, from a scan before anything is sent.
struct TransmitPlan {
    int packet_size = 0;  // 188 or 192 as stored
    uint64_t packets = 0;
    double ts_packets_per_second = 0;
};

// Refuses files that cannot be paced: empty, not 188/192-byte packets, an incomplete last
// packet, no PCR. The reason goes to error.
bool ScanTransmitFile(const std::string& path, TransmitPlan& plan, std::string& error);

// Sends the TS file to the deck at the rate its PCRs give (as 188-byte TS in source packets that
// we stamp), then waits until the last packet has gone out. EC_COMPLETE at the end of the file,
// 0 when stopped, EC_ERRORABORT on a refused file or a bus failure.
// With `existing`, the deck's input is already connected (by an InputSignal) and that
// connection is used, and undone at the end, instead of a new one.
int32_t TransmitLoop(Ieee1394Port& port, uint64_t guid, const std::string& path,
                     const StopSignal& stop, const StreamTiming& timing, LinkReportBox& report,
                     std::optional<CmpConnection> existing = std::nullopt);

// Connects a deck's input plug and sends CIP packets without data on its channel, on a thread
// of its own, until a transmit takes the connection over or it is destroyed (which undoes the
// connection). A deck put into record-pause or record then finds a signal at its input.
class InputSignal {
  public:
    InputSignal(Ieee1394Port& port, uint64_t guid);
    ~InputSignal();
    InputSignal(const InputSignal&) = delete;
    InputSignal& operator=(const InputSignal&) = delete;

    // Whether the input is connected (a deck without plug registers gets the signal on the
    // broadcast channel, unconnected).
    bool connected() const noexcept { return connected_; }
    // Stops sending and hands over the connection, which is then the caller's to undo.
    std::optional<CmpConnection> TakeOver();

  private:
    void Run();

    Ieee1394Port& port_;
    uint64_t guid_;
    CmpConnection conn_;
    bool connected_ = false;
    bool handed_over_ = false;
    std::unique_ptr<IIsoSink> sink_;
    StopSignal stop_;
    std::thread thread_;
};

// Turns a TS file into CIP packets, one per bus cycle, at the planned rate (at most 5 source
// packets per cycle). The transmit loop's packet source, and what the tests feed by hand. The
// file is read ahead on a thread of its own, never in Fill (which runs in the iso handler): when
// the disk falls behind, a cycle goes out without data and the rate catches up after.
class TsFeeder final : public IsoPacketSource {
  public:
    TsFeeder(std::FILE* file, const TransmitPlan& plan, uint8_t source_id);
    ~TsFeeder() override;
    TsFeeder(const TsFeeder&) = delete;
    TsFeeder& operator=(const TsFeeder&) = delete;

    size_t Fill(uint8_t* data, size_t capacity, unsigned cycle, unsigned& tag,
                unsigned& sy) override;
    bool Done() const override { return done_.load(std::memory_order_acquire); }
    uint64_t sent() const noexcept { return sent_.load(std::memory_order_relaxed); }
    // The file could not be read to its end as scanned (an error, or it changed under us).
    bool read_error() const noexcept;
    // Cycles that had packets due but found nothing read yet.
    uint64_t underruns() const noexcept { return underruns_.load(std::memory_order_relaxed); }

  private:
    void ReadAhead();
    bool NextPacket(uint8_t* ts188);

    std::FILE* file_;
    TransmitPlan plan_;
    CipWriter writer_;
    double per_cycle_;
    double credit_ = 0;
    std::atomic<bool> done_{false};
    std::atomic<uint64_t> sent_{0};
    std::atomic<uint64_t> underruns_{0};

    // TS packets read ahead, 188 bytes each; the reader stops at a few MiB.
    mutable std::mutex mu_;
    std::condition_variable room_;
    std::deque<std::vector<uint8_t>> chunks_;
    size_t front_used_ = 0;
    size_t buffered_ = 0;
    bool reader_finished_ = false;
    bool reader_failed_ = false;
    bool quit_ = false;
    std::thread reader_;
};

}  // namespace tessaline::fw
