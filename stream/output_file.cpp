#include "stream/output_file.h"

#include <fcntl.h>
#include <unistd.h>

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
    while (count > 0) {
        const ssize_t n = ::write(fd_, p, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            error_ = std::strerror(errno);
            return false;
        }
        if (n == 0) {
            error_ = "no progress writing";
            return false;
        }
        p += n;
        count -= static_cast<size_t>(n);
        bytes_written_ += static_cast<uint64_t>(n);
    }
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
