// SPDX-License-Identifier: GPL-3.0-or-later
#include "stream/ts_analyser.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <random>
#include <set>
#include <thread>

#include "stream/recording_verdict.h"
#include "tests/support/synthetic_stream.h"

namespace tessaline {
namespace {

using test::Bytes;
using test::SyntheticOptions;

StreamAnalysis Analyse(const Bytes& bytes, size_t piece = 61440) {
    TsAnalyser a;
    for (size_t at = 0; at < bytes.size(); at += piece) {
        a.Feed(bytes.data() + at, std::min(piece, bytes.size() - at));
    }
    a.Finish();
    return a.finished();
}

uint64_t Errors(const StreamAnalysis& a) {
    uint64_t n = 0;
    for (const uint64_t c : a.counts) n += c;
    return n;
}

void Nullify(Bytes& bytes, int size, size_t packet) {
    uint8_t* p = test::TsPacketAt(bytes, size, packet);
    p[1] = 0x1F;
    p[2] = 0xFF;
}

uint16_t PidOf(Bytes& bytes, int size, size_t packet) {
    const uint8_t* p = test::TsPacketAt(bytes, size, packet);
    return uint16_t(((p[1] & 0x1F) << 8) | p[2]);
}

// A sound stream, in every packet form and in pieces of any size, gives no error and the
// figures it was made with.
TEST(TsAnalyser, SoundStreamsPassWhateverTheirForm) {
    for (const int size : {188, 192}) {
        for (const auto arrival :
             {SyntheticOptions::Arrival::Cycle, SyntheticOptions::Arrival::Ats27}) {
            SyntheticOptions o;
            o.packet_size = size;
            o.arrival = arrival;
            o.null_every = 11;
            const auto s = test::MakeSyntheticStream(o);
            const StreamAnalysis a = Analyse(s.bytes);
            SCOPED_TRACE(size);
            EXPECT_EQ(Errors(a), 0u);
            EXPECT_EQ(a.packet_size, size);
            EXPECT_EQ(a.packets, s.packets);
            EXPECT_GT(a.null_packets, s.packets / 12);
            EXPECT_TRUE(a.dropouts.empty());
            EXPECT_NEAR(a.duration, o.seconds, 0.01);
            EXPECT_NEAR(a.mean_bitrate, o.rate, o.rate * 0.01);
            EXPECT_EQ(a.mode, DvhsMode::LS3);
            EXPECT_EQ(a.pictures, s.pictures);
            EXPECT_EQ(a.gops, (s.pictures + 14) / 15);
            EXPECT_EQ(a.video.width, 720);
            EXPECT_EQ(a.video.height, 480);
            EXPECT_NEAR(a.video.frame_rate, 29.97, 0.01);
            EXPECT_EQ(a.video_pid, 0x100);
            EXPECT_EQ(a.program_count, 1);
            EXPECT_EQ(a.programs[0].streams, 2);
            EXPECT_EQ(JudgeRecording(a).verdict, Verdict::Pass);
            if (size == 192) {
                EXPECT_EQ(a.arrival_clock, arrival == SyntheticOptions::Arrival::Cycle
                                               ? ArrivalClock::Cycle
                                               : ArrivalClock::Ats27);
                EXPECT_LT(a.pcr_deviation_max_ns, 200);
            }
            // Cut anywhere, the same result.
            std::mt19937 rng(size);
            TsAnalyser pieces;
            for (size_t at = 0; at < s.bytes.size();) {
                const size_t n = std::min<size_t>(1 + rng() % 700, s.bytes.size() - at);
                pieces.Feed(s.bytes.data() + at, n);
                at += n;
            }
            pieces.Finish();
            EXPECT_EQ(pieces.finished().counts, a.counts);
            EXPECT_EQ(pieces.finished().packets, a.packets);
            EXPECT_EQ(pieces.finished().bitrate, a.bitrate);
        }
    }
}

// Continuity as TR 101 290 1.4 counts it, checked against the tests' own counter and by hand.
TEST(TsAnalyser, ContinuityErrorsCountedOncePerEvent) {
    SyntheticOptions o;
    o.null_every = 7;
    const auto s = test::MakeSyntheticStream(o);
    std::vector<Bytes> packets;
    for (size_t i = 0; i < s.packets; ++i) {
        packets.emplace_back(s.bytes.begin() + long(i * 188),
                             s.bytes.begin() + long(i * 188 + 188));
    }
    auto pid = [](const Bytes& p) { return uint16_t(((p[1] & 0x1F) << 8) | p[2]); };
    auto video_at = [&](size_t from) {
        while (pid(packets[from]) != 0x100) ++from;
        return from;
    };
    // A packet repeated once is allowed; the same packet three times is one error.
    size_t i = video_at(300);
    packets.insert(packets.begin() + long(i + 1), packets[i]);
    i = video_at(600);
    packets.insert(packets.begin() + long(i + 1), 2, packets[i]);
    // A run of 40 packets lost: one error on every PID that had a packet in it; null packets
    // never count.
    std::set<uint16_t> hit;
    for (size_t k = 2000; k < 2040; ++k) {
        if (pid(packets[k]) != 0x1FFF) hit.insert(pid(packets[k]));
    }
    packets.erase(packets.begin() + 2000, packets.begin() + 2040);
    // The video counter jumps by five where the discontinuity indicator says so: no error.
    i = video_at(5000);
    for (size_t k = i; k < packets.size(); ++k) {
        if (pid(packets[k]) == 0x100)
            packets[k][3] = uint8_t((packets[k][3] & 0xF0) | ((packets[k][3] + 5) & 0x0F));
    }
    Bytes& jump = packets[i];
    if (!(jump[3] & 0x20)) {  // make room for an adaptation field
        std::memmove(jump.data() + 6, jump.data() + 4, 182);
        jump[3] |= 0x20;
        jump[4] = 1;
        jump[5] = 0x00;
    }
    jump[5] |= 0x80;
    // A packet without payload does not count, whatever its counter says.
    i = video_at(6000);
    Bytes stuffing = packets[i];
    stuffing[1] &= 0x1F;
    stuffing[3] = uint8_t(0x20 | ((stuffing[3] + 9) & 0x0F));
    stuffing[4] = 183;
    stuffing[5] = 0x00;
    packets.insert(packets.begin() + long(i + 1), stuffing);

    Bytes bytes;
    for (const Bytes& p : packets) test::Append(bytes, p);
    const StreamAnalysis a = Analyse(bytes);
    EXPECT_EQ(a.Count(Check::Continuity), 1 + hit.size());
    EXPECT_GE(hit.size(), 2u);  // video and audio at least
    EXPECT_EQ(a.Count(Check::Continuity), test::CountContinuityErrors(bytes, 188));
    EXPECT_EQ(JudgeRecording(a).verdict, Verdict::Warn);
}

// A run of lost packets is one dropout: where, how long, how many packets and pictures.
TEST(TsAnalyser, DropoutsMeasureWhatWasLost) {
    for (const int size : {188, 192}) {
        SyntheticOptions o;
        o.packet_size = size;
        const auto s = test::MakeSyntheticStream(o);
        const size_t first = 2659, lost = 665;  // 1.0 s in, a quarter of a second
        const StreamAnalysis a = Analyse(test::DropPackets(s.bytes, size, first, lost));
        SCOPED_TRACE(size);
        ASSERT_EQ(a.dropouts.size(), 1u);
        const Dropout& d = a.dropouts[0];
        EXPECT_NEAR(d.at.stream, test::PacketTime(o, first), 0.045);
        EXPECT_NEAR(d.duration, lost * s.packet_seconds, 0.002);
        EXPECT_NEAR(double(d.packets_lost), double(lost), 3);
        EXPECT_EQ(a.packets_lost, d.packets_lost);
        EXPECT_TRUE(d.video);
        EXPECT_NEAR(d.pictures, 0.25 * 29.97 + 1, 1.5);
        EXPECT_GE(d.gops, 1u);
        EXPECT_LE(d.at.packet, first);  // the last PCR before the gap
        EXPECT_LT(first - d.at.packet, 110u);
        EXPECT_EQ(d.at.offset, d.at.packet * size_t(size));
        // The clock jumped over the gap: its step is too long and has no discontinuity flag.
        EXPECT_EQ(a.Count(Check::PcrRepetition), 1u);
        EXPECT_EQ(a.Count(Check::PcrDiscontinuity), 1u);
        EXPECT_NEAR(a.duration, o.seconds, 0.01);  // stream time counts the gap
        // The second the gap fell in carries fewer bits.
        EXPECT_LT(a.bitrate[1], o.rate * 0.8);
        EXPECT_EQ(JudgeRecording(a).verdict, Verdict::Fail);  // 8 % of the packets lost
    }
}

TEST(TsAnalyser, TablesMissingDamagedOrScrambled) {
    SyntheticOptions o;
    auto s = test::MakeSyntheticStream(o);
    Bytes bytes = s.bytes;
    // No PAT from 1.0 s to 1.8 s: one PAT error; no PMT from 2.0 to 2.6: one PMT error; no audio
    // from 0.5 s to 1.7 s: one PID error. Nulled, so every other packet keeps its time.
    for (size_t i = 0; i < s.packets; ++i) {
        const double t = test::PacketTime(o, i);
        const uint16_t pid = PidOf(bytes, 188, i);
        if ((pid == 0 && t > 1.0 && t < 1.8) || (pid == o.pmt_pid && t > 2.0 && t < 2.6) ||
            (pid == o.audio_pid && t > 0.5 && t < 1.7)) {
            Nullify(bytes, 188, i);
        }
    }
    // A PAT whose CRC is wrong; a PMT packet marked scrambled.
    size_t pat = 0, pmt = 0;
    for (size_t i = s.packets - 1; i > 0 && (pat == 0 || pmt == 0); --i) {
        if (PidOf(bytes, 188, i) == 0 && pat == 0) pat = i;
        if (PidOf(bytes, 188, i) == o.pmt_pid && pmt == 0) pmt = i;
    }
    test::SectionIn(test::TsPacketAt(bytes, 188, pat))[7] ^= 0x10;
    test::TsPacketAt(bytes, 188, pmt)[3] |= 0x80;
    const StreamAnalysis a = Analyse(bytes);
    EXPECT_EQ(a.Count(Check::Pat), 1u);
    EXPECT_EQ(a.Count(Check::Pmt), 2u);  // the gap and the scrambled packet
    EXPECT_EQ(a.Count(Check::Pid), 1u);
    EXPECT_EQ(a.Count(Check::Crc), 1u);
    // The packets taken out are lost to their PIDs' counters too.
    EXPECT_EQ(a.Count(Check::Continuity), 3u);
    EXPECT_EQ(a.Count(Check::Continuity), test::CountContinuityErrors(bytes, 188));
    EXPECT_EQ(JudgeRecording(a).verdict, Verdict::Warn);
    for (const AnalysisEvent& e : a.events) {
        if (e.check == Check::Pat) {
            EXPECT_NEAR(e.at.stream, 1.5, 0.11);  // half a second after the last one
        }
        if (e.check == Check::Pid) {
            EXPECT_EQ(e.pid, o.audio_pid);
        }
    }
}

TEST(TsAnalyser, PcrAndPtsTiming) {
    SyntheticOptions slow;
    slow.pcr_interval = 0.15;  // too rare
    const StreamAnalysis a = Analyse(test::MakeSyntheticStream(slow).bytes);
    EXPECT_EQ(a.Count(Check::PcrRepetition), 19u);  // every step of a 3 s stream
    EXPECT_EQ(a.Count(Check::PcrDiscontinuity), 19u);
    EXPECT_EQ(a.events.size(), 2u);  // listed once each, counted every time
    EXPECT_EQ(a.events[0].count, 19u);

    // Audio PES without PTS from 1 s on: one PTS error, once.
    SyntheticOptions o;
    auto s = test::MakeSyntheticStream(o);
    for (size_t i = 0; i < s.packets; ++i) {
        uint8_t* p = test::TsPacketAt(s.bytes, 188, i);
        if (PidOf(s.bytes, 188, i) == o.audio_pid && (p[1] & 0x40) && test::PacketTime(o, i) > 1) {
            p[4 + 7] = 0x00;
        }
    }
    EXPECT_EQ(Analyse(s.bytes).Count(Check::Pts), 1u);

    // PCR against cycle-time arrival stamps: the PCR packets' stamps 2 µs late, every other one.
    SyntheticOptions stamped;
    stamped.packet_size = 192;
    auto t = test::MakeSyntheticStream(stamped);
    int moved = 0;
    for (size_t i = 0; i < t.packets; ++i) {
        uint8_t* p = test::TsPacketAt(t.bytes, 192, i);
        if (PidOf(t.bytes, 192, i) != 0x100 || !(p[3] & 0x20) || !(p[5] & 0x10)) continue;
        if (++moved % 2) continue;
        uint8_t* h = p - 4;
        const uint32_t v = (uint32_t(h[0]) << 24) | (h[1] << 16) | (h[2] << 8) | h[3];
        uint32_t offset = (v & 0xFFF) + 49;  // 49 ticks of 24.576 MHz: 2 µs
        uint32_t cycle = (v >> 12) & 0x1FFF;
        if (offset >= 3072) offset -= 3072, cycle = (cycle + 1) % 8000;
        const uint32_t w = (cycle << 12) | offset;
        h[0] = uint8_t(w >> 24), h[1] = uint8_t(w >> 16), h[2] = uint8_t(w >> 8), h[3] = uint8_t(w);
    }
    const StreamAnalysis j = Analyse(t.bytes);
    EXPECT_GT(j.Count(Check::PcrAccuracy), 50u);
    EXPECT_NEAR(j.pcr_deviation_max_ns, 2000, 300);
    // Off by a clock's jitter, not damage: the verdict stays.
    EXPECT_EQ(JudgeRecording(j).verdict, Verdict::Pass);
}

TEST(TsAnalyser, SyncLossDamageAndGarbage) {
    SyntheticOptions o;
    auto s = test::MakeSyntheticStream(o);
    Bytes bytes = s.bytes;
    test::TsPacketAt(bytes, 188, 1000)[0] = 0x00;  // one bad sync byte: an error, sync kept
    test::TsPacketAt(bytes, 188, 3000)[0] = 0x00;  // two in a row: sync lost
    test::TsPacketAt(bytes, 188, 3001)[0] = 0x00;
    for (const size_t i : {5000, 5001, 5002}) test::TsPacketAt(bytes, 188, i)[1] |= 0x80;
    // 100 bytes of junk in the middle: out of step until found again.
    bytes.insert(bytes.begin() + 7000 * 188 + 50, 100, uint8_t(0x47));
    const StreamAnalysis a = Analyse(bytes, 1000);
    EXPECT_EQ(a.Count(Check::SyncLoss), 2u);
    EXPECT_GE(a.Count(Check::SyncByte), 5u);
    EXPECT_EQ(a.Count(Check::TransportError), 3u);
    EXPECT_EQ(a.damaged_packets, 3u);
    EXPECT_GT(a.bytes_skipped, 100u);
    EXPECT_GT(a.packets, s.packets - 10);
    EXPECT_EQ(a.bytes, bytes.size());
    EXPECT_NE(JudgeRecording(a).verdict, Verdict::Pass);

    // Whatever the bytes: no crash, nothing read past them, and no stream claimed.
    std::mt19937 rng(3);
    Bytes junk(200000);
    for (auto& b : junk) b = uint8_t(rng());
    EXPECT_EQ(Analyse(junk, 777).packets, 0u);
    Bytes sync(5000, 0x47);  // sync bytes everywhere, every header nonsense
    const StreamAnalysis all = Analyse(sync, 13);
    EXPECT_GT(all.packets, 0u);
    EXPECT_EQ(JudgeRecording(all).verdict, Verdict::Fail);
    const StreamAnalysis none = Analyse(Bytes{});
    EXPECT_EQ(none.packets, 0u);
    EXPECT_EQ(JudgeRecording(none).verdict, Verdict::Fail);
    // An incomplete last packet is counted and held against the recording.
    Bytes cut(s.bytes.begin(), s.bytes.end() - 100);
    const StreamAnalysis torn = Analyse(cut);
    EXPECT_EQ(torn.trailing_bytes, 88u);
    EXPECT_EQ(JudgeRecording(torn).verdict, Verdict::Warn);
}

// What the capture side reports lands at the packet the analyser is at, from any thread.
TEST(TsAnalyser, CaptureEventsFromAnotherThread) {
    SyntheticOptions o;
    const auto s = test::MakeSyntheticStream(o);
    TsAnalyser a;
    const size_t half = s.bytes.size() / 2 / 188 * 188;
    a.capture_events().TapePosition(12.5);
    a.Feed(s.bytes.data(), half, 1'700'000'000'000);
    std::thread capture([&] {
        a.capture_events().DbcGap(80, 8);
        a.capture_events().BusReset();
        a.capture_events().EmptyStretch(2.5);
        a.capture_events().IsoCopyControl(2);
        a.capture_events().TapePosition(14.0);
    });
    capture.join();
    a.Feed(s.bytes.data() + half, s.bytes.size() - half, 1'700'000'001'500);
    a.Finish();
    const StreamAnalysis& r = a.finished();
    EXPECT_EQ(r.Count(Check::DbcGap), 1u);
    EXPECT_EQ(r.Count(Check::BusReset), 1u);
    EXPECT_EQ(r.Count(Check::EmptyStretch), 1u);
    EXPECT_EQ(r.iso_copy_control, CopyControl::CopyOnce);
    EXPECT_DOUBLE_EQ(r.tape_start, 12.5);
    EXPECT_DOUBLE_EQ(r.tape_end, 14.0);
    EXPECT_EQ(r.wall_start_ms, 1'700'000'000'000);
    EXPECT_EQ(r.wall_end_ms, 1'700'000'001'500);
    ASSERT_EQ(r.dropouts.size(), 1u);
    EXPECT_EQ(r.dropouts[0].packets_lost, 10u);  // 80 blocks of 8 a packet
    EXPECT_EQ(r.dropouts[0].at.offset, half);
    EXPECT_DOUBLE_EQ(r.dropouts[0].at.tape, 14.0);
    for (const AnalysisEvent& e : r.events) {
        EXPECT_EQ(e.at.wall_ms, 1'700'000'001'500);
        if (e.check == Check::EmptyStretch) {
            EXPECT_EQ(e.value, 2500);
        }
    }
    EXPECT_EQ(JudgeRecording(r).verdict, Verdict::Warn);
}

// A running analysis is followed from another thread without either waiting for the other.
TEST(TsAnalyser, SnapshotsWhileFeeding) {
    SyntheticOptions o;
    o.seconds = 6;
    const auto s = test::MakeSyntheticStream(o);
    TsAnalyser a;
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        for (size_t at = 0; at < s.bytes.size(); at += 4096) {
            a.Feed(s.bytes.data() + at, std::min<size_t>(4096, s.bytes.size() - at));
        }
        done = true;
    });
    uint64_t last = 0;
    int taken = 0;
    StreamAnalysis view;
    while (!done) {
        a.RequestSnapshot();
        if (a.TakeSnapshot(view)) {
            EXPECT_GE(view.packets, last);
            EXPECT_FALSE(view.finished);
            last = view.packets;
            ++taken;
        }
        std::this_thread::yield();
    }
    feeder.join();
    a.Finish();
    EXPECT_EQ(a.finished().packets, s.packets);
    EXPECT_LE(last, s.packets);
    EXPECT_TRUE(a.finished().finished);
    static_cast<void>(taken);  // how many depends on the machine's load
}

