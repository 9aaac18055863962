// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/private_folder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace tessaline {

namespace {

constexpr char kFolderName[] = "tessaline";

std::filesystem::path HomeOf(uid_t uid) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(static_cast<size_t>(size > 0 ? size : 16384));
    struct passwd entry {};
    struct passwd* found = nullptr;
    while (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    if (!found || !found->pw_dir || found->pw_dir[0] != '/') return {};
    return found->pw_dir;
}

}  // namespace

std::filesystem::path PrivateFolderOf(uid_t uid, const std::filesystem::path& runtime_root,
                                      const std::filesystem::path& home) {
    const std::filesystem::path runtime = runtime_root / std::to_string(uid);
    struct stat st {};
    if (::lstat(runtime.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid) {
        return runtime / kFolderName;
    }
    if (home.empty()) return {};
    return home / ".cache" / kFolderName;
}

std::filesystem::path PrivateFolder() {
    const uid_t uid = ::getuid();
    const std::filesystem::path folder = PrivateFolderOf(uid, "/run/user", HomeOf(uid));
    if (!folder.empty() && folder.parent_path().filename() == ".cache") {
        // The user's cache folder, as any program following the XDG rules makes it.
        ::mkdir(folder.parent_path().c_str(), 0700);
    }
    return folder;
}

bool PreparePrivateFolder(const std::filesystem::path& folder, std::string& reason) {
    if (folder.empty()) {
        reason = "no folder of this user to use (no runtime folder and no home)";
        return false;
    }
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        reason = folder.string() + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0) {
        reason = folder.string() + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        reason = folder.string() + ": not a folder";
        return false;
    }
    if (st.st_uid != ::getuid()) {
        reason = folder.string() + ": the folder belongs to another user";
        return false;
    }
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        reason = folder.string() + ": the folder is open to other users (mode " + mode +
                 "); it must be 0700";
        return false;
    }
    return true;
}

std::string PathKey(const std::filesystem::path& file) {
    std::error_code ec;
    std::filesystem::path full = std::filesystem::weakly_canonical(file, ec);
    if (ec) full = std::filesystem::absolute(file, ec);
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (const unsigned char c : full.string()) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

}  // namespace tessaline
