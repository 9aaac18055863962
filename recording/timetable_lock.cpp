// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/timetable_lock.h"

#include <unistd.h>

#include "recording/private_folder.h"

namespace tessaline {

namespace {

constexpr std::string_view kWindowTag = "window";
constexpr std::string_view kServiceTag = "service";

}  // namespace

std::string_view RunnerName(TimetableRunner runner) {
    switch (runner) {
        case TimetableRunner::Window:
            return kWindowTag;
        case TimetableRunner::Service:
            return kServiceTag;
        default:
            return "nobody";
    }
}

std::filesystem::path TimetableLockPath(const std::filesystem::path& folder,
                                        const std::filesystem::path& settings_file) {
    return folder / ("timetable." + PathKey(settings_file) + ".lock");
}

std::filesystem::path TimetableLockPath(const std::filesystem::path& settings_file) {
    return TimetableLockPath(PrivateFolder(), settings_file);
}

TimetableLock::TimetableLock(std::filesystem::path path) : lock_(std::move(path)) {}

bool TimetableLock::TryAcquire(TimetableRunner as) {
    error_.clear();
    if (lock_.Held()) return true;
    if (!PreparePrivateFolder(lock_.path().parent_path(), error_)) return false;
    const std::string holder = std::string(RunnerName(as)) + " " + std::to_string(::getpid());
    return lock_.TryTake(holder, error_) == LockFile::Result::Taken;
}

TimetableRunner WhoRunsTimetable(const std::filesystem::path& path) {
    const auto holder = LockHolder(path);
    if (!holder) return TimetableRunner::Nobody;
    return holder->starts_with(kServiceTag) ? TimetableRunner::Service : TimetableRunner::Window;
}

}  // namespace tessaline
