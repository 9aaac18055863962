// SPDX-License-Identifier: GPL-3.0-or-later
// tessaline-cli on the emulated bus: the real libraw1394, librom1394 and libiec61883 under the
// program, the kernel interface and a D-VHS deck emulated beneath them (libfwemu.so, preloaded).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace tessaline::test {
namespace {

namespace fs = std::filesystem;

// What the emulated deck plays, where its tape goes, what happens on the bus.
struct Bus {
    std::string play;
    std::string tape;
    std::string events;
    std::string log;
    std::string extra;  // more VAR=value words
    bool fast = true;
};

// A tool that hangs (or ignores SIGTERM while it hangs) is killed rather than left behind.
constexpr const char* kBounded = "timeout -k 5 60 ";

std::string Cli(const Bus& bus, const std::string& args) {
    std::string env = std::string(kBounded) +
                      "env -u TESSALINE_VIRTUAL_DECK -u TESSALINE_IEEE1394 LD_PRELOAD=" +
                      ShellQuote(FWEMU_PRELOAD);
    if (!bus.play.empty()) env += " FWEMU_PLAY=" + ShellQuote(bus.play);
    if (!bus.tape.empty()) env += " FWEMU_TAPE=" + ShellQuote(bus.tape);
    if (!bus.events.empty()) env += " FWEMU_EVENTS=" + ShellQuote(bus.events);
    if (!bus.log.empty()) env += " FWEMU_LOG=" + ShellQuote(bus.log);
    if (bus.fast) env += " FWEMU_PACE=fast";
    if (!bus.extra.empty()) env += " " + bus.extra;
    return env + " " + ShellQuote(TESSALINE_CLI) + " " + args;
}

// The same command on the virtual deck, as the reference.
std::string VirtualCli(const std::string& file, const std::string& args) {
    return "env TESSALINE_IEEE1394=off TESSALINE_VIRTUAL_DECK=" + ShellQuote(file) +
           " TESSALINE_VIRTUAL_PACE=fast " + ShellQuote(TESSALINE_CLI) + " " + args;
}

// The 188-byte TS packets of a file of 188- or 192-byte packets.
Bytes TsPackets(const Bytes& file, size_t packet_size) {
    if (packet_size == 188) return file;
    Bytes out;
    for (size_t at = 0; at + 192 <= file.size(); at += 192) {
        out.insert(out.end(), file.begin() + static_cast<long>(at + 4),
                   file.begin() + static_cast<long>(at + 192));
    }
    return out;
}

std::string Record(const fs::path& out, const std::string& mode, int seconds,
                   const std::string& more = "") {
    return "record --seconds " + std::to_string(seconds) + " --mode " + mode + " --out " +
           ShellQuote(out.string()) + (more.empty() ? "" : " " + more);
}

// ---- Enumeration and state -------------------------------------------------------------------

TEST(FwemuDevices, ListsTheDeckByItsRomWithGuidPowerAndTransport) {
    const CommandResult listed = RunCommand(Cli({}, "devices"));
    EXPECT_EQ(listed.exit_code, 0) << listed.output;
    EXPECT_TRUE(Contains(listed.output, "0  AV/C Tape Subunit (Fwemu D-VHS Deck #1)"))
        << listed.output;
    EXPECT_FALSE(Contains(listed.output, "Controller")) << listed.output;

    const CommandResult verbose = RunCommand(Cli({}, "devices --verbose"));
    EXPECT_EQ(verbose.exit_code, 0) << verbose.output;
    std::string lower = verbose.output;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char ch) { return std::tolower(ch); });
    EXPECT_TRUE(Contains(lower, "0000d0000e0decca")) << verbose.output;
    EXPECT_TRUE(Contains(verbose.output, "power on")) << verbose.output;
    EXPECT_TRUE(Contains(verbose.output, "transport stop")) << verbose.output;

    Bus off;
    off.extra = "FWEMU_POWER=off";
    const CommandResult standby = RunCommand(Cli(off, "devices --verbose"));
    EXPECT_EQ(standby.exit_code, 0) << standby.output;
    EXPECT_TRUE(Contains(standby.output, "power off")) << standby.output;
}

// ---- Recording -------------------------------------------------------------------------------

