// SPDX-License-Identifier: GPL-3.0-or-later
// A lock between programs: an exclusive flock on a file in the private folder, with one line
// naming its holder ("service 1234 ..."). The kernel drops the lock of a holder that ended in any
// way, so a crash never blocks the next one. A holder removes the file when it lets go, so no lock
// file outlives its use; a taker makes sure that the file it locked still bears the name (the
// last holder may have removed it between the taker's open and lock).
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tessaline {

class LockFile {
  public:
    enum class Result { Taken, Busy, Failed };

    explicit LockFile(std::filesystem::path path);
    ~LockFile();
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;

    // Takes the lock and writes holder (one line) into the file. Busy when another holds it;
    // Failed (error set) when the file cannot be made or locked at all. A lock this object holds
    // already is Taken again.
    Result TryTake(std::string_view holder, std::string& error);
    // The same, trying again until wait has passed while another holds it.
    Result Take(std::string_view holder, std::chrono::milliseconds wait, std::string& error);
    // Empties and removes the file, then lets go.
    void Release();
    bool Held() const { return fd_ >= 0; }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
    int fd_ = -1;
};

// Whether somebody holds the lock at path now, and their line (empty while a new holder has not
// written it yet). nullopt: nobody (or no such file).
std::optional<std::string> LockHolder(const std::filesystem::path& path);

}  // namespace tessaline
