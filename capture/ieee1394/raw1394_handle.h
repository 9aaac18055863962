// SPDX-License-Identifier: GPL-3.0-or-later
// A libraw1394 handle owned by one object, and what every user of a handle needs: draining its
// pending events, and telling a stale bus generation from other transaction failures. Internal
// to the real bus (raw1394_*.cpp).
#pragma once

#include <libraw1394/raw1394.h>

#include "capture/ieee1394/seams.h"

namespace tessaline::fw {

// A handle on one port, destroyed with its owner. The handlers of its owner find it through the
// user data.
class Raw1394Handle {
  public:
    explicit Raw1394Handle(int port) : h_(raw1394_new_handle_on_port(port)) {}
    ~Raw1394Handle() {
        if (h_ != nullptr) raw1394_destroy_handle(h_);
    }
    Raw1394Handle(const Raw1394Handle&) = delete;
    Raw1394Handle& operator=(const Raw1394Handle&) = delete;
    raw1394handle_t get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return h_ != nullptr; }
    // A fresh handle on the port: it lists /dev/fw* again and takes the bus's current generation.
    void Reopen(int port);

  private:
    raw1394handle_t h_;
};

// Processes what the handle has pending without blocking (bus resets, FCP frames).
void Drain(raw1394handle_t h);

// Why the transaction that just failed on `h` failed (errno and the handle's error code).
BusStatus FailureStatus(raw1394handle_t h);

// Whether the transaction that just failed on `h` failed on a stale bus generation.
bool GenerationError(raw1394handle_t h);

}  // namespace tessaline::fw
