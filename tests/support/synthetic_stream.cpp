// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/synthetic_stream.h"

#include <cmath>
#include <map>

namespace tessaline::test {
namespace {

constexpr uint8_t kFill = 0xAA;  // never forms a start code

void PutCrc(Bytes& section) {
    const uint32_t crc = TestCrc32(section.data(), section.size());
    for (int shift = 24; shift >= 0; shift -= 8) section.push_back(uint8_t(crc >> shift));
}

// A section in one packet's payload: pointer field, section, stuffing.
Bytes SectionPayload(Bytes section) {
    Bytes payload = {0x00};
    Append(payload, section);
    return payload;
}

Bytes Pat(const SyntheticOptions& o) {
    Bytes s = {0x00,
               0xB0,
               0x0D,
               uint8_t(o.transport_stream_id >> 8),
               uint8_t(o.transport_stream_id),
               0xC1,
               0x00,
               0x00,
               uint8_t(o.program >> 8),
               uint8_t(o.program),
               uint8_t(0xE0 | (o.pmt_pid >> 8)),
               uint8_t(o.pmt_pid)};
    PutCrc(s);
    return s;
}

Bytes Pmt(const SyntheticOptions& o) {
    Bytes info;
    if (o.arib_copy_control >= 0) info = {0xC1, 0x01, uint8_t((o.arib_copy_control & 3) << 6)};
    Bytes s = {0x02,
               0xB0,
               0x00,
               uint8_t(o.program >> 8),
               uint8_t(o.program),
               0xC1,
               0x00,
               0x00,
               uint8_t(0xE0 | (o.video_pid >> 8)),
               uint8_t(o.video_pid),
               uint8_t(0xF0 | (info.size() >> 8)),
               uint8_t(info.size())};
    Append(s, info);
    Append(s, {0x02, uint8_t(0xE0 | (o.video_pid >> 8)), uint8_t(o.video_pid), 0xF0, 0x00});
    Append(s, {0x04, uint8_t(0xE0 | (o.audio_pid >> 8)), uint8_t(o.audio_pid), 0xF0, 0x00});
    const size_t length = s.size() - 3 + 4;
    s[1] = uint8_t(0xB0 | (length >> 8));
    s[2] = uint8_t(length);
    PutCrc(s);
    return s;
}

Bytes PesHeader(uint8_t stream_id, uint64_t pts) {
    Bytes h = {0x00, 0x00, 0x01, stream_id, 0x00, 0x00, 0x80, 0x80, 0x05};
    h.push_back(uint8_t(0x21 | ((pts >> 29) & 0x0E)));
    h.push_back(uint8_t(pts >> 22));
    h.push_back(uint8_t(0x01 | ((pts >> 14) & 0xFE)));
    h.push_back(uint8_t(pts >> 7));
    h.push_back(uint8_t(0x01 | ((pts << 1) & 0xFE)));
    return h;
}

// A packet: header, optional adaptation field with a PCR, payload (padded with an adaptation
// field's stuffing when short).
Bytes Packet(uint16_t pid, bool unit_start, uint8_t cc, const Bytes& payload, bool pcr,
             uint64_t pcr_value) {
    Bytes p(188, 0xFF);
    p[0] = 0x47;
    p[1] = uint8_t((unit_start ? 0x40 : 0) | (pid >> 8));
    p[2] = uint8_t(pid);
    size_t af = 0;  // adaptation field bytes, its length byte included
    if (pcr) af = 8;
    const size_t room = 184 - af;
    if (payload.size() < room) af = 184 - payload.size();
    p[3] = uint8_t((af > 0 ? 0x30 : 0x10) | (cc & 0x0F));
    size_t at = 4;
    if (af > 0) {
        p[4] = uint8_t(af - 1);
        if (af > 1) p[5] = pcr ? 0x10 : 0x00;
        if (pcr) {
            const uint64_t base = pcr_value / 300;
            const uint64_t ext = pcr_value % 300;
            p[6] = uint8_t(base >> 25);
            p[7] = uint8_t(base >> 17);
            p[8] = uint8_t(base >> 9);
            p[9] = uint8_t(base >> 1);
            p[10] = uint8_t(((base & 1) << 7) | 0x7E | (ext >> 8));
            p[11] = uint8_t(ext);
        }
        at = 4 + af;
    }
    for (size_t i = 0; i < payload.size() && at + i < 188; ++i) p[at + i] = payload[i];
    return p;
}

}  // namespace

uint8_t* SectionIn(uint8_t* ts) {
    const size_t payload = (ts[3] & 0x20) ? 5 + size_t{ts[4]} : 4;
    return ts + payload + 1 + ts[payload];
}

uint32_t TestCrc32(const uint8_t* bytes, size_t count) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < count; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool in = ((bytes[i] >> bit) & 1) != ((crc >> 31) & 1);
            crc <<= 1;
            if (in) crc ^= 0x04C11DB7;
        }
    }
    return crc;
}

double PacketTime(const SyntheticOptions& o, size_t i) {
    return double(i) * 188 * 8 / o.rate;
}

