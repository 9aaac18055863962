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
    // Creates a new file beside final_path under a temporary name, so that whatever final_path
    // holds stays as it is until Commit. A final_path that exists and is not a regular file (a
    // device, a pipe) is written in place instead. A temporary that is never committed is removed.
    bool CreateTemporary(const std::string& final_path);
    // Closes the file and gives it its final name. With replace false an existing file of that
    // name is kept and Commit fails (EEXIST). False when closing or renaming failed; the
    // temporary is then removed and error() says why.
    bool Commit(bool replace = true);
    // Closes the file and removes it when this object created it (a temporary, or a file made by
    // Create that did not exist before).
    void Discard();
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

    // True when the open file has no name left on disk (its folder, or the file itself, was
    // deleted while it was being written).
    bool Unlinked() const;
    // Writes what the still-open file holds back under its own path, making the missing folders
    // again; an existing file of that name is not replaced: the first free name with " (2)",
    // " (3)" ... is taken instead. The path used is in saved_path(). False, with error(), when
    // nothing could be saved.
    bool SaveUnlinked();
    const std::string& saved_path() const noexcept { return saved_path_; }

    // A test seam: the close() every OutputFile is closed with (nullptr: the system's). Returns
    // the one set before.
    using CloseFunction = int (*)(int);
    static CloseFunction SetCloseFunctionForTesting(CloseFunction close_function);

    bool IsOpen() const noexcept { return fd_ >= 0; }
    const std::string& path() const noexcept { return path_; }
    // Where the bytes go until Commit; path() when not writing to a temporary.
    const std::string& written_path() const noexcept {
        return temporary_.empty() ? path_ : temporary_;
    }
    const std::string& error() const noexcept { return error_; }
    uint64_t bytes_written() const noexcept { return bytes_written_; }

  private:
    void TakeBack(size_t count);
    void Reset(const std::string& path);

    int fd_ = -1;
    std::string path_;
    std::string temporary_;  // the name the bytes go to until Commit; empty when none
    bool created_ = false;   // this object made written_path()
    std::string saved_path_;
    std::string error_;
    uint64_t bytes_written_ = 0;
};

// The first name that does not exist yet: path itself, else "stem (2).ext", "stem (3).ext" ...
// Empty when none up to a large counter is free.
std::string FirstFreeName(const std::string& path);

}  // namespace tessaline
