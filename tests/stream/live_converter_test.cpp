#include "stream/live_converter.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include "stream/capture_data_path.h"
#include "stream/output_file.h"
#include "stream/stream_context.h"
#include "stream/ts_format.h"
#include "tests/stream/stream_test_util.h"

namespace tessaline {
namespace {

using test::Bytes;
using test::Filler;
using test::MakePes;

constexpr uint16_t kVideoPid = 0x100;
constexpr uint16_t kAudioPid = 0x101;

Bytes VideoPes(int64_t pts) {
    Bytes payload = test::MakeSequenceHeader(720, 480, 2, 4, 7500);
    test::Append(payload, Filler(1000));
    return MakePes(0xE0, pts, payload, 0);
}
Bytes AudioPes(int64_t pts, uint8_t id = 0xC0) {
    return MakePes(id, pts, test::MakeMp2Frame(10, 1, 576));
}

class LiveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(file.Create((dir / "out.mpg").string()));
        path.SetOutputFile(&file);
        ResetCarryOver(ctx);
        PrepareLiveConversion(ctx);
    }
    void Feed(const Bytes& b) {
        EXPECT_EQ(path.BufferCB(0.0, b.data(), static_cast<long>(b.size())), kS_OK);
    }
    Bytes Written() {
        file.Close();
        return test::ReadFile(dir / "out.mpg");
    }

    test::TempDir dir;
    StreamContext ctx;
    CaptureDataPath path{ctx};
    OutputFile file;
    uint8_t vcc = 0, acc = 0;
};

TEST_F(LiveTest, WithoutPsOutputOnlyStatisticsChange) {
    ctx.options.TrimPacket = true;
    ctx.options.ConvPES = false;
    Bytes ts = test::Packetise(AudioPes(90000), kAudioPid, &acc);
    test::Append(ts, test::Packetise(VideoPes(93003), kVideoPid, &vcc));
    test::Append(ts, test::Packetise(AudioPes(92160), kAudioPid, &acc));
    test::Append(ts, test::Packetise(VideoPes(96006), kVideoPid, &vcc));
    test::Append(ts, test::Packetise(AudioPes(94320), kAudioPid, &acc));
    test::Append(ts, test::Packetise(AudioPes(96480), kAudioPid, &acc));
    Feed(ts);
    EXPECT_EQ(Written(), ts);  // the trimmed packets, nothing from the converter
    EXPECT_EQ(ctx.stats.VideoWidth, 720u);
    EXPECT_EQ(ctx.stats.VideoValid, -1);
    EXPECT_EQ(ctx.stats.AudioBitRate, 192000u);
    // Time stamps count from the start of the (unwritten) program stream: the first video PES
    // leaves when the second one starts, and audio before that is not part of it.
    EXPECT_EQ(ctx.stats.FirstVideoPts, 93003u);
    EXPECT_EQ(ctx.stats.LastVideoPts, 93003u);  // the second video PES is still open
    EXPECT_EQ(ctx.stats.FirstAudioPts, 94320u);
    EXPECT_EQ(ctx.stats.LastAudioPts, 96480u);
    EXPECT_EQ(ctx.live.LiveVideoPid, kVideoPid);
    EXPECT_EQ(ctx.live.LiveAudioPid, kAudioPid);
}

TEST_F(LiveTest, AudioPidFoundInALaterBuffer) {
    ctx.options.ConvPES = false;
    ctx.options.CheckPts = false;
    Feed(test::Packetise(VideoPes(3003), kVideoPid, &vcc));
    EXPECT_EQ(ctx.live.LiveVideoPid, kVideoPid);
    EXPECT_EQ(ctx.live.LiveAudioPid, 0);
    Bytes later = test::Packetise(AudioPes(4000), kAudioPid, &acc);
    test::Append(later, test::Packetise(AudioPes(6160), kAudioPid, &acc));
    Feed(later);
    EXPECT_EQ(ctx.live.LiveAudioPid, kAudioPid);
    EXPECT_EQ(ctx.stats.LastAudioPts, 6160u);
}

TEST_F(LiveTest, PrivateStreamCountsAsAudioOnlyWithTheOption) {
    const Bytes ts = test::Packetise(AudioPes(4000, 0xBD), kAudioPid, &acc);
    uint16_t v = 0, a = 0;
    FindAvPidsLive(ts.data(), static_cast<int>(ts.size()), v, a, false);
    EXPECT_EQ(a, 0);
    FindAvPidsLive(ts.data(), static_cast<int>(ts.size()), v, a, true);
    EXPECT_EQ(a, kAudioPid);
}

