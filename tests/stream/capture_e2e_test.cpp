// The bundled samples through the capture path in program stream mode, checked by outside readers.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "stream/capture_data_path.h"
#include "stream/output_file.h"
#include "stream/stream_context.h"
#include "tests/support/test_support.h"

namespace tessaline {
namespace {

using test::Bytes;

struct Recording {
    Bytes ps;
    TStreamStatistics stats;
};

// Feeds a file's bytes to BufferCB as a deck would, in buffers of random sizes (the first one
// `first_cut` bytes), in PS mode; returns what was written.
Recording RecordPs(const Bytes& input, const test::TempDir& dir, unsigned seed, size_t first_cut,
                   bool check_pts) {
    StreamContext ctx;
    ctx.options.ConvPES = true;
    ctx.options.TrimPacket = true;
    ctx.options.CheckPts = check_pts;
    CaptureDataPath path(ctx);
    OutputFile file;
    const auto out = dir / ("rec-" + std::to_string(seed) + ".mpg");
    EXPECT_TRUE(file.Create(out.string()));
    path.SetOutputFile(&file);
    ResetCarryOver(ctx);
    PrepareLiveConversion(ctx);

    std::mt19937 rng(seed);
    EXPECT_EQ(path.BufferCB(0, input.data(), static_cast<long>(first_cut)), kS_OK);
    const Bytes rest(input.begin() + static_cast<long>(first_cut), input.end());
    for (const Bytes& piece : test::RandomCuts(rest, rng, 70000))
        EXPECT_EQ(path.BufferCB(0, piece.data(), static_cast<long>(piece.size())), kS_OK);
    file.Close();
    return {test::ReadFile(out), ctx.stats};
}

struct SampleCase {
    const char* name;
    uint32_t aspect;
    friend std::ostream& operator<<(std::ostream& os, const SampleCase& c) { return os << c.name; }
};

class CaptureE2E : public ::testing::TestWithParam<SampleCase> {};

TEST_P(CaptureE2E, ProgramStreamIsReadableAndStatisticsMatchTheInput) {
    if (!test::HaveTool("ffprobe") || !test::HaveTool("psreport")) GTEST_SKIP() << "no oracles";
    const auto input_path = test::SamplePath(GetParam().name);
    const Bytes input = test::ReadFile(input_path);
    const auto in = test::Probe(input_path);
    ASSERT_TRUE(in);
    const test::ProbedStream* iv = in->Find("video");
    const test::ProbedStream* ia = in->Find("audio");
    ASSERT_TRUE(iv && ia);

    test::TempDir dir;
    for (bool check_pts : {true, false}) {
        SCOPED_TRACE(check_pts ? "Check PTS" : "all");
        const Recording rec = RecordPs(input, dir, 1, 150000, check_pts);
        const auto out_path = dir / "rec-1.mpg";
        const auto out = test::Probe(out_path);
        ASSERT_TRUE(out) << "ffprobe cannot read the program stream";
        EXPECT_EQ(out->format_name, "mpeg");
        const test::ProbedStream* ov = out->Find("video");
        const test::ProbedStream* oa = out->Find("audio");
        ASSERT_TRUE(ov && oa);
        EXPECT_EQ(ov->codec_name, iv->codec_name);
        EXPECT_EQ(ov->width, iv->width);
        EXPECT_EQ(ov->height, iv->height);
        EXPECT_EQ(ov->frame_rate, iv->frame_rate);
        EXPECT_EQ(oa->codec_name, ia->codec_name);
        EXPECT_EQ(oa->sample_rate, ia->sample_rate);
        EXPECT_NEAR(test::PacketDuration(out_path, "video"),
                    test::PacketDuration(input_path, "video"), 1.0);
        EXPECT_NEAR(test::PacketDuration(out_path, "audio"),
                    test::PacketDuration(input_path, "audio"), 1.0);

        const test::PsReport report = test::RunPsReport(out_path);
        EXPECT_TRUE(report.clean) << report.output;
        EXPECT_GT(report.video_packets, 0);
        EXPECT_GT(report.audio_packets, 0);

        // What the Data Info tab would show agrees with the input.
        const TStreamStatistics& s = rec.stats;
        EXPECT_EQ(s.VideoWidth, static_cast<uint32_t>(iv->width));
        EXPECT_EQ(s.VideoHeight, static_cast<uint32_t>(iv->height));
        EXPECT_EQ(s.VideoAspect, GetParam().aspect);
        EXPECT_NEAR(s.VideoFrameRate, 30000.0 / 1001.0, 1e-9);
        if (iv->bit_rate > 0) {
            EXPECT_EQ(s.VideoBitRate, static_cast<uint32_t>(iv->bit_rate));
        }
        EXPECT_EQ(s.AudioBitRate, static_cast<uint32_t>(ia->bit_rate));
        EXPECT_EQ(s.AudioFrequency, static_cast<uint32_t>(ia->sample_rate));
        const double v_first = s.FirstVideoPts / 90000.0, v_last = s.LastVideoPts / 90000.0;
        const double a_first = s.FirstAudioPts / 90000.0, a_last = s.LastAudioPts / 90000.0;
        const double ms = 0.001;  // ffprobe prints microseconds
        EXPECT_GE(v_first, iv->start_time - ms);
        EXPECT_LE(v_first, iv->start_time + 1.0);
        EXPECT_LE(v_last, iv->start_time + iv->duration + ms);
        EXPECT_GE(v_last, iv->start_time + iv->duration - 1.0);
        EXPECT_GE(a_first, ia->start_time - ms);
        EXPECT_LE(a_first, ia->start_time + 1.0);
        EXPECT_LE(a_last, ia->start_time + ia->duration + ms);
        EXPECT_GE(a_last, ia->start_time + ia->duration - 1.0);
        EXPECT_EQ(s.WriteFailures, 0u);
    }
}

// Once both PIDs are known from the first buffer, how the rest is cut does not matter.
TEST_P(CaptureE2E, OutputDoesNotDependOnBufferCuts) {
    const Bytes input = test::ReadFile(test::SamplePath(GetParam().name));
    test::TempDir dir;
    const Recording a = RecordPs(input, dir, 11, 200000, true);
    const Recording b = RecordPs(input, dir, 12, 200000, true);
    ASSERT_GT(a.ps.size(), 100000u);
    EXPECT_TRUE(a.ps == b.ps);
}

INSTANTIATE_TEST_SUITE_P(Samples, CaptureE2E,
                         ::testing::Values(SampleCase{"sample-sd.ts", 133},
                                           SampleCase{"sample-sd-192.ts", 133},
                                           SampleCase{"sample-hd-192.ts", 177}),
                         [](const auto& info) {
                             std::string n = info.param.name;
                             for (char& c : n)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return n;
                         });

}  // namespace
}  // namespace tessaline