TEST(TsAnalyser, CopyControlAndDvhsModes) {
    SyntheticOptions o;
    o.arib_copy_control = 2;
    o.rate = 13.5e6;
    o.seconds = 2;
    const StreamAnalysis a = Analyse(test::MakeSyntheticStream(o).bytes);
    EXPECT_EQ(a.stream_copy_control, CopyControl::CopyOnce);
    EXPECT_EQ(a.mode, DvhsMode::STD);
    EXPECT_EQ(DvhsModeFor(2.0e6), DvhsMode::LS7);
    EXPECT_EQ(DvhsModeFor(2.1e6), DvhsMode::LS5);
    EXPECT_EQ(DvhsModeFor(24e6), DvhsMode::HS);
    EXPECT_EQ(DvhsModeFor(30e6), DvhsMode::AboveHS);
    EXPECT_EQ(DvhsModeFor(kNoTime), DvhsMode::Unknown);
}

TEST(RecordingVerdict, Thresholds) {
    StreamAnalysis a;
    a.packets = 10000;
    a.packet_size = 188;
    a.have_pat = true;
    a.program_count = 1;
    a.programs[0].streams = 2;
    EXPECT_EQ(JudgeRecording(a).verdict, Verdict::Pass);
    a.counts[size_t(Check::PcrAccuracy)] = 100;  // not the copy's fault
    EXPECT_EQ(JudgeRecording(a).verdict, Verdict::Pass);
    Dropout d;
    d.duration = 1.9;
    d.packets_lost = 100;  // 1 %: still a warning
    a.dropouts.push_back(d);
    a.packets_lost = 100;
    Judgement j = JudgeRecording(a);
    EXPECT_EQ(j.verdict, Verdict::Warn);
    EXPECT_NE(j.reasons.at(0).find("1 dropout"), std::string::npos) << j.reasons[0];
    a.dropouts[0].duration = 2.1;  // a hole anyone sees
    EXPECT_EQ(JudgeRecording(a).verdict, Verdict::Fail);
    a.dropouts[0].duration = 0.1;
    a.packets_lost = 200;  // 2 %
    EXPECT_EQ(JudgeRecording(a).verdict, Verdict::Fail);
    a.packets_lost = 0;
    a.programs[0].streams = 0;  // no PMT
    EXPECT_EQ(JudgeRecording(a).verdict, Verdict::Fail);
}

}  // namespace
}  // namespace tessaline
