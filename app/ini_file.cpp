#include "app/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <system_error>

#include "recording/lock_file.h"
#include "recording/private_folder.h"

namespace tessaline {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// "[Name]" (blanks allowed around and inside the brackets) gives Name.
std::optional<std::string_view> SectionOf(std::string_view line) {
    line = Trim(line);
    if (line.empty() || line.front() != '[') return std::nullopt;
    const size_t close = line.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    return Trim(line.substr(1, close - 1));
}

struct KeyValue {
    std::string_view key;
    std::string_view value;
};

std::optional<KeyValue> KeyOf(std::string_view line) {
    const std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#' ||
        trimmed.front() == '[') {
        return std::nullopt;
    }
    const size_t eq = trimmed.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    const std::string_view key = Trim(trimmed.substr(0, eq));
    if (key.empty()) return std::nullopt;
    return KeyValue{key, Trim(trimmed.substr(eq + 1))};
}

std::string Clean(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c == '\n' || c == '\r' || c == '\0') c = ' ';
    }
    return out;
}

std::string SystemError(int err) {
    return std::generic_category().message(err);
}

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

IniFile IniFile::Parse(std::string_view bytes) {
    IniFile ini;
    // Editors may put a UTF-8 byte-order mark in front; it is not part of the first line (which
    // would otherwise hide the first section header), and the file keeps it when it is saved.
    if (bytes.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
        bytes.remove_prefix(kUtf8Bom.size());
        ini.bom_ = true;
    }
    bool style_known = false;
    while (!bytes.empty()) {
        const size_t nl = bytes.find('\n');
        Line line;
        if (nl == std::string_view::npos) {
            line.text = std::string(bytes);
            bytes = {};
        } else {
            std::string_view text = bytes.substr(0, nl);
            if (!text.empty() && text.back() == '\r') {
                text.remove_suffix(1);
                line.eol = "\r\n";
            } else {
                line.eol = "\n";
            }
            line.text = std::string(text);
            bytes.remove_prefix(nl + 1);
            if (!style_known) {
                ini.eol_ = line.eol;
                style_known = true;
            }
        }
        ini.lines_.push_back(std::move(line));
    }
    return ini;
}

std::string IniFile::Serialize() const {
    std::string out(bom_ ? kUtf8Bom : std::string_view());
    for (const Line& line : lines_) {
        out += line.text;
        out += line.eol;
    }
    return out;
}

size_t IniFile::FindSection(std::string_view section) const {
    for (size_t i = 0; i < lines_.size(); ++i) {
        const auto name = SectionOf(lines_[i].text);
        if (name && EqualNoCase(*name, section)) return i;
    }
    return std::string::npos;
}

std::optional<std::string> IniFile::Get(std::string_view section, std::string_view key) const {
    const size_t start = FindSection(section);
    if (start == std::string::npos) return std::nullopt;
    for (size_t i = start + 1; i < lines_.size(); ++i) {
        if (SectionOf(lines_[i].text)) break;
        const auto kv = KeyOf(lines_[i].text);
        if (kv && EqualNoCase(kv->key, key)) return std::string(kv->value);
    }
    return std::nullopt;
}

void IniFile::Set(std::string_view section, std::string_view key, std::string_view value) {
    const std::string text = Clean(key) + "=" + Clean(value);
    size_t start = FindSection(section);
    if (start == std::string::npos) {
        if (!lines_.empty() && lines_.back().eol.empty()) lines_.back().eol = eol_;
        lines_.push_back({"[" + Clean(section) + "]", eol_});
        lines_.push_back({text, eol_});
        return;
    }
    size_t last_content = start;  // new keys go after the section's last non-blank line
    for (size_t i = start + 1; i < lines_.size(); ++i) {
        if (SectionOf(lines_[i].text)) break;
        const auto kv = KeyOf(lines_[i].text);
        if (kv && EqualNoCase(kv->key, key)) {
            lines_[i].text = text;
            return;
        }
        if (!Trim(lines_[i].text).empty()) last_content = i;
    }
    if (lines_[last_content].eol.empty()) lines_[last_content].eol = eol_;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(last_content) + 1, {text, eol_});
}