class FwemuRecord : public ::testing::Test {
  protected:
    // Records `sample` from the emulated deck and from the virtual deck in `mode`; both files
    // must be the same bytes.
    void SameAsVirtualDeck(const std::string& sample, const std::string& mode) {
        const fs::path file = SamplePath(sample);
        const fs::path real = dir_ / ("emulated." + mode);
        const fs::path virt = dir_ / ("virtual." + mode);
        Bus bus;
        bus.play = file.string();
        const CommandResult r = RunCommand(Cli(bus, Record(real, mode, 3)));
        EXPECT_EQ(r.exit_code, 0) << r.output;
        const CommandResult v = RunCommand(VirtualCli(file.string(), Record(virt, mode, 0)));
        EXPECT_EQ(v.exit_code, 0) << v.output;
        const Bytes got = ReadFile(real);
        EXPECT_FALSE(got.empty());
        EXPECT_TRUE(got == ReadFile(virt))
            << mode << ": " << got.size() << " bytes against " << ReadFile(virt).size() << "\n"
            << r.output;
    }
    TempDir dir_;
};

TEST_F(FwemuRecord, Ts192KeepsTheDecksSourcePacketsByteExact) {
    SameAsVirtualDeck("sample-sd-192.ts", "ts192");
    EXPECT_EQ(ReadFile(dir_ / "emulated.ts192"), ReadFile(SamplePath("sample-sd-192.ts")));
}

TEST_F(FwemuRecord, Ts188IsTheFileTheDeckPlayed) {
    SameAsVirtualDeck("sample-sd.ts", "ts188");
    EXPECT_EQ(ReadFile(dir_ / "emulated.ts188"), ReadFile(SamplePath("sample-sd.ts")));
}

TEST_F(FwemuRecord, ProgramStreamMatchesTheVirtualDeck) {
    SameAsVirtualDeck("sample-sd.ts", "ps");
}

// Packets that claim more than a receive slot holds (the controller stores what fits): nothing
// is read past the slot (the emulated buffer ends in a guard page that faults).
TEST(FwemuRecordHostile, OversizedPacketsAreClampedToTheirSlot) {
    TempDir dir;
    Bus bus;
    bus.play = SamplePath("sample-sd-192.ts").string();
    bus.extra = "FWEMU_JUMBO=1";
    const fs::path out = dir / "rec.m2ts";
    const CommandResult r = RunCommand(Cli(bus, Record(out, "ts192", 2)));
    // Whatever the recording makes of such packets, the tool ends on its own.
    EXPECT_LT(r.exit_code, 124) << r.output;
    EXPECT_FALSE(Contains(r.output, "Sanitizer")) << r.output;
}

// ---- Writing to tape -------------------------------------------------------------------------

TEST(FwemuWrite, TwoFilesWithRecStartLandOnTapeInOrder) {
    TempDir dir;
    Bus bus;
    bus.tape = (dir / "tape.m2ts").string();
    bus.log = (dir / "bus.log").string();
    const fs::path a = SamplePath("sample-sd.ts");
    const fs::path b = SamplePath("sample-ac3.ts");
    const CommandResult w = RunCommand(
        Cli(bus, "write --rec-start " + ShellQuote(a.string()) + " " + ShellQuote(b.string())));
    EXPECT_EQ(w.exit_code, 0) << w.output;
    EXPECT_TRUE(Contains(w.output, "2 file(s) written")) << w.output;
    Bytes expected = ReadFile(a);
    Append(expected, ReadFile(b));
    const Bytes tape = TsPackets(ReadFile(bus.tape), 192);
    EXPECT_EQ(tape.size(), expected.size());
    EXPECT_TRUE(tape == expected) << ReadText(bus.log);
    // The deck was told to record only once its input plug was connected and fed.
    const std::string log = ReadText(bus.log);
    EXPECT_FALSE(Contains(log, "record refused")) << log;
}

// ---- Bus events ------------------------------------------------------------------------------

TEST(FwemuEvents, BusResetWhileRecordingLosesNothing) {
    TempDir dir;
    Bus bus;
    bus.play = SamplePath("sample-sd-192.ts").string();
    bus.events = "reset@0.1";
    bus.log = (dir / "bus.log").string();
    const fs::path out = dir / "rec.m2ts";
    const CommandResult r = RunCommand(Cli(bus, Record(out, "ts192", 3)));
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(ReadFile(out) == ReadFile(bus.play)) << r.output << ReadText(bus.log);
    // The connection is restored within the second the deck allows, with one connection on
    // the plug, and undone at the end: the deck's channel is free again.
    const std::string log = ReadText(bus.log);
    EXPECT_TRUE(Contains(log, "bus-reset generation=4")) << log;
    EXPECT_TRUE(Contains(log, "after reset: opcr p2p=1")) << log;
    EXPECT_TRUE(Contains(log.substr(log.rfind("opcr p2p=")), "opcr p2p=0")) << log;
}

