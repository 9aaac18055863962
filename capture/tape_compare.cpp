// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/tape_compare.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "capture/source_packets.h"
#include "stream/json_writer.h"

namespace tessaline {
namespace {

// Whole packets of either size per read.
constexpr size_t kReadPackets = 4096;
// Packets that must agree in a row before two places are taken to be the same stretch.
constexpr size_t kRun = 8;
// Before the index is built: a packet or a few changed or lost, tried directly.
constexpr size_t kNearby = 16;
// How far past the file's own remaining length what came back is searched for its next
// stretch: further on it is the next file.
constexpr size_t kSlack = 64;
// PCRs count 33 bits of 90 kHz times 300.
constexpr uint64_t kPcrWrap = (uint64_t{1} << 33) * 300;

uint64_t PacketHash(const uint8_t* p) noexcept {
    uint64_t h = 0x9E3779B97F4A7C15ull;
    size_t i = 0;
    for (; i + 8 <= static_cast<size_t>(kTsPacketSize); i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        h = (h ^ w) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 29;
    }
    for (; i < static_cast<size_t>(kTsPacketSize); ++i) h = (h ^ p[i]) * 0x100000001B3ull;
    return h ^ (h >> 32);
}

bool IsNullPacket(const uint8_t* ts) noexcept {
    return ReadPid(ts + 1) == kNullPacketPid;
}

bool Same(const ComparedPacket& a, const ComparedPacket& b) noexcept {
    return a.hash == b.hash && std::memcmp(a.ts, b.ts, kTsPacketSize) == 0;
}

std::string ClockText(double seconds) {
    const long tenths = static_cast<long>(seconds * 10 + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld.%ld", tenths / 36000, tenths / 600 % 60,
                  tenths / 10 % 60, tenths % 10);
    return text;
}

}  // namespace

// ---- The file's side ---------------------------------------------------------------------------

bool FilePackets::Open(const std::string& path, std::string& error) {
    if (!file_.Open(path)) {
        error = path + ": cannot open: " + file_.error();
        return false;
    }
    return Start(error);
}

bool FilePackets::OpenMemory(const uint8_t* data, size_t size, const std::string& name,
                             std::string& error) {
    file_.OpenMemory(data, size, name);
    return Start(error);
}

bool FilePackets::Start(std::string& error) {
    // Enough packets to tell their size by, read without moving the position.
    std::vector<uint8_t> probe(64 * 1024);
    const long n = file_.ReadAt(0, probe.data(), probe.size());
    if (n < 0) {
        error = file_.path() + ": cannot read: " + file_.error();
        return false;
    }
    packet_size_ = DetectPacketSize(probe.data(), static_cast<size_t>(n));
    if (packet_size_ == 0) {
        error = file_.path() + ": not a transport stream of 188- or 192-byte packets";
        return false;
    }
    block_.resize(kReadPackets * static_cast<size_t>(packet_size_));
    return true;
}

bool FilePackets::Next(ComparedPacket& packet) {
    const auto size = static_cast<size_t>(packet_size_);
    for (;;) {
        if (block_pos_ + size > block_len_) {
            if (at_end_ || size == 0) return false;
            block_offset_ += block_pos_;
            const long n = file_.Read(block_.data(), block_.size());
            if (n < 0) {
                error_ = file_.path() + ": cannot read: " + file_.error();
                return false;
            }
            block_pos_ = 0;
            block_len_ = static_cast<size_t>(n);
            at_end_ = block_len_ < block_.size();
            // A torn last packet is no packet.
            if (block_len_ < size) return false;
        }
        const uint8_t* p = block_.data() + block_pos_;
        const uint8_t* ts = p + (size == kSourcePacketSize ? kSourceHeaderSize : 0);
        const uint64_t offset = block_offset_ + block_pos_;
        block_pos_ += size;
        if (IsNullPacket(ts)) continue;
        uint16_t pid = 0;
        uint64_t pcr = 0;
        if (ReadPcr(ts, pid, pcr)) {
            if (pcr_pid_ < 0) {
                pcr_pid_ = pid;
                first_pcr_ = pcr;
            }
            if (pid == pcr_pid_) {
                seconds_ = static_cast<double>((pcr + kPcrWrap - first_pcr_) % kPcrWrap) / kPcrHz;
            }
        }
        std::memcpy(packet.ts, ts, kTsPacketSize);
        packet.hash = PacketHash(packet.ts);
        packet.offset = offset;
        packet.seconds = seconds_;
        return true;
    }
}

// ---- The deck's side ---------------------------------------------------------------------------

ReceivedPackets::ReceivedPackets(size_t limit_bytes) : limit_(limit_bytes) {}

void ReceivedPackets::Push(const uint8_t* data, size_t size) {
    std::lock_guard lock(mu_);
    // Buffers are cut anywhere: what is left of the last one goes first.
    carry_.insert(carry_.end(), data, data + size);
    const size_t whole = static_cast<size_t>(kSourcePacketSize);
    size_t pos = 0;
    while (carry_.size() - pos >= whole) {
        if (carry_[pos + kSourceHeaderSize] != kTsSyncByte) {
            ++pos;
            ++out_of_step_;
            continue;
        }
        const uint8_t* ts = carry_.data() + pos + kSourceHeaderSize;
        pos += whole;
        ++received_;
        if (IsNullPacket(ts)) continue;
        if (queue_.size() - taken_ >= limit_) {
            overflowed_ = true;
            continue;
        }
        queue_.insert(queue_.end(), ts, ts + kTsPacketSize);
    }
    carry_.erase(carry_.begin(), carry_.begin() + static_cast<long>(pos));
    cv_.notify_one();
}

void ReceivedPackets::Finish() {
    {
        std::lock_guard lock(mu_);
        finished_ = true;
    }
    cv_.notify_all();
}

bool ReceivedPackets::Next(ComparedPacket& packet) {
    {
        std::unique_lock lock(mu_);
        cv_.wait(lock, [&] { return taken_ < queue_.size() || finished_; });
        if (taken_ >= queue_.size()) return false;
        std::memcpy(packet.ts, queue_.data() + taken_, kTsPacketSize);
        taken_ += kTsPacketSize;
        // What was taken is let go of now and then, not per packet.
        if (taken_ >= (size_t{1} << 20) && taken_ * 2 >= queue_.size()) {
            queue_.erase(queue_.begin(), queue_.begin() + static_cast<long>(taken_));
            taken_ = 0;
        }
    }
    packet.hash = PacketHash(packet.ts);
    packet.offset = counter_++ * kTsPacketSize;
    packet.seconds = 0;
    return true;
}

bool ReceivedPackets::overflowed() const {
    std::lock_guard lock(mu_);
    return overflowed_;
}

uint64_t ReceivedPackets::packets_received() const {
    std::lock_guard lock(mu_);
    return received_;
}

uint64_t ReceivedPackets::bytes_out_of_step() const {
    std::lock_guard lock(mu_);
    return out_of_step_;
}

// ---- Reports -----------------------------------------------------------------------------------

const char* VerdictText(FileComparison::Verdict verdict) noexcept {
    switch (verdict) {
        case FileComparison::Verdict::Verified:
            return "verified";
        case FileComparison::Verdict::Differs:
            return "differs";
        case FileComparison::Verdict::NotReadBack:
            break;
    }
    return "not read back";
}

std::string ComparisonText(const FileComparison& c) {
    std::string text = c.path + ": " + VerdictText(c.verdict);
    switch (c.verdict) {
        case FileComparison::Verdict::Verified:
            return text + " (" + std::to_string(c.packets) + " packets)";
        case FileComparison::Verdict::NotReadBack:
            return text + " (" + c.error + ")";
        case FileComparison::Verdict::Differs:
            break;
    }
    char at[64];
    std::snprintf(at, sizeof at, " from byte %llu (%s)",
                  static_cast<unsigned long long>(c.first_offset),
                  ClockText(c.first_seconds).c_str());
    return text + at + ": " + std::to_string(c.missing) + " of " + std::to_string(c.packets) +
           " packets missing, " + std::to_string(c.wrong) + " wrong";
}

std::string ComparisonJson(const FileComparison& c) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", c.first_seconds);
    std::string j =
        "{\"file\":" + JsonQuote(c.path) + ",\"result\":" + JsonQuote(VerdictText(c.verdict)) +
        ",\"packets\":" + std::to_string(c.packets) + ",\"matched\":" + std::to_string(c.matched) +
        ",\"missing\":" + std::to_string(c.missing) + ",\"wrong\":" + std::to_string(c.wrong) +
        ",\"first_difference\":";
    if (c.has_difference) {
        j += "{\"offset\":" + std::to_string(c.first_offset) + ",\"seconds\":" + seconds + "}";
    } else {
        j += "null";
    }
    j += ",\"error\":" + (c.error.empty() ? std::string("null") : JsonQuote(c.error));
    return j + "}";
}

