// SPDX-License-Identifier: GPL-3.0-or-later
// Who runs the timetable (the lock between the window and the service) and the wake alarm: the
// file written, cleared and refused, the moment chosen, and the alarm set before a power action.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "recording/private_folder.h"
#include "recording/recorder_registry.h"
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
    // Released, no lock file is left behind.
    window.Release();
    EXPECT_FALSE(fs::exists(lock_path));
    EXPECT_FALSE(fs::exists(other));
}

// A lock that cannot be made is an error, never taken for another runner; a folder open to
// others is refused as it stands, its mode untouched.
TEST(TimetableLock, AFolderThatCannotHoldItIsAnErrorNotAnotherRunner) {
    test::TempDir dir;
    TimetableLock lock(dir / "missing" / "deeper" / "timetable.lock");
    EXPECT_FALSE(lock.TryAcquire(TimetableRunner::Service));
    EXPECT_FALSE(lock.error().empty());
    EXPECT_EQ(WhoRunsTimetable(dir / "missing" / "deeper" / "timetable.lock"),
              TimetableRunner::Nobody);

    const fs::path shared = dir / "shared";
    fs::create_directory(shared);
    fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
    TimetableLock open_lock(shared / "timetable.lock");
    EXPECT_FALSE(open_lock.TryAcquire(TimetableRunner::Window));
    EXPECT_NE(open_lock.error().find("open to other users (mode 1777)"), std::string::npos)
        << open_lock.error();
    EXPECT_EQ(fs::status(shared).permissions(), fs::perms::all | fs::perms::sticky_bit);
    EXPECT_TRUE(fs::is_empty(shared));
}

TEST(TimetableLock, OnePathPerSettingsFileWhateverItIsCalled) {
    test::TempDir dir;
    test::WriteFile(dir / "a.INI", {});
    fs::create_symlink(dir / "a.INI", dir / "link.INI");
    EXPECT_EQ(TimetableLockPath(dir / "a.INI"), TimetableLockPath(dir / "link.INI"));
    EXPECT_EQ(TimetableLockPath(dir / "a.INI"), TimetableLockPath(dir / "." / "a.INI"));
    EXPECT_NE(TimetableLockPath(dir / "a.INI"), TimetableLockPath(dir / "b.INI"));
}

// Programs started from different environments (the desktop, cron, ssh, su) must meet at one lock:
// its place follows the user and the settings file, never the environment, and is never the shared
// temporary folder.
TEST(TimetableLock, OnePlaceWhateverTheEnvironmentAndNeverTheTemporaryFolder) {
    test::TempDir dir;
    const fs::path settings = dir / "t.INI";
    test::ScopedEnv env({"XDG_RUNTIME_DIR", "TMPDIR", "HOME", "XDG_CACHE_HOME"});
    ::setenv("XDG_RUNTIME_DIR", (dir / "run").c_str(), 1);
    const fs::path desktop = TimetableLockPath(settings);
    ::unsetenv("XDG_RUNTIME_DIR");
    const fs::path cron = TimetableLockPath(settings);
    ::setenv("TMPDIR", (dir / "tmp").c_str(), 1);
    ::setenv("HOME", (dir / "home").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (dir / "cache").c_str(), 1);
    const fs::path su = TimetableLockPath(settings);
    EXPECT_EQ(desktop, cron);
    EXPECT_EQ(desktop, su);
    for (const fs::path& p : {desktop, cron, su}) {
        EXPECT_NE(p.string().rfind("/tmp/", 0), 0u) << p;
        EXPECT_NE(p.string().rfind(dir.path().string(), 0), 0u) << p;
    }
    EXPECT_EQ(desktop.parent_path(), PrivateFolder());
    // Taken from one environment, it keeps a runner from the other out.
    TimetableLock service(su);
    ASSERT_TRUE(service.TryAcquire(TimetableRunner::Service)) << service.error();
    ::unsetenv("XDG_RUNTIME_DIR");
    TimetableLock window(TimetableLockPath(settings));
    EXPECT_FALSE(window.TryAcquire(TimetableRunner::Window));
    EXPECT_TRUE(window.error().empty()) << window.error();
    EXPECT_EQ(WhoRunsTimetable(TimetableLockPath(settings)), TimetableRunner::Service);
}

