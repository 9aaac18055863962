// SPDX-License-Identifier: GPL-3.0-or-later
// Capture events as they are reported from any thread, held until the thread that analyses the
// stream takes them and places them at the packet it is at. Counters only: no lock, no
// allocation.
#pragma once

#include <atomic>
#include <cstdint>

#include "stream/capture_events.h"

namespace tessaline {

class CaptureEventQueue final : public CaptureEvents {
  public:
    void DbcGap(uint64_t blocks_lost, int blocks_per_packet) override;
    void EmptyStretch(double seconds) override;
    void BusReset() override;
    void TapePosition(double seconds) override;
    void IsoCopyControl(unsigned emi) override;

    struct Taken {
        uint32_t gaps = 0;
        uint64_t packets_lost = 0;  // the gaps' blocks in whole source packets
        uint32_t resets = 0;
        uint32_t empty_stretches = 0;
        uint64_t empty_ms = 0;
        int64_t tape_ms = -1;  // the latest tape counter; -1 unknown
        int emi = -1;          // the latest EMI bits; -1 none reported
    };
    // What was reported since the last Take (the tape counter and EMI as they stand).
    Taken Take() noexcept;
    void Clear() noexcept;

  private:
    std::atomic<uint64_t> blocks_{0};
    std::atomic<uint32_t> gaps_{0};
    std::atomic<int> blocks_per_packet_{8};
    std::atomic<uint32_t> resets_{0};
    std::atomic<uint32_t> empty_{0};
    std::atomic<uint64_t> empty_ms_{0};
    std::atomic<int64_t> tape_ms_{-1};
    std::atomic<int> emi_{-1};
};

}  // namespace tessaline
