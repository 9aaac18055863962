// The file a recording or conversion writes to. Writes are complete or reported as failed; an
// interrupted system call is retried, so a short write never passes as success.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tessaline {

class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates (or truncates) the file. On failure returns false and error() says why.
    bool Create(const std::string& path);
    // Takes over an already open descriptor (tests use /dev/full to simulate a full disk).
    void Adopt(int fd, std::string path);
    // Writes all count bytes; false when any could not be written (errno kept in error()). What
    // a failed call did write is taken back where the file allows it, so a full disk never leaves
    // half of a write behind.
    bool Write(const void* bytes, size_t count);
    // Cuts the file back to a whole number of units (packets) from its start, so that a recording
    // whose writes failed does not end in a torn packet. False when the file cannot be cut.
    bool CutToWholeUnits(size_t unit);
    // Closes the file; false when the system reported an error on close.
    bool Close();

    bool IsOpen() const noexcept { return fd_ >= 0; }
    const std::string& path() const noexcept { return path_; }
    const std::string& error() const noexcept { return error_; }
    uint64_t bytes_written() const noexcept { return bytes_written_; }

  private:
    void TakeBack(size_t count);

    int fd_ = -1;
    std::string path_;
    std::string error_;
    uint64_t bytes_written_ = 0;
};

}  // namespace tessaline
