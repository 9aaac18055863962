#include "app/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "recording/lock_file.h"
#include "recording/private_folder.h"
#include "tests/support/test_support.h"

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::string ReadText(const fs::path& path) {
    const auto bytes = test::ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

void WriteText(const fs::path& path, const std::string& text) {
    test::WriteFile(path, test::Bytes(text.begin(), text.end()));
}

TEST(IniFile, KeepsEveryByteItDoesNotChange) {
    std::string garbage = "; comment\r\n[Other]\r\nA = 1\r\n\r\n[Capture]\r\nX=\xff\xfe\x01";
    garbage += std::string("\0zz\n", 4);
    garbage += "no equals sign here\n[broken\nlast line without newline";
    const IniFile ini = IniFile::Parse(garbage);
    EXPECT_EQ(ini.Serialize(), garbage);
}

TEST(IniFile, LooksUpLikeTheProfileFunctions) {
    const IniFile ini = IniFile::Parse(
        "Device=7\n"  // before any section: belongs to none
        "[other]\nDevice=5\n"
        "[ CAPTURE ]\n"
        "  device =  3  \n"
        "Device=4\n"  // the first of two equal keys wins
        "; Wait=1\n"
        "Empty=\n"
        "[Capture]\nLate=1\n");  // a second section of the same name is not looked at
    EXPECT_EQ(ini.Get("Capture", "Device"), "3");
    EXPECT_EQ(ini.Get("capture", "DEVICE"), "3");
    EXPECT_EQ(ini.Get("Other", "Device"), "5");
    EXPECT_EQ(ini.Get("Capture", "Empty"), "");
    EXPECT_FALSE(ini.Get("Capture", "Wait"));
    EXPECT_FALSE(ini.Get("Capture", "Late"));
    EXPECT_FALSE(ini.Get("Missing", "Device"));
}

TEST(IniFile, SetReplacesInPlaceOrAddsAtTheEndOfTheSection) {
    IniFile ini = IniFile::Parse(
        "[Capture]\r\n; note\r\ndevice=1\r\nReserve01=abc\r\n\r\n[Other]\r\nB=2\r\n");
    ini.Set("Capture", "Device", "-1");
    ini.Set("Capture", "LastTime", "45");
    ini.Set("Fresh", "Key", "v");
    EXPECT_EQ(ini.Serialize(),
              "[Capture]\r\n; note\r\nDevice=-1\r\nReserve01=abc\r\nLastTime=45\r\n\r\n"
              "[Other]\r\nB=2\r\n[Fresh]\r\nKey=v\r\n");
}

TEST(IniFile, SetOnAFileWithoutFinalNewlineAndOnAnEmptyFile) {
    IniFile tail = IniFile::Parse("[Capture]\nA=1");
    tail.Set("Capture", "B", "2");
    EXPECT_EQ(tail.Serialize(), "[Capture]\nA=1\nB=2\n");

    IniFile empty = IniFile::Parse("");
    empty.Set("Capture", "A", "1");
    EXPECT_EQ(empty.Serialize(), "[Capture]\nA=1\n");
}

TEST(IniFile, ValuesCannotBreakTheLineStructure) {
    IniFile ini;
    ini.Set("Capture", "LastFile", std::string("a\nb\rc\0d", 7));
    EXPECT_EQ(ini.Serialize(), "[Capture]\nLastFile=a b c d\n");
    EXPECT_EQ(ini.Get("Capture", "LastFile"), "a b c d");
}

TEST(IniFile, IntegersAreDecimalOrDefault) {
    EXPECT_EQ(ParseProfileInt("12"), 12);
    EXPECT_EQ(ParseProfileInt(" -1 "), -1);
    EXPECT_EQ(ParseProfileInt("+5"), 5);
    EXPECT_EQ(ParseProfileInt("2147483647"), 2147483647);
    for (const char* bad : {"", " ", "1x", "0x10", "1.5", "--1", "+-1", "2147483648", "abc"}) {
        EXPECT_FALSE(ParseProfileInt(bad)) << bad;
    }
    const IniFile ini = IniFile::Parse("[Capture]\nA=2\nB=0\nC=yes\nD=\n");
    EXPECT_TRUE(ReadProfileBool(ini, "Capture", "A", false));  // any non-zero value is true
    EXPECT_FALSE(ReadProfileBool(ini, "Capture", "B", true));
    EXPECT_TRUE(ReadProfileBool(ini, "Capture", "C", true));  // not a number: the default
    EXPECT_FALSE(ReadProfileBool(ini, "Capture", "C", false));
    EXPECT_EQ(ReadProfileInt(ini, "Capture", "D", 30), 30);
    EXPECT_EQ(ReadProfileInt(ini, "Capture", "Missing", -1), -1);
}

TEST(IniFileOnDisk, ReadsMissingLargeAndOddFiles) {
    TempDir dir;
    EXPECT_EQ(ReadIniFile(dir / "none.INI").status, IniReadStatus::Missing);
    EXPECT_EQ(ReadIniFile(dir.path()).status, IniReadStatus::Unreadable);

    const fs::path huge = dir / "huge.INI";
    WriteText(huge, "[Capture]\nDevice=1\n");
    fs::resize_file(huge, kMaxIniFileBytes + 1);  // sparse: costs no disk
    const IniReadResult big = ReadIniFile(huge);
    EXPECT_EQ(big.status, IniReadStatus::TooLarge);
    EXPECT_TRUE(big.file.Empty());

    const fs::path ok = dir / "ok.INI";
    WriteText(ok, "[Capture]\nDevice=1\n");
    const IniReadResult read = ReadIniFile(ok);
    ASSERT_EQ(read.status, IniReadStatus::Ok);
    EXPECT_EQ(read.file.Get("Capture", "Device"), "1");
}

TEST(IniFileOnDisk, AtomicWriteReplacesKeepsModeAndLeavesNoTemporaryFile) {
    TempDir dir;
    const fs::path path = dir / "sub" / "folder" / "t.INI";  // folders are made
    IniFile ini = IniFile::Parse("[Capture]\nA=1\n");
    std::string error;
    ASSERT_TRUE(WriteIniFileAtomic(path, ini, &error)) << error;
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);

    ini.Set("Capture", "A", "2");
    ASSERT_TRUE(WriteIniFileAtomic(path, ini, &error)) << error;
    EXPECT_EQ(ReadText(path), "[Capture]\nA=2\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(path.parent_path())) ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(IniFileOnDisk, ReadOnlyFileIsNotReplaced) {
    TempDir dir;
    const fs::path path = dir / "ro.INI";
    WriteText(path, "[Capture]\nA=1\n");
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    std::string error;
    EXPECT_FALSE(WriteIniFileAtomic(path, IniFile::Parse("[Capture]\nA=2\n"), &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(ReadText(path), "[Capture]\nA=1\n");
}

TEST(IniFileOnDisk, SymbolicLinkIsFollowed) {
    TempDir dir;
    const fs::path real = dir / "real.INI";
    const fs::path link = dir / "link.INI";
    WriteText(real, "[Capture]\nA=1\n");
    fs::create_symlink(real, link);
    std::string error;
    ASSERT_TRUE(WriteIniFileAtomic(link, IniFile::Parse("[Capture]\nA=3\n"), &error)) << error;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadText(real), "[Capture]\nA=3\n");
}

TEST(IniFile, ByteOrderMarkIsSkippedAndWrittenBack) {
    const std::string text = std::string(kUtf8Bom) + "[Capture]\r\nDevice=2\r\n";
    IniFile ini = IniFile::Parse(text);
    EXPECT_EQ(ini.Get("Capture", "Device"), "2");
    EXPECT_EQ(ini.Serialize(), text);
    ini.Set("Capture", "Device", "3");
    ini.Set("Capture", "TaskTray", "1");
    // The keys land in the one section there is, not in a second one appended at the end, and
    // the mark the user's editor put there stays.
    EXPECT_EQ(ini.Serialize(), std::string(kUtf8Bom) + "[Capture]\r\nDevice=3\r\nTaskTray=1\r\n");
    // A mark only where the file had one.
    EXPECT_EQ(IniFile::Parse("[Capture]\nA=1\n").Serialize(), "[Capture]\nA=1\n");
    EXPECT_EQ(IniFile::Parse(kUtf8Bom).Serialize(), kUtf8Bom);

    TempDir dir;
    const fs::path path = dir / "bom.INI";
    WriteText(path, text);
    IniReadResult read = ReadIniFile(path);
    ASSERT_EQ(read.status, IniReadStatus::Ok);
    EXPECT_EQ(read.file.Get("capture", "device"), "2");
    read.file.Set("Capture", "Device", "4");
    std::string error;
    ASSERT_TRUE(WriteIniFileAtomic(path, read.file, &error)) << error;
    EXPECT_EQ(ReadText(path), std::string(kUtf8Bom) + "[Capture]\r\nDevice=4\r\n");
}

TEST(IniFileOnDisk, LinkChainsAndDanglingLinksAreWrittenThrough) {
    TempDir dir;
    fs::create_directories(dir / "real");
    const fs::path target = dir / "real" / "t.INI";       // does not exist yet
    fs::create_symlink("real/t.INI", dir / "first.INI");  // relative, to a missing file
    fs::create_symlink(dir / "first.INI", dir / "second.INI");
    std::string error;
    ASSERT_TRUE(WriteIniFileAtomic(dir / "second.INI", IniFile::Parse("[Capture]\nA=1\n"), &error))
        << error;
    EXPECT_TRUE(fs::is_symlink(dir / "first.INI"));
    EXPECT_TRUE(fs::is_symlink(dir / "second.INI"));
    EXPECT_EQ(ReadText(target), "[Capture]\nA=1\n");

    fs::create_symlink("loop.INI", dir / "loop.INI");
    EXPECT_FALSE(WriteIniFileAtomic(dir / "loop.INI", IniFile::Parse("[Capture]\n"), &error));
    EXPECT_TRUE(fs::is_symlink(dir / "loop.INI"));
}

constexpr uid_t kNobody = 65534;

// Runs fn as the unprivileged user nobody in a child process when we are root (root may write
// into any folder, so the refusal cannot be seen otherwise), or here when we are not.
bool RunUnprivileged(const std::function<bool()>& fn) {
    if (::geteuid() != 0) return fn();
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setresgid(kNobody, kNobody, kNobody) != 0 ||
            ::setresuid(kNobody, kNobody, kNobody) != 0)
            ::_exit(3);
        ::_exit(fn() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(IniFileOnDisk, WritableFileInAReadOnlyFolderIsRewrittenInPlace) {
    TempDir dir;
    const fs::path folder = dir / "locked";
    fs::create_directories(folder);
    const fs::path path = folder / "t.INI";
    WriteText(path, "[Capture]\nA=1\n");
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    if (::geteuid() == 0) {
        // nobody owns the file but not the folder (root's, mode 0755).
        ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
        ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0);
        ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    } else {
        ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
    }
    std::string error;
    EXPECT_TRUE(RunUnprivileged([&] {
        return WriteIniFileAtomic(path, IniFile::Parse("[Capture]\nA=22\n"), &error);
    })) << error;
    ::chmod(folder.c_str(), 0755);
    EXPECT_EQ(ReadText(path), "[Capture]\nA=22\n");
    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);  // the same file, not a new one
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(folder)) ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(IniFileOnDisk, RootSavingSomeoneElsesFileKeepsItsOwner) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root may give a file to another user";
    TempDir dir;
    const fs::path path = dir / "t.INI";
    WriteText(path, "[Capture]\nA=1\n");
    ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    std::string error;
    ASSERT_TRUE(WriteIniFileAtomic(path, IniFile::Parse("[Capture]\nA=2\n"), &error)) << error;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ(st.st_gid, kNobody);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(ReadText(path), "[Capture]\nA=2\n");
}

