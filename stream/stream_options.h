#pragma once

#include "stream/relaxed.h"

namespace tessaline {

// The options the stream components read on every call. The window copies them from its
// settings; the window thread may change them between buffers, hence the relaxed atomics.
struct StreamOptions {
    Relaxed<bool> TrimPacket{true};           // "Convert 188 bytes"
    Relaxed<bool> ConvPES{false};             // "Output PS"
    Relaxed<bool> CheckPts{true};             // "Check PTS": start PS output at a video PTS
    Relaxed<bool> CheckPrivateStream{false};  // private_stream_1 counts as audio
    Relaxed<bool> SyncByte{true};             // "Delete to SyncByte"
};

}  // namespace tessaline
