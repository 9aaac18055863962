// SPDX-License-Identifier: GPL-3.0-or-later
// Connection management (IEC 61883-1) on the deck's plug registers, through libraw1394: the
// computer has no plugs, so a connection is half point-to-point, a count on the deck's output
// plug (receiving) or input plug (sending) with a channel the computer takes at the resource
// manager. Every connection remembers what it took, and gives back exactly that: never a
// channel the deck or another node holds, never what a bus reset has already freed. Internal to
// the real bus (raw1394_bus.cpp).
#pragma once

#include <libraw1394/raw1394.h>

#include "capture/ieee1394/seams.h"

namespace tessaline::fw::cmp {

// The node ID libraw1394 takes for a physical ID on the local bus; -1: the local node.
nodeid_t NodeId(int phy, raw1394handle_t h);

// Makes the connection c describes (output_phy or input_phy is the deck, the other -1): joins
// the deck's own broadcast connection, adds to a connection that is there, or makes one on a
// free channel; a deck without plug registers gets channel 63. Receiving, with c.bandwidth set,
// the bandwidth the deck's plug needs is taken too. Returns the channel, or -1 (errno and the
// handle's error code tell why).
int Connect(raw1394handle_t h, CmpConnection& c);

// After a bus reset: the channel taken again (another when the old one is gone), the bandwidth
// too, and the plug's count made ours again as the kernel's CMP code does (exactly one when we
// made the connection). Returns the channel, or -1.
int Restore(raw1394handle_t h, CmpConnection& c);

// Takes our count off the deck's plug. False only when the plug could not be reached (a stale
// generation among the reasons).
bool ReleasePlug(raw1394handle_t h, const CmpConnection& c);
// Gives the channel and bandwidth back to the resource manager, when they are still ours: taken
// in the bus generation the handle is in now.
void ReleaseResources(raw1394handle_t h, const CmpConnection& c);

}  // namespace tessaline::fw::cmp
