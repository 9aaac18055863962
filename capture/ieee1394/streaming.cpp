#include "capture/ieee1394/streaming.h"

#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <vector>

#include "capture/ieee1394/enumerate.h"
#include "capture/source_packets.h"

namespace tessaline::fw {
namespace {

// Bytes read from the start of a file to measure its rate.
constexpr size_t kRateProbeBytes = 4 << 20;
constexpr unsigned kCyclesPerSecond = 8000;
// Source packet time stamps point this many cycles ahead of the cycle that sends them, which
// gives the deck's buffer the slack it expects.
constexpr unsigned kStampDelayCycles = 3;

// Waits for the iso handle or the stop signal; true when the iso handle is readable.
bool WaitReadable(int iso_fd, const StopSignal& stop, std::chrono::milliseconds timeout) {
    pollfd fds[2] = {{iso_fd, POLLIN | POLLPRI, 0}, {stop.fd(), POLLIN, 0}};
    const nfds_t count = stop.fd() >= 0 ? 2 : 1;
    // Without an eventfd the stop flag is looked at every few milliseconds instead.
    const int ms = stop.fd() >= 0 ? static_cast<int>(timeout.count()) : 10;
    const int n = poll(fds, count, ms);
    return n > 0 && (fds[0].revents & (POLLIN | POLLPRI | POLLERR | POLLHUP)) != 0;
}

class ParsingSink final : public IsoPacketSink {
  public:
    ParsingSink(CipReceiver& parser, std::vector<uint8_t>& buffer, IsoPacketSink* tap)
        : parser_(parser), buffer_(buffer), tap_(tap) {}
    bool Packet(const IsoPacket& packet) override {
        if (tap_ != nullptr) tap_->Packet(packet);
        parser_.Parse(packet, buffer_);
        return true;
    }

