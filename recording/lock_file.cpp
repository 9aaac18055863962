// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/lock_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace tessaline {

namespace {

using namespace std::chrono_literals;

// Somebody asking who holds a lock holds it shared for a moment; a taker that meets that tries
// again this often before it calls the lock busy.
constexpr int kProbeRetries = 5;
constexpr auto kProbeRetryPause = 2ms;

std::string ReadLine(int fd) {
    std::string text;
    char buffer[256];
    for (off_t at = 0; text.size() < 1024;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
        at += n;
    }
    if (const size_t nl = text.find('\n'); nl != std::string::npos) text.resize(nl);
    return text;
}

}  // namespace

LockFile::LockFile(std::filesystem::path path) : path_(std::move(path)) {}

LockFile::~LockFile() {
    Release();
}

LockFile::Result LockFile::TryTake(std::string_view holder, std::string& error) {
    error.clear();
    if (fd_ >= 0) return Result::Taken;
    for (int attempt = 0;; ++attempt) {
        int fd;
        do {
            fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            error = path_.string() + ": " + std::strerror(errno);
            return Result::Failed;
        }
        int rc;
        do {
            rc = ::flock(fd, LOCK_EX | LOCK_NB);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            const int e = errno;
            ::close(fd);
            if (e != EWOULDBLOCK) {
                error = path_.string() + ": " + std::strerror(e);
                return Result::Failed;
            }
            if (attempt >= kProbeRetries) return Result::Busy;
            std::this_thread::sleep_for(kProbeRetryPause);
            continue;
        }
        // The file locked must still be the one of that name: the last holder removes it on its
        // way out, and may have done so between our open and our lock.
        struct stat held {
        }, named{};
        if (::fstat(fd, &held) != 0 || ::stat(path_.c_str(), &named) != 0 ||
            held.st_ino != named.st_ino || held.st_dev != named.st_dev) {
            ::close(fd);
            if (attempt >= 100) {
                error = path_.string() + ": keeps being replaced";
                return Result::Failed;
            }
            continue;
        }
        const std::string line = std::string(holder) + "\n";
        if (::ftruncate(fd, 0) != 0 ||
            ::pwrite(fd, line.data(), line.size(), 0) != static_cast<ssize_t>(line.size())) {
            // Held all the same; only the holder's name is missing.
        }
        fd_ = fd;
        return Result::Taken;
    }
}

LockFile::Result LockFile::Take(std::string_view holder, std::chrono::milliseconds wait,
                                std::string& error) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        const Result r = TryTake(holder, error);
        if (r != Result::Busy || std::chrono::steady_clock::now() >= deadline) return r;
        std::this_thread::sleep_for(5ms);
    }
}

void LockFile::Release() {
    if (fd_ < 0) return;
    // Emptied and unnamed while still held, so that nobody reads our name or locks the file after
    // we let go.
    [[maybe_unused]] const int truncated = ::ftruncate(fd_, 0);
    ::unlink(path_.c_str());
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
}

std::optional<std::string> LockHolder(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> holder;
    if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
        ::flock(fd, LOCK_UN);
    } else {
        // Held: a holder that has just taken it writes its line at once.
        std::string line;
        for (int attempt = 0; attempt < 20 && line.empty(); ++attempt) {
            if (attempt > 0) std::this_thread::sleep_for(5ms);
            line = ReadLine(fd);
        }
        holder = line;
    }
    ::close(fd);
    return holder;
}

}  // namespace tessaline
