// SPDX-License-Identifier: GPL-3.0-or-later
#include "stream/ts_packetiser.h"

namespace tessaline {

void TsPacketiser::Reset(int packet_size) noexcept {
    fixed_size_ = packet_size == 188 || packet_size == 192 ? packet_size : 0;
    size_ = fixed_size_;
    in_sync_ = false;
    bad_run_ = 0;
    consumed_ = 0;
    skipped_ = 0;
    stage_fill_ = 0;
}

bool TsPacketiser::Acquire() noexcept {
    // Once a size was found (or given) only that size is looked for again.
    const int sizes[2] = {size_ != 0 ? size_ : 188, size_ != 0 ? 0 : 192};
    size_t start = 0;
    for (;; ++start) {
        bool waiting = false;
        for (const int size : sizes) {
            if (size == 0) continue;
            const size_t sync = size == 192 ? 4 : 0;
            const size_t last = start + sync + (kAcquireRun - 1) * static_cast<size_t>(size);
            if (last >= stage_fill_) {
                waiting = true;
                continue;
            }
            bool run = true;
            for (int i = 0; i < kAcquireRun && run; ++i) {
                run = stage_[start + sync + static_cast<size_t>(i * size)] == 0x47;
            }
            if (!run) continue;
            size_ = size;
            in_sync_ = true;
            bad_run_ = 0;
            std::memmove(stage_.data(), stage_.data() + start, stage_fill_ - start);
            stage_fill_ -= start;
            consumed_ += start;
            skipped_ += start;
            return true;
        }
        if (waiting) break;
    }
    // Bytes before `start` can no longer begin a run of sync bytes.
    std::memmove(stage_.data(), stage_.data() + start, stage_fill_ - start);
    stage_fill_ -= start;
    consumed_ += start;
    skipped_ += start;
    return false;
}

}  // namespace tessaline
