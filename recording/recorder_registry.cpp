// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/recorder_registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "recording/private_folder.h"

namespace tessaline {

namespace {

std::atomic<unsigned> g_counter{0};

// "who pid deck", one line.
std::optional<RecorderRegistry::Recorder> ParseEntry(int fd) {
    char buffer[1024];
    const ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
    if (n <= 0) return std::nullopt;
    std::string line(buffer, static_cast<size_t>(n));
    if (const size_t nl = line.find('\n'); nl != std::string::npos) line.resize(nl);
    const size_t a = line.find(' ');
    const size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
    if (b == std::string::npos) return std::nullopt;
    RecorderRegistry::Recorder r;
    r.who = line.substr(0, a);
    r.pid = std::strtol(line.c_str() + a + 1, nullptr, 10);
    r.deck = line.substr(b + 1);
    return r;
}

}  // namespace

RecorderRegistry::RecorderRegistry(std::filesystem::path folder,
                                   const std::filesystem::path& settings_file)
    : folder_(std::move(folder)), prefix_("recording." + PathKey(settings_file) + ".") {}

RecorderRegistry::~RecorderRegistry() {
    Unregister();
}

bool RecorderRegistry::Register(const std::string& deck, std::string_view who, std::string& error) {
    Unregister();
    if (!PreparePrivateFolder(folder_, error)) return false;
    const std::string unique = std::to_string(::getpid()) + "." + std::to_string(g_counter++);
    // Made and locked under a name nobody looks at, then named: an entry is never seen unlocked.
    const std::filesystem::path temp = folder_ / (".new." + unique);
    const std::filesystem::path entry = folder_ / (prefix_ + unique);
    const int fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = temp.string() + ": " + std::strerror(errno);
        return false;
    }
    const std::string line =
        std::string(who) + " " + std::to_string(::getpid()) + " " + deck + "\n";
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        ::pwrite(fd, line.data(), line.size(), 0) != static_cast<ssize_t>(line.size()) ||
        ::rename(temp.c_str(), entry.c_str()) != 0) {
        error = entry.string() + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        ::close(fd);
        return false;
    }
    fd_ = fd;
    held_ = entry;
    return true;
}

void RecorderRegistry::Unregister() {
    if (fd_ < 0) return;
    ::unlink(held_.c_str());
    ::close(fd_);  // lets go of the lock
    fd_ = -1;
    held_.clear();
}

std::vector<RecorderRegistry::Recorder> RecorderRegistry::Others() const {
    std::vector<Recorder> found;
    DIR* dir = ::opendir(folder_.c_str());
    if (!dir) return found;
    while (const dirent* e = ::readdir(dir)) {
        const std::string_view name(e->d_name);
        if (!name.starts_with(prefix_)) continue;
        const std::filesystem::path path = folder_ / std::string(name);
        if (path == held_) continue;
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) continue;
        if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
            // Nobody holds it: left by a program that ended without letting go (unless the name
            // already belongs to another file).
            struct stat held {
            }, named{};
            if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
                held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
                ::unlink(path.c_str());
            }
        } else if (auto r = ParseEntry(fd)) {
            found.push_back(std::move(*r));
        }
        ::close(fd);
    }
    ::closedir(dir);
    return found;
}

std::optional<RecorderRegistry::Recorder> RecorderRegistry::OtherOn(const std::string& deck) const {
    for (Recorder& r : Others()) {
        if (r.deck == deck) return std::move(r);
    }
    return std::nullopt;
}

std::string RecorderRegistry::Describe(const Recorder& r) {
    const std::string who = r.who == "record" ? "tessaline-cli record" : "the " + r.who;
    return who + " (process " + std::to_string(r.pid) + ") on " + r.deck;
}

}  // namespace tessaline
