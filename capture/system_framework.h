// The framework the programs use: the decks found on this machine, and the virtual deck that
// TESSALINE_VIRTUAL_DECK asks for (by default the bundled sample, so that everything runs
// without a deck).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/framework.h"
#include "capture/virtual/virtual_framework.h"

namespace tessaline {

// How the virtual deck is set up from the environment:
//   TESSALINE_VIRTUAL_DECK   unset: the bundled sample; a file: that file; "" or "none": no deck
//   TESSALINE_VIRTUAL_CHUNK  bytes per buffer (default 61440)
//   TESSALINE_VIRTUAL_PACE   "fast": as fast as the callback takes it; else the stream's own rate
// Anything unusable is described in notes; a file that cannot be read gives no deck.
std::optional<VirtualDeckConfig> VirtualDeckFromEnvironment(std::vector<std::string>& notes);

// The file the virtual deck plays when TESSALINE_VIRTUAL_DECK is unset.
std::string DefaultVirtualDeckFile();

// One line for help texts: the rule above.
const char* VirtualDeckHelp();

// Adds the IEEE 1394 decks found on this machine (none when TESSALINE_IEEE1394=off, or in a build
// without the backend). When no bus can be used, one note says why.
void AddRealDecks(VirtualFramework& framework, std::vector<std::string>& notes);

std::unique_ptr<MediaFramework> CreateSystemFramework(std::vector<std::string>& notes);

}  // namespace tessaline
