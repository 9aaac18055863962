#include "stream/pes_assembler.h"

#include <gtest/gtest.h>

#include <random>

#include "stream/stream_context.h"
#include "stream/ts_format.h"
#include "tests/stream/stream_test_util.h"

namespace tessaline {
namespace {

using test::Bytes;
using test::Filler;
using test::MakePes;

// An assembler that hands its packets straight to a sink (no multiplexer).
class AssemblerTest : public ::testing::Test {
  protected:
    void SetUp() override { InitAssembler(p, kAssemblerCapacity, &sink, 0, ctx); }

    StreamContext ctx;
    test::VectorSink sink;
    ipack_s p;
};

TEST_F(AssemblerTest, LongAudioPesIsCutIntoHalvesAndARest) {
    // PES_packet_length 4994, 5000 bytes in all: slightly over the buffer, so it leaves as two
    // pieces of about half its size and a rest rather than 4096 + 904.
    const Bytes pes = MakePes(0xC0, 90000, Filler(5000 - 14));
    ASSERT_EQ(pes.size(), 5000u);
    test::FeedInPieces(p, pes, 184);
    ASSERT_EQ(sink.puts.size(), 3u);
    EXPECT_EQ(sink.puts[0].size(), 2498u);
    EXPECT_EQ(sink.puts[1].size(), 2498u);
    EXPECT_EQ(sink.puts[2].size(), 22u);
    EXPECT_EQ(ReadBe16(sink.puts[0].data() + 4), 2492);
    EXPECT_EQ(ReadBe16(sink.puts[1].data() + 4), 2492);
    EXPECT_EQ(ReadBe16(sink.puts[2].data() + 4), 16);
    EXPECT_EQ(Bytes(sink.puts[0].begin() + 6, sink.puts[0].begin() + 14),
              Bytes(pes.begin() + 6, pes.begin() + 14));
    for (int i : {1, 2}) {
        EXPECT_EQ(Bytes(sink.puts[i].begin(), sink.puts[i].begin() + 4), (Bytes{0, 0, 1, 0xC0}));
        EXPECT_EQ(Bytes(sink.puts[i].begin() + 6, sink.puts[i].begin() + 9), (Bytes{0x80, 0, 0}));
    }
    // Payload comes through complete and in order.
    Bytes payload(sink.puts[0].begin() + 14, sink.puts[0].end());
    test::Append(payload, Bytes(sink.puts[1].begin() + 9, sink.puts[1].end()));
    test::Append(payload, Bytes(sink.puts[2].begin() + 9, sink.puts[2].end()));
    EXPECT_EQ(payload, Bytes(pes.begin() + 14, pes.end()));
    EXPECT_EQ(DecodeTimestamp(p.pts), 90000u);
}

TEST_F(AssemblerTest, UnboundedVideoLeavesInFullPiecesAndEndsAtTheNextStart) {
    const Bytes pes = MakePes(0xE0, 3003, Filler(10000), 0);
    test::FeedInPieces(p, pes, 184);
    ASSERT_EQ(sink.puts.size(), 2u);  // 10014 bytes: two full pieces so far
    for (const Bytes& piece : sink.puts) {
        EXPECT_EQ(piece.size(), 4096u);
        EXPECT_EQ(ReadBe16(piece.data() + 4), 0x0FFA);
    }
    EXPECT_EQ(Bytes(sink.puts[1].begin(), sink.puts[1].begin() + 9),
              (Bytes{0, 0, 1, 0xE0, 0x0F, 0xFA, 0x80, 0, 0}));
    EXPECT_EQ(p.payload_length, kUnboundedPesLength);
    FinishUnboundedPes(p);  // what a converter does at the next payload unit start
    ASSERT_EQ(sink.puts.size(), 3u);
    EXPECT_EQ(sink.puts[2].size(), 10014u - 4096 - (4096 - 9) + 9);
    EXPECT_EQ(p.scan_pos, 0);
    EXPECT_EQ(p.fill, 0);
}

// The elementary stream and its time stamps, read back from the assembler's packets.
struct Unpacked {
    Bytes es;
    std::vector<uint64_t> pts;
    bool operator==(const Unpacked&) const = default;
};
Unpacked Unpack(const std::vector<Bytes>& pieces) {
    Unpacked u;
    for (const Bytes& piece : pieces) {
        EXPECT_LE(piece.size(), size_t(kAssemblerCapacity));
        EXPECT_EQ(ReadBe16(piece.data() + 4), piece.size() - 6);
        if (piece[7] & 0x80) u.pts.push_back(DecodeTimestamp(piece.data() + 9));
        test::Append(u.es, Bytes(piece.begin() + 9 + piece[8], piece.end()));
    }
    return u;
}

// Whatever the split, the same elementary stream and time stamps come out. (Where a long PES is
// cut may move with the split: the half-size rule looks at the bytes of each append.)
TEST_F(AssemblerTest, OutputDoesNotDependOnHowPayloadIsSplit) {
    Bytes stream = MakePes(0xC0, 1000, Filler(700, 1));
    test::Append(stream, MakePes(0xC0, 4000, Filler(5000, 2)));
    test::Append(stream, MakePes(0xBE, -1, Filler(300, 3)));  // padding: passed over
    test::Append(stream, MakePes(0xC0, -1, Filler(2, 4)));    // tiny, still >= 10 bytes
    test::Append(stream, MakePes(0xC0, 7000, Filler(9000, 5)));
    test::Append(stream, {0x00, 0x00, 0x00});  // a start of a next PES

    test::FeedInPieces(p, stream, 184);
    const Unpacked reference = Unpack(sink.puts);
    EXPECT_EQ(reference.pts, (std::vector<uint64_t>{1000, 4000, 7000}));
    EXPECT_EQ(reference.es.size(), 700u + 5000u + 2u + 9000u);

    std::mt19937 rng(42);
    for (int round = 0; round < 20; ++round) {
        sink.puts.clear();
        ResetAssembler(p);
        for (const Bytes& piece : test::RandomCuts(stream, rng, round < 10 ? 5 : 184))
            RepackPayload(piece.data(), static_cast<int>(piece.size()), p);
        ASSERT_EQ(Unpack(sink.puts), reference) << "round " << round;
    }
}

TEST_F(AssemblerTest, LengthFieldSplitAcrossPayloads) {
    const Bytes pes = MakePes(0xC0, 500, Filler(100));
    RepackPayload(pes.data(), 5, p);  // ends on the first length byte
    EXPECT_EQ(p.scan_pos, 5);
    RepackPayload(pes.data() + 5, static_cast<int>(pes.size() - 5), p);
    ASSERT_EQ(sink.puts.size(), 1u);
    EXPECT_EQ(sink.puts[0], pes);
}

TEST_F(AssemblerTest, PaddingBetweenAudioPesLeavesNoTrace) {
    const Bytes a1 = MakePes(0xC0, 100, Filler(50));
    const Bytes pad = MakePes(0xBE, -1, Bytes(400, 0xFF));
    const Bytes a2 = MakePes(0xC0, 200, Filler(60));
    Bytes stream = a1;
    test::Append(stream, pad);
    test::Append(stream, a2);
    test::FeedInPieces(p, stream, 184);
    ASSERT_EQ(sink.puts.size(), 2u);
    EXPECT_EQ(sink.puts[0], a1);
    EXPECT_EQ(sink.puts[1], a2);
}

TEST_F(AssemblerTest, SkippedStreamWithSplitLengthIsPassedOverExactly) {
    // The padding PES's length is split; it must still be skipped by its length, so the audio
    // PES behind it comes through.
    const Bytes pad = MakePes(0xBE, -1, Bytes(300, 0xFF));
    const Bytes audio = MakePes(0xC0, 100, Filler(40));
    RepackPayload(pad.data(), 5, p);
    Bytes rest(pad.begin() + 5, pad.end());
    test::Append(rest, audio);
    RepackPayload(rest.data(), static_cast<int>(rest.size()), p);
    ASSERT_EQ(sink.puts.size(), 1u);
    EXPECT_EQ(sink.puts[0], audio);
}

TEST_F(AssemblerTest, ExtraZeroBeforeStartCodeAndGarbageAreSkipped) {
    Bytes stream = {0x12, 0x00, 0x00, 0x00, 0x01, 0xB3, 0x00, 0x00};  // B3 is no PES stream id
    const Bytes pes = MakePes(0xC0, 100, Filler(30));
    stream.push_back(0x00);
    test::Append(stream, pes);
    test::FeedInPieces(p, stream, 7);
    ASSERT_EQ(sink.puts.size(), 1u);
    EXPECT_EQ(sink.puts[0], pes);
}

TEST_F(AssemblerTest, PesShorterThanTenBytesProducesNothing) {
    Bytes stream = {0x00, 0x00, 0x01, 0xC0, 0x00, 0x03, 0x80, 0x00, 0x00};
    const Bytes next = MakePes(0xC0, 100, Filler(20));
    test::Append(stream, next);
    for (int piece : {9, 184}) {
        sink.puts.clear();
        ResetAssembler(p);
        test::FeedInPieces(p, stream, piece);
        ASSERT_EQ(sink.puts.size(), 1u);
        EXPECT_EQ(sink.puts[0], next);
    }
}

TEST_F(AssemblerTest, PesOfExactlyTenBytesIsWritten) {
    // The smallest PES that is sent on: the 9-byte MPEG-2 header and one payload byte.
    const Bytes ten = {0x00, 0x00, 0x01, 0xC0, 0x00, 0x04, 0x80, 0x00, 0x00, 0x5A};
    const Bytes next = MakePes(0xC0, 100, Filler(20));
    Bytes stream = ten;
    test::Append(stream, next);
    for (int piece : {1, 10, 184}) {
        sink.puts.clear();
        ResetAssembler(p);
        test::FeedInPieces(p, stream, piece);
        ASSERT_EQ(sink.puts.size(), 2u) << piece;
        EXPECT_EQ(sink.puts[0], ten);
        EXPECT_EQ(sink.puts[1], next);
    }
}

TEST_F(AssemblerTest, LengthShorterThanItsHeaderDoesNotSilenceTheStream) {
    // PES_packet_length 2 with a PTS header: damaged. The assembler drops it and finds the next.
    Bytes stream = MakePes(0xC0, 100, Filler(20), 2);
    const Bytes good = MakePes(0xC0, 200, Filler(40));
    test::Append(stream, good);
    test::FeedInPieces(p, stream, 184);
    ASSERT_EQ(sink.puts.size(), 1u);
    EXPECT_EQ(sink.puts[0], good);
    // And again with the damaged one split across calls.
    sink.puts.clear();
    ResetAssembler(p);
    test::FeedInPieces(p, stream, 3);
    ASSERT_EQ(sink.puts.size(), 1u);
    EXPECT_EQ(sink.puts[0], good);
}

TEST_F(AssemblerTest, Mpeg1HeaderForms) {
    // Stuffing, STD buffer information and PTS+DTS, then payload.
    Bytes pes = {0x00, 0x00, 0x01, 0xC0, 0x00, 0x00, 0xFF, 0xFF, 0x40, 0x20};
    uint8_t ts[5];
    EncodeTimestamp(ts, 123456, 0x30);
    pes.insert(pes.end(), ts, ts + 5);
    EncodeTimestamp(ts, 120000, 0x10);
    pes.insert(pes.end(), ts, ts + 5);
    test::Append(pes, Filler(50));
    WriteBe16(pes.data() + 4, static_cast<uint32_t>(pes.size() - 6));
    for (int piece : {1, 2, 184}) {
        sink.puts.clear();
        ResetAssembler(p);
        test::FeedInPieces(p, pes, piece);
        ASSERT_EQ(sink.puts.size(), 1u) << piece;
        EXPECT_EQ(sink.puts[0], pes) << piece;
        EXPECT_EQ(DecodeTimestamp(p.pts), 123456u) << piece;
    }
    // The short form: 0x0F and no time stamp.
    Bytes plain = {0x00, 0x00, 0x01, 0xC0, 0x00, 0x00, 0x0F};
    test::Append(plain, Filler(20));
    WriteBe16(plain.data() + 4, static_cast<uint32_t>(plain.size() - 6));
    sink.puts.clear();
    test::FeedInPieces(p, plain, 184);
    ASSERT_EQ(sink.puts.size(), 1u);
    EXPECT_EQ(sink.puts[0], plain);
}

TEST_F(AssemblerTest, PrivateStreamKeptOnlyWithTheOption) {
    const Bytes pes = MakePes(0xBD, 100, Filler(30));
    test::FeedInPieces(p, pes, 184);
    EXPECT_TRUE(sink.puts.empty());
    ctx.options.CheckPrivateStream = true;
    test::FeedInPieces(p, pes, 184);
    ASSERT_EQ(sink.puts.size(), 1u);
    EXPECT_EQ(sink.puts[0], pes);
}

// AC-3 in private_stream_1 with a substream header: 81, frame count, first access unit pointer.
class Ac3StampTest : public AssemblerTest {
  protected:
    static constexpr int kFrame = 768;  // 192 kbit/s at 48 kHz

