#include "stream/file_remux.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "stream/input_file.h"
#include "stream/output_file.h"
#include "stream/stream_context.h"
#include "stream/ts_format.h"
#include "tests/stream/stream_test_util.h"

namespace tessaline {
namespace {

using Outcome = RemuxJobResult::Outcome;
using test::Bytes;
using test::Filler;
using test::MakePes;

class RemuxTest : public ::testing::Test {
  protected:
    RemuxJobResult Run(const std::filesystem::path& in, uint16_t vpid = 0, uint16_t apid = 0,
                       const std::string& out_name = "out.mpg") {
        return RunRemuxJob(ctx, in.string(), (dir / out_name).string(), vpid, apid);
    }
    Bytes Output(const std::string& name = "out.mpg") { return test::ReadFile(dir / name); }

    test::TempDir dir;
    StreamContext ctx;
};

TEST_F(RemuxTest, SamplesConvertToReadableProgramStreams) {
    if (!test::HaveTool("ffprobe") || !test::HaveTool("psreport")) GTEST_SKIP() << "no oracles";
    for (const char* name : {"sample-sd.ts", "sample-sd-192.ts", "sample-hd-192.ts"}) {
        for (bool check_pts : {true, false}) {
            SCOPED_TRACE(std::string(name) + (check_pts ? " Check PTS" : " all"));
            ctx.options.CheckPts = check_pts;
            const auto in = test::SamplePath(name);
            const RemuxJobResult r = Run(in);
            ASSERT_EQ(r.outcome, Outcome::Done) << r.message;
            const auto out = dir / "out.mpg";
            const auto probed = test::Probe(out);
            ASSERT_TRUE(probed);
            EXPECT_EQ(probed->format_name, "mpeg");
            ASSERT_TRUE(probed->Find("video") && probed->Find("audio"));
            EXPECT_EQ(probed->Find("video")->codec_name, "mpeg2video");
            EXPECT_EQ(probed->Find("audio")->codec_name, "mp2");
            EXPECT_NEAR(test::PacketDuration(out, "video"), test::PacketDuration(in, "video"), 1.0);
            EXPECT_NEAR(test::PacketDuration(out, "audio"), test::PacketDuration(in, "audio"), 1.0);
            const test::PsReport report = test::RunPsReport(out);
            EXPECT_TRUE(report.clean) << report.output;
            EXPECT_EQ(ctx.stats.VideoPid, 0x100u);
            EXPECT_EQ(ctx.stats.AudioPid, 0x101u);
            EXPECT_EQ(ctx.stats.FileSize, static_cast<int64_t>(std::filesystem::file_size(in)));
        }
    }
}

TEST_F(RemuxTest, SourcePacketsGiveTheSameProgramStream) {
    ASSERT_EQ(Run(test::SamplePath("sample-sd.ts")).outcome, Outcome::Done);
    const Bytes from188 = Output();
    ASSERT_EQ(Run(test::SamplePath("sample-sd-192.ts")).outcome, Outcome::Done);
    EXPECT_GT(from188.size(), 1000000u);
    EXPECT_TRUE(Output() == from188);
}

TEST_F(RemuxTest, GivenPidsNeedNoSearchAndOtherPidsLeaveNoTrace) {
    ASSERT_EQ(Run(test::SamplePath("sample-sd.ts")).outcome, Outcome::Done);
    const Bytes searched = Output();

    // A second audio stream on another PID, whose PES the converter must not take.
    Bytes ts = test::ReadFile(test::SamplePath("sample-sd.ts"));
    uint8_t cc = 0;
    Bytes extra;
    for (int i = 0; i < 20; ++i)
        test::Append(
            extra, test::Packetise(MakePes(0xC1, 200000 + i * 2160, test::MakeMp2Frame(10, 1, 576)),
                                   0x1F0, &cc));
    ts.insert(ts.begin() + 188 * 2000, extra.begin(), extra.end());
    test::WriteFile(dir / "extra.ts", ts);
    ASSERT_EQ(Run(dir / "extra.ts", 0x100, 0x101).outcome, Outcome::Done);
    EXPECT_TRUE(Output() == searched);
}

TEST_F(RemuxTest, OnlyAudioPidGivenFindsVideoBufferByBuffer) {
    // Video PES in the first 1000 packets are lost until a buffer shows a video PES start.
    ASSERT_EQ(Run(test::SamplePath("sample-sd.ts"), 0, 0x101).outcome, Outcome::Done);
    EXPECT_EQ(ctx.stats.VideoPid, 0x100u);
    EXPECT_GT(Output().size(), 1000000u);
}

TEST_F(RemuxTest, ProblemFilesEndWithAClearOutcome) {
    test::WriteFile(dir / "empty.ts", {});
    EXPECT_EQ(Run(dir / "empty.ts").outcome, Outcome::Aborted);
    Bytes junk(5000);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<uint8_t>(i * 37);
    test::WriteFile(dir / "junk.ts", junk);
    EXPECT_EQ(Run(dir / "junk.ts").outcome, Outcome::Aborted);
    EXPECT_EQ(Run(dir / "missing.ts").outcome, Outcome::Skipped);
    // Truncated in the middle of a packet, and damaged in the middle: converted, no crash.
    Bytes ts = test::ReadFile(test::SamplePath("sample-hd-192.ts"));
    ts.resize(ts.size() / 2 + 77);
    for (size_t i = 100000; i < 100000 + 50000; i += 97) ts[i] ^= 0x5A;
    test::WriteFile(dir / "damaged.ts", ts);
    EXPECT_EQ(Run(dir / "damaged.ts").outcome, Outcome::Done);
}

TEST_F(RemuxTest, OutputThatIsTheInputIsRefused) {
    const Bytes ts = test::ReadFile(test::SamplePath("sample-sd.ts"));
    test::WriteFile(dir / "in.ts", ts);
    EXPECT_EQ(Run(dir / "in.ts", 0, 0, "in.ts").outcome, Outcome::Skipped);
    EXPECT_EQ(
        RunRemuxJob(ctx, (dir / "in.ts").string(), (dir / "." / "in.ts").string(), 0, 0).outcome,
        Outcome::Skipped);
    EXPECT_TRUE(test::ReadFile(dir / "in.ts") == ts);  // untouched
}

TEST_F(RemuxTest, WriteFailureNamesTheOutput) {
    const RemuxJobResult r =
        RunRemuxJob(ctx, test::SamplePath("sample-sd.ts").string(), "/dev/full", 0, 0);
    EXPECT_EQ(r.outcome, Outcome::Failed);
    EXPECT_NE(r.message.find("/dev/full"), std::string::npos) << r.message;
    EXPECT_GE(ctx.stats.WriteFailures, 1u);
}

// The names in the test folder: a failed job leaves no temporary behind.
std::vector<std::string> Names(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

int FailingClose(int fd) {
    ::close(fd);
    errno = EIO;
    return -1;
}

// An output that is there already is replaced only by a conversion that succeeded: not by one
// that fails on its input, on a full disk, on close, or that converts nothing.
TEST_F(RemuxTest, FailuresLeaveAnExistingOutputAsItWasAndNoTemporary) {
    const Bytes precious = Filler(3000);
    const auto sample = test::SamplePath("sample-sd.ts");
    test::WriteFile(dir / "empty.ts", {});
    Bytes junk(5000);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<uint8_t>(i * 37);
    test::WriteFile(dir / "junk.ts", junk);
    const auto expect_kept = [&](const RemuxJobResult& r, Outcome outcome) {
        EXPECT_EQ(r.outcome, outcome) << r.message;
        EXPECT_FALSE(r.output_written);
        EXPECT_EQ(Output(), precious);
        EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"empty.ts", "junk.ts", "out.mpg"}));
    };
    test::WriteFile(dir / "out.mpg", precious);