SyntheticStream MakeSyntheticStream(const SyntheticOptions& o) {
    SyntheticStream out;
    out.packet_seconds = 188 * 8 / o.rate;
    const auto count = static_cast<size_t>(std::llround(o.seconds / out.packet_seconds));
    std::map<uint16_t, uint8_t> cc;
    double next_pat = 0, next_pmt = 0, next_pcr = 0, next_picture = 0, next_audio = 0;
    size_t picture = 0;
    for (size_t i = 0; i < count; ++i) {
        const double t = PacketTime(o, i);
        Bytes packet;
        if (t >= next_pat) {
            packet = Packet(0, true, cc[0]++, SectionPayload(Pat(o)), false, 0);
            next_pat += o.table_interval;
        } else if (t >= next_pmt) {
            packet = Packet(o.pmt_pid, true, cc[o.pmt_pid]++, SectionPayload(Pmt(o)), false, 0);
            next_pmt += o.table_interval;
        } else if (o.null_every > 0 && i % size_t(o.null_every) == size_t(o.null_every - 1)) {
            packet = Packet(0x1FFF, false, uint8_t(i * 7), Bytes(184, kFill), false, 0);
        } else if (o.audio_every > 0 && i % size_t(o.audio_every) == 0) {
            Bytes payload;
            const bool start = t >= next_audio;
            if (start) {
                payload = PesHeader(0xC0, uint64_t(std::llround((t + 1) * 90000)));
                if (!o.audio_pts) payload[7] = 0x00, payload.resize(9), payload[8] = 0;
                next_audio += 0.024;
            }
            payload.resize(184, kFill);
            packet = Packet(o.audio_pid, start, cc[o.audio_pid]++, payload, false, 0);
        } else {
            const bool pcr = t >= next_pcr;
            if (pcr) next_pcr += o.pcr_interval;
            Bytes payload;
            const bool start = t >= next_picture;
            if (start) {
                payload = PesHeader(0xE0, uint64_t(std::llround((t + 1) * 90000)));
                if (picture % size_t(o.gop) == 0) {
                    Append(payload, {0x00, 0x00, 0x01, 0xB3, 0x2D, 0x01, 0xE0, 0x24, 0xFF, 0xFF,
                                     0xE0, 0x00, 0x00, 0x00, 0x01, 0xB8, 0x00, 0x08, 0x00, 0x00});
                }
                Append(payload, {0x00, 0x00, 0x01, 0x00, 0x00, 0x0F, 0xFF, 0xF8});
                ++picture;
                next_picture += 1 / o.frame_rate;
            }
            payload.resize(pcr ? 176 : 184, kFill);
            const auto value = uint64_t(std::llround(double(o.pcr_start) + t * 27e6));
            packet = Packet(o.video_pid, start, cc[o.video_pid]++, payload, pcr, value);
        }
        if (o.packet_size == 192) {
            const double arrival = t + 0.001;
            uint32_t stamp = 0;
            if (o.arrival == SyntheticOptions::Arrival::Cycle) {
                const double cycles = arrival * 8000;
                const auto whole = uint64_t(cycles);
                const auto offset = uint32_t((cycles - double(whole)) * 3072);
                stamp = uint32_t((whole % 8000) << 12) | offset;
            } else {
                stamp = uint32_t(uint64_t(std::llround(arrival * 27e6)) & 0x3FFFFFFF);
            }
            Append(out.bytes, {uint8_t(stamp >> 24), uint8_t(stamp >> 16), uint8_t(stamp >> 8),
                               uint8_t(stamp)});
        }
        Append(out.bytes, packet);
    }
    out.packets = count;
    out.pictures = picture;
    return out;
}

Bytes DropPackets(const Bytes& bytes, int packet_size, size_t first, size_t count) {
    const size_t unit = size_t(packet_size);
    Bytes out(bytes.begin(), bytes.begin() + long(first * unit));
    out.insert(out.end(), bytes.begin() + long(std::min(bytes.size(), (first + count) * unit)),
               bytes.end());
    return out;
}

uint8_t* TsPacketAt(Bytes& bytes, int packet_size, size_t i) {
    return bytes.data() + i * size_t(packet_size) + size_t(packet_size - 188);
}

size_t CountContinuityErrors(const Bytes& bytes, int packet_size) {
    struct State {
        int cc = -1;
        int repeats = 0;
    };
    std::map<int, State> pids;
    size_t errors = 0;
    for (size_t at = size_t(packet_size - 188); at + 188 <= bytes.size();
         at += size_t(packet_size)) {
        const uint8_t* p = bytes.data() + at;
        if (p[0] != 0x47) continue;
        const int pid = ((p[1] & 0x1F) << 8) | p[2];
        if (pid == 0x1FFF || !(p[3] & 0x10)) continue;
        const bool discontinuity = (p[3] & 0x20) && p[4] > 0 && (p[5] & 0x80);
        State& s = pids[pid];
        const int cc = p[3] & 0x0F;
        if (s.cc < 0 || discontinuity) {
            s = State{cc, 0};
        } else if (cc == s.cc) {
            if (++s.repeats == 2) ++errors;
        } else {
            if (cc != ((s.cc + 1) & 0x0F)) ++errors;
            s = State{cc, 0};
        }
    }
    return errors;
}

}  // namespace tessaline::test
