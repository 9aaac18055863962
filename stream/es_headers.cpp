#include "stream/es_headers.h"

#include "stream/stream_statistics.h"

namespace tessaline {
namespace {

// ISO/IEC 11172-3 bit rates in kbit/s, by layer code (3 = I, 2 = II, 1 = III) and bitrate_index.
// Index 0 (free format) and 15 (forbidden) give 0.
constexpr uint16_t kMpegAudioKbps[4][16] = {
    {},  // layer code 0: not MPEG audio (ADTS reads here, see below)
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
};
constexpr uint32_t kMpegAudioHz[4] = {44100, 48000, 32000, 0};

// ADTS sampling_frequency_index.
constexpr uint32_t kAdtsHz[16] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                                  16000, 12000, 11025, 8000,  7350,  0,     0,     0};
constexpr int kAdtsHeaderBytes = 6;  // as far as frame_length reaches
constexpr uint32_t kAdtsMinFrameLength = 7;
constexpr uint32_t kAacSamplesPerFrame = 1024;

// ATSC A/52 syncinfo: bit rate in kbit/s and frame size in 16-bit words by frmsizecod / 2.
constexpr int kAc3Rates = 19;
constexpr uint16_t kAc3Kbps[kAc3Rates] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                          192, 224, 256, 320, 384, 448, 512, 576, 640};
constexpr uint16_t kAc3Words[3][kAc3Rates] = {
    {64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 640, 768, 896, 1024, 1152, 1280},
    {69, 87, 104, 121, 139, 174, 208, 243, 278, 348, 417, 487, 557, 696, 835, 975, 1114, 1253,
     1393},
    {96, 120, 144, 168, 192, 240, 288, 336, 384, 480, 576, 672, 768, 960, 1152, 1344, 1536, 1728,
     1920},
};

constexpr uint32_t kAspectX100[16] = {0, 100, 133, 177, 221};
constexpr uint8_t kStartCodeGop = 0xB8;
constexpr uint8_t kStartCodePicture = 0x00;

}  // namespace

int ParseVideoSequenceHeader(const uint8_t* b, int count, TVideoHeaderInfo& info,
                             TStreamStatistics* stats) noexcept {
    int pos = 0;
    while (pos + 4 < count) {
        if (b[pos] == 0 && b[pos + 1] == 0 && b[pos + 2] == 1 && b[pos + 3] == kSequenceHeaderCode)
            break;
        ++pos;
    }
    if (pos + 4 >= count) return -1;
    // Twelve bytes after the start code must be there, one more than the fields use.
    if (pos + 4 + 12 >= count) return -1;

    const uint8_t* f = b + pos + 4;
    const uint32_t aspect_code = f[3] >> 4;
    if (aspect_code == 0) {
        info.aspect = 0;
        return -1;
    }
    info.width = (static_cast<uint32_t>(f[0]) << 4) | (f[1] >> 4);
    info.height = (static_cast<uint32_t>(f[1] & 0x0F) << 8) | f[2];
    info.aspect = kAspectX100[aspect_code];
    info.video_format = -1;
    switch (f[3] & 0x0F) {
        case 1:
            info.frame_rate = 24000.0 / 1001.0;
            break;
        case 2:
            info.frame_rate = 24.0;
            break;
        case 3:
            info.frame_rate = 25.0;
            info.video_format = 0;
            break;
        case 4:
            info.frame_rate = 30000.0 / 1001.0;
            info.video_format = 1;
            break;
        case 5:
            info.frame_rate = 30.0;
            info.video_format = 1;
            break;
        case 6:
            info.frame_rate = 50.0;
            info.video_format = 0;
            break;
        case 7:
            info.frame_rate = 60.0;
            info.video_format = 1;
            break;
        default:
            break;  // forbidden or reserved: the rate stays as it was
    }
    if (info.frame_rate == 0.0) info.frame_rate = 30000.0 / 1001.0;
    const uint32_t bit_rate_value =
        (static_cast<uint32_t>(f[4]) << 10) | (static_cast<uint32_t>(f[5]) << 2) | (f[6] >> 6);
    info.bit_rate = bit_rate_value * 400;
    info.header_offset = pos;

    if (stats) {
        stats->VideoWidth = info.width;
        stats->VideoHeight = info.height;
        stats->VideoAspect = info.aspect;
        stats->VideoFrameRate = info.frame_rate;
        stats->VideoFormat = info.video_format;
        stats->VideoBitRate = info.bit_rate;
        stats->VideoValid = -1;
    }
    return pos;
}

