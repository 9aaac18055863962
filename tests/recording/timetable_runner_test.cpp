// SPDX-License-Identifier: GPL-3.0-or-later
// Who runs the timetable (the lock between the window and the service) and the wake alarm: the
// file written, cleared and refused, the moment chosen, and the alarm set before a power action.
#include <gtest/gtest.h>

#include <fstream>

#include "recording/schedule_rules.h"
#include "recording/timetable_lock.h"
#include "recording/wake_alarm.h"
#include "tests/recording/recording_test_util.h"
#include "tests/support/test_support.h"

namespace tessaline {
namespace {

using namespace testing_time;
namespace fs = std::filesystem;

std::string Slurp(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(TimetableLock, OneRunnerAtATimeAndEveryoneCanAskWhich) {
    test::TempDir dir;
    const fs::path lock_path = dir / "timetable.lock";
    EXPECT_EQ(WhoRunsTimetable(lock_path), TimetableRunner::Nobody);  // no file yet

    TimetableLock window(lock_path), service(lock_path);
    ASSERT_TRUE(window.TryAcquire(TimetableRunner::Window));
    EXPECT_TRUE(window.TryAcquire(TimetableRunner::Window));  // held already
    EXPECT_FALSE(service.TryAcquire(TimetableRunner::Service));
    EXPECT_TRUE(service.error().empty()) << service.error();  // taken, not broken
    EXPECT_EQ(WhoRunsTimetable(lock_path), TimetableRunner::Window);

    window.Release();
    EXPECT_EQ(WhoRunsTimetable(lock_path), TimetableRunner::Nobody);
    ASSERT_TRUE(service.TryAcquire(TimetableRunner::Service));
    EXPECT_EQ(WhoRunsTimetable(lock_path), TimetableRunner::Service);
    EXPECT_FALSE(window.TryAcquire(TimetableRunner::Window));
    service.Release();
    EXPECT_TRUE(window.TryAcquire(TimetableRunner::Window));

    // A holder that ends drops the lock with it.
    const fs::path other = dir / "other.lock";
    {
        TimetableLock held(other);
        ASSERT_TRUE(held.TryAcquire(TimetableRunner::Service));
        EXPECT_EQ(WhoRunsTimetable(other), TimetableRunner::Service);
    }
    EXPECT_EQ(WhoRunsTimetable(other), TimetableRunner::Nobody);
}

TEST(TimetableLock, AFolderThatCannotHoldItIsAnErrorNotAnotherRunner) {
    test::TempDir dir;
    TimetableLock lock(dir / "missing" / "timetable.lock");
    EXPECT_FALSE(lock.TryAcquire(TimetableRunner::Service));
    EXPECT_FALSE(lock.error().empty());
    EXPECT_EQ(WhoRunsTimetable(dir / "missing" / "timetable.lock"), TimetableRunner::Nobody);
}

TEST(TimetableLock, OnePathPerSettingsFileWhateverItIsCalled) {
    test::TempDir dir;
    test::WriteFile(dir / "a.INI", {});
    fs::create_symlink(dir / "a.INI", dir / "link.INI");
    EXPECT_EQ(TimetableLockPath(dir / "a.INI"), TimetableLockPath(dir / "link.INI"));
    EXPECT_EQ(TimetableLockPath(dir / "a.INI"), TimetableLockPath(dir / "." / "a.INI"));
    EXPECT_NE(TimetableLockPath(dir / "a.INI"), TimetableLockPath(dir / "b.INI"));
}

struct WakeAlarmTest : ::testing::Test {
    test::TempDir dir;
    fs::path file = dir / "wakealarm";
    std::vector<std::string> lines;
    WakeAlarm::Log log = [this](const std::string& line) { lines.push_back(line); };
    // The clock's file as the kernel keeps it: what was written last.
    void SetUp() override { test::WriteFile(file, {'5', '\n'}); }
};

TEST_F(WakeAlarmTest, ClearedThenSetAndReadBack) {
    WakeAlarm alarm(file, false, log);
    const DateTime at = T(2024, 3, 16, 11, 57, 58);
    ASSERT_TRUE(alarm.Set(at));
    EXPECT_EQ(Slurp(file), std::to_string(EpochSeconds(at)) + "\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "wake alarm: 2024/03/16 11:57:58");
    ASSERT_TRUE(alarm.Clear());
    EXPECT_EQ(Slurp(file), "0\n");
    // The epoch seconds are the local time's.
    std::time_t t = static_cast<std::time_t>(EpochSeconds(at));
    std::tm local{};
    localtime_r(&t, &local);
    EXPECT_EQ(local.tm_hour, 11);
    EXPECT_EQ(local.tm_mday, 16);
}

TEST_F(WakeAlarmTest, RefusedSaysWhyAndHowToAllowIt) {
    WakeAlarm folder(dir.path(), false, log);  // cannot be written as a file
    EXPECT_FALSE(folder.Set(T(2024, 3, 16, 12)));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("cannot set the wake alarm for 2024/03/16 12:00:00 in " +
                            dir.path().string()),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find("61-tessaline-wakealarm.rules"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("group video"), std::string::npos) << lines[0];

    WakeAlarm none(dir / "no-rtc" / "wakealarm", false, log);
    EXPECT_FALSE(none.Set(T(2024, 3, 16, 12)));
    EXPECT_FALSE(none.Clear());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[1].find("no wake alarm there"), std::string::npos) << lines[1];
}

TEST_F(WakeAlarmTest, DryRunPrintsAndLeavesTheClockAlone) {
    WakeAlarm alarm(file, true, log);
    EXPECT_TRUE(alarm.Set(T(2024, 3, 16, 11, 57, 58)));
    EXPECT_TRUE(alarm.Clear());
    EXPECT_EQ(lines, std::vector<std::string>{"wake alarm: 2024/03/16 11:57:58 (dry run)"});
    EXPECT_EQ(Slurp(file), "5\n");
}

TEST(WakeTime, NextRunMinusDeckWakeAndBootMargin) {
    ReservationList list;
    const WeekDays saturday = {false, false, false, false, false, true, false};
    // Aborted today inside its window: next Saturday.
    list.Add(WithStatus(BuildReservation(WeeklyField(saturday, {21, 0, 0}),
                                         WeeklyField(saturday, {22, 0, 0}), {}),
                        RecordStatus::Aborted));
    // Done, skipped, and one beyond the capacity do not count.
    list.Add(WithStatus(BuildReservation(OneTimeField(T(2024, 3, 10, 9)),
                                         OneTimeField(T(2024, 3, 10, 10)), {}),
                        RecordStatus::Done));
    list.Add(BuildReservation(OneTimeField(T(2024, 3, 11, 9)), OneTimeField(T(2024, 3, 11, 10)),
                              {0, {}, true, ""}));
    const DateTime now = T(2024, 3, 9, 21, 30);
    EXPECT_EQ(NextWakeTime(list, 30, now, 2, 120), T(2024, 3, 16, 20, 57, 58));

    list.Add(BuildReservation(OneTimeField(T(2024, 3, 12, 6)), OneTimeField(T(2024, 3, 12, 7)),
                              {}));
    EXPECT_EQ(NextWakeTime(list, 30, now, 2, 120), T(2024, 3, 12, 5, 57, 58));
    // Beyond the capacity nothing counts: here the first two records, done and skipped, remain.
    EXPECT_FALSE(NextWakeTime(list, 2, now, 2, 120));

    // A window open now, or too close to wake for in time: soon after now, never in the past.
    list.Add(BuildReservation(OneTimeField(T(2024, 3, 9, 21)), OneTimeField(T(2024, 3, 9, 23)),
                              {}));
    EXPECT_EQ(NextWakeTime(list, 30, now, 2, 120), now + kSoonestWake);
    EXPECT_FALSE(NextWakeTime(ReservationList(), 30, now, 2, 120));
}

TEST(WakeTime, SetBeforeEveryPowerActionThenTheAction) {
    struct Recorded : PowerActions {
        std::vector<std::string>* log;
        void SystemShutdown() override { log->push_back("shutdown"); }
        void SystemStandby() override { log->push_back("standby"); }
        void SystemHibernate() override { log->push_back("hibernate"); }
        void SystemPowerOff() override { log->push_back("power off"); }
    };
    std::vector<std::string> calls;
    Recorded inner;
    inner.log = &calls;
    WakeBeforePowerActions actions(
        inner, [&calls](int action) { calls.push_back("alarm " + std::to_string(action)); });
    for (int action = 0; action <= 4; ++action) RunPowerAction(actions, action);
    EXPECT_EQ(calls, (std::vector<std::string>{"alarm 1", "shutdown", "alarm 2", "standby",
                                               "alarm 3", "hibernate", "alarm 4", "power off"}));
}

}  // namespace
}  // namespace tessaline
