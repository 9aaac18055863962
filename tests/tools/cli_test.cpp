// tessaline-cli as a user runs it: output, exit codes, messages.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "tests/support/test_support.h"

namespace tessaline {
namespace {

using test::RunCommand;
using test::ShellQuote;

std::string Cli(const std::string& args) {
    return std::string(TESSALINE_CLI) + " " + args;
}
std::string Sample(const char* name) {
    return ShellQuote(test::SamplePath(name).string());
}

TEST(Cli, ProbePrintsSizeAndPids) {
    auto r = RunCommand(Cli("probe " + Sample("sample-sd.ts")));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.output, "packet_size=188 video_pid=0x0100 audio_pid=0x0101\n");
    r = RunCommand(Cli("probe " + Sample("sample-hd-192.ts")));
    EXPECT_EQ(r.output, "packet_size=192 video_pid=0x0100 audio_pid=0x0101\n");
}

TEST(Cli, ProbeSaysWhyNot) {
    test::TempDir dir;
    test::WriteFile(dir / "empty.ts", {});
    auto r = RunCommand(Cli("probe " + ShellQuote((dir / "empty.ts").string())));
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_NE(r.output.find("empty"), std::string::npos) << r.output;
    // AC-3 in private stream 1 is audio only with --private-stream.
    r = RunCommand(Cli("probe " + Sample("sample-ac3.ts")));
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_NE(r.output.find("audio PID not found"), std::string::npos) << r.output;
    r = RunCommand(Cli("probe --private-stream " + Sample("sample-ac3.ts")));
    EXPECT_EQ(r.exit_code, 0) << r.output;
    r = RunCommand(Cli("probe /nonexistent/file.ts"));
    EXPECT_EQ(r.exit_code, 2);
}

TEST(Cli, RemuxWritesAProgramStreamAndJson) {
    test::TempDir dir;
    const std::string out = ShellQuote((dir / "out.mpg").string());
    const auto r =
        RunCommand(Cli("remux --quiet --json " + Sample("sample-sd-192.ts") + " " + out));
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(r.output.front(), '{');
    for (const char* key :
         {"\"video_pid\":256", "\"audio_pid\":257", "\"video_width\":720", "\"video_height\":480",
          "\"aspect\":133", "\"frame_rate\":29.970", "\"audio_bit_rate\":192000",
          "\"write_failures\":0", "\"first_video_pts\":", "\"last_audio_pts\":", "\"bytes_read\":",
          "\"file_size\":2180736"}) {
        EXPECT_NE(r.output.find(key), std::string::npos) << key << " in " << r.output;
    }
    EXPECT_GT(std::filesystem::file_size(dir / "out.mpg"), 1000000u);
}

TEST(Cli, RemuxRefusesAndFailsClearly) {
    test::TempDir dir;
    auto r = RunCommand(Cli("remux " + Sample("sample-sd.ts") + " " + Sample("sample-sd.ts")));
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.output.find("is the input"), std::string::npos) << r.output;
    r = RunCommand(Cli("remux /nonexistent.ts " + ShellQuote((dir / "o.mpg").string())));
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.output.find("does not exist"), std::string::npos) << r.output;
    r = RunCommand(Cli("remux --quiet " + Sample("sample-sd.ts") + " /dev/full"));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.output.find("/dev/full"), std::string::npos) << r.output;
    r = RunCommand(Cli("remux --vpid XYZ a b"));
    EXPECT_EQ(r.exit_code, 2);
    r = RunCommand(Cli("remux --quiet " + Sample("sample-ac3.ts") + " " +
                       ShellQuote((dir / "o.mpg").string())));
    EXPECT_EQ(r.exit_code, 3);
}

// A run that converts no audio or video PES (here the first 2000 packets of an HD stream: both
// PIDs are found, but no PES is written) leaves nothing a player can open: exit 3, no file left.
TEST(Cli, RemuxThatConvertsNothingExits3AndLeavesNoFile) {
    test::TempDir dir;
    const test::Bytes hd = test::ReadFile(test::SamplePath("sample-hd-192.ts"));
    test::WriteFile(dir / "head.ts", test::Bytes(hd.begin(), hd.begin() + 192 * 2000));
    const auto out = dir / "head.mpg";
    const auto r = RunCommand(Cli("remux --quiet " + ShellQuote((dir / "head.ts").string()) + " " +
                                  ShellQuote(out.string())));
    EXPECT_EQ(r.exit_code, 3) << r.output;
    EXPECT_NE(r.output.find("no audio or video could be converted"), std::string::npos) << r.output;
    EXPECT_FALSE(std::filesystem::exists(out));
}

