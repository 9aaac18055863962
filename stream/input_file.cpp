#include "stream/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace tessaline {

InputFile::~InputFile() {
    Close();
}

bool InputFile::Open(const std::string& path) {
    Close();
    path_ = path;
    error_.clear();
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error_ = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        error_ = "is a folder";
        return false;
    }
    // The file is read once from start to end: tell the kernel to read ahead generously.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    fd_ = fd;
    return true;
}

void InputFile::OpenMemory(const uint8_t* data, size_t size, std::string name) {
    Close();
    path_ = std::move(name);
    error_.clear();
    // A non-null pointer even for no bytes, so that the file counts as open.
    static constexpr uint8_t kNothing = 0;
    memory_ = data != nullptr ? data : &kNothing;
    memory_size_ = data != nullptr ? size : 0;
    memory_pos_ = 0;
}

void InputFile::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    memory_ = nullptr;
    memory_size_ = 0;
    memory_pos_ = 0;
}

long InputFile::Read(uint8_t* dest, size_t count) {
    if (memory_ != nullptr) {
        const size_t n = std::min(count, memory_size_ - memory_pos_);
        if (n > 0) std::memcpy(dest, memory_ + memory_pos_, n);
        memory_pos_ += n;
        return static_cast<long>(n);
    }
    size_t got = 0;
    while (got < count) {
        const ssize_t n = ::read(fd_, dest + got, count - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            error_ = std::strerror(errno);
            return -1;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<long>(got);
}

bool InputFile::Rewind() {
    if (memory_ != nullptr) {
        memory_pos_ = 0;
        return true;
    }
    if (::lseek(fd_, 0, SEEK_SET) < 0) {
        error_ = std::strerror(errno);
        return false;
    }
    return true;
}

int64_t InputFile::Size() {
    if (memory_ != nullptr) return static_cast<int64_t>(memory_size_);
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        error_ = std::strerror(errno);
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

}  // namespace tessaline
