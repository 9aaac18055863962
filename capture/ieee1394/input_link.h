// SPDX-License-Identifier: GPL-3.0-or-later
// The deck's input as the computer feeds it: a connection to the deck's input plug and an iso
// sink sending on its channel, kept going across bus resets (connected again, on a new channel
// if the old one was taken) and short unplugs (the sink started afresh once the deck is back).
// What it sends comes from a packet source that can be changed between rounds; without one it
// sends CIP packets without data, a signal with nothing in it. One thread at a time drives it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "capture/ieee1394/stream_link.h"

namespace tessaline::fw {

class InputLink {
  public:
    InputLink(Ieee1394Port& port, uint64_t guid, const StreamTiming& timing);
    // Stops sending and undoes the connection.
    ~InputLink();
    InputLink(const InputLink&) = delete;
    InputLink& operator=(const InputLink&) = delete;

    // Connects the deck's input (a deck without plug registers gets the signal on the broadcast
    // channel, unconnected) and starts sending. False, with error(), when the deck is not on the
    // bus or nothing can be sent.
    bool Open();

    // What goes out from the next round on; nullptr: packets without data. Once the source is
    // done, packets without data follow it.
    void SetSource(IsoPacketSource* source);

    enum class Event {
        None,
        Lost,      // the deck went away, or its connection broke with a bus reset
        Restored,  // connected again and sending (after Lost, or within this same round)
        Failed,    // gone past the deadline, or the sink failed for no reason on the bus: error()
    };
    // One round: waits up to the poll time for the sink or stop, runs the sink, and looks after
    // the connection.
    Event Step(const StopSignal& stop);

    // Stops the sink and undoes the connection now.
    void Close();

    bool connected() const noexcept { return connected_; }
    bool away() const noexcept { return away_; }
    int channel() const noexcept { return channel_; }
    uint64_t reconnects() const noexcept { return reconnects_; }
    const std::string& error() const noexcept { return error_; }
    // How long what is filled now takes to go out.
    std::chrono::microseconds queue_time() const;

  private:
    // Sends packets of source_ (or without data) on the channel.
    class Switch final : public IsoPacketSource {
      public:
        explicit Switch(uint8_t source_id) : idle_(source_id) {}
        size_t Fill(uint8_t* data, size_t capacity, unsigned cycle, unsigned& tag,
                    unsigned& sy) override;
        bool Done() const override { return false; }
        void Restart() override {
            if (source_ != nullptr) source_->Restart();
        }
        IsoPacketSource* source_ = nullptr;

      private:
        CipWriter idle_;
        // The data block counter runs on across sources: the deck sees one stream.
        uint8_t dbc_ = 0;
    };

    bool StartSink(int channel);
    void StopSink();

    Ieee1394Port& port_;
    uint64_t guid_;
    StreamTiming timing_;
    CmpConnection conn_;
    bool open_ = false;
    bool connected_ = false;
    int channel_ = -1;
    std::unique_ptr<IIsoSink> sink_;
    std::unique_ptr<Switch> switch_;
    uint32_t generation_ = 0;
    bool away_ = false;
    Clock::time_point away_since_{};
    uint64_t reconnects_ = 0;
    std::string error_;
};

}  // namespace tessaline::fw
