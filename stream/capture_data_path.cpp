#include "stream/capture_data_path.h"

#include <chrono>
#include <cstring>

#include "stream/live_converter.h"
#include "stream/output_file.h"
#include "stream/sha256.h"
#include "stream/stream_context.h"
#include "stream/ts_analyser.h"
#include "stream/ts_format.h"

namespace tessaline {
namespace {

// Bytes needed to tell 192-byte source packets from 188-byte packets: sync bytes at 4 and 196.
constexpr int kSizeTestBytes = kSourcePacketSize + kSourceHeaderSize + 1;  // 197

// Raises CallbackBusy for the duration of one callback, whatever way it ends.
class BusyScope {
  public:
    explicit BusyScope(std::atomic<bool>& flag) : flag_(flag) { flag_.store(true); }
    ~BusyScope() { flag_.store(false, std::memory_order_release); }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

  private:
    std::atomic<bool>& flag_;
};

int64_t WallClockMs() noexcept {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void ResetCarryOver(StreamContext& ctx) noexcept {
    ctx.CarryOver.Reset();
}

void CaptureDataPath::Reserve(size_t size) {
    if (work_.size() < size) work_.resize(size);
    if (out_.size() < size) out_.resize(size);
}

int CaptureDataPath::NormaliseCaptureBuffer(const uint8_t* data, int length) {
    CarryOverArea& carry = ctx_.CarryOver;
    if (length < 0) length = 0;
    const int total = carry.count + length;
    Reserve(static_cast<size_t>(total) + 1);
    uint8_t* work = work_.data();
    std::memcpy(work, carry.bytes, static_cast<size_t>(carry.count));
    if (length > 0) std::memcpy(work + carry.count, data, static_cast<size_t>(length));
    if (total == 0) return 0;

    // Too short to tell the packet size: keep everything until the next buffer, rather than
    // guess 188 and misalign a 192-byte stream for the rest of the recording.
    if (work[0] != kTsSyncByte && total < kSizeTestBytes) {
        std::memcpy(carry.bytes, work, static_cast<size_t>(total));
        carry.count = total;
        return 0;
    }

    uint8_t* out = out_.data();
    const bool source_packets =
        work[0] != kTsSyncByte && work[4] == kTsSyncByte && work[196] == kTsSyncByte;
    if (packet_size_.load(std::memory_order_relaxed) == 0) {
        packet_size_.store(source_packets ? kSourcePacketSize : kTsPacketSize,
                           std::memory_order_relaxed);
    }
    if (source_packets) {
        const int k = total / kSourcePacketSize;
        const uint8_t* src = work + kSourceHeaderSize;
        for (int i = 0; i < k; ++i) {
            std::memcpy(out, src, kTsPacketSize);  // the 4-byte header of each is dropped
            out += kTsPacketSize;
            src += kSourcePacketSize;
        }
        const int rest = total - k * kSourcePacketSize;
        std::memcpy(carry.bytes, work + static_cast<size_t>(k) * kSourcePacketSize,
                    static_cast<size_t>(rest));
        carry.count = rest;
        return k * kTsPacketSize;
    }
    const int m = total / kTsPacketSize * kTsPacketSize;
    std::memcpy(out, work, static_cast<size_t>(m));
    const int rest = total - m;
    std::memcpy(carry.bytes, work + m, static_cast<size_t>(rest));
    carry.count = rest;
    return m;
}

bool CaptureDataPath::WriteAsDelivered(const uint8_t* buffer, int length) {
    const uint64_t at = raw_offset_;
    raw_offset_ += static_cast<uint64_t>(length);
    int known = packet_size_.load(std::memory_order_relaxed);
    if (known == 0 && at == 0 && length >= kSizeTestBytes) {
        // The first buffer, not yet normalised: the same test the normaliser will make, so that
        // a first write that fails is cut back in packets of the right size.
        known = buffer[0] != kTsSyncByte && buffer[4] == kTsSyncByte && buffer[196] == kTsSyncByte
                    ? kSourcePacketSize
                    : kTsPacketSize;
        first_unit_ = known;
    }
    if (known == 0) known = first_unit_;
    const uint64_t unit = known != 0 ? static_cast<uint64_t>(known) : kSourcePacketSize;
    if (raw_gap_) {
        // The file ends at a whole packet: go on where the stream's next packet starts.
        const uint64_t skip = (unit - at % unit) % unit;
        if (skip >= static_cast<uint64_t>(length)) return true;
        buffer += skip;
        length -= static_cast<int>(skip);
        raw_gap_ = false;
    }
    if (length == 0) return true;
    if (Store(buffer, static_cast<size_t>(length))) return true;
    // Buffers are not cut at packet starts: without this cut the file would hold a torn packet,
    // and every packet after it would be out of step.
    if (output_ != nullptr) output_->CutToWholeUnits(unit);
    raw_gap_ = true;
    return false;
}

bool CaptureDataPath::Store(const uint8_t* bytes, size_t count) {
    if (output_ == nullptr || !output_->Write(bytes, count)) return false;
    if (ctx_.OutputHash != nullptr) ctx_.OutputHash->Update(bytes, count);
    return true;
}

int32_t CaptureDataPath::BufferCB(double /*sample_time*/, const uint8_t* buffer, long length) {
    BusyScope busy(ctx_.CallbackBusy);
    if (length < 0 || buffer == nullptr) length = 0;
    // A buffer larger than any packet arithmetic can hold is not a capture buffer.
    if (length > (1L << 30)) return kS_FALSE;
    const int len = static_cast<int>(length);
    received_.fetch_add(static_cast<uint64_t>(len), std::memory_order_relaxed);
    int32_t result = kS_OK;

    auto write = [&](const uint8_t* bytes, int count) {
        if (count == 0) return true;
        if (Store(bytes, static_cast<size_t>(count))) return true;
        ctx_.stats.WriteFailures += 1;
        return false;
    };

    try {
        // Judged as delivered, in every mode, before any write can fail.
        if (analyser_ != nullptr) analyser_->Feed(buffer, static_cast<size_t>(len), WallClockMs());
        ctx_.ConverterOutput = output_;
        // Program stream output always takes the trimmed path (the window locks the two together).
        if (ctx_.options.TrimPacket || ctx_.options.ConvPES) {
            const int n = NormaliseCaptureBuffer(buffer, len);
            if (ctx_.options.ConvPES) {
                ConvertCaptureBuffer(ctx_, out_.data(), n);
                if (ctx_.live.sink.TakeFailure()) result = kS_FALSE;
                // A program stream's headers are no recording yet: a file it replaces goes only
                // once audio or video is in.
                if (output_ != nullptr && output_->NamePending() && ctx_.mux.AvPesWritten > 0) {
                    output_->TakeName();
                }
            } else if (!write(out_.data(), n)) {
                result = kS_FALSE;
            } else {
                ConvertCaptureBuffer(ctx_, out_.data(), n);
            }
        } else if (!WriteAsDelivered(buffer, len)) {
            ctx_.stats.WriteFailures += 1;
            result = kS_FALSE;
        } else {
            const int n = NormaliseCaptureBuffer(buffer, len);
            ConvertCaptureBuffer(ctx_, out_.data(), n);
        }
    } catch (...) {
        // Nothing may escape into the capture framework's thread; the buffer counts as lost.
        ctx_.stats.WriteFailures += 1;
        result = kS_FALSE;
    }
    return result;
}

}  // namespace tessaline
