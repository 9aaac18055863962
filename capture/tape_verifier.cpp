// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/tape_verifier.h"

#include <cstdio>
#include <mutex>
#include <thread>

#include "capture/source_packets.h"
#include "stream/input_file.h"
#include "stream/json_writer.h"

namespace tessaline {
namespace {

// What the rate of a file is measured on.
constexpr size_t kRateProbeBytes = size_t{4} << 20;
// The deck records for a second after record before the first file plays.
constexpr double kAfterRecordSeconds = 1.0;
// Between two looks at the tape while it winds back: a wind moves tens of seconds of tape a
// second, so a look every 250 ms could overshoot far.
constexpr std::chrono::milliseconds kWindPoll{50};
// The counter counts whole seconds: the write ended before the next one.
constexpr double kCounterStep = 1.0;

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", s);
    return text;
}

// Hands what the deck sends to the comparison; nothing else happens on the receiving thread.
class Receiver final : public ISampleGrabberCB {
  public:
    explicit Receiver(ReceivedPackets& packets) : packets_(packets) {}
    HResult SampleCB(double, IMediaSample*) override { return kE_NOTIMPL; }
    HResult BufferCB(double, const uint8_t* buffer, long length) override {
        if (buffer != nullptr && length > 0) packets_.Push(buffer, static_cast<size_t>(length));
        return kS_OK;
    }

  private:
    ReceivedPackets& packets_;
};

}  // namespace

std::optional<double> FilePlaySeconds(const std::string& path, std::string& error) {
    InputFile file;
    if (!file.Open(path)) {
        error = path + ": cannot open: " + file.error();
        return std::nullopt;
    }
    std::vector<uint8_t> probe(kRateProbeBytes);
    const long n = file.Read(probe.data(), probe.size());
    const int64_t size = file.Size();
    if (n < 0 || size < 0) {
        error = path + ": cannot read: " + file.error();
        return std::nullopt;
    }
    const PlayRate rate = MeasurePlayRate(probe.data(), static_cast<size_t>(n));
    return static_cast<double>(size) / rate.bytes_per_second;
}

bool PlanVerifiedWrite(DeckDriver& deck, const std::vector<std::string>& files,
                       VerifiedWritePlan& plan, std::string& why) {
    DeckStatus status;
    if (!deck.Status(status)) {
        why = "the deck does not say what it is doing";
        return false;
    }
    if (!status.position_seconds) {
        why =
            "the deck keeps no tape counter, so the tape cannot be wound back to where the "
            "write began (rewind by hand and use 'tessaline-cli verify')";
        return false;
    }
    plan.start_seconds = *status.position_seconds;
    plan.tape_seconds = status.tape_seconds;
    plan.needed_seconds = kAfterRecordSeconds;
    std::string detail;
    for (const std::string& path : files) {
        const std::optional<double> seconds = FilePlaySeconds(path, why);
        if (!seconds) return false;
        plan.needed_seconds += *seconds;
        detail += (detail.empty() ? "" : ", ") + path + " " + Seconds(*seconds);
    }
    if (!plan.tape_seconds) return true;
    const double left = *plan.tape_seconds - plan.start_seconds;
    if (plan.needed_seconds > left) {
        why = "the tape is too short: " + Seconds(left > 0 ? left : 0) + " left after " +
              TapePositionText(plan.start_seconds) + " of a " + Seconds(*plan.tape_seconds) +
              " tape, and the files need " + Seconds(plan.needed_seconds) + " (" + detail +
              ", and " + Seconds(kAfterRecordSeconds) + " after record)";
        return false;
    }
    return true;
}

bool VerifyOutcome::all_verified() const {
    if (!failure.empty() && files.empty()) return false;
    for (const FileComparison& c : files) {
        if (c.verdict != FileComparison::Verdict::Verified) return false;
    }
    return !files.empty();
}

namespace {

struct Counts {
    size_t verified = 0, differs = 0, not_read = 0;
};

Counts Count(const VerifyOutcome& o) {
    Counts n;
    for (const FileComparison& c : o.files) {
        switch (c.verdict) {
            case FileComparison::Verdict::Verified:
                ++n.verified;
                break;
            case FileComparison::Verdict::Differs:
                ++n.differs;
                break;
            case FileComparison::Verdict::NotReadBack:
                ++n.not_read;
                break;
        }
    }
    return n;
}

}  // namespace

std::string VerifySummary(const VerifyOutcome& o) {
    const Counts n = Count(o);
    std::string text = std::to_string(n.verified) + " of " + std::to_string(o.files.size()) +
                       (o.files.size() == 1 ? " file" : " files") + " verified";
    if (n.differs)
        text += ", " + std::to_string(n.differs) + (n.differs == 1 ? " differs" : " differ");
    if (n.not_read) text += ", " + std::to_string(n.not_read) + " not read back";
    if (!o.failure.empty()) text += " (" + o.failure + ")";
    return text;
}

std::string VerifyJson(const VerifyOutcome& o) {
    const Counts n = Count(o);
    std::string j = "{\"files\":[";
    for (size_t i = 0; i < o.files.size(); ++i) {
        j += (i == 0 ? "" : ",") + ComparisonJson(o.files[i]);
    }
    j += "],\"verified\":" + std::to_string(n.verified) +
         ",\"differs\":" + std::to_string(n.differs) +
         ",\"not_read_back\":" + std::to_string(n.not_read) +
         ",\"failure\":" + (o.failure.empty() ? std::string("null") : JsonQuote(o.failure));
    return j + "}";
}

