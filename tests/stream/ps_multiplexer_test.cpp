#include "stream/ps_multiplexer.h"

#include <gtest/gtest.h>

#include "stream/pes_assembler.h"
#include "stream/stream_context.h"
#include "stream/ts_format.h"
#include "tests/stream/stream_test_util.h"

namespace tessaline {
namespace {

using test::Bytes;
using test::Filler;
using test::MakePes;

// One item of a program stream as read back.
struct PsItem {
    char kind;  // 'P' pack header, 'S' system header, 'E' PES
    uint8_t stream_id = 0;
    Bytes bytes;
};

std::vector<PsItem> ParsePs(const Bytes& ps) {
    std::vector<PsItem> items;
    size_t pos = 0;
    while (pos + 4 <= ps.size()) {
        EXPECT_TRUE(ps[pos] == 0 && ps[pos + 1] == 0 && ps[pos + 2] == 1) << "at " << pos;
        if (!(ps[pos] == 0 && ps[pos + 1] == 0 && ps[pos + 2] == 1)) break;
        size_t size;
        char kind = 'E';
        if (ps[pos + 3] == 0xBA) {
            kind = 'P';
            size = 14 + (ps[pos + 13] & 0x07);
        } else {
            if (ps[pos + 3] == 0xBB) kind = 'S';
            size = 6 + ReadBe16(ps.data() + pos + 4);
        }
        items.push_back(
            {kind, ps[pos + 3], Bytes(ps.begin() + long(pos), ps.begin() + long(pos + size))});
        pos += size;
    }
    EXPECT_EQ(pos, ps.size());
    return items;
}

std::string Kinds(const std::vector<PsItem>& items) {
    std::string s;
    for (const auto& i : items) s += i.kind;
    return s;
}

uint32_t ScrOf(const Bytes& pack) {
    const uint8_t* b = pack.data() + 4;
    return static_cast<uint32_t>((uint64_t((b[0] >> 3) & 0x07) << 30) |
                                 (uint64_t(b[0] & 0x03) << 28) | (uint64_t(b[1]) << 20) |
                                 (uint64_t(b[2] >> 3) << 15) | (uint64_t(b[2] & 0x03) << 13) |
                                 (uint64_t(b[3]) << 5) | (b[4] >> 3));
}

// Two assemblers feeding the multiplexer, as a converter has them.
class MuxTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ctx.options.ConvPES = true;
        InitAssembler(video, kAssemblerCapacity, &sink, 1, ctx);
        InitAssembler(audio, kAssemblerCapacity, &sink, 1, ctx);
        InitAssembler(priv, kAssemblerCapacity, &sink, 1, ctx);
    }
    // What a converter does when it starts.
    void Start() {
        ctx.mux.MuxFirstRun = true;
        ctx.mux.AudioGate = ctx.options.CheckPts ? 0 : 1;
        ctx.mux.VideoGate = 0;
        ctx.stats.ResetTimestamps();
    }
    // A complete PES through an assembler; unbounded video is finished right away.
    void Feed(ipack_s& p, const Bytes& pes) {
        test::FeedInPieces(p, pes, 184);
        if (p.payload_length == kUnboundedPesLength) FinishUnboundedPes(p);
    }
    // Video PES: a 24 Mbit/s 29.97 fps sequence header (after `lead` junk bytes) and picture data.
    static Bytes VideoPes(int64_t pts, bool with_sequence = true, int lead = 0) {
        Bytes payload = Filler(static_cast<size_t>(lead), 3);
        if (with_sequence) test::Append(payload, test::MakeSequenceHeader(1440, 1080, 3, 4, 60000));
        test::Append(payload, {0x00, 0x00, 0x01, 0x00});
        test::Append(payload, Filler(500));
        return MakePes(0xE0, pts, payload, 0);
    }
    // Audio PES: one Layer II frame of 192 kbit/s at 48 kHz, after `lead` junk bytes.
    static Bytes AudioPes(int64_t pts, int lead = 0, uint8_t id = 0xC0) {
        Bytes payload = Filler(static_cast<size_t>(lead), 5);
        test::Append(payload, test::MakeMp2Frame(10, 1, 576));
        return MakePes(id, pts, payload);
    }

    StreamContext ctx;
    test::VectorSink sink;
    ipack_s video, audio, priv;
};

