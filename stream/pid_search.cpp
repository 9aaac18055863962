#include "stream/pid_search.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "stream/input_file.h"
#include "stream/live_converter.h"
#include "stream/stream_context.h"
#include "stream/ts_format.h"

namespace tessaline {
namespace {

constexpr int kStagingPackets = 1000;

}  // namespace

const char* SilentAbort::what() const noexcept {
    switch (reason_) {
        case Reason::Cancelled:
            return "cancelled";
        case Reason::EmptyFile:
            return "the file is empty";
        case Reason::UnknownPacketSize:
            return "the file holds neither 188- nor 192-byte packets";
        case Reason::PidNotFound:
            return "the file ends before both a video and an audio PES start";
        case Reason::ReadError:
            return "the file could not be read";
    }
    return "aborted";
}

void FileWorkState::AllocateBuffers() {
    if (probe) return;
    probe = std::make_unique<uint8_t[]>(kProbeSize);
    read_buffer = std::make_unique<uint8_t[]>(kReadBufferSize);
    search_buffer = std::make_unique<uint8_t[]>(kReadBufferSize);
    write_buffer = std::make_unique<uint8_t[]>(kReadBufferSize);
    staging = std::make_unique<uint8_t[]>(static_cast<size_t>(kStagingPackets) * kSourcePacketSize);
}

void PumpOneMessage(StreamContext& ctx) {
    FileWorkState& f = ctx.file;
    if (!f.pump) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - f.last_pump < f.pump_interval) return;
    f.last_pump = now;
    f.pump();
}

int PacketSizeOf(const uint8_t* probe, int k) noexcept {
    // Every examined position must hold a sync byte; 188 wins when both sizes fit.
    const int positions = k / kSourcePacketSize;
    int c188 = 0, c192 = 0;
    for (size_t i = 0; i < static_cast<size_t>(positions); ++i) {
        if (probe[i * kTsPacketSize] == kTsSyncByte) ++c188;
        if (probe[i * kSourcePacketSize + kSourceHeaderSize] == kTsSyncByte) ++c192;
    }
    if (c188 == positions) return kTsPacketSize;
    if (c192 == positions) return kSourcePacketSize;
    return 0;
}

int64_t FindPacketSync(InputFile& file, int64_t limit) {
    const int64_t size = file.Size();
    if (size <= 0 || !file.Rewind()) return -1;
    const int64_t want = std::min<int64_t>(size, limit + kProbeSize);
    std::vector<uint8_t> bytes(static_cast<size_t>(want));
    const long got = file.Read(bytes.data(), bytes.size());
    if (got <= 0) return -1;
    // Two examined positions at least: one sync byte alone proves nothing.
    constexpr int kLeast = 2 * kSourcePacketSize;
    for (int64_t at = 1; at <= limit && got - at >= kLeast; ++at) {
        if (bytes[static_cast<size_t>(at)] != kTsSyncByte &&
            bytes[static_cast<size_t>(at) + kSourceHeaderSize] != kTsSyncByte) {
            continue;
        }
        const int k = static_cast<int>(std::min<int64_t>(got - at, kProbeSize));
        if (PacketSizeOf(bytes.data() + at, k) != 0) return at;
    }
    return -1;
}

SyncGap FindSyncAfter(InputFile& file, int64_t lost_at, int64_t limit, int packet_size, uint16_t v,
                      uint16_t a) {
    SyncGap gap;
    gap.at = lost_at;
    const int64_t size = file.Size();
    const int64_t end = size < 0 ? lost_at : file.start() + size;
    gap.unconverted = std::max<int64_t>(0, end - lost_at);
    if (size < 0 || packet_size <= 0 || limit <= 0) return gap;
    const int sync = packet_size == kSourcePacketSize ? kSourceHeaderSize : 0;
    constexpr int kChecked = 10;  // packet starts that must hold a sync byte
    // From the start of the last packet converted before the loss, to what the test needs.
    const int64_t from = std::max(file.start(), lost_at - packet_size);
    const int64_t want = std::min(end, lost_at + limit + int64_t{kChecked} * packet_size) - from;
    if (want <= 0) return gap;
    std::vector<uint8_t> bytes(static_cast<size_t>(want));
    const long got = file.ReadAt(from, bytes.data(), bytes.size());
    if (got <= 0) return gap;
    const int64_t have = from + got;  // the end of what was read
    auto sync_at = [&](int64_t offset) {
        const int64_t i = offset - from + sync;
        return i >= 0 && i < got && bytes[static_cast<size_t>(i)] == kTsSyncByte;
    };
    for (int64_t y = lost_at + 1; y <= lost_at + limit && y + sync < have; ++y) {
        if (!sync_at(y)) continue;
        const int64_t whole = (have - y) / packet_size;
        const int64_t checks = std::min<int64_t>(kChecked, std::max<int64_t>(whole, 1));
        bool holds = true;
        for (int64_t k = 1; k < checks && holds; ++k) holds = sync_at(y + k * packet_size);
        if (!holds) continue;
        gap.resumed_at = y;
        gap.unconverted = y - lost_at;
        for (int64_t j = lost_at - packet_size + 1; j < y && !gap.lost_packets; ++j) {
            const int64_t i = j - from + sync;
            if (i < 0 || i + 3 > got || !sync_at(j)) continue;
            const uint16_t pid = ReadPid(bytes.data() + i + 1);
            gap.lost_packets = (v != 0 && pid == v) || (a != 0 && pid == a);
        }
        return gap;
    }
    return gap;
}