TapeVerifier::TapeVerifier(DeckDriver& deck, DeckWaitTiming timing, Note note)
    : deck_(deck),
      timing_(timing),
      control_(deck,
               [&] {
                   DeckWaitTiming t = timing;
                   t.poll = std::min(t.poll, kWindPoll);
                   return t;
               }()),
      note_(std::move(note)) {
    if (!timing_.now) timing_.now = [] { return DeckWaitTiming::Clock::now(); };
}

bool TapeVerifier::WindBack(double start, const std::function<bool()>& cancel, std::string& why) {
    DeckStatus status;
    if (deck_.Status(status) && status.position_seconds && *status.position_seconds <= start) {
        return true;
    }
    if (note_) note_("winding back to " + TapePositionText(start));
    const HResult code = deck_.Command(TapeCommand::Rewind);
    if (code != kS_OK) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(code));
        why = code == kE_NOTIMPL ? "the deck cannot wind back"
                                 : std::string("the deck refused to wind back (") + hex + ")";
        return false;
    }
    const bool back = control_.WaitFor(
        [&](const DeckStatus& s) {
            return (s.position_seconds && *s.position_seconds <= start) ||
                   s.transport == DeckTransport::Stop || cancel();
        },
        kDefaultDeckWait, status);
    deck_.Command(TapeCommand::Stop);
    if (cancel()) {
        why = "stopped while the tape was winding back";
        return false;
    }
    // Stopped by itself short of the place (a deck that will not wind that far), or never there.
    if (!back || !status.position_seconds || *status.position_seconds > start + kCounterStep) {
        DeckStatus now;
        deck_.Status(now);
        why = "the deck did not wind back to " + TapePositionText(start) + " (it is at " +
              TapePositionText(now.position_seconds) + ")";
        return false;
    }
    return true;
}

VerifyOutcome TapeVerifier::Run(const std::vector<std::string>& files, std::optional<double> start,
                                std::optional<double> end, const std::function<bool()>& cancelled) {
    const std::function<bool()> cancel = [&] { return cancelled && cancelled(); };
    VerifyOutcome outcome;
    auto fail_all = [&](const std::string& why) {
        outcome.failure = why;
        outcome.files.clear();
        for (const std::string& path : files) {
            FileComparison c;
            c.path = path;
            c.error = why;
            outcome.files.push_back(std::move(c));
        }
        return outcome;
    };
    std::string why;
    if (start && !WindBack(*start, cancel, why)) return fail_all(why);

    // How long the playback may take at most: what was written, or what the files last.
    double seconds = 0;
    if (start && end) {
        seconds = *end - *start;
    } else {
        for (const std::string& path : files) seconds += FilePlaySeconds(path, why).value_or(0);
    }
    const auto limit = std::chrono::milliseconds(static_cast<long>(seconds * 1500)) + play_margin_;

    ReceivedPackets received;
    std::mutex results_mu;
    std::vector<FileComparison> results;
    bool compared_all = false;
    std::thread comparing([&] {
        TapeComparer comparer(received);
        for (const std::string& path : files) {
            FilePackets packets;
            std::string error;
            FileComparison c;
            if (!packets.Open(path, error)) {
                c.path = path;
                c.error = error;
            } else {
                c = comparer.Compare(packets, path);
                if (!packets.error().empty()) {
                    c.verdict = FileComparison::Verdict::NotReadBack;
                    c.error = packets.error();
                }
            }
            std::lock_guard lock(results_mu);
            results.push_back(std::move(c));
        }
        std::lock_guard lock(results_mu);
        compared_all = true;
    });

    StopSignal stop_receiving;
    Ref<Receiver> receiver(new Receiver(received));
    int32_t event = 0;
    std::thread receiving([&] { event = deck_.Capture(*receiver, stop_receiving); });

    if (note_) note_("playing back");
    const HResult played = deck_.Command(TapeCommand::Play);
    // A deck that takes no commands plays when its own button is pressed.
    const bool played_ok = played == kS_OK || played == kE_NOTIMPL;
    DeckStatus last;
    bool seen_playing = false;
    if (played_ok) {
        control_.WaitFor(
            [&](const DeckStatus& s) {
                if (cancel()) return true;
                // A deck that has not started yet may report stop for a moment; once it has
                // played, anything else means the tape stopped (its end, or someone else).
                if (s.transport == DeckTransport::Play) seen_playing = true;
                if (s.transport != DeckTransport::Play &&
                    (seen_playing || s.transport != DeckTransport::Stop)) {
                    return true;
                }
                if (end) {
                    return s.position_seconds && *s.position_seconds >= *end + kCounterStep;
                }
                std::lock_guard lock(results_mu);
                return compared_all;
            },
            limit, last);
    }
    deck_.Command(TapeCommand::Stop);
    stop_receiving.Raise();
    receiving.join();
    received.Finish();
    comparing.join();

    outcome.files = std::move(results);
    if (!played_ok) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(played));
        return fail_all(std::string("the deck refused to play (") + hex + ")");
    }
    if (received.packets_received() == 0 && !cancel()) {
        return fail_all(event == EC_ERRORABORT ? "the deck's stream failed before anything came "
                                                 "back"
                                               : "nothing came back while the deck played");
    }
    if (cancel()) outcome.failure = "stopped before the whole tape was played back";
    if (received.overflowed()) outcome.failure = "the comparison fell behind what the deck sent";
    if (!outcome.failure.empty()) {
        for (FileComparison& c : outcome.files) {
            if (c.verdict == FileComparison::Verdict::Verified) continue;
            c.verdict = FileComparison::Verdict::NotReadBack;
            if (c.error.empty()) c.error = outcome.failure;
        }
    }
    return outcome;
}

}  // namespace tessaline
