// tessaline-cli devices and record, run as a person or a script would run them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/json_value.h"
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

// A stream played three times over: about 15 seconds at the stream's own rate.
Bytes ThreeTimes(const Bytes& one) {
    Bytes three = one;
    Append(three, one);
    Append(three, one);
    return three;
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

TEST(CliRecord, DefaultNamesTakeTheExtensionOfTheMode) {
    const std::string sample = SamplePath("sample-sd-192.ts").string();
    for (const auto& [mode, extension] :
         {std::pair{"ps", ".mpg"}, std::pair{"ts188", ".ts"}, std::pair{"ts192", ".m2ts"}}) {
        TempDir dir;
        const CommandResult r =
            RunCommand("cd " + ShellQuote(dir.path().string()) + " && " +
                       Cli(sample, std::string("record --seconds 0 --mode ") + mode));
        EXPECT_EQ(r.exit_code, 0) << r.output;
        std::vector<fs::path> made;
        for (const auto& e : fs::directory_iterator(dir.path())) made.push_back(e.path());
        ASSERT_EQ(made.size(), 1u) << mode;
        EXPECT_EQ(made[0].extension(), extension);
        EXPECT_EQ(made[0].stem().string().size(), 12u) << made[0];  // YYMMDDHHNNSS
    }
}

// A default name that exists (here: every name of the next minute) is never overwritten: the
// recording takes "NAME (2).ts".
TEST(CliRecord, DefaultNamesNeverReplaceAFile) {
    TempDir dir;
    const std::time_t now = std::time(nullptr);
    std::vector<fs::path> taken;
    for (int s = -1; s < 60; ++s) {
        const std::time_t t = now + s;
        std::tm local = {};
        localtime_r(&t, &local);
        char name[32];
        std::strftime(name, sizeof name, "%y%m%d%H%M%S.ts", &local);
        taken.push_back(dir / name);
        WriteFile(taken.back(), Bytes(10, 0x5A));
    }
    const CommandResult r =
        RunCommand("cd " + ShellQuote(dir.path().string()) + " && " +
                   Cli(SamplePath("sample-sd.ts").string(), "record --seconds 0 --mode ts188"));
    EXPECT_EQ(r.exit_code, 0) << r.output;
    for (const fs::path& p : taken) EXPECT_EQ(ReadFile(p), Bytes(10, 0x5A)) << p;
    std::vector<fs::path> made;
    for (const auto& e : fs::directory_iterator(dir.path())) {
        if (std::find(taken.begin(), taken.end(), e.path()) == taken.end())
            made.push_back(e.path());
    }
    ASSERT_EQ(made.size(), 1u);
    EXPECT_TRUE(made[0].stem().string().ends_with(" (2)")) << made[0];
    EXPECT_EQ(ReadFile(made[0]), ReadFile(SamplePath("sample-sd.ts")));
}

// A deck whose stream ends with an error: the file holds what came before, and the exit says the
// recording failed.
TEST(CliRecord, DeckStreamEndingInAnErrorFails) {
    TempDir dir;
    const fs::path sample = SamplePath("sample-sd-192.ts");
    const fs::path out = dir / "rec.m2t";
    const CommandResult r = RunCommand(
        "TESSALINE_VIRTUAL_FAIL_AFTER=96000 " +
        Cli(sample.string(), "record --seconds 0 --mode ts192 --out " + ShellQuote(out.string())));
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_TRUE(Contains(r.output, "reported an error")) << r.output;
    const Bytes all = ReadFile(sample);
    EXPECT_EQ(ReadFile(out), Bytes(all.begin(), all.begin() + 96000));
}

// The folder of the recording is deleted while it runs: said at once, and at the end the
// recording is written back to its own path (the folder made again) from the open file.
TEST(CliRecord, RecordingWhoseFolderVanishedIsWrittenBack) {
    TempDir dir;
    const Bytes three = ThreeTimes(ReadFile(SamplePath("sample-sd-192.ts")));
    WriteFile(dir / "long.ts", three);  // about 15 seconds
    const fs::path folder = dir / "shows";
    fs::create_directories(folder);
    const fs::path out = folder / "rec.m2t";
    const std::string q = ShellQuote(out.string());
    const std::string script =
        Cli((dir / "long.ts").string(), "record --seconds 3 --mode ts192 --out " + q, "real") +
        " & pid=$!; i=0; while [ ! -s " + q +
        " ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done; rm -rf " +
        ShellQuote(folder.string()) + "; wait $pid";
    const CommandResult r = RunCommand("sh -c " + ShellQuote(script));
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_TRUE(Contains(r.output, "was deleted; the recording goes on")) << r.output;
    EXPECT_TRUE(Contains(r.output, "were written back to " + out.string())) << r.output;
    const Bytes got = ReadFile(out);
    ASSERT_FALSE(got.empty());
    ASSERT_LT(got.size(), three.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), three.begin()));
}

