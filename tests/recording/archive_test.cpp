// SPDX-License-Identifier: GPL-3.0-or-later
// Archiving a tape, without a deck: the captured stream cut into one file per recording with the
// bus's events in the right one, a full disk and a file already there, and when archiving stops
// and what it exits with, on a clock of the test's own.
#include <fcntl.h>

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "recording/archive_watch.h"
#include "recording/tape_archive.h"
#include "stream/output_file.h"
#include "stream/sha256.h"
#include "tests/support/synthetic_stream.h"

namespace tessaline::test {
namespace {

using Entry = CaptureEventLog::Entry;

SyntheticStream Recording(uint16_t transport_stream_id, double seconds) {
    SyntheticOptions o;
    o.seconds = seconds;
    o.rate = 2e6;
    o.packet_size = 192;
    o.transport_stream_id = transport_stream_id;
    return MakeSyntheticStream(o);
}

Entry Empty(uint64_t offset, double seconds) {
    Entry e;
    e.kind = Entry::Kind::Empty;
    e.offset = offset;
    e.seconds = seconds;
    return e;
}

std::string HashOf(const Bytes& bytes) {
    Sha256 h;
    h.Update(bytes.data(), bytes.size());
    return h.Hex();
}

Bytes Strip(const Bytes& source_packets) {
    Bytes out;
    for (size_t at = 0; at + 192 <= source_packets.size(); at += 192) {
        out.insert(out.end(), source_packets.begin() + long(at + 4),
                   source_packets.begin() + long(at + 192));
    }
    return out;
}

// The whole capture fed in random pieces, each with the events up to its end, as the command
// reads its working file back.
void FeedInPieces(TapeArchive& archive, const Bytes& capture, std::vector<Entry> events,
                  unsigned seed) {
    std::mt19937 rng(seed);
    uint64_t at = 0;
    for (const Bytes& piece : RandomCuts(capture, rng, 50000)) {
        at += piece.size();
        std::vector<Entry> now;
        while (!events.empty() && events.front().offset <= at) {
            now.push_back(events.front());
            events.erase(events.begin());
        }
        archive.Feed(piece.data(), piece.size(), now);
    }
    archive.Feed(nullptr, 0, events);
}

TEST(TapeArchive, CutsAtABlankListsItAndPlacesEachEventInItsRecording) {
    TempDir dir;
    const SyntheticStream a = Recording(1, 3);
    const SyntheticStream b = Recording(2, 2);
    Bytes capture = a.bytes;
    Append(capture, b.bytes);
    const uint64_t middle_of_a = (a.bytes.size() / 2 / 192) * 192;
    Entry gap;
    gap.kind = Entry::Kind::DbcGap;
    gap.offset = a.bytes.size() + 192 * 100;
    gap.count = 16;
    // A short run of empty packets inside A, a blank between A and B told in steps while it
    // lasted, a gap in B's block counter, and a blank at the tape's end.
    const std::vector<Entry> events = {Empty(middle_of_a, 0.3),
                                       Empty(a.bytes.size(), 1.0),
                                       Empty(a.bytes.size(), 1.0),
                                       Empty(a.bytes.size(), 1.5),
                                       gap,
                                       Empty(capture.size(), 2.0)};
    for (const unsigned seed : {1u, 2u}) {
        SCOPED_TRACE(seed);
        const auto folder = dir.path() / std::to_string(seed);
        std::filesystem::create_directory(folder);
        TapeArchive archive(folder, "TAPE", "ts192", 100.0);
        FeedInPieces(archive, capture, events, seed);
        ASSERT_TRUE(archive.Finish()) << archive.error();

        ASSERT_EQ(archive.recordings().size(), 2u);
        const ArchivedRecording& first = archive.recordings()[0];
        const ArchivedRecording& second = archive.recordings()[1];
        EXPECT_EQ(first.file, "TAPE_01.m2ts");
        EXPECT_EQ(second.file, "TAPE_02.m2ts");
        // Every packet in its recording, nothing of the blank, hashes from the writing.
        EXPECT_EQ(ReadFile(first.path), a.bytes);
        EXPECT_EQ(ReadFile(second.path), b.bytes);
        EXPECT_EQ(first.sha256, HashOf(a.bytes));
        EXPECT_EQ(second.sha256, HashOf(b.bytes));
        EXPECT_EQ(first.bytes, a.bytes.size());
        EXPECT_EQ(first.analysis.Count(Check::EmptyStretch), 1u);
        EXPECT_EQ(first.analysis.Count(Check::DbcGap), 0u);
        EXPECT_EQ(second.analysis.Count(Check::DbcGap), 1u);
        EXPECT_EQ(second.analysis.Count(Check::EmptyStretch), 0u);

        // The tape: A from 100 s, the blank after it, B after the blank, a blank at the end.
        ASSERT_EQ(archive.blanks().size(), 2u);
        EXPECT_DOUBLE_EQ(first.tape_start, 100.0);
        EXPECT_NEAR(archive.blanks()[0].tape_start, 100.0 + first.analysis.duration, 1e-9);
        EXPECT_DOUBLE_EQ(archive.blanks()[0].duration, 3.5);
        EXPECT_NEAR(second.tape_start, 103.5 + first.analysis.duration, 1e-9);
        EXPECT_DOUBLE_EQ(archive.blanks()[1].duration, 2.0);
    }
}

TEST(TapeArchive, Ts188KeepsThePacketsWithoutTheirHeadersAndTheTapeEndsWhereTheDeckStopped) {
    TempDir dir;
    const SyntheticStream a = Recording(1, 2);
    TapeArchive archive(dir.path(), "T", "ts188", 0.0);
    archive.Feed(a.bytes.data(), a.bytes.size(), {});
    ASSERT_TRUE(archive.Finish(30.0)) << archive.error();
    ASSERT_EQ(archive.recordings().size(), 1u);
    EXPECT_EQ(archive.recordings()[0].file, "T_01.ts");
    EXPECT_EQ(ReadFile(dir / "T_01.ts"), Strip(a.bytes));
    ASSERT_EQ(archive.blanks().size(), 1u);
    const double duration = archive.recordings()[0].analysis.duration;
    EXPECT_NEAR(archive.blanks()[0].tape_start, duration, 1e-9);
    EXPECT_NEAR(archive.blanks()[0].duration, 30.0 - duration, 1e-9);
}

TEST(TapeArchive, ABlankLongerThanTheLimitEndsItThoughMoreCameAfter) {
    TempDir dir;
    const SyntheticStream a = Recording(1, 2);
    const SyntheticStream b = Recording(2, 2);
    Bytes capture = a.bytes;
    Append(capture, b.bytes);
    TapeArchive archive(dir.path(), "T", "ts192", 0.0);
    archive.set_blank_stop(3);
    // A blank of 2 s at the start does not count: the tape has not begun yet.
    FeedInPieces(archive, capture, {Empty(0, 2.0), Empty(a.bytes.size(), 3.5)}, 3);
    EXPECT_TRUE(archive.blank_stopped());
    ASSERT_TRUE(archive.Finish()) << archive.error();
    ASSERT_EQ(archive.recordings().size(), 1u);
    EXPECT_EQ(ReadFile(dir / "T_01.m2ts"), a.bytes);
    EXPECT_FALSE(std::filesystem::exists(dir / "T_02.m2ts"));
    EXPECT_EQ(archive.bytes_taken(), a.bytes.size());
    ASSERT_EQ(archive.blanks().size(), 2u);
    EXPECT_DOUBLE_EQ(archive.blanks()[0].tape_start, 0.0);
    EXPECT_DOUBLE_EQ(archive.blanks()[1].duration, 3.5);
}

TEST(TapeArchive, AFullDiskKeepsWhatWasWrittenAndSaysWhichFileFailed) {
    TempDir dir;
    const SyntheticStream a = Recording(1, 2);
    const SyntheticStream b = Recording(2, 2);
    Bytes capture = a.bytes;
    Append(capture, b.bytes);
    int opened = 0;
    // The second file lands on a full disk.
    TapeArchive archive(dir.path(), "TAPE", "ts192", kNoTime,
                        [&](OutputFile& file, const std::string& path) {
                            if (++opened == 1) return file.CreateNew(path);
                            const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
                            if (fd < 0) return false;
                            file.Adopt(fd, path);
                            return true;
                        });
    FeedInPieces(archive, capture, {Empty(a.bytes.size(), 2.0)}, 7);
    EXPECT_FALSE(archive.Finish());
    EXPECT_TRUE(archive.failed());
    EXPECT_NE(archive.error().find("TAPE_02.m2ts"), std::string::npos) << archive.error();
    EXPECT_NE(archive.error().find("No space left"), std::string::npos) << archive.error();

    ASSERT_EQ(archive.recordings().size(), 2u);
    const ArchivedRecording& first = archive.recordings()[0];
    EXPECT_TRUE(first.closed);
    EXPECT_EQ(ReadFile(first.path), a.bytes);
    EXPECT_EQ(first.sha256, HashOf(a.bytes));
    // The failed one has no hash from the writing to stand for it; nothing more is taken.
    EXPECT_TRUE(archive.recordings()[1].sha256.empty());
    EXPECT_EQ(archive.recordings()[1].bytes, 0u);
    const uint64_t taken = archive.bytes_taken();
    EXPECT_FALSE(archive.Feed(a.bytes.data(), a.bytes.size(), {}));
    EXPECT_EQ(archive.bytes_taken(), taken);
}

TEST(TapeArchive, NeverWritesOverAFileThatIsThere) {
    TempDir dir;
    const Bytes mine = {1, 2, 3};
    WriteFile(dir / "TAPE_01.m2ts", mine);
    const SyntheticStream a = Recording(1, 1);
    TapeArchive archive(dir.path(), "TAPE", "ts192", kNoTime);
    EXPECT_FALSE(archive.Feed(a.bytes.data(), a.bytes.size(), {}));
    EXPECT_NE(archive.error().find("cannot create"), std::string::npos) << archive.error();
    EXPECT_EQ(ReadFile(dir / "TAPE_01.m2ts"), mine);
    EXPECT_TRUE(archive.recordings().empty());
}

TEST(CaptureEventLog, PlacesEventsAtTheBytesReceivedAndKnowsTheBlankGoingOn) {
    uint64_t received = 0;
    CaptureEventLog log([&] { return received; });
    log.EmptyStretch(1.0);
    log.EmptyStretch(1.0);
    EXPECT_DOUBLE_EQ(log.empty_now(), 2.0);
    received = 192;  // data came: the blank is over
    EXPECT_DOUBLE_EQ(log.empty_now(), 0.0);
    log.DbcGap(8, 8);
    log.EmptyStretch(0.5);
    EXPECT_DOUBLE_EQ(log.empty_now(), 0.5);
    EXPECT_EQ(log.logged(), 4u);
    const auto first = log.TakeUpTo(0);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].offset, 0u);
    const auto rest = log.TakeUpTo(192);
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0].kind, Entry::Kind::DbcGap);
    EXPECT_EQ(rest[0].offset, 192u);
    EXPECT_TRUE(log.TakeUpTo(~uint64_t{0}).empty());
}

