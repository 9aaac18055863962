// The settings file format: "[Section]" headers and "Key=Value" lines, read and written with the
// rules of the classic profile functions (case-blind section and key names, values trimmed,
// integers in decimal, the first of two equal keys wins). A save rewrites the whole file but keeps
// every line it does not change byte for byte, so comments, other sections and keys this program
// does not know survive.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaline {

// The UTF-8 byte-order mark some editors put at the start of a text file.
inline constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

class IniFile {
  public:
    // Never fails: whatever is not a section header or a key line is kept as plain text. A
    // byte-order mark at the start is not part of the first line, and is written back.
    static IniFile Parse(std::string_view bytes);
    std::string Serialize() const;

    // The trimmed value of the first key of that name in the first section of that name.
    std::optional<std::string> Get(std::string_view section, std::string_view key) const;
    // Replaces the first such key's line, or adds the key at the end of its section (the section
    // at the end of the file when it is missing). Line breaks and NULs in the value become blanks,
    // since the format cannot hold them.
    void Set(std::string_view section, std::string_view key, std::string_view value);

    bool Empty() const { return lines_.empty(); }
    bool HasBom() const { return bom_; }

  private:
    struct Line {
        std::string text;  // without its terminator
        std::string eol;   // "\n", "\r\n", or empty for a last line without one
    };
    // Index of the first header of section, or npos.
    size_t FindSection(std::string_view section) const;

    std::vector<Line> lines_;
    std::string eol_ = "\n";  // terminator for lines we add: the file's own style
    bool bom_ = false;        // the file began with a UTF-8 byte-order mark
};

// A profile integer: optional sign and decimal digits, blanks around allowed, nothing else.
std::optional<int32_t> ParseProfileInt(std::string_view text);

// Reads with the profile defaults: a missing key or a value that is not a decimal number gives def.
int32_t ReadProfileInt(const IniFile& ini, std::string_view section, std::string_view key,
                       int32_t def);
// Booleans are stored as "1"/"0" and read as integers; any non-zero value is true.
bool ReadProfileBool(const IniFile& ini, std::string_view section, std::string_view key, bool def);
std::string ReadProfileString(const IniFile& ini, std::string_view section, std::string_view key,
                              std::string_view def);

void WriteProfileInt(IniFile& ini, std::string_view section, std::string_view key, int32_t value);
void WriteProfileBool(IniFile& ini, std::string_view section, std::string_view key, bool value);

// A settings file is a few kilobytes; anything far bigger is not one we wrote, and is neither read
// nor overwritten.
inline constexpr uintmax_t kMaxIniFileBytes = 4u << 20;

enum class IniReadStatus {
    Ok,
    Missing,     // no such file: an empty document
    TooLarge,    // larger than kMaxIniFileBytes: not read
    Unreadable,  // not a regular file, or it cannot be opened or read
};

struct IniReadResult {
    IniFile file;
    IniReadStatus status = IniReadStatus::Missing;
    std::string error;  // why, for Unreadable and TooLarge
};

IniReadResult ReadIniFile(const std::filesystem::path& path);

// Writes the document to a temporary file beside path and renames it over path, so that a crash
// or a full disk leaves the old file or the new one, never half of one. A file without any write
// permission is left alone (a read-only settings file means "do not change"). The new file keeps
// the old one's permissions, and its owner and group where the process may set them; a symbolic
// link (or a chain of them) is written through to its target, never replaced. Missing folders are
// made. Where no file can be made beside it (a folder that may not be written) but the file itself
// may be, the file is rewritten in place instead.
bool WriteIniFileAtomic(const std::filesystem::path& path, const IniFile& ini, std::string* error);

// A change to the settings file made by one program while others may change it too (the window,
// the service): read, changed and written back as one step under the file's lock in the user's
// private folder, so that no writer loses another's change. change gets the file as it is now
// (empty when missing) and returns whether to write it (false: nothing to write, or refused;
// reason set by change when refused). A file that cannot be read is never written over. False
// with error set when the change was refused or the file could not be read or written.
bool UpdateIniFile(const std::filesystem::path& path,
                   const std::function<bool(IniFile& ini, std::string& reason)>& change,
                   std::string* error);
// Where that lock lives.
std::filesystem::path SettingsLockPath(const std::filesystem::path& settings_file);

}  // namespace tessaline
