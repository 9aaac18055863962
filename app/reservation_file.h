// SPDX-License-Identifier: GPL-3.0-or-later
// The timetable in the settings file, as the window and the service read and write it while the
// other may be writing too. Each remembers the list as it last read or wrote it (the base); a save
// reads the file again under its lock and writes the list merged with what the other program
// wrote meanwhile (MergeReservations): only what this program changed is written over, by record,
// and a running record is never rewritten by a program that does not run it. No Qt here.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/ini_file.h"
#include "recording/reservation_list.h"

namespace tessaline {

class ReservationFile {
  public:
    explicit ReservationFile(std::filesystem::path settings) : path_(std::move(settings)) {}

    // The list of ini becomes list and the base. As the timetable's runner, records left running
    // by a run that ended are loaded as aborted; returns how many (they still need a save).
    int Load(ReservationList& list, const IniFile& ini, int max_reserve, bool as_runner);
    // What another program wrote (ini) taken into list, keeping this program's unsaved changes.
    void Follow(ReservationList& list, const IniFile& ini, int max_reserve, bool runner);

    enum class SaveResult { Saved, Refused, Failed };
    // Writes list merged with the file as it is now; list becomes what was written. check sees
    // the stored list first and may refuse the save with a reason (nothing is written). Failed:
    // the file could not be read or written (error says why).
    SaveResult Save(ReservationList& list, int max_reserve, bool runner, std::string& error,
                    const std::function<std::string(const ReservationList& stored)>& check = {});
    // Records kept as the file had them because they run elsewhere, at the last save or follow.
    int KeptRunning() const { return kept_running_; }

  private:
    std::filesystem::path path_;
    std::vector<std::string> base_;
    int kept_running_ = 0;
};

}  // namespace tessaline
