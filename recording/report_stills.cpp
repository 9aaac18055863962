// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/report_stills.h"

#include <algorithm>
#include <cmath>
#include <fstream>

#ifdef TESSALINE_HAVE_LIBAV
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}
#endif

namespace tessaline {
namespace {

// Enough stream to hold a whole GOP of a 28 Mbit/s recording after the chosen point.
constexpr size_t kWindow = 4 << 20;
constexpr size_t kTsPacket = 188;
constexpr uint8_t kSync = 0x47;

bool StartCode(const uint8_t* p) {
    return p[0] == 0 && p[1] == 0 && p[2] == 1;
}

// The payload offset of an MPEG-2 (or MPEG-1) PES header at p, or 0 when it cannot be read.
size_t PesPayloadOffset(const uint8_t* p, size_t size) {
    if (size < 9) return 0;
    if ((p[6] & 0xC0) == 0x80) {
        const size_t offset = 9 + size_t{p[8]};
        return offset <= size ? offset : 0;
    }
    size_t at = 6;  // MPEG-1: stuffing, STD buffer, time stamps
    while (at < size && p[at] == 0xFF) ++at;
    if (at < size && (p[at] & 0xC0) == 0x40) at += 2;
    if (at >= size) return 0;
    if ((p[at] & 0xF0) == 0x20) return at + 5 <= size ? at + 5 : 0;
    if ((p[at] & 0xF0) == 0x30) return at + 10 <= size ? at + 10 : 0;
    return at + 1;
}

void ExtractTs(const uint8_t* data, size_t size, const StillSource& s, std::string& es) {
    const size_t unit = s.packet_size == 192 ? 192 : kTsPacket;
    const size_t sync = unit - kTsPacket;
    bool started = false;
    size_t at = 0;
    while (at + unit <= size) {
        const uint8_t* ts = data + at + sync;
        if (ts[0] != kSync) {  // out of step: look for the next packet
            ++at;
            continue;
        }
        at += unit;
        const uint16_t pid = static_cast<uint16_t>(((ts[1] & 0x1F) << 8) | ts[2]);
        if (pid != s.video_pid || (ts[1] & 0x80) || !(ts[3] & 0x10)) continue;
        size_t offset = 4;
        if (ts[3] & 0x20) offset += 1 + size_t{ts[4]};
        if (offset >= kTsPacket) continue;
        const uint8_t* payload = ts + offset;
        size_t length = kTsPacket - offset;
        if (ts[1] & 0x40) {
            if (length < 9 || !StartCode(payload)) continue;
            const size_t header = PesPayloadOffset(payload, length);
            if (header == 0) continue;
            payload += header;
            length -= header;
            started = true;
        }
        if (started) es.append(reinterpret_cast<const char*>(payload), length);
    }
}

void ExtractPs(const uint8_t* data, size_t size, std::string& es) {
    size_t at = 0;
    while (at + 6 <= size) {
        const uint8_t* p = data + at;
        if (!StartCode(p)) {
            ++at;
            continue;
        }
        const uint8_t code = p[3];
        if (code == 0xBA) {  // pack header: MPEG-2 with its stuffing, or MPEG-1
            if ((p[4] & 0xC0) == 0x40) {
                if (at + 14 > size) break;
                at += 14 + (p[13] & 0x07);
            } else {
                at += 12;
            }
            continue;
        }
        if (code == 0xB9) {  // end code
            at += 4;
            continue;
        }
        if (code < 0xBB) {  // not a PES: keep looking
            ++at;
            continue;
        }
        const size_t length = (size_t{p[4]} << 8) | p[5];
        const size_t end = std::min(size, at + 6 + length);
        if (code >= 0xE0 && code <= 0xEF) {
            const size_t header = PesPayloadOffset(p, end - at);
            if (header != 0 && at + header < end) {
                es.append(reinterpret_cast<const char*>(p + header), end - at - header);
            }
        }
        at = length == 0 ? at + 6 : end;
    }
}

#ifdef TESSALINE_HAVE_LIBAV

// Owners of the library's objects, freed on every way out.
struct Decoder {
    AVCodecContext* context = nullptr;
    AVCodecParserContext* parser = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    ~Decoder() {
        av_parser_close(parser);
        avcodec_free_context(&context);
        av_packet_free(&packet);
        av_frame_free(&frame);
    }
};

struct Encoder {
    AVCodecContext* context = nullptr;
    SwsContext* scaler = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    ~Encoder() {
        avcodec_free_context(&context);
        sws_freeContext(scaler);
        av_frame_free(&frame);
        av_packet_free(&packet);
    }
};

// An intra-coded picture decoded from the elementary stream, or false.
bool DecodeIntraPicture(const std::string& es, uint8_t stream_type, Decoder& d) {
    const AVCodecID id = stream_type == 0x1B ? AV_CODEC_ID_H264 : AV_CODEC_ID_MPEG2VIDEO;
    const AVCodec* codec = avcodec_find_decoder(id);
    if (codec == nullptr) return false;
    d.context = avcodec_alloc_context3(codec);
    d.parser = av_parser_init(id);
    d.packet = av_packet_alloc();
    d.frame = av_frame_alloc();
    if (!d.context || !d.parser || !d.packet || !d.frame) return false;
    if (avcodec_open2(d.context, codec, nullptr) < 0) return false;
    auto intra = [&]() {
        while (avcodec_receive_frame(d.context, d.frame) == 0) {
            if (d.frame->pict_type == AV_PICTURE_TYPE_I || d.frame->key_frame) return true;
            av_frame_unref(d.frame);
        }
        return false;
    };
    const auto* bytes = reinterpret_cast<const uint8_t*>(es.data());
    size_t at = 0;
    while (at < es.size()) {
        uint8_t* out = nullptr;
        int out_size = 0;
        const int used =
            av_parser_parse2(d.parser, d.context, &out, &out_size, bytes + at,
                             static_cast<int>(std::min<size_t>(es.size() - at, 1 << 20)),
                             AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (used < 0) return false;
        at += static_cast<size_t>(used);
        if (out_size > 0) {
            d.packet->data = out;
            d.packet->size = out_size;
            if (avcodec_send_packet(d.context, d.packet) == 0 && intra()) return true;
        } else if (used == 0) {
            break;
        }
    }
    avcodec_send_packet(d.context, nullptr);
    return intra();
}

bool EncodeJpeg(const AVFrame* picture, std::string& jpeg) {
    double aspect = double(picture->width) / std::max(1, picture->height);
    if (picture->sample_aspect_ratio.num > 0 && picture->sample_aspect_ratio.den > 0) {
        aspect *= av_q2d(picture->sample_aspect_ratio);
    }
    const int width = kStillWidth;
    const int height = std::max(2, static_cast<int>(std::lround(width / aspect / 2)) * 2);
    Encoder e;
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (codec == nullptr) return false;
    e.context = avcodec_alloc_context3(codec);
    e.frame = av_frame_alloc();
    e.packet = av_packet_alloc();
    if (!e.context || !e.frame || !e.packet) return false;
    e.context->width = width;
    e.context->height = height;
    e.context->pix_fmt = AV_PIX_FMT_YUVJ420P;
    e.context->time_base = AVRational{1, 25};
    e.context->flags |= AV_CODEC_FLAG_QSCALE;
    e.context->global_quality = FF_QP2LAMBDA * 4;
    if (avcodec_open2(e.context, codec, nullptr) < 0) return false;
    e.scaler =
        sws_getContext(picture->width, picture->height, static_cast<AVPixelFormat>(picture->format),
                       width, height, AV_PIX_FMT_YUVJ420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (e.scaler == nullptr) return false;
    e.frame->format = AV_PIX_FMT_YUVJ420P;
    e.frame->width = width;
    e.frame->height = height;
    if (av_frame_get_buffer(e.frame, 0) < 0) return false;
    sws_scale(e.scaler, picture->data, picture->linesize, 0, picture->height, e.frame->data,
              e.frame->linesize);
    e.frame->pts = 0;
    e.frame->quality = e.context->global_quality;
    if (avcodec_send_frame(e.context, e.frame) < 0) return false;
    avcodec_send_frame(e.context, nullptr);
    if (avcodec_receive_packet(e.context, e.packet) < 0) return false;
    jpeg.assign(reinterpret_cast<const char*>(e.packet->data), static_cast<size_t>(e.packet->size));
    return true;
}

#endif

}  // namespace

bool StillsSupported() noexcept {
#ifdef TESSALINE_HAVE_LIBAV
    return true;
#else
    return false;
#endif
}

std::vector<double> StillTimes(double duration, double interval, size_t max) {
    std::vector<double> times;
    if (!(duration > 0) || !(interval > 0)) return times;
    // The first a little way in, past what a recording's start may have cut.
    times.push_back(std::min(2.0, duration / 2));
    for (double t = interval; t < duration - 1 && times.size() < max; t += interval) {
        times.push_back(t);
    }
    return times;
}

void ExtractVideo(const uint8_t* data, size_t size, const StillSource& source, std::string& es) {
    if (source.packet_size == 188 || source.packet_size == 192) {
        ExtractTs(data, size, source, es);
    } else {
        ExtractPs(data, size, es);
    }
}

std::vector<Still> TakeStills(const StillSource& source) {
    std::vector<Still> stills;
#ifdef TESSALINE_HAVE_LIBAV
    av_log_set_level(AV_LOG_QUIET);  // damaged pictures are the report's business, not stderr's
    std::ifstream in(source.path, std::ios::binary | std::ios::ate);
    if (!in) return stills;
    const auto size = static_cast<uint64_t>(in.tellg());
    if (size == 0 || !(source.duration > 0)) return stills;
    const bool ts = source.packet_size == 188 || source.packet_size == 192;
    if (ts && source.video_pid == kNoPid) return stills;
    std::vector<uint8_t> window(kWindow);
    for (const double t : StillTimes(source.duration)) {
        // A constant rate is near enough to land within a GOP or two of the time.
        uint64_t at = static_cast<uint64_t>(double(size) * t / source.duration);
        if (ts) at -= at % static_cast<uint64_t>(source.packet_size);
        in.clear();
        in.seekg(static_cast<std::streamoff>(at));
        in.read(reinterpret_cast<char*>(window.data()),
                static_cast<std::streamsize>(window.size()));
        const auto got = static_cast<size_t>(in.gcount());
        std::string es;
        ExtractVideo(window.data(), got, source, es);
        // MPEG-2 decodes from a sequence header on.
        if (source.stream_type != 0x1B) {
            const size_t header = es.find(std::string("\0\0\1\xB3", 4));
            if (header == std::string::npos) continue;
            es.erase(0, header);
        }
        Decoder decoder;
        Still still;
        still.at = t;
        if (DecodeIntraPicture(es, source.stream_type, decoder) &&
            EncodeJpeg(decoder.frame, still.jpeg)) {
            stills.push_back(std::move(still));
        }
    }
#else
    static_cast<void>(source);
#endif
    return stills;
}

}  // namespace tessaline
