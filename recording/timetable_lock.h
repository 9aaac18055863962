// SPDX-License-Identifier: GPL-3.0-or-later
// One runner of the timetable per user: the window or the service (tessaline-cli schedule), never
// both, or one reservation would be recorded twice into the same deck and file. The runner holds
// an exclusive lock on a file in the user's runtime folder, named after the settings file that
// holds the timetable, and writes its kind and process id into it; the kernel drops the lock of a runner that ended in any way, so a crash never blocks the
// next one. Anybody can ask who runs the timetable now.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tessaline {

enum class TimetableRunner { Nobody, Window, Service };

// "nobody", "window", "service".
std::string_view RunnerName(TimetableRunner runner);

// "<folder>/tessaline-timetable.<uid>.<hash of the settings file's full path>.lock" in
// $XDG_RUNTIME_DIR, else the temporary folder. Every program that names the same settings file
// (also through a symbolic link) finds the same lock.
std::filesystem::path TimetableLockPath(const std::filesystem::path& settings_file);

class TimetableLock {
  public:
    explicit TimetableLock(std::filesystem::path path);
    ~TimetableLock();
    TimetableLock(const TimetableLock&) = delete;
    TimetableLock& operator=(const TimetableLock&) = delete;

    // Takes the timetable for as, unless another runner holds it. True when this object holds it
    // afterwards (also when it held it already). False with error() empty when another runner has
    // it; false with error() set when the lock file cannot be made or locked at all.
    bool TryAcquire(TimetableRunner as);
    void Release();
    bool Held() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
    int fd_ = -1;
    std::string error_;
};

// Who holds the lock at path now. A lock held by a runner that has not yet written its name (the
// moment between taking and writing) is asked again for a short while, then taken for the window.
TimetableRunner WhoRunsTimetable(const std::filesystem::path& path);

}  // namespace tessaline
