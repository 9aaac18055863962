#include "stream/output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tessaline {

OutputFile::~OutputFile() {
    Close();
}

bool OutputFile::Create(const std::string& path) {
    Close();
    path_ = path;
    error_.clear();
    bytes_written_ = 0;
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error_ = std::strerror(errno);
        return false;
    }
    fd_ = fd;
    return true;
}

void OutputFile::Adopt(int fd, std::string path) {
    Close();
    fd_ = fd;
    path_ = std::move(path);
    error_.clear();
    bytes_written_ = 0;
}

bool OutputFile::Write(const void* bytes, size_t count) {
    if (fd_ < 0) {
        error_ = "file is not open";
        return false;
    }
    const auto* p = static_cast<const uint8_t*>(bytes);
    size_t done = 0;
    while (count > 0) {
        const ssize_t n = ::write(fd_, p, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = n < 0 ? std::strerror(errno) : "no progress writing";
            TakeBack(done);
            return false;
        }
        done += static_cast<size_t>(n);
        p += n;
        count -= static_cast<size_t>(n);
        bytes_written_ += static_cast<uint64_t>(n);
    }
    return true;
}

void OutputFile::TakeBack(size_t count) {
    if (count == 0) return;
    const off_t end = ::lseek(fd_, 0, SEEK_CUR);
    if (end < static_cast<off_t>(count)) return;  // not a seekable file
    const off_t keep = end - static_cast<off_t>(count);
    if (::ftruncate(fd_, keep) != 0 || ::lseek(fd_, keep, SEEK_SET) != keep) return;
    bytes_written_ -= count;
}

bool OutputFile::CutToWholeUnits(size_t unit) {
    if (fd_ < 0 || unit == 0) return false;
    const off_t end = ::lseek(fd_, 0, SEEK_CUR);
    if (end < 0) return false;
    const off_t extra = end % static_cast<off_t>(unit);
    if (extra == 0) return true;
    const off_t keep = end - extra;
    if (::ftruncate(fd_, keep) != 0 || ::lseek(fd_, keep, SEEK_SET) != keep) {
        error_ = std::strerror(errno);
        return false;
    }
    bytes_written_ -= std::min<uint64_t>(bytes_written_, static_cast<uint64_t>(extra));
    return true;
}

bool OutputFile::Close() {
    if (fd_ < 0) return true;
    const int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0 && errno != EINTR) {
        error_ = std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace tessaline
