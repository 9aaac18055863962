// Every deck the graph host runs is a driver: the host lists it by what Listing() says, asks it for
// power and transport, and lets it stream on the graph's streaming thread. The host knows a deck
// only through this interface; what a driver needs from the host is handed to it in the calls.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "capture/framework.h"
#include "stream/capture_events.h"

namespace tessaline {

// A stop request that a blocked poll() can wait on: an eventfd that becomes readable once raised.
class StopSignal {
  public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // Any thread, any number of times.
    void Raise() noexcept;
    bool raised() const noexcept { return raised_.load(std::memory_order_acquire); }
    // Readable once raised; -1 when no descriptor could be made (then poll with a short timeout).
    int fd() const noexcept { return fd_; }
    // Sleeps until due or until raised, whichever comes first; true when raised.
    bool WaitUntil(std::chrono::steady_clock::time_point due) const;

  private:
    int fd_ = -1;
    std::atomic<bool> raised_{false};
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
};

// How the host lists a deck: its property texts (nullopt: the property cannot be read), the device
// type it reports, and which controls it offers. A capture source that is no tape deck (a webcam, a
// tuner) reports another type or no external device, and the capture controller leaves it out.
struct DeckListing {
    std::optional<std::string> friendly_name;
    std::optional<std::string> vendor;
    std::optional<std::string> model;
    int32_t device_type = ED_DEVTYPE_VCR;
    bool offers_ext_device = true;
    bool has_power_control = true;
    bool has_transport_control = true;
};

// A stretch of a stream that is missing: for a capture, what the deck played that did not reach
// the recording; for a write, the part of the file that did not reach the tape.
struct StreamGap {
    double at_seconds = 0;      // where it starts: seconds into the recording, or into the file
    double length_seconds = 0;  // how long, as near as the stream's own clock (its PCRs) tells
    std::string cause;          // "the deck was off the bus", "the stream went quiet", ...
    // The length is the most it can be (the bus does not tell when the deck was back).
    bool at_most = false;
};

// "1.9 s at 00:03:12.4 (the deck was off the bus)"; "up to 1.9 s ..." for an upper bound.
std::string StreamGapText(const StreamGap& gap);

// What a deck says it is doing, for `tessaline-cli deck status`, `devices --verbose`, the window's
// device list and whoever drives a tape (archiving, verifying a write).
enum class DeckTransport { Unknown, Stop, Play, Pause, Record, RecordPause, Rewind, FastForward };
enum class DeckMedium { Unknown, Present, None, Protected };

struct DeckStatus {
    int32_t power = 0;  // ED_POWER_ON or ED_POWER_OFF; 0 when the deck did not say
    DeckTransport transport = DeckTransport::Unknown;
    // Seconds from the tape's start by the deck's own counter; nullopt when it keeps none.
    std::optional<double> position_seconds;
    DeckMedium medium = DeckMedium::Unknown;
    // The tape's length in seconds, when the deck tells it (what a write must fit in).
    std::optional<double> tape_seconds;
    // The deck's replies as they came ("power", "transport", "position", "medium"): their bytes
    // in hex, or what went wrong on the bus.
    std::vector<std::pair<std::string, std::string>> replies;
};

// "stop", "play", "pause", "record", "record-pause", "rewind", "ff", "unknown".
const char* DeckTransportText(DeckTransport transport) noexcept;
// "present", "none", "protected", "unknown".
const char* DeckMediumText(DeckMedium medium) noexcept;
// "on", "off", "unknown".
const char* DevicePowerText(int32_t power) noexcept;
// A tape position as "00:12:34" ("-00:00:03" before the counter's zero), "none" without one.
std::string TapePositionText(std::optional<double> seconds);

enum class TapeCommand { Play, Stop, Pause, Rewind, FastForward, RecordPause, PowerOn, PowerOff };

class DeckDriver {
  public:
    virtual ~DeckDriver() = default;

    // How the deck is listed; the same answer every time (the host asks when the deck is added).
    virtual DeckListing Listing() const = 0;

    virtual HResult GetPower(int32_t& state) = 0;
    virtual HResult SetPower(int32_t state) = 0;
    virtual HResult SetMode(int32_t mode) = 0;

    // Run on the graph's streaming thread until the stream ends or stop is raised. They return
    // the graph's event: 0 when stopped, EC_COMPLETE when the source ended, EC_ERRORABORT when
    // the deck failed or went away. Capture hands buffers to callback on this same thread.
    virtual int32_t Capture(ISampleGrabberCB& callback, const StopSignal& stop) = 0;
    virtual int32_t Playback(const std::string& path, const StopSignal& stop) = 0;

    // Asked when the graph is about to run, on the window thread, so that what can be known
    // beforehand (a file that cannot be sent, a deck no longer on the bus) fails the start
    // instead of the stream. playback: the file to be sent; else a capture.
    virtual HResult Prepare(bool playback, const std::string& path) = 0;

    // One line for `devices --verbose`.
    virtual std::string Describe() = 0;

    // The deck's state now; false when this deck cannot tell (then status says nothing).
    virtual bool Status(DeckStatus& /*status*/) { return false; }
    // Sends one transport or power command and returns the deck's answer (kS_OK: accepted), not
    // waiting for the deck to get there; kE_NOTIMPL from a deck that has no such command.
    virtual HResult Command(TapeCommand /*command*/) { return kE_NOTIMPL; }

    // What the last Capture or Playback missed (times the deck was away, the stream went quiet).
    // Read after the stream has ended.
    virtual std::vector<StreamGap> LastStreamGaps() const { return {}; }

    // The deck's input was connected in a graph (a write is being set up), or that connection
    // was undone before or after the graph ran. On the window thread; they must not block long.
    // A real deck connects its input plug and sends a signal without data meanwhile, so that the
    // record-pause and record sent before the graph runs find one.
    virtual void InputConnected() {}
    virtual void InputReleased() {}

    // Where the next captures report what only the bus sees (block counter breaks, stretches of
    // empty packets, bus resets); nullptr for nowhere. Set while no capture runs; a deck that
    // sees none of it ignores it.
    virtual void SetCaptureEvents(CaptureEvents* /*events*/) {}
};

}  // namespace tessaline
