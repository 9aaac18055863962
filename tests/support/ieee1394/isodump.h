// Dumps of the bus as the fake bus plays them: a dump read into script items, and version 1 dumps
// made by hand for fixtures (the reader and the version 2 writer are the program's own).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/ieee1394/isodump.h"
#include "tests/support/ieee1394/fake_bus.h"

namespace tessaline::fw {

// Reads the packets of a dump (either version) as script items.
bool ParseIsoDump(const std::vector<uint8_t>& bytes, std::vector<IsoScriptItem>& packets,
                  std::string& error);

// Writes packets as a version 1 dump.
std::vector<uint8_t> MakeIsoDump(const std::vector<IsoScriptItem>& packets, int channel);

}  // namespace tessaline::fw