int ReadTsPackets(StreamContext& ctx, InputFile& file, uint8_t* dest, int count) {
    FileWorkState& f = ctx.file;
    f.AllocateBuffers();
    if (f.RemuxAbort.load()) throw SilentAbort(SilentAbort::Reason::Cancelled);

    if (f.PacketSize == 0) {
        const int64_t size = ctx.stats.FileSize;
        if (size <= 0) throw SilentAbort(SilentAbort::Reason::EmptyFile);
        const int k = static_cast<int>(size < kProbeSize ? size : kProbeSize);
        PumpOneMessage(ctx);
        std::memset(f.probe.get(), 0, kProbeSize);
        if (file.Read(f.probe.get(), static_cast<size_t>(k)) < 0 || !file.Rewind())
            throw SilentAbort(SilentAbort::Reason::ReadError);
        f.PacketSize = PacketSizeOf(f.probe.get(), k);
        if (f.PacketSize == 0) throw SilentAbort(SilentAbort::Reason::UnknownPacketSize);
    }

    if (f.PacketSize == kTsPacketSize) {
        PumpOneMessage(ctx);
        const long n = file.Read(dest, static_cast<size_t>(count));
        if (n < 0) throw SilentAbort(SilentAbort::Reason::ReadError);
        return static_cast<int>(n);
    }

    // Source packets: read ahead many at a time and drop each 4-byte header. A source packet
    // cut short by the end of the file is not delivered.
    const int packets = count / kTsPacketSize;
    int done = 0;
    while (done < packets) {
        PumpOneMessage(ctx);
        const int want = std::min(packets - done, kStagingPackets);
        const size_t bytes = static_cast<size_t>(want) * kSourcePacketSize;
        const long got = file.Read(f.staging.get(), bytes);
        if (got < 0) throw SilentAbort(SilentAbort::Reason::ReadError);
        const int whole = static_cast<int>(got / kSourcePacketSize);
        const uint8_t* src = f.staging.get() + kSourceHeaderSize;
        uint8_t* out = dest + static_cast<size_t>(done) * kTsPacketSize;
        for (int i = 0; i < whole; ++i) {
            std::memcpy(out, src, kTsPacketSize);
            out += kTsPacketSize;
            src += kSourcePacketSize;
        }
        done += whole;
        if (static_cast<size_t>(got) < bytes) break;  // end of the file
    }
    return done * kTsPacketSize;
}

void FindAvPidsInFile(StreamContext& ctx, InputFile& file, uint16_t& v, uint16_t& a) {
    FileWorkState& f = ctx.file;
    f.AllocateBuffers();
    uint8_t* buf = f.search_buffer.get();
    std::memset(buf, 0, kReadBufferSize);
    const bool private_is_audio = ctx.options.CheckPrivateStream;
    while (v == 0 || a == 0) {
        PumpOneMessage(ctx);
        const int n = ReadTsPackets(ctx, file, buf, kReadBufferSize);
        if (n == 0) throw SilentAbort(SilentAbort::Reason::PidNotFound);
        // The same scan as the live converter's: PES starts, start code not checked.
        FindAvPidsLive(buf, n, v, a, private_is_audio);
    }
}

void FindAvPidsInBuffer(const uint8_t* bytes, int count, uint16_t& v, uint16_t& a,
                        bool check_private_stream) noexcept {
    v = 0;
    a = 0;
    for (int pos = 0; pos < count - 8; pos += kTsPacketSize) {
        if (pos + kTsPacketSize > count) break;  // the payload must lie inside the bytes
        const uint8_t* pkt = bytes + pos;
        // Payload unit start set; transport error, transport priority and PID bit 12 clear.
        if (pkt[0] != kTsSyncByte || (pkt[1] & 0xF0) != kTsPayloadUnitStart) continue;
        int off = kTsHeaderSize;
        if (pkt[3] & kTsAdaptationPresent) {
            if (pkt[4] > kTsMaxAdaptationLength) continue;
            off += pkt[4] + 1;
        }
        if (off + 4 > kTsPacketSize) continue;
        if (pkt[off] != 0x00 || pkt[off + 1] != 0x00 || pkt[off + 2] != 0x01) continue;
        StorePidByClass(pkt[off + 3], ReadPid(pkt + 1), v, a, check_private_stream);
        if (v != 0 && a != 0) return;
    }
}

}  // namespace tessaline
