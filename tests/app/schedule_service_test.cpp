// SPDX-License-Identifier: GPL-3.0-or-later
// The timetable without a window (what `tessaline-cli schedule` runs), on the test's clock and a
// virtual deck: a day of reservations, edits arriving through the file, a file that breaks, what
// was missed, and the wake alarm when a power action sends the computer to sleep.
#include "app/schedule_service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "app/ini_file.h"
#include "capture/framework.h"
#include "capture/graph/graph_host.h"
#include "capture/virtual/virtual_deck.h"
#include "tests/support/test_support.h"

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

DateTime T(int y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0) {
    return DateTime(local_days(year_month_day{year(y), month(mo), day(d)}).time_since_epoch() +
                    hours(h) + minutes(mi) + seconds(s));
}

struct RecordedPower final : PowerActions {
    std::vector<std::string>* events;
    void SystemShutdown() override { events->push_back("shutdown"); }
    void SystemStandby() override { events->push_back("standby"); }
    void SystemHibernate() override { events->push_back("hibernate"); }
    void SystemPowerOff() override { events->push_back("power off"); }
};

class ScheduleServiceTest : public ::testing::Test {
  protected:
    ScheduleServiceTest() {
        power.events = &events;
        VirtualDeckConfig c;
        c.file = test::SamplePath("sample-sd-192.ts").string();
        c.tape_file = (dir / "deck.tape").string();
        c.power = ED_POWER_STANDBY;
        c.fast = true;
        deck = framework.AddDeck(std::make_shared<VirtualDeck>(c));
        test::WriteFile(rtc, {'0', '\n'});
    }

    void WriteSettings(const std::string& reservations) {
        const std::string text = "[Capture]\nDevice=0\nSaveDir=" + (out.path() / "").string() +
                                 "\nTrimPacket=0\nTS192_EXT=.ts\n" + reservations;
        // As the window saves: a new file renamed over the old one.
        test::WriteFile(dir / "next.INI", test::Bytes(text.begin(), text.end()));
        fs::rename(dir / "next.INI", ini);
    }
    std::string Stored(int number) {
        return ReadIniFile(ini).file.Get("Capture", ReserveKey(number)).value_or("<missing>");
    }
    void Make() {
        ScheduleServiceOptions o;
        o.settings_path = ini;
        o.default_folder = (out.path() / "").string();
        service = std::make_unique<ScheduleService>(
            framework, clock, power, alarm,
            [this](const std::string& line) {
                log.push_back(FormatDateTime(clock.Now()) + " " + line);
            },
            o);
    }
    // Ticks every second up to and including until.
    void RunUntil(DateTime until) {
        while (clock.Now() < until) {
            clock.Advance(seconds(1));
            service->Tick();
        }
    }
    bool Logged(const std::string& text) const {
        return std::any_of(log.begin(), log.end(), [&](const std::string& l) {
            return l.find(text) != std::string::npos;
        });
    }
    std::string Log() const {
        std::string all;
        for (const auto& l : log) all += l + "\n";
        return all;
    }
    std::string RtcText() const {
        const test::Bytes b = test::ReadFile(rtc);
        return std::string(b.begin(), b.end());
    }

    test::TempDir dir;
    test::TempDir out;
    fs::path ini = dir / "tessaline.INI";
    fs::path rtc = dir / "wakealarm";
    GraphHost framework;
    std::shared_ptr<VirtualDeck> deck;
    ManualClock clock{T(2024, 3, 9, 9, 58)};  // a Saturday
    std::vector<std::string> events;
    RecordedPower power;
    std::vector<std::string> log;
    WakeAlarm alarm{rtc, false, [this](const std::string& l) { log.push_back(l); }};
    std::unique_ptr<ScheduleService> service;
};