    expect_kept(Run(dir / "empty.ts"), Outcome::Aborted);
    expect_kept(Run(dir / "junk.ts"), Outcome::Aborted);
    {
        test::FileSizeLimit full(100000);
        expect_kept(Run(sample), Outcome::Failed);
    }
    const auto previous = OutputFile::SetCloseFunctionForTesting(FailingClose);
    const RemuxJobResult closed = Run(sample);
    OutputFile::SetCloseFunctionForTesting(previous);
    expect_kept(closed, Outcome::Failed);
    EXPECT_NE(closed.message.find((dir / "out.mpg").string()), std::string::npos) << closed.message;
    // PIDs that are not in the file: the conversion ends well, having written nothing.
    const RemuxJobResult nothing = Run(sample, 0x1FF0, 0x1FF1);
    expect_kept(nothing, Outcome::Done);
    EXPECT_NE(nothing.message.find("nothing"), std::string::npos);
    std::filesystem::remove(dir / "out.mpg");
    EXPECT_FALSE(Run(sample, 0x1FF0, 0x1FF1).output_written);
    EXPECT_FALSE(std::filesystem::exists(dir / "out.mpg"));  // no 0-byte leftover either

    // A conversion that succeeds takes the name.
    test::WriteFile(dir / "out.mpg", precious);
    const RemuxJobResult done = Run(sample);
    EXPECT_TRUE(done.output_written);
    EXPECT_GT(Output().size(), 100000u);
    EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"empty.ts", "junk.ts", "out.mpg"}));
}

