// SPDX-License-Identifier: GPL-3.0-or-later
// Cuts bytes that arrive in pieces of any size into TS packets, and keeps packet sync the way a
// transport stream analyser counts it: sync is acquired after five sync bytes in a row at the
// packet stride and lost after two bad ones in a row; bytes in between are passed over and
// counted. 188-byte packets and 192-byte source packets (a 4-byte arrival header in front) are
// both found, the size fixed by the first sync. Nothing is allocated while it runs.
//
// The handler gets:
//   Packet(const uint8_t* ts, const uint8_t* header, uint64_t offset)  ts: 188 bytes; header: the
//       4 bytes in front of a source packet, or nullptr; offset: where the packet (its header
//       included) starts in the bytes fed so far
//   SyncByteError(uint64_t offset)   a packet whose sync byte is wrong (it is not handed on)
//   SyncLost(uint64_t offset)        the second bad sync byte in a row: searching again
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tessaline {

class TsPacketiser {
  public:
    static constexpr int kAcquireRun = 5;  // sync bytes in a row before packets are trusted
    static constexpr int kLoseRun = 2;     // bad sync bytes in a row that lose sync

    // packet_size: 188 or 192 when known, 0 to find out.
    explicit TsPacketiser(int packet_size = 0) { Reset(packet_size); }
    void Reset(int packet_size = 0) noexcept;

    template <class Handler>
    void Feed(const uint8_t* data, size_t count, Handler& handler);

    // 188 or 192 once sync was first found; 0 before.
    int packet_size() const noexcept { return size_; }
    bool in_sync() const noexcept { return in_sync_; }
    uint64_t bytes_fed() const noexcept { return consumed_ + stage_fill_; }
    // Bytes passed over while searching for sync.
    uint64_t bytes_skipped() const noexcept { return skipped_; }
    // Bytes held back: an incomplete packet, or bytes still being searched.
    size_t bytes_pending() const noexcept { return stage_fill_; }

  private:
    static constexpr size_t kStage = 4096;

    int SyncOffset() const noexcept { return size_ == 192 ? 4 : 0; }
    // Looks for sync in the stage; true when found (the stage then starts with a packet).
    bool Acquire() noexcept;
    // Hands on the stage's whole packets once sync is found; false when sync was lost again.
    template <class Handler>
    void DrainStage(Handler& handler);
    // One packet at p; false when it lost sync.
    template <class Handler>
    bool Emit(const uint8_t* p, Handler& handler);

    int fixed_size_ = 0;
    int size_ = 0;
    bool in_sync_ = false;
    int bad_run_ = 0;
    uint64_t consumed_ = 0;  // stream offset of stage_[0] (or of the next byte read in place)
    uint64_t skipped_ = 0;
    std::array<uint8_t, kStage> stage_{};
    size_t stage_fill_ = 0;
};

template <class Handler>
bool TsPacketiser::Emit(const uint8_t* p, Handler& handler) {
    const int sync = SyncOffset();
    if (p[sync] == 0x47) {
        bad_run_ = 0;
        handler.Packet(p + sync, sync != 0 ? p : nullptr, consumed_);
        consumed_ += static_cast<uint64_t>(size_);
        return true;
    }
    handler.SyncByteError(consumed_);
    if (++bad_run_ < kLoseRun) {
        consumed_ += static_cast<uint64_t>(size_);
        return true;
    }
    handler.SyncLost(consumed_);
    in_sync_ = false;
    bad_run_ = 0;
    return false;
}

template <class Handler>
void TsPacketiser::DrainStage(Handler& handler) {
    const size_t unit = static_cast<size_t>(size_);
    size_t pos = 0;
    while (stage_fill_ - pos >= unit) {
        if (!Emit(stage_.data() + pos, handler)) {
            // Search again from the byte after the bad packet's start.
            ++pos;
            ++consumed_;
            ++skipped_;
            break;
        }
        pos += unit;
    }
    std::memmove(stage_.data(), stage_.data() + pos, stage_fill_ - pos);
    stage_fill_ -= pos;
}

template <class Handler>
void TsPacketiser::Feed(const uint8_t* data, size_t count, Handler& handler) {
    while (count > 0) {
        if (!in_sync_) {
            const size_t take = std::min(count, kStage - stage_fill_);
            std::memcpy(stage_.data() + stage_fill_, data, take);
            stage_fill_ += take;
            data += take;
            count -= take;
            if (Acquire()) DrainStage(handler);
            continue;
        }
        const size_t unit = static_cast<size_t>(size_);
        if (stage_fill_ > 0) {
            // Complete the packet the last piece ended in.
            const size_t take = std::min(unit - stage_fill_, count);
            std::memcpy(stage_.data() + stage_fill_, data, take);
            stage_fill_ += take;
            data += take;
            count -= take;
            if (stage_fill_ < unit) return;
            DrainStage(handler);
            continue;
        }
        while (count >= unit) {
            if (!Emit(data, handler)) {
                ++data;
                --count;
                ++consumed_;
                ++skipped_;
                break;
            }
            data += unit;
            count -= unit;
        }
        if (in_sync_ && count < unit) {
            std::memcpy(stage_.data(), data, count);
            stage_fill_ = count;
            return;
        }
    }
}

}  // namespace tessaline
