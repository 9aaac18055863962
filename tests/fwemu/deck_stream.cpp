// SPDX-License-Identifier: GPL-3.0-or-later
// What the deck sends (its tape while it plays, FWEMU_PLAY without a cassette, empty CIP packets
// otherwise, nothing while off) and what it records from its input plug, one bus cycle at a time.
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "tests/fwemu/deck_state.h"

namespace fwemu {
namespace {

constexpr int kMaxSourcePacketsPerCycle = 5;
constexpr size_t kCipHeader = 8;
constexpr size_t kSourcePacket = 192;

// The CIP header of an MPEG-2 TS stream: SID, DBS 6, FN 3 / SPH, the DBC, FMT 0x20, and the
// time-shift flag, set since a tape plays back what was recorded earlier.
void CipHeader(uint8_t* p, uint8_t dbc) {
    p[0] = static_cast<uint8_t>(DeckPhy() & 0x3F);
    p[1] = 0x06;
    p[2] = 0xC4;
    p[3] = dbc;
    p[4] = 0xA0;
    p[5] = 0x80;
    p[6] = 0;
    p[7] = 0;
}

// A source packet header from the deck's cycle timer: the packets of a cycle spread over it,
// presented a few cycles ahead.
uint32_t Stamp(uint64_t cycle, int i) {
    const uint32_t offset = static_cast<uint32_t>(i) * 3072u / kMaxSourcePacketsPerCycle;
    return (static_cast<uint32_t>((cycle + 3) % 8000) << 12 | offset) & 0x01FFFFFFu;
}

bool TransmitTape(uint64_t cycle, bool delivered, Bytes& packet) {
    Deck& d = TheDeck();
    const uint8_t* due[kMaxSourcePacketsPerCycle];
    int n = 0;
    if (d.mode == Mode::Play && d.medium != Medium::None) {
        if (!delivered) {
            // Nobody gets what the tape plays meanwhile.
            const uint8_t* lost[64];
            while (d.tape.Due(d.position, 64, lost) == 64) {
            }
        } else {
            n = d.tape.Due(d.position, kMaxSourcePacketsPerCycle, due);
        }
    }
    packet.assign(kCipHeader + kSourcePacket * static_cast<size_t>(n), 0);
    CipHeader(packet.data(), d.dbc);
    for (int i = 0; i < n; ++i) {
        uint8_t* sp = packet.data() + kCipHeader + kSourcePacket * static_cast<size_t>(i);
        PutBe32(sp, Stamp(cycle, i));
        std::memcpy(sp + 4, due[i], 188);
    }
    d.dbc = static_cast<uint8_t>(d.dbc + 8 * n);
    return true;
}

// FWEMU_PLAY: the file from its first byte once a receiver listens on the channel, whatever the
// transport does; in fast pace as much as a cycle holds while somebody takes it.
bool TransmitFile(uint64_t cycle, unsigned channel, bool delivered, Bytes& packet) {
    Deck& d = TheDeck();
    const size_t total = d.packet_size ? d.file.size() / static_cast<size_t>(d.packet_size) : 0;
    int n = 0;
    if (!d.playing && ListenerOn(channel)) {
        d.playing = true;
        Trace("play starts on channel %u", channel);
    }
    if (d.playing && d.next < total) {
        d.credit += Config().fast && delivered ? kMaxSourcePacketsPerCycle : d.per_cycle;
        n = static_cast<int>(std::floor(d.credit));
        if (n > kMaxSourcePacketsPerCycle) n = kMaxSourcePacketsPerCycle;
        if (static_cast<size_t>(n) > total - d.next) n = static_cast<int>(total - d.next);
        d.credit -= n;
        if (d.credit > kMaxSourcePacketsPerCycle) d.credit = kMaxSourcePacketsPerCycle;
    } else if (d.playing && Config().loop && total != 0) {
        d.next = 0;
    } else if (d.playing && !d.ended_logged && total != 0) {
        d.ended_logged = true;
        Trace("play ended after %zu source packets", total);
    }
    packet.assign(kCipHeader + kSourcePacket * static_cast<size_t>(n), 0);
    CipHeader(packet.data(), d.dbc);
    for (int i = 0; i < n; ++i) {
        uint8_t* sp = packet.data() + kCipHeader + kSourcePacket * static_cast<size_t>(i);
        const uint8_t* src = d.file.data() + d.next * static_cast<size_t>(d.packet_size);
        if (d.packet_size == 192) {
            std::memcpy(sp, src, kSourcePacket);
        } else {
            PutBe32(sp, Stamp(cycle, i));
            std::memcpy(sp + 4, src, 188);
        }
        ++d.next;
    }
    d.dbc = static_cast<uint8_t>(d.dbc + 8 * n);
    return true;
}

void Pacing(const uint8_t* ts, uint64_t cycle) {
    Deck& d = TheDeck();
    if (ts[0] != 0x47 || (ts[3] & 0x20) == 0 || ts[4] < 7 || (ts[5] & 0x10) == 0) return;
    const int pid = (ts[1] & 0x1F) << 8 | ts[2];
    if (d.pcr_pid >= 0 && pid != d.pcr_pid) return;
    const uint64_t base = uint64_t{ts[6]} << 25 | uint64_t{ts[7]} << 17 | uint64_t{ts[8]} << 9 |
                          uint64_t{ts[9]} << 1 | ts[10] >> 7;
    const double t = static_cast<double>(base) / 90000.0;
    if (d.pcr_pid < 0 || t < d.pcr_first) {
        d.pcr_pid = pid;
        d.pcr_first = t;
        d.pcr_first_cycle = cycle;
        return;
    }
    const double bus = static_cast<double>(cycle - d.pcr_first_cycle) / 8000.0;
    d.pcr_max_error = std::max(d.pcr_max_error, std::fabs(bus - (t - d.pcr_first)));
    ++d.pcr_count;
}

}  // namespace

bool DeckTransmit(uint64_t cycle, bool delivered, unsigned& channel, Bytes& packet) {
    Deck& d = TheDeck();
    // Switched off, a deck sends nothing at all; on, only into a connection (IEC 61883-1).
    if (!d.power) return false;
    const bool connected = Connected(d.opcr);
    channel = PcrChannel(d.opcr);
    bool sent = false;
    if (d.cassette) {
        sent = TransmitTape(cycle, delivered && connected, packet);
    } else if (connected || d.playing) {
        // FWEMU_PLAY starts into a connection, and plays on if it goes.
        sent = TransmitFile(cycle, channel, delivered && connected, packet);
    }
    // A hostile deck: every packet longer than any receive slot (filler after the data).
    if (Config().jumbo) packet.resize(kCipHeader + kSourcePacket * 22, 0xFF);
    return sent && connected;
}

void DeckCycle() {
    Deck& d = TheDeck();
    if (!d.cassette || !d.power) return;
    const int64_t step = ModeSpeed(d.mode);
    if (step == 0) return;
    d.position += step;
    if (d.position >= d.tape.length()) {
        d.position = d.tape.length();
        Trace("tape end");
        SetMode(Mode::Stop);
    } else if (d.position <= 0) {
        d.position = 0;
        Trace("tape start");
        SetMode(Mode::Stop);
    }
}

bool DeckPlaying() {
    Deck& d = TheDeck();
    if (!d.power || !Connected(d.opcr)) return false;
    if (d.cassette) return d.mode == Mode::Play && d.medium != Medium::None;
    const size_t total = d.packet_size ? d.file.size() / static_cast<size_t>(d.packet_size) : 0;
    return d.playing && d.next < total;
}

bool DeckSending(unsigned& channel) {
    const Deck& d = TheDeck();
    channel = PcrChannel(d.opcr);
    return d.power && Connected(d.opcr);
}

void DeckReport() {
    Deck& d = TheDeck();
    if (d.pcr_count == 0) return;
    Trace("pacing max-error-ms=%.3f pcrs=%llu", d.pcr_max_error * 1000,
          static_cast<unsigned long long>(d.pcr_count));
}

void DeckReceive(unsigned channel, const uint8_t* data, size_t length) {
    Deck& d = TheDeck();
    if (!Connected(d.ipcr) || channel != PcrChannel(d.ipcr)) return;
    d.last_signal = NowSeconds();
    for (size_t at = kCipHeader; at + kSourcePacket <= length; at += kSourcePacket) {
        Pacing(data + at + 4, BusCycle());
    }
    if (d.mode != Mode::Record || length < kCipHeader) return;
    const size_t n = (length - kCipHeader) / kSourcePacket;
    if (n == 0) return;
    if (d.tape_fd >= 0 && RealWrite(d.tape_fd, data + kCipHeader, n * kSourcePacket) ==
                              static_cast<ssize_t>(n * kSourcePacket)) {
        d.tape_packets += n;
    }
    if (d.cassette && d.tape.recording()) {
        for (size_t i = 0; i < n; ++i)
            d.tape.Record(d.position, data + kCipHeader + i * kSourcePacket);
        d.recorded = true;
    }
}

}  // namespace fwemu