// Only a caller that asks for it (the command-line tool) gets a file whose start is damaged
// converted from the first packet sync within its first megabyte.
TEST_F(RemuxTest, DamagedStartIsPassedOverOnlyWhenAsked) {
    const Bytes sample = test::ReadFile(test::SamplePath("sample-sd-192.ts"));
    ASSERT_EQ(Run(test::SamplePath("sample-sd-192.ts"), 0, 0, "clean.mpg").outcome, Outcome::Done);
    RemuxJobOptions resync;
    resync.resync_limit = 1 << 20;
    for (const size_t junk : {size_t{1}, size_t{1000}, size_t{(1 << 20) + 1}}) {
        SCOPED_TRACE(junk);
        Bytes damaged(junk);
        for (size_t i = 0; i < damaged.size(); ++i) damaged[i] = static_cast<uint8_t>(i * 37);
        test::Append(damaged, sample);
        test::WriteFile(dir / "damaged.ts", damaged);
        const std::string in = (dir / "damaged.ts").string();
        const std::string out = (dir / "out.mpg").string();
        std::filesystem::remove(out);
        EXPECT_EQ(RunRemuxJob(ctx, in, out, 0, 0).outcome, Outcome::Aborted);  // the batch rule
        const RemuxJobResult r = RunRemuxJob(ctx, in, out, 0, 0, {}, resync);
        if (junk > (1u << 20)) {
            EXPECT_EQ(r.outcome, Outcome::Aborted);
            EXPECT_FALSE(std::filesystem::exists(out));
            continue;
        }
        ASSERT_EQ(r.outcome, Outcome::Done) << r.message;
        EXPECT_EQ(r.skipped_bytes, static_cast<int64_t>(junk));
        EXPECT_EQ(ctx.file.PacketSize, 192);
        EXPECT_EQ(Output(), Output("clean.mpg"));
    }
}

