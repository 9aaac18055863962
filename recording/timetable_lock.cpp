// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/timetable_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace tessaline {

namespace {

constexpr std::string_view kWindowTag = "window";
constexpr std::string_view kServiceTag = "service";

std::string ReadAll(int fd) {
    std::string text;
    char buffer[128];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
        at += n;
        if (text.size() > 1024) break;  // ours are one short line
    }
    return text;
}

}  // namespace

std::string_view RunnerName(TimetableRunner runner) {
    switch (runner) {
        case TimetableRunner::Window:
            return kWindowTag;
        case TimetableRunner::Service:
            return kServiceTag;
        default:
            return "nobody";
    }
}

std::filesystem::path TimetableLockPath(const std::filesystem::path& settings_file) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code ec;
    const std::filesystem::path folder = runtime && *runtime
                                             ? std::filesystem::path(runtime)
                                             : std::filesystem::temp_directory_path(ec);
    std::filesystem::path file = std::filesystem::weakly_canonical(settings_file, ec);
    if (ec) file = std::filesystem::absolute(settings_file, ec);
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (const unsigned char c : file.string()) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return (folder.empty() ? std::filesystem::path("/tmp") : folder) /
           ("tessaline-timetable." + std::to_string(::getuid()) + "." + hex + ".lock");
}

TimetableLock::TimetableLock(std::filesystem::path path) : path_(std::move(path)) {}

TimetableLock::~TimetableLock() {
    Release();
}

bool TimetableLock::TryAcquire(TimetableRunner as) {
    error_.clear();
    if (fd_ >= 0) return true;
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error_ = std::strerror(errno);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        ::close(fd);
        if (e != EWOULDBLOCK) error_ = std::strerror(e);
        return false;
    }
    const std::string line = std::string(RunnerName(as)) + " " + std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, line.data(), line.size(), 0) != static_cast<ssize_t>(line.size())) {
        // Held all the same; only the name is missing, which askers take for the window.
        error_ = std::strerror(errno);
    }
    fd_ = fd;
    return true;
}

void TimetableLock::Release() {
    if (fd_ < 0) return;
    // Emptied first, so that nobody reads our name after the lock is gone.
    [[maybe_unused]] const int truncated = ::ftruncate(fd_, 0);
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
}

TimetableRunner WhoRunsTimetable(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return TimetableRunner::Nobody;
    TimetableRunner runner = TimetableRunner::Nobody;
    if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
        ::flock(fd, LOCK_UN);
    } else {
        runner = TimetableRunner::Window;
        for (int attempt = 0; attempt < 20; ++attempt) {
            const std::string text = ReadAll(fd);
            if (text.starts_with(kServiceTag)) {
                runner = TimetableRunner::Service;
                break;
            }
            if (text.starts_with(kWindowTag)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ::close(fd);
    return runner;
}

}  // namespace tessaline
