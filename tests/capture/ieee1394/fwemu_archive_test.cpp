// SPDX-License-Identifier: GPL-3.0-or-later
// tessaline-cli archive on the emulated deck, end to end: a damaged tape of two recordings and a
// blank, the same tape undamaged, a long blank, a deck that goes silent, Ctrl-C while it records
// and while it rewinds, a file system that takes no more, a folder that is not empty, and a start
// that records nothing, which takes away the folders it made.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "tests/support/json_value.h"
#include "tests/support/test_support.h"

extern char** environ;

namespace tessaline::test {
namespace {

namespace fs = std::filesystem;

std::string Q(const fs::path& path) {
    return ShellQuote(path.string());
}

// The TS packets of 188-byte packets or 192-byte source packets.
Bytes TsPackets(const Bytes& bytes, int size) {
    if (size == 188) return bytes;
    Bytes out;
    for (size_t at = 0; at + 192 <= bytes.size(); at += 192) {
        out.insert(out.end(), bytes.begin() + long(at + 4), bytes.begin() + long(at + 192));
    }
    return out;
}

// Whether `got` is `whole` with one run of packets missing (none when `gaps` is 0).
bool OneRunMissing(const Bytes& whole, const Bytes& got, int gaps) {
    if (got.size() % 188 != 0 || got.size() > whole.size()) return false;
    size_t head = 0;
    while (head < got.size() && std::equal(got.begin() + long(head), got.begin() + long(head + 188),
                                           whole.begin() + long(head))) {
        head += 188;
    }
    if (head == got.size()) return gaps == 0 && got.size() == whole.size();
    const size_t tail = got.size() - head;
    return gaps == 1 && std::equal(got.end() - long(tail), got.end(), whole.end() - long(tail));
}

class FwemuArchive : public ::testing::Test {
  protected:
    // The emulator's variables and the command, as a shell runs them.
    std::string Env(const std::string& cassette, const std::string& more, bool fast = true) const {
        return "env -u TESSALINE_VIRTUAL_DECK -u TESSALINE_IEEE1394 LD_PRELOAD=" +
               ShellQuote(FWEMU_PRELOAD) + (fast ? " FWEMU_PACE=fast" : "") +
               " FWEMU_CASSETTE=" + ShellQuote(cassette) +
               " FWEMU_STATE=" + Q(dir_ / "deck.state") + " " + more + " ";
    }
    std::string Archive(const std::string& cassette, const std::string& more,
                        const std::string& args) const {
        return "timeout -k 5 90 " + Env(cassette, more) + ShellQuote(TESSALINE_CLI) +
               " archive --tape-minutes 1 " + args;
    }
    std::string TwoRecordings() const {
        return SamplePath("sample-sd-192.ts").string() + ",blank:4," +
               SamplePath("sample-sd.ts").string();
    }
    Json Report(const fs::path& out, const std::string& id) const {
        return Json::Parse(ReadText(out / (id + ".report.json")));
    }
    // The deck's transport as the next process finds it.
    std::string Transport(const std::string& cassette, const std::string& more) const {
        const CommandResult r = RunCommand("timeout -k 5 60 " + Env(cassette, more) +
                                           ShellQuote(TESSALINE_CLI) + " deck status --json");
        const size_t at = r.output.find("\"transport\":\"");
        return at == std::string::npos
                   ? r.output
                   : r.output.substr(at + 13, r.output.find('"', at + 13) - at - 13);
    }
    std::vector<fs::path> Media(const fs::path& out) const {
        std::vector<fs::path> files;
        for (const auto& e : fs::directory_iterator(out)) {
            if (e.path().extension() == ".m2ts" || e.path().extension() == ".ts") {
                files.push_back(e.path());
            }
        }
        std::sort(files.begin(), files.end());
        return files;
    }
    // Starts archive in a shell that becomes it (exec), so that the pid is the tool's; its output
    // goes to dir_/log.
    pid_t StartArchive(const std::string& cassette, const std::string& more,
                       const std::string& args) const {
        const std::string command = "exec " + Env(cassette, more, false) +
                                    ShellQuote(TESSALINE_CLI) + " archive --tape-minutes 1 " +
                                    args + " > " + Q(dir_ / "log") + " 2>&1";
        const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
        pid_t pid = 0;
        if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ)) {
            return 0;
        }
        return pid;
    }
    // Waits until `ready` holds (at most a minute); false when the tool ended first or never got
    // there.
    bool WaitUntil(pid_t pid, const std::function<bool()>& ready) const {
        for (int i = 0; i < 1200; ++i) {
            if (ready()) return true;
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    TempDir dir_;
};

TEST_F(FwemuArchive,
       ADamagedTapeGivesTwoRecordingsTheFirstWithItsDropoutAndTheSameTapeUndamagedPasses) {
    const std::string tape = " FWEMU_TAPE_SECONDS=30";
    const fs::path out = dir_ / "out";
    const CommandResult r = RunCommand(Archive(TwoRecordings(), tape + " FWEMU_DAMAGE=drop@2+0.3",
                                               "--out " + Q(out) + " --id TAPE1"));
    ASSERT_EQ(r.exit_code, 1) << r.output;
    const std::vector<fs::path> media = Media(out);
    ASSERT_EQ(media.size(), 2u) << r.output;
    EXPECT_EQ(media[0].filename(), "TAPE1_01.m2ts");
    EXPECT_TRUE(OneRunMissing(TsPackets(ReadFile(SamplePath("sample-sd-192.ts")), 192),
                              TsPackets(ReadFile(media[0]), 192), 1));
    EXPECT_EQ(TsPackets(ReadFile(media[1]), 192), ReadFile(SamplePath("sample-sd.ts")));
    const CommandResult sums = RunCommand("cd " + Q(out) + " && sha256sum -c manifest-sha256.txt");
    EXPECT_EQ(sums.exit_code, 0) << sums.output;
    EXPECT_FALSE(fs::exists(out / ".TAPE1.capture"));

    const Json report = Report(out, "TAPE1");
    EXPECT_EQ(report["end_reason"].string(), "end-of-tape");
    EXPECT_NE(report["verdict"].string(), "pass");
    EXPECT_EQ(report["deck"]["guid"].string(), "0x0000d0000e0decca");
    ASSERT_EQ(report["recordings"].size(), 2u);
    const Json& first = report["recordings"][0];
    EXPECT_GT(first["cc_errors"].number(), 0);
    // The bus saw the hole too: empty packets where the tape gave nothing.
    EXPECT_EQ(first["empty_stretches"].number(), 1);
    ASSERT_EQ(first["dropouts"].size(), 1u);
    EXPECT_GE(first["dropouts"][0]["at"].number(), 1.3);
    EXPECT_LE(first["dropouts"][0]["at"].number() + first["dropouts"][0]["duration"].number(), 2.7);
    // The tape's start, give or take the moment the deck takes to start playing.
    EXPECT_NEAR(first["tape_start"].number(), 0, 0.5);
    const Json& second = report["recordings"][1];
    EXPECT_EQ(second["cc_errors"].number(), 0);
    EXPECT_EQ(second["verdict"].string(), "pass");
    EXPECT_NEAR(second["tape_start"].number(), first["duration"].number() + 4, 0.5);
    ASSERT_GE(report["blanks"].size(), 1u);
    EXPECT_NEAR(report["blanks"][0]["duration"].number(), 4, 0.5);
    EXPECT_EQ(Transport(TwoRecordings(), tape), "stop");

    const fs::path clean = dir_ / "clean";
    const CommandResult again =
        RunCommand(Archive(TwoRecordings(), tape, "--out " + Q(clean) + " --id TAPE1"));
    EXPECT_EQ(again.exit_code, 0) << again.output;
    EXPECT_EQ(Media(clean).size(), 2u);
    EXPECT_EQ(Report(clean, "TAPE1")["verdict"].string(), "pass");
}

TEST_F(FwemuArchive, StopsAtALongBlankAndLaysOutABag) {
    const fs::path out = dir_ / "bag";
    const CommandResult r =
        RunCommand(Archive(TwoRecordings(), "FWEMU_TAPE_SECONDS=30",
                           "--out " + Q(out) + " --id T --blank-stop 2 --mode ts188 --bag"));
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const std::vector<fs::path> media = Media(out / "data");
    ASSERT_EQ(media.size(), 1u) << r.output;
    EXPECT_EQ(media[0].filename(), "T_01.ts");
    EXPECT_EQ(ReadFile(media[0]), TsPackets(ReadFile(SamplePath("sample-sd-192.ts")), 192));
    EXPECT_EQ(Report(out, "T")["end_reason"].string(), "blank");
    for (const char* tag : {"bagit.txt", "bag-info.txt", "tagmanifest-sha256.txt"}) {
        EXPECT_TRUE(fs::exists(out / tag)) << tag;
    }
    const CommandResult sums = RunCommand("cd " + Q(out) + " && sha256sum -c manifest-sha256.txt");
    EXPECT_EQ(sums.exit_code, 0) << sums.output;
    EXPECT_EQ(Transport(TwoRecordings(), "FWEMU_TAPE_SECONDS=30"), "stop");
}

TEST_F(FwemuArchive, ADeckThatGoesSilentIsGivenUpOnByTheWatchdogWithWhatCameKept) {
    const fs::path out = dir_ / "out";
    const std::string cassette = SamplePath("sample-sd-192.ts").string();
    const CommandResult r =
        RunCommand(Archive(cassette, "FWEMU_EVENTS=silence@2-60", "--out " + Q(out) + " --id W"));
    ASSERT_EQ(r.exit_code, 2) << r.output;
    const Json report = Report(out, "W");
    EXPECT_EQ(report["end_reason"].string(), "watchdog");
    EXPECT_TRUE(report["complete"].boolean());
    ASSERT_EQ(report["recordings"].size(), 1u);
    const std::vector<fs::path> media = Media(out);
    ASSERT_EQ(media.size(), 1u);
    const Bytes got = TsPackets(ReadFile(media[0]), 192);
    const Bytes whole = TsPackets(ReadFile(SamplePath("sample-sd-192.ts")), 192);
    ASSERT_GT(got.size(), 0u);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), whole.begin()));
    const CommandResult sums = RunCommand("cd " + Q(out) + " && sha256sum -c manifest-sha256.txt");
    EXPECT_EQ(sums.exit_code, 0) << sums.output;
}

