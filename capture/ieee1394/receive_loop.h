// SPDX-License-Identifier: GPL-3.0-or-later
// Receiving a deck's stream into the grabber callback, on the graph's streaming thread: the
// deck's output plug connected, the iso packets parsed into source packets, the connection made
// again after bus resets, unplugs and quiet spells, and what was missed meanwhile measured.
#pragma once

#include <cstdint>

#include "capture/framework.h"
#include "capture/ieee1394/stream_link.h"
#include "stream/capture_events.h"

namespace tessaline::fw {

// Receives the deck's stream and hands 192-byte source packets to callback until stop. Returns
// 0 when stopped, EC_ERRORABORT when the deck cannot be connected or stays away past the
// deadline (or never sends anything), EC_COMPLETE when the iso source ends (a replayed capture).
// With a tap, every iso packet received is handed to it first, as it came (a raw dump). With
// events, breaks in the data block counter, runs of empty packets and bus resets are told there
// as they happen (an empty run in steps of at most kEmptyStep, so that a long blank is known
// while it lasts).
int32_t ReceiveLoop(Ieee1394Port& port, uint64_t guid, ISampleGrabberCB& callback,
                    const StopSignal& stop, const StreamTiming& timing, LinkReportBox& report,
                    IsoPacketSink* tap = nullptr, CaptureEvents* events = nullptr);

// Empty packets in a row shorter than this are the gaps of a stream that does not fill every
// cycle, not a stretch without data.
inline constexpr double kEmptyStretchMin = 0.1;  // seconds
inline constexpr double kEmptyStep = 1.0;        // seconds

}  // namespace tessaline::fw