// One TS packet of PID 0x100 carrying a PCR at `seconds`.
Bytes PcrPacket(double seconds) {
    TsPacketSpec spec;
    spec.adaptation_length = 7;
    spec.has_payload = false;
    Bytes p = MakeTsPacket(spec, {});
    const auto base = static_cast<uint64_t>(seconds * 90000);
    p[5] = 0x10;  // PCR flag
    p[6] = static_cast<uint8_t>(base >> 25);
    p[7] = static_cast<uint8_t>(base >> 17);
    p[8] = static_cast<uint8_t>(base >> 9);
    p[9] = static_cast<uint8_t>(base >> 1);
    p[10] = static_cast<uint8_t>(((base & 1) << 7) | 0x7E);
    p[11] = 0;
    return p;
}

// A deck that delivers nothing (here: a stream so slow that its first buffer is 20 s away) is
// pointed out once, while the recording goes on.
TEST(CliRecord, SaysSoWhenTheDeckDeliversNothing) {
    TempDir dir;
    Bytes slow;
    for (int i = 0; i < 100; ++i) Append(slow, PcrPacket(i * 0.5));  // 376 bytes a second
    WriteFile(dir / "slow.ts", slow);
    const CommandResult r = RunCommand(Cli(
        (dir / "slow.ts").string(),
        "record --seconds 6 --mode ts188 --out " + ShellQuote((dir / "rec.ts").string()), "real"));
    EXPECT_EQ(r.exit_code, 3) << r.output;
    EXPECT_FALSE(fs::exists(dir / "rec.ts"));  // nothing received: no empty file left
    const size_t said = r.output.find("no data from");
    ASSERT_NE(said, std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("no data from", said + 1), std::string::npos) << r.output;
    EXPECT_TRUE(Contains(r.output, "--power-on")) << r.output;
}

// A disk that fills up mid-recording (here: the file size limit): the failure is said when it
// happens, and the file ends at its last whole packet.
TEST(CliRecord, FullDiskLeavesWholePacketsAndIsReportedAtOnce) {
    TempDir dir;
    const fs::path sample = SamplePath("sample-hd-192.ts");
    const Bytes all = ReadFile(sample);
    for (const auto& [mode, packet] : {std::pair{"ts192", 192u}, std::pair{"ts188", 188u}}) {
        const fs::path out = dir / (std::string("rec-") + mode);
        const std::string record =
            Cli(sample.string(), std::string("record --seconds 0 --mode ") + mode + " --out " +
                                     ShellQuote(out.string()));
        const CommandResult r =
            RunCommand("sh -c " + ShellQuote("trap '' XFSZ; ulimit -f 2048; " + record));
        EXPECT_EQ(r.exit_code, 1) << r.output;
        EXPECT_TRUE(Contains(r.output, "failed (is the disk full?)")) << r.output;
        EXPECT_TRUE(Contains(r.output, "the file is incomplete")) << r.output;
        const Bytes got = ReadFile(out);
        EXPECT_GE(got.size(), 512u * 1024) << mode;
        EXPECT_LT(got.size(), all.size()) << mode;
        EXPECT_EQ(got.size() % packet, 0u) << mode << " " << got.size();
        // Every packet in the file is whole and one of the deck's, in order.
        if (packet == 192) {
            size_t from = 0;
            for (size_t pos = 0; pos < got.size(); pos += 192) {
                const auto at = std::search(all.begin() + static_cast<long>(from), all.end(),
                                            got.begin() + static_cast<long>(pos),
                                            got.begin() + static_cast<long>(pos + 192));
                ASSERT_TRUE(at != all.end()) << "packet at " << pos;
                ASSERT_EQ((at - all.begin()) % 192, 0) << "packet at " << pos;
                from = static_cast<size_t>(at - all.begin()) + 192;
            }
        }
    }
}

