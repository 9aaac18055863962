#include "stream/output_file.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "stream/temporary_files.h"

namespace tessaline {
namespace {

int OpenRetrying(const char* path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Whether path still names the file open on fd.
bool NamesOpenFile(const std::string& path, int fd) {
    struct stat by_name {
    }, by_fd{};
    return ::stat(path.c_str(), &by_name) == 0 && ::fstat(fd, &by_fd) == 0 &&
           by_name.st_dev == by_fd.st_dev && by_name.st_ino == by_fd.st_ino;
}

// The new file takes the old one's place as the old one was: its permissions, and its owner and
// group where we may set them (root saving a user's file). A refused chown leaves ours.
void TakeOverMode(int fd, const std::string& old_path) {
    struct stat old {
    }, now{};
    if (::stat(old_path.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) return;
    if (::fstat(fd, &now) == 0 && (now.st_uid != old.st_uid || now.st_gid != old.st_gid)) {
        [[maybe_unused]] const int refused = ::fchown(fd, old.st_uid, old.st_gid);
    }
    ::fchmod(fd, old.st_mode & 07777);
}

std::atomic<OutputFile::CloseFunction> g_close{nullptr};
std::atomic<int64_t> g_stall_ms{5000};

}  // namespace

OutputFile::CloseFunction OutputFile::SetCloseFunctionForTesting(CloseFunction close_function) {
    return g_close.exchange(close_function);
}

std::chrono::milliseconds OutputFile::SetStallLimitForTesting(std::chrono::milliseconds limit) {
    return std::chrono::milliseconds(g_stall_ms.exchange(limit.count()));
}

OutputFile::~OutputFile() {
    if (!temporary_.empty()) {
        Discard();
    } else {
        Close();
    }
}

void OutputFile::Reset(const std::string& path) {
    Close();
    path_ = path;
    target_ = path;
    temporary_.clear();
    saved_path_.clear();
    saved_bytes_ = 0;
    replace_error_.clear();
    created_ = false;
    replace_on_data_ = false;
    truncate_on_data_ = false;
    hold_name_ = false;
    name_tried_ = false;
    pipe_ = false;
    stalled_ = false;
    kept_nothing_ = false;
    error_.clear();
    bytes_written_ = 0;
}

bool OutputFile::OpenInPlace(const std::string& path) {
    // A pipe nobody reads is refused rather than waited for, which nothing could interrupt; the
    // descriptor stays non-blocking so that no write waits for ever either.
    const int fd = OpenRetrying(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK, 0);
    if (fd < 0) {
        error_ = errno == ENXIO ? "no program reads from this pipe" : std::strerror(errno);
        return false;
    }
    fd_ = fd;
    pipe_ = true;
    return true;
}

bool OutputFile::CreateNew(const std::string& path) {
    Reset(path);
    // Read access too: a recording whose name vanished is copied back from this descriptor.
    const int fd = OpenRetrying(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int err = errno;
        error_ = std::strerror(err);
        errno = err;
        return false;
    }
    fd_ = fd;
    created_ = true;
    return true;
}

bool OutputFile::MakeTemporary() {
    RemoveStaleTemporaries(target_);
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string name = TemporaryName(target_, attempt);
        const int fd = OpenRetrying(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            fd_ = fd;
            temporary_ = name;
            created_ = true;
            return true;
        }
        if (errno != EEXIST) break;
    }
    error_ = std::strerror(errno);
    return false;
}

bool OutputFile::ResetToTarget(const std::string& path) {
    Reset(path);
    std::string why;
    if (FollowLinks(target_, why)) return true;
    error_ = why;
    return false;
}

bool OutputFile::Create(const std::string& path) {
    if (!ResetToTarget(path)) return false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        struct stat st {};
        if (::stat(target_.c_str(), &st) != 0) {
            const std::string given = path_;
            if (CreateNew(target_)) {
                path_ = given;
                return true;
            }
            path_ = given;
            if (errno == EEXIST) continue;  // made meanwhile: the rules of an existing file
            return false;
        }
        if (!S_ISREG(st.st_mode)) return OpenInPlace(target_);
        if (MakeTemporary()) {
            replace_on_data_ = true;
            return true;
        }
        // No file can be made beside it (a folder we may not write): the file itself is written,
        // but emptied only when the first data comes.
        const int fd = OpenRetrying(target_.c_str(), O_WRONLY | O_CLOEXEC, 0);
        if (fd < 0) {
            error_ = std::strerror(errno);
            return false;
        }
        fd_ = fd;
        error_.clear();
        truncate_on_data_ = true;
        return true;
    }
    error_ = std::strerror(EEXIST);
    return false;
}

bool OutputFile::CreateTemporary(const std::string& final_path) {
    if (!ResetToTarget(final_path)) return false;
    struct stat st {};
    if (::stat(target_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        // A device or a pipe cannot be replaced by a rename (nor should it be): write to it.
        return OpenInPlace(target_);
    }
    return MakeTemporary();
}

bool OutputFile::Commit(bool replace) {
    if (fd_ >= 0 && !temporary_.empty() && replace) TakeOverMode(fd_, target_);
    const bool closed = Close();
    if (temporary_.empty()) return closed;
    if (!closed) {
        const std::string why = error_;
        Discard();
        error_ = why;
        return false;
    }
    const int rc = replace ? ::rename(temporary_.c_str(), target_.c_str())
                           : ::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, target_.c_str(),
                                         RENAME_NOREPLACE);
    if (rc != 0) {
        const int err = errno;
        error_ = std::strerror(err);
        ::unlink(temporary_.c_str());
        temporary_.clear();
        created_ = false;
        errno = err;  // callers tell an existing file (EEXIST) from other failures
        return false;
    }
    temporary_.clear();
    return true;
}

void OutputFile::Discard() {
    Close();
    if (created_) ::unlink(written_path().c_str());
    temporary_.clear();
    created_ = false;
    replace_on_data_ = false;
}

bool OutputFile::ReplaceTarget() {
    TakeOverMode(fd_, target_);
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
        replace_error_ = "cannot replace " + target_ + ": " + std::strerror(errno);
        error_ = replace_error_ + "; the recording is in " + temporary_;
        return false;
    }
    temporary_.clear();
    replace_on_data_ = false;
    return true;
}

