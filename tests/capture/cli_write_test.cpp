// tessaline-cli write, run as a person or a script would: files onto the virtual deck's tape,
// the exit codes, and Ctrl-C as STOP.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/test_support.h"

namespace tessaline::test {
namespace {

namespace fs = std::filesystem;

// The command line with the virtual deck set up; wrapper runs the tool (e.g. under timeout).
std::string Cli(const fs::path& deck, const std::string& args, const std::string& pace = "fast",
                const std::string& wrapper = "") {
    return "TESSALINE_VIRTUAL_DECK=" + ShellQuote(deck.string()) +
           " TESSALINE_VIRTUAL_PACE=" + pace + " " + wrapper + ShellQuote(TESSALINE_CLI) +
           " write " + args;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class CliWrite : public ::testing::Test {
  protected:
    CliWrite() {
        // The deck's tape goes beside its file: keep both in the test's folder.
        fs::copy_file(SamplePath("sample-sd-192.ts"), deck);
        const Bytes sd = ReadFile(SamplePath("sample-sd-192.ts"));
        one = Bytes(sd.begin(), sd.begin() + 192 * 400);
        two = Bytes(sd.begin() + 192 * 400, sd.begin() + 192 * 700);
        WriteFile(dir / "one.ts", one);
        WriteFile(dir / "two.ts", two);
    }
    std::string Files() const {
        return ShellQuote((dir / "one.ts").string()) + " " + ShellQuote((dir / "two.ts").string());
    }

    TempDir dir;
    fs::path deck = dir / "deck.ts";
    fs::path tape = dir / "deck.ts.tape";
    Bytes one, two;
};

TEST_F(CliWrite, RecStartPutsEveryFileOnTapeInOrder) {
    const CommandResult r = RunCommand(Cli(deck, "--rec-start --lead-ms 1000 " + Files()));
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(Contains(r.output, "writing 1/2")) << r.output;
    EXPECT_TRUE(Contains(r.output, "writing 2/2")) << r.output;
    EXPECT_TRUE(Contains(r.output, "2 file(s) written")) << r.output;
    Bytes both = one;
    Append(both, two);
    EXPECT_EQ(ReadFile(tape), both);
}

TEST_F(CliWrite, WithoutRecStartTheDeckOnlyPlays) {
    const CommandResult r = RunCommand(Cli(deck, Files()));
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_FALSE(fs::exists(tape));
}

// The virtual deck checks each file before it plays it, with the IEEE 1394 backend's words: a file
// that ends in a torn packet never reaches the tape, first file or later.
TEST_F(CliWrite, FilesOfTornPacketsAreRefusedBeforeTheyPlay) {
    Bytes torn = two;
    torn.resize(torn.size() - 100);
    WriteFile(dir / "torn.ts", torn);
    WriteFile(dir / "text.ts", Bytes(5000, 'x'));
    const std::string one_path = ShellQuote((dir / "one.ts").string());
    for (const char* bad : {"torn.ts", "text.ts"}) {
        SCOPED_TRACE(bad);
        fs::remove(tape);
        const std::string bad_path = ShellQuote((dir / bad).string());
        CommandResult r = RunCommand(Cli(deck, "--rec-start --lead-ms 1000 " + bad_path));
        EXPECT_EQ(r.exit_code, 1) << r.output;
        EXPECT_FALSE(fs::exists(tape));
        r = RunCommand(Cli(deck, "--rec-start --lead-ms 1000 " + one_path + " " + bad_path));
        EXPECT_EQ(r.exit_code, 1) << r.output;
        EXPECT_TRUE(Contains(r.output, "cannot play")) << r.output;
        EXPECT_EQ(ReadFile(tape), one);
        EXPECT_TRUE(Contains(r.output, std::string("cannot send ") + (dir / bad).string() + ": " +
                                           (bad == std::string("torn.ts")
                                                ? "the file ends with an incomplete packet"
                                                : "not a transport stream of 188- or 192-byte "
                                                  "packets")))
            << r.output;
    }
}

TEST_F(CliWrite, BadArgumentsAndMissingDecks) {
    for (const std::string& args :
         {std::string(), "--lead-ms abc " + Files(), "--frobnicate " + Files(),
          ShellQuote((dir / "missing.ts").string()), "--device x " + Files(),
          "--device 3 " + Files()}) {
        const CommandResult r = RunCommand(Cli(deck, args));
        EXPECT_EQ(r.exit_code, 2) << args << "\n" << r.output;
    }
    const CommandResult none = RunCommand("TESSALINE_VIRTUAL_DECK=none " +
                                          ShellQuote(TESSALINE_CLI) + " write " + Files());
    EXPECT_EQ(none.exit_code, 3) << none.output;
    EXPECT_FALSE(fs::exists(tape));
}

// A stream that ends with an error code (here the deck cannot write its tape) ends the command
// with exit code 1 and says why, instead of waiting for ever.
TEST_F(CliWrite, StreamErrorEndsWithExitCodeOne) {
    fs::create_directory(tape);
    const CommandResult r =
        RunCommand(Cli(deck, "--rec-start --lead-ms 1000 " + Files(), "fast", "timeout 120 "));
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_TRUE(Contains(r.output, "ended the stream with error 3 while playing")) << r.output;
    EXPECT_TRUE(Contains(r.output, "one.ts")) << r.output;
}

// The interrupt comes during the record-pause lead: writing stops before any file has been sent.
// It is sent once the tool has said it is writing, so its signal handling is in place whatever
// the machine's load; the lead is long enough that the interrupt lands inside it.
TEST_F(CliWrite, InterruptStopsLikeTheStopButton) {
    const std::string err = ShellQuote((dir / "stderr.txt").string());
    const std::string command =
        "(" + Cli(deck, "--rec-start --lead-ms 3000 --repeat " + Files(), "real") + " 2>" + err +
        " & pid=$!; i=0; while ! grep -q 'writing 1/2' " + err +
        " && [ $i -lt 600 ]; do i=$((i+1)); sleep 0.05; done; kill -INT $pid; wait $pid; s=$?; "
        "cat " +
        err + "; exit $s)";
    const CommandResult r = RunCommand(command);
    EXPECT_EQ(r.exit_code, 130) << r.output;
    EXPECT_TRUE(Contains(r.output, "stopped after 0 file(s)")) << r.output;
}

}  // namespace
}  // namespace tessaline::test