  private:
    CipReceiver& parser_;
    std::vector<uint8_t>& buffer_;
    IsoPacketSink* tap_;
};

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

int32_t ReceiveLoop(Ieee1394Port& port, uint64_t guid, ISampleGrabberCB& callback,
                    const StopSignal& stop, const StreamTiming& timing, LinkReportBox& box,
                    IsoPacketSink* tap) {
    LinkReport report;
    CmpConnection conn;
    conn.input_phy = -1;
    int channel = -1;
    uint32_t generation = 0;
    {
        std::lock_guard lock(port.mutex());
        generation = port.bus().Bus().Generation();
        const std::optional<int> phy = FindPhyByGuid(port.bus().Bus(), guid);
        if (!phy) {
            report.error = "the deck is not on the bus";
            box.Set(report);
            return EC_ERRORABORT;
        }
        conn.output_phy = *phy;
        channel = port.bus().Cmp().Connect(conn);
    }
    report.connected = channel >= 0;
    // A deck without plug registers, or one that already broadcasts, is heard on 63 and needs no
    // connection restored after a bus reset.
    const bool broadcast = channel < 0;
    if (broadcast) channel = kBroadcastChannel;
    report.channel = channel;

    auto disconnect = [&] {
        if (!report.connected) return;
        std::lock_guard lock(port.mutex());
        port.bus().Cmp().Disconnect(conn);
        report.connected = false;
    };

    std::unique_ptr<IIsoSource> source = port.bus().OpenIsoSource();
    if (!source || !source->Start(channel)) {
        disconnect();
        report.error = "cannot receive on channel " + std::to_string(channel);
        box.Set(report);
        return EC_ERRORABORT;
    }
    CipReceiver parser(channel, CipReceiver::Output::SourcePackets);
    std::vector<uint8_t> buffer;
    buffer.reserve(timing.deliver_bytes + kMaxIsoPayload * 256);
    ParsingSink sink(parser, buffer, tap);
    const auto start = Clock::now();
    bool away = false;
    Clock::time_point away_since{};
    int32_t event = 0;
    box.Set(report);

    // Packets heard on our channel, and when the last of them came.
    auto heard = [&] { return parser.stats().packets - parser.stats().wrong_channel; };
    uint64_t heard_before = 0;
    Clock::time_point last_heard = Clock::now();
    Clock::time_point last_silence_retry = last_heard;

    while (!stop.raised()) {
        // Without a source (its handle went with the deck) the poll only waits for stop.
        const bool readable = WaitReadable(source ? source->Fd() : -1, stop, timing.poll);
        if (stop.raised()) break;
        IsoStatus status = IsoStatus::Ok;
        if (readable && source) status = source->Iterate(sink);
        if (!buffer.empty()) {
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            callback.BufferCB(seconds, buffer.data(), static_cast<long>(buffer.size()));
            report.bytes_delivered += buffer.size();
            buffer.clear();
        }
        report.cip = parser.stats();
        const auto now = Clock::now();
        if (heard() != heard_before) {
            heard_before = heard();
            last_heard = now;
            last_silence_retry = now;
        }
        if (status == IsoStatus::Error) {
            // libraw1394 may have opened the iso handle on the deck's own /dev/fw node, which goes
            // when the deck is unplugged. After a change on the bus, listen afresh once the deck
            // is back rather than give up.
            bool bus_changed = false;
            {
                std::lock_guard lock(port.mutex());
                bus_changed = port.bus().Bus().Generation() != generation ||
                              FindPhyByGuid(port.bus().Bus(), guid) != conn.output_phy;
            }
            if (!bus_changed) {
                report.error = "the receive handle failed";
                event = EC_ERRORABORT;
                break;
            }
            source->Stop();
            source.reset();
            status = IsoStatus::BusReset;
        }
        if (status == IsoStatus::End) {
            event = EC_COMPLETE;
            break;
        }

        bool reset = status == IsoStatus::BusReset;
        bool silent = false;
        if (!reset && !away && now - last_heard >= timing.silence) {
            if (now - last_heard >= timing.silence + timing.reconnect_deadline) {
                report.error =
                    "no stream from the deck on channel " + std::to_string(channel) + " for " +
                    std::to_string(
                        std::chrono::duration_cast<std::chrono::seconds>(now - last_heard)
                            .count()) +
                    " s";
                event = EC_ERRORABORT;
                break;
            }
            // Quiet without a reset: connect again, once per silence period.
            silent = now - last_silence_retry >= timing.silence;
            if (silent) last_silence_retry = now;
        }
        std::optional<int> phy;
        int new_channel = -1;
        if (reset || away || silent) {
            std::lock_guard lock(port.mutex());
            generation = port.bus().Bus().Generation();
            phy = FindPhyByGuid(port.bus().Bus(), guid);
            if (!phy) {
                // Plugged in again but not yet seen (its node could not be opened at once).
                port.bus().Bus().Rescan();
                phy = FindPhyByGuid(port.bus().Bus(), guid);
            }
            if (phy) {
                conn.output_phy = *phy;
                if (silent && report.connected) {
                    port.bus().Cmp().Disconnect(conn);
                    report.connected = false;
                }
                new_channel = report.connected ? port.bus().Cmp().Reconnect(conn)
                                               : port.bus().Cmp().Connect(conn);
                if (new_channel >= 0) {
                    report.connected = true;
                } else if (broadcast) {
                    new_channel = channel;
                }
            }
        } else {
            std::lock_guard lock(port.mutex());
            if (port.bus().Bus().Generation() != generation) {
                // A reset the iso handle did not report; look again on the next round.
                away = true;
                away_since = now;
            }
            box.Set(report);
            continue;
        }
        if (!phy || new_channel < 0) {
            // Unplugged, or its plug not back yet: keep what we have, wait a little longer.
            if (!away) {
                away = true;
                away_since = now;
            }
            if (now - away_since >= timing.reconnect_deadline) {
                report.error = phy ? "the connection to the deck could not be restored"
                                   : "the deck left the bus";
                event = EC_ERRORABORT;
                break;
            }
            box.Set(report);
            continue;
        }
        away = false;
        ++report.reconnects;
        if (!silent) {
            // Back after a reset: the silence clock starts again (a quiet deck does not).
            last_heard = now;
            last_silence_retry = now;
        }
        if (new_channel != channel || silent || !source) {
            // A new channel, a quiet one, or a handle lost with the deck: listen afresh.
            if (source) source->Stop();
            source = port.bus().OpenIsoSource();
            if (!source || !source->Start(new_channel)) {
                report.error = "cannot receive on channel " + std::to_string(new_channel);
                event = EC_ERRORABORT;
                break;
            }
            channel = new_channel;
            report.channel = channel;
            parser.SetChannel(channel);
        } else {
            parser.Restart();
        }
        box.Set(report);
    }
    if (source) source->Stop();
    source.reset();
    disconnect();
    report.cip = parser.stats();
    box.Set(report);
    return event;
}

bool ScanTransmitFile(const std::string& path, TransmitPlan& plan, std::string& error) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    std::vector<uint8_t> probe(kRateProbeBytes);
    const size_t n = std::fread(probe.data(), 1, probe.size(), file.get());
    if (n == 0) {
        error = path + ": the file is empty";
        return false;
    }
    plan.packet_size = DetectPacketSize(probe.data(), n);
    if (plan.packet_size == 0) {
        error = path + ": not a transport stream of 188- or 192-byte packets";
        return false;
    }
    if (std::fseek(file.get(), 0, SEEK_END) != 0) {
        error = path + ": cannot find its size";
        return false;
    }
    const long size = std::ftell(file.get());
    if (size < 0 || size % plan.packet_size != 0) {
        error = path + ": the file ends with an incomplete packet";
        return false;
    }
    plan.packets = static_cast<uint64_t>(size) / static_cast<uint64_t>(plan.packet_size);
    const PlayRate rate = MeasurePlayRate(probe.data(), n);
    if (rate.source != PlayRate::Source::Pcr) {
        error = path + ": no PCR in the first " + std::to_string(kRateProbeBytes >> 20) +
                " MiB to pace the stream by";
        return false;
    }
    plan.ts_packets_per_second = rate.bytes_per_second / plan.packet_size;
    if (plan.ts_packets_per_second / kCyclesPerSecond > kMaxSourcePacketsPerCycle) {
        error = path + ": the stream is faster than the bus can carry";
        return false;
    }
    return true;
}

namespace {
// How far the file is read ahead, and in what pieces.
constexpr size_t kReadAheadBytes = size_t{4} << 20;
constexpr size_t kReadChunkPackets = 512;
}  // namespace

TsFeeder::TsFeeder(std::FILE* file, const TransmitPlan& plan, uint8_t source_id)
    : file_(file),
      plan_(plan),
      writer_(source_id),
      per_cycle_(plan.ts_packets_per_second / kCyclesPerSecond),
      reader_([this] { ReadAhead(); }) {}

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

void TsFeeder::ReadAhead() {
    const size_t size = static_cast<size_t>(plan_.packet_size);
    const bool valid = size == kTsBytes || size == kSourcePacketBytes;
    std::vector<uint8_t> raw(kReadChunkPackets * (valid ? size : kTsBytes));
    uint64_t packets = 0;
    bool failed = !valid || file_ == nullptr;
    while (!failed) {
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
        if (n == 0) {
            // The end, where the scan found it; a file that shrank meanwhile is an error.
            failed = packets != plan_.packets;
            break;
        }
        std::vector<uint8_t> chunk;
        chunk.reserve(n / size * kTsBytes);
        for (size_t pos = 0; pos < n; pos += size) {
            // 192-byte files carry their own arrival stamps; the deck gets ours.
            const uint8_t* ts = raw.data() + pos + (size - kTsBytes);
            chunk.insert(chunk.end(), ts, ts + kTsBytes);
        }
        packets += n / size;
        std::lock_guard lock(mu_);
        buffered_ += chunk.size();
        chunks_.push_back(std::move(chunk));
    }
    std::lock_guard lock(mu_);
    reader_finished_ = true;
    reader_failed_ = failed;
}

// Takes the next TS packet read ahead. False when none is there: `ended` tells whether none
// ever will be.
bool TsFeeder::NextPacket(uint8_t* ts188) {
    bool took = false;
    {
        std::lock_guard lock(mu_);
        if (!chunks_.empty()) {
            std::vector<uint8_t>& front = chunks_.front();
            std::memcpy(ts188, front.data() + front_used_, kTsBytes);
            front_used_ += kTsBytes;
            buffered_ -= kTsBytes;
            if (front_used_ >= front.size()) {
                chunks_.pop_front();
                front_used_ = 0;
            }
            took = true;
        } else if (reader_finished_) {
            done_.store(true, std::memory_order_release);
        }
    }
    if (took) room_.notify_one();
    return took;
}

size_t TsFeeder::Fill(uint8_t* data, size_t capacity, unsigned cycle, unsigned& tag, unsigned& sy) {
    tag = kCipTag;
    sy = 0;
    uint8_t packets[kMaxSourcePacketsPerCycle * kSourcePacketBytes];
    int count = 0;
    if (!Done()) {
        credit_ += per_cycle_;
        const unsigned stamp_cycle = (cycle + kStampDelayCycles) % kCyclesPerSecond;
        while (credit_ >= 1.0 && count < kMaxSourcePacketsPerCycle) {
            uint8_t* sp = packets + count * kSourcePacketBytes;
            if (!NextPacket(sp + kSphBytes)) {
                if (!Done()) underruns_.fetch_add(1, std::memory_order_relaxed);
                break;
            }
            // Spread the packets of one cycle over it (3072 ticks per cycle).
            WriteSourcePacketHeader(
                sp, stamp_cycle, static_cast<unsigned>(count) * 3072 / kMaxSourcePacketsPerCycle);
            ++count;
            credit_ -= 1.0;
        }
        if (credit_ > kMaxSourcePacketsPerCycle) credit_ = kMaxSourcePacketsPerCycle;
        // The last packet taken may have been the file's last: say so now, not a cycle later.
        if (count > 0) {
            std::lock_guard lock(mu_);
            if (chunks_.empty() && reader_finished_) done_.store(true, std::memory_order_release);
        }
    }
    const size_t length = writer_.SourcePackets(data, capacity, packets, count);
    sent_.fetch_add(static_cast<uint64_t>(count), std::memory_order_relaxed);
    return length;
}

int32_t TransmitLoop(Ieee1394Port& port, uint64_t guid, const std::string& path,
                     const StopSignal& stop, const StreamTiming& timing, LinkReportBox& box,
                     std::optional<CmpConnection> existing) {
    LinkReport report;
    // A connection handed over is ours to undo, whatever happens.
    auto fail = [&](std::string error) {
        if (existing && existing->channel >= 0) {
            std::lock_guard lock(port.mutex());
            port.bus().Cmp().Disconnect(*existing);
        }
        report.error = std::move(error);
        box.Set(report);
        return EC_ERRORABORT;
    };
    TransmitPlan plan;
    std::string problem;
    if (!ScanTransmitFile(path, plan, problem)) return fail(problem);
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) return fail(path + ": cannot open");
    CmpConnection conn;
    conn.output_phy = -1;
    int channel = -1;
    int local = 0;
    {
        std::lock_guard lock(port.mutex());
        local = port.bus().LocalPhy();
        if (existing) {
            conn = *existing;
            channel = conn.channel;
        } else {
            const std::optional<int> phy = FindPhyByGuid(port.bus().Bus(), guid);
            if (!phy) {
                report.error = "the deck is not on the bus";
                box.Set(report);
                return EC_ERRORABORT;
            }
            conn.input_phy = *phy;
            channel = port.bus().Cmp().Connect(conn);
        }
    }
    report.connected = channel >= 0;
    if (channel < 0) channel = kBroadcastChannel;
    report.channel = channel;