TEST_F(LiveTest, UnknownPidMatchesNoPacket) {
    // A PAT whose section happens to hold 00 00 01 E0: while the video PID is unknown (0) it must
    // not be taken for video.
    ctx.options.ConvPES = true;
    ctx.options.CheckPts = false;
    test::TsPacketSpec pat;
    pat.pid = 0;
    pat.unit_start = true;
    Bytes fake = MakePes(0xE0, 100, test::MakeSequenceHeader(720, 480, 2, 4, 7500));
    fake.insert(fake.begin(), {0x00, 0x00, 0xB0});
    Feed(test::MakeTsPacket(pat, fake));
    Feed(test::MakeTsPacket(pat, fake));
    EXPECT_EQ(ctx.stats.VideoValid, 0);
    EXPECT_TRUE(Written().empty());
}

TEST_F(LiveTest, DamagedAndPayloadlessPacketsArePassedOver) {
    ctx.options.ConvPES = false;
    ctx.options.CheckPts = false;
    Bytes ts = test::Packetise(AudioPes(1000), kAudioPid, &acc);
    test::TsPacketSpec spec;
    spec.pid = kAudioPid;
    spec.adaptation_length = 183;
    spec.has_payload = false;  // adaptation field only
    test::Append(ts, test::MakeTsPacket(spec, Filler(10)));
    spec.has_payload = true;
    spec.adaptation_length = 200;  // claims more than the packet
    test::Append(ts, test::MakeTsPacket(spec, {}));
    test::Append(ts, test::Packetise(AudioPes(3160), kAudioPid, &acc));
    test::Append(ts, test::Packetise(AudioPes(5320), kAudioPid, &acc));
    Feed(ts);
    EXPECT_EQ(ctx.stats.LastAudioPts, 5320u);  // the stream went on undisturbed
}

TEST_F(LiveTest, SharedPidGoesToVideo) {
    ctx.options.ConvPES = false;
    Bytes ts = test::Packetise(VideoPes(3003), kVideoPid, &vcc);
    test::Append(ts, test::Packetise(AudioPes(4000), kVideoPid, &vcc));
    Feed(ts);
    EXPECT_EQ(ctx.live.LiveVideoPid, kVideoPid);
    EXPECT_EQ(ctx.live.LiveAudioPid, kVideoPid);
    // Both PES went into the video assembler; the audio one is still classed by its stream id.
    EXPECT_EQ(ctx.live.audio.scan_pos, 0);
    EXPECT_EQ(ctx.live.audio.has_audio_info, 0);
    EXPECT_EQ(ctx.live.video.has_audio_info, 1);
}

TEST_F(LiveTest, FailedProgramStreamWriteIsReported) {
    const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    file.Adopt(fd, "/dev/full");
    ctx.options.ConvPES = true;
    ctx.options.CheckPts = false;
    const Bytes ts = test::Packetise(AudioPes(90000), kAudioPid, &acc);
    const Bytes more = test::Packetise(AudioPes(92160), kAudioPid, &acc);
    EXPECT_EQ(path.BufferCB(0, ts.data(), static_cast<long>(ts.size())), kS_FALSE);
    EXPECT_GE(ctx.stats.WriteFailures, 1u);
    EXPECT_EQ(path.BufferCB(0, more.data(), static_cast<long>(more.size())), kS_FALSE);
}

TEST_F(LiveTest, FirstBufferStartsAfresh) {
    ctx.options.ConvPES = false;
    ctx.options.CheckPts = false;
    Bytes ts = test::Packetise(VideoPes(3003), kVideoPid, &vcc);
    test::Append(ts, test::Packetise(AudioPes(4000), kAudioPid, &acc));
    Feed(ts);
    EXPECT_NE(ctx.stats.FirstAudioPts, 0u);
    // A new recording of another stream: PIDs, time stamps and gates start from nothing.
    PrepareLiveConversion(ctx);
    ResetCarryOver(ctx);
    uint8_t cc = 0;
    Feed(test::Packetise(AudioPes(777000), 0x200, &cc));
    EXPECT_EQ(ctx.live.LiveAudioPid, 0x200);
    EXPECT_EQ(ctx.live.LiveVideoPid, 0);
    EXPECT_EQ(ctx.stats.FirstAudioPts, 777000u);
    EXPECT_EQ(ctx.stats.FirstVideoPts, 0u);
}

}  // namespace
}  // namespace tessaline
