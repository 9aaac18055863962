// SPDX-License-Identifier: GPL-3.0-or-later
// The D-VHS deck on the emulated bus: its configuration ROM, an AV/C unit with one tape
// subunit (power, transport state, record, play, wind; INTERIM where a deck takes its time),
// plug control registers with compare-swap, a stream played from FWEMU_PLAY as CIP packets, and
// a tape (FWEMU_TAPE) that keeps the source packets it receives while recording.
#include <fcntl.h>
#include <linux/firewire-constants.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/fwemu/fwemu.h"

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
constexpr int kMaxSourcePacketsPerCycle = 5;

// Transport modes as the TRANSPORT STATE reply gives them: opcode and state.
enum class Mode { Stop, Play, PlayPause, Record, RecordPause, Rewind, Forward };

struct PendingFrame {
    double due = 0;
    Bytes frame;
    bool power_on = false;
    bool record = false;
};

struct Deck {
    bool present = true;
    bool power = true;
    Mode mode = Mode::Stop;
    uint32_t opcr = 0x80000000u | 63u << 16 | 1u << 14 | 0xFu << 10 | 122u;  // online, ch 63, S200
    uint32_t ipcr = 0x80000000u | 63u << 16;
    double reset_at = -1;
    bool opcr_restored = true;
    bool ipcr_restored = true;
    bool broadcast_listener = false;
    double last_signal = -10;
    int busy_left = 0;
    std::vector<PendingFrame> pending;
    // Playing.
    Bytes file;
    int packet_size = 0;
    size_t next = 0;  // next source packet of the file
    double per_cycle = 0;
    double credit = 0;
    uint8_t dbc = 0;
    bool ended_logged = false;
    bool playing = false;
    // Recording.
    int tape = -1;
    uint64_t tape_packets = 0;
    // Pacing of what we receive: bus time against the PCRs of the first PID that has them.
    int pcr_pid = -1;
    double pcr_first = 0;
    uint64_t pcr_first_cycle = 0;
    double pcr_max_error = 0;
    uint64_t pcr_count = 0;
};

Deck& TheDeck() {
    static auto* deck = new Deck;
    return *deck;
}

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
    size_t unit = 0, vendor_leaf = 0, model_leaf = 0;
    if (avc) {
        unit = rom.size();
        rom.push_back(2u << 16);
        rom.push_back(0x1200A02Du);  // unit spec id: AV/C
        rom.push_back(0x13010001u);  // unit sw version
        rom[unit] |= Crc16(rom, unit + 1, 2);
    }
    vendor_leaf = rom.size();
    AppendLeaf(rom, vendor);
    model_leaf = rom.size();
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

// ---- Playing --------------------------------------------------------------------------------