    TsFeeder feeder(file.get(), plan, static_cast<uint8_t>(local < 0 ? 0 : local));
    std::unique_ptr<IIsoSink> sink = port.bus().OpenIsoSink();
    int32_t event = 0;
    bool away = false;
    Clock::time_point away_since{};
    if (!sink || !sink->Start(channel, feeder, conn.speed)) {
        report.error = "cannot send on channel " + std::to_string(channel);
        event = EC_ERRORABORT;
    } else {
        while (!stop.raised()) {
            const bool readable = WaitReadable(sink->Fd(), stop, timing.poll);
            if (stop.raised()) break;
            const IsoStatus status = readable ? sink->Iterate() : IsoStatus::Ok;
            report.packets_sent = feeder.sent();
            box.Set(report);
            if (feeder.Done()) {
                if (feeder.read_error()) {
                    report.error = path + ": could not be read to its end while sending";
                    event = EC_ERRORABORT;
                } else {
                    event = EC_COMPLETE;
                }
                break;
            }
            if (status == IsoStatus::Error) {
                report.error = "the transmit handle failed";
                event = EC_ERRORABORT;
                break;
            }
            // A bus reset during playback: the sink keeps sending; the connection is made
            // again so that the deck listens, on a new channel if the old one was taken.
            if ((status != IsoStatus::BusReset && !away) || !report.connected) continue;
            const auto now = Clock::now();
            int new_channel = -1;
            {
                std::lock_guard lock(port.mutex());
                std::optional<int> phy = FindPhyByGuid(port.bus().Bus(), guid);
                if (!phy) {
                    port.bus().Bus().Rescan();
                    phy = FindPhyByGuid(port.bus().Bus(), guid);
                }
                if (phy) {
                    conn.input_phy = *phy;
                    new_channel = port.bus().Cmp().Reconnect(conn);
                }
            }
            if (new_channel < 0) {
                if (!away) {
                    away = true;
                    away_since = now;
                }
                if (now - away_since >= timing.reconnect_deadline) {
                    report.error = "the deck's input could not be connected again";
                    event = EC_ERRORABORT;
                    break;
                }
                continue;
            }
            away = false;
            ++report.reconnects;
            if (new_channel != channel) {
                sink->Stop(false, stop.fd());
                sink = port.bus().OpenIsoSink();
                channel = new_channel;
                report.channel = channel;
                if (!sink || !sink->Start(channel, feeder, conn.speed)) {
                    report.error = "cannot send on channel " + std::to_string(channel);
                    event = EC_ERRORABORT;
                    break;
                }
            }
        }
        if (sink) sink->Stop(event == EC_COMPLETE, stop.fd());
    }
    sink.reset();
    if (report.connected) {
        std::lock_guard lock(port.mutex());
        port.bus().Cmp().Disconnect(conn);
    }
    report.packets_sent = feeder.sent();
    box.Set(report);
    return event;
}

}  // namespace tessaline::fw

