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
    start_ = 0;
    // Without O_NONBLOCK, opening a pipe waits for its writer, and nothing could interrupt it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error_ = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error_ = std::strerror(errno);
        ::close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        error_ = S_ISDIR(st.st_mode)    ? "is a folder"
                 : S_ISFIFO(st.st_mode) ? "is a pipe, not a file (save the stream to a file first)"
                                        : "is not a regular file";
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
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
    start_ = 0;
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
    return ReadFully(dest, count, -1);
}

long InputFile::ReadFully(uint8_t* dest, size_t count, int64_t offset) {
    size_t got = 0;
    while (got < count) {
        const ssize_t n = offset < 0
                              ? ::read(fd_, dest + got, count - got)
                              : ::pread(fd_, dest + got, count - got,
                                        static_cast<off_t>(offset) + static_cast<off_t>(got));
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
    return Seek(start_);
}

bool InputFile::Seek(int64_t offset) {
    if (offset < 0) return false;
    if (memory_ != nullptr) {
        memory_pos_ = std::min(static_cast<size_t>(offset), memory_size_);
        return true;
    }
    if (::lseek(fd_, offset, SEEK_SET) < 0) {
        error_ = std::strerror(errno);
        return false;
    }
    return true;
}

long InputFile::ReadAt(int64_t offset, uint8_t* dest, size_t count) {
    if (offset < 0) return -1;
    if (memory_ != nullptr) {
        if (static_cast<uint64_t>(offset) >= memory_size_) return 0;
        const size_t n = std::min(count, memory_size_ - static_cast<size_t>(offset));
        std::memcpy(dest, memory_ + offset, n);
        return static_cast<long>(n);
    }
    return ReadFully(dest, count, offset);
}

int64_t InputFile::Size() {
    if (memory_ != nullptr)
        return std::max<int64_t>(0, static_cast<int64_t>(memory_size_) - start_);
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        error_ = std::strerror(errno);
        return -1;
    }
    return std::max<int64_t>(0, static_cast<int64_t>(st.st_size) - start_);
}

}  // namespace tessaline
