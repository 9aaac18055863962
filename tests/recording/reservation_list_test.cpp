#include "recording/reservation_list.h"

#include <gtest/gtest.h>

#include <map>

#include "tests/recording/recording_test_util.h"

namespace tessaline {
namespace {

using namespace testing_time;

std::string OneTime(DateTime start, DateTime end, std::string name = "",
                    RecordStatus status = RecordStatus::Waiting) {
    return WithStatus(
        BuildReservation(OneTimeField(start), OneTimeField(end), {0, {}, false, name}), status);
}

struct MapStore {
    std::map<std::string, std::string> keys;
    int writes = 0;
    ReservationStore Store() {
        return {[this](const std::string& k) -> std::optional<std::string> {
                    const auto it = keys.find(k);
                    if (it == keys.end()) return std::nullopt;
                    return it->second;
                },
                [this](const std::string& k, const std::string& v) {
                    keys[k] = v;
                    ++writes;
                }};
    }
};

TEST(ReservationList, SortedWithoutRegardToCaseAndWithoutDuplicates) {
    ReservationList list;
    const std::string weekly =
        BuildReservation(WeeklyField({true}, {21, 0, 0}), WeeklyField({true}, {22, 0, 0}), {});
    const std::string later = OneTime(T(2024, 3, 9, 21), T(2024, 3, 9, 22), "b");
    const std::string earlier = OneTime(T(2024, 3, 8, 21), T(2024, 3, 8, 22), "a");
    list.Add(weekly);
    list.Add(later);
    list.Add(earlier);
    EXPECT_EQ(list.Records(), (std::vector<std::string>{earlier, later, weekly}));
    // The same one-time reservation registered twice stays one, also when only the case differs.
    EXPECT_EQ(list.Add(later), 1);
    list.Add(OneTime(T(2024, 3, 9, 21), T(2024, 3, 9, 22), "B"));
    EXPECT_EQ(list.Count(), 3);
    // Names decide among equal times without regard to case.
    const std::string upper = OneTime(T(2024, 3, 8, 21), T(2024, 3, 8, 22), "Z");
    list.Add(upper);
    EXPECT_EQ(list[1], upper);
    // A replaced record moves to its sorted place.
    const int at = list.Replace(0, OneTime(T(2025, 1, 1), T(2025, 1, 2)));
    EXPECT_EQ(at, 2);
    EXPECT_EQ(list[2].substr(0, 4), "2025");
    EXPECT_EQ(list[3], weekly);
}

TEST(ReservationList, RunningStatusRewrites) {
    ReservationList list;
    list.Add(OneTime(T(2024, 3, 9, 21), T(2024, 3, 9, 22), "", RecordStatus::Running));
    list.Add(OneTime(T(2024, 3, 8, 21), T(2024, 3, 8, 22)));
    list.Add(
        "2024/03/09 21:00:002024/03/09 22:00:00"
        "1X11");  // not well formed: never running
    EXPECT_TRUE(list.AnyRunning());
    EXPECT_EQ(list.SetRunningStatus(RecordStatus::Done), 1);
    EXPECT_FALSE(list.AnyRunning());
    // Sorted again: "1X11" now stands before the done record.
    EXPECT_EQ(list.Find("2024/03/09 21:00:002024/03/09 22:00:00"
                        "1X11"),
              1);
    EXPECT_EQ(StatusText(list[2], true), "Done");
}

TEST(ReservationStorage, LoadAndSaveRoundTripWithinCapacity) {
    MapStore file;
    const std::string a = OneTime(T(2024, 3, 9, 21), T(2024, 3, 9, 22), "a");
    const std::string running =
        OneTime(T(2024, 3, 8, 21), T(2024, 3, 8, 22), "r", RecordStatus::Running);
    const std::string broken = "W0111011   21:00:00W0111011   2";  // hand-edited, cut short
    file.keys["Reserve01"] = a;
    file.keys["Reserve02"] = "";
    file.keys["Reserve03"] = broken;
    file.keys["Reserve04"] = running;
    file.keys["Reserve05"] = OneTime(T(2030, 1, 1), T(2030, 1, 2), "beyond");  // MaxReserve is 4
    file.keys["Reserve100"] = "far beyond";

    ReservationList list;
    const LoadReport report = LoadReservations(list, file.Store(), 4);
    // A record left running by an earlier run is aborted: it shows what happened and unlocks.
    EXPECT_EQ(report.stale_running, 1);
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list[0], WithStatus(running, RecordStatus::Aborted));
    EXPECT_EQ(list[1], a);
    EXPECT_EQ(list[2], broken);

    SaveReservations(list, file.Store(), 4);
    EXPECT_EQ(file.writes, 4);
    EXPECT_EQ(file.keys["Reserve01"], WithStatus(running, RecordStatus::Aborted));
    EXPECT_EQ(file.keys["Reserve02"], a);
    EXPECT_EQ(file.keys["Reserve03"], broken);  // kept byte for byte
    EXPECT_EQ(file.keys["Reserve04"], "");
    // Keys beyond the capacity are neither read nor written.
    EXPECT_EQ(file.keys["Reserve05"].substr(42), "beyond");
    EXPECT_EQ(file.keys["Reserve100"], "far beyond");

