#include "recording/schedule_tick.h"

#include "recording/schedule_rules.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <vector>

#include "tests/recording/recording_test_util.h"

namespace tessaline {
namespace {

using namespace testing_time;

// The schedule's clock reads the test's local time.
struct TestClock : Clock {
    explicit TestClock(DateTime* now) : now(now) {}
    Instant NowInstant() override { return ToInstant(*now); }
    std::chrono::milliseconds Elapsed() override { return now->time_since_epoch(); }
    void Sleep(std::chrono::milliseconds span) override { *now += span; }
    DateTime* now;
};

// Stands in for the window and recording control: records what the schedule asks for. A started
// reservation "records" until the test ends it, as the monitor tick would.
struct FakeRecorder : ScheduleRecorder {
    ReservationList* list = nullptr;
    bool ready = true;
    bool busy = false;
    bool start_succeeds = true;
    int selected = -1;
    std::vector<DateTime> power_on_at;
    std::vector<ReservationStart> starts;
    std::vector<DateTime> start_times;
    int after_action = 4;  // left over from an earlier reservation
    int saves = 0;
    int repaints = 0;
    int cleared = 0;
    const DateTime* now = nullptr;

    bool DeviceReady() const override { return ready; }
    bool Busy() const override { return busy; }
    void SelectDevice(int index) override { selected = index; }
    void DevicePowerOn() override { power_on_at.push_back(*now); }
    void ResetAfterAction() override { after_action = 0; }
    bool StartReservation(const ReservationStart& s) override {
        starts.push_back(s);
        start_times.push_back(*now);
        after_action = static_cast<int>(s.action);
        busy = start_succeeds;
        return start_succeeds;
    }
    void ClearReservationStart() override {
        ++cleared;
        after_action = 0;
    }
    void SaveReservations() override { ++saves; }
    void RepaintReservations() override { ++repaints; }
    std::optional<std::string> DeckTakenElsewhere(int device) override {
        if (device == taken_device) return "the window";
        return std::nullopt;
    }
    void ReservationWaits(const std::string& record, const std::string& why) override {
        waits.push_back(record + " " + why);
    }
    int taken_device = -1;  // another program records on this deck
    std::vector<std::string> waits;

    // What the monitor tick and Stop do at the end of a reservation.
    void Finish(RecordStatus status) {
        list->SetRunningStatus(status);
        busy = false;
    }
};

struct Schedule : ::testing::Test {
    ReservationList list;
    FakeRecorder recorder;
    DateTime now = T(2024, 3, 9, 20, 59, 0);
    ScheduleOptions options;
    TestClock clock{&now};
    ScheduleTick tick{list, recorder, clock};

