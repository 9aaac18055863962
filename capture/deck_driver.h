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

#include "capture/framework.h"

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

    // The deck's input was connected in a graph (a write is being set up), or that connection
    // was undone before or after the graph ran. On the window thread; they must not block long.
    // A real deck connects its input plug and sends a signal without data meanwhile, so that the
    // record-pause and record sent before the graph runs find one.
    virtual void InputConnected() {}
    virtual void InputReleased() {}
};

}  // namespace tessaline
