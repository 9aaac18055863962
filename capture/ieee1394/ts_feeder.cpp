// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/ieee1394/ts_feeder.h"

#include <algorithm>
#include <cstring>

#include "capture/source_packets.h"

namespace tessaline::fw {
namespace {

// How far the file is read ahead, and in what pieces.
constexpr size_t kReadAheadBytes = size_t{4} << 20;
constexpr size_t kReadChunkPackets = 512;
// One bus cycle in 27 MHz ticks (the PCR clock), and in 24.576 MHz ticks (the stamps' clock).
constexpr int64_t kPcrTicksPerCycle = 3375;
constexpr int64_t kStampTicksPerCycle = 3072;
constexpr unsigned kCyclesPerSecond = 8000;
// PCRs count modulo 2^33 * 300.
constexpr uint64_t kPcrModulus = (uint64_t{1} << 33) * 300;
// A step between PCRs longer than this is a discontinuity, not time.
constexpr uint64_t kLongestPcrStep = 27000000;

// Gives every TS packet its time from the PCRs around it. Packets wait until the next PCR of the
// PCR PID comes, then share the interval evenly; before the first PCR, at a discontinuity, after
// the last PCR, and when a PCR is long in coming, they go on at the last known pace.
class PacketClock {
  public:
    explicit PacketClock(double ticks_per_packet, size_t longest_wait)
        : ticks_per_packet_(ticks_per_packet), longest_wait_(longest_wait) {}

    // One more packet, waiting for its time; `due` receives the times of those that have one now.
    void Add(const uint8_t* ts, std::vector<int64_t>& due) {
        ++waiting_;
        uint16_t pid = 0;
        uint64_t pcr = 0;
        if (ReadPcr(ts, pid, pcr) && (pcr_pid_ < 0 || pid == pcr_pid_)) {
            pcr_pid_ = pid;
            TimeWaiting(pcr, due);
        } else if (waiting_ >= longest_wait_) {
            AtPace(due);
            stale_ = true;
        }
    }
    // At the end: the packets still waiting go on at the last pace.
    void Flush(std::vector<int64_t>& due) { AtPace(due); }
    size_t waiting() const noexcept { return waiting_; }

  private:
    void AtPace(std::vector<int64_t>& due) {
        for (size_t i = 0; i < waiting_; ++i) {
            due.push_back(next_);
            next_ = Advance(next_, ticks_per_packet_);
        }
        waiting_ = 0;
    }
    int64_t Advance(int64_t at, double ticks) {
        carry_ += ticks;
        const auto whole = static_cast<int64_t>(carry_);
        carry_ -= static_cast<double>(whole);
        return at + whole;
    }
    void TimeWaiting(uint64_t pcr, std::vector<int64_t>& due) {
        const uint64_t step = (pcr + kPcrModulus - last_pcr_) % kPcrModulus;
        if (have_pcr_ && !stale_ && step > 0 && step < kLongestPcrStep) {
            // The interval from the last PCR packet to this one, shared by the packets in it.
            const size_t n = waiting_;
            for (size_t i = 1; i <= n; ++i) {
                due.push_back(last_due_ + static_cast<int64_t>(step * i / n));
            }
            ticks_per_packet_ = static_cast<double>(step) / static_cast<double>(n);
            last_due_ += static_cast<int64_t>(step);
            carry_ = 0;
            next_ = Advance(last_due_, ticks_per_packet_);
            waiting_ = 0;
        } else {
            // The first PCR, or one that jumped: the packets keep the pace; this PCR is the new
            // reference for the next step.
            AtPace(due);
            last_due_ = due.back();
        }
        have_pcr_ = true;
        stale_ = false;
        last_pcr_ = pcr;
    }