    void SetUp() override {
        recorder.list = &list;
        recorder.now = &now;
    }
    // Runs 50 ms ticks up to and including the last one not after until.
    void RunUntil(DateTime until) {
        while (now + milliseconds(50) <= until) {
            now += milliseconds(50);
            tick.Run(options);
        }
    }
    std::string Add(DateTime start, DateTime end, ReservationTail tail = {}) {
        const std::string r = BuildReservation(OneTimeField(start), OneTimeField(end), tail);
        list.Add(r);
        return r;
    }
};

TEST_F(Schedule, OneTimeReservationWakesTheDeckThenStartsOnce) {
    options.power_on_sec = 2;
    Add(T(2024, 3, 9, 21), T(2024, 3, 9, 22), {7, AfterActionKind::Hibernate, false, "news.ts"});
    RunUntil(T(2024, 3, 9, 20, 59, 57, 950));
    EXPECT_TRUE(recorder.power_on_at.empty());
    EXPECT_EQ(recorder.selected, -1);

    RunUntil(T(2024, 3, 9, 21, 0, 0, 0) - milliseconds(1));
    // Every tick from 20:59:58 on switches the deck on (the deck ignores it once it is on).
    ASSERT_EQ(recorder.power_on_at.size(), 40u);
    EXPECT_EQ(recorder.power_on_at.front(), T(2024, 3, 9, 20, 59, 58));
    EXPECT_EQ(recorder.selected, 7);
    EXPECT_TRUE(recorder.starts.empty());

    RunUntil(T(2024, 3, 9, 21, 30));
    ASSERT_EQ(recorder.starts.size(), 1u);
    EXPECT_EQ(recorder.start_times[0], T(2024, 3, 9, 21));
    const ReservationStart& s = recorder.starts[0];
    EXPECT_EQ(s.start, TI(2024, 3, 9, 21));
    EXPECT_EQ(s.end, TI(2024, 3, 9, 22, 0, 1));
    EXPECT_EQ(s.file_name, "news.ts");
    EXPECT_EQ(s.action, AfterActionKind::Hibernate);
    EXPECT_EQ(s.device, 7);
    EXPECT_EQ(recorder.after_action, 3);  // not reset while recording
    EXPECT_EQ(StatusText(list[0], true), "Run");
    EXPECT_EQ(recorder.saves, 0);  // the change to running is not saved at once

    recorder.Finish(RecordStatus::Done);
    RunUntil(T(2024, 3, 9, 22, 30));
    EXPECT_EQ(recorder.starts.size(), 1u);
    EXPECT_EQ(recorder.after_action, 0);  // every idle tick clears a pending action
}

TEST_F(Schedule, WindowAlreadyOpenStartsAtFirstIdleTickWithPlannedTimes) {
    Add(T(2024, 3, 9, 20), T(2024, 3, 9, 22));
    recorder.busy = true;  // a recording by hand runs: the schedule is not consulted
    RunUntil(T(2024, 3, 9, 21));
    EXPECT_TRUE(recorder.starts.empty());
    EXPECT_EQ(recorder.after_action, 4);
    recorder.busy = false;
    RunUntil(T(2024, 3, 9, 21, 0, 0, 50));
    ASSERT_EQ(recorder.starts.size(), 1u);
    EXPECT_EQ(recorder.starts[0].start, TI(2024, 3, 9, 20));
    EXPECT_EQ(recorder.starts[0].end, TI(2024, 3, 9, 22, 0, 1));
}

TEST_F(Schedule, NothingRunsWithoutAReadyDevice) {
    Add(T(2024, 3, 9, 21), T(2024, 3, 9, 22));
    recorder.ready = false;
    RunUntil(T(2024, 3, 9, 21, 30));
    EXPECT_TRUE(recorder.starts.empty());
    EXPECT_TRUE(recorder.power_on_at.empty());
}

TEST_F(Schedule, SameStartRunsInListOrderOnePerTick) {
    const std::string first = Add(T(2024, 3, 9, 21), T(2024, 3, 9, 21, 30), {1, {}, false, "a"});
    Add(T(2024, 3, 9, 21), T(2024, 3, 9, 22), {2, {}, false, "b"});
    RunUntil(T(2024, 3, 9, 21));
    ASSERT_EQ(recorder.starts.size(), 1u);
    EXPECT_EQ(recorder.starts[0].file_name, "a");
    RunUntil(T(2024, 3, 9, 21, 30, 1));
    EXPECT_EQ(recorder.starts.size(), 1u);  // busy recording the first
    recorder.Finish(RecordStatus::Done);
    RunUntil(T(2024, 3, 9, 21, 30, 1, 50));
    ASSERT_EQ(recorder.starts.size(), 2u);
    EXPECT_EQ(recorder.starts[1].file_name, "b");
    EXPECT_EQ(recorder.starts[1].start, TI(2024, 3, 9, 21));  // its planned start
    EXPECT_EQ(recorder.selected, 2);
}

TEST_F(Schedule, SkippedRecordNeverWakesStartsOrReArms) {
    list.Add(WithStatus(
        BuildReservation(WeeklyField({true, true, true, true, true, true, true}, {21, 0, 0}),
                         WeeklyField({true, true, true, true, true, true, true}, {22, 0, 0}),
                         {0, {}, true, ""}),
        RecordStatus::Done));
    Add(T(2024, 3, 9, 21), T(2024, 3, 9, 22), {0, {}, true, ""});
    RunUntil(T(2024, 3, 9, 23));
    EXPECT_TRUE(recorder.starts.empty());
    EXPECT_TRUE(recorder.power_on_at.empty());
    EXPECT_EQ(recorder.saves, 0);
    EXPECT_EQ(StatusText(list[1], true), "Done");
}

TEST_F(Schedule, ReservePowerOnSelectsTheDeckButLeavesItsPower) {
    options.reserve_power_on = true;
    Add(T(2024, 3, 9, 21), T(2024, 3, 9, 22), {5, {}, false, ""});
    RunUntil(T(2024, 3, 9, 20, 59, 59));
    EXPECT_EQ(recorder.selected, 5);
    RunUntil(T(2024, 3, 9, 21));
    EXPECT_EQ(recorder.starts.size(), 1u);
    EXPECT_TRUE(recorder.power_on_at.empty());
}

TEST_F(Schedule, WeeklyRecordReArmsOutsideItsWindowAndRunsNextWeek) {
    const WeekDays saturday = {false, false, false, false, false, true, false};
    list.Add(
        BuildReservation(WeeklyField(saturday, {21, 0, 0}), WeeklyField(saturday, {22, 0, 0}), {}));
    RunUntil(T(2024, 3, 9, 21));  // Saturday 2024-03-09
    ASSERT_EQ(recorder.starts.size(), 1u);
    recorder.Finish(RecordStatus::Aborted);  // stopped by hand at 21:00
    RunUntil(T(2024, 3, 9, 21, 30));
    // Still inside its window: it stays aborted and does not start again.
    EXPECT_EQ(StatusText(list[0], true), "Abort");
    EXPECT_EQ(recorder.starts.size(), 1u);
    EXPECT_EQ(recorder.saves, 0);
    RunUntil(T(2024, 3, 9, 22, 0, 0, 50));
    EXPECT_EQ(StatusText(list[0], true), "");
    EXPECT_EQ(recorder.saves, 1);
    EXPECT_EQ(recorder.starts.size(), 1u);
    // A week later it runs again.
    now = T(2024, 3, 16, 20, 59);
    RunUntil(T(2024, 3, 16, 21));
    ASSERT_EQ(recorder.starts.size(), 2u);
    EXPECT_EQ(recorder.starts[1].start, TI(2024, 3, 16, 21));
}

TEST_F(Schedule, WeeklyRecordAcrossMidnight) {
    const WeekDays monday = {true, false, false, false, false, false, false};
    list.Add(
        BuildReservation(WeeklyField(monday, {23, 30, 0}), WeeklyField(monday, {0, 30, 0}), {}));
    now = T(2024, 3, 4, 23, 29, 59);  // Monday
    RunUntil(T(2024, 3, 4, 23, 30));
    ASSERT_EQ(recorder.starts.size(), 1u);
    EXPECT_EQ(recorder.starts[0].start, TI(2024, 3, 4, 23, 30));
    EXPECT_EQ(recorder.starts[0].end, TI(2024, 3, 5, 0, 30, 1));
}

TEST_F(Schedule, FailedStartAbortsTheRecordAndTakesBackTheReservation) {
    recorder.start_succeeds = false;
    Add(T(2024, 3, 9, 21), T(2024, 3, 9, 22), {0, AfterActionKind::Shutdown, false, ""});
    RunUntil(T(2024, 3, 9, 21));
    ASSERT_EQ(recorder.starts.size(), 1u);
    EXPECT_EQ(recorder.cleared, 1);
    EXPECT_EQ(recorder.after_action, 0);
    EXPECT_EQ(StatusText(list[0], true), "Abort");
    EXPECT_FALSE(list.AnyRunning());
    EXPECT_EQ(recorder.saves, 1);
    RunUntil(T(2024, 3, 9, 21, 10));
    EXPECT_EQ(recorder.starts.size(), 1u);  // a one-time record does not try again
}

TEST_F(Schedule, BrokenRecordsNeverStartAndNeverStopTheWalk) {
    list.Add(
        "2024/03/09 21:00:002024/03/09 22:00:00"
        "X011");
    list.Add(
        "2024/03/09 21:00:002024/03/09 22:00:00"
        "0-1011");
    list.Add("2024/03/09 21:00:00");
    list.Add("W0111011   21:00:00W0111011");
    const std::string good = Add(T(2024, 3, 9, 21, 0, 1), T(2024, 3, 9, 22));
    const std::vector<std::string> before = list.Records();
    RunUntil(T(2024, 3, 9, 21, 0, 1));
    ASSERT_EQ(recorder.starts.size(), 1u);
    EXPECT_EQ(recorder.starts[0].start, TI(2024, 3, 9, 21, 0, 1));
    for (const std::string& r : before) {
        if (r != good) {
            EXPECT_NE(list.Find(r), -1) << r;  // untouched
        }
    }
}

TEST_F(Schedule, CapacityLimitsTheWalk) {
    options.max_reserve = 1;
    Add(T(2024, 3, 9, 21, 30), T(2024, 3, 9, 22));
    Add(T(2024, 3, 9, 21), T(2024, 3, 9, 22));  // sorts first
    RunUntil(T(2024, 3, 9, 21, 45));
    ASSERT_EQ(recorder.starts.size(), 1u);
    recorder.Finish(RecordStatus::Done);
    RunUntil(T(2024, 3, 9, 21, 50));
    EXPECT_EQ(recorder.starts.size(), 1u);  // the second record is beyond the capacity
}

// A start that shows a message box runs the event loop, which can hand over another tick.
struct ReenteringRecorder : FakeRecorder {
    ScheduleTick* tick = nullptr;
    ScheduleOptions options;
    bool StartReservation(const ReservationStart& s) override {
        tick->Run(options);
        return FakeRecorder::StartReservation(s);
    }
};

TEST(ScheduleReentry, TickDuringAStartDoesNothing) {
    ReservationList list;
    ReenteringRecorder recorder;
    DateTime now = T(2024, 3, 9, 21, 0, 5);
    recorder.now = &now;
    TestClock clock(&now);
    ScheduleTick tick(list, recorder, clock);
    recorder.tick = &tick;
    list.Add(BuildReservation(OneTimeField(T(2024, 3, 9, 21)), OneTimeField(T(2024, 3, 9, 22)),
                              {0, {}, false, "a"}));
    list.Add(BuildReservation(OneTimeField(T(2024, 3, 9, 21)), OneTimeField(T(2024, 3, 9, 22)),
                              {0, {}, false, "b"}));
    tick.Run({});
    EXPECT_EQ(recorder.starts.size(), 1u);
}

// ---- Forecasts: what the timetable listing and the wake alarm say will run -----------------

std::optional<ReservationWindow> Forecast(const std::string& record, DateTime at) {
    const auto r = ParseReservation(record);
    return r ? NextScheduledRun(*r, ToInstant(at)) : std::nullopt;
}

TEST_F(Schedule, ForecastOfAWeeklyRecordAbortedInsideTodaysWindowIsNextWeek) {
    const WeekDays saturday = {false, false, false, false, false, true, false};
    const std::string record = WithStatus(
        BuildReservation(WeeklyField(saturday, {21, 0, 0}), WeeklyField(saturday, {22, 0, 0}), {}),
        RecordStatus::Aborted);
    // Saturday 21:30: the tick will not start it again today.
    const auto next = Forecast(record, T(2024, 3, 9, 21, 30));
    ASSERT_TRUE(next);
    EXPECT_EQ(next->start, TI(2024, 3, 16, 21));
    EXPECT_EQ(next->end, TI(2024, 3, 16, 22));
    // Running (its runner will mark it done or aborted): the same.
    EXPECT_EQ(Forecast(WithStatus(record, RecordStatus::Running), T(2024, 3, 9, 21, 30))->start,
              TI(2024, 3, 16, 21));
    // Waiting inside its window: it starts now, in today's window.
    EXPECT_EQ(Forecast(WithStatus(record, RecordStatus::Waiting), T(2024, 3, 9, 21, 30))->start,
              TI(2024, 3, 9, 21));
}

TEST_F(Schedule, ForecastOfOneTimeRecordsSkipAndMisses) {
    const std::string waiting =
        BuildReservation(OneTimeField(T(2024, 3, 9, 21)), OneTimeField(T(2024, 3, 9, 22)), {});
    EXPECT_EQ(Forecast(waiting, T(2024, 3, 9, 20))->start, TI(2024, 3, 9, 21));
    EXPECT_EQ(Forecast(waiting, T(2024, 3, 9, 22))->start, TI(2024, 3, 9, 21));  // end included
    EXPECT_FALSE(Forecast(waiting, T(2024, 3, 9, 22, 0, 1)));
    EXPECT_FALSE(Forecast(WithStatus(waiting, RecordStatus::Done), T(2024, 3, 9, 20)));
    EXPECT_FALSE(Forecast(WithStatus(waiting, RecordStatus::Running), T(2024, 3, 9, 21, 30)));
    const std::string skipped = BuildReservation(
        OneTimeField(T(2024, 3, 9, 21)), OneTimeField(T(2024, 3, 9, 22)), {0, {}, true, ""});
    EXPECT_FALSE(Forecast(skipped, T(2024, 3, 9, 20)));

    const auto parsed = ParseReservation(waiting);
    EXPECT_FALSE(MissedReservation(*parsed, TI(2024, 3, 9, 22)));
    EXPECT_TRUE(MissedReservation(*parsed, TI(2024, 3, 9, 22, 0, 1)));
    EXPECT_FALSE(MissedReservation(*ParseReservation(WithStatus(waiting, RecordStatus::Done)),
                                   TI(2024, 4, 1)));
    EXPECT_FALSE(MissedReservation(*ParseReservation(skipped), TI(2024, 4, 1)));
}

// The forecast against the tick itself: random records, statuses and moments; the tick is played
// minute by minute (every time in these records is a whole minute) until it starts the record,
// and must start it at the forecast's window, or never when the forecast says never. The 400
// rounds are played in eight slices, each its own test, so that none runs long on a slow build
// (the sanitizers'); every slice draws all the rounds and plays its own.
constexpr int kForecastSlices = 8;
class ScheduleForecast : public ::testing::TestWithParam<int> {};

TEST_P(ScheduleForecast, MatchesWhatTheTickDoes) {
    std::mt19937 random(20261209);
    auto pick = [&random](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
    for (int round = 0; round < 400; ++round) {
        ReservationList list;
        FakeRecorder recorder;
        recorder.list = &list;
        DateTime now = T(2024, 3, 4 + pick(7), pick(24), pick(60));
        recorder.now = &now;
        TestClock clock(&now);
        ScheduleTick tick(list, recorder, clock);

        std::string record;
        ReservationTail tail;
        tail.skip = pick(8) == 0;
        if (pick(2) == 0) {
            WeekDays days{};
            for (bool& d : days) d = pick(3) == 0;
            days[static_cast<size_t>(pick(7))] = true;
            const ClockTime a{pick(24), pick(4) * 15, 0}, b{pick(24), pick(4) * 15, 0};
            record = BuildReservation(WeeklyField(days, a), WeeklyField(days, b), tail);
        } else {
            const DateTime start = now + minutes(pick(3 * 24 * 60) - 24 * 60);
            record = BuildReservation(OneTimeField(start),
                                      OneTimeField(start + minutes(1 + pick(180))), tail);
        }
        record = WithStatus(record, static_cast<RecordStatus>('0' + pick(4)));
        if (round % kForecastSlices != GetParam()) continue;
        SCOPED_TRACE(record + " at " + FormatDateTime(now));
        const auto forecast = Forecast(record, now);

        // A running record is played as the next runner sees it: aborted on load.
        list.Add(IsRunning(record) ? WithStatus(record, RecordStatus::Aborted) : record);
        std::optional<DateTime> started;
        const DateTime until = now + days(8);
        for (; now <= until; now += minutes(1)) {
            tick.Run({});
            if (!recorder.starts.empty()) break;
        }
        if (!forecast) {
            EXPECT_TRUE(recorder.starts.empty()) << "started at " << FormatDateTime(now);
            continue;
        }
        ASSERT_EQ(recorder.starts.size(), 1u)
            << "forecast " << FormatDateTime(ToLocal(forecast->start));
        EXPECT_EQ(recorder.starts[0].start, forecast->start);
        EXPECT_EQ(recorder.starts[0].end, forecast->end + seconds(1));
    }
}

INSTANTIATE_TEST_SUITE_P(Slices, ScheduleForecast, ::testing::Range(0, kForecastSlices));

}  // namespace
}  // namespace tessaline
