#include "stream/pid_search.h"

#include <gtest/gtest.h>

#include "stream/input_file.h"
#include "stream/stream_context.h"
#include "stream/ts_format.h"
#include "tests/stream/stream_test_util.h"

namespace tessaline {
namespace {

using test::Bytes;
using test::Filler;
using test::MakePes;

class ReaderTest : public ::testing::Test {
  protected:
    // Opens bytes as a file, as the converter and the PID search button do.
    InputFile& Open(const Bytes& bytes) {
        test::WriteFile(dir / "in.ts", bytes);
        EXPECT_TRUE(file.Open((dir / "in.ts").string()));
        ctx.stats.FileSize = file.Size();
        ctx.file.PacketSize = 0;
        return file;
    }
    int Read(int count = kReadBufferSize) {
        buffer.assign(static_cast<size_t>(count), 0);
        return ReadTsPackets(ctx, file, buffer.data(), count);
    }
    SilentAbort::Reason AbortReason() {
        try {
            Read();
        } catch (const SilentAbort& e) {
            return e.reason();
        }
        ADD_FAILURE() << "no abort";
        return SilentAbort::Reason::Cancelled;
    }

    test::TempDir dir;
    StreamContext ctx;
    InputFile file;
    Bytes buffer;
};

TEST_F(ReaderTest, PacketSizeProbe) {
    Open(test::NumberedPackets(1));  // too short to examine any position: 188
    EXPECT_EQ(Read(), 188);
    EXPECT_EQ(ctx.file.PacketSize, 188);

    Open(test::ToSourcePackets(
        test::NumberedPackets(20)));  // positions 4, 196, ... 1732: ten matches
    EXPECT_EQ(Read(188 * 3), 188 * 3);
    EXPECT_EQ(ctx.file.PacketSize, 192);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 188), test::NumberedPackets(1));
}

TEST_F(ReaderTest, OneBadSyncByteMakesTheFileUnreadable) {
    Bytes ts = test::NumberedPackets(20);
    ts[5 * 188] = 0x00;
    Open(ts);
    EXPECT_EQ(AbortReason(), SilentAbort::Reason::UnknownPacketSize);
    Open({});
    EXPECT_EQ(AbortReason(), SilentAbort::Reason::EmptyFile);
}

TEST_F(ReaderTest, SourcePacketsInWholeRequests) {
    Open(test::ToSourcePackets(test::NumberedPackets(1000)));
    EXPECT_EQ(Read(), 188000);
    EXPECT_EQ(buffer, test::NumberedPackets(1000));
    EXPECT_EQ(Read(), 0);

    const Bytes ts = test::NumberedPackets(2500);
    Bytes sp = test::ToSourcePackets(ts);
    sp.resize(sp.size() + 100, 0x47);  // a source packet cut short by the end of the file
    Open(sp);
    Bytes all;
    for (int expected : {188000, 188000, 94000, 0}) {
        ASSERT_EQ(Read(), expected);
        test::Append(all, Bytes(buffer.begin(), buffer.begin() + expected));
    }
    EXPECT_EQ(all, ts);
}

TEST_F(ReaderTest, CancelStopsAtTheNextRead) {
    Open(test::NumberedPackets(3000));
    EXPECT_EQ(Read(), 188000);
    ctx.file.RemuxAbort = true;
    EXPECT_EQ(AbortReason(), SilentAbort::Reason::Cancelled);
}

Bytes AvStream(uint16_t vpid, uint16_t apid, uint8_t audio_id = 0xC0) {
    uint8_t vcc = 0, acc = 0;
    Bytes ts = test::NumberedPackets(5);
    test::Append(ts, test::Packetise(MakePes(0xE0, 3003, Filler(1000), 0), vpid, &vcc));
    test::Append(ts, test::Packetise(MakePes(audio_id, 4000, Filler(300)), apid, &acc));
    test::Append(ts, test::NumberedPackets(5));
    return ts;
}

TEST_F(ReaderTest, FileSearchFindsBothPids) {
    Bytes ts = test::NumberedPackets(3000);  // the PES starts lie in the second read
    test::Append(ts, AvStream(0x1E1, 0x1E2));
    InputFile& f = Open(ts);
    uint16_t v = 0, a = 0;
    FindAvPidsInFile(ctx, f, v, a);
    EXPECT_EQ(v, 0x1E1);
    EXPECT_EQ(a, 0x1E2);
}

TEST_F(ReaderTest, FileSearchWithoutAudioEndsInAnAbort) {
    Bytes ts = test::NumberedPackets(10);
    uint8_t cc = 0;
    test::Append(ts, test::Packetise(MakePes(0xE0, 3003, Filler(500), 0), 0x100, &cc));
    InputFile& f = Open(ts);
    uint16_t v = 0, a = 0;
    try {
        FindAvPidsInFile(ctx, f, v, a);
        FAIL() << "no abort";
    } catch (const SilentAbort& e) {
        EXPECT_EQ(e.reason(), SilentAbort::Reason::PidNotFound);
    }
    EXPECT_EQ(v, 0x100);
    EXPECT_EQ(a, 0);
}

TEST_F(ReaderTest, PrivateStreamIsAudioOnlyWithTheOption) {
    const Bytes ts = AvStream(0x100, 0x101, 0xBD);
    uint16_t v = 0, a = 0;
    FindAvPidsInBuffer(ts.data(), static_cast<int>(ts.size()), v, a, false);
    EXPECT_EQ(a, 0);
    FindAvPidsInBuffer(ts.data(), static_cast<int>(ts.size()), v, a, true);
    EXPECT_EQ(a, 0x101);

    InputFile& f = Open(ts);
    v = a = 0;
    ctx.options.CheckPrivateStream = true;
    FindAvPidsInFile(ctx, f, v, a);
    EXPECT_EQ(a, 0x101);
}

TEST_F(ReaderTest, BufferSearchRules) {
    Bytes ts = AvStream(0x100, 0x101);
    uint16_t v = 7, a = 7;
    FindAvPidsInBuffer(ts.data(), static_cast<int>(ts.size()), v, a, false);
    EXPECT_EQ(v, 0x100);
    EXPECT_EQ(a, 0x101);

    // transport_priority set: not counted by the buffer search (the file search takes it).
    for (size_t pos = 0; pos < ts.size(); pos += 188) ts[pos + 1] |= 0x20;
    FindAvPidsInBuffer(ts.data(), static_cast<int>(ts.size()), v, a, false);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(a, 0);

    // Without 00 00 01 in front the stream id is not believed.
    Bytes fake = test::NumberedPackets(1);
    fake[1] = 0x41;
    fake[4] = 0x12;
    fake[7] = 0xE0;
    FindAvPidsInBuffer(fake.data(), 188, v, a, false);
    EXPECT_EQ(v, 0);
}

TEST_F(ReaderTest, DamagedAdaptationFieldIsPassedOver) {
    test::TsPacketSpec spec;
    spec.pid = 0x100;
    spec.unit_start = true;
    spec.adaptation_length = 250;
    Bytes ts = test::MakeTsPacket(spec, {});
    ts[7 + 251 - 188] = 0xE0;  // where a wrapped offset would land
    uint16_t v = 0, a = 0;
    FindAvPidsInBuffer(ts.data(), 188, v, a, false);
    EXPECT_EQ(v, 0);
    FindAvPidsLive(ts.data(), 188, v, a, false);
    EXPECT_EQ(v, 0);
}

}  // namespace
}  // namespace tessaline