// Bytes that break packet sync part way through a file (a bad copy inserted them): the batch rule
// does not look for sync again, so the job says where it was lost and how much was not converted
// instead of claiming success, and leaves the output as it was. A caller that asks for it (the
// command-line tool) is taken past each place; a place where a packet of the streams was skipped
// is not passed over in silence either.
TEST_F(RemuxTest, LostPacketSyncIsSaidAndOnlyGarbageIsPassedOver) {
    Bytes clean;
    for (int i = 0; i < 3; ++i)
        test::Append(clean, test::ReadFile(test::SamplePath("sample-sd.ts")));
    test::WriteFile(dir / "clean.ts", clean);
    ASSERT_EQ(Run(dir / "clean.ts", 0, 0, "clean.mpg").outcome, Outcome::Done);
    const size_t converted = Output("clean.mpg").size();

    const size_t first = 188 * (clean.size() / 10 / 188) + 50;  // inside a packet
    const size_t second = 188 * (clean.size() / 188 / 2);       // on a packet boundary
    Bytes glitched(clean.begin(), clean.begin() + static_cast<long>(first));
    const Bytes junk(100, 0x5A);
    test::Append(glitched, junk);
    glitched.insert(glitched.end(), clean.begin() + static_cast<long>(first),
                    clean.begin() + static_cast<long>(second));
    test::Append(glitched, junk);
    glitched.insert(glitched.end(), clean.begin() + static_cast<long>(second), clean.end());
    test::WriteFile(dir / "glitched.ts", glitched);
    const int64_t lost_at = static_cast<int64_t>(188 * (first / 188 + 1));

    const Bytes precious = Filler(700);
    test::WriteFile(dir / "out.mpg", precious);
    const RemuxJobResult batch = Run(dir / "glitched.ts");
    EXPECT_EQ(batch.outcome, Outcome::Incomplete) << batch.message;
    EXPECT_NE(batch.message.find("lost packet sync at byte " + std::to_string(lost_at) + ";"),
              std::string::npos)
        << batch.message;
    ASSERT_FALSE(batch.sync_gaps.empty());
    EXPECT_EQ(batch.sync_gaps[0].at, lost_at);
    EXPECT_GT(batch.sync_gaps[0].unconverted, static_cast<int64_t>(clean.size() / 3));
    EXPECT_FALSE(batch.output_written);
    EXPECT_EQ(Output(), precious);
    std::filesystem::remove(dir / "out.mpg");
    EXPECT_EQ(Run(dir / "glitched.ts").outcome, Outcome::Incomplete);
    EXPECT_FALSE(std::filesystem::exists(dir / "out.mpg"));

    RemuxJobOptions resync;
    resync.resync_limit = 1 << 20;
    const std::string in = (dir / "glitched.ts").string();
    const std::string out = (dir / "out.mpg").string();
    const RemuxJobResult passed = RunRemuxJob(ctx, in, out, 0, 0, {}, resync);
    ASSERT_EQ(passed.outcome, Outcome::Done) << passed.message;
    ASSERT_EQ(passed.sync_gaps.size(), 2u);
    EXPECT_EQ(passed.sync_gaps[0].at, lost_at);
    EXPECT_EQ(passed.sync_gaps[0].resumed_at, lost_at + 100);
    EXPECT_EQ(passed.sync_gaps[1].at, static_cast<int64_t>(second + 100));
    EXPECT_EQ(passed.sync_gaps[1].resumed_at, static_cast<int64_t>(second + 200));
    for (const SyncGap& gap : passed.sync_gaps) EXPECT_FALSE(gap.lost_packets);
    EXPECT_GT(Output().size(), converted * 99 / 100);

    // 100 bytes missing instead: the packet they were cut from is lost, and that is said.
    Bytes cut(clean.begin(), clean.begin() + static_cast<long>(first));
    cut.insert(cut.end(), clean.begin() + static_cast<long>(first + 100), clean.end());
    test::WriteFile(dir / "cut.ts", cut);
    const RemuxJobResult lost =
        RunRemuxJob(ctx, (dir / "cut.ts").string(), (dir / "cut.mpg").string(), 0, 0, {}, resync);
    EXPECT_EQ(lost.outcome, Outcome::Incomplete) << lost.message;
    ASSERT_EQ(lost.sync_gaps.size(), 1u);
    EXPECT_TRUE(lost.sync_gaps[0].lost_packets);
    EXPECT_FALSE(lost.output_written);
    EXPECT_FALSE(std::filesystem::exists(dir / "cut.mpg"));

    // A sync byte damaged alone is no loss of sync: converted as it stands, as before.
    Bytes flipped = clean;
    flipped[188 * 5000] = 0x00;
    test::WriteFile(dir / "flipped.ts", flipped);
    const RemuxJobResult one = RunRemuxJob(ctx, (dir / "flipped.ts").string(),
                                           (dir / "flipped.mpg").string(), 0, 0, {}, resync);
    EXPECT_EQ(one.outcome, Outcome::Done) << one.message;
    EXPECT_TRUE(one.sync_gaps.empty());
    EXPECT_EQ(Run(dir / "flipped.ts", 0, 0, "flipped.mpg").outcome, Outcome::Done);
}

// Records the output file's size each time the converter hands control to the window.
struct WriteWatcher {
    explicit WriteWatcher(StreamContext& ctx) {
        ctx.file.pump_interval = {};
        ctx.file.pump = [this, &ctx] {
            const uint64_t now = ctx.ConverterOutput ? ctx.ConverterOutput->bytes_written() : 0;
            if (now != sizes.back()) sizes.push_back(now);
            if (abort_after_first_block && now > 0) ctx.file.RemuxAbort = true;
        };
    }
    std::vector<uint64_t> sizes{0};
    bool abort_after_first_block = false;
};

TEST_F(RemuxTest, OutputLeavesInBlocksOfAtMost188000Bytes) {
    WriteWatcher watch(ctx);
    OutputFile out;
    ASSERT_TRUE(out.Create((dir / "blocks.bin").string()));
    ctx.ConverterOutput = &out;
    ctx.file.AllocateBuffers();
    WriteBuffered sink(ctx);
    const Bytes piece = Filler(4096);
    size_t total = 0;
    while (total < 500000) {
        const size_t n = std::min(piece.size(), 500000 - total);
        sink.Put(piece.data(), n);
        total += n;
    }
    const std::vector<uint64_t> before_flush = watch.sizes;
    ctx.file.FlushPending = true;
    sink.Put(nullptr, 0);
    EXPECT_EQ(out.bytes_written(), 500000u);
    ASSERT_EQ(before_flush.size(), 3u);  // two full blocks before the flush
    for (size_t i = 1; i < before_flush.size(); ++i) {
        const uint64_t block = before_flush[i] - before_flush[i - 1];
        EXPECT_LE(block, 188000u);
        EXPECT_GT(block + 4096, 188000u);  // written only when the next piece would not fit
    }
}

