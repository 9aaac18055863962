#include "capture/source_packets.h"

#include <algorithm>

namespace tessaline {
namespace {

constexpr uint8_t kSync = 0x47;
constexpr int kTs = 188;
constexpr int kSource = 192;
// Bytes needed to see three 192-byte packets' sync bytes (at 4, 196 and 388).
constexpr size_t kDetectBytes = 2 * kSource + 4 + 1;

bool SyncAt(const uint8_t* data, size_t size, size_t pos) {
    return pos < size && data[pos] == kSync;
}

}  // namespace

int DetectPacketSize(const uint8_t* data, size_t size) noexcept {
    constexpr size_t ts = kTs, source = kSource;
    if (SyncAt(data, size, 0) && SyncAt(data, size, ts) && SyncAt(data, size, 2 * ts)) {
        return kTs;
    }
    if (SyncAt(data, size, 4) && SyncAt(data, size, 4 + source) &&
        SyncAt(data, size, 4 + 2 * source)) {
        return kSource;
    }
    return 0;
}

bool ReadPcr(const uint8_t* p, uint16_t& pid, uint64_t& pcr) noexcept {
    // Sync, an adaptation field of at least 7 bytes, and its PCR flag.
    if (p[0] != kSync || !(p[3] & 0x20) || p[4] < 7 || !(p[5] & 0x10)) return false;
    pid = static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
    const uint64_t base = (uint64_t{p[6]} << 25) | (uint64_t{p[7]} << 17) | (uint64_t{p[8]} << 9) |
                          (uint64_t{p[9]} << 1) | (p[10] >> 7);
    pcr = base * 300 + (((p[10] & 1u) << 8) | p[11]);
    return true;
}

PlayRate MeasurePlayRate(const uint8_t* data, size_t size) noexcept {
    const int packet = DetectPacketSize(data, size);
    if (packet != 0) {
        const size_t first = packet == kSource ? 4 : 0;
        int pcr_pid = -1;
        bool have_last = false;
        uint64_t last_pcr = 0;
        size_t last_pos = 0;
        double bytes = 0, seconds = 0;
        for (size_t pos = first; pos + kTs <= size; pos += static_cast<size_t>(packet)) {
            uint16_t pid = 0;
            uint64_t pcr = 0;
            if (!ReadPcr(data + pos, pid, pcr)) continue;
            if (pcr_pid < 0) pcr_pid = pid;
            if (pid != pcr_pid) continue;
            // Only steps forward of less than a second count: a jump or a wrap starts afresh.
            if (have_last && pcr > last_pcr && pcr - last_pcr < static_cast<uint64_t>(kPcrHz)) {
                bytes += static_cast<double>(pos - last_pos);
                seconds += static_cast<double>(pcr - last_pcr) / kPcrHz;
            }
            have_last = true;
            last_pcr = pcr;
            last_pos = pos;
        }
        if (seconds > 0.01) return {bytes / seconds, PlayRate::Source::Pcr};
    }
    // An MPEG-2 sequence header's bit_rate (units of 400 bit/s), plus the TS packet overhead.
    for (size_t i = 0; i + 12 <= size; ++i) {
        if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1 || data[i + 3] != 0xB3) continue;
        const uint32_t value =
            (uint32_t{data[i + 8]} << 10) | (uint32_t{data[i + 9]} << 2) | (data[i + 10] >> 6);
        if (value == 0 || value == 0x3FFFF) break;
        const double per_packet = packet != 0 ? packet / 184.0 : kTs / 184.0;
        return {value * 400.0 / 8 * per_packet, PlayRate::Source::VideoBitRate};
    }
    return {kDefaultPlayBytesPerSecond, PlayRate::Source::Default};
}

SourcePacketWrapper::SourcePacketWrapper(double bytes_per_second)
    : ticks_per_packet_(kPcrHz * kTs / std::max(bytes_per_second, 1.0)) {
    held_.reserve(kDetectBytes + kSource);
}

void SourcePacketWrapper::Emit(const uint8_t* packet, std::vector<uint8_t>& out) {
    const auto stamp = static_cast<uint32_t>(static_cast<uint64_t>(static_cast<double>(packets_++) *
                                                                   ticks_per_packet_)) &
                       0x3FFFFFFFu;
    const uint8_t header[4] = {static_cast<uint8_t>(stamp >> 24), static_cast<uint8_t>(stamp >> 16),
                               static_cast<uint8_t>(stamp >> 8), static_cast<uint8_t>(stamp)};
    out.insert(out.end(), header, header + 4);
    out.insert(out.end(), packet, packet + kTs);
}

void SourcePacketWrapper::Convert(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
    out.clear();
    if (format_ == Format::Unknown) {
        const size_t take = std::min(size, kDetectBytes - held_.size());
        held_.insert(held_.end(), data, data + take);
        data += take;
        size -= take;
        if (held_.size() < kDetectBytes) return;
        format_ = DetectPacketSize(held_.data(), held_.size()) == kTs ? Format::Wrap : Format::Pass;
        // Go on with the held bytes as if they had just arrived.
        std::vector<uint8_t> head;
        head.swap(held_);
        held_.reserve(kSource);
        std::vector<uint8_t> first;
        Convert(head.data(), head.size(), first);
        Convert(data, size, out);
        out.insert(out.begin(), first.begin(), first.end());
        return;
    }
    if (format_ == Format::Pass) {
        out.assign(data, data + size);
        return;
    }
    if (!held_.empty()) {
        const size_t take = std::min(size, static_cast<size_t>(kTs) - held_.size());
        held_.insert(held_.end(), data, data + take);
        data += take;
        size -= take;
        if (held_.size() < static_cast<size_t>(kTs)) return;
        Emit(held_.data(), out);
        held_.clear();
    }
    while (size >= static_cast<size_t>(kTs)) {
        Emit(data, out);
        data += kTs;
        size -= kTs;
    }
    held_.assign(data, data + size);
}

void SourcePacketWrapper::Flush(std::vector<uint8_t>& out) {
    out.clear();
    if (format_ == Format::Unknown) out.assign(held_.begin(), held_.end());
    held_.clear();
}

}  // namespace tessaline
