#include "stream/capture_data_path.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <random>

#include "stream/output_file.h"
#include "stream/stream_context.h"
#include "tests/stream/stream_test_util.h"

namespace tessaline {
namespace {

using test::Bytes;

class DataPathTest : public ::testing::Test {
  protected:
    DataPathTest() : path(ctx) {}

    int Normalise(const Bytes& b) {
        return path.NormaliseCaptureBuffer(b.data(), static_cast<int>(b.size()));
    }
    Bytes Output(int n) const { return Bytes(path.output_buffer(), path.output_buffer() + n); }

    StreamContext ctx;
    CaptureDataPath path;
};

TEST_F(DataPathTest, SourcePacketsAcrossBuffers) {
    const Bytes sp = test::ToSourcePackets(test::NumberedPackets(3));
    // 200 bytes: byte 0 is a header byte, bytes 4 and 196 are sync bytes.
    ASSERT_EQ(Normalise(Bytes(sp.begin(), sp.begin() + 200)), 188);
    EXPECT_EQ(Output(188), Bytes(sp.begin() + 4, sp.begin() + 192));
    EXPECT_EQ(ctx.CarryOver.count, 8);
    ASSERT_EQ(Normalise(Bytes(sp.begin() + 200, sp.end())), 376);
    EXPECT_EQ(Output(188), Bytes(sp.begin() + 196, sp.begin() + 384));
    EXPECT_EQ(Output(376).back(), sp.back());
    EXPECT_EQ(ctx.CarryOver.count, 0);
}

TEST_F(DataPathTest, ShortBufferStartingWithSyncIsCarried) {
    const Bytes ts = test::NumberedPackets(2);
    EXPECT_EQ(Normalise(Bytes(ts.begin(), ts.begin() + 100)), 0);
    EXPECT_EQ(ctx.CarryOver.count, 100);
    EXPECT_EQ(Normalise(Bytes(ts.begin() + 100, ts.end())), 376);
    EXPECT_EQ(Output(376), ts);
}

TEST_F(DataPathTest, SyncAtZeroMeans188WhateverFollows) {
    Bytes ts = test::NumberedPackets(2);
    ts[4] = 0x47;
    ts[196] = 0x47;
    EXPECT_EQ(Normalise(ts), 376);
    EXPECT_EQ(Output(376), ts);
}

TEST_F(DataPathTest, ShortSourcePacketStartWaitsForTheSizeTest) {
    // Fewer than 197 bytes that do not start with a sync byte: nothing is guessed; the bytes wait
    // for the next buffer, and the stream then comes out aligned.
    const Bytes sp = test::ToSourcePackets(test::NumberedPackets(4));
    EXPECT_EQ(Normalise(Bytes(sp.begin(), sp.begin() + 150)), 0);
    EXPECT_EQ(ctx.CarryOver.count, 150);
    EXPECT_EQ(Normalise(Bytes(sp.begin() + 150, sp.begin() + 196)), 0);
    EXPECT_EQ(ctx.CarryOver.count, 196);
    ASSERT_EQ(Normalise(Bytes(sp.begin() + 196, sp.end())), 4 * 188);
    EXPECT_EQ(Output(4 * 188), test::NumberedPackets(4));
}

// Any stream of whole packets cut anywhere comes out as exactly its 188-byte packets.
TEST_F(DataPathTest, RandomCutsNormaliseToThePackets) {
    std::mt19937 rng(1234);
    const Bytes ts = test::NumberedPackets(300);
    for (bool source : {false, true}) {
        for (int max_piece : {1, 7, 190, 500, 5000}) {
            ResetCarryOver(ctx);
            Bytes input = source ? test::ToSourcePackets(ts) : ts;
            input.resize(input.size() - 50);  // a final partial packet
            Bytes out;
            for (const Bytes& piece : test::RandomCuts(input, rng, max_piece)) {
                const int n = Normalise(piece);
                ASSERT_EQ(n % 188, 0);
                test::Append(out, Output(n));
            }
            EXPECT_EQ(out, Bytes(ts.begin(), ts.end() - 188)) << source << " " << max_piece;
        }
    }
}

using test::FileSizeLimit;

class BufferCBTest : public DataPathTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(file.Create((dir / "out.ts").string()));
        path.SetOutputFile(&file);
    }
    int32_t Feed(const Bytes& b) {
        return path.BufferCB(0.0, b.data(), static_cast<long>(b.size()));
    }
    Bytes Written() {
        file.Close();
        return test::ReadFile(dir / "out.ts");
    }