std::optional<int32_t> ParseProfileInt(std::string_view text) {
    text = Trim(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') return std::nullopt;
    }
    if (text.empty()) return std::nullopt;
    int32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

int32_t ReadProfileInt(const IniFile& ini, std::string_view section, std::string_view key,
                       int32_t def) {
    const auto value = ini.Get(section, key);
    if (!value) return def;
    return ParseProfileInt(*value).value_or(def);
}

bool ReadProfileBool(const IniFile& ini, std::string_view section, std::string_view key, bool def) {
    return ReadProfileInt(ini, section, key, def ? 1 : 0) != 0;
}

std::string ReadProfileString(const IniFile& ini, std::string_view section, std::string_view key,
                              std::string_view def) {
    const auto value = ini.Get(section, key);
    return value ? *value : std::string(def);
}

void WriteProfileInt(IniFile& ini, std::string_view section, std::string_view key, int32_t value) {
    ini.Set(section, key, std::to_string(value));
}

void WriteProfileBool(IniFile& ini, std::string_view section, std::string_view key, bool value) {
    ini.Set(section, key, value ? "1" : "0");
}

IniReadResult ReadIniFile(const std::filesystem::path& path) {
    IniReadResult result;
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status)) {
        result.status = IniReadStatus::Missing;
        return result;
    }
    if (!std::filesystem::is_regular_file(status)) {
        result.status = IniReadStatus::Unreadable;
        result.error = "not a regular file";
        return result;
    }
    const uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec) {
        result.status = IniReadStatus::Unreadable;
        result.error = ec.message();
        return result;
    }
    if (size > kMaxIniFileBytes) {
        result.status = IniReadStatus::TooLarge;
        result.error = "file of " + std::to_string(size) + " bytes is too large for settings";
        return result;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        result.status = IniReadStatus::Unreadable;
        result.error = SystemError(errno);
        return result;
    }
    // Read at most one byte past the limit, in case the file grew since its size was taken.
    std::string bytes(static_cast<size_t>(size) + 1, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) {
        result.status = IniReadStatus::Unreadable;
        result.error = "read error";
        return result;
    }
    bytes.resize(static_cast<size_t>(in.gcount()));
    if (bytes.size() > kMaxIniFileBytes) {
        result.status = IniReadStatus::TooLarge;
        result.error = "file is too large for settings";
        return result;
    }
    result.file = IniFile::Parse(bytes);
    result.status = IniReadStatus::Ok;
    return result;
}

namespace {

// The file a chain of symbolic links ends in (the path itself when it is none); the end need not
// exist yet. Relative links count from the folder of the link.
bool FollowLinks(std::filesystem::path& path, std::string& why) {
    namespace fs = std::filesystem;
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(path, ec))) return true;
        const fs::path next = fs::read_symlink(path, ec);
        if (ec) {
            why = ec.message();
            return false;
        }
        path = next.is_absolute() ? next : path.parent_path() / next;
    }
    why = SystemError(ELOOP);
    return false;
}

// Rewrites an existing file through its own inode: for a file that may be written in a folder
// that may not, where no temporary file can be made beside it. Not crash-proof, but the only way
// to save at all there.
bool WriteInPlace(const std::filesystem::path& target, const std::string& bytes, int& err) {
    const int fd = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        return false;
    }
    bool ok = WriteAll(fd, bytes) && ::fsync(fd) == 0;
    err = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    return ok;
}

}  // namespace

