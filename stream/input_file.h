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

    // false: error() says why. Only regular files are read: a pipe or a device can be neither
    // measured nor read twice, and opening a pipe would wait for a writer.
    bool Open(const std::string& path);
    // Reads bytes already in memory, which must outlive the reading (tests and fuzzing).
    void OpenMemory(const uint8_t* data, size_t size, std::string name);
    void Close();
    bool IsOpen() const noexcept { return fd_ >= 0 || memory_ != nullptr; }

    // Reads until count bytes are in or the file ends; returns the bytes read, -1 on error.
    long Read(uint8_t* dest, size_t count);
    // Rewind and Size count from here: bytes before it are as good as not there.
    void SetStart(int64_t offset) noexcept { start_ = offset; }
    int64_t start() const noexcept { return start_; }
    bool Rewind();
    // Goes to a byte of the file (counted from its first byte, not from the start set).
    bool Seek(int64_t offset);
    // Reads up to count bytes at offset (from the file's first byte) without moving the position;
    // returns the bytes read, -1 on error.
    long ReadAt(int64_t offset, uint8_t* dest, size_t count);
    int64_t Size();  // -1 on error

    const std::string& path() const noexcept { return path_; }
    const std::string& error() const noexcept { return error_; }
    int fd() const noexcept { return fd_; }

  private:
    // Reads until count bytes are in or the file ends: at the position (offset -1) or at offset.
    long ReadFully(uint8_t* dest, size_t count, int64_t offset);

    int fd_ = -1;
    const uint8_t* memory_ = nullptr;
    size_t memory_size_ = 0;
    size_t memory_pos_ = 0;
    int64_t start_ = 0;
    std::string path_;
    std::string error_;
};

}  // namespace tessaline