TEST_F(ScheduleServiceTest, ADayOfReservations) {
    const std::string a = "2024/03/09 10:00:002024/03/09 10:30:00" "0001a";
    const std::string b = "2024/03/09 10:20:002024/03/09 11:00:00" "0001b";  // overlaps a
    const std::string weekly = "W1111101   12:00:00W1111101   12:10:00" "0001w";  // Saturdays
    const std::string skip = "2024/03/09 13:00:002024/03/09 13:10:00" "0000s";
    const std::string night = "2024/03/09 20:00:002024/03/09 20:05:00" "0021p";  // then standby
    const std::string missed = "2024/03/08 20:00:002024/03/08 21:00:00" "0001gone";
    WriteSettings("Reserve01=" + missed + "\nReserve02=" + a + "\nReserve03=" + b +
                  "\nReserve04=" + skip + "\nReserve05=" + night + "\nReserve06=" + weekly + "\n");
    Make();
    ASSERT_TRUE(service->Begin());
    EXPECT_TRUE(Logged("missed: 2024/03/08 20:00:00 - 2024/03/08 21:00:00 \"gone\"")) << Log();

    RunUntil(T(2024, 3, 9, 9, 59, 58));
    EXPECT_EQ(deck->power(), ED_POWER_ON);  // PowerOnSec 2
    EXPECT_TRUE(Logged("09:59:58 deck on: deck 0 for 2024/03/09 10:00:00")) << Log();
    RunUntil(T(2024, 3, 9, 10));
    ASSERT_TRUE(service->Recording());
    // The service writes the running status at once, for the window and `reservations`.
    EXPECT_EQ(Stored(2), WithStatus(a, RecordStatus::Running));

    RunUntil(T(2024, 3, 9, 10, 30, 2));  // the first tick after the end plus one second
    EXPECT_EQ(Stored(2), WithStatus(a, RecordStatus::Done));
    EXPECT_FALSE(service->Recording());
    EXPECT_EQ(deck->power(), ED_POWER_ON);  // b follows within 5 seconds
    // b's window is still open: it starts at the next tick.
    RunUntil(T(2024, 3, 9, 10, 30, 3));
    ASSERT_TRUE(service->Recording());
    EXPECT_EQ(Stored(3), WithStatus(b, RecordStatus::Running));
    RunUntil(T(2024, 3, 9, 11, 1));
    EXPECT_EQ(Stored(3), WithStatus(b, RecordStatus::Done));
    EXPECT_FALSE(service->Recording());

    RunUntil(T(2024, 3, 9, 12, 11));
    EXPECT_TRUE(Logged("status: Sa 12:00:00 - Sa 12:10:00 \"w\" Run -> Done")) << Log();
    RunUntil(T(2024, 3, 9, 12, 12));
    EXPECT_EQ(Stored(6), weekly);  // re-armed for next Saturday
    RunUntil(T(2024, 3, 9, 19, 59));
    EXPECT_EQ(Stored(4), skip);
    EXPECT_FALSE(Logged("\"s\"")) << Log();

    EXPECT_TRUE(events.empty());
    RunUntil(T(2024, 3, 9, 20, 10));
    EXPECT_EQ(Stored(5), WithStatus(night, RecordStatus::Done));
    // The power action, with the wake alarm set before it for next Saturday's weekly one.
    EXPECT_EQ(events, std::vector<std::string>{"standby"});
    EXPECT_EQ(RtcText(),
              std::to_string(EpochSeconds(ToInstant(T(2024, 3, 16, 11, 57, 58)))) + "\n");
    EXPECT_TRUE(Logged("power action: standby")) << Log();
    EXPECT_TRUE(Logged("wake alarm: 2024/03/16 11:57:58")) << Log();

    for (const char* name : {"a0001.ts", "b0001.ts", "w0001.ts", "p0001.ts"}) {
        EXPECT_TRUE(fs::exists(out / name)) << name << "\n" << Log();
    }
    EXPECT_FALSE(fs::exists(out / "s0001.ts"));
    EXPECT_EQ(Stored(1), missed);  // kept as it stands
}

