#include "capture/ieee1394/avc.h"

#include <cstdio>

namespace tessaline::fw {

const char* BusStatusText(BusStatus status) noexcept {
    switch (status) {
        case BusStatus::Ok:
            return "ok";
        case BusStatus::Timeout:
            return "no answer in time";
        case BusStatus::BusReset:
            return "bus reset";
        case BusStatus::IoError:
            return "bus I/O error";
    }
    return "?";
}

namespace avc {

Frame PowerOn() {
    return {kControl, kUnit, kOpPower, kPowerOn};
}
Frame PowerOff() {
    return {kControl, kUnit, kOpPower, kPowerOff};
}
Frame PowerStatus() {
    return {kStatus, kUnit, kOpPower, kQuery};
}
Frame Record() {
    return {kControl, kTapeSubunit, kOpRecord, kRecordOn};
}
Frame RecordPause() {
    return {kControl, kTapeSubunit, kOpRecord, kRecordPause};
}
Frame Play() {
    return {kControl, kTapeSubunit, kOpPlay, kPlayForward};
}
Frame PlayPause() {
    return {kControl, kTapeSubunit, kOpPlay, kPlayPause};
}
Frame Stop() {
    return {kControl, kTapeSubunit, kOpWind, kWindStop};
}
Frame Rewind() {
    return {kControl, kTapeSubunit, kOpWind, kWindRewind};
}
Frame FastForward() {
    return {kControl, kTapeSubunit, kOpWind, kWindForward};
}
Frame Eject() {
    return {kControl, kTapeSubunit, kOpLoadMedium, kEject};
}
Frame TransportState() {
    return {kStatus, kTapeSubunit, kOpTransportState, kQuery};
}
Frame RelativeTimeCounter() {
    return {kStatus, kTapeSubunit, kOpRelativeTimeCounter, kCounterStatus, 0xFF, 0xFF, 0xFF, 0xFF};
}
Frame TimeCode() {
    return {kStatus, kTapeSubunit, kOpTimeCode, kCounterStatus, 0xFF, 0xFF, 0xFF, 0xFF};
}
Frame MediumInfo() {
    return {kStatus, kTapeSubunit, kOpMediumInfo, kQuery, kQuery, 0x00, 0x00, 0x00};
}
Frame UnitInfo() {
    return {kStatus, kUnit, kOpUnitInfo, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
}
Frame SubunitInfo(int page) {
    return {kStatus, kUnit, kOpSubunitInfo, static_cast<uint8_t>(((page & 7) << 4) | 7),
            0xFF,    0xFF,  0xFF,           0xFF};
}

}  // namespace avc

namespace {

bool IsTransportOpcode(uint8_t opcode) {
    return opcode == avc::kOpLoadMedium || opcode == avc::kOpRecord || opcode == avc::kOpPlay ||
           opcode == avc::kOpWind;
}

// Whether a reply frame answers this command: same subunit, and the opcode echoed, except that
// decks answer TRANSPORT STATE with the transport's mode (C1..C4) in the opcode byte.
bool Answers(const Frame& reply, std::span<const uint8_t> command) {
    if (reply.size() < 3 || reply[1] != command[1]) return false;
    if (reply[2] == command[2]) return true;
    return command[2] == avc::kOpTransportState && IsTransportOpcode(reply[2]);
}

}  // namespace

AvcReply AvcClient::Transact(int phy, std::span<const uint8_t> command) {
    AvcReply reply;
    if (command.size() < 3) return reply;
    reply.status = port_.Send(phy, command);
    if (reply.status != BusStatus::Ok) return reply;
    auto deadline = Clock::now() + timing_.first_reply;
    for (;;) {
        FcpFrame frame;
        reply.status = port_.Receive(frame, deadline);
        if (reply.status != BusStatus::Ok) return reply;
        const Frame& b = frame.bytes;
        if (frame.source_phy != phy || b.size() < 3 || b[0] < avc::kNotImplemented ||
            !Answers(b, command)) {
            ++strays_;
            continue;
        }
        if (b[0] == avc::kInterim) {
            // The deck is working on it; the final answer may take seconds (power-up).
            deadline = Clock::now() + timing_.after_interim;
            continue;
        }
        reply.response = b[0];
        reply.bytes = b;
        return reply;
    }
}

PowerState DecodePower(const AvcReply& reply) {
    if (!reply.ok() || reply.response != avc::kStable || reply.bytes.size() < 4) {
        return PowerState::Unknown;
    }
    if (reply.bytes[3] == avc::kPowerOn) return PowerState::On;
    if (reply.bytes[3] == avc::kPowerOff) return PowerState::Off;
    return PowerState::Unknown;
}

TransportState DecodeTransport(const AvcReply& reply) {
    TransportState state;
    if (!reply.ok() || reply.response != avc::kStable) return state;
    const Frame& b = reply.bytes;
    if (b.size() >= 4 && IsTransportOpcode(b[2])) {
        // 0C 20 <mode> <state>: how decks answer.
        state.opcode = b[2];
        state.operand = b[3];
    } else if (b.size() >= 5 && b[2] == avc::kOpTransportState) {
        // 0C 20 D0 <mode> <state>: the opcode echoed, mode and state after it.
        state.opcode = b[3];
        state.operand = b[4];
    } else {
        return state;
    }
    using K = TransportState::Kind;
    switch (state.opcode) {
        case avc::kOpRecord:
            state.kind = state.operand == avc::kRecordPause ? K::RecordPause : K::Recording;
            break;
        case avc::kOpPlay:
            state.kind = state.operand == avc::kPlayPause ? K::PlayPause : K::Playing;
            break;
        case avc::kOpWind:
            state.kind = state.operand == avc::kWindStop      ? K::Stopped
                         : state.operand == avc::kWindRewind  ? K::Rewinding
                         : state.operand == avc::kWindForward ? K::FastForwarding
                                                              : K::Winding;
            break;
        case avc::kOpLoadMedium:
            state.kind = K::Load;
            break;
        default:
            break;
    }
    return state;
}

const char* TransportText(TransportState::Kind kind) noexcept {
    using K = TransportState::Kind;
    switch (kind) {
        case K::Stopped:
            return "stop";
        case K::Recording:
            return "record";
        case K::RecordPause:
            return "record-pause";
        case K::Playing:
            return "play";
        case K::PlayPause:
            return "pause";
        case K::Rewinding:
            return "rewind";
        case K::FastForwarding:
            return "ff";
        case K::Winding:
            return "wind";
        case K::Load:
            return "load";
        case K::Unknown:
            break;
    }
    return "unknown";
}

const char* PowerText(PowerState state) noexcept {
    switch (state) {
        case PowerState::On:
            return "on";
        case PowerState::Off:
            return "off";
        case PowerState::Unknown:
            break;
    }
    return "unknown";
}

std::optional<double> DecodeCounter(const AvcReply& reply) {
    if (!reply.ok() || reply.response != avc::kStable || reply.bytes.size() < 8)
        return std::nullopt;
    const Frame& b = reply.bytes;
    if (b[2] != avc::kOpRelativeTimeCounter && b[2] != avc::kOpTimeCode) return std::nullopt;
    auto bcd = [](uint8_t v, int limit) -> int {
        const int tens = v >> 4, ones = v & 0xF;
        return tens > 9 || ones > 9 || tens * 10 + ones > limit ? -1 : tens * 10 + ones;
    };
    const bool negative = (b[7] & 0x80) != 0;
    const int hours = bcd(b[7] & 0x7F, 99), minutes = bcd(b[6], 59), seconds = bcd(b[5], 59);
    // Frames: 30 a second (the 525-line count); a deck that counts whole seconds sends 00.
    const int frames = bcd(b[4], 29);
    if (hours < 0 || minutes < 0 || seconds < 0 || frames < 0) return std::nullopt;
    const double value = hours * 3600.0 + minutes * 60.0 + seconds + frames / 30.0;
    return negative ? -value : value;
}

MediumState DecodeMedium(const AvcReply& reply) {
    if (!reply.ok() || reply.response != avc::kStable || reply.bytes.size() < 5 ||
        reply.bytes[2] != avc::kOpMediumInfo) {
        return MediumState::Unknown;
    }
    const uint8_t type = reply.bytes[3], grade = reply.bytes[4];
    if (type == avc::kMediumNone) return MediumState::None;
    if (type == avc::kMediumUnknown || type == avc::kQuery) return MediumState::Unknown;
    // Grades come in pairs, the odd one of each write-protected (D-VHS 50/51, VHS 30/31, ...).
    return (grade & 1) != 0 && grade != avc::kQuery ? MediumState::Protected : MediumState::Present;
}

const char* MediumText(MediumState state) noexcept {
    switch (state) {
        case MediumState::Present:
            return "present";
        case MediumState::None:
            return "none";
        case MediumState::Protected:
            return "protected";
        case MediumState::Unknown:
            break;
    }
    return "unknown";
}

bool SubunitPageHasTape(const AvcReply& reply, bool& more) {
    more = false;
    if (!reply.ok() || reply.response != avc::kStable || reply.bytes.size() < 4) return false;
    bool tape = false;
    size_t entries = 0;
    for (size_t i = 4; i < reply.bytes.size() && i < 8; ++i) {
        const uint8_t entry = reply.bytes[i];
        if (entry == 0xFF) break;
        ++entries;
        if ((entry >> 3) == avc::kTapeSubunitType) tape = true;
    }
    more = entries == 4;
    return tape;
}

std::string HexText(std::span<const uint8_t> bytes) {
    std::string text;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += buf;
    }
    return text;
}

}  // namespace tessaline::fw