// A failed remux never costs the user the file OUT names; a good one replaces it.
TEST(Cli, RemuxKeepsAnExistingOutputUnlessItSucceeds) {
    test::TempDir dir;
    const test::Bytes precious(4000, 0x5A);
    const auto out = dir / "out.mpg";
    test::WriteFile(out, precious);
    test::WriteFile(dir / "junk.ts", test::Bytes(5000, 0x11));
    const test::Bytes hd = test::ReadFile(test::SamplePath("sample-hd-192.ts"));
    test::WriteFile(dir / "head.ts", test::Bytes(hd.begin(), hd.begin() + 192 * 2000));
    for (const char* in : {"junk.ts", "head.ts"}) {
        const auto r = RunCommand(Cli("remux --quiet " + ShellQuote((dir / in).string()) + " " +
                                      ShellQuote(out.string())));
        EXPECT_EQ(r.exit_code, 3) << in << ": " << r.output;
        EXPECT_EQ(test::ReadFile(out), precious) << in;
    }
    auto r =
        RunCommand(Cli("remux --quiet " + Sample("sample-sd.ts") + " " + ShellQuote(out.string())));
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_GT(std::filesystem::file_size(out), 100000u);
    size_t names = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        static_cast<void>(e);
        ++names;
    }
    EXPECT_EQ(names, 3u);  // junk.ts, head.ts, out.mpg: no temporary left
}

// A damaged start: the command-line remux finds packet sync further on and says so.
TEST(Cli, RemuxPassesOverADamagedStart) {
    test::TempDir dir;
    test::Bytes damaged(5000);
    for (size_t i = 0; i < damaged.size(); ++i) damaged[i] = static_cast<uint8_t>(i * 37);
    test::Append(damaged, test::ReadFile(test::SamplePath("sample-sd.ts")));
    test::WriteFile(dir / "damaged.ts", damaged);
    const auto r = RunCommand(Cli("remux --quiet " + ShellQuote((dir / "damaged.ts").string()) +
                                  " " + ShellQuote((dir / "out.mpg").string())));
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("the first 5000 bytes are not whole TS packets"), std::string::npos)
        << r.output;
    EXPECT_GT(std::filesystem::file_size(dir / "out.mpg"), 100000u);
}

// Pipes, folders and other things that are not files: refused at once with the reason (a pipe
// would otherwise hold the tool in open(), deaf to Ctrl-C); scan tells unreadable input (1) from
// input without TS packets (3).
TEST(Cli, NonFilesAndNonStreamsAreRefusedWithTheirReason) {
    test::TempDir dir;
    const std::string fifo = (dir / "pipe.ts").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string out = ShellQuote((dir / "out.mpg").string());
    // timeout: a tool that waits for the pipe's writer fails the test instead of hanging it.
    auto r = RunCommand("timeout 60 " + Cli("remux " + ShellQuote(fifo) + " " + out));
    EXPECT_EQ(r.exit_code, 2) << r.output;
    EXPECT_NE(r.output.find("is a pipe"), std::string::npos) << r.output;
    // Nor does a pipe as OUT hold the tool when nothing reads it.
    r = RunCommand("timeout 60 " + Cli("remux " + Sample("sample-sd.ts") + " " + ShellQuote(fifo)));
    EXPECT_EQ(r.exit_code, 2) << r.output;
    EXPECT_NE(r.output.find("no program reads from this pipe"), std::string::npos) << r.output;
    r = RunCommand("timeout 60 " + Cli("probe " + ShellQuote(fifo)));
    EXPECT_EQ(r.exit_code, 2) << r.output;
    EXPECT_NE(r.output.find("is a pipe"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("empty"), std::string::npos) << r.output;
    r = RunCommand("timeout 60 " + Cli("scan " + ShellQuote(fifo)));
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_NE(r.output.find("is a pipe"), std::string::npos) << r.output;
    r = RunCommand(Cli("scan " + ShellQuote(dir.path().string())));
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_NE(r.output.find("is a folder"), std::string::npos) << r.output;
    r = RunCommand(Cli("scan /nonexistent/file.ts"));
    EXPECT_EQ(r.exit_code, 1) << r.output;

    test::WriteFile(dir / "empty.ts", {});
    test::Bytes random(200000);
    uint32_t x = 12345;
    for (uint8_t& b : random) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
    test::WriteFile(dir / "random.ts", random);
    for (const char* name : {"empty.ts", "random.ts"}) {
        r = RunCommand(Cli("scan " + ShellQuote((dir / name).string())));
        EXPECT_EQ(r.exit_code, 3) << name << ": " << r.output;
        EXPECT_NE(r.output.find("no TS packets"), std::string::npos) << r.output;
    }
    r = RunCommand(Cli("scan " + Sample("sample-sd-192.ts")));
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("720x480"), std::string::npos) << r.output;
}

