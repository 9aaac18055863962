// All the state the stream components share during one recording or conversion. The program owns
// one; tests make fresh ones. Nothing in the stream layer keeps state outside this object.
#pragma once

#include <atomic>

#include "stream/carry_over.h"
#include "stream/live_converter.h"
#include "stream/pid_search.h"
#include "stream/ps_multiplexer.h"
#include "stream/stream_options.h"
#include "stream/stream_statistics.h"

namespace tessaline {

class OutputFile;
class Sha256;

struct StreamContext {
    StreamContext();
    StreamContext(const StreamContext&) = delete;
    StreamContext& operator=(const StreamContext&) = delete;

    StreamOptions options;
    TStreamStatistics stats;

    // Capture data path.
    CarryOverArea CarryOver;
    // True while a capture callback runs; the capture controller waits for it to clear after the
    // graph stopped, before the recording's file is closed.
    std::atomic<bool> CallbackBusy{false};

    // The file the converters' program stream goes to (the recording's or the conversion's).
    OutputFile* ConverterOutput = nullptr;
    // Every byte a recording writes to its file goes through this hash as it is written, so the
    // file's checksum needs no second reading; nullptr when nobody asked for it.
    Sha256* OutputHash = nullptr;

    MuxState mux;
    LiveConverter live;
    FileWorkState file;
};

}  // namespace tessaline
