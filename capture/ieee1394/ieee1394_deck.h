// A real D-VHS deck on IEEE 1394 as the graph sees it: AV/C power and transport commands, the
// receive loop for capture and the transmit loop for writing to the deck. The deck is known by its
// GUID; its node number is looked up again whenever the bus has been reset.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/deck_driver.h"
#include "capture/ieee1394/enumerate.h"
#include "capture/ieee1394/streaming.h"

namespace tessaline::fw {

struct DeckTiming {
    StreamTiming stream;
    // After POWER ON is accepted the deck is asked this many times whether it is on yet (some
    // decks take several seconds to come up from standby).
    int power_checks = 16;
    std::chrono::milliseconds power_check_interval{500};
    // A transport or power command for a deck that has just left the bus (a short unplug, a
    // replug that has not been seen yet) waits this long for it to come back.
    std::chrono::milliseconds deck_return{3000};
    // Between record-pause and record when a deck has to be put back into record.
    std::chrono::milliseconds record_pause_settle{1000};
    // Waits between those checks; tests make it return at once.
    std::function<void(std::chrono::milliseconds)> sleep;
};

// Result codes for AV/C outcomes.
HResult AvcResult(const AvcReply& reply);

// One line on what a stream met (gaps, drops, bad packets, reconnections, the error that ended
// it); empty when all was well.
std::string StreamTrouble(const LinkReport& report);

class Ieee1394Deck final : public DeckDriver {
  public:
    Ieee1394Deck(std::shared_ptr<Ieee1394Port> port, DeckEntry entry, DeckTiming timing = {});

    DeckListing Listing() const override;
    HResult GetPower(int32_t& state) override;
    HResult SetPower(int32_t state) override;
    HResult SetMode(int32_t mode) override;
    int32_t Capture(ISampleGrabberCB& callback, const StopSignal& stop) override;
    int32_t Playback(const std::string& path, const StopSignal& stop) override;
    HResult Prepare(bool playback, const std::string& path) override;
    std::string Describe() override;
    void InputConnected() override;
    void InputReleased() override;
    std::vector<StreamGap> LastStreamGaps() const override { return report_.Get().gaps; }
    bool Status(DeckStatus& status) override;
    HResult Command(TapeCommand command) override;
    void SetCaptureEvents(CaptureEvents* events) override { events_ = events; }

    const DeckEntry& entry() const noexcept { return entry_; }
    LinkReport last_stream() const { return report_.Get(); }
    // The transport state as the deck reports it now.
    TransportState QueryTransport();
    // Whether stream trouble is told on standard error when a stream ends (tests turn it off).
    void set_report_trouble(bool on) noexcept { report_out_ = on; }
    // Keeps the raw iso packets of the next capture in `path` (a dumpiso version 2 file); empty:
    // none. The file must not exist yet.
    void set_iso_dump(std::string path) { iso_dump_ = std::move(path); }

  private:
    // One AV/C command to this deck under the control lock; after a bus reset the node is looked
    // up again by GUID and the command is sent once more. With wait_for_deck, a deck that is not
    // on the bus is waited for (DeckTiming::deck_return) before the command fails.
    AvcReply Avc(const Frame& frame, bool wait_for_deck = false);
    // The deck's input was connected again after it was lost: a deck that was told to record
    // (or record-pause) and no longer does is told again.
    void ResumeTransport();

    std::shared_ptr<Ieee1394Port> port_;
    DeckEntry entry_;
    DeckTiming timing_;
    LinkReportBox report_;
    bool report_out_ = true;
    std::string iso_dump_;
    CaptureEvents* events_ = nullptr;
    // The signal at the deck's input while a write is set up; a playback borrows its link.
    std::mutex input_mu_;
    std::shared_ptr<InputSignal> input_;
    // Transport commands and their repetition after a lost input, one at a time; the mode last
    // set (ED_MODE_*, 0 none).
    std::mutex command_mu_;
    std::atomic<int32_t> wanted_mode_{0};
};

// Every deck found on the port, listed the way the capture controller names decks.
std::vector<std::shared_ptr<Ieee1394Deck>> FindIeee1394Decks(
    const std::shared_ptr<Ieee1394Port>& port, const DeckTiming& timing = {});

}  // namespace tessaline::fw
