// SPDX-License-Identifier: GPL-3.0-or-later
// One runner of the timetable per user and settings file: the window or the service
// (tessaline-cli schedule), never both, or one reservation would be recorded twice into the same
// deck. The runner holds the lock of the settings file's timetable in the user's private folder
// (private_folder.h), found from the user id alone: programs started from any environment find
// the same lock. Anybody can ask who runs the timetable now.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "recording/lock_file.h"

namespace tessaline {

enum class TimetableRunner { Nobody, Window, Service };

// "nobody", "window", "service".
std::string_view RunnerName(TimetableRunner runner);

// "<folder>/timetable.<key of the settings file's full path>.lock". Every program that names the
// same settings file (also through a symbolic link) finds the same lock.
std::filesystem::path TimetableLockPath(const std::filesystem::path& folder,
                                        const std::filesystem::path& settings_file);
// The same in this user's private folder.
std::filesystem::path TimetableLockPath(const std::filesystem::path& settings_file);

class TimetableLock {
  public:
    explicit TimetableLock(std::filesystem::path path);
    TimetableLock(const TimetableLock&) = delete;
    TimetableLock& operator=(const TimetableLock&) = delete;

    // Takes the timetable for as, unless another runner holds it. True when this object holds it
    // afterwards (also when it held it already). False with error() empty when another runner has
    // it; false with error() set when the lock (or its private folder) cannot be made at all.
    bool TryAcquire(TimetableRunner as);
    void Release() { lock_.Release(); }
    bool Held() const { return lock_.Held(); }
    const std::string& error() const { return error_; }
    const std::filesystem::path& path() const { return lock_.path(); }

  private:
    LockFile lock_;
    std::string error_;
};

// Who holds the lock at path now. A holder that has not yet written its name is taken for the
// window.
TimetableRunner WhoRunsTimetable(const std::filesystem::path& path);

}  // namespace tessaline
