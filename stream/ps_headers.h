// MPEG-2 program stream pack header and system header.
#pragma once

#include <array>
#include <cstdint>

namespace tessaline {

// The working record from which a pack header (and a system header when the stream table is
// non-empty) is written.
struct ps_packet_ {
    static constexpr int kMaxStreamTable = 6;  // one video and one audio entry

    uint8_t scr[6] = {};
    uint8_t mux_rate[3] = {};
    uint8_t stuff_length = 0xF8;                     // reserved bits, pack_stuffing_length 0
    std::array<uint8_t, kMaxStreamTable> data = {};  // the system header's stream table
    uint8_t header_length[2] = {};
    int32_t stream_table_length = 0;
    uint8_t rate_bound[3] = {};
    uint8_t audio_bound = 0;
    uint8_t video_bound = 0;
    uint8_t reserved = 0;
    uint32_t mpeg_version = 2;
};

// Size of the buffer BuildPackHeader writes into: pack header plus system header.
inline constexpr int kPackHeaderBufferSize = 32;

// Writes the 32-bit SCR as pack header bytes 4-9 (SCR base bit 32 and the extension are 0).
void EncodeScr(uint8_t out[6], uint32_t scr) noexcept;
// Writes the 22-bit program_mux_rate as pack header bytes 10-12.
void EncodeMuxRate(uint8_t out[3], uint32_t mux_rate) noexcept;

// Fills a fresh ps_packet_ and serialises it into out. Returns 32 (pack header and system header)
// when both stream ids are non-zero, else 14 (pack header alone).
int BuildPackHeader(uint8_t out[kPackHeaderBufferSize], uint32_t scr, uint32_t mux_rate,
                    int audio_bound, int fixed_flag, int csps_flag, int system_audio_lock_flag,
                    int system_video_lock_flag, int video_bound, uint8_t audio_stream_id,
                    int audio_buffer_scale, int audio_buffer_size, uint8_t video_stream_id,
                    int video_buffer_scale, int video_buffer_size) noexcept;

// Writes the pack header (and the system header when the record has a stream table) into out,
// which must hold kPackHeaderBufferSize + 3 bytes; returns the bytes written.
int SerialisePackHeader(uint8_t* out, const ps_packet_& p) noexcept;

}  // namespace tessaline
