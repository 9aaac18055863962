// SPDX-License-Identifier: GPL-3.0-or-later
// What the streaming loops of a real deck share: the bus port with its control lock, the timing
// of the loops, and the report of what a stream met, read by other threads while it runs.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/deck_driver.h"
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
    // Connections made again after a bus reset or after the deck came back on the bus.
    uint64_t reconnects = 0;
    // Connections made again because the stream went quiet without a bus reset.
    uint64_t silence_retries = 0;
    uint64_t bytes_delivered = 0;
    uint64_t packets_sent = 0;
    // Stretches the stream missed; see StreamGap.
    std::vector<StreamGap> gaps;
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

// Waits for the iso handle or the stop signal; true when the iso handle is readable.
bool WaitReadable(int iso_fd, const StopSignal& stop, std::chrono::milliseconds timeout);

}  // namespace tessaline::fw