void OutputFile::KeepInSight() {
    // A hidden temporary whose process has ended is what a killed conversion leaves, and the next
    // one to this name removes it: a recording must not look like one.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = FirstFreeName(target_);
        if (name.empty()) return;
        if (::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) ==
            0) {
            error_ = replace_error_ + "; the recording is in " + name;
            temporary_ = name;
            return;
        }
        if (errno != EEXIST) return;  // the error keeps naming the temporary
    }
}

void OutputFile::TakeName() {
    if (!replace_on_data_ || name_tried_ || fd_ < 0) return;
    name_tried_ = true;  // a rename that failed is not tried with every buffer, only at Finish
    ReplaceTarget();
}

bool OutputFile::Finish(bool keep) {
    if (fd_ < 0) return true;
    const bool nothing = !keep || bytes_written() == 0;
    if (nothing && (replace_on_data_ || truncate_on_data_)) {
        // The file it was to replace was never touched.
        kept_nothing_ = true;
        Discard();
        return true;
    }
    if (nothing && created_ && NamesOpenFile(target_, fd_)) {
        ::unlink(target_.c_str());
        kept_nothing_ = true;
        created_ = false;
    }
    bool ok = true;
    if (replace_on_data_) {
        ok = ReplaceTarget();
        if (!ok) KeepInSight();
    }
    const std::string why = error_;
    temporary_.clear();  // a temporary that could not take the name holds the recording: kept
    if (!Close()) return false;
    if (!ok) error_ = why;
    return ok;
}

void OutputFile::Adopt(int fd, std::string path) {
    Reset(path);
    fd_ = fd;
}

