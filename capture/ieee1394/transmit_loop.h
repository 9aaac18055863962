// SPDX-License-Identifier: GPL-3.0-or-later
// Sending a TS file to the deck, on the graph's streaming thread: the file scanned first (what
// cannot be paced is refused before anything is sent), then paced by its PCRs through the deck's
// input link, which survives bus resets and short unplugs; what the deck cannot have received
// meanwhile is measured and reported as a gap in the file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "capture/ieee1394/input_link.h"
#include "capture/ieee1394/ts_feeder.h"

namespace tessaline::fw {

// Refuses files that cannot be paced: empty, not 188/192-byte packets, an incomplete last
// packet, no PCR. The reason goes to error.
bool ScanTransmitFile(const std::string& path, TransmitPlan& plan, std::string& error);

// Sends the TS file to the deck at the pace of its PCRs (as 188-byte TS in source packets that we
// stamp), then waits until the last packet has gone out. EC_COMPLETE at the end of the file
// (report.gaps tells what the deck may have missed), 0 when stopped, EC_ERRORABORT on a refused
// file, a read error or a deck that did not come back in time.
// With `link`, the deck's input is already connected and sending (an InputSignal's): the file
// goes out through it without a gap, and it is left sending packets without data afterwards.
// Else a link of its own is made and undone at the end. `restored` is called on this thread
// when the deck's input has been connected again after it was lost (the deck may need to be
// told to record again).
int32_t TransmitLoop(Ieee1394Port& port, uint64_t guid, const std::string& path,
                     const StopSignal& stop, const StreamTiming& timing, LinkReportBox& report,
                     InputLink* link = nullptr, const std::function<void()>& restored = {});

}  // namespace tessaline::fw
