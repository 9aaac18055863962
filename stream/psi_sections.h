// SPDX-License-Identifier: GPL-3.0-or-later
// Program-specific information: sections joined again from TS packet payloads, their CRC, and the
// two tables the analyser and the splitter read (PAT, PMT). Every field is read after a bounds
// check; a section that claims more than it holds is rejected whole.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tessaline {

inline constexpr uint16_t kPidPat = 0x0000;
inline constexpr uint16_t kPidCat = 0x0001;
inline constexpr uint16_t kPidNull = 0x1FFF;
inline constexpr uint8_t kTableIdPat = 0x00;
inline constexpr uint8_t kTableIdPmt = 0x02;
// Long enough for any PSI section (1024) and private sections (4096).
inline constexpr size_t kMaxSectionSize = 4096;

// CRC-32 as MPEG-2 sections use it (polynomial 0x04C11DB7, initial 0xFFFFFFFF, no reflection, no
// final XOR). Over a whole section including its CRC field the result is 0.
uint32_t Crc32Mpeg(const uint8_t* bytes, size_t count) noexcept;

// Joins the sections of one PID from its packets' payloads.
class SectionAssembler {
  public:
    // A continuity break (lost packets) drops the section being joined.
    void Break() noexcept { fill_ = 0; }

    // One packet's payload. `emit(section, length)` is called for every section it completes;
    // stuffing (0xFF where a table_id would be) ends the packet's sections.
    template <class Emit>
    void Push(const uint8_t* payload, int length, bool unit_start, Emit&& emit) {
        int pos = 0;
        if (unit_start) {
            if (length < 1) return;
            const int pointer = payload[0];
            pos = 1;
            if (pointer > length - 1) {  // the pointer leads past the packet: nothing usable
                fill_ = 0;
                return;
            }
            if (fill_ != 0) Append(payload + pos, pointer, emit);
            fill_ = 0;
            pos += pointer;
        } else if (fill_ == 0) {
            return;  // the middle of a section whose start was not seen
        }
        while (pos < length) {
            if (fill_ == 0 && payload[pos] == 0xFF) return;
            pos += Append(payload + pos, length - pos, emit);
        }
    }

  private:
    // Adds bytes to the section being joined; returns how many it used (at least one).
    template <class Emit>
    int Append(const uint8_t* bytes, int count, Emit& emit) {
        int used = 0;
        while (used < count) {
            if (fill_ < 3) {
                buffer_[fill_++] = bytes[used++];
            } else {
                const size_t take =
                    std::min(SectionLength() - fill_, static_cast<size_t>(count - used));
                std::memcpy(buffer_.data() + fill_, bytes + used, take);
                fill_ += take;
                used += static_cast<int>(take);
            }
            if (fill_ < 3) continue;
            const size_t total = SectionLength();
            if (total > kMaxSectionSize) {  // not a section: wait for the next unit start
                fill_ = 0;
                return count;
            }
            if (fill_ == total) {
                fill_ = 0;
                emit(buffer_.data(), total);
                return used;
            }
        }
        return used;
    }
    size_t SectionLength() const noexcept {
        return 3 + ((static_cast<size_t>(buffer_[1] & 0x0F) << 8) | buffer_[2]);
    }

    std::array<uint8_t, kMaxSectionSize> buffer_{};
    size_t fill_ = 0;
};

// Whether a complete section carries a CRC (section_syntax_indicator set) and whether it is right.
bool SectionHasCrc(const uint8_t* section, size_t length) noexcept;
bool SectionCrcOk(const uint8_t* section, size_t length) noexcept;

inline constexpr int kMaxPrograms = 16;
inline constexpr int kMaxStreams = 32;

struct PatTable {
    uint16_t transport_stream_id = 0;
    uint8_t version = 0;
    int count = 0;
    std::array<uint16_t, kMaxPrograms> program_number{};
    std::array<uint16_t, kMaxPrograms> pmt_pid{};
};

// Copy control as the stream's descriptors or the isochronous header state it: shown to the user,
// never acted on. Ordered from the least to the most restrictive.
enum class CopyControl : uint8_t {
    Unknown,          // nothing said
    CopyFree,         // 00
    ProviderDefined,  // ARIB 01: the broadcaster's own rule
    CopyOnce,         // 10: one generation may be copied
    NoMoreCopies,     // DTCP 01: that one generation was made
    CopyNever,        // 11
};
// The two copy control bits of a DTCP descriptor or of an EMI field, and of an ARIB digital copy
// control descriptor (which gives 01 another meaning).
CopyControl CopyControlFromDtcp(unsigned bits) noexcept;
CopyControl CopyControlFromArib(unsigned bits) noexcept;

struct PmtTable {
    uint16_t program_number = 0;
    uint8_t version = 0;
    uint16_t pcr_pid = kPidNull;
    int count = 0;
    std::array<uint16_t, kMaxStreams> pid{};
    std::array<uint8_t, kMaxStreams> stream_type{};
    CopyControl copy_control = CopyControl::Unknown;
};

// Parse a complete section (CRC already checked by the caller); false when it is not that table
// or does not hold together. Programs or streams beyond the arrays' room are left out.
bool ParsePat(const uint8_t* section, size_t length, PatTable& out) noexcept;
bool ParsePmt(const uint8_t* section, size_t length, PmtTable& out) noexcept;

enum class StreamKind : uint8_t { Other, Video, Audio };
// The kind of elementary stream a PMT stream_type stands for.
StreamKind KindOfStreamType(uint8_t stream_type) noexcept;

const char* CopyControlName(CopyControl cc) noexcept;

}  // namespace tessaline
