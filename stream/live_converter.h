// Runs every normalised capture buffer through two assemblers and the multiplexer. With "Output
// PS" on, the program stream is the recording; with it off the same work keeps the statistics.
#pragma once

#include <cstdint>

#include "stream/byte_sink.h"
#include "stream/pes_assembler.h"

namespace tessaline {

struct StreamContext;

// The live converter's sink: writes to the converter's output file while "Output PS" is on.
class WriteDirect final : public ByteSink {
  public:
    explicit WriteDirect(StreamContext& ctx) : ctx_(ctx) {}
    void Put(const uint8_t* bytes, size_t count) override;

    // Set when a write failed since the last TakeFailure().
    bool TakeFailure() noexcept {
        const bool f = failed_;
        failed_ = false;
        return f;
    }

  private:
    StreamContext& ctx_;
    bool failed_ = false;
};

struct LiveConverter {
    explicit LiveConverter(StreamContext& ctx);

    // 0 until known. Recording control clears them before every recording.
    uint16_t LiveVideoPid = 0;
    uint16_t LiveAudioPid = 0;
    // Set by recording control before every recording; the first buffer starts afresh.
    bool FirstBuffer = true;

    WriteDirect sink;
    ipack_s video;
    ipack_s audio;
};

// Stores the PIDs of the first video and audio PES starts in whole 188-byte packets. A
// variable already non-zero is overwritten only until both are known.
void FindAvPidsLive(const uint8_t* bytes, int count, uint16_t& video_pid, uint16_t& audio_pid,
                    bool check_private_stream) noexcept;

// Converts count bytes (a multiple of 188) of whole TS packets.
void ConvertCaptureBuffer(StreamContext& ctx, const uint8_t* bytes, int count);

// Clears the live converter for a new recording: PIDs unknown, first buffer to come.
void PrepareLiveConversion(StreamContext& ctx) noexcept;

}  // namespace tessaline
