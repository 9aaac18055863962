// SPDX-License-Identifier: GPL-3.0-or-later
// Raw isochronous packets kept in the dump formats of libraw1394's `dumpiso`, so that a user's
// trace of a deck can be replayed as a test fixture. Both start with a 32-byte header: the magic
// "1394 isodump v1" or "... v2" (NUL-terminated) and the 64-bit channel mask, big-endian, at 16.
//   v1: per packet its iso header quadlet, big-endian (data length in the top 16 bits, tag,
//       channel, tcode, sy), then the data padded to whole quadlets.
//   v2 (what dumpiso writes today): per packet a 32-bit length in the writer's byte order
//       (little-endian here), one byte each of channel, tag, sy and 0, then the data unpadded.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "capture/ieee1394/seams.h"

namespace tessaline::fw {

struct DumpedPacket {
    std::vector<uint8_t> bytes;  // from the CIP header on
    unsigned channel = 0;
    unsigned tag = 0;
    unsigned sy = 0;
};

// Reads a dump of either version; a last packet cut short is dropped (dumpiso ended by a
// signal). A file that is not a dump, or a length that no iso packet can have, gives false with
// the reason in error.
bool ParseIsoDump(const std::vector<uint8_t>& bytes, std::vector<DumpedPacket>& packets,
                  std::string& error);

// Writes received packets as a version 2 dump. The file is written under a temporary name and
// renamed when closed; an existing file is never replaced.
class IsoDumpWriter {
  public:
    IsoDumpWriter() = default;
    ~IsoDumpWriter();
    IsoDumpWriter(const IsoDumpWriter&) = delete;
    IsoDumpWriter& operator=(const IsoDumpWriter&) = delete;

    bool Open(const std::string& path, uint64_t channel_mask, std::string& error);
    // Keeps one packet; after a write error it keeps nothing more (Close reports it).
    void Write(const IsoPacket& packet);
    // Finishes the file: true when every packet was written and the file is in place.
    bool Close(std::string& error);
    bool is_open() const noexcept { return file_ != nullptr; }

  private:
    std::FILE* file_ = nullptr;
    std::string path_;
    std::string temp_;
    bool failed_ = false;
    int failed_errno_ = 0;
};

// The largest payload a dump may claim for one packet (an iso packet's length field is 16 bits).
inline constexpr size_t kMaxDumpedPacket = 65535;

}  // namespace tessaline::fw
