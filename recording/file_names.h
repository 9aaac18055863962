// File-name rules of recordings: the extension of each output mode, the name of a reservation with
// its counter, the counter of other names the program chooses, and renaming at the stop without
// ever replacing another file. Whatever text a name is made of (a typed name, a reservation's name
// field, a date-time pattern), it becomes one file name inside the save folder.
#pragma once

#include <string>
#include <string_view>

namespace tessaline {

// The longest file name (one path component) the usual Linux file systems take, in bytes.
inline constexpr size_t kMaxFileNameBytes = 255;
// The longest extension kept: an extension setting is a few letters, not a name of its own.
inline constexpr size_t kMaxExtensionBytes = 32;
// What stands in a file name for a character it cannot hold.
inline constexpr char kNameReplacement = '_';

// The extension setting in its stored form: a "." put in front when it is not empty and lacks one.
std::string DottedExtension(std::string_view setting);

// The name without its extension (the part from the last "." on, when that "." comes after the
// last path separator): "show.ts" -> "show", "show" -> "show".
std::string WithoutExtension(std::string_view name);

// Text made fit to stand in one file name: "/" and NUL become kNameReplacement, and so do the dots
// it begins with, so that the name is never hidden, never "." or ".." and never leaves its folder.
// Other bytes are kept as they are: a file name is bytes.
std::string FileNameText(std::string_view text);

// folder + FileNameText(text): the base of every recording's name (by plain concatenation, as the
// save folder is stored with its trailing "/").
std::string NameInFolder(std::string_view folder, std::string_view text);

// An extension fit for a file name: "/" and NUL replaced, cut to kMaxExtensionBytes.
std::string FileNameExtension(std::string_view ext);

// base cut so that its file name (the part after its last "/") followed by tail (a counter, a
// suffix, the extension) takes at most kMaxFileNameBytes; the cut falls between two UTF-8
// characters. A file name that would be empty, or begin with the tail's ".", gets
// kNameReplacement before the tail.
std::string FitFileName(std::string_view base, std::string_view tail);

// The names the program chooses by itself, in the order they are tried (n from 0), each without
// ext and fitted with it: Counted is base, "base (2)", "base (3)" ...; Numbered (a reservation's
// name) is base0001, base0002 ... (at least four digits).
enum class NameSeries { Counted, Numbered };
std::string SeriesName(NameSeries series, const std::string& base, const std::string& ext,
                       unsigned n);

// The first name of the series for which no file name + ext exists. Never a name that exists.
std::string FirstFreeNumberedName(const std::string& base, const std::string& ext);
std::string FirstFreeName(const std::string& base, const std::string& ext);

bool FileExists(const std::string& path);

// Renames from -> to unless to exists; false (with errno set) when it exists or the rename failed.
bool RenameNoReplace(const std::string& from, const std::string& to);

// Removes path when it is an empty regular file; true when removed.
bool RemoveIfEmpty(const std::string& path);

}  // namespace tessaline
