// A TS file being read by the PID search or the file converter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tessaline {

class InputFile {
  public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    bool Open(const std::string& path);  // false: error() says why
    void Close();
    bool IsOpen() const noexcept { return fd_ >= 0; }

    // Reads until count bytes are in or the file ends; returns the bytes read, -1 on error.
    long Read(uint8_t* dest, size_t count);
    bool Rewind();
    int64_t Size();  // -1 on error

    const std::string& path() const noexcept { return path_; }
    const std::string& error() const noexcept { return error_; }
    int fd() const noexcept { return fd_; }

  private:
    int fd_ = -1;
    std::string path_;
    std::string error_;
};

}  // namespace tessaline
