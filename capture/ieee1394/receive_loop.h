// SPDX-License-Identifier: GPL-3.0-or-later
// Receiving a deck's stream into the grabber callback, on the graph's streaming thread: the
// deck's output plug connected, the iso packets parsed into source packets, the connection made
// again after bus resets, unplugs and quiet spells, and what was missed meanwhile measured.
#pragma once

#include <cstdint>

#include "capture/framework.h"
#include "capture/ieee1394/stream_link.h"

namespace tessaline::fw {

// Receives the deck's stream and hands 192-byte source packets to callback until stop. Returns
// 0 when stopped, EC_ERRORABORT when the deck cannot be connected or stays away past the
// deadline (or never sends anything), EC_COMPLETE when the iso source ends (a replayed capture).
// With a tap, every iso packet received is handed to it first, as it came (a raw dump).
int32_t ReceiveLoop(Ieee1394Port& port, uint64_t guid, ISampleGrabberCB& callback,
                    const StopSignal& stop, const StreamTiming& timing, LinkReportBox& report,
                    IsoPacketSink* tap = nullptr);

}  // namespace tessaline::fw
