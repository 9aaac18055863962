// The common isochronous packet (CIP) format that carries MPEG-2 transport streams over IEEE 1394:
// an 8-byte CIP header, then data blocks that together make 192-byte source packets (a 4-byte
// source packet header with the arrival time stamp, then the 188-byte TS packet).
//
// CipReceiver takes iso packets straight from the bus. They are untrusted: every field is checked
// before it is used, a packet that does not fit is dropped and counted, and no byte past a packet's
// length is read. Source packets split across packets are joined again; a break in the data block
// counter is counted and never fatal. CipWriter builds packets the same way a deck or our
// transmitter does.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "capture/ieee1394/seams.h"

namespace tessaline::fw {

inline constexpr size_t kCipHeaderBytes = 8;
inline constexpr size_t kSourcePacketBytes = 192;
inline constexpr size_t kSphBytes = 4;
inline constexpr size_t kTsBytes = 188;
inline constexpr uint8_t kTsSync = 0x47;
inline constexpr uint8_t kFmtMpeg2Ts = 0x20;
inline constexpr unsigned kCipTag = 1;
// A deck puts at most this many source packets into one cycle's packet.
inline constexpr int kMaxSourcePacketsPerCycle = 5;
inline constexpr size_t kMaxIsoPayload = kCipHeaderBytes + size_t{kMaxSourcePacketsPerCycle} * 192;
inline constexpr int kBroadcastChannel = 63;

// What the receiver saw. Plain counters: the receive thread writes them, others read copies.
struct CipStats {
    uint64_t packets = 0;         // every packet handed in
    uint64_t empty_packets = 0;   // a CIP header and no data (a deck that is not playing)
    uint64_t source_packets = 0;  // whole source packets delivered
    uint64_t wrong_channel = 0;
    uint64_t wrong_tag = 0;
    uint64_t bad_length = 0;       // shorter than a CIP header, or not whole data blocks
    uint64_t bad_header = 0;       // CIP header bits, DBS, FN, QPC or SPH not those of an MPEG-2 TS
    uint64_t wrong_format = 0;     // FMT is not MPEG-2 TS
    uint64_t dbc_gaps = 0;         // breaks in the data block counter
    uint64_t blocks_lost = 0;      // data blocks missing across those breaks
    uint64_t partial_dropped = 0;  // source packets cut by a gap, thrown away
    uint64_t lost_sync = 0;        // source packets whose TS packet does not start with 0x47
    uint64_t encrypted = 0;        // packets with a non-zero sy field (copy protection)
    uint64_t bus_dropped = 0;      // packets the bus driver says it lost
};

class CipReceiver {
  public:
    enum class Output {
        SourcePackets,  // 192 bytes each, header kept byte for byte
        TsPackets,      // 188 bytes each, the source packet header taken off
    };

    CipReceiver(int channel, Output output) : channel_(channel), output_(output) {}

    // A new channel after a reconnect; the block counter starts over.
    void SetChannel(int channel) noexcept;
    // Forget the block counter and any half-joined source packet.
    void Restart() noexcept;

    // Checks one packet and appends the whole packets it completes to out (which should have
    // capacity for kMaxIsoPayload more bytes so that nothing is allocated). Returns the bytes
    // added.
    size_t Parse(const IsoPacket& packet, std::vector<uint8_t>& out);

    const CipStats& stats() const noexcept { return stats_; }
    int channel() const noexcept { return channel_; }

  private:
    void Emit(const uint8_t* source_packet, std::vector<uint8_t>& out, size_t& added);

    int channel_;
    Output output_;
    CipStats stats_;
    bool have_dbc_ = false;
    uint8_t next_dbc_ = 0;
    // A source packet being joined from data blocks of several packets.
    std::array<uint8_t, kSourcePacketBytes> partial_{};
    size_t partial_bytes_ = 0;
};

// Builds CIP packets for an MPEG-2 TS: header SID/06/C4/DBC/A0/80 00 00, then data blocks.
class CipWriter {
  public:
    explicit CipWriter(uint8_t source_id = 0, uint8_t first_dbc = 0)
        : sid_(source_id & 0x3F), dbc_(first_dbc) {}

    // Writes a header and `bytes` of data blocks (a multiple of 24) to out, advancing the
    // counter by one per block. Returns the packet length, or 0 when it does not fit.
    size_t Packet(uint8_t* out, size_t capacity, const uint8_t* blocks, size_t bytes);
    // Whole source packets, headers as given.
    size_t SourcePackets(uint8_t* out, size_t capacity, const uint8_t* packets, int count) {
        return Packet(out, capacity, packets, static_cast<size_t>(count) * kSourcePacketBytes);
    }

    uint8_t dbc() const noexcept { return dbc_; }
    void set_dbc(uint8_t dbc) noexcept { dbc_ = dbc; }

  private:
    uint8_t sid_;
    uint8_t dbc_;
};

// The source packet header of a packet sent in `cycle` (0..7999) at `offset` (0..3071 ticks of
// 24.576 MHz): 7 reserved bits, 13-bit cycle count, 12-bit offset, big-endian.
void WriteSourcePacketHeader(uint8_t* header, unsigned cycle, unsigned offset) noexcept;

}  // namespace tessaline::fw
