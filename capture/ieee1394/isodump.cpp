// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/ieee1394/isodump.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tessaline::fw {
namespace {

constexpr char kMagicV1[16] = "1394 isodump v1";
constexpr char kMagicV2[16] = "1394 isodump v2";
constexpr size_t kHeaderBytes = 32;

uint32_t ReadBe32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint32_t ReadLe32(const uint8_t* p) {
    return (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

}  // namespace

bool ParseIsoDump(const std::vector<uint8_t>& bytes, std::vector<DumpedPacket>& packets,
                  std::string& error) {
    packets.clear();
    if (bytes.size() < kHeaderBytes) {
        error = "not an isodump file (too short)";
        return false;
    }
    const bool v1 = std::memcmp(bytes.data(), kMagicV1, sizeof kMagicV1) == 0;
    const bool v2 = std::memcmp(bytes.data(), kMagicV2, sizeof kMagicV2) == 0;
    if (!v1 && !v2) {
        error = "not an isodump file";
        return false;
    }
    size_t pos = kHeaderBytes;
    while (pos < bytes.size()) {
        DumpedPacket p;
        size_t length = 0;
        size_t stored = 0;
        if (v1) {
            if (bytes.size() - pos < 4) break;
            const uint32_t header = ReadBe32(bytes.data() + pos);
            pos += 4;
            length = header >> 16;
            stored = (length + 3) & ~size_t{3};
            p.tag = (header >> 14) & 3;
            p.channel = (header >> 8) & 0x3F;
            p.sy = header & 0xF;
        } else {
            if (bytes.size() - pos < 8) break;
            length = ReadLe32(bytes.data() + pos);
            p.channel = bytes[pos + 4] & 0x3F;
            p.tag = bytes[pos + 5] & 3;
            p.sy = bytes[pos + 6] & 0xF;
            pos += 8;
            stored = length;
            if (length > kMaxDumpedPacket) {
                error = "packet length " + std::to_string(length) + " at byte " +
                        std::to_string(pos - 8) + " is not that of an iso packet";
                return false;
            }
        }
        // A dump stopped while writing is cut in its last packet.
        if (stored > bytes.size() - pos) break;
        p.bytes.assign(bytes.begin() + static_cast<long>(pos),
                       bytes.begin() + static_cast<long>(pos + length));
        packets.push_back(std::move(p));
        pos += stored;
    }
    return true;
}

IsoDumpWriter::~IsoDumpWriter() {
    if (file_ != nullptr) {
        std::fclose(file_);
        std::remove(temp_.c_str());
    }
}

bool IsoDumpWriter::Open(const std::string& path, uint64_t channel_mask, std::string& error) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        error = path + ": already exists; choose another name";
        return false;
    }
    path_ = path;
    temp_ = path + ".part";
    const int fd = open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 || (file_ = fdopen(fd, "wb")) == nullptr) {
        error = temp_ + ": cannot create: " + std::strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
    uint8_t header[kHeaderBytes] = {};
    std::memcpy(header, kMagicV2, sizeof kMagicV2);
    for (int i = 0; i < 8; ++i) header[16 + i] = static_cast<uint8_t>(channel_mask >> (56 - 8 * i));
    if (std::fwrite(header, 1, sizeof header, file_) != sizeof header) {
        failed_ = true;
        failed_errno_ = errno;
    }
    return true;
}

void IsoDumpWriter::Write(const IsoPacket& p) {
    if (file_ == nullptr || failed_) return;
    const size_t length = p.data == nullptr ? 0 : std::min(p.length, kMaxDumpedPacket);
    const uint8_t head[8] = {
        static_cast<uint8_t>(length),           static_cast<uint8_t>(length >> 8),
        static_cast<uint8_t>(length >> 16),     static_cast<uint8_t>(length >> 24),
        static_cast<uint8_t>(p.channel & 0x3F), static_cast<uint8_t>(p.tag & 3),
        static_cast<uint8_t>(p.sy & 0xF),       0};
    if (std::fwrite(head, 1, sizeof head, file_) != sizeof head ||
        (length != 0 && std::fwrite(p.data, 1, length, file_) != length)) {
        failed_ = true;
        failed_errno_ = errno;
    }
}

bool IsoDumpWriter::Close(std::string& error) {
    if (file_ == nullptr) return !failed_;
    const bool flushed = std::fflush(file_) == 0 && fsync(fileno(file_)) == 0;
    if (!flushed && !failed_) {
        failed_ = true;
        failed_errno_ = errno;
    }
    std::fclose(file_);
    file_ = nullptr;
    if (failed_) {
        error =
            temp_ + ": cannot write: " + std::strerror(failed_errno_) + " (the dump is kept there)";
        return false;
    }
    // Never over a file that appeared meanwhile.
    if (link(temp_.c_str(), path_.c_str()) != 0) {
        error = path_ + ": cannot put the dump in place: " + std::strerror(errno) +
                " (it is kept as " + temp_ + ")";
        return false;
    }
    unlink(temp_.c_str());
    return true;
}

}  // namespace tessaline::fw
