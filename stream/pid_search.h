// Reading TS files whatever their packet size, finding their video and audio PIDs, and the
// cancellation that ends long file work.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

namespace tessaline {

class InputFile;
struct StreamContext;

inline constexpr int kReadBufferSize = 188000;  // 1000 TS packets
inline constexpr int kProbeSize = 1920;

// Ends file work without a message to the user: the operation they started cleans up and stops.
// The reason lets a command-line caller say what happened.
class SilentAbort : public std::exception {
  public:
    enum class Reason { Cancelled, EmptyFile, UnknownPacketSize, PidNotFound, ReadError };
    explicit SilentAbort(Reason r) : reason_(r) {}
    Reason reason() const noexcept { return reason_; }
    const char* what() const noexcept override;

  private:
    Reason reason_;
};

// The process-wide state of file work: input packet size, cancel flag, buffers sized once.
struct FileWorkState {
    int32_t PacketSize = 0;  // 0 not yet known, 188 or 192
    std::atomic<bool> RemuxAbort{false};

    // Lets the window handle its events during long file work; empty in the command-line tool.
    std::function<void()> pump;
    std::chrono::steady_clock::duration pump_interval = std::chrono::milliseconds(20);
    std::chrono::steady_clock::time_point last_pump{};

    bool FlushPending = false;
    int32_t write_fill = 0;

    std::unique_ptr<uint8_t[]> probe;          // kProbeSize
    std::unique_ptr<uint8_t[]> read_buffer;    // kReadBufferSize, the converter's
    std::unique_ptr<uint8_t[]> search_buffer;  // kReadBufferSize, FindAvPidsInFile's own
    std::unique_ptr<uint8_t[]> write_buffer;   // kReadBufferSize
    std::unique_ptr<uint8_t[]> staging;        // 1000 source packets of a 192-byte file

    void AllocateBuffers();
};

// Hands control to the window's event loop, at most every pump_interval so that it costs
// nothing per packet.
void PumpOneMessage(StreamContext& ctx);

// The packet-size test on the first k bytes of a file (k at most kProbeSize): 188 or 192 when
// every examined position holds a sync byte (188 first), else 0.
int PacketSizeOf(const uint8_t* probe, int k) noexcept;

// The first offset from 1 up to limit at which the packet-size test passes on the bytes that
// follow (two packets at least), for a file whose start is damaged; -1 when there is none. The
// file position is left anywhere.
int64_t FindPacketSync(InputFile& file, int64_t limit);

// Reads count bytes of 188-byte packets: as stored for 188-byte files, converted from source
// packets for 192-byte files (count / 188 packets). The first read of a file detects the size.
// Returns the bytes placed in dest, 0 at the end of the file.
int ReadTsPackets(StreamContext& ctx, InputFile& file, uint8_t* dest, int count);

// Reads from the file's position until both PIDs are non-zero; SilentAbort at the end of the file.
void FindAvPidsInFile(StreamContext& ctx, InputFile& file, uint16_t& video_pid,
                      uint16_t& audio_pid);

// Clears both, then stores the PIDs of the first PES starts (00 00 01 checked) in the bytes.
void FindAvPidsInBuffer(const uint8_t* bytes, int count, uint16_t& video_pid, uint16_t& audio_pid,
                        bool check_private_stream) noexcept;

}  // namespace tessaline
