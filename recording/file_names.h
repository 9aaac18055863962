// File-name rules of recordings: the extension of each output mode, the name of a reservation with
// its counter, the counter of other names the program chooses, and renaming at the stop without
// ever replacing another file.
#pragma once

#include <string>
#include <string_view>

namespace tessaline {

// The extension setting in its stored form: a "." put in front when it is not empty and lacks one.
std::string DottedExtension(std::string_view setting);

// The name without its extension (the part from the last "." on, when that "." comes after the
// last path separator): "show.ts" -> "show", "show" -> "show".
std::string WithoutExtension(std::string_view name);

// The first base + counter (at least four digits: 0001 ... 9999, 10000, ...) for which no file
// base + counter + ext exists. Never a name that exists.
std::string FirstFreeNumberedName(const std::string& base, const std::string& ext);

// base itself when no file base + ext exists, else the first free "base (2)", "base (3)", ...:
// the names the program picks by itself never replace a file.
std::string FirstFreeName(const std::string& base, const std::string& ext);

bool FileExists(const std::string& path);

// Renames from -> to unless to exists; false (with errno set) when it exists or the rename failed.
bool RenameNoReplace(const std::string& from, const std::string& to);

// Removes path when it is an empty regular file; true when removed.
bool RemoveIfEmpty(const std::string& path);

}  // namespace tessaline
