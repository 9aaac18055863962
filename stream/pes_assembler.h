// Turns the payload bytes of the TS packets of one PID back into PES packets. Payload arrives in
// pieces of up to 184 bytes, split anywhere; a PES larger than the buffer leaves as several PES
// packets of the same stream, each piece after the first with a fresh header without time stamp.
#pragma once

#include <cstdint>
#include <memory>

#include "stream/es_headers.h"

namespace tessaline {

class ByteSink;
struct StreamContext;

inline constexpr int kAssemblerCapacity = 4096;

struct ipack_s {
    int32_t capacity = 0;          // usable size for the current PES (see the shrink rule)
    int32_t capacity_nominal = 0;  // size given at initialisation
    int32_t scan_pos = 0;          // bytes of the current PES consumed, header included
    int32_t to_mux = 0;            // 1: finished packets go to the multiplexer, 0: to output
    int32_t has_audio_info = 0;
    int32_t has_video_info = 0;
    TAudioHeaderInfo audio_info;
    TVideoHeaderInfo video_info;
    std::unique_ptr<uint8_t[]> buf;
    uint8_t stream_id = 0;
    uint32_t payload_length = 0;  // PES_packet_length; kUnboundedPesLength while unbounded
    uint8_t length_bytes[2] = {};
    uint8_t flags1 = 0;
    uint8_t flags2 = 0;
    uint8_t header_data_length = 0;
    uint8_t pts[5] = {};       // of the latest PES of this stream that carried one
    int32_t mpeg_version = 0;  // 0 unknown, 1 MPEG-1 header, 2 MPEG-2 header
    uint8_t mpeg1_check = 0;
    int32_t mpeg1_stage = 0;
    int32_t skip_payload = 0;
    ByteSink* output = nullptr;
    int32_t fill = 0;
    StreamContext* ctx = nullptr;  // options, multiplexer and statistics of the conversion
};

// Obtains the buffer and starts from nothing.
void InitAssembler(ipack_s& p, int capacity, ByteSink* output, int to_mux, StreamContext& ctx);
// The same on an assembler that has its buffer; the header records and pts are kept.
void RestartAssembler(ipack_s& p, int capacity, ByteSink* output, int to_mux, StreamContext& ctx);
// Forgets the PES being built.
void ResetAssembler(ipack_s& p) noexcept;
// Consumes count payload bytes.
void RepackPayload(const uint8_t* bytes, int count, ipack_s& p);
// Adds bytes to the PES in buf, sending full pieces.
void AppendToPes(ipack_s& p, const uint8_t* bytes, int count);
// Finishes the piece in buf, hands it on, and prepares buf for a continuation piece.
void SendPes(ipack_s& p);
// Ends an unbounded PES at the start of the next one.
void FinishUnboundedPes(ipack_s& p);

}  // namespace tessaline