TEST(FwemuEvents, BusResetWhileWritingStillFinishesTheTape) {
    TempDir dir;
    Bus bus;
    bus.tape = (dir / "tape.m2ts").string();
    bus.events = "reset@0.2";
    bus.log = (dir / "bus.log").string();
    const fs::path a = SamplePath("sample-sd.ts");
    const CommandResult w = RunCommand(Cli(bus, "write --rec-start " + ShellQuote(a.string())));
    EXPECT_EQ(w.exit_code, 0) << w.output;
    const std::string log = ReadText(bus.log);
    EXPECT_TRUE(Contains(log, "bus-reset generation=4")) << log;
    EXPECT_TRUE(Contains(log.substr(log.rfind("ipcr p2p=")), "ipcr p2p=0")) << log;
    EXPECT_FALSE(ReadFile(bus.tape).empty()) << log;
}

TEST(FwemuEvents, UnplugPastTheDeadlineEndsTheRecordingAndKeepsTheFile) {
    TempDir dir;
    Bus bus;
    bus.play = SamplePath("sample-sd-192.ts").string();
    bus.fast = false;
    bus.events = "unplug@0.5-60";
    const fs::path out = dir / "rec.m2ts";
    const CommandResult r = RunCommand(Cli(bus, Record(out, "ts192", 25)));
    EXPECT_NE(r.exit_code, 0) << r.output;
    EXPECT_TRUE(Contains(r.output, "Fwemu D-VHS Deck")) << r.output;
    const Bytes got = ReadFile(out);
    EXPECT_FALSE(got.empty()) << r.output;
    const Bytes played = ReadFile(bus.play);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), played.begin())) << r.output;
}

TEST(FwemuEvents, ADeckBackWithinTheDeadlineIsRecordedToTheEndAndTheGapSaid) {
    TempDir dir;
    Bus bus;
    bus.play = SamplePath("sample-sd-192.ts").string();
    bus.events = "unplug@0.1-1.5";
    bus.log = (dir / "bus.log").string();
    const fs::path out = dir / "rec.m2ts";
    const CommandResult r = RunCommand(Cli(bus, Record(out, "ts192", 6)));
    // The deck played on while it was away: the recording misses that much, and says so.
    EXPECT_EQ(r.exit_code, 1) << r.output << ReadText(bus.log);
    EXPECT_NE(r.output.find("(the deck was off the bus)"), std::string::npos) << r.output;
    const Bytes got = ReadFile(out);
    const Bytes played = ReadFile(bus.play);
    // The deck plays on from where it was once it is back: the recording ends with its end.
    ASSERT_GE(got.size(), size_t{192});
    EXPECT_TRUE(std::equal(got.end() - 192, got.end(), played.end() - 192)) << r.output;
}

TEST(FwemuEvents, SilencePastTheDeadlineIsNoticed) {
    TempDir dir;
    Bus bus;
    bus.play = SamplePath("sample-sd-192.ts").string();
    bus.fast = false;
    bus.events = "silence@0.5-60";
    const fs::path out = dir / "rec.m2ts";
    // Without a look at the packets the recording would sit there until its 25 seconds are up
    // and call that a success.
    const CommandResult r = RunCommand(Cli(bus, Record(out, "ts192", 25)));
    EXPECT_NE(r.exit_code, 0) << r.output;
    EXPECT_FALSE(ReadFile(out).empty()) << r.output;
}

// ---- Access and a deck that is busy -----------------------------------------------------------

TEST(FwemuAccess, AnUnopenableControllerNodeIsNamed) {
    Bus bus;
    bus.extra = "FWEMU_NO_LOCAL_ACCESS=1";
    const CommandResult r = RunCommand(Cli(bus, "devices"));
    EXPECT_TRUE(Contains(r.output, "/dev/fw0")) << r.output;
}

TEST(FwemuAccess, ABusyDeckIsAskedAgainNotTakenForAReset) {
    Bus bus;
    bus.extra = "FWEMU_BUSY=2";
    const CommandResult r = RunCommand(Cli(bus, "devices --verbose"));
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(Contains(r.output, "Fwemu D-VHS Deck")) << r.output;
    EXPECT_TRUE(Contains(r.output, "power on")) << r.output;

    bus.extra = "FWEMU_BUSY=all";
    const CommandResult never = RunCommand(Cli(bus, "devices --verbose"));
    EXPECT_NE(never.exit_code, 0) << never.output;
}

}  // namespace
}  // namespace tessaline::test
