// Captures made with `dumpiso` on a real bus, replayed through the fake bus: the archivist's dumps
// of a deck become test fixtures. Format: a 32-byte header beginning "1394 isodump v1\0" (with the
// channel mask), then per packet its iso header quadlet (data length in the top 16 bits, tag,
// channel, tcode, sy) and the data padded to whole quadlets, all big-endian.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/ieee1394/fake_bus.h"

namespace tessaline::fw {

// Reads the packets of a dump; a last packet cut short is dropped. A file that is not a dump
// gives false with the reason in error.
bool ParseIsoDump(const std::vector<uint8_t>& bytes, std::vector<IsoScriptItem>& packets,
                  std::string& error);

// Writes packets in the same format (for fixtures made by hand).
std::vector<uint8_t> MakeIsoDump(const std::vector<IsoScriptItem>& packets, int channel);

}  // namespace tessaline::fw