// ---- When it stops ----------------------------------------------------------------------------

class ArchiveWatchTest : public ::testing::Test {
  protected:
    using Clock = ArchiveWatch::Clock;
    ArchiveWatch::Look At(double seconds) const {
        ArchiveWatch::Look l;
        l.now = start_ + std::chrono::milliseconds(std::lround(seconds * 1000));
        return l;
    }
    Clock::time_point start_ = Clock::time_point() + std::chrono::hours(1);
    ArchiveWatch watch_{ArchiveLimits{}, start_};
};

TEST_F(ArchiveWatchTest, TheWatchdogBarksOnlyWhenNothingAtAllArrives) {
    auto look = At(0);
    for (double t = 0; t < 30; t += 0.5) {
        look = At(t);
        look.bytes = uint64_t(t * 1000);  // data all along
        ASSERT_EQ(watch_.Check(look), ArchiveEnd::None) << t;
    }
    // A blank: no data, but the deck's empty packets are heard.
    for (double t = 30; t < 50; t += 0.5) {
        look = At(t);
        look.bytes = 30000;
        look.activity = uint64_t(t);
        look.blank_now = t - 30;
        ASSERT_EQ(watch_.Check(look), ArchiveEnd::None) << t;
    }
    // Silence: nothing at all since the last empty packets, at 49 s.
    look = At(58.9);
    look.bytes = 30000;
    look.activity = 49;
    look.blank_now = 19.5;
    EXPECT_EQ(watch_.Check(look), ArchiveEnd::None);
    look = At(59);
    look.bytes = 30000;
    look.activity = 49;
    EXPECT_EQ(watch_.Check(look), ArchiveEnd::Watchdog);
    // Once given, the reason stays.
    look.stop_asked = true;
    EXPECT_EQ(watch_.Check(look), ArchiveEnd::Watchdog);
}

