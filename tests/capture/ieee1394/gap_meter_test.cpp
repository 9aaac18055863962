// SPDX-License-Identifier: GPL-3.0-or-later
// What a recording missed across an interruption, by the stream's PCRs.
#include "capture/ieee1394/gap_meter.h"

#include <gtest/gtest.h>

#include <vector>

namespace tessaline::fw {
namespace {

using Bytes = std::vector<uint8_t>;

// A stream of 192-byte source packets, every tenth with a PCR, ten packets every 4 ms.
constexpr int kPacketsPerPcr = 10;
constexpr uint64_t kTicksPerPcr = 27000000 / 250;  // 4 ms

Bytes Packet(uint16_t pid, std::optional<uint64_t> pcr) {
    Bytes p(192, 0xFF);
    p[0] = p[1] = p[2] = p[3] = 0;
    uint8_t* ts = p.data() + 4;
    ts[0] = 0x47;
    ts[1] = static_cast<uint8_t>(pid >> 8);
    ts[2] = static_cast<uint8_t>(pid);
    ts[3] = pcr ? 0x30 : 0x10;
    if (pcr) {
        const uint64_t base = *pcr / 300, ext = *pcr % 300;
        ts[4] = 7;
        ts[5] = 0x10;
        ts[6] = static_cast<uint8_t>(base >> 25);
        ts[7] = static_cast<uint8_t>(base >> 17);
        ts[8] = static_cast<uint8_t>(base >> 9);
        ts[9] = static_cast<uint8_t>(base >> 1);
        ts[10] = static_cast<uint8_t>(((base & 1) << 7) | 0x7E | (ext >> 8));
        ts[11] = static_cast<uint8_t>(ext);
    }
    return p;
}

// Packets [from, to) of the stream, `pcr_base` added to every PCR (a new recording on the tape).
Bytes Stream(int from, int to, uint64_t pcr_base = 0) {
    Bytes out;
    for (int i = from; i < to; ++i) {
        const bool has = i % kPacketsPerPcr == 0;
        const Bytes p = Packet(
            0x100, has ? std::optional<uint64_t>(pcr_base + i / kPacketsPerPcr * kTicksPerPcr)
                       : std::nullopt);
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

constexpr double kSecondsPerPacket = 0.004 / kPacketsPerPcr;

std::vector<StreamGap> Feed(GapMeter& meter, const Bytes& bytes) {
    std::vector<StreamGap> gaps;
    if (auto gap = meter.Take(bytes.data(), bytes.size())) gaps.push_back(*gap);
    return gaps;
}

TEST(GapMeter, TheTapeTimeLostAcrossAnInterruptionIsMeasuredByThePcrs) {
    const auto now = GapMeter::Clock::now();
    struct Case {
        const char* name;
        int lost;  // packets the deck played while nothing reached us
    };
    for (const Case c : {Case{"a second", 2500}, Case{"a third of a second", 833},
                         Case{"not a whole number of PCR intervals", 147}}) {
        SCOPED_TRACE(c.name);
        GapMeter meter;
        EXPECT_TRUE(Feed(meter, Stream(0, 2003)).empty());
        meter.Interrupted("the deck was off the bus", now);
        meter.Restored();
        const auto gaps = Feed(meter, Stream(2003 + c.lost, 6000));
        ASSERT_EQ(gaps.size(), 1u);
        EXPECT_NEAR(gaps[0].length_seconds, c.lost * kSecondsPerPacket, 0.0005);
        EXPECT_NEAR(gaps[0].at_seconds, 2000 * kSecondsPerPacket, 0.005);
        EXPECT_EQ(gaps[0].cause, "the deck was off the bus");
        EXPECT_FALSE(meter.pending());
    }
}

TEST(GapMeter, NothingLostIsNothingReported) {
    GapMeter meter;
    const auto now = GapMeter::Clock::now();
    Feed(meter, Stream(0, 1000));
    meter.Interrupted("a bus reset", now);
    meter.Restored();
    // A few packets short of a whole PCR interval: the jitter of a stream, not a loss.
    EXPECT_TRUE(Feed(meter, Stream(1003, 6000)).empty());
    // Settled: a long normal run after the connection came back ends the interruption.
    EXPECT_FALSE(meter.pending());
    EXPECT_NEAR(meter.recorded_seconds(), 5990 * kSecondsPerPacket, 0.001);
}

TEST(GapMeter, PacketsStillBufferedWhenTheInterruptionIsNoticedComeFirst) {
    // The reset is seen before the receive buffer's last packets from before it are read: the
    // loss is where the stream jumps, however late it shows.
    GapMeter meter;
    Feed(meter, Stream(0, 100));
    meter.Interrupted("a bus reset", GapMeter::Clock::now());
    EXPECT_TRUE(Feed(meter, Stream(100, 2000)).empty());
    meter.Restored();
    const auto gaps = Feed(meter, Stream(3000, 4000));
    ASSERT_EQ(gaps.size(), 1u);
    EXPECT_NEAR(gaps[0].length_seconds, 1000 * kSecondsPerPacket, 0.0005);
}

TEST(GapMeter, WithoutAnInterruptionAJumpIsNotALoss) {
    // A new recording on the tape starts its PCRs anywhere; nothing was interrupted.
    GapMeter meter;
    Feed(meter, Stream(0, 1000));
    EXPECT_TRUE(Feed(meter, Stream(1000, 2000, 27000000ull * 3600)).empty());
    // Nor is a stream without PCRs measured.
    GapMeter blind;
    Bytes plain;
    for (int i = 0; i < 500; ++i) {
        const Bytes p = Packet(0x100, std::nullopt);
        plain.insert(plain.end(), p.begin(), p.end());
    }
    blind.Interrupted("a bus reset", GapMeter::Clock::now());
    blind.Restored();
    EXPECT_TRUE(Feed(blind, plain).empty());
}

TEST(GapMeter, StoppedWhileTheDeckIsAwayTheRestIsMissing) {
    GapMeter meter;
    const auto since = GapMeter::Clock::now();
    Feed(meter, Stream(0, 1000));
    meter.Interrupted("the deck was off the bus", since);
    const auto gap = meter.Finish(since + std::chrono::milliseconds(2500));
    ASSERT_TRUE(gap.has_value());
    EXPECT_NEAR(gap->length_seconds, 2.5, 1e-9);
    EXPECT_NEAR(gap->at_seconds, 990 * kSecondsPerPacket, 1e-9);
    // Back before the end: nothing is known to be missing.
    GapMeter back;
    Feed(back, Stream(0, 1000));
    back.Interrupted("a bus reset", since);
    back.Restored();
    EXPECT_FALSE(back.Finish(since + std::chrono::seconds(3)).has_value());
}

TEST(GapMeter, OnlyTheFirstCauseCountsUnlessTheDeckTurnsOutToBeGone) {
    GapMeter meter;
    const auto now = GapMeter::Clock::now();
    Feed(meter, Stream(0, 500));
    meter.Interrupted("a bus reset", now);
    meter.Interrupted("the stream went quiet", now);
    meter.SetCause("the deck was off the bus");
    meter.Restored();
    const auto gaps = Feed(meter, Stream(1500, 2500));
    ASSERT_EQ(gaps.size(), 1u);
    EXPECT_EQ(gaps[0].cause, "the deck was off the bus");
}

}  // namespace
}  // namespace tessaline::fw