bool OutputFile::WaitWritable() {
    pollfd p{fd_, POLLOUT, 0};
    const int rc = ::poll(&p, 1, static_cast<int>(g_stall_ms.load()));
    if (rc > 0) return true;
    if (rc < 0 && errno == EINTR) return true;
    stalled_ = true;
    error_ =
        "nothing was read from it for " + std::to_string((g_stall_ms.load() + 999) / 1000) + " s";
    return false;
}

ssize_t OutputFile::WriteOnce(const uint8_t* bytes, size_t count) {
    if (!pipe_) return ::write(fd_, bytes, count);
    // A pipe whose reader has gone answers EPIPE and raises SIGPIPE in the writing thread; the
    // signal would end the program, so it is held back and taken away again here.
    sigset_t pipe_signal, previous;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
    const ssize_t n = ::write(fd_, bytes, count);
    const int err = errno;
    if (n < 0 && err == EPIPE && !sigismember(&previous, SIGPIPE)) {
        const timespec now{};
        sigtimedwait(&pipe_signal, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = err;
    return n;
}

bool OutputFile::Write(const void* bytes, size_t count) {
    if (fd_ < 0) {
        error_ = "file is not open";
        return false;
    }
    if (stalled_) return false;  // error_ still says why
    if (truncate_on_data_ && count > 0) {
        if (::ftruncate(fd_, 0) != 0) {
            error_ = std::strerror(errno);
            return false;
        }
        truncate_on_data_ = false;
    }
    const auto* p = static_cast<const uint8_t*>(bytes);
    size_t done = 0;
    while (count > 0) {
        const ssize_t n = WriteOnce(p, count);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN && pipe_) {
            if (WaitWritable()) continue;
            return false;
        }
        if (n <= 0) {
            error_ = n < 0 ? std::strerror(errno) : "no progress writing";
            TakeBack(done);
            return false;
        }
        done += static_cast<size_t>(n);
        p += n;
        count -= static_cast<size_t>(n);
        bytes_written_.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    }
    // The first data: the temporary takes the name (tried once here; again at Finish).
    if (replace_on_data_ && !hold_name_ && done > 0) TakeName();
    return true;
}

void OutputFile::TakeBack(size_t count) {
    if (count == 0 || pipe_) return;
    const off_t end = ::lseek(fd_, 0, SEEK_CUR);
    if (end < static_cast<off_t>(count)) return;  // not a seekable file
    const off_t keep = end - static_cast<off_t>(count);
    if (::ftruncate(fd_, keep) != 0 || ::lseek(fd_, keep, SEEK_SET) != keep) return;
    bytes_written_.fetch_sub(count, std::memory_order_relaxed);
}

bool OutputFile::CutToWholeUnits(size_t unit) {
    if (fd_ < 0 || unit == 0) return false;
    const off_t end = ::lseek(fd_, 0, SEEK_CUR);
    if (end < 0) return false;
    const off_t extra = end % static_cast<off_t>(unit);
    if (extra == 0) return true;
    const off_t keep = end - extra;
    if (::ftruncate(fd_, keep) != 0 || ::lseek(fd_, keep, SEEK_SET) != keep) {
        error_ = std::strerror(errno);
        return false;
    }
    bytes_written_ -= std::min<uint64_t>(bytes_written(), static_cast<uint64_t>(extra));
    return true;
}

bool OutputFile::Close() {
    if (fd_ < 0) return true;
    const CloseFunction close_function = g_close.load();
    const int rc = close_function != nullptr ? close_function(fd_) : ::close(fd_);
    fd_ = -1;
    // Linux releases the descriptor even when close is interrupted; EINTR loses nothing.
    if (rc != 0 && errno != EINTR) {
        error_ = std::strerror(errno);
        return false;
    }
    return true;
}

bool OutputFile::Unlinked() const {
    struct stat st {};
    return fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 0;
}

uint64_t OutputFile::Size() const {
    struct stat st {};
    if (fd_ < 0 || pipe_ || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return bytes_written();
    return static_cast<uint64_t>(st.st_size);
}

std::string OutputFile::WhereNow() const {
    if (fd_ < 0 || pipe_ || Unlinked() || NamesOpenFile(written_path(), fd_)) return {};
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd_);
    std::error_code ec;
    const std::filesystem::path now = std::filesystem::read_symlink(link, ec);
    return ec ? std::string() : now.string();
}

namespace {

// Copies the open file fd into a new file at the first free name beside want. False when not all
// of it could be copied; what was copied is kept, its name in used and its size in copied.
bool CopyOpenFile(int fd, const std::string& want, std::string& used, uint64_t& copied,
                  std::string& error) {
    used.clear();
    copied = 0;
    const std::filesystem::path p(want);
    std::error_code ec;
    if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path(), ec);
    if (ec) {
        error = "cannot make the folder " + p.parent_path().string() + ": " + ec.message();
        return false;
    }
    const std::string name = FirstFreeName(want);
    if (name.empty()) {
        error = "no free name for " + want;
        return false;
    }
    const int out = OpenRetrying(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out < 0) {
        error = name + ": " + std::strerror(errno);
        return false;
    }
    used = name;
    std::vector<uint8_t> buffer(1 << 20);
    bool ok = true;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(copied));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = std::string("cannot read back the recording: ") + std::strerror(errno);
            ok = false;
            break;
        }
        if (n == 0) break;
        size_t done = 0;
        while (done < static_cast<size_t>(n)) {
            const ssize_t w = ::write(out, buffer.data() + done, static_cast<size_t>(n) - done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                error = name + ": " + (w < 0 ? std::strerror(errno) : "no progress writing");
                ok = false;
                break;
            }
            done += static_cast<size_t>(w);
        }
        copied += done;
        if (!ok) break;
    }
    if (::close(out) != 0 && ok && errno != EINTR) {
        error = name + ": " + std::strerror(errno);
        ok = false;
    }
    return ok;
}

}  // namespace

