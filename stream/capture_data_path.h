// Where every captured buffer enters: it is cut into whole 188-byte packets (an incomplete packet
// is carried over to the next buffer), written raw or trimmed, and handed to the live converter,
// which writes the program stream in PS mode and keeps the statistics in every mode.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessaline {

class OutputFile;
class TsAnalyser;
struct StreamContext;

inline constexpr int32_t kS_OK = 0;
inline constexpr int32_t kS_FALSE = 1;

class CaptureDataPath {
  public:
    explicit CaptureDataPath(StreamContext& ctx) : ctx_(ctx) {}

    // The recording's file. Set by recording control while the graph is stopped.
    void SetOutputFile(OutputFile* file) noexcept {
        output_ = file;
        packet_size_.store(0, std::memory_order_relaxed);
        raw_offset_ = 0;
        raw_gap_ = false;
        first_unit_ = 0;
    }
    OutputFile* output_file() const noexcept { return output_; }
    // The analyser that sees every buffer as delivered, whatever is written and whether writing
    // works; nullptr for none. Set while the graph is stopped.
    void SetAnalyser(TsAnalyser* analyser) noexcept { analyser_ = analyser; }

    // One captured buffer. Returns S_OK, or S_FALSE when writing to the file failed.
    int32_t BufferCB(double sample_time, const uint8_t* buffer, long length);

    // Bytes handed in by the deck since the data path was made, whatever became of them: tells a
    // deck that delivers nothing (switched off) from a stream that writes nothing yet.
    uint64_t bytes_received() const noexcept { return received_.load(std::memory_order_relaxed); }
    // The packet size of the file's stream as its first buffers showed it: 188, 192 (source
    // packets), or 0 before any.
    int packet_size() const noexcept { return packet_size_.load(std::memory_order_relaxed); }

    // Places the whole 188-byte packets of carry-over plus data into the output buffer and
    // returns their byte count (a multiple of 188); the rest becomes the new carry-over.
    int NormaliseCaptureBuffer(const uint8_t* data, int length);
    const uint8_t* output_buffer() const noexcept { return out_.data(); }

  private:
    void Reserve(size_t size);
    // Writes a buffer as delivered; false when it is lost.
    bool WriteAsDelivered(const uint8_t* buffer, int length);

    StreamContext& ctx_;
    // Writes to the file and, once written, to the output hash.
    bool Store(const uint8_t* bytes, size_t count);

    OutputFile* output_ = nullptr;
    TsAnalyser* analyser_ = nullptr;
    std::atomic<uint64_t> received_{0};
    std::atomic<int> packet_size_{0};
    // Written as delivered (ts192): the stream offset of the next buffer, and whether a write was
    // lost, after which the file goes on only at the stream's next packet start.
    uint64_t raw_offset_ = 0;
    bool raw_gap_ = false;
    int first_unit_ = 0;  // the packet size of the first raw buffer, before it is normalised
    // Work areas sized to the largest buffer seen, so a steady recording allocates nothing.
    std::vector<uint8_t> work_;
    std::vector<uint8_t> out_;
};

// Empties the carry-over; recording control calls it when a recording starts and when it stops.
void ResetCarryOver(StreamContext& ctx) noexcept;

}  // namespace tessaline
