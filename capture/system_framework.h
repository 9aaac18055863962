// The framework the programs use: the graph host with the decks found on this machine, and a
// virtual deck only when TESSALINE_VIRTUAL_DECK names a stream file (the demo and the tests set
// it), so that a user never takes a recording of a bundled sample for one from a deck. This is the
// one place that knows every kind of deck driver: a new kind is added to the host here.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/framework.h"
#include "capture/graph/graph_host.h"
#include "capture/virtual/virtual_deck.h"

namespace tessaline {

// How the virtual deck is set up from the environment:
//   TESSALINE_VIRTUAL_DECK   a file: plays that file; unset, "" or "none": no virtual deck
//   TESSALINE_VIRTUAL_CHUNK  bytes per buffer (default 61440)
//   TESSALINE_VIRTUAL_PACE   "fast": as fast as the callback takes it; else the stream's own rate
//   TESSALINE_VIRTUAL_FAIL_AFTER  bytes after which the stream ends with an error (tests)
// Anything unusable is described in notes; a file that cannot be read gives no deck.
std::optional<VirtualDeckConfig> VirtualDeckFromEnvironment(std::vector<std::string>& notes);

// The bundled sample that `make run` gives the virtual deck.
std::string DefaultVirtualDeckFile();

// One line for help texts: the rule above.
const char* VirtualDeckHelp();

// Adds the IEEE 1394 decks found on this machine (none when TESSALINE_IEEE1394=off, or in a build
// without the backend). When no bus can be used, one note says why.
void AddRealDecks(GraphHost& framework, std::vector<std::string>& notes);

std::unique_ptr<MediaFramework> CreateSystemFramework(std::vector<std::string>& notes);

}  // namespace tessaline
