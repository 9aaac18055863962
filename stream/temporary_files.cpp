// SPDX-License-Identifier: GPL-3.0-or-later
#include "stream/temporary_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>

namespace tessaline {
namespace {

constexpr std::string_view kSuffix = ".part";

// The parts of a temporary's name around its process id.
struct NameParts {
    std::string folder;
    std::string prefix;  // ".NAME."
};

NameParts PartsOf(const std::string& target) {
    const std::filesystem::path p(target);
    std::string folder = p.parent_path().string();
    if (folder.empty()) folder = ".";
    return {folder, "." + p.filename().string() + "."};
}

// The process id in "<pid>-<tag>.part" (the part of a name after the prefix); 0 when it is not
// one of our temporaries.
pid_t ProcessOf(std::string_view rest) {
    if (rest.size() <= kSuffix.size() || !rest.ends_with(kSuffix)) return 0;
    rest.remove_suffix(kSuffix.size());
    const size_t dash = rest.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash > 10 || dash + 1 == rest.size()) {
        return 0;
    }
    long pid = 0;
    for (char c : rest.substr(0, dash)) {
        if (c < '0' || c > '9') return 0;
        pid = pid * 10 + (c - '0');
    }
    for (char c : rest.substr(dash + 1)) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return 0;
    }
    return pid > 0 && pid <= 0x7FFFFFFF ? static_cast<pid_t>(pid) : 0;
}

}  // namespace

std::string TemporaryName(const std::string& target, unsigned attempt) {
    static std::atomic<unsigned> counter{0};
    static const unsigned seed = std::random_device{}();
    const NameParts parts = PartsOf(target);
    char tag[64];
    std::snprintf(tag, sizeof tag, "%ld-%x%x%s", static_cast<long>(::getpid()), seed ^ attempt,
                  counter.fetch_add(1), kSuffix.data());
    return (std::filesystem::path(parts.folder) / (parts.prefix + tag)).string();
}

void RemoveStaleTemporaries(const std::string& target) {
    const NameParts parts = PartsOf(target);
    DIR* dir = ::opendir(parts.folder.c_str());
    if (dir == nullptr) return;
    const int dir_fd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (!name.starts_with(parts.prefix)) continue;
        const pid_t pid = ProcessOf(name.substr(parts.prefix.size()));
        if (pid == 0 || pid == ::getpid()) continue;
        // Only when the process is surely gone: EPERM means it runs under another user.
        if (::kill(pid, 0) == 0 || errno != ESRCH) continue;
        struct stat st {};
        if (::fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
            continue;
        }
        ::unlinkat(dir_fd, entry->d_name, 0);
    }
    ::closedir(dir);
}

bool FollowLinks(std::string& path, std::string& why) {
    namespace fs = std::filesystem;
    fs::path at(path);
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(at, ec))) {
            path = at.string();
            return true;
        }
        const fs::path next = fs::read_symlink(at, ec);
        if (ec) {
            why = ec.message();
            return false;
        }
        at = next.is_absolute() ? next : at.parent_path() / next;
    }
    why = std::strerror(ELOOP);
    return false;
}

}  // namespace tessaline
