// SPDX-License-Identifier: GPL-3.0-or-later
#include "stream/psi_sections.h"

namespace tessaline {
namespace {

constexpr uint32_t kCrcPolynomial = 0x04C11DB7;
constexpr size_t kCrcBytes = 4;
// Bytes of a long-form section before its table body: table_id .. last_section_number.
constexpr size_t kLongHeader = 8;

constexpr uint8_t kDescriptorDtcp = 0x88;
constexpr uint16_t kDtcpCaSystemId = 0x0FFF;
constexpr uint8_t kDescriptorAribCopyControl = 0xC1;

constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 0x80000000u) ? (c << 1) ^ kCrcPolynomial : c << 1;
        table[i] = c;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

uint16_t Field13(const uint8_t* p) noexcept {
    return static_cast<uint16_t>(((p[0] & 0x1F) << 8) | p[1]);
}
uint16_t Field12(const uint8_t* p) noexcept {
    return static_cast<uint16_t>(((p[0] & 0x0F) << 8) | p[1]);
}

// The most restrictive copy control any of the descriptors in [p, end) states, or `so_far`.
CopyControl ReadCopyControl(const uint8_t* p, const uint8_t* end, CopyControl so_far) noexcept {
    while (end - p >= 2) {
        const uint8_t tag = p[0];
        const size_t length = p[1];
        if (static_cast<size_t>(end - p - 2) < length) break;
        const uint8_t* body = p + 2;
        CopyControl found = CopyControl::Unknown;
        if (tag == kDescriptorAribCopyControl && length >= 1) {
            found = CopyControlFromArib(body[0] >> 6);
        } else if (tag == kDescriptorDtcp && length >= 3 &&
                   ((body[0] << 8) | body[1]) == kDtcpCaSystemId) {
            found = CopyControlFromDtcp(body[2] & 0x03);
        }
        if (found > so_far) so_far = found;
        p = body + length;
    }
    return so_far;
}

}  // namespace

uint32_t Crc32Mpeg(const uint8_t* bytes, size_t count) noexcept {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < count; ++i)
        crc = (crc << 8) ^ kCrcTable[((crc >> 24) ^ bytes[i]) & 0xFF];
    return crc;
}

bool SectionHasCrc(const uint8_t* section, size_t length) noexcept {
    return length >= 3 && (section[1] & 0x80) != 0;
}

bool SectionCrcOk(const uint8_t* section, size_t length) noexcept {
    return length >= kLongHeader + kCrcBytes && Crc32Mpeg(section, length) == 0;
}

CopyControl CopyControlFromDtcp(unsigned bits) noexcept {
    static constexpr CopyControl kMap[] = {CopyControl::CopyFree, CopyControl::NoMoreCopies,
                                           CopyControl::CopyOnce, CopyControl::CopyNever};
    return kMap[bits & 3];
}

CopyControl CopyControlFromArib(unsigned bits) noexcept {
    static constexpr CopyControl kMap[] = {CopyControl::CopyFree, CopyControl::ProviderDefined,
                                           CopyControl::CopyOnce, CopyControl::CopyNever};
    return kMap[bits & 3];
}

const char* CopyControlName(CopyControl cc) noexcept {
    switch (cc) {
        case CopyControl::CopyFree:
            return "copy-free";
        case CopyControl::ProviderDefined:
            return "provider-defined";
        case CopyControl::CopyOnce:
            return "copy-once";
        case CopyControl::NoMoreCopies:
            return "no-more-copies";
        case CopyControl::CopyNever:
            return "copy-never";
        case CopyControl::Unknown:
            break;
    }
    return "unknown";
}

bool ParsePat(const uint8_t* s, size_t length, PatTable& out) noexcept {
    if (length < kLongHeader + kCrcBytes || s[0] != kTableIdPat) return false;
    PatTable pat;
    pat.transport_stream_id = static_cast<uint16_t>((s[3] << 8) | s[4]);
    pat.version = static_cast<uint8_t>((s[5] >> 1) & 0x1F);
    const size_t body_end = length - kCrcBytes;
    for (size_t at = kLongHeader; at + 4 <= body_end; at += 4) {
        const uint16_t number = static_cast<uint16_t>((s[at] << 8) | s[at + 1]);
        if (number == 0) continue;  // the network PID, not a program
        if (pat.count == kMaxPrograms) break;
        pat.program_number[static_cast<size_t>(pat.count)] = number;
        pat.pmt_pid[static_cast<size_t>(pat.count)] = Field13(s + at + 2);
        ++pat.count;
    }
    out = pat;
    return true;
}

bool ParsePmt(const uint8_t* s, size_t length, PmtTable& out) noexcept {
    constexpr size_t kFixed = kLongHeader + 4;  // PCR_PID and program_info_length
    if (length < kFixed + kCrcBytes || s[0] != kTableIdPmt) return false;
    PmtTable pmt;
    pmt.program_number = static_cast<uint16_t>((s[3] << 8) | s[4]);
    pmt.version = static_cast<uint8_t>((s[5] >> 1) & 0x1F);
    pmt.pcr_pid = Field13(s + 8);
    const uint8_t* end = s + length - kCrcBytes;
    const size_t info_length = Field12(s + 10);
    if (info_length > static_cast<size_t>(end - (s + kFixed))) return false;
    const uint8_t* p = s + kFixed;
    pmt.copy_control = ReadCopyControl(p, p + info_length, pmt.copy_control);
    p += info_length;
    while (end - p >= 5) {
        const size_t es_info = Field12(p + 3);
        if (es_info > static_cast<size_t>(end - p - 5)) return false;
        if (pmt.count < kMaxStreams) {
            pmt.stream_type[static_cast<size_t>(pmt.count)] = p[0];
            pmt.pid[static_cast<size_t>(pmt.count)] = Field13(p + 1);
            ++pmt.count;
        }
        pmt.copy_control = ReadCopyControl(p + 5, p + 5 + es_info, pmt.copy_control);
        p += 5 + es_info;
    }
    out = pmt;
    return true;
}

StreamKind KindOfStreamType(uint8_t type) noexcept {
    switch (type) {
        case 0x01:  // MPEG-1 video
        case 0x02:  // MPEG-2 video
        case 0x10:  // MPEG-4 part 2
        case 0x1B:  // H.264
        case 0x24:  // H.265
            return StreamKind::Video;
        case 0x03:  // MPEG-1 audio
        case 0x04:  // MPEG-2 audio
        case 0x0F:  // AAC (ADTS)
        case 0x11:  // AAC (LATM)
        case 0x81:  // AC-3
        case 0x87:  // E-AC-3
            return StreamKind::Audio;
        default:
            return StreamKind::Other;
    }
}

}  // namespace tessaline
