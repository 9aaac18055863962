// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/ieee1394/raw1394_handle.h"

#include <poll.h>

#include <cerrno>

namespace tessaline::fw {
namespace {

// The transaction codes libraw1394 passes on (negated) for what went wrong on the bus itself.
constexpr raw1394_errcode_t kErrGeneration = -0x13;  // the handle's generation is stale

}  // namespace

void Raw1394Handle::Reopen(int port) {
    if (h_ != nullptr) raw1394_destroy_handle(h_);
    h_ = raw1394_new_handle_on_port(port);
}

void Drain(raw1394handle_t h) {
    pollfd fd{raw1394_get_fd(h), POLLIN | POLLPRI, 0};
    while (poll(&fd, 1, 0) > 0) {
        if (raw1394_loop_iterate(h) != 0) break;
    }
}

// EAGAIN alone says little: libraw1394 gives it for a stale generation and equally for a busy
// node, a send error, a missing ack or a conflict, and only the first is a bus reset (the others
// are answered by retrying or by giving up, not by a node lookup).
BusStatus FailureStatus(raw1394handle_t h) {
    if (errno != EAGAIN) return BusStatus::IoError;
    return raw1394_get_errcode(h) == kErrGeneration ? BusStatus::BusReset : BusStatus::IoError;
}

bool GenerationError(raw1394handle_t h) {
    return errno == EAGAIN && raw1394_get_errcode(h) == kErrGeneration;
}

}  // namespace tessaline::fw
