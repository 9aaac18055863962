// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/ieee1394/transmit_loop.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "capture/source_packets.h"

namespace tessaline::fw {
namespace {

// Bytes read from the start of a file to measure its rate.
constexpr size_t kRateProbeBytes = 4 << 20;
constexpr unsigned kCyclesPerSecond = 8000;
// After the last packet is filled: the queue's time and this, for it to leave the computer.
constexpr std::chrono::milliseconds kLastPacketMargin{50};

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

double Seconds(std::chrono::microseconds t) {
    return std::chrono::duration<double>(t).count();
}

}  // namespace

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

int32_t TransmitLoop(Ieee1394Port& port, uint64_t guid, const std::string& path,
                     const StopSignal& stop, const StreamTiming& timing, LinkReportBox& box,
                     InputLink* link, const std::function<void()>& restored) {
    LinkReport report;
    auto fail = [&](std::string error) {
        report.error = std::move(error);
        box.Set(report);
        return EC_ERRORABORT;
    };
    TransmitPlan plan;
    std::string problem;
    if (!ScanTransmitFile(path, plan, problem)) return fail(problem);
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) return fail(path + ": cannot open");
    std::unique_ptr<InputLink> own;
    if (link == nullptr) {
        own = std::make_unique<InputLink>(port, guid, timing);
        if (!own->Open()) return fail(own->error());
        link = own.get();
    }
    int local = 0;
    {
        std::lock_guard lock(port.mutex());
        local = port.bus().LocalPhy();
    }
    TsFeeder feeder(file.get(), plan, static_cast<uint8_t>(local < 0 ? 0 : local));
    link->SetSource(&feeder);
    report.connected = link->connected();
    report.channel = link->channel();
    const uint64_t reconnects_before = link->reconnects();

    int32_t event = 0;
    // Where in the file the deck stopped receiving, while its input is lost.
    std::optional<double> lost_at;
    std::optional<Clock::time_point> last_out;
    // What is on the bus now: what was filled, less what still waits in the queue.
    auto on_bus = [&] {
        return std::max(0.0, feeder.filled_seconds() - Seconds(link->queue_time()));
    };
    auto close_gap = [&](double until) {
        if (until - *lost_at >= 0.05) {
            // From when we learnt of it to when the input was connected again: the deck may
            // have been back a little earlier.
            report.gaps.push_back(StreamGap{*lost_at, until - *lost_at,
                                            "the deck's input was lost; what was sent meanwhile "
                                            "is not on tape",
                                            true});
        }
        lost_at.reset();
    };
    while (!stop.raised()) {
        const InputLink::Event step = link->Step(stop);
        if (stop.raised()) break;
        report.packets_sent = feeder.sent();
        report.channel = link->channel();
        report.connected = link->connected();
        report.reconnects = link->reconnects() - reconnects_before;
        if (step == InputLink::Event::Failed) {
            report.error = link->error();
            event = EC_ERRORABORT;
            break;
        }
        if (step == InputLink::Event::Lost && !lost_at) lost_at = on_bus();
        if (step == InputLink::Event::Restored) {
            // Lost and connected again within this one round counts from now.
            if (!lost_at) lost_at = on_bus();
            close_gap(std::max(*lost_at, on_bus()));
            if (restored) restored();
        }
        box.Set(report);
        if (feeder.Done()) {
            if (feeder.read_error()) {
                report.error = path + ": could not be read to its end while sending";
                event = EC_ERRORABORT;
                break;
            }
            // The last packet is filled; once the queue ahead of it has gone out, so has it.
            const auto now = Clock::now();
            if (!last_out) last_out = now + link->queue_time() + kLastPacketMargin;
            if (now >= *last_out && !link->away()) {
                event = EC_COMPLETE;
                break;
            }
        }
    }
    // Lost and never back: everything from there to the end is missing.
    if (lost_at) close_gap(std::max(*lost_at, feeder.filled_seconds()));
    link->SetSource(nullptr);
    if (own) own->Close();
    report.packets_sent = feeder.sent();
    box.Set(report);
    return event;
}

}  // namespace tessaline::fw
