#include "recording/file_names.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace tessaline {

std::string DottedExtension(std::string_view setting) {
    std::string out(setting);
    if (!out.empty() && out.front() != '.') out.insert(out.begin(), '.');
    return out;
}

std::string WithoutExtension(std::string_view name) {
    const size_t dot = name.rfind('.');
    const size_t slash = name.find_last_of("/\\");
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) {
        return std::string(name);
    }
    return std::string(name.substr(0, dot));
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string FirstFreeNumberedName(const std::string& base, const std::string& ext) {
    for (unsigned long n = 1;; ++n) {
        char counter[32];
        std::snprintf(counter, sizeof counter, "%04lu", n);
        std::string candidate = base + counter;
        if (!FileExists(candidate + ext)) return candidate;
    }
}

std::string FirstFreeName(const std::string& base, const std::string& ext) {
    if (!FileExists(base + ext)) return base;
    for (unsigned long n = 2;; ++n) {
        std::string candidate = base + " (" + std::to_string(n) + ")";
        if (!FileExists(candidate + ext)) return candidate;
    }
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the flag: a hard link fails on an existing target just the same.
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    ::unlink(from.c_str());
    return true;
}

bool RemoveIfEmpty(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != 0) return false;
    return ::unlink(path.c_str()) == 0;
}

}  // namespace tessaline
