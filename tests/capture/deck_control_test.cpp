// The deck's power and transport commands: what is sent, and what counts as done.
#include "capture/pause.h"
#include "tests/capture/capture_fixture.h"

namespace tessaline::test {
namespace {

using ::testing::ElementsAre;
using Kind = DeckCommand::Kind;

class DeckControlTest : public CaptureTest {
  protected:
    std::shared_ptr<VirtualDeck> AddAndOpen(VirtualDeckConfig config) {
        auto deck = AddVirtualDeck(fw, std::move(config));
        Open();
        return deck;
    }
    static VirtualDeckConfig WithPower(int32_t power) {
        VirtualDeckConfig c = Deck("AV/C Tape", "JVC", "HM-DH5U");
        c.power = power;
        return c;
    }
};

TEST_F(DeckControlTest, PowerOnOnlyFromOffOrStandby) {
    auto on = AddAndOpen(WithPower(ED_POWER_ON));
    EXPECT_FALSE(capture.DevicePowerOn());
    EXPECT_TRUE(on->commands().empty());
    EXPECT_TRUE(capture.DevicePowerOff());
    EXPECT_TRUE(capture.DevicePowerOn());
    EXPECT_THAT(on->commands(), ElementsAre(DeckCommand{Kind::Power, ED_POWER_OFF},
                                            DeckCommand{Kind::Power, ED_POWER_ON}));
}

TEST_F(DeckControlTest, StandbyDeckIsSwitchedOnButNotOff) {
    auto deck = AddAndOpen(WithPower(ED_POWER_STANDBY));
    EXPECT_FALSE(capture.DevicePowerOff());
    EXPECT_TRUE(deck->commands().empty());
    EXPECT_TRUE(capture.DevicePowerOn());
    EXPECT_EQ(deck->power(), ED_POWER_ON);
}

TEST_F(DeckControlTest, PowerCommandsFailWhenTheDeckDoesNotObeyOrCannotBeRead) {
    auto deck = AddAndOpen(WithPower(ED_POWER_OFF));
    fw.Fail(GraphOp::PutDevicePower, kE_FAIL, 1);
    EXPECT_FALSE(capture.DevicePowerOn());
    fw.Fail(GraphOp::GetDevicePower, kE_FAIL, 1);
    EXPECT_FALSE(capture.DevicePowerOn());
    EXPECT_EQ(deck->power(), ED_POWER_OFF);
}

TEST_F(DeckControlTest, OffDeckIsSwitchedOnBeforeTheTransportCommand) {
    auto deck = AddAndOpen(WithPower(ED_POWER_OFF));
    EXPECT_TRUE(capture.TransportRecord());
    EXPECT_TRUE(capture.TransportRecordPause());
    EXPECT_TRUE(capture.TransportStop());
    EXPECT_THAT(deck->commands(), ElementsAre(DeckCommand{Kind::Power, ED_POWER_ON},
                                              DeckCommand{Kind::Transport, ED_MODE_RECORD},
                                              DeckCommand{Kind::Transport, ED_MODE_RECORD_FREEZE},
                                              DeckCommand{Kind::Transport, ED_MODE_STOP}));
}

TEST_F(DeckControlTest, FailedPowerStepSendsNoTransportCommand) {
    auto deck = AddAndOpen(WithPower(ED_POWER_STANDBY));
    fw.Fail(GraphOp::PutDevicePower, kE_FAIL, 1);
    EXPECT_FALSE(capture.TransportRecordPause());
    EXPECT_TRUE(deck->commands().empty());
    // Stop has no power step.
    EXPECT_TRUE(capture.TransportStop());
    EXPECT_THAT(deck->commands(), ElementsAre(DeckCommand{Kind::Transport, ED_MODE_STOP}));
}

TEST_F(DeckControlTest, UnreadablePowerSkipsThePowerStep) {
    auto deck = AddAndOpen(WithPower(ED_POWER_OFF));
    fw.Fail(GraphOp::GetDevicePower, kE_FAIL, 1);
    EXPECT_TRUE(capture.TransportRecord());
    EXPECT_THAT(deck->commands(), ElementsAre(DeckCommand{Kind::Transport, ED_MODE_RECORD}));
}

TEST_F(DeckControlTest, DeckWithoutTransportControlCountsAsObeying) {
    VirtualDeckConfig c = WithPower(ED_POWER_ON);
    c.has_transport_control = false;
    auto deck = AddAndOpen(c);
    EXPECT_TRUE(capture.TransportRecordPause());
    EXPECT_TRUE(capture.TransportRecord());
    EXPECT_TRUE(capture.TransportStop());
    EXPECT_TRUE(deck->commands().empty());
}

TEST_F(DeckControlTest, DeckWithoutPowerControl) {
    VirtualDeckConfig c = WithPower(ED_POWER_OFF);
    c.has_power_control = false;
    auto deck = AddAndOpen(c);
    EXPECT_FALSE(capture.DevicePowerOn());
    EXPECT_TRUE(capture.TransportRecord());
    EXPECT_THAT(deck->commands(), ElementsAre(DeckCommand{Kind::Transport, ED_MODE_RECORD}));
}

TEST_F(DeckControlTest, TransportRefusal) {
    auto deck = AddAndOpen(WithPower(ED_POWER_ON));
    fw.Fail(GraphOp::PutMode, kE_FAIL, 1);
    EXPECT_FALSE(capture.TransportRecord());
}

TEST_F(DeckControlTest, EveryCommandFailsWithoutADeck) {
    auto deck = AddVirtualDeck(fw, WithPower(ED_POWER_OFF));
    ASSERT_TRUE(capture.EnumerateDevices());
    EXPECT_FALSE(capture.DevicePowerOn());
    EXPECT_FALSE(capture.DevicePowerOff());
    EXPECT_FALSE(capture.TransportRecordPause());
    EXPECT_FALSE(capture.TransportRecord());
    EXPECT_FALSE(capture.TransportStop());
    EXPECT_TRUE(deck->commands().empty());
}

class RecordingSleeper final : public Sleeper {
  public:
    void SleepMs(int ms) override { slept.push_back(ms); }
    std::vector<int> slept;
};

TEST(PauseMs, GoesThroughTheInstalledSleeper) {
    RecordingSleeper sleeper;
    Sleeper* previous = SetPauseSleeper(&sleeper);
    PauseMs(1000);
    PauseMs(0);
    PauseMs(-5);
    PauseMs(2500);
    SetPauseSleeper(previous);
    EXPECT_THAT(sleeper.slept, ElementsAre(1000, 2500));
}

}  // namespace
}  // namespace tessaline::test