namespace tessaline::fw {
namespace {

// Empty CIP packets: a signal without data.
class IdleSource final : public IsoPacketSource {
  public:
    explicit IdleSource(uint8_t source_id) : writer_(source_id) {}
    size_t Fill(uint8_t* data, size_t capacity, unsigned, unsigned& tag, unsigned& sy) override {
        tag = kCipTag;
        sy = 0;
        return writer_.Packet(data, capacity, nullptr, 0);
    }
    bool Done() const override { return false; }

  private:
    CipWriter writer_;
};

}  // namespace

InputSignal::InputSignal(Ieee1394Port& port, uint64_t guid) : port_(port), guid_(guid) {
    conn_.output_phy = -1;
    int local = 0;
    int channel = -1;
    {
        std::lock_guard lock(port_.mutex());
        const std::optional<int> phy = FindPhyByGuid(port_.bus().Bus(), guid_);
        if (!phy) return;
        conn_.input_phy = *phy;
        channel = port_.bus().Cmp().Connect(conn_);
        local = port_.bus().LocalPhy();
    }
    connected_ = channel >= 0;
    if (!connected_) conn_.channel = -1;
    sink_ = port_.bus().OpenIsoSink();
    // The deck is told to record-pause right after this returns: it must find packets at its
    // input by then, so wait (boundedly) until the transmission has started or failed.
    std::promise<void> started;
    std::future<void> started_future = started.get_future();
    thread_ = std::thread([this, local, channel, started = std::move(started)]() mutable {
        IdleSource idle(static_cast<uint8_t>(local < 0 ? 0 : local));
        const bool running =
            sink_ && sink_->Start(channel >= 0 ? channel : kBroadcastChannel, idle, conn_.speed);
        started.set_value();
        if (!running) return;
        int on = channel >= 0 ? channel : kBroadcastChannel;
        while (!stop_.raised()) {
            const bool readable = WaitReadable(sink_->Fd(), stop_, std::chrono::milliseconds(200));
            if (stop_.raised()) break;
            const IsoStatus status = readable ? sink_->Iterate() : IsoStatus::Ok;
            if (status == IsoStatus::Error) break;
            if (status != IsoStatus::BusReset || !connected_) continue;
            // The deck drops its connections at a reset: make ours again, on a new channel if
            // the old one was taken.
            int again = -1;
            {
                std::lock_guard lock(port_.mutex());
                if (const std::optional<int> phy = FindPhyByGuid(port_.bus().Bus(), guid_)) {
                    conn_.input_phy = *phy;
                    again = port_.bus().Cmp().Reconnect(conn_);
                }
            }
            if (again < 0 || again == on) continue;
            sink_->Stop(false, stop_.fd());
            sink_ = port_.bus().OpenIsoSink();
            on = again;
            if (!sink_ || !sink_->Start(on, idle, conn_.speed)) return;
        }
        if (sink_) sink_->Stop(false, stop_.fd());
    });
    started_future.wait_for(std::chrono::seconds(2));
}

InputSignal::~InputSignal() {
    stop_.Raise();
    if (thread_.joinable()) thread_.join();
    sink_.reset();
    if (connected_ && !handed_over_) {
        std::lock_guard lock(port_.mutex());
        port_.bus().Cmp().Disconnect(conn_);
    }
}

std::optional<CmpConnection> InputSignal::TakeOver() {
    stop_.Raise();
    if (thread_.joinable()) thread_.join();
    sink_.reset();
    if (!connected_ || handed_over_) return std::nullopt;
    handed_over_ = true;
    return conn_;
}

}  // namespace tessaline::fw
