// SPDX-License-Identifier: GPL-3.0-or-later
// Fixity files for what a recording leaves: the SHA-256 manifest that `sha256sum -c` checks, and
// the tag files that make a folder a BagIt bag (RFC 8493). The payload's hashes come from the
// writing (nothing is read again); the tag files are hashed as they are made.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace tessaline {

struct FixityEntry {
    std::string path;  // relative to the manifest's folder, '/' between folders
    std::string sha256;
    uint64_t bytes = 0;
};

// "HASH  PATH" lines as sha256sum writes them (a name with a backslash or a line break gets its
// leading backslash and escapes, as sha256sum's own).
std::string Sha256SumText(const std::vector<FixityEntry>& entries);

// The same for a bag: "HASH  PATH" with %, CR and LF in a name percent-encoded.
std::string BagManifestText(const std::vector<FixityEntry>& entries);

// "OCTETS.FILES" over the payload.
std::string PayloadOxum(const std::vector<FixityEntry>& payload);

// The SHA-256 and size of a file by reading it; false when it cannot be read.
bool HashFile(const std::filesystem::path& path, std::string& sha256, uint64_t& bytes);

// Writes text to path through a temporary beside it, so that a crash leaves the old file or the
// new one, never half of one. `durable`: on the disk before it is named (a final file; a file
// rewritten every few seconds from the window's thread skips the wait). False, with error, when
// it could not.
bool WriteFileAtomically(const std::filesystem::path& path, const std::string& text,
                         std::string& error, bool durable = true);

// Writes bagit.txt, bag-info.txt (the given fields, then Bagging-Date, Payload-Oxum and
// Bag-Software-Agent), manifest-sha256.txt and tagmanifest-sha256.txt into `bag`. The payload's
// paths start with "data/" and its files must already be in place. `tag_files` are other tag
// files already written (paths relative to the bag) that the tag manifest lists too.
bool WriteBagTags(const std::filesystem::path& bag, const std::vector<FixityEntry>& payload,
                  const std::vector<std::pair<std::string, std::string>>& info,
                  const std::vector<std::string>& tag_files, const std::string& software,
                  std::string& error);

}  // namespace tessaline