    double ticks_per_packet_;
    size_t longest_wait_;
    int pcr_pid_ = -1;
    bool have_pcr_ = false;
    bool stale_ = false;
    uint64_t last_pcr_ = 0;
    int64_t last_due_ = 0;  // the time of the last PCR packet
    int64_t next_ = 0;      // the time the next packet at pace would get
    double carry_ = 0;
    size_t waiting_ = 0;
};

}  // namespace

TsFeeder::TsFeeder(std::FILE* file, const TransmitPlan& plan, uint8_t source_id)
    : file_(file), plan_(plan), writer_(source_id), reader_([this] { ReadAhead(); }) {}

TsFeeder::~TsFeeder() {
    {
        std::lock_guard lock(mu_);
        quit_ = true;
    }
    room_.notify_all();
    reader_.join();
}

bool TsFeeder::read_error() const noexcept {
    std::lock_guard lock(mu_);
    return reader_failed_;
}

size_t TsFeeder::packets_read_ahead() const {
    std::lock_guard lock(mu_);
    return buffered_ / kTsBytes;
}

bool TsFeeder::read_to_end() const {
    std::lock_guard lock(mu_);
    return reader_finished_;
}

double TsFeeder::filled_seconds() const noexcept {
    return static_cast<double>(filled_due_.load(std::memory_order_relaxed)) / kPcrHz;
}

void TsFeeder::Restart() {
    restart_.store(true, std::memory_order_relaxed);
}

void TsFeeder::ReadAhead() {
    const size_t size = static_cast<size_t>(plan_.packet_size);
    const bool valid = size == kTsBytes || size == kSourcePacketBytes;
    const double per_second = plan_.ts_packets_per_second > 0 ? plan_.ts_packets_per_second : 1;
    // A PCR is waited for at most a second's packets.
    PacketClock clock(kPcrHz / per_second, std::max<size_t>(1000, static_cast<size_t>(per_second)));
    std::vector<uint8_t> raw(kReadChunkPackets * (valid ? size : kTsBytes));
    Chunk building;
    uint64_t packets = 0;
    bool failed = !valid || file_ == nullptr;
    bool at_end = false;
    while (!failed && !at_end) {
        {
            std::unique_lock lock(mu_);
            room_.wait(lock, [&] { return quit_ || buffered_ < kReadAheadBytes; });
            if (quit_) break;
        }
        const size_t n = std::fread(raw.data(), 1, raw.size(), file_);
        if (n % size != 0 || std::ferror(file_) != 0) {
            failed = true;  // a cut packet, or a read error
            break;
        }
        packets += n / size;
        for (size_t pos = 0; pos < n; pos += size) {
            // 192-byte files carry their own arrival stamps; the deck gets ours.
            const uint8_t* ts = raw.data() + pos + (size - kTsBytes);
            building.ts.insert(building.ts.end(), ts, ts + kTsBytes);
            clock.Add(ts, building.due);
        }
        if (n == 0) {
            // The end, where the scan found it; a file that shrank meanwhile is an error.
            failed = packets != plan_.packets;
            at_end = true;
            clock.Flush(building.due);
        }
        // The packets that have their time go to Fill; those still waiting for a PCR stay.
        const size_t timed = building.due.size();
        if (timed == 0) continue;
        Chunk ready;
        ready.due.swap(building.due);
        ready.ts.assign(building.ts.begin(),
                        building.ts.begin() + static_cast<long>(timed * kTsBytes));
        building.ts.erase(building.ts.begin(),
                          building.ts.begin() + static_cast<long>(timed * kTsBytes));
        std::lock_guard lock(mu_);
        buffered_ += ready.ts.size();
        chunks_.push_back(std::move(ready));
    }
    std::lock_guard lock(mu_);
    reader_finished_ = true;
    reader_failed_ = failed;
}

bool TsFeeder::Peek(int64_t& due) {
    std::lock_guard lock(mu_);
    while (!chunks_.empty() && chunks_.front().used == chunks_.front().due.size()) {
        chunks_.pop_front();
    }
    if (chunks_.empty()) {
        if (reader_finished_) done_.store(true, std::memory_order_release);
        return false;
    }
    due = chunks_.front().due[chunks_.front().used];
    return true;
}

void TsFeeder::Take(uint8_t* ts188) {
    {
        std::lock_guard lock(mu_);
        Chunk& front = chunks_.front();
        std::memcpy(ts188, front.ts.data() + front.used * kTsBytes, kTsBytes);
        ++front.used;
        buffered_ -= kTsBytes;
    }
    room_.notify_one();
}

size_t TsFeeder::Fill(uint8_t* data, size_t capacity, unsigned cycle, unsigned& tag, unsigned& sy) {
    tag = kCipTag;
    sy = 0;
    cycle %= kCyclesPerSecond;
    // Every cycle gets one packet, so the cycles are counted here. The sink's cycle number is
    // followed when it runs ahead (the queue ran dry and the bus went on without us); one behind
    // is the library's estimate being off, not time going back.
    if (!have_cycle_) {
        have_cycle_ = true;
        bus_cycle_ = cycle;
    } else {
        ++bus_cycle_;
        const auto ours = static_cast<unsigned>(bus_cycle_ % kCyclesPerSecond);
        const unsigned ahead = (cycle + kCyclesPerSecond - ours) % kCyclesPerSecond;
        if (ahead >= 2 && ahead < kCyclesPerSecond / 2) bus_cycle_ += ahead;
    }
    if (restart_.exchange(false, std::memory_order_relaxed)) anchored_ = false;

    uint8_t packets[kMaxSourcePacketsPerCycle * kSourcePacketBytes];
    int count = 0;
    int64_t due = 0;
    if (!Done() && (anchored_ || Peek(due))) {
        if (!anchored_) {
            // The stream's time starts now: the next packet goes out in this cycle.
            anchored_ = true;
            anchor_cycle_ = bus_cycle_;
            anchor_due_ = due;
        }
        // The stream time at the start of this cycle.
        const int64_t now = anchor_due_ + (bus_cycle_ - anchor_cycle_) * kPcrTicksPerCycle;
        while (count < kMaxSourcePacketsPerCycle) {
            if (!Peek(due)) {
                if (!Done()) underruns_.fetch_add(1, std::memory_order_relaxed);
                break;
            }
            if (due >= now + kPcrTicksPerCycle) break;  // due in a later cycle
            uint8_t* sp = packets + count * kSourcePacketBytes;
            Take(sp + kSphBytes);
            // The packet's own time, a few cycles on, on the bus's clock.
            const int64_t stamp = (anchor_cycle_ + kStampDelayCycles) * kStampTicksPerCycle +
                                  (due - anchor_due_) * kStampTicksPerCycle / kPcrTicksPerCycle;
            WriteSourcePacketHeader(
                sp, static_cast<unsigned>((stamp / kStampTicksPerCycle) % kCyclesPerSecond),
                static_cast<unsigned>(stamp % kStampTicksPerCycle));
            if (now + kPcrTicksPerCycle > due + int64_t{kStampDelayCycles} * kPcrTicksPerCycle) {
                late_.fetch_add(1, std::memory_order_relaxed);
            }
            filled_due_.store(due, std::memory_order_relaxed);
            ++count;
        }
        // The last packet taken may have been the file's last: say so now, not a cycle later.
        if (count > 0) Peek(due);
    }
    const size_t length = writer_.SourcePackets(data, capacity, packets, count);
    sent_.fetch_add(static_cast<uint64_t>(count), std::memory_order_relaxed);
    return length;
}

}  // namespace tessaline::fw