// Two programs (here two threads) change the file at the same time, each read-modify-write as
// one step under the file's lock: no change is lost. A file that cannot be read is not written
// over, and a change may refuse to be written.
TEST(IniFileOnDisk, ConcurrentChangesUnderTheLockAreAllKept) {
    test::TempDir dir;
    const fs::path path = dir / "t.INI";
    constexpr int kWrites = 30;
    auto writer = [&](char who) {
        for (int i = 0; i < kWrites; ++i) {
            std::string error;
            ASSERT_TRUE(UpdateIniFile(
                path,
                [&](IniFile& ini, std::string&) {
                    ini.Set("Capture", std::string(1, who) + std::to_string(i), "1");
                    return true;
                },
                &error))
                << error;
        }
    };
    std::thread window(writer, 'w'), service(writer, 's');
    window.join();
    service.join();
    const IniReadResult read = ReadIniFile(path);
    ASSERT_EQ(read.status, IniReadStatus::Ok);
    for (char who : {'w', 's'}) {
        for (int i = 0; i < kWrites; ++i) {
            EXPECT_TRUE(read.file.Get("Capture", std::string(1, who) + std::to_string(i)))
                << who << i << " was lost";
        }
    }

    std::string error;
    EXPECT_FALSE(UpdateIniFile(
        path, [](IniFile&, std::string& reason) { return reason = "no", false; }, &error));
    EXPECT_EQ(error, "no");
    EXPECT_TRUE(UpdateIniFile(path, [](IniFile&, std::string&) { return false; }, &error));
    fs::remove(path);
    fs::create_directory(path);
    EXPECT_FALSE(UpdateIniFile(path, [](IniFile&, std::string&) { return true; }, &error));
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_FALSE(fs::exists(SettingsLockPath(path)));  // the lock goes with its last holder
}

