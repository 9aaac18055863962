// SPDX-License-Identifier: GPL-3.0-or-later
#include "stream/capture_event_queue.h"

#include <algorithm>
#include <cmath>

namespace tessaline {

void CaptureEventQueue::DbcGap(uint64_t blocks_lost, int blocks_per_packet) {
    if (blocks_per_packet > 0) blocks_per_packet_.store(blocks_per_packet);
    blocks_.fetch_add(blocks_lost);
    gaps_.fetch_add(1);
}

void CaptureEventQueue::EmptyStretch(double seconds) {
    if (!(seconds > 0)) seconds = 0;
    empty_ms_.fetch_add(static_cast<uint64_t>(std::llround(std::min(seconds, 1e9) * 1000)));
    empty_.fetch_add(1);
}

void CaptureEventQueue::BusReset() {
    resets_.fetch_add(1);
}

void CaptureEventQueue::TapePosition(double seconds) {
    const bool known = seconds >= 0 && seconds < 1e9;
    tape_ms_.store(known ? std::llround(seconds * 1000) : -1);
}

void CaptureEventQueue::IsoCopyControl(unsigned emi) {
    emi_.store(static_cast<int>(emi & 3));
}

CaptureEventQueue::Taken CaptureEventQueue::Take() noexcept {
    Taken t;
    t.gaps = gaps_.exchange(0);
    const uint64_t blocks = blocks_.exchange(0);
    const auto per = static_cast<uint64_t>(std::max(1, blocks_per_packet_.load()));
    t.packets_lost = (blocks + per - 1) / per;
    t.resets = resets_.exchange(0);
    t.empty_stretches = empty_.exchange(0);
    t.empty_ms = empty_ms_.exchange(0);
    t.tape_ms = tape_ms_.load();
    t.emi = emi_.load();
    return t;
}

void CaptureEventQueue::Clear() noexcept {
    Take();
    tape_ms_ = -1;
    emi_ = -1;
}

}  // namespace tessaline
