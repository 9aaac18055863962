// Writes the program stream: decides whether a finished PES is written, puts pack headers (and
// the system header) in front of it, learns the stream properties, and with "Check PTS" holds
// video and audio back until both can start together.
#pragma once

#include <cstdint>

#include "stream/relaxed.h"

namespace tessaline {

struct ipack_s;
struct StreamContext;

struct MuxState {
    bool MuxFirstRun = false;   // the next call starts afresh
    int32_t MuxRate = 0;        // program_mux_rate, units of 50 bytes/s
    uint32_t AudioBitRate = 0;  // of the first audio header found
    uint32_t VideoBitRate = 0;  // of the first sequence header found
    int32_t MuxStarted = 0;     // the first pack header has been written
    uint32_t CurrentScr = 0;    // SCR of the latest pack header
    uint8_t AudioStreamId = 0;
    uint8_t VideoStreamId = 0;
    // Audio and video PES written since the start: none means the output holds no stream a
    // player can use, whatever headers it has.
    uint64_t AvPesWritten = 0;
    // The gates only open during a recording or conversion. The window reads them.
    Relaxed<int32_t> AudioGate{0};
    Relaxed<int32_t> VideoGate{0};
};

// SCR written in front of a PES: its PTS less 40 ms, wrapping in 32 bits.
inline constexpr uint32_t kScrLeadTicks = 3600;
// Buffer bounds of the system header: audio 64 x 128 bytes, video 460 x 1024 bytes.
inline constexpr int kAudioBufferScale = 0;
inline constexpr int kAudioBufferSize = 64;
inline constexpr int kVideoBufferScale = 1;
inline constexpr int kVideoBufferSize = 460;

// Called with an assembler whose buffer holds a finished PES of fill bytes. fill is the same
// when it returns.
void MuxPesPacket(StreamContext& ctx, ipack_s& a);

}  // namespace tessaline
