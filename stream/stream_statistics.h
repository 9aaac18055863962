// What the window shows about the stream being recorded or converted. Written by the thread that
// runs the converter, read by the window thread without a lock.
#pragma once

#include <cstdint>

#include "stream/relaxed.h"

namespace tessaline {

struct TStreamStatistics {
    // The latest video sequence header read.
    Relaxed<uint32_t> VideoWidth;
    Relaxed<uint32_t> VideoHeight;
    Relaxed<uint32_t> VideoAspect;  // ratio x 100: 100, 133, 177, 221; 0 unknown
    Relaxed<double> VideoFrameRate;
    Relaxed<int32_t> VideoFormat;    // -1 unknown, 0 50 Hz family, 1 60 Hz family
    Relaxed<uint32_t> VideoBitRate;  // bits per second
    Relaxed<int32_t> VideoValid;     // -1 once a sequence header has been read

    // The latest audio frame header read.
    Relaxed<uint32_t> AudioLayer;  // 3 = Layer I, 2 = Layer II, 1 = Layer III, 0 = ADTS / AC-3
    Relaxed<uint32_t> AudioBitRate;
    Relaxed<uint32_t> AudioFrequency;
    Relaxed<int32_t> AudioValid;

    // 90 kHz time stamps; 0 means none yet.
    Relaxed<uint64_t> FirstVideoPts;
    Relaxed<uint64_t> LastVideoPts;
    Relaxed<uint64_t> FirstAudioPts;
    Relaxed<uint64_t> LastAudioPts;

    // File conversion progress.
    Relaxed<uint32_t> VideoPid;
    Relaxed<uint32_t> AudioPid;
    Relaxed<int64_t> BytesRead;
    Relaxed<int64_t> FileSize;

    // Output writes that failed during the current recording or conversion (any mode), so the
    // window can warn that the file is incomplete.
    Relaxed<uint32_t> WriteFailures;

    void ResetTimestamps() noexcept {
        FirstVideoPts = 0;
        LastVideoPts = 0;
        FirstAudioPts = 0;
        LastAudioPts = 0;
    }
};

}  // namespace tessaline
