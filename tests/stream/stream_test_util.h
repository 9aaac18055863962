// Sinks and feeders shared by the stream tests.
#pragma once

#include <sys/resource.h>

#include <csignal>
#include <vector>

#include "stream/byte_sink.h"
#include "stream/pes_assembler.h"
#include "tests/support/test_support.h"

namespace tessaline::test {

// Lets writes reach only the first `bytes` of any file while it lives, as a full disk would.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previous_handler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    rlimit previous_{};
    void (*previous_handler_)(int) = nullptr;
};

// Keeps every Put() as one entry.
class VectorSink : public ByteSink {
  public:
    void Put(const uint8_t* bytes, size_t count) override {
        puts.emplace_back(bytes, bytes + count);
    }
    Bytes Joined() const {
        Bytes all;
        for (const Bytes& b : puts) Append(all, b);
        return all;
    }
    std::vector<Bytes> puts;
};

// Feeds bytes to an assembler in pieces of at most `piece` bytes, as TS payloads would.
inline void FeedInPieces(ipack_s& p, const Bytes& bytes, int piece) {
    for (size_t pos = 0; pos < bytes.size(); pos += static_cast<size_t>(piece)) {
        const int n =
            static_cast<int>(std::min<size_t>(static_cast<size_t>(piece), bytes.size() - pos));
        RepackPayload(bytes.data() + pos, n, p);
    }
}

// n distinct 188-byte null packets (PID 0x1FFF) with their index worked into the payload.
inline Bytes NumberedPackets(int n) {
    Bytes out;
    for (int i = 0; i < n; ++i) {
        TsPacketSpec spec;
        spec.pid = 0x1FFF;
        spec.continuity = static_cast<uint8_t>(i);
        Bytes payload(184);
        for (int j = 0; j < 184; ++j) payload[j] = static_cast<uint8_t>(i * 7 + j + (i >> 8));
        Append(out, MakeTsPacket(spec, payload));
    }
    return out;
}

inline Bytes Filler(size_t n, uint8_t seed = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 8));
    // Keep start codes out of the filler so only the PES we build are found.
    for (size_t i = 0; i + 2 < n; ++i)
        if (b[i] == 0 && b[i + 1] == 0) b[i + 1] = 0x10;
    return b;
}

}  // namespace tessaline::test