// A writer that never lets go of the settings file's lock: the change is refused with the lock's
// place named, and the file is left as it was rather than written beside the other writer.
TEST(IniFileOnDisk, AChangeNeverWritesBesideAWriterThatHoldsTheLock) {
    test::TempDir dir;
    const fs::path path = dir / "t.INI";
    WriteText(path, "[Capture]\nA=1\n");
    std::string why;
    ASSERT_TRUE(PreparePrivateFolder(SettingsLockPath(path).parent_path(), why)) << why;
    LockFile other(SettingsLockPath(path));
    ASSERT_EQ(other.TryTake("settings other", why), LockFile::Result::Taken) << why;
    std::string error;
    bool changed = false;
    EXPECT_FALSE(UpdateIniFile(
        path,
        [&](IniFile& ini, std::string&) {
            changed = true;
            ini.Set("Capture", "A", "2");
            return true;
        },
        &error));
    EXPECT_FALSE(changed);
    EXPECT_NE(error.find(SettingsLockPath(path).string()), std::string::npos) << error;
    EXPECT_EQ(ReadText(path), "[Capture]\nA=1\n");
    other.Release();
    EXPECT_TRUE(UpdateIniFile(
        path, [](IniFile& ini, std::string&) { return ini.Set("Capture", "A", "2"), true; },
        &error))
        << error;
    EXPECT_EQ(ReadText(path), "[Capture]\nA=2\n");
}

TEST(IniFileOnDisk, RandomBytesNeverCrashTheReaderAndSurviveASave) {
    TempDir dir;
    std::mt19937 rng(7);
    for (int round = 0; round < 50; ++round) {
        std::string bytes(static_cast<size_t>(rng() % 2000), '\0');
        for (char& c : bytes) c = static_cast<char>(rng() % 256);
        if (round % 2) bytes = "[Capture]\n" + bytes;
        IniFile ini = IniFile::Parse(bytes);
        EXPECT_EQ(ini.Serialize(), bytes);
        ini.Set("Capture", "Device", "1");
        const std::string saved = ini.Serialize();
        EXPECT_EQ(IniFile::Parse(saved).Get("Capture", "Device"), "1");
        // Only one line was added (the random text holds no Device key of its own to replace).
        EXPECT_GE(saved.size(), bytes.size() + std::string("Device=1").size());
    }
}

}  // namespace
}  // namespace tessaline