// A reservation's name that is no file name as it stands records inside the save folder all the
// same, and ends Done with its name stored as it was typed.
TEST_F(ScheduleServiceTest, NameWithASlashRecordsInsideTheSaveFolder) {
    const std::string r =
        "2024/03/09 10:00:002024/03/09 10:30:00"
        "0001AC/DC live";
    WriteSettings("Reserve01=" + r + "\n");
    Make();
    ASSERT_TRUE(service->Begin());
    RunUntil(T(2024, 3, 9, 10));
    ASSERT_TRUE(service->Recording()) << Log();
    const fs::path file = out / "AC_DC live0001.ts";
    const auto deadline = steady_clock::now() + 60s;
    std::error_code ec;
    while (fs::file_size(file, ec) == 0 || ec) {  // the deck plays on its own thread
        ASSERT_LT(steady_clock::now(), deadline);
        std::this_thread::sleep_for(1ms);
    }
    RunUntil(T(2024, 3, 9, 10, 30, 2));
    EXPECT_FALSE(service->Recording());
    EXPECT_EQ(Stored(1), WithStatus(r, RecordStatus::Done));
    EXPECT_TRUE(fs::exists(file)) << Log();
    EXPECT_FALSE(fs::exists(out / "AC")) << Log();
}

// A reservation with standby 70 s before the next one: there is no time to sleep and wake for it
// (the next start less PowerOnSec and the boot margin is not a minute away), so no standby, and
// the log says why; the next one records.
TEST_F(ScheduleServiceTest, NoPowerActionWhenTheNextReservationIsTooClose) {
    const std::string first = "2024/03/09 10:00:002024/03/09 10:30:00" "0021first";
    const std::string next = "2024/03/09 10:31:102024/03/09 10:40:00" "0001next";
    WriteSettings("Reserve01=" + first + "\nReserve02=" + next + "\n");
    Make();
    ASSERT_TRUE(service->Begin());
    RunUntil(T(2024, 3, 9, 10, 30, 5));
    EXPECT_EQ(Stored(1), WithStatus(first, RecordStatus::Done));
    EXPECT_TRUE(events.empty()) << Log();
    EXPECT_TRUE(Logged("power action standby not made: the next reservation starts at "
                       "2024/03/09 10:31:10, too soon to sleep and wake for it"))
        << Log();
    EXPECT_EQ(RtcText(), "0\n");  // no alarm set
    RunUntil(T(2024, 3, 9, 10, 31, 10));
    EXPECT_TRUE(service->Recording());
}

TEST_F(ScheduleServiceTest, EndStopsLikeTheWindowsCloseAndSetsTheWakeAlarm) {
    const std::string now_on = "2024/03/09 10:00:002024/03/09 11:00:00" "0041";  // then power off
    const std::string later = "2024/03/10 08:00:002024/03/10 09:00:00" "0001";
    WriteSettings("Reserve01=" + now_on + "\nReserve02=" + later + "\n");
    Make();
    ASSERT_TRUE(service->Begin());
    RunUntil(T(2024, 3, 9, 10, 5));
    ASSERT_TRUE(service->Recording());
    service->End();
    EXPECT_FALSE(service->Recording());
    EXPECT_EQ(Stored(1), WithStatus(now_on, RecordStatus::Aborted));
    EXPECT_TRUE(events.empty());  // never a power action when ending
    EXPECT_EQ(RtcText(), std::to_string(EpochSeconds(ToInstant(T(2024, 3, 10, 7, 57, 58)))) + "\n");
    int recorded = 0;
    for (const auto& e : fs::directory_iterator(out.path())) recorded += e.path().extension() == ".ts";
    EXPECT_EQ(recorded, 1) << Log();  // closed and kept
    service->Tick();  // nothing after the end
    EXPECT_FALSE(service->Recording());
}

