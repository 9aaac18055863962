#include "stream/pes_assembler.h"

#include <algorithm>
#include <cstring>

#include "stream/byte_sink.h"
#include "stream/ps_multiplexer.h"
#include "stream/stream_context.h"
#include "stream/ts_format.h"

namespace tessaline {
namespace {

constexpr int kMpeg2HeaderEnd = 9;  // scan_pos after PES header byte 8
constexpr int kMpeg1HeaderEnd = 7;  // scan_pos after PES header byte 6
constexpr int kPtsEnd = kMpeg2HeaderEnd + 5;
constexpr int32_t kMpeg1ScanDone = 2000;
constexpr int kMinPesToSend = 10;

// AC-3 in private_stream_1 carries a substream header: id, frame count, first access unit pointer.
constexpr uint8_t kSubstreamAc3 = 0x81;
constexpr uint8_t kSubstream0x83 = 0x83;

inline void AppendByte(ipack_s& p, uint8_t b) {
    AppendToPes(p, &b, 1);
}

// True once the PES header has been read as far as the assembler reads it.
inline bool HeaderRead(const ipack_s& p) {
    if (p.skip_payload) return p.scan_pos >= 6;
    if (p.mpeg_version == 2) return p.scan_pos >= kMpeg2HeaderEnd;
    if (p.mpeg_version == 1) return p.scan_pos >= kMpeg1HeaderEnd;
    return false;
}

inline uint32_t PesEnd(const ipack_s& p) {
    return p.payload_length + 6;
}

void ResetBuffers(ipack_s& p, int capacity, ByteSink* output, int to_mux, StreamContext& ctx) {
    p.to_mux = to_mux;
    p.capacity_nominal = capacity;
    p.output = output;
    p.ctx = &ctx;
    ResetAssembler(p);
    p.has_audio_info = 0;
    p.has_video_info = 0;
}

}  // namespace

void InitAssembler(ipack_s& p, int capacity, ByteSink* output, int to_mux, StreamContext& ctx) {
    p.buf = std::make_unique<uint8_t[]>(static_cast<size_t>(capacity));  // zero-filled
    ResetBuffers(p, capacity, output, to_mux, ctx);
    p.audio_info = {};
    p.video_info = {};
    std::memset(p.pts, 0, sizeof p.pts);
}

void RestartAssembler(ipack_s& p, int capacity, ByteSink* output, int to_mux, StreamContext& ctx) {
    if (!p.buf || p.capacity_nominal != capacity) {
        p.buf = std::make_unique<uint8_t[]>(static_cast<size_t>(capacity));
    } else {
        std::memset(p.buf.get(), 0, static_cast<size_t>(capacity));
    }
    ResetBuffers(p, capacity, output, to_mux, ctx);
}

void ResetAssembler(ipack_s& p) noexcept {
    p.scan_pos = 0;
    p.stream_id = 0;
    p.payload_length = 0;
    p.flags1 = 0;
    p.flags2 = 0;
    p.header_data_length = 0;
    p.mpeg_version = 0;
    p.mpeg1_check = 0;
    p.mpeg1_stage = 0;
    p.skip_payload = 0;
    p.fill = 0;
    p.capacity = p.capacity_nominal;
}

void RepackPayload(const uint8_t* bytes, int n, ipack_s& p) {
    int used = 0;
    const bool private_is_audio = p.ctx->options.CheckPrivateStream;

    // One PES per turn; a PES that ends inside these bytes lets the next one start here.
    while (used < n) {
        // ---- Header: start code, stream id, length, and the MPEG-2 flags bytes.
        while (used < n && !HeaderRead(p) && (p.scan_pos < 6 || !p.skip_payload)) {
            const uint8_t b = bytes[used];
            switch (p.scan_pos) {
                case 0:
                case 1:
                    p.scan_pos = (b == 0x00) ? p.scan_pos + 1 : 0;
                    ++used;
                    break;
                case 2:
                    if (b == 0x01) {
                        p.scan_pos = 3;
                    } else if (b != 0x00) {
                        p.scan_pos = 0;
                    }
                    ++used;
                    break;
                case 3: {
                    p.stream_id = 0;
                    const StreamClass c = ClassifyStreamId(b, private_is_audio);
                    if (c == StreamClass::Invalid) {
                        p.scan_pos = 0;  // look at this byte again as a start code byte
                        break;
                    }
                    p.stream_id = b;
                    if (c == StreamClass::Skipped) p.skip_payload = 1;
                    p.scan_pos = 4;
                    ++used;
                    break;
                }
                case 4:
                    p.length_bytes[0] = b;
                    ++used;
                    if (used < n) {
                        p.length_bytes[1] = bytes[used++];
                        p.payload_length = ReadBe16(p.length_bytes);
                        p.scan_pos = 6;
                    } else {
                        p.scan_pos = 5;
                        return;
                    }
                    break;
                case 5:
                    p.length_bytes[1] = b;
                    p.payload_length = ReadBe16(p.length_bytes);
                    p.scan_pos = 6;
                    ++used;
                    break;
                case 6:
                    p.flags1 = b;
                    p.scan_pos = 7;
                    ++used;
                    if ((b & 0xC0) == 0x80) {
                        p.mpeg_version = 2;
                    } else {
                        p.mpeg_version = 1;
                        p.header_data_length = 0;
                        p.mpeg1_stage = 0;
                        p.flags2 = 0;
                    }
                    break;
                case 7:
                    p.flags2 = b;
                    p.scan_pos = 8;
                    ++used;
                    break;
                case 8:
                    p.header_data_length = b;
                    p.scan_pos = 9;
                    ++used;
                    break;
                default:
                    return;  // not reached: HeaderRead() covers every later position
            }
        }
        if (used >= n) return;
        if (p.payload_length == 0) p.payload_length = kUnboundedPesLength;

        if (!p.skip_payload) {
            // ---- Kept stream: header bytes, PTS, then payload.
            if (p.mpeg_version == 2 && p.scan_pos == kMpeg2HeaderEnd) {
                AppendByte(p, p.flags1);
                AppendByte(p, p.flags2);
                AppendByte(p, p.header_data_length);
            } else if (p.mpeg_version == 1 && p.scan_pos == kMpeg1HeaderEnd) {
                AppendByte(p, p.flags1);
            }

            if (p.mpeg_version == 2 && (p.flags2 & kPesPtsFlag) && p.scan_pos < kPtsEnd) {
                while (used < n && p.scan_pos < kPtsEnd) {
                    const uint8_t b = bytes[used++];
                    p.pts[p.scan_pos - kMpeg2HeaderEnd] = b;
                    AppendByte(p, b);
                    ++p.scan_pos;
                }
                if (used >= n) return;
            }

            if (p.mpeg_version == 1 && p.mpeg1_stage < kMpeg1ScanDone) {
                // Takes one header byte into the PES; false when the call has no bytes left.
                auto take = [&](uint8_t& out) {
                    out = bytes[used++];
                    AppendByte(p, out);
                    ++p.scan_pos;
                    ++p.header_data_length;
                    return used < n;
                };
                if (p.scan_pos == kMpeg1HeaderEnd) {
                    p.mpeg1_check = p.flags1;
                    p.header_data_length = 1;
                }
                while (p.mpeg1_stage == 0 && p.mpeg1_check == 0xFF) {  // stuffing
                    if (!take(p.mpeg1_check)) return;
                }
                if ((p.mpeg1_check & 0xC0) == 0x40 && p.mpeg1_stage == 0) {  // STD buffer info
                    p.mpeg1_stage = 1;
                    if (!take(p.mpeg1_check)) return;
                }
                if (p.mpeg1_stage == 1) {
                    p.mpeg1_stage = 2;
                    if (!take(p.mpeg1_check)) return;
                }
                if (p.mpeg1_stage < 3 && (p.mpeg1_check & 0x30) != 0 && p.mpeg1_check != 0xFF) {
                    p.flags2 = static_cast<uint8_t>((p.mpeg1_check & 0xF0) << 2);
                    p.pts[0] = p.mpeg1_check;
                    p.mpeg1_stage = 3;
                }
                if (p.mpeg1_stage >= 3) {
                    const int32_t last = (p.flags2 & 0xC0) == 0xC0 ? 12 : 7;
                    while (p.mpeg1_stage < last) {
                        uint8_t b;
                        const int32_t stage = p.mpeg1_stage++;
                        const bool more = take(b);
                        if (stage < 7) p.pts[stage - 2] = b;
                        if (!more) {
                            if (p.mpeg1_stage >= last) p.mpeg1_stage = kMpeg1ScanDone;
                            return;
                        }
                    }
                }
                p.mpeg1_stage = kMpeg1ScanDone;
            }

            // A length field shorter than the header just read cannot be right (a damaged
            // packet): drop this PES and look for the next start code in what follows.
            if (p.scan_pos > static_cast<int32_t>(PesEnd(p))) {
                ResetAssembler(p);
                continue;
            }

            while (used < n && p.scan_pos < static_cast<int32_t>(PesEnd(p))) {
                const int k = std::min<int>(n - used, static_cast<int>(PesEnd(p)) - p.scan_pos);
                AppendToPes(p, bytes + used, k);
                used += k;
                p.scan_pos += k;
            }
        } else {
            // ---- Skipped stream: count the bytes off without keeping them.
            const int left = static_cast<int>(PesEnd(p)) - p.scan_pos;
            const int k = std::min(n - used, left);
            used += k;
            p.scan_pos += k;
        }

        if (p.payload_length != 0 && p.scan_pos == static_cast<int32_t>(PesEnd(p))) {
            SendPes(p);
            ResetAssembler(p);
        }
    }
}

void AppendToPes(ipack_s& p, const uint8_t* bytes, int k) {
    while (true) {
        if (p.fill < 6) {
            p.buf[0] = 0x00;
            p.buf[1] = 0x00;
            p.buf[2] = 0x01;
            p.fill = 6;
        }
        // A PES a little larger than the buffer leaves as two halves rather than a full piece
        // and a small rest.
        if (p.capacity == p.capacity_nominal && p.payload_length != 0) {
            const int64_t d = static_cast<int64_t>(p.payload_length) + 6 - p.scan_pos + p.fill - k;
            if (p.capacity < d && d < p.capacity * 3 / 2) p.capacity = static_cast<int32_t>(d / 2);
        }
        if (p.fill + k < p.capacity) {
            std::memcpy(p.buf.get() + p.fill, bytes, static_cast<size_t>(k));
            p.fill += k;
            return;
        }
        const int room = std::max(0, p.capacity - p.fill);
        std::memcpy(p.buf.get() + p.fill, bytes, static_cast<size_t>(room));
        p.fill = p.capacity;
        SendPes(p);
        bytes += room;
        k -= room;
        if (k <= 0) return;
    }
}

void SendPes(ipack_s& p) {
    if (p.fill < kMinPesToSend) return;
    uint8_t* buf = p.buf.get();
    buf[3] = p.stream_id;
    WriteBe16(buf + 4, static_cast<uint32_t>(p.fill - 6));

    // Substream header of AC-3 in private_stream_1: stamp the number of frames that start in
    // this piece and where the first one starts, and work out where the next piece's first frame
    // will start. Offsets come from the stream, so each is checked against fill.
    int substream = -1;
    uint32_t f = 0;
    if (p.stream_id == kStreamIdPrivate1) {
        const int o = kMpeg2HeaderEnd + buf[8];
        if (o < p.fill) substream = buf[o];
        if (substream == kSubstreamAc3 && o + 3 < p.fill) {
            f = ReadBe16(buf + o + 2);
            const int64_t au = static_cast<int64_t>(o) + 3 + f;  // first access unit
            const int64_t count = p.fill - au;
            if (count >= 6) {
                TAudioHeaderInfo ac3;
                if (ParseAc3Header(buf + au, static_cast<int>(count), ac3) == 0 &&
                    ac3.frame_size > 0) {
                    const uint32_t m = static_cast<uint32_t>(count) / ac3.frame_size + 1;
                    buf[o + 1] = static_cast<uint8_t>(m);
                    WriteBe16(buf + o + 2, f);
                    f = static_cast<uint32_t>(o + 4 + f + m * ac3.frame_size - p.fill);
                }
            }
        } else if (substream == kSubstream0x83) {
            f = 0;
        }
    }

    if (p.to_mux) {
        MuxPesPacket(*p.ctx, p);
    } else {
        p.output->Put(buf, static_cast<size_t>(p.fill));
    }

    if (p.mpeg_version == 2) {
        buf[6] = 0x80;
        buf[7] = 0x00;
        buf[8] = 0x00;
        p.fill = 9;
        if (p.stream_id == kStreamIdPrivate1 &&
            (substream == kSubstreamAc3 || substream == kSubstream0x83)) {
            buf[9] = static_cast<uint8_t>(substream);
            buf[10] = 0x00;
            WriteBe16(buf + 11, f);
            p.fill = 13;
        }
    } else if (p.mpeg_version == 1) {
        buf[6] = 0x0F;
        p.fill = 7;
    }
}

void FinishUnboundedPes(ipack_s& p) {
    p.payload_length = static_cast<uint32_t>(p.scan_pos - 6);
    p.scan_pos = 0;
    SendPes(p);
    ResetAssembler(p);
}

}  // namespace tessaline