    // A PES with the substream header and `frames` AC-3 frames, the first one `lead` bytes in.
    static Bytes Ac3Pes(int frames, int lead) {
        Bytes payload = {0x81, 0x00, 0x00, static_cast<uint8_t>(lead + 1)};
        test::Append(payload, Filler(static_cast<size_t>(lead), 9));
        for (int i = 0; i < frames; ++i) {
            Bytes frame = Filler(kFrame, static_cast<uint8_t>(i));
            frame[0] = 0x0B;
            frame[1] = 0x77;
            frame[4] = 0x14;  // fscod 0, frmsizecod 20
            test::Append(payload, frame);
        }
        return MakePes(0xBD, 9000, payload);
    }
};

TEST_F(Ac3StampTest, PiecesCarryFrameCountAndPointer) {
    ctx.options.CheckPrivateStream = true;
    const int lead = 10;
    const int frames = 8;
    const Bytes pes = Ac3Pes(frames, lead);  // 14 + 4 + 10 + 6144 bytes: cut into pieces
    test::FeedInPieces(p, pes, 184);
    ASSERT_GE(sink.puts.size(), 2u);

    // Position of each piece's data within the audio bytes behind the substream header; frames
    // start at lead + i x frame size there. Each piece must count the frames that start in it and
    // point at the first of them (pointer = 1 + bytes in front of it).
    int data_pos = 0;
    int counted = 0;
    for (const Bytes& piece : sink.puts) {
        const int o = 9 + piece[8];
        ASSERT_EQ(piece[o], 0x81);
        const int data_in_piece = static_cast<int>(piece.size()) - (o + 4);
        int expected = 0, first = -1;
        for (int i = 0; i < frames; ++i) {
            const int start = lead + i * kFrame;
            if (start >= data_pos && start < data_pos + data_in_piece) {
                if (first < 0) first = start - data_pos;
                ++expected;
            }
        }
        EXPECT_EQ(piece[o + 1], expected) << "piece at " << data_pos;
        if (expected > 0) {
            EXPECT_EQ(ReadBe16(piece.data() + o + 2), first + 1) << "piece at " << data_pos;
        }
        counted += piece[o + 1];
        data_pos += data_in_piece;
    }
    EXPECT_EQ(counted, frames);
}

TEST_F(Ac3StampTest, PointerBeyondThePacketLeavesItUnstamped) {
    ctx.options.CheckPrivateStream = true;
    Bytes pes = Ac3Pes(1, 0);
    pes[14 + 2] = 0xFF;  // pointer far beyond the packet
    pes[14 + 3] = 0xF0;
    test::FeedInPieces(p, pes, 184);
    ASSERT_EQ(sink.puts.size(), 1u);
    EXPECT_EQ(sink.puts[0], pes);
}

}  // namespace
}  // namespace tessaline
