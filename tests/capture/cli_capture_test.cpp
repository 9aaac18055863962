// tessaline-cli devices and record, run as a person or a script would run them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/test_support.h"

namespace tessaline::test {
namespace {

namespace fs = std::filesystem;

// The command line with the virtual deck set up; deck "" means none.
std::string Cli(const std::string& deck, const std::string& args,
                const std::string& pace = "fast") {
    return "TESSALINE_VIRTUAL_DECK=" + ShellQuote(deck) + " TESSALINE_VIRTUAL_PACE=" + pace +
           " TESSALINE_VIRTUAL_CHUNK=7777 " + ShellQuote(TESSALINE_CLI) + " " + args;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(CliDevices, ListsTheVirtualDeckOrSaysThereIsNone) {
    const CommandResult listed = RunCommand(Cli(SamplePath("sample-sd.ts").string(), "devices"));
    EXPECT_EQ(listed.exit_code, 0);
    EXPECT_EQ(listed.output, "0  Virtual AV/C Tape Subunit (Tessaline Virtual Deck #1)\n");

    // No virtual deck unless one is asked for: unset, empty or "none".
    const std::string unset = "env -u TESSALINE_VIRTUAL_DECK " + ShellQuote(TESSALINE_CLI) + " ";
    for (const std::string& command :
         {Cli("", "devices"), Cli("none", "devices"), unset + "devices"}) {
        const CommandResult none = RunCommand(command);
        EXPECT_EQ(none.exit_code, 3) << command;
        EXPECT_TRUE(Contains(none.output, "Cannot find capture device")) << none.output;
        EXPECT_FALSE(Contains(none.output, "Virtual")) << none.output;
    }
    const CommandResult record = RunCommand(unset + "record --seconds 1 --out /dev/null");
    EXPECT_EQ(record.exit_code, 3);
    EXPECT_TRUE(Contains(record.output, "Cannot find capture device")) << record.output;
    const CommandResult missing = RunCommand(Cli("/nowhere/deck.ts", "devices"));
    EXPECT_EQ(missing.exit_code, 3);
    EXPECT_TRUE(Contains(missing.output, "cannot read /nowhere/deck.ts")) << missing.output;

    const CommandResult help = RunCommand(Cli("", "devices --help"));
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_TRUE(Contains(help.output, "TESSALINE_VIRTUAL_DECK")) << help.output;
}

TEST(CliRecord, Ts192RecordsTheWholeDeckStream) {
    TempDir dir;
    const fs::path sample = SamplePath("sample-sd-192.ts");
    const fs::path out = dir / "rec.m2t";
    const CommandResult r = RunCommand(
        Cli(sample.string(), "record --seconds 0 --mode ts192 --out " + ShellQuote(out.string())));
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(Contains(r.output, "the deck stopped delivering")) << r.output;
    EXPECT_EQ(ReadFile(out), ReadFile(sample));
}

TEST(CliRecord, JsonSummaryAndStreamOptions) {
    TempDir dir;
    const std::string ac3 = SamplePath("sample-ac3.ts").string();
    auto record = [&](const std::string& name, const std::string& options) {
        return RunCommand(Cli(ac3, "record --minutes 0 --mode ps --json --out " +
                                       ShellQuote((dir / name).string()) + " " + options));
    };
    // AC-3 sits in private stream 1: without --private-stream there is no audio, so a program
    // stream that waits for both never starts.
    const CommandResult plain = record("plain.mpg", "");
    EXPECT_EQ(plain.exit_code, 3) << plain.output;
    EXPECT_TRUE(Contains(plain.output, "\"audio_pid\":0,")) << plain.output;

    const CommandResult priv = record("private.mpg", "--private-stream");
    EXPECT_EQ(priv.exit_code, 0) << priv.output;
    EXPECT_TRUE(Contains(priv.output, "{\"video_pid\":256,\"audio_pid\":257,")) << priv.output;
    EXPECT_TRUE(Contains(priv.output, "\"video_width\":720,\"video_height\":480")) << priv.output;

    // --all starts the program stream without waiting for the first video time stamp.
    const CommandResult all = record("all.mpg", "--private-stream --all");
    EXPECT_EQ(all.exit_code, 0) << all.output;
    EXPECT_GT(fs::file_size(dir / "all.mpg"), fs::file_size(dir / "private.mpg"));
}

TEST(CliRecord, BadUsageAndUnwritableFile) {
    const std::string deck = SamplePath("sample-ac3.ts").string();
    for (const std::string args :
         {"record", "record --minutes 1 --seconds 5", "record --seconds 5 --mode mp4",
          "record --seconds -3", "record --seconds 5 --device 1", "record --seconds 5 --bogus"}) {
        const CommandResult r = RunCommand(Cli(deck, args));
        EXPECT_EQ(r.exit_code, 2) << args << "\n" << r.output;
    }
    const CommandResult none = RunCommand(Cli("none", "record --seconds 5"));
    EXPECT_EQ(none.exit_code, 3);
    const CommandResult unwritable =
        RunCommand(Cli(deck, "record --seconds 5 --out /nowhere/x.ts"));
    EXPECT_EQ(unwritable.exit_code, 1);
    EXPECT_TRUE(Contains(unwritable.output, "Cannot open output file\n/nowhere/x.ts: "))
        << unwritable.output;
}

// Ctrl-C in the middle of a recording at the stream's real rate: the file is closed and holds
// exactly the start of what the deck played.
TEST(CliRecord, InterruptClosesTheFileCleanly) {
    TempDir dir;
    const Bytes one = ReadFile(SamplePath("sample-sd-192.ts"));
    Bytes three = one;
    Append(three, one);
    Append(three, one);
    WriteFile(dir / "long.ts", three);  // about 15 seconds
    const std::string out = ShellQuote((dir / "rec.ts").string());
    const std::string script =
        Cli((dir / "long.ts").string(), "record --seconds 60 --mode ts192 --out " + out, "real") +
        " & pid=$!; i=0; while [ ! -s " + out +
        " ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done; kill -INT $pid; wait $pid";
    const CommandResult r = RunCommand("sh -c " + ShellQuote(script));
    EXPECT_EQ(r.exit_code, 130) << r.output;
    EXPECT_TRUE(Contains(r.output, "interrupted;")) << r.output;
    const Bytes got = ReadFile(dir / "rec.ts");
    ASSERT_FALSE(got.empty());
    ASSERT_LT(got.size(), three.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), three.begin()));
}

}  // namespace
}  // namespace tessaline::test