TEST_F(RemuxTest, CancelKeepsOnlyTheBlocksWritten) {
    WriteWatcher watch(ctx);
    watch.abort_after_first_block = true;
    const RemuxJobResult r = Run(test::SamplePath("sample-hd-192.ts"));
    EXPECT_EQ(r.outcome, Outcome::Aborted);
    EXPECT_TRUE(r.output_written);
    const Bytes out = Output();
    EXPECT_GT(out.size(), 0u);
    EXPECT_LE(out.size(), 188000u);
    EXPECT_EQ(out.size(), watch.sizes.back());

    // The part converted before a cancel never takes the place of a file that was there.
    const Bytes precious = Filler(700);
    test::WriteFile(dir / "out.mpg", precious);
    const RemuxJobResult again = Run(test::SamplePath("sample-hd-192.ts"));
    EXPECT_EQ(again.outcome, Outcome::Aborted);
    EXPECT_FALSE(again.output_written);
    EXPECT_TRUE(again.existing_kept);
    EXPECT_EQ(Output(), precious);
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"out.mpg"});
}

// A cancel before the first block was written leaves no output at all, not an empty file.
TEST_F(RemuxTest, CancelBeforeTheFirstBlockLeavesNoOutput) {
    ctx.file.pump_interval = {};
    ctx.file.pump = [this] { ctx.file.RemuxAbort = true; };
    const RemuxJobResult r = Run(test::SamplePath("sample-sd.ts"));
    EXPECT_EQ(r.outcome, Outcome::Aborted);
    EXPECT_FALSE(r.output_written);
    EXPECT_TRUE(Names(dir.path()).empty());
}

// The converted file takes the place of the old one as the old one was: its permissions (a
// private file stays private), and a symbolic link stays a link, written through to its target,
// also when the target lies on another file system.
TEST_F(RemuxTest, OutputKeepsItsModeAndIsWrittenThroughALink) {
    const auto sample = test::SamplePath("sample-sd.ts");
    test::WriteFile(dir / "private.mpg", Filler(10));
    ASSERT_EQ(::chmod((dir / "private.mpg").c_str(), 0600), 0);
    ASSERT_EQ(Run(sample, 0, 0, "private.mpg").outcome, Outcome::Done);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "private.mpg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_GT(st.st_size, 100000);

    std::vector<std::filesystem::path> folders{dir / "target"};
    // A folder on another file system, where there is one the test may use.
    char shm[] = "/dev/shm/tessaline-test-XXXXXX";
    const bool other = ::mkdtemp(shm) != nullptr;
    if (other) folders.push_back(shm);
    for (const auto& folder : folders) {
        SCOPED_TRACE(folder);
        std::filesystem::create_directories(folder);
        test::WriteFile(folder / "real.mpg", Filler(10));
        std::filesystem::remove(dir / "link.mpg");
        std::filesystem::create_symlink(folder / "real.mpg", dir / "link.mpg");
        const RemuxJobResult r = Run(sample, 0, 0, "link.mpg");
        EXPECT_EQ(r.outcome, Outcome::Done) << r.message;
        EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.mpg"));
        EXPECT_EQ(test::ReadFile(folder / "real.mpg"), Output("private.mpg"));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                                std::filesystem::directory_iterator()),
                  1);  // no temporary left beside the target
    }
    if (other) std::filesystem::remove_all(shm);
}

// A conversion killed outright leaves its temporary behind; the next conversion to the same
// output removes it, since the process it names is gone. Those of running processes are kept.
TEST_F(RemuxTest, TemporariesOfConversionsThatAreGoneAreRemoved) {
    // A process id that no process can have, and ours.
    long max_pid = 4194304;
    if (FILE* f = std::fopen("/proc/sys/kernel/pid_max", "r")) {
        if (std::fscanf(f, "%ld", &max_pid) != 1) max_pid = 4194304;
        std::fclose(f);
    }
    const std::string gone = ".out.mpg." + std::to_string(max_pid + 1) + "-1f2e.part";
    const std::string alive = ".out.mpg." + std::to_string(::getpid()) + "-99.part";
    const std::string other = ".other.mpg." + std::to_string(max_pid + 1) + "-1f2e.part";
    for (const std::string& name : {gone, alive, other}) test::WriteFile(dir / name, Filler(10));
    ASSERT_EQ(Run(test::SamplePath("sample-sd.ts")).outcome, Outcome::Done);
    EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{other, alive, "out.mpg"}));
}

}  // namespace
}  // namespace tessaline
