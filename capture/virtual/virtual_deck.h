// SPDX-License-Identifier: GPL-3.0-or-later
// The virtual deck's streaming, run by the graph host for a deck that has no driver: it plays the
// deck's file into the grabber (capture), or takes a file in and records it on the deck's tape file
// while the transport is in record (writing to the deck).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "capture/framework.h"
#include "capture/graph/graph_host.h"

namespace tessaline {

// What the graph raises to stop a virtual deck: requested is set, then cv notified under mu.
struct VirtualStop {
    std::mutex& mu;
    std::condition_variable& cv;
    const std::atomic<bool>& requested;
};

// Both return the graph's event: 0 when stopped, EC_COMPLETE at the end, EC_ERRORABORT on failure.
int32_t PlayVirtualDeck(VirtualDeck& deck, ISampleGrabberCB* callback, bool one_shot,
                        const VirtualStop& stop);
int32_t RecordOnVirtualDeck(VirtualDeck& deck, const std::string& source_path,
                            const VirtualStop& stop);

}  // namespace tessaline
