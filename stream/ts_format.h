// Transport stream, source packet and PES byte formats, and the small helpers every stream
// component shares. All multi-byte fields on the wire are big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessaline {

// ---- Packet sizes
// --------------------------------------------------------------------------------
inline constexpr int kTsPacketSize = 188;      // ISO/IEC 13818-1 transport packet
inline constexpr int kSourcePacketSize = 192;  // 4-byte arrival header + one TS packet
inline constexpr int kSourceHeaderSize = 4;
inline constexpr int kTsHeaderSize = 4;
inline constexpr int kTsMaxPayload = kTsPacketSize - kTsHeaderSize;  // 184
inline constexpr uint8_t kTsSyncByte = 0x47;

// ---- TS header bits
// ------------------------------------------------------------------------------
inline constexpr uint8_t kTsPayloadUnitStart = 0x40;   // byte 1
inline constexpr uint8_t kTsAdaptationPresent = 0x20;  // byte 3, adaptation_field_control bit 1
inline constexpr uint8_t kTsPayloadPresent = 0x10;     // byte 3, adaptation_field_control bit 0
// adaptation_field_length (byte 4) can be at most 183 when a payload byte is to follow; anything
// larger leaves no room in the packet and marks the packet as damaged.
inline constexpr int kTsMaxAdaptationLength = 183;

// ---- PES
// -----------------------------------------------------------------------------------------
inline constexpr int kPesStartCodeSize = 3;   // 00 00 01
inline constexpr uint8_t kPesPtsFlag = 0x80;  // header byte 7
// PES_packet_length 0 (unbounded video) is held as this value while the packet is open.
inline constexpr uint32_t kUnboundedPesLength = 524274;  // 0x7FFF2

// Stream ids.
inline constexpr uint8_t kStreamIdProgramStreamMap = 0xBC;
inline constexpr uint8_t kStreamIdPrivate1 = 0xBD;
inline constexpr uint8_t kStreamIdPadding = 0xBE;
inline constexpr uint8_t kStreamIdPrivate2 = 0xBF;
inline constexpr uint8_t kStreamIdAudioFirst = 0xC0;
inline constexpr uint8_t kStreamIdAudioLast = 0xDF;
inline constexpr uint8_t kStreamIdVideoFirst = 0xE0;
inline constexpr uint8_t kStreamIdVideoLast = 0xEF;
inline constexpr uint8_t kStreamIdEcm = 0xF0;
inline constexpr uint8_t kStreamIdIso13522 = 0xF3;
inline constexpr uint8_t kStreamIdDirectory = 0xFF;

// ---- Program stream
// ------------------------------------------------------------------------------
inline constexpr uint8_t kPackStartCode = 0xBA;
inline constexpr uint8_t kSystemHeaderStartCode = 0xBB;
inline constexpr int kPackHeaderSize = 14;
inline constexpr int kSystemHeaderSize = 18;
inline constexpr int kPackAndSystemHeaderSize = kPackHeaderSize + kSystemHeaderSize;  // 32

// ---- Time
// ----------------------------------------------------------------------------------------
inline constexpr uint64_t kPtsClockHz = 90000;
inline constexpr uint64_t kPtsMask = 0x1FFFFFFFFull;  // 33 bits

// What a PES stream id stands for; the private stream option moves 0xBD from skipped to audio.
enum class StreamClass { Invalid, Skipped, Audio, Video };

StreamClass ClassifyStreamId(uint8_t stream_id, bool check_private_stream) noexcept;

// The PID scans: stores pid into the variable of the class the stream id belongs to. PID 0 is the
// PAT, never a PES; storing it would only turn a known PID back into "unknown".
inline void StorePidByClass(uint8_t stream_id, uint16_t pid, uint16_t& video_pid,
                            uint16_t& audio_pid, bool check_private_stream) noexcept {
    if (pid == 0) return;
    const StreamClass c = ClassifyStreamId(stream_id, check_private_stream);
    if (c == StreamClass::Audio) audio_pid = pid;
    if (c == StreamClass::Video) video_pid = pid;
}

inline constexpr bool IsAudioStreamId(uint8_t id) noexcept {
    return id >= kStreamIdAudioFirst && id <= kStreamIdAudioLast;
}
inline constexpr bool IsVideoStreamId(uint8_t id) noexcept {
    return id >= kStreamIdVideoFirst && id <= kStreamIdVideoLast;
}

// ---- Byte order and fields
// -----------------------------------------------------------------------
inline constexpr uint16_t SwapBytes16(uint16_t v) noexcept {
    return static_cast<uint16_t>((v >> 8) | (v << 8));
}
inline constexpr uint32_t SwapBytes32(uint32_t v) noexcept {
    return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}
inline constexpr uint16_t ReadBe16(const uint8_t* p) noexcept {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline constexpr void WriteBe16(uint8_t* p, uint32_t v) noexcept {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

// PID of a TS packet from its bytes 1 and 2 (13 bits).
inline constexpr uint16_t ReadPid(const uint8_t* bytes1and2) noexcept {
    return static_cast<uint16_t>(((bytes1and2[0] & 0x1F) << 8) | bytes1and2[1]);
}

// The 33-bit PTS/DTS of five header bytes; marker bits are ignored.
inline constexpr uint64_t DecodeTimestamp(const uint8_t* b) noexcept {
    return (static_cast<uint64_t>((b[0] >> 1) & 0x07) << 30) | (static_cast<uint64_t>(b[1]) << 22) |
           (static_cast<uint64_t>(b[2] >> 1) << 15) | (static_cast<uint64_t>(b[3]) << 7) |
           static_cast<uint64_t>(b[4] >> 1);
}

// Writes a PTS in the five-byte form with prefix 0010 (PTS only) and all marker bits set.
void EncodeTimestamp(uint8_t* out, uint64_t pts, uint8_t prefix = 0x20) noexcept;

// ---- One TS packet
// ------------------------------------------------------------------------------- Where the payload
// of a 188-byte packet lies. A packet without payload, or whose adaptation field claims more than
// the packet holds, has no payload (valid == false).
struct TsPayload {
    bool valid = false;
    bool unit_start = false;
    uint16_t pid = 0;
    int offset = 0;
    int length = 0;
};

inline TsPayload LocatePayload(const uint8_t* packet) noexcept {
    TsPayload p;
    p.pid = ReadPid(packet + 1);
    p.unit_start = (packet[1] & kTsPayloadUnitStart) != 0;
    if ((packet[3] & kTsPayloadPresent) == 0) return p;
    int offset = kTsHeaderSize;
    if (packet[3] & kTsAdaptationPresent) {
        const int af_length = packet[4];
        if (af_length > kTsMaxAdaptationLength) return p;
        offset += af_length + 1;
    }
    p.valid = true;
    p.offset = offset;
    p.length = kTsPacketSize - offset;
    return p;
}

// The offset of the byte where a PES stream id would stand when a PES starts in this packet, or
// -1 when the adaptation field is damaged. The start code itself is not looked at.
inline int StreamIdOffset(const uint8_t* packet) noexcept {
    int offset = kTsHeaderSize + 3;
    if (packet[3] & kTsAdaptationPresent) {
        if (packet[4] > kTsMaxAdaptationLength) return -1;
        offset += packet[4] + 1;
    }
    return offset;
}

}  // namespace tessaline
