// SPDX-License-Identifier: GPL-3.0-or-later
// Still pictures from a recording for its report: one near the start and one every few minutes,
// taken from the file after it was written, small JPEGs. They need libavcodec (and libswscale),
// an optional part of the build; without it there are none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "recording/report.h"

namespace tessaline {

struct StillSource {
    std::string path;
    int packet_size = 0;          // 188 or 192 for a transport stream; 0 for a program stream
    uint16_t video_pid = kNoPid;  // transport streams only
    uint8_t stream_type = 0x02;   // the video's stream_type: MPEG-2 (0x02) or H.264 (0x1B)
    double duration = 0;          // seconds
};

inline constexpr double kStillInterval = 300;  // seconds
inline constexpr size_t kMaxStills = 48;
inline constexpr int kStillWidth = 320;

// Whether this build can make pictures at all.
bool StillsSupported() noexcept;

// The times at which pictures are taken from a recording of `duration` seconds.
std::vector<double> StillTimes(double duration, double interval = kStillInterval,
                               size_t max = kMaxStills);

// Pictures at StillTimes; fewer (or none) where a picture cannot be found or decoded.
std::vector<Still> TakeStills(const StillSource& source);

// The video elementary stream in `size` bytes of a transport stream (packets of source.packet_size
// on source.video_pid, from the first PES start on) or of a program stream (the payload of its
// video PES packets), appended to `es`.
void ExtractVideo(const uint8_t* data, size_t size, const StillSource& source, std::string& es);

}  // namespace tessaline
