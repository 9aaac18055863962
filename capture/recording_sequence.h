// Starting and stopping one recording from the chosen deck into one file, without a window: the
// graph is prepared (deck, then "SampleGrabber"), the data path reset, the file created and the
// graph run; stopping stops the graph, closes the file and empties the carry-over. The window's
// record and stop buttons and the command-line tool both go through this.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "stream/sha256.h"

namespace tessaline {

class CDSCapture;
class CaptureDataPath;
class MessageSink;
class OutputFile;
class TsAnalyser;
struct StreamContext;

class RecordingSequence {
  public:
    RecordingSequence(CDSCapture& capture, StreamContext& stream, CaptureDataPath& data_path,
                      MessageSink& messages);
    // A recording still running is stopped.
    ~RecordingSequence();
    RecordingSequence(const RecordingSequence&) = delete;
    RecordingSequence& operator=(const RecordingSequence&) = delete;

    // Clears the chain, adds "SampleGrabber" behind the deck and installs the callback. False
    // when a step failed (the controller has said why), or when the last recording's graph still
    // would not stop (tried again first; the sink is told, in the language asked for).
    bool PrepareGraph(bool use_english = true);

    enum class StartResult { Started, FileNotCreated, NotRunning, Busy };
    // Resets the data path for a new recording, creates the file of a name the user gave, empties
    // the carry-over, starts a fresh analysis of what the deck sends and runs the graph. A file of
    // that name is replaced only once data arrives (see OutputFile::Create). The stream options
    // must be set before. Busy (reported) while the last recording's file is still open. After
    // NotRunning the file is closed, unless the graph could not be stopped either: then it stays
    // open until a later Stop gets through.
    StartResult Start(const std::string& path, bool use_english);
    // The same for a name the program chooses: the first of names(0), names(1), ... that no file
    // has is created (exclusively, so two recordings never share a file). path() says which.
    using NameSeriesFunction = std::function<std::string(unsigned n)>;
    StartResult StartNew(const NameSeriesFunction& names, bool use_english);

    // Stops the graph, closes the file and empties the carry-over. False when the graph could not
    // be stopped: the file then stays open, since a buffer may still be written to it, and a
    // later Stop tries again.
    bool Stop();

    bool IsOpen() const noexcept { return static_cast<bool>(file_); }
    const std::string& path() const noexcept { return path_; }
    // Why closing the last file failed; empty when it did not.
    const std::string& close_error() const noexcept { return close_error_; }
    // Why a write to the last file failed (the system's words); empty when every write succeeded.
    // Read after Stop, when no buffer is being written any more.
    const std::string& write_error() const noexcept { return write_error_; }

    // True while the file being recorded has no name left on disk (its folder was deleted): the
    // recording goes on into the open file and is written back when it is closed.
    bool FileVanished() const;
    // After Stop: where the last file was written back because its name had vanished (its own
    // path, its folder made again, the first free name beside it, or the home folder when those
    // could not take it); empty when it was not needed or nothing could be saved. When not all of
    // it could be saved, the reason is in save_error().
    const std::string& saved_path() const noexcept { return saved_path_; }
    const std::string& save_error() const noexcept { return save_error_; }
    uint64_t saved_bytes() const noexcept { return saved_bytes_; }
    // After Stop: the recording received nothing (or, for a program stream, no audio or video),
    // so no file was kept: one it made is removed, one it would have replaced is as it was.
    // Only a file still found under its name is removed.
    bool nothing_kept() const noexcept { return nothing_kept_; }
    // After Stop: the size of the last file, from its descriptor; and where it is when its name
    // no longer led to it (its folder renamed meanwhile), else empty.
    uint64_t size() const noexcept { return size_; }
    const std::string& moved_to() const noexcept { return moved_to_; }
    // While it records: the size of the file so far, from its descriptor.
    uint64_t SizeNow() const;
    // The output is a pipe or a device, not a file.
    bool OutputIsPipe() const;

    // The analysis of every buffer the deck delivered to the last (or the running) recording.
    // While it runs, only through its snapshots; finished once Stop has closed the file.
    TsAnalyser& analyser() noexcept { return *analyser_; }
    // After Stop: the SHA-256 of the last file, computed from the bytes as they were written;
    // empty when that cannot stand for the file (a write failed and the file was cut back).
    const std::string& written_sha256() const noexcept { return written_sha256_; }
    uint64_t written_bytes() const noexcept { return written_bytes_; }

  private:
    StartResult Begin(std::unique_ptr<OutputFile> file);
    void CloseFile();
    void ReportNotStopped(bool use_english);

    CDSCapture& capture_;
    StreamContext& stream_;
    CaptureDataPath& data_path_;
    MessageSink& messages_;
    std::unique_ptr<OutputFile> file_;
    std::string path_;
    std::string close_error_;
    std::string write_error_;
    std::string saved_path_;
    std::string save_error_;
    uint64_t saved_bytes_ = 0;
    bool nothing_kept_ = false;
    uint64_t size_ = 0;
    std::string moved_to_;
    std::unique_ptr<TsAnalyser> analyser_;
    Sha256 written_hash_;
    std::string written_sha256_;
    uint64_t written_bytes_ = 0;
};

// The report when a recording's folder vanished while it ran ("%1": the file), and when it has
// been written back ("%1" the path it was saved to) or could not be ("%1" the file, "%2" why).
struct VanishedTexts {
    std::string english;
    std::string japanese;
    const std::string& Pick(bool use_english) const { return use_english ? english : japanese; }
};
extern const VanishedTexts kFileVanishedText;
extern const VanishedTexts kFileSavedText;
extern const VanishedTexts kFileNotSavedText;
// Only part of it could be written back ("%1" where, "%2" why, "%3" bytes saved, "%4" of how many).
extern const VanishedTexts kFilePartlySavedText;
// Its folder was renamed while it ran ("%1" the file as named at the start, "%2" where it is now).
extern const VanishedTexts kFileMovedText;
// The system reported an error when it was closed, or it could not take its name ("%1" the file,
// "%2" why and, where it matters, where the recording is).
extern const VanishedTexts kFileNotClosedText;

// The report when a new recording is refused because the last one's graph would not stop.
std::string NotStoppedText(bool use_english);

// The report when the output file cannot be created (the caption is ErrorCaption()).
std::string CannotOpenOutputText(bool use_english);

}  // namespace tessaline
