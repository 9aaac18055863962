// A scripted IEEE 1394 bus for tests and benchmarks: nodes with configuration ROMs, decks that
// answer AV/C like real ones (slow power-up with INTERIM, refusals, silence, stray replies), plug
// registers with compare-swap connection semantics, bus resets that renumber nodes, an iso
// receive side that plays scripted packets and an iso transmit side that keeps what it is sent.
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/ieee1394/seams.h"

namespace tessaline::fw {

struct FakeDeckConfig {
    uint64_t guid = 0x0080880000000001ull;
    std::optional<std::string> vendor = "JVC";
    std::optional<std::string> model = "HM-DH5U";
    bool avc = true;  // an AV/C unit at all
    // Subunit table entries (type << 3 | max id); a tape recorder is 0x20.
    std::vector<uint8_t> subunits = {0x20};
    bool powered = true;
    // Status polls after POWER ON that still read "off" (a slow power-up).
    int power_up_polls = 0;
    // POWER ON answers INTERIM first, the final later.
    bool power_interim = false;
    bool has_tape = true;
    bool write_protected = false;
    // Commands answered by nothing at all (opcode), to test time-outs.
    std::vector<uint8_t> silent_opcodes;
    // Before every reply, a reply to something else and a reply from another node.
    bool stray_replies = false;
    // Output plug: false models a deck without plug registers (no connection possible).
    bool has_plugs = true;
    // The relative time counter's reading in seconds; none: the deck answers NOT IMPLEMENTED.
    std::optional<int> counter_seconds;
};

// One scripted event of the iso receive side.
struct IsoScriptItem {
    // Wait: nothing for `wait` (the deck quiet, no reset). Replug: the decks taken off come back
    // (a bus reset); with `hidden`, their nodes are found only by a rescan.
    enum class Kind { Packet, BusReset, End, Wait, Replug };
    Kind kind = Kind::Packet;
    std::vector<uint8_t> bytes;  // from the CIP header on
    int channel = -1;            // -1: the channel the receiver listens on
    unsigned tag = 1;
    unsigned sy = 0;
    unsigned dropped = 0;
    // A bus reset that takes the deck off the bus (unplugged) instead of renumbering it.
    bool unplug = false;
    std::chrono::milliseconds wait{0};
    bool hidden = false;
};

class FakeBus final : public IBusPort {
  public:
    FakeBus();
    ~FakeBus() override;

    // Adds a node; decks get physical IDs in the order added (the local node is 0).
    int AddDeck(FakeDeckConfig config);
    int AddNode(uint64_t guid, bool avc, std::optional<std::string> vendor = std::nullopt);

    // Renumbers every node (the local one stays 0) and makes the next control transaction fail
    // with BusReset, as a stale generation does.
    void Reset();
    // Takes the node with this GUID off the bus or puts it back; both reset the bus.
    void Unplug(uint64_t guid);
    void Replug(uint64_t guid);

    // What the receive side plays, in order, then it waits (or ends with an End item).
    void Script(std::vector<IsoScriptItem> items);
    // Resets the bus once the transmit side has sent this many packets.
    void ResetWhenSent(size_t packets);
    // Takes the deck off the bus once the transmit side has sent this many packets, and puts it
    // back `back_after` packets later (with its transport stopped, if asked).
    void UnplugWhenSent(uint64_t guid, size_t packets, size_t back_after, bool stopped);
    // Packets the transmit side sent, each from the CIP header on.
    std::vector<std::vector<uint8_t>> Sent() const;
    // Packets sent with a CIP header only, in runs without data (a signal with nothing in it):
    // counted here instead of kept in Sent().
    size_t IdleSent() const;
    // The channel each of those packets went out on.
    std::vector<int> SentChannels() const;
    // Another device takes this channel at the next bus reset, before we can have it again.
    void TakeChannelAtNextReset(int channel);
    // Transmit sides opened so far.
    int OpenedSinks() const;

    // Commands each deck received, as hex text ("00 20 C2 7D").
    std::vector<std::string> Commands(uint64_t guid) const;
    int Connections() const;  // live connections
    int ConnectCalls() const;
    int ReconnectCalls() const;
    int OpenedSources() const;
    int Rescans() const;

    // The deck's transport as it would report it (C4 60 stop, C2 7D record pause ...).
    std::pair<uint8_t, uint8_t> Transport(uint64_t guid) const;
    bool Powered(uint64_t guid) const;
    // Puts the deck's transport in a mode, as a deck does by itself (at the end of the tape, or
    // coming back from an unplug).
    void SetTransport(uint64_t guid, uint8_t opcode, uint8_t operand);
    // A reply the deck sends without being asked (tests of stray handling).
    void QueueReply(int phy, std::vector<uint8_t> bytes);

    // IBusPort
    IFcpPort& Fcp() override;
    IBus& Bus() override;
    ICmp& Cmp() override;
    int LocalPhy() override { return 0; }
    std::unique_ptr<IIsoSource> OpenIsoSource() override;
    std::unique_ptr<IIsoSink> OpenIsoSink() override;

    struct State;
    struct Parts;

  private:
    std::shared_ptr<State> state_;
    std::unique_ptr<Parts> parts_;
};

// Cuts 192-byte source packets into iso packets with a proper CIP header: `per_cycle` source
// packets in each (0 gives an empty packet before each), starting at DBC first_dbc (a multiple of
// 8, where a source packet starts).
std::vector<IsoScriptItem> IsoPacketsFrom(const std::vector<uint8_t>& source_packets, int per_cycle,
                                          uint8_t first_dbc = 0);
// The same, but every source packet split over two iso packets of 4 data blocks each.
std::vector<IsoScriptItem> SplitIsoPacketsFrom(const std::vector<uint8_t>& source_packets,
                                               uint8_t first_dbc = 0);

}  // namespace tessaline::fw
