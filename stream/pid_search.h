// Reading TS files whatever their packet size, finding their video and audio PIDs, and the
// cancellation that ends long file work.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

namespace tessaline {

class InputFile;
struct StreamContext;

inline constexpr int kReadBufferSize = 188000;  // 1000 TS packets
inline constexpr int kProbeSize = 1920;
inline constexpr size_t kMaxSyncGaps = 100;

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

// A place where a file lost packet sync (bytes inserted or missing): the file offset of the first
// packet found without its sync byte, where sync was found again (-1: not, or not looked for),
// the bytes from the loss to there (to the end of the file when it never came back), and whether
// a packet of the converted streams was among what was passed over.
struct SyncGap {
    int64_t at = 0;
    int64_t resumed_at = -1;
    int64_t unconverted = 0;
    bool lost_packets = false;
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

    // Where the last conversion lost packet sync (at most kMaxSyncGaps places are kept).
    std::vector<SyncGap> sync_gaps;

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

// Looks for packet sync again in a file of packet_size packets that lost it at lost_at: the first
// offset after it, at most limit bytes on, where packets start again (every packet start of the
// next ten, or of what is left, holds a sync byte). resumed_at is -1 when there is none. A packet
// of video_pid or audio_pid starting after the last packet converted before the loss, and before
// the place found, marks lost_packets: what is passed over was more than garbage.
SyncGap FindSyncAfter(InputFile& file, int64_t lost_at, int64_t limit, int packet_size,
                      uint16_t video_pid, uint16_t audio_pid);

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