    list.Clear();
    SaveReservations(list, file.Store(), 4);
    for (const char* key : {"Reserve01", "Reserve02", "Reserve03", "Reserve04"}) {
        EXPECT_EQ(file.keys[key], "") << key;
    }
    EXPECT_EQ(ReserveKey(7), "Reserve07");
    EXPECT_EQ(ReserveKey(123), "Reserve123");
}

TEST(ReservationStorage, WaitingReservationCoversAMoment) {
    ReservationList list;
    // The next reservation starts at 22:00:00.
    list.Add(OneTime(T(2024, 3, 9, 22), T(2024, 3, 9, 23)));
    EXPECT_TRUE(WaitingReservationCovers(list, 30, TI(2024, 3, 9, 22)));
    EXPECT_FALSE(WaitingReservationCovers(list, 30, TI(2024, 3, 9, 21, 59, 59)));
    EXPECT_TRUE(WaitingReservationCovers(list, 30, TI(2024, 3, 9, 22, 30)));
    // Only waiting records count; SKIP is not looked at; the capacity limits the search.
    EXPECT_FALSE(WaitingReservationCovers(list, 0, TI(2024, 3, 9, 22, 30)));
    list.Clear();
    list.Add(OneTime(T(2024, 3, 9, 22), T(2024, 3, 9, 23), "", RecordStatus::Done));
    EXPECT_FALSE(WaitingReservationCovers(list, 30, TI(2024, 3, 9, 22, 30)));
    list.Clear();
    list.Add(BuildReservation(OneTimeField(T(2024, 3, 9, 22)), OneTimeField(T(2024, 3, 9, 23)),
                              {0, {}, true, ""}));
    EXPECT_TRUE(WaitingReservationCovers(list, 30, TI(2024, 3, 9, 22, 30)));
}

// Two programs write one list: what each changed since it last read the file survives the
// other's write, by record; a program that does not run the timetable never rewrites a running
// status or deletes a running record; the runner's running record stays running.
TEST(ReservationMerge, EachWriterKeepsOnlyWhatItChanged) {
    const std::string a = OneTime(T(2024, 3, 9, 21), T(2024, 3, 9, 22), "a");
    const std::string b = OneTime(T(2024, 3, 10, 21), T(2024, 3, 10, 22), "b");
    const std::string c = OneTime(T(2024, 3, 11, 21), T(2024, 3, 11, 22), "c");
    const std::string d = OneTime(T(2024, 3, 12, 21), T(2024, 3, 12, 22), "d");
    auto with = [](const std::string& r, RecordStatus s) { return WithStatus(r, s); };
    using S = RecordStatus;

    // The window (not the runner) added d and deleted c, from a stale base; the service meanwhile
    // started a and marked b done.
    const std::vector<std::string> base = {a, b, c};
    MergeResult m = MergeReservations(base, {a, b, d}, {with(a, S::Running), with(b, S::Done), c},
                                      false);
    EXPECT_EQ(m.records, (std::vector<std::string>{with(a, S::Running), with(b, S::Done), d}));
    EXPECT_EQ(m.kept_running, 0);

    // The window edited a (waiting again, or deleted) after the service started it: kept running.
    m = MergeReservations(base, {with(a, S::Aborted), b, c}, {with(a, S::Running), b, c}, false);
    EXPECT_EQ(m.records, (std::vector<std::string>{with(a, S::Running), b, c}));
    EXPECT_EQ(m.kept_running, 1);
    m = MergeReservations(base, {b, c}, {with(a, S::Running), b, c}, false);
    EXPECT_EQ(m.records, (std::vector<std::string>{with(a, S::Running), b, c}));
    EXPECT_EQ(m.kept_running, 1);

    // The service (the runner) marks a done while the window added d and deleted c: both kept.
    m = MergeReservations({with(a, S::Running), b, c}, {with(a, S::Done), b, c}, {a, b, d}, true);
    EXPECT_EQ(m.records, (std::vector<std::string>{with(a, S::Done), b, d}));
    // Its running record stays running, whatever a stale writer left in the file.
    m = MergeReservations({with(a, S::Running), b}, {with(a, S::Running), b}, {a, b}, true);
    EXPECT_EQ(m.records, (std::vector<std::string>{with(a, S::Running), b}));
    m = MergeReservations({a, b}, {with(a, S::Running), b}, {b}, true);
    EXPECT_EQ(m.records, (std::vector<std::string>{with(a, S::Running), b}));
    // A status the other set, on a record this one did not change, is taken.
    m = MergeReservations({a, with(b, S::Done)}, {a, with(b, S::Done)}, {a, b}, true);
    EXPECT_EQ(m.records, (std::vector<std::string>{a, b}));
}

}  // namespace
}  // namespace tessaline
