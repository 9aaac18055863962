// SPDX-License-Identifier: GPL-3.0-or-later
// The output file of recordings and conversions where things go wrong: a file already there, a
// name another writer takes, a pipe nobody reads, a folder that vanishes or moves, a full disk.
#include "stream/output_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "tests/stream/stream_test_util.h"

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

size_t Entries(const fs::path& folder) {
    return static_cast<size_t>(
        std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

mode_t ModeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// A name the user gave replaces what is there only with data, keeping its permissions; a program
// stream's headers are no data yet. Nothing written: the old file as it was, nothing else left.
TEST(OutputFileTest, AFileThereIsReplacedOnlyByData) {
    test::TempDir dir;
    const fs::path path = dir / "show.ts";
    const Bytes old(1000, 0x5A);
    const Bytes data = test::NumberedPackets(3);
    test::WriteFile(path, old);
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    {
        OutputFile file;
        ASSERT_TRUE(file.Create(path.string())) << file.error();
        EXPECT_NE(file.written_path(), path.string());
        EXPECT_TRUE(file.Finish());
        EXPECT_TRUE(file.kept_nothing());
        EXPECT_EQ(test::ReadFile(path), old);
        EXPECT_EQ(Entries(dir.path()), 1u);
    }
    {
        OutputFile file;
        ASSERT_TRUE(file.Create(path.string()));
        file.HoldNameUntilTaken();
        ASSERT_TRUE(file.Write(data.data(), 188));
        EXPECT_EQ(test::ReadFile(path), old);  // headers only so far
        EXPECT_TRUE(file.Finish(false));
        EXPECT_EQ(test::ReadFile(path), old);
        EXPECT_EQ(Entries(dir.path()), 1u);
    }
    OutputFile file;
    ASSERT_TRUE(file.Create(path.string()));
    ASSERT_TRUE(file.Write(data.data(), 188));
    EXPECT_EQ(test::ReadFile(path), Bytes(data.begin(), data.begin() + 188));  // at once
    ASSERT_TRUE(file.Write(data.data() + 188, data.size() - 188));
    EXPECT_TRUE(file.Finish());
    EXPECT_FALSE(file.kept_nothing());
    EXPECT_EQ(test::ReadFile(path), data);
    EXPECT_EQ(ModeOf(path), 0640u);
    EXPECT_EQ(Entries(dir.path()), 1u);

    // Through a symbolic link: the file it leads to takes the data, the link stays.
    fs::create_directories(dir / "real");
    test::WriteFile(dir / "real" / "target.ts", old);
    fs::create_symlink(dir / "real" / "target.ts", dir / "link.ts");
    OutputFile linked;
    ASSERT_TRUE(linked.Create((dir / "link.ts").string()));
    ASSERT_TRUE(linked.Write(data.data(), data.size()));
    EXPECT_TRUE(linked.Finish());
    EXPECT_TRUE(fs::is_symlink(dir / "link.ts"));
    EXPECT_EQ(test::ReadFile(dir / "real" / "target.ts"), data);
    EXPECT_EQ(Entries(dir / "real"), 1u);
}

// The name cannot be taken when the data comes, nor at the end (a folder took it meanwhile): the
// recording is kept under a visible name beside it, which the error gives, never under a hidden
// temporary that the next conversion to that name would take for a leftover and remove.
TEST(OutputFileTest, ANameThatCannotBeTakenKeepsTheRecordingInSight) {
    test::TempDir dir;
    const fs::path path = dir / "show.ts";
    test::WriteFile(path, Bytes(100, 0x5A));
    const Bytes data = test::NumberedPackets(3);
    OutputFile file;
    ASSERT_TRUE(file.Create(path.string()));
    fs::remove(path);
    fs::create_directories(path / "inside");
    ASSERT_TRUE(file.Write(data.data(), data.size()));  // the name is tried, and not taken
    EXPECT_FALSE(file.Finish());
    const fs::path kept = dir / "show (2).ts";
    EXPECT_NE(file.error().find(kept.string()), std::string::npos) << file.error();
    EXPECT_EQ(test::ReadFile(kept), data);
    EXPECT_EQ(Entries(dir.path()), 2u);  // the folder and the recording, no temporary
}

// A name the program chose is made only where no file is; one it made and wrote nothing to goes
// again, but only while its name still leads to it.
TEST(OutputFileTest, ChosenNamesAreMadeOnlyWhereNoFileIs) {
    test::TempDir dir;
    test::WriteFile(dir / "taken.ts", Bytes{7});
    OutputFile file;
    errno = 0;
    EXPECT_FALSE(file.CreateNew((dir / "taken.ts").string()));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(test::ReadFile(dir / "taken.ts"), Bytes{7});

    ASSERT_TRUE(file.CreateNew((dir / "new.ts").string()));
    EXPECT_TRUE(file.Finish());
    EXPECT_TRUE(file.kept_nothing());
    EXPECT_FALSE(fs::exists(dir / "new.ts"));

    // Its folder renamed, and another empty file of that name made meanwhile: neither is removed.
    fs::create_directories(dir / "a");
    ASSERT_TRUE(file.CreateNew((dir / "a" / "rec.ts").string()));
    fs::rename(dir / "a", dir / "b");
    fs::create_directories(dir / "a");
    test::WriteFile(dir / "a" / "rec.ts", {});
    EXPECT_TRUE(file.Finish());
    EXPECT_TRUE(fs::exists(dir / "a" / "rec.ts"));
    EXPECT_TRUE(fs::exists(dir / "b" / "rec.ts"));
}

// Its folder renamed while it is written: the open file tells where it is now.
TEST(OutputFileTest, ARenamedFolderIsFollowed) {
    test::TempDir dir;
    fs::create_directories(dir / "shows");
    OutputFile file;
    ASSERT_TRUE(file.CreateNew((dir / "shows" / "rec.ts").string()));
    const Bytes data = test::NumberedPackets(4);
    ASSERT_TRUE(file.Write(data.data(), data.size()));
    EXPECT_EQ(file.WhereNow(), "");
    fs::rename(dir / "shows", dir / "moved");
    EXPECT_EQ(file.WhereNow(), (dir / "moved" / "rec.ts").string());
    EXPECT_EQ(file.Size(), data.size());
    EXPECT_TRUE(file.Finish());
}

// A pipe: refused while no program reads it; a reader that stops reading, or leaves, fails the
// write within the stall limit (and every later one at once), and never ends the program.
TEST(OutputFileTest, APipeNeverHoldsTheWriter) {
    test::TempDir dir;
    const std::string fifo = (dir / "pipe").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    OutputFile file;
    EXPECT_FALSE(file.Create(fifo));
    EXPECT_EQ(file.error(), "no program reads from this pipe");

    const auto previous = OutputFile::SetStallLimitForTesting(std::chrono::milliseconds(100));
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_TRUE(file.Create(fifo)) << file.error();
    EXPECT_TRUE(file.IsPipe());
    const Bytes block(1 << 20, 0x47);
    EXPECT_FALSE(file.Write(block.data(), block.size()));
    EXPECT_NE(file.error().find("nothing was read from it"), std::string::npos) << file.error();
    EXPECT_FALSE(file.Write(block.data(), 10));
    EXPECT_TRUE(file.Finish());

    OutputFile left;
    ASSERT_TRUE(left.Create(fifo));
    ::close(reader);
    EXPECT_FALSE(left.Write(block.data(), 10));  // EPIPE, and SIGPIPE held back
    EXPECT_TRUE(left.Finish());
    OutputFile::SetStallLimitForTesting(previous);
}

// The home folder for the tests below, and back.
class HomeFolder {
  public:
    explicit HomeFolder(const fs::path& home) {
        if (const char* h = std::getenv("HOME")) previous_ = h;
        ::setenv("HOME", home.c_str(), 1);
    }
    ~HomeFolder() {
        if (previous_) {
            ::setenv("HOME", previous_->c_str(), 1);
        } else {
            ::unsetenv("HOME");
        }
    }

  private:
    std::optional<std::string> previous_;
};

// A recording whose folder vanished is written back; what does not fit is not thrown away with
// the part that did, and when its own place cannot take it the home folder does.
TEST(OutputFileTest, WriteBackKeepsWhatFitsAndFallsBackToTheHomeFolder) {
    test::TempDir dir;
    fs::create_directories(dir / "home");
    HomeFolder home(dir / "home");
    Bytes data;
    for (int i = 0; i < 6; ++i) test::Append(data, test::NumberedPackets(300));  // 338 KB
    const fs::path path = dir / "shows" / "rec.ts";
    {
        fs::create_directories(dir / "shows");
        OutputFile file;
        ASSERT_TRUE(file.CreateNew(path.string()));
        ASSERT_TRUE(file.Write(data.data(), data.size()));
        fs::remove_all(dir / "shows");
        test::FileSizeLimit full(100000);
        EXPECT_FALSE(file.SaveUnlinked());
        EXPECT_FALSE(file.error().empty());
        EXPECT_EQ(file.saved_path(), path.string());
        EXPECT_EQ(file.saved_bytes(), 100000u);
        EXPECT_TRUE(file.Finish());
    }
    EXPECT_EQ(test::ReadFile(path), Bytes(data.begin(), data.begin() + 100000));
    EXPECT_EQ(Entries(dir / "home"), 0u);  // no second copy that holds no more

    // The folder cannot be made again (a file has its name): the home folder takes it whole.
    fs::remove_all(dir / "shows");
    fs::create_directories(dir / "shows");
    OutputFile file;
    ASSERT_TRUE(file.CreateNew(path.string()));
    ASSERT_TRUE(file.Write(data.data(), data.size()));
    fs::remove_all(dir / "shows");
    test::WriteFile(dir / "shows", Bytes{1});
    EXPECT_TRUE(file.SaveUnlinked()) << file.error();
    EXPECT_EQ(file.saved_path(), (dir / "home" / "rec.ts").string());
    EXPECT_TRUE(file.Finish());
    EXPECT_EQ(test::ReadFile(dir / "home" / "rec.ts"), data);
}

}  // namespace
}  // namespace tessaline