TEST_F(FwemuArchive, CtrlCClosesTheFilesWritesTheReportAndStopsTheDeck) {
    const fs::path out = dir_ / "out";
    const std::string cassette = SamplePath("sample-sd-192.ts").string() + ",blank:60";
    // At the deck's own pace, so that it is still playing when the signal comes.
    const pid_t pid =
        StartArchive(cassette, "FWEMU_TAPE_SECONDS=120", "--out " + Q(out) + " --id C");
    ASSERT_NE(pid, 0);
    // Interrupted once the first recording has begun and the report is there.
    ASSERT_TRUE(WaitUntil(pid, [&] {
        return fs::exists(out / "C_01.m2ts") && fs::exists(out / "C.report.json");
    })) << ReadText(dir_ / "log");
    ASSERT_EQ(kill(pid, SIGINT), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << ReadText(dir_ / "log");
    EXPECT_EQ(WEXITSTATUS(status), 2) << ReadText(dir_ / "log");

    const Json report = Report(out, "C");
    EXPECT_EQ(report["end_reason"].string(), "stopped");
    EXPECT_TRUE(report["complete"].boolean());
    ASSERT_EQ(report["recordings"].size(), 1u);
    const Bytes got = TsPackets(ReadFile(out / "C_01.m2ts"), 192);
    const Bytes whole = TsPackets(ReadFile(SamplePath("sample-sd-192.ts")), 192);
    EXPECT_EQ(report["recordings"][0]["bytes"].number(),
              double(ReadFile(out / "C_01.m2ts").size()));
    EXPECT_TRUE(got.size() <= whole.size() && std::equal(got.begin(), got.end(), whole.begin()));
    const CommandResult sums = RunCommand("cd " + Q(out) + " && sha256sum -c manifest-sha256.txt");
    EXPECT_EQ(sums.exit_code, 0) << sums.output;
    EXPECT_EQ(Transport(cassette, "FWEMU_TAPE_SECONDS=120"), "stop");
}

TEST_F(FwemuArchive, AFileSystemThatTakesNoMoreEndsItWithWhatWasSavedKeptAndReported) {
    // RLIMIT_FSIZE of 3 MiB (bash counts in KiB): the capture cannot grow past it, the first
    // recording (2.2 MB) fits.
    const fs::path out = dir_ / "out";
    const CommandResult r =
        RunCommand("bash -c " + ShellQuote("ulimit -f 3072; trap '' XFSZ; exec " +
                                           Archive(TwoRecordings(), "FWEMU_TAPE_SECONDS=30",
                                                   "--out " + Q(out) + " --id F")));
    ASSERT_EQ(r.exit_code, 2) << r.output;
    EXPECT_TRUE(Contains(r.output, "failed")) << r.output;
    const Json report = Report(out, "F");
    EXPECT_EQ(report["end_reason"].string(), "failed");
    ASSERT_GE(report["recordings"].size(), 1u);
    EXPECT_EQ(TsPackets(ReadFile(out / "F_01.m2ts"), 192),
              TsPackets(ReadFile(SamplePath("sample-sd-192.ts")), 192));
    const CommandResult sums = RunCommand("cd " + Q(out) + " && sha256sum -c manifest-sha256.txt");
    EXPECT_EQ(sums.exit_code, 0) << sums.output;
    EXPECT_EQ(Transport(TwoRecordings(), "FWEMU_TAPE_SECONDS=30"), "stop");
}

TEST_F(FwemuArchive, BusResetsAreListedInTheRecordingTheyHitAlsoByRecordReport) {
    const std::string file = SamplePath("sample-sd-192.ts").string();
    const fs::path out = dir_ / "out";
    const CommandResult r =
        RunCommand(Archive(file, "FWEMU_EVENTS=reset@3", "--out " + Q(out) + " --id R"));
    EXPECT_EQ(r.exit_code, 1) << r.output;
    const Json report = Report(out, "R");
    ASSERT_EQ(report["recordings"].size(), 1u);
    EXPECT_EQ(report["recordings"][0]["bus_resets"].number(), 1);
    EXPECT_EQ(report["recordings"][0]["verdict"].string(), "warn");

    const fs::path recorded = dir_ / "rec.ts";
    const CommandResult rec = RunCommand(
        "timeout -k 5 90 env -u TESSALINE_VIRTUAL_DECK -u TESSALINE_IEEE1394 LD_PRELOAD=" +
        ShellQuote(FWEMU_PRELOAD) + " FWEMU_PACE=fast FWEMU_PLAY=" + ShellQuote(file) +
        " FWEMU_EVENTS=reset@2 " + ShellQuote(TESSALINE_CLI) +
        " record --seconds 4 --report --out " + Q(recorded));
    EXPECT_EQ(rec.exit_code, 0) << rec.output;
    const Json beside = Json::Parse(ReadText(dir_ / "rec.report.json"));
    ASSERT_EQ(beside["recordings"].size(), 1u);
    EXPECT_EQ(beside["recordings"][0]["bus_resets"].number(), 1);
}

TEST_F(FwemuArchive,
       AFolderNotEmptyADeckWithoutACassetteOrSwitchedOffAreRefusedBeforeAnythingMoves) {
    const fs::path out = dir_ / "out";
    fs::create_directory(out);
    WriteFile(out / "TAPE_01.m2ts", Bytes{1, 2, 3});
    const std::string cassette = SamplePath("sample-sd-192.ts").string();
    const CommandResult r = RunCommand(Archive(cassette, "", "--out " + Q(out) + " --id TAPE"));
    EXPECT_EQ(r.exit_code, 3) << r.output;
    EXPECT_TRUE(Contains(r.output, "is not empty")) << r.output;
    EXPECT_EQ(ReadFile(out / "TAPE_01.m2ts"), (Bytes{1, 2, 3}));
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 1);

    // No cassette: refused the same way, no folder made.
    const CommandResult none =
        RunCommand(Archive(cassette, "FWEMU_MEDIUM=none", "--out " + Q(dir_ / "none")));
    EXPECT_EQ(none.exit_code, 3) << none.output;
    EXPECT_TRUE(Contains(none.output, "no cassette")) << none.output;
    EXPECT_FALSE(fs::exists(dir_ / "none"));
    const CommandResult off =
        RunCommand(Archive(cassette, "FWEMU_POWER=off", "--out " + Q(dir_ / "off")));
    EXPECT_EQ(off.exit_code, 3) << off.output;
    EXPECT_TRUE(Contains(off.output, "is switched off")) << off.output;
    EXPECT_FALSE(fs::exists(dir_ / "off"));
}

