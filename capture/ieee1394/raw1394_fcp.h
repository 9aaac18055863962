// SPDX-License-Identifier: GPL-3.0-or-later
// The FCP response register of our own node, as an address range of the control handle: every
// frame a node writes there is kept, in arrival order, until the FCP code takes it. Internal to
// the real bus (raw1394_*.cpp).
#pragma once

#include <libraw1394/raw1394.h>

#include <deque>

#include "capture/ieee1394/seams.h"

namespace tessaline::fw {

class FcpResponseRange {
  public:
    FcpResponseRange() = default;
    FcpResponseRange(const FcpResponseRange&) = delete;
    FcpResponseRange& operator=(const FcpResponseRange&) = delete;

    // Takes the range on `h` (a handle without one: the frames keep coming to every other
    // client's range on the node, never to us). False, with errno, when the bus refuses.
    bool Open(raw1394handle_t h);
    // Gives the range back. Must come before `h` is destroyed: libraw1394 frees the range's
    // bookkeeping here and nowhere else.
    void Close(raw1394handle_t h);
    bool is_open() const noexcept { return open_; }

    // The oldest frame not yet taken; false when there is none.
    bool Take(FcpFrame& frame);
    void Clear() { frames_.clear(); }

  private:
    static int OnWrite(raw1394handle_t h, raw1394_arm_request_response* request,
                       unsigned int requested_length, void* context, byte_t type);

    raw1394_arm_reqhandle tag_{};
    std::deque<FcpFrame> frames_;
    bool open_ = false;
};

}  // namespace tessaline::fw
