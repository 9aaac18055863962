// Arbitrary bytes as a settings file: read, rewritten unchanged, and changed the way the window
// saves its options, in memory and through the real file (in a private temporary folder, removed
// at the end). The first byte says where the file ends and a value to store begins.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "app/ini_file.h"

using namespace tessaline;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// What a stored value reads back as: line breaks and NULs become blanks, blanks around go.
std::string Stored(std::string_view value) {
    std::string s(value);
    for (char& c : s) {
        if (c == '\n' || c == '\r' || c == '\0') c = ' ';
    }
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// The folder the file lives in for the whole run, made once and removed at exit (the path is
// never destroyed, so that it is still there when the exit handler runs).
const std::filesystem::path& Folder() {
    static const std::filesystem::path* const folder = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/tessaline-ini-fuzz-XXXXXX";
        if (::mkdtemp(name.data()) == nullptr) std::abort();
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(Folder(), ec);
        });
        return new std::filesystem::path(name);
    }();
    return *folder;
}

void WriteRaw(const std::filesystem::path& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    Check(fd >= 0);
    Check(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

size_t Entries(const std::filesystem::path& folder) {
    size_t n = 0;
    DIR* dir = ::opendir(folder.c_str());
    Check(dir != nullptr);
    while (const dirent* e = ::readdir(dir)) {
        const std::string_view name(e->d_name);
        n += name != "." && name != "..";
    }
    ::closedir(dir);
    return n;
}

// The file as the window reads and saves it: what was read is what the bytes say, a save keeps
// the file's permissions and leaves no temporary, and what was saved is read back.
void ThroughTheFile(std::string_view file, const IniFile& changed) {
    const std::filesystem::path path = Folder() / "tessaline.INI";
    WriteRaw(path, file);
    IniReadResult read = ReadIniFile(path);
    Check(read.status == IniReadStatus::Ok);
    Check(read.file.Serialize() == file);
    std::string why;
    Check(WriteIniFileAtomic(path, changed, &why));
    Check(Entries(Folder()) == 1);
    read = ReadIniFile(path);
    Check(read.status == IniReadStatus::Ok && read.file.Serialize() == changed.Serialize());
    Check((std::filesystem::status(path).permissions() & std::filesystem::perms::all) ==
          (std::filesystem::perms::owner_read | std::filesystem::perms::owner_write));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t split = (size - 1) * data[0] / 255;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string_view file = bytes.substr(0, split);
    const std::string_view value = bytes.substr(split);

    // Reading and writing back without a change keeps the file byte for byte, a byte-order mark
    // included.
    IniFile ini = IniFile::Parse(file);
    Check(ini.Serialize() == file);
    Check(ini.HasBom() == file.starts_with(kUtf8Bom));

    // Every read the window makes, on whatever the file holds.
    for (const char* key : {"Device", "Mode", "Folder", "TrimPacket"}) {
        static_cast<void>(ReadProfileInt(ini, "Capture", key, -1));
        static_cast<void>(ReadProfileBool(ini, "Capture", key, false));
        static_cast<void>(ReadProfileString(ini, "Capture", key, "default"));
    }
    if (const auto n = ParseProfileInt(value)) {
        // A number read from the file survives a save and a new read.
        WriteProfileInt(ini, "Capture", "Number", *n);
        Check(ReadProfileInt(IniFile::Parse(ini.Serialize()), "Capture", "Number", 0) == *n);
    }

    // A value stored and the file read again: the value as stored, the rest of the file kept.
    ini.Set("Capture", "Folder", value);
    const IniFile reread = IniFile::Parse(ini.Serialize());
    Check(reread.Get("Capture", "Folder") == Stored(value));
    Check(reread.Serialize() == ini.Serialize());
    ini.Set("Other", "Key", "1");
    const std::string saved = ini.Serialize();
    Check(IniFile::Parse(saved).Get("Capture", "Folder") == Stored(value));
    // A save keeps the mark the file had, and adds none.
    Check(saved.starts_with(kUtf8Bom) == file.starts_with(kUtf8Bom));
    ThroughTheFile(file, ini);
    return 0;
}
