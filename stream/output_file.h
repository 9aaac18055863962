// The file a recording or conversion writes to. Writes are complete or reported as failed; an
// interrupted system call is retried, so a short write never passes as success. What the user had
// under the name is replaced only by something: a recording that receives nothing, or a conversion
// that fails, leaves it as it was.
#pragma once

#include <atomic>
#include <chrono>
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

    // A name the user gave (a typed name, record --out). The file is made when there is none; a
    // file that is there (for a symbolic link: the file it leads to) keeps its contents until the
    // first data: the bytes go to a temporary beside it, which takes its name with the first
    // write (or TakeName), so a recording that receives nothing leaves it as it was. A pipe or a
    // device is written in place, a pipe only while a program reads it. On failure returns false
    // and error() says why.
    bool Create(const std::string& path);
    // A name the program chose: made only when no file has it. False with errno EEXIST when one
    // does, so that the caller can try its next name.
    bool CreateNew(const std::string& path);
    // Creates a new file beside final_path (beside the file its symbolic links lead to) under a
    // temporary name, so that whatever final_path holds stays as it is until Commit. A final_path
    // that exists and is not a regular file (a device, a pipe) is written in place instead. A
    // temporary that is never committed is removed, and so are those of earlier conversions to
    // the same name whose process is gone.
    bool CreateTemporary(const std::string& final_path);
    // Closes the file and gives it its final name, with the permissions (and, where allowed, the
    // owner) of the file it replaces. With replace false an existing file of that name is kept
    // and Commit fails (EEXIST). False when closing or renaming failed; the temporary is then
    // removed and error() says why.
    bool Commit(bool replace = true);
    // Closes the file and removes it when this object created it (a temporary, or a file made by
    // Create that did not exist before).
    void Discard();

    // For a program stream, whose first bytes are headers: the temporary of Create takes the name
    // only at TakeName, not at the first write.
    void HoldNameUntilTaken() { hold_name_ = true; }
    // The temporary of Create takes the final name now (the first data arrived).
    void TakeName();
    bool NamePending() const noexcept { return replace_on_data_; }
    // Ends the file of a recording (Create, CreateNew): a temporary with data takes its name; with
    // nothing in it (no byte written, or keep false), a file this object made is removed and the
    // file it would have replaced stays as it was (kept_nothing()). Then closes. False when
    // closing or renaming failed; error() then says where the bytes are (a temporary that cannot
    // take the name is given the first free name beside it, "NAME (2).ts").
    bool Finish(bool keep = true);
    bool kept_nothing() const noexcept { return kept_nothing_; }

    // Takes over an already open descriptor (tests use /dev/full to simulate a full disk).
    void Adopt(int fd, std::string path);
    // Writes all count bytes; false when any could not be written (errno kept in error()). What
    // a failed call did write is taken back where the file allows it, so a full disk never leaves
    // half of a write behind. A pipe or device that takes nothing for the stall limit fails the
    // write, and every later one at once: a reader that stopped never holds the writer.
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
    // " (3)" ... is taken instead. When that cannot take it all (a full disk), the home folder is
    // tried, and what could be copied is kept wherever most of it went. saved_path() and
    // saved_bytes() say where and how much; true only when all of it was saved, else error().
    bool SaveUnlinked();
    const std::string& saved_path() const noexcept { return saved_path_; }
    uint64_t saved_bytes() const noexcept { return saved_bytes_; }
    // Where the open file is now when its name no longer leads to it (its folder was renamed
    // while it was written); empty when it is where it was, or gone.
    std::string WhereNow() const;
    // The size of the open file, from its descriptor (what was written, for a pipe).
    uint64_t Size() const;

    // Test seams: the close() every OutputFile is closed with (nullptr: the system's), and how
    // long a write may wait for the reader of a pipe. Each returns the one set before.
    using CloseFunction = int (*)(int);
    static CloseFunction SetCloseFunctionForTesting(CloseFunction close_function);
    static std::chrono::milliseconds SetStallLimitForTesting(std::chrono::milliseconds limit);

    bool IsOpen() const noexcept { return fd_ >= 0; }
    // A pipe, socket or device, written in place.
    bool IsPipe() const noexcept { return pipe_; }
    const std::string& path() const noexcept { return path_; }
    // Where the bytes go until Commit or the first data; the final file otherwise.
    const std::string& written_path() const noexcept {
        return temporary_.empty() ? target_ : temporary_;
    }
    const std::string& error() const noexcept { return error_; }
    uint64_t bytes_written() const noexcept {
        return bytes_written_.load(std::memory_order_relaxed);
    }

  private:
    void TakeBack(size_t count);
    void Reset(const std::string& path);
    // Reset, with target_ the file path's symbolic links lead to; false (error()) on a loop.
    bool ResetToTarget(const std::string& path);
    bool OpenInPlace(const std::string& path);
    bool MakeTemporary();
    bool ReplaceTarget();
    // After a ReplaceTarget that failed at the end: the temporary takes a visible free name.
    void KeepInSight();
    bool WaitWritable();
    ssize_t WriteOnce(const uint8_t* bytes, size_t count);

    int fd_ = -1;
    std::string path_;               // the name asked for
    std::string target_;             // the file that name stands for (its symbolic links followed)
    std::string temporary_;          // the name the bytes go to until Commit or the first data
    bool created_ = false;           // this object made written_path()
    bool replace_on_data_ = false;   // temporary_ takes target_'s place with the first data
    bool truncate_on_data_ = false;  // target_ written in place, emptied at the first data
    bool hold_name_ = false;
    bool name_tried_ = false;  // TakeName has tried the rename once
    bool pipe_ = false;        // a pipe, socket or device: writes wait boundedly for the reader
    bool stalled_ = false;     // such an output took nothing for the stall limit
    bool kept_nothing_ = false;
    std::string saved_path_;
    uint64_t saved_bytes_ = 0;
    std::string replace_error_;  // why the temporary could not take target_'s place
    std::string error_;
    std::atomic<uint64_t> bytes_written_{0};
};

// The first name that does not exist yet: path itself, else "stem (2).ext", "stem (3).ext" ...
// Empty when none up to a large counter is free.
std::string FirstFreeName(const std::string& path);

}  // namespace tessaline
