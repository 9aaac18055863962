// SPDX-License-Identifier: GPL-3.0-or-later
// Proving a write on a scripted deck: the checks before writing (a counter, room on the tape),
// a deck that will not wind back, one that sends nothing, and one that plays the files back.
#include "capture/tape_verifier.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "tests/support/test_support.h"

namespace tessaline {
namespace {

using test::Bytes;
using test::TempDir;

constexpr std::chrono::milliseconds kTick{1};

// A TS file of `count` packets of its own with a PCR every 10th, at 4000 packets a second.
Bytes TsFile(uint32_t count, uint8_t tag) {
    Bytes out;
    for (uint32_t n = 0; n < count; ++n) {
        const Bytes payload = {tag, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)};
        const auto cc = static_cast<uint8_t>(n & 0x0F);
        test::TsPacketSpec spec;
        spec.continuity = cc;
        const Bytes p = n % 10 == 0
                            ? test::MakePcrPacket(0x100, cc, uint64_t{n} * 90000 / 4000, payload)
                            : test::MakeTsPacket(spec, payload);
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// A deck with a tape: a counter, winds and play that move it, and on play the bytes of `tape`
// sent as source packets.
class TapeDeck final : public DeckDriver {
  public:
    Bytes tape;
    bool counter = true;
    std::optional<double> length;
    HResult rewind_answer = kS_OK;
    double rewind_stops_at = 0;  // where a rewind ends by itself
    std::vector<TapeCommand> commands;

    DeckListing Listing() const override { return {}; }
    HResult GetPower(int32_t&) override { return kE_NOTIMPL; }
    HResult SetPower(int32_t) override { return kE_NOTIMPL; }
    HResult SetMode(int32_t) override { return kE_NOTIMPL; }
    int32_t Playback(const std::string&, const StopSignal&) override { return 0; }
    HResult Prepare(bool, const std::string&) override { return kS_OK; }
    std::string Describe() override { return "tape deck"; }

    int32_t Capture(ISampleGrabberCB& callback, const StopSignal& stop) override {
        while (!stop.raised() && !playing_.load()) std::this_thread::sleep_for(kTick);
        if (!stop.raised() && !tape.empty()) {
            callback.BufferCB(0, tape.data(), static_cast<long>(tape.size()));
        }
        sent_.store(true);
        while (!stop.raised()) std::this_thread::sleep_for(kTick);
        return 0;
    }

    bool Status(DeckStatus& s) override {
        std::lock_guard lock(mu_);
        s = DeckStatus{};
        s.power = ED_POWER_ON;
        s.transport = transport_;
        if (transport_ == DeckTransport::Rewind) {
            position_ = std::max(rewind_stops_at, position_ - 5);
            if (position_ <= rewind_stops_at) transport_ = DeckTransport::Stop;
        } else if (transport_ == DeckTransport::Play && sent_.load()) {
            position_ += 1;
        }
        if (counter) s.position_seconds = position_;
        s.tape_seconds = length;
        return true;
    }

    HResult Command(TapeCommand command) override {
        std::lock_guard lock(mu_);
        commands.push_back(command);
        switch (command) {
            case TapeCommand::Rewind:
                if (rewind_answer != kS_OK) return rewind_answer;
                transport_ = DeckTransport::Rewind;
                break;
            case TapeCommand::Play:
                transport_ = DeckTransport::Play;
                playing_.store(true);
                break;
            case TapeCommand::Stop:
                transport_ = DeckTransport::Stop;
                break;
            default:
                break;
        }
        return kS_OK;
    }

    void SetPosition(double p) {
        std::lock_guard lock(mu_);
        position_ = p;
    }
    double position() {
        std::lock_guard lock(mu_);
        return position_;
    }

  private:
    std::mutex mu_;
    DeckTransport transport_ = DeckTransport::Stop;
    double position_ = 0;
    std::atomic<bool> playing_{false};
    std::atomic<bool> sent_{false};
};

void AddSourcePackets(Bytes& tape, const Bytes& ts) {
    for (size_t at = 0; at + 188 <= ts.size(); at += 188) {
        tape.insert(tape.end(), {0x00, 0x00, 0x00, 0x00});
        tape.insert(tape.end(), ts.begin() + static_cast<long>(at),
                    ts.begin() + static_cast<long>(at + 188));
    }
}

DeckWaitTiming Quick() {
    DeckWaitTiming t;
    t.poll = std::chrono::milliseconds(1);
    return t;
}

class TapeVerifierTest : public ::testing::Test {
  protected:
    void SetUp() override {
        a = TsFile(8000, 0xA1);  // 2 s
        b = TsFile(4000, 0xB2);  // 1 s
        test::WriteFile(dir / "a.ts", a);
        test::WriteFile(dir / "b.ts", b);
        files = {(dir / "a.ts").string(), (dir / "b.ts").string()};
    }
    TempDir dir;
    Bytes a, b;
    std::vector<std::string> files;
    TapeDeck deck;
};

TEST_F(TapeVerifierTest, AWriteThatCannotBeProvedIsRefusedWithItsReasonAndNumbers) {
    VerifiedWritePlan plan;
    std::string why;
    deck.counter = false;
    EXPECT_FALSE(PlanVerifiedWrite(deck, files, plan, why));
    EXPECT_TRUE(test::Contains(why, "keeps no tape counter")) << why;

    deck.counter = true;
    deck.SetPosition(100);
    deck.length = 102.5;  // 2.5 s left; the files need 3 s and the second after record
    EXPECT_FALSE(PlanVerifiedWrite(deck, files, plan, why));
    EXPECT_TRUE(test::Contains(why, "the tape is too short: 2.5 s left after 00:01:40")) << why;
    EXPECT_TRUE(test::Contains(why, "need 4.0 s")) << why;

    deck.length = 104.5;
    ASSERT_TRUE(PlanVerifiedWrite(deck, files, plan, why)) << why;
    EXPECT_DOUBLE_EQ(plan.start_seconds, 100);
    EXPECT_NEAR(plan.needed_seconds, 4.0, 1e-6);
    // A deck that does not tell the length is not asked to.
    deck.length.reset();
    EXPECT_TRUE(PlanVerifiedWrite(deck, files, plan, why)) << why;

    EXPECT_FALSE(PlanVerifiedWrite(deck, {(dir / "gone.ts").string()}, plan, why));
    EXPECT_TRUE(test::Contains(why, "gone.ts")) << why;
}

TEST_F(TapeVerifierTest, TheFilesPlayedBackAreVerifiedAndTheTapeIsStoppedAtTheirEnd) {
    AddSourcePackets(deck.tape, a);
    AddSourcePackets(deck.tape, b);
    deck.SetPosition(20);
    TapeVerifier verifier(deck, Quick());
    const VerifyOutcome o = verifier.Run(files, 0.0, 4.0);
    ASSERT_EQ(o.files.size(), 2u);
    EXPECT_TRUE(o.all_verified()) << VerifySummary(o);
    EXPECT_EQ(VerifySummary(o), "2 of 2 files verified");
    ASSERT_GE(deck.commands.size(), 3u);
    EXPECT_EQ(deck.commands.front(), TapeCommand::Rewind);
    EXPECT_EQ(deck.commands.back(), TapeCommand::Stop);
    // Played to the end of what was written and stopped there, within the counter's second.
    EXPECT_GE(deck.position(), 5.0);
    EXPECT_LE(deck.position(), 6.0);
}

TEST_F(TapeVerifierTest, ADeckThatCannotWindBackReadsNothingBackAndIsNotSetPlaying) {
    deck.SetPosition(30);
    deck.rewind_answer = kE_FAIL;
    TapeVerifier verifier(deck, Quick());
    const VerifyOutcome o = verifier.Run(files, 0.0, 10.0);
    EXPECT_FALSE(o.all_verified());
    ASSERT_EQ(o.files.size(), 2u);
    for (const FileComparison& c : o.files) {
        EXPECT_EQ(c.verdict, FileComparison::Verdict::NotReadBack);
        EXPECT_TRUE(test::Contains(c.error, "refused to wind back")) << c.error;
    }
    EXPECT_EQ(std::count(deck.commands.begin(), deck.commands.end(), TapeCommand::Play), 0);
    EXPECT_TRUE(test::Contains(VerifyJson(o), "\"not_read_back\":2")) << VerifyJson(o);

    // One that winds but stops short of where the write began.
    TapeDeck stuck;
    stuck.SetPosition(30);
    stuck.rewind_stops_at = 12;
    TapeVerifier again(stuck, Quick());
    const VerifyOutcome s = again.Run(files, 3.0, 10.0);
    EXPECT_TRUE(test::Contains(s.failure, "did not wind back to 00:00:03")) << s.failure;
    EXPECT_EQ(std::count(stuck.commands.begin(), stuck.commands.end(), TapeCommand::Play), 0);
}

TEST_F(TapeVerifierTest, ADeckThatSendsNothingOrLosesAFilesEndIsNeverCalledVerified) {
    {
        TapeVerifier verifier(deck, Quick());
        const VerifyOutcome o = verifier.Run(files, 0.0, 3.0);
        EXPECT_FALSE(o.all_verified());
        EXPECT_TRUE(test::Contains(o.failure, "nothing came back")) << o.failure;
        EXPECT_EQ(deck.commands.back(), TapeCommand::Stop);
    }
    TapeDeck short_tape;
    AddSourcePackets(short_tape.tape, Bytes(a.begin(), a.end() - 188 * 500));
    AddSourcePackets(short_tape.tape, b);
    TapeVerifier verifier(short_tape, Quick());
    const VerifyOutcome o = verifier.Run(files, 0.0, 3.0);
    ASSERT_EQ(o.files.size(), 2u);
    EXPECT_EQ(o.files[0].verdict, FileComparison::Verdict::Differs);
    EXPECT_EQ(o.files[0].missing, 500u);
    EXPECT_NEAR(o.files[0].first_seconds, 7500.0 / 4000, 0.01);
    EXPECT_EQ(o.files[1].verdict, FileComparison::Verdict::Verified);
    EXPECT_EQ(VerifySummary(o), "1 of 2 files verified, 1 differs");
}

TEST_F(TapeVerifierTest, StoppedWhilePlayingBackNothingUnprovedIsCalledVerifiedAndTheTapeStops) {
    AddSourcePackets(deck.tape, a);
    TapeVerifier verifier(deck, Quick());
    const VerifyOutcome o = verifier.Run(files, std::nullopt, std::nullopt, [] { return true; });
    EXPECT_FALSE(o.all_verified());
    EXPECT_EQ(o.failure, "stopped before the whole tape was played back");
    ASSERT_EQ(o.files.size(), 2u);
    EXPECT_EQ(o.files[1].verdict, FileComparison::Verdict::NotReadBack);
    EXPECT_EQ(deck.commands.back(), TapeCommand::Stop);

    // Stopped during the wind back: never set playing.
    TapeDeck winding;
    winding.SetPosition(50);
    TapeVerifier again(winding, Quick());
    const VerifyOutcome w = again.Run(files, 0.0, 10.0, [] { return true; });
    EXPECT_EQ(w.failure, "stopped while the tape was winding back");
    EXPECT_EQ(std::count(winding.commands.begin(), winding.commands.end(), TapeCommand::Play), 0);
    EXPECT_EQ(winding.commands.back(), TapeCommand::Stop);
}

}  // namespace
}  // namespace tessaline