// ---- The comparison ----------------------------------------------------------------------------

// The packets of one side not yet settled, read ahead up to a fixed number (a ring, sized once).
class TapeComparer::Window {
  public:
    explicit Window(size_t capacity) : ring_(capacity) {}

    void Attach(PacketSource* source) {
        source_ = source;
        head_ = 0;
        size_ = 0;
        ended_ = false;
    }
    // Reads until n packets are held, the window is full or the source ends; true when n are held.
    bool Ensure(size_t n) {
        n = std::min(n, ring_.size());
        while (size_ < n && !ended_) {
            if (!source_->Next(ring_[(head_ + size_) % ring_.size()])) {
                ended_ = true;
            } else {
                ++size_;
            }
        }
        return size_ >= n && n > 0;
    }
    const ComparedPacket& At(size_t k) const { return ring_[(head_ + k) % ring_.size()]; }
    void Drop(size_t n) {
        n = std::min(n, size_);
        head_ = (head_ + n) % ring_.size();
        size_ -= n;
    }
    size_t size() const noexcept { return size_; }
    // The source has nothing more: the window holds all that is left.
    bool ended() const noexcept { return ended_; }
    PacketSource* source() const noexcept { return source_; }

  private:
    std::vector<ComparedPacket> ring_;
    PacketSource* source_ = nullptr;
    size_t head_ = 0;
    size_t size_ = 0;
    bool ended_ = false;
};

