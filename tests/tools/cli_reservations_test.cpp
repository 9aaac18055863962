// tessaline-cli reservations: the timetable from a settings file, as text and as JSON.
#include <gtest/gtest.h>

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
          "\"name\":\"news.ts\",\"next_start\":\"2024/03/09 21:00:00\"",
          "\"power_action\":\"standby\"", "\"will_run\":false}", "\"start\":\"MoFr 23:30:00\"",
          "\"status_text\":\"Done\"", "\"skip\":true", "\"well_formed\":false"}) {
        EXPECT_NE(r.output.find(key), std::string::npos) << key << " in " << r.output;
    }
    r = Run("--json --at \"2024/03/06 12:00:00\"");
    EXPECT_NE(r.output.find("\"name\":\"news.ts\",\"next_start\":\"2024/03/09 21:00:00\","
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

}  // namespace
}  // namespace tessaline
