// SPDX-License-Identifier: GPL-3.0-or-later
// Turns a TS file into the CIP packets of one bus cycle each, paced by the file's own PCRs: every
// TS packet gets the time its PCRs give it (between two PCRs the packets share the interval
// evenly), goes out in the bus cycle of that time (at most 5 source packets a cycle), and carries
// that time, a few cycles ahead, as its source packet time stamp. The deck plays the tape back by
// those stamps, so they follow the PCRs exactly, whatever the bus or the disk did meanwhile.
//
// The file is read, and its packets timed, on a thread of its own, never in Fill (which runs in
// the iso handler): when the disk falls behind, cycles go out without data, and the packets that
// are late go out as fast as the bus takes them until the stream is back on time.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "capture/ieee1394/cip.h"
#include "capture/ieee1394/seams.h"

namespace tessaline::fw {

// What a file to be sent looks like, from a scan before anything is sent.
struct TransmitPlan {
    int packet_size = 0;  // 188 or 192 as stored
    uint64_t packets = 0;
    double ts_packets_per_second = 0;
};

// Source packet stamps point this many cycles past the packet's own time: the slack the deck's
// buffer expects, and room for a packet that has to wait a cycle or two behind others.
inline constexpr unsigned kStampDelayCycles = 7;

class TsFeeder final : public IsoPacketSource {
  public:
    TsFeeder(std::FILE* file, const TransmitPlan& plan, uint8_t source_id);
    ~TsFeeder() override;
    TsFeeder(const TsFeeder&) = delete;
    TsFeeder& operator=(const TsFeeder&) = delete;

    // `cycle` is the bus cycle (0..7999) the packet goes out in.
    size_t Fill(uint8_t* data, size_t capacity, unsigned cycle, unsigned& tag,
                unsigned& sy) override;
    bool Done() const override { return done_.load(std::memory_order_acquire); }
    // The next packet goes out in the next cycle filled, and the rest keep their spacing.
    void Restart() override;

    uint64_t sent() const noexcept { return sent_.load(std::memory_order_relaxed); }
    // Where in the file (seconds, by its PCRs) the last packet put into a cycle stands.
    double filled_seconds() const noexcept;
    // The file could not be read to its end as scanned (an error, or it changed under us).
    bool read_error() const noexcept;
    // Cycles that found nothing read ahead while the file was still being read.
    uint64_t underruns() const noexcept { return underruns_.load(std::memory_order_relaxed); }
    // Packets that went out after the time their stamp names (the deck gets them too late).
    uint64_t late() const noexcept { return late_.load(std::memory_order_relaxed); }
    // How far the reader is ahead of Fill: packets read and timed, not yet sent, and whether it
    // has read the whole file (then nothing more will come).
    size_t packets_read_ahead() const;
    bool read_to_end() const;

  private:
    // TS packets read ahead with the time each is due (27 MHz ticks from the file's start).
    struct Chunk {
        std::vector<uint8_t> ts;
        std::vector<int64_t> due;
        size_t used = 0;  // packets taken
    };
    void ReadAhead();
    // The next packet's time, false when none is read yet.
    bool Peek(int64_t& due);
    void Take(uint8_t* ts188);

    std::FILE* file_;
    TransmitPlan plan_;
    CipWriter writer_;

    // Fill's own state (the iso thread): the bus cycle counted on past 7999, and the cycle and
    // packet time the stream is anchored to.
    bool have_cycle_ = false;
    int64_t bus_cycle_ = 0;
    bool anchored_ = false;
    int64_t anchor_cycle_ = 0;
    int64_t anchor_due_ = 0;

    std::atomic<bool> done_{false};
    std::atomic<bool> restart_{false};
    std::atomic<uint64_t> sent_{0};
    std::atomic<uint64_t> underruns_{0};
    std::atomic<uint64_t> late_{0};
    std::atomic<int64_t> filled_due_{0};

    mutable std::mutex mu_;
    std::condition_variable room_;
    std::deque<Chunk> chunks_;
    size_t buffered_ = 0;  // bytes of TS read ahead and not taken
    bool reader_finished_ = false;
    bool reader_failed_ = false;
    bool quit_ = false;
    std::thread reader_;
};

}  // namespace tessaline::fw