// The user's runtime folder when it is theirs, else the cache folder of the home the password
// database names; never a shared one.
TEST(PrivateFolder, RuntimeFolderOfTheUserElseTheHome) {
    test::TempDir dir;
    const uid_t me = ::getuid();
    const fs::path root = dir / "run" / "user";
    fs::create_directories(root);
    EXPECT_EQ(PrivateFolderOf(me, root, "/home/u"), fs::path("/home/u/.cache/tessaline"));
    fs::create_directory(root / std::to_string(me));
    EXPECT_EQ(PrivateFolderOf(me, root, "/home/u"), root / std::to_string(me) / "tessaline");
    // A link there is not the user's folder.
    fs::create_directory(dir / "elsewhere");
    fs::create_directory_symlink(dir / "elsewhere", root / std::to_string(me + 1));
    EXPECT_EQ(PrivateFolderOf(me + 1, root, "/home/v"), fs::path("/home/v/.cache/tessaline"));
    EXPECT_TRUE(PrivateFolderOf(me + 1, root, "").empty());
    if (me == 0) {
        // Another user's runtime folder is never ours.
        fs::create_directory(root / "4242");
        ASSERT_EQ(::chown((root / "4242").c_str(), 4243, 4243), 0);
        EXPECT_EQ(PrivateFolderOf(4242, root, "/h"), fs::path("/h/.cache/tessaline"));
    }

    std::string reason;
    const fs::path mine = dir / "mine";
    ASSERT_TRUE(PreparePrivateFolder(mine, reason)) << reason;
    EXPECT_EQ(fs::status(mine).permissions(), fs::perms::owner_all);
    EXPECT_TRUE(PreparePrivateFolder(mine, reason)) << reason;
    test::WriteFile(dir / "file", {});
    EXPECT_FALSE(PreparePrivateFolder(dir / "file", reason));
    EXPECT_NE(reason.find("not a folder"), std::string::npos) << reason;
    EXPECT_FALSE(PreparePrivateFolder({}, reason));
}

// Who records where: programs sharing a settings file see each other's recordings, by deck;
// another settings file is another group; an entry left by a program that ended is cleared.
TEST(RecorderRegistry, ProgramsOfOneSettingsFileSeeEachOthersRecordings) {
    test::TempDir dir;
    const fs::path folder = dir / "private";
    RecorderRegistry window(folder, dir / "a.INI"), service(folder, dir / "a.INI");
    RecorderRegistry elsewhere(folder, dir / "b.INI");
    EXPECT_TRUE(service.Others().empty());
    std::string error;
    ASSERT_TRUE(window.Register("AV/C Tape Subunit (JVC HM-DH5U #1)", "window", error)) << error;
    EXPECT_TRUE(window.Others().empty());  // not its own
    const auto seen = service.OtherOn("AV/C Tape Subunit (JVC HM-DH5U #1)");
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->who, "window");
    EXPECT_EQ(seen->pid, ::getpid());
    EXPECT_EQ(RecorderRegistry::Describe(*seen), "the window (process " +
                                                     std::to_string(::getpid()) +
                                                     ") on AV/C Tape Subunit (JVC HM-DH5U #1)");
    EXPECT_FALSE(service.OtherOn("AV/C Tape Subunit (JVC HM-DH5U #2)"));
    EXPECT_TRUE(elsewhere.Others().empty());
    ASSERT_TRUE(service.Register("AV/C Tape Subunit (JVC HM-DH5U #2)", "service", error));
    EXPECT_EQ(window.Others().size(), 1u);
    window.Unregister();
    EXPECT_TRUE(service.Others().empty());
    service.Unregister();
    EXPECT_TRUE(fs::is_empty(folder));

    // A program that ended without letting go leaves an entry nobody holds: it counts for
    // nothing and goes.
    {
        RecorderRegistry crashed(folder, dir / "a.INI");
        ASSERT_TRUE(crashed.Register("deck", "record", error));
        for (const auto& e : fs::directory_iterator(folder)) {
            fs::copy_file(e.path(), folder / (e.path().filename().string() + "9"));
        }
    }
    EXPECT_FALSE(fs::is_empty(folder));
    EXPECT_TRUE(window.Others().empty());
    EXPECT_TRUE(fs::is_empty(folder));
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
    const Instant at = TI(2024, 3, 16, 11, 57, 58);
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
    EXPECT_FALSE(folder.Set(TI(2024, 3, 16, 12)));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("cannot set the wake alarm for 2024/03/16 12:00:00 in " +
                            dir.path().string()),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find("61-tessaline-wakealarm.rules"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("group video"), std::string::npos) << lines[0];

    WakeAlarm none(dir / "no-rtc" / "wakealarm", false, log);
    EXPECT_FALSE(none.Set(TI(2024, 3, 16, 12)));
    EXPECT_FALSE(none.Clear());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[1].find("no wake alarm there"), std::string::npos) << lines[1];
}

