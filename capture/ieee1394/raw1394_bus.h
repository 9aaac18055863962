// The real bus: libraw1394 handles (one for control, one per stream, each used by one thread),
// librom1394 for the configuration ROMs, and connection management of our own on libraw1394's
// transactions (raw1394_cmp.*: it gives back only what it took). Only the raw1394_* files
// include the library headers; README.md in this folder says which does what.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "capture/ieee1394/seams.h"

namespace tessaline::fw {

// Opens every IEEE 1394 port that has nodes. When none can be used, `reason` says why in one
// line (no controller, or no permission to /dev/fw*); when ports open but the controller's own
// node does not, `reason` says that (ports are still returned).
std::vector<std::unique_ptr<IBusPort>> OpenRaw1394Ports(std::string& reason);

}  // namespace tessaline::fw
