// SPDX-License-Identifier: GPL-3.0-or-later
// Finding written files in what a deck played back: losses at a file's start and end, changed
// and repeated packets, files alike, and bytes from a deck that make no sense.
#include "capture/tape_compare.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "tests/support/test_support.h"

namespace tessaline {
namespace {

using test::Bytes;

constexpr uint16_t kVideoPid = 0x100;
constexpr uint16_t kPcrPid = 0x101;

// A packet no other one is like: its number in the payload. Every 50th carries a PCR that
// counts 10 ms a packet-step of 50, so packet n is at n / 5000 s.
Bytes Packet(uint32_t n, uint32_t salt = 0) {
    Bytes words(8);
    std::memcpy(words.data(), &n, 4);
    std::memcpy(words.data() + 4, &salt, 4);
    const auto cc = static_cast<uint8_t>(n & 0x0F);
    if (n % 50 == 0) return test::MakePcrPacket(kPcrPid, cc, uint64_t{n} * 90000 / 5000, words);
    test::TsPacketSpec spec;
    spec.pid = kVideoPid;
    spec.continuity = cc;
    return test::MakeTsPacket(spec, words);
}

Bytes NullPacket() {
    Bytes p(188, 0xFF);
    p[0] = 0x47;
    p[1] = 0x1F;
    p[2] = 0xFF;
    p[3] = 0x10;
    return p;
}

// A file of packets first..first+count, as 188- or 192-byte packets, with a null packet after
// every seventh.
Bytes FileOf(uint32_t first, uint32_t count, int size = 188, uint32_t salt = 0) {
    Bytes out;
    for (uint32_t n = first; n < first + count; ++n) {
        if (size == 192) out.insert(out.end(), {0x00, 0x01, 0x02, 0x03});
        const Bytes p = Packet(n, salt);
        out.insert(out.end(), p.begin(), p.end());
        if (n % 7 == 0) {
            if (size == 192) out.insert(out.end(), {0x00, 0x01, 0x02, 0x04});
            const Bytes z = NullPacket();
            out.insert(out.end(), z.begin(), z.end());
        }
    }
    return out;
}

// What a deck sends: source packets, with null packets of its own in other places.
void AddSent(Bytes& tape, const Bytes& ts, uint32_t header = 0x12345678) {
    for (size_t at = 0; at + 188 <= ts.size(); at += 188) {
        for (int k = 3; k >= 0; --k) tape.push_back(static_cast<uint8_t>(header >> (8 * k)));
        tape.insert(tape.end(), ts.begin() + static_cast<long>(at),
                    ts.begin() + static_cast<long>(at + 188));
        ++header;
    }
}

Bytes TsRange(uint32_t first, uint32_t count, uint32_t salt = 0) {
    Bytes out;
    for (uint32_t n = first; n < first + count; ++n) {
        const Bytes p = Packet(n, salt);
        out.insert(out.end(), p.begin(), p.end());
        if (n % 11 == 0) {
            const Bytes z = NullPacket();
            out.insert(out.end(), z.begin(), z.end());
        }
    }
    return out;
}

// Pushed in buffers of a size that cuts source packets anywhere.
void Feed(ReceivedPackets& received, const Bytes& tape, size_t chunk = 1000) {
    for (size_t at = 0; at < tape.size(); at += chunk) {
        received.Push(tape.data() + at, std::min(chunk, tape.size() - at));
    }
    received.Finish();
}

struct Compared {
    std::vector<FileComparison> files;
};

Compared CompareAll(ReceivedPackets& received, const std::vector<Bytes>& files,
                    size_t window = TapeComparer::kDefaultWindow) {
    TapeComparer comparer(received, window);
    Compared out;
    int i = 0;
    for (const Bytes& file : files) {
        FilePackets packets;
        std::string error;
        const std::string name = "file" + std::to_string(++i) + ".ts";
        EXPECT_TRUE(packets.OpenMemory(file.data(), file.size(), name, error)) << error;
        out.files.push_back(comparer.Compare(packets, name));
    }
    return out;
}

TEST(TapeCompare, FilesComeBackWholeAmidBlanksRepeatsAndWhatTheTapeHeldBefore) {
    const Bytes first = FileOf(0, 3000, 192);
    const Bytes second = FileOf(10000, 2000, 188);
    Bytes tape;
    AddSent(tape, TsRange(50000, 400, 7));  // an older recording before the write
    AddSent(tape, NullPacket());
    AddSent(tape, TsRange(0, 3000));
    AddSent(tape, Packet(2999));  // the deck repeats the last packet
    AddSent(tape, Packet(2999));
    AddSent(tape, TsRange(10000, 1000));
    AddSent(tape, Packet(10999));
    AddSent(tape, TsRange(11000, 1000));
    AddSent(tape, TsRange(60000, 100, 9));  // whatever follows on the tape
    ReceivedPackets received;
    Feed(received, tape, 777);
    const Compared c = CompareAll(received, {first, second});
    ASSERT_EQ(c.files.size(), 2u);
    for (const FileComparison& f : c.files) {
        EXPECT_EQ(f.verdict, FileComparison::Verdict::Verified) << ComparisonText(f);
        EXPECT_EQ(f.missing + f.wrong, 0u);
    }
    EXPECT_EQ(c.files[0].packets, 3000u);
    EXPECT_EQ(c.files[1].matched, 2000u);
    EXPECT_EQ(ComparisonText(c.files[0]), "file1.ts: verified (3000 packets)");
}

TEST(TapeCompare, ALossAtAFilesStartIsPlacedAtItsFirstPacketAndTheNextFileIsUntouched) {
    const Bytes first = FileOf(0, 3000);
    const Bytes second = FileOf(5000, 3000);
    Bytes tape;
    AddSent(tape, TsRange(400, 2600));  // the first 400 packets lost
    AddSent(tape, TsRange(5000, 3000));
    ReceivedPackets received;
    Feed(received, tape);
    const Compared c = CompareAll(received, {first, second});
    const FileComparison& f = c.files[0];
    EXPECT_EQ(f.verdict, FileComparison::Verdict::Differs);
    EXPECT_EQ(f.missing, 400u);
    EXPECT_EQ(f.wrong, 0u);
    EXPECT_EQ(f.packets, 3000u);
    EXPECT_TRUE(f.has_difference);
    EXPECT_EQ(f.first_offset, 0u);
    EXPECT_EQ(c.files[1].verdict, FileComparison::Verdict::Verified) << ComparisonText(c.files[1]);
}

TEST(TapeCompare, ALossAtAFilesEndDoesNotTakeTheNextFileAlikeForItsRest) {
    // Both files hold the same packets: the rest of the first must not be looked for in the
    // second.
    const Bytes same = FileOf(0, 3000);
    Bytes tape;
    AddSent(tape, TsRange(0, 2700));  // the last 300 lost
    AddSent(tape, TsRange(0, 3000));
    ReceivedPackets received;
    Feed(received, tape);
    const Compared c = CompareAll(received, {same, same});
    EXPECT_EQ(c.files[0].verdict, FileComparison::Verdict::Differs);
    EXPECT_EQ(c.files[0].missing, 300u);
    EXPECT_EQ(c.files[0].matched, 2700u);
    // Packet 2700 is at 2700 / 5000 s; its byte offset counts the null packets before it.
    EXPECT_NEAR(c.files[0].first_seconds, 0.54, 1e-9);
    EXPECT_EQ(c.files[0].first_offset, (2700u + 2700u / 7u + 1u) * 188u);
    EXPECT_EQ(c.files[1].verdict, FileComparison::Verdict::Verified) << ComparisonText(c.files[1]);
}

TEST(TapeCompare, ChangedAddedAndLostPacketsInsideAFileAreCountedApart) {
    const Bytes file = FileOf(0, 4000);
    Bytes ts = TsRange(0, 1000);
    Bytes changed = Packet(1000);
    changed[100] ^= 0x01;  // one bit
    ts.insert(ts.end(), changed.begin(), changed.end());
    const Bytes middle = TsRange(1001, 999);  // ..1999
    ts.insert(ts.end(), middle.begin(), middle.end());
    const Bytes foreign = TsRange(70000, 5, 3);  // five that are not the file's
    ts.insert(ts.end(), foreign.begin(), foreign.end());
    const Bytes rest = TsRange(2100, 1900);  // 2000..2099 lost
    ts.insert(ts.end(), rest.begin(), rest.end());
    Bytes tape;
    AddSent(tape, ts);
    ReceivedPackets received;
    Feed(received, tape);
    const FileComparison f = CompareAll(received, {file}).files[0];
    EXPECT_EQ(f.verdict, FileComparison::Verdict::Differs);
    EXPECT_EQ(f.wrong, 1u + 5u);
    EXPECT_EQ(f.missing, 100u - 5u);
    EXPECT_EQ(f.matched, 4000u - 1u - 100u);
    EXPECT_NEAR(f.first_seconds, 0.2, 1e-9);
    EXPECT_EQ(ComparisonText(f).rfind("file1.ts: differs from byte ", 0), 0u) << ComparisonText(f);
}

TEST(TapeCompare, ALossLongerThanTheLookAheadIsFoundPastIt) {
    const Bytes file = FileOf(0, 3000);
    Bytes tape;
    AddSent(tape, TsRange(0, 500));
    AddSent(tape, TsRange(1500, 1500));  // 1000 lost, far more than the window
    ReceivedPackets received;
    Feed(received, tape);
    const FileComparison f = CompareAll(received, {file}, 64).files[0];
    EXPECT_EQ(f.missing, 1000u);
    EXPECT_EQ(f.wrong, 0u);
    EXPECT_EQ(f.matched, 2000u);
}

TEST(TapeCompare, NothingBackOrOnlyNoiseLeavesEveryFileMissingWithoutACrash) {
    const Bytes file = FileOf(0, 500, 192);
    {
        ReceivedPackets received;
        received.Finish();
        const Compared c = CompareAll(received, {file, file});
        for (const FileComparison& f : c.files) {
            EXPECT_EQ(f.verdict, FileComparison::Verdict::Differs);
            EXPECT_EQ(f.missing, 500u);
            EXPECT_EQ(f.first_offset, 0u);
        }
    }
    // Random bytes, bytes out of step, and a source packet cut off at the very end.
    std::mt19937 random(26);
    Bytes noise(200000);
    for (uint8_t& b : noise) b = static_cast<uint8_t>(random());
    for (size_t at = 0; at + 2000 < noise.size(); at += 1000) noise[at + 4] = 0x47;
    // No sync byte just before the stream, so that nothing of the noise reaches into it.
    for (size_t at = noise.size() - 1000; at < noise.size(); ++at) {
        if (noise[at] == 0x47) noise[at] = 0x46;
    }
    AddSent(noise, TsRange(0, 500));
    noise.insert(noise.end(), {0x00, 0x00, 0x00, 0x00, 0x47, 0x01});
    ReceivedPackets received;
    Feed(received, noise, 4099);
    EXPECT_GT(received.bytes_out_of_step(), 0u);
    const FileComparison f = CompareAll(received, {file}).files[0];
    EXPECT_EQ(f.verdict, FileComparison::Verdict::Verified) << ComparisonText(f);
}

TEST(TapeCompare, FilesThatAreNoStreamAreRefusedAndATornLastPacketIsNoPacket) {
    FilePackets packets;
    std::string error;
    const Bytes text(5000, 'x');
    EXPECT_FALSE(packets.OpenMemory(text.data(), text.size(), "notes.txt", error));
    EXPECT_NE(error.find("notes.txt"), std::string::npos);
    FilePackets empty;
    EXPECT_FALSE(empty.OpenMemory(nullptr, 0, "empty.ts", error));

    Bytes torn = FileOf(0, 10);
    torn.resize(torn.size() - 100);
    FilePackets reader;
    ASSERT_TRUE(reader.OpenMemory(torn.data(), torn.size(), "torn.ts", error)) << error;
    ComparedPacket p;
    int n = 0;
    while (reader.Next(p)) ++n;
    EXPECT_EQ(n, 9);
}

TEST(TapeCompare, WhatArrivesBeyondTheLimitIsDroppedAndSaid) {
    ReceivedPackets received(188 * 10);
    Bytes tape;
    AddSent(tape, TsRange(0, 50));
    Feed(received, tape);
    EXPECT_TRUE(received.overflowed());
    ComparedPacket p;
    int n = 0;
    while (received.Next(p)) ++n;
    EXPECT_EQ(n, 10);
}

}  // namespace
}  // namespace tessaline