// Ctrl-C in the middle of a recording at the stream's real rate: the file is closed and holds
// exactly the start of what the deck played.
TEST(CliRecord, InterruptClosesTheFileCleanly) {
    TempDir dir;
    const Bytes three = ThreeTimes(ReadFile(SamplePath("sample-sd-192.ts")));
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

// Four recordings started at once (two decks by cron) into one folder, each choosing its own name:
// four files, each holding one deck's stream whole and in order, never two decks in one file.
TEST(CliRecord, RecordingsStartedTogetherNeverShareAFile) {
    TempDir dir;
    fs::create_directories(dir / "out");
    const Bytes sd = ReadFile(SamplePath("sample-sd.ts"));
    std::vector<Bytes> streams;
    for (int k = 0; k < 4; ++k) {
        // Four different streams: the sample cut to four different lengths.
        streams.emplace_back(sd.begin(), sd.begin() + static_cast<long>(188 * (5000 + 1000 * k)));
        WriteFile(dir / ("deck" + std::to_string(k) + ".ts"), streams.back());
    }
    std::string script = "cd " + ShellQuote((dir / "out").string()) + " || exit 9; ";
    for (int k = 0; k < 4; ++k) {
        const std::string deck = (dir / ("deck" + std::to_string(k) + ".ts")).string();
        script += "(while [ ! -e ../go ]; do sleep 0.01; done; " +
                  Cli(deck, "record --seconds 0 --mode ts188") +
                  " >/dev/null 2>&1; echo $? > ../rc" + std::to_string(k) + ") & ";
    }
    script += "touch ../go; wait";
    RunCommand("sh -c " + ShellQuote(script));
    for (int k = 0; k < 4; ++k) {
        const Bytes rc = ReadFile(dir / ("rc" + std::to_string(k)));
        EXPECT_EQ(std::string(rc.begin(), rc.end()), "0\n") << k;
    }
    std::vector<Bytes> files;
    for (const auto& e : fs::directory_iterator(dir / "out")) files.push_back(ReadFile(e.path()));
    ASSERT_EQ(files.size(), 4u);
    for (const Bytes& stream : streams) {
        EXPECT_EQ(std::count(files.begin(), files.end(), stream), 1) << stream.size();
    }
}

// --out naming a file that is there already: it is replaced only once the deck delivers, so a
// deck that fails at once leaves it as it was, and no temporary behind.
TEST(CliRecord, ExistingOutIsKeptWhenNothingArrives) {
    TempDir dir;
    const fs::path out = dir / "keep.ts";
    const Bytes precious(3 * 188 * 1000, 0x5A);
    WriteFile(out, precious);
    const std::string sample = SamplePath("sample-sd.ts").string();
    const std::string record =
        Cli(sample, "record --seconds 0 --mode ts188 --out " + ShellQuote(out.string()));
    const CommandResult failed = RunCommand("TESSALINE_VIRTUAL_FAIL_AFTER=1 " + record);
    // Nothing received (the error may come before or after the deck's first buffer, which holds
    // no whole packet): exit 3.
    EXPECT_EQ(failed.exit_code, 3) << failed.output;
    EXPECT_TRUE(Contains(failed.output, out.string() + " is as it was")) << failed.output;
    EXPECT_EQ(ReadFile(out), precious);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

    const CommandResult replaced = RunCommand(record);
    EXPECT_EQ(replaced.exit_code, 0) << replaced.output;
    EXPECT_EQ(ReadFile(out), ReadFile(SamplePath("sample-sd.ts")));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

// A pipe as the output: refused at once when no program reads it, and when the program reading it
// stops reading, the recording still ends on SIGTERM instead of waiting for ever.
TEST(CliRecord, PipeNobodyReadsNeverHoldsTheRecording) {
    TempDir dir;
    const std::string fifo = (dir / "pipe.ts").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const Bytes three = ThreeTimes(ReadFile(SamplePath("sample-sd-192.ts")));
    WriteFile(dir / "long.ts", three);  // about 15 seconds
    // --foreground: the SIGTERM below reaches the tool once, not again through its group.
    const std::string record =
        "timeout --foreground -s KILL 60 env " + Cli((dir / "long.ts").string(),
                                        "record --seconds 0 --mode ts192 --out " + ShellQuote(fifo),
                                        "real");
    const CommandResult nobody = RunCommand(record);
    EXPECT_EQ(nobody.exit_code, 1) << nobody.output;
    EXPECT_TRUE(Contains(nobody.output, "no program reads from this pipe")) << nobody.output;

    // The reader opens the pipe and never reads; the pipe fills within the first second.
    const std::string script = "sleep 100 < " + ShellQuote(fifo) + " & reader=$!; " + record +
                               " & pid=$!; sleep 3; kill -TERM $pid; wait $pid; rc=$?; " +
                               "kill $reader; echo rc=$rc";
    const CommandResult stalled = RunCommand("sh -c " + ShellQuote(script));
    EXPECT_TRUE(Contains(stalled.output, "rc=1")) << stalled.output;  // 137: killed by timeout
    EXPECT_TRUE(Contains(stalled.output, "to " + fifo + " failed")) << stalled.output;
}

// The recording's folder renamed while it runs: the file is still whole, only elsewhere, and the
// report says so with its size from the open file, not "nothing was written".
TEST(CliRecord, FolderRenamedWhileRecordingIsSaidWithItsSize) {
    TempDir dir;
    const Bytes three = ThreeTimes(ReadFile(SamplePath("sample-sd-192.ts")));
    WriteFile(dir / "long.ts", three);
    fs::create_directories(dir / "shows");
    const fs::path out = dir / "shows" / "rec.m2t";
    const std::string q = ShellQuote(out.string());
    const std::string script =
        Cli((dir / "long.ts").string(), "record --seconds 3 --mode ts192 --out " + q, "real") +
        " & pid=$!; i=0; while [ ! -s " + q +
        " ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done; mv " +
        ShellQuote((dir / "shows").string()) + " " + ShellQuote((dir / "moved").string()) +
        "; wait $pid";
    const CommandResult r = RunCommand("sh -c " + ShellQuote(script));
    const fs::path now = dir / "moved" / "rec.m2t";
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_FALSE(Contains(r.output, "nothing was written")) << r.output;
    EXPECT_TRUE(Contains(r.output, "is now " + now.string())) << r.output;
    const Bytes got = ReadFile(now);
    ASSERT_FALSE(got.empty());
    EXPECT_TRUE(Contains(r.output, std::to_string(got.size()) + " bytes")) << r.output;
    EXPECT_TRUE(std::equal(got.begin(), got.end(), three.begin()));
}

// A program stream that never got its audio and video going (the deck's stream lost packet sync
// before they were found) holds nothing to play: said, exit 3 and no file, as in the other modes.
TEST(CliRecord, ProgramStreamWithoutAudioOrVideoLeavesNoFile) {
    TempDir dir;
    Bytes glitched = ReadFile(SamplePath("sample-sd.ts"));
    const Bytes junk(100, 0x5A);
    glitched.insert(glitched.begin() + static_cast<long>(glitched.size() / 11), junk.begin(),
                    junk.end());
    WriteFile(dir / "glitched.ts", glitched);
    const CommandResult r =
        RunCommand(Cli((dir / "glitched.ts").string(), "record --seconds 0 --mode ps --out " +
                                                           ShellQuote((dir / "rec.mpg").string())));
    EXPECT_EQ(r.exit_code, 3) << r.output;
    EXPECT_TRUE(Contains(r.output, "nothing was written")) << r.output;
    EXPECT_FALSE(fs::exists(dir / "rec.mpg"));
}

Json ReadJson(const fs::path& path) {
    const Bytes bytes = ReadFile(path);
    return Json::Parse(std::string(bytes.begin(), bytes.end()));
}

// --report in every mode: the report beside the file, finished, its hash the file's own as it
// was written, the deck's packets all accounted for.
TEST(CliRecord, ReportBesideTheRecordingInEveryMode) {
    TempDir dir;
    const fs::path sample = SamplePath("sample-sd-192.ts");
    for (const char* mode : {"ts192", "ts188", "ps"}) {
        const fs::path out = dir / (std::string("rec-") + mode + ".ts");
        const CommandResult r = RunCommand(Cli(sample.string(), std::string("record --report --seconds 0 --mode ") + mode +
                                                                    " --out " + ShellQuote(out.string())));
        ASSERT_EQ(r.exit_code, 0) << mode << ": " << r.output;
        const fs::path report = dir / (std::string("rec-") + mode + ".report.json");
        EXPECT_TRUE(Contains(r.output, "report: " + report.string())) << r.output;
        ASSERT_TRUE(fs::exists(dir / (std::string("rec-") + mode + ".report.html")));
        const Json j = ReadJson(report);
        EXPECT_EQ(j["command"].string(), "record");
        EXPECT_TRUE(j["complete"].boolean());
        EXPECT_EQ(j["end_reason"].string(), "deck-stopped");
        EXPECT_EQ(j["deck"]["name"].string(), "Virtual AV/C Tape Subunit (Tessaline Virtual Deck #1)");
        const Json& rec = j["recordings"][0];
        EXPECT_EQ(rec["mode"].string(), mode);
        EXPECT_EQ(rec["verdict"].string(), "pass") << mode;
        EXPECT_EQ(rec["packets"].number(), 11358);  // every packet the deck sent, in every mode
        EXPECT_EQ(rec["packet_size"].number(), 192);
        EXPECT_EQ(rec["sha256_from"].string(), "writing");
        const CommandResult sum = RunCommand("sha256sum " + ShellQuote(out.string()));
        EXPECT_EQ(rec["sha256"].string(), sum.output.substr(0, 64)) << mode;
        EXPECT_EQ(rec["bytes"].number(), double(fs::file_size(out)));
        EXPECT_FALSE(rec["started"].is_null());
    }
}

// A recording that ends in failure still gets its report, and says how it ended; a full disk
// cuts the file back, so its hash is taken from what the file holds.
TEST(CliRecord, ReportOfRecordingsThatFailed) {
    TempDir dir;
    const fs::path sample = SamplePath("sample-hd-192.ts");
    const fs::path out = dir / "full.m2ts";
    const std::string record = Cli(sample.string(), "record --report --seconds 0 --mode ts192 --out " +
                                                        ShellQuote(out.string()));
    CommandResult r = RunCommand("sh -c " + ShellQuote("trap '' XFSZ; ulimit -f 2048; " + record));
    ASSERT_EQ(r.exit_code, 1) << r.output;
    Json j = ReadJson(dir / "full.report.json");
    EXPECT_EQ(j["end_reason"].string(), "failed");
    EXPECT_EQ(j["recordings"][0]["sha256_from"].string(), "reading");
    const CommandResult sum = RunCommand("sha256sum " + ShellQuote(out.string()));
    EXPECT_EQ(j["recordings"][0]["sha256"].string(), sum.output.substr(0, 64));

    r = RunCommand("TESSALINE_VIRTUAL_FAIL_AFTER=96000 " +
                   Cli(SamplePath("sample-sd-192.ts").string(),
                       "record --report --seconds 0 --mode ts192 --out " + ShellQuote((dir / "lost.m2ts").string())));
    ASSERT_EQ(r.exit_code, 1) << r.output;
    j = ReadJson(dir / "lost.report.json");
    EXPECT_EQ(j["end_reason"].string(), "failed");
    EXPECT_EQ(j["recordings"][0]["sha256_from"].string(), "writing");
    EXPECT_EQ(j["recordings"][0]["bytes"].number(), 96000);

    // Nothing received: neither recording nor report is left.
    Bytes slow;
    for (int i = 0; i < 100; ++i) Append(slow, PcrPacket(i * 0.5));
    WriteFile(dir / "slow.ts", slow);
    r = RunCommand(Cli((dir / "slow.ts").string(),
                       "record --report --seconds 2 --mode ts188 --out " + ShellQuote((dir / "none.ts").string()),
                       "real"));
    EXPECT_EQ(r.exit_code, 3) << r.output;
    EXPECT_FALSE(fs::exists(dir / "none.report.json"));
    EXPECT_FALSE(fs::exists(dir / "none.report.html"));

    // A report needs a file to sit beside.
    r = RunCommand(Cli(sample.string(), "record --report --seconds 1 --out /dev/null"));
    EXPECT_EQ(r.exit_code, 2) << r.output;
    EXPECT_TRUE(Contains(r.output, "--report")) << r.output;
}

}  // namespace
}  // namespace tessaline::test
