// SPDX-License-Identifier: GPL-3.0-or-later
// The D-VHS deck on the emulated bus: its configuration ROM, an AV/C unit with one tape subunit
// (power, transport, medium, tape counter, signal mode; INTERIM where a deck takes its time), and
// plug control registers with compare-swap and the IEC 61883-1 rules at a bus reset. What it
// sends and records is in deck_stream.cpp, its cassette in tape.cpp.
#include <fcntl.h>
#include <linux/firewire-constants.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/fwemu/deck_state.h"

namespace fwemu {
namespace {

constexpr uint64_t kCsrBase = 0xFFFFF0000000ull;
constexpr uint64_t kConfigRom = kCsrBase + 0x400;
constexpr uint64_t kFcpCommand = kCsrBase + 0xB00;
constexpr uint64_t kOmpr = kCsrBase + 0x900;
constexpr uint64_t kOpcr0 = kCsrBase + 0x904;
constexpr uint64_t kImpr = kCsrBase + 0x980;
constexpr uint64_t kIpcr0 = kCsrBase + 0x984;
constexpr uint64_t kDeckGuid = 0x0000D0000E0DECCAull;
constexpr uint64_t kLocalGuid = 0x0000D0000E010CA1ull;
constexpr uint32_t kVendorId = 0x00D000;
constexpr uint32_t kModelId = 0x00DEC1;
constexpr uint32_t kP2pMask = 0x3F000000u;
constexpr uint32_t kBroadcastBit = 0x40000000u;

// AV/C response codes and the tape subunit's opcodes.
constexpr uint8_t kNotImplemented = 0x08, kAccepted = 0x09, kRejected = 0x0A, kStable = 0x0C,
                  kInterim = 0x0F;
constexpr uint8_t kOpLoadMedium = 0xC1, kOpRecord = 0xC2, kOpPlay = 0xC3, kOpWind = 0xC4,
                  kOpTransportState = 0xD0, kOpMediumInfo = 0xDA, kOpTimeCounter = 0x57,
                  kOpOutputSignalMode = 0x78, kOpInputSignalMode = 0x79;
// MEDIUM INFO: cassette type, then tape grade and write protection.
constexpr uint8_t kCassetteVhs = 0x22, kNoCassette = 0x60, kDvhs = 0x50, kDvhsProtected = 0x51,
                  kNoInformation = 0x7F;

// ---- Configuration ROM ----------------------------------------------------------------------

uint16_t Crc16(const std::vector<uint32_t>& q, size_t from, size_t count) {
    uint32_t crc = 0;
    for (size_t i = from; i < from + count && i < q.size(); ++i) {
        const uint32_t data = q[i];
        for (int shift = 28; shift >= 0; shift -= 4) {
            const uint32_t sum = ((crc >> 12) ^ (data >> shift)) & 0xF;
            crc = (crc << 4) ^ (sum << 12) ^ (sum << 5) ^ sum;
        }
    }
    return static_cast<uint16_t>(crc & 0xFFFF);
}

void AppendLeaf(std::vector<uint32_t>& rom, const std::string& text) {
    const size_t words = (text.size() + 3) / 4;
    rom.push_back(static_cast<uint32_t>(words + 2) << 16);
    const size_t head = rom.size() - 1;
    rom.push_back(0);  // textual descriptor, minimal ASCII
    rom.push_back(0);
    for (size_t w = 0; w < words; ++w) {
        uint32_t v = 0;
        for (size_t i = 0; i < 4; ++i) {
            const size_t at = w * 4 + i;
            v = v << 8 | (at < text.size() ? static_cast<uint8_t>(text[at]) : 0);
        }
        rom.push_back(v);
    }
    rom[head] |= Crc16(rom, head + 1, words + 2);
}

std::vector<uint32_t> BuildRom(uint64_t guid, bool avc, const std::string& vendor,
                               const std::string& model) {
    std::vector<uint32_t> rom;
    rom.push_back(0x04000000u);  // bus info block of 4 quadlets; crc below
    rom.push_back(0x31333934u);  // "1394"
    rom.push_back(0xE0FF8012u);  // irmc cmc isc bmc, max_rec, S400
    rom.push_back(static_cast<uint32_t>(guid >> 32));
    rom.push_back(static_cast<uint32_t>(guid));
    // Root directory: vendor, its text, model, its text, capabilities, unit directory.
    const size_t root = rom.size();
    const size_t entries = avc ? 6 : 3;
    rom.push_back(static_cast<uint32_t>(entries) << 16);
    const size_t first = rom.size();
    rom.resize(first + entries, 0);
    size_t unit = 0;
    if (avc) {
        unit = rom.size();
        rom.push_back(2u << 16);
        rom.push_back(0x1200A02Du);  // unit spec id: AV/C
        rom.push_back(0x13010001u);  // unit sw version
        rom[unit] |= Crc16(rom, unit + 1, 2);
    }
    const size_t vendor_leaf = rom.size();
    AppendLeaf(rom, vendor);
    const size_t model_leaf = rom.size();
    AppendLeaf(rom, model);
    auto offset = [](size_t from, size_t to) { return static_cast<uint32_t>(to - from); };
    size_t e = first;
    rom[e] = 0x03000000u | kVendorId;
    ++e;
    rom[e] = 0x81000000u | offset(e, vendor_leaf);
    ++e;
    if (avc) {
        rom[e] = 0x17000000u | kModelId;
        ++e;
        rom[e] = 0x81000000u | offset(e, model_leaf);
        ++e;
        rom[e] = 0x0C0083C0u;
        ++e;
        rom[e] = 0xD1000000u | offset(e, unit);
    } else {
        rom[e] = 0x0C0083C0u;
    }
    rom[root] |= Crc16(rom, first, entries);
    rom[0] |= 0x00040000u | Crc16(rom, 1, 4);
    rom[0] = (rom[0] & 0xFF00FFFFu) | 0x04000000u | (4u << 16);
    return rom;
}

// ---- AV/C -----------------------------------------------------------------------------------

void Respond(const Bytes& command, uint8_t response, double delay, const Bytes& operands = {},
             bool power_on = false, bool record = false) {
    Bytes frame(command.begin(), command.begin() + 3);
    frame[0] = response;
    if (operands.empty()) {
        frame.insert(frame.end(), command.begin() + 3, command.end());
    } else {
        frame.insert(frame.end(), operands.begin(), operands.end());
    }
    while (frame.size() % 4 != 0) frame.push_back(0);
    TheDeck().pending.push_back(PendingFrame{NowSeconds() + delay, frame, power_on, record});
}

void Answer(const Bytes& cmd, uint8_t response, const Bytes& operands = {}) {
    Respond(cmd, response, 0.003, operands);
}

// Decks put the transport's mode in the opcode byte of the reply.
void TransportState(const Bytes& cmd) {
    const Deck& d = TheDeck();
    uint8_t opcode = kOpWind, state = 0x60;
    if (d.medium == Medium::None) {
        opcode = kOpLoadMedium;
    } else {
        switch (d.mode) {
            case Mode::Stop:
                opcode = kOpWind;
                state = 0x60;
                break;
            case Mode::Rewind:
                opcode = kOpWind;
                state = 0x65;
                break;
            case Mode::Forward:
                opcode = kOpWind;
                state = 0x75;
                break;
            case Mode::Play:
                opcode = kOpPlay;
                state = 0x75;
                break;
            case Mode::PlayPause:
                opcode = kOpPlay;
                state = 0x7D;
                break;
            case Mode::Record:
                opcode = kOpRecord;
                state = 0x75;
                break;
            case Mode::RecordPause:
                opcode = kOpRecord;
                state = 0x7D;
                break;
        }
    }
    TheDeck().pending.push_back(
        PendingFrame{NowSeconds() + 0.003, Bytes{kStable, cmd[1], opcode, state}, false, false});
}

uint8_t Bcd(int64_t v) {
    return static_cast<uint8_t>((v / 10 % 10) << 4 | v % 10);
}

// The relative time counter: frames (always 0: the deck counts whole seconds), seconds,
// minutes, hours, in BCD.
void TimeCounter(const Bytes& cmd) {
    const Deck& d = TheDeck();
    if (!d.cassette || d.medium == Medium::None || cmd[3] != 0x71) {
        return Answer(cmd, kNotImplemented);
    }
    const int64_t s = d.position / kTapeRate;
    Answer(cmd, kStable, {0x71, 0x00, Bcd(s % 60), Bcd(s / 60 % 60), Bcd(s / 3600)});
}

void MediumInfo(const Bytes& cmd) {
    switch (TheDeck().medium) {
        case Medium::Present:
            return Answer(cmd, kStable, {kCassetteVhs, kDvhs});
        case Medium::Protected:
            return Answer(cmd, kStable, {kCassetteVhs, kDvhsProtected});
        case Medium::None:
            return Answer(cmd, kStable, {kNoCassette, kNoInformation});
    }
}

bool HasSignal() {
    const Deck& d = TheDeck();
    return Connected(d.ipcr) && NowSeconds() - d.last_signal < 0.5;
}

void UnitCommand(const Bytes& cmd) {
    Deck& d = TheDeck();
    const uint8_t ctype = cmd[0] & 0x0F, opcode = cmd[2], op = cmd[3];
    if (opcode == 0x30) return Answer(cmd, kStable, {0x07, 0x20, 0x00, 0xD0, 0x00});
    if (opcode == 0x31) return Answer(cmd, kStable, {0x07, 0x20, 0xFF, 0xFF, 0xFF});
    if (opcode != 0xB2) return Answer(cmd, kNotImplemented);
    if (ctype == 0x01) return Answer(cmd, kStable, {static_cast<uint8_t>(d.power ? 0x70 : 0x60)});
    if (op == 0x70 && !d.power) {
        Respond(cmd, kInterim, 0.003);
        return Respond(cmd, kAccepted, Config().power_ms / 1000.0, {}, true);
    }
    if (op == 0x60 && d.power) {
        SetMode(Mode::Stop);
        d.power = false;
        d.dirty = true;
    }
    Answer(cmd, kAccepted);
}

void StatusCommand(const Bytes& cmd) {
    switch (cmd[2]) {
        case kOpTransportState:
            return TransportState(cmd);
        case kOpMediumInfo:
            return MediumInfo(cmd);
        case kOpTimeCounter:
            return TimeCounter(cmd);
        case kOpOutputSignalMode:
        case kOpInputSignalMode:
            if (Config().signal_mode < 0) return Answer(cmd, kNotImplemented);
            return Answer(cmd, kStable, {static_cast<uint8_t>(Config().signal_mode)});
        default:
            return Answer(cmd, kNotImplemented);  // TIME CODE, ABSOLUTE TRACK NUMBER, ...
    }
}

void TransportCommand(const Bytes& cmd) {
    Deck& d = TheDeck();
    const uint8_t opcode = cmd[2], op = cmd[3];
    const bool no_tape = d.medium == Medium::None;
    switch (opcode) {
        case kOpPlay:
            if (op != 0x75 && op != 0x7D) return Answer(cmd, kNotImplemented);
            if (no_tape) return Answer(cmd, kRejected);
            SetMode(op == 0x7D ? Mode::PlayPause : Mode::Play);
            return Answer(cmd, kAccepted);
        case kOpWind:
            if (op != 0x60 && op != 0x65 && op != 0x75) return Answer(cmd, kNotImplemented);
            if (no_tape && op != 0x60) return Answer(cmd, kRejected);
            SetMode(op == 0x65 ? Mode::Rewind : op == 0x75 ? Mode::Forward : Mode::Stop);
            return Answer(cmd, kAccepted);
        case kOpLoadMedium:
            if (op != 0x60) return Answer(cmd, kNotImplemented);
            if (no_tape) return Answer(cmd, kRejected);
            SetMode(Mode::Stop);
            d.medium = Medium::None;
            d.dirty = true;
            Trace("cassette ejected");
            return Answer(cmd, kAccepted);
        case kOpRecord: {
            if (op != 0x75 && op != 0x7D) return Answer(cmd, kNotImplemented);
            const bool at_end = d.cassette && d.position >= d.tape.length();
            if (no_tape || d.medium == Medium::Protected || at_end) {
                Trace("record refused: %s", no_tape  ? "no cassette"
                                            : at_end ? "end of tape"
                                                     : "write-protected");
                return Answer(cmd, kRejected);
            }
            // A deck records only what it receives: no signal on its input plug, no recording.
            if (!HasSignal()) {
                Trace("record refused: no signal on the input plug");
                return Answer(cmd, kRejected);
            }
            if (d.mode == Mode::Record || d.mode == Mode::RecordPause) {
                SetMode(op == 0x75 ? Mode::Record : Mode::RecordPause);
                return Answer(cmd, kAccepted);
            }
            Respond(cmd, kInterim, 0.003);
            return Respond(cmd, kAccepted, 0.2, {}, false, true);
        }
        default:
            return Answer(cmd, kNotImplemented);
    }
}

void Command(const Bytes& cmd) {
    const Deck& d = TheDeck();
    if (cmd.size() < 4) return;  // an FCP frame shorter than an AV/C header has no answer
    const uint8_t ctype = cmd[0] & 0x0F, subunit = cmd[1];
    Trace("avc %02x %02x %02x %02x power=%d mode=%s", ctype, subunit, cmd[2], cmd[3],
          d.power ? 1 : 0, ModeText(d.mode));
    if (subunit == 0xFF) return UnitCommand(cmd);
    if (subunit != 0x20) return Answer(cmd, kNotImplemented);
    if (ctype == 0x01) return StatusCommand(cmd);
    if (ctype != 0x00) return Answer(cmd, kNotImplemented);
    if (!d.power) return Answer(cmd, kRejected);
    TransportCommand(cmd);
}

uint32_t Pcr(uint32_t& reg, bool& restored, const char* name, uint32_t tcode, const uint8_t* data,
             size_t length, Bytes& reply) {
    if (tcode == TCODE_READ_QUADLET_REQUEST && length == 4) {
        reply.assign(4, 0);
        PutBe32(reply.data(), reg);
        return RCODE_COMPLETE;
    }
    if (tcode != TCODE_LOCK_COMPARE_SWAP || length != 8) return RCODE_TYPE_ERROR;
    const uint32_t compare = Be32(data), swap = Be32(data + 4);
    reply.assign(4, 0);
    PutBe32(reply.data(), reg);
    if (reg == compare) {
        reg = swap;
        restored = true;
    }
    Trace("%s p2p=%u bcast=%u channel=%u", name, (reg >> 24) & 0x3F, (reg >> 30) & 1,
          PcrChannel(reg));
    return RCODE_COMPLETE;
}

}  // namespace

Deck& TheDeck() {
    static auto* deck = new Deck;
    return *deck;
}

const char* ModeText(Mode m) {
    switch (m) {
        case Mode::Stop:
            return "stop";
        case Mode::Play:
            return "play";
        case Mode::PlayPause:
            return "play-pause";
        case Mode::Record:
            return "record";
        case Mode::RecordPause:
            return "record-pause";
        case Mode::Rewind:
            return "rewind";
        case Mode::Forward:
            return "forward";
    }
    return "?";
}

bool ModeFromText(const std::string& text, Mode& m) {
    for (Mode candidate : {Mode::Stop, Mode::Play, Mode::PlayPause, Mode::Record, Mode::RecordPause,
                           Mode::Rewind, Mode::Forward}) {
        if (text == ModeText(candidate)) {
            m = candidate;
            return true;
        }
    }
    return false;
}

bool Connected(uint32_t pcr) {
    return (pcr & kBroadcastBit) != 0 || (pcr & kP2pMask) != 0;
}
unsigned PcrChannel(uint32_t pcr) {
    return (pcr >> 16) & 0x3F;
}

std::vector<uint32_t> DeckRom() {
    return BuildRom(kDeckGuid, true, "Fwemu", "D-VHS Deck");
}
std::vector<uint32_t> LocalRom() {
    return BuildRom(kLocalGuid, false, "Linux", "Controller");
}

void DeckInit() {
    Deck& d = TheDeck();
    const Settings& s = Config();
    d.power = !s.power_off;
    d.busy_left = s.busy;
    d.medium = s.medium == "none"        ? Medium::None
               : s.medium == "protected" ? Medium::Protected
                                         : Medium::Present;
    // Online, channel 63, S200, overhead 15, payload 122; the broadcast variant keeps its own
    // connection.
    d.opcr =
        0x80000000u | (s.broadcast ? kBroadcastBit : 0) | 63u << 16 | 1u << 14 | 0xFu << 10 | 122u;
    d.ipcr = 0x80000000u | 63u << 16;
    if (s.has_cassette) {
        std::string error;
        d.cassette = d.tape.Load(s.items, s.tape_seconds, s.damage, error);
        if (!d.cassette) {
            std::fprintf(stderr, "fwemu: FWEMU_CASSETTE: %s\n", error.c_str());
            d.medium = Medium::None;
        }
        Trace("cassette length=%.3f", static_cast<double>(d.tape.length()) / kTapeRate);
    } else if (!s.play.empty()) {
        if (!ReadWholeFile(s.play, d.file)) {
            std::fprintf(stderr, "fwemu: cannot read FWEMU_PLAY %s: %s\n", s.play.c_str(),
                         std::strerror(errno));
        }
        d.packet_size = PacketSize(d.file);
        if (d.packet_size == 0 && !d.file.empty()) {
            std::fprintf(stderr, "fwemu: FWEMU_PLAY %s is not 188- or 192-byte TS\n",
                         s.play.c_str());
            d.file.clear();
        }
        if (d.packet_size != 0) {
            double rate = PacketRate(d.file, d.packet_size);
            if (rate <= 0) rate = 28.2e6 / 8 / 188;
            d.per_cycle = rate / 8000.0;
        }
        if (s.rate > 0) d.per_cycle = s.rate / (188.0 * 8) / 8000.0;
    }
    if (!s.tape.empty()) {
        d.tape_fd = RealOpen(s.tape.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (d.tape_fd < 0)
            std::fprintf(stderr, "fwemu: cannot write FWEMU_TAPE %s\n", s.tape.c_str());
    }
    StateLoad();
    Trace("deck play=%s packets=%zu per-cycle=%.3f power=%d mode=%s position=%.3f", s.play.c_str(),
          d.packet_size ? d.file.size() / static_cast<size_t>(d.packet_size) : size_t{0},
          d.per_cycle, d.power ? 1 : 0, ModeText(d.mode),
          static_cast<double>(d.position) / kTapeRate);
}

void SetMode(Mode m) {
    Deck& d = TheDeck();
    if (d.mode == m) return;
    if (d.mode == Mode::Record && d.cassette) d.tape.EndRecording(d.position);
    d.mode = m;
    if (m == Mode::Record && d.cassette) d.tape.BeginRecording(d.position, RecordingFile());
    if (m == Mode::Play) d.tape.Seek();
    d.dirty = true;
    Trace("transport %s at %.3f", ModeText(m), static_cast<double>(d.position) / kTapeRate);
}

int64_t ModeSpeed(Mode m) {
    const auto wind = static_cast<int64_t>(Config().wind_speed);
    switch (m) {
        case Mode::Play:
        case Mode::Record:
            return 1;
        case Mode::Rewind:
            return -wind;
        case Mode::Forward:
            return wind;
        default:
            return 0;
    }
}

uint32_t ReadRom(const std::vector<uint32_t>& rom, uint64_t at, size_t length, Bytes& reply) {
    reply.assign(length, 0);
    for (size_t i = 0; i < length; i += 4) {
        const size_t q = (at + i) / 4;
        if (q >= rom.size()) return RCODE_ADDRESS_ERROR;
        PutBe32(reply.data() + i, rom[q]);
    }
    return RCODE_COMPLETE;
}

uint32_t DeckRequest(uint32_t tcode, uint64_t offset, const uint8_t* data, size_t length,
                     Bytes& reply) {
    Deck& d = TheDeck();
    if (d.busy_left != 0) {
        if (d.busy_left > 0) --d.busy_left;
        return RCODE_BUSY;
    }
    const bool read = tcode == TCODE_READ_QUADLET_REQUEST || tcode == TCODE_READ_BLOCK_REQUEST;
    if (offset >= kConfigRom && offset < kConfigRom + 0x400) {
        return read ? ReadRom(DeckRom(), offset - kConfigRom, length, reply) : RCODE_TYPE_ERROR;
    }
    if (offset == kFcpCommand) {
        if (tcode != TCODE_WRITE_BLOCK_REQUEST && tcode != TCODE_WRITE_QUADLET_REQUEST) {
            return RCODE_TYPE_ERROR;
        }
        if (length > 512) return RCODE_DATA_ERROR;
        StateRefresh();
        Command(Bytes(data, data + length));
        return RCODE_COMPLETE;
    }
    if (offset == kOmpr || offset == kImpr) {
        if (!(tcode == TCODE_READ_QUADLET_REQUEST && length == 4)) return RCODE_TYPE_ERROR;
        reply.assign(4, 0);
        // S400 capable, broadcast channel base 63, one plug.
        PutBe32(reply.data(), offset == kOmpr ? 0x80000000u | 63u << 24 | 1u : 0x80000001u);
        return RCODE_COMPLETE;
    }
    if (offset == kOpcr0) return Pcr(d.opcr, d.opcr_restored, "opcr", tcode, data, length, reply);
    if (offset == kIpcr0) return Pcr(d.ipcr, d.ipcr_restored, "ipcr", tcode, data, length, reply);
    return RCODE_ADDRESS_ERROR;
}

void DeckTick(double now) {
    Deck& d = TheDeck();
    for (size_t i = 0; i < d.pending.size();) {
        if (d.pending[i].due > now) {
            ++i;
            continue;
        }
        PendingFrame f = std::move(d.pending[i]);
        d.pending.erase(d.pending.begin() + static_cast<long>(i));
        if (!d.present) continue;
        if (f.power_on) {
            d.power = true;
            d.dirty = true;
        }
        if (f.record) SetMode(f.frame[3] == 0x75 ? Mode::Record : Mode::RecordPause);
        DeliverFcpResponse(f.frame);
    }
    // IEC 61883-1: a plug keeps its point-to-point connections over a bus reset for a second;
    // those nobody restored by then (a lock on the plug, as cmp_connection_update does) are
    // dropped. The deck counts from the reset it saw, also the one of its own cable being pulled.
    if (d.reset_at >= 0 && now - d.reset_at > 1.0) {
        d.reset_at = -1;
        if (!d.opcr_restored) d.opcr &= ~kP2pMask;
        if (!d.ipcr_restored) d.ipcr &= ~kP2pMask;
        Trace("after reset: opcr p2p=%u ipcr p2p=%u", (d.opcr >> 24) & 0x3F, (d.ipcr >> 24) & 0x3F);
    }
    StateTick(now);
}

void DeckBusReset(double now) {
    Deck& d = TheDeck();
    d.reset_at = now;
    d.opcr_restored = (d.opcr & kP2pMask) == 0;
    d.ipcr_restored = (d.ipcr & kP2pMask) == 0;
}

void DeckSetPresent(bool present) {
    Deck& d = TheDeck();
    d.present = present;
    if (!present) d.pending.clear();
}

// IEC 61883-1: the owner of a broadcast-out connection holds its channel and bandwidth at the
// resource manager, and takes them again after a reset. Bandwidth as libiec61883 computes it from
// the oPCR: overhead, and payload plus three quadlets at S200.
void DeckClaimResources(uint32_t& channels_lo, uint32_t& bandwidth) {
    const Deck& d = TheDeck();
    if ((d.opcr & kBroadcastBit) == 0) return;
    const uint32_t units = ((d.opcr >> 10) & 0xF) * 32 + ((d.opcr & 0x3FF) + 3) * 2 * 4;
    channels_lo &= ~1u;  // channel 63
    if (bandwidth >= units) bandwidth -= units;
    Trace("deck holds channel 63 and %u bandwidth units", units);
}

}  // namespace fwemu
