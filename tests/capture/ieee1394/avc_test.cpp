// AV/C frames against the byte values decks expect, the client's handling of replies (final,
// INTERIM, strays, silence, bus resets), and the decoding of power and transport states.
#include <gtest/gtest.h>

#include <deque>
#include <optional>

#include "capture/ieee1394/avc.h"

namespace tessaline::fw {
namespace {

TEST(AvcFrames, MatchTheCommandTable) {
    // Byte values as the AV/C general and tape subunit documents give them.
    const struct {
        Frame frame;
        const char* hex;
    } table[] = {
        {avc::PowerOn(), "00 FF B2 70"},
        {avc::PowerOff(), "00 FF B2 60"},
        {avc::PowerStatus(), "01 FF B2 7F"},
        {avc::Record(), "00 20 C2 75"},
        {avc::RecordPause(), "00 20 C2 7D"},
        {avc::Play(), "00 20 C3 75"},
        {avc::PlayPause(), "00 20 C3 7D"},
        {avc::Stop(), "00 20 C4 60"},
        {avc::Rewind(), "00 20 C4 65"},
        {avc::FastForward(), "00 20 C4 75"},
        {avc::Eject(), "00 20 C1 60"},
        {avc::TransportState(), "01 20 D0 7F"},
        {avc::RelativeTimeCounter(), "01 20 57 71 FF FF FF FF"},
        {avc::TimeCode(), "01 20 51 71 FF FF FF FF"},
        {avc::MediumInfo(), "01 20 DA 7F 7F 00 00 00"},
        {avc::UnitInfo(), "01 FF 30 FF FF FF FF FF"},
        {avc::SubunitInfo(0), "01 FF 31 07 FF FF FF FF"},
        {avc::SubunitInfo(2), "01 FF 31 27 FF FF FF FF"},
    };
    for (const auto& row : table) EXPECT_EQ(HexText(row.frame), row.hex);
}

// A port that replays a script of frames; Receive gives them in order, then a time-out. A frame
// may be due some time after the command was sent: a wait whose deadline comes before that times
// out (no real time passes).
class ScriptedPort final : public IFcpPort {
  public:
    struct Item {
        BusStatus status;
        FcpFrame frame;
        std::chrono::milliseconds due;
    };
    BusStatus send_status = BusStatus::Ok;
    std::deque<Item> script;
    std::vector<Frame> sent;
    Clock::time_point sent_at{};