TEST_F(MuxTest, AudioOnlyStartWithoutCheckPts) {
    ctx.options.CheckPts = false;
    Start();
    const Bytes pes = AudioPes(90000);
    Feed(audio, pes);
    const Bytes out = sink.Joined();
    ASSERT_EQ(out.size(), 14 + pes.size());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), (Bytes{0, 0, 1, 0xBA}));
    EXPECT_EQ(ScrOf(Bytes(out.begin(), out.begin() + 14)), 90000u - 3600u);
    EXPECT_EQ(Bytes(out.begin() + 10, out.begin() + 14), (Bytes{0x00, 0x07, 0x83, 0xF8}));  // 480
    EXPECT_EQ(Bytes(out.begin() + 14, out.end()), pes);
    EXPECT_EQ(ctx.stats.FirstAudioPts, 90000u);
    EXPECT_EQ(ctx.stats.AudioBitRate, 192000u);
}

TEST_F(MuxTest, ScrWrapsInThirtyTwoBits) {
    ctx.options.CheckPts = false;
    Start();
    Feed(audio, AudioPes(1000));
    EXPECT_EQ(ScrOf(sink.puts.at(0)), 0xFFFFF5D8u);
}

TEST_F(MuxTest, MuxRateAndSystemHeaderOnceBothStreamsAreKnown) {
    ctx.options.CheckPts = false;
    Start();
    Feed(video, VideoPes(180000));
    Feed(audio, AudioPes(180000));
    Feed(audio, AudioPes(182160));
    const auto items = ParsePs(sink.Joined());
    // Video starts the output alone (14 bytes); audio PES with a PTS each get a pack header that
    // carries the system header now that both streams are known.
    ASSERT_EQ(Kinds(items), "PEPSEPSE");
    EXPECT_EQ(Bytes(items[0].bytes.begin() + 10, items[0].bytes.begin() + 13),
              (Bytes{0x03, 0xA9, 0x83}));  // 24 Mbit/s alone: 60000
    EXPECT_EQ(Bytes(items[2].bytes.begin() + 10, items[2].bytes.begin() + 13),
              (Bytes{0x03, 0xB1, 0x03}));  // 60480
    const Bytes& system = items[3].bytes;
    EXPECT_EQ(Bytes(system.begin() + 6, system.begin() + 9), (Bytes{0x81, 0xD8, 0x81}));
    EXPECT_EQ(Bytes(system.begin() + 12, system.end()),
              (Bytes{0xE0, 0xE1, 0xCC, 0xC0, 0xC0, 0x40}));
    EXPECT_EQ(ctx.stats.FirstVideoPts, 180000u);
}

TEST_F(MuxTest, CheckPtsStartsAtVideoAndHoldsEarlyAudioBack) {
    ctx.options.CheckPts = true;
    Start();
    Feed(audio, AudioPes(1000));           // learns the audio rate; nothing written yet
    Feed(video, VideoPes(100000, false));  // no sequence header: nothing yet
    EXPECT_TRUE(sink.puts.empty());
    Feed(video, VideoPes(100000));         // starts: pack + system header, then this PES
    Feed(audio, AudioPes(100000 - 4000));  // more than a frame early: dropped
    Feed(audio, AudioPes(100000 - 1000));  // within a frame: the first audio written
    Feed(audio, AudioPes(102160));
    Feed(video, VideoPes(103003, false));
    const auto items = ParsePs(sink.Joined());
    ASSERT_EQ(Kinds(items), "PSEPEPEE");
    EXPECT_EQ(items[2].stream_id, 0xE0);
    EXPECT_EQ(items[3].bytes.size(), 14u);  // later pack headers have no system header
    EXPECT_EQ(DecodeTimestamp(items[4].bytes.data() + 9), 99000u);
    EXPECT_EQ(ctx.stats.FirstVideoPts, 100000u);
    EXPECT_EQ(ctx.stats.FirstAudioPts, 99000u);
    EXPECT_EQ(ctx.stats.LastAudioPts, 102160u);
    EXPECT_EQ(ctx.stats.LastVideoPts, 103003u);
}

TEST_F(MuxTest, VideoWithoutPtsNeverOpensTheGate) {
    ctx.options.CheckPts = true;
    Start();
    Feed(audio, AudioPes(1000));
    Feed(video, VideoPes(-1));  // sequence header but no PTS: starts, not written
    const auto first = ParsePs(sink.Joined());
    EXPECT_EQ(Kinds(first), "PS");
    Feed(video, VideoPes(6006));
    EXPECT_EQ(Kinds(ParsePs(sink.Joined())), "PSE");
}