TEST_F(ScheduleServiceTest, EditsThroughTheFileAndAFileThatBreaks) {
    const std::string first = "2024/03/09 10:00:002024/03/09 10:30:00" "0001first";
    WriteSettings("Reserve01=" + first + "\n");
    Make();
    ASSERT_TRUE(service->Begin());
    RunUntil(T(2024, 3, 9, 10, 1));
    ASSERT_TRUE(service->Recording());

    // The window saves an edit while the file still says the running record waits (its change to
    // running had not reached the file there): the record stays running and ends done.
    const std::string added = "2024/03/09 11:00:002024/03/09 11:10:00" "0001added";
    WriteSettings("Reserve01=" + first + "\nReserve02=" + added + "\n");
    RunUntil(T(2024, 3, 9, 10, 2));
    EXPECT_TRUE(Logged("timetable changed")) << Log();
    RunUntil(T(2024, 3, 9, 10, 31));
    EXPECT_EQ(Stored(1), WithStatus(first, RecordStatus::Done));
    EXPECT_FALSE(service->Recording());

    // The file becomes unreadable: the last good list runs on and the file is never written.
    fs::remove(ini);
    fs::create_directory(ini);
    RunUntil(T(2024, 3, 9, 11, 0, 30));
    EXPECT_TRUE(service->Recording());  // "added", from the last good list
    EXPECT_TRUE(Logged("keeping the last good timetable")) << Log();
    RunUntil(T(2024, 3, 9, 11, 11));
    EXPECT_FALSE(service->Recording());
    EXPECT_TRUE(Logged("not writing the timetable into " + ini.string())) << Log();
    EXPECT_TRUE(fs::is_directory(ini));

    // Readable again: read, and written from then on.
    fs::remove(ini);
    const std::string next = "2024/03/09 12:00:002024/03/09 12:10:00" "0001next";
    WriteSettings("Reserve01=" + next + "\n");
    RunUntil(T(2024, 3, 9, 12, 11));
    EXPECT_EQ(Stored(1), WithStatus(next, RecordStatus::Done));
}

// The settings file deleted while the service runs is not an empty timetable: the last good one
// runs on, no file is made in its place, and when it comes back it is read again and told what
// happened meanwhile. A reservation whose time passed unrun is said once, not at every tick.
TEST_F(ScheduleServiceTest, ADeletedFileIsNotAnEmptyTimetableAndAMissIsSaidOnce) {
    const std::string missed = "2024/03/09 09:00:002024/03/09 09:30:00" "0001missed";
    const std::string later = "2024/03/09 10:00:002024/03/09 10:05:00" "0001later";
    WriteSettings("Reserve01=" + missed + "\nReserve02=" + later + "\n");
    Make();
    ASSERT_TRUE(service->Begin());
    fs::remove(ini);
    RunUntil(T(2024, 3, 9, 10, 1));
    EXPECT_TRUE(service->Recording()) << Log();
    EXPECT_TRUE(Logged("it is gone")) << Log();
    RunUntil(T(2024, 3, 9, 10, 6));
    EXPECT_FALSE(service->Recording());
    EXPECT_FALSE(fs::exists(ini));
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& l) {
                                return l.find("missed: ") != std::string::npos;
                            }),
              1)
        << Log();

    // Back as it was before: read again, and the status of what ran meanwhile written into it.
    WriteSettings("Reserve01=" + missed + "\nReserve02=" + later + "\n");
    RunUntil(T(2024, 3, 9, 10, 8));
    EXPECT_TRUE(Logged("reading " + ini.string() + " again")) << Log();
    EXPECT_EQ(Stored(2), WithStatus(later, RecordStatus::Done)) << Log();
    EXPECT_EQ(Stored(1), missed);
}

TEST_F(ScheduleServiceTest, MissingDeckAbortsAndUnreadableFileEndsTheStart) {
    fs::create_directory(ini);
    Make();
    EXPECT_FALSE(service->Begin());
    EXPECT_TRUE(Logged("cannot read " + ini.string())) << Log();
    fs::remove(ini);

    const std::string r = "2024/03/09 10:00:002024/03/09 10:30:00" "0031";  // then hibernate
    WriteSettings("Reserve01=" + r + "\n");
    log.clear();
    Make();
    ASSERT_TRUE(service->Begin());
    framework.Fail(GraphOp::Run, kE_FAIL);  // the deck does not answer any more
    RunUntil(T(2024, 3, 9, 10, 1));
    EXPECT_FALSE(service->Recording());
    EXPECT_EQ(Stored(1), WithStatus(r, RecordStatus::Aborted));
    EXPECT_TRUE(Logged("status: 2024/03/09 10:00:00 - 2024/03/09 10:30:00 waiting -> Abort"))
        << Log();
    EXPECT_TRUE(Logged("error: ")) << Log();  // what the deck said
    EXPECT_TRUE(events.empty());
}

}  // namespace
}  // namespace tessaline