    BusStatus Send(int /*phy*/, std::span<const uint8_t> command) override {
        sent.emplace_back(command.begin(), command.end());
        sent_at = Clock::now();
        return send_status;
    }
    BusStatus Receive(FcpFrame& frame, Clock::time_point deadline) override {
        if (script.empty() || sent_at + script.front().due > deadline) return BusStatus::Timeout;
        Item item = script.front();
        script.pop_front();
        frame = item.frame;
        return item.status;
    }
    void Add(int phy, Frame bytes, BusStatus status = BusStatus::Ok,
             std::chrono::milliseconds due = {}) {
        script.push_back({status, FcpFrame{phy, std::move(bytes)}, due});
    }
};

TEST(AvcClient, ReplyHandling) {
    const Frame record = avc::Record();
    struct Case {
        const char* name;
        std::vector<std::pair<int, Frame>> replies;
        BusStatus status;
        uint8_t response;
    };
    const Case cases[] = {
        {"accepted", {{3, {0x09, 0x20, 0xC2, 0x75}}}, BusStatus::Ok, avc::kAccepted},
        {"rejected", {{3, {0x0A, 0x20, 0xC2, 0x75}}}, BusStatus::Ok, avc::kRejected},
        {"not implemented", {{3, {0x08, 0x20, 0xC2, 0x75}}}, BusStatus::Ok, avc::kNotImplemented},
        {"interim then final",
         {{3, {0x0F, 0x20, 0xC2, 0x75}}, {3, {0x09, 0x20, 0xC2, 0x75}}},
         BusStatus::Ok,
         avc::kAccepted},
        {"strays ignored",
         {{5, {0x09, 0x20, 0xC2, 0x75}},  // another node
          {3, {0x09, 0x20, 0xC3, 0x75}},  // another opcode
          {3, {0x09, 0xFF, 0xC2, 0x75}},  // another subunit
          {3, {0x01, 0x20, 0xC2, 0x75}},  // a command, not a response
          {3, {0x09}},                    // too short
          {3, {0x0A, 0x20, 0xC2, 0x75}}},
         BusStatus::Ok,
         avc::kRejected},
        {"silence", {}, BusStatus::Timeout, 0},
        {"interim and then silence", {{3, {0x0F, 0x20, 0xC2, 0x75}}}, BusStatus::Timeout, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPort port;
        for (const auto& [phy, bytes] : c.replies) port.Add(phy, bytes);
        AvcClient client(port);
        const AvcReply reply = client.Transact(3, record);
        EXPECT_EQ(reply.status, c.status);
        if (c.status == BusStatus::Ok) {
            EXPECT_EQ(reply.response, c.response);
            ASSERT_GE(reply.bytes.size(), 3u);
            EXPECT_EQ(reply.bytes[2], 0xC2);
        }
        ASSERT_EQ(port.sent.size(), 1u);  // never sent twice
        EXPECT_EQ(port.sent[0], record);
    }
}

TEST(AvcClient, AnInterimExtendsTheWaitForTheFinal) {
    // A deck powering up: INTERIM at once, ACCEPTED a second later, far past the first wait.
    const AvcTiming timing{std::chrono::milliseconds(200), std::chrono::milliseconds(5000)};
    ScriptedPort slow;
    slow.Add(3, {0x0F, 0xFF, 0xB2, 0x70});
    slow.Add(3, {0x09, 0xFF, 0xB2, 0x70}, BusStatus::Ok, std::chrono::milliseconds(1000));
    const AvcReply reply = AvcClient(slow, timing).Transact(3, avc::PowerOn());
    EXPECT_EQ(reply.status, BusStatus::Ok);
    EXPECT_EQ(reply.response, avc::kAccepted);

    // A deck that takes seven seconds to come up from standby is waited for by default (five
    // seconds made the deck look dead and the recording start while it was still off).
    ScriptedPort waking;
    waking.Add(3, {0x0F, 0xFF, 0xB2, 0x70});
    waking.Add(3, {0x09, 0xFF, 0xB2, 0x70}, BusStatus::Ok, std::chrono::milliseconds(7000));
    EXPECT_EQ(AvcClient(waking).Transact(3, avc::PowerOn()).response, avc::kAccepted);
    ScriptedPort never;
    never.Add(3, {0x0F, 0xFF, 0xB2, 0x70});
    never.Add(3, {0x09, 0xFF, 0xB2, 0x70}, BusStatus::Ok, std::chrono::milliseconds(31000));
    EXPECT_EQ(AvcClient(never).Transact(3, avc::PowerOn()).status, BusStatus::Timeout);

    // Without an INTERIM the same late final is a time-out.
    ScriptedPort late;
    late.Add(3, {0x09, 0xFF, 0xB2, 0x70}, BusStatus::Ok, std::chrono::milliseconds(1000));
    EXPECT_EQ(AvcClient(late, timing).Transact(3, avc::PowerOn()).status, BusStatus::Timeout);
}

TEST(AvcClient, TransportStateIsAnsweredWithTheModeInTheOpcodeByte) {
    ScriptedPort port;
    port.Add(3, {0x0C, 0x20, 0xC3, 0x75});  // not a stray: the deck's way of answering D0
    const AvcReply reply = AvcClient(port).Transact(3, avc::TransportState());
    ASSERT_EQ(reply.status, BusStatus::Ok);
    EXPECT_EQ(DecodeTransport(reply).kind, TransportState::Kind::Playing);

    // Mode bytes answer TRANSPORT STATE only: a RECORD is not answered by a PLAY reply.
    ScriptedPort other;
    other.Add(3, {0x09, 0x20, 0xC3, 0x75});
    AvcClient client(other);
    EXPECT_EQ(client.Transact(3, avc::Record()).status, BusStatus::Timeout);
    EXPECT_EQ(client.strays(), 1u);
}

TEST(AvcClient, BusTroubleIsPassedOn) {
    ScriptedPort reset;
    reset.Add(3, {}, BusStatus::BusReset);
    EXPECT_EQ(AvcClient(reset).Transact(3, avc::Stop()).status, BusStatus::BusReset);

    ScriptedPort failing;
    failing.send_status = BusStatus::IoError;
    failing.Add(3, {0x09, 0x20, 0xC4, 0x60});
    const AvcReply r = AvcClient(failing).Transact(3, avc::Stop());
    EXPECT_EQ(r.status, BusStatus::IoError);
    EXPECT_FALSE(r.ok());
}

AvcReply Reply(Frame bytes) {
    AvcReply r;
    r.status = BusStatus::Ok;
    r.response = bytes.empty() ? 0 : bytes[0];
    r.bytes = std::move(bytes);
    return r;
}

TEST(AvcStates, PowerDecoding) {
    EXPECT_EQ(DecodePower(Reply({0x0C, 0xFF, 0xB2, 0x70})), PowerState::On);
    EXPECT_EQ(DecodePower(Reply({0x0C, 0xFF, 0xB2, 0x60})), PowerState::Off);
    EXPECT_EQ(DecodePower(Reply({0x0C, 0xFF, 0xB2, 0x33})), PowerState::Unknown);
    EXPECT_EQ(DecodePower(Reply({0x08, 0xFF, 0xB2, 0x7F})), PowerState::Unknown);
    EXPECT_EQ(DecodePower(Reply({0x0B, 0xFF, 0xB2, 0x70})), PowerState::Unknown);  // in transition
    EXPECT_EQ(DecodePower(Reply({0x0C, 0xFF, 0xB2})), PowerState::Unknown);
    AvcReply timeout;
    timeout.status = BusStatus::Timeout;
    EXPECT_EQ(DecodePower(timeout), PowerState::Unknown);
}

TEST(AvcStates, TransportDecoding) {
    using K = TransportState::Kind;
    const struct {
        Frame bytes;
        K kind;
    } table[] = {
        // As decks answer: 0C 20 <mode> <state>.
        {{0x0C, 0x20, 0xC2, 0x7D}, K::RecordPause},
        {{0x0C, 0x20, 0xC2, 0x75}, K::Recording},
        {{0x0C, 0x20, 0xC3, 0x75}, K::Playing},
        {{0x0C, 0x20, 0xC4, 0x60}, K::Stopped},
        {{0x0C, 0x20, 0xC1, 0x60}, K::Load},
        {{0x0C, 0x20, 0xC4}, K::Unknown},  // cut short
        {{0x0C, 0x20, 0x99, 0x00}, K::Unknown},
        // With D0 echoed, mode and state after it.
        {{0x0C, 0x20, 0xD0, 0xC2, 0x7D}, K::RecordPause},
        {{0x0C, 0x20, 0xD0, 0xC2, 0x75}, K::Recording},
        {{0x0C, 0x20, 0xD0, 0xC3, 0x75}, K::Playing},
        {{0x0C, 0x20, 0xD0, 0xC3, 0x7D}, K::PlayPause},
        {{0x0C, 0x20, 0xD0, 0xC4, 0x60}, K::Stopped},
        {{0x0C, 0x20, 0xD0, 0xC4, 0x65}, K::Rewinding},
        {{0x0C, 0x20, 0xC4, 0x75}, K::FastForwarding},
        {{0x0C, 0x20, 0xC4, 0x45}, K::Winding},  // another wind
        {{0x0C, 0x20, 0xD0, 0xC1, 0x60}, K::Load},
        {{0x0C, 0x20, 0xD0, 0x99, 0x00}, K::Unknown},
        {{0x0B, 0x20, 0xD0, 0xC2, 0x7D}, K::Unknown},  // in transition: ask again
        {{0x0C, 0x20, 0xD0, 0xC2}, K::Unknown},        // cut short
    };
    for (const auto& row : table) {
        SCOPED_TRACE(HexText(row.bytes));
        EXPECT_EQ(DecodeTransport(Reply(row.bytes)).kind, row.kind);
    }
}

TEST(AvcStates, TapePositionFromTheCounter) {
    const struct {
        Frame bytes;
        std::optional<double> seconds;
    } table[] = {
        // 0C 20 57 71 FF SS MM HH in BCD.
        {{0x0C, 0x20, 0x57, 0x71, 0x00, 0x00, 0x00, 0x00}, 0.0},
        {{0x0C, 0x20, 0x57, 0x71, 0x00, 0x59, 0x34, 0x12}, 12 * 3600 + 34 * 60 + 59.0},
        {{0x0C, 0x20, 0x57, 0x71, 0x15, 0x07, 0x00, 0x00}, 7.5},   // 15 frames
        {{0x0C, 0x20, 0x57, 0x71, 0x00, 0x03, 0x00, 0x80}, -3.0},  // before the counter's zero
        {{0x0C, 0x20, 0x51, 0x71, 0x00, 0x40, 0x00, 0x00}, 40.0},  // a time code, the same way
        {{0x0C, 0x20, 0x57, 0x71, 0x00, 0x6A, 0x00, 0x00}, std::nullopt},  // not BCD
        {{0x0C, 0x20, 0x57, 0x71, 0x00, 0x60, 0x00, 0x00}, std::nullopt},  // 60 seconds
        {{0x08, 0x20, 0x57, 0x71, 0xFF, 0xFF, 0xFF, 0xFF}, std::nullopt},  // not implemented
        {{0x0C, 0x20, 0x57, 0x71, 0x00, 0x00}, std::nullopt},              // cut short
        {{0x0C, 0x20, 0xD0, 0x71, 0x00, 0x00, 0x00, 0x00}, std::nullopt},  // another answer
    };
    for (const auto& row : table) {
        SCOPED_TRACE(HexText(row.bytes));
        EXPECT_EQ(DecodeCounter(Reply(row.bytes)), row.seconds);
    }
}

TEST(AvcStates, Cassette) {
    const struct {
        Frame bytes;
        MediumState state;
    } table[] = {
        {{0x0C, 0x20, 0xDA, 0x22, 0x50, 0, 0, 0}, MediumState::Present},    // D-VHS
        {{0x0C, 0x20, 0xDA, 0x22, 0x51, 0, 0, 0}, MediumState::Protected},  // its tab removed
        {{0x0C, 0x20, 0xDA, 0x22, 0x31, 0, 0, 0}, MediumState::Protected},  // VHS, protected
        {{0x0C, 0x20, 0xDA, 0x60, 0x7F, 0, 0, 0}, MediumState::None},
        {{0x0C, 0x20, 0xDA, 0x7E, 0x7F, 0, 0, 0}, MediumState::Unknown},
        {{0x08, 0x20, 0xDA, 0x7F, 0x7F, 0, 0, 0}, MediumState::Unknown},  // not implemented
        {{0x0C, 0x20, 0xDA, 0x22}, MediumState::Unknown},                 // cut short
    };
    for (const auto& row : table) {
        SCOPED_TRACE(HexText(row.bytes));
        EXPECT_EQ(DecodeMedium(Reply(row.bytes)), row.state);
    }
}

TEST(AvcStates, SubunitPages) {
    bool more = true;
    EXPECT_TRUE(SubunitPageHasTape(Reply({0x0C, 0xFF, 0x31, 0x07, 0x20, 0xFF, 0xFF, 0xFF}), more));
    EXPECT_FALSE(more);
    // A monitor and a tuner, page full: maybe more on the next page.
    EXPECT_FALSE(SubunitPageHasTape(Reply({0x0C, 0xFF, 0x31, 0x07, 0x00, 0x28, 0x08, 0x48}), more));
    EXPECT_TRUE(more);
    EXPECT_FALSE(SubunitPageHasTape(Reply({0x08, 0xFF, 0x31, 0x07, 0x20, 0xFF, 0xFF, 0xFF}), more));
    EXPECT_FALSE(SubunitPageHasTape(Reply({0x0C, 0xFF, 0x31}), more));
}

}  // namespace
}  // namespace tessaline::fw
