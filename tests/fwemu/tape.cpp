// SPDX-License-Identifier: GPL-3.0-or-later
// The deck's cassette (tape.h).
#include "tests/fwemu/tape.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace fwemu {
namespace {

constexpr size_t kSourcePacket = 192;
constexpr size_t kRecordBytes = 4 + kSourcePacket;  // a recording file's record
// A file without two PCRs plays at the rate of a D-VHS HS recording.
constexpr double kDefaultPacketsPerSecond = 28.2e6 / 8 / 188;

}  // namespace

bool ReadWholeFile(const std::string& path, Bytes& out) {
    const int fd = RealOpen(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    uint8_t buf[65536];
    for (;;) {
        const ssize_t n = RealRead(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    RealClose(fd);
    return true;
}

int PacketSize(const Bytes& f) {
    for (int size : {188, 192}) {
        const size_t sync = size == 192 ? 4 : 0;
        if (f.size() < static_cast<size_t>(size) || f.size() % static_cast<size_t>(size) != 0) {
            continue;
        }
        bool ok = true;
        for (size_t at = sync; at < f.size() && ok; at += static_cast<size_t>(size) * 97) {
            ok = f[at] == 0x47;
        }
        if (ok) return size;
    }
    return 0;
}

double PacketRate(const Bytes& f, int size) {
    const size_t skip = size == 192 ? 4 : 0;
    int pid = -1;
    double first = -1, last = -1;
    size_t first_at = 0, last_at = 0;
    for (size_t i = 0; (i + 1) * static_cast<size_t>(size) <= f.size(); ++i) {
        const uint8_t* p = f.data() + i * static_cast<size_t>(size) + skip;
        if (p[0] != 0x47 || (p[3] & 0x20) == 0 || p[4] < 7 || (p[5] & 0x10) == 0) continue;
        const int this_pid = (p[1] & 0x1F) << 8 | p[2];
        if (pid >= 0 && this_pid != pid) continue;
        pid = this_pid;
        const uint64_t base = uint64_t{p[6]} << 25 | uint64_t{p[7]} << 17 | uint64_t{p[8]} << 9 |
                              uint64_t{p[9]} << 1 | p[10] >> 7;
        const uint64_t ext = (uint64_t{p[10]} & 1) << 8 | p[11];
        const double t = static_cast<double>(base * 300 + ext) / 27e6;
        if (first < 0) {
            first = t;
            first_at = i;
        }
        last = t;
        last_at = i;
    }
    if (first < 0 || last <= first || last_at <= first_at) return 0;
    return static_cast<double>(last_at - first_at) / (last - first);
}

bool Tape::Load(const std::vector<CassetteItem>& items, double seconds,
                const std::vector<Settings::Window>& damage, std::string& error) {
    int64_t at = 0;
    for (const CassetteItem& item : items) {
        if (item.file.empty()) {
            at += std::llround(item.seconds * kTapeRate);
            continue;
        }
        Source s;
        if (!ReadWholeFile(item.file, s.bytes)) {
            error = "cannot read " + item.file + ": " + std::strerror(errno);
            return false;
        }
        s.packet_size = PacketSize(s.bytes);
        if (s.packet_size == 0) {
            error = item.file + " is not 188- or 192-byte TS packets";
            return false;
        }
        s.count = s.bytes.size() / static_cast<size_t>(s.packet_size);
        double rate = PacketRate(s.bytes, s.packet_size);
        if (rate <= 0) rate = kDefaultPacketsPerSecond;
        s.cycles_per_packet = kTapeRate / rate;
        s.start = at;
        const int64_t duration = std::llround(static_cast<double>(s.count) * s.cycles_per_packet);
        spans_.push_back(Span{at, at + duration, sources_.size()});
        sources_.push_back(std::move(s));
        at += duration;
    }
    length_ = seconds < 0 ? at + 60 * kTapeRate : std::llround(seconds * kTapeRate);
    // What does not fit ends with the tape.
    std::vector<Span> kept;
    for (Span s : spans_) {
        if (s.from >= length_) continue;
        s.to = std::min(s.to, length_);
        kept.push_back(s);
    }
    spans_ = kept;
    for (const auto& w : damage) {
        damage_.emplace_back(w.from * kTapeRate, w.to * kTapeRate);
    }
    return true;
}

double Tape::Time(const Source& s, size_t i) const {
    if (s.recorded) return static_cast<double>(s.start + s.offsets[i]);
    return static_cast<double>(s.start) + static_cast<double>(i) * s.cycles_per_packet;
}

size_t Tape::FirstAt(const Source& s, double t) const {
    if (s.recorded) {
        const double from = std::ceil(t - static_cast<double>(s.start));
        if (from <= 0) return 0;
        const auto it = std::lower_bound(s.offsets.begin(), s.offsets.end(),
                                         static_cast<uint32_t>(std::min(from, 4294967295.0)));
        return static_cast<size_t>(it - s.offsets.begin());
    }
    const double i = std::ceil((t - static_cast<double>(s.start)) / s.cycles_per_packet);
    if (i <= 0) return 0;
    return std::min(s.count, static_cast<size_t>(i));
}

bool Tape::Damaged(double t) const {
    for (const auto& [from, to] : damage_) {
        if (t >= from && t < to) return true;
    }
    return false;
}

int Tape::Due(int64_t position, int max, const uint8_t** packets) {
    if (!cursor_valid_) {
        cursor_span_ = 0;
        while (cursor_span_ < spans_.size() && spans_[cursor_span_].to <= position) ++cursor_span_;
        if (cursor_span_ < spans_.size()) {
            const Span& sp = spans_[cursor_span_];
            cursor_index_ =
                FirstAt(sources_[sp.source], static_cast<double>(std::max(position, sp.from)));
        }
        cursor_valid_ = true;
    }
    const double due = static_cast<double>(position + 1);
    int n = 0;
    while (n < max && cursor_span_ < spans_.size()) {
        const Span& sp = spans_[cursor_span_];
        const Source& s = sources_[sp.source];
        if (cursor_index_ >= FirstAt(s, static_cast<double>(sp.to))) {
            ++cursor_span_;
            if (cursor_span_ < spans_.size()) {
                const Span& next = spans_[cursor_span_];
                cursor_index_ = FirstAt(sources_[next.source], static_cast<double>(next.from));
            }
            continue;
        }
        const double t = Time(s, cursor_index_);
        if (t >= due) break;
        if (!Damaged(t)) {
            const size_t skip = s.packet_size == 192 ? 4 : 0;
            packets[n++] =
                s.bytes.data() + cursor_index_ * static_cast<size_t>(s.packet_size) + skip;
        }
        ++cursor_index_;
    }
    return n;
}

void Tape::Overlay(size_t source, int64_t from, int64_t to) {
    from = std::clamp<int64_t>(from, 0, length_);
    to = std::clamp<int64_t>(to, 0, length_);
    std::vector<Span> out;
    for (const Span& s : spans_) {
        if (s.source == source) continue;
        if (s.to <= from || s.from >= to) {
            out.push_back(s);
            continue;
        }
        if (s.from < from) out.push_back(Span{s.from, from, s.source});
        if (s.to > to) out.push_back(Span{to, s.to, s.source});
    }
    if (to > from) out.push_back(Span{from, to, source});
    std::sort(out.begin(), out.end(), [](const Span& a, const Span& b) { return a.from < b.from; });
    spans_ = out;
    cursor_valid_ = false;
}

void Tape::BeginRecording(int64_t position, const std::string& file) {
    if (active_ >= 0) EndRecording(position);
    Source s;
    s.recorded = true;
    s.start = position;
    s.end = position;
    s.file = file;
    if (!file.empty()) {
        const int fd = RealOpen(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) RealClose(fd);
    }
    active_ = static_cast<int>(sources_.size());
    sources_.push_back(std::move(s));
}

void Tape::Record(int64_t position, const uint8_t* source_packet) {
    if (active_ < 0) return;
    Source& s = sources_[static_cast<size_t>(active_)];
    s.offsets.push_back(static_cast<uint32_t>(std::max<int64_t>(0, position - s.start)));
    s.bytes.insert(s.bytes.end(), source_packet, source_packet + kSourcePacket);
    ++s.count;
}

void Tape::Flush(int64_t position) {
    if (active_ < 0) return;
    Source& s = sources_[static_cast<size_t>(active_)];
    if (!s.file.empty() && s.flushed < s.count) {
        const int fd = RealOpen(s.file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC, 0);
        if (fd >= 0) {
            Bytes records;
            records.reserve((s.count - s.flushed) * kRecordBytes);
            for (size_t i = s.flushed; i < s.count; ++i) {
                uint8_t offset[4];
                PutBe32(offset, s.offsets[i]);
                records.insert(records.end(), offset, offset + 4);
                const uint8_t* p = s.bytes.data() + i * kSourcePacket;
                records.insert(records.end(), p, p + kSourcePacket);
            }
            if (RealWrite(fd, records.data(), records.size()) ==
                static_cast<ssize_t>(records.size())) {
                s.flushed = s.count;
            }
            RealClose(fd);
        }
    }
    s.end = std::max(s.end, position);
    Overlay(static_cast<size_t>(active_), s.start, s.end);
}

void Tape::EndRecording(int64_t position) {
    if (active_ < 0) return;
    Flush(position);
    active_ = -1;
}

std::vector<Tape::Extent> Tape::Recordings() const {
    std::vector<Extent> out;
    for (const Source& s : sources_) {
        if (s.recorded && s.end > s.start) out.push_back(Extent{s.start, s.end, s.file});
    }
    return out;
}

bool Tape::AddRecording(const Extent& extent) {
    Source s;
    s.recorded = true;
    s.start = extent.from;
    s.end = extent.to;
    s.file = extent.file;
    Bytes records;
    const bool read = ReadWholeFile(extent.file, records);
    for (size_t at = 0; at + kRecordBytes <= records.size(); at += kRecordBytes) {
        s.offsets.push_back(Be32(records.data() + at));
        s.bytes.insert(s.bytes.end(), records.begin() + static_cast<long>(at + 4),
                       records.begin() + static_cast<long>(at + kRecordBytes));
        ++s.count;
    }
    s.flushed = s.count;
    sources_.push_back(std::move(s));
    Overlay(sources_.size() - 1, extent.from, extent.to);
    return read;
}

}  // namespace fwemu
