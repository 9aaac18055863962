// Byte-level helpers of the deck drivers: how fast a stored stream plays, and the conversion of
// 188-byte packets into the 192-byte source packets a deck takes in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessaline {

// 188 or 192 when three packets in a row start where that size puts them, else 0.
int DetectPacketSize(const uint8_t* data, size_t size) noexcept;

// The PCR of a 188-byte TS packet, in 27 MHz ticks, and the PID that carries it; false when the
// packet carries none (or is not a TS packet).
bool ReadPcr(const uint8_t* ts, uint16_t& pid, uint64_t& pcr) noexcept;

inline constexpr double kPcrHz = 27e6;

struct PlayRate {
    enum class Source { Pcr, VideoBitRate, Default };
    double bytes_per_second = 0;
    Source source = Source::Default;
};

// The rate at which the stored bytes play: from the PCRs of the first PID that carries them,
// else from the MPEG-2 video bit rate, else a D-VHS HS-like default.
PlayRate MeasurePlayRate(const uint8_t* data, size_t size) noexcept;

inline constexpr double kDefaultPlayBytesPerSecond = 28.2e6 / 8;

// Turns a TS of 188-byte packets into 192-byte source packets whose 4-byte header carries a
// 30-bit arrival time (27 MHz) advancing at the play rate. Input that already is 192-byte source
// packets, or that is neither, passes unchanged. Any cut of the input gives the same output.
class SourcePacketWrapper {
  public:
    explicit SourcePacketWrapper(double bytes_per_second);

    // Replaces out with the bytes this piece of input completes.
    void Convert(const uint8_t* data, size_t size, std::vector<uint8_t>& out);
    // At the end of the input: replaces out with what is still held and can be used (a stream
    // too short to tell its format passes as it is; an incomplete packet is dropped).
    void Flush(std::vector<uint8_t>& out);

  private:
    enum class Format { Unknown, Wrap, Pass };
    void Emit(const uint8_t* packet, std::vector<uint8_t>& out);

    Format format_ = Format::Unknown;
    double ticks_per_packet_;
    uint64_t packets_ = 0;
    // Bytes held back: up to 389 while the format is unknown, then part of one packet.
    std::vector<uint8_t> held_;
};

}  // namespace tessaline
