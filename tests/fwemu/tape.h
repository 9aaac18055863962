// SPDX-License-Identifier: GPL-3.0-or-later
// The deck's cassette: what lies where on the tape. Files of the cassette are laid one after the
// other from the tape's start, each packet at its time by the file's rate; recordings lie over
// what was there. Positions count bus cycles (1/8000 s) from the tape's start.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/fwemu/fwemu.h"

namespace fwemu {

inline constexpr int64_t kTapeRate = 8000;  // tape positions a second

class Tape {
  public:
    // Lays the items on a tape of `seconds` (< 0: the content plus 60 s). False with a reason
    // when an item cannot be read.
    bool Load(const std::vector<CassetteItem>& items, double seconds,
              const std::vector<Settings::Window>& damage, std::string& error);

    int64_t length() const { return length_; }

    // Playing: the TS packets (188 bytes, a 192-byte packet's header left out) due before
    // `position + 1`, from where the last call left off or from `position` after Seek(), at most
    // `max` of them. Packets over a defect are passed over unsent.
    int Due(int64_t position, int max, const uint8_t** packets);
    void Seek() { cursor_valid_ = false; }

    // Recording: packets that arrive at a position, laid over the tape from where it began to
    // where it ended. A recording that never received anything leaves a blank.
    void BeginRecording(int64_t position, const std::string& file);
    void Record(int64_t position, const uint8_t* source_packet);
    void EndRecording(int64_t position);
    bool recording() const { return active_ >= 0; }

    // The recordings on the tape, for the saved state: their extent and their file.
    struct Extent {
        int64_t from = 0, to = 0;
        std::string file;
    };
    std::vector<Extent> Recordings() const;
    // A recording saved by another process: FILE holds (4-byte tape offset, 192-byte packet)
    // records. False when FILE cannot be read.
    bool AddRecording(const Extent& extent);
    // Writes what the active recording received to its file, and its current extent.
    void Flush(int64_t position);

  private:
    struct Source {
        Bytes bytes;  // packets, each `packet_size` bytes
        int packet_size = 192;
        size_t count = 0;
        int64_t start = 0;
        double cycles_per_packet = 0;   // a file of the cassette: evenly spaced
        std::vector<uint32_t> offsets;  // a recording: each packet's position from `start`
        bool recorded = false;
        std::string file;
        size_t flushed = 0;  // packets already in `file`
        int64_t end = 0;     // a recording's end
    };
    struct Span {
        int64_t from = 0, to = 0;
        size_t source = 0;
    };

    double Time(const Source& s, size_t i) const;
    size_t FirstAt(const Source& s, double t) const;
    void Overlay(size_t source, int64_t from, int64_t to);
    bool Damaged(double t) const;

    std::vector<Source> sources_;
    std::vector<Span> spans_;  // ordered, not overlapping
    std::vector<std::pair<double, double>> damage_;
    int64_t length_ = 0;
    int active_ = -1;
    bool cursor_valid_ = false;
    size_t cursor_span_ = 0;
    size_t cursor_index_ = 0;
};

// Source packets per second of a TS file (188- or 192-byte packets) from the PCRs of its first
// PCR PID; 0 when the file has no two PCRs apart.
double PacketRate(const Bytes& file, int packet_size);
// 188, 192, or 0 when the file is not whole TS packets of either size.
int PacketSize(const Bytes& file);
bool ReadWholeFile(const std::string& path, Bytes& out);

}  // namespace fwemu
