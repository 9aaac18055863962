// SPDX-License-Identifier: GPL-3.0-or-later
// Who records on which deck. The window, the service (tessaline-cli schedule) and
// tessaline-cli record each record in a process of their own; each recording keeps an entry in
// the user's private folder (private_folder.h) for as long as it runs, so that the others know:
// the timetable's runner lets a reservation wait while another program records on its deck, no
// start by hand takes a deck another program records on, and no computer power action runs while
// any of them records.
//
// Programs see each other when they share a settings file (by default all of them use the
// window's). A deck is known by its name in the device list ("AV/C Tape Subunit (JVC HM-DH5U
// #1)"), the same in every program. An entry is a locked file: the kernel drops the lock of a
// program that ended in any way, and whoever looks next removes what it left.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaline {

class RecorderRegistry {
  public:
    struct Recorder {
        std::string who;  // "window", "service", "record"
        long pid = 0;
        std::string deck;  // its name in the device list
    };

    // folder: where the entries live (PrivateFolder()); settings_file: the group of programs.
    RecorderRegistry(std::filesystem::path folder, const std::filesystem::path& settings_file);
    ~RecorderRegistry();
    RecorderRegistry(const RecorderRegistry&) = delete;
    RecorderRegistry& operator=(const RecorderRegistry&) = delete;

    // Keeps an entry for this program's recording on deck until Unregister (or the end of the
    // process). False, with the reason, when it cannot be made: the recording goes on unseen.
    bool Register(const std::string& deck, std::string_view who, std::string& error);
    void Unregister();
    bool Registered() const { return fd_ >= 0; }

    // The recordings of the other programs of the group now.
    std::vector<Recorder> Others() const;
    // The one on deck, if any.
    std::optional<Recorder> OtherOn(const std::string& deck) const;

    // "the window (process 1234) on AV/C Tape Subunit (...)": for messages and the log.
    static std::string Describe(const Recorder& r);

  private:
    std::filesystem::path folder_;
    std::string prefix_;  // "recording.<key of the settings file>."
    std::filesystem::path held_;
    int fd_ = -1;
};

}  // namespace tessaline
