// SPDX-License-Identifier: GPL-3.0-or-later
// The folder where the programs of one user meet while they run: the timetable lock, the record of
// which deck records for whom, the lock of the settings file. It is found from the user id alone,
// so that the window, the service and the command-line tool find the same one whatever
// environment started them (the desktop, cron, ssh, su):
//
//   /run/user/UID/tessaline     when /run/user/UID is a folder of the user (systemd-logind makes
//                               it for a session, or for good with lingering)
//   HOME/.cache/tessaline       otherwise, HOME taken from the password database
//
// Never a shared folder such as /tmp. The "tessaline" folder is the program's own: it is made
// with mode 0700, and an existing one is used only when it is a real folder of the user that
// nobody else may enter. The program changes the mode of no folder, its own included.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace tessaline {

// Where the private folder of uid lies, given the root of the runtime folders ("/run/user") and
// the user's home: ROOT/UID/tessaline when ROOT/UID is a real folder owned by uid, else
// HOME/.cache/tessaline; empty when neither can be (no home).
std::filesystem::path PrivateFolderOf(uid_t uid, const std::filesystem::path& runtime_root,
                                      const std::filesystem::path& home);

// This user's private folder (PrivateFolderOf with /run/user and the home of the password
// database). In the home case a missing HOME/.cache is made (0700) on the way.
std::filesystem::path PrivateFolder();

// Makes folder (its last component only, mode 0700) when missing. An existing one must be a real
// folder (not a link) of this user, closed to group and others. False with the reason otherwise;
// nothing's mode is changed.
bool PreparePrivateFolder(const std::filesystem::path& folder, std::string& reason);

// A short stable name of a file's full path (links followed), for names of lock files.
std::string PathKey(const std::filesystem::path& file);

}  // namespace tessaline