int ParseMpegAudioHeader(const uint8_t* b, int count, TAudioHeaderInfo& info,
                         TStreamStatistics* stats) noexcept {
    int pos = 0;
    while (pos + 1 < count) {
        if (b[pos] == 0xFF && b[pos + 1] >= 0xF8) break;
        ++pos;
    }
    if (pos + 1 >= count) return -1;
    if (pos + 3 >= count) return -1;

    const uint8_t* h = b + pos;
    info.layer = (h[1] >> 1) & 0x03;
    if (info.layer != 0) {
        info.bit_rate = kMpegAudioKbps[info.layer][h[2] >> 4] * 1000u;
        info.frequency = kMpegAudioHz[(h[2] >> 2) & 0x03];
    } else {
        // Layer code 0 is an MPEG-2 AAC ADTS header (FF F8 / FF F9): the rate follows from the
        // frame length, 1024 samples per frame.
        info.frequency = kAdtsHz[(h[2] >> 2) & 0x0F];
        info.bit_rate = 0;
        if (pos + kAdtsHeaderBytes <= count) {
            const uint32_t frame_length = ((static_cast<uint32_t>(h[3]) & 0x03) << 11) |
                                          (static_cast<uint32_t>(h[4]) << 3) | (h[5] >> 5);
            if (frame_length >= kAdtsMinFrameLength && info.frequency != 0) {
                info.bit_rate = static_cast<uint32_t>(static_cast<uint64_t>(frame_length) * 8 *
                                                      info.frequency / kAacSamplesPerFrame);
            }
        }
    }
    info.sync_offset = pos;

    if (stats) {
        stats->AudioLayer = info.layer;
        stats->AudioBitRate = info.bit_rate;
        stats->AudioFrequency = info.frequency;
        stats->AudioValid = -1;
    }
    return pos;
}

int ParseAc3Header(const uint8_t* b, int count, TAudioHeaderInfo& info) noexcept {
    int pos = 0;
    while (pos + 1 < count) {
        if (b[pos] == 0x0B && b[pos + 1] == 0x77) break;
        ++pos;
    }
    if (pos + 1 >= count) return -1;
    if (pos + 5 >= count) return -1;

    const uint32_t fscod = b[pos + 4] >> 6;
    const uint32_t frmsizecod = b[pos + 4] & 0x3F;
    const uint32_t rate_index = frmsizecod / 2;
    info.layer = 0;
    info.bit_rate = rate_index < kAc3Rates ? kAc3Kbps[rate_index] * 1000u : 0;
    uint32_t words = 0;
    if (fscod < 3 && rate_index < kAc3Rates) {
        words = kAc3Words[fscod][rate_index];
        if (fscod == 1 && (frmsizecod & 1)) ++words;
    }
    info.frame_size = words * 2;
    info.sync_offset = pos;
    return pos;
}

PictureStart ScanPictureStart(const uint8_t* b, int count) noexcept {
    PictureStart found;
    for (int i = 0; i + 3 < count; ++i) {
        if (b[i] != 0 || b[i + 1] != 0 || b[i + 2] != 1) continue;
        const uint8_t code = b[i + 3];
        if (code == kStartCodePicture) break;
        if (code == kStartCodeGop) found.gop = true;
        if (code == kSequenceHeaderCode) {
            found.gop = true;
            if (i + 8 <= count) found.sequence_fields = i + 4;
        }
    }
    return found;
}

}  // namespace tessaline