TapeComparer::TapeComparer(PacketSource& received, size_t window)
    : expected_(std::make_unique<Window>(std::max<size_t>(window, 2 * kRun))),
      received_(std::make_unique<Window>(std::max<size_t>(window, 2 * kRun))),
      window_(std::max<size_t>(window, 2 * kRun)) {
    received_->Attach(&received);
    index_.reserve(window_);
}

TapeComparer::~TapeComparer() = default;

bool TapeComparer::FindAgreement(size_t max_received, Match& match) {
    const Window& e = *expected_;
    const Window& r = *received_;
    max_received = std::min(max_received, r.size());
    auto agree = [&](size_t a, size_t b) {
        const size_t run = std::min({kRun, e.size() - a, r.size() - b});
        // Fewer than a full run only where a side has nothing more.
        if (run < kRun && !(e.ended() && a + run == e.size()) &&
            !(r.ended() && b + run == r.size())) {
            return false;
        }
        for (size_t k = 0; k < run; ++k) {
            if (!Same(e.At(a + k), r.At(b + k))) return false;
        }
        return run > 0;
    };
    // A packet or a few changed, lost or added: found without an index.
    for (size_t b = 0; b < std::min(kNearby, max_received); ++b) {
        for (size_t a = 0; a < std::min(kNearby, e.size()); ++a) {
            if (agree(a, b)) {
                match = {a, b};
                return true;
            }
        }
    }
    index_.clear();
    for (size_t a = 0; a < e.size(); ++a) index_.emplace_back(e.At(a).hash, a);
    std::sort(index_.begin(), index_.end());
    for (size_t b = 0; b < max_received; ++b) {
        const uint64_t h = r.At(b).hash;
        auto it = std::lower_bound(index_.begin(), index_.end(), std::make_pair(h, uint32_t{0}));
        for (; it != index_.end() && it->first == h; ++it) {
            if (agree(it->second, b)) {
                match = {it->second, b};
                return true;
            }
        }
    }
    return false;
}