// Ctrl-C while the tape rewinds, before anything plays: the deck is stopped (not left winding),
// nothing was recorded (exit 3), and the folder made for the recordings is gone again.
TEST_F(FwemuArchive, CtrlCWhileTheTapeRewindsStopsTheDeckAndLeavesNoFolder) {
    const std::string cassette = "blank:600";
    // The tape wound to its end quickly, then rewound slowly (5 minutes) by archive.
    const CommandResult ff =
        RunCommand("timeout -k 5 60 " + Env(cassette, "FWEMU_WIND_SPEED=1000", false) +
                   ShellQuote(TESSALINE_CLI) + " deck ff --wait=30");
    ASSERT_EQ(ff.exit_code, 0) << ff.output;
    const fs::path out = dir_ / "new" / "out";
    const pid_t pid = StartArchive(cassette, "FWEMU_WIND_SPEED=2", "--out " + Q(out) + " --id W");
    ASSERT_NE(pid, 0);
    ASSERT_TRUE(WaitUntil(pid, [&] {
        return Contains(ReadText(dir_ / "log"), "rewinding the tape");
    })) << ReadText(dir_ / "log");
    ASSERT_TRUE(fs::is_directory(out));
    ASSERT_EQ(kill(pid, SIGINT), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    const std::string log = ReadText(dir_ / "log");
    ASSERT_TRUE(WIFEXITED(status)) << log;
    EXPECT_EQ(WEXITSTATUS(status), 3) << log;
    EXPECT_TRUE(Contains(log, "while it rewound")) << log;
    EXPECT_TRUE(Contains(log, "nothing was recorded")) << log;
    EXPECT_FALSE(fs::exists(dir_ / "new")) << log;  // both folders archive made
    EXPECT_EQ(Transport(cassette, "FWEMU_WIND_SPEED=2"), "stop");
}

// A start that records nothing (here: no room for the tape) takes away the folders archive made,
// and only those: a folder the user had stays, emptied of what archive put there.
TEST_F(FwemuArchive, AStartThatRecordsNothingRemovesOnlyTheFoldersItMade) {
    const std::string cassette = SamplePath("sample-sd-192.ts").string();
    const std::string huge = "timeout -k 5 60 " + Env(cassette, "") + ShellQuote(TESSALINE_CLI) +
                             " archive --tape-minutes 100000000 ";
    const CommandResult made = RunCommand(huge + "--bag --out " + Q(dir_ / "a" / "b"));
    EXPECT_EQ(made.exit_code, 3) << made.output;
    EXPECT_TRUE(Contains(made.output, "GB free")) << made.output;
    EXPECT_FALSE(fs::exists(dir_ / "a")) << made.output;

    const fs::path mine = dir_ / "mine";
    fs::create_directory(mine);
    const CommandResult had = RunCommand(huge + "--bag --out " + Q(mine));
    EXPECT_EQ(had.exit_code, 3) << had.output;
    EXPECT_TRUE(fs::is_directory(mine));
    EXPECT_TRUE(fs::is_empty(mine)) << had.output;  // the bag's data/ went again
}

}  // namespace
}  // namespace tessaline::test
