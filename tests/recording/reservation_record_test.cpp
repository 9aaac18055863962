#include "recording/reservation_record.h"

#include <gtest/gtest.h>

#include "tests/recording/recording_test_util.h"

namespace tessaline {
namespace {

using namespace testing_time;

const WeekDays kMonFri = {true, false, false, false, true, false, false};

TEST(ReservationRecord, WeeklyRecordLayoutAndGridText) {
    const std::string record =
        BuildReservation(WeeklyField(kMonFri, {21, 0, 0}), WeeklyField(kMonFri, {22, 0, 0}),
                         {3, AfterActionKind::Standby, false, "  news.ts "});
    EXPECT_EQ(record,
              "W0111011   21:00:00W0111011   22:00:00"
              "0321"
              "news.ts");
    const auto r = ParseReservation(record);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->weekly);
    EXPECT_EQ(r->device, 3);
    EXPECT_EQ(r->action, AfterActionKind::Standby);
    EXPECT_FALSE(r->skip);
    EXPECT_EQ(r->name, "news.ts");
    EXPECT_EQ(ReservationText(r->start_field, true), "MoFr 21:00:00");
    EXPECT_EQ(ReservationText(r->end_field, true), "MoFr 22:00:00");
    EXPECT_EQ(ReservationText(r->start_field, false), "月金 21:00:00");
    const std::string every_day = WeeklyField({true, true, true, true, true, true, true}, {});
    EXPECT_EQ(ReservationText(every_day, true), "MoTuWeThFrSaSu 00:00:00");
}

TEST(ReservationRecord, OneTimeRecordAndStatusTexts) {
    const std::string record =
        BuildReservation(OneTimeField(T(2024, 3, 9, 21, 5, 7, 999)),
                         OneTimeField(T(2024, 3, 9, 22)), {0, AfterActionKind::None, true, ""});
    EXPECT_EQ(record,
              "2024/03/09 21:05:072024/03/09 22:00:00"
              "0000");
    EXPECT_EQ(ReservationText(record.substr(0, 19), true), "2024/03/09 21:05:07");
    EXPECT_EQ(StatusText(record, true), "");
    EXPECT_EQ(StatusText(WithStatus(record, RecordStatus::Running), true), "Run");
    EXPECT_EQ(StatusText(WithStatus(record, RecordStatus::Aborted), false), "中断");
    EXPECT_EQ(StatusText(WithStatus(record, RecordStatus::Done), true), "Done");
    EXPECT_TRUE(ParseReservation(record)->skip);
}

TEST(ReservationRecord, DeviceIndexOutsideOneDigitIsNeverShifted) {
    // No selected device (-1) or an index over 9 must not widen the device position.
    for (int device : {-1, 10, 42}) {
        const std::string record =
            BuildReservation(WeeklyField(kMonFri, {}), WeeklyField(kMonFri, {1, 0, 0}),
                             {device, AfterActionKind::PowerOff, false, "x"});
        const auto r = ParseReservation(record);
        ASSERT_TRUE(r) << device;
        EXPECT_EQ(r->device, 0);
        EXPECT_EQ(r->action, AfterActionKind::PowerOff);
        EXPECT_EQ(r->name, "x");
    }
}

TEST(ReservationRecord, RecordsThatAreNotWellFormed) {
    const std::string good =
        "2024/03/09 21:00:002024/03/09 22:00:00"
        "0011name";
    ASSERT_TRUE(IsWellFormed(good));
    const char* broken[] = {
        "",
        "2024/03/09 21:00:002024/03/09 22:00:00",      // short: no status and the rest
        "2024/03/09 21:00:002024/03/09 22:00:00X011",  // status not a digit
        "2024/03/09 21:00:002024/03/09 22:00:00"
        "5011",  // status not one of 0..3
        "2024/03/09 21:00:002024/03/09 22:00:00"
        "0X11",  // device not a digit
        "2024/03/09 21:00:002024/03/09 22:00:00"
        "0-1011",  // device -1 shifts the fields
        "2024/03/09 21:00:002024/03/09 22:00:00"
        "0071",  // action out of range
        "2024/03/09 21:00:002024/03/09 22:00:00"
        "0012",  // SKIP mark neither 0 nor 1
        "2024/02/30 21:00:002024/03/09 22:00:00"
        "0011",  // no such day
        "2024/03/09 24:00:002024/03/09 22:00:00"
        "0011",  // no such hour
        "W1111111   21:00:00W1111111   22:00:00"
        "0011",  // weekly without a day
        "W0111011   21:00:002024/03/09 22:00:00"
        "0011",  // fields of two kinds
        "W0111011  21:00:00 W0111011   22:00:00"
        "0011",  // blanks misplaced
    };
    for (const char* record : broken) {
        EXPECT_FALSE(IsWellFormed(record)) << record;
        EXPECT_FALSE(IsRunning(record)) << record;
    }
    // A hand-written "1" in a broken record locks nothing.
    EXPECT_FALSE(
        IsRunning("2024/03/09 21:00:002024/03/09 22:00:00"
                  "1X11"));
    EXPECT_TRUE(IsRunning(WithStatus(good, RecordStatus::Running)));
    // Rewriting the status of a record too short to have one changes nothing.
    EXPECT_EQ(WithStatus("W011", RecordStatus::Done), "W011");
}

TEST(ReservationRecord, StartedRecordCarriesStatusAndDevice) {
    const std::string record =
        "W0111011   21:00:00W0111011   22:00:00"
        "0321name";
    EXPECT_EQ(AsStarted(record, 5),
              "W0111011   21:00:00W0111011   22:00:00"
              "1521name");
}

TEST(ResolveReservationTime, WeeklyFieldOnChosenAndOtherDays) {
    const std::string field = WeeklyField(kMonFri, {21, 0, 0});
    // Wednesday: the coming Monday.
    EXPECT_EQ(ResolveReservationTime(field, T(2024, 3, 6, 12)), "2024/03/11 21:00:00");
    // Monday: that day, also after the time has passed.
    EXPECT_EQ(ResolveReservationTime(field, T(2024, 3, 4, 23, 59, 59)), "2024/03/04 21:00:00");
    // Friday is chosen too.
    EXPECT_EQ(ResolveReservationTime(field, T(2024, 3, 8, 1)), "2024/03/08 21:00:00");
    // Sunday: the next day, across a month end.
    EXPECT_EQ(ResolveReservationTime(field, T(2024, 3, 31, 10)), "2024/04/01 21:00:00");
    // Only Sunday chosen, seen on a Monday: six days ahead.
    const std::string sunday = WeeklyField({false, false, false, false, false, false, true}, {});
    EXPECT_EQ(ResolveReservationTime(sunday, T(2024, 3, 4)), "2024/03/10 00:00:00");
    // One-time fields are returned as they are; anything else has no time.
    EXPECT_EQ(ResolveReservationTime("2030/01/02 03:04:05", T(2024, 3, 4)), "2030/01/02 03:04:05");
    EXPECT_FALSE(ResolveReservationTime("W1111111   21:00:00", T(2024, 3, 4)));
    EXPECT_FALSE(ResolveReservationTime("garbage", T(2024, 3, 4)));
}

TEST(ResolveReservationTime, ScheduleWindowAcrossMidnight) {
    const WeekDays monday = {true, false, false, false, false, false, false};
    const std::string record =
        BuildReservation(WeeklyField(monday, {23, 30, 0}), WeeklyField(monday, {0, 30, 0}), {});
    const auto r = ParseReservation(record);
    ASSERT_TRUE(r);
    const auto w = ScheduleWindow(*r, TI(2024, 3, 4, 23, 45));
    ASSERT_TRUE(w);
    EXPECT_EQ(w->start, TI(2024, 3, 4, 23, 30));
    EXPECT_EQ(w->end, TI(2024, 3, 5, 0, 30));
    // On Tuesday after midnight Monday's window is still open: it is the one the schedule sees
    // (a start missed before midnight still comes in its window).
    EXPECT_EQ(ScheduleWindow(*r, TI(2024, 3, 5, 0, 10))->start, TI(2024, 3, 4, 23, 30));
    EXPECT_EQ(NextWindow(*r, TI(2024, 3, 5, 0, 10))->start, TI(2024, 3, 4, 23, 30));
    // Once it has closed, the next window is the next Monday's.
    EXPECT_EQ(ScheduleWindow(*r, TI(2024, 3, 5, 0, 30, 1))->start, TI(2024, 3, 11, 23, 30));
    const auto next = NextWindow(*r, TI(2024, 3, 5, 0, 30, 1));
    ASSERT_TRUE(next);
    EXPECT_EQ(next->start, TI(2024, 3, 11, 23, 30));
    EXPECT_EQ(NextWindow(*r, TI(2024, 3, 4, 23, 50))->start, TI(2024, 3, 4, 23, 30));
}

TEST(ResolveReservationTime, NextWindowSkipsTodaysEndedWindow) {
    const std::string record =
        BuildReservation(WeeklyField(kMonFri, {21, 0, 0}), WeeklyField(kMonFri, {22, 0, 0}), {});
    const auto r = ParseReservation(record);
    ASSERT_TRUE(r);
    EXPECT_EQ(NextWindow(*r, TI(2024, 3, 4, 21, 30))->start, TI(2024, 3, 4, 21));
    EXPECT_EQ(NextWindow(*r, TI(2024, 3, 4, 22, 0, 1))->start, TI(2024, 3, 8, 21));
}

}  // namespace
}  // namespace tessaline
