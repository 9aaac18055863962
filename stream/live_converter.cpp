#include "stream/live_converter.h"

#include "stream/output_file.h"
#include "stream/sha256.h"
#include "stream/stream_context.h"
#include "stream/ts_format.h"

namespace tessaline {

void WriteDirect::Put(const uint8_t* bytes, size_t count) {
    if (count == 0 || !ctx_.options.ConvPES) return;
    if (ctx_.ConverterOutput == nullptr || !ctx_.ConverterOutput->Write(bytes, count)) {
        failed_ = true;
        ctx_.stats.WriteFailures += 1;
    } else if (ctx_.OutputHash != nullptr) {
        ctx_.OutputHash->Update(bytes, count);
    }
}

LiveConverter::LiveConverter(StreamContext& ctx) : sink(ctx) {
    InitAssembler(video, kAssemblerCapacity, &sink, 1, ctx);
    InitAssembler(audio, kAssemblerCapacity, &sink, 1, ctx);
}

void FindAvPidsLive(const uint8_t* bytes, int count, uint16_t& v, uint16_t& a,
                    bool check_private_stream) noexcept {
    for (int pos = 0; pos < count - 8; pos += kTsPacketSize) {
        const uint8_t* pkt = bytes + pos;
        if (pkt[0] != kTsSyncByte || !(pkt[1] & kTsPayloadUnitStart)) continue;
        const int off = StreamIdOffset(pkt);
        if (off < 0 || off >= kTsPacketSize || pos + off >= count) continue;
        StorePidByClass(pkt[off], ReadPid(pkt + 1), v, a, check_private_stream);
        if (v != 0 && a != 0) return;
    }
}

void PrepareLiveConversion(StreamContext& ctx) noexcept {
    ctx.live.LiveVideoPid = 0;
    ctx.live.LiveAudioPid = 0;
    ctx.live.FirstBuffer = true;
}

void ConvertCaptureBuffer(StreamContext& ctx, const uint8_t* bytes, int count) {
    LiveConverter& live = ctx.live;
    const bool private_is_audio = ctx.options.CheckPrivateStream;

    if (live.FirstBuffer) {
        ctx.mux.AudioGate = (ctx.options.ConvPES && ctx.options.CheckPts) ? 0 : 1;
        ctx.mux.VideoGate = 0;
        ctx.stats.ResetTimestamps();
        ctx.stats.FileSize = 0;
        ctx.mux.MuxFirstRun = true;
        FindAvPidsLive(bytes, count, live.LiveVideoPid, live.LiveAudioPid, private_is_audio);
        RestartAssembler(live.video, kAssemblerCapacity, &live.sink, 1, ctx);
        RestartAssembler(live.audio, kAssemblerCapacity, &live.sink, 1, ctx);
        live.FirstBuffer = false;
    }
    if (live.LiveVideoPid == 0) {
        uint16_t scratch = 0;
        FindAvPidsLive(bytes, count, live.LiveVideoPid, scratch, private_is_audio);
    }
    if (live.LiveAudioPid == 0) {
        uint16_t scratch = 0;
        FindAvPidsLive(bytes, count, scratch, live.LiveAudioPid, private_is_audio);
    }

    for (int pos = 0; count - pos >= kTsPacketSize; pos += kTsPacketSize) {
        const uint8_t* pkt = bytes + pos;
        const TsPayload pl = LocatePayload(pkt);
        if (!pl.valid) continue;  // no payload, or a damaged adaptation field
        ipack_s* p = nullptr;
        if (pl.pid != 0 && pl.pid == live.LiveVideoPid) {
            p = &live.video;
        } else if (pl.pid != 0 && pl.pid == live.LiveAudioPid) {
            p = &live.audio;
        } else {
            continue;
        }
        if (pl.unit_start && p->payload_length == kUnboundedPesLength) FinishUnboundedPes(*p);
        RepackPayload(pkt + pl.offset, pl.length, *p);
    }
}

}  // namespace tessaline
