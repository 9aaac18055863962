// tessaline-cli reservations and schedule: the timetable from a settings file, as text and as
// JSON, and run without a window.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>

#include "recording/clock.h"
#include "recording/reservation_record.h"
#include "recording/timetable_lock.h"
#include "tests/support/test_support.h"

namespace tessaline {
namespace {

using test::RunCommand;
using test::ShellQuote;

struct CliReservations : ::testing::Test {
    test::TempDir dir;
    std::filesystem::path ini = dir / "tessaline.INI";
    void Write(const std::string& text) {
        test::WriteFile(ini, test::Bytes(text.begin(), text.end()));
    }
    test::CommandResult Run(const std::string& args) {
        return RunCommand(std::string(TESSALINE_CLI) + " reservations --ini " +
                          ShellQuote(ini.string()) + " " + args + " 2>&1");
    }
};

const char* kTimetable =
    "[Capture]\n"
    "MaxReserve=4\n"
    "Reserve01=2024/03/09 21:00:002024/03/09 22:00:00"
    "0021news.ts\n"
    "Reserve02=W0111011   23:30:00W0111011   00:30:00"
    "3100\n"
    "Reserve03=W0111011   2\n"
    "Reserve05=2024/03/10 21:00:002024/03/10 22:00:00"
    "0001beyond\n";

TEST_F(CliReservations, TextShowsTheGridAndWhatRunsNext) {
    Write(kTimetable);
    // 2024-03-06 is a Wednesday: the weekly record next runs on Friday, across midnight.
    const auto r = Run("--english --at \"2024/03/06 12:00:00\"");
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("(3 of 4)"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("next 2024/03/09 21:00:00 - 2024/03/09 22:00:00  deck 0  then standby"
                            "  \"news.ts\""),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("MoFr 23:30:00"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Done"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("next 2024/03/08 23:30:00 - 2024/03/09 00:30:00  SKIP  deck 1"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("W0111011   2"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("not well formed"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("beyond"), std::string::npos) << r.output;  // beyond MaxReserve
}

TEST_F(CliReservations, JsonForScripts) {
    Write(kTimetable);
    auto r = Run("--json --english --at \"2024/03/09 22:30:00\"");
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(r.output.front(), '{');
    for (const char* key :
         {"\"max_reserve\":4", "\"now\":\"2024/03/09 22:30:00\"",
          "\"name\":\"news.ts\",\"state\":\"missed\",\"missed\":true,"
          "\"next_start\":\"2024/03/09 21:00:00\"",
          "\"power_action\":\"standby\"", "\"will_run\":false}", "\"start\":\"MoFr 23:30:00\"",
          "\"status_text\":\"Done\"", "\"skip\":true", "\"well_formed\":false"}) {
        EXPECT_NE(r.output.find(key), std::string::npos) << key << " in " << r.output;
    }
    r = Run("--json --at \"2024/03/06 12:00:00\"");
    EXPECT_NE(r.output.find("\"name\":\"news.ts\",\"state\":\"waiting\",\"missed\":false,"
                            "\"next_start\":\"2024/03/09 21:00:00\","
                            "\"next_end\":\"2024/03/09 22:00:00\",\"will_run\":true}"),
              std::string::npos)
        << r.output;
}

TEST_F(CliReservations, EmptyMissingAndBadInput) {
    auto r = Run("--english");
    EXPECT_EQ(r.exit_code, 0) << r.output;  // no file: an empty timetable
    EXPECT_NE(r.output.find("(0 of 30)"), std::string::npos) << r.output;
    r = Run("--at tomorrow");
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.output.find("--at takes"), std::string::npos) << r.output;
    r = Run("--frobnicate");
    EXPECT_EQ(r.exit_code, 2);
    // A file far larger than any settings file is not read: an error, not an empty timetable.
    std::string huge = kTimetable;
    huge += std::string(5u << 20, ';');
    Write(huge);
    r = Run("--english");
    EXPECT_EQ(r.exit_code, 1) << r.output.substr(0, 500);
    EXPECT_NE(r.output.find("cannot read " + ini.string() + ": "), std::string::npos)
        << r.output.substr(0, 500);
    EXPECT_NE(r.output.find("too large"), std::string::npos) << r.output.substr(0, 500);
    EXPECT_EQ(r.output.find("(0 of"), std::string::npos) << r.output.substr(0, 500);
    std::filesystem::remove(ini);
    std::filesystem::create_directory(ini);
    r = Run("");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.output.find("cannot read"), std::string::npos) << r.output;
}

TEST_F(CliReservations, WhatTheScheduleWillRunStoredStatusesAndMisses) {
    const std::string weekly_aborted =
        "W1111101   21:00:00W1111101   22:00:00"
        "2001";  // Saturdays, stopped by hand today
    const std::string running =
        "2024/03/09 20:00:002024/03/09 23:00:00"
        "1001live";
    const std::string missed =
        "2024/03/08 20:00:002024/03/08 21:00:00"
        "0001gone";
    Write("[Capture]\nReserve01=" + missed + "\nReserve02=" + running +
          "\nReserve03=" + weekly_aborted + "\n");
    // Saturday 2024-03-09 21:30, inside the weekly record's window.
    auto r = Run("--english --at \"2024/03/09 21:30:00\"");
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("timetable run by: nobody"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Sa 21:00:00            Sa 22:00:00            Abort   next "
                            "2024/03/16 21:00:00 - 2024/03/16 22:00:00  deck 0"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("Run     next 2024/03/09 20:00:00 - 2024/03/09 23:00:00  "
                            "interrupted: no program runs the timetable  will not run"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("missed  will not run  deck 0  \"gone\""), std::string::npos)
        << r.output;

    r = Run("--json --english --at \"2024/03/09 21:30:00\"");
    ASSERT_EQ(r.exit_code, 0) << r.output;
    for (const std::string& key : std::vector<std::string>{
             "\"runner\":\"nobody\"", "\"record\":\"" + running + "\"",
             "\"status_text\":\"Run\",\"weekly\":false,\"status\":1",
             "\"state\":\"interrupted\",\"missed\":false",
             "\"name\":\"gone\",\"state\":\"missed\",\"missed\":true",
             "\"state\":\"aborted\",\"missed\":false,\"next_start\":\"2024/03/16 21:00:00\","
             "\"next_end\":\"2024/03/16 22:00:00\",\"will_run\":true"}) {
        EXPECT_NE(r.output.find(key), std::string::npos) << key << " in " << r.output;
    }
    // Listing never writes: the running record stays as stored.
    EXPECT_NE(test::ReadFile(ini).size(), 0u);
    const test::Bytes stored = test::ReadFile(ini);
    EXPECT_NE(std::string(stored.begin(), stored.end()).find("Reserve02=" + running),
              std::string::npos);

    // While a program runs the timetable, its record is running, not interrupted.
    TimetableLock window(TimetableLockPath(ini));
    ASSERT_TRUE(window.TryAcquire(TimetableRunner::Window));
    r = Run("--json --english --at \"2024/03/09 21:30:00\"");
    EXPECT_NE(r.output.find("\"runner\":\"window\""), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\"state\":\"running\""), std::string::npos) << r.output;
}

TEST_F(CliReservations, ScheduleWaitsForTheWindowOrSaysSo) {
    Write("[Capture]\n");
    TimetableLock window(TimetableLockPath(ini));
    ASSERT_TRUE(window.TryAcquire(TimetableRunner::Window));
    auto r = RunCommand(std::string(TESSALINE_CLI) + " schedule --no-wait --ini " +
                        ShellQuote(ini.string()) + " 2>&1");
    EXPECT_EQ(r.exit_code, 3) << r.output;
    EXPECT_NE(r.output.find("the window runs the timetable of " + ini.string()), std::string::npos)
        << r.output;
    r = RunCommand(std::string(TESSALINE_CLI) + " schedule --wake-margin soon 2>&1");
    EXPECT_EQ(r.exit_code, 2) << r.output;
}

// What /tmp holds that our programs could have made: named after the program (but not a test
// run's own folder, which other build trees make and remove meanwhile), or Qt's fallback runtime
// folder.
std::set<std::string> OursInTmp() {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/tmp", ec)) {
        const std::string name = entry.path().filename().string();
        if ((name.starts_with("tessaline") && !name.starts_with("tessaline-run-")) ||
            name.starts_with("runtime-")) {
            names.insert(name);
        }
    }
    return names;
}

// Started as cron starts it (no runtime folder, no TMPDIR), the service keeps its lock in the
// user's own folder: nothing of ours appears in /tmp, whether it runs the timetable or finds
// another service running it and ends at once.
TEST_F(CliReservations, ScheduleWithoutARuntimeFolderLeavesNothingInTmp) {
    Write("[Capture]\n");
    const std::set<std::string> before = OursInTmp();
    const std::filesystem::path log = dir / "first.log";
    const std::string schedule = "env -u XDG_RUNTIME_DIR -u TMPDIR TESSALINE_POWER=dry-run " +
                                 std::string("TESSALINE_RTC=") +
                                 ShellQuote((dir / "rtc").string()) + " " + TESSALINE_CLI +
                                 " schedule --english --no-wait --ini " + ShellQuote(ini.string());
    const auto r = RunCommand(schedule + " 2>" + ShellQuote(log.string()) +
                              " & pid=$!; i=0; "
                              "until grep -q 'running the timetable' " +
                              ShellQuote(log.string()) +
                              " || [ $i -ge 600 ]; do sleep 0.1; i=$((i+1)); done; " + schedule +
                              " 2>&1; echo \"second=$?\"; kill -TERM $pid; wait $pid; "
                              "echo \"first=$?\"");
    const test::Bytes bytes = test::ReadFile(log);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(r.output.find("second=3"), std::string::npos) << r.output << text;
    EXPECT_NE(r.output.find("first=0"), std::string::npos) << r.output << text;
    std::set<std::string> left;
    for (const std::string& name : OursInTmp()) {
        if (!before.contains(name)) left.insert(name);
    }
    EXPECT_EQ(left, std::set<std::string>{}) << "left in /tmp";
}

// Two services on one settings file, one started with a runtime folder in its environment and
// one without (as cron starts it): the second finds the first's lock and ends with 3, and the
// reservation is recorded once.
TEST_F(CliReservations, SecondServiceFromAnotherEnvironmentFindsTheFirst) {
    using namespace std::chrono;
    test::TempDir out;
    const DateTime now = floor<seconds>(SystemClock().Now());
    const std::string soon =
        OneTimeField(now + seconds(4)) + OneTimeField(now + seconds(6)) + "0001added";
    Write("[Capture]\nSaveDir=" + (out.path() / "").string() +
          "\nTrimPacket=0\nTS192_EXT=.ts\nReserve01=" + soon + "\n");
    const std::filesystem::path log = dir / "first.log";
    const std::string deck =
        "TESSALINE_VIRTUAL_DECK=" + ShellQuote(test::SamplePath("sample-sd-192.ts").string()) +
        " TESSALINE_VIRTUAL_PACE=fast TESSALINE_POWER=dry-run ";
    const std::string schedule =
        std::string(TESSALINE_CLI) + " schedule --english --ini " + ShellQuote(ini.string());
    const std::string command = "XDG_RUNTIME_DIR=" + ShellQuote((dir / "run").string()) + " " +
                                deck + schedule + " 2>" + ShellQuote(log.string()) +
                                " & pid=$!; i=0; "
                                "until grep -q 'running the timetable' " +
                                ShellQuote(log.string()) +
                                " || [ $i -ge 600 ]; do sleep 0.1; i=$((i+1)); done; "
                                "env -u XDG_RUNTIME_DIR " +
                                deck + schedule +
                                " --no-wait 2>&1; echo \"second=$?\"; "
                                "until grep -q 'status: .* Run -> Done' " +
                                ShellQuote(log.string()) +
                                " || [ $i -ge 1200 ]; do sleep 0.1; i=$((i+1)); done; "
                                "kill -TERM $pid; wait $pid; echo \"first=$?\"";
    const auto r = RunCommand(command);
    const test::Bytes bytes = test::ReadFile(log);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(r.output.find("second=3"), std::string::npos) << r.output << text;
    EXPECT_NE(r.output.find("the service runs the timetable of " + ini.string()), std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("first=0"), std::string::npos) << r.output << text;
    int recorded = 0;
    for (const auto& e : std::filesystem::directory_iterator(out.path())) {
        recorded += e.path().extension() == ".ts";
    }
    EXPECT_EQ(recorded, 1) << text;
    EXPECT_TRUE(std::filesystem::exists(out / "added0001.ts")) << text;
}

// The real command on the virtual deck: a reservation a few seconds ahead is recorded, stopped at
// its end and followed by its power action (printed), with the wake alarm set first for the next
// reservation; SIGTERM then ends the service.
TEST_F(CliReservations, ScheduleRecordsAReservationOnTheVirtualDeck) {
    using namespace std::chrono;
    test::TempDir out;
    const DateTime now = floor<seconds>(SystemClock().Now());
    const std::string soon = OneTimeField(now + seconds(3)) + OneTimeField(now + seconds(8)) +
                             "0021live";  // then standby
    const DateTime tomorrow = floor<days>(now) + days(1) + hours(6);
    const std::string next = OneTimeField(tomorrow) + OneTimeField(tomorrow + hours(1)) + "0001";
    Write("[Capture]\nSaveDir=" + (out.path() / "").string() +
          "\nTrimPacket=0\nTS192_EXT=.ts\nReserve01=" + soon + "\nReserve02=" + next + "\n");
    const std::filesystem::path log = dir / "schedule.log";
    const std::string command =
        "TESSALINE_VIRTUAL_DECK=" + ShellQuote(test::SamplePath("sample-sd-192.ts").string()) +
        " TESSALINE_VIRTUAL_PACE=fast TESSALINE_POWER=dry-run " + TESSALINE_CLI +
        " schedule --english --ini " + ShellQuote(ini.string()) + " 2>" + ShellQuote(log.string()) +
        " & pid=$!; i=0; "
        // Bounded: at most two minutes, however slow the machine is today.
        "until grep -q 'power action: standby (dry run)' " +
        ShellQuote(log.string()) +
        " || [ $i -ge 1200 ]; do sleep 0.1; i=$((i+1)); done; "
        "kill -TERM $pid; wait $pid; echo \"exit=$?\"";
    const auto r = RunCommand(command);
    const test::Bytes bytes = test::ReadFile(log);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(r.output.find("exit=0"), std::string::npos) << r.output << text;
    EXPECT_NE(text.find("timetable run by: service"), std::string::npos) << text;
    EXPECT_NE(text.find("start: " + (out.path() / "live0001.ts").string()), std::string::npos)
        << text;
    EXPECT_NE(text.find("stop: " + (out.path() / "live0001.ts").string()), std::string::npos)
        << text;
    const DateTime wake = tomorrow - seconds(2) - seconds(120);
    const size_t alarm = text.find("wake alarm: " + FormatDateTime(wake) + " (dry run)");
    const size_t action = text.find("power action: standby (dry run)");
    ASSERT_NE(alarm, std::string::npos) << text;
    EXPECT_LT(alarm, action) << text;
    EXPECT_NE(text.find(" ended"), std::string::npos) << text;
    EXPECT_EQ(test::ReadFile(out / "live0001.ts"),
              test::ReadFile(test::SamplePath("sample-sd-192.ts")));
    const test::Bytes ini_bytes = test::ReadFile(ini);
    EXPECT_NE(std::string(ini_bytes.begin(), ini_bytes.end())
                  .find("Reserve01=" + WithStatus(soon, RecordStatus::Done)),
              std::string::npos);
}

}  // namespace
}  // namespace tessaline
