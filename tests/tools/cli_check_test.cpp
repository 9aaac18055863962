// SPDX-License-Identifier: GPL-3.0-or-later
// tessaline-cli check on files with known damage: exit codes, the JSON a script reads, continuity
// errors equal to what an independent counter finds, and the reports it writes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/json_value.h"
#include "tests/support/synthetic_stream.h"
#include "tests/support/test_support.h"

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::Json;
using test::RunCommand;
using test::ShellQuote;

std::string Check(const std::string& args) {
    return ShellQuote(TESSALINE_CLI) + " check " + args;
}

// Standard output alone, for --json.
test::CommandResult CheckJson(const std::string& args) {
    return RunCommand("(" + Check("--json " + args) + " 2>/dev/null)");
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(CliCheck, SoundFilesPass) {
    std::string files;
    for (const char* name :
         {"sample-sd.ts", "sample-sd-192.ts", "sample-hd-192.ts", "sample-ac3.ts"}) {
        files += " " + ShellQuote(test::SamplePath(name).string());
    }
    const auto text = RunCommand(Check(files));
    EXPECT_EQ(text.exit_code, 0) << text.output;
    EXPECT_TRUE(
        Contains(text.output, "sample-hd-192.ts: pass, 3.029 s, 12086 packets of 192 bytes"))
        << text.output;
    const auto r = CheckJson(files);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const Json j = Json::Parse(r.output);
    EXPECT_EQ(j["version"].number(), 1);
    ASSERT_EQ(j["recordings"].size(), 4u);
    EXPECT_EQ(j["unchecked"].size(), 0u);
    for (size_t i = 0; i < 4; ++i) {
        const Json& rec = j["recordings"][i];
        EXPECT_EQ(rec["verdict"].string(), "pass") << rec["file"].string();
        EXPECT_EQ(rec["cc_errors"].number(), 0);
        const auto sum = RunCommand("sha256sum " + ShellQuote(rec["file"].string()));
        EXPECT_EQ(rec["sha256"].string(), sum.output.substr(0, 64));
    }
    EXPECT_EQ(j["recordings"][2]["bitrate"]["dvhs_mode"].string(), "LS2");
}

// Runs of packets dropped from each sample: the verdict, and continuity errors exactly as an
// independent counter counts them.
TEST(CliCheck, DroppedRunsAreCountedExactly) {
    test::TempDir dir;
    for (const auto& [name, size] :
         {std::pair{"sample-sd.ts", 188}, std::pair{"sample-hd-192.ts", 192}}) {
        Bytes bytes = test::ReadFile(test::SamplePath(name));
        // More than half a second apart, so that each is a dropout of its own.
        bytes = test::DropPackets(bytes, size, 8000, 1196);
        bytes = test::DropPackets(bytes, size, 4000, 17);
        bytes = test::DropPackets(bytes, size, 1000, 50);
        const fs::path damaged = dir / (std::string("damaged-") + name);
        test::WriteFile(damaged, bytes);
        const auto r = CheckJson(ShellQuote(damaged.string()));
        ASSERT_EQ(r.exit_code, 1) << r.output;
        const Json rec = Json::Parse(r.output)["recordings"][0];
        const size_t expected = test::CountContinuityErrors(bytes, size);
        EXPECT_GT(expected, 3u) << name;
        EXPECT_EQ(rec["cc_errors"].number(), double(expected)) << name;
        EXPECT_EQ(rec["dropouts"].size(), 3u) << name;
        EXPECT_NE(rec["verdict"].string(), "pass");
        // The long run is measured by the stream's clock: about a second's worth at 6 Mbit/s.
        if (size == 192) {
            const Json& d = rec["dropouts"][2];
            EXPECT_EQ(d["packets_lost_from"].string(), "clock");
            EXPECT_NEAR(d["packets_lost"].number(), 1196, 5);
            EXPECT_NEAR(d["duration"].number(), 0.3, 0.01);
        }
    }
}

TEST(CliCheck, FilesThatCannotBeCheckedAreSaidAndExitTwo) {
    test::TempDir dir;
    test::WriteFile(dir / "empty.ts", {});
    Bytes junk(100000);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = uint8_t(i * 7919 >> 3);
    test::WriteFile(dir / "junk.ts", junk);
    Bytes ps = {0x00, 0x00, 0x01, 0xBA, 0x44};
    ps.resize(5000, 0);
    test::WriteFile(dir / "program.mpg", ps);
    const std::string good = ShellQuote(test::SamplePath("sample-sd.ts").string());
    for (const std::string name : {"empty.ts", "junk.ts", "program.mpg", "missing.ts", "."}) {
        const std::string path = (dir / name).string();
        const auto r = RunCommand(Check(ShellQuote(path) + " " + good));
        EXPECT_EQ(r.exit_code, 2) << name << ": " << r.output;
        EXPECT_TRUE(Contains(r.output, "cannot check " + path)) << r.output;
        EXPECT_TRUE(Contains(r.output, "sample-sd.ts: pass")) << r.output;  // the rest is checked
    }
    EXPECT_TRUE(Contains(RunCommand(Check(ShellQuote((dir / "program.mpg").string()))).output,
                         "program stream, not a transport stream"));
    const auto j = CheckJson(ShellQuote((dir / "junk.ts").string()) + " " + good);
    EXPECT_EQ(j.exit_code, 2);
    const Json doc = Json::Parse(j.output);
    EXPECT_EQ(doc["recordings"].size(), 1u);
    EXPECT_EQ(doc["unchecked"][0]["error"].string(), "no transport stream packets found");

    for (const std::string usage : {"", "--json", "--report", "--bogus x.ts"}) {
        EXPECT_EQ(RunCommand(Check(usage)).exit_code, 2) << usage;
    }
    EXPECT_EQ(RunCommand(Check("--help")).exit_code, 0);
}

TEST(CliCheck, ReportsWrittenIntoAFolderNeverReplaceOne) {
    test::TempDir dir;
    const fs::path out = dir / "reports" / "deep";
    const std::string sample = ShellQuote(test::SamplePath("sample-hd-192.ts").string());
    auto r = RunCommand(Check(sample + " --report " + ShellQuote(out.string())));
    ASSERT_EQ(r.exit_code, 0) << r.output;
    ASSERT_TRUE(fs::exists(out / "sample-hd-192.report.json"));
    ASSERT_TRUE(fs::exists(out / "sample-hd-192.report.html"));
    std::stringstream json;
    json << std::ifstream(out / "sample-hd-192.report.json").rdbuf();
    const Json j = Json::Parse(json.str());
    EXPECT_EQ(j["command"].string(), "check");
    EXPECT_TRUE(j["complete"].boolean());
    EXPECT_EQ(j["verdict"].string(), "pass");
    EXPECT_EQ(j["recordings"][0]["sha256_from"].string(), "reading");
    const auto first = fs::last_write_time(out / "sample-hd-192.report.json");
    r = RunCommand(Check(sample + " --report=" + ShellQuote(out.string())));
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(fs::exists(out / "sample-hd-192 (2).report.json"));
    EXPECT_EQ(fs::last_write_time(out / "sample-hd-192.report.json"), first);

    // A report folder that is a file is refused before anything is read.
    test::WriteFile(dir / "file", {1});
    r = RunCommand(Check(sample + " --report " + ShellQuote((dir / "file").string())));
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_TRUE(Contains(r.output, "cannot use " + (dir / "file").string())) << r.output;

    // A folder in which no file can be made (even by root): the check itself is still given,
    // the report's failure is said and the exit says something was not done.
    r = RunCommand(Check(sample + " --report /proc"));
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_TRUE(Contains(r.output, "cannot write the report of " +
                                       test::SamplePath("sample-hd-192.ts").string() + ": "))
        << r.output;
    EXPECT_TRUE(Contains(r.output, "/proc/")) << r.output;  // and where
    EXPECT_TRUE(Contains(r.output, "sample-hd-192.ts: pass")) << r.output;
    r = CheckJson(sample + " --report /proc");
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(Json::Parse(r.output)["recordings"][0]["verdict"].string(), "pass");
}

}  // namespace
}  // namespace tessaline
