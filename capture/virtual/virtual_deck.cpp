// SPDX-License-Identifier: GPL-3.0-or-later
// The virtual deck: plays its file into the grabber, paced at the stream's own rate or as fast as
// the callback takes it, and in a write-to-deck chain puts what it is sent on its tape file.
#include "capture/virtual/virtual_deck.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "capture/source_packets.h"

namespace tessaline {
namespace {

using Clock = std::chrono::steady_clock;

// Enough of the start of a file to measure its rate.
constexpr size_t kRateProbeBytes = 4 << 20;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Paces delivery at the stream's rate; with `fast`, does not wait at all.
class Pacer {
  public:
    Pacer(const VirtualStop& stop, std::FILE* file, bool fast) : stop_(stop), fast_(fast) {
        if (!fast_) {
            std::vector<uint8_t> probe(kRateProbeBytes);
            const size_t n = std::fread(probe.data(), 1, probe.size(), file);
            rate_ = MeasurePlayRate(probe.data(), n).bytes_per_second;
            std::rewind(file);
        }
        start_ = Clock::now();
    }

    double rate() const { return rate_; }
    double SecondsAt(uint64_t offset) const { return static_cast<double>(offset) / rate_; }

    // Waits until the byte at offset is due; false when a stop was asked for meanwhile.
    bool WaitFor(uint64_t offset) {
        if (stop_.requested.load(std::memory_order_acquire)) return false;
        if (fast_) return true;
        const auto due = start_ + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(SecondsAt(offset)));
        std::unique_lock lock(stop_.mu);
        return !stop_.cv.wait_until(lock, due, [&] { return stop_.requested.load(); });
    }

  private:
    const VirtualStop& stop_;
    bool fast_;
    double rate_ = kDefaultPlayBytesPerSecond;
    Clock::time_point start_;
};

// Chunk sizes as the deck is configured: fixed, or random from its seed.
class Chunker {
  public:
    explicit Chunker(const VirtualDeckConfig& c)
        : fixed_(std::max<size_t>(c.chunk_bytes, 1)),
          random_(c.random_chunk_max),
          rng_(c.random_seed),
          pick_(1, std::max<size_t>(c.random_chunk_max, 1)) {}
    size_t largest() const { return random_ > 0 ? random_ : fixed_; }
    size_t next() { return random_ > 0 ? pick_(rng_) : fixed_; }

  private:
    size_t fixed_;
    size_t random_;
    std::mt19937 rng_;
    std::uniform_int_distribution<size_t> pick_;
};

}  // namespace

int32_t PlayVirtualDeck(VirtualDeck& deck, ISampleGrabberCB* callback, bool one_shot,
                        const VirtualStop& stop) {
    const VirtualDeckConfig& config = deck.config();
    // A deck that is not switched on plays nothing.
    if (deck.power() != ED_POWER_ON || !callback) return 0;
    File file(std::fopen(config.file.c_str(), "rb"));
    if (!file) return EC_ERRORABORT;
    Pacer pacer(stop, file.get(), config.fast);
    Chunker chunks(config);
    std::vector<uint8_t> buffer(chunks.largest());
    uint64_t offset = 0;
    for (;;) {
        size_t want = chunks.next();
        if (config.fail_after > 0) {
            if (offset >= config.fail_after) return EC_ERRORABORT;
            want = static_cast<size_t>(std::min<uint64_t>(want, config.fail_after - offset));
        }
        const size_t n = std::fread(buffer.data(), 1, want, file.get());
        if (n == 0) return std::ferror(file.get()) ? EC_ERRORABORT : EC_COMPLETE;
        if (!pacer.WaitFor(offset + n)) return 0;
        callback->BufferCB(pacer.SecondsAt(offset), buffer.data(), static_cast<long>(n));
        deck.CountDelivery(n);
        offset += n;
        if (one_shot) return EC_COMPLETE;
    }
}

// Like a tape deck, the deck takes in whatever it is sent but puts it on tape only while its
// transport is in record: not in record-pause, stop or play.
int32_t RecordOnVirtualDeck(VirtualDeck& deck, const std::string& source_path,
                            const VirtualStop& stop) {
    const VirtualDeckConfig& config = deck.config();
    if (deck.power() != ED_POWER_ON) return 0;
    File source(std::fopen(source_path.c_str(), "rb"));
    if (!source) return EC_ERRORABORT;
    File tape;  // opened at the first bytes recorded
    auto record = [&](const std::vector<uint8_t>& bytes) {
        if (bytes.empty() || deck.transport_mode() != ED_MODE_RECORD) return true;
        if (!tape) {
            tape.reset(std::fopen(deck.tape_path().c_str(), deck.TakeFreshTape() ? "wb" : "ab"));
            if (!tape) return false;
        }
        return std::fwrite(bytes.data(), 1, bytes.size(), tape.get()) == bytes.size();
    };
    Pacer pacer(stop, source.get(), config.fast);
    SourcePacketWrapper wrapper(pacer.rate());
    Chunker chunks(config);
    std::vector<uint8_t> buffer(chunks.largest());
    std::vector<uint8_t> converted;
    converted.reserve(buffer.size() + buffer.size() / 47 + 1024);
    uint64_t offset = 0;
    for (;;) {
        const size_t n = std::fread(buffer.data(), 1, chunks.next(), source.get());
        if (n == 0) {
            if (std::ferror(source.get())) return EC_ERRORABORT;
            wrapper.Flush(converted);
            break;
        }
        if (!pacer.WaitFor(offset + n)) return 0;
        wrapper.Convert(buffer.data(), n, converted);
        if (!record(converted)) return EC_ERRORABORT;
        deck.CountDelivery(n);
        offset += n;
    }
    if (!record(converted)) return EC_ERRORABORT;
    if (tape && std::fclose(tape.release()) != 0) return EC_ERRORABORT;
    return EC_COMPLETE;
}

}  // namespace tessaline