void TapeComparer::NoteDifference(FileComparison& c) {
    if (c.has_difference) return;
    c.has_difference = true;
    if (expected_->size() > 0) {
        c.first_offset = expected_->At(0).offset;
        c.first_seconds = expected_->At(0).seconds;
    }
}

void TapeComparer::CountRestMissing(FileComparison& c) {
    expected_->Ensure(1);
    if (expected_->size() == 0) return;
    NoteDifference(c);
    c.packets += expected_->size();
    c.missing += expected_->size();
    expected_->Drop(expected_->size());
    ComparedPacket packet;
    while (expected_->source()->Next(packet)) {
        ++c.packets;
        ++c.missing;
    }
}

FileComparison TapeComparer::Compare(PacketSource& expected, const std::string& path) {
    FileComparison c;
    c.path = path;
    Window& e = *expected_;
    Window& r = *received_;
    e.Attach(&expected);
    const bool first = first_file_;
    first_file_ = false;

    // Where the file starts in what came back. Before the first file anything may come back
    // (what the tape held before the write); later ones follow the one before.
    for (;;) {
        e.Ensure(window_);
        r.Ensure(window_);
        if (e.size() == 0) break;
        if (r.size() == 0) {
            CountRestMissing(c);
            break;
        }
        Match m;
        if (FindAgreement(r.size(), m)) {
            if (m.expected > 0) NoteDifference(c);
            c.packets += m.expected;
            c.missing += m.expected;
            e.Drop(m.expected);
            r.Drop(m.received);
            break;
        }
        if (first && !r.ended()) {
            r.Drop(r.size() / 2);
            continue;
        }
        if (e.ended()) {
            CountRestMissing(c);
            break;
        }
        // The file's first stretch did not come back: look for the next one.
        NoteDifference(c);
        const size_t skip = e.size() / 2;
        c.packets += skip;
        c.missing += skip;
        e.Drop(skip);
    }

    // Packet for packet, finding the way back after every difference.
    while (e.Ensure(1)) {
        if (!r.Ensure(1)) {
            CountRestMissing(c);
            break;
        }
        if (Same(e.At(0), r.At(0))) {
            ++c.packets;
            ++c.matched;
            last_matched_ = r.At(0);
            have_last_ = true;
            e.Drop(1);
            r.Drop(1);
            continue;
        }
        // A deck may send a packet twice.
        if (have_last_ && Same(r.At(0), last_matched_)) {
            r.Drop(1);
            continue;
        }
        NoteDifference(c);
        e.Ensure(window_);
        r.Ensure(window_);
        // Past the file's own remaining length what came back belongs to the next file.
        const size_t bound = e.ended() ? e.size() + kSlack : r.size();
        Match m;
        if (FindAgreement(bound, m)) {
            c.packets += m.expected;
            c.wrong += m.received;
            c.missing += m.expected > m.received ? m.expected - m.received : 0;
            e.Drop(m.expected);
            r.Drop(m.received);
            continue;
        }
        if (e.ended()) {
            CountRestMissing(c);
            break;
        }
        // A long stretch lost: the file goes on further ahead.
        const size_t skip = e.size() / 2;
        c.packets += skip;
        c.missing += skip;
        e.Drop(skip);
    }
    c.verdict = c.missing == 0 && c.wrong == 0 ? FileComparison::Verdict::Verified
                                               : FileComparison::Verdict::Differs;
    return c;
}

}  // namespace tessaline
