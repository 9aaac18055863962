// SPDX-License-Identifier: GPL-3.0-or-later
// Temporary files beside an output: their names, and the removal of those left by a process that
// was killed. A temporary is ".NAME.<process id>-<tag>.part" in the folder of NAME, so that a
// leftover is recognisable for what it is and for whose it was.
#pragma once

#include <string>

namespace tessaline {

// A name beside target that no other writer uses; attempt makes each try different.
std::string TemporaryName(const std::string& target, unsigned attempt);

// Removes the temporaries of target whose process is gone (a conversion or recording killed
// outright) and that belong to this user. Those of running processes are left alone.
void RemoveStaleTemporaries(const std::string& target);

// The file a chain of symbolic links at path ends in (path itself when it is none); the end need
// not exist. Relative links count from the folder of the link. False, with why, on a loop or an
// unreadable link.
bool FollowLinks(std::string& path, std::string& why);

}  // namespace tessaline
