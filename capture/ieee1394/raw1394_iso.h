// SPDX-License-Identifier: GPL-3.0-or-later
// The isochronous sides of the real bus: receiving from the deck's output plug and sending to its
// input plug, each on a libraw1394 handle of its own, used by the streaming thread alone.
// Internal to the real bus (raw1394_*.cpp).
#pragma once

#include <memory>

#include "capture/ieee1394/seams.h"

namespace tessaline::fw {

// An iso receiver or sender on port `port`; one that could not open a handle fails its Start.
std::unique_ptr<IIsoSource> OpenRawIsoSource(int port);
std::unique_ptr<IIsoSink> OpenRawIsoSink(int port);

}  // namespace tessaline::fw
