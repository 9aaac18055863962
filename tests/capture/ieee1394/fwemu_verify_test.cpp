// SPDX-License-Identifier: GPL-3.0-or-later
// Writes proved by playing the tape back, on the emulated deck: files that came back whole,
// defects at a file's start, inside it and at its end, a deck without a counter, and a tape
// rewound by hand; and a write that runs off the tape's end, which is a failure even unproved.
// Each test names the fault it guards.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "tests/support/test_support.h"

namespace tessaline::test {
namespace {

namespace fs = std::filesystem;

std::string Cli(const std::string& env, const std::string& args) {
    return std::string("timeout -k 5 100 env -u TESSALINE_VIRTUAL_DECK -u TESSALINE_IEEE1394 ") +
           "LD_PRELOAD=" + ShellQuote(FWEMU_PRELOAD) + " FWEMU_PACE=fast " + env + " " +
           ShellQuote(TESSALINE_CLI) + " " + args;
}

// A TS with PCRs of `seconds`, its picture told apart by `frequency`.
fs::path Stream(const TempDir& dir, const std::string& name, int seconds, int frequency) {
    const fs::path file = dir / name;
    const std::string d = std::to_string(seconds);
    const CommandResult r = RunCommand(
        "ffmpeg -hide_banner -loglevel error -y -f lavfi -i "
        "testsrc2=size=352x240:rate=30000/1001:duration=" +
        d + " -f lavfi -i sine=frequency=" + std::to_string(frequency) +
        ":sample_rate=48000:duration=" + d +
        " -c:v mpeg2video -b:v 1M -maxrate 1M -bufsize 1000000 -g 15 -c:a mp2 -b:a 128k "
        "-f mpegts " +
        ShellQuote(file.string()));
    EXPECT_EQ(r.exit_code, 0) << r.output;
    return file;
}

// The line of the output that starts with `head`.
std::string LineStarting(const std::string& output, const std::string& head) {
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(head, 0) == 0) return line;
    }
    return {};
}

class FwemuVerify : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
        first = Stream(dir, "first.ts", 6, 440);
        second = Stream(dir, "second.ts", 4, 880);
    }
    std::string Files() const { return "cd " + ShellQuote(dir.path().string()) + " && "; }
    CommandResult WriteVerified(const std::string& env, const std::string& more = "") {
        return RunCommand(Files() + Cli("FWEMU_CASSETTE=blank:120 " + env,
                                        "write --rec-start --lead-ms 1000 --verify " + more +
                                            " first.ts second.ts"));
    }
    TempDir dir;
    fs::path first, second;
};

TEST_F(FwemuVerify, FilesThatCameBackWholeAreVerifiedAndTheTapeIsLeftAtTheirEnd) {
    const CommandResult r = WriteVerified("FWEMU_STATE=" + ShellQuote((dir / "deck").string()));
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(LineStarting(r.output, "first.ts: verified"), "") << r.output;
    EXPECT_NE(LineStarting(r.output, "second.ts: verified"), "") << r.output;
    EXPECT_NE(LineStarting(r.output, "2 of 2 files verified"), "") << r.output;
    // Stopped where the write ended (10 s of files after the second that follows record), not
    // wound back and not played on to the tape's end.
    const CommandResult s = RunCommand(
        Cli("FWEMU_CASSETTE=blank:120 FWEMU_STATE=" + ShellQuote((dir / "deck").string()),
            "deck status --json"));
    ASSERT_EQ(s.exit_code, 0) << s.output;
    EXPECT_TRUE(Contains(s.output, "\"transport\":\"stop\"")) << s.output;
    const size_t at = s.output.find("\"position\":");
    ASSERT_NE(at, std::string::npos) << s.output;
    const double position = std::stod(s.output.substr(at + 11));
    EXPECT_GE(position, 10.0);
    EXPECT_LE(position, 30.0);
}

TEST_F(FwemuVerify, ADefectUnderTheFirstFileNamesItAndLeavesTheSecondVerified) {
    // The bar: drop@4+0.2 lies inside first.ts (it starts a second or two in).
    const CommandResult r = WriteVerified("FWEMU_DAMAGE=drop@4+0.2", "--json");
    EXPECT_EQ(r.exit_code, 1) << r.output;
    const std::string json = LineStarting(r.output, "{\"files\":");
    ASSERT_NE(json, "") << r.output;
    EXPECT_TRUE(Contains(json, "{\"file\":\"first.ts\",\"result\":\"differs\"")) << json;
    EXPECT_TRUE(Contains(json, "{\"file\":\"second.ts\",\"result\":\"verified\"")) << json;
    EXPECT_TRUE(Contains(json, "\"verified\":1,\"differs\":1,\"not_read_back\":0")) << json;
}

TEST_F(FwemuVerify, ADefectAtAFilesStartIsFoundAtItsFirstByte) {
    // The file starts after the second that follows record, well inside the defect's 2.5 s.
    const CommandResult r = WriteVerified("FWEMU_DAMAGE=drop@0+2.5");
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_NE(LineStarting(r.output, "first.ts: differs from byte 0 (00:00:00.0)"), "") << r.output;
    EXPECT_NE(LineStarting(r.output, "second.ts: verified"), "") << r.output;
}

