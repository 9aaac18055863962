// SPDX-License-Identifier: GPL-3.0-or-later
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
    Pacer(const StopSignal& stop, std::FILE* file, bool fast) : stop_(stop), fast_(fast) {
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
        if (stop_.raised()) return false;
        if (fast_) return true;
        const auto due = start_ + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(SecondsAt(offset)));
        return !stop_.WaitUntil(due);
    }

  private:
    const StopSignal& stop_;
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

VirtualDeck::VirtualDeck(VirtualDeckConfig config)
    : config_(std::move(config)), power_(config_.power) {}

std::string VirtualDeck::tape_path() const {
    return config_.tape_file.empty() ? config_.file + ".tape" : config_.tape_file;
}

std::vector<DeckCommand> VirtualDeck::commands() const {
    std::lock_guard lock(mu_);
    return commands_;
}

void VirtualDeck::ClearCommands() {
    std::lock_guard lock(mu_);
    commands_.clear();
}

DeckListing VirtualDeck::Listing() const {
    DeckListing listing;
    listing.friendly_name = config_.friendly_name;
    listing.vendor = config_.vendor;
    listing.model = config_.model;
    listing.device_type = config_.device_type;
    listing.offers_ext_device = config_.offers_ext_device;
    listing.has_power_control = config_.has_power_control;
    listing.has_transport_control = config_.has_transport_control;
    return listing;
}

HResult VirtualDeck::GetPower(int32_t& state) {
    state = power_.load();
    return kS_OK;
}

HResult VirtualDeck::SetPower(int32_t state) {
    if (state != ED_POWER_ON && state != ED_POWER_OFF && state != ED_POWER_STANDBY) {
        return kE_INVALIDARG;
    }
    std::lock_guard lock(mu_);
    commands_.push_back({DeckCommand::Kind::Power, state});
    power_ = state;
    return kS_OK;
}

HResult VirtualDeck::SetMode(int32_t mode) {
    std::lock_guard lock(mu_);
    commands_.push_back({DeckCommand::Kind::Transport, mode});
    mode_ = mode;
    return kS_OK;
}

HResult VirtualDeck::Prepare(bool /*playback*/, const std::string& /*path*/) {
    // Nothing to check beforehand: a file that cannot be read ends the stream with an error, as
    // it would on a deck.
    return kS_OK;
}

std::string VirtualDeck::Describe() {
    const int32_t p = power_.load();
    const int32_t m = mode_.load();
    const char* power = p == ED_POWER_ON        ? "on"
                        : p == ED_POWER_OFF     ? "off"
                        : p == ED_POWER_STANDBY ? "standby"
                                                : "unknown";
    const char* mode = m == ED_MODE_STOP            ? "stop"
                       : m == ED_MODE_RECORD        ? "record"
                       : m == ED_MODE_RECORD_FREEZE ? "record-pause"
                                                    : "unknown";
    return "virtual deck playing " + config_.file + ", power " + power + ", transport " + mode;
}

void VirtualDeck::CountDelivery(size_t bytes) noexcept {
    buffers_.fetch_add(1, std::memory_order_relaxed);
    bytes_.fetch_add(bytes, std::memory_order_relaxed);
}

int32_t VirtualDeck::Capture(ISampleGrabberCB& callback, const StopSignal& stop) {
    const VirtualDeckConfig& config = config_;
    // A deck that is not switched on plays nothing.
    if (power() != ED_POWER_ON) return 0;
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
        callback.BufferCB(pacer.SecondsAt(offset), buffer.data(), static_cast<long>(n));
        CountDelivery(n);
        offset += n;
    }
}

// Like a tape deck, the deck takes in whatever it is sent but puts it on tape only while its
// transport is in record: not in record-pause, stop or play.
int32_t VirtualDeck::Playback(const std::string& source_path, const StopSignal& stop) {
    const VirtualDeckConfig& config = config_;
    if (power() != ED_POWER_ON) return 0;
    File source(std::fopen(source_path.c_str(), "rb"));
    if (!source) return EC_ERRORABORT;
    File tape;  // opened at the first bytes recorded
    auto record = [&](const std::vector<uint8_t>& bytes) {
        if (bytes.empty() || transport_mode() != ED_MODE_RECORD) return true;
        if (!tape) {
            const bool fresh = !tape_started_.exchange(true);
            tape.reset(std::fopen(tape_path().c_str(), fresh ? "wb" : "ab"));
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
        CountDelivery(n);
        offset += n;
    }
    if (!record(converted)) return EC_ERRORABORT;
    if (tape && std::fclose(tape.release()) != 0) return EC_ERRORABORT;
    return EC_COMPLETE;
}

}  // namespace tessaline
