// SPDX-License-Identifier: GPL-3.0-or-later
#include "stream/recording_splitter.h"

#include <gtest/gtest.h>

#include <vector>

#include "stream/ts_analyser.h"
#include "tests/support/synthetic_stream.h"

namespace tessaline {
namespace {

using test::Bytes;
using test::SyntheticOptions;
using Reason = RecordingSplitter::Reason;

struct Split {
    size_t packet;
    Reason reason;
};

// Feeds 188-byte packets; `blank_before`: a blank of that many seconds before that packet.
std::vector<Split> Splits(const Bytes& bytes, size_t blank_at = SIZE_MAX, double blank = 0) {
    RecordingSplitter splitter;
    std::vector<Split> out;
    for (size_t i = 0; i * 188 < bytes.size(); ++i) {
        if (i == blank_at) splitter.Blank(blank);
        if (splitter.Packet(bytes.data() + i * 188)) out.push_back({i, splitter.reason()});
    }
    return out;
}

Bytes Concat(const SyntheticOptions& a, const SyntheticOptions& b, size_t* boundary = nullptr) {
    Bytes bytes = test::MakeSyntheticStream(a).bytes;
    if (boundary) *boundary = bytes.size() / 188;
    test::Append(bytes, test::MakeSyntheticStream(b).bytes);
    return bytes;
}

SyntheticOptions Short() {
    SyntheticOptions o;
    o.seconds = 1.5;
    return o;
}

TEST(RecordingSplitter, AStreamStartedAgainBeginsANewRecording) {
    size_t boundary = 0;
    SyntheticOptions other = Short();
    other.transport_stream_id = 2;
    auto s = Splits(Concat(Short(), other, &boundary));
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].packet, boundary);  // the new stream's first packet is its PAT
    EXPECT_EQ(s[0].reason, Reason::NewTransportStream);

    // Same tables, another clock: cut at its first PCR, which follows the tables at once. A new
    // encoder's clock may stand anywhere: an hour on, or back.
    for (const uint64_t start : {27000000ull * 3600, 27000000ull * 5}) {
        SyntheticOptions later = Short();
        later.pcr_start = start;
        s = Splits(Concat(Short(), later, &boundary));
        ASSERT_EQ(s.size(), 1u) << start;
        EXPECT_EQ(s[0].reason, Reason::PcrJump);
        EXPECT_GE(s[0].packet, boundary);
        EXPECT_LE(s[0].packet, boundary + 3);
    }

    // Other PIDs for the program (and so another PCR PID), same PAT.
    SyntheticOptions moved = Short();
    moved.video_pid = 0x200;
    moved.audio_pid = 0x201;
    moved.pcr_start = SyntheticOptions{}.pcr_start + 27000000ull * 2;  // plausibly on
    s = Splits(Concat(Short(), moved, &boundary));
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].reason, Reason::NewProgram);
    EXPECT_EQ(s[0].packet, boundary + 1);  // its PMT
}

TEST(RecordingSplitter, ABlankOfASecondOrMore) {
    size_t boundary = 0;
    SyntheticOptions same = Short();
    same.pcr_start += 27000000ull * 3 / 2;  // the clock simply goes on
    const Bytes bytes = Concat(Short(), same, &boundary);
    EXPECT_TRUE(Splits(bytes).empty());
    EXPECT_TRUE(Splits(bytes, boundary, 0.9).empty());
    auto s = Splits(bytes, boundary, 1.0);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].packet, boundary);
    EXPECT_EQ(s[0].reason, Reason::Blank);
    // A blank before anything was recorded cuts nothing.
    EXPECT_TRUE(Splits(bytes, 0, 5).empty());
}

// What must never cut a recording in two.
TEST(RecordingSplitter, ConservativeAboutEverythingElse) {
    SyntheticOptions o = Short();
    o.seconds = 4;
    const auto s = test::MakeSyntheticStream(o);
    // A dropout of a whole second: the clock moves on by the time lost.
    EXPECT_TRUE(Splits(test::DropPackets(s.bytes, 188, 2000, 2659)).empty());

    // A new PAT version with the same programs; a PAT with a wrong CRC naming another stream.
    Bytes bytes = s.bytes;
    int pats = 0;
    for (size_t i = 0; i < s.packets; ++i) {
        uint8_t* p = test::TsPacketAt(bytes, 188, i);
        if (((p[1] & 0x1F) << 8 | p[2]) != 0) continue;
        uint8_t* section = test::SectionIn(p);
        if (++pats > 10) section[5] = 0xC3;  // version 1
        const uint32_t crc = test::TestCrc32(section, 12);
        for (int k = 0; k < 4; ++k) section[12 + k] = uint8_t(crc >> (24 - 8 * k));
        if (pats == 20) section[4] ^= 0x55;  // another stream id, CRC left wrong
    }
    EXPECT_TRUE(Splits(bytes).empty());
    TsAnalyser analyser;  // the new version's CRCs are right, the other one's is not
    analyser.Feed(bytes.data(), bytes.size());
    analyser.Finish();
    EXPECT_EQ(analyser.finished().Count(Check::Crc), 1u);

    // A jump of the clock the discontinuity indicator announces is a splice, not a restart.
    size_t boundary = 0;
    SyntheticOptions later = Short();
    later.pcr_start = 27000000ull * 3600;
    Bytes spliced = Concat(Short(), later, &boundary);
    for (size_t i = boundary;; ++i) {
        uint8_t* p = test::TsPacketAt(spliced, 188, i);
        if ((p[3] & 0x20) && (p[5] & 0x10)) {
            p[5] |= 0x80;
            break;
        }
    }
    EXPECT_TRUE(Splits(spliced).empty());

    // A restart that changes tables and clock at once is one cut, not two.
    SyntheticOptions fresh = Short();
    fresh.transport_stream_id = 9;
    fresh.pcr_start = 27000000ull * 7200;
    EXPECT_EQ(Splits(Concat(Short(), fresh)).size(), 1u);
}

}  // namespace
}  // namespace tessaline