// Bytes inserted part way through a file break packet sync: remux finds it again, says each
// place, and exits 0 only when what it passed over was not part of the streams. Bytes missing
// instead cost a packet of the streams: said, and not success.
TEST(Cli, RemuxSaysWhereSyncWasLostAndSucceedsOnlyOverGarbage) {
    test::TempDir dir;
    test::Bytes clean;
    for (int i = 0; i < 3; ++i)
        test::Append(clean, test::ReadFile(test::SamplePath("sample-sd.ts")));
    const size_t at = 188 * (clean.size() / 10 / 188) + 50;
    test::Bytes inserted(clean.begin(), clean.begin() + static_cast<long>(at));
    test::Append(inserted, test::Bytes(100, 0x5A));
    inserted.insert(inserted.end(), clean.begin() + static_cast<long>(at), clean.end());
    test::WriteFile(dir / "inserted.ts", inserted);
    test::Bytes cut(clean.begin(), clean.begin() + static_cast<long>(at));
    cut.insert(cut.end(), clean.begin() + static_cast<long>(at + 100), clean.end());
    test::WriteFile(dir / "cut.ts", cut);
    const std::string lost = "lost packet sync at byte " + std::to_string(188 * (at / 188 + 1));

    auto r = RunCommand(Cli("remux --quiet " + ShellQuote((dir / "inserted.ts").string()) + " " +
                            ShellQuote((dir / "inserted.mpg").string())));
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find(lost + "; converted again from byte"), std::string::npos) << r.output;
    EXPECT_GT(std::filesystem::file_size(dir / "inserted.mpg"), 4000000u);

    r = RunCommand(Cli("remux --quiet " + ShellQuote((dir / "cut.ts").string()) + " " +
                       ShellQuote((dir / "cut.mpg").string())));
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_NE(r.output.find(lost), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("held a packet of the video or audio stream"), std::string::npos)
        << r.output;
    // What was converted is there to look at, said so: no file was in its place before.
    EXPECT_NE(r.output.find("cut.mpg holds"), std::string::npos) << r.output;
    EXPECT_TRUE(std::filesystem::exists(dir / "cut.mpg"));
}

// A read that fails part way through a file (the process's own memory, unmapped at its start)
// is a failure to read, not a file without packets and never success.
TEST(Cli, ScanSaysSoWhenAReadFails) {
    const auto r = RunCommand(Cli("scan /proc/self/mem " + Sample("sample-sd.ts")));
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_NE(r.output.find("cannot read /proc/self/mem"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("720x480"), std::string::npos) << r.output;  // the other file
}

// A conversion killed outright leaves its hidden temporary; the next one to the same output
// removes it.
TEST(Cli, KilledRemuxLeavesNoTemporaryAfterTheNextConversion) {
    test::TempDir dir;
    test::WriteFile(dir / "big.ts", test::ReadFile(test::SamplePath("sample-hd-192.ts")));
    const std::string remux = Cli("remux --quiet " + ShellQuote((dir / "big.ts").string()) + " " +
                                  ShellQuote((dir / "out.mpg").string()));
    // The file size limit kills the conversion part-way, every time (SIGXFSZ), as a kill would:
    // its temporary is left behind for the next conversion to clear.
    const auto killed = RunCommand("sh -c " + ShellQuote("ulimit -f 256; " + remux));
    ASSERT_NE(killed.exit_code, 0) << killed.output;
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        left.push_back(e.path().filename().string());
    ASSERT_EQ(left.size(), 2u);
    ASSERT_TRUE(std::any_of(left.begin(), left.end(),
                            [](const std::string& n) { return n.ends_with(".part"); }));
    const auto again = RunCommand(remux);
    EXPECT_EQ(again.exit_code, 0) << again.output;
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"big.ts", "out.mpg"}));
}

TEST(Cli, HelpAndVersion) {
    EXPECT_EQ(RunCommand(Cli("--version")).exit_code, 0);
    for (const char* cmd : {"--help", "probe --help", "remux --help", "scan --help"}) {
        const auto r = RunCommand(Cli(cmd));
        EXPECT_EQ(r.exit_code, 0) << cmd;
        EXPECT_NE(r.output.find("usage"), std::string::npos) << cmd;
    }
    EXPECT_EQ(RunCommand(Cli("frobnicate")).exit_code, 2);
}

}  // namespace
}  // namespace tessaline