// With Check PTS, audio waits for the video PES that opens the video: a video PTS seen before
// that (no sequence header with it) must not let audio start by its own time.
TEST_F(MuxTest, VideoPtsBeforeTheFirstSequenceHeaderDoesNotStartAudio) {
    ctx.options.CheckPts = true;
    Start();
    Feed(audio, AudioPes(1000));
    Feed(video, VideoPes(-1));            // sequence header without a PTS: starts the output
    Feed(video, VideoPes(50000, false));  // a PTS, but no sequence header: video stays shut
    Feed(audio, AudioPes(50000));         // level with that PTS: must still wait
    EXPECT_EQ(Kinds(ParsePs(sink.Joined())), "PS");
    EXPECT_EQ(ctx.stats.FirstVideoPts, 0u);
    EXPECT_EQ(ctx.stats.FirstAudioPts, 0u);
    Feed(video, VideoPes(100000));  // now the video starts
    Feed(audio, AudioPes(99000));
    std::vector<uint64_t> audio_pts;
    for (const PsItem& item : ParsePs(sink.Joined())) {
        if (item.stream_id == 0xC0) audio_pts.push_back(DecodeTimestamp(item.bytes.data() + 9));
    }
    EXPECT_EQ(audio_pts, std::vector<uint64_t>{99000});
    EXPECT_EQ(ctx.stats.FirstAudioPts, 99000u);
}

TEST_F(MuxTest, SyncByteOptionTrimsTheFirstPes) {
    for (bool sync_byte : {true, false}) {
        sink.puts.clear();
        ctx.options.CheckPts = true;
        ctx.options.SyncByte = sync_byte;
        Start();
        RestartAssembler(video, kAssemblerCapacity, &sink, 1, ctx);
        RestartAssembler(audio, kAssemblerCapacity, &sink, 1, ctx);
        Feed(audio, AudioPes(1000));
        Feed(video, VideoPes(100000, true, 7));
        Feed(audio, AudioPes(100000, 3));
        const auto items = ParsePs(sink.Joined());
        ASSERT_EQ(Kinds(items), "PSEPE") << sync_byte;
        const Bytes& v = items[2].bytes;
        const Bytes& a = items[4].bytes;
        if (sync_byte) {
            EXPECT_EQ(Bytes(v.begin() + 14, v.begin() + 18), (Bytes{0, 0, 1, 0xB3}));
            EXPECT_EQ(Bytes(a.begin() + 14, a.begin() + 16), (Bytes{0xFF, 0xFD}));
        } else {
            EXPECT_NE(v[14 + 3], 0xB3);
            EXPECT_EQ(a.size(), AudioPes(100000, 3).size());
        }
    }
}

TEST_F(MuxTest, Mpeg1PesIsNeverWritten) {
    ctx.options.CheckPts = false;
    Start();
    Feed(audio, AudioPes(90000));
    const size_t before = sink.Joined().size();
    Bytes mpeg1 = {0x00, 0x00, 0x01, 0xC0, 0x00, 0x00, 0x21, 0x00, 0x01, 0x00, 0x01};
    test::Append(mpeg1, test::MakeMp2Frame(10, 1, 100));
    WriteBe16(mpeg1.data() + 4, static_cast<uint32_t>(mpeg1.size() - 6));
    Feed(audio, mpeg1);
    EXPECT_EQ(sink.Joined().size(), before);
}

TEST_F(MuxTest, PrivateStreamIsWrittenOnceStartedWhateverTheGates) {
    ctx.options.CheckPts = true;
    ctx.options.CheckPrivateStream = true;
    Start();
    const Bytes ac3 = MakePes(0xBD, 500, Filler(100));
    Feed(priv, ac3);  // before the start: dropped
    Feed(audio, AudioPes(1000));
    Feed(video, VideoPes(100000));
    ASSERT_EQ(ctx.mux.AudioGate, 0);
    Feed(priv, ac3);
    const auto items = ParsePs(sink.Joined());
    ASSERT_EQ(Kinds(items), "PSEE");
    EXPECT_EQ(items[3].bytes, ac3);
}

TEST_F(MuxTest, ContinuationPiecesKeepTheLastAudioPts) {
    ctx.options.CheckPts = false;
    Start();
    Bytes payload;
    for (int i = 0; i < 9; ++i) test::Append(payload, test::MakeMp2Frame(10, 1, 576));
    Feed(audio, MakePes(0xC0, 54000, payload));  // 5.2 KB: leaves in several pieces
    EXPECT_GE(sink.puts.size(), 3u);
    EXPECT_EQ(ctx.stats.LastAudioPts, 54000u);
}

TEST_F(MuxTest, HeaderLengthBeyondThePacketIsHarmless) {
    ctx.options.CheckPts = false;
    Start();
    Bytes pes = AudioPes(90000);
    pes[8] = 250;  // PES_header_data_length far beyond this small packet
    Feed(audio, pes);
    EXPECT_EQ(ctx.stats.AudioValid, 0);
    EXPECT_TRUE(sink.puts.empty());
}

}  // namespace
}  // namespace tessaline
