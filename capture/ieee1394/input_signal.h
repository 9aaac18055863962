// SPDX-License-Identifier: GPL-3.0-or-later
// The signal at a deck's input while a write is set up but its file is not playing yet: the
// input plug connected and packets without data sent on its channel, on a thread of its own, so
// that record-pause and record find a signal. The write borrows the running link for its file
// (no gap at the hand-over) and gives it back when the file has played out.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "capture/ieee1394/input_link.h"

namespace tessaline::fw {

class InputSignal {
  public:
    // Connects and starts sending; connected() tells whether the deck could be reached.
    InputSignal(Ieee1394Port& port, uint64_t guid, const StreamTiming& timing);
    // Stops sending and undoes the connection.
    ~InputSignal();
    InputSignal(const InputSignal&) = delete;
    InputSignal& operator=(const InputSignal&) = delete;

    // Whether the signal is on (a deck without plug registers gets it on the broadcast channel,
    // unconnected, and counts as on).
    bool running() const noexcept { return opened_; }

    // Stops the signal's thread and lends the link, still sending, to the caller's thread;
    // nullptr when there is no working link. Give it back with Return().
    InputLink* Borrow();
    void Return();

  private:
    void Run();

    InputLink link_;
    bool opened_ = false;
    std::mutex mu_;
    std::unique_ptr<StopSignal> stop_;
    std::thread thread_;
    std::atomic<bool> failed_{false};
};

}  // namespace tessaline::fw
