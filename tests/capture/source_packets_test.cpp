// The virtual deck's rate measurement and its 188-to-192-byte packet conversion.
#include "capture/source_packets.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/support/test_support.h"

namespace tessaline::test {
namespace {

TEST(PlayRate, SamplesPlayAtTheirMuxRate) {
    const Bytes hd = ReadFile(SamplePath("sample-hd-192.ts"));
    const Bytes sd = ReadFile(SamplePath("sample-sd.ts"));
    EXPECT_EQ(DetectPacketSize(hd.data(), hd.size()), 192);
    EXPECT_EQ(DetectPacketSize(sd.data(), sd.size()), 188);

    // The HD sample is a constant 6 Mbit/s mux stored as 192-byte packets.
    const PlayRate r = MeasurePlayRate(hd.data(), hd.size());
    EXPECT_EQ(r.source, PlayRate::Source::Pcr);
    EXPECT_NEAR(r.bytes_per_second, 6e6 / 8 * 192 / 188, 6e6 / 8 * 0.02);

    // The SD sample: about its size over its five seconds.
    const PlayRate s = MeasurePlayRate(sd.data(), sd.size());
    EXPECT_EQ(s.source, PlayRate::Source::Pcr);
    EXPECT_NEAR(s.bytes_per_second, sd.size() / 5.0, sd.size() / 5.0 * 0.1);
}

TEST(PlayRate, FallsBackToVideoBitRateThenDefault) {
    // A sequence header of 8 Mbit/s (20000 x 400) in packets without PCR.
    const Bytes pes = MakePes(0xE0, 0, MakeSequenceHeader(720, 480, 2, 4, 20000));
    Bytes ts = Packetise(pes, 0x100);
    Append(ts, Packetise(pes, 0x100));
    Append(ts, Packetise(pes, 0x100));
    const PlayRate r = MeasurePlayRate(ts.data(), ts.size());
    EXPECT_EQ(r.source, PlayRate::Source::VideoBitRate);
    EXPECT_NEAR(r.bytes_per_second, 8e6 / 8 * 188 / 184, 1);

    const Bytes noise(5000, 0x55);
    const PlayRate d = MeasurePlayRate(noise.data(), noise.size());
    EXPECT_EQ(d.source, PlayRate::Source::Default);
    EXPECT_EQ(d.bytes_per_second, kDefaultPlayBytesPerSecond);
    EXPECT_EQ(MeasurePlayRate(nullptr, 0).source, PlayRate::Source::Default);
}

Bytes WrapInPieces(const Bytes& in, std::mt19937& rng, int max_piece) {
    SourcePacketWrapper wrapper(750000);
    Bytes out, part;
    for (const Bytes& piece : RandomCuts(in, rng, max_piece)) {
        wrapper.Convert(piece.data(), piece.size(), part);
        Append(out, part);
    }
    wrapper.Flush(part);
    Append(out, part);
    return out;
}

TEST(SourcePacketWrapper, WrapsEveryPacketWhateverTheCuts) {
    const Bytes ts = ReadFile(SamplePath("sample-ac3.ts"));
    std::mt19937 rng(7);
    const Bytes whole = WrapInPieces(ts, rng, static_cast<int>(ts.size()));
    ASSERT_EQ(whole.size(), ts.size() / 188 * 192);
    // Arrival stamps at 27 MHz, one packet time apart: 188 bytes at 750000 bytes/s is 6768 ticks.
    for (size_t i = 0; i < ts.size() / 188; ++i) {
        const uint8_t* sp = whole.data() + i * 192;
        ASSERT_TRUE(std::equal(sp + 4, sp + 192, ts.begin() + static_cast<long>(i * 188)));
        const uint32_t stamp = (uint32_t{sp[0]} << 24) | (sp[1] << 16) | (sp[2] << 8) | sp[3];
        ASSERT_EQ(stamp, i * 6768) << "packet " << i;
    }
    EXPECT_EQ(WrapInPieces(ts, rng, 1), whole);
    EXPECT_EQ(WrapInPieces(ts, rng, 300), whole);
}

TEST(SourcePacketWrapper, SourcePacketsAndShortInputPassUnchanged) {
    const Bytes sp = ReadFile(SamplePath("sample-sd-192.ts"));
    const Bytes head(sp.begin(), sp.begin() + 192 * 50);
    std::mt19937 rng(3);
    EXPECT_EQ(WrapInPieces(head, rng, 700), head);
    const Bytes tiny(head.begin(), head.begin() + 100);
    EXPECT_EQ(WrapInPieces(tiny, rng, 30), tiny);
}

}  // namespace
}  // namespace tessaline::test