bool OutputFile::SaveUnlinked() {
    saved_path_.clear();
    saved_bytes_ = 0;
    if (fd_ < 0) {
        error_ = "file is not open";
        return false;
    }
    std::string used;
    uint64_t copied = 0;
    std::string why;
    if (CopyOpenFile(fd_, target_, used, copied, why)) {
        saved_path_ = used;
        saved_bytes_ = copied;
        return true;
    }
    // Whatever part is there is kept; the whole may still fit in the user's home folder (a
    // recording folder on a disk of its own that filled up, or that cannot be made again).
    saved_path_ = used;
    saved_bytes_ = copied;
    error_ = why;
    const char* home = std::getenv("HOME");
    const std::filesystem::path name = std::filesystem::path(target_).filename();
    if (home == nullptr || *home == '\0' || name.empty()) return false;
    const std::string second = (std::filesystem::path(home) / name).string();
    if (second == target_) return false;
    std::string second_used;
    uint64_t second_copied = 0;
    std::string second_why;
    const bool whole = CopyOpenFile(fd_, second, second_used, second_copied, second_why);
    if (!whole && second_copied <= copied) {
        // No better than what the first place holds: not a second partial copy.
        if (!second_used.empty()) ::unlink(second_used.c_str());
        return false;
    }
    // The second place holds more (or all): the first one's shorter part would only mislead.
    if (!used.empty()) ::unlink(used.c_str());
    saved_path_ = second_used;
    saved_bytes_ = second_copied;
    if (!whole) error_ = second_why;
    return whole;
}

std::string FirstFreeName(const std::string& path) {
    if (!Exists(path)) return path;
    const std::filesystem::path p(path);
    const std::string stem = p.stem().string();
    const std::string ext = p.extension().string();
    for (int n = 2; n < 10000; ++n) {
        const std::filesystem::path candidate =
            p.parent_path() / (stem + " (" + std::to_string(n) + ")" + ext);
        if (!Exists(candidate.string())) return candidate.string();
    }
    return {};
}

}  // namespace tessaline