TEST_F(WakeAlarmTest, DryRunPrintsAndLeavesTheClockAlone) {
    WakeAlarm alarm(file, true, log);
    EXPECT_TRUE(alarm.Set(TI(2024, 3, 16, 11, 57, 58)));
    EXPECT_TRUE(alarm.Clear());
    EXPECT_EQ(lines, std::vector<std::string>{"wake alarm: 2024/03/16 11:57:58 (dry run)"});
    EXPECT_EQ(Slurp(file), "5\n");
}

// The kernel's wakealarm file: a new time is refused while another is pending; "0" clears.
class KernelAlarm final : public WakeAlarmFile {
  public:
    int Write(const std::string& value) override {
        writes.push_back(value);
        if (value == "0") {
            pending.clear();
            return 0;
        }
        if (!pending.empty()) return EBUSY;
        pending = value;
        return 0;
    }
    int Read(std::string& value) override {
        value = pending + "\n";
        return 0;
    }
    std::string pending;
    std::vector<std::string> writes;
};

TEST_F(WakeAlarmTest, APendingAlarmIsClearedBeforeTheNextTime) {
    auto kernel = std::make_shared<KernelAlarm>();
    WakeAlarm alarm("/sys/class/rtc/rtc0/wakealarm", kernel, log);
    ASSERT_TRUE(alarm.Set(TI(2024, 3, 16, 11, 57, 58)));
    ASSERT_TRUE(alarm.Set(TI(2024, 3, 17, 6)));  // another power action before it rang
    EXPECT_EQ(kernel->pending, std::to_string(EpochSeconds(TI(2024, 3, 17, 6))));
    EXPECT_EQ(kernel->writes.size(), 4u);
    EXPECT_EQ(lines.back(), "wake alarm: 2024/03/17 06:00:00");

    // A clock that takes the time but keeps another says so.
    struct Stubborn : WakeAlarmFile {
        int Write(const std::string&) override { return 0; }
        int Read(std::string& value) override {
            value = "12\n";
            return 0;
        }
    };
    WakeAlarm stubborn("/dev/rtc-test", std::make_shared<Stubborn>(), log);
    EXPECT_FALSE(stubborn.Set(TI(2024, 3, 16, 12)));
    EXPECT_NE(lines.back().find("the clock holds 12 instead of"), std::string::npos)
        << lines.back();
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
    const Instant now = TI(2024, 3, 9, 21, 30);
    EXPECT_EQ(NextWakeTime(list, 30, now, 2, 120), TI(2024, 3, 16, 20, 57, 58));

    list.Add(BuildReservation(OneTimeField(T(2024, 3, 12, 6)), OneTimeField(T(2024, 3, 12, 7)),
                              {}));
    EXPECT_EQ(NextWakeTime(list, 30, now, 2, 120), TI(2024, 3, 12, 5, 57, 58));
    // Beyond the capacity nothing counts: here the first two records, done and skipped, remain.
    EXPECT_FALSE(NextWakeTime(list, 2, now, 2, 120));
    EXPECT_FALSE(NextWakeTime(ReservationList(), 30, now, 2, 120));
}

