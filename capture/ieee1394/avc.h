// AV/C over FCP: the command frames the backend sends to a tape deck, the client that waits for a
// deck's final answer (through INTERIM replies, past replies from other nodes or to other
// commands, with bounded waits), and the decoding of power and transport states.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "capture/ieee1394/seams.h"

namespace tessaline::fw {

using Frame = std::vector<uint8_t>;

namespace avc {

// Command types (byte 0 of a command).
inline constexpr uint8_t kControl = 0x00;
inline constexpr uint8_t kStatus = 0x01;
// Response codes (byte 0 of a response).
inline constexpr uint8_t kNotImplemented = 0x08;
inline constexpr uint8_t kAccepted = 0x09;
inline constexpr uint8_t kRejected = 0x0A;
inline constexpr uint8_t kInTransition = 0x0B;
inline constexpr uint8_t kStable = 0x0C;
inline constexpr uint8_t kChanged = 0x0D;
inline constexpr uint8_t kInterim = 0x0F;

// Subunit addresses (byte 1): type << 3 | id.
inline constexpr uint8_t kUnit = 0xFF;
inline constexpr uint8_t kTapeSubunit = 0x20;
inline constexpr uint8_t kTapeSubunitType = 0x04;

// Opcodes (byte 2).
inline constexpr uint8_t kOpPower = 0xB2;
inline constexpr uint8_t kOpUnitInfo = 0x30;
inline constexpr uint8_t kOpSubunitInfo = 0x31;
inline constexpr uint8_t kOpLoadMedium = 0xC1;
inline constexpr uint8_t kOpRecord = 0xC2;
inline constexpr uint8_t kOpPlay = 0xC3;
inline constexpr uint8_t kOpWind = 0xC4;
inline constexpr uint8_t kOpTransportState = 0xD0;
inline constexpr uint8_t kOpTimeCode = 0x51;
inline constexpr uint8_t kOpRelativeTimeCounter = 0x57;
inline constexpr uint8_t kOpMediumInfo = 0xDA;

// Operands.
inline constexpr uint8_t kPowerOn = 0x70;
inline constexpr uint8_t kPowerOff = 0x60;
inline constexpr uint8_t kQuery = 0x7F;  // "tell me" in a status command
inline constexpr uint8_t kRecordOn = 0x75;
inline constexpr uint8_t kRecordPause = 0x7D;
inline constexpr uint8_t kPlayForward = 0x75;
inline constexpr uint8_t kPlayPause = 0x7D;
inline constexpr uint8_t kWindStop = 0x60;
inline constexpr uint8_t kWindRewind = 0x65;
inline constexpr uint8_t kWindForward = 0x75;
inline constexpr uint8_t kEject = 0x60;
inline constexpr uint8_t kCounterStatus = 0x71;  // TIME CODE / RELATIVE TIME COUNTER status
// MEDIUM INFO: byte 3 the cassette type, byte 4 the tape grade with write protection in bit 0.
inline constexpr uint8_t kMediumNone = 0x60;
inline constexpr uint8_t kMediumUnknown = 0x7E;

Frame PowerOn();
Frame PowerOff();
Frame PowerStatus();
Frame Record();
Frame RecordPause();
Frame Play();
Frame PlayPause();
Frame Stop();
Frame Rewind();
Frame FastForward();
Frame Eject();
Frame TransportState();
Frame RelativeTimeCounter();
Frame TimeCode();
Frame MediumInfo();
Frame UnitInfo();
Frame SubunitInfo(int page);

}  // namespace avc

struct AvcReply {
    BusStatus status = BusStatus::IoError;
    uint8_t response = 0;  // valid when status is Ok
    Frame bytes;
    bool ok() const noexcept { return status == BusStatus::Ok; }
};

struct AvcTiming {
    std::chrono::milliseconds first_reply{200};
    // After an INTERIM the final answer may take long (a deck waking from standby): as long as
    // AV/C lets a target take.
    std::chrono::milliseconds after_interim{30000};
};

// One transaction at a time on a control handle.
class AvcClient {
  public:
    explicit AvcClient(IFcpPort& port, AvcTiming timing = {}) : port_(port), timing_(timing) {}

    // Sends command to the node and returns its final answer: the first reply from that node that
    // echoes the command's subunit and opcode (for TRANSPORT STATE: carries a transport mode in
    // the opcode byte) and is not INTERIM. Timeout when none comes in
    // time (the wait grows after an INTERIM); BusReset or IoError from the bus as they come.
    AvcReply Transact(int phy, std::span<const uint8_t> command);

    // How many replies were ignored as strays (other nodes, other commands) so far.
    uint64_t strays() const noexcept { return strays_; }

  private:
    IFcpPort& port_;
    AvcTiming timing_;
    uint64_t strays_ = 0;
};

enum class PowerState { On, Off, Unknown };

// STABLE 70 = on, 60 = off; anything else (NOT IMPLEMENTED, IN TRANSITION, odd operands) unknown.
PowerState DecodePower(const AvcReply& reply);

// What the tape transport is doing, from a TRANSPORT STATE reply: decks put the mode in the
// opcode byte and the state after it (0C 20 C2 7D: record-pause); a reply that echoes D0 with
// mode and state after it is read too. Modes: C1 load, C2 record, C3 play, C4 wind.
struct TransportState {
    enum class Kind {
        Unknown,
        Stopped,
        Recording,
        RecordPause,
        Playing,
        PlayPause,
        Rewinding,
        FastForwarding,
        Winding,  // another wind mode
        Load,     // the load-medium mode (C1): no cassette, or one going in or out
    };
    Kind kind = Kind::Unknown;
    uint8_t opcode = 0;
    uint8_t operand = 0;
};

TransportState DecodeTransport(const AvcReply& reply);
// "stop", "play", "pause", "record", "record-pause", "rewind", "ff", "wind", "load", "unknown".
const char* TransportText(TransportState::Kind kind) noexcept;
const char* PowerText(PowerState state) noexcept;

// The tape position from a RELATIVE TIME COUNTER or TIME CODE reply (BCD hours, minutes,
// seconds, frames, bit 7 of the hours a minus sign) in seconds; nullopt when the deck gave none.
std::optional<double> DecodeCounter(const AvcReply& reply);

enum class MediumState { Present, None, Protected, Unknown };
MediumState DecodeMedium(const AvcReply& reply);
// "present", "none", "protected", "unknown".
const char* MediumText(MediumState state) noexcept;

// True when a SUBUNIT INFO reply page lists a tape recorder subunit; `more` tells whether the
// page was full (another page may follow).
bool SubunitPageHasTape(const AvcReply& reply, bool& more);

// Hex text of a frame ("00 FF B2 70"), for messages and tests.
std::string HexText(std::span<const uint8_t> bytes);

}  // namespace tessaline::fw