    test::TempDir dir;
    OutputFile file;
};

TEST_F(BufferCBTest, RawModeWritesAsDeliveredAndTrimmedModeWritesPackets) {
    const Bytes sp = test::ToSourcePackets(test::NumberedPackets(10));
    ctx.options.TrimPacket = false;
    std::mt19937 rng(7);
    for (const Bytes& piece : test::RandomCuts(sp, rng, 300)) EXPECT_EQ(Feed(piece), kS_OK);
    EXPECT_EQ(Written(), sp);
    EXPECT_FALSE(ctx.CallbackBusy.load());
}

TEST_F(BufferCBTest, TrimmedModeDropsTheFinalPartialPacket) {
    const Bytes ts = test::NumberedPackets(10);
    ctx.options.TrimPacket = true;
    Bytes input = test::ToSourcePackets(ts);
    input.resize(input.size() - 10);
    std::mt19937 rng(9);
    for (const Bytes& piece : test::RandomCuts(input, rng, 1000)) EXPECT_EQ(Feed(piece), kS_OK);
    EXPECT_EQ(Written(), Bytes(ts.begin(), ts.end() - 188));
}

TEST_F(BufferCBTest, WriteFailureIsReportedAndRawCarryOverUntouched) {
    const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    file.Adopt(fd, "/dev/full");
    ctx.options.TrimPacket = false;
    const Bytes ts = test::NumberedPackets(2);
    ctx.CarryOver.count = 5;
    EXPECT_EQ(Feed(Bytes(ts.begin(), ts.begin() + 300)), kS_FALSE);
    EXPECT_EQ(ctx.CarryOver.count, 5);
    EXPECT_EQ(ctx.stats.WriteFailures, 1u);
    EXPECT_FALSE(ctx.CallbackBusy.load());

    ctx.options.TrimPacket = true;
    ResetCarryOver(ctx);
    EXPECT_EQ(Feed(ts), kS_FALSE);
    EXPECT_EQ(ctx.stats.WriteFailures, 2u);
}

// Buffers written as delivered do not end on packet starts. A write that fails half way (disk
// full) leaves the file at its last whole packet, and once writes work again the file goes on at
// the stream's next packet start: it never holds a torn packet or one out of step.
TEST_F(BufferCBTest, LostRawWriteLeavesOnlyWholePacketsInStep) {
    const Bytes sp = test::ToSourcePackets(test::NumberedPackets(40));
    ctx.options.TrimPacket = false;
    EXPECT_EQ(Feed(Bytes(sp.begin(), sp.begin() + 700)), kS_OK);
    {
        FileSizeLimit full(1000);
        EXPECT_EQ(Feed(Bytes(sp.begin() + 700, sp.begin() + 1400)), kS_FALSE);
    }
    for (size_t pos = 1400; pos < sp.size(); pos += 700) {
        const size_t end = std::min(pos + 700, sp.size());
        EXPECT_EQ(
            Feed(Bytes(sp.begin() + static_cast<long>(pos), sp.begin() + static_cast<long>(end))),
            kS_OK);
    }
    EXPECT_EQ(ctx.stats.WriteFailures, 1u);
    // Packets 0-2 (576 bytes, the last whole one before the failure), then from packet 8, the
    // first to start after the lost buffer.
    Bytes expected(sp.begin(), sp.begin() + 3 * 192);
    expected.insert(expected.end(), sp.begin() + 8 * 192, sp.end());
    EXPECT_EQ(Written(), expected);
}

