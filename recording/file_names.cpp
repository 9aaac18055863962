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

std::string FileNameText(std::string_view text) {
    std::string out(text);
    bool leading = true;
    for (char& c : out) {
        leading = leading && c == '.';
        if (c == '/' || c == '\0' || leading) c = kNameReplacement;
    }
    return out;
}

std::string NameInFolder(std::string_view folder, std::string_view text) {
    return std::string(folder) + FileNameText(text);
}

namespace {

// The length of text cut to at most limit bytes without splitting a UTF-8 character.
size_t CutAtCharacter(std::string_view text, size_t limit) {
    if (text.size() <= limit) return text.size();
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return cut;
}

}  // namespace

std::string FileNameExtension(std::string_view ext) {
    std::string out(ext.substr(0, CutAtCharacter(ext, kMaxExtensionBytes)));
    for (char& c : out) {
        if (c == '/' || c == '\0') c = kNameReplacement;
    }
    return out;
}

std::string FitFileName(std::string_view base, std::string_view tail) {
    const size_t slash = base.rfind('/');
    const size_t start = slash == std::string_view::npos ? 0 : slash + 1;
    const std::string_view name = base.substr(start);
    const size_t room = tail.size() < kMaxFileNameBytes ? kMaxFileNameBytes - tail.size() : 0;
    std::string out(base.substr(0, start));
    out += name.substr(0, CutAtCharacter(name, room));
    // Nothing before the tail: never the folder itself, never a hidden name.
    if (out.size() == start && (tail.empty() || tail.front() == '.')) out += kNameReplacement;
    return out;
}

std::string SeriesName(NameSeries series, const std::string& base, const std::string& ext,
                       unsigned n) {
    std::string counter;
    if (series == NameSeries::Numbered) {
        char digits[32];
        std::snprintf(digits, sizeof digits, "%04u", n + 1);
        counter = digits;
    } else if (n > 0) {
        counter = " (" + std::to_string(n + 1) + ")";
    }
    return FitFileName(base, counter + ext) + counter;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

namespace {

std::string FirstFree(NameSeries series, const std::string& base, const std::string& ext) {
    for (unsigned n = 0;; ++n) {
        std::string candidate = SeriesName(series, base, ext, n);
        if (!FileExists(candidate + ext)) return candidate;
    }
}

}  // namespace

std::string FirstFreeNumberedName(const std::string& base, const std::string& ext) {
    return FirstFree(NameSeries::Numbered, base, ext);
}

std::string FirstFreeName(const std::string& base, const std::string& ext) {
    return FirstFree(NameSeries::Counted, base, ext);
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
