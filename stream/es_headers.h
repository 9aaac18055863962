// Elementary stream headers the recorder reads its stream properties from: the MPEG-2 video
// sequence header, the MPEG audio frame header (with ADTS AAC), and the AC-3 sync frame.
#pragma once

#include <cstdint>

namespace tessaline {

struct TStreamStatistics;

struct TVideoHeaderInfo {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t aspect = 0;  // ratio x 100
    double frame_rate = 0.0;
    int32_t video_format = 0;
    uint32_t bit_rate = 0;  // bits per second
    int32_t header_offset = 0;
};

struct TAudioHeaderInfo {
    uint32_t layer = 0;
    uint32_t bit_rate = 0;
    uint32_t frequency = 0;
    uint32_t frame_size = 0;  // AC-3 only, bytes per sync frame
    int32_t sync_offset = 0;
};

inline constexpr uint8_t kSequenceHeaderCode = 0xB3;

// Each returns the position of the header in bytes[0..count), or -1. A successful video or MPEG
// audio parse is also copied into stats when given.
int ParseVideoSequenceHeader(const uint8_t* bytes, int count, TVideoHeaderInfo& info,
                             TStreamStatistics* stats = nullptr) noexcept;
int ParseMpegAudioHeader(const uint8_t* bytes, int count, TAudioHeaderInfo& info,
                         TStreamStatistics* stats = nullptr) noexcept;
int ParseAc3Header(const uint8_t* bytes, int count, TAudioHeaderInfo& info) noexcept;

// The headers in front of the first picture of a video PES payload: whether a GOP starts there
// (a sequence or GOP header comes before the picture), and where the fields after the last
// sequence header start (-1 when none is there whole).
struct PictureStart {
    bool gop = false;
    int sequence_fields = -1;
};
PictureStart ScanPictureStart(const uint8_t* bytes, int count) noexcept;

}  // namespace tessaline