// Buffers of whole packets lose exactly the packets of a write that failed, whatever the packet
// size, and also when the failed write is the recording's first.
TEST_F(BufferCBTest, LostAlignedRawWritesCostOnlyTheirOwnPackets) {
    ctx.options.TrimPacket = false;
    for (const bool source : {false, true}) {
        for (const int failing : {0, 1}) {
            SCOPED_TRACE(std::string(source ? "192" : "188") + " failing buffer " +
                         std::to_string(failing));
            const Bytes packets = test::NumberedPackets(12);
            const Bytes stream = source ? test::ToSourcePackets(packets) : packets;
            const size_t buffer = stream.size() / 3;  // four packets
            ASSERT_TRUE(file.Create((dir / "out.ts").string()));
            path.SetOutputFile(&file);
            Bytes expected;
            for (int b = 0; b < 3; ++b) {
                const Bytes piece(stream.begin() + static_cast<long>(b * buffer),
                                  stream.begin() + static_cast<long>((b + 1) * buffer));
                if (b == failing) {
                    FileSizeLimit full(b * buffer + 100);
                    EXPECT_EQ(Feed(piece), kS_FALSE);
                } else {
                    EXPECT_EQ(Feed(piece), kS_OK);
                    test::Append(expected, piece);
                }
            }
            EXPECT_EQ(Written(), expected);
        }
    }
}

// A recording whose name vanished (its folder deleted) is copied back from the open descriptor:
// to its own path with the folder made again, or beside a file that took the name meanwhile.
TEST(OutputFileTest, AFileWhoseNameVanishedIsWrittenBackNeverOverAnother) {
    test::TempDir dir;
    const Bytes bytes = test::NumberedPackets(30);
    const std::string path = (dir / "shows" / "rec.ts").string();
    for (const bool taken : {false, true}) {
        SCOPED_TRACE(taken);
        std::filesystem::create_directories(dir / "shows");
        OutputFile file;
        ASSERT_TRUE(file.Create(path));
        ASSERT_TRUE(file.Write(bytes.data(), bytes.size()));
        EXPECT_FALSE(file.Unlinked());
        std::filesystem::remove_all(dir / "shows");
        EXPECT_TRUE(file.Unlinked());
        if (taken) {
            std::filesystem::create_directories(dir / "shows");
            test::WriteFile(path, Bytes(5, 1));
        }
        ASSERT_TRUE(file.SaveUnlinked()) << file.error();
        ASSERT_TRUE(file.Close());
        const std::string expected = taken ? (dir / "shows" / "rec (2).ts").string() : path;
        EXPECT_EQ(file.saved_path(), expected);
        EXPECT_EQ(test::ReadFile(expected), bytes);
        if (taken) {
            EXPECT_EQ(test::ReadFile(path), Bytes(5, 1));
        }
    }
    // Discard removes a file only when it made it.
    OutputFile again;
    ASSERT_TRUE(again.Create(path));
    again.Discard();
    EXPECT_TRUE(std::filesystem::exists(path));
    ASSERT_TRUE(again.Create((dir / "new.ts").string()));
    again.Discard();
    EXPECT_FALSE(std::filesystem::exists(dir / "new.ts"));
}

TEST(OutputFileTest, CutToWholeUnitsKeepsWholePacketsFromTheStart) {
    test::TempDir dir;
    OutputFile file;
    ASSERT_TRUE(file.Create((dir / "f").string()));
    const Bytes bytes(1000, 0x47);
    ASSERT_TRUE(file.Write(bytes.data(), bytes.size()));
    EXPECT_TRUE(file.CutToWholeUnits(192));
    EXPECT_EQ(file.bytes_written(), 960u);
    EXPECT_TRUE(file.CutToWholeUnits(192));  // already whole
    ASSERT_TRUE(file.Write(bytes.data(), 10));
    ASSERT_TRUE(file.Close());
    EXPECT_EQ(test::ReadFile(dir / "f").size(), 970u);  // later writes follow the cut
}

TEST_F(BufferCBTest, NoFileCountsAsAFailedWrite) {
    path.SetOutputFile(nullptr);
    EXPECT_EQ(Feed(test::NumberedPackets(1)), kS_FALSE);
    EXPECT_EQ(Feed({}), kS_OK);  // nothing to write, nothing failed
}

}  // namespace
}  // namespace tessaline
