#include "recording/power_rules.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "capture/pause.h"

namespace tessaline {
namespace {

struct RecordingSleeper : Sleeper {
    std::vector<int> pauses;
    void SleepMs(int ms) override { pauses.push_back(ms); }
};

struct FakePower : PowerActions {
    std::vector<PowerAction> runs;
    PowerResult result;
    int* after_action_seen = nullptr;
    int seen = -1;
    PowerResult Run(PowerAction action) override {
        runs.push_back(action);
        if (after_action_seen) seen = *after_action_seen;
        return result;
    }
};

std::string ReadAll(std::FILE* f) {
    std::rewind(f);
    std::string text;
    char buf[256];
    while (std::fgets(buf, sizeof buf, f)) text += buf;
    return text;
}

struct PowerAfterStop : ::testing::Test {
    RecordingSleeper sleeper;
    Sleeper* previous = nullptr;
    void SetUp() override { previous = SetPauseSleeper(&sleeper); }
    void TearDown() override { SetPauseSleeper(previous); }
};

TEST_F(PowerAfterStop, PendingActionRunsAfterThreeSecondsAndIsCleared) {
    FakePower power;
    int after_action = 2;
    power.after_action_seen = &after_action;
    std::FILE* err = std::tmpfile();
    EXPECT_EQ(RunAfterAction(after_action, power, err), PowerAction::Standby);
    EXPECT_EQ(sleeper.pauses, std::vector<int>{3000});
    EXPECT_EQ(power.runs, std::vector<PowerAction>{PowerAction::Standby});
    EXPECT_EQ(power.seen, 0);  // cleared before the action: a resumed computer finds none pending
    EXPECT_EQ(after_action, 0);
    EXPECT_EQ(ReadAll(err), "");
    std::fclose(err);
}

TEST_F(PowerAfterStop, NothingPendingMeansNoPauseAndNoAction) {
    FakePower power;
    int after_action = 0;
    EXPECT_EQ(RunAfterAction(after_action, power), PowerAction::None);
    EXPECT_TRUE(sleeper.pauses.empty());
    EXPECT_TRUE(power.runs.empty());
}

TEST_F(PowerAfterStop, RefusalIsWrittenAsOneLineAndOtherwiseIgnored) {
    FakePower power;
    power.result = {false, "Interactive authentication required."};
    int after_action = 3;
    std::FILE* err = std::tmpfile();
    EXPECT_EQ(RunAfterAction(after_action, power, err), PowerAction::Hibernate);
    EXPECT_EQ(after_action, 0);
    EXPECT_EQ(ReadAll(err),
              "tessaline: the system refused the power action hibernate: Interactive "
              "authentication required.\n");
    std::fclose(err);
}

TEST(PowerActions, DryRunWritesTheActionName) {
    std::FILE* out = std::tmpfile();
    DryRunPowerActions dry(out);
    for (PowerAction a : {PowerAction::Shutdown, PowerAction::Standby, PowerAction::Hibernate,
                          PowerAction::PowerOff}) {
        EXPECT_TRUE(dry.Run(a).done);
    }
    EXPECT_EQ(ReadAll(out),
              "power action: shutdown (dry run)\npower action: standby (dry run)\n"
              "power action: hibernate (dry run)\npower action: power off (dry run)\n");
    std::fclose(out);
    EXPECT_TRUE(PowerDryRunRequested("dry-run"));
    EXPECT_FALSE(PowerDryRunRequested(nullptr));
    EXPECT_FALSE(PowerDryRunRequested("1"));
}

TEST(PowerActions, DeckPowerAtStop) {
    // A reservation's stop switches the deck off unless told not to or another one follows.
    EXPECT_TRUE(SwitchDeckOffAtStop({true, false, false, false}));
    EXPECT_FALSE(SwitchDeckOffAtStop({true, true, false, true}));
    EXPECT_FALSE(SwitchDeckOffAtStop({true, false, true, true}));
    // Any other stop follows the option for recordings by hand alone.
    EXPECT_FALSE(SwitchDeckOffAtStop({false, false, false, false}));
    EXPECT_TRUE(SwitchDeckOffAtStop({false, true, true, true}));
}

}  // namespace
}  // namespace tessaline
