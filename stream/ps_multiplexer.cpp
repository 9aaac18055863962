#include "stream/ps_multiplexer.h"

#include <cstring>

#include "stream/byte_sink.h"
#include "stream/es_headers.h"
#include "stream/pes_assembler.h"
#include "stream/ps_headers.h"
#include "stream/stream_context.h"
#include "stream/ts_format.h"

namespace tessaline {
namespace {

// Sets the SCR from the assembler's latest PTS and writes a pack header (with a system header
// when both stream ids are given).
void PutPackHeader(MuxState& m, ipack_s& a, uint8_t audio_id, uint8_t video_id) {
    m.CurrentScr = static_cast<uint32_t>(DecodeTimestamp(a.pts)) - kScrLeadTicks;
    uint8_t header[kPackHeaderBufferSize] = {};
    const int n = BuildPackHeader(header, m.CurrentScr, static_cast<uint32_t>(m.MuxRate), 1, 0, 0,
                                  1, 1, 1, audio_id, kAudioBufferScale, kAudioBufferSize, video_id,
                                  kVideoBufferScale, kVideoBufferSize);
    a.output->Put(header, static_cast<size_t>(n));
}

// Removes the bytes in front of an elementary stream header from the payload, so the PES
// starts with the header; the PES length field follows.
void DropLeadingBytes(ipack_s& a, int payload_offset, int lead) {
    uint8_t* buf = a.buf.get();
    std::memmove(buf + payload_offset, buf + payload_offset + lead,
                 static_cast<size_t>(a.fill - payload_offset - lead));
    a.fill -= lead;
    WriteBe16(buf + 4, static_cast<uint32_t>(a.fill - 6));
}

}  // namespace

void MuxPesPacket(StreamContext& ctx, ipack_s& a) {
    MuxState& m = ctx.mux;
    TStreamStatistics& stats = ctx.stats;
    const bool check_pts = ctx.options.CheckPts;

    if (m.MuxFirstRun) {
        m.MuxFirstRun = false;
        m.MuxRate = 0;
        m.AudioBitRate = 0;
        m.VideoBitRate = 0;
        m.MuxStarted = 0;
        m.CurrentScr = 0;
        m.AudioStreamId = 0;
        m.VideoStreamId = 0;
        m.AvPesWritten = 0;
    }
    if (a.mpeg_version != 2) return;  // MPEG-1 PES are never written

    uint8_t* buf = a.buf.get();
    const int payload_offset = 9 + buf[8];
    // The header length comes from the stream: a payload that would start beyond the packet is
    // taken as empty.
    const int payload_count = payload_offset < a.fill ? a.fill - payload_offset : 0;
    const uint8_t* payload = buf + (payload_count > 0 ? payload_offset : 0);
    const bool has_pts = (buf[7] & kPesPtsFlag) != 0;
    const bool payload_b3_at_4 = payload_count > 4 && payload[4] == kSequenceHeaderCode;
    const uint8_t id = a.stream_id;

    // Property detection.
    if (IsVideoStreamId(id)) {
        if (!a.has_video_info &&
            ParseVideoSequenceHeader(payload, payload_count, a.video_info, &stats) >= 0) {
            a.has_video_info = 1;
            m.VideoBitRate = a.video_info.bit_rate;
            m.VideoStreamId = id;
            if (!check_pts) m.VideoGate = 1;
        }
    } else if (IsAudioStreamId(id) || (id == kStreamIdPrivate1 && ctx.options.CheckPrivateStream)) {
        if (!a.has_audio_info &&
            ParseMpegAudioHeader(payload, payload_count, a.audio_info, &stats) >= 0) {
            a.has_audio_info = 1;
            m.AudioBitRate = a.audio_info.bit_rate;
            m.AudioStreamId = id;
        }
    }

    // Mux rate, in units of 50 bytes/s: set once both rates are known; without "Check PTS" it
    // follows the sum of whatever rates are known on every PES.
    const bool both_known_first_time =
        a.has_video_info && m.VideoBitRate != 0 && m.AudioBitRate != 0 && m.MuxRate == 0;
    const bool follow_known = !check_pts && (m.VideoBitRate != 0 || m.AudioBitRate != 0);
    if (both_known_first_time || follow_known) {
        m.MuxRate =
            static_cast<int32_t>((static_cast<uint64_t>(m.VideoBitRate) + m.AudioBitRate) / 400);
    }

    // A pack header in front of this PES, or the start of the program stream.
    if (m.AudioGate && m.MuxStarted && m.MuxRate != 0 && has_pts &&
        (a.has_audio_info || payload_b3_at_4)) {
        if (check_pts) {
            PutPackHeader(m, a, 0, 0);
        } else {
            PutPackHeader(m, a, m.AudioStreamId, m.VideoStreamId);
        }
    }
    if ((m.MuxRate != 0 && !m.MuxStarted && m.VideoBitRate != 0) ||
        (!check_pts && m.MuxRate != 0 && !m.MuxStarted &&
         (m.VideoBitRate != 0 || m.AudioBitRate != 0))) {
        m.MuxStarted = 1;
        PutPackHeader(m, a, m.AudioStreamId, m.VideoStreamId);
    }
    if (!m.MuxStarted) return;

    const int32_t fill_before = a.fill;
    if (IsAudioStreamId(id)) {
        if (has_pts) {
            const uint64_t p = DecodeTimestamp(buf + 9);
            stats.LastAudioPts = p;
            if (stats.FirstAudioPts == 0 && (!check_pts || !ctx.options.ConvPES))
                stats.FirstAudioPts = p;
        }
        if (!m.AudioGate && stats.FirstVideoPts != 0 && has_pts) {
            const uint64_t p = DecodeTimestamp(buf + 9);
            const double lead_s =
                static_cast<double>(static_cast<int64_t>(p - stats.FirstVideoPts)) / 90000.0;
            // The audio starts no more than one video frame before the video.
            if (lead_s > -1.0 / stats.VideoFrameRate) {
                if (m.MuxRate != 0 && (a.has_audio_info || payload_b3_at_4)) {
                    PutPackHeader(m, a, 0, 0);
                }
                if (ParseMpegAudioHeader(payload, payload_count, a.audio_info, &stats) >= 0) {
                    m.AudioGate = 1;
                    if (ctx.options.SyncByte && a.audio_info.sync_offset != 0) {
                        DropLeadingBytes(a, payload_offset, a.audio_info.sync_offset);
                        a.audio_info.sync_offset = 0;
                    }
                    stats.FirstAudioPts = DecodeTimestamp(buf + 9);
                }
            }
        }
        if (m.AudioGate) {
            a.output->Put(buf, static_cast<size_t>(a.fill));
            ++m.AvPesWritten;
        }
    } else if (IsVideoStreamId(id)) {
        if (has_pts) {
            const uint64_t p = DecodeTimestamp(buf + 9);
            stats.LastVideoPts = p;
            if (stats.FirstVideoPts == 0 && !check_pts) stats.FirstVideoPts = p;
        }
        if (!m.VideoGate && has_pts &&
            ParseVideoSequenceHeader(payload, payload_count, a.video_info, &stats) >= 0) {
            m.VideoGate = 1;
            if (ctx.options.SyncByte && a.video_info.header_offset != 0) {
                DropLeadingBytes(a, payload_offset, a.video_info.header_offset);
                a.video_info.header_offset = 0;
            }
            stats.FirstVideoPts = DecodeTimestamp(buf + 9);
        }
        if (m.VideoGate) {
            a.output->Put(buf, static_cast<size_t>(a.fill));
            ++m.AvPesWritten;
        }
    } else {
        a.output->Put(buf, static_cast<size_t>(a.fill));
        if (id == kStreamIdPrivate1 && ctx.options.CheckPrivateStream) ++m.AvPesWritten;
    }
    a.fill = fill_before;
}

}  // namespace tessaline