bool WriteIniFileAtomic(const std::filesystem::path& path, const IniFile& ini, std::string* error) {
    auto fail = [error](std::string why) {
        if (error) *error = std::move(why);
        return false;
    };
    namespace fs = std::filesystem;
    std::error_code ec;
    // A link is written through to the file it names and stays a link.
    fs::path target = path;
    std::string why;
    if (!FollowLinks(target, why)) return fail(why);

    struct stat old_stat {};
    const bool existed = ::stat(target.c_str(), &old_stat) == 0;
    if (existed) {
        if (!S_ISREG(old_stat.st_mode)) return fail("not a regular file");
        // Checked by the mode bits as well as access(): root may write anywhere, but a file made
        // read-only is meant to stay as it is.
        if ((old_stat.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ||
            ::access(target.c_str(), W_OK) != 0) {
            return fail("the file is read-only");
        }
    }

    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    fs::create_directories(folder, ec);
    if (ec) return fail(ec.message());

    const std::string bytes = ini.Serialize();
    static std::atomic<unsigned> counter{0};
    fs::path temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = folder / ("." + target.filename().string() + "." + std::to_string(::getpid()) + "." +
                         std::to_string(counter++) + ".tmp");
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno == EEXIST) continue;
        const int open_err = errno;
        if (existed && (open_err == EACCES || open_err == EPERM || open_err == EROFS)) {
            int err = 0;
            if (WriteInPlace(target, bytes, err)) return true;
            return fail(SystemError(err));
        }
        return fail(SystemError(open_err));
    }
    if (fd < 0) return fail("no free temporary file name");

    bool ok = WriteAll(fd, bytes);
    int err = ok ? 0 : errno;
    if (ok && existed) {
        // The new file takes the old one's place: same owner and group where we may set them
        // (root saving a user's file), same permissions. A refused chown leaves ours.
        struct stat now {};
        if (::fstat(fd, &now) == 0 &&
            (now.st_uid != old_stat.st_uid || now.st_gid != old_stat.st_gid)) {
            [[maybe_unused]] const int refused = ::fchown(fd, old_stat.st_uid, old_stat.st_gid);
        }
        if (::fchmod(fd, old_stat.st_mode & 07777) != 0) {
            ok = false;
            err = errno;
        }
    }
    if (ok && ::fsync(fd) != 0) {
        ok = false;
        err = errno;
    }
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return fail(SystemError(err));
    }
    // Make the rename itself durable; a failure here loses nothing that was not already at risk.
    const int dir_fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        ::fsync(dir_fd);
        ::close(dir_fd);
    }
    return true;
}

std::filesystem::path SettingsLockPath(const std::filesystem::path& settings_file) {
    return PrivateFolder() / ("settings." + PathKey(settings_file) + ".lock");
}

bool UpdateIniFile(const std::filesystem::path& path,
                   const std::function<bool(IniFile& ini, std::string& reason)>& change,
                   std::string* error) {
    auto fail = [error](std::string why) {
        if (error) *error = std::move(why);
        return false;
    };
    // Another writer holds the lock only for one read and one write.
    constexpr std::chrono::seconds kLockWait{5};
    const std::filesystem::path lock_path = SettingsLockPath(path);
    LockFile lock(lock_path);
    std::string why;
    if (PreparePrivateFolder(lock_path.parent_path(), why)) {
        const std::string holder = "settings " + std::to_string(::getpid());
        switch (lock.Take(holder, kLockWait, why)) {
            case LockFile::Result::Taken:
                break;
            case LockFile::Result::Busy:
                return fail("another program keeps writing it (" + lock_path.string() + ")");
            case LockFile::Result::Failed:
                break;  // no lock to be had anywhere: written as before, without one
        }
    }
    IniReadResult current = ReadIniFile(path);
    if (current.status != IniReadStatus::Ok && current.status != IniReadStatus::Missing) {
        return fail(current.error);  // rewriting it would lose what could not be read
    }
    std::string reason;
    if (!change(current.file, reason)) return reason.empty() ? true : fail(reason);
    return WriteIniFileAtomic(path, current.file, error);
}

}  // namespace tessaline