bool ReadWholeFile(const std::string& path, Bytes& out) {
    const int fd = RealOpen(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    uint8_t buf[65536];
    for (;;) {
        const ssize_t n = RealRead(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    RealClose(fd);
    return true;
}

int PacketSize(const Bytes& f) {
    for (int size : {188, 192}) {
        const size_t sync = size == 192 ? 4 : 0;
        if (f.size() < static_cast<size_t>(size) || f.size() % static_cast<size_t>(size) != 0) continue;
        bool ok = true;
        for (size_t at = sync; at < f.size() && ok; at += static_cast<size_t>(size) * 97) {
            ok = f[at] == 0x47;
        }
        if (ok) return size;
    }
    return 0;
}

// Source packets per second from the first and last PCR of the first PID that carries one.
double PacketRate(const Bytes& f, int size) {
    const size_t skip = size == 192 ? 4 : 0;
    int pid = -1;
    double first = -1, last = -1;
    size_t first_at = 0, last_at = 0;
    for (size_t i = 0; (i + 1) * static_cast<size_t>(size) <= f.size(); ++i) {
        const uint8_t* p = f.data() + i * static_cast<size_t>(size) + skip;
        if (p[0] != 0x47 || (p[3] & 0x20) == 0 || p[4] < 7 || (p[5] & 0x10) == 0) continue;
        const int this_pid = (p[1] & 0x1F) << 8 | p[2];
        if (pid >= 0 && this_pid != pid) continue;
        pid = this_pid;
        const uint64_t base = uint64_t{p[6]} << 25 | uint64_t{p[7]} << 17 | uint64_t{p[8]} << 9 |
                              uint64_t{p[9]} << 1 | p[10] >> 7;
        const uint64_t ext = (uint64_t{p[10]} & 1) << 8 | p[11];
        const double t = static_cast<double>(base * 300 + ext) / 27e6;
        if (first < 0) {
            first = t;
            first_at = i;
        }
        last = t;
        last_at = i;
    }
    if (first < 0 || last <= first || last_at <= first_at) return 28.2e6 / 8 / 188;
    return static_cast<double>(last_at - first_at) / (last - first);
}

bool Connected(uint32_t pcr) { return (pcr & 0x40000000u) != 0 || ((pcr >> 24) & 0x3F) != 0; }
unsigned PcrChannel(uint32_t pcr) { return (pcr >> 16) & 0x3F; }

const char* ModeText(Mode m) {
    switch (m) {
        case Mode::Stop: return "stop";
        case Mode::Play: return "play";
        case Mode::PlayPause: return "play-pause";
        case Mode::Record: return "record";
        case Mode::RecordPause: return "record-pause";
        case Mode::Rewind: return "rewind";
        case Mode::Forward: return "forward";
    }
    return "?";
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

void TransportState(const Bytes& cmd) {
    uint8_t opcode = 0xC4, state = 0x60;
    switch (TheDeck().mode) {
        case Mode::Stop: opcode = 0xC4; state = 0x60; break;
        case Mode::Rewind: opcode = 0xC4; state = 0x65; break;
        case Mode::Forward: opcode = 0xC4; state = 0x75; break;
        case Mode::Play: opcode = 0xC3; state = 0x75; break;
        case Mode::PlayPause: opcode = 0xC3; state = 0x7D; break;
        case Mode::Record: opcode = 0xC2; state = 0x75; break;
        case Mode::RecordPause: opcode = 0xC2; state = 0x7D; break;
    }
    // Real decks put the mode in the opcode byte of the reply.
    Bytes frame{0x0C, cmd[1], opcode, state};
    TheDeck().pending.push_back(PendingFrame{NowSeconds() + 0.003, frame, false, false});
}

bool HasSignal() {
    Deck& d = TheDeck();
    return Connected(d.ipcr) && NowSeconds() - d.last_signal < 0.5;
}

void Command(const Bytes& cmd) {
    Deck& d = TheDeck();
    if (cmd.size() < 4) return;  // an FCP frame shorter than an AV/C header has no answer
    const uint8_t ctype = cmd[0] & 0x0F, subunit = cmd[1], opcode = cmd[2], op = cmd[3];
    Trace("avc %02x %02x %02x %02x power=%d mode=%s", ctype, subunit, opcode, op, d.power ? 1 : 0,
          ModeText(d.mode));
    if (subunit == 0xFF) {
        if (opcode == 0x30) return Respond(cmd, 0x0C, 0.003, {0x07, 0x20, 0x00, 0xD0, 0x00});
        if (opcode == 0x31) return Respond(cmd, 0x0C, 0.003, {0x07, 0x20, 0xFF, 0xFF, 0xFF});
        if (opcode == 0xB2) {
            if (ctype == 0x01) return Respond(cmd, 0x0C, 0.003, {static_cast<uint8_t>(d.power ? 0x70 : 0x60)});
            if (op == 0x70 && !d.power) {
                Respond(cmd, 0x0F, 0.003);
                return Respond(cmd, 0x09, Config().power_ms / 1000.0, {}, true);
            }
            if (op == 0x60) {
                d.power = false;
                d.mode = Mode::Stop;
            }
            return Respond(cmd, 0x09, 0.003);
        }
        return Respond(cmd, 0x08, 0.003);
    }
    if (subunit != 0x20) return Respond(cmd, 0x08, 0.003);
    if (!d.power && ctype == 0x00) return Respond(cmd, 0x0A, 0.003);
    switch (opcode) {
        case 0xD0:
            return TransportState(cmd);
        case 0xDA:  // MEDIUM INFO: a D-VHS cassette that may be written
            return Respond(cmd, 0x0C, 0.003, {0x50, 0x00, 0x00, 0x00});
        case 0xC2:
            if (op != 0x75 && op != 0x7D) return Respond(cmd, 0x0A, 0.003);
            // A deck records only what it receives: no signal on its input plug, no recording.
            if (!HasSignal()) {
                Trace("record refused: no signal on the input plug");
                return Respond(cmd, 0x0A, 0.003);
            }
            if (d.mode == Mode::Record || d.mode == Mode::RecordPause) {
                d.mode = op == 0x75 ? Mode::Record : Mode::RecordPause;
                return Respond(cmd, 0x09, 0.003);
            }
            Respond(cmd, 0x0F, 0.003);
            return Respond(cmd, 0x09, 0.2, {}, false, true);
        case 0xC3:
            d.mode = op == 0x7D ? Mode::PlayPause : Mode::Play;
            return Respond(cmd, 0x09, 0.003);
        case 0xC4:
            d.mode = op == 0x65 ? Mode::Rewind : op == 0x75 ? Mode::Forward : Mode::Stop;
            return Respond(cmd, 0x09, 0.003);
        case 0xC1:
            d.mode = Mode::Stop;
            return Respond(cmd, 0x09, 0.003);
        default:
            return Respond(cmd, 0x08, 0.003);
    }
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
    Trace("%s p2p=%u bcast=%u channel=%u", name, (reg >> 24) & 0x3F, (reg >> 30) & 1, PcrChannel(reg));
    return RCODE_COMPLETE;
}

void Pacing(const uint8_t* ts, uint64_t cycle);

}  // namespace

const Settings& Config() {
    static const Settings* settings = [] {
        auto* s = new Settings;
        auto env = [](const char* name) { const char* v = getenv(name); return std::string(v ? v : ""); };
        s->play = env("FWEMU_PLAY");
        s->tape = env("FWEMU_TAPE");
        s->log = env("FWEMU_LOG");
        s->fast = env("FWEMU_PACE") == "fast";
        s->no_local_access = env("FWEMU_NO_LOCAL_ACCESS") == "1";
        s->deck_eacces = env("FWEMU_DECK_EACCES") == "1";
        const std::string busy = env("FWEMU_BUSY");
        s->busy = busy == "all" ? -1 : std::atoi(busy.c_str());
        s->replug_eacces_ms = std::atoi(env("FWEMU_REPLUG_EACCES_MS").c_str());
        if (!env("FWEMU_POWER_MS").empty()) s->power_ms = std::atoi(env("FWEMU_POWER_MS").c_str());
        s->power_off = env("FWEMU_POWER") == "off";
        s->rate = std::atof(env("FWEMU_RATE").c_str());
        s->loop = env("FWEMU_LOOP") == "1";
        s->jumbo = env("FWEMU_JUMBO") == "1";
        const std::string events = env("FWEMU_EVENTS");
        size_t at = 0;
        while (at < events.size()) {
            size_t comma = events.find(',', at);
            if (comma == std::string::npos) comma = events.size();
            const std::string item = events.substr(at, comma - at);
            at = comma + 1;
            const size_t sep = item.find('@');
            const std::string kind = item.substr(0, sep);
            const std::string when = sep == std::string::npos ? "" : item.substr(sep + 1);
            const size_t dash = when.find('-');
            char* end = nullptr;
            const double from = std::strtod(when.c_str(), &end);
            const double to = dash == std::string::npos ? from : std::strtod(when.c_str() + dash + 1, nullptr);
            if (kind == "reset" && !when.empty()) {
                s->resets.push_back(from);
            } else if (kind == "silence" && dash != std::string::npos && to > from) {
                s->silences.push_back({from, to});
            } else if (kind == "unplug" && dash != std::string::npos && to > from) {
                s->unplugs.push_back({from, to});
            } else if (!item.empty()) {
                std::fprintf(stderr, "fwemu: FWEMU_EVENTS: cannot read '%s'\n", item.c_str());
                s->bad = true;
            }
        }
        return s;
    }();
    return *settings;
}

std::vector<uint32_t> DeckRom() { return BuildRom(kDeckGuid, true, "Fwemu", "D-VHS Deck"); }
std::vector<uint32_t> LocalRom() { return BuildRom(kLocalGuid, false, "Linux", "Controller"); }

void DeckInit() {
    Deck& d = TheDeck();
    const Settings& s = Config();
    d.power = !s.power_off;
    d.busy_left = s.busy;
    if (!s.play.empty()) {
        if (!ReadWholeFile(s.play, d.file)) {
            std::fprintf(stderr, "fwemu: cannot read FWEMU_PLAY %s: %s\n", s.play.c_str(), std::strerror(errno));
        }
        d.packet_size = PacketSize(d.file);
        if (d.packet_size == 0 && !d.file.empty()) {
            std::fprintf(stderr, "fwemu: FWEMU_PLAY %s is not 188- or 192-byte TS\n", s.play.c_str());
            d.file.clear();
        }
        if (d.packet_size != 0) d.per_cycle = PacketRate(d.file, d.packet_size) / 8000.0;
        if (s.rate > 0) d.per_cycle = s.rate / (188.0 * 8) / 8000.0;
    }
    if (!s.tape.empty()) {
        d.tape = RealOpen(s.tape.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (d.tape < 0) std::fprintf(stderr, "fwemu: cannot write FWEMU_TAPE %s\n", s.tape.c_str());
    }
    Trace("deck play=%s packets=%zu per-cycle=%.3f", s.play.c_str(),
          d.packet_size ? d.file.size() / static_cast<size_t>(d.packet_size) : size_t{0}, d.per_cycle);
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

uint32_t DeckRequest(uint32_t tcode, uint64_t offset, const uint8_t* data, size_t length, Bytes& reply) {
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
        if (tcode != TCODE_WRITE_BLOCK_REQUEST && tcode != TCODE_WRITE_QUADLET_REQUEST) return RCODE_TYPE_ERROR;
        if (length > 512) return RCODE_DATA_ERROR;
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

bool DeckTransmitting() {
    Deck& d = TheDeck();
    return d.present && d.power && (Connected(d.opcr) || d.broadcast_listener);
}

bool DeckPlaying() {
    Deck& d = TheDeck();
    const size_t total = d.packet_size ? d.file.size() / static_cast<size_t>(d.packet_size) : 0;
    return DeckTransmitting() && d.playing && d.next < total;
}

bool DeckTransmit(uint64_t cycle, unsigned& channel, Bytes& packet) {
    Deck& d = TheDeck();
    if (!DeckTransmitting()) return false;
    channel = Connected(d.opcr) ? PcrChannel(d.opcr) : 63;
    const size_t total = d.packet_size ? d.file.size() / static_cast<size_t>(d.packet_size) : 0;
    int n = 0;
    // The file starts once somebody listens, so that a recording can hold it from its first byte.
    if (!d.playing && ListenerOn(channel)) {
        d.playing = true;
        Trace("play starts on channel %u", channel);
    }
    if (d.playing && d.next < total) {
        d.credit += Config().fast ? kMaxSourcePacketsPerCycle : d.per_cycle;
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
    packet.assign(8 + 192 * static_cast<size_t>(n), 0);
    uint8_t* p = packet.data();
    p[0] = static_cast<uint8_t>(DeckPhy() & 0x3F);
    p[1] = 0x06;
    p[2] = 0xC4;
    p[3] = d.dbc;
    p[4] = 0xA0;
    p[5] = 0x80;
    for (int i = 0; i < n; ++i) {
        uint8_t* sp = p + 8 + 192 * i;
        const uint8_t* src = d.file.data() + d.next * static_cast<size_t>(d.packet_size);
        if (d.packet_size == 192) {
            std::memcpy(sp, src, 192);
        } else {
            const uint32_t stamp = static_cast<uint32_t>((cycle + 3) % 8000) << 12 | static_cast<uint32_t>(i * 1000);
            PutBe32(sp, stamp & 0x01FFFFFFu);
            std::memcpy(sp + 4, src, 188);
        }
        ++d.next;
    }
    d.dbc = static_cast<uint8_t>(d.dbc + 8 * n);
    // A hostile deck: every packet longer than any receive slot (filler after the data).
    if (Config().jumbo) packet.resize(8 + 192 * 22, 0xFF);
    return true;
}

namespace {

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
    for (size_t at = 8; at + 192 <= length; at += 192) Pacing(data + at + 4, BusCycle());
    if (d.mode != Mode::Record || d.tape < 0 || length < 8) return;
    const size_t n = (length - 8) / 192;
    if (n == 0) return;
    if (RealWrite(d.tape, data + 8, n * 192) == static_cast<ssize_t>(n * 192)) d.tape_packets += n;
}

void DeckListenerStarted(unsigned channel) {
    Deck& d = TheDeck();
    if (channel == 63 && !Connected(d.opcr)) d.broadcast_listener = true;
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
        if (f.power_on) d.power = true;
        if (f.record) d.mode = f.frame[3] == 0x75 ? Mode::Record : Mode::RecordPause;
        DeliverFcpResponse(f.frame);
    }
    // Connections not restored within a second of a bus reset are dropped (IEC 61883-1).
    if (d.reset_at >= 0 && now - d.reset_at > 1.0) {
        d.reset_at = -1;
        if (!d.opcr_restored) d.opcr &= ~0x3F000000u;
        if (!d.ipcr_restored) d.ipcr &= ~0x3F000000u;
        Trace("after reset: opcr p2p=%u ipcr p2p=%u", (d.opcr >> 24) & 0x3F, (d.ipcr >> 24) & 0x3F);
    }
}

void DeckBusReset(double now) {
    Deck& d = TheDeck();
    if (!d.present) return;
    d.reset_at = now;
    d.opcr_restored = (d.opcr & 0x3F000000u) == 0;
    d.ipcr_restored = (d.ipcr & 0x3F000000u) == 0;
}

void DeckSetPresent(bool present) {
    Deck& d = TheDeck();
    d.present = present;
    if (!present) d.pending.clear();
}

}  // namespace fwemu
