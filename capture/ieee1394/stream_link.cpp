// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/ieee1394/stream_link.h"

#include <poll.h>

namespace tessaline::fw {

bool WaitReadable(int iso_fd, const StopSignal& stop, std::chrono::milliseconds timeout) {
    pollfd fds[2] = {{iso_fd, POLLIN | POLLPRI, 0}, {stop.fd(), POLLIN, 0}};
    const nfds_t count = stop.fd() >= 0 ? 2 : 1;
    // Without an eventfd the stop flag is looked at every few milliseconds instead.
    const int ms = stop.fd() >= 0 ? static_cast<int>(timeout.count()) : 10;
    const int n = poll(fds, count, ms);
    return n > 0 && (fds[0].revents & (POLLIN | POLLPRI | POLLERR | POLLHUP)) != 0;
}

}  // namespace tessaline::fw
