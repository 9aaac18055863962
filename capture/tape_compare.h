// SPDX-License-Identifier: GPL-3.0-or-later
// Comparing files written to tape with what the deck plays back. Both sides become TS packets
// without their source-packet headers and without null packets (a deck adds and drops those
// freely); the files are then found one after another in what came back, packet for packet.
// Blank stretches give no packets, packets a deck repeats are passed over, and what comes back
// before a file starts or after it ends is not the file's business. Qt-free, no deck needed.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "stream/input_file.h"
#include "stream/ts_format.h"

namespace tessaline {

inline constexpr uint16_t kNullPacketPid = 0x1FFF;

// One TS packet and where it was.
struct ComparedPacket {
    uint8_t ts[kTsPacketSize];
    uint64_t hash = 0;
    uint64_t offset = 0;  // byte offset of its (source) packet in the file
    double seconds = 0;   // stream time: by the file's PCRs, from its first one
};

class PacketSource {
  public:
    virtual ~PacketSource() = default;
    // The next packet that is not a null packet; false at the end (or after a failure).
    virtual bool Next(ComparedPacket& packet) = 0;
};

// The packets of a TS file of 188- or 192-byte packets.
class FilePackets final : public PacketSource {
  public:
    // False with the reason, naming the file, in error.
    bool Open(const std::string& path, std::string& error);
    // Bytes already in memory, which must outlive the reading (tests, benchmarks).
    bool OpenMemory(const uint8_t* data, size_t size, const std::string& name, std::string& error);
    bool Next(ComparedPacket& packet) override;
    // Why reading stopped before the end; empty when it did not.
    const std::string& error() const noexcept { return error_; }

  private:
    bool Start(std::string& error);

    InputFile file_;
    int packet_size_ = 0;
    std::vector<uint8_t> block_;
    size_t block_pos_ = 0;
    size_t block_len_ = 0;
    uint64_t block_offset_ = 0;  // file offset of block_[0]
    bool at_end_ = false;
    int pcr_pid_ = -1;
    uint64_t first_pcr_ = 0;
    double seconds_ = 0;
    std::string error_;
};

// What a deck sends back: 192-byte source packets in buffers cut anywhere, pushed by the
// receiving thread and taken by the comparing one. A buffer out of step is brought back into
// step at the next sync byte. Holds at most `limit_bytes` not yet taken: beyond that, what
// arrives is dropped and the comparison is marked as fallen behind.
class ReceivedPackets final : public PacketSource {
  public:
    explicit ReceivedPackets(size_t limit_bytes = size_t{256} << 20);

    // Receiving thread.
    void Push(const uint8_t* data, size_t size);
    // Nothing more will come: Next returns false once the rest is taken.
    void Finish();

    // Comparing thread: waits for a packet or the end.
    bool Next(ComparedPacket& packet) override;

    bool overflowed() const;
    uint64_t packets_received() const;
    uint64_t bytes_out_of_step() const;

  private:
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<uint8_t> queue_;  // whole 188-byte TS packets
    size_t taken_ = 0;
    std::vector<uint8_t> carry_;  // a source packet cut by the buffer's end
    size_t limit_;
    bool finished_ = false;
    bool overflowed_ = false;
    uint64_t received_ = 0;
    uint64_t out_of_step_ = 0;
    uint64_t counter_ = 0;
};

struct FileComparison {
    enum class Verdict { Verified, Differs, NotReadBack };
    std::string path;
    Verdict verdict = Verdict::NotReadBack;
    uint64_t packets = 0;  // the file's TS packets, null packets left out
    uint64_t matched = 0;
    uint64_t missing = 0;  // the file's packets that did not come back
    uint64_t wrong = 0;    // packets that came back in place of the file's, or among them
    // The first packet of the file that did not come back as it is: byte offset and stream time.
    bool has_difference = false;
    uint64_t first_offset = 0;
    double first_seconds = 0;
    // Why the file could not be read, or why nothing could be read back.
    std::string error;
};

// "verified", "differs", "not read back".
const char* VerdictText(FileComparison::Verdict verdict) noexcept;
// "first.ts: verified (1234 packets)", "first.ts: differs from 0x1234 (00:00:03.2): 1066
// packets missing, 0 wrong", "first.ts: not read back (why)".
std::string ComparisonText(const FileComparison& c);
// The same as one JSON object.
std::string ComparisonJson(const FileComparison& c);

class TapeComparer {
  public:
    // How far ahead each side is looked at to find where the two agree again: packets lost or
    // changed in a row beyond about this many are not found again within the file.
    static constexpr size_t kDefaultWindow = size_t{1} << 16;

    explicit TapeComparer(PacketSource& received, size_t window = kDefaultWindow);
    ~TapeComparer();
    TapeComparer(const TapeComparer&) = delete;
    TapeComparer& operator=(const TapeComparer&) = delete;

    // Finds the next file in what came back and compares it. The first file may be preceded by
    // anything (what was on the tape before the write); a later one starts where the one before
    // it ended.
    FileComparison Compare(PacketSource& expected, const std::string& path);

  private:
    class Window;
    struct Match {
        size_t expected = 0;
        size_t received = 0;
    };
    // The nearest place, at most max_received packets into what came back, where both sides
    // agree for a run of packets. False when there is none in the windows.
    bool FindAgreement(size_t max_received, Match& match);
    void NoteDifference(FileComparison& c);
    void CountRestMissing(FileComparison& c);

    std::unique_ptr<Window> expected_;
    std::unique_ptr<Window> received_;
    size_t window_;
    std::vector<std::pair<uint64_t, uint32_t>> index_;  // hash, position in the expected window
    ComparedPacket last_matched_{};
    bool have_last_ = false;
    bool first_file_ = true;
};

}  // namespace tessaline
