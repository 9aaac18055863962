// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/fixity.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <vector>

#include "stream/sha256.h"

namespace tessaline {

bool HashFile(const std::filesystem::path& path, std::string& sha256, uint64_t& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    Sha256 h;
    std::vector<char> buffer(1 << 20);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
        h.Update(buffer.data(), static_cast<size_t>(in.gcount()));
    }
    if (in.bad()) return false;
    sha256 = h.Hex();
    bytes = h.bytes();
    return true;
}

std::string Sha256SumText(const std::vector<FixityEntry>& entries) {
    std::string out;
    for (const FixityEntry& e : entries) {
        const bool escape = e.path.find_first_of("\\\n\r") != std::string::npos;
        std::string name;
        for (const char c : e.path) {
            if (escape && c == '\\') {
                name += "\\\\";
            } else if (c == '\n') {
                name += "\\n";
            } else if (c == '\r') {
                name += "\\r";
            } else {
                name += c;
            }
        }
        out += (escape ? "\\" : "") + e.sha256 + "  " + name + "\n";
    }
    return out;
}

std::string BagManifestText(const std::vector<FixityEntry>& entries) {
    std::string out;
    for (const FixityEntry& e : entries) {
        std::string name;
        for (const char c : e.path) {
            if (c == '%') {
                name += "%25";
            } else if (c == '\n') {
                name += "%0A";
            } else if (c == '\r') {
                name += "%0D";
            } else {
                name += c;
            }
        }
        out += e.sha256 + "  " + name + "\n";
    }
    return out;
}

std::string PayloadOxum(const std::vector<FixityEntry>& payload) {
    uint64_t octets = 0;
    for (const FixityEntry& e : payload) octets += e.bytes;
    return std::to_string(octets) + "." + std::to_string(payload.size());
}

bool WriteFileAtomically(const std::filesystem::path& path, const std::string& text,
                         std::string& error, bool durable) {
    const std::filesystem::path temporary =
        path.parent_path() / ("." + path.filename().string() + ".part");
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot create " + temporary.string() + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = "cannot write " + path.string() + ": " + std::strerror(n < 0 ? errno : ENOSPC);
            ::close(fd);
            ::unlink(temporary.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if ((durable && ::fsync(fd) != 0) || ::close(fd) != 0) {
        error = "cannot write " + path.string() + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot name " + path.string() + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool WriteBagTags(const std::filesystem::path& bag, const std::vector<FixityEntry>& payload,
                  const std::vector<std::pair<std::string, std::string>>& info,
                  const std::vector<std::string>& tag_files, const std::string& software,
                  std::string& error) {
    const std::string declaration = "BagIt-Version: 1.0\nTag-File-Character-Encoding: UTF-8\n";
    std::string bag_info;
    for (const auto& [name, value] : info) bag_info += name + ": " + value + "\n";
    const std::time_t now = std::time(nullptr);
    std::tm local = {};
    localtime_r(&now, &local);
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", &local);
    bag_info += std::string("Bagging-Date: ") + date + "\n";
    bag_info += "Payload-Oxum: " + PayloadOxum(payload) + "\n";
    bag_info += "Bag-Software-Agent: " + software + "\n";
    const std::string manifest = BagManifestText(payload);

    const std::pair<const char*, const std::string*> written[] = {
        {"bagit.txt", &declaration},
        {"bag-info.txt", &bag_info},
        {"manifest-sha256.txt", &manifest},
    };
    std::vector<FixityEntry> tags;
    for (const auto& [name, text] : written) {
        if (!WriteFileAtomically(bag / name, *text, error)) return false;
        tags.push_back({name, Sha256Hex(text->data(), text->size()), text->size()});
    }
    for (const std::string& name : tag_files) {
        FixityEntry entry{name, {}, 0};
        if (!HashFile(bag / name, entry.sha256, entry.bytes)) {
            error = "cannot read " + (bag / name).string();
            return false;
        }
        tags.push_back(entry);
    }
    return WriteFileAtomically(bag / "tagmanifest-sha256.txt", BagManifestText(tags), error);
}

}  // namespace tessaline
