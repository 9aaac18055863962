#include "capture/ieee1394/cip.h"

#include <cstring>

namespace tessaline::fw {
namespace {

// CIP header, byte by byte (big-endian on the wire).
constexpr uint8_t kEohMask = 0xC0;  // top bits of bytes 0 and 4: 00 and 10
constexpr uint8_t kEoh1 = 0x80;
constexpr size_t kQuadlet = 4;

}  // namespace

void CipReceiver::SetChannel(int channel) noexcept {
    channel_ = channel;
    Restart();
}

void CipReceiver::Restart() noexcept {
    have_dbc_ = false;
    partial_bytes_ = 0;
}

void CipReceiver::Emit(const uint8_t* sp, std::vector<uint8_t>& out, size_t& added) {
    if (sp[kSphBytes] != kTsSync) {
        ++stats_.lost_sync;
        return;
    }
    ++stats_.source_packets;
    if (output_ == Output::SourcePackets) {
        out.insert(out.end(), sp, sp + kSourcePacketBytes);
        added += kSourcePacketBytes;
    } else {
        out.insert(out.end(), sp + kSphBytes, sp + kSourcePacketBytes);
        added += kTsBytes;
    }
}

size_t CipReceiver::Parse(const IsoPacket& p, std::vector<uint8_t>& out) {
    ++stats_.packets;
    stats_.bus_dropped += p.dropped;
    if (p.dropped != 0) Restart();
    if (static_cast<int>(p.channel) != channel_) {
        ++stats_.wrong_channel;
        return 0;
    }
    if (p.tag != kCipTag) {
        ++stats_.wrong_tag;
        return 0;
    }
    if (p.data == nullptr || p.length < kCipHeaderBytes) {
        ++stats_.bad_length;
        return 0;
    }
    const uint8_t* h = p.data;
    if ((h[0] & kEohMask) != 0 || (h[4] & kEohMask) != kEoh1) {
        ++stats_.bad_header;
        return 0;
    }
    if ((h[4] & 0x3F) != kFmtMpeg2Ts) {
        ++stats_.wrong_format;
        return 0;
    }
    const size_t block_bytes = size_t{h[1]} * kQuadlet;
    const unsigned fn = h[2] >> 6;
    const unsigned qpc = (h[2] >> 3) & 7;
    const bool sph = (h[2] & 0x04) != 0;
    const size_t fractions = size_t{1} << fn;
    // The blocks of one source packet must add up to exactly 192 bytes with no padding.
    if (block_bytes == 0 || qpc != 0 || !sph || block_bytes * fractions != kSourcePacketBytes) {
        ++stats_.bad_header;
        return 0;
    }
    const size_t payload = p.length - kCipHeaderBytes;
    if (payload % block_bytes != 0) {
        ++stats_.bad_length;
        return 0;
    }
    if (p.sy != 0) ++stats_.encrypted;
    const uint8_t dbc = h[3];
    const size_t blocks = payload / block_bytes;
    if (have_dbc_ && dbc != next_dbc_) {
        ++stats_.dbc_gaps;
        stats_.blocks_lost += static_cast<uint8_t>(dbc - next_dbc_);
        if (partial_bytes_ != 0) ++stats_.partial_dropped;
        partial_bytes_ = 0;
    }
    have_dbc_ = true;
    next_dbc_ = static_cast<uint8_t>(dbc + blocks);
    if (blocks == 0) {
        ++stats_.empty_packets;
        return 0;
    }

    size_t added = 0;
    const uint8_t* data = h + kCipHeaderBytes;
    size_t block = 0;
    while (block < blocks) {
        const size_t fraction = static_cast<uint8_t>(dbc + block) & (fractions - 1);
        const size_t left = blocks - block;
        if (fraction == 0 && partial_bytes_ == 0 && left >= fractions) {
            // The usual case: a whole source packet in place.
            Emit(data + block * block_bytes, out, added);
            block += fractions;
            continue;
        }
        if (fraction == 0) {
            if (partial_bytes_ != 0) ++stats_.partial_dropped;
            partial_bytes_ = 0;
        } else if (partial_bytes_ != fraction * block_bytes) {
            // The middle of a source packet whose start was not seen.
            ++block;
            continue;
        }
        std::memcpy(partial_.data() + partial_bytes_, data + block * block_bytes, block_bytes);
        partial_bytes_ += block_bytes;
        ++block;
        if (partial_bytes_ == kSourcePacketBytes) {
            Emit(partial_.data(), out, added);
            partial_bytes_ = 0;
        }
    }
    return added;
}

size_t CipWriter::Packet(uint8_t* out, size_t capacity, const uint8_t* blocks, size_t bytes) {
    constexpr size_t kBlock = 24;
    if (bytes % kBlock != 0 || capacity < kCipHeaderBytes + bytes) return 0;
    out[0] = sid_;
    out[1] = 0x06;  // DBS: 6 quadlets
    out[2] = 0xC4;  // FN 3 (8 blocks per source packet), QPC 0, SPH 1
    out[3] = dbc_;
    out[4] = kEoh1 | kFmtMpeg2Ts;
    out[5] = 0x80;  // FDF: TSF set (a time-shifted stream), as decks and libiec61883 send it
    out[6] = 0x00;
    out[7] = 0x00;
    if (bytes != 0) std::memcpy(out + kCipHeaderBytes, blocks, bytes);
    dbc_ = static_cast<uint8_t>(dbc_ + bytes / kBlock);
    return kCipHeaderBytes + bytes;
}

void WriteSourcePacketHeader(uint8_t* header, unsigned cycle, unsigned offset) noexcept {
    const uint32_t value = ((cycle % 8000u) << 12) | (offset & 0xFFFu);
    header[0] = static_cast<uint8_t>(value >> 24);
    header[1] = static_cast<uint8_t>(value >> 16);
    header[2] = static_cast<uint8_t>(value >> 8);
    header[3] = static_cast<uint8_t>(value);
}

}  // namespace tessaline::fw
