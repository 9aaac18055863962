#include "stream/output_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

namespace tessaline {
namespace {

int OpenRetrying(const char* path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// A name in the folder of path that no other writer uses: hidden, and ending in ".part" so that a
// leftover of a crash is recognisable for what it is.
std::string TemporaryName(const std::string& path, unsigned attempt) {
    static std::atomic<unsigned> counter{0};
    static const unsigned seed = std::random_device{}();
    const std::filesystem::path p(path);
    char tag[32];
    std::snprintf(tag, sizeof tag, "%x%x%x", static_cast<unsigned>(::getpid()), seed ^ attempt,
                  counter.fetch_add(1));
    std::filesystem::path name =
        p.parent_path() / ("." + p.filename().string() + "." + tag + ".part");
    return name.string();
}

std::atomic<OutputFile::CloseFunction> g_close{nullptr};

}  // namespace

OutputFile::CloseFunction OutputFile::SetCloseFunctionForTesting(CloseFunction close_function) {
    return g_close.exchange(close_function);
}

OutputFile::~OutputFile() {
    if (!temporary_.empty()) {
        Discard();
    } else {
        Close();
    }
}

void OutputFile::Reset(const std::string& path) {
    Close();
    path_ = path;
    temporary_.clear();
    saved_path_.clear();
    created_ = false;
    error_.clear();
    bytes_written_ = 0;
}

bool OutputFile::Create(const std::string& path) {
    Reset(path);
    created_ = !Exists(path);
    // Read access too: a recording whose name vanished is copied back from this descriptor.
    int fd = OpenRetrying(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    // A file the user may write but not read is still written to.
    if (fd < 0 && errno == EACCES) {
        fd = OpenRetrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    }
    if (fd < 0) {
        error_ = std::strerror(errno);
        created_ = false;
        return false;
    }
    fd_ = fd;
    return true;
}

bool OutputFile::CreateTemporary(const std::string& final_path) {
    Reset(final_path);
    struct stat st {};
    if (::stat(final_path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        // A device or a pipe cannot be replaced by a rename (nor should it be): write to it. A
        // pipe nobody reads is refused rather than waited for, which nothing could interrupt.
        const int fd = OpenRetrying(final_path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK, 0);
        if (fd < 0) {
            error_ = errno == ENXIO ? "no program reads from this pipe" : std::strerror(errno);
            return false;
        }
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        fd_ = fd;
        return true;
    }
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string name = TemporaryName(final_path, attempt);
        const int fd = OpenRetrying(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            fd_ = fd;
            temporary_ = name;
            created_ = true;
            return true;
        }
        if (errno != EEXIST) break;
    }
    error_ = std::strerror(errno);
    return false;
}

bool OutputFile::Commit(bool replace) {
    const bool closed = Close();
    if (temporary_.empty()) return closed;
    if (!closed) {
        const std::string why = error_;
        Discard();
        error_ = why;
        return false;
    }
    // A symbolic link at the final name is written through to its target, never replaced.
    std::string target = path_;
    std::error_code ec;
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(target, ec))) {
        const auto resolved = std::filesystem::weakly_canonical(target, ec);
        if (!ec) target = resolved.string();
    }
    const int rc = replace ? ::rename(temporary_.c_str(), target.c_str())
                           : ::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, target.c_str(),
                                         RENAME_NOREPLACE);
    if (rc != 0) {
        const int err = errno;
        error_ = std::strerror(err);
        ::unlink(temporary_.c_str());
        temporary_.clear();
        created_ = false;
        errno = err;  // callers tell an existing file (EEXIST) from other failures
        return false;
    }
    temporary_.clear();
    return true;
}

void OutputFile::Discard() {
    Close();
    if (created_) ::unlink(written_path().c_str());
    temporary_.clear();
    created_ = false;
}

void OutputFile::Adopt(int fd, std::string path) {
    Reset(path);
    fd_ = fd;
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
    const CloseFunction close_function = g_close.load();
    const int rc = close_function != nullptr ? close_function(fd_) : ::close(fd_);
    fd_ = -1;
    // Linux releases the descriptor even when close is interrupted; EINTR loses nothing.
    if (rc != 0 && errno != EINTR) {
        error_ = std::strerror(errno);
        return false;
    }
    return true;
}

bool OutputFile::Unlinked() const {
    struct stat st {};
    return fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 0;
}

bool OutputFile::SaveUnlinked() {
    saved_path_.clear();
    if (fd_ < 0) {
        error_ = "file is not open";
        return false;
    }
    const std::filesystem::path want(path_);
    std::error_code ec;
    if (want.has_parent_path()) std::filesystem::create_directories(want.parent_path(), ec);
    if (ec) {
        error_ = "cannot make the folder " + want.parent_path().string() + ": " + ec.message();
        return false;
    }
    const std::string name = FirstFreeName(path_);
    if (name.empty()) {
        error_ = "no free name for " + path_;
        return false;
    }
    const int out = OpenRetrying(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out < 0) {
        error_ = name + ": " + std::strerror(errno);
        return false;
    }
    std::vector<uint8_t> buffer(1 << 20);
    off_t at = 0;
    bool ok = true;
    for (;;) {
        const ssize_t n = ::pread(fd_, buffer.data(), buffer.size(), at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error_ = std::string("cannot read back the recording: ") + std::strerror(errno);
            ok = false;
            break;
        }
        if (n == 0) break;
        size_t done = 0;
        while (done < static_cast<size_t>(n)) {
            const ssize_t w = ::write(out, buffer.data() + done, static_cast<size_t>(n) - done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                error_ = name + ": " + (w < 0 ? std::strerror(errno) : "no progress writing");
                ok = false;
                break;
            }
            done += static_cast<size_t>(w);
        }
        if (!ok) break;
        at += n;
    }
    if (::close(out) != 0 && ok && errno != EINTR) {
        error_ = name + ": " + std::strerror(errno);
        ok = false;
    }
    if (!ok) {
        ::unlink(name.c_str());
        return false;
    }
    saved_path_ = name;
    return true;
}

std::string FirstFreeName(const std::string& path) {
    if (!Exists(path)) return path;
    const std::filesystem::path p(path);
    const std::string stem = p.stem().string();
    const std::string ext = p.extension().string();
    for (int n = 2; n < 10000; ++n) {
        const std::filesystem::path candidate =
            p.parent_path() / (stem + " (" + std::to_string(n) + ")" + ext);
        if (!Exists(candidate.string())) return candidate.string();
    }
    return {};
}

}  // namespace tessaline
