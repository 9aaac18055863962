#include "stream/ps_headers.h"

#include <cstring>

#include "stream/ts_format.h"

namespace tessaline {

void EncodeScr(uint8_t out[6], uint32_t s) noexcept {
    out[0] = static_cast<uint8_t>(0x44 | (((s >> 30) & 0x03) << 3) | ((s >> 28) & 0x03));
    out[1] = static_cast<uint8_t>(s >> 20);
    out[2] = static_cast<uint8_t>((((s >> 15) & 0x1F) << 3) | 0x04 | ((s >> 13) & 0x03));
    out[3] = static_cast<uint8_t>(s >> 5);
    out[4] = static_cast<uint8_t>(((s & 0x1F) << 3) | 0x04);
    out[5] = 0x01;
}

void EncodeMuxRate(uint8_t out[3], uint32_t r) noexcept {
    out[0] = static_cast<uint8_t>(r >> 14);
    out[1] = static_cast<uint8_t>(r >> 6);
    out[2] = static_cast<uint8_t>(((r & 0x3F) << 2) | 0x03);
}

int BuildPackHeader(uint8_t out[kPackHeaderBufferSize], uint32_t scr, uint32_t mux_rate,
                    int audio_bound, int fixed_flag, int csps_flag, int system_audio_lock_flag,
                    int system_video_lock_flag, int video_bound, uint8_t audio_stream_id,
                    int audio_buffer_scale, int audio_buffer_size, uint8_t video_stream_id,
                    int video_buffer_scale, int video_buffer_size) noexcept {
    ps_packet_ p;
    EncodeScr(p.scr, scr);
    EncodeMuxRate(p.mux_rate, mux_rate);
    if (audio_stream_id != 0 && video_stream_id != 0) {
        WriteBe16(p.header_length, 12);
        p.stream_table_length = 12 - 6;
        p.rate_bound[0] = static_cast<uint8_t>(0x80 | (mux_rate >> 15));
        p.rate_bound[1] = static_cast<uint8_t>(mux_rate >> 7);
        p.rate_bound[2] = static_cast<uint8_t>(((mux_rate & 0x7F) << 1) | 0x01);
        p.audio_bound = static_cast<uint8_t>((audio_bound << 2) | (fixed_flag << 1) | csps_flag);
        p.video_bound = static_cast<uint8_t>((system_audio_lock_flag << 7) |
                                             (system_video_lock_flag << 6) | 0x20 | video_bound);
        p.reserved = 0x7F;
        p.data = {video_stream_id,
                  static_cast<uint8_t>(0xC0 | (video_buffer_scale << 5) | (video_buffer_size >> 8)),
                  static_cast<uint8_t>(video_buffer_size),
                  audio_stream_id,
                  static_cast<uint8_t>(0xC0 | (audio_buffer_scale << 5) | (audio_buffer_size >> 8)),
                  static_cast<uint8_t>(audio_buffer_size)};
    }
    return SerialisePackHeader(out, p);
}

int SerialisePackHeader(uint8_t* out, const ps_packet_& p) noexcept {
    int n = 0;
    out[n++] = 0x00;
    out[n++] = 0x00;
    out[n++] = 0x01;
    out[n++] = kPackStartCode;
    std::memcpy(out + n, p.scr, 6);
    n += 6;
    std::memcpy(out + n, p.mux_rate, 3);
    n += 3;
    out[n++] = p.stuff_length;
    for (int i = 0; i < (p.stuff_length & 0x03); ++i) out[n++] = 0xFF;
    if (p.stream_table_length > 0) {
        const int table = p.stream_table_length < ps_packet_::kMaxStreamTable
                              ? p.stream_table_length
                              : ps_packet_::kMaxStreamTable;
        out[n++] = 0x00;
        out[n++] = 0x00;
        out[n++] = 0x01;
        out[n++] = kSystemHeaderStartCode;
        out[n++] = p.header_length[0];
        out[n++] = p.header_length[1];
        std::memcpy(out + n, p.rate_bound, 3);
        n += 3;
        out[n++] = p.audio_bound;
        out[n++] = p.video_bound;
        out[n++] = p.reserved;
        std::memcpy(out + n, p.data.data(), static_cast<size_t>(table));
        n += table;
    }
    return n;
}

}  // namespace tessaline