TEST_F(ArchiveWatchTest, ADeckThatNeverSendsIsCaughtAndAStoppedDeckIsWaitedForUntilItsDataIsIn) {
    EXPECT_EQ(watch_.Check(At(9.9)), ArchiveEnd::None);
    EXPECT_EQ(watch_.Check(At(10)), ArchiveEnd::Watchdog);

    ArchiveWatch ended(ArchiveLimits{}, start_);
    auto look = At(1);
    look.bytes = 100;
    look.deck_stopped = true;
    EXPECT_EQ(ended.Check(look), ArchiveEnd::None);
    look = At(1.5);
    look.bytes = 200;  // still coming in
    look.deck_stopped = true;
    EXPECT_EQ(ended.Check(look), ArchiveEnd::None);
    look = At(2.4);
    look.bytes = 200;
    look.deck_stopped = true;
    EXPECT_EQ(ended.Check(look), ArchiveEnd::None);
    look = At(2.5);
    look.bytes = 200;
    look.deck_stopped = true;
    EXPECT_EQ(ended.Check(look), ArchiveEnd::EndOfTape);
}

TEST_F(ArchiveWatchTest, ALongBlankAStopRequestAndAFailureEachEndIt) {
    ArchiveLimits limits;
    limits.blank_stop = 5;
    ArchiveWatch blank(limits, start_);
    auto look = At(1);
    look.activity = 1;
    look.blank_now = 5;
    EXPECT_EQ(blank.Check(look), ArchiveEnd::None);
    look.blank_now = 5.1;
    EXPECT_EQ(blank.Check(look), ArchiveEnd::Blank);

    ArchiveWatch stop(limits, start_);
    look = At(1);
    look.stop_asked = true;
    look.blank_now = 9;
    EXPECT_EQ(stop.Check(look), ArchiveEnd::Stopped);

    ArchiveWatch failed(limits, start_);
    look.failed = true;
    EXPECT_EQ(failed.Check(look), ArchiveEnd::Failed);

    // The stream's own error: a broken stream, or a silent deck the capture side gave up on.
    ArchiveWatch broken(limits, start_);
    look = At(4.9);
    look.bytes = 1;
    EXPECT_EQ(broken.Check(look), ArchiveEnd::None);
    look = At(5);
    look.bytes = 2;
    look.stream_failed = true;
    EXPECT_EQ(broken.Check(look), ArchiveEnd::Failed);
    ArchiveWatch silent(limits, start_);
    look = At(0.5);
    look.bytes = 1;
    EXPECT_EQ(silent.Check(look), ArchiveEnd::None);
    look = At(5.5);
    look.bytes = 1;
    look.stream_failed = true;
    EXPECT_EQ(silent.Check(look), ArchiveEnd::Watchdog);
}

TEST(ArchiveExitCode, SaysWhatScriptsNeedToKnow) {
    EXPECT_EQ(ArchiveExitCode(ArchiveEnd::EndOfTape, 2, true), 0);
    EXPECT_EQ(ArchiveExitCode(ArchiveEnd::Blank, 2, true), 0);
    EXPECT_EQ(ArchiveExitCode(ArchiveEnd::EndOfTape, 2, false), 1);
    for (const ArchiveEnd end : {ArchiveEnd::Stopped, ArchiveEnd::Watchdog, ArchiveEnd::Failed}) {
        EXPECT_EQ(ArchiveExitCode(end, 1, true), 2) << ArchiveEndName(end);
        EXPECT_EQ(ArchiveExitCode(end, 0, true), 3) << ArchiveEndName(end);
    }
    EXPECT_EQ(ArchiveExitCode(ArchiveEnd::EndOfTape, 0, true), 3);
}

}  // namespace
}  // namespace tessaline::test