TEST_F(FwemuVerify, ADefectAtAFilesEndIsPlacedInItsLastSeconds) {
    // Only the first file is written, so that nothing follows it on tape; the defect from 6.5 s
    // on covers its last second or so.
    const CommandResult r =
        RunCommand(Files() + Cli("FWEMU_CASSETTE=blank:120 FWEMU_DAMAGE=drop@6.5+30",
                                 "write --rec-start --lead-ms 1000 --verify --json first.ts"));
    EXPECT_EQ(r.exit_code, 1) << r.output;
    const std::string json = LineStarting(r.output, "{\"files\":");
    ASSERT_NE(json, "") << r.output;
    EXPECT_TRUE(Contains(json, "\"result\":\"differs\"")) << json;
    const size_t at = json.find("\"seconds\":");
    ASSERT_NE(at, std::string::npos) << json;
    const double seconds = std::stod(json.substr(at + 10));
    EXPECT_GT(seconds, 3.0) << json;
    EXPECT_LT(seconds, 6.0) << json;
    EXPECT_TRUE(Contains(json, "\"wrong\":0")) << json;
}

TEST_F(FwemuVerify, ADeckWithoutACounterIsRefusedBeforeAnythingIsWritten) {
    // Without a cassette the emulated deck keeps no counter (it records to FWEMU_TAPE all the
    // same): a write that could not be proved must not start.
    const fs::path tape = dir / "tape.m2ts";
    const CommandResult r =
        RunCommand(Files() + Cli("FWEMU_TAPE=" + ShellQuote(tape.string()),
                                 "write --rec-start --lead-ms 1000 --verify first.ts"));
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_TRUE(Contains(r.output, "keeps no tape counter")) << r.output;
    EXPECT_TRUE(Contains(r.output, "nothing was written")) << r.output;
    EXPECT_TRUE(!fs::exists(tape) || fs::file_size(tape) == 0);
}

TEST_F(FwemuVerify, ATapeRewoundByHandIsVerifiedWithoutACounter) {
    const std::string state =
        "FWEMU_CASSETTE=blank:120 FWEMU_STATE=" + ShellQuote((dir / "deck").string());
    const CommandResult w =
        RunCommand(Files() + Cli(state, "write --rec-start --lead-ms 1000 first.ts second.ts"));
    ASSERT_EQ(w.exit_code, 0) << w.output;
    ASSERT_EQ(RunCommand(Cli(state, "deck rewind --wait=60")).exit_code, 0);
    const CommandResult v = RunCommand(Files() + Cli(state, "verify first.ts second.ts"));
    EXPECT_EQ(v.exit_code, 0) << v.output;
    EXPECT_NE(LineStarting(v.output, "2 of 2 files verified"), "") << v.output;
    // The files in the wrong order: the second is not found after the first.
    ASSERT_EQ(RunCommand(Cli(state, "deck rewind --wait=60")).exit_code, 0);
    const CommandResult x = RunCommand(Files() + Cli(state, "verify second.ts first.ts"));
    EXPECT_EQ(x.exit_code, 1) << x.output;
}

// The deck stops by itself at the tape's end; what was sent after that is not on tape, so the
// write fails naming the file that was cut, instead of claiming the files were written.
TEST_F(FwemuVerify, AWriteThatRunsOffTheTapesEndFailsNamingTheFileCut) {
    // 5 s of tape: record begins at its start and first.ts (6 s) a second later.
    const CommandResult a =
        RunCommand(Files() + Cli("FWEMU_CASSETTE=blank:5 FWEMU_TAPE_SECONDS=5",
                                 "write --rec-start --lead-ms 1000 first.ts second.ts"));
    EXPECT_EQ(a.exit_code, 1) << a.output;
    EXPECT_TRUE(Contains(a.output,
                         "first.ts (row 1): the deck was no longer recording (it was in "
                         "stop at 00:00:05)"))
        << a.output;
    EXPECT_TRUE(Contains(a.output, "0 of 2 file(s) went on tape whole")) << a.output;
    EXPECT_FALSE(Contains(a.output, "written to")) << a.output;
    EXPECT_FALSE(Contains(a.output, "writing 2/2")) << a.output;  // the next file never went out

    // 10 s: the first file fits, the second (4 s) begins too late to.
    const CommandResult b =
        RunCommand(Files() + Cli("FWEMU_CASSETTE=blank:10 FWEMU_TAPE_SECONDS=10",
                                 "write --rec-start --lead-ms 1000 first.ts second.ts"));
    EXPECT_EQ(b.exit_code, 1) << b.output;
    EXPECT_TRUE(Contains(b.output, "second.ts (row 2): the deck was no longer recording"))
        << b.output;
    EXPECT_TRUE(Contains(b.output, "1 of 2 file(s) went on tape whole")) << b.output;
}

}  // namespace
}  // namespace tessaline::test