// A power action goes ahead only when the computer can sleep and be woken for the next start: its
// wake moment at least a minute away. Otherwise it is not made, and the reason names the start.
TEST(WakeTime, NoSleepWhenTheNextStartIsTooClose) {
    ReservationList list;
    const Instant now = TI(2024, 3, 9, 10, 30, 4);
    SleepDecision d = DecideSleep(list, 30, now, 2, 120);
    EXPECT_TRUE(d.allowed);
    EXPECT_FALSE(d.wake_at);

    // Starts 70 s after the stop: waking for it would have to begin before now.
    list.Add(BuildReservation(OneTimeField(T(2024, 3, 9, 10, 31, 14)),
                              OneTimeField(T(2024, 3, 9, 11)), {}));
    d = DecideSleep(list, 30, now, 2, 120);
    EXPECT_FALSE(d.allowed);
    EXPECT_FALSE(d.wake_at);
    EXPECT_NE(d.reason.find("starts at 2024/03/09 10:31:14"), std::string::npos) << d.reason;
    // Its window already open: the same.
    EXPECT_FALSE(DecideSleep(list, 30, TI(2024, 3, 9, 10, 40), 2, 120).allowed);
    // Exactly a minute to the wake moment is enough; a second less is not.
    EXPECT_TRUE(DecideSleep(list, 30, TI(2024, 3, 9, 10, 28, 12), 2, 120).allowed);
    EXPECT_EQ(DecideSleep(list, 30, TI(2024, 3, 9, 10, 28, 12), 2, 120).wake_at,
              TI(2024, 3, 9, 10, 29, 12));
    EXPECT_FALSE(DecideSleep(list, 30, TI(2024, 3, 9, 10, 28, 13), 2, 120).allowed);

    // Nothing sends the computer away while another program records.
    test::TempDir dir;
    RecorderRegistry mine(dir / "private", dir / "t.INI"), theirs(dir / "private", dir / "t.INI");
    std::string error;
    ASSERT_TRUE(theirs.Register("deck", "window", error)) << error;
    d = DecideSleep(ReservationList(), 30, now, 2, 120, &mine);
    EXPECT_FALSE(d.allowed);
    EXPECT_NE(d.reason.find("the window (process "), std::string::npos) << d.reason;
    EXPECT_NE(d.reason.find(") on deck still records"), std::string::npos) << d.reason;
    theirs.Unregister();
    EXPECT_TRUE(DecideSleep(ReservationList(), 30, now, 2, 120, &mine).allowed);
}

// The wake moment is the resolved start's: on both nights of a change of daylight saving time the
// alarm rings the boot margin before the start, not an hour late.
TEST(WakeTime, DaylightSavingNightsWakeOnTime) {
    test::ScopedEnv env({"TZ"});
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
    // Spring: 03:01 summer time, less 122 s, is 01:58:58 winter time (02:58:58 does not exist).
    ReservationList spring;
    spring.Add(
        BuildReservation(OneTimeField(T(2024, 3, 31, 3, 1)), OneTimeField(T(2024, 3, 31, 4)), {}));
    const auto at = NextWakeTime(spring, 30, TI(2024, 3, 30, 22), 2, 120);
    ASSERT_TRUE(at);
    EXPECT_EQ(EpochSeconds(*at), EpochSeconds(TI(2024, 3, 31, 3, 1)) - 122);
    EXPECT_EQ(FormatDateTime(ToLocal(*at)), "2024/03/31 01:58:58");
    // Autumn: a Sunday 02:10 in the first (summer time) pass of the repeated hour.
    const WeekDays sunday = {false, false, false, false, false, false, true};
    ReservationList autumn;
    autumn.Add(
        BuildReservation(WeeklyField(sunday, {2, 10, 0}), WeeklyField(sunday, {2, 40, 0}), {}));
    const auto wake = NextWakeTime(autumn, 30, TI(2024, 10, 26, 22), 2, 120);
    ASSERT_TRUE(wake);
    EXPECT_EQ(EpochSeconds(*wake), 1729987678);  // 2024-10-27 00:07:58 UTC = 02:07:58 CEST
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
    WakeBeforePowerActions actions(inner, [&calls](int action) {
        calls.push_back("alarm " + std::to_string(action));
        return action != 3;  // hibernate refused: not made
    });
    for (int action = 0; action <= 4; ++action) RunPowerAction(actions, action);
    EXPECT_EQ(calls, (std::vector<std::string>{"alarm 1", "shutdown", "alarm 2", "standby",
                                               "alarm 3", "alarm 4", "power off"}));
}

}  // namespace
}  // namespace tessaline
